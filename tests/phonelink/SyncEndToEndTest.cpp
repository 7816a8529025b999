// Whole syncs through the sync controller and the Wi-Fi transport against the phone peer on loopback,
// with the desktop's records in fake stores: records travel both ways intact, a sync without changes
// sends nothing, edits and deletions cross over, and a misbehaving or vanishing phone ends the run
// once without losing or duplicating anything.

#include "WiFiSyncTestSupport.h"

#include "MemoryDataSource.h"
#include "SyncRunner.h"
#include "foundation/GlobalVariables.h"
#include "support/TestSupport.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <thread>

using phonepeer::Conduit;
using phonepeer::Fault;
using phonepeer::FaultKind;

namespace {

const QString kNote = QStringLiteral("Fish & chips\tfor two\nsecond line");
const QStringList kClassNames = {QStringLiteral("HMContactData"), QStringLiteral("HMCalendarData"),
                                 QStringLiteral("HMTaskData"), QStringLiteral("HMMemoData")};
const Conduit kPeerConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks, Conduit::Memos};

// Short intervals, and requests that time out after two seconds instead of a minute.
HMWiFiSync::Timing timing()
{
    HMWiFiSync::Timing result = fastTiming();
    result.commandTimeoutSeconds = 2.0;
    return result;
}

// A phone peer that keeps its records in a file (so it can be killed and restarted), the desktop's
// records in a memory store that lives across runs, and an Outlook profile (memos sync only with
// Outlook) with every conduit enabled both ways.
class EndToEnd final
{
public:
    EndToEnd()
    {
        preparePhoneLinkTests();
        GlobalVariables::setOutlookVersionNumber(QStringLiteral("16.0"));
        startPeer(0);
        hmsync::MemoryDataSource::registerForAllConduits(m_store);
        const int port = m_peer->port();
        HMSyncController::registerTransport(
            1, [port](const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
                   -> std::unique_ptr<HMSyncClient> {
                std::unique_ptr<HMWiFiSync> sync = HMWiFiSync::initWithConfiguration(configuration, timing());
                sync->setServerPort(port);
                return sync;
            });
        m_manager = std::make_shared<HMProfileManager>();
        m_profile = m_manager->newProfile();
        m_profile->setDeviceTypeName(QStringLiteral("android"));
        m_profile->setSyncMethodName(QStringLiteral("wifi"));
        m_profile->setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
        m_profile->setContactManager(HMContactManager::Outlook15);
        m_profile->setHhIpAddress(QStringLiteral("127.0.0.1"));
        m_profile->setHhPassword(m_peer->deviceId());
        m_profile->setContactSyncEnabled(true);
        m_profile->setCalendarSyncEnabled(true);
        m_profile->setTaskSyncEnabled(true);
        m_profile->setMemoSyncEnabled(true);
        EXPECT_TRUE(m_manager->saveProfile(*m_profile));
    }

    ~EndToEnd()
    {
        m_peer->stop();
        for (const QString &className : kClassNames)
            HMDataConfigurationSource::registerDataSourceClass(className, {});
        HMSyncController::registerTransport(1, {});
        GlobalVariables::setOutlookVersionNumber(QString());
    }

    phonepeer::PhonePeer &peer() { return *m_peer; }
    hmsync::MemoryStore &store() { return *m_store; }
    HMProfile &profile() { return *m_profile; }

    hmsync::SyncOutcome sync() { return hmsync::runManualSync(m_manager, m_profile, std::chrono::seconds(60)); }

    // Kills the peer and starts it again on the same port with the records of its file.
    void restartPeer()
    {
        const int port = m_peer->port();
        m_peer->stop();
        startPeer(port);
    }

private:
    void startPeer(int port)
    {
        phonepeer::PhonePeer::Options options;
        options.port = port;
        options.dataFile = m_folder.filePath(QStringLiteral("phone.json"));
        m_peer = std::make_unique<phonepeer::PhonePeer>(options);
        QString problem;
        if (!m_peer->start(problem))
            ADD_FAILURE() << "the phone peer did not start: " << problem.toStdString();
    }

    QTemporaryDir m_folder;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    std::shared_ptr<hmsync::MemoryStore> m_store = std::make_shared<hmsync::MemoryStore>();
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
};

QString describe(const hmsync::SyncOutcome &outcome)
{
    return hmsync::describeOutcome(outcome);
}

// The native id and fields of the desktop record of a conduit whose field has the value.
std::pair<QString, QVariantMap> desktopRecordWith(EndToEnd &run, quint64 conduit, const QString &key,
                                                  const QString &value)
{
    const QMap<QString, hmsync::StoredRecord> records = run.store().records(conduit);
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        if (it.value().fields.value(key).toString() == value)
            return {it.key(), it.value().fields};
    }
    return {};
}

std::optional<phonepeer::PhoneRecord> phoneRecordWith(phonepeer::PhonePeer &peer, Conduit conduit, const QString &key,
                                                      const QString &value)
{
    for (const phonepeer::PhoneRecord &record : peer.records(conduit)) {
        if (record.fields.value(key) == value)
            return record;
    }
    return std::nullopt;
}

// Fills both sides with one record per conduit, the note of each holding "&", TAB and a line break.
void fillBothSides(EndToEnd &run)
{
    run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Phone")},
                                                  {QStringLiteral("NEWLNAME"), QStringLiteral("Person")},
                                                  {QStringLiteral("NOTE"), kNote}});
    run.peer().addPhoneRecord(Conduit::Calendar, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone event")},
                                                  {QStringLiteral("NOTE"), kNote},
                                                  {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20261210")},
                                                  {QStringLiteral("GMTSTARTTIME"), QStringLiteral("09:00:00")},
                                                  {QStringLiteral("GMTENDDATE"), QStringLiteral("20261210")},
                                                  {QStringLiteral("GMTENDTIME"), QStringLiteral("10:00:00")},
                                                  {QStringLiteral("TYPE"), QStringLiteral("0")}});
    run.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone task")},
                                               {QStringLiteral("NOTE"), kNote}});
    run.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone memo")},
                                               {QStringLiteral("NOTE"), kNote}});

    run.store().addRecord(1, {{QStringLiteral("FIRSTNAME"), QStringLiteral("Desk")},
                             {QStringLiteral("LASTNAME"), QStringLiteral("Person")},
                             {QStringLiteral("NOTE"), kNote}});
    const QDateTime start(QDate(2026, 12, 11), QTime(14, 0), Qt::UTC);
    run.store().addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("Desk event")},
                             {QStringLiteral("NOTE"), kNote},
                             {QStringLiteral("NSDATESTARTDATE"), start},
                             {QStringLiteral("NSDATEENDDATE"), start.addSecs(3600)},
                             {QStringLiteral("TYPENUMBER"), false}});
    run.store().addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Desk task")}, {QStringLiteral("NOTE"), kNote}});
    run.store().addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Desk memo")}, {QStringLiteral("NOTE"), kNote}});
}

qsizetype phoneRecordCount(phonepeer::PhonePeer &peer)
{
    qsizetype count = 0;
    for (const Conduit conduit : kPeerConduits)
        count += peer.records(conduit).size();
    return count;
}

qsizetype desktopRecordCount(EndToEnd &run)
{
    qsizetype count = 0;
    for (quint64 conduit = 1; conduit <= 4; ++conduit)
        count += run.store().records(conduit).size();
    return count;
}

} // namespace

TEST(SyncEndToEnd, AFirstSyncMovesEveryRecordBothWaysIntact)
{
    EndToEnd run;
    fillBothSides(run);
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_EQ(outcome.finishCount, 1);

    EXPECT_EQ(desktopRecordWith(run, 1, QStringLiteral("FIRSTNAME"), QStringLiteral("Phone"))
                  .second.value(QStringLiteral("NOTE"))
                  .toString(),
              kNote);
    const QVariantMap event = desktopRecordWith(run, 2, QStringLiteral("SUBJECT"), QStringLiteral("Phone event")).second;
    EXPECT_EQ(event.value(QStringLiteral("NOTE")).toString(), kNote);
    EXPECT_EQ(event.value(QStringLiteral("NSDATESTARTDATE")).toDateTime(),
              QDateTime(QDate(2026, 12, 10), QTime(9, 0), Qt::UTC));
    EXPECT_EQ(desktopRecordWith(run, 3, QStringLiteral("SUBJECT"), QStringLiteral("Phone task"))
                  .second.value(QStringLiteral("NOTE"))
                  .toString(),
              kNote);
    EXPECT_EQ(desktopRecordWith(run, 4, QStringLiteral("SUBJECT"), QStringLiteral("Phone memo"))
                  .second.value(QStringLiteral("NOTE"))
                  .toString(),
              kNote);

    const auto contact = phoneRecordWith(run.peer(), Conduit::Contacts, QStringLiteral("NEWFNAME"), QStringLiteral("Desk"));
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->fields.value(QStringLiteral("NOTE")), kNote);
    const auto phoneEvent = phoneRecordWith(run.peer(), Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Desk event"));
    ASSERT_TRUE(phoneEvent);
    EXPECT_EQ(phoneEvent->fields.value(QStringLiteral("GMTSTARTDATE")), QStringLiteral("20261211"));
    EXPECT_EQ(phoneEvent->fields.value(QStringLiteral("GMTSTARTTIME")), QStringLiteral("14:00:00"));
    EXPECT_EQ(phoneEvent->fields.value(QStringLiteral("NOTE")), kNote);
    EXPECT_TRUE(phoneRecordWith(run.peer(), Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Desk task")));
    EXPECT_TRUE(phoneRecordWith(run.peer(), Conduit::Memos, QStringLiteral("SUBJECT"), QStringLiteral("Desk memo")));
    EXPECT_EQ(phoneRecordCount(run.peer()), 8);
    EXPECT_EQ(desktopRecordCount(run), 8);
}

TEST(SyncEndToEnd, ASecondSyncWithoutChangesSendsNoRecords)
{
    EndToEnd run;
    fillBothSides(run);
    ASSERT_TRUE(run.sync().isSuccess);
    const qsizetype requestsBefore = run.peer().requestLog().size();
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    const QStringList second = run.peer().requestLog().mid(requestsBefore);
    for (const QString &path : second) {
        EXPECT_TRUE(path == QLatin1String("/hmx_logon") || path == QLatin1String("/hmx_logoff") ||
                    path == QLatin1String("/hmx_list"))
            << "the second sync sent " << path.toStdString() << " in " << second.join(u' ').toStdString();
    }
    EXPECT_EQ(phoneRecordCount(run.peer()), 8);
    EXPECT_EQ(desktopRecordCount(run), 8);
}

TEST(SyncEndToEnd, EditsAndDeletionsOnEachSideReachTheOther)
{
    EndToEnd run;
    fillBothSides(run);
    const QString doomedOnPhone = run.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("Doomed memo")}});
    const QString doomedOnDesk = run.store().addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Doomed task")}});
    ASSERT_TRUE(run.sync().isSuccess);

    const auto phoneContact = phoneRecordWith(run.peer(), Conduit::Contacts, QStringLiteral("NEWFNAME"), QStringLiteral("Phone"));
    ASSERT_TRUE(phoneContact);
    QMap<QString, QString> edited = phoneContact->fields;
    edited.insert(QStringLiteral("NOTE"), QStringLiteral("Edited on the phone & kept"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, phoneContact->uid, edited));
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Memos, doomedOnPhone));
    const QString deskEvent = desktopRecordWith(run, 2, QStringLiteral("SUBJECT"), QStringLiteral("Desk event")).first;
    ASSERT_TRUE(run.store().updateRecord(2, deskEvent, {{QStringLiteral("LOCATION"), QStringLiteral("Room 7")}}));
    ASSERT_TRUE(run.store().deleteRecord(3, doomedOnDesk));

    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_EQ(desktopRecordWith(run, 1, QStringLiteral("FIRSTNAME"), QStringLiteral("Phone"))
                  .second.value(QStringLiteral("NOTE"))
                  .toString(),
              QStringLiteral("Edited on the phone & kept"));
    EXPECT_TRUE(desktopRecordWith(run, 4, QStringLiteral("SUBJECT"), QStringLiteral("Doomed memo")).first.isEmpty());
    const auto phoneEvent = phoneRecordWith(run.peer(), Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Desk event"));
    ASSERT_TRUE(phoneEvent);
    EXPECT_EQ(phoneEvent->fields.value(QStringLiteral("LOCATION")), QStringLiteral("Room 7"));
    EXPECT_FALSE(phoneRecordWith(run.peer(), Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Doomed task")));
    EXPECT_EQ(phoneRecordCount(run.peer()), 8);
    EXPECT_EQ(desktopRecordCount(run), 8);
}

TEST(SyncEndToEnd, DeletionsTravelOnlyTheWayTheSettingsAllow)
{
    EndToEnd run;
    fillBothSides(run);
    // Memo deletions go from the phone to the desktop only.
    run.profile().setMemoSyncDeletionsName(QStringLiteral("device_to_mac"));
    ASSERT_TRUE(run.sync().isSuccess);
    const auto phoneMemo = phoneRecordWith(run.peer(), Conduit::Memos, QStringLiteral("SUBJECT"), QStringLiteral("Phone memo"));
    ASSERT_TRUE(phoneMemo);
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Memos, phoneMemo->uid));
    const QString deskMemo = desktopRecordWith(run, 4, QStringLiteral("SUBJECT"), QStringLiteral("Desk memo")).first;
    ASSERT_TRUE(run.store().deleteRecord(4, deskMemo));

    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    EXPECT_TRUE(desktopRecordWith(run, 4, QStringLiteral("SUBJECT"), QStringLiteral("Phone memo")).first.isEmpty());
    EXPECT_TRUE(phoneRecordWith(run.peer(), Conduit::Memos, QStringLiteral("SUBJECT"), QStringLiteral("Desk memo")));
}

// Every way the phone misbehaves ends the run once, in error, with the text the user is shown; the
// next sync with a well-behaved phone then completes and leaves no record twice on either side.
TEST(SyncEndToEnd, AMisbehavingPhoneEndsTheRunOnceAndTheNextSyncMendsIt)
{
    struct Row
    {
        const char *name;
        FaultKind kind;
        const char *path;
        const char *errorText; // the start of the text shown
        // A cut-off update was applied by the phone, but its reply with the new records' ids never
        // arrived: the next sync sends those records again, and only the phone could tell the
        // copies apart. Every other fault leaves both sides as they were.
        bool leavesNoCopies = true;
        int delayMs = 0;
    };
    const Row rows[] = {
        {"logon FAIL", FaultKind::Fail, "/hmx_logon", "Quillpad Error: Peer told to fail"},
        {"list FAIL", FaultKind::Fail, "/hmx_list", "Peer told to fail"},
        {"list always empty", FaultKind::Empty, "/hmx_list", ""},
        {"list cut off", FaultKind::Drop, "/hmx_list", ""},
        {"update FAIL", FaultKind::Fail, "/hmx_update", ""},
        {"update cut off", FaultKind::Drop, "/hmx_update", "The network connection was lost.", false},
        {"update empty", FaultKind::Empty, "/hmx_update", ""},
        {"logoff FAIL", FaultKind::Fail, "/hmx_logoff", "Quillpad Error:"},
        {"malformed rows", FaultKind::MalformedRows, "/hmx_list", nullptr},
        {"lists too slow", FaultKind::Delay, "/hmx_list", "", true, 4000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EndToEnd run;
        fillBothSides(run);
        Fault fault;
        fault.kind = row.kind;
        fault.path = QString::fromLatin1(row.path);
        fault.delayMs = row.delayMs;
        run.peer().addFault(fault);
        const hmsync::SyncOutcome broken = run.sync();
        ASSERT_TRUE(broken.hasEnded) << describe(broken).toStdString();
        EXPECT_EQ(broken.finishCount, 1);
        if (row.errorText != nullptr) {
            EXPECT_FALSE(broken.isSuccess) << describe(broken).toStdString();
            EXPECT_TRUE(broken.errorText.startsWith(QString::fromLatin1(row.errorText)))
                << broken.errorText.toStdString() << " (error " << broken.errorCode << ")";
        }
        if (row.delayMs > 0) {
            EXPECT_EQ(broken.errorCode, 3u) << "a phone too slow to answer is a time-out";
        }

        run.peer().clearFaults();
        const hmsync::SyncOutcome mended = run.sync();
        ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
        if (row.leavesNoCopies) {
            EXPECT_EQ(phoneRecordCount(run.peer()), 8);
            EXPECT_EQ(desktopRecordCount(run), 8);
        }
        // Once both sides agree, a further sync changes nothing.
        const qsizetype phoneCount = phoneRecordCount(run.peer());
        ASSERT_TRUE(run.sync().isSuccess);
        EXPECT_EQ(phoneRecordCount(run.peer()), phoneCount);
        EXPECT_EQ(desktopRecordCount(run), phoneCount);
    }
}

TEST(SyncEndToEnd, APhoneKilledMidSyncEndsTheRunAndTheNextSyncHasNoDuplicates)
{
    EndToEnd run;
    fillBothSides(run);
    Fault slow;
    slow.kind = FaultKind::Delay;
    slow.path = QStringLiteral("/hmx_update");
    slow.delayMs = 10000;
    slow.times = 1;
    run.peer().addFault(slow);
    std::thread killer([&run] {
        testsupport::waitUntil([&run] { return run.peer().requestLog().contains(QStringLiteral("/hmx_update")); },
                               std::chrono::seconds(30));
        run.peer().stop();
    });
    const hmsync::SyncOutcome broken = run.sync();
    killer.join();
    ASSERT_TRUE(broken.hasEnded);
    EXPECT_FALSE(broken.isSuccess);
    EXPECT_EQ(broken.finishCount, 1);

    run.restartPeer();
    const hmsync::SyncOutcome mended = run.sync();
    ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
    EXPECT_EQ(desktopRecordCount(run), 8);
    EXPECT_EQ(phoneRecordCount(run.peer()), 8);
}
