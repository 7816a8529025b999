#include "platform/foundation/PlatformError.h"

#include "platform/foundation/Values.h"

#include <QStringList>

#include <cstring>
#include <utility>

namespace platform {

namespace {

QString systemErrorText(qint64 code)
{
    if (code < 0 || code > 0x7fffffff)
        return QStringLiteral("Unknown error %1").arg(code);
    char buffer[256] = {};
    // The GNU form answers a pointer that may or may not be the buffer.
    const char *text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

QString userInfoText(const QVariant &value)
{
    if (value.typeId() == qMetaTypeId<PlatformError>())
        return value.value<PlatformError>().description();
    return platform::description(value);
}

} // namespace

PlatformError::PlatformError(QString domain, qint64 code, QVariantMap userInfo)
    : m_domain(std::move(domain)), m_code(code), m_userInfo(std::move(userInfo))
{
}

PlatformError PlatformError::withDescription(const QString &domain, qint64 code, const QString &description)
{
    return PlatformError(domain, code, {{QString::fromLatin1(NSLocalizedDescriptionKey), description}});
}

PlatformError PlatformError::fromErrno(int errorNumber, const QString &reason)
{
    QVariantMap userInfo{{QString::fromLatin1(NSLocalizedDescriptionKey), systemErrorText(errorNumber)}};
    if (!reason.isEmpty())
        userInfo.insert(QString::fromLatin1(NSLocalizedFailureReasonErrorKey), reason);
    return PlatformError(QString::fromLatin1(NSPOSIXErrorDomain), errorNumber, std::move(userInfo));
}

QString PlatformError::localizedDescription() const
{
    const QVariant text = m_userInfo.value(QString::fromLatin1(NSLocalizedDescriptionKey));
    if (isText(text))
        return text.toString();
    const QString general = QStringLiteral("The operation couldn\u2019t be completed.");
    if (m_domain == QLatin1String(NSPOSIXErrorDomain))
        return general + u' ' + systemErrorText(m_code);
    return general + QStringLiteral(" (%1 error %2.)").arg(m_domain, QString::number(m_code));
}

QString PlatformError::localizedFailureReason() const
{
    const QVariant text = m_userInfo.value(QString::fromLatin1(NSLocalizedFailureReasonErrorKey));
    return isText(text) ? text.toString() : QString();
}

QString PlatformError::description() const
{
    QStringList entries;
    for (auto entry = m_userInfo.cbegin(); entry != m_userInfo.cend(); ++entry)
        entries.append(entry.key() + u'=' + userInfoText(entry.value()));
    return QStringLiteral("Error Domain=%1 Code=%2 \"%3\" UserInfo={%4}")
        .arg(m_domain, QString::number(m_code), localizedDescription(), entries.join(QStringLiteral(", ")));
}

} // namespace platform
