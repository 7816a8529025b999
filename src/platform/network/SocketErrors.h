#pragma once

// The error constructors the asynchronous sockets share: errors of a socket's own domain, of the
// name resolver and of failed system calls. Any thread.

#include "platform/foundation/PlatformError.h"

#include <QString>

namespace platform::net {

// The domain name lookup errors are reported in.
inline constexpr char kNetDbErrorDomain[] = "kCFStreamErrorDomainNetDB";

// An error of the domain with the code, described by the message.
PlatformError socketError(const char *domain, qint64 code, const QString &message);
// A resolver failure: the resolver's code and its text for it.
PlatformError gaiError(int gai_error);
// A failed system call: the POSIX domain, the errno value and its text, and the operation's reason.
PlatformError errnoErrorWithReason(int errorNumber, const QString &reason);
// The same without a reason.
PlatformError errnoError(int errorNumber);

} // namespace platform::net
