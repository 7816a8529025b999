#include "foundation/Lumberjack/DDLog.h"

#include <cstdio>

std::atomic<int32_t> ddLogLevel{0};

// FIXME: interim dispatcher that writes each line to standard error until the queued loggers land.
void DDLog::log(bool, int32_t, int32_t, int32_t, const char *, const char *, int32_t, const void *,
                const QString &message)
{
    if (message.isNull())
        return;
    std::fprintf(stderr, "%s\n", message.toUtf8().constData());
}
