// The Google purge's cost: the purge driver empties 2,000 contacts (in 19 groups of repeated names),
// 2,000 events (weekly series with moved occurrences among single events) and 2,000 tasks (in three
// lists, repeated titles, some done, some with due days and notes) from the Google peer, listing them
// page by page and deleting them one request at a time, against the curl program sending
// the same deletions (as many DELETEs, the same headers) to the same peer, restored between the two,
// in one invocation. Prints the client CPU time of each (user + system) and their ratio, the median of
// three rounds. The peer runs without a state file, so its own writes cost nothing here.
#include "google/HMGoogleSyncDriver.h"
#include "google/HMGoogleSyncPurgeDriver.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/restkit/RKClient.h"
#include "sync/HMProfile.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kContacts = 2000;
constexpr int kEvents = 2000;
constexpr int kTasks = 2000;
const QStringList kTaskLists{QStringLiteral("@default"), QStringLiteral("TLwork"), QStringLiteral("TLhome")};
const char *const kTaskTitles[] = {"Call mum", "Buy milk", "Pay invoice", "Renew passport", "Water plants",
                                   "Book dentist", "Send report", "Fix bike"};
const QString kEmail = QStringLiteral("bench@example.com");
const QString kToken = QStringLiteral("ya29.bench");
const char *const kFamilies[] = {"Müller",  "Smith",   "Nguyen",    "García", "Kowalski", "Rossi", "Tanaka",
                                 "O'Brien", "Schmidt", "Johansson", "Silva",  "Dubois",   "Cohen", "Ivanova",
                                 "Kim",     "Patel",   "Brown",     "Wang",   "Jensen"};

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Peer
{
    QProcess process;
    int port = 0;
    QString caFile;
    std::unique_ptr<httplib::SSLClient> control;

    bool start(const QString &folder)
    {
        process.start(
            QStringLiteral(HM_GOOGLE_PEER_PATH),
            {QStringLiteral("--certificates"), folder, QStringLiteral("--account"), kEmail + QStringLiteral(":1//rt")});
        if (!process.waitForReadyRead(20000))
            return false;
        for (const QString &part : QString::fromUtf8(process.readLine()).trimmed().split(u' ')) {
            if (part.startsWith(QLatin1String("https-port=")))
                port = part.section(u'=', 1).toInt();
            else if (part.startsWith(QLatin1String("ca=")))
                caFile = part.section(u'=', 1);
        }
        control = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        control->set_ca_cert_path(caFile.toLocal8Bit().constData());
        return port > 0;
    }
    QByteArray post(const std::string &path, const QByteArray &body, const char *type = "application/json")
    {
        const auto reply = control->Post(path, body.toStdString(), type);
        return reply && reply->status == 200 ? QByteArray::fromStdString(reply->body) : QByteArray();
    }
};

QByteArray contactEntry(int index)
{
    return QStringLiteral(
               "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' "
               "xmlns:gContact='http://schemas.google.com/contact/2008'><gd:name><gd:givenName>Anna</gd:givenName>"
               "<gd:familyName>%1</gd:familyName></gd:name><gd:email rel='http://schemas.google.com/g/2005#work' "
               "address='anna%2@example.org'/><gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>"
               "+49 170 %2</gd:phoneNumber></entry>")
        .arg(QString::fromUtf8(kFamilies[index % 19]))
        .arg(index)
        .toUtf8();
}

// Every 20th event a weekly series, every 40th with a moved occurrence of its own.
QList<QJsonObject> events()
{
    QList<QJsonObject> list;
    for (int index = 0; list.size() < kEvents; ++index) {
        const QString id = QStringLiteral("ev%1").arg(index, 5, 10, QLatin1Char('0'));
        const QString day = QStringLiteral("2027-%1-%2")
                                .arg(1 + index % 12, 2, 10, QLatin1Char('0'))
                                .arg(1 + index % 28, 2, 10, QLatin1Char('0'));
        QJsonObject event{{"id", id},
                          {"summary", QStringLiteral("Meeting %1").arg(index % 50)},
                          {"start", QJsonObject{{"dateTime", day + "T09:00:00Z"}}},
                          {"end", QJsonObject{{"dateTime", day + "T10:00:00Z"}}}};
        if (index % 20 == 0)
            event.insert("recurrence", QJsonArray{"RRULE:FREQ=WEEKLY;COUNT=10"});
        list << event;
        if (index % 40 == 0 && list.size() < kEvents) {
            const QString moved = QString(day).remove(u'-');
            list << QJsonObject{{"id", id + "_" + moved + "T090000Z"},
                                {"recurringEventId", id},
                                {"originalStartTime", QJsonObject{{"dateTime", day + "T09:00:00Z"}}},
                                {"summary", "Moved"},
                                {"start", QJsonObject{{"dateTime", day + "T11:00:00Z"}}},
                                {"end", QJsonObject{{"dateTime", day + "T12:00:00Z"}}}};
        }
    }
    return list;
}

// Tasks spread over the three lists; every third done, every fourth with a due day, every fifth a note.
QJsonObject task(int index)
{
    QJsonObject task{{"title", QStringLiteral("%1 %2").arg(QString::fromUtf8(kTaskTitles[index % 8])).arg(index % 60)}};
    if (index % 3 == 0)
        task.insert("status", "completed");
    if (index % 4 == 0)
        task.insert("due", QStringLiteral("2027-%1-%2T00:00:00.000Z")
                               .arg(1 + index % 12, 2, 10, QLatin1Char('0'))
                               .arg(1 + index % 28, 2, 10, QLatin1Char('0')));
    if (index % 5 == 0)
        task.insert("notes", QStringLiteral("Remember: aisle %1, bring the receipt").arg(index % 9));
    return task;
}

// The peer's state with the data and the bench's access token; empty when seeding failed.
QJsonObject seedPeer(Peer &peer)
{
    for (int index = 0; index < kContacts; ++index)
        peer.post("/peer/contact?email=" + QUrl::toPercentEncoding(kEmail).toStdString() + "&action=add",
                  contactEntry(index), "application/atom+xml");
    for (const QJsonObject &event : events())
        peer.post("/peer/event",
                  QJsonDocument(QJsonObject{{"email", kEmail}, {"calendarId", "primary"}, {"event", event}}).toJson());
    peer.post("/peer/tasklist", QJsonDocument(QJsonObject{{"email", kEmail}, {"title", "Work"}, {"id", kTaskLists[1]}}).toJson());
    peer.post("/peer/tasklist", QJsonDocument(QJsonObject{{"email", kEmail}, {"title", "Home"}, {"id", kTaskLists[2]}}).toJson());
    for (int index = 0; index < kTasks; ++index)
        peer.post("/peer/task", QJsonDocument(QJsonObject{{"email", kEmail},
                                                           {"listId", kTaskLists[index % 3]},
                                                           {"task", task(index)}})
                                    .toJson());
    QJsonObject state = QJsonDocument::fromJson(peer.post("/peer/dump", {})).object();
    QJsonObject accounts = state["accounts"].toObject();
    QJsonObject account = accounts[kEmail].toObject();
    account.insert("accessTokens", QJsonArray{kToken});
    accounts.insert(kEmail, account);
    state.insert("accounts", accounts);
    return state;
}

// The client's CPU seconds for the purge of the three conduits; -1 when it did not finish.
double ourPurge()
{
    const auto driver = std::make_shared<HMGoogleSyncDriver>();
    driver->setAccessToken(kToken);
    const auto profile = std::make_shared<HMProfile>();
    struct Recorder final : HMGoogleSyncPurgeDelegate
    {
        std::atomic<int> finished = 0;
        std::atomic<bool> failed = false;
        void purgeDidFinishForConduit(const QString &) override { ++finished; }
        void purgeDidCancel() override { failed = true; }
        void purgeDidFailWithError(const QString &message) override
        {
            std::fprintf(stderr, "purge failed: %s\n", qPrintable(message));
            failed = true;
        }
    } recorder;
    const auto purge = std::make_shared<HMGoogleSyncPurgeDriver>(driver);
    purge->setUserEmail(kEmail);
    purge->setProfile(profile);
    purge->setGoogleSyncPurgeDelegate(&recorder);
    const double before = cpuSeconds(RUSAGE_SELF);
    purge->purgeContacts();
    platform::DispatchQueue::runMainQueueUntil([&] { return recorder.finished == 1 || recorder.failed; },
                                               std::chrono::minutes(10));
    purge->purgeCalendar();
    platform::DispatchQueue::runMainQueueUntil([&] { return recorder.finished == 2 || recorder.failed; },
                                               std::chrono::minutes(10));
    purge->purgeTasks();
    platform::DispatchQueue::runMainQueueUntil([&] { return recorder.finished == 3 || recorder.failed; },
                                               std::chrono::minutes(10));
    const double spent = cpuSeconds(RUSAGE_SELF) - before;
    const bool whole = recorder.finished == 3 && purge->deletedTasksCounter() == kTasks && purge->deletedContactsCounter() == kContacts &&
                       purge->deletedEventsCounter() >= kEvents - kEvents / 20;
    std::printf("  purge: %lld contacts, %lld events, %lld tasks deleted\n", qint64(purge->deletedContactsCounter()),
                qint64(purge->deletedEventsCounter()), qint64(purge->deletedTasksCounter()));
    return whole ? spent : -1;
}

// curl deleting what the purge deleted, in one invocation.
double curlDeletions(const Peer &peer, const QJsonObject &state, const QString &folder)
{
    QFile config(QDir(folder).filePath(QStringLiteral("curl.config")));
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    const QString base = QStringLiteral("https://127.0.0.1:%1/").arg(peer.port);
    const QJsonObject account = state["accounts"].toObject()[kEmail].toObject();
    const QJsonObject contacts = account["contacts"].toObject();
    for (auto it = contacts.begin(); it != contacts.end(); ++it)
        config.write(("url = \"" + base + "m8/feeds/contacts/default/full/" + it.key() + "\"\n").toUtf8());
    for (const QJsonObject &event : events())
        config.write(
            ("url = \"" + base + "calendar/v3/calendars/primary/events/" + event["id"].toString() + "\"\n").toUtf8());
    const QJsonObject lists = account["tasks"].toObject();
    for (auto list = lists.begin(); list != lists.end(); ++list) {
        const QJsonObject tasks = list.value().toObject();
        for (auto it = tasks.begin(); it != tasks.end(); ++it)
            config.write(("url = \"" + base + "tasks/v1/lists/" + list.key() + "/tasks/" + it.key() + "\"\n").toUtf8());
    }
    config.close();
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-X"), QStringLiteral("DELETE"), QStringLiteral("--cacert"),
                peer.caFile, QStringLiteral("-H"), QStringLiteral("Authorization: Bearer ") + kToken,
                QStringLiteral("-H"), QStringLiteral("GData-Version: 3.0"), QStringLiteral("-H"),
                QStringLiteral("If-Match: *"), QStringLiteral("-H"),
                QStringLiteral("Content-Type: application/atom+xml"), QStringLiteral("--config"), config.fileName()});
    if (!curl.waitForFinished(600000) || curl.exitCode() != 0)
        return -1;
    return cpuSeconds(RUSAGE_CHILDREN) - before;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    qputenv("XDG_DATA_HOME", QDir(folder.path()).filePath(QStringLiteral("data")).toLocal8Bit());
    Peer peer;
    if (!peer.start(QDir(folder.path()).filePath(QStringLiteral("certificates")))) {
        std::fprintf(stderr, "google_purge_bench: the Google peer did not start\n");
        return 2;
    }
    const QByteArray host = QStringLiteral("https://127.0.0.1:%1/").arg(peer.port).toLatin1();
    qputenv("HM_GOOGLE_API_HOST", host);
    qputenv("HM_GOOGLE_CONTACTS_HOST", host);
    platform::RKClient::setDefaultExtraCACertificatesFile(peer.caFile);
    const QJsonObject state = seedPeer(peer);
    const QByteArray seeded = QJsonDocument(state).toJson(QJsonDocument::Compact);

    QList<double> ours;
    QList<double> theirs;
    for (int round = 0; round < 3; ++round) {
        peer.post("/peer/seed", seeded);
        ours << ourPurge();
        peer.post("/peer/seed", seeded);
        theirs << curlDeletions(peer, state, folder.path());
        std::printf("round %d: purge %.3f s CPU, curl %.3f s CPU\n", round + 1, ours.last(), theirs.last());
    }
    peer.process.terminate();
    peer.process.waitForFinished(10000);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    std::printf("purge of %d contacts, %d events and %d tasks: client %.3f s, curl %.3f s for as many DELETEs, ratio %.2f "
                "(medians of 3)\n",
                kContacts, kEvents, kTasks, ours.at(1), theirs.at(1), ours.at(1) / theirs.at(1));
    return 0;
}
