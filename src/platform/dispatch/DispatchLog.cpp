#include "platform/dispatch/DispatchLog.h"

#include <cstdio>

namespace platform {

void logDispatchProblem(const QString &message)
{
    const QByteArray line = QByteArrayLiteral("dispatch: ") + message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace platform
