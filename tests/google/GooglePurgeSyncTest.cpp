// The purge end to end: the sync driver as a program between the simulated Outlook and the Google
// peer. A profile asked to purge empties its Google side (groups but the system group, 137 contacts
// in pages of 100 and 37, the events of the synced and written-to calendars) before Outlook's records
// all go again; afterwards Google holds Outlook's records exactly once. A purge killed, cut, refused
// or cancelled keeps its flag, sends nothing from Outlook, and the next run finishes it.
#include "GooglePeerProcess.h"
#include "OutlookPeerProcess.h"

#include "foundation/GlobalVariables.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

const QString kTeam = QStringLiteral("team@group.calendar.google.com");
const QStringList kOutlookNames{"Adler", "Brandt", "Clausen"};
const QStringList kOutlookSubjects{"Budget review", "Dentist"};
const QStringList kOutlookTasks{"Send report", "Pay rent", "Call plumber"};
const QString kWorkList = QStringLiteral("TLwork0001");
constexpr int kGoogleTasksEach = 30;

using DriverRun = GoogleDriverRun;

QByteArray googleEntry(const QString &family)
{
    return QStringLiteral(
               "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'>"
               "<gd:name><gd:givenName>Gee</gd:givenName><gd:familyName>%1</gd:familyName></gd:name></entry>")
        .arg(family)
        .toUtf8();
}

QJsonObject googleEvent(const QString &id, const QString &summary, int day)
{
    const QString date = QStringLiteral("2027-04-%1").arg(day, 2, 10, QLatin1Char('0'));
    return {{"id", id},
            {"summary", summary},
            {"start", QJsonObject{{"dateTime", date + "T09:00:00Z"}}},
            {"end", QJsonObject{{"dateTime", date + "T10:00:00Z"}}}};
}

// Both peers and a Google profile of contacts and calendar: Outlook holds three contacts (one in the
// category "Work") and two events; Google holds 137 contacts of its own, the groups "Family" and
// "Work", three events in the primary calendar (and a cancelled one) and two in the team calendar.
class PurgeSync
{
public:
    // With tasks, Outlook also holds kOutlookTasks and Google kGoogleTasksEach tasks in each of its
    // two lists, and every run keeps its log files.
    explicit PurgeSync(bool withTasks = false) : m_tasks(withTasks), m_oldZone(qgetenv("TZ"))
    {
        qputenv("TZ", "UTC");
        ::tzset();
        OutlookPeerProcess::Options options;
        options.folder = m_root.path();
        options.timeZone = QStringLiteral("UTC");
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        m_outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(m_outlook->isReady());
        m_google = std::make_unique<GooglePeerProcess>(m_root.filePath("google"), QStringLiteral(HM_GOOGLE_PEER_PATH));
        EXPECT_GT(m_google->port, 0);
        writeTokens(home(), "1//rt");
        seedOutlook();
        seedGoogle();
        if (m_tasks)
            seedTasks();
    }
    ~PurgeSync()
    {
        qputenv("TZ", m_oldZone);
        ::tzset();
    }
    QString home() const { return m_outlook->home(); }
    GooglePeerProcess &google() { return *m_google; }
    OutlookPeerProcess &outlook() { return *m_outlook; }

    void makeProfile(bool purgeContacts, bool purgeCalendar, bool purgeTasks = false)
    {
        ASSERT_EQ(run({"--no-sync"}).exitCode, 0);
        editProfile([&](HMProfile &profile) {
            profile.setContactSyncEnabled(true);
            profile.setCalendarSyncEnabled(true);
            profile.setTaskSyncEnabled(m_tasks);
            profile.setPurgeTasksOnNextSync(purgeTasks);
            profile.setAllGoogleCalendars({QVariantMap{{"id", "primary"}, {"name", kEmail}, {"primary", true}},
                                           QVariantMap{{"id", kTeam}, {"name", "Team"}}});
            profile.setGoogleCalendarIdentifiersToSync({"primary"});
            profile.setGoogleCalendarIdentifierToWriteTo(kTeam);
            profile.setPurgeContactsOnNextSync(purgeContacts);
            profile.setPurgeCalendarOnNextSync(purgeCalendar);
        });
    }
    void editProfile(const std::function<void(HMProfile &)> &edit) { editStoredProfile(home(), edit); }
    // The stored purge flags: contacts, calendar.
    std::pair<bool, bool> purgeFlags()
    {
        std::pair<bool, bool> flags;
        editProfile([&](HMProfile &profile) {
            flags = {profile.purgeContactsOnNextSync(), profile.purgeCalendarOnNextSync()};
        });
        return flags;
    }
    void start(QProcess &driver, const QStringList &more = {})
    {
        QMap<QString, QString> extra;
        if (m_tasks)
            extra.insert("HM_SYNC_LOG_FILES", "1");
        startGoogleDriver(driver, googleRunEnvironment(home(), m_outlook->runtimeDir(), *m_google, "UTC"), home(), kEmail,
                          kTimeLimitSeconds, more, extra);
    }
    DriverRun run(const QStringList &more = {})
    {
        QProcess driver;
        start(driver, more);
        return finishGoogleDriver(driver, kTimeLimitSeconds);
    }
    static constexpr int kTimeLimitSeconds = 120;
    bool sync()
    {
        return endedCleanly(runAfterOutlooksSecond([this] { return run(); }));
    }

    QJsonObject account() const { return m_google->dump()["accounts"].toObject()[kEmail].toObject(); }
    // Google's family names of contacts not deleted, with their counts.
    QHash<QString, int> googleNames() const
    {
        QHash<QString, int> names;
        const QJsonObject contacts = account()["contacts"].toObject();
        for (auto it = contacts.begin(); it != contacts.end(); ++it) {
            if (it.value().toObject()["deleted"].toBool())
                continue;
            const QString body = it.value().toObject()["body"].toString();
            const qsizetype start = body.indexOf("<gd:familyName>") + 15;
            ++names[body.mid(start, body.indexOf("</gd:familyName>") - start)];
        }
        return names;
    }
    // Google's summaries of events not cancelled, in a calendar.
    QHash<QString, int> googleSubjects(const QString &calendar) const
    {
        QHash<QString, int> subjects;
        const QJsonObject events = account()["events"].toObject()[calendar].toObject();
        for (auto it = events.begin(); it != events.end(); ++it) {
            if (it.value().toObject()["status"].toString() != QLatin1String("cancelled"))
                ++subjects[it.value().toObject()["summary"].toString()];
        }
        return subjects;
    }
    QStringList googleGroupTitles() const
    {
        QStringList titles;
        for (const QJsonValue &group : account()["groups"].toArray())
            titles << group.toObject()["title"].toString();
        return titles;
    }
    QHash<QString, int> outlookCounts(const char *kind, const char *field) const
    {
        QHash<QString, int> counts;
        for (const QJsonValue &record : m_outlook->dump().value(QLatin1String(kind)).toArray())
            ++counts[record.toObject()[QLatin1String(field)].toString()];
        return counts;
    }
    // Method and path of every request but the token's, since the last clear.
    QStringList googleRequests() const
    {
        QStringList list;
        for (const QJsonValue &request : m_google->requests()) {
            if (request.toObject()["path"] != "/oauth2/v4/token")
                list << request.toObject()["method"].toString() + u' ' + request.toObject()["path"].toString();
        }
        return list;
    }

    // Outlook's records once on each side, and nothing else alive on Google.
    void expectOutlooksRecordsOnceOnEachSide() const
    {
        QHash<QString, int> names;
        for (const QString &name : kOutlookNames)
            names.insert(name, 1);
        EXPECT_EQ(googleNames(), names);
        EXPECT_EQ(outlookCounts("contacts", "lastName"), names);
        QHash<QString, int> subjects;
        for (const QString &subject : kOutlookSubjects)
            subjects.insert(subject, 1);
        EXPECT_EQ(googleSubjects(kTeam), subjects);
        EXPECT_TRUE(googleSubjects("primary").isEmpty());
        EXPECT_EQ(outlookCounts("events", "subject"), subjects);
        if (!m_tasks)
            return;
        QHash<QString, int> tasks;
        for (const QString &title : kOutlookTasks)
            tasks.insert(title, 1);
        QHash<QString, int> onGoogle;
        for (const QJsonObject &task : m_google->aliveTasks())
            ++onGoogle[task["title"].toString()];
        EXPECT_EQ(onGoogle, tasks);
        EXPECT_EQ(outlookCounts("tasks", "name"), tasks);
    }

    bool purgeTasksFlag()
    {
        bool flag = false;
        editProfile([&](HMProfile &profile) { flag = profile.purgeTasksOnNextSync(); });
        return flag;
    }
    // Tasks a user adds on Google: kGoogleTasksEach in the default list and in "Work".
    void addGoogleTasks(const QString &prefix) const
    {
        for (const QString &list : {QStringLiteral("@default"), kWorkList}) {
            for (int index = 0; index < kGoogleTasksEach; ++index)
                m_google->control("/peer/task",
                                  {{"email", kEmail},
                                   {"listId", list},
                                   {"task", QJsonObject{{"title", QStringLiteral("%1 %2 %3").arg(prefix, list).arg(index)}}}});
        }
    }

private:
    void seedTasks()
    {
        m_google->control("/peer/tasklist", {{"email", kEmail}, {"title", "Work"}, {"id", kWorkList}});
        addGoogleTasks(QStringLiteral("Google"));
        for (int index = 0; index < kOutlookTasks.size(); ++index) {
            QJsonObject task{{"folder", 3}, {"name", kOutlookTasks[index]}, {"content", "note"}};
            if (index == 0)
                task.insert("categories", QJsonArray{5});
            m_outlook->control({{"op", "add"}, {"kind", "task"}, {"record", task}});
        }
    }
    void seedOutlook()
    {
        auto folder = [](int id, const char *kind, const char *name) {
            return QJsonObject{{"id", id}, {"kind", QLatin1String(kind)}, {"name", QLatin1String(name)}};
        };
        QJsonArray contacts;
        for (int index = 0; index < kOutlookNames.size(); ++index) {
            QJsonObject contact{{"id", 100 + index},
                                {"folder", 1},
                                {"created", "2026-01-01T00:00:00Z"},
                                {"modified", "2026-01-02T00:00:00Z"},
                                {"firstName", "Otto"},
                                {"lastName", kOutlookNames[index]}};
            if (index == 0)
                contact.insert("categories", QJsonArray{5});
            contacts.append(contact);
        }
        m_outlook->seed(
            {{"folders", QJsonArray{folder(1, "address book", "Address Book"), folder(2, "calendar", "Calendar"),
                                    folder(3, "task folder", "Tasks"), folder(4, "note folder", "Notes")}},
             {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}}}},
             {"contacts", contacts}});
        for (int index = 0; index < kOutlookSubjects.size(); ++index) {
            const QDateTime start(QDate(2027, 2, 10 + index), QTime(9, 0), Qt::UTC);
            m_outlook->control({{"op", "add"},
                                {"kind", "event"},
                                {"record", QJsonObject{{"folder", 2},
                                                       {"subject", kOutlookSubjects[index]},
                                                       {"start", start.toString(Qt::ISODate)},
                                                       {"end", start.addSecs(3600).toString(Qt::ISODate)},
                                                       {"zone", "UTC"}}}});
        }
    }
    void seedGoogle()
    {
        for (int index = 0; index < 137; ++index)
            m_google->userContact("add", {}, googleEntry(QStringLiteral("G%1").arg(index, 3, 10, QLatin1Char('0'))));
        QJsonObject state = m_google->dump();
        QJsonObject accounts = state["accounts"].toObject();
        QJsonObject me = accounts[kEmail].toObject();
        me.insert("groups", QJsonArray{QJsonObject{{"id", "fam1"}, {"title", "Family"}},
                                       QJsonObject{{"id", "wk2"}, {"title", "Work"}}});
        accounts.insert(kEmail, me);
        state.insert("accounts", accounts);
        m_google->control("/peer/seed", state);
        m_google->control("/peer/calendar",
                          {{"email", kEmail}, {"calendar", QJsonObject{{"id", kTeam}, {"summary", "Team"}}}});
        const auto put = [this](const QString &calendar, const QJsonObject &event) {
            m_google->control("/peer/event", {{"email", kEmail}, {"calendarId", calendar}, {"event", event}});
        };
        put("primary", googleEvent("prim0001", "Primary one", 1));
        put("primary", googleEvent("prim0002", "Primary two", 2));
        put("primary", googleEvent("prim0003", "Primary three", 3));
        QJsonObject gone = googleEvent("prim0004", "Long gone", 4);
        gone.insert("status", "cancelled");
        put("primary", gone);
        put(kTeam, googleEvent("team0001", "Team one", 5));
        put(kTeam, googleEvent("team0002", "Team two", 6));
    }

    bool m_tasks = false;
    QByteArray m_oldZone;
    QTemporaryDir m_root;
    std::unique_ptr<OutlookPeerProcess> m_outlook;
    std::unique_ptr<GooglePeerProcess> m_google;
};

QStringList withPrefix(const QStringList &requests, const QString &prefix)
{
    QStringList found;
    for (const QString &request : requests) {
        if (request.startsWith(prefix))
            found << request;
    }
    return found;
}

} // namespace

TEST(GooglePurgeSync, EmptiesGoogleThenGoogleHoldsOutlooksRecordsOnce)
{
    PurgeSync sync;
    sync.makeProfile(true, true);
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());

    const QStringList requests = sync.googleRequests();
    EXPECT_EQ(
        requests.mid(0, 5),
        QStringList({"GET /m8/feeds/groups/me@example.com/full", "DELETE /m8/feeds/groups/me@example.com/full/fam1",
                     "DELETE /m8/feeds/groups/me@example.com/full/wk2", "GET /m8/feeds/contacts/me@example.com/full",
                     "GET /m8/feeds/contacts/me@example.com/full"}));
    EXPECT_EQ(withPrefix(requests, "DELETE /m8/feeds/contacts/default/full/").size(), 137);
    EXPECT_EQ(requests.mid(5 + 137, 7),
              QStringList({"GET /calendar/v3/calendars/primary/events",
                           "GET /calendar/v3/calendars/team@group.calendar.google.com/events",
                           "DELETE /calendar/v3/calendars/primary/events/prim0001",
                           "DELETE /calendar/v3/calendars/primary/events/prim0002",
                           "DELETE /calendar/v3/calendars/primary/events/prim0003",
                           "DELETE /calendar/v3/calendars/team@group.calendar.google.com/events/team0001",
                           "DELETE /calendar/v3/calendars/team@group.calendar.google.com/events/team0002"}));
    // The two contact pages: 100, then 37.
    QStringList pages;
    for (const QJsonValue &request : sync.google().requests()) {
        if (request.toObject()["path"] == "/m8/feeds/contacts/me@example.com/full")
            pages << request.toObject()["target"].toString().section(u'?', 1);
    }
    EXPECT_EQ(pages, QStringList({"quotaUser=me@example.com&start-index=1&max-results=100",
                                  "quotaUser=me@example.com&start-index=101&max-results=100"}));
    // Neither conduit was read from Google after its purge: Outlook got none of Google's records.
    sync.expectOutlooksRecordsOnceOnEachSide();
    EXPECT_EQ(sync.googleGroupTitles(), QStringList{"Work"}); // made again for Outlook's category
    EXPECT_EQ(sync.purgeFlags(), std::make_pair(false, false));

    // A second sync sends nothing.
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    for (const QString &request : sync.googleRequests())
        EXPECT_TRUE(request.startsWith("GET ")) << request.toStdString();
    sync.expectOutlooksRecordsOnceOnEachSide();

    // A contacts purge alone leaves the calendar read from Google as usual.
    sync.google().userContact("add", {}, googleEntry("Late"));
    sync.google().control(
        "/peer/event",
        {{"email", kEmail}, {"calendarId", "primary"}, {"event", googleEvent("late0001", "Added later", 9)}});
    sync.editProfile([](HMProfile &profile) { profile.setPurgeContactsOnNextSync(true); });
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.outlookCounts("contacts", "lastName").value("Late"), 0);
    EXPECT_EQ(sync.googleNames().value("Late"), 0);
    EXPECT_EQ(sync.outlookCounts("events", "subject").value("Added later"), 1);
    EXPECT_EQ(sync.googleSubjects("primary").value("Added later"), 1);
    ASSERT_TRUE(sync.sync());
    EXPECT_EQ(sync.googleNames(), (QHash<QString, int>{{"Adler", 1}, {"Brandt", 1}, {"Clausen", 1}}));
    EXPECT_EQ(sync.outlookCounts("events", "subject"),
              (QHash<QString, int>{{"Budget review", 1}, {"Dentist", 1}, {"Added later", 1}}));
}

// The purge stopped midway by a kill, a cut connection, a refused deletion or the peer going down:
// nothing of Outlook was sent, the flags stay, and the next run finishes the purge; after two syncs
// Google holds Outlook's records exactly once.
TEST(GooglePurgeSync, APurgeKilledOrCutMidwayIsFinishedByTheNextRunAndNothingIsDoubled)
{
    const QString contactDeletions = QStringLiteral("/m8/feeds/contacts/default/full/*");
    struct Trial
    {
        QString kind;
        QString path;
        int skip = 0;
        QString text;
    };
    const QList<Trial> trials{
        {"kill", {}, 60, {}},
        {"kill-sending", {}, 1, {}},
        {"random", {}, 0, {}},
        {"cut-before", contactDeletions, 60, "ERROR: "},
        {"cut-after", contactDeletions, 30, "ERROR: "},
        {"500", "/calendar/v3/calendars/primary/events/*", 1,
         "Google refused to delete an event (HTTP 500). Google was not emptied and nothing was sent"},
        {"peer-killed", {}, 40, "ERROR: "}};
    for (const Trial &trial : trials) {
        // HM_PURGE_TRIAL runs one trial alone.
        if (qEnvironmentVariableIsSet("HM_PURGE_TRIAL") && qEnvironmentVariable("HM_PURGE_TRIAL") != trial.kind)
            continue;
        SCOPED_TRACE(trial.kind.toStdString());
        PurgeSync sync;
        sync.makeProfile(true, true);
        sync.google().control("/peer/clear-requests");
        const auto contactDeletesSeen = [&sync] {
            return withPrefix(sync.googleRequests(), "DELETE /m8/feeds/contacts/default/full/").size();
        };
        const auto eventInsertsSeen = [&sync] { return withPrefix(sync.googleRequests(), "POST /calendar/").size(); };
        if (trial.kind.startsWith("kill") || trial.kind == "random" || trial.kind == "peer-killed") {
            QProcess driver;
            sync.start(driver);
            if (trial.kind == "random") {
                sleepUntilARandomMoment("random kill", 200, 1500);
            } else {
                QElapsedTimer waited;
                waited.start();
                const std::function<qsizetype()> seen =
                    trial.kind == "kill-sending" ? std::function<qsizetype()>(eventInsertsSeen) : contactDeletesSeen;
                while (seen() < trial.skip && waited.elapsed() < 60000)
                    QThread::msleep(5);
            }
            if (trial.kind == "peer-killed")
                sync.google().kill();
            else
                driver.kill();
            ASSERT_TRUE(driver.waitForFinished(120000));
            const QString output = QString::fromUtf8(driver.readAll());
            if (trial.kind == "peer-killed") {
                EXPECT_NE(driver.exitCode(), 0);
                EXPECT_TRUE(output.contains(trial.text)) << output.toStdString();
                sync.google().start();
                ASSERT_GT(sync.google().port, 0);
            }
        } else {
            sync.google().control("/peer/switch",
                                  {{"kind", trial.kind}, {"path", trial.path}, {"skip", trial.skip}, {"times", 1}});
            const DriverRun failed = sync.run();
            EXPECT_NE(failed.exitCode, 0);
            EXPECT_TRUE(failed.output.contains(trial.text)) << failed.output.toStdString();
            sync.google().control("/peer/clear-switches");
        }
        // The purge did not finish: the flags stay and nothing of Outlook reached Google.
        if (trial.kind != "random" && trial.kind != "kill-sending") {
            // A conduit emptied whole lets its flag go; the one cut short keeps it.
            EXPECT_EQ(sync.purgeFlags(), std::make_pair(trial.kind != "500", true));
            for (const QString &request : sync.googleRequests())
                EXPECT_FALSE(request.startsWith("POST ") || request.startsWith("PUT ")) << request.toStdString();
        }
        ASSERT_TRUE(sync.sync());
        ASSERT_TRUE(sync.sync());
        sync.expectOutlooksRecordsOnceOnEachSide();
        EXPECT_EQ(sync.purgeFlags(), std::make_pair(false, false));
    }
}

// A purge cancelled as it starts ends the run, keeps both flags and sends no deletion and no record.
TEST(GooglePurgeSync, ACancelledPurgeKeepsTheFlagAndSendsNothing)
{
    PurgeSync sync;
    sync.makeProfile(true, true);
    sync.google().control("/peer/clear-requests");
    const DriverRun canceled = sync.run({"--cancel-at-stage", "purge"});
    EXPECT_EQ(canceled.exitCode, 1);
    EXPECT_TRUE(canceled.output.contains("sheet completed: Synchronization Canceled")) << canceled.output.toStdString();
    EXPECT_EQ(sync.googleRequests(), QStringList());
    EXPECT_EQ(sync.purgeFlags(), std::make_pair(true, true));
    EXPECT_EQ(sync.googleNames().size(), 137);
    ASSERT_TRUE(sync.sync());
    sync.expectOutlooksRecordsOnceOnEachSide();
}

namespace {

// The index of the first (or last) request that starts with the prefix, or -1.
qsizetype indexOfPrefix(const QStringList &requests, const QString &prefix, bool last)
{
    qsizetype found = -1;
    for (qsizetype index = 0; index < requests.size(); ++index) {
        if (requests[index].startsWith(prefix)) {
            found = index;
            if (!last)
                break;
        }
    }
    return found;
}

// The bytes of every task map (and the files kept beside it) under the folder, by path.
QHash<QString, QByteArray> taskMapFiles(const QString &folder)
{
    QHash<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (it.fileName().startsWith(QLatin1String("tasks"), Qt::CaseInsensitive) && file.open(QIODevice::ReadOnly))
            files.insert(path, file.readAll());
    }
    return files;
}

} // namespace

// Tasks in two Google lists are purged after the contacts and the events, every list emptied, and
// afterwards Google holds Outlook's tasks once. Later, a task purge killed during its deletions leaves
// the task map as it was (it is cleared last) and its flag set; the next run finishes it and nothing
// is doubled. The log folder and its support archive then hold no token and no authorization code.
TEST(GooglePurgeSync, TasksOfEveryListArePurgedLastAndAKilledPurgeIsFinishedByTheNextRun)
{
    PurgeSync sync(true);
    sync.makeProfile(true, true, true);
    sync.google().control("/peer/clear-requests");
    ASSERT_TRUE(sync.sync());
    QStringList requests = sync.googleRequests();
    const QStringList taskDeletions = withPrefix(requests, "DELETE /tasks/v1/lists/");
    EXPECT_EQ(taskDeletions.size(), 2 * kGoogleTasksEach);
    EXPECT_EQ(withPrefix(taskDeletions, "DELETE /tasks/v1/lists/" + kWorkList + "/tasks/").size(), kGoogleTasksEach);
    // The tasks go after the contacts and the events, and before anything of Outlook is sent.
    EXPECT_GT(indexOfPrefix(requests, "GET /tasks/v1/users/@me/lists", false),
              indexOfPrefix(requests, "DELETE /calendar/", true));
    EXPECT_LT(indexOfPrefix(requests, "DELETE /tasks/", true), indexOfPrefix(requests, "POST ", false));
    sync.expectOutlooksRecordsOnceOnEachSide();
    EXPECT_FALSE(sync.purgeTasksFlag());
    // Outlook's task of the category "Work" went into that list.
    for (const QJsonObject &task : sync.google().aliveTasks())
        EXPECT_EQ(task["list"].toString(), task["title"] == "Send report" ? "Work" : "My Tasks");

    // A task purge alone, killed during its deletions: the map is as it was, the flag stays.
    sync.addGoogleTasks(QStringLiteral("Later"));
    const QHash<QString, QByteArray> mapBefore = taskMapFiles(sync.home() + "/data");
    ASSERT_FALSE(mapBefore.isEmpty());
    sync.editProfile([](HMProfile &profile) { profile.setPurgeTasksOnNextSync(true); });
    sync.google().control("/peer/clear-requests");
    QThread::msleep(1100);
    QProcess driver;
    sync.start(driver);
    QElapsedTimer waited;
    waited.start();
    while (withPrefix(sync.googleRequests(), "DELETE /tasks/").size() < kGoogleTasksEach / 2 && waited.elapsed() < 60000)
        QThread::msleep(5);
    driver.kill();
    ASSERT_TRUE(driver.waitForFinished(120000));
    requests = sync.googleRequests();
    EXPECT_GE(withPrefix(requests, "DELETE /tasks/").size(), kGoogleTasksEach / 2);
    EXPECT_LT(withPrefix(requests, "DELETE /tasks/").size(), 3 * kGoogleTasksEach);
    EXPECT_EQ(taskMapFiles(sync.home() + "/data"), mapBefore);
    EXPECT_TRUE(sync.purgeTasksFlag());
    for (const QString &request : requests)
        EXPECT_FALSE(request.startsWith("POST ") || request.startsWith("PUT ")) << request.toStdString();
    ASSERT_TRUE(sync.sync());
    ASSERT_TRUE(sync.sync());
    sync.expectOutlooksRecordsOnceOnEachSide();
    EXPECT_FALSE(sync.purgeTasksFlag());

    // The logs of every run above, and the archive made of them for support.
    QStringList accessTokens;
    for (const QJsonValue &token : sync.account()["accessTokens"].toArray())
        accessTokens << token.toString();
    ASSERT_FALSE(accessTokens.isEmpty());
    const QHash<QString, QByteArray> logs = expectNoSecretInLogFolder(sync.home(), accessTokens);
    EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const QByteArray &bytes) { return bytes.contains("purge"); }));
}
