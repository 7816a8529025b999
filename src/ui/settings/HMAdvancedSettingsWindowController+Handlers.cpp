// The option handlers of the advanced settings sheet, the controls' wiring to them and to the profile
// fields they edit, and the calendar and reminder-list tabs.

#include "ui/settings/HMAdvancedSettingsWindowController.h"

#include "ui_HMAdvancedSettingsWindowController.h"

#include "app/HMAppDelegate.h"
#include "app/NSApplication+MXUtilities.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileManager.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Workspace.h"
#include "platform/eventkit/EKCalendar.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <QButtonGroup>
#include <QHeaderView>
#include <QTableWidget>

namespace {

const QString kIdentifierKey = QStringLiteral("nativeCategoryIdentifier");
const QString kTitleKey = QStringLiteral("nativeCategoryTitle");
const QString kSelectedKey = QStringLiteral("nativeCategorySelected");

Qt::CheckState checkStateOfPurge(qint64 state)
{
    return state == 1 ? Qt::Checked : state == -1 ? Qt::PartiallyChecked : Qt::Unchecked;
}

// Fills a pop-up with the choices of a name-to-text map and selects the current name; a current name
// that is not among the choices (a deletion sentence) is shown as it is.
void fillChoices(QComboBox &popUp, const QVariantMap &choices, const QString &current)
{
    const QSignalBlocker blocker(popUp);
    popUp.clear();
    for (auto it = choices.begin(); it != choices.end(); ++it)
        popUp.addItem(it.value().toString(), it.key());
    if (!current.isEmpty() && popUp.findData(current) < 0)
        popUp.addItem(current, current);
    popUp.setCurrentIndex(popUp.findData(current));
}

// The table a calendar action came from; any other sender is logged and gives null.
QTableWidget *calendarTableOf(QObject *sender)
{
    auto *const table = qobject_cast<QTableWidget *>(sender);
    if (table == nullptr) {
        DDLogWarn(QStringLiteral("calendarCategorySelected sender is not NSTableView, but is '%1'")
                      .arg(sender != nullptr ? QString::fromLatin1(sender->metaObject()->className()) : QString()));
    }
    return table;
}

} // namespace

// ---- Wiring ----

void HMAdvancedSettingsWindowController::loadConduitControls()
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    const HMProfile &p = *profile;
    const auto setChecked = [](QCheckBox *box, bool on) {
        if (box != nullptr)
            box->setChecked(on);
    };
    setChecked(ui.contactSyncCheckbox, p.contactSyncEnabled());
    setChecked(ui.calendarSyncCheckbox, p.calendarSyncEnabled());
    setChecked(ui.taskSyncCheckbox, p.taskSyncEnabled());
    setChecked(ui.memoSyncCheckbox, p.memoSyncEnabled());
    setChecked(ui.rereadAppleOnNextSyncCheckbox, p.rereadAppleOnNextSync());
    setChecked(ui.rereadDeviceOnNextSyncCheckbox, p.rereadDeviceOnNextSync());
    setChecked(ui.autoSyncCheckbox, p.backgroundSyncEnabled());
    setChecked(ui.ignoreOutlookCachingCheckbox, p.ignoreOutlookAutosyncCaching());
    refreshConduitControls();
}

// The wipe check boxes follow the profile's purge flags, which the wipe-all box and each conduit's
// own box change.
void HMAdvancedSettingsWindowController::refreshConduitControls()
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    const HMProfile &p = *profile;
    const auto setChecked = [](QCheckBox *box, bool on) {
        if (box != nullptr) {
            const QSignalBlocker blocker(box);
            box->setChecked(on);
        }
    };
    setChecked(ui.contactWipeCheckbox, p.purgeContactsOnNextSync());
    setChecked(ui.calendarWipeCheckbox, p.purgeCalendarOnNextSync());
    setChecked(ui.taskWipeCheckbox, p.purgeTasksOnNextSync());
    setChecked(ui.memoWipeCheckbox, p.purgeMemosOnNextSync());
    const QSignalBlocker blocker(ui.wipeAllCheckbox);
    ui.wipeAllCheckbox->setCheckState(checkStateOfPurge(p.purgeAppleRecordsCheckboxState()));
}

// The direction and deletion pop-ups list the profile's choices; the opener sets them again.
void HMAdvancedSettingsWindowController::loadChoicePopUps()
{
    setSyncChoiceContents(profile->syncDeletionsDictionaryList(), profile->syncDirectionDictionaryList());
}

void HMAdvancedSettingsWindowController::setSyncChoiceContents(const QVariantMap &deletions, const QVariantMap &directions)
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    fillChoices(*ui.contactSyncDirectionPopUp, directions, profile->contactSyncDirectionName());
    fillChoices(*ui.calendarSyncDirectionPopUp, directions, profile->calendarSyncDirectionName());
    fillChoices(*ui.taskSyncDirectionPopUp, directions, profile->taskSyncDirectionName());
    fillChoices(*ui.memoSyncDirectionPopUp, directions, profile->memoSyncDirectionName());
    fillChoices(*ui.syncDeletionsPopUp, deletions, profile->syncDeletionsName());
}

void HMAdvancedSettingsWindowController::connectControls()
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    HMProfile *const p = profile.get();
    const auto bindEnabled = [this](QCheckBox *box, void (HMProfile::*set)(bool)) {
        if (box == nullptr)
            return;
        connect(box, &QCheckBox::clicked, this, [this, set](bool on) {
            (profile.get()->*set)(on);
            profile->updatePurgeProfileCheckboxState();
            refreshConduitControls();
        });
    };
    bindEnabled(ui.contactSyncCheckbox, &HMProfile::setContactSyncEnabled);
    bindEnabled(ui.calendarSyncCheckbox, &HMProfile::setCalendarSyncEnabled);
    bindEnabled(ui.taskSyncCheckbox, &HMProfile::setTaskSyncEnabled);
    bindEnabled(ui.memoSyncCheckbox, &HMProfile::setMemoSyncEnabled);
    bindEnabled(ui.contactWipeCheckbox, &HMProfile::setPurgeContactsOnNextSync);
    bindEnabled(ui.calendarWipeCheckbox, &HMProfile::setPurgeCalendarOnNextSync);
    bindEnabled(ui.taskWipeCheckbox, &HMProfile::setPurgeTasksOnNextSync);
    bindEnabled(ui.memoWipeCheckbox, &HMProfile::setPurgeMemosOnNextSync);
    connect(ui.rereadAppleOnNextSyncCheckbox, &QCheckBox::clicked, this, [p](bool on) { p->setRereadAppleOnNextSync(on); });
    connect(ui.rereadDeviceOnNextSyncCheckbox, &QCheckBox::clicked, this, [p](bool on) { p->setRereadDeviceOnNextSync(on); });
    connect(ui.ignoreOutlookCachingCheckbox, &QCheckBox::clicked, this, [this, p](bool on) {
        ignoreOutlookCachingWasSelected();
        p->setIgnoreOutlookAutosyncCaching(on);
    });
    const auto bindDirection = [this](QComboBox *popUp, void (HMProfile::*set)(const QString &)) {
        if (popUp != nullptr) {
            connect(popUp, &QComboBox::activated, this,
                    [this, popUp, set](int index) { (profile.get()->*set)(popUp->itemData(index).toString()); });
        }
    };
    bindDirection(ui.contactSyncDirectionPopUp, &HMProfile::setContactSyncDirectionName);
    bindDirection(ui.calendarSyncDirectionPopUp, &HMProfile::setCalendarSyncDirectionName);
    bindDirection(ui.taskSyncDirectionPopUp, &HMProfile::setTaskSyncDirectionName);
    bindDirection(ui.memoSyncDirectionPopUp, &HMProfile::setMemoSyncDirectionName);
    connect(ui.syncDeletionsPopUp, &QComboBox::activated, this, [this](int index) {
        const QString name = m_ui->syncDeletionsPopUp->itemData(index).toString();
        if (name == u"device_to_mac")
            setDeletionPrefsAndroidToMac();
        else if (name == u"mac_to_device")
            setDeletionPrefsMacToAndroid();
        else
            setDeletionPrefsTwoWay();
    });
    connect(ui.settingsTabView, &QTabWidget::currentChanged, this,
            [this](int index) { tabViewDidSelectTabViewItem(m_ui->settingsTabView->widget(index)); });
    connect(ui.outlookFoldersHelpButton, &QPushButton::clicked, this, [this] { outlookFoldersHelpClicked(); });
    connect(ui.closeButton, &QPushButton::clicked, this, [this] { closePanel(); });
}

void HMAdvancedSettingsWindowController::connectOptionHandlers()
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    connect(ui.wipeAllCheckbox, &QCheckBox::clicked, this, [this] { wipeAllRecordsOnDeviceSelected(); });
    connect(ui.loggingEnabledCheckbox, &QCheckBox::clicked, this, [this] { loggingEnabledCheckboxSelected(); });
    connect(ui.viewLogFilesButton, &QPushButton::clicked, this, [this] { viewLogFilesSelected(); });
    connect(ui.autoSyncCheckbox, &QCheckBox::clicked, this, [this] { autoSyncWasSelected(); });
    connect(ui.syncAttendeesCheckbox, &QCheckBox::clicked, this, [this] { syncAttendeesClicked(); });
    connect(ui.shouldSyncPhotosCheckbox, &QCheckBox::clicked, this, [this] { didSelectShouldSyncPhotosCheckbox(); });
    connect(ui.syncCompletedTasksButton, &QCheckBox::clicked, this, [this] { syncCompletedTasksClicked(); });
    connect(ui.syncOrganizerMeetingsButton, &QCheckBox::clicked, this, [this] { syncOrganizerMeetingsClicked(); });
    connect(ui.runAtLoginButton, &QCheckBox::clicked, this, [this] { runAtStartupCheckboxSelected(); });
    connect(ui.alwaysSynchronizeRadioButton, &QRadioButton::clicked, this, [this] { alwaysSynchronizeRadioButtonSelected(); });
    connect(ui.onlySynchronizeBetweenTheseTimesRadioButton, &QRadioButton::clicked, this,
            [this] { onlySynchronizeBEtweenTheseTimesRadioButtonSelected(); });
    connect(ui.updateIntevalComboBox, &QComboBox::activated, this, [this] { updateIntervalComboBoxSelected(); });
    connect(ui.startTimePicker, &QDateTimeEdit::dateTimeChanged, this, [this] { startTimePickerSelected(); });
    connect(ui.endTimePicker, &QDateTimeEdit::dateTimeChanged, this, [this] { endTimePickerSelected(); });
    auto *const segments = new QButtonGroup(ui.logLevelSegmentedControl);
    const QList<QToolButton *> buttons = {ui.logLevelSegment0, ui.logLevelSegment1, ui.logLevelSegment2,
                                          ui.logLevelSegment3, ui.logLevelSegment4};
    for (int i = 0; i < buttons.size(); ++i)
        segments->addButton(buttons[i], i);
    connect(segments, &QButtonGroup::idClicked, this, [this](int segment) { logLevelSegmentedControlChanged(segment); });
    const auto bindTable = [this](QTableWidget *table, bool isTasks) {
        connect(table, &QTableWidget::itemChanged, this, [this, table, isTasks](QTableWidgetItem *item) {
            if (item->column() != 0)
                return;
            if (isTasks)
                taskCalendarCategorySelected(table);
            else
                eventCalendarCategorySelected(table);
        });
    };
    bindTable(ui.eventCalendarsTable, false);
    bindTable(ui.taskCalendarsTable, true);
    connect(ui.eventCalendarForNewRecordsPopUp, &QComboBox::activated, this, [this](int index) {
        profile->setEventCalendarIdentifierToWriteTo(m_ui->eventCalendarForNewRecordsPopUp->itemData(index).toString());
    });
    connect(ui.taskCalendarForNewRecordsPopUp, &QComboBox::activated, this, [this](int index) {
        profile->setTaskCalendarIdentifierToWriteTo(m_ui->taskCalendarForNewRecordsPopUp->itemData(index).toString());
    });
}

// ---- Calendar and reminder-list tabs ----

void HMAdvancedSettingsWindowController::openCalendarTab()
{
    GlobalVariables::setIsTaskTabView(false);
    removeTagged({isGoogleDirect ? 5010 : 5013});
    removeTagged({5010, 5011, 5012});
    HMCalendarData calendarData(1);
    m_eventCalendars = markSelected(calendarData.nativeCategoryDictionariesForCategorySetting(),
                                    profile->eventCalendarIdentifiersToSync());
    m_eventCalendarsForNewRecords = calendarData.nativeCategoryDictionariesForNewRecordSetting();
    fillCalendarTable(*m_ui->eventCalendarsTable, m_eventCalendars);
    fillNewRecordsPopUp(*m_ui->eventCalendarForNewRecordsPopUp, m_eventCalendarsForNewRecords,
                        profile->eventCalendarIdentifierToWriteTo());
}

void HMAdvancedSettingsWindowController::openTaskTab()
{
    GlobalVariables::setIsTaskTabView(true);
    HMTaskData taskData;
    const QString defaultIdentifier = GlobalVariables::getDefaultReminderCalendarId();
    const std::shared_ptr<platform::EKEventStore> store = platform::EKEventStore::create(platform::EKEntityMaskReminder);
    bool found = false;
    for (const std::shared_ptr<platform::EKCalendar> &list : store->calendarsForEntityType(platform::EKEntityType::Reminder))
        found = found || list->calendarIdentifier() == defaultIdentifier;
    if (!found)
        profile->setTaskCalendarIdentifierToWriteTo(QLatin1String(kPleaseSelectAValidCalendar));
    const QVariantList lists = taskData.nativeCategoryDictionariesForCategorySetting();
    m_numberOfTaskCalendars = lists.size();
    m_taskCalendars = markSelected(lists, profile->taskCalendarIdentifiersToSync());
    m_taskCalendarsForNewRecords = taskData.nativeCategoryDictionariesForNewRecordSetting();
    fillCalendarTable(*m_ui->taskCalendarsTable, m_taskCalendars);
    fillNewRecordsPopUp(*m_ui->taskCalendarForNewRecordsPopUp, m_taskCalendarsForNewRecords,
                        profile->taskCalendarIdentifierToWriteTo());
}

QVariantList HMAdvancedSettingsWindowController::markSelected(QVariantList dictionaries, const QStringList &identifiers)
{
    for (QVariant &entry : dictionaries) {
        QVariantMap dictionary = entry.toMap();
        if (identifiers.contains(dictionary.value(kIdentifierKey).toString())) {
            dictionary.insert(kSelectedKey, true);
            entry = dictionary;
        }
    }
    return dictionaries;
}

void HMAdvancedSettingsWindowController::fillCalendarTable(QTableWidget &table, const QVariantList &dictionaries)
{
    const QSignalBlocker blocker(table);
    table.clear();
    table.setColumnCount(1);
    table.setRowCount(int(dictionaries.size()));
    table.horizontalHeader()->hide();
    table.verticalHeader()->hide();
    table.horizontalHeader()->setStretchLastSection(true);
    for (int row = 0; row < dictionaries.size(); ++row) {
        const QVariantMap dictionary = dictionaries[row].toMap();
        auto *item = new QTableWidgetItem(dictionary.value(kTitleKey).toString());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(dictionary.value(kSelectedKey).toBool() ? Qt::Checked : Qt::Unchecked);
        table.setItem(row, 0, item);
    }
}

void HMAdvancedSettingsWindowController::fillNewRecordsPopUp(QComboBox &popUp, const QVariantList &dictionaries,
                                                             const QString &selectedIdentifier)
{
    const QSignalBlocker blocker(popUp);
    popUp.clear();
    for (const QVariant &entry : dictionaries) {
        const QVariantMap dictionary = entry.toMap();
        popUp.addItem(dictionary.value(kTitleKey).toString(), dictionary.value(kIdentifierKey));
    }
    popUp.setCurrentIndex(popUp.findData(selectedIdentifier));
}

// The identifiers of the ticked rows, in the table's order; the rows' ticks are written back into the
// dictionaries as "nativeCategorySelected".
QStringList HMAdvancedSettingsWindowController::selectedIdentifiers(const QTableWidget &table,
                                                                    QVariantList &dictionaries) const
{
    QStringList identifiers;
    for (int row = 0; row < dictionaries.size() && row < table.rowCount(); ++row) {
        QVariantMap dictionary = dictionaries[row].toMap();
        const bool selected = table.item(row, 0) != nullptr && table.item(row, 0)->checkState() == Qt::Checked;
        dictionary.insert(kSelectedKey, selected);
        dictionaries[row] = dictionary;
        if (selected)
            identifiers.append(dictionary.value(kIdentifierKey).toString());
    }
    return identifiers;
}

// ---- Option handlers ----

void HMAdvancedSettingsWindowController::wipeAllRecordsOnDeviceSelected()
{
    const Qt::CheckState state = m_ui->wipeAllCheckbox->checkState();
    profile->setPurgeAppleRecordsCheckboxState(state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? -1 : 0);
    if (profile->purgeAppleRecordsCheckboxState() == -1)
        profile->setPurgeAppleRecordsCheckboxState(1);
    profile->updatePurgeFlags();
    refreshConduitControls();
}

void HMAdvancedSettingsWindowController::deletePreferencesForProfileSelected()
{
    if (profile->purgeAppleRecordsCheckboxState() == -1)
        profile->setPurgeAppleRecordsCheckboxState(1);
    profile->updateDeleteSettingForConduits();
}

void HMAdvancedSettingsWindowController::setDeletionPrefsAndroidToMac()
{
    profile->setSyncDeletionsName(QStringLiteral("device_to_mac"));
    profile->updateDeleteSettingForConduits();
}

void HMAdvancedSettingsWindowController::setDeletionPrefsMacToAndroid()
{
    profile->setSyncDeletionsName(QStringLiteral("mac_to_device"));
    profile->updateDeleteSettingForConduits();
}

void HMAdvancedSettingsWindowController::setDeletionPrefsTwoWay()
{
    profile->setSyncDeletionsName(QStringLiteral("two_way"));
    profile->updateDeleteSettingForConduits();
}

void HMAdvancedSettingsWindowController::eventCalendarCategorySelected(QObject *sender)
{
    if (QTableWidget *table = calendarTableOf(sender))
        profile->setEventCalendarIdentifiersToSync(selectedIdentifiers(*table, m_eventCalendars));
}

void HMAdvancedSettingsWindowController::taskCalendarCategorySelected(QObject *sender)
{
    if (QTableWidget *table = calendarTableOf(sender))
        profile->setTaskCalendarIdentifiersToSync(selectedIdentifiers(*table, m_taskCalendars));
}

void HMAdvancedSettingsWindowController::logLevelSegmentedControlChanged(int segment)
{
    static constexpr int32_t levels[] = {LOG_LEVEL_OFF, LOG_LEVEL_ERROR, LOG_LEVEL_WARN, LOG_LEVEL_INFO,
                                         LOG_LEVEL_VERBOSE};
    ddLogLevel.store(segment >= 0 && segment < int(std::size(levels)) ? levels[segment] : LOG_LEVEL_OFF);
}

void HMAdvancedSettingsWindowController::loggingEnabledCheckboxSelected()
{
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    if (delegate == nullptr)
        return;
    if (m_ui->loggingEnabledCheckbox->isChecked())
        delegate->turnOnVerboseLog();
    else
        delegate->turnOffVerboseLog();
}

void HMAdvancedSettingsWindowController::viewLogFilesSelected()
{
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    if (delegate == nullptr || !delegate->fileLogger())
        return;
    const QString folder = delegate->fileLogger()->logFileManager()->logsDirectory();
    DDLogInfo(QStringLiteral("Logs located at '%1'").arg(folder));
    platform::Workspace::sharedWorkspace().selectFile(folder, QString());
}

void HMAdvancedSettingsWindowController::autoSyncWasSelected()
{
    QCheckBox &autoSync = *m_ui->autoSyncCheckbox;
    if (autoSync.isChecked() && needsToInstallScriptFile()) {
        autoSync.setChecked(false);
        showScriptFolderMessage();
        QPointer<QCheckBox> weakBox(&autoSync);
        installScriptFile([weakBox](bool success) {
            DDLogInfo(success ? QStringLiteral("success") : QStringLiteral("NO!!!!"));
            if (success && weakBox)
                weakBox->setChecked(true);
        });
    }
    m_backgroundSyncWasChanged = true;
    if (autoSync.isChecked() && !m_ui->runAtLoginButton->isChecked()) {
        m_ui->runAtLoginButton->setChecked(true);
        setRunAtLogin(true);
    }
}

void HMAdvancedSettingsWindowController::ignoreOutlookCachingWasSelected()
{
    DDLogInfo(QStringLiteral("ignoreOutlookAutosyncCaching is %1, the check box is now %2")
                  .arg(profile->ignoreOutlookAutosyncCaching() ? QStringLiteral("YES") : QStringLiteral("NO"),
                       m_ui->ignoreOutlookCachingCheckbox->isChecked() ? QStringLiteral("on") : QStringLiteral("off")));
}

void HMAdvancedSettingsWindowController::syncAttendeesClicked()
{
    profile->setShouldSyncAttendees(m_ui->syncAttendeesCheckbox->isChecked() ? QStringLiteral("yes") : QStringLiteral("no"));
}

void HMAdvancedSettingsWindowController::didSelectShouldSyncPhotosCheckbox()
{
    const bool on = profile->shouldSyncPhotos() == u"no";
    profile->setShouldSyncPhotos(on ? QStringLiteral("yes") : QStringLiteral("no"));
    m_ui->shouldSyncPhotosCheckbox->setChecked(on);
}

void HMAdvancedSettingsWindowController::syncCompletedTasksClicked()
{
    profile->setShouldSyncCompletedTasks(m_ui->syncCompletedTasksButton->isChecked() ? QStringLiteral("yes")
                                                                                     : QStringLiteral("no"));
}

void HMAdvancedSettingsWindowController::syncOrganizerMeetingsClicked()
{
    profile->setShouldSyncOrganizerMeetings(m_ui->syncOrganizerMeetingsButton->isChecked() ? QStringLiteral("yes")
                                                                                           : QStringLiteral("no"));
}

void HMAdvancedSettingsWindowController::runAtStartupCheckboxSelected()
{
    setRunAtLogin(m_ui->runAtLoginButton->isChecked());
}

// The user default, the login entry, then the defaults written to disk.
void HMAdvancedSettingsWindowController::setRunAtLogin(bool on)
{
    platform::UserDefaults &defaults = userDefaults();
    defaults.setBool(on, QLatin1String(kLaunchAtLoginKey));
    if (platform::Application *const application = platform::Application::shared())
        setLaunchAtLogin(*application, on);
    static_cast<void>(defaults.synchronize());
}

void HMAdvancedSettingsWindowController::alwaysSynchronizeRadioButtonSelected()
{
    m_ui->alwaysSynchronizeRadioButton->setChecked(true);
    m_ui->onlySynchronizeBetweenTheseTimesRadioButton->setChecked(false);
    profile->setUseBlackoutPeriod(false);
    configureBlackoutPeriodView();
}

void HMAdvancedSettingsWindowController::onlySynchronizeBEtweenTheseTimesRadioButtonSelected()
{
    m_ui->alwaysSynchronizeRadioButton->setChecked(false);
    m_ui->onlySynchronizeBetweenTheseTimesRadioButton->setChecked(true);
    profile->setUseBlackoutPeriod(true);
    configureBlackoutPeriodView();
}

void HMAdvancedSettingsWindowController::updateIntervalComboBoxSelected()
{
    configureBlackoutPeriodView();
    m_backgroundSyncWasChanged = true;
}

void HMAdvancedSettingsWindowController::startTimePickerSelected()
{
    profile->setSyncBetweenTheseTimesStartMinutes(timeMinutesFromDatePickerString(m_ui->startTimePicker->text()));
}

void HMAdvancedSettingsWindowController::endTimePickerSelected()
{
    profile->setSyncBetweenTheseTimesEndMinutes(timeMinutesFromDatePickerString(m_ui->endTimePicker->text()));
}

// Minutes after midnight of the time at the end of a picker's text ("12/9/26, 9:30 PM", "09.12.26,
// 21:30"); 0 when the text has no ":" after its first two characters.
qint64 HMAdvancedSettingsWindowController::timeMinutesFromDatePickerString(const QString &text)
{
    const qsizetype colon = text.indexOf(u':');
    if (colon < 3)
        return 0;
    QString rest = text.mid(colon - 2);
    if (rest.startsWith(u' '))
        rest.remove(0, 1);
    const bool isAfternoon = rest.contains(QStringLiteral("PM"), Qt::CaseInsensitive);
    const bool isTwelveHour = isAfternoon || rest.contains(QStringLiteral("AM"), Qt::CaseInsensitive);
    const qsizetype space = rest.indexOf(u' ');
    if (space >= 0)
        rest.truncate(space);
    const QStringList pieces = rest.split(u':');
    qint64 hour = pieces.value(0).trimmed().toLongLong();
    if (isAfternoon && hour != 12)
        hour += 12;
    else if (isTwelveHour && !isAfternoon && hour == 12)
        hour = 0;
    qint64 minutes = hour * 60;
    if (pieces.size() > 1)
        minutes += pieces[1].trimmed().left(2).toLongLong();
    return minutes;
}
