// Reads arbitrary bytes as a stored profile file: the framing is deciphered with the settings
// passphrase and with none, and whatever comes out is unarchived as a profile. It must end in a
// profile or a clean error, never read outside the input or abort.
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "sync/HMProfile.h"
#include "sync/NSData+Encrypt.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    const QByteArray stored(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QString &passphrase : {QStringLiteral("qH7vR2mKx9Te"), QString()}) {
        const platform::Result<QByteArray> archive = decryptAESKey(stored, passphrase);
        if (!archive)
            continue;
        const auto profile =
            platform::KeyedUnarchiver::unarchiveObject<HMProfile>(*archive, QStringLiteral("HMProfile"));
        if (profile && *profile)
            static_cast<void>((*profile)->filename().size());
    }
    return 0;
}
