// An Outlook profile in the launched application against the simulated Outlook: the configuration
// checks and their alerts, a two-way sync of contacts between Outlook and the phone, and the autosync
// check that starts the next one only when Outlook's data changed.
#include "MainWindowTestSupport.h"

#include "OutlookPeerProcess.h"
#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Screenshot.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/dispatch/VirtualClock.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

const QString kUnableToFind =
    QStringLiteral("Unable to find an Outlook installation. Please reinstall the application on this workstation.");

QJsonObject folder(int id, const char *kind, const char *name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("kind"), QLatin1String(kind)}, {QStringLiteral("name"), QLatin1String(name)}};
}

QJsonObject contact(const char *first, const char *last)
{
    return {{QStringLiteral("folder"), 1}, {QStringLiteral("firstName"), QLatin1String(first)},
            {QStringLiteral("lastName"), QLatin1String(last)}, {QStringLiteral("created"), QStringLiteral("2026-01-01T00:00:00Z")},
            {QStringLiteral("modified"), QStringLiteral("2026-01-02T00:00:00Z")}};
}

// The dispatch layer's virtual clock, kept in step with real time while the main loop runs, so that
// every timer fires as it would; a test jumps it ahead to fire a long timer at once.
class PacedVirtualClock final
{
public:
    PacedVirtualClock()
    {
        platform::VirtualClock::install();
        m_elapsed.start();
        QObject::connect(&m_pump, &QTimer::timeout, [this] {
            const qint64 now = m_elapsed.nsecsElapsed();
            const std::chrono::nanoseconds step(now - m_paced);
            platform::VirtualClock::advance(std::chrono::duration_cast<platform::DispatchDuration>(step));
            m_paced = now;
        });
        m_pump.start(5);
    }
    ~PacedVirtualClock()
    {
        m_pump.stop();
        platform::VirtualClock::uninstall();
    }
    PacedVirtualClock(const PacedVirtualClock &) = delete;
    PacedVirtualClock &operator=(const PacedVirtualClock &) = delete;

private:
    QElapsedTimer m_elapsed;
    qint64 m_paced = 0;
    QTimer m_pump;
};

class OutlookProfile : public PhoneSync
{
protected:
    void SetUp() override
    {
        PhoneSync::SetUp();
        m_oldRoot = qgetenv("HM_SYSTEM_ROOT");
        qputenv("HM_SYSTEM_ROOT", m_root.path().toUtf8());
    }
    void TearDown() override
    {
        PhoneSync::TearDown();
        m_outlookPeer.reset();
        qputenv("HM_SYSTEM_ROOT", m_oldRoot);
        GlobalVariables::setOutlookApplicationReference(QString());
        GlobalVariables::setIsOutlookSync(false);
    }
    // The simulated Outlook answering the version text, with two address books (ids 1 and 2), its
    // home as ours for its files.
    void startOutlook(const QString &versionText, const QJsonArray &contacts = {})
    {
        OutlookPeerProcess::Options options;
        options.arguments = {QStringLiteral("--version-text"), versionText};
        m_outlookPeer = std::make_unique<OutlookPeerProcess>(options);
        ASSERT_TRUE(m_outlookPeer->isReady());
        m_outlookPeer->seed({{QStringLiteral("folders"), QJsonArray{folder(1, "address book", "Address Book"),
                                                                     folder(2, "address book", "Work"), folder(3, "calendar", "Calendar"),
                                                                     folder(4, "task folder", "Tasks"), folder(5, "note folder", "Notes")}},
                             {QStringLiteral("contacts"), contacts}});
        qputenv("HOME", m_outlookPeer->home().toUtf8());
    }
    // An Outlook profile of the contact manager, syncing Outlook's contacts to the paired phone.
    void launchOutlookProfile(HMContactManager manager, const std::function<void(HMProfile &)> &edit = {})
    {
        saveWindowProfile(QStringLiteral("Outlook"), [&](HMProfile &profile) {
            pairedProfile(profile);
            profile.setContactManager(manager);
            profile.setContactManagerName(manager == HMContactManager::Outlook14 ? QStringLiteral("ContactManagerOutlook14")
                                                                                 : QStringLiteral("ContactManagerOutlook15"));
            profile.setCalendarSyncEnabled(false);
            profile.setTaskSyncEnabled(false);
            profile.setContactSyncDirectionName(QStringLiteral("mac_to_device"));
            profile.setContactSyncDeletionsName(QStringLiteral("two_way"));
            profile.setBackgroundSyncEnabled(true);
            if (edit)
                edit(profile);
        });
        ASSERT_NO_FATAL_FAILURE(launchWindow());
        window().setOutlookAccess(window().makeOutlookDetection());
    }
    void clickSynchronize()
    {
        m_runAskedAt = QDateTime::currentDateTimeUtc();
        window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    }
    // Draws the alert as the user sees it, from what it was given, into the screenshots folder.
    static void saveAlert(const platform::ScriptedAlertResponder::RecordedAlert &recorded, const QString &name)
    {
        platform::Alert alert;
        alert.setMessageText(recorded.messageText);
        alert.setInformativeText(recorded.informativeText);
        alert.setAlertStyle(recorded.alertStyle);
        // A plain alert gets the one "OK" button when it is shown.
        for (const QString &title : recorded.buttonTitles.isEmpty() ? QStringList{QStringLiteral("OK")} : recorded.buttonTitles)
            alert.addButtonWithTitle(title);
        // Shown, the box lays its text out as it does on the screen (wrapped, at its own width).
        alert.messageBox().show();
        QCoreApplication::processEvents();
        const platform::Result<QString> saved =
            platform::saveScreenshot(alert.messageBox(), testsupport::binaryDir() + QStringLiteral("/screenshots/app"), name);
        alert.messageBox().hide();
        EXPECT_TRUE(saved.ok());
    }
    // Whether the application took the end of the last run in: it then stamps every profile's last
    // autosync date and starts the autosync timer afresh.
    bool tookTheRunsEndIn() const
    {
        for (const std::shared_ptr<HMProfile> &profile : m_delegate->profiles()) {
            if (!(profile->lastOutlookAutosyncDate() >= m_runAskedAt))
                return false;
        }
        return true;
    }
    // Waits until the run ended and the application is ready again; the sheet's last text.
    QString awaitEnd() const
    {
        const auto ended = [this] {
            const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
            const bool showsEnd = sheet && (sheet->overallText() == u"Sync Complete" ||
                                            sheet->overallText().startsWith(QLatin1String("Sync did not finish")));
            return showsEnd && !window().didStartSync() && !GlobalVariables::getIsSynchronizing() && tookTheRunsEndIn();
        };
        EXPECT_TRUE(testsupport::waitUntil(ended, 60s)) << "the run did not end";
        const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
        return sheet ? sheet->overallText() : QStringLiteral("<no progress sheet>");
    }
    // How many of the phone's contacts carry the first name.
    qsizetype phoneContactsNamed(const QString &firstName) const
    {
        qsizetype count = 0;
        for (const phonepeer::PhoneRecord &record : m_peer->records(phonepeer::Conduit::Contacts))
            count += record.fields.value(QStringLiteral("NEWFNAME")) == firstName ? 1 : 0;
        return count;
    }
    // How many of Outlook's contacts carry the first name.
    qsizetype outlookContactsNamed(const QString &firstName) const
    {
        qsizetype count = 0;
        for (const QJsonValue &value : m_outlookPeer->dump().value(QStringLiteral("contacts")).toArray())
            count += value.toObject().value(QStringLiteral("firstName")).toString() == firstName ? 1 : 0;
        return count;
    }
    // The Outlook id of the contact with the first name, 0 when there is none.
    qint64 outlookContactId(const QString &firstName) const
    {
        for (const QJsonValue &value : m_outlookPeer->dump().value(QStringLiteral("contacts")).toArray()) {
            if (value.toObject().value(QStringLiteral("firstName")).toString() == firstName)
                return value.toObject().value(QStringLiteral("id")).toInteger();
        }
        return 0;
    }
    // Renames the phone's contact with the first name, as the user would on the phone.
    void editPhoneContact(const QString &firstName, const QString &newFirstName) const
    {
        for (const phonepeer::PhoneRecord &record : m_peer->records(phonepeer::Conduit::Contacts)) {
            if (record.fields.value(QStringLiteral("NEWFNAME")) != firstName)
                continue;
            QMap<QString, QString> fields = record.fields;
            fields.insert(QStringLiteral("NEWFNAME"), newFirstName);
            ASSERT_TRUE(m_peer->updatePhoneRecord(phonepeer::Conduit::Contacts, record.uid, fields));
            return;
        }
        FAIL() << "no phone contact named " << firstName.toStdString();
    }
    // Lets the running autosync timer fire once, by moving the virtual clock on by its interval. The
    // check compares the profiles' last autosync dates with the wall clock, so those go back as far.
    void letAutosyncTimerFire()
    {
        m_runAskedAt = QDateTime::currentDateTimeUtc();
        const double interval = m_delegate->outlookAutosyncTimerInterval();
        for (const std::shared_ptr<HMProfile> &profile : m_delegate->profiles())
            profile->setLastOutlookAutosyncDate(QDateTime::currentDateTimeUtc().addMSecs(qint64(-interval * 1000)));
        const std::shared_ptr<platform::RunLoopTimer> timer = m_delegate->outlookAutosyncTimer();
        ASSERT_TRUE(timer && timer->isValid()) << "the autosync timer runs";
        const platform::DispatchTime due = timer->fireDate();
        ASSERT_GT(due - platform::VirtualClock::now(), platform::durationFromSeconds(interval / 2)) << "not due by itself yet";
        platform::VirtualClock::advance(interval);
        // The timer names its next fire before its check runs, in the same turn of the main loop.
        EXPECT_TRUE(testsupport::waitUntil([&] { return timer->fireDate() > due; }, 5s)) << "the timer fired";
    }

    QTemporaryDir m_root;
    QByteArray m_oldRoot;
    // When the test last clicked Synchronize or let the autosync timer fire.
    QDateTime m_runAskedAt;
    std::unique_ptr<OutlookPeerProcess> m_outlookPeer;
};

TEST_F(OutlookProfile, AnOutlook2016VersionForA2011ProfileIsRefusedWithItsAlert)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("15.16.1")));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook14));
    clickSynchronize();
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    const auto alert = m_alerts->recordedAlerts().front();
    EXPECT_EQ(alert.messageText, QStringLiteral("Incorrect Outlook version. Your Mac appears to be running Outlook 15.16, "
                                                "but Harrowmere is configured for Outlook 2011"));
    EXPECT_EQ(GlobalVariables::getOutlookVersionNumber(), QStringLiteral("15.16"));
    EXPECT_EQ(GlobalVariables::getOutlookApplicationReference(), QStringLiteral("Microsoft Outlook"));
    EXPECT_FALSE(window().didStartSync());
    saveAlert(alert, QStringLiteral("outlook-version-alert"));
}

TEST_F(OutlookProfile, AnOutlook2011VersionForA2016ProfileIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("14.7.7")));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15));
    clickSynchronize();
    EXPECT_EQ(alertTexts(), QStringList{QStringLiteral("Incorrect Outlook version. Your Mac appears to be running "
                                                       "Outlook 14.7.7, but Harrowmere is configured for Outlook 15")});
    EXPECT_FALSE(window().didStartSync());
}

TEST_F(OutlookProfile, AFolderOutlookLacksAsksAndGoesOnOnlyWhenTheUserInsists)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("16.20")));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15, [](HMProfile &profile) {
        profile.setOutlookContactFolderSelection(QStringLiteral("9"));
    }));
    m_alerts->appendReturnCode(platform::NSAlertFirstButtonReturn);
    clickSynchronize();
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    const auto alert = m_alerts->recordedAlerts().front();
    EXPECT_EQ(alert.messageText, QStringLiteral("Invalid contacts folder selected. Please go to Harrowmere Advanced "
                                                "Settngs -> Outlook Folders tab, then select a valid contacts folder."));
    EXPECT_EQ(alert.buttonTitles, (QStringList{QStringLiteral("OK"), QStringLiteral("Continue the sync anyway")}));
    EXPECT_FALSE(window().didStartSync()) << "OK stops the sync";
    saveAlert(alert, QStringLiteral("outlook-folders-alert"));

    m_alerts->appendReturnCode(platform::NSAlertSecondButtonReturn);
    clickSynchronize();
    EXPECT_EQ(m_alerts->recordedAlerts().size(), 2);
    EXPECT_TRUE(window().didStartSync()) << "the user insisted";
    awaitEnd();
}

TEST_F(OutlookProfile, AllFoldersRunNoFolderScript)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("16.20")));
    // Any folder script would fail, and its alert show.
    m_outlookPeer->control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QStringLiteral("folder ids")}});
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15, [](HMProfile &profile) {
        profile.setOutlookContactFolderSelection(QStringLiteral("allFolders"));
        profile.setOutlookCalendarFolderSelection(QStringLiteral("allFolders"));
        profile.setOutlookTaskFolderSelection(QStringLiteral("allFolders"));
    }));
    clickSynchronize();
    EXPECT_EQ(alertTexts(), QStringList());
    EXPECT_TRUE(window().didStartSync());
    awaitEnd();
}

TEST_F(OutlookProfile, AStartHandsTheWritesOutlookRefusedToTheRun)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("16.20")));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("D"), QStringLiteral("D000007")));
    ASSERT_TRUE(HMOutlookDatFileHelper::writeErrorLogWithConduitName(QStringLiteral("A"), QStringLiteral("A000003")));
    clickSynchronize();
    EXPECT_TRUE(window().didStartSync());
    EXPECT_FALSE(HMOutlookDatFileHelper::hasErrorLog()) << "the log is taken in once";
    EXPECT_EQ(GlobalVariables::getErrorLogCalendarIds(), QStringList{QStringLiteral("D000007")});
    EXPECT_EQ(GlobalVariables::getErrorLogContactIds(), QStringList{QStringLiteral("A000003")});
    awaitEnd();
    GlobalVariables::setErrorRecoverySyncConduits(QString());
    GlobalVariables::setErrorLogContactIds({});
    GlobalVariables::setErrorLogCalendarIds({});
}

TEST_F(OutlookProfile, SyncsToThePhoneAndAutosyncsOnlyWhenOutlookChanged)
{
    // Every timer of the application counts on the virtual clock, the autosync timer's too.
    const PacedVirtualClock clock;
    ASSERT_NO_FATAL_FAILURE(startPhone());
    useDesktopStores();
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("16.20"), {contact("Grace", "Hopper"), contact("Alan", "Turing")}));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15, [](HMProfile &profile) {
        profile.setContactSyncDirectionName(QStringLiteral("two_way"));
    }));
    clickSynchronize();
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync Complete"));
    EXPECT_EQ(alertTexts(), QStringList());
    EXPECT_EQ(phoneContactsNamed(QStringLiteral("Grace")), 1);
    EXPECT_EQ(phoneContactsNamed(QStringLiteral("Alan")), 1);
    EXPECT_EQ(outlookContactsNamed(QStringLiteral("Ada")), 1) << "the phone's contacts reach Outlook once";
    EXPECT_EQ(outlookContactsNamed(QStringLiteral("Charles")), 1);
    EXPECT_EQ(m_outlookPeer->dump().value(QStringLiteral("contacts")).toArray().size(), 4);
    EXPECT_EQ(m_peer->records(phonepeer::Conduit::Contacts).size(), 4);
    ASSERT_NE(m_delegate->outlookAutosyncTimer(), nullptr) << "an Outlook profile syncing in the background has the timer";

    // Nothing changed in Outlook but what the sync wrote into it: the check starts nothing.
    ASSERT_NO_FATAL_FAILURE(letAutosyncTimerFire());
    EXPECT_FALSE(window().didStartSync()) << "the sync's own writes to Outlook start no sync";
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());

    // Outlook's dates are whole seconds: the edit is a second after the sync's map date.
    QThread::msleep(1100);
    const qint64 graceId = outlookContactId(QStringLiteral("Grace"));
    ASSERT_NE(graceId, 0);
    m_outlookPeer->control({{QStringLiteral("op"), QStringLiteral("edit")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                            {QStringLiteral("id"), graceId}, {QStringLiteral("fields"), QJsonObject{{QStringLiteral("firstName"), QStringLiteral("Gracie")}}}});
    QThread::msleep(1100);
    ASSERT_NO_FATAL_FAILURE(letAutosyncTimerFire());
    EXPECT_TRUE(window().didStartSync()) << "the edit in Outlook starts a sync";
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync Complete"));
    EXPECT_EQ(phoneContactsNamed(QStringLiteral("Gracie")), 1);
    EXPECT_EQ(phoneContactsNamed(QStringLiteral("Grace")), 0);
    EXPECT_EQ(phoneContactsNamed(QStringLiteral("Alan")), 1);
    EXPECT_EQ(outlookContactsNamed(QStringLiteral("Gracie")), 1);

    // An edit on the phone reaches Outlook, and Outlook's write-back of it starts no further sync.
    QThread::msleep(1100);
    ASSERT_NO_FATAL_FAILURE(editPhoneContact(QStringLiteral("Ada"), QStringLiteral("Augusta")));
    clickSynchronize();
    EXPECT_EQ(awaitEnd(), QStringLiteral("Sync Complete"));
    EXPECT_EQ(outlookContactsNamed(QStringLiteral("Augusta")), 1) << "the phone's edit reaches Outlook";
    EXPECT_EQ(outlookContactsNamed(QStringLiteral("Ada")), 0);
    EXPECT_EQ(m_outlookPeer->dump().value(QStringLiteral("contacts")).toArray().size(), 4);
    EXPECT_EQ(m_peer->records(phonepeer::Conduit::Contacts).size(), 4);
    QThread::msleep(1100);
    ASSERT_NO_FATAL_FAILURE(letAutosyncTimerFire());
    EXPECT_FALSE(window().didStartSync()) << "Outlook's write-back of the phone's edit starts no sync";
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());

    // Outlook quits: the start is refused at once with the alert, and the window stays free.
    m_outlookPeer.reset();
    QElapsedTimer timer;
    timer.start();
    clickSynchronize();
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(alertTexts(), QStringList{kUnableToFind});
    EXPECT_FALSE(window().didStartSync());
    saveAlert(m_alerts->recordedAlerts().back(), QStringLiteral("outlook-not-found-alert"));
}

} // namespace


namespace {

TEST_F(OutlookProfile, TheAutomationScriptIsInstalledOnlyIntoItsFolderAndItsHandlerCallReachesOutlook)
{
    ASSERT_NO_FATAL_FAILURE(startOutlook(QStringLiteral("16.20")));
    ASSERT_NO_FATAL_FAILURE(launchOutlookProfile(HMContactManager::Outlook15));
    const platform::Result<QString> folder = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
    ASSERT_TRUE(folder.ok());
    const QString installed = *folder + QStringLiteral("/automation.scpt");
    QString answer = m_home->path();
    window().setScriptFolderChooser([&](const QString &offered, const QString &prompt, const QString &message) {
        EXPECT_EQ(offered, *folder);
        EXPECT_EQ(prompt, QStringLiteral("Install Script File"));
        EXPECT_EQ(message, QStringLiteral("Please select the User > Library > Application Scripts > Harrowmere folder"));
        return answer;
    });
    window().installScriptFile();
    EXPECT_FALSE(QFile::exists(installed)) << "another folder was picked";
    EXPECT_EQ(alertTexts(), QStringList());
    answer = *folder;
    window().installScriptFile();
    QFile script(installed);
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    EXPECT_EQ(script.readLine(), QByteArray("Microsoft Outlook\n"));
    ASSERT_EQ(m_alerts->recordedAlerts().size(), 1);
    EXPECT_EQ(m_alerts->recordedAlerts().front().messageText, QStringLiteral("Script Installed"));
    EXPECT_EQ(m_alerts->recordedAlerts().front().informativeText, QStringLiteral("The Automation script was installed succcessfully."));
    EXPECT_FALSE(window().needsToInstallScriptFile());
    window().showScriptFolderMessage();
    EXPECT_EQ(alertTexts().back(), QStringLiteral("Harrowmere needs to install the file \"automation.scpt\". Please click "
                                                  "\"Install Script File\" on the next screen."));

    EXPECT_EQ(window().initializeNewScript(), nullptr) << "no \"doStuff.scpt\" yet";
    ASSERT_TRUE(QFile::copy(installed, *folder + QStringLiteral("/doStuff.scpt")));
    EXPECT_NE(window().initializeNewScript(), nullptr);
    window().executeScriptTaskFromEvent(HMMainWindowController::makeNewContactEventWithProperties(QStringLiteral("first:Ada")));
    QJsonArray calls;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        const QJsonArray taken = m_outlookPeer->control({{QStringLiteral("op"), QStringLiteral("handlerCalls")}})
                                     .value(QStringLiteral("calls")).toArray();
        for (const QJsonValue &call : taken)
            calls.append(call);
        return !calls.isEmpty();
    })) << "the handler call did not reach Outlook";
    const QJsonObject call = calls.first().toObject();
    EXPECT_EQ(call.value(QStringLiteral("handler")).toString(), QStringLiteral("doStuff"));
    EXPECT_EQ(call.value(QStringLiteral("arguments")).toArray(), QJsonArray{QStringLiteral("first:Ada")});
    EXPECT_EQ(call.value(QStringLiteral("eventClass")).toString(), QStringLiteral("ascr"));
    EXPECT_EQ(call.value(QStringLiteral("eventID")).toString(), QStringLiteral("psbr"));
}

} // namespace
