#include "phonelink/HMWiFiSettingsWindowController.h"

#include "ui_HMWiFiSettingsWindowController.h"

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "phonelink/DeviceAnnouncement.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/LockedField.h"
#include "sync/HMProfile.h"

#include <QAbstractButton>
#include <QLabel>

using platform::consoleLog;

namespace {

const QString kDelegateQueueLabel = QStringLiteral("com.harrowmere.wifisettings.queue");
// How long the sheet waits, when it goes away, for a datagram being read to stop.
constexpr auto kReaderStopTimeLimit = std::chrono::seconds(10);

bool isAscii(const QByteArray &payload)
{
    for (const char byte : payload) {
        if (static_cast<unsigned char>(byte) > 127)
            return false;
    }
    return true;
}

} // namespace

HMWiFiSettingsWindowController::HMWiFiSettingsWindowController()
    : FormWindowController(QStringLiteral("HMWiFiSettingsWindow")),
      m_delegateQueue(platform::DispatchQueue::createSerial(kDelegateQueueLabel))
{
}

HMWiFiSettingsWindowController::~HMWiFiSettingsWindowController()
{
    m_isClosing = true;
    closeListener();
    // A datagram being read may be waiting for the main thread, which is here: run the main queue
    // until the reader has finished, so it neither deadlocks nor outlives the sheet.
    auto isDrained = std::make_shared<std::atomic<bool>>(false);
    m_delegateQueue->async([isDrained] { *isDrained = true; });
    platform::MainQueue::shared()->runUntil([&isDrained] { return isDrained->load(); },
                                            platform::deadlineAfter(kReaderStopTimeLimit));
}

void HMWiFiSettingsWindowController::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_profile = std::move(profile);
    if (isWindowLoaded())
        showProfileInFields();
}

QString HMWiFiSettingsWindowController::devicePairName() const
{
    return platform::lockedCopy(m_devicePairMutex, m_devicePairName);
}

QString HMWiFiSettingsWindowController::devicePairIPAddress() const
{
    return platform::lockedCopy(m_devicePairMutex, m_devicePairIPAddress);
}

QPushButton *HMWiFiSettingsWindowController::pairDeviceButton()
{
    window();
    return m_ui->pairDeviceButton;
}

void HMWiFiSettingsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    connect(m_ui->pairDeviceButton, &QPushButton::clicked, this, [this] { pairDevicePushed(); });
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
}

void HMWiFiSettingsWindowController::windowDidLoad()
{
    localizeXib();
    // The listener needs nothing the system might lack (on the original platform it needed a recent
    // system version), so pairing is always offered.
    m_ui->pairDeviceButton->setVisible(true);
    m_ui->pairDeviceButton->setEnabled(true);
    showProfileInFields();
}

void HMWiFiSettingsWindowController::localizeXib()
{
    localizeLabels({{1001, "device_name"}, {1002, "ip_address"}, {1003, "wifi_instructions"}});
}

void HMWiFiSettingsWindowController::showPanel()
{
    beginSheet(m_parentWindow);
}

void HMWiFiSettingsWindowController::pairDevicePushed()
{
    m_didShowPairingDialog = false;
    closeListener();
    consoleLog(QStringLiteral("Udp port %1").arg(m_udpSocket ? m_udpSocket->localPort() : 0));

    m_udpSocket = GCDAsyncUdpSocket::create(this, m_delegateQueue);
    consoleLog(QStringLiteral("udpSocket %1").arg(reinterpret_cast<quintptr>(m_udpSocket.get()), 0, 16));
    if (const std::optional<QString> failure = m_udpSocket->startListening(m_listenPort)) {
        consoleLog(*failure);
        return;
    }
    consoleLog(QStringLiteral("Udp Echo server started on port %1").arg(m_udpSocket->localPort()));
    m_isRunning = true;
    // Broadcast announcements are welcome, unicast ones arrive without it.
    static_cast<void>(m_udpSocket->enableBroadcast(true));

    m_pairingAlert = std::make_unique<platform::Alert>();
    m_pairingAlert->setMessageText(QStringLiteral("Press 'Sync' on Quillpad to pair with Harrowmere"));
    m_pairingAlert->setAlertStyle(platform::AlertStyle::Warning);
    m_alertOk = m_pairingAlert->addButtonWithTitle(QStringLiteral("OK"));
    m_pairingAlert->runModal();
}

void HMWiFiSettingsWindowController::udpSocketDidReceiveData(GCDAsyncUdpSocket *, const QByteArray &data,
                                                             const QByteArray &address, const QVariant &)
{
    if (m_isClosing)
        return;
    const QString host = GCDAsyncUdpSocket::hostFromAddress(address);
    if (!isAscii(data)) {
        QString senderHost;
        quint16 senderPort = 0;
        GCDAsyncUdpSocket::getHost(&senderHost, &senderPort, address);
        consoleLog(QStringLiteral("Unknown Message: %1:%2").arg(senderHost, QString::number(senderPort)));
        return;
    }
    // Only a bounded, escaped prefix is logged: datagrams come from anyone on the network.
    const QString loggedText = datagramForLog(data);
    consoleLog(QStringLiteral("msg %1").arg(loggedText));

    // A datagram without an id is not an announcement: it must neither replace the address of the
    // phone read before nor bring up a question about it.
    const std::optional<QString> deviceId = deviceIdFromAnnouncement(data);
    const std::optional<QString> deviceAddress = deviceAddressFromSenderHost(host);
    if (!deviceId || deviceId->isEmpty() || !deviceAddress)
        return;
    {
        const std::lock_guard lock(m_devicePairMutex);
        m_devicePairName = *deviceId;
        m_devicePairIPAddress = *deviceAddress;
    }
    consoleLog(QStringLiteral("addressString %1").arg(*deviceAddress));
    consoleLog(loggedText);

    platform::MainQueue::shared()->sync([this] {
        if (m_isClosing)
            return;
        dismissInfoDialog();
        showPairingDialog();
    });
}

void HMWiFiSettingsWindowController::dismissInfoDialog()
{
    platform::MainQueue::shared()->async([alertOk = m_alertOk] {
        if (alertOk)
            alertOk->click();
    });
}

void HMWiFiSettingsWindowController::showPairingDialog()
{
    const QString deviceName = devicePairName();
    const QString deviceAddress = devicePairIPAddress();
    if (m_didShowPairingDialog || deviceName.isEmpty() || deviceAddress.isEmpty())
        return;
    platform::Alert question;
    question.setMessageText(
        QStringLiteral("Detected device '%1' from %2. Would you like to pair Harrowmere with this device?")
            .arg(deviceName, deviceAddress));
    question.setAlertStyle(platform::AlertStyle::Informational);
    question.addButtonWithTitle(QStringLiteral("Yes"));
    question.addButtonWithTitle(QStringLiteral("Cancel"));
    const int answer = question.runModal();
    if (answer == platform::NSAlertFirstButtonReturn) {
        consoleLog(QStringLiteral("User entered:"));
        yesButtonPushed();
        m_didShowPairingDialog = true;
    } else if (answer == platform::NSAlertSecondButtonReturn) {
        consoleLog(QStringLiteral("User cancelled"));
        m_didShowPairingDialog = true;
    }
}

void HMWiFiSettingsWindowController::yesButtonPushed()
{
    const QString deviceName = devicePairName();
    const QString deviceAddress = devicePairIPAddress();
    consoleLog(QStringLiteral("self.devicePairIPAddress %1").arg(deviceAddress));
    if (!m_profile)
        return;
    m_profile->setHhIpAddress(deviceAddress);
    m_profile->setHhPassword(deviceName);
    if (isWindowLoaded())
        showProfileInFields();
    commitEditing();
}

void HMWiFiSettingsWindowController::okPushed()
{
    closeListener();
    commitEditing();
    endSheet(platform::NSModalResponseOK);
}

void HMWiFiSettingsWindowController::didEndSheet(int)
{
    closeListener();
    window()->hide();
}

void HMWiFiSettingsWindowController::commitEditing()
{
    if (!m_profile || !isWindowLoaded())
        return;
    m_profile->setHhPassword(m_ui->deviceNameField->text());
    m_profile->setHhIpAddress(m_ui->ipAddressField->text());
}

void HMWiFiSettingsWindowController::closeListener()
{
    if (!m_udpSocket)
        return;
    // Datagrams already queued for the old listener are dropped with its delegate.
    m_udpSocket->synchronouslySetDelegate(nullptr);
    m_udpSocket->close();
    m_isRunning = false;
}

void HMWiFiSettingsWindowController::showProfileInFields()
{
    m_ui->deviceNameField->setText(m_profile ? m_profile->hhPassword() : QString());
    m_ui->ipAddressField->setText(m_profile ? m_profile->hhIpAddress() : QString());
}
