#pragma once

#include "ShellTestSupport.h"
#include "support/TestSupport.h"

#include "ui/settings/HMAdvancedSettingsWindowController.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonObject>
#include <QWidget>

#include <functional>
#include <memory>

class OutlookPeerProcess;

using testsupport::binaryDir;
using testsupport::waitUntil;

// A launched application with one saved profile, and the advanced settings sheet opened on a parent
// window as the main window opens it; the sheet is driven as a user drives it and the profile read
// back from its file.
class AdvancedSettingsTest : public LaunchedShell
{
protected:
    AdvancedSettingsTest();
    ~AdvancedSettingsTest() override;
    void SetUp() override;
    void TearDown() override;

    // Saves a profile of the contact manager ("ContactManagerApple", "ContactManagerOutlook15", ...),
    // edited before saving, then launches the application.
    void launchWithProfile(const QString &contactManager, const std::function<void(HMProfile &)> &edit = {});
    // Makes the sheet for the launched profile, configured as the opener configures it, and shows it.
    HMAdvancedSettingsWindowController &openSheet(const std::function<void(HMAdvancedSettingsWindowController &)> &configure = {});
    // The profile as its file holds it now.
    std::shared_ptr<HMProfile> savedProfile() const;
    QByteArray profileFileBytes() const;
    // Clicks the sheet's close button.
    void clickClose();
    // Clicks a button as a user does: on its box or label, near its left edge.
    static void click(QAbstractButton *button);
    // Picks the item of a combo box as a user does: selects it and sends activated.
    static void pick(QComboBox &comboBox, int index);
    // Clicks the tab with the identifier.
    void clickTab(const QString &identifier);
    // Saves the sheet's window in the build folder's screenshots; answers the file's path.
    QString screenshot(const QString &name, qreal scale = 1) const;
    static QString screenshotOf(QWidget &window, const QString &name, qreal scale = 1);
    // Starts the simulated Outlook with the version text, seeded with the state.
    void startOutlook(const QString &versionText, const QJsonObject &state, const QStringList &extraArguments = {});
    // Waits until the folders tab has finished loading.
    bool waitForFolders();

    std::unique_ptr<QWidget> m_parentWindow;
    std::shared_ptr<HMProfile> m_profile;
    std::unique_ptr<HMAdvancedSettingsWindowController> m_sheet;
    std::unique_ptr<OutlookPeerProcess> m_outlookPeer;
    int m_foldersLoaded = 0;
    QByteArray m_oldRoot;
    QString m_systemRoot;
};

class HMMainWindowController;

// The same application with the settings and account sheets' makers registered, as main registers
// them, so that the main window and the main settings sheet open the real sheets.
class SettingsWindowsTest : public AdvancedSettingsTest
{
protected:
    void SetUp() override;
    HMMainWindowController &mainWindow();
    // Runs what the main queue and the event loop have pending, a few rounds.
    static void settle();
};
