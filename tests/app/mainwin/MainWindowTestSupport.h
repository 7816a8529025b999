#pragma once

#include "ShellTestSupport.h"

#include "app/HMMainWindowController.h"
#include "app/HMOutlookAccess.h"

#include <QByteArray>
#include <QMap>

#include <functional>
#include <memory>
#include <optional>

class ManualStepScheduler;

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
    // Sends the datagram to the window's listener from a loopback socket.
    void sendDatagram(const QByteArray &payload) const;
    QString labelText(const QString &objectName) const;
    // Saves the main window with its progress sheet hanging from the top, as a person sees them, in
    // the build folder's screenshots; answers the file's path.
    QString saveWindowWithSheet(const QString &name) const;

    std::shared_ptr<ManualStepScheduler> m_windowClock;
    std::shared_ptr<ManualStepScheduler> m_sheetClock;
    std::shared_ptr<FakeOutlook> m_outlook;
    int m_settingsOpenings = 0;
};
