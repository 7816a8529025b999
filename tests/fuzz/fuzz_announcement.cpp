// Reads arbitrary bytes as a device announcement datagram. An id, when there is one, keeps to the
// id character set and length, and the logged form stays short and printable whatever came.
#include "phonelink/DeviceAnnouncement.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QString> deviceId = deviceIdFromAnnouncement(payload);
    if (deviceId && (deviceId->isEmpty() || deviceId->size() > kMaxDeviceIdLength || deviceId->contains(QChar(0)) ||
                     deviceId->contains(QLatin1Char(' ')) || deviceId->contains(QLatin1Char('\''))))
        std::abort();
    const QString logged = datagramForLog(payload);
    if (logged.size() > 4 * kMaxLoggedDatagramBytes + 32)
        std::abort();
    for (const QChar character : logged) {
        if (character.unicode() < 0x20 || character.unicode() >= 0x7f)
            std::abort();
    }
    return 0;
}
