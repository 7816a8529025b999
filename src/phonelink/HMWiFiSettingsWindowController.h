#pragma once

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocketDelegate.h"
#include "platform/appkit/FormWindowController.h"

#include <QAbstractButton>
#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class GCDAsyncUdpSocket;
class HMProfile;
class QPushButton;

namespace platform {
class Alert;
class DispatchQueue;
} // namespace platform

namespace Ui {
class HMWiFiSettingsWindowController;
}

// The Wi-Fi pairing sheet: shows the profile's phone name (the id that also serves as its password)
// and address, and pairs the profile with a phone that announces itself. Pair opens a UDP listener on
// the announcement port and tells the user to press Sync on the phone; the first announcement that
// carries a device id closes that instruction and asks whether to pair; Yes stores the id and the
// sender's address in the profile (in memory: its owner saves it). OK commits the fields and ends
// the sheet. Everything the sheet reports goes to the console.
// The opener owns the controller, sets the parent window and the profile, and calls showPanel.
// Main thread only, except the datagram reader, which runs on the sheet's own serial queue and hands
// each step that touches the window to the main thread, waiting for it.
class HMWiFiSettingsWindowController final : public platform::FormWindowController<Ui::HMWiFiSettingsWindowController>,
                                             public GCDAsyncUdpSocketDelegate
{
    Q_OBJECT

public:
    // The port a phone sends its announcement to.
    static constexpr quint16 kDeviceAnnouncementPort = 8092;

    HMWiFiSettingsWindowController();
    // Closes the listener and waits until no datagram is being read.
    ~HMWiFiSettingsWindowController() override;

    std::shared_ptr<HMProfile> profile() const { return m_profile; }
    void setProfile(std::shared_ptr<HMProfile> profile);
    QWidget *parentWindow() const { return m_parentWindow; }
    void setParentWindow(QWidget *parentWindow) { m_parentWindow = parentWindow; }
    bool didShowPairingDialog() const { return m_didShowPairingDialog; }
    void setDidShowPairingDialog(bool didShow) { m_didShowPairingDialog = didShow; }
    bool isRunning() const { return m_isRunning; }
    // The device id and sender address of the last announcement read; empty when none was.
    QString devicePairName() const;
    QString devicePairIPAddress() const;
    // The listener of the current pairing attempt, or null.
    std::shared_ptr<GCDAsyncUdpSocket> udpSocket() const { return m_udpSocket; }
    // The instruction alert of the current attempt and its OK button, or null.
    platform::Alert *pairingAlert() const { return m_pairingAlert.get(); }
    QAbstractButton *alertOk() const { return m_alertOk; }
    QPushButton *pairDeviceButton();

    // The port the listener binds; kDeviceAnnouncementPort unless a test picks another (0: any).
    quint16 listenPort() const { return m_listenPort; }
    void setListenPort(quint16 port) { m_listenPort = port; }

    // Sets the three labels from the strings table.
    void localizeXib();
    // Shows the window as a sheet on the parent window; its end runs didEndSheet.
    void showPanel();
    // The Pair button: starts a pairing attempt with a new listener, then shows the instruction alert
    // modally until the user or an announcement dismisses it.
    void pairDevicePushed();
    // Clicks the instruction alert's OK, later on the main queue.
    void dismissInfoDialog();
    // Asks once per attempt whether to pair with the device read last.
    void showPairingDialog();
    // Stores the device read last in the profile.
    void yesButtonPushed();
    // The OK button: closes the listener, commits the fields and ends the sheet.
    void okPushed();
    void didEndSheet(int returnCode) override;
    // Pushes the fields' texts into the profile (the phone name into hhPassword, the address into
    // hhIpAddress).
    void commitEditing();

    // Reads one datagram; runs on the sheet's serial queue.
    void udpSocketDidReceiveData(GCDAsyncUdpSocket *sock, const QByteArray &data, const QByteArray &address,
                                 const QVariant &filterContext) override;

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    void closeListener();
    // Shows the profile's values in the fields, as the binding does whenever the profile changes.
    void showProfileInFields();

    std::shared_ptr<HMProfile> m_profile;
    QPointer<QWidget> m_parentWindow;
    bool m_didShowPairingDialog = false;
    bool m_isRunning = false;
    quint16 m_listenPort = kDeviceAnnouncementPort;

    // The serial queue on which the listener delivers datagrams, one for the sheet's life.
    std::shared_ptr<platform::DispatchQueue> m_delegateQueue;
    std::shared_ptr<GCDAsyncUdpSocket> m_udpSocket;
    std::unique_ptr<platform::Alert> m_pairingAlert;
    QPointer<QAbstractButton> m_alertOk;

    // Written by the reader on the delegate queue, read on the main thread.
    mutable std::mutex m_devicePairMutex;
    QString m_devicePairName;
    QString m_devicePairIPAddress;
    // Set when the sheet is going away: a datagram read meanwhile stops before touching the window.
    std::atomic<bool> m_isClosing{false};
};
