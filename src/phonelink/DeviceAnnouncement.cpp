#include "phonelink/DeviceAnnouncement.h"

#include <algorithm>

namespace {

// A datagram's text must be at least this long to carry an id.
constexpr qsizetype kMinimumAnnouncementLength = 5;
// Form B: the id follows four characters of any content.
constexpr qsizetype kLeadingCharacters = 4;

const QString kDeviceIdKey = QStringLiteral("DeviceId=");

std::optional<QString> decodeAscii(const QByteArray &payload)
{
    for (const char byte : payload) {
        if (static_cast<unsigned char>(byte) > 127)
            return std::nullopt;
    }
    return QString::fromLatin1(payload);
}

bool isDeviceIdCharacter(QChar character)
{
    const char16_t code = character.unicode();
    return (code >= u'a' && code <= u'z') || (code >= u'A' && code <= u'Z') || (code >= u'0' && code <= u'9') ||
           code == u'-' || code == u'_' || code == u'.' || code == u':';
}

std::optional<QString> validDeviceId(const QString &deviceId)
{
    if (deviceId.isEmpty() || deviceId.size() > kMaxDeviceIdLength)
        return std::nullopt;
    if (!std::all_of(deviceId.begin(), deviceId.end(), isDeviceIdCharacter))
        return std::nullopt;
    return deviceId;
}

// Reads the id by the layout rules alone; the caller checks what it holds.
std::optional<QString> rawDeviceId(const QByteArray &payload)
{
    const std::optional<QString> text = decodeAscii(payload);
    if (!text || text->size() < kMinimumAnnouncementLength)
        return std::nullopt;

    const qsizetype firstLineFeed = text->indexOf(QLatin1Char('\n'));
    if (firstLineFeed < 0)
        return text->mid(kLeadingCharacters).toLower();
    if (firstLineFeed == text->size() - 1)
        return std::nullopt;

    const qsizetype lineStart = firstLineFeed + 1;
    const qsizetype nextLineFeed = text->indexOf(QLatin1Char('\n'), lineStart);
    const QString line = nextLineFeed < 0 ? text->mid(lineStart) : text->mid(lineStart, nextLineFeed - lineStart);
    const qsizetype keyAt = line.indexOf(kDeviceIdKey, 0, Qt::CaseInsensitive);
    if (keyAt >= 0 && line.size() > kDeviceIdKey.size())
        return line.mid(keyAt + kDeviceIdKey.size());
    return line;
}

} // namespace

std::optional<QString> deviceIdFromAnnouncement(const QByteArray &payload)
{
    const std::optional<QString> deviceId = rawDeviceId(payload);
    if (!deviceId)
        return std::nullopt;
    return validDeviceId(*deviceId);
}

QString datagramForLog(const QByteArray &payload)
{
    QString text;
    for (const char byte : payload.left(kMaxLoggedDatagramBytes)) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 0x20 && value < 0x7f && value != '\\')
            text.append(QLatin1Char(byte));
        else
            text.append(QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0')));
    }
    if (payload.size() > kMaxLoggedDatagramBytes)
        text.append(QStringLiteral("... (%1 bytes)").arg(payload.size()));
    return text;
}

std::optional<QString> deviceAddressFromSenderHost(const QString &host)
{
    if (host.isEmpty())
        return std::nullopt;
    // Keeping only the text after the last colon would turn an IPv6 sender into its last group, an
    // address nobody can reach; only the IPv4-mapped form is shortened.
    const QString mappedPrefix = QStringLiteral("::ffff:");
    if (host.startsWith(mappedPrefix, Qt::CaseInsensitive) && host.count(QLatin1Char('.')) == 3)
        return host.mid(mappedPrefix.size());
    return host;
}
