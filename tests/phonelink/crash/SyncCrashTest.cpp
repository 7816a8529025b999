// The sync driver killed with SIGKILL at every stage boundary of a first sync and at seeded random
// moments, and the phone killed mid-update and at random moments: after two more syncs every record
// exists exactly once on each side, and nothing either side had is gone.
//
// Each case is a first sync of 450 desktop and 300 phone records (contacts, events and tasks): two
// update batches per conduit, so kills land between batches and inside them. A case runs the driver
// three times (about four seconds with the sanitizers). Every case runs with the driver's memory
// store holding every conduit, and with the folder stores (contacts in vCards, events and tasks in
// iCalendar folders); the contacts alone in a vCard folder run on one point of each kind, which keeps
// the suite near ninety seconds.

#include "WiFiSyncTestSupport.h"

#include "MemoryDataSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <functional>

using phonepeer::Conduit;

namespace {

constexpr int kDesktopPerConduit = 150;
constexpr int kPhonePerConduit = 100;
constexpr auto kRunLimit = std::chrono::seconds(120);
const Conduit kConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks};

// When to kill the driver, judged from the requests the phone has seen and the time since the start.
using KillPoint = std::function<bool(const QStringList &requests, qint64 elapsedMs)>;

KillPoint atRequest(const QString &path, int occurrence)
{
    return [path, occurrence](const QStringList &requests, qint64) { return requests.count(path) >= occurrence; };
}

// Where the driver keeps the desktop's records: all in its memory store, the contacts in a vCard
// folder, or every conduit in the folder stores (contacts in vCards, events and tasks in iCalendar
// folders).
enum class ContactStore { Memory, VCard, Folders };

QString storeName(ContactStore store)
{
    switch (store) {
    case ContactStore::VCard:
        return QStringLiteral("vcard");
    case ContactStore::Folders:
        return QStringLiteral("folders");
    case ContactStore::Memory:
        break;
    }
    return QStringLiteral("memory");
}

// The SUMMARY of every event (conduit 2) or task (conduit 3) item file under the folder.
QStringList summariesInFolder(const QString &folder, quint64 conduit)
{
    QStringList names;
    const QByteArray component = conduit == 2 ? QByteArrayLiteral("BEGIN:VEVENT") : QByteArrayLiteral("BEGIN:VTODO");
    QDirIterator files(folder, {QStringLiteral("*.ics")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
        const QByteArray text = file.readAll().replace("\r\n ", "").replace("\r\n", "\n");
        if (!text.contains(component))
            continue;
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith("SUMMARY:"))
                names.append(QString::fromUtf8(line.mid(8)));
        }
    }
    return names;
}

// The family names of the persons in a folder of vCards (group cards have none).
QStringList familyNamesInFolder(const QString &folder)
{
    QStringList names;
    QDirIterator files(folder, {QStringLiteral("*.vcf")}, QDir::Files);
    while (files.hasNext()) {
        QFile file(files.next());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
        const QByteArray card = file.readAll().replace("\r\n ", "");
        for (const QByteArray &line : card.split('\n')) {
            if (line.startsWith("N:"))
                names.append(QString::fromUtf8(line.mid(2).split(';').value(0)));
        }
    }
    return names;
}

KillPoint afterMs(qint64 milliseconds)
{
    return [milliseconds](const QStringList &, qint64 elapsedMs) { return elapsedMs >= milliseconds; };
}

// A phone peer with records of its own and a folder for the driver's profile and desktop records.
class CrashRig final
{
public:
    explicit CrashRig(ContactStore contacts) : m_contacts(contacts)
    {
        preparePhoneLinkTests();
        // The phone's records are written once into its file, which it loads at start.
        phonepeer::PhoneStore seeded;
        for (int index = 1; index <= kPhonePerConduit; ++index)
            seedPhoneRecords(seeded, index);
        QFile file(m_home.filePath(QStringLiteral("phone.json")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(seeded.toJson()) > 0);
        file.close();
        startPeer(0);
        m_port = m_peer->port();
        // The sample records of the folder stores are made before any run that is killed: the driver
        // makes them one by one after its memory store's file, and a run killed halfway would leave
        // fewer than every case expects. The memory store makes its own at once.
        if (contacts == ContactStore::Memory)
            return;
        const std::unique_ptr<QProcess> prepare =
            startSyncDriver(m_home.path(), arguments() << QStringLiteral("--no-sync"));
        EXPECT_TRUE(prepare->waitForFinished(int(std::chrono::milliseconds(kRunLimit).count())));
        EXPECT_EQ(prepare->exitCode(), 0) << prepare->readAll().toStdString();
    }

    ~CrashRig() { m_peer->stop(); }

    phonepeer::PhonePeer &peer() { return *m_peer; }

    // Runs the driver to its end; answers its exit status and output.
    std::pair<int, QString> runToEnd()
    {
        const std::unique_ptr<QProcess> driver = startSyncDriver(m_home.path(), arguments());
        if (!driver->waitForFinished(int(std::chrono::milliseconds(kRunLimit).count())))
            return {-1, QStringLiteral("the driver did not end")};
        return {driver->exitCode(), QString::fromUtf8(driver->readAll())};
    }

    // Runs the driver and kills it (SIGKILL) once the point is reached; answers whether it was killed
    // before it ended by itself.
    bool runAndKill(const KillPoint &point)
    {
        const std::unique_ptr<QProcess> driver = startSyncDriver(m_home.path(), arguments());
        if (!driver->waitForStarted())
            return false;
        QElapsedTimer clock;
        clock.start();
        const bool reached = testsupport::waitUntil(
            [&] { return driver->state() == QProcess::NotRunning || point(m_peer->requestLog(), clock.elapsed()); },
            kRunLimit);
        const bool wasRunning = reached && driver->state() != QProcess::NotRunning;
        driver->kill();
        driver->waitForFinished();
        return wasRunning;
    }

    // Runs the driver until it kills itself (SIGKILL) right after a step of writing its identifier
    // graphs or its memory store, named as HM_SYNC_KILL_AT takes it; answers whether it was killed there.
    bool runToKillPoint(const QString &killPoint)
    {
        const std::unique_ptr<QProcess> driver =
            startSyncDriver(m_home.path(), arguments(), QStringLiteral("HM_SYNC_KILL_AT=") + killPoint);
        if (!driver->waitForFinished(int(std::chrono::milliseconds(kRunLimit).count())))
            return false;
        return driver->exitStatus() == QProcess::CrashExit;
    }

    // Stops the phone once the point is reached while the driver runs, then starts it again with its
    // records; the driver is left to end by itself.
    void runAndKillPhone(const KillPoint &point)
    {
        const std::unique_ptr<QProcess> driver = startSyncDriver(m_home.path(), arguments());
        QElapsedTimer clock;
        clock.start();
        testsupport::waitUntil([&] { return point(m_peer->requestLog(), clock.elapsed()); }, kRunLimit);
        m_peer->stop();
        driver->waitForFinished(int(std::chrono::milliseconds(kRunLimit).count()));
        startPeer(m_port);
    }

    // The names of the records on each side, per conduit.
    QStringList desktopNames(quint64 conduit) const
    {
        if (conduit == 1 && m_contacts != ContactStore::Memory) {
            QStringList names = familyNamesInFolder(contactsFolder());
            names.sort();
            return names;
        }
        if (conduit > 1 && m_contacts == ContactStore::Folders) {
            QStringList names = summariesInFolder(calendarsFolder(), conduit);
            names.sort();
            return names;
        }
        hmsync::MemoryStore store;
        QString problem;
        QDirIterator files(m_home.filePath(QStringLiteral("data")), {QStringLiteral("desktop-records.json")},
                           QDir::Files, QDirIterator::Subdirectories);
        EXPECT_TRUE(files.hasNext()) << "the driver wrote no desktop records";
        EXPECT_TRUE(store.load(files.hasNext() ? files.next() : QString(), problem)) << problem.toStdString();
        QStringList names;
        const QString key = conduit == 1 ? QStringLiteral("LASTNAME") : QStringLiteral("SUBJECT");
        for (const hmsync::StoredRecord &record : store.records(conduit))
            names.append(record.fields.value(key).toString());
        names.sort();
        return names;
    }

    QStringList phoneNames(quint64 conduit) const
    {
        QStringList names;
        const QString key = conduit == 1 ? QStringLiteral("NEWLNAME") : QStringLiteral("SUBJECT");
        for (const phonepeer::PhoneRecord &record : m_peer->records(kConduits[conduit - 1]))
            names.append(record.fields.value(key));
        names.sort();
        return names;
    }

    // Every record either side started with, once.
    static QStringList expectedNames(quint64 conduit)
    {
        static const char *const desktopPatterns[] = {"Contact %1", "Desktop meeting %1", "Desktop task %1"};
        static const char *const phonePatterns[] = {"Phone contact %1", "Phone meeting %1", "Phone task %1"};
        QStringList names;
        for (int index = 1; index <= kDesktopPerConduit; ++index)
            names.append(QString::fromLatin1(desktopPatterns[conduit - 1]).arg(index));
        for (int index = 1; index <= kPhonePerConduit; ++index)
            names.append(QString::fromLatin1(phonePatterns[conduit - 1]).arg(index));
        names.sort();
        return names;
    }

private:
    QStringList arguments() const
    {
        QStringList result{QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--logon-pause-ms"),
                           QStringLiteral("0")};
        const bool inFolders = m_contacts == ContactStore::Folders;
        result << QStringLiteral("--contacts-store")
               << (m_contacts == ContactStore::Memory ? QStringLiteral("memory") : QStringLiteral("vcard"))
               << QStringLiteral("--contacts-folder") << contactsFolder();
        result << QStringLiteral("--calendar-store") << (inFolders ? QStringLiteral("ical") : QStringLiteral("memory"));
        if (inFolders)
            result << QStringLiteral("--calendars-folder") << calendarsFolder();
        // The driver makes the profile and the sample records only when it finds none, so every run
        // asks for them: a run killed before it saved them leaves the next run to make them.
        result << QStringLiteral("--create-profile") << QStringLiteral("--phone-id") << m_peer->deviceId()
               << QStringLiteral("--sample-records") << QString::number(kDesktopPerConduit);
        return result;
    }

    QString contactsFolder() const { return m_home.filePath(QStringLiteral("contacts")); }
    QString calendarsFolder() const { return m_home.filePath(QStringLiteral("calendars")); }

    void startPeer(int port) { m_peer = startPhonePeer(port, m_home.filePath(QStringLiteral("phone.json"))); }

    static void seedPhoneRecords(phonepeer::PhoneStore &store, int index)
    {
        const QString time = QStringLiteral("%1:00:00").arg(index % 24, 2, 10, QLatin1Char('0'));
        store.addRecord(Conduit::Contacts,
                        {{QStringLiteral("NEWFNAME"), QStringLiteral("Pho")},
                         {QStringLiteral("NEWLNAME"), QStringLiteral("Phone contact %1").arg(index)}});
        store.addRecord(Conduit::Calendar, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone meeting %1").arg(index)},
                                            {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20261220")},
                                            {QStringLiteral("GMTSTARTTIME"), time},
                                            {QStringLiteral("GMTENDDATE"), QStringLiteral("20261220")},
                                            {QStringLiteral("GMTENDTIME"), time},
                                            {QStringLiteral("TYPE"), QStringLiteral("0")}});
        store.addRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone task %1").arg(index)}});
    }

    const ContactStore m_contacts;
    QTemporaryDir m_home;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
    int m_port = 0;
};

// What differs between the names found and those expected: missing and doubled or unknown names, a
// few of each; empty when they agree.
QString differences(const QStringList &found, const QStringList &expected)
{
    QStringList missing;
    QStringList extra;
    QMap<QString, int> counts;
    for (const QString &name : found)
        ++counts[name];
    for (const QString &name : expected) {
        if (--counts[name] < 0)
            missing.append(name);
    }
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it) {
        if (it.value() > 0)
            extra.append(QStringLiteral("%1 x%2").arg(it.key()).arg(it.value()));
    }
    if (missing.isEmpty() && extra.isEmpty())
        return {};
    return QStringLiteral("%1 missing (%2), %3 doubled or unknown (%4)")
        .arg(missing.size())
        .arg(missing.mid(0, 5).join(QStringLiteral(", ")))
        .arg(extra.size())
        .arg(extra.mid(0, 5).join(QStringLiteral(", ")));
}

// How long a whole first sync takes, so that random moments fall inside one; 0 when it failed.
qint64 wholeFirstRunMs(ContactStore stores)
{
    CrashRig rig(stores);
    QElapsedTimer clock;
    clock.start();
    return rig.runToEnd().first == 0 ? std::max<qint64>(clock.elapsed(), 1) : 0;
}

// Two syncs after the crash; then every record exists once on each side.
void expectMendedByTwoSyncs(CrashRig &rig)
{
    for (int run = 0; run < 2; ++run) {
        const auto [exitCode, output] = rig.runToEnd();
        ASSERT_EQ(exitCode, 0) << output.toStdString();
    }
    for (quint64 conduit = 1; conduit <= 3; ++conduit) {
        SCOPED_TRACE(conduit);
        const QStringList expected = CrashRig::expectedNames(conduit);
        EXPECT_EQ(differences(rig.desktopNames(conduit), expected).toStdString(), std::string()) << "on the desktop";
        EXPECT_EQ(differences(rig.phoneNames(conduit), expected).toStdString(), std::string()) << "on the phone";
    }
}

} // namespace

namespace {

struct KillRow
{
    const char *name;
    KillPoint point;
    // Whether the point is tried with the contacts in a vCard folder too.
    bool withVCard = false;
};

// A step of the driver's writes, named as HM_SYNC_KILL_AT takes it.
struct StepRow
{
    const char *name;
    const char *killPoint;
};

class SyncCrash : public testing::TestWithParam<ContactStore>
{
protected:
    void killAtStepsAndMend(const QList<StepRow> &rows) const
    {
        for (const StepRow &row : rows) {
            SCOPED_TRACE(row.name);
            CrashRig rig(GetParam());
            EXPECT_TRUE(rig.runToKillPoint(QLatin1String(row.killPoint))) << "the driver was not killed at " << row.killPoint;
            expectMendedByTwoSyncs(rig);
        }
    }

    void killAtEachPointAndMend(const QList<KillRow> &rows) const
    {
        for (const KillRow &row : rows) {
            if (GetParam() == ContactStore::VCard && !row.withVCard)
                continue;
            SCOPED_TRACE(row.name);
            CrashRig rig(GetParam());
            EXPECT_TRUE(rig.runAndKill(row.point)) << "the driver ended before it was killed";
            expectMendedByTwoSyncs(rig);
        }
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(ContactStores, SyncCrash,
                         testing::Values(ContactStore::Memory, ContactStore::VCard, ContactStore::Folders),
                         [](const testing::TestParamInfo<ContactStore> &info) {
                             return storeName(info.param).toStdString();
                         });

TEST_P(SyncCrash, AFirstSyncKilledBeforeItsUpdatesLosesAndDoublesNothing)
{
    killAtEachPointAndMend({{"at the id list", atRequest(QStringLiteral("/hmx_list"), 1)},
                            {"at the first page", atRequest(QStringLiteral("/hmx_list"), 2), true}});
}

// The last conduit's point in a case of its own, so that each stays within its time on a loaded
// machine.
TEST_P(SyncCrash, AFirstSyncKilledInItsUpdatesLosesAndDoublesNothing)
{
    killAtEachPointAndMend({{"at the first update batch", atRequest(QStringLiteral("/hmx_update"), 1), true},
                            {"between two batches of a conduit", atRequest(QStringLiteral("/hmx_update"), 2)}});
}

TEST_P(SyncCrash, AFirstSyncKilledInItsLastConduitsUpdatesLosesAndDoublesNothing)
{
    if (GetParam() == ContactStore::VCard)
        GTEST_SKIP() << "the vCard folder is tried at the first update batch only";
    killAtEachPointAndMend({{"in the last conduit's updates", atRequest(QStringLiteral("/hmx_update"), 5)}});
}

TEST_P(SyncCrash, AFirstSyncKilledAtItsLogoffLosesAndDoublesNothing)
{
    // The first logoff of a run is the cancel that precedes its logon.
    killAtEachPointAndMend({{"at the logoff", atRequest(QStringLiteral("/hmx_logoff"), 2), true}});
}

TEST_P(SyncCrash, AFirstSyncKilledAroundItsGraphJournalLosesAndDoublesNothing)
{
    // The contacts' own store makes no difference to the graph's files: the memory store alone keeps
    // the suite within its time.
    if (GetParam() == ContactStore::VCard)
        GTEST_SKIP() << "the graph's journal is the same whichever store holds the contacts";
    killAtStepsAndMend({{"after a page's journal line", "journal-append:2"},
                        {"after a graph file was written, its journal still there", "graph-written:1"}});
}

TEST_P(SyncCrash, AFirstSyncKilledAroundItsStoreWritesLosesAndDoublesNothing)
{
    if (GetParam() != ContactStore::Memory)
        GTEST_SKIP() << "the memory store's writes are the same whichever store holds the contacts";
    killAtStepsAndMend({{"after the new store's file was written, its log still there", "store-written:1"},
                        {"after a save of the sync was committed to the log", "store-committed:2"}});
}

namespace {

// Kills first syncs at random moments of a whole run, the trials from first to last (exclusive) of
// the fixed seed's sequence, so that a failure names a moment that can be replayed.
void killAtRandomMomentsAndMend(ContactStore store, int first, int last)
{
    QRandomGenerator random(20261207);
    const qint64 wholeRunMs = wholeFirstRunMs(store);
    ASSERT_GT(wholeRunMs, 0) << "the first sync failed";
    for (int trial = 0; trial < last; ++trial) {
        const qint64 moment = random.bounded(wholeRunMs);
        if (trial < first)
            continue;
        SCOPED_TRACE(QStringLiteral("killed %1 ms into a run of %2 ms").arg(moment).arg(wholeRunMs).toStdString());
        CrashRig rig(store);
        (void)rig.runAndKill(afterMs(moment));
        expectMendedByTwoSyncs(rig);
    }
}

} // namespace

// One trial with the vCard folder, two with the memory store and four with the folders, the
// folders' in two cases so that each stays within its time on a loaded machine.
TEST_P(SyncCrash, AFirstSyncKilledAtRandomMomentsLosesAndDoublesNothing)
{
    killAtRandomMomentsAndMend(GetParam(), 0, GetParam() == ContactStore::VCard ? 1 : 2);
}

TEST_P(SyncCrash, AFirstSyncKilledAtLaterRandomMomentsLosesAndDoublesNothing)
{
    if (GetParam() != ContactStore::Folders)
        GTEST_SKIP() << "the memory store and the vCard folder have their trials in the case before";
    killAtRandomMomentsAndMend(GetParam(), 2, 4);
}

TEST_P(SyncCrash, ThePhoneKilledMidUpdateLosesAndDoublesNothing)
{
    CrashRig rig(GetParam());
    rig.runAndKillPhone(atRequest(QStringLiteral("/hmx_update"), 3));
    expectMendedByTwoSyncs(rig);
}

// Under the other readings of a list reply's numbers (a Count= that is the listing's total with the
// rows after "List=", or no Count= at all, the desktop's own writes listed back), a first sync killed
// at its id list, its first page or its updates loses and doubles nothing. One case a reading, so
// that each stays within its time on a loaded machine.
namespace {

void killUnderReadingAndMend(ContactStore store, const phonepeer::ListReadings &reading)
{
    const std::pair<const char *, KillPoint> points[] = {
        {"at the id list", atRequest(QStringLiteral("/hmx_list"), 1)},
        {"at the first page", atRequest(QStringLiteral("/hmx_list"), 2)},
        {"at an update batch", atRequest(QStringLiteral("/hmx_update"), 2)}};
    for (const auto &[name, point] : points) {
        SCOPED_TRACE(name);
        CrashRig rig(store);
        rig.peer().setListReadings(reading);
        EXPECT_TRUE(rig.runAndKill(point)) << "the driver ended before it was killed";
        expectMendedByTwoSyncs(rig);
    }
}

} // namespace

TEST_P(SyncCrash, AFirstSyncKilledUnderATotalCountLosesAndDoublesNothing)
{
    killUnderReadingAndMend(GetParam(), {phonepeer::ListReadings::Count::ListingTotal, true, false});
}

TEST_P(SyncCrash, AFirstSyncKilledWithoutACountLosesAndDoublesNothing)
{
    killUnderReadingAndMend(GetParam(), {phonepeer::ListReadings::Count::Absent, false, true});
}

namespace {

// Kills the phone at random moments of a whole first sync with the folders, the trials from first to
// last (exclusive) of the fixed seed's sequence.
void killPhoneAtRandomMomentsAndMend(ContactStore store, int first, int last)
{
    QRandomGenerator random(20261208);
    const qint64 wholeRunMs = wholeFirstRunMs(store);
    ASSERT_GT(wholeRunMs, 0) << "the first sync failed";
    for (int trial = 0; trial < last; ++trial) {
        const qint64 moment = random.bounded(wholeRunMs);
        if (trial < first)
            continue;
        SCOPED_TRACE(
            QStringLiteral("phone killed %1 ms into a run of %2 ms").arg(moment).arg(wholeRunMs).toStdString());
        CrashRig rig(store);
        rig.runAndKillPhone(afterMs(moment));
        expectMendedByTwoSyncs(rig);
    }
}

} // namespace

// Three trials, in two cases so that each stays within its time on a loaded machine.
TEST_P(SyncCrash, ThePhoneKilledAtRandomMomentsLosesAndDoublesNothing)
{
    if (GetParam() != ContactStore::Folders)
        GTEST_SKIP() << "the memory stores' runs have the phone killed at one point";
    killPhoneAtRandomMomentsAndMend(GetParam(), 0, 2);
}

TEST_P(SyncCrash, ThePhoneKilledAtALaterRandomMomentLosesAndDoublesNothing)
{
    if (GetParam() != ContactStore::Folders)
        GTEST_SKIP() << "the memory stores' runs have the phone killed at one point";
    killPhoneAtRandomMomentsAndMend(GetParam(), 2, 3);
}
