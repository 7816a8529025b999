#include "ui/settings/HMAdvancedSettingsWindowController.h"

#include "ui_HMAdvancedSettingsWindowController.h"

#include "app/HMAppDelegate.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/DatePicker.h"
#include "platform/appkit/View.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDate>
#include <limits>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTimeZone>

namespace {

struct IntervalChoice
{
    const char *name;
    bool enabled;
    qint64 code;
};

// The automatic sync intervals by list position: the name shown and what the profile stores.
constexpr IntervalChoice kIntervals[] = {
    {"Manual", false, 0},         {"Automatic", true, 15}, {"15 Minutes", true, 30}, {"30 Minutes", true, 45},
    {"One Hour", true, 60},       {"Two Hours", true, 75}, {"Four Hours", true, 90},
};

const QString kLogLevelKey = QStringLiteral("LogLevel");
const QString kDateRangeDaysBackKey = QStringLiteral("DateRangeDaysBack");
const QString kNoReminderListsMessage = QStringLiteral(
    "No Reminder lists found.\nPlease create at least one Reminder list in Apple Reminders, then come back and "
    "finish configuring Harrowmere.");
const QString kInvalidReminderListMessage = QStringLiteral(
    "Invalid default reminder list selected. Go to the Tasks tab and select a valid reminder list.");

// The integer a text starts with (white space, a sign and digits), 0 when it starts with none; values
// beyond 64 bits are held at the nearest end.
qint64 integerValue(const QString &text)
{
    static const QRegularExpression leading(QStringLiteral("^\\s*([+-]?\\d+)"));
    const QRegularExpressionMatch match = leading.match(text);
    if (!match.hasMatch())
        return 0;
    bool fits = false;
    const qint64 value = match.captured(1).toLongLong(&fits);
    if (fits)
        return value;
    return match.captured(1).startsWith(u'-') ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
}

QString localized(const QString &key)
{
    return platform::Bundle::localizedString(key);
}

// A localised name as a title: its first letter in upper case.
QString titled(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

} // namespace

platform::UserDefaults &HMAdvancedSettingsWindowController::userDefaults()
{
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    return delegate != nullptr ? delegate->userDefaults() : platform::UserDefaults::standardUserDefaults();
}

HMAdvancedSettingsWindowController::HMAdvancedSettingsWindowController()
    : FormWindowController(QStringLiteral("HMAdvancedSettingsWindowController"), platform::WindowKind::Document)
{
}

void HMAdvancedSettingsWindowController::loadInterface(QDialog &window)
{
    FormWindowController::loadInterface(window);
    window.installEventFilter(this);
}

// The sheet has no cancel: Escape and a request to close the window run the close button.
bool HMAdvancedSettingsWindowController::eventFilter(QObject *watched, QEvent *event)
{
    if (isWindowLoaded() && watched == window()) {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            closePanel();
            return true;
        }
        if (event->type() == QEvent::Close && isSheetOpen()) {
            event->ignore();
            closePanel();
            return true;
        }
    }
    return platform::WindowController::eventFilter(watched, event);
}

void HMAdvancedSettingsWindowController::showPanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    m_isClosed = false;
    beginSheet(parentWindow);
    if (m_updateIntervalArray.isEmpty()) {
        for (const IntervalChoice &choice : kIntervals)
            m_updateIntervalArray.append(QLatin1String(choice.name));
    }
    QComboBox &intervals = *m_ui->updateIntevalComboBox;
    const QSignalBlocker blocker(intervals);
    intervals.setEditable(false);
    intervals.clear();
    intervals.addItems(m_updateIntervalArray);
    intervals.setCurrentIndex(0);
    const qint64 interval = profile->backgroundSyncInterval().toLongLong();
    if (profile->backgroundSyncEnabled() && interval != 0) {
        for (qsizetype position = 1; position < qsizetype(std::size(kIntervals)); ++position) {
            if (kIntervals[position].code == interval)
                intervals.setCurrentIndex(int(position));
        }
    }
    configureBlackoutPeriodView();
}

void HMAdvancedSettingsWindowController::windowDidLoad()
{
    if (isConfiguredForOutlook) {
        loadOutlookOptions();
        if (isGoogleDirect)
            removeTagged({1012, 1013, 1015});
    } else {
        const QVariant daysBack = userDefaults().objectForKey(kDateRangeDaysBackKey);
        m_ui->dateRangeDaysField->setText(daysBack.isValid() ? daysBack.toString() : QStringLiteral("90"));
        removeTagged({1012, 1013, 1015});
    }
    if (m_updateIntervalArray.isEmpty()) {
        for (const IntervalChoice &choice : kIntervals)
            m_updateIntervalArray.append(QLatin1String(choice.name));
    }
    filterTabs();
    ddLogLevel.store(int32_t(userDefaults().integerForKey(kLogLevelKey)));
    m_ui->loggingEnabledCheckbox->setChecked(ddLogLevel.load() > 6);
    localizeXib();
    replaceTwoWayDeletionName();
    m_ui->runAtLoginButton->setChecked(userDefaults().boolForKey(QLatin1String(kLaunchAtLoginKey)));
    m_ui->runAtLoginButton->show();
    m_ui->appStoreRunAtLoginButton->hide();
    for (QDateTimeEdit *picker : {m_ui->startTimePicker, m_ui->endTimePicker}) {
        platform::configureDatePicker(*picker);
        picker->setDateTime(todaysDateWithMinutesFromMidnight(0));
    }
    loadConduitControls();
    loadChoicePopUps();
    connectControls();
    connectOptionHandlers();
}

void HMAdvancedSettingsWindowController::loadOutlookOptions()
{
    const QVariant daysBack = profile->dateRangeCalendarDaysBack();
    m_ui->dateRangeDaysField->setText(daysBack.isValid() ? QString::number(daysBack.toLongLong()) : QStringLiteral("90"));
    m_ui->syncAttendeesCheckbox->setChecked(profile->shouldSyncAttendees() != u"no");
    m_ui->syncCompletedTasksButton->setChecked(profile->shouldSyncCompletedTasks() != u"no");
    m_ui->syncOrganizerMeetingsButton->setChecked(profile->shouldSyncOrganizerMeetings() == u"yes");
}

// Takes the controls with the tags out of the sheet for good (only the tab on screen is searched):
// hidden, disabled and untagged, so no later search finds them; the outlets stay valid.
void HMAdvancedSettingsWindowController::removeTagged(std::initializer_list<qint64> tags, QWidget *page)
{
    for (qint64 tag : tags) {
        QWidget *const view = page != nullptr ? platform::viewWithTag(page, tag) : platform::viewWithTagOnScreen(window(), tag);
        if (view != nullptr) {
            view->hide();
            view->setEnabled(false);
            platform::setTag(*view, 0);
        }
    }
}

void HMAdvancedSettingsWindowController::filterTabs()
{
    static const QStringList outlookTabs = {QStringLiteral("OverviewTabView"), QStringLiteral("OutlookFoldersTabView"),
                                            QStringLiteral("GeneralTabView"), QStringLiteral("AdvancedTabView")};
    for (const QString &identifier : tabIdentifiers()) {
        const bool keep = isConfiguredForOutlook ? outlookTabs.contains(identifier)
                                                 : identifier != u"OutlookFoldersTabView";
        if (!keep || (isSimplified && identifier != u"OverviewTabView"))
            removeTab(identifier);
    }
}

void HMAdvancedSettingsWindowController::removeTab(const QString &identifier)
{
    QTabWidget &tabs = *m_ui->settingsTabView;
    QWidget *const page = tabViewItemWithIdentifier(identifier);
    if (page == nullptr)
        return;
    const QSignalBlocker blocker(tabs);
    tabs.removeTab(tabs.indexOf(page));
    page->setParent(window());
    page->hide();
}

QStringList HMAdvancedSettingsWindowController::tabIdentifiers() const
{
    QStringList identifiers;
    for (int i = 0; i < m_ui->settingsTabView->count(); ++i)
        identifiers.append(m_ui->settingsTabView->widget(i)->objectName());
    return identifiers;
}

QWidget *HMAdvancedSettingsWindowController::tabViewItemWithIdentifier(const QString &identifier) const
{
    for (int i = 0; i < m_ui->settingsTabView->count(); ++i) {
        if (m_ui->settingsTabView->widget(i)->objectName() == identifier)
            return m_ui->settingsTabView->widget(i);
    }
    return nullptr;
}

void HMAdvancedSettingsWindowController::selectTabViewItemWithIdentifier(const QString &identifier)
{
    if (QWidget *page = tabViewItemWithIdentifier(identifier))
        m_ui->settingsTabView->setCurrentWidget(page);
}

void HMAdvancedSettingsWindowController::replaceTwoWayDeletionName()
{
    if (profile->syncDeletionsName() != u"two_way")
        return;
    if (isConfiguredForOutlook) {
        profile->setSyncDeletionsName(QStringLiteral(
            "Outlook is the primary database, records deleted on the device will be ignored"));
        if (isConfiguredForGoogle) {
            profile->setSyncDeletionsName(QStringLiteral(
                "Outlook is the primary database, records deleted in Google will be ignored"));
        }
    } else {
        profile->setSyncDeletionsName(QStringLiteral(
            "Mac is the primary database, records deleted in Quillpad will be ignored"));
    }
}

QString HMAdvancedSettingsWindowController::deviceName() const
{
    QString device = profile->deviceTypeName().isNull() ? QStringLiteral("the device") : profile->deviceTypeName();
    if (isConfiguredForGoogle)
        device = QStringLiteral("Google");
    if (device == u"quillnest_devicetype")
        device = QStringLiteral("Quillnest");
    else if (device == u"android")
        device = QStringLiteral("Android");
    return device;
}

void HMAdvancedSettingsWindowController::localizeXib()
{
    const QString device = deviceName();
    static const QMap<QString, QString> tabKeys = {{QStringLiteral("OverviewTabView"), QStringLiteral("overview")},
                                                   {QStringLiteral("CalendarTabView"), QStringLiteral("calendar")},
                                                   {QStringLiteral("TaskTabView"), QStringLiteral("tasks")},
                                                   {QStringLiteral("GeneralTabView"), QStringLiteral("General")}};
    QTabWidget &tabs = *m_ui->settingsTabView;
    for (int i = 0; i < tabs.count(); ++i) {
        const QString key = tabKeys.value(tabs.widget(i)->objectName());
        if (!key.isEmpty())
            tabs.setTabText(i, titled(localized(key)));
    }
    localizeTaggedControls(device);
    m_ui->rereadAppleOnNextSyncCheckbox->setText(
        localized(isConfiguredForOutlook ? QStringLiteral("Reread Outlook records on next sync")
                                         : QStringLiteral("reread_apple_records")));
    m_ui->rereadDeviceOnNextSyncCheckbox->setText(localized(QStringLiteral("reread_%@_records")).replace(QStringLiteral("%@"), device));
}

void HMAdvancedSettingsWindowController::localizeTaggedControls(const QString &device)
{
    const auto setText = [this](qint64 tag, const QString &text) {
        QWidget *const view = platform::viewWithTag(window(), tag);
        if (auto *label = qobject_cast<QLabel *>(view))
            label->setText(text);
        else if (auto *button = qobject_cast<QAbstractButton *>(view))
            button->setText(text);
    };
    setText(1001, localized(QStringLiteral("general_settings")));
    setText(1002, localized(QStringLiteral("wipe_%@_records")).replace(QStringLiteral("%@"), device));
    setText(1005, localized(QStringLiteral("data_types_to_sync")));
    setText(1014, localized(QStringLiteral("deletion_preferences")));
    const QStringList conduits = {QStringLiteral("contacts"), QStringLiteral("calendar"), QStringLiteral("tasks"),
                                  QStringLiteral("memos")};
    for (qsizetype i = 0; i < conduits.size(); ++i) {
        const QString name = localized(conduits[i]);
        setText(1006 + 2 * i, titled(name));
        QString wipe = localized(QStringLiteral("wipe_%@_in_%@"));
        const qsizetype first = wipe.indexOf(QStringLiteral("%@"));
        if (first >= 0)
            wipe.replace(first, 2, name);
        setText(1007 + 2 * i, wipe.replace(QStringLiteral("%@"), device));
    }
}

void HMAdvancedSettingsWindowController::configureBlackoutPeriodView()
{
    Ui::HMAdvancedSettingsWindowController &ui = *m_ui;
    const bool between = profile->useBlackoutPeriod();
    ui.alwaysSynchronizeRadioButton->setChecked(!between);
    ui.onlySynchronizeBetweenTheseTimesRadioButton->setChecked(between);
    const bool manual = ui.updateIntevalComboBox->currentIndex() == 0;
    ui.alwaysSynchronizeRadioButton->setEnabled(!manual);
    ui.onlySynchronizeBetweenTheseTimesRadioButton->setEnabled(!manual);
    const bool pickersEnabled = !manual && ui.onlySynchronizeBetweenTheseTimesRadioButton->isChecked();
    ui.startTimePicker->setEnabled(pickersEnabled);
    ui.endTimePicker->setEnabled(pickersEnabled);
    const QSignalBlocker startBlocker(ui.startTimePicker);
    const QSignalBlocker endBlocker(ui.endTimePicker);
    if (profile->syncBetweenTheseTimesStartMinutes().isValid())
        ui.startTimePicker->setDateTime(todaysDateWithMinutesFromMidnight(profile->syncBetweenTheseTimesStartMinutes().toLongLong()));
    if (profile->syncBetweenTheseTimesEndMinutes().isValid())
        ui.endTimePicker->setDateTime(todaysDateWithMinutesFromMidnight(profile->syncBetweenTheseTimesEndMinutes().toLongLong()));
}

QDateTime HMAdvancedSettingsWindowController::todaysDateWithMinutesFromMidnight(qint64 minutes)
{
    const QDateTime midnight = QDate::currentDate().startOfDay(QTimeZone::systemTimeZone());
    if (!midnight.isValid())
        return {};
    return midnight.addSecs(minutes * 60);
}

bool HMAdvancedSettingsWindowController::stringIsNumber(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    return number.match(text.trimmed()).hasMatch();
}

QString HMAdvancedSettingsWindowController::returnValidString(const QString &text)
{
    const qint64 value = integerValue(text);
    if (value < 0)
        return QStringLiteral("90");
    if (value > 32768)
        return QStringLiteral("32768");
    return text;
}

void HMAdvancedSettingsWindowController::validateDateRange()
{
    const QString text = m_ui->dateRangeDaysField->text();
    const QString value = stringIsNumber(text) ? returnValidString(text) : QStringLiteral("90");
    if (isConfiguredForOutlook) {
        profile->setDateRangeCalendarDaysBack(integerValue(value));
        return;
    }
    platform::UserDefaults &defaults = userDefaults();
    defaults.setObject(value, kDateRangeDaysBackKey);
    static_cast<void>(defaults.synchronize());
}

void HMAdvancedSettingsWindowController::tabViewDidSelectTabViewItem(QWidget *tabViewItem)
{
    if (tabViewItem == nullptr)
        return;
    const bool isApple = profile->contactManager() == HMContactManager::Apple;
    const QString identifier = tabViewItem->objectName();
    const bool calendar = isApple && identifier == u"CalendarTabView"
        && platform::EKEventStore::authorizationStatusForEntityType(platform::EKEntityType::Event) == platform::EKAuthorizationStatus::NotDetermined;
    const bool reminders = isApple && identifier == u"TaskTabView"
        && platform::EKEventStore::authorizationStatusForEntityType(platform::EKEntityType::Reminder) == platform::EKAuthorizationStatus::NotDetermined;
    QPointer<HMAdvancedSettingsWindowController> weakThis(this);
    QPointer<QWidget> weakItem(tabViewItem);
    requestCalendarPermission(calendar, reminders, [weakThis, weakItem] {
        if (weakThis && weakItem)
            weakThis->openTabViewItem(weakItem);
    });
}

// Asks for calendar access, then reminders access, one after the other; every continuation runs on
// the main queue, whatever the answers.
void HMAdvancedSettingsWindowController::requestCalendarPermission(bool calendarPermission, bool remindersPermission,
                                                                   std::function<void()> completion)
{
    if (!calendarPermission && !remindersPermission) {
        if (completion)
            completion();
        return;
    }
    const platform::EKEntityType type = calendarPermission ? platform::EKEntityType::Event : platform::EKEntityType::Reminder;
    const std::shared_ptr<platform::EKEventStore> store = platform::EKEventStore::create(
        calendarPermission ? platform::EKEntityMaskEvent : platform::EKEntityMaskReminder);
    QPointer<HMAdvancedSettingsWindowController> weakThis(this);
    store->requestAccessToEntityType(type, [weakThis, calendarPermission, remindersPermission, completion,
                                            store](bool, std::optional<platform::Error>) {
        platform::DispatchQueue::main()->async([weakThis, calendarPermission, remindersPermission, completion] {
            if (weakThis)
                weakThis->requestCalendarPermission(false, calendarPermission && remindersPermission, completion);
        });
    });
}

void HMAdvancedSettingsWindowController::openTabViewItem(QWidget *tabViewItem)
{
    const QString identifier = tabViewItem->objectName();
    if (identifier == u"CalendarTabView") {
        openCalendarTab();
    } else if (identifier == u"TaskTabView") {
        openTaskTab();
    } else if (identifier == u"AdvancedTabView") {
        if (isConfiguredForOutlook && !profile->contactManagerName().contains(u"15"))
            removeTagged({5012});
    } else if (identifier == u"OutlookFoldersTabView") {
        openOutlookFoldersTab();
        return; // the folders tab erases its overlay when its queries are done
    }
    eraseLoadingFoldersView();
}

bool HMAdvancedSettingsWindowController::checkReminderList()
{
    const platform::OperatingSystemVersion version = platform::ProcessInfo::operatingSystemVersion();
    const bool isEventKitSystem = version.majorVersion > 10 || (version.majorVersion == 10 && version.minorVersion >= 8);
    if (isConfiguredForOutlook || !isEventKitSystem
        || profile->taskCalendarIdentifierToWriteTo() != QLatin1String(kPleaseSelectAValidCalendar)) {
        return true;
    }
    if (m_numberOfTaskCalendars > 0) {
        presentError(kInvalidReminderListMessage);
        return false;
    }
    presentError(kNoReminderListsMessage);
    return true;
}

bool HMAdvancedSettingsWindowController::closePanel()
{
    if (m_isClosed)
        return true;
    validateDateRange();
    if (!checkReminderList())
        return false;
    saveAutosyncState();
    if (m_backgroundSyncWasChanged)
        reconfigureAutosyncing();
    saveFolderSelections();
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    if (delegate != nullptr && delegate->profileManager())
        delegate->profileManager()->saveProfile(*profile);
    else
        DDLogError(QStringLiteral("No profile manager: the profile '%1' was not saved").arg(profile->name()));
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    m_isClosed = true;
    cancelOutlookQueries();
    endSheet(platform::NSModalResponseOK);
    return true;
}

void HMAdvancedSettingsWindowController::saveAutosyncState()
{
    const int position = m_ui->updateIntevalComboBox->currentIndex();
    if (position < 0 || position >= m_updateIntervalArray.size())
        return;
    const QString name = m_updateIntervalArray.at(position);
    for (const IntervalChoice &choice : kIntervals) {
        if (name.contains(QLatin1String(choice.name))) {
            profile->setBackgroundSyncEnabled(choice.enabled);
            profile->setBackgroundSyncInterval(choice.code);
            return;
        }
    }
}

void HMAdvancedSettingsWindowController::reconfigureAutosyncing()
{
    HMAppDelegate *const delegate = HMAppDelegate::sharedDelegate();
    if (delegate == nullptr)
        return;
    if (!isConfiguredForOutlook)
        delegate->configureBackgroundSyncing();
    else
        delegate->configureOutlookAutosync(m_ui->updateIntevalComboBox->currentIndex() >= 1);
}

void HMAdvancedSettingsWindowController::saveFolderSelections()
{
    const auto save = [](QComboBox *comboBox, const HMFolderMap &folders, const std::function<void(const QString &)> &set) {
        if (comboBox == nullptr || folders.isEmpty())
            return;
        const qsizetype position = platform::indexOfSelectedItem(*comboBox);
        if (position >= 0 && position < folders.size())
            set(folders.keys().at(position));
    };
    HMProfile &edited = *profile;
    save(contactsComboBox, contactFoldersDictionary, [&edited](const QString &key) { edited.setOutlookContactFolderSelection(key); });
    save(calendarComboBox, calendarFoldersDictionary, [&edited](const QString &key) { edited.setOutlookCalendarFolderSelection(key); });
    save(tasksComboBox, taskFoldersDictionary, [&edited](const QString &key) { edited.setOutlookTaskFolderSelection(key); });
    save(memosComboBox, memoFoldersDictionary, [&edited](const QString &key) { edited.setOutlookMemoFolderSelection(key); });
}

void HMAdvancedSettingsWindowController::didEndSheet(int)
{
    window()->hide();
    if (didClose)
        didClose();
}

// The application's error presentation: an alert whose message is the error's description.
void HMAdvancedSettingsWindowController::presentError(const QString &message)
{
    platform::Alert alert;
    alert.setMessageText(message);
    alert.addButtonWithTitle(QStringLiteral("OK"));
    alert.runModal();
}

qsizetype HMAdvancedSettingsWindowController::numberOfItemsInComboBox(QComboBox &comboBox)
{
    const HMFolderMap *const folders = folderMapForTag(platform::tag(comboBox));
    return folders != nullptr ? folders->size() : 0;
}

QVariant HMAdvancedSettingsWindowController::comboBoxObjectValueForItemAtIndex(QComboBox &comboBox, qsizetype index)
{
    const HMFolderMap *const folders = folderMapForTag(platform::tag(comboBox));
    if (folders == nullptr || index < 0 || index >= folders->size())
        return {};
    return folders->value(folders->keys().at(index));
}
