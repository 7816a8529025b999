#pragma once

#include "ShellTestSupport.h"

#include "PhonePeer.h"

#include "app/HMMainWindowController.h"
#include "app/HMOutlookAccess.h"

#include <QByteArray>
#include <QMap>

#include <functional>
#include <memory>
#include <optional>

class ManualStepScheduler;
class QComboBox;
class QPushButton;
class QWidget;
namespace hmsync {
class MemoryStore;
}

// Chooses the item of that text in the box as a person does (the box says it was activated).
void pickText(QComboBox &box, const QString &text);
// The window's button of that object name; null when it has none.
QPushButton *button(QWidget &window, const QString &name);

// An Outlook that answers with the version and folder lists a test gives it.
class FakeOutlook final : public HMOutlookAccess
{
public:
    QString detectOutlookVersionNumber() override { return version; }
    std::optional<QStringList> runScript(const QString &source) override;

    QString version;
    // Script results by the kind of object the script lists ("address book", "calendar", ...).
    QMap<QString, QStringList> folders;
    QStringList scripts;
};

// A launched application whose main window runs on a test clock, listens on a free loopback port and
// asks a fake Outlook; profiles are saved before launch with saveWindowProfile.
class MainWindowTest : public LaunchedShell
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Launches the application and waits until its main window listens.
    void launchWindow();
    HMMainWindowController &window() const { return *m_delegate->mainWindowController(); }
    std::shared_ptr<HMProfile> saveWindowProfile(const QString &name, const std::function<void(HMProfile &)> &edit);
    // Sends the datagram to the window's listener from a loopback socket bound to the sender address.
    void sendDatagram(const QByteArray &payload, const char *sender = "127.0.0.1") const;
    QString labelText(const QString &objectName) const;
    // Saves the main window with its progress sheet hanging from the top, as a person sees them, in
    // the build folder's screenshots; answers the file's path.
    QString saveWindowWithSheet(const QString &name) const;

    std::shared_ptr<ManualStepScheduler> m_windowClock;
    std::shared_ptr<ManualStepScheduler> m_sheetClock;
    std::shared_ptr<FakeOutlook> m_outlook;
    int m_settingsOpenings = 0;
};

// A launched application and the phone peer with the sample records on loopback, the Wi-Fi transport
// aimed at it; the desktop's records go to the memory store, or to the stores the application
// registers at launch.
class PhoneSync : public MainWindowTest
{
protected:
    void TearDown() override;

    void startPhone(const QList<phonepeer::Fault> &faults = {});
    // What the application registers at launch: the vCard folder and the iCalendar folders.
    void useDesktopStores();
    // A profile paired with the phone at its loopback address, naming calendars the store does not
    // hold.
    void pairedProfile(HMProfile &profile) const;
    void announce();
    // Launches with a profile paired to the phone and announces the phone; the sheet is then up.
    void launchPairedAndAnnounce();
    qsizetype logonCount() const;

    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    std::shared_ptr<hmsync::MemoryStore> m_store;
};
