#include "platform/network/SocketErrors.h"

#include <netdb.h>

namespace platform::net {

PlatformError socketError(const char *domain, qint64 code, const QString &message)
{
    return PlatformError::withDescription(QString::fromLatin1(domain), code, message);
}

PlatformError gaiError(int gai_error)
{
    return PlatformError::withDescription(QString::fromLatin1(kNetDbErrorDomain), gai_error,
                                          QString::fromLatin1(gai_strerror(gai_error)));
}

PlatformError errnoErrorWithReason(int errorNumber, const QString &reason)
{
    return PlatformError::fromErrno(errorNumber, reason);
}

PlatformError errnoError(int errorNumber)
{
    return PlatformError::fromErrno(errorNumber);
}

} // namespace platform::net
