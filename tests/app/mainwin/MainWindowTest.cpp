// The main window of a launched application: the first start, the profile texts, the last-sync label,
// the trace file, the profiles sheet and the checks that refuse a sync before it starts.
#include "MainWindowTestSupport.h"

#include "ManualStepScheduler.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/PropertyList.h"
#include "platform/appkit/Screenshot.h"
#include "sync/HMSyncController.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPushButton>

#include <thread>

using namespace std::chrono_literals;

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);

void makeWiFiAppleProfile(HMProfile &profile)
{
    profile.setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile.setContactManager(HMContactManager::Apple);
    profile.setDeviceTypeName(QStringLiteral("android"));
    profile.setSyncMethodName(QStringLiteral("wifi"));
    profile.setHhPassword(QStringLiteral("12345"));
    profile.setHhIpAddress(QStringLiteral("10.0.0.9"));
}

// Sets the store and the names and numbers of the device type and sync method.
void applyChoices(HMProfile &profile, HMContactManager manager, const char *device, const char *method)
{
    profile.setContactManager(manager);
    profile.setDeviceTypeName(QString::fromLatin1(device));
    profile.setSyncMethodName(QString::fromLatin1(method));
    profile.setDeviceType(deviceTypeForName(QString::fromLatin1(device)));
    profile.setSyncMethod(syncMethodForName(QString::fromLatin1(method)));
}

class MainWindow : public MainWindowTest
{
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        platform::Clock::setSource([] { return kNow; });
        platform::Locale::setCurrent(platform::Locale(QStringLiteral("en_US")));
    }
    void TearDown() override
    {
        platform::Locale::setCurrent(std::nullopt);
        MainWindowTest::TearDown();
    }
};

TEST_F(MainWindow, FirstStartAddsOneDefaultProfileAndOpensTheSettingsAQuarterSecondLater)
{
    launchWindow();
    ASSERT_EQ(window().profiles().size(), 1);
    EXPECT_EQ(window().currentProfile(), window().profiles().front());
    EXPECT_EQ(m_delegate->profiles(), window().profiles());
    EXPECT_EQ(window().outlet<QComboBox>(QStringLiteral("profilePopup"))->currentText(), window().currentProfile()->name());
    EXPECT_EQ(labelText(QStringLiteral("lastSyncDateLabel")), QStringLiteral("Last Sync: Never"));
    EXPECT_EQ(window().currentProfile()->deviceTypeName(), QStringLiteral("android"));
    EXPECT_EQ(window().currentProfile()->syncMethodName(), QStringLiteral("wifi"));

    m_windowClock->advance(249ms);
    EXPECT_EQ(m_settingsOpenings, 0);
    m_windowClock->advance(1ms);
    EXPECT_EQ(m_settingsOpenings, 1);
    EXPECT_TRUE(window().alreadyVisitedAdvancedSettings());
    // This build's settings open no sheet: nothing would end one to open the listener again.
    EXPECT_TRUE(window().isListening()) << "the listener opens again when no settings sheet came up";
    EXPECT_FALSE(window().didStartSync());

    // The trace of this run: the date under 101, then the steps from 102 on.
    QFile traceFile(m_home->dataFolder() + QStringLiteral("/mainWindowLog.plist"));
    ASSERT_TRUE(traceFile.open(QIODevice::ReadOnly));
    const QByteArray traceBytes = traceFile.read(1 << 20);
    const QByteArray expectedHead =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "\t<key>101</key>\n\t<date>2026-12-07T12:00:00Z</date>\n"
        "\t<key>102</key>\n\t<string>init</string>\n"
        "\t<key>103</key>\n\t<string>super initWithWindow:</string>\n"
        "\t<key>104</key>\n\t<string>windowWillLoad</string>\n"
        "\t<key>105</key>\n\t<string>windowDidLoad</string>\n";
    EXPECT_EQ(traceBytes.left(expectedHead.size()), expectedHead);
    EXPECT_TRUE(traceBytes.endsWith("</dict>\n</plist>\n")) << traceBytes.right(40).toStdString();
    const platform::Result<QVariantMap> trace =
        platform::readPropertyListDictionary(m_home->dataFolder() + QStringLiteral("/mainWindowLog.plist"));
    ASSERT_TRUE(trace) << trace.error().message().toStdString();
    EXPECT_EQ(trace->value(QStringLiteral("101")).toDateTime(), kNow);
    EXPECT_EQ(trace->value(QStringLiteral("102")).toString(), QStringLiteral("init"));
    EXPECT_EQ(trace->value(QStringLiteral("103")).toString(), QStringLiteral("super initWithWindow:"));
    EXPECT_EQ(trace->value(QStringLiteral("104")).toString(), QStringLiteral("windowWillLoad"));
    const QStringList steps = [&] {
        QStringList texts;
        for (const QVariant &value : *trace)
            texts.append(value.toString());
        return texts;
    }();
    for (const char *step : {"adding default profile", "done adding default profile", "setupUDPSocket", "end windowDidLoad:"})
        EXPECT_TRUE(steps.contains(QLatin1String(step))) << step;
}

TEST_F(MainWindow, ProfileTextsFollowTheStoreTheSyncMethodAndTheDevice)
{
    saveWindowProfile(QStringLiteral("Texts"), makeWiFiAppleProfile);
    launchWindow();
    struct Row { const char *name; HMContactManager manager; const char *device; const char *method;
                 const char *managerText; const char *methodText; const char *destination; const char *summary; };
    const Row rows[] = {
        {"Mac apps over Wi-Fi", HMContactManager::Apple, "android", "wifi", "Mac Apps", "WiFi", "Android", "Mac Apps with Android"},
        {"Outlook 2011 over USB", HMContactManager::Outlook14, "android", "adb", "Outlook 2011", "USB", "Android", "Outloook 2011 with Android"},
        {"Outlook 2016 with Google", HMContactManager::Outlook15, "google_devicetype", "direct_sync_method",
         "Outlook 2016", "Direct", "Google", "Outloook 2016 with Google"},
        {"the cloud through the cloud", HMContactManager::Apple, "quillnest_devicetype", "quill_nest_sync_method",
         "Mac Apps", "Quillnest", "", "Mac Apps with Quillnest"},
    };
    HMProfile &profile = *window().currentProfile();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        applyChoices(profile, row.manager, row.device, row.method);
        window().writeProfileText();
        EXPECT_EQ(labelText(QStringLiteral("contactManagerLabel")), QString::fromLatin1(row.managerText));
        EXPECT_EQ(labelText(QStringLiteral("syncMethodLabel")), QString::fromLatin1(row.methodText));
        EXPECT_EQ(labelText(QStringLiteral("syncDestinationLabel")), QString::fromLatin1(row.destination));
        EXPECT_EQ(labelText(QStringLiteral("profileTextField")), QString::fromLatin1(row.summary));
    }
    // Without a store the three labels empty and the summary stays.
    profile.setContactManager(HMContactManager::None);
    window().writeProfileText();
    EXPECT_EQ(labelText(QStringLiteral("contactManagerLabel")), QString());
    EXPECT_EQ(labelText(QStringLiteral("syncMethodLabel")), QString());
    EXPECT_EQ(labelText(QStringLiteral("profileTextField")), QStringLiteral("Mac Apps with Quillnest"));
    // Outlook notes show for Outlook profiles that do not sync with Google.
    profile.setContactManager(HMContactManager::Outlook15);
    profile.setDeviceTypeName(QStringLiteral("android"));
    window().showHideNotes();
    EXPECT_TRUE(window().viewWithTag(1014)->isVisibleTo(window().window()));
    profile.setDeviceTypeName(QStringLiteral("google_devicetype"));
    window().showHideNotes();
    EXPECT_FALSE(window().viewWithTag(1015)->isVisibleTo(window().window()));
}

TEST_F(MainWindow, LastSyncLabelShowsTheLatestConduitDate)
{
    saveWindowProfile(QStringLiteral("Dates"), makeWiFiAppleProfile);
    launchWindow();
    struct Row { const char *name; QDateTime contacts; QDateTime tasks; const char *label; };
    const Row rows[] = {
        {"never synced", {}, {}, "Last Sync: Never"},
        {"this year drops the year", QDateTime(QDate(2026, 12, 6), QTime(14, 5), Qt::UTC), {},
         "Last Sync: 2:05 PM   (Dec 6)"},
        {"the latest conduit counts", QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC),
         QDateTime(QDate(2026, 11, 30), QTime(8, 30), Qt::UTC), "Last Sync: 8:30 AM   (Nov 30)"},
        {"another year keeps it", QDateTime(QDate(2025, 12, 6), QTime(14, 5), Qt::UTC), {},
         "Last Sync: 2:05 PM   (Dec 6, 2025)"},
    };
    HMProfile &profile = *window().currentProfile();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        profile.setContactLastSyncDate(row.contacts);
        profile.setTaskLastSyncDate(row.tasks);
        window().updateLastSyncDateLabel();
        EXPECT_EQ(labelText(QStringLiteral("lastSyncDateLabel")), QString::fromLatin1(row.label));
    }
    // With no conduit date, the end of this process's last sync stands in and is kept in the profile.
    profile.setContactLastSyncDate({});
    profile.setTaskLastSyncDate({});
    GlobalVariables::setLastSyncEndDate(QDateTime(QDate(2026, 12, 7), QTime(11, 15), Qt::UTC));
    window().updateLastSyncDateLabel();
    EXPECT_EQ(labelText(QStringLiteral("lastSyncDateLabel")), QStringLiteral("Last Sync: 11:15 AM   (Dec 7)"));
    EXPECT_EQ(profile.lastSyncDateWorkaround(), QDateTime(QDate(2026, 12, 7), QTime(11, 15), Qt::UTC));
    GlobalVariables::setLastSyncEndDate({});

    const platform::Result<QString> saved = platform::saveScreenshot(
        *window().window(), testsupport::binaryDir() + QStringLiteral("/screenshots/app"), QStringLiteral("main-window-profile"));
    EXPECT_TRUE(saved) << saved.error().message().toStdString();
}

TEST_F(MainWindow, ProfilesSheetAddsAndDeletesAndNeverLeavesTheListEmpty)
{
    saveWindowProfile(QStringLiteral("Only"), makeWiFiAppleProfile);
    launchWindow();
    window().manageProfilesSelected();
    ASSERT_NE(window().profileManagerPanel(), nullptr);
    EXPECT_TRUE(window().profileManagerPanel()->isVisible());
    const auto table = window().profileManagerPanel()->findChild<QWidget *>(QStringLiteral("profileTable"));
    ASSERT_NE(table, nullptr);

    window().newProfile();
    EXPECT_EQ(window().profiles().size(), 2);
    window().selectProfileAtIndex(0);
    window().deleteProfile();
    ASSERT_EQ(window().profiles().size(), 1);
    EXPECT_NE(window().profiles().front()->name(), QStringLiteral("Only"));
    EXPECT_TRUE(QDir(m_home->dataFolder()).entryList({QStringLiteral("*.settings")}, QDir::Files).isEmpty())
        << "the deleted profile's file is gone, the new one is not saved yet";
    window().deleteProfile();
    EXPECT_EQ(window().profiles().size(), 1) << "deleting the last profile adds a new default one";
    window().closeManageProfilesSheet();
    EXPECT_FALSE(window().profileManagerPanel()->isVisible());
    EXPECT_TRUE(window().isListening()) << "the end of a sheet reopens the listener";
}

TEST_F(MainWindow, CorrectedStringResolvesTheEscapesOfConnectorTexts)
{
    struct Row { const char *name; QVariant input; const char *output; };
    const Row rows[] = {
        {"not a text", QVariant(qint64(5)), ""},
        {"trailing line break dropped", QVariant(QStringLiteral("done\\n")), "done"},
        {"escapes resolved", QVariant(QStringLiteral("a\\;b\\,c\\\\d\\ne")), "a;b,c\\d\r\ne"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HMMainWindowController::correctedString(row.input), QString::fromLatin1(row.output));
    }
}

// Every refusal before a sync starts shows its alert, leaves no sheet and no running sync, and lets
// the next start go through.
TEST_F(MainWindow, ConfigurationChecksRefuseWithTheirAlerts)
{
    saveWindowProfile(QStringLiteral("Checked"), makeWiFiAppleProfile);
    launchWindow();
    struct Row { const char *name; HMContactManager manager; const char *outlookVersion; const char *device;
                 const char *method; const char *alert; };
    const Row rows[] = {
        {"no contact manager", HMContactManager::None, "", "android", "wifi", "No contact manager selected."},
        {"no Outlook installed", HMContactManager::Outlook15, nullptr, "android", "wifi",
         "Unable to find an Outlook installation. Please reinstall the application on this workstation."},
        {"a 15.16 text counts as 2016", HMContactManager::Outlook14, "Version 15.16.1 (build 7)", "android", "wifi",
         "Incorrect Outlook version. Your Mac appears to be running Outlook 15.16, but Harrowmere is configured for "
         "Outlook 2011"},
        {"2011 running for a 2016 profile", HMContactManager::Outlook15, "14.7.7", "android", "wifi",
         "Incorrect Outlook version. Your Mac appears to be running Outlook 14.7.7, but Harrowmere is configured for "
         "Outlook 15"},
        {"an unknown Outlook", HMContactManager::Outlook15, "12.3", "android", "wifi",
         "Unable to find an Outlook installation. Please reinstall the application on this workstation."},
        {"no device type", HMContactManager::Apple, "", "none", "wifi", "No Device Type Selected."},
        {"no sync method", HMContactManager::Apple, "", "android", "none", "No Sync Method Selected."},
    };
    HMProfile &profile = *window().currentProfile();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        applyChoices(profile, row.manager, row.device, row.method);
        m_outlook->version = row.outlookVersion ? QString::fromLatin1(row.outlookVersion) : QString();
        const qsizetype alertsBefore = alertTexts().size();
        window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
        EXPECT_EQ(alertTexts().mid(alertsBefore), QStringList{QString::fromLatin1(row.alert)});
        EXPECT_FALSE(window().didStartSync());
        EXPECT_EQ(window().syncProgressController(), nullptr);
        EXPECT_EQ(m_delegate->backgroundSyncManager()->syncControllerForCurrentProcess(), nullptr);
        EXPECT_TRUE(window().isListening());
    }
}

TEST_F(MainWindow, OutlookFolderAlertStopsOnOkAndGoesOnWhenTheUserInsists)
{
    saveWindowProfile(QStringLiteral("Folders"), makeWiFiAppleProfile);
    launchWindow();
    HMProfile &profile = *window().currentProfile();
    profile.setContactManager(HMContactManager::Outlook15);
    profile.setOutlookContactFolderSelection(QStringLiteral("allFolders"));
    profile.setOutlookCalendarFolderSelection(QStringLiteral("cal-7"));
    m_outlook->version = QStringLiteral("16.43");
    m_outlook->folders.insert(QStringLiteral("calendar"), {QStringLiteral("cal-1"), QStringLiteral("cal-2")});

    m_alerts->appendReturnCode(platform::NSAlertFirstButtonReturn);
    window().synchronizeProfile(this);
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    const auto alert = m_alerts->recordedAlerts().back();
    EXPECT_EQ(alert.messageText, QStringLiteral("Invalid calendar folder selected. Please go to Harrowmere Advanced "
                                                "Settngs -> Outlook Folders tab, then select a valid calendar folder."));
    EXPECT_EQ(alert.buttonTitles, (QStringList{"OK", "Continue the sync anyway"}));
    EXPECT_FALSE(window().didStartSync());
    // Only the calendar choice was checked: "allFolders" and unset choices run no script.
    ASSERT_EQ(m_outlook->scripts.filter(QStringLiteral("set theFolders")).size(), 1);
    EXPECT_EQ(m_outlook->scripts.filter(QStringLiteral("set theFolders")).front(),
              QStringLiteral("tell application \"Microsoft Outlook\"\nset theFolders to the id of every calendar\n"
                             "return theFolders\nend tell"));

    // A matching folder passes the check; the Outlook account scan then runs before the start.
    m_outlook->folders.insert(QStringLiteral("calendar"), {QStringLiteral("cal-7")});
    m_outlook->folders.insert(QStringLiteral("exchange account"), {QStringLiteral("a@work.example"), QString()});
    m_outlook->folders.insert(QStringLiteral("imap account"), {QStringLiteral("b@home.example")});
    window().synchronizeProfile(this);
    EXPECT_EQ(GlobalVariables::getAllOutlookEmailAccounts(),
              (QStringList{"a@work.example", "b@home.example"}));
    EXPECT_TRUE(window().didStartSync());
    EXPECT_EQ(m_defaults->stringForKey(QStringLiteral("SyncMethodSetting")), QStringLiteral("wifi"));
    EXPECT_EQ(GlobalVariables::getOutlookVersionNumberInConfiguration(), QStringLiteral("15"));
}

// The program registers no phone transport yet: the run ends at once, the sheet says so and the window
// is ready for the next start.
TEST_F(MainWindow, SynchronizeShowsTheSheetUntilTheRunEnds)
{
    saveWindowProfile(QStringLiteral("Button"), makeWiFiAppleProfile);
    launchWindow();
    window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    ASSERT_NE(window().syncProgressController(), nullptr);
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(window().syncStatusControllerIsShowing());
    EXPECT_EQ(m_defaults->stringForKey(QStringLiteral("SyncMethodSetting")), QStringLiteral("wifi"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync did not finish"); }, 20s))
        << "the sheet reads " << sheet->overallText().toStdString();
    EXPECT_FALSE(sheet->stepText().isEmpty());
    saveWindowWithSheet(QStringLiteral("main-window-sheet-failed"));
    EXPECT_FALSE(window().didStartSync());
    EXPECT_TRUE(window().isListening());
    EXPECT_TRUE(alertTexts().isEmpty());
}

// Reports posted from workers reach the screen by way of a concurrent queue; a step message posted
// before the end, even from another thread, must never cover the end's texts, however the queue orders
// them.
TEST_F(MainWindow, AReportPostedBeforeTheEndNeverCoversIt)
{
    saveWindowProfile(QStringLiteral("Order"), makeWiFiAppleProfile);
    launchWindow();
    window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !window().didStartSync(); }, 20s));
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::thread([&sheet] {
            for (int i = 0; i < 20; ++i) {
                sheet->setOverallMessageDirectly(QStringLiteral("Updating records in Quillpad..."), 0.5);
                sheet->setUserMessageDirectly(QStringLiteral("Step %1").arg(i), 0.5);
            }
        }).join();
        const QString end = QStringLiteral("The end %1").arg(round);
        std::thread([&sheet, &end] { sheet->syncCompleted(end); }).join();
        ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->stepText() == end; }, 20s))
            << "the sheet reads " << sheet->overallText().toStdString() << " | " << sheet->stepText().toStdString();
        // Whatever is still on its way is older than the end and changes nothing.
        testsupport::waitUntil([] { return false; }, 50ms);
        ASSERT_EQ(sheet->overallText() + u'|' + sheet->stepText(), QStringLiteral("Sync did not finish|") + end);
    }
}

TEST_F(MainWindow, SyncMethodWordsAreStoredForTheSelectedProfile)
{
    saveWindowProfile(QStringLiteral("Words"), makeWiFiAppleProfile);
    launchWindow();
    struct Row { const char *method; const char *stored; };
    const Row rows[] = {{"wifi", "wifi"}, {"adb", "adb"}, {"hmsh_sync_method", "hmsh"},
                        {"quill_nest_sync_method", "quillnest"}, {"parcelvane_sync_method", "quillnest"},
                        {"direct_sync_method", "quillnest"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.method);
        window().currentProfile()->setSyncMethodName(QString::fromLatin1(row.method));
        window().setCurrentSyncMethod();
        EXPECT_EQ(m_defaults->stringForKey(QStringLiteral("SyncMethodSetting")), QString::fromLatin1(row.stored));
    }
    EXPECT_EQ(HMMainWindowController::syncMethodWord(6), QStringLiteral("direct"));
    EXPECT_TRUE(alertTexts().isEmpty());
}

} // namespace

namespace {

class AnsweringDelegate final : public HMDeletionsWarningDelegate
{
public:
    void deletionsWarningReceivedResponse(bool shouldDelete) override { answers.append(shouldDelete); }
    QList<bool> answers;
};

} // namespace

// A sheet prepared for a deletion warning is registered for the sync code at once but shown only
// when the progress sheet is put up, and then it is that sheet, with the warning's delegate.
TEST_F(MainWindow, APreparedDeletionWarningSheetIsTheOneShownNext)
{
    launchWindow();
    AnsweringDelegate answers;
    window().createSyncStatusControllerWithDeletionsWarningDelegate(&answers);
    const std::shared_ptr<HMSyncProgressController> prepared = window().syncProgressController();
    ASSERT_TRUE(prepared);
    EXPECT_EQ(prepared->deletionsWarningDelegate(), &answers);
    EXPECT_FALSE(prepared->isVisible());
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), prepared);
    window().showSyncStatusProgressController();
    EXPECT_EQ(window().syncProgressController(), prepared);
    EXPECT_TRUE(prepared->isVisible());
    prepared->okButtonSelected();
}
