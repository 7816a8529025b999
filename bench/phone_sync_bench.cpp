// phone_sync_bench: the Wi-Fi transport against the phone peer program on loopback. A first sync
// reads 10,000 contacts and 10,000 events from the phone (id lists, then pages of 512); a second
// sync without changes reads the id lists and asks for changes that are not there; a last run sends
// 10,000 contacts and 10,000 events to an empty phone in batches of 100. Each run prints its wall
// time, records per second, the peak memory of this process, and the share of the wall time this
// process spent on the processor (the transport, the REST layer and Qt's networking: everything but
// the peer, which runs as a program of its own).
#include "phonelink/HMWiFiSync.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncClientDelegate.h"

#include "MemoryDataSource.h"
#include "PhoneStore.h"
#include "SyncRunner.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr int kRecordsPerConduit = 10000;

// Counts what the transport reports and lets the bench wait for the ends of commands.
class BenchDelegate final : public HMSyncClientDelegate
{
public:
    void logonCommandReturned(bool wasSuccessful, const QVariantMap &) override { end(wasSuccessful); }
    void logoffCommandReturned(bool wasSuccessful) override { end(wasSuccessful); }
    void idListCommandReturnedWithDictionaries(const QStringList &ids) override { m_idRows += ids.size(); }
    void idListCommandFinishedSuccessful(bool wasSuccessful) override { end(wasSuccessful); }
    void listCommandReturnedWithDictionaries(const QList<QVariantMap> &rows) override { m_listedRows += rows.size(); }
    void listCommandFinishedSuccessful(bool wasSuccessful) override { end(wasSuccessful); }
    void writeRemainOnCurrentConduit(bool remain) override { m_remainOnList = remain; }
    void writeRemainOnUpdateConduit(bool remain) override { m_remainOnUpdate = remain; }
    void updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64) override { m_sentIds += ids.size(); }
    void updateCommandReturnedSuccessful(bool wasSuccessful) override { m_updatesFailed |= !wasSuccessful; }
    void didErrorWithError(quint64 code, const QString &message) override
    {
        std::fprintf(stderr, "transport error %llu: %s\n", static_cast<unsigned long long>(code), qPrintable(message));
    }

    // Waits for the end of an asynchronous command; false when it failed or did not come in time.
    bool waitForEnd()
    {
        std::unique_lock lock(m_mutex);
        const bool ended = m_ended.wait_for(lock, std::chrono::seconds(120), [this] { return m_endCount > 0; });
        if (!ended)
            return false;
        --m_endCount;
        return m_lastSucceeded;
    }
    // Called from the thread that blocks in listRecordsForConduit; the page has ended already.
    bool takeListEnd() { return waitForEnd(); }

    qint64 m_idRows = 0;
    qint64 m_listedRows = 0;
    qint64 m_sentIds = 0;
    bool m_remainOnList = false;
    bool m_remainOnUpdate = false;
    bool m_updatesFailed = false;

private:
    void end(bool wasSuccessful)
    {
        const std::lock_guard lock(m_mutex);
        m_lastSucceeded = wasSuccessful;
        ++m_endCount;
        m_ended.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_ended;
    int m_endCount = 0;
    bool m_lastSucceeded = false;
};

struct Usage
{
    std::chrono::steady_clock::time_point wall;
    double cpuSeconds = 0;
};

Usage usageNow()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &value) { return double(value.tv_sec) + double(value.tv_usec) / 1e6; };
    return Usage{std::chrono::steady_clock::now(), seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// The peak resident memory since the last reset, in MiB.
double peakMemoryMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    const QRegularExpressionMatch match = peak.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toDouble() / 1024.0 : -1;
}

void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void report(const char *name, const Usage &start, qint64 records)
{
    const Usage end = usageNow();
    const double wallSeconds = std::chrono::duration<double>(end.wall - start.wall).count();
    std::printf("%-38s %8.2f s wall  %9.0f records/s  %7.1f MiB peak  %5.1f%% of wall in this process\n", name,
                wallSeconds, double(records) / wallSeconds, peakMemoryMiB(),
                100.0 * (end.cpuSeconds - start.cpuSeconds) / wallSeconds);
    std::fflush(stdout);
}

// Starts the peer program on a free loopback port; answers the port, or 0.
int startPeer(QProcess &peer, const QString &dataFile)
{
    QStringList arguments = {QStringLiteral("--port"), QStringLiteral("0")};
    if (!dataFile.isEmpty())
        arguments << QStringLiteral("--data") << dataFile;
    peer.start(QStringLiteral(HM_PHONE_PEER_PATH), arguments);
    if (!peer.waitForStarted() || !peer.waitForReadyRead(30000))
        return 0;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral(":(\\d+)")).match(QString::fromLatin1(peer.readLine()));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

std::unique_ptr<HMWiFiSync> makeTransport(int port, BenchDelegate &delegate)
{
    HMWiFiSync::Timing timing;
    // The pause after the cancel logoff is the protocol's, not the client's; it is left out.
    timing.logonPause = std::chrono::milliseconds(0);
    auto sync = std::make_unique<HMWiFiSync>(
        HMWiFiSync::ConnectionSettings{2, QStringLiteral("127.0.0.1"), QStringLiteral("QP-PEER-0001"),
                                       QStringLiteral("QP-PEER-0001")},
        timing);
    sync->setServerPort(port);
    sync->setDelegate(&delegate);
    QString error;
    (void)sync->setup(error);
    return sync;
}

// One sync of contacts and events from the phone: logon, id lists, every page, logoff.
bool readFromPhone(HMWiFiSync &sync, BenchDelegate &delegate, const QDateTime &modifiedSince)
{
    if (!sync.logon() || !delegate.waitForEnd())
        return false;
    for (const quint64 conduit : {1u, 2u}) {
        (void)sync.idListForConduit(conduit);
        if (!delegate.waitForEnd())
            return false;
    }
    for (const quint64 conduit : {1u, 2u}) {
        do {
            if (!sync.listRecordsForConduit(conduit, modifiedSince) || !delegate.takeListEnd())
                return false;
        } while (delegate.m_remainOnList);
    }
    QList<HMSyncRecord> nothing;
    (void)sync.updateConduit(1, nothing);
    return sync.logoff() && delegate.waitForEnd();
}

QMap<QString, QString> contactFields(int index)
{
    return {{QStringLiteral("NEWFNAME"), QStringLiteral("First%1").arg(index)},
            {QStringLiteral("NEWLNAME"), QStringLiteral("Last%1").arg(index)},
            {QStringLiteral("EMAIL"), QStringLiteral("person%1@example.org").arg(index)},
            {QStringLiteral("PHONE1"), QStringLiteral("+44 20 7946 %1").arg(index % 10000, 4, 10, QLatin1Char('0'))},
            {QStringLiteral("PHONELABEL1"), QStringLiteral("2")},
            {QStringLiteral("COMPANY"), QStringLiteral("Company & Sons %1").arg(index % 97)},
            {QStringLiteral("NOTE"), QStringLiteral("Met at the fair\nlikes tea")}};
}

QMap<QString, QString> eventFields(int index)
{
    const QDate day = QDate(2026, 1, 1).addDays(index % 365);
    const QString date = day.toString(QStringLiteral("yyyyMMdd"));
    return {{QStringLiteral("SUBJECT"), QStringLiteral("Meeting %1").arg(index)},
            {QStringLiteral("LOCATION"), QStringLiteral("Room %1").arg(index % 40)},
            {QStringLiteral("GMTSTARTDATE"), date},
            {QStringLiteral("GMTSTARTTIME"), QStringLiteral("09:00:00")},
            {QStringLiteral("GMTENDDATE"), date},
            {QStringLiteral("GMTENDTIME"), QStringLiteral("10:00:00")},
            {QStringLiteral("TYPE"), QStringLiteral("0")},
            {QStringLiteral("ALARMTIME"), QStringLiteral("15")}};
}

QList<HMSyncRecord> macRecords(int count, bool isEvent)
{
    QList<HMSyncRecord> records;
    for (int index = 0; index < count; ++index) {
        HMSyncRecord record;
        record.setIsNew(true);
        record.setHmxUid(QStringLiteral("tmp-%1").arg(index));
        QVariantMap dictionary;
        if (isEvent) {
            const QDateTime start = QDateTime(QDate(2026, 1, 1).addDays(index % 365), QTime(9, 0), Qt::UTC);
            dictionary = {{QStringLiteral("SUBJECT"), QStringLiteral("Meeting %1").arg(index)},
                          {QStringLiteral("NSDATESTARTDATE"), start},
                          {QStringLiteral("NSDATEENDDATE"), start.addSecs(3600)},
                          {QStringLiteral("TYPENUMBER"), false}};
        } else {
            dictionary = {{QStringLiteral("FIRSTNAME"), QStringLiteral("First%1").arg(index)},
                          {QStringLiteral("LASTNAME"), QStringLiteral("Last%1").arg(index)},
                          {QStringLiteral("EMAIL"), QStringLiteral("person%1@example.org").arg(index)},
                          {QStringLiteral("NOTE"), QStringLiteral("Met at the fair\nlikes tea & cake")}};
        }
        record.setDictionary(dictionary);
        records.append(record);
    }
    return records;
}

// The phone's records: 10,000 contacts and 10,000 events, as the peer program's data file.
bool writePhoneRecords(const QString &path)
{
    phonepeer::PhoneStore store;
    for (int index = 0; index < kRecordsPerConduit; ++index) {
        store.addRecord(phonepeer::Conduit::Contacts, contactFields(index));
        store.addRecord(phonepeer::Conduit::Calendar, eventFields(index));
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(store.toJson()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Whole syncs through the sync controller: a Wi-Fi profile with contacts and calendar, the desktop's
// records in the memory store.
bool benchThroughController(int port)
{
    const auto store = std::make_shared<hmsync::MemoryStore>();
    hmsync::MemoryDataSource::registerForAllConduits(store);
    HMWiFiSync::Timing timing;
    timing.logonPause = std::chrono::milliseconds(0);
    HMWiFiSync::registerTransport(port, timing);
    const auto manager = std::make_shared<HMProfileManager>();
    std::shared_ptr<HMProfile> profile = manager->newProfile();
    profile->setDeviceTypeName(QStringLiteral("android"));
    profile->setSyncMethodName(QStringLiteral("wifi"));
    profile->setContactManagerName(QStringLiteral("ContactManagerApple"));
    profile->setContactManager(HMContactManager::Apple);
    profile->setHhIpAddress(QStringLiteral("127.0.0.1"));
    profile->setHhPassword(QStringLiteral("QP-PEER-0001"));
    profile->setContactSyncEnabled(true);
    profile->setCalendarSyncEnabled(true);
    profile->setTaskSyncEnabled(false);
    profile->setMemoSyncEnabled(false);
    if (!manager->saveProfile(*profile))
        return false;
    const char *names[] = {"controller: first sync, phone to desktop", "controller: second sync, no changes"};
    for (const char *name : names) {
        resetPeakMemory();
        const Usage start = usageNow();
        const hmsync::SyncOutcome outcome = hmsync::runManualSync(manager, profile, std::chrono::minutes(10));
        const qint64 records = store->records(1).size() + store->records(2).size();
        report(name, start, records);
        if (!outcome.isSuccess) {
            std::fprintf(stderr, "%s", qPrintable(hmsync::describeOutcome(outcome)));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/state")).toUtf8());
    QCoreApplication application(argc, argv);

    const QString dataFile = home.filePath(QStringLiteral("phone.json"));
    if (!writePhoneRecords(dataFile))
        return 1;

    std::printf("phone_sync_bench: %d contacts and %d events, peer program on loopback\n", kRecordsPerConduit,
                kRecordsPerConduit);
    QProcess peer;
    const int port = startPeer(peer, dataFile);
    if (port == 0) {
        std::fprintf(stderr, "the peer did not start\n");
        return 1;
    }
    {
        resetPeakMemory();
        BenchDelegate delegate;
        std::unique_ptr<HMWiFiSync> sync = makeTransport(port, delegate);
        Usage start = usageNow();
        if (!readFromPhone(*sync, delegate, QDateTime())) {
            std::fprintf(stderr, "the first sync failed\n");
            return 1;
        }
        report("first sync, phone to desktop", start, delegate.m_listedRows);
        if (delegate.m_listedRows != 2 * kRecordsPerConduit)
            std::fprintf(stderr, "listed %lld rows\n", static_cast<long long>(delegate.m_listedRows));

        BenchDelegate secondDelegate;
        sync = makeTransport(port, secondDelegate);
        resetPeakMemory();
        start = usageNow();
        if (!readFromPhone(*sync, secondDelegate, QDateTime::currentDateTimeUtc().addSecs(-3600))) {
            std::fprintf(stderr, "the second sync failed\n");
            return 1;
        }
        report("second sync, no changes (id lists)", start, secondDelegate.m_idRows);
        if (secondDelegate.m_listedRows != 0)
            std::fprintf(stderr, "the second sync listed %lld rows\n", static_cast<long long>(secondDelegate.m_listedRows));
    }
    peer.terminate();
    peer.waitForFinished();

    // The same records again, for runs through the whole controller.
    QProcess controllerPeer;
    QFile::remove(dataFile);
    if (!writePhoneRecords(dataFile))
        return 1;
    const int controllerPort = startPeer(controllerPeer, dataFile);
    if (controllerPort == 0 || !benchThroughController(controllerPort))
        std::fprintf(stderr, "the runs through the controller failed\n");
    controllerPeer.terminate();
    controllerPeer.waitForFinished();

    QProcess emptyPeer;
    const int emptyPort = startPeer(emptyPeer, QString());
    if (emptyPort == 0)
        return 1;
    {
        resetPeakMemory();
        BenchDelegate delegate;
        std::unique_ptr<HMWiFiSync> sync = makeTransport(emptyPort, delegate);
        if (!sync->logon() || !delegate.waitForEnd())
            return 1;
        const Usage start = usageNow();
        for (const quint64 conduit : {1u, 2u}) {
            QList<HMSyncRecord> records = macRecords(kRecordsPerConduit, conduit == 2);
            do {
                (void)sync->updateConduit(conduit, records);
            } while (delegate.m_remainOnUpdate && !delegate.m_updatesFailed);
        }
        report("first sync, desktop to phone", start, delegate.m_sentIds);
        if (delegate.m_updatesFailed || delegate.m_sentIds != 2 * kRecordsPerConduit)
            std::fprintf(stderr, "sent %lld records (failed %d)\n", static_cast<long long>(delegate.m_sentIds), int(delegate.m_updatesFailed));
        (void)sync->logoff();
        (void)delegate.waitForEnd();
    }
    emptyPeer.terminate();
    emptyPeer.waitForFinished();
    return 0;
}
