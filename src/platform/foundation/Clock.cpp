#include "platform/foundation/Clock.h"

#include <mutex>

namespace platform {

namespace {

std::mutex s_sourceMutex;
Clock::Source s_source;

} // namespace

QDateTime Clock::now()
{
    Source source;
    {
        const std::lock_guard lock(s_sourceMutex);
        source = s_source;
    }
    if (!source)
        return QDateTime::currentDateTimeUtc();
    return source().toUTC();
}

void Clock::setSource(Source source)
{
    const std::lock_guard lock(s_sourceMutex);
    s_source = std::move(source);
}

} // namespace platform
