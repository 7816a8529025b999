#include "phonelink/HMAdbSync.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"

const QString HMAdbSync::kForwardedHost = QStringLiteral("127.0.0.1");
const QString HMAdbSync::kUsbDeviceName = QStringLiteral("usbsync");

namespace {

// The forwarded port answers on this computer, and the USB service takes its fixed device name.
HMWiFiSync::ConnectionSettings throughForwardedPort(HMWiFiSync::ConnectionSettings settings)
{
    settings.ipAddress = HMAdbSync::kForwardedHost;
    settings.deviceName = HMAdbSync::kUsbDeviceName;
    return settings;
}

} // namespace

std::unique_ptr<HMAdbSync>
HMAdbSync::initWithConfiguration(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration,
                                 Timing timing)
{
    // The profile's device name and address give way to the forwarded port's.
    std::optional<ConnectionSettings> settings = settingsFromConfiguration(configuration.get());
    return settings ? std::make_unique<HMAdbSync>(std::move(*settings), timing) : nullptr;
}

void HMAdbSync::registerTransport(qint64 serverPort, Timing timing, AdbBridge::Wait settleWait)
{
    HMSyncController::registerTransportClass<HMAdbSync>(2, timing, [serverPort, settleWait](HMAdbSync &sync) {
        if (sync.serverPort() != 0)
            sync.setServerPort(serverPort);
        if (settleWait)
            sync.adbBridge().setWait(settleWait);
    });
}

HMAdbSync::HMAdbSync(ConnectionSettings settings, Timing timing)
    : HMWiFiSync(throughForwardedPort(std::move(settings)), timing)
{
}

bool HMAdbSync::verifyProfileIsValid(QString &)
{
    return true;
}

std::optional<bool> HMAdbSync::setup(QString &error)
{
    const platform::Result<QString> serial = m_adbBridge.forwardSyncPortOfFirstDevice();
    if (!serial) {
        error = serial.error().message();
        return false;
    }
    return HMWiFiSync::setup(error);
}

std::optional<bool> HMAdbSync::cleanup()
{
    m_adbBridge.killServer();
    return true;
}
