// Whole syncs through the sync controller and the Wi-Fi transport against the phone peer on loopback,
// with the desktop's records in fake stores: records travel both ways intact, a sync without changes
// sends nothing, edits and deletions cross over, and a misbehaving or vanishing phone ends the run
// once without losing or duplicating anything.

#include "WiFiSyncTestSupport.h"

#include "QtPrinters.h"

#include "MemoryDataSource.h"
#include "SyncRunner.h"
#include "LogCapture.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMLogRedaction.h"
#include "foundation/Lumberjack/DDLog.h"
#include "support/TestSupport.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncController.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include <unistd.h>

using phonepeer::Conduit;
using phonepeer::Fault;
using phonepeer::FaultKind;

namespace {

const QString kNote = QStringLiteral("Fish & chips\tfor two\nsecond line");
const QStringList kClassNames = {QStringLiteral("HMContactData"), QStringLiteral("HMCalendarData"),
                                 QStringLiteral("HMTaskData"), QStringLiteral("HMMemoData")};
const Conduit kPeerConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks, Conduit::Memos};

// Short intervals, and requests that time out after the given seconds instead of a minute.
HMWiFiSync::Timing timing(double commandTimeoutSeconds)
{
    HMWiFiSync::Timing result = fastTiming();
    result.commandTimeoutSeconds = commandTimeoutSeconds;
    return result;
}

// A page of 512 records, or a batch of 100, took more than two seconds to answer on a loaded machine
// with the sanitizers: the runs wait ten times that. A test of the time-out itself sets a short one.
constexpr double kCommandTimeoutSeconds = 20.0;

enum class DesktopSide { Outlook, AddressBook };

// A phone peer that keeps its records in a file (so it can be killed and restarted), the desktop's
// records in a memory store that lives across runs, and a profile with every conduit enabled both
// ways: an Outlook profile (memos sync only with Outlook, whose id maps the store keeps), or one of
// the desktop's own stores (contacts, calendar and tasks, with identifier graphs in the data folder).
class EndToEnd final
{
public:
    explicit EndToEnd(DesktopSide side = DesktopSide::Outlook)
    {
        preparePhoneLinkTests();
        const bool isOutlook = side == DesktopSide::Outlook;
        GlobalVariables::setOutlookVersionNumber(isOutlook ? QStringLiteral("16.0") : QString());
        startPeer(0);
        m_store->load(m_folder.filePath(QStringLiteral("desktop.json")), m_loadProblem);
        hmsync::MemoryDataSource::registerForAllConduits(m_store);
        const int port = m_peer->port();
        HMSyncController::registerTransport(
            1,
            [port, timeout = m_commandTimeoutSeconds](
                const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
                -> std::unique_ptr<HMSyncClient> {
                std::unique_ptr<HMWiFiSync> sync = HMWiFiSync::initWithConfiguration(configuration, timing(*timeout));
                sync->setServerPort(port);
                return sync;
            });
        m_manager = std::make_shared<HMProfileManager>();
        m_profile = m_manager->newProfile();
        m_profile->setDeviceTypeName(QStringLiteral("android"));
        m_profile->setSyncMethodName(QStringLiteral("wifi"));
        m_profile->setContactManagerName(isOutlook ? QStringLiteral("ContactManagerOutlook15")
                                                   : QStringLiteral("ContactManagerApple"));
        m_profile->setContactManager(isOutlook ? HMContactManager::Outlook15 : HMContactManager::Apple);
        m_profile->setHhIpAddress(QStringLiteral("127.0.0.1"));
        m_profile->setHhPassword(m_peer->deviceId());
        m_profile->setContactSyncEnabled(true);
        m_profile->setCalendarSyncEnabled(true);
        m_profile->setTaskSyncEnabled(true);
        m_profile->setMemoSyncEnabled(isOutlook);
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
    // The time-out of the requests of the syncs that start after the call.
    void setCommandTimeoutSeconds(double seconds) { *m_commandTimeoutSeconds = seconds; }
    HMProfile &profile() { return *m_profile; }
    QString folder() const { return m_folder.path(); }
    // The identifier graph files of this run's profile.
    QStringList graphFiles() const
    {
        const QString dataFolder = QString::fromUtf8(qgetenv("XDG_DATA_HOME"));
        QStringList files;
        QDirIterator it(dataFolder, {m_profile->filename() + QStringLiteral("_?.idgraph")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
        return files;
    }

    hmsync::SyncOutcome sync(std::chrono::milliseconds timeLimit = std::chrono::seconds(60))
    {
        return hmsync::runManualSync(m_manager, m_profile, timeLimit);
    }

    // The desktop's records as a new run of the program finds them: a new store read from its file.
    void reloadStore()
    {
        m_store = std::make_shared<hmsync::MemoryStore>();
        QString problem;
        EXPECT_TRUE(m_store->load(m_folder.filePath(QStringLiteral("desktop.json")), problem)) << problem.toStdString();
        hmsync::MemoryDataSource::registerForAllConduits(m_store);
    }

    // Kills the peer and starts it again on the same port with the records of its file.
    void restartPeer()
    {
        const int port = m_peer->port();
        m_peer->stop();
        startPeer(port);
    }

private:
    void startPeer(int port) { m_peer = startPhonePeer(port, m_folder.filePath(QStringLiteral("phone.json"))); }

    QTemporaryDir m_folder;
    QString m_loadProblem;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    std::shared_ptr<hmsync::MemoryStore> m_store = std::make_shared<hmsync::MemoryStore>();
    std::shared_ptr<HMProfileManager> m_manager;
    std::shared_ptr<HMProfile> m_profile;
    // Read by the transport factory on the sync's thread.
    std::shared_ptr<std::atomic<double>> m_commandTimeoutSeconds =
        std::make_shared<std::atomic<double>>(kCommandTimeoutSeconds);
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

// The pairing id is the user name and the password of every request: with the most detailed logging,
// through a first sync, an incremental one with an id list and the changes of both sides, no log line
// holds it, while the bodies around it are still logged.
TEST(SyncEndToEnd, NoLogLineHoldsTheCredentials)
{
    EndToEnd run;
    fillBothSides(run);
    LogCapture capture(LOG_LEVEL_VERBOSE);
    ASSERT_TRUE(run.sync().isSuccess);
    run.peer().addPhoneRecord(phonepeer::Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Later")}});
    ASSERT_TRUE(run.sync().isSuccess);
    const QStringList lines = capture.lines();
    ASSERT_FALSE(lines.filter(QStringLiteral("Sending list command to device")).isEmpty());
    ASSERT_FALSE(lines.filter(QStringLiteral("request.HTTPBodyString")).isEmpty());
    EXPECT_FALSE(lines.filter(QStringLiteral("password=<hidden>&")).isEmpty());
    const QStringList leaks = lines.filter(run.peer().deviceId());
    EXPECT_TRUE(leaks.isEmpty()) << leaks.mid(0, 3).join(u'\n').toStdString();
}

TEST(SyncEndToEnd, FormBodiesAreLoggedWithoutTheirCredentials)
{
    EXPECT_EQ(formBodyForLog(QStringLiteral("Limit=100&Username=QP-1&conduit=1&password=QP-1&")),
              QStringLiteral("Limit=100&Username=<hidden>&conduit=1&password=<hidden>&"));
    EXPECT_EQ(formBodyForLog(QStringLiteral("access_token=abc&Session=9&mode=idlist&bare&")),
              QStringLiteral("access_token=<hidden>&Session=<hidden>&mode=idlist&<hidden>&"));
    EXPECT_EQ(formBodyForLog(QString()), QString());
}

// A phone record whose id holds a NUL, or is longer than any id is kept, cannot be named in the
// identifier graph: it is skipped with its reason, and the other records sync, now and later.
TEST(SyncEndToEnd, RecordsWhoseIdsCannotBeKeptAreSkippedAndTheOthersSync)
{
    EndToEnd run;
    fillBothSides(run);
    const QString withNul = QStringLiteral("bad") + QChar(0) + QStringLiteral("id");
    run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWFNAME"), QStringLiteral("Nul")}}, withNul);
    run.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Long")}},
                              QString(5000, u'x'));
    LogCapture capture(LOG_LEVEL_ERROR);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_EQ(run.store().records(1).size(), 2);
        EXPECT_EQ(run.store().records(3).size(), 2 + pass);
        EXPECT_EQ(run.peer().records(Conduit::Contacts).size(), 3);
        EXPECT_EQ(run.peer().records(Conduit::Tasks).size(), 3 + pass);
        run.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Pass %1").arg(pass)}});
    }
    const QStringList lines = capture.lines();
    EXPECT_FALSE(lines.filter(QStringLiteral("Skipping a device record: its id holds a NUL character")).isEmpty());
    EXPECT_FALSE(
        lines.filter(QStringLiteral("Skipping a device record: its id is 5000 characters long, more than 1024"))
            .isEmpty());
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

namespace {

// Every file under the folders with its bytes.
QMap<QString, QByteArray> filesUnder(const QStringList &folders)
{
    QMap<QString, QByteArray> files;
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            files.insert(file.fileName(), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable"));
        }
    }
    return files;
}

} // namespace

TEST(SyncEndToEnd, ASecondSyncWithoutChangesWritesNothingButItsDates)
{
    EndToEnd run(DesktopSide::AddressBook);
    fillBothSides(run);
    ASSERT_TRUE(run.sync().isSuccess);
    const QStringList folders = {run.folder(), QString::fromUtf8(qgetenv("XDG_DATA_HOME"))};
    const QMap<QString, QByteArray> before = filesUnder(folders);
    ASSERT_TRUE(before.contains(run.folder() + QStringLiteral("/desktop.json")));

    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    // The desktop's records and the identifier graphs stay as they were; the profile's settings take
    // the run's dates, and each conduit's date goes to the journal beside its graph.
    const QMap<QString, QByteArray> after = filesUnder(folders);
    QStringList journals;
    for (auto file = after.constBegin(); file != after.constEnd(); ++file) {
        if (before.value(file.key()) == file.value())
            continue;
        if (file.key().endsWith(QLatin1String(".journal")))
            journals.append(file.key());
        else
            EXPECT_TRUE(file.key().endsWith(QLatin1String(".settings"))) << file.key().toStdString() << " was written";
    }
    EXPECT_EQ(journals.size(), 3) << journals.join(u' ').toStdString();
    for (const QString &journal : journals)
        EXPECT_EQ(after.value(journal).count('\n'), 2) << journal.toStdString();
    for (auto file = before.constBegin(); file != before.constEnd(); ++file)
        EXPECT_TRUE(after.contains(file.key())) << file.key().toStdString() << " went";
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
        int delayMs = 0;
    };
    const Row rows[] = {
        {"logon FAIL", FaultKind::Fail, "/hmx_logon", "Quillpad Error: Peer told to fail"},
        {"list FAIL", FaultKind::Fail, "/hmx_list", "Peer told to fail"},
        {"list always empty", FaultKind::Empty, "/hmx_list", ""},
        {"list cut off", FaultKind::Drop, "/hmx_list", ""},
        {"update FAIL", FaultKind::Fail, "/hmx_update", ""},
        {"update cut off", FaultKind::Drop, "/hmx_update", "The network connection was lost."},
        {"update empty", FaultKind::Empty, "/hmx_update", ""},
        {"logoff FAIL", FaultKind::Fail, "/hmx_logoff", "Quillpad Error:"},
        {"malformed rows", FaultKind::MalformedRows, "/hmx_list", nullptr},
        {"lists too slow", FaultKind::Delay, "/hmx_list", "", 4000},
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
        // A reply held twice the time-out is a time-out; the other runs have the long one.
        if (row.delayMs > 0)
            run.setCommandTimeoutSeconds(row.delayMs / 2000.0);
        const hmsync::SyncOutcome broken = run.sync();
        run.setCommandTimeoutSeconds(kCommandTimeoutSeconds);
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
        EXPECT_EQ(phoneRecordCount(run.peer()), 8);
        EXPECT_EQ(desktopRecordCount(run), 8);
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

namespace {

// The key that names a record of each conduit, on the desktop and on the phone.
QString desktopNameKey(quint64 conduit)
{
    return conduit == 1 ? QStringLiteral("LASTNAME") : QStringLiteral("SUBJECT");
}

QString phoneNameKey(Conduit conduit)
{
    return conduit == Conduit::Contacts ? QStringLiteral("NEWLNAME") : QStringLiteral("SUBJECT");
}

// Named records on both sides: perConduit on the desktop and three on the phone, for the conduits the
// profile syncs. Answers the names, which every later sync must find exactly once on each side.
QList<QStringList> fillNamedRecords(EndToEnd &run, int desktopContacts, int perConduit, quint64 lastConduit)
{
    QList<QStringList> names(5);
    for (quint64 conduit = 1; conduit <= lastConduit; ++conduit) {
        const int desktopCount = conduit == 1 ? desktopContacts : perConduit;
        for (int index = 0; index < desktopCount; ++index) {
            const QString name = QStringLiteral("Desk %1-%2").arg(conduit).arg(index);
            QVariantMap fields{{desktopNameKey(conduit), name}};
            if (conduit == 2) {
                const QDateTime start = QDateTime(QDate(2026, 12, 14), QTime(8, 0), Qt::UTC).addSecs(index * 3600);
                fields.insert(QStringLiteral("NSDATESTARTDATE"), start);
                fields.insert(QStringLiteral("NSDATEENDDATE"), start.addSecs(1800));
                fields.insert(QStringLiteral("TYPENUMBER"), false);
            }
            run.store().addRecord(conduit, fields);
            names[conduit].append(name);
        }
        for (int index = 0; index < 3; ++index) {
            const QString name = QStringLiteral("Phone %1-%2").arg(conduit).arg(index);
            QMap<QString, QString> fields{{phoneNameKey(kPeerConduits[conduit - 1]), name}};
            if (conduit == 2) {
                fields.insert(QStringLiteral("GMTSTARTDATE"), QStringLiteral("20261215"));
                fields.insert(QStringLiteral("GMTSTARTTIME"), QStringLiteral("1%1:00:00").arg(index));
                fields.insert(QStringLiteral("GMTENDDATE"), QStringLiteral("20261215"));
                fields.insert(QStringLiteral("GMTENDTIME"), QStringLiteral("1%1:30:00").arg(index));
                fields.insert(QStringLiteral("TYPE"), QStringLiteral("0"));
            }
            run.peer().addPhoneRecord(kPeerConduits[conduit - 1], fields);
            names[conduit].append(name);
        }
    }
    return names;
}

// What a side holds against the names it should: the names missing and those held more often than
// named, or the empty text.
QString namesDifference(QStringList held, const QStringList &expected)
{
    QStringList missing;
    for (const QString &name : expected) {
        if (!held.removeOne(name))
            missing.append(name);
    }
    if (missing.isEmpty() && held.isEmpty())
        return QString();
    return QStringLiteral("missing: %1; extra: %2")
        .arg(missing.join(QStringLiteral(", ")), held.join(QStringLiteral(", ")));
}

// Every named record exists exactly once on each side, and nothing else does.
void expectEachRecordOnceOnBothSides(EndToEnd &run, const QList<QStringList> &names)
{
    for (quint64 conduit = 1; conduit < quint64(names.size()); ++conduit) {
        SCOPED_TRACE(conduit);
        QStringList onDesktop;
        for (const hmsync::StoredRecord &record : run.store().records(conduit))
            onDesktop.append(record.fields.value(desktopNameKey(conduit)).toString());
        QStringList onPhone;
        for (const phonepeer::PhoneRecord &record : run.peer().records(kPeerConduits[conduit - 1]))
            onPhone.append(record.fields.value(phoneNameKey(kPeerConduits[conduit - 1])));
        EXPECT_EQ(namesDifference(onDesktop, names.at(int(conduit))).toStdString(), "") << "on the desktop";
        EXPECT_EQ(namesDifference(onPhone, names.at(int(conduit))).toStdString(), "") << "on the phone";
    }
}

} // namespace

// Adds the phone refused, stored without answering, or stored while the connection broke (or never
// got) reach it exactly once by the next sync; nothing is doubled or lost on either side.
TEST(SyncEndToEnd, AddsThePhoneRefusedLeftOutOrNeverAnsweredArriveExactlyOnce)
{
    struct Row
    {
        const char *name;
        FaultKind kind;
        int every;
    };
    const Row rows[] = {{"every 3rd add refused", FaultKind::RefuseAdds, 3},
                        {"every 3rd add left out of the reply", FaultKind::OmitAdds, 3},
                        {"connection dropped after the phone stored a batch", FaultKind::Drop, 1},
                        {"connection dropped before the phone stored a batch", FaultKind::DropBefore, 1}};
    for (const DesktopSide side : {DesktopSide::AddressBook, DesktopSide::Outlook}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.name) + (side == DesktopSide::Outlook ? ", Outlook" : ", address book"));
            EndToEnd run(side);
            const QList<QStringList> names =
                fillNamedRecords(run, 105, 3, side == DesktopSide::Outlook ? 4 : 3);
            Fault fault;
            fault.kind = row.kind;
            fault.path = QStringLiteral("/hmx_update");
            fault.every = row.every;
            fault.times = row.kind == FaultKind::Drop || row.kind == FaultKind::DropBefore ? 1 : 0;
            run.peer().addFault(fault);
            (void)run.sync();
            run.peer().clearFaults();
            const hmsync::SyncOutcome mended = run.sync();
            ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
            expectEachRecordOnceOnBothSides(run, names);
            ASSERT_TRUE(run.sync().isSuccess);
            expectEachRecordOnceOnBothSides(run, names);
        }
    }
}

// An id list that stops halfway (as a reply without a length whose connection broke) deletes nothing
// on the desktop and ends the run in error; a whole one later deletes only what the phone deleted.
TEST(SyncEndToEnd, ACutShortIdListDeletesNothing)
{
    EndToEnd run(DesktopSide::AddressBook);
    QList<QStringList> names = fillNamedRecords(run, 12, 6, 3);
    ASSERT_TRUE(run.sync().isSuccess);
    Fault cut;
    cut.kind = FaultKind::CutIdList;
    cut.path = QStringLiteral("/hmx_list");
    run.peer().addFault(cut);
    const hmsync::SyncOutcome broken = run.sync();
    EXPECT_FALSE(broken.isSuccess) << describe(broken).toStdString();
    EXPECT_TRUE(broken.errorText.contains(QStringLiteral("announces"))) << broken.errorText.toStdString();
    expectEachRecordOnceOnBothSides(run, names);

    run.peer().clearFaults();
    const phonepeer::PhoneRecord doomed = run.peer().records(Conduit::Tasks).first();
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Tasks, doomed.uid));
    names[3].removeOne(doomed.fields.value(QStringLiteral("SUBJECT")));
    ASSERT_TRUE(run.sync().isSuccess);
    expectEachRecordOnceOnBothSides(run, names);
}

// A phone that refuses the logon (busy, or with an empty reply) ends the run in error with its reason,
// and nothing moves.
TEST(SyncEndToEnd, ARefusedLogonIsAnError)
{
    struct Row
    {
        const char *name;
        FaultKind kind;
        const char *errorText;
    };
    const Row rows[] = {{"busy", FaultKind::Busy, "Quillpad Error: BUSY"},
                        {"empty", FaultKind::Empty, "The phone gave no logon reply."}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EndToEnd run(DesktopSide::AddressBook);
        fillNamedRecords(run, 2, 2, 3);
        Fault refusal;
        refusal.kind = row.kind;
        refusal.path = QStringLiteral("/hmx_logon");
        run.peer().addFault(refusal);
        const hmsync::SyncOutcome outcome = run.sync();
        EXPECT_FALSE(outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_EQ(outcome.errorText, QString::fromLatin1(row.errorText));
        EXPECT_TRUE(describe(outcome).startsWith(QStringLiteral("Sync did not finish"))) << describe(outcome).toStdString();
        EXPECT_EQ(phoneRecordCount(run.peer()), 9);
        EXPECT_EQ(desktopRecordCount(run), 6);
    }
}

// A damaged identifier graph is kept aside and its conduit syncs as a first sync, whose records are
// matched with those both sides already have instead of doubling them.
TEST(SyncEndToEnd, ADamagedGraphSyncsAsAFirstSyncWithoutDoubling)
{
    EndToEnd run(DesktopSide::AddressBook);
    QList<QStringList> names = fillNamedRecords(run, 10, 5, 3);
    ASSERT_TRUE(run.sync().isSuccess);
    const QStringList graphs = run.graphFiles();
    ASSERT_EQ(graphs.size(), 3);
    for (const QString &graph : graphs) {
        QFile file(graph);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.resize(file.size() / 2);
    }
    run.store().addRecord(1, {{QStringLiteral("LASTNAME"), QStringLiteral("Added later")}});
    run.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Added on the phone")}});
    names[1].append(QStringLiteral("Added later"));
    names[3].append(QStringLiteral("Added on the phone"));

    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    ASSERT_TRUE(run.sync().isSuccess);
    expectEachRecordOnceOnBothSides(run, names);
    QDir dataFolder = QFileInfo(graphs.first()).dir();
    EXPECT_EQ(dataFolder.entryList({QStringLiteral("*.idgraph.damaged-*")}).size(), 3);
}

// A store or graph that cannot be written ends the run in error before the logoff, so the phone keeps
// its changes for the next sync, and nothing arrives twice once the files can be written again.
TEST(SyncEndToEnd, AFailedSaveEndsTheRunBeforeTheLogoff)
{
    for (const bool isGraph : {false, true}) {
        SCOPED_TRACE(isGraph ? "graph" : "store");
        EndToEnd run(DesktopSide::AddressBook);
        QList<QStringList> names = fillNamedRecords(run, 3, 3, 3);
        ASSERT_TRUE(run.sync().isSuccess);
        for (int index = 0; index < 5; ++index) {
            const QString name = QStringLiteral("Late %1").arg(index);
            run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWLNAME"), name}});
            names[1].append(name);
        }
        // A folder where the file should be: no write succeeds, whoever runs the test. The store
        // writes its file or the log beside it, so both are blocked.
        const QStringList blocked = isGraph ? QStringList{run.graphFiles().first()}
                                            : QStringList{run.folder() + QStringLiteral("/desktop.json"),
                                                          run.folder() + QStringLiteral("/desktop.json.log")};
        for (const QString &path : blocked) {
            QFile::remove(path);
            ASSERT_TRUE(QDir().mkpath(path + QStringLiteral("/in-the-way")));
        }
        const hmsync::SyncOutcome broken = run.sync();
        EXPECT_FALSE(broken.isSuccess) << describe(broken).toStdString();
        // A graph that cannot be read or written stops its conduit before any record moves.
        EXPECT_TRUE(broken.errorText.contains(QStringLiteral("could not be"))) << broken.errorText.toStdString();
        EXPECT_TRUE(run.peer().hasChanges()) << "the phone was told its changes arrived";

        for (const QString &path : blocked)
            ASSERT_TRUE(QDir(path).removeRecursively());
        const hmsync::SyncOutcome mended = run.sync();
        ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
        expectEachRecordOnceOnBothSides(run, names);
    }
}

// A record that goes to the phone and back unchanged comes back unchanged: a one-day all-day event
// keeps its one day, and a contact keeps the salutation the phone holds apart from the first name,
// through desktop edits and repeated syncs.
TEST(SyncEndToEnd, RecordsMakeRoundTripsUnchanged)
{
    EndToEnd run(DesktopSide::AddressBook);
    const QMap<QString, QString> allDay{{QStringLiteral("SUBJECT"), QStringLiteral("Holiday")},
                                        {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20261224")},
                                        {QStringLiteral("GMTSTARTTIME"), QStringLiteral("12:00:00")},
                                        {QStringLiteral("GMTENDDATE"), QStringLiteral("20261224")},
                                        {QStringLiteral("GMTENDTIME"), QStringLiteral("12:00:00")},
                                        {QStringLiteral("TYPE"), QStringLiteral("1")}};
    const QString eventId = run.peer().addPhoneRecord(Conduit::Calendar, allDay);
    const QString contactId = run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("SALUTATION"), QStringLiteral("Dr")},
                                                                           {QStringLiteral("NEWFNAME"), QStringLiteral("Anna")},
                                                                           {QStringLiteral("NEWLNAME"), QStringLiteral("Berg")}});
    ASSERT_TRUE(run.sync().isSuccess);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // Edited on the desktop, so the record goes back to the phone.
        const QString deskEvent = desktopRecordWith(run, 2, QStringLiteral("SUBJECT"), QStringLiteral("Holiday")).first;
        const QString deskContact = desktopRecordWith(run, 1, QStringLiteral("LASTNAME"), QStringLiteral("Berg")).first;
        ASSERT_TRUE(run.store().updateRecord(2, deskEvent, {{QStringLiteral("LOCATION"), QStringLiteral("Home %1").arg(round)}}));
        ASSERT_TRUE(run.store().updateRecord(1, deskContact, {{QStringLiteral("NOTE"), QStringLiteral("Edit %1").arg(round)}}));
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        const auto event = phoneRecordWith(run.peer(), Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Holiday"));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->uid, eventId);
        EXPECT_EQ(event->fields.value(QStringLiteral("GMTSTARTDATE")), QStringLiteral("20261224"));
        EXPECT_EQ(event->fields.value(QStringLiteral("GMTENDDATE")), QStringLiteral("20261224"));
        EXPECT_EQ(event->fields.value(QStringLiteral("TYPE")), QStringLiteral("1"));
        const QVariantMap desktopEvent = desktopRecordWith(run, 2, QStringLiteral("SUBJECT"), QStringLiteral("Holiday")).second;
        EXPECT_EQ(desktopEvent.value(QStringLiteral("NSDATEENDDATE")).toDateTime(),
                  QDateTime(QDate(2026, 12, 25), QTime(12, 0), Qt::UTC));
        const auto contact = phoneRecordWith(run.peer(), Conduit::Contacts, QStringLiteral("NEWLNAME"), QStringLiteral("Berg"));
        ASSERT_TRUE(contact);
        EXPECT_EQ(contact->uid, contactId);
        EXPECT_EQ(contact->fields.value(QStringLiteral("SALUTATION")), QStringLiteral("Dr"));
        EXPECT_EQ(contact->fields.value(QStringLiteral("NEWFNAME")), QStringLiteral("Anna"));
    }
}

// An Outlook profile keeps its id maps and change dates in the store's file: a later run of the program
// finds them, and neither doubles the records nor sends them again.
TEST(SyncEndToEnd, OutlookIdMapsOutliveTheProgram)
{
    EndToEnd run(DesktopSide::Outlook);
    const QList<QStringList> names = fillNamedRecords(run, 5, 4, 4);
    ASSERT_TRUE(run.sync().isSuccess);
    run.reloadStore();
    const qsizetype requestsBefore = run.peer().requestLog().size();
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    EXPECT_FALSE(run.peer().requestLog().mid(requestsBefore).contains(QStringLiteral("/hmx_update")))
        << "the second run sent records again";
}

// The profile's conflict rule holds for the desktop's records: with "last modified wins" a desktop edit
// newer than the phone's is kept (and sent to the phone), an older one gives way; "Mac wins" keeps it.
TEST(SyncEndToEnd, TheConflictRuleKeepsTheNewerEdit)
{
    struct Row
    {
        const char *name;
        const char *conflictName;
        const char *phoneEditedAt;
        bool desktopWins;
    };
    const Row rows[] = {{"older phone edit", "last_modified_wins", "2001-01-01 00:00:00", true},
                        {"newer phone edit", "last_modified_wins", "2099-01-01 00:00:00", false},
                        {"desktop always wins", "apple_wins", "2099-01-01 00:00:00", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EndToEnd run(DesktopSide::AddressBook);
        run.profile().setTaskConflictSettingName(QString::fromLatin1(row.conflictName));
        run.store().addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Shared task")}});
        ASSERT_TRUE(run.sync().isSuccess);
        const QString deskId = desktopRecordWith(run, 3, QStringLiteral("SUBJECT"), QStringLiteral("Shared task")).first;
        const auto onPhone = phoneRecordWith(run.peer(), Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Shared task"));
        ASSERT_TRUE(onPhone);
        ASSERT_TRUE(run.store().updateRecord(3, deskId, {{QStringLiteral("NOTE"), QStringLiteral("desktop")}}));
        ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Tasks, onPhone->uid,
                                                 {{QStringLiteral("SUBJECT"), QStringLiteral("Shared task")},
                                                  {QStringLiteral("NOTE"), QStringLiteral("phone")},
                                                  {QStringLiteral("LASTMODIFIED"), QString::fromLatin1(row.phoneEditedAt)}}));
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        const QString winner = row.desktopWins ? QStringLiteral("desktop") : QStringLiteral("phone");
        EXPECT_EQ(run.store().record(3, deskId).value_or(hmsync::StoredRecord{}).fields.value(QStringLiteral("NOTE")).toString(),
                  winner);
        const auto after = phoneRecordWith(run.peer(), Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Shared task"));
        ASSERT_TRUE(after);
        EXPECT_EQ(after->fields.value(QStringLiteral("NOTE")), winner);
    }
}

// A data folder the user cannot write ends the run in error before the logoff; once it can be written
// again, every record arrives once. (File permissions do not bind the superuser, so the case needs
// an ordinary user; the folder-in-the-way case above covers every user.)
namespace {

// Makes a folder unwritable for as long as it lives. Permissions do not bind the superuser, so as
// root (as in CI) the folder is bound onto itself read-only instead, which binds everyone.
class ReadOnlyFolder final
{
public:
    explicit ReadOnlyFolder(const QString &path) : m_path(path)
    {
        if (::geteuid() != 0) {
            m_permissions = QFile::permissions(path);
            m_isReadOnly = QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            return;
        }
        if (!runMount({QStringLiteral("--bind"), path, path}))
            return;
        m_isMounted = true;
        m_isReadOnly = runMount({QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), path, path});
    }
    ~ReadOnlyFolder() { restore(); }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    bool isReadOnly() const { return m_isReadOnly; }

    void restore()
    {
        if (m_isMounted)
            m_isMounted = !(QProcess::execute(QStringLiteral("umount"), {m_path}) == 0);
        else if (m_isReadOnly)
            QFile::setPermissions(m_path, m_permissions);
        m_isReadOnly = false;
    }

private:
    static bool runMount(const QStringList &arguments)
    {
        return QProcess::execute(QStringLiteral("mount"), arguments) == 0;
    }

    QString m_path;
    QFileDevice::Permissions m_permissions;
    bool m_isMounted = false;
    bool m_isReadOnly = false;
};

} // namespace

TEST(SyncEndToEnd, AReadOnlyDataFolderEndsTheRunBeforeTheLogoff)
{
    EndToEnd run(DesktopSide::AddressBook);
    QList<QStringList> names = fillNamedRecords(run, 3, 3, 3);
    ASSERT_TRUE(run.sync().isSuccess);
    run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWLNAME"), QStringLiteral("Late")}});
    names[1].append(QStringLiteral("Late"));
    const QString dataFolder = QFileInfo(run.graphFiles().first()).absolutePath();
    ReadOnlyFolder readOnly(dataFolder);
    if (!readOnly.isReadOnly())
        GTEST_SKIP() << "this machine lets the superuser neither bind folders nor be refused writes";
    const hmsync::SyncOutcome broken = run.sync();
    readOnly.restore();
    EXPECT_FALSE(broken.isSuccess) << describe(broken).toStdString();
    EXPECT_TRUE(run.peer().hasChanges()) << "the phone was told its changes arrived";
    ASSERT_TRUE(run.sync().isSuccess);
    expectEachRecordOnceOnBothSides(run, names);
}

// A run that ended after saving the desktop's records but before saving their identifier graph (and
// before the logoff, so the phone lists them again): applying the page again finds the records where
// they went instead of adding a second copy of each.
TEST(SyncEndToEnd, ListedRecordsAppliedTwiceExistOnce)
{
    EndToEnd run(DesktopSide::AddressBook);
    QList<QStringList> names(4);
    QList<QMap<QString, QString>> listed;
    for (int index = 0; index < 512; ++index) {
        names[1].append(QStringLiteral("Listed %1").arg(index));
        listed.append({{QStringLiteral("NEWLNAME"), names[1].last()}});
    }
    run.peer().addPhoneRecords(Conduit::Contacts, listed);
    // The logoff fails (the first logoff of a run is the cancel before its logon), so the phone keeps
    // listing its records as new.
    Fault logoff;
    logoff.kind = FaultKind::Fail;
    logoff.path = QStringLiteral("/hmx_logoff");
    logoff.times = 2;
    run.peer().addFault(logoff);
    EXPECT_FALSE(run.sync().isSuccess);
    ASSERT_TRUE(run.peer().hasChanges());
    // The graph the run saved is lost, as if the run had died before writing it.
    for (const QString &graph : run.graphFiles())
        ASSERT_TRUE(QFile::remove(graph));
    run.reloadStore();
    ASSERT_EQ(run.store().records(1).size(), 512);

    const hmsync::SyncOutcome mended = run.sync();
    ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    ASSERT_TRUE(run.sync().isSuccess);
    expectEachRecordOnceOnBothSides(run, names);
}

namespace {

// Many named contacts and events on both sides, the phone's added in bulk: perSide on each side of each
// conduit. Answers the names, by conduit, as fillNamedRecords does.
QList<QStringList> fillManyRecords(EndToEnd &run, int perSide)
{
    QList<QStringList> names(3);
    for (const quint64 conduit : {quint64(1), quint64(2)}) {
        QList<QMap<QString, QString>> phoneRecords;
        for (int index = 0; index < perSide; ++index) {
            const QString deskName = QStringLiteral("Desk %1-%2").arg(conduit).arg(index);
            const QString phoneName = QStringLiteral("Phone %1-%2").arg(conduit).arg(index);
            QVariantMap fields{{desktopNameKey(conduit), deskName}};
            QMap<QString, QString> phoneRecord{{phoneNameKey(kPeerConduits[conduit - 1]), phoneName}};
            if (conduit == 2) {
                const QDateTime start = QDateTime(QDate(2026, 12, 14), QTime(8, 0), Qt::UTC).addSecs(index * 3600);
                fields.insert(QStringLiteral("NSDATESTARTDATE"), start);
                fields.insert(QStringLiteral("NSDATEENDDATE"), start.addSecs(1800));
                fields.insert(QStringLiteral("TYPENUMBER"), false);
                const QDateTime phoneStart = start.addDays(1);
                phoneRecord.insert(QStringLiteral("GMTSTARTDATE"), phoneStart.toString(QStringLiteral("yyyyMMdd")));
                phoneRecord.insert(QStringLiteral("GMTSTARTTIME"), phoneStart.toString(QStringLiteral("HH:mm:ss")));
                phoneRecord.insert(QStringLiteral("GMTENDDATE"), phoneStart.toString(QStringLiteral("yyyyMMdd")));
                phoneRecord.insert(QStringLiteral("GMTENDTIME"),
                                   phoneStart.addSecs(1800).toString(QStringLiteral("HH:mm:ss")));
                phoneRecord.insert(QStringLiteral("TYPE"), QStringLiteral("0"));
            }
            run.store().addRecord(conduit, fields);
            phoneRecords.append(phoneRecord);
            names[int(conduit)].append({deskName, phoneName});
        }
        run.peer().addPhoneRecords(kPeerConduits[conduit - 1], phoneRecords);
    }
    return names;
}

// Renames `count` records of the conduit on each side and deletes `count` more on each side, keeping
// the names up to date. The records edited are those named after the side's own records.
void editBothSides(EndToEnd &run, QList<QStringList> &names, quint64 conduit, int count, const QString &mark)
{
    const QString deskKey = desktopNameKey(conduit);
    const QMap<QString, hmsync::StoredRecord> onDesktop = run.store().records(conduit);
    int edited = 0;
    for (auto it = onDesktop.constBegin(); it != onDesktop.constEnd() && edited < 2 * count; ++it, ++edited) {
        const QString name = it.value().fields.value(deskKey).toString();
        names[int(conduit)].removeOne(name);
        if (edited < count) {
            ASSERT_TRUE(run.store().updateRecord(conduit, it.key(), {{deskKey, name + mark}}));
            names[int(conduit)].append(name + mark);
        } else {
            ASSERT_TRUE(run.store().deleteRecord(conduit, it.key()));
        }
    }
    const Conduit phoneConduit = kPeerConduits[conduit - 1];
    const QString phoneKey = phoneNameKey(phoneConduit);
    const QList<phonepeer::PhoneRecord> onPhone = run.peer().records(phoneConduit);
    // From the end of the phone's list, so no record is edited on both sides.
    for (int index = 0; index < 2 * count; ++index) {
        const phonepeer::PhoneRecord &record = onPhone.at(onPhone.size() - 1 - index);
        const QString name = record.fields.value(phoneKey);
        names[int(conduit)].removeOne(name);
        if (index < count) {
            QMap<QString, QString> fields = record.fields;
            fields.insert(phoneKey, name + mark);
            ASSERT_TRUE(run.peer().updatePhoneRecord(phoneConduit, record.uid, fields));
            names[int(conduit)].append(name + mark);
        } else {
            ASSERT_TRUE(run.peer().deletePhoneRecord(phoneConduit, record.uid));
        }
    }
}

std::string describeReadings(const phonepeer::ListReadings &readings)
{
    static const char *const counts[] = {"Count= the page's rows", "Count= the listing's total", "no Count="};
    return std::string(counts[int(readings.count)]) + (readings.listNumber ? ", List=<rows>" : ", List=<name>") +
           (readings.listsOwnWrites ? ", own writes listed" : ", own writes left out");
}

} // namespace

// Phones fill in the numbers of their list replies in more than one way: under each, a first sync of
// more than a page of contacts and events each way, then syncs with edits and deletions on both
// sides, leave every record exactly once on each side. HM_LIST_READINGS_RECORDS sets how many records
// each side starts with (520 by default, so the phone's first listing takes two pages).
class EveryListReading : public testing::TestWithParam<phonepeer::ListReadings>
{
};

TEST_P(EveryListReading, SyncsMoreThanAPageWithEditsOnBothSides)
{
    const int perSide = qEnvironmentVariableIsSet("HM_LIST_READINGS_RECORDS")
                            ? qEnvironmentVariableIntValue("HM_LIST_READINGS_RECORDS")
                            : 520;
    SCOPED_TRACE(describeReadings(GetParam()));
    EndToEnd run(DesktopSide::AddressBook);
    run.peer().setListReadings(GetParam());
    QList<QStringList> names = fillManyRecords(run, perSide);
    // Many records take their time: a minute and some 20 ms a record.
    const hmsync::SyncOutcome first = run.sync(std::chrono::seconds(60) + std::chrono::milliseconds(20) * perSide);
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    for (const QString &mark : {QStringLiteral(" edited"), QStringLiteral(" again")}) {
        editBothSides(run, names, 1, 3, mark);
        editBothSides(run, names, 2, 3, mark);
        const hmsync::SyncOutcome next = run.sync();
        ASSERT_TRUE(next.isSuccess) << describe(next).toStdString();
        expectEachRecordOnceOnBothSides(run, names);
    }
}

namespace {

std::vector<phonepeer::ListReadings> everyListReading()
{
    using Count = phonepeer::ListReadings::Count;
    std::vector<phonepeer::ListReadings> readings;
    for (const Count count : {Count::PageRows, Count::ListingTotal, Count::Absent}) {
        for (const bool listNumber : {false, true}) {
            for (const bool listsOwnWrites : {false, true})
                readings.push_back({count, listNumber, listsOwnWrites});
        }
    }
    return readings;
}

std::string readingsTestName(const testing::TestParamInfo<phonepeer::ListReadings> &info)
{
    static const char *const counts[] = {"CountPageRows", "CountListingTotal", "NoCount"};
    return std::string(counts[int(info.param.count)]) + (info.param.listNumber ? "_ListNumber" : "_ListName") +
           (info.param.listsOwnWrites ? "_OwnWritesListed" : "_OwnWritesLeftOut");
}

} // namespace

INSTANTIATE_TEST_SUITE_P(SyncEndToEnd, EveryListReading, testing::ValuesIn(everyListReading()), readingsTestName);

// A note of a megabyte, with the characters the phone writes in its own way, travels each way whole.
// A reply past the transport's cap fails the run with its reason and applies nothing of its page;
// once the phone's record is smaller, the next sync brings every record once.
TEST(SyncEndToEnd, LongTextsTravelWholeAndAReplyPastTheCapFailsTheRun)
{
    EndToEnd run(DesktopSide::AddressBook);
    const auto longNote = [](QChar letter, qsizetype size) {
        QString note(size, letter);
        for (qsizetype at = 1000; at < size; at += 65536)
            note.replace(at, 6, QStringLiteral("&\t\n\u00e9\u20ac"));
        return note;
    };
    const QString phoneNote = longNote(QLatin1Char('p'), 1024 * 1024);
    const QString deskNote = longNote(QLatin1Char('d'), 1024 * 1024);
    QList<QStringList> names(2);
    names[1] = QStringList{QStringLiteral("Long phone"), QStringLiteral("Long desk")};
    run.peer().addPhoneRecord(Conduit::Contacts,
                              {{QStringLiteral("NEWLNAME"), names[1][0]}, {QStringLiteral("NOTE"), phoneNote}});
    run.store().addRecord(1, {{QStringLiteral("LASTNAME"), names[1][1]}, {QStringLiteral("NOTE"), deskNote}});
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    EXPECT_TRUE(desktopRecordWith(run, 1, QStringLiteral("NOTE"), phoneNote).second.value(QStringLiteral("LASTNAME")) ==
                names[1][0]);
    const auto onPhone = phoneRecordWith(run.peer(), Conduit::Contacts, QStringLiteral("NEWLNAME"), names[1][1]);
    ASSERT_TRUE(onPhone);
    EXPECT_TRUE(onPhone->fields.value(QStringLiteral("NOTE")) == deskNote);

    // Nine megabytes of note: past the cap of a reply.
    const QString tooLong = run.peer().addPhoneRecord(
        Conduit::Contacts, {{QStringLiteral("NEWLNAME"), QStringLiteral("Too long")},
                            {QStringLiteral("NOTE"), QString(9 * 1024 * 1024, QLatin1Char('x'))}});
    run.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWLNAME"), QStringLiteral("Beside it")}});
    const hmsync::SyncOutcome refused = run.sync();
    EXPECT_FALSE(refused.isSuccess);
    EXPECT_TRUE(refused.errorText.contains(QStringLiteral("largest size allowed"))) << refused.errorText.toStdString();
    EXPECT_EQ(run.store().records(1).size(), 2) << "nothing of the refused page reached the desktop";
    EXPECT_TRUE(run.peer().hasChanges()) << "the phone was told its changes arrived";

    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Contacts, tooLong,
                                             {{QStringLiteral("NEWLNAME"), QStringLiteral("Too long")},
                                              {QStringLiteral("NOTE"), QStringLiteral("shorter now")}}));
    names[1].append({QStringLiteral("Too long"), QStringLiteral("Beside it")});
    const hmsync::SyncOutcome mended = run.sync();
    ASSERT_TRUE(mended.isSuccess) << describe(mended).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
}

// Memos added on either side keep one copy on each side over five syncs: the phone's answer to the
// desktop's add maps the memo, so neither side takes the other's copy for a new one.
TEST(SyncEndToEnd, MemosKeepOneCopyEachSideOverFiveSyncs)
{
    for (const bool listsOwnWrites : {false, true}) {
        SCOPED_TRACE(listsOwnWrites ? "own writes listed" : "own writes left out");
        EndToEnd run(DesktopSide::Outlook);
        run.peer().setListReadings({phonepeer::ListReadings::Count::PageRows, false, listsOwnWrites});
        QList<QStringList> names(5);
        run.store().addRecord(
            4, {{QStringLiteral("SUBJECT"), QStringLiteral("Desk memo")}, {QStringLiteral("NOTE"), kNote}});
        run.peer().addPhoneRecord(Conduit::Memos, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone memo")}});
        names[4] = QStringList{QStringLiteral("Desk memo"), QStringLiteral("Phone memo")};
        for (int round = 1; round <= 5; ++round) {
            SCOPED_TRACE(round);
            const hmsync::SyncOutcome outcome = run.sync();
            ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
            expectEachRecordOnceOnBothSides(run, names);
        }
    }
}

// One event deleted on the phone leaves the id list and is listed as a deletion: it is deleted on
// the desktop once and counted once.
TEST(SyncEndToEnd, ADeletionOnThePhoneIsCountedOnce)
{
    EndToEnd run(DesktopSide::AddressBook);
    QList<QStringList> names = fillNamedRecords(run, 2, 2, 2);
    ASSERT_TRUE(run.sync().isSuccess);
    const phonepeer::PhoneRecord doomed = run.peer().records(Conduit::Calendar).first();
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Calendar, doomed.uid));
    names[2].removeOne(doomed.fields.value(QStringLiteral("SUBJECT")));
    const hmsync::SyncOutcome outcome = run.sync();
    ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
    expectEachRecordOnceOnBothSides(run, names);
    qint64 deletes = 0;
    for (const hmsync::ConduitOutcome &conduit : outcome.conduits)
        deletes += conduit.appleDeletes;
    EXPECT_EQ(deletes, 1) << describe(outcome).toStdString();
}
