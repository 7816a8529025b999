// kill_trials: the sync driver program (hm_sync_once) and the phone peer program killed with SIGKILL
// at random moments of syncs, with the desktop's contacts, events and tasks in the folder stores.
// Before each trial both sides change: a record added, one renamed and one deleted on each side (never
// the same record on both). The trial runs a sync and kills the driver, or the phone, at a random
// moment of it; then two clean syncs run, and every record must exist exactly once on each side under
// its last name. Prints the trials and the records lost and doubled (a fault that stays is counted
// once; each is told with the trial's changes and kill); exits 1 when any was, or when a clean sync
// failed.
//
// After half the driver's kills, the phone renames its copy of a contact and an event the desktop
// added in the trial, when it took them: an add whose answer the kill may have lost, edited before the
// next sync. (A task with a title alone leaves nothing to tell its edited copy by, and is doubled
// rather than guessed: tasks are not renamed so.)
//
// With --logs, every run's output of a trial that lost or doubled something is kept in that folder,
// one file a trial, named in the trial's line. With --list-own-writes the phone lists what the
// desktop wrote to it as its own changes at the next sync.
//
//   kill_trials [--client-kills N] [--phone-kills N] [--records N] [--seed N] [--logs folder]
//               [--list-own-writes]

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include "PhoneDataFile.h"
#include "PhoneStore.h"

#include <cstdio>
#include <functional>

using phonepeer::Conduit;

namespace {

constexpr qint64 kRunLimitMs = 120000;
const Conduit kConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks};
const char *const kComponents[] = {"BEGIN:VCARD", "BEGIN:VEVENT", "BEGIN:VTODO"};

struct Counts
{
    int trials = 0;
    int driverKills = 0;
    int phoneKills = 0;
    int lost = 0;
    int doubled = 0;
    int failedSyncs = 0;
};

// The name a record goes by on the phone: the family name of a contact, the subject of the others.
QString phoneKey(int conduit)
{
    return conduit == 0 ? QStringLiteral("NEWLNAME") : QStringLiteral("SUBJECT");
}

// A new phone record of the conduit by that name; an event a day of the coming month.
QMap<QString, QString> phoneFields(int conduit, const QString &name, int serial)
{
    if (conduit == 0)
        return {{QStringLiteral("NEWFNAME"), QStringLiteral("Pho")}, {QStringLiteral("NEWLNAME"), name}};
    if (conduit == 2)
        return {{QStringLiteral("SUBJECT"), name}};
    const QString day = QDate::currentDate().addDays(1 + serial % 28).toString(QStringLiteral("yyyyMMdd"));
    return {{QStringLiteral("SUBJECT"), name},
            {QStringLiteral("GMTSTARTDATE"), day},
            {QStringLiteral("GMTSTARTTIME"), QStringLiteral("09:00:00")},
            {QStringLiteral("GMTENDDATE"), day},
            {QStringLiteral("GMTENDTIME"), QStringLiteral("10:00:00")},
            {QStringLiteral("TYPE"), QStringLiteral("0")}};
}

// The name of the desktop item in a file's text: "N:" family name of a vCard, SUMMARY of the others.
QString nameInItem(const QByteArray &text, int conduit)
{
    const QByteArray prefix = conduit == 0 ? QByteArrayLiteral("N:") : QByteArrayLiteral("SUMMARY:");
    for (const QByteArray &line : QByteArray(text).replace("\r\n ", "").replace("\r\n", "\n").split('\n')) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()).split(';').value(0));
    }
    return {};
}

// Stamps an item another program edited as such programs do: the vCard's REV, the event's or task's
// LAST-MODIFIED, now (put in when missing).
QByteArray stampedEdit(QByteArray text, int conduit)
{
    const QByteArray key = conduit == 0 ? QByteArrayLiteral("REV:") : QByteArrayLiteral("LAST-MODIFIED:");
    const QByteArray stamp =
        key + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
    QList<QByteArray> lines = text.split('\n');
    lines.removeIf([&key](const QByteArray &line) { return line.startsWith(key); });
    static const char *const ends[] = {"END:VCARD", "END:VEVENT", "END:VTODO"};
    for (qsizetype index = 0; index < lines.size(); ++index) {
        if (lines.at(index).startsWith(ends[conduit])) {
            lines.insert(index, stamp + '\r');
            break;
        }
    }
    return lines.join('\n');
}

// The item files of one conduit under the folder, by the name each holds.
QMultiHash<QString, QString> desktopItems(const QString &folder, int conduit)
{
    QMultiHash<QString, QString> items;
    QDirIterator files(folder, {QStringLiteral("*.vcf"), QStringLiteral("*.ics")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = file.read(1 << 20);
        if (text.contains(kComponents[conduit]))
            items.insert(nameInItem(text, conduit), file.fileName());
    }
    return items;
}

// How many records go by each name.
using NameCounts = QHash<QString, int>;

NameCounts countsOf(const QStringList &names)
{
    NameCounts counts;
    for (const QString &name : names)
        ++counts[name];
    return counts;
}

// The faults of one side, each under "lost <side>: <name>" or "doubled <side>: <name>" with how many
// copies: copies expected but missing, and copies beyond those expected.
void compare(const QStringList &found, const NameCounts &expected, const char *side, NameCounts &faults)
{
    const NameCounts seen = countsOf(found);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (const int missing = it.value() - seen.value(it.key()); missing > 0)
            faults.insert(QStringLiteral("lost on the %1: %2").arg(QLatin1String(side), it.key()), missing);
    }
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        if (const int extra = it.value() - expected.value(it.key()); extra > 0)
            faults.insert(QStringLiteral("doubled on the %1: %2").arg(QLatin1String(side), it.key()), extra);
    }
}

class Trials final
{
public:
    Trials(quint32 seed, int records, QString logFolder, bool listsOwnWrites)
        : m_random(seed), m_records(records), m_logFolder(std::move(logFolder)), m_listsOwnWrites(listsOwnWrites)
    {
    }

    bool setUp();
    void runTrial(bool killPhone);
    const Counts &counts() const { return m_counts; }
    void stopPeer();

private:
    QString path(const char *name) const { return m_home.filePath(QLatin1String(name)); }
    bool startPeer();
    QStringList driverArguments() const;
    std::unique_ptr<QProcess> startDriver() const;
    bool syncToEnd();
    void killDuringSync(bool killPhone);
    void editPhone(QSet<QString> &touched);
    void editPhoneRecords(phonepeer::PhoneStore &store, QSet<QString> &touched);
    void editDesktop(const QSet<QString> &touched);
    void addDesktopItem(int conduit, const QString &name);
    void renameDesktopAddsOnPhone();
    bool editPhoneStore(const std::function<void(phonepeer::PhoneStore &)> &edit);
    QString newName(int conduit);
    QString pick(int conduit, const QSet<QString> &excluded);
    QStringList phoneNames(int conduit) const;
    void check();
    void keepOutput(QProcess &driver, const char *run);
    QString keepLog();

    QTemporaryDir m_home;
    QRandomGenerator m_random;
    int m_records;
    // Where the runs' output of a trial with faults goes; empty: nowhere.
    QString m_logFolder;
    bool m_listsOwnWrites = false;
    // The names of the items the desktop added in the trial, per conduit.
    QString m_desktopAdds[3];
    // The output of the trial's runs so far, told when a clean sync fails and kept for a trial with faults.
    QByteArray m_output;
    std::unique_ptr<QProcess> m_peer;
    int m_port = 0;
    // How long a sync with the trial's changes takes, as far as known.
    qint64 m_syncMs = 1000;
    int m_serial = 0;
    // What each side should hold; after each check, what the phone holds, so a fault is counted once.
    NameCounts m_expected[3];
    // What the trial changed and where it was killed, told when it lost or doubled something.
    QStringList m_edits;
    NameCounts m_lastFaults;
    Counts m_counts;
};

bool Trials::startPeer()
{
    m_peer = std::make_unique<QProcess>();
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), path("phone.json")};
    if (m_listsOwnWrites)
        arguments.append(QStringLiteral("--list-own-writes"));
    m_peer->start(QStringLiteral(HM_PHONE_PEER_PATH), arguments);
    if (!m_peer->waitForStarted() || !m_peer->waitForReadyRead(30000))
        return false;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral(":(\\d+)")).match(QString::fromLatin1(m_peer->readLine()));
    m_port = match.hasMatch() ? match.captured(1).toInt() : 0;
    return m_port != 0;
}

void Trials::stopPeer()
{
    if (!m_peer)
        return;
    m_peer->terminate();
    if (!m_peer->waitForFinished(10000)) {
        m_peer->kill();
        m_peer->waitForFinished();
    }
    m_peer.reset();
}

QStringList Trials::driverArguments() const
{
    return {QStringLiteral("--create-profile"),
            QStringLiteral("--sample-records"),
            QString::number(m_records),
            QStringLiteral("--port"),
            QString::number(m_port),
            QStringLiteral("--logon-pause-ms"),
            QStringLiteral("0"),
            QStringLiteral("--contacts-folder"),
            path("contacts"),
            QStringLiteral("--calendars-folder"),
            path("calendars")};
}

std::unique_ptr<QProcess> Trials::startDriver() const
{
    auto driver = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString home = m_home.path();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/state"));
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    if (!m_logFolder.isEmpty())
        environment.insert(QStringLiteral("HM_SYNC_LOG_LEVEL"), QStringLiteral("info"));
    driver->setProcessEnvironment(environment);
    driver->setProcessChannelMode(QProcess::MergedChannels);
    driver->start(QStringLiteral(HM_SYNC_ONCE_PATH), driverArguments());
    return driver;
}

bool Trials::syncToEnd()
{
    const std::unique_ptr<QProcess> driver = startDriver();
    const bool ended = driver->waitForFinished(int(kRunLimitMs));
    keepOutput(*driver, "clean sync");
    if (ended && driver->exitStatus() == QProcess::NormalExit && driver->exitCode() == 0)
        return true;
    ++m_counts.failedSyncs;
    std::printf("  a clean sync failed (%s, exit code %d):\n%s\n",
                !ended                                        ? "still running at its limit"
                : driver->exitStatus() == QProcess::CrashExit ? "crashed"
                                                              : "ended",
                driver->exitCode(), m_output.right(2000).constData());
    return false;
}

void Trials::keepOutput(QProcess &driver, const char *run)
{
    m_output += QByteArray("==== ") + run + " ====\n" + driver.readAll();
}

// Writes the trial's output into the log folder; answers the file's name, empty when none is kept.
QString Trials::keepLog()
{
    if (m_logFolder.isEmpty() || !QDir().mkpath(m_logFolder))
        return {};
    QFile file(QDir(m_logFolder).filePath(QStringLiteral("trial-%1.log").arg(m_counts.trials)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(m_output) < 0)
        return {};
    return file.fileName();
}

bool Trials::setUp()
{
    if (!m_home.isValid() || !QDir().mkpath(path("contacts")))
        return false;
    phonepeer::PhoneStore store;
    for (int index = 1; index <= m_records; ++index) {
        for (int conduit = 0; conduit < 3; ++conduit) {
            const QString name = newName(conduit);
            store.addRecord(kConduits[conduit], phoneFields(conduit, name, m_serial));
        }
    }
    QString problem;
    if (!phonepeer::writePhoneData(path("phone.json"), store, problem) || !startPeer() || !syncToEnd())
        return false;
    // The sample records the driver made on the desktop side are expected too.
    for (int conduit = 0; conduit < 3; ++conduit) {
        for (const QString &name : desktopItems(path("contacts"), conduit).keys())
            m_expected[conduit].insert(name, 1);
        for (const QString &name : desktopItems(path("calendars"), conduit).keys())
            m_expected[conduit].insert(name, 1);
    }
    check();
    return m_counts.lost == 0 && m_counts.doubled == 0;
}

QString Trials::newName(int conduit)
{
    static const char *const kinds[] = {"Person", "Meeting", "Task"};
    const QString name = QStringLiteral("%1 %2").arg(QLatin1String(kinds[conduit])).arg(++m_serial);
    m_expected[conduit].insert(name, 1);
    return name;
}

QString Trials::pick(int conduit, const QSet<QString> &excluded)
{
    QStringList candidates;
    for (const QString &name : m_expected[conduit].keys()) {
        if (!excluded.contains(name))
            candidates.append(name);
    }
    if (candidates.size() < 4)
        return {};
    candidates.sort();
    return candidates.at(m_random.bounded(int(candidates.size())));
}

// On the phone, while its program is stopped: per conduit a record added, one renamed, one deleted.
// Loads the phone's file (its program stopped), edits it and writes it back; false when it cannot be read.
bool Trials::editPhoneStore(const std::function<void(phonepeer::PhoneStore &)> &edit)
{
    phonepeer::PhoneStore store;
    QString problem;
    if (!phonepeer::loadPhoneData(path("phone.json"), store, problem))
        return false;
    edit(store);
    return phonepeer::writePhoneData(path("phone.json"), store, problem);
}

void Trials::editPhone(QSet<QString> &touched)
{
    (void)editPhoneStore([&](phonepeer::PhoneStore &store) { editPhoneRecords(store, touched); });
}

// The phone, after a kill of the driver: its copies of the contact and the event the desktop added.
void Trials::renameDesktopAddsOnPhone()
{
    stopPeer();
    (void)editPhoneStore([this](phonepeer::PhoneStore &store) {
        for (int conduit = 0; conduit < 2; ++conduit) {
            const QString added = m_desktopAdds[conduit];
            for (const phonepeer::PhoneRecord &record : store.records(kConduits[conduit])) {
                if (added.isEmpty() || record.fields.value(phoneKey(conduit)) != added)
                    continue;
                QMap<QString, QString> fields = record.fields;
                fields.remove(QStringLiteral("LASTMODIFIED"));
                fields.insert(phoneKey(conduit), newName(conduit));
                m_expected[conduit].remove(added);
                m_edits.append(QStringLiteral("phone renamed the desktop's new %1 after the kill").arg(added));
                (void)store.updateRecord(kConduits[conduit], record.uid, fields);
                break;
            }
        }
    });
    (void)startPeer();
}

void Trials::editPhoneRecords(phonepeer::PhoneStore &store, QSet<QString> &touched)
{
    for (int conduit = 0; conduit < 3; ++conduit) {
        const QString name = newName(conduit);
        store.addRecord(kConduits[conduit], phoneFields(conduit, name, m_serial));
        for (const bool isRename : {true, false}) {
            const QString target = pick(conduit, touched);
            for (const phonepeer::PhoneRecord &record : store.records(kConduits[conduit])) {
                if (target.isEmpty() || record.fields.value(phoneKey(conduit)) != target)
                    continue;
                touched.insert(target);
                m_expected[conduit].remove(target);
                m_edits.append(QStringLiteral("phone %1 %2").arg(isRename ? "renamed" : "deleted", target));
                QMap<QString, QString> fields = record.fields;
                fields.insert(phoneKey(conduit), isRename ? newName(conduit) : QString());
                isRename ? (void)store.updateRecord(kConduits[conduit], record.uid, fields)
                         : (void)store.deleteRecord(kConduits[conduit], record.uid);
                break;
            }
        }
    }
}

void Trials::addDesktopItem(int conduit, const QString &name)
{
    const QByteArray uid = QStringLiteral("trial-%1").arg(m_serial).toLatin1();
    const QByteArray text = name.toUtf8();
    const QByteArray start = QDateTime::currentDateTimeUtc()
                                 .addDays(m_serial % 30)
                                 .toString(QStringLiteral("yyyyMMdd'T'100000'Z'"))
                                 .toLatin1();
    QString folder = path("contacts");
    QByteArray body = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:Desk " + text + "\r\nN:" + text +
                      ";Desk;;;\r\nEND:VCARD\r\n";
    if (conduit > 0) {
        const QStringList existing = desktopItems(path("calendars"), conduit).values();
        folder = existing.isEmpty() ? path("calendars") : QFileInfo(existing.first()).path();
        const QByteArray component = conduit == 1 ? "VEVENT" : "VTODO";
        body = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Trials//EN\r\nBEGIN:" + component + "\r\nUID:" + uid +
               "\r\nDTSTAMP:20261201T100000Z\r\n" + (conduit == 1 ? "DTSTART:" + start + "\r\n" : QByteArray()) +
               "SUMMARY:" + text + "\r\nEND:" + component + "\r\nEND:VCALENDAR\r\n";
    }
    QFile file(folder + QLatin1Char('/') + QString::fromLatin1(uid) + (conduit == 0 ? ".vcf" : ".ics"));
    if (file.open(QIODevice::WriteOnly))
        file.write(body);
}

// In the folders, as another program would: per conduit an item added, one renamed, one deleted, none
// of them a record the phone changed.
void Trials::editDesktop(const QSet<QString> &touched)
{
    // Stores tell changes by times kept to the second: an edit in the second the last sync ended in
    // would read as older than it.
    QThread::msleep(quint64(1010 - QTime::currentTime().msec()));
    for (int conduit = 0; conduit < 3; ++conduit) {
        const QMultiHash<QString, QString> items = desktopItems(path(conduit == 0 ? "contacts" : "calendars"), conduit);
        m_desktopAdds[conduit] = newName(conduit);
        addDesktopItem(conduit, m_desktopAdds[conduit]);
        for (const bool isRename : {true, false}) {
            const QString target = pick(conduit, touched);
            const QString file = items.value(target);
            if (target.isEmpty() || file.isEmpty())
                continue;
            m_expected[conduit].remove(target);
            m_edits.append(QStringLiteral("desktop %1 %2").arg(isRename ? "renamed" : "deleted", target));
            QFile item(file);
            if (!isRename) {
                item.remove();
                continue;
            }
            if (!item.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text =
                stampedEdit(item.readAll().replace(target.toUtf8(), newName(conduit).toUtf8()), conduit);
            item.close();
            if (item.open(QIODevice::WriteOnly | QIODevice::Truncate))
                item.write(text);
            item.close();
        }
    }
}

// One sync killed at a random moment of it: the driver, or the phone program, which then starts again.
// The moments are drawn from the length of such a sync, learnt from the runs that ended before theirs.
void Trials::killDuringSync(bool killPhone)
{
    const qint64 moment = m_random.bounded(qint64(m_syncMs) + 1);
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<QProcess> driver = startDriver();
    driver->waitForStarted();
    if (driver->waitForFinished(int(std::max<qint64>(moment, 1)))) {
        keepOutput(*driver, "sync ended before its kill");
        m_syncMs = std::max<qint64>(clock.elapsed(), 20);
        m_edits.append(QStringLiteral("the sync ended before the kill"));
        return;
    }
    m_edits.append(QStringLiteral("%1 killed %2 ms into a sync").arg(killPhone ? "phone" : "driver").arg(moment));
    ++(killPhone ? m_counts.phoneKills : m_counts.driverKills);
    if (killPhone) {
        m_peer->kill();
        m_peer->waitForFinished();
        driver->waitForFinished(int(kRunLimitMs));
        keepOutput(*driver, "sync whose phone was killed");
        (void)startPeer();
        return;
    }
    driver->kill();
    driver->waitForFinished();
    keepOutput(*driver, "killed sync");
    if (m_random.bounded(2) == 0)
        renameDesktopAddsOnPhone();
}

QStringList Trials::phoneNames(int conduit) const
{
    phonepeer::PhoneStore store;
    QString problem;
    QStringList names;
    if (!phonepeer::loadPhoneData(path("phone.json"), store, problem))
        return names;
    for (const phonepeer::PhoneRecord &record : store.records(kConduits[conduit]))
        names.append(record.fields.value(phoneKey(conduit)));
    return names;
}

void Trials::check()
{
    NameCounts faults;
    for (int conduit = 0; conduit < 3; ++conduit) {
        const QString folder = path(conduit == 0 ? "contacts" : "calendars");
        compare(desktopItems(folder, conduit).keys(), m_expected[conduit], "desktop", faults);
        const QStringList onPhone = phoneNames(conduit);
        compare(onPhone, m_expected[conduit], "phone", faults);
        // What the phone holds now is what the next trial starts from.
        m_expected[conduit] = countsOf(onPhone);
    }
    // A fault that stays as it was is the one counted before.
    QStringList told;
    for (auto it = faults.cbegin(); it != faults.cend(); ++it) {
        if (m_lastFaults.value(it.key()) == it.value())
            continue;
        (it.key().startsWith(QLatin1String("lost")) ? m_counts.lost : m_counts.doubled) += it.value();
        told.append(QStringLiteral("%1 x%2").arg(it.key()).arg(it.value()));
    }
    m_lastFaults = faults;
    if (!told.isEmpty()) {
        const QString log = keepLog();
        std::printf("  trial %d: %s\n    after: %s\n", m_counts.trials, qPrintable(told.join(QStringLiteral("; "))),
                    qPrintable(m_edits.join(QStringLiteral("; "))));
        if (!log.isEmpty())
            std::printf("    output: %s\n", qPrintable(log));
    }
    m_edits.clear();
    m_output.clear();
}

void Trials::runTrial(bool killPhone)
{
    ++m_counts.trials;
    stopPeer();
    QSet<QString> touched;
    editPhone(touched);
    editDesktop(touched);
    if (!startPeer())
        return;
    killDuringSync(killPhone);
    if (syncToEnd())
        (void)syncToEnd();
    check();
}

// Trials go on until the kills asked for landed (a sync may end before its moment), the phone's
// spread among the driver's; at most four trials a kill.
void runAllTrials(Trials &trials, int clientKills, int phoneKills)
{
    QElapsedTimer clock;
    clock.start();
    for (int trial = 0; trial < 4 * (clientKills + phoneKills); ++trial) {
        const Counts &counts = trials.counts();
        if (counts.driverKills >= clientKills && counts.phoneKills >= phoneKills)
            break;
        const bool killPhone = counts.phoneKills < phoneKills &&
                               (counts.driverKills >= clientKills ||
                                qint64(counts.phoneKills) * clientKills <= qint64(counts.driverKills) * phoneKills);
        trials.runTrial(killPhone);
        if (counts.trials % 50 == 0)
            std::printf("%d trials, %d driver kills, %d phone kills, %d lost, %d doubled, %d failed syncs (%lld s)\n",
                        counts.trials, counts.driverKills, counts.phoneKills, counts.lost, counts.doubled,
                        counts.failedSyncs, static_cast<long long>(clock.elapsed() / 1000));
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kills the sync driver and the phone at random moments of syncs."));
    parser.addHelpOption();
    parser.addOptions({{QStringLiteral("client-kills"), QStringLiteral("Trials killing the driver."),
                        QStringLiteral("count"), QStringLiteral("1000")},
                       {QStringLiteral("phone-kills"), QStringLiteral("Trials killing the phone."),
                        QStringLiteral("count"), QStringLiteral("100")},
                       {QStringLiteral("records"), QStringLiteral("Records per conduit on each side at the start."),
                        QStringLiteral("count"), QStringLiteral("20")},
                       {QStringLiteral("seed"), QStringLiteral("The random generator's seed."), QStringLiteral("n"),
                        QStringLiteral("20261208")},
                       {QStringLiteral("logs"), QStringLiteral("Keep the runs' output of trials with faults here."),
                        QStringLiteral("folder")},
                       {QStringLiteral("list-own-writes"),
                        QStringLiteral("The phone lists the desktop's writes as its own changes.")}});
    parser.process(application);
    const int clientKills = parser.value(QStringLiteral("client-kills")).toInt();
    const int phoneKills = parser.value(QStringLiteral("phone-kills")).toInt();
    Trials trials(parser.value(QStringLiteral("seed")).toUInt(),
                  std::clamp(parser.value(QStringLiteral("records")).toInt(), 5, 1000),
                  parser.value(QStringLiteral("logs")), parser.isSet(QStringLiteral("list-own-writes")));
    if (!trials.setUp()) {
        trials.stopPeer();
        std::fprintf(stderr, "kill_trials: the first sync failed\n");
        return 2;
    }
    runAllTrials(trials, clientKills, phoneKills);
    trials.stopPeer();
    const Counts &counts = trials.counts();
    std::printf("trials %d (driver killed %d times, phone killed %d times), lost %d, doubled %d, failed clean "
                "syncs %d\n",
                counts.trials, counts.driverKills, counts.phoneKills, counts.lost, counts.doubled, counts.failedSyncs);
    const bool allKilled = counts.driverKills >= clientKills && counts.phoneKills >= phoneKills;
    return allKilled && counts.lost == 0 && counts.doubled == 0 && counts.failedSyncs == 0 ? 0 : 1;
}
