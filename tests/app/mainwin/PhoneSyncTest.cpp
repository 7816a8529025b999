// Syncs the phone starts: its announcement datagram over real UDP on loopback reaches the main
// window of a launched application, which syncs the paired profile against the phone peer into the
// memory desktop store under a progress sheet; strangers and datagrams during a sync change nothing.
#include "MainWindowTestSupport.h"

#include "Announcement.h"
#include "ManualStepScheduler.h"
#include "MemoryDataSource.h"
#include "PhonePeer.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Screenshot.h"
#include "platform/appkit/ScriptedAlertResponder.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "support/TestSupport.h"
#include "sync/HMBackgroundSyncManager.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncController.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimeZone>

#include <mutex>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

using namespace std::chrono_literals;

namespace {

// The process clock held at a moment the test moves on; the system clock again when it goes.
class HeldClock final
{
public:
    HeldClock()
    {
        platform::Clock::setSource([this] {
            const std::lock_guard lock(m_mutex);
            return m_now;
        });
    }
    ~HeldClock() { platform::Clock::setSource({}); }
    HeldClock(const HeldClock &) = delete;
    HeldClock &operator=(const HeldClock &) = delete;

    void advance(qint64 seconds)
    {
        const std::lock_guard lock(m_mutex);
        m_now = m_now.addSecs(seconds);
    }

private:
    std::mutex m_mutex;
    QDateTime m_now = QDateTime(QDate(2026, 12, 8), QTime(12, 0), QTimeZone::utc());
};

TEST(PhoneDatagram, IdAndAddressFollowTheWindowsRules)
{
    struct Row { const char *name; const char *message; const char *id; };
    const Row rows[] = {
        {"no line feed: lower case from the fifth character, key kept", "SYNCDeviceId=ABC", "deviceid=abc"},
        {"second line with the key", "Quillpad Sync\nDeviceId=12345\n", "12345"},
        {"second line without the key", "Sync\nABC-9\nmore", "ABC-9"},
        {"four characters or fewer", "Sync", ""},
        {"line feed with nothing after", "Sync!\n", ""},
        {"the key alone is not taken off", "Sync\nDeviceId=", "DeviceId="},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(HMMainWindowController::deviceIdFromDatagram(QString::fromLatin1(row.message)),
                  QString::fromLatin1(row.id));
    }
    struct AddressRow { const char *host; const char *address; };
    const AddressRow addresses[] = {{"::ffff:192.168.1.20", "192.168.1.20"}, {"127.0.0.1", "127.0.0.1"},
                                    {"fe80::1", "fe80::1"}, {"::ffff:", "::ffff:"}, {"name=10.0.0.5", "10.0.0.5"}};
    for (const AddressRow &row : addresses) {
        SCOPED_TRACE(row.host);
        EXPECT_EQ(HMMainWindowController::addressFromSenderHost(QString::fromLatin1(row.host)),
                  QString::fromLatin1(row.address));
    }
}

// A stranger on the network neither starts a sync nor redirects the next one, and does not switch the
// listener off; neither does a datagram that is not text.
TEST_F(PhoneSync, StrangersAndGarbageChangeNothing)
{
    saveWindowProfile(QStringLiteral("Paired"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    sendDatagram(QByteArray("\xff\xfe garbage", 10));
    sendDatagram("Quillpad Sync\nDeviceId=99999\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().deviceWifiIdString() == QLatin1String("99999"); }))
        << "awaited the stranger's datagram";
    EXPECT_EQ(window().currentProfile()->hhIpAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(window().didStartSync());
    EXPECT_EQ(window().syncProgressController(), nullptr);
    EXPECT_TRUE(alertTexts().isEmpty());
    ASSERT_TRUE(window().isListening());

    // The listener is open again: a second stranger is read too.
    sendDatagram("Quillpad Sync\nDeviceId=88888\n");
    EXPECT_TRUE(testsupport::waitUntil([&] { return window().deviceWifiIdString() == QLatin1String("88888"); }))
        << "awaited the second stranger's datagram";
}

// The pairing id travels in clear text: the same datagram from another address starts no sync and
// leaves the profile's address as it was, however often it comes.
TEST_F(PhoneSync, ThePairedIdFromAnotherAddressStartsNothingAndMovesNothing)
{
    startPhone();
    saveWindowProfile(QStringLiteral("Paired"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    const QByteArray announcement = QStringLiteral("Quillpad Sync\nDeviceId=%1\n").arg(m_peer->deviceId()).toLatin1();
    for (int index = 0; index < 50; ++index)
        sendDatagram(announcement, "127.0.0.2");
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().deviceWifiIPAddress() == QLatin1String("127.0.0.2"); }))
        << "awaited the spoofed datagram";
    // A datagram sent after them is read after them: once it is, every spoofed one was.
    sendDatagram("Quillpad Sync\nDeviceId=00000\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().deviceWifiIdString() == QLatin1String("00000"); }));
    EXPECT_FALSE(window().didStartSync());
    EXPECT_EQ(window().syncProgressController(), nullptr);
    EXPECT_EQ(window().currentProfile()->hhIpAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(window().isListening());
    EXPECT_EQ(logonCount(), 0);
    EXPECT_TRUE(m_peer->requestLog().isEmpty()) << m_peer->requestLog().join(u' ').toStdString();
}

// A thousand announcements of the paired phone within a minute start one sync; a minute after it
// started, the phone may start the next.
TEST_F(PhoneSync, AFloodOfAnnouncementsStartsOneSyncAMinute)
{
    HeldClock clock;
    startPhone();
    saveWindowProfile(QStringLiteral("Paired"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    const QByteArray announcement = QStringLiteral("Quillpad Sync\nDeviceId=%1\n").arg(m_peer->deviceId()).toLatin1();
    const auto flood = [&](int count) {
        // The window reads as they come, as it would from the network; a full receive buffer drops the rest.
        for (int index = 0; index < count; ++index) {
            if (window().isListening())
                sendDatagram(announcement);
            if (index % 20 == 0 || !window().isListening())
                QCoreApplication::processEvents();
        }
    };
    flood(500);
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().syncProgressController() != nullptr; }));
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync Complete"); }, 30s))
        << sheet->overallText().toStdString();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().isListening(); }));
    clock.advance(59);
    flood(500);
    // Sent until read: once it is, every datagram of the flood before it was read or dropped.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        sendDatagram("Quillpad Sync\nDeviceId=00000\n");
        return window().deviceWifiIdString() == QLatin1String("00000");
    }));
    EXPECT_EQ(logonCount(), 1);
    EXPECT_FALSE(window().didStartSync());
    EXPECT_EQ(window().syncProgressController(), sheet);
    EXPECT_TRUE(window().isListening());

    clock.advance(2);
    // Sent until a sync starts: a datagram that lands while the listener is being reopened is lost, as
    // on a network, and the phone announces again; the rest fall within the new sync's minute.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        if (window().isListening())
            sendDatagram(announcement);
        return window().syncProgressController() != sheet;
    }))
        << "a minute after the first, the phone starts the next sync";
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return window().syncProgressController()->overallText() == QLatin1String("Sync Complete"); }, 30s));
    EXPECT_EQ(logonCount(), 2);
}

// A phone whose contacts were all deleted lists none: the run asks before it deletes the desktop's
// copies, and "No" ends it with every desktop contact kept.
TEST_F(PhoneSync, AnEmptyContactListAsksFirstAndNoDeletesNothing)
{
    HeldClock clock;
    startPhone();
    for (int index = 0; index < 12; ++index)
        m_peer->addPhoneRecord(phonepeer::Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Person")},
                                                              {QStringLiteral("NEWLNAME"), QString::number(index)}});
    ASSERT_NO_FATAL_FAILURE(launchPairedAndAnnounce());
    const std::shared_ptr<HMSyncProgressController> first = window().syncProgressController();
    ASSERT_TRUE(testsupport::waitUntil([&] { return first->overallText() == QLatin1String("Sync Complete"); }, 30s));
    const qsizetype contacts = m_store->records(1).size();
    ASSERT_EQ(contacts, 14);
    for (const phonepeer::PhoneRecord &record : m_peer->records(phonepeer::Conduit::Contacts))
        ASSERT_TRUE(m_peer->deletePhoneRecord(phonepeer::Conduit::Contacts, record.uid));

    clock.advance(61);
    m_alerts->appendReturnCode(platform::NSAlertSecondButtonReturn);
    // Announced until the sync starts, as the phone does while it waits.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        if (window().isListening())
            announce();
        return window().syncProgressController() != first;
    }));
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync did not finish"); }, 30s))
        << sheet->overallText().toStdString();
    const QString question =
        QStringLiteral("Delete 14 of the 14 contacts on the Mac?");
    ASSERT_EQ(alertTexts(), QStringList{question});
    EXPECT_EQ(m_alerts->recordedAlerts().front().buttonTitles, (QStringList{"Yes", "No"}));
    EXPECT_EQ(m_store->records(1).size(), contacts);
    EXPECT_EQ(sheet->stepText(),
              QStringLiteral("Deletion declined: the 14 of 14 contacts on the Mac were kept."));
    saveWindowWithSheet(QStringLiteral("main-window-sheet-deletions-declined"));
    platform::Alert shown;
    shown.addButtonWithTitle(QStringLiteral("Yes"));
    shown.addButtonWithTitle(QStringLiteral("No"));
    shown.setMessageText(question);
    EXPECT_TRUE(platform::saveScreenshot(shown.messageBox(),
                                         testsupport::binaryDir() + QStringLiteral("/screenshots/app"),
                                         QStringLiteral("mass-deletion-question")));
}

TEST_F(PhoneSync, PairedPhoneWithoutASyncMethodGetsTheAlertAndTheListenerReopens)
{
    saveWindowProfile(QStringLiteral("Paired"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    window().currentProfile()->setSyncMethod(HMSyncMethod::None);
    sendDatagram("Quillpad Sync\nDeviceId=12345\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return !alertTexts().isEmpty(); })) << "awaited the alert";
    EXPECT_EQ(alertTexts(), QStringList{"No Sync Method Selected."});
    EXPECT_EQ(window().currentProfile()->hhIpAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(window().didStartSync());
    EXPECT_TRUE(window().isListening());
    EXPECT_EQ(window().syncProgressController(), nullptr);
}

TEST_F(PhoneSync, AnnouncementSyncsThePairedProfileIntoTheDesktopStore)
{
    startPhone();
    ASSERT_NO_FATAL_FAILURE(launchPairedAndAnnounce());
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    EXPECT_TRUE(window().didStartSync());
    EXPECT_FALSE(window().isListening());
    EXPECT_EQ(window().currentProfile()->hhIpAddress(), QStringLiteral("127.0.0.1"));
    // The profile named calendars the store does not hold: it gets existing ones, handed over.
    const std::shared_ptr<HMProfile> profile = window().currentProfile();
    EXPECT_NE(profile->eventCalendarIdentifiersToSync(), QStringList{"work-calendar"});
    EXPECT_EQ(HMTaskEventKitHelper::getEventCalendarIdentifiersToSync(), profile->eventCalendarIdentifiersToSync());
    EXPECT_EQ(HMTaskEventKitHelper::getTaskCalendarIdentifiersToSync(), profile->taskCalendarIdentifiersToSync());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), sheet);
    saveWindowWithSheet(QStringLiteral("main-window-sheet-during-sync"));

    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync Complete"); }, 30s))
        << "the sheet reads " << sheet->overallText().toStdString() << " / " << sheet->stepText().toStdString();
    EXPECT_EQ(sheet->stepText(), QString());
    EXPECT_EQ(sheet->overallProgressPermille(), 1000);
    EXPECT_TRUE(sheet->window()->findChild<QPushButton *>(QStringLiteral("okButton"))->isEnabled());
    EXPECT_FALSE(sheet->window()->findChild<QPushButton *>(QStringLiteral("cancelButton"))->isEnabled());
    saveWindowWithSheet(QStringLiteral("main-window-sheet-complete"));

    // The phone's sample contacts, events and tasks are now desktop records.
    EXPECT_EQ(m_store->records(1).size(), 2);
    EXPECT_EQ(m_store->records(2).size(), 2);
    EXPECT_EQ(m_store->records(3).size(), 1);
    QStringList contactTexts;
    for (const hmsync::StoredRecord &record : m_store->records(1)) {
        for (const QVariant &value : record.fields)
            contactTexts.append(value.toString());
    }
    EXPECT_TRUE(contactTexts.contains(QStringLiteral("Lovelace"))) << contactTexts.join(u'|').toStdString();
    EXPECT_EQ(logonCount(), 1);
    EXPECT_EQ(m_defaults->stringForKey(QStringLiteral("SyncMethodSetting")), QStringLiteral("wifi"));
    EXPECT_FALSE(window().didStartSync());
    EXPECT_TRUE(window().isListening());
    EXPECT_NE(window().outlet<QLabel>(QStringLiteral("lastSyncDateLabel"))->text(), QStringLiteral("Last Sync: Never"));

    sheet->okButtonSelected();
    EXPECT_FALSE(sheet->isVisible());
}

TEST_F(PhoneSync, SecondStartDuringASyncIsIgnored)
{
    // The phone holds its first list request until the test lets it go, so the sync is still running
    // when it asks again, however slowly a loaded machine gets the window there.
    startPhone({phonepeer::Fault{phonepeer::FaultKind::Delay, QStringLiteral("/hmx_list"), 1, 120000, {}}});
    saveWindowProfile(QStringLiteral("Phone"), [this](HMProfile &profile) { pairedProfile(profile); });
    launchWindow();
    const quint16 firstPort = window().listenerLocalPort();
    announce();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window().didStartSync(); })) << "awaited the start";
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    QString problem;
    EXPECT_TRUE(phonepeer::sendAnnouncement(m_peer->deviceId(), QStringLiteral("127.0.0.1"), firstPort, problem));
    window().syncFromDevice();
    EXPECT_EQ(window().syncProgressController(), sheet) << "a second start during the sync makes no new sheet";
    // Synchronize during the phone's sync starts nothing either and keeps its sheet up.
    window().outlet<QPushButton>(QStringLiteral("synchronizeButton"))->click();
    EXPECT_EQ(window().syncProgressController(), sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(alertTexts().isEmpty());
    m_peer->endDelays();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync Complete"); }, 30s))
        << "the sheet reads " << sheet->overallText().toStdString() << " / " << sheet->stepText().toStdString();
    EXPECT_EQ(logonCount(), 1);
    EXPECT_FALSE(window().didStartSync());
    EXPECT_TRUE(window().isListening());
}

TEST_F(PhoneSync, CancelOffersForceCancelWhileTheRunWaitsAndForceCancelEndsIt)
{
    startPhone({phonepeer::Fault{phonepeer::FaultKind::Delay, QStringLiteral("/hmx_list"), 0, 20000, {}}});
    ASSERT_NO_FATAL_FAILURE(launchPairedAndAnnounce());
    const std::shared_ptr<HMSyncProgressController> sheet = window().syncProgressController();
    const auto running = [&] { return m_delegate->backgroundSyncManager()->syncControllerForCurrentProcess(); };
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return m_peer->requestLog().contains(QStringLiteral("/hmx_list")) && running()
               && running()->syncState() != HMSyncState::Idle;
    }, 20s)) << "awaited the slow list request";

    auto *const cancel = sheet->window()->findChild<QPushButton *>(QStringLiteral("cancelButton"));
    auto *const forceCancel = sheet->window()->findChild<QPushButton *>(QStringLiteral("forceCancelButton"));
    cancel->click();
    EXPECT_FALSE(cancel->isEnabled());
    m_sheetClock->advance(4999ms);
    platform::DispatchQueue::runMainQueueUntilEmpty();
    EXPECT_FALSE(forceCancel->isVisibleTo(sheet->window()));
    m_sheetClock->advance(1ms);
    ASSERT_TRUE(testsupport::waitUntil([&] { return forceCancel->isVisibleTo(sheet->window()); }))
        << "awaited Force Cancel";
    saveWindowWithSheet(QStringLiteral("main-window-sheet-force-cancel"));

    forceCancel->click();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sheet->overallText() == QLatin1String("Sync did not finish"); }, 20s))
        << "the sheet reads " << sheet->overallText().toStdString();
    EXPECT_FALSE(sheet->stepText().isEmpty());
    EXPECT_TRUE(window().isListening());

    // A Cancel once the run has ended finds nothing running, and Force Cancel stays hidden.
    forceCancel->setVisible(false);
    sheet->cancelButtonSelected();
    m_sheetClock->advance(5000ms);
    platform::DispatchQueue::runMainQueueUntilEmpty();
    EXPECT_FALSE(forceCancel->isVisibleTo(sheet->window()));
}

} // namespace

namespace {

// The progress sheet of a running sync comes back when its window is seen again after it went away
// with the window; not while the window is hidden, nor over a deletions question.
TEST_F(PhoneSync, SheetComesBackWhenTheWindowIsSeenAgainDuringASync)
{
    // The phone holds its first list request until the sheet has come back: the sync runs throughout.
    startPhone({phonepeer::Fault{phonepeer::FaultKind::Delay, QStringLiteral("/hmx_list"), 1, 120000, {}}});
    ASSERT_NO_FATAL_FAILURE(launchPairedAndAnnounce());
    const std::shared_ptr<HMSyncProgressController> first = window().syncProgressController();
    ASSERT_TRUE(testsupport::waitUntil([] { return GlobalVariables::getIsSynchronizing(); })) << "awaited the run";

    // The window is closed, its sheet with it.
    first->window()->hide();
    window().window()->hide();
    m_delegate->applicationDidChangeOcclusionState();
    EXPECT_EQ(window().syncProgressController(), first) << "a hidden window gets no sheet";

    window().showWindow();
    GlobalVariables::setDeletionsWarningIsShowing(true);
    m_delegate->applicationDidChangeOcclusionState();
    EXPECT_EQ(window().syncProgressController(), first) << "a deletions question is left alone";
    GlobalVariables::setDeletionsWarningIsShowing(false);

    m_delegate->applicationDidChangeOcclusionState();
    const std::shared_ptr<HMSyncProgressController> again = window().syncProgressController();
    ASSERT_NE(again, first);
    EXPECT_TRUE(again->isVisible());
    EXPECT_EQ(GlobalVariables::getCurrentSyncProgressController(), again);
    m_peer->endDelays();
    ASSERT_TRUE(testsupport::waitUntil([&] { return again->overallText() == QLatin1String("Sync Complete"); }, 30s))
        << "the sheet reads " << again->overallText().toStdString() << " / " << again->stepText().toStdString();
    EXPECT_TRUE(window().isListening());
}

} // namespace
