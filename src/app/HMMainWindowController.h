#pragma once

#include "app/HMAutosyncMainWindow.h"
#include "app/HMSettingsSheets.h"
#include "app/HMSyncProgressController.h"
#include "foundation/HMProfilesController.h"
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocketDelegate.h"
#include "platform/appkit/WindowController.h"
#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/foundation/NotificationCenter.h"

#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QMenuBar;
namespace Ui {
class HMMainWindowController;
class HMManageProfilesPanel;
}
namespace platform {
class NSUserAppleScriptTask;
class Alert;
class UserDefaults;
}
class GCDAsyncUdpSocket;
class HMAppDelegate;
class HMCalendarAccess;
class HMConfiguration;
class HMQuillnestSync;
class HMOutlookAccess;
class HMProfile;
class HMProfileManager;
enum class HMContactManager : quint64;

// The main window: shows the selected profile (its Mac store, sync method, destination and a summary
// line), the build and the time of the last sync; manages the profiles in a small sheet; starts the
// selected profile's sync from its Synchronize button, the status menu or the Outlook autosync timer
// (HMMainWindowController+Sync.cpp) and when the paired phone announces itself on UDP port 8092
// (HMMainWindowController+PhoneSync.cpp); and owns the progress sheet of the syncs it starts. It
// records its start-up steps in "mainWindowLog.plist" in the data folder.
//
// Made by the application delegate, which keeps it for the life of the process (std::shared_ptr);
// stored process-wide in GlobalVariables. Main thread only: the listener delivers on the main queue.
class HMMainWindowController final : public platform::WindowController,
                                     public HMAutosyncMainWindow,
                                     public HMSyncProgressControllerDelegate,
                                     public GCDAsyncUdpSocketDelegate
{
    Q_OBJECT

public:
    // Runs the step once the delay has passed, on the main thread.
    using StepScheduler = std::function<void(std::chrono::milliseconds delay, std::function<void()> step)>;

    static constexpr quint16 kPhoneSyncPort = 8092;
    static constexpr std::chrono::milliseconds kMainSettingsDelay{250};

    explicit HMMainWindowController(HMAppDelegate &appDelegate);
    ~HMMainWindowController() override;

    // ---- Profile display (HMMainWindowController.cpp) ----
    std::shared_ptr<HMProfile> currentProfile() const { return m_currentProfile; }
    // The profiles in list order and the selected one, as the profiles controller holds them.
    QList<std::shared_ptr<HMProfile>> profiles() const { return m_profiles; }
    std::shared_ptr<HMProfile> selectedProfile() const;
    void selectProfileAtIndex(qsizetype index);
    void writeProfileText();
    void updateLastSyncDateLabel();
    void showHideNotes();
    void localizeXib();
    void writeStringToFile(const QString &text);
    void appDataFolderPropeties();
    // Refreshes the profile texts and the last-sync label (the delegate calls it after a sync).
    void updateProfileDisplay();
    static QString correctedString(const QVariant &value);
    // The contact-manager label's text: "Mac Apps", "Outlook 2011" or "Outlook 2016".
    static QString contactManagerTitle(HMContactManager manager);
    static bool isOutlookProfile(const HMProfile &profile);
    qint64 startupLogCounter() const { return m_startupLogCounter; }

    // Manage-profiles sheet.
    void manageProfilesSelected();
    void closeManageProfilesSheet();
    void newProfile();
    void deleteProfile();
    QDialog *profileManagerPanel() const { return m_profileManagerPanel.get(); }

    // ---- The settings sheets (HMMainWindowController+Settings.cpp) ----
    // The main settings sheet, after the calendar and reminder access questions of an Apple profile
    // whose access is undecided. The listener stays closed while a settings sheet is open and opens
    // again when none came up.
    void mainSettingButtonClicked();
    void openMainSettingsWindow();
    void mainSettingsDidClose();
    // The advanced settings sheet, configured from the selected profile and the contact-manager popup.
    void advancedSettingsSelected();
    // The device's own sheet of the profile's sync method; the listener opens again when none opens.
    void syncMethodSettingsTapped();
    // The contact-manager popup's pick: the profile's manager, the process-wide setting, the notes.
    void contactManagerButtonClicked();
    // Every calendar and reminder list of the Apple stores for syncing, the last of each written to.
    void writeNativeDefaultSettings();
    // The sheet opened last from the window (settings or account sheet), while it lives.
    QObject *modalController() const { return m_modalController; }
    // Whether a sheet (an alert, the progress, the profiles or the settings) hangs on the window.
    bool hasOpenSheet();
    bool alreadyVisitedAdvancedSettings() const { return m_alreadyVisitedAdvancedSettings; }
    // Where the settings sheet is opened; tests see the request through it.
    void setMainSettingsOpener(std::function<void()> opener) { m_mainSettingsOpener = std::move(opener); }

    // ---- The account sheets (made by a higher folder; main registers the makers) ----
    using AccountSheet = HMSettingsSheets::Sheet;
    // Opens the sheet for the selected profile and keeps it as the modal controller; false when no
    // maker is registered.
    bool openAccountSheet(AccountSheet sheet);
    // The same with the request's extra settings; the window is the parent and the selected profile
    // the profile. The window reloads when the sheet ends.
    bool openSheet(HMSettingsSheets::Sheet sheet, HMSettingsSheets::Request request = {});
    // The Google direct sheet with its sign-in started at once.
    void autoLaunchGoogleDirectSettings() { openAccountSheet(AccountSheet::GoogleDirectSignIn); }

    // ---- Starting a sync (HMMainWindowController+Sync.cpp) ----
    void synchronizeProfile(const void *sender) override;
    void requestCalendarPermission(bool eventsPermission, bool remindersPermission, std::function<void()> completion);
    // Asks for the calendar permissions an Apple-store profile has not yet been given or refused, then
    // goes on with `next` while the window lives.
    void askCalendarPermissionsThen(void (HMMainWindowController::*next)());
    void beginSync();
    QString validateConfiguration();
    QString validateOutlookFolders();
    void setCurrentSyncMethod();
    void cleanUpTempFolder();
    void getOutlookEmailAddresses();
    void showSyncStatusProgressController();
    // Prepares a progress sheet for a deletion warning, answered to the delegate, and registers it for
    // the sync code without showing it: the next showSyncStatusProgressController puts it up.
    void createSyncStatusControllerWithDeletionsWarningDelegate(HMDeletionsWarningDelegate *delegate);
    bool isProgressControllerVisible();
    void syncCompleted() override;
    // The word stored under "SyncMethodSetting" for the sync method; null for methods that store none.
    static QString syncMethodWord(quint64 syncMethod);

    std::shared_ptr<HMSyncProgressController> syncProgressController() const { return m_syncProgressController; }
    bool didStartSync() const { return m_didStartSync; }
    bool syncStatusControllerIsShowing() const { return m_syncStatusControllerIsShowing; }

    // ---- Phone-started sync (HMMainWindowController+PhoneSync.cpp) ----
    void setupUDPSocket();
    void closeUDPSocket();
    bool isListening() const { return m_udpSocket != nullptr; }
    void udpSocketDidReceiveData(GCDAsyncUdpSocket *sock, const QByteArray &data, const QByteArray &address,
                                 const QVariant &filterContext) override;
    void syncFromDevice();
    // Why the last announcement starts no sync; null when it starts the selected profile's. Only the
    // paired phone, from the address it was paired at, and at most once a minute (by platform::Clock).
    QString phoneStartRefusal() const;
    QString deviceWifiIdString() const { return m_deviceWifiIdString; }
    QString deviceWifiIPAddress() const { return m_deviceWifiIPAddress; }
    // The port the listener binds: 8092 unless a test sets another (0: any free port).
    void setListenerPort(quint16 port) { m_listenerPort = port; }
    quint16 listenerLocalPort() const;
    // The id a datagram names, and the sender address to store, by the window's rules.
    static QString deviceIdFromDatagram(const QString &message);
    static QString addressFromSenderHost(const QString &host);

    // ---- Cloud account and connector actions (HMMainWindowController+Cloud.cpp) ----
    // Each asks a fresh cloud client for the first selected profile, kept until its answer arrives
    // (the change poll's until the next poll) or the same operation is asked again; the answers are
    // the cloud client's notifications.
    static constexpr std::chrono::milliseconds kConnectorButtonDelay{2000};
    static constexpr std::chrono::milliseconds kConnectorButtonFadeIn{1500};
    static constexpr std::chrono::milliseconds kConnectorCheckSpacing{10000};
    static constexpr std::chrono::milliseconds kTurnOffCheckingDelay{500};
    static constexpr std::chrono::milliseconds kConnectorAnswerTimeout{30000};
    // The message shown when the cloud service leaves a connector check unanswered.
    static constexpr char kConnectorNoAnswerMessage[] = "The Quillnest service did not answer.";
    QString validateQuillnestCredentials();
    QString createNewQuillnestUser();
    // The cloud client's verdict on the stored credentials ("OK..." or the problem); sends the silent
    // check when they pass.
    QString hasQuillnestUsernameAndPassword();
    void checkForGoogleConnector();
    void makeNewGoogleConnector(const QString &refreshToken, const QString &email);
    void shouldAutosyncQuillnest() override;
    void autosyncLogonCommandReturned(bool succeeded, const QVariantMap &dictionary);
    // The connector status link and its check.
    void addConnectorStatusButtonIfNecessary();
    void checkConnectorStatusClicked();
    void validateQuillnestCredentialsAndCheckConnectorStatus();
    // The answer of the connector check: the connector list's text, or nothing when it was no text.
    void showConnectorStatus(const std::optional<QString> &connectorList);
    void turnOffIsCheckingConnectorStatus() { m_isCheckingConnectorStatus = false; }
    void drawMainWindowsConnectorStatus();
    void getConnectorStatus(const std::optional<QString> &connectorList);
    // The message the connector list gives, as showConnectorStatus presents it.
    static QString connectorStatusMessage(const QString &connectorList);
    bool isCheckingConnectorStatus() const { return m_isCheckingConnectorStatus; }
    qint64 connectorStatusHasBeenVerified() const { return m_connectorStatusHasBeenVerified; }
    QString qnsUsername() const { return m_qnsUsername; }
    // The alert the connector check presents, while it shows (tests).
    platform::Alert *connectorAlert() const { return m_connectorAlert.get(); }

    // Collaborators: the calendar access questions, Outlook, the delayed steps and the user defaults.
    void setCalendarAccess(std::shared_ptr<HMCalendarAccess> access) { m_calendarAccess = std::move(access); }
    void setOutlookAccess(std::shared_ptr<HMOutlookAccess> access) { m_outlookAccess = std::move(access); }
    std::shared_ptr<HMOutlookAccess> outlookAccess() const { return m_outlookAccess; }

    // ---- Outlook (HMMainWindowController+Outlook.cpp) ----
    // The detection of the running Outlook, reading the first selected profile's application path
    // and the contact manager the window shows for it.
    std::shared_ptr<HMOutlookAccess> makeOutlookDetection();
    // The automation script's pieces, which nothing in the application starts. installScriptFile
    // asks for the Application Scripts folder and copies the bundled "automation.scpt" there when
    // the user picks exactly that folder.
    using FolderChooser = std::function<QString(const QString &folder, const QString &prompt, const QString &message)>;
    void setScriptFolderChooser(FolderChooser chooser) { m_scriptFolderChooser = std::move(chooser); }
    void installScriptFile();
    void showScriptFolderMessage();
    bool needsToInstallScriptFile() const { return false; }
    // A task for "doStuff.scpt" of the Application Scripts folder; nothing (logged) when it cannot be made.
    std::unique_ptr<platform::NSUserAppleScriptTask> initializeNewScript();
    // The handler call of "doStuff" with the properties text as its one argument.
    static platform::NSAppleEventDescriptor makeNewContactEventWithProperties(const QString &properties);
    // Runs the event with a new task and returns at once; a failure is logged.
    void executeScriptTaskFromEvent(const platform::NSAppleEventDescriptor &event);
    void scriptReturned(const platform::NSAppleEventDescriptor &event, const QString &identifier);
    void setStepScheduler(StepScheduler scheduler) { m_scheduler = std::move(scheduler); }
    // Prepares each new progress sheet before it is shown (tests set its clock).
    void setProgressSheetPreparer(std::function<void(HMSyncProgressController &)> preparer)
    {
        m_progressSheetPreparer = std::move(preparer);
    }

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;

private:
    class ProfilesController;

    void loadSteps();
    void loadProfilesStep();
    void showMenuBar(QMenuBar &menuBar);
    void connectControls();
    void profileSelectionChanged(qsizetype index);
    void refreshProfileList();
    void windowDidEndSheet();
    void writeTraceFile();
    void startReloadTrace();
    // Watches the sheets now hanging on the window, so that their end reloads the window.
    void watchOpenSheets();
    void sheetWindowHidden();
    bool eventFilter(QObject *watched, QEvent *event) override;
    platform::UserDefaults &userDefaults() const;
    std::shared_ptr<HMProfile> addDefaultProfile();
    void runAlert(const QString &messageText);
    void refuseStart(const QString &alertText);
    // Nothing runs that would open the phone listener as it ends: it opens now, and a phone may start
    // a sync again.
    void reopenPhoneListener();
    // "No Device Type Selected." or "No Sync Method Selected." when the profile lacks one; else null.
    static QString missingChoiceText(const HMProfile &profile);
    bool confirmOutlookFolders(const QString &problem);
    bool publishProfileAndCheck();
    void handOverCalendarIdentifiers(HMProfile &profile);
    static void publishProfileSwitches(const HMProfile &profile);
    void startGoogleSync(const std::shared_ptr<HMProfile> &profile);
    void startManagerSync(const std::shared_ptr<HMProfile> &profile);
    void writeSyncMethodSetting(const QString &word);
    std::shared_ptr<HMSyncProgressController> makeProgressSheet();
    void showProgressSheetOfPhoneSync();
    std::optional<QStringList> outlookFolderIds(const QString &kind);
    // The cloud side (HMMainWindowController+Cloud.cpp).
    HMQuillnestSync &makeCloudClient(const QString &operation, bool commitEdits = false);
    void releaseCloudClient(const QString &operation);
    void observeCloudAnswers();
    void setUpConnectorStatusButton();
    void setSpinnersAnimating(bool isAnimating);
    // An alert on the window with the message; errors with the warning sign.
    void presentConnectorMessage(const QString &message, bool isError);
    void giveUpConnectorCheck(quint64 check);

    HMAppDelegate &m_appDelegate;
    std::unique_ptr<Ui::HMMainWindowController> m_ui;
    std::unique_ptr<Ui::HMManageProfilesPanel> m_panelUi;
    std::unique_ptr<QDialog> m_profileManagerPanel;
    std::shared_ptr<HMProfileManager> m_profileManager;
    std::shared_ptr<HMConfiguration> m_configuration;
    QList<std::shared_ptr<HMProfile>> m_profiles;
    qsizetype m_selectionIndex = -1;
    std::shared_ptr<ProfilesController> m_profilesController;
    std::shared_ptr<HMProfile> m_currentProfile;
    std::shared_ptr<HMSyncProgressController> m_syncProgressController;
    QPointer<QObject> m_modalController;
    std::unique_ptr<QObject> m_accountSheet;
    std::unique_ptr<QObject> m_mainSettingsSheet;
    QList<QPointer<QWidget>> m_watchedSheets;
    std::shared_ptr<GCDAsyncUdpSocket> m_udpSocket;
    quint16 m_listenerPort = kPhoneSyncPort;
    QString m_deviceWifiIPAddress;
    QString m_deviceWifiIdString;
    bool m_didStartSync = false;
    // When the phone last started a sync; invalid before the first.
    QDateTime m_lastPhoneStartedSync;
    bool m_cancelSyncAfterFoldersAlert = false;
    bool m_dontMakeNewProgressController = false;
    bool m_syncStatusControllerIsShowing = false;
    bool m_alreadyVisitedAdvancedSettings = false;
    bool m_isUpdatingProfileList = false;
    QVariantMap m_startupLogDictionary;
    qint64 m_startupLogCounter = 100;
    // Set while the window loads again after a sheet: the trace is written once at the end.
    bool m_isReloading = false;
    // What the trace file holds, and the last entry of the start-up (-1 before the first reload).
    QVariantMap m_writtenStartupLog;
    qint64 m_reloadTraceStart = -1;
    std::shared_ptr<HMCalendarAccess> m_calendarAccess;
    std::shared_ptr<HMOutlookAccess> m_outlookAccess;
    StepScheduler m_scheduler;
    std::function<void()> m_mainSettingsOpener;
    FolderChooser m_scriptFolderChooser;
    std::function<void(HMSyncProgressController &)> m_progressSheetPreparer;
    // The cloud account side.
    bool m_isCheckingConnectorStatus = false;
    qint64 m_connectorStatusHasBeenVerified = 0;
    QString m_qnsUsername;
    QString m_md5Password;
    // Counts the connector checks, so that a give-up meant for an earlier one does nothing.
    quint64 m_connectorCheck = 0;
    std::map<QString, std::unique_ptr<HMQuillnestSync>> m_cloudClients;
    std::vector<platform::ObserverToken> m_cloudAnswerObservers;
    platform::ObserverToken m_connectorStatusObserver;
    std::unique_ptr<platform::Alert> m_connectorAlert;
    QPointer<QWidget> m_connectorStatusField;
    // Blocks posted to the main queue hold it weakly, so none runs after the window went.
    std::shared_ptr<HMMainWindowController *> m_lifetime;
};
