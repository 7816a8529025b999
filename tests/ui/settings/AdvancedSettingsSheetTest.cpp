// The advanced settings sheet's life: its tabs by kind of profile, what it loads, the interval and
// days-back round trips through the profile file, quiet hours, the calendar and reminder-list tabs
// and the ways the sheet ends.

#include "AdvancedSettingsTestSupport.h"

#include "support/TestSupport.h"

#include "foundation/GlobalVariables.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/eventkit/EKCalendar.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"
#include "ui_HMAdvancedSettingsWindowController.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QSet>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

using platform::EKCalendar;
using platform::EKEntityMaskEvent;
using platform::EKEntityMaskReminder;
using platform::EKEntityType;
using platform::EKEventStore;

namespace {

const QString kApple = QStringLiteral("ContactManagerApple");
const QString kOutlook15 = QStringLiteral("ContactManagerOutlook15");

} // namespace

TEST_F(AdvancedSettingsTest, TabsFollowTheKindOfProfile)
{
    launchWithProfile(kOutlook15);
    EXPECT_EQ(openSheet().tabIdentifiers(),
              (QStringList{"OverviewTabView", "GeneralTabView", "AdvancedTabView", "OutlookFoldersTabView"}));
    EXPECT_TRUE(GlobalVariables::getAdvancedSettingsIsOpen());
    // Outlook profiles other than Google direct keep their memo row.
    EXPECT_FALSE(m_sheet->ui().memoSyncCheckbox->isHidden());
    clickClose();
    EXPECT_FALSE(GlobalVariables::getAdvancedSettingsIsOpen());

    m_profile->setContactManager(HMContactManager::Apple);
    m_profile->setContactManagerName(kApple);
    EXPECT_EQ(openSheet().tabIdentifiers(),
              (QStringList{"OverviewTabView", "GeneralTabView", "AdvancedTabView", "CalendarTabView", "TaskTabView"}));
    EXPECT_TRUE(m_sheet->ui().memoSyncCheckbox->isHidden()) << "the memo row is only for Outlook profiles";
    EXPECT_TRUE(m_sheet->ui().memoSyncDirectionPopUp->isHidden());
    clickClose();

    openSheet([](HMAdvancedSettingsWindowController &sheet) { sheet.isSimplified = true; });
    EXPECT_EQ(m_sheet->tabIdentifiers(), QStringList{"OverviewTabView"});
    clickClose();
}

TEST_F(AdvancedSettingsTest, IntervalRoundTripReconfiguresAutosyncOnlyWhenChanged)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setBackgroundSyncEnabled(true);
        profile.setBackgroundSyncInterval(45);
    });
    QComboBox *intervals = openSheet().ui().updateIntevalComboBox;
    EXPECT_EQ(intervals->currentText(), QStringLiteral("30 Minutes"));
    EXPECT_EQ(intervals->count(), 7);
    pick(*intervals, 4); // "One Hour"
    clickClose();
    EXPECT_TRUE(m_delegate->outlookAutosyncTimer()) << "autosync turned on before the file was written";
    std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_TRUE(saved->backgroundSyncEnabled());
    EXPECT_EQ(saved->backgroundSyncInterval().toLongLong(), 60);

    // Closing without touching the interval reconfigures nothing: the running timer stays the same.
    const std::shared_ptr<platform::RunLoopTimer> timer = m_delegate->outlookAutosyncTimer();
    openSheet();
    EXPECT_EQ(m_sheet->ui().updateIntevalComboBox->currentText(), QStringLiteral("One Hour"));
    clickClose();
    EXPECT_EQ(m_delegate->outlookAutosyncTimer(), timer);

    pick(*openSheet().ui().updateIntevalComboBox, 0); // "Manual"
    clickClose();
    EXPECT_FALSE(m_delegate->outlookAutosyncTimer());
    saved = savedProfile();
    EXPECT_FALSE(saved->backgroundSyncEnabled());
    EXPECT_EQ(saved->backgroundSyncInterval().toLongLong(), 0);

    // A code that is not in the table, or background sync off, opens at "Manual".
    m_profile->setBackgroundSyncEnabled(true);
    m_profile->setBackgroundSyncInterval(20);
    EXPECT_EQ(openSheet().ui().updateIntevalComboBox->currentIndex(), 0);
    clickClose();
    m_profile->setBackgroundSyncInterval(75);
    m_profile->setBackgroundSyncEnabled(false);
    EXPECT_EQ(openSheet().ui().updateIntevalComboBox->currentIndex(), 0);
    clickClose();
}

TEST_F(AdvancedSettingsTest, DaysOfPastEventsAreBoundedOnClosing)
{
    launchWithProfile(kOutlook15);
    EXPECT_EQ(openSheet().ui().dateRangeDaysField->text(), QStringLiteral("90"));
    clickClose();
    const QList<std::pair<QString, qint64>> cases = {
        {"45", 45}, {"abc", 90}, {"-5", 90}, {"40000", 32768}, {"32768", 32768}, {" 12 ", 12}};
    for (const auto &[typed, stored] : cases) {
        QLineEdit *field = openSheet().ui().dateRangeDaysField;
        field->clear();
        QTest::keyClicks(field, typed);
        clickClose();
        EXPECT_EQ(savedProfile()->dateRangeCalendarDaysBack().toLongLong(), stored) << typed.toStdString();
    }
    EXPECT_EQ(openSheet().ui().dateRangeDaysField->text(), QStringLiteral("12"));
    clickClose();
}

TEST_F(AdvancedSettingsTest, AppleProfilesKeepTheDaysInTheUserDefaults)
{
    launchWithProfile(kApple);
    QLineEdit *field = openSheet().ui().dateRangeDaysField;
    field->clear();
    QTest::keyClicks(field, QStringLiteral("12.5"));
    clickClose();
    platform::UserDefaults onDisk(m_home->path() + QStringLiteral("/defaults.plist"));
    EXPECT_EQ(onDisk.objectForKey(QStringLiteral("DateRangeDaysBack")).toString(), QStringLiteral("12.5"));
    EXPECT_EQ(openSheet().ui().dateRangeDaysField->text(), QStringLiteral("12.5"));
    field = m_sheet->ui().dateRangeDaysField;
    field->clear();
    QTest::keyClicks(field, QStringLiteral("40000"));
    clickClose();
    EXPECT_EQ(platform::UserDefaults(m_home->path() + QStringLiteral("/defaults.plist"))
                  .objectForKey(QStringLiteral("DateRangeDaysBack")).toString(),
              QStringLiteral("32768"));
}

TEST_F(AdvancedSettingsTest, QuietHoursFollowTheIntervalAndTheStoredMinutes)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setUseBlackoutPeriod(true);
        profile.setSyncBetweenTheseTimesStartMinutes(90);
        profile.setSyncBetweenTheseTimesEndMinutes(1290);
    });
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_TRUE(ui.onlySynchronizeBetweenTheseTimesRadioButton->isChecked());
    EXPECT_FALSE(ui.onlySynchronizeBetweenTheseTimesRadioButton->isEnabled()) << "disabled at Manual";
    EXPECT_FALSE(ui.startTimePicker->isEnabled());
    EXPECT_EQ(ui.startTimePicker->dateTime().time(), QTime(1, 30));
    EXPECT_EQ(ui.endTimePicker->dateTime().time(), QTime(21, 30));
    EXPECT_EQ(ui.startTimePicker->dateTime().date(), QDate::currentDate());

    pick(*ui.updateIntevalComboBox, 2);
    EXPECT_TRUE(ui.startTimePicker->isEnabled());
    click(ui.alwaysSynchronizeRadioButton);
    EXPECT_FALSE(m_profile->useBlackoutPeriod());
    EXPECT_FALSE(ui.startTimePicker->isEnabled());
    EXPECT_FALSE(ui.onlySynchronizeBetweenTheseTimesRadioButton->isChecked());
    click(ui.onlySynchronizeBetweenTheseTimesRadioButton);
    EXPECT_TRUE(m_profile->useBlackoutPeriod());
    ui.startTimePicker->setDateTime(QDateTime(QDate::currentDate(), QTime(7, 45)));
    EXPECT_EQ(m_profile->syncBetweenTheseTimesStartMinutes().toLongLong(), 465);
    clickClose();
    const std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_TRUE(saved->useBlackoutPeriod());
    EXPECT_EQ(saved->syncBetweenTheseTimesStartMinutes().toLongLong(), 465);
    EXPECT_EQ(saved->syncBetweenTheseTimesEndMinutes().toLongLong(), 1290);
    EXPECT_TRUE(saved->backgroundSyncEnabled());
    EXPECT_EQ(saved->backgroundSyncInterval().toLongLong(), 30);
}

TEST_F(AdvancedSettingsTest, TwoWayDeletionsBecomeASentenceAndTheConduitsAreBound)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) { profile.setSyncDeletionsName(QStringLiteral("two_way")); });
    const auto numeric = m_profile->syncDeletions();
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_EQ(m_profile->syncDeletionsName(),
              QStringLiteral("Outlook is the primary database, records deleted on the device will be ignored"));
    click(ui.calendarSyncCheckbox);
    click(ui.rereadDeviceOnNextSyncCheckbox);
    pick(*ui.taskSyncDirectionPopUp, ui.taskSyncDirectionPopUp->findData(QStringLiteral("mac_to_device")));
    clickClose();
    const std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_EQ(saved->syncDeletionsName(), m_profile->syncDeletionsName());
    EXPECT_EQ(saved->syncDeletions(), numeric);
    EXPECT_FALSE(saved->calendarSyncEnabled());
    EXPECT_TRUE(saved->rereadDeviceOnNextSync());
    EXPECT_EQ(saved->taskSyncDirectionName(), QStringLiteral("mac_to_device"));
    EXPECT_TRUE(saved->outlookContactFolderSelection().isNull()) << "the folders tab was never opened";
}

TEST_F(AdvancedSettingsTest, EscapeRunsTheCloseButton)
{
    launchWithProfile(kOutlook15);
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    click(ui.syncAttendeesCheckbox);
    bool closed = false;
    m_sheet->didClose = [&closed] { closed = true; };
    QTest::keyClick(m_sheet->window(), Qt::Key_Escape);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(m_sheet->isSheetOpen());
    EXPECT_FALSE(GlobalVariables::getAdvancedSettingsIsOpen());
    EXPECT_EQ(savedProfile()->shouldSyncAttendees(), QStringLiteral("no"));
}

TEST_F(AdvancedSettingsTest, CalendarTicksAreStoredAsIdentifiers)
{
    launchWithProfile(kApple);
    const std::shared_ptr<EKEventStore> store = EKEventStore::create(EKEntityMaskEvent);
    QStringList identifiers;
    for (const char *title : {"Home", "Work", "Family"}) {
        const std::shared_ptr<EKCalendar> calendar = EKCalendar::calendarForEntityType(EKEntityType::Event);
        calendar->setTitle(QString::fromLatin1(title));
        ASSERT_TRUE(store->saveCalendar(calendar, true));
        identifiers.append(calendar->calendarIdentifier());
    }
    // The calendars are folders another program lists as they are, by their names.
    const QString khalConfig = m_home->path() + QStringLiteral("/khal.conf");
    QFile config(khalConfig);
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("[calendars]\n[[all]]\npath = %1/*\ntype = discover\n[locale]\ntimeformat = %H:%M\n"
                                "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                                "longdatetimeformat = %Y-%m-%d %H:%M\n[sqlite]\npath = %2/khal.db\n")
                     .arg(EKEventStore::calendarsFolderPath(), m_home->path())
                     .toUtf8());
    config.close();
    QProcess khal;
    khal.start(QStringLiteral("khal"), {QStringLiteral("-c"), khalConfig, QStringLiteral("printcalendars")});
    ASSERT_TRUE(khal.waitForFinished(120000));
    QStringList listed = QString::fromUtf8(khal.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"Family", "Home", "Work"})) << khal.readAllStandardError().toStdString();

    m_profile->setEventCalendarIdentifiersToSync({identifiers[1]});
    openSheet();
    clickTab(QStringLiteral("CalendarTabView"));
    QTableWidget &table = *m_sheet->ui().eventCalendarsTable;
    ASSERT_GE(table.rowCount(), 3);
    int ticked = 0;
    for (int row = 0; row < table.rowCount(); ++row)
        ticked += table.item(row, 0)->checkState() == Qt::Checked;
    EXPECT_EQ(ticked, 1);
    for (int row = 0; row < table.rowCount(); ++row) {
        const QString title = table.item(row, 0)->text();
        if (title.startsWith(u"Home") || title.startsWith(u"Family"))
            table.item(row, 0)->setCheckState(Qt::Checked);
        if (title.startsWith(u"Work"))
            table.item(row, 0)->setCheckState(Qt::Unchecked);
    }
    screenshot(QStringLiteral("apple-calendars"));
    QStringList expected = {identifiers[0], identifiers[2]};
    QStringList stored = m_profile->eventCalendarIdentifiersToSync();
    std::sort(expected.begin(), expected.end());
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, expected);
    for (int row = 0; row < table.rowCount(); ++row)
        table.item(row, 0)->setCheckState(Qt::Unchecked);
    EXPECT_TRUE(m_profile->eventCalendarIdentifiersToSync().isEmpty());
    m_sheet->eventCalendarCategorySelected(m_sheet->ui().closeButton); // not a table: changes nothing
    clickClose();
    EXPECT_TRUE(savedProfile()->eventCalendarIdentifiersToSync().isEmpty());
}

TEST_F(AdvancedSettingsTest, InvalidReminderListKeepsTheSheetOpenAndTheFileUnwritten)
{
    launchWithProfile(kApple);
    const std::shared_ptr<EKEventStore> store = EKEventStore::create(EKEntityMaskReminder);
    const std::shared_ptr<EKCalendar> list = EKCalendar::calendarForEntityType(EKEntityType::Reminder);
    list->setTitle(QStringLiteral("Errands"));
    ASSERT_TRUE(store->saveCalendar(list, true));
    GlobalVariables::setDefaultReminderCalendarId(QStringLiteral("gone"));
    const QByteArray before = profileFileBytes();
    ASSERT_FALSE(before.isEmpty());
    openSheet();
    clickTab(QStringLiteral("TaskTabView"));
    EXPECT_EQ(m_profile->taskCalendarIdentifierToWriteTo(), QStringLiteral("Please select a valid calendar"));
    EXPECT_GE(m_sheet->numberOfTaskCalendars(), 1);
    screenshot(QStringLiteral("apple-reminder-lists"));
    clickClose();
    EXPECT_TRUE(m_sheet->isSheetOpen());
    EXPECT_TRUE(GlobalVariables::getAdvancedSettingsIsOpen());
    EXPECT_EQ(profileFileBytes(), before);
    ASSERT_FALSE(m_alerts->recordedAlerts().isEmpty());
    EXPECT_EQ(m_alerts->recordedAlerts().last().messageText,
              QStringLiteral("Invalid default reminder list selected. Go to the Tasks tab and select a valid reminder list."));

    // Choosing a list lets the sheet close and save.
    QComboBox &lists = *m_sheet->ui().taskCalendarForNewRecordsPopUp;
    ASSERT_GE(lists.count(), 1);
    pick(lists, lists.findData(list->calendarIdentifier()));
    clickClose();
    EXPECT_FALSE(m_sheet->isSheetOpen());
    EXPECT_EQ(savedProfile()->taskCalendarIdentifierToWriteTo(), list->calendarIdentifier());
}

TEST_F(AdvancedSettingsTest, NoReminderListsWarnsThenSaves)
{
    launchWithProfile(kApple, [](HMProfile &profile) {
        profile.setTaskCalendarIdentifierToWriteTo(QStringLiteral("Please select a valid calendar"));
        profile.setShouldSyncAttendees(QStringLiteral("yes"));
    });
    openSheet();
    m_profile->setShouldSyncAttendees(QStringLiteral("no"));
    clickClose(); // the tasks tab was never opened: no lists are known
    EXPECT_FALSE(m_sheet->isSheetOpen());
    ASSERT_FALSE(m_alerts->recordedAlerts().isEmpty());
    EXPECT_EQ(m_alerts->recordedAlerts().last().messageText,
              QStringLiteral("No Reminder lists found.\nPlease create at least one Reminder list in Apple Reminders, "
                             "then come back and finish configuring Harrowmere."));
    EXPECT_EQ(savedProfile()->shouldSyncAttendees(), QStringLiteral("no"));
}

namespace {

// The controls of the page that take keyboard focus by Tab.
QList<QWidget *> focusableControls(QWidget &page)
{
    QList<QWidget *> controls;
    for (QWidget *child : page.findChildren<QWidget *>()) {
        const bool isPart = qobject_cast<QAbstractSpinBox *>(child->parentWidget()) != nullptr
            || qobject_cast<QComboBox *>(child->parentWidget()) != nullptr;
        if (!isPart && child->isVisibleTo(&page) && child->isEnabled() && (child->focusPolicy() & Qt::TabFocus)
            && (qobject_cast<QAbstractButton *>(child) != nullptr || qobject_cast<QComboBox *>(child) != nullptr
                || qobject_cast<QLineEdit *>(child) != nullptr || qobject_cast<QDateTimeEdit *>(child) != nullptr
                || qobject_cast<QTableWidget *>(child) != nullptr)) {
            controls.append(child);
        }
    }
    return controls;
}

} // namespace

TEST_F(AdvancedSettingsTest, TabReachesEveryControlOfEveryTabAndEachTabIsShown)
{
    for (const QString &manager : {kApple, kOutlook15}) {
        if (manager == kApple) {
            launchWithProfile(manager, [](HMProfile &profile) {
                profile.setDeviceTypeName(QStringLiteral("android"));
                profile.setBackgroundSyncEnabled(true);
                profile.setBackgroundSyncInterval(60);
            });
        } else {
            m_profile->setContactManager(HMContactManager::Outlook15);
            m_profile->setContactManagerName(manager);
        }
        openSheet();
        m_sheet->window()->activateWindow();
        QApplication::setActiveWindow(m_sheet->window());
        for (const QString &identifier : m_sheet->tabIdentifiers()) {
            if (identifier == u"OutlookFoldersTabView")
                continue; // asks Outlook: shown by the folders tests
            m_sheet->selectTabViewItemWithIdentifier(identifier);
            platform::DispatchQueue::runMainQueueUntilEmpty();
            QWidget &page = *m_sheet->tabViewItemWithIdentifier(identifier);
            const QList<QWidget *> controls = focusableControls(page);
            ASSERT_FALSE(controls.isEmpty()) << identifier.toStdString();
            controls.first()->setFocus(Qt::TabFocusReason);
            QSet<QWidget *> reached;
            for (int press = 0; press < 80; ++press) {
                for (QWidget *focused = QApplication::focusWidget(); focused != nullptr; focused = focused->parentWidget())
                    reached.insert(focused);
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            }
            // Of a group of exclusive buttons (the log level's segments) Tab reaches one; arrows move in it.
            const auto isReached = [&reached](QWidget *control) {
                auto *button = qobject_cast<QAbstractButton *>(control);
                if (button == nullptr || !button->autoExclusive())
                    return reached.contains(control);
                for (QAbstractButton *sibling : control->parentWidget()->findChildren<QAbstractButton *>())
                    if (sibling->autoExclusive() && reached.contains(sibling))
                        return true;
                return false;
            };
            for (QWidget *control : controls)
                EXPECT_TRUE(isReached(control)) << identifier.toStdString() << ": " << control->objectName().toStdString();
            screenshot(QStringLiteral("%1-%2").arg(manager == kApple ? QStringLiteral("apple") : QStringLiteral("outlook"), identifier));
        }
        clickClose();
    }
    // A Google direct Outlook profile: no memo row.
    m_profile->setDeviceTypeName(QStringLiteral("google_devicetype"));
    m_profile->setSyncMethodName(QStringLiteral("direct_sync_method"));
    openSheet();
    EXPECT_TRUE(m_sheet->ui().memoSyncCheckbox->isHidden());
    EXPECT_TRUE(m_sheet->ui().wipeAllCheckbox->text().contains(QStringLiteral("Google")));
    screenshot(QStringLiteral("google-direct-OverviewTabView"));
    screenshot(QStringLiteral("google-direct-OverviewTabView@2x"), 2);
    clickClose();
}
