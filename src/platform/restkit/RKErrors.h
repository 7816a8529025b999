#pragma once

#include "platform/foundation/PlatformError.h"

#include <QString>

namespace platform {

// The REST framework's own error domain and the codes it reports in it.
inline constexpr char RKErrorDomain[] = "org.restkit.RestKit.ErrorDomain";
inline constexpr qint64 RKRequestBaseURLOfflineError = 2;
inline constexpr qint64 RKRequestConnectionTimeoutError = 5;
// Not one of the framework's published codes: a request sent in a way that cannot work (a synchronous
// send on the framework's own thread, a request whose client is gone).
inline constexpr qint64 RKRequestUnusableError = 1;

// URL-loading error codes of NSURLErrorDomain that requests report.
inline constexpr qint64 NSURLErrorUnknown = -1;
inline constexpr qint64 NSURLErrorCancelled = -999;
inline constexpr qint64 NSURLErrorBadURL = -1000;
inline constexpr qint64 NSURLErrorTimedOut = -1001;
inline constexpr qint64 NSURLErrorUnsupportedURL = -1002;
inline constexpr qint64 NSURLErrorCannotFindHost = -1003;
inline constexpr qint64 NSURLErrorCannotConnectToHost = -1004;
inline constexpr qint64 NSURLErrorNetworkConnectionLost = -1005;
inline constexpr qint64 NSURLErrorBadServerResponse = -1011;
inline constexpr qint64 NSURLErrorDataLengthExceedsMaximum = -1103;
// TLS: the handshake failed, or the server's certificate (its chain, dates or host name) was refused.
inline constexpr qint64 NSURLErrorSecureConnectionFailed = -1200;
inline constexpr qint64 NSURLErrorServerCertificateUntrusted = -1202;

// User-info key naming the URL a URL-loading error happened on.
inline constexpr char NSURLErrorFailingURLStringErrorKey[] = "NSErrorFailingURLStringKey";

// An error of NSURLErrorDomain with the platform's description for the code ("The network connection
// was lost." for -1005) and the failing URL in the user info.
PlatformError urlLoadingError(qint64 code, const QString &failingUrl);

// The framework's own time-out of a request to the given URL (RKErrorDomain, code 5).
PlatformError requestTimeoutError(const QString &failingUrl);

} // namespace platform
