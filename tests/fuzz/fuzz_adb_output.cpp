// Reads arbitrary bytes as the output of "adb devices" and of the process and package listings. Every
// device found comes from one line of the output.
#include "foundation/Lumberjack/DDLog.h"
#include "phonelink/AdbBridge.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ddLogLevel.store(LOG_LEVEL_OFF);
    const QString output = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<AdbDevice> devices = AdbBridge::devicesFromOutput(output);
    if (devices.size() > output.count(QLatin1Char('\n')) + 1)
        std::abort();
    for (const AdbDevice &device : devices) {
        if (device.serial.contains(QLatin1Char('\n')))
            std::abort();
    }
    static_cast<void>(AdbBridge::outputHasLineContaining(output, AdbBridge::kUsbSyncRemoteProcessName));
    static_cast<void>(AdbBridge::outputHasLineContaining(output, AdbBridge::kPhoneAppPackage));
    return 0;
}
