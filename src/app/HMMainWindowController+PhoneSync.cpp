// The phone-started sync: the main window listens on UDP port 8092 while it is idle, and a datagram
// naming the selected profile's paired phone, sent from the address the phone was paired at, starts
// that profile's sync with a progress sheet. The pairing id travels in clear text, so anyone may
// send it: a datagram from any other address starts nothing and moves nothing (the user pairs the
// phone again through the pairing sheet, which asks), and a flood of them starts one sync a minute
// at most.
#include "app/HMMainWindowController.h"

#include "app/HMAppDelegate.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <algorithm>

namespace {

const QString kDeviceIdKey = QStringLiteral("DeviceId=");
const QString kMappedIPv4Prefix = QStringLiteral("::ffff:");
// A phone's announcement is a few dozen bytes; anything longer is not one.
constexpr qsizetype kMaxDatagramBytes = 1024;
// The least time between two syncs the phone starts.
constexpr qint64 kPhoneStartSpacingMs = 60 * 1000;

bool isAscii(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char byte) { return static_cast<unsigned char>(byte) < 128; });
}

QString withoutMappedPrefix(const QString &host)
{
    if (host.startsWith(kMappedIPv4Prefix) && host.size() > kMappedIPv4Prefix.size())
        return host.mid(kMappedIPv4Prefix.size());
    return host;
}

} // namespace

void HMMainWindowController::setupUDPSocket()
{
    closeUDPSocket();
    auto socket = GCDAsyncUdpSocket::create(this, platform::DispatchQueue::main());
    if (const std::optional<QString> failure = socket->startListening(m_listenerPort)) {
        DDLogError(*failure);
        return;
    }
    DDLogInfo(QStringLiteral("Udp Echo server started on port %1").arg(socket->localPort()));
    static_cast<void>(socket->enableBroadcast(true, nullptr));
    m_udpSocket = std::move(socket);
}

void HMMainWindowController::closeUDPSocket()
{
    if (!m_udpSocket)
        return;
    // The socket reports nothing more to a window that closed it.
    m_udpSocket->synchronouslySetDelegate(nullptr);
    m_udpSocket->close();
    m_udpSocket.reset();
}

quint16 HMMainWindowController::listenerLocalPort() const
{
    return m_udpSocket ? m_udpSocket->localPort() : 0;
}

QString HMMainWindowController::deviceIdFromDatagram(const QString &message)
{
    QString idText;
    if (message.size() >= 5) {
        const qsizetype lineFeed = message.indexOf(u'\n');
        if (lineFeed >= 0 && lineFeed + 1 < message.size()) {
            const qsizetype end = message.indexOf(u'\n', lineFeed + 1);
            idText = message.mid(lineFeed + 1, end < 0 ? -1 : end - lineFeed - 1);
        } else if (lineFeed < 0) {
            idText = message.mid(4).toLower();
        }
    }
    const qsizetype key = idText.indexOf(kDeviceIdKey);
    if (key >= 0 && idText.size() > kDeviceIdKey.size())
        idText = idText.mid(key + kDeviceIdKey.size());
    return idText;
}

QString HMMainWindowController::addressFromSenderHost(const QString &host)
{
    QString address = host;
    const qsizetype equals = address.lastIndexOf(u'=');
    if (equals >= 0 && equals + 1 < address.size())
        address = address.mid(equals + 1);
    return withoutMappedPrefix(address);
}

void HMMainWindowController::udpSocketDidReceiveData(GCDAsyncUdpSocket *sock, const QByteArray &data,
                                                     const QByteArray &address, const QVariant &filterContext)
{
    static_cast<void>(sock);
    static_cast<void>(filterContext);
    const QString host = GCDAsyncUdpSocket::hostFromAddress(address);
    if (data.size() > kMaxDatagramBytes || !isAscii(data)) {
        quint16 port = 0;
        GCDAsyncUdpSocket::getHost(nullptr, &port, address);
        DDLogInfo(QStringLiteral("Unknown Message: %1:%2").arg(host).arg(port));
        return;
    }
    const QString message = QString::fromLatin1(data);
    m_deviceWifiIPAddress = host.isEmpty() ? QString() : addressFromSenderHost(host);
    m_deviceWifiIdString = deviceIdFromDatagram(message);
    syncFromDevice();
}

QString HMMainWindowController::phoneStartRefusal() const
{
    if (m_didStartSync)
        return QStringLiteral("A sync is running: the announcement starts nothing.");
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    if (!profile || profile->hhPassword().isEmpty() || profile->hhPassword() != m_deviceWifiIdString)
        return QStringLiteral("The announcement names no phone paired with the selected profile.");
    if (m_deviceWifiIPAddress.isEmpty() || withoutMappedPrefix(profile->hhIpAddress()) != m_deviceWifiIPAddress)
        return QStringLiteral("The announcement came from %1, not from the paired phone's address; "
                              "pair the phone again to sync with it there.")
            .arg(m_deviceWifiIPAddress);
    // A clock set back lets the next start through rather than none for as long.
    const qint64 sinceLast =
        m_lastPhoneStartedSync.isValid() ? m_lastPhoneStartedSync.msecsTo(platform::Clock::now()) : -1;
    if (sinceLast >= 0 && sinceLast < kPhoneStartSpacingMs)
        return QStringLiteral("The phone started a sync less than a minute ago: the announcement starts nothing.");
    return {};
}

void HMMainWindowController::syncFromDevice()
{
    // A datagram that starts nothing leaves the listener open and the profile as it was.
    if (const QString refusal = phoneStartRefusal(); !refusal.isNull()) {
        DDLogInfo(refusal);
        return;
    }
    m_didStartSync = true;
    m_lastPhoneStartedSync = platform::Clock::now();
    if (m_syncProgressController && m_syncProgressController->isVisible())
        m_syncProgressController->okButtonSelected();
    closeUDPSocket();
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    // The data sources read the profile's switches: a phone-started sync before any manual one
    // would otherwise run with the defaults, and find no address book for a desktop-apps profile.
    publishProfileSwitches(*profile);
    handOverCalendarIdentifiers(*profile);
    if (const QString missing = missingChoiceText(*profile); !missing.isNull()) {
        refuseStart(missing);
        return;
    }
    const quint64 method = quint64(profile->syncMethod());
    if (method <= 4)
        writeSyncMethodSetting(syncMethodWord(method));
    if (const QString problem = validateConfiguration(); !problem.isNull()) {
        refuseStart(problem);
        return;
    }
    if (const platform::Status written = userDefaults().synchronize(); !written)
        DDLogError(QStringLiteral("Could not write the user defaults: %1").arg(written.error().message()));
    // The sheet first, so that a run refused or ended at once reports to it.
    showProgressSheetOfPhoneSync();
    if (profile->syncMethod() == HMSyncMethod::GoogleDirect) {
        m_syncProgressController->syncCompleted(QStringLiteral("A direct Google sync cannot be started from the phone."));
        return;
    }
    DDLogInfo(QStringLiteral("Sync from this device IP address: %1").arg(profile->hhIpAddress()));
    startManagerSync(profile);
}

void HMMainWindowController::showProgressSheetOfPhoneSync()
{
    m_syncProgressController = makeProgressSheet();
    m_syncProgressController->showProgressControllerAsSheet();
    m_modalController = m_syncProgressController.get();
    m_syncStatusControllerIsShowing = true;
}
