#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace platform {

// User-info keys of an error, with the texts the platform stores them under.
inline constexpr char NSLocalizedDescriptionKey[] = "NSLocalizedDescription";
inline constexpr char NSLocalizedFailureReasonErrorKey[] = "NSLocalizedFailureReason";
inline constexpr char NSUnderlyingErrorKey[] = "NSUnderlyingError";

// Error domains the system reports in.
inline constexpr char NSCocoaErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr char NSPOSIXErrorDomain[] = "NSPOSIXErrorDomain";
inline constexpr char NSURLErrorDomain[] = "NSURLErrorDomain";

// An error as the platform's operations report one: a domain, a code within it, and a dictionary of
// further information, whose NSLocalizedDescriptionKey entry is the text shown to a person. A plain
// value: copy it freely and hand it to any thread.
class PlatformError final
{
public:
    PlatformError() = default;
    PlatformError(QString domain, qint64 code, QVariantMap userInfo = {});

    // An error whose description is the given text.
    static PlatformError withDescription(const QString &domain, qint64 code, const QString &description);
    // An error of the POSIX domain for an errno value: the system's text for it as the description, and
    // the reason, when given, as the failure reason.
    static PlatformError fromErrno(int errorNumber, const QString &reason = {});

    bool isNull() const { return m_domain.isEmpty() && m_code == 0 && m_userInfo.isEmpty(); }
    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    const QVariantMap &userInfo() const { return m_userInfo; }

    // The description entry of the user info when it is text; otherwise the platform's general text
    // "The operation couldn’t be completed." followed by the system's text for a POSIX code, or by the
    // domain and code ("(NSURLErrorDomain error -1004.)") for other domains.
    QString localizedDescription() const;
    // The failure-reason entry when it is text, otherwise the empty text.
    QString localizedFailureReason() const;
    // The text an error prints in a log line:
    // Error Domain=<domain> Code=<code> "<localised description>" UserInfo={<key>=<value>, ...}
    QString description() const;

    bool operator==(const PlatformError &other) const = default;

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};

} // namespace platform

Q_DECLARE_METATYPE(platform::PlatformError)
