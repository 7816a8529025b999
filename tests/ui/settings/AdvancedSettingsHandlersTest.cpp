// The option handlers of the advanced settings sheet, each driven through its control: the tri-state
// wipe box, the Outlook options, the picker texts of two locales, logging and launch at login.

#include "AdvancedSettingsTestSupport.h"

#include "support/TestSupport.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"
#include "ui_HMAdvancedSettingsWindowController.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QLocale>
#include <QTest>
#include <QTimeZone>
#include <QToolButton>

namespace {

const QString kOutlook15 = QStringLiteral("ContactManagerOutlook15");

// The default locale for the test's length.
class LocaleOverride final
{
public:
    explicit LocaleOverride(const QLocale &locale) { QLocale::setDefault(locale); }
    ~LocaleOverride() { QLocale::setDefault(m_saved); }

private:
    QLocale m_saved;
};

} // namespace

TEST_F(AdvancedSettingsTest, PickerTextsBecomeMinutesInBothLocales)
{
    using Sheet = HMAdvancedSettingsWindowController;
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("12/9/26, 9:30 PM")), 1290);
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("12/9/26, 12:15 PM")), 735);
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("12/9/26, 12:15 AM")), 15);
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("09.12.26, 21:05")), 1265);
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("9:30")), 0);
    EXPECT_EQ(Sheet::timeMinutesFromDatePickerString(QStringLiteral("no time")), 0);

    launchWithProfile(kOutlook15);
    for (const QLocale &locale : {QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German, QLocale::Germany)}) {
        const LocaleOverride override(locale);
        QDateTimeEdit &picker = *openSheet().ui().endTimePicker;
        for (const auto &[time, minutes] : {std::pair{QTime(21, 30), 1290}, {QTime(12, 15), 735}, {QTime(0, 15), 15},
                                            {QTime(21, 5), 1265}}) {
            picker.setDateTime(QDateTime(QDate::currentDate(), time));
            EXPECT_EQ(m_profile->syncBetweenTheseTimesEndMinutes().toLongLong(), minutes)
                << locale.name().toStdString() << " " << picker.text().toStdString();
        }
        EXPECT_EQ(picker.text(), QLocale().toString(picker.dateTime(), QLocale::ShortFormat));
        clickClose();
    }
}

TEST_F(AdvancedSettingsTest, WipeAllBoxMarksOnlyEnabledConduits)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) {
        profile.setMemoSyncEnabled(false);
        profile.setPurgeMemosOnNextSync(false);
    });
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_EQ(ui.wipeAllCheckbox->checkState(), Qt::Unchecked);
    // A click from off lands on mixed, which becomes on.
    click(ui.wipeAllCheckbox);
    EXPECT_EQ(ui.wipeAllCheckbox->checkState(), Qt::Checked);
    EXPECT_EQ(m_profile->purgeAppleRecordsCheckboxState(), 1);
    EXPECT_TRUE(m_profile->purgeContactsOnNextSync());
    EXPECT_TRUE(m_profile->purgeCalendarOnNextSync());
    EXPECT_TRUE(m_profile->purgeTasksOnNextSync());
    EXPECT_FALSE(m_profile->purgeMemosOnNextSync()) << "a disabled conduit keeps its mark";
    EXPECT_TRUE(ui.contactWipeCheckbox->isChecked());

    // Unticking one conduit makes the box mixed; a click then clears every enabled conduit.
    click(ui.calendarWipeCheckbox);
    EXPECT_EQ(ui.wipeAllCheckbox->checkState(), Qt::PartiallyChecked);
    click(ui.wipeAllCheckbox);
    EXPECT_EQ(ui.wipeAllCheckbox->checkState(), Qt::Checked);
    click(ui.wipeAllCheckbox);
    EXPECT_EQ(ui.wipeAllCheckbox->checkState(), Qt::Unchecked);
    EXPECT_FALSE(m_profile->purgeContactsOnNextSync());
    EXPECT_FALSE(m_profile->purgeCalendarOnNextSync());
    clickClose();
    EXPECT_EQ(savedProfile()->purgeAppleRecordsCheckboxState(), 0);
}

TEST_F(AdvancedSettingsTest, OutlookOptionsAndDeletionChoices)
{
    launchWithProfile(kOutlook15, [](HMProfile &profile) { profile.setShouldSyncOrganizerMeetings(QString()); });
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_TRUE(ui.syncAttendeesCheckbox->isChecked()) << "missing counts as on";
    EXPECT_FALSE(ui.syncOrganizerMeetingsButton->isChecked()) << "missing counts as off";
    click(ui.syncCompletedTasksButton);
    click(ui.syncOrganizerMeetingsButton);
    EXPECT_EQ(m_profile->shouldSyncCompletedTasks(), QStringLiteral("no"));
    EXPECT_EQ(m_profile->shouldSyncOrganizerMeetings(), QStringLiteral("yes"));
    // The photos box toggles the profile's value: missing becomes "no", then "yes".
    m_profile->setShouldSyncPhotos(QString());
    m_sheet->didSelectShouldSyncPhotosCheckbox();
    EXPECT_EQ(m_profile->shouldSyncPhotos(), QStringLiteral("no"));
    EXPECT_FALSE(ui.shouldSyncPhotosCheckbox->isChecked());
    m_sheet->didSelectShouldSyncPhotosCheckbox();
    EXPECT_EQ(m_profile->shouldSyncPhotos(), QStringLiteral("yes"));
    EXPECT_TRUE(ui.shouldSyncPhotosCheckbox->isChecked());
    pick(*ui.syncDeletionsPopUp, ui.syncDeletionsPopUp->findData(QStringLiteral("device_to_mac")));
    clickClose();
    const std::shared_ptr<HMProfile> saved = savedProfile();
    EXPECT_EQ(saved->syncDeletionsName(), QStringLiteral("device_to_mac"));
    EXPECT_EQ(saved->contactSyncDeletionsName(), QStringLiteral("device_to_mac"));
    EXPECT_EQ(saved->memoSyncDeletionsName(), QStringLiteral("device_to_mac"));
    EXPECT_EQ(saved->shouldSyncPhotos(), QStringLiteral("yes"));
    EXPECT_EQ(saved->shouldSyncOrganizerMeetings(), QStringLiteral("yes"));
}

TEST_F(AdvancedSettingsTest, LoggingSwitchesAndTheLogFolder)
{
    launchWithProfile(kOutlook15);
    const QDateTime now = QDateTime(QDate(2026, 12, 9), QTime(6, 0), QTimeZone::utc());
    platform::Clock::setSource([now] { return now; });
    m_defaults->setInteger(7, QStringLiteral("LogLevel"));
    ddLogLevel.store(0);
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_EQ(ddLogLevel.load(), 7) << "opening restores the stored level";
    EXPECT_TRUE(ui.loggingEnabledCheckbox->isChecked());
    click(ui.logLevelSegment2);
    EXPECT_EQ(ddLogLevel.load(), 3);
    EXPECT_EQ(m_defaults->integerForKey(QStringLiteral("LogLevel")), 7) << "the segments set the live level only";
    click(ui.logLevelSegment4);
    EXPECT_EQ(ddLogLevel.load(), 15);

    click(ui.loggingEnabledCheckbox); // off
    EXPECT_EQ(ddLogLevel.load(), 0);
    click(ui.loggingEnabledCheckbox); // on
    platform::UserDefaults onDisk(m_home->path() + QStringLiteral("/defaults.plist"));
    EXPECT_EQ(onDisk.integerForKey(QStringLiteral("LogLevel")), 15);
    EXPECT_EQ(onDisk.objectForKey(QStringLiteral("LoggingExpiration")).toDateTime(), now.addSecs(172800));

    click(ui.viewLogFilesButton);
    ASSERT_FALSE(m_workspaceRequests.isEmpty());
    EXPECT_EQ(QDir::cleanPath(m_workspaceRequests.last().second.toLocalFile()),
              QDir::cleanPath(m_home->logFolder()));
    clickClose();
}

TEST_F(AdvancedSettingsTest, AutosyncAlsoSwitchesRunAtLoginOn)
{
    launchWithProfile(kOutlook15);
    Ui::HMAdvancedSettingsWindowController &ui = openSheet().ui();
    EXPECT_FALSE(ui.runAtLoginButton->isChecked());
    EXPECT_TRUE(ui.appStoreRunAtLoginButton->isHidden());
    click(ui.autoSyncCheckbox);
    EXPECT_TRUE(m_sheet->backgroundSyncWasChanged());
    EXPECT_TRUE(ui.runAtLoginButton->isChecked());
    EXPECT_TRUE(platform::UserDefaults(m_home->path() + QStringLiteral("/defaults.plist"))
                    .boolForKey(QStringLiteral("kHMMLaunchAtLogin")));
    const QStringList entries = QDir(m_home->autostartFolder()).entryList({QStringLiteral("*.desktop")});
    EXPECT_EQ(entries.size(), 1) << entries.join(u',').toStdString();
    // Switching autosync off leaves run at login alone; the run-at-login box removes the entry.
    click(ui.autoSyncCheckbox);
    EXPECT_TRUE(ui.runAtLoginButton->isChecked());
    click(ui.runAtLoginButton);
    EXPECT_TRUE(QDir(m_home->autostartFolder()).entryList({QStringLiteral("*.desktop")}).isEmpty());
    EXPECT_FALSE(platform::UserDefaults(m_home->path() + QStringLiteral("/defaults.plist"))
                     .boolForKey(QStringLiteral("kHMMLaunchAtLogin")));
    clickClose();
}
