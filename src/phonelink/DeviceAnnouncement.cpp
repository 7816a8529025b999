#include "phonelink/DeviceAnnouncement.h"

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

} // namespace

std::optional<QString> deviceIdFromAnnouncement(const QByteArray &payload)
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
