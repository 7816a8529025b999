#pragma once

#include "outlook/HMAppleScripter.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/FormWindowController.h"
#include "ui/settings/HMOutlookFolderQueries.h"

#include <QMap>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>

class HMProfile;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QTableWidget;
namespace platform {
class UserDefaults;
}
namespace Ui {
class HMAdvancedSettingsWindowController;
}

// The advanced settings sheet: edits one profile's conduits, wipes, deletions, directions, the
// automatic sync interval and quiet hours, the days of past events, the Outlook options and folders,
// the Apple calendars and reminder lists, logging and launch at login. It edits the shared profile
// object in place; its only way out is the close button (Escape runs it too), which saves the
// profile file and reconfigures automatic syncing when the interval or autosync changed.
//
// The Outlook folders tab asks Outlook on a worker thread, one script after another, while the
// loading overlay shows; the lists are filled on the main thread (HMAdvancedSettingsWindowController+
// OutlookFolders.cpp). The option handlers live in +Handlers.cpp. Main thread only.
class HMAdvancedSettingsWindowController final
    : public platform::FormWindowController<Ui::HMAdvancedSettingsWindowController>,
      public platform::ComboBoxDataSource,
      public HMAppleScripterDelegate
{
    Q_OBJECT

public:
    static constexpr char kPleaseSelectAValidCalendar[] = "Please select a valid calendar";
    static constexpr char kAllFolders[] = "allFolders";

    HMAdvancedSettingsWindowController();

    // ---- Configuration, set by the opener before showPanel ----
    bool isConfiguredForOutlook = false;
    bool isConfiguredForQuillnest = false;
    bool isConfiguredForGoogle = false;
    bool isGoogleDirect = false;
    bool isSimplified = false;
    QString configuredOutlookVersion = QStringLiteral("unknown");
    QPointer<QWidget> parentWindow;
    std::shared_ptr<HMProfile> profile;

    // Called once the sheet has ended (after saving), for the opener to let go of it.
    std::function<void()> didClose;

    // ---- Life of the sheet (HMAdvancedSettingsWindowController.cpp) ----
    void showPanel();
    // The contents of the deletion and direction pop-ups (the opener's step after showPanel).
    void setSyncChoiceContents(const QVariantMap &deletions, const QVariantMap &directions);
    void localizeXib();
    void configureBlackoutPeriodView();
    static QDateTime todaysDateWithMinutesFromMidnight(qint64 minutes);
    void validateDateRange();
    static bool stringIsNumber(const QString &text);
    static QString returnValidString(const QString &text);
    void tabViewDidSelectTabViewItem(QWidget *tabViewItem);
    void requestCalendarPermission(bool calendarPermission, bool remindersPermission, std::function<void()> completion);
    void openTabViewItem(QWidget *tabViewItem);
    // Saves and ends the sheet; false when a refusal keeps it open.
    bool closePanel();
    void saveAutosyncState();
    // The identifiers of the tabs still in the sheet, in order.
    QStringList tabIdentifiers() const;
    // The sheet's tab with the identifier, or null.
    QWidget *tabViewItemWithIdentifier(const QString &identifier) const;
    // Selects the tab as a click on it does.
    void selectTabViewItemWithIdentifier(const QString &identifier);

    qsizetype numberOfItemsInComboBox(QComboBox &comboBox) override;
    QVariant comboBoxObjectValueForItemAtIndex(QComboBox &comboBox, qsizetype index) override;

    bool backgroundSyncWasChanged() const { return m_backgroundSyncWasChanged; }
    qint64 numberOfTaskCalendars() const { return m_numberOfTaskCalendars; }
    const QStringList &updateIntervalArray() const { return m_updateIntervalArray; }
    QVariantList eventCalendars() const { return m_eventCalendars; }
    QVariantList taskCalendars() const { return m_taskCalendars; }

    // ---- Option handlers (HMAdvancedSettingsWindowController+Handlers.cpp) ----
    void wipeAllRecordsOnDeviceSelected();
    void deletePreferencesForProfileSelected();
    void setDeletionPrefsAndroidToMac();
    void setDeletionPrefsMacToAndroid();
    void setDeletionPrefsTwoWay();
    void eventCalendarCategorySelected(QObject *sender);
    void taskCalendarCategorySelected(QObject *sender);
    void logLevelSegmentedControlChanged(int segment);
    void loggingEnabledCheckboxSelected();
    void viewLogFilesSelected();
    void autoSyncWasSelected();
    void ignoreOutlookCachingWasSelected();
    void syncAttendeesClicked();
    void didSelectShouldSyncPhotosCheckbox();
    void syncCompletedTasksClicked();
    void syncOrganizerMeetingsClicked();
    void runAtStartupCheckboxSelected();
    void alwaysSynchronizeRadioButtonSelected();
    void onlySynchronizeBEtweenTheseTimesRadioButtonSelected();
    void updateIntervalComboBoxSelected();
    void startTimePickerSelected();
    void endTimePickerSelected();
    static qint64 timeMinutesFromDatePickerString(const QString &text);

protected:
    void loadInterface(QDialog &window) override;
    void windowDidLoad() override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The user default that says whether the application starts at login.
    static constexpr char kLaunchAtLoginKey[] = "kHMMLaunchAtLogin";

    // Loading.
    void loadOutlookOptions();
    // In the page when one is given, else in the tab on screen.
    void removeTagged(std::initializer_list<qint64> tags, QWidget *page = nullptr);
    void filterTabs();
    void removeTab(const QString &identifier);
    void replaceTwoWayDeletionName();
    QString deviceName() const;
    void localizeTaggedControls(const QString &device);
    void connectControls();
    void connectOptionHandlers();
    void loadConduitControls();
    void loadChoicePopUps();
    void refreshConduitControls();
    // Calendar and reminder tabs.
    void openCalendarTab();
    void openTaskTab();
    static QVariantList markSelected(QVariantList dictionaries, const QStringList &identifiers);
    void fillCalendarTable(QTableWidget &table, const QVariantList &dictionaries);
    void fillNewRecordsPopUp(QComboBox &popUp, const QVariantList &dictionaries, const QString &selectedIdentifier);
    QStringList selectedIdentifiers(const QTableWidget &table, QVariantList &dictionaries) const;
    // Closing.
    bool checkReminderList();
    void reconfigureAutosyncing();
    void saveFolderSelections();
    void didEndSheet(int returnCode) override;
    void presentError(const QString &message);
    void setRunAtLogin(bool on);

    bool m_backgroundSyncWasChanged = false;
    bool m_isClosed = false;
    qint64 m_numberOfTaskCalendars = 0;
    QStringList m_updateIntervalArray;
    QVariantList m_eventCalendars;
    QVariantList m_eventCalendarsForNewRecords;
    QVariantList m_taskCalendars;
    QVariantList m_taskCalendarsForNewRecords;

public:
    // ---- Outlook folders tab (HMAdvancedSettingsWindowController+OutlookFolders.cpp) ----
    HMFolderMap contactFoldersDictionary;
    HMFolderMap calendarFoldersDictionary;
    HMFolderMap taskFoldersDictionary;
    HMFolderMap memoFoldersDictionary;
    QPointer<QComboBox> contactsComboBox;
    QPointer<QComboBox> calendarComboBox;
    QPointer<QComboBox> tasksComboBox;
    QPointer<QComboBox> memosComboBox;
    QString installedOutlookVersion;
    QMap<QString, QString> accountNameDictionary;
    // How long each Outlook script of the folders tab may wait for its answer.
    std::chrono::seconds outlookScriptTimeout{30};

    void openOutlookFoldersTab();
    bool needsToInstallScriptFile() const { return false; }
    void showScriptFolderMessage();
    // Lets the user pick the scripts folder and copies the automation script into it; the completion
    // gets YES after the success alert, NO when a new attempt was started; nothing on cancel or when
    // the script is there already.
    void installScriptFile(std::function<void(bool success)> completion);
    // The application's scripts folder, made when missing.
    static QString applicationScriptsFolder();
    void drawLoadingFoldersView();
    void eraseLoadingFoldersView();
    // Whether the folders tab's queries are under way.
    bool isLoadingOutlookFolders() const { return m_outlookQueries != nullptr; }
    QWidget *loadingFoldersView() const { return m_loadingFoldersView; }
    void outlookFoldersHelpClicked();
    void doFinderStuff();
    // The name-to-id folder maps ("All ..." to "allFolders" first); nothing in the sheet uses them.
    // The contact map comes from the automation script's "getAddressBookFolders" handler.
    QVariantMap outlookContactFoldersDictionary();
    QVariantMap outlookCalendarFoldersDictionary();
    QVariantMap outlookTaskFoldersDictionary();
    void runOutlookContactFoldersScript();
    void scriptReturned(const platform::NSAppleEventDescriptor &event, const QString &identifier) override;
    qsizetype contactsComboBoxIndexOfDefaultItem() const;
    qsizetype calendarComboBoxIndexOfDefaultItem() const;
    qsizetype taskComboBoxIndexOfDefaultItem() const;
    qsizetype memosComboBoxIndexOfDefaultItem() const;
    // Called on the main thread each time the folders tab has finished loading (lists filled or the
    // version refused).
    std::function<void()> outlookFoldersDidLoad;

private:
    void fillMissingFolderSelections();
    void outlookQueriesFinished(const std::shared_ptr<HMOutlookFolderQueries> &queries);
    void fillFolderList(qint64 tag, QPointer<QComboBox> &comboBox, qsizetype defaultIndex);
    void cancelOutlookQueries();
    const HMFolderMap *folderMapForTag(qint64 tag) const;
    static platform::UserDefaults &userDefaults();

    std::shared_ptr<HMOutlookFolderQueries> m_outlookQueries;
    QPointer<QWidget> m_loadingFoldersBackground;
    QPointer<QWidget> m_loadingFoldersView;
    QPointer<QWidget> m_loadingFoldersIndicator;
};
