#include "platform/restkit/RKErrors.h"

namespace platform {

namespace {

QString urlLoadingDescription(qint64 code)
{
    switch (code) {
    case NSURLErrorCancelled:
        return QStringLiteral("cancelled");
    case NSURLErrorBadURL:
        return QStringLiteral("bad URL");
    case NSURLErrorTimedOut:
        return QStringLiteral("The request timed out.");
    case NSURLErrorUnsupportedURL:
        return QStringLiteral("unsupported URL");
    case NSURLErrorCannotFindHost:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case NSURLErrorCannotConnectToHost:
        return QStringLiteral("Could not connect to the server.");
    case NSURLErrorNetworkConnectionLost:
        return QStringLiteral("The network connection was lost.");
    case NSURLErrorBadServerResponse:
        return QStringLiteral("The server responded with an invalid reply.");
    case NSURLErrorDataLengthExceedsMaximum:
        return QStringLiteral("The reply exceeds the largest size allowed.");
    case NSURLErrorSecureConnectionFailed:
        return QStringLiteral("An SSL error has occurred and a secure connection to the server cannot be made.");
    case NSURLErrorServerCertificateUntrusted:
        return QStringLiteral("The certificate for this server is invalid.");
    default:
        return QStringLiteral("unknown error");
    }
}

} // namespace

PlatformError urlLoadingError(qint64 code, const QString &failingUrl)
{
    QVariantMap userInfo{{QString::fromLatin1(NSLocalizedDescriptionKey), urlLoadingDescription(code)}};
    if (!failingUrl.isEmpty())
        userInfo.insert(QString::fromLatin1(NSURLErrorFailingURLStringErrorKey), failingUrl);
    return PlatformError(QString::fromLatin1(NSURLErrorDomain), code, std::move(userInfo));
}

PlatformError requestTimeoutError(const QString &failingUrl)
{
    QVariantMap userInfo{{QString::fromLatin1(NSLocalizedDescriptionKey),
                          QStringLiteral("The client timed out connecting to the resource at %1").arg(failingUrl)},
                         {QString::fromLatin1(NSURLErrorFailingURLStringErrorKey), failingUrl}};
    return PlatformError(QString::fromLatin1(RKErrorDomain), RKRequestConnectionTimeoutError, std::move(userInfo));
}

} // namespace platform
