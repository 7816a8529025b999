// The tasks conduit against texts written by hand and, in process, against the Google peer: the
// record of a task, the pages by the rule, the request paths of a first and a later sync, and the
// requests of a batch in order with their headers and bodies.
#include "GooglePeerFixture.h"

#include "google/GoogleTaskList.h"
#include "google/GoogleWrittenEntries.h"
#include "google/HMGoogleSyncDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "sync/HMData.h"
#include "sync/HMSyncRecord.h"

#include <QJsonDocument>
#include <QTimeZone>

namespace {

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs).toUTC();
}

QVariantMap json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object().toVariantMap();
}

// The Outlook tasks of a batch, and what the driver tells Outlook back.
class FakeTaskData final : public HMData
{
public:
    void prepareForUseOnThread() override {}
    void stopUsingOnThread() override {}
    void clearIdTable() override {}
    QSet<QString> setOfHmUids() override { return {}; }
    void saveChanges() override {}
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &, bool, const QSet<QString> &) override
    {
        return std::nullopt;
    }
    qint64 commandAction(qint32, quint64, quint64, const QVariantMap &, qint64) override { return -1; }
    void updateUidToDeviceIds(const QVariantMap &) override {}
    void deleteUidRecords(const QStringList &) override {}
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(const QDateTime &, bool,
                                                                             const QSet<QString> &excluded) override
    {
        excludedIds = excluded;
        return records;
    }
    QDateTime getOutlookLastModifiedDate() override { return {}; }
    void replaceTempId(const QString &temporaryId, const QString &permanentId) override
    {
        replaced << temporaryId + u'>' + permanentId;
    }
    void commitUniqueIds(bool wasSuccessful) override { commits << wasSuccessful; }

    QList<HMSyncRecord> records;
    QSet<QString> excludedIds;
    QStringList replaced;
    QList<bool> commits;
};

HMSyncRecord outlookRecord(bool isNew, bool isDelete, const QString &hmxUid, const QString &outlookId, const QVariantMap &fields)
{
    HMSyncRecord record;
    record.setIsNew(isNew);
    record.setIsDelete(isDelete);
    record.setHmxUid(hmxUid);
    record.setOutlookUid(outlookId);
    record.setDictionary(fields);
    return record;
}

// A driver on the main queue against the peer, its data folder a temporary one.
struct TaskDriver
{
    explicit TaskDriver(PeerFixture &fixture)
    {
        qputenv("XDG_DATA_HOME", home.filePath("data").toLocal8Bit());
        driver->setAccessToken(QStringLiteral("ya29.a/b"));
        driver->setUserEmail(QStringLiteral("me@example.com"));
        driver->setGoogleSyncDelegate(&run);
        driver->setQueue(platform::DispatchQueue::main());
        (void)fixture;
    }
    ~TaskDriver() { qunsetenv("XDG_DATA_HOME"); }
    bool waitFor(const std::function<bool()> &done)
    {
        return platform::DispatchQueue::runMainQueueUntil(
            [&] {
                const std::lock_guard lock(run.mutex);
                return done();
            },
            std::chrono::seconds(20));
    }
    // A fresh driver for the next sync, on the same data folder.
    void renew()
    {
        driver = std::make_shared<HMGoogleSyncDriver>();
        driver->setAccessToken(QStringLiteral("ya29.a/b"));
        driver->setGoogleSyncDelegate(&run);
        driver->setQueue(platform::DispatchQueue::main());
        const std::lock_guard lock(run.mutex);
        run.taskCalls = 0;
        run.conduitEnds = 0;
    }
    QTemporaryDir home;
    RecordingRun run;
    std::shared_ptr<HMGoogleSyncDriver> driver = std::make_shared<HMGoogleSyncDriver>();
};

const QString kDefaultList = QStringLiteral("MDAwMTIzNDU2Nzg5OjA6MA");

} // namespace

TEST(GoogleTaskList, ATaskBecomesItsRecordAndAPageIsFiledByTheRule)
{
    const QDateTime now = utc("2026-12-09T10:00:00Z");
    const QVariantMap milk = googletasklist::recordOfTask(json(R"({"id":"t1","title":"Buy milk","status":"COMPLETED"})"), {}, now);
    const QVariantMap expected{{"UID", "t1"},           {"SUBJECT", "Buy milk"}, {"status", "COMPLETED"},
                               {"COMPLETED", true},     {"PERCENTCOMPLETE", qint64(100)},
                               {"DELETED", false},      {"NSDATELASTMODIFIEDGOOGLE", now}};
    EXPECT_EQ(milk, expected);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(milk.value(it.key()).typeId(), it.value().typeId()) << it.key().toStdString();

    const QVariantMap full = googletasklist::recordOfTask(
        json(R"({"id":"t2","title":"Call","status":"needsAction","notes":"ask\nabout it","due":"2021-03-04T00:00:00.000Z",)"
             R"("deleted":true,"updated":"2021-03-04T12:34:56.789Z"})"),
        QStringLiteral("Work"), now);
    EXPECT_EQ(full.value("COMPLETED"), QVariant(false));
    EXPECT_EQ(full.value("PERCENTCOMPLETE"), QVariant(qint64(0)));
    EXPECT_EQ(full.value("NOTE"), QVariant("ask\nabout it"));
    // The due day is the day written, in any zone.
    EXPECT_EQ(full.value("DUEDATE").toDateTime(), QDateTime(QDate(2021, 3, 4), QTime(0, 0), QTimeZone::systemTimeZone()));
    EXPECT_EQ(googletasklist::dueText(full.value("DUEDATE").toDateTime()), "2021-03-04T00:00:00.000Z");
    EXPECT_EQ(full.value("DELETED"), QVariant(true));
    EXPECT_EQ(full.value("NSARRAYCATEGORIES").toStringList(), QStringList{"Work"});
    EXPECT_EQ(full.value("NSDATELASTMODIFIEDGOOGLE").toDateTime(), utc("2021-03-04T12:34:56.789Z"));

    // A page: only tasks later than the comparison date are taken, the latest "updated" moves either
    // way; a deletion goes by the rule; a task without a title, or our own write, is not applied.
    const QVariantMap page = json(R"({"items":[
        {"id":"old","title":"Old","updated":"2021-03-01T00:00:00.000Z"},
        {"id":"new","title":"New","updated":"2021-03-05T00:00:00.000Z","status":"completed"},
        {"id":"gone","title":"Gone","deleted":true,"updated":"2021-03-05T00:00:01.000Z"},
        {"id":"blank","title":"","updated":"2021-03-05T00:00:02.000Z"},
        {"id":"mine","title":"Mine","updated":"2021-03-06T00:00:00.500Z"},
        "not an object"],"nextPageToken":"x"})");
    googletasklist::PageContext context;
    context.comparisonDate = utc("2021-03-02T00:00:00Z");
    context.listTitle = QStringLiteral("My Tasks");
    context.ownWrites = {{"mine", "2021-03-06T00:00:00.500Z"}};
    googletasklist::Reading allowed;
    googletasklist::readPage(page, context, allowed);
    ASSERT_EQ(allowed.modified.size(), 1);
    EXPECT_EQ(allowed.modified[0].value("UID"), QVariant("new"));
    EXPECT_EQ(allowed.modified[0].value("NSARRAYCATEGORIES").toStringList(), QStringList{"My Tasks"});
    EXPECT_EQ(allowed.deleted, QStringList{"gone"});
    EXPECT_EQ(allowed.readIds, (QStringList{"new", "gone", "blank"}));
    EXPECT_EQ(allowed.mostRecent, utc("2021-03-06T00:00:00.500Z"));
    context.allowDeletesFromGoogle = false;
    googletasklist::Reading refused;
    googletasklist::readPage(page, context, refused);
    ASSERT_EQ(refused.modified.size(), 2);
    EXPECT_EQ(refused.modified[1].value("DELETED"), QVariant(true));
    EXPECT_TRUE(refused.deleted.isEmpty());
}

TEST(GoogleTaskList, RequestTextsAndTheListOfACategory)
{
    EXPECT_EQ(googletasklist::taskListsPath({}), "tasks/v1/users/@me/lists");
    EXPECT_EQ(googletasklist::taskListsPath("a+b="), "tasks/v1/users/@me/lists?pageToken=a%2Bb%3D");
    EXPECT_EQ(googletasklist::tasksPath("L1", {}, {}), "tasks/v1/lists/L1/tasks?maxResults=100000");
    EXPECT_EQ(googletasklist::tasksPath("L1", utc("2021-03-04T12:34:58.789Z"), "dDEwMA=="),
              "tasks/v1/lists/L1/tasks?maxResults=100000&showDeleted=true&updatedMin=2021-03-04T12:34:58.789Z"
              "&pageToken=dDEwMA%3D%3D");
    EXPECT_EQ(googletasklist::insertPath("L/1"), "tasks/v1/lists/L%2F1/tasks");
    EXPECT_EQ(googletasklist::taskPath("L1", "t 1"), "tasks/v1/lists/L1/tasks/t%201");
    const QList<googletasklist::TaskList> lists{{"A", "Work", {}}, {"B", "Home", {}}, {"C", "Work", {}}};
    EXPECT_EQ(googletasklist::listIdOfCategories({{"NSARRAYCATEGORIES", QStringList{"Home", "Work"}}}, lists), "A");
    EXPECT_EQ(googletasklist::listIdOfCategories({{"NSARRAYCATEGORIES", QStringList{"Work", "Home"}}}, lists), "B");
    EXPECT_EQ(googletasklist::listIdOfCategories({{"NSARRAYCATEGORIES", QStringList{"Other"}}}, lists), "");
    EXPECT_EQ(googletasklist::listIdOfCategories({}, lists), "");
}

// A first sync reads every list whole; once its latest "updated" (…56.789Z) is stored, a later sync
// reads only the list Google changed since, from that moment on (Google's bound is inclusive).
TEST(GoogleTaskDriver, AFirstAndALaterSyncAskForTheirPaths)
{
    PeerFixture fixture;
    TaskDriver tasks(fixture);
    fixture.peer->setClock(utc("2021-03-04T12:00:00.000Z"));
    fixture.peer->addTaskList("me@example.com", "Work", "TLwork");
    fixture.peer->userPutTask("me@example.com", "TLwork", {{"id", "w1"}, {"title", "Plan"}});
    fixture.peer->setClock(utc("2021-03-04T12:34:56.789Z"));
    fixture.peer->userPutTask("me@example.com", "@default", {{"id", "t1"}, {"title", "Buy milk"}, {"status", "completed"}});
    fixture.peer->clearRequests();

    tasks.driver->listGoogleTaskListsAndReadGoogleTasks(true);
    ASSERT_TRUE(tasks.waitFor([&] { return tasks.run.taskCalls == 1 || !tasks.run.errors.isEmpty(); }));
    ASSERT_TRUE(tasks.run.errors.isEmpty()) << tasks.run.errors.first().toStdString();
    EXPECT_EQ(fixture.peer->requestPaths(),
              (QStringList{"/tasks/v1/users/@me/lists", "/tasks/v1/lists/" + kDefaultList + "/tasks", "/tasks/v1/lists/TLwork/tasks"}));
    const QList<googlepeer::ReceivedRequest> first = fixture.peer->requests();
    EXPECT_EQ(first[1].target, "/tasks/v1/lists/" + kDefaultList + "/tasks?maxResults=100000");
    EXPECT_EQ(first[0].authorization, "Bearer ya29.a/b");
    EXPECT_EQ(first[0].ifMatch, "*");
    EXPECT_EQ(tasks.driver->defaultTaskListId(), kDefaultList);
    ASSERT_EQ(tasks.run.taskRecords.size(), 2);
    EXPECT_EQ(tasks.run.taskRecords[0].value("NSARRAYCATEGORIES").toStringList(), QStringList{"My Tasks"});
    EXPECT_EQ(tasks.run.taskListDate, utc("2021-03-04T12:34:56.789Z"));
    EXPECT_TRUE(tasks.driver->idsToExclude().contains("t1"));
    // As the run keeps it once the records are in Outlook.
    ASSERT_TRUE(HMOutlookDatFileHelper().writeLastListCommandTasks(tasks.run.taskListDate));
    ASSERT_TRUE(googlelistdate::write(tasks.run.taskListDate, HMOutlookDatFileHelper::Conduit::Tasks));

    // Nothing changed: no list is read, two empty lists at once, no date.
    tasks.renew();
    fixture.peer->clearRequests();
    tasks.driver->listGoogleTaskListsAndReadGoogleTasks(true);
    ASSERT_TRUE(tasks.waitFor([&] { return tasks.run.taskCalls == 1; }));
    EXPECT_EQ(fixture.peer->requestPaths(), QStringList{"/tasks/v1/users/@me/lists"});
    EXPECT_TRUE(tasks.run.taskRecords.isEmpty());
    EXPECT_FALSE(tasks.run.taskListDate.isValid());

    // "Work" changed: only it is read, from the latest "updated" read on.
    fixture.peer->setClock(utc("2021-03-04T12:40:00.000Z"));
    fixture.peer->userPutTask("me@example.com", "TLwork", {{"id", "w1"}, {"status", "completed"}});
    tasks.renew();
    fixture.peer->clearRequests();
    tasks.driver->listGoogleTaskListsAndReadGoogleTasks(true);
    ASSERT_TRUE(tasks.waitFor([&] { return tasks.run.taskCalls == 1; }));
    const QList<googlepeer::ReceivedRequest> later = fixture.peer->requests();
    ASSERT_EQ(later.size(), 2);
    EXPECT_EQ(later[1].target, "/tasks/v1/lists/TLwork/tasks?maxResults=100000&showDeleted=true&updatedMin=2021-03-04T12:34:56.789Z");
    ASSERT_EQ(tasks.run.taskRecords.size(), 1);
    EXPECT_EQ(tasks.run.taskRecords[0].value("UID"), QVariant("w1"));
    EXPECT_EQ(tasks.run.taskRecords[0].value("COMPLETED"), QVariant(true));
}

// A refused or unreadable reply ends the run with its text before its body is read: nothing is
// reported and nothing more is asked.
TEST(GoogleTaskDriver, ARefusedOrUnreadableTaskPageEndsTheRunWithItsText)
{
    PeerFixture fixture;
    const std::pair<googlepeer::SwitchKind, QString> cases[] = {
        {googlepeer::SwitchKind::Expired401, "HTTP 401: Unauthorized.\nGoogle has not authorized access to this account."},
        {googlepeer::SwitchKind::Error500, "HTTP 500: Server error.\nSomething is wrong on the server. Try again in a few minutes."},
        {googlepeer::SwitchKind::Garbage, "Google's list of tasks could not be read; nothing was changed for it."},
        {googlepeer::SwitchKind::RepeatedPageToken, "Google's list of tasks does not end"}};
    fixture.peer->userPutTask("me@example.com", "@default", {{"title", "One"}});
    for (const auto &[kind, text] : cases) {
        TaskDriver tasks(fixture);
        fixture.peer->clearSwitches();
        fixture.peer->clearRequests();
        googlepeer::Switch change;
        change.kind = kind;
        change.path = "/tasks/v1/lists/" + kDefaultList + "/tasks";
        fixture.peer->addSwitch(change);
        tasks.driver->listGoogleTaskListsAndReadGoogleTasks(true);
        ASSERT_TRUE(tasks.waitFor([&] { return !tasks.run.errors.isEmpty(); })) << text.toStdString();
        EXPECT_TRUE(tasks.run.errors.first().startsWith(text)) << tasks.run.errors.first().toStdString();
        EXPECT_EQ(tasks.run.taskCalls, 0);
        EXPECT_EQ(fixture.peer->requests().size(), kind == googlepeer::SwitchKind::RepeatedPageToken ? 3 : 2);
    }
}

// Three inserts, two updates and a deletion: six requests in that order, "If-Match: *" from the first
// update on, each task in the list of its category or the default one; the insert body byte for byte;
// the pairs of the inserts kept; the conduit ends after the sixth answer. A deletion Google answers
// 410 (deleted before) counts as done.
TEST(GoogleTaskDriver, ABatchSendsSixRequestsInOrderWithTheirHeaders)
{
    PeerFixture fixture;
    TaskDriver tasks(fixture);
    fixture.peer->addTaskList("me@example.com", "Work", "TLwork");
    fixture.peer->userPutTask("me@example.com", "@default", {{"id", "g1"}, {"title", "Old one"}});
    fixture.peer->userPutTask("me@example.com", "TLwork", {{"id", "g2"}, {"title", "Old two"}});
    fixture.peer->userPutTask("me@example.com", "@default", {{"id", "g3"}, {"title", "Gone"}, {"deleted", true}});
    const auto data = std::make_shared<FakeTaskData>();
    const QDateTime due(QDate(2021, 3, 4), QTime(0, 0), QTimeZone::systemTimeZone());
    data->records = {
        outlookRecord(false, false, "g1", "o4", {{"SUBJECT", "Old one done"}, {"COMPLETED", true}}),
        outlookRecord(true, false, "tmp1", "o1", {{"SUBJECT", "Buy milk"}, {"NOTE", "two litres"}, {"DUEDATE", due}}),
        outlookRecord(false, true, "g3", "o6", {}),
        outlookRecord(true, false, "tmp2", "o2", {{"SUBJECT", "Plan"}, {"NSARRAYCATEGORIES", QStringList{"Home", "Work"}}}),
        outlookRecord(false, false, "g2", "o5", {{"SUBJECT", "Old two"}, {"NSARRAYCATEGORIES", QStringList{"Work"}}}),
        outlookRecord(true, false, "tmp3", "o3", {{"SUBJECT", "Call\\, back"}})};
    tasks.driver->setTaskData(data);
    tasks.driver->addIdToExclude("w9");
    fixture.peer->clearRequests();

    tasks.driver->listGoogleTaskListsAndReadGoogleTasks(false);
    ASSERT_TRUE(tasks.waitFor([&] { return tasks.run.conduitEnds == 1 || !tasks.run.errors.isEmpty(); }));
    ASSERT_TRUE(tasks.run.errors.isEmpty()) << tasks.run.errors.first().toStdString();
    EXPECT_EQ(data->excludedIds, QSet<QString>{"w9"});
    QList<googlepeer::ReceivedRequest> requests = fixture.peer->requests();
    ASSERT_EQ(requests.size(), 7);
    EXPECT_EQ(requests.takeFirst().path, "/tasks/v1/users/@me/lists");
    const QString base = "/tasks/v1/lists/";
    const QStringList expected{"POST " + base + kDefaultList + "/tasks", "POST " + base + "TLwork/tasks",
                               "POST " + base + kDefaultList + "/tasks", "PUT " + base + kDefaultList + "/tasks/g1",
                               "PUT " + base + "TLwork/tasks/g2", "DELETE " + base + kDefaultList + "/tasks/g3"};
    for (qsizetype at = 0; at < requests.size(); ++at) {
        EXPECT_EQ(requests[at].method + u' ' + requests[at].target, expected[at]);
        EXPECT_EQ(requests[at].ifMatch, at < 3 ? QByteArray() : QByteArray("*")) << at;
        EXPECT_EQ(requests[at].gdataVersion, "3.0") << at;
        EXPECT_EQ(requests[at].authorization, "Bearer ya29.a/b") << at;
    }
    EXPECT_EQ(requests[0].body,
              R"({"due":"2021-03-04T00:00:00.000Z","kind":"tasks#task","notes":"two litres","status":"needsAction","title":"Buy milk"})");
    EXPECT_TRUE(requests[0].contentType.startsWith("application/json")) << requests[0].contentType.constData();
    EXPECT_EQ(requests[2].body, R"({"kind":"tasks#task","status":"needsAction","title":"Call, back"})");
    EXPECT_EQ(requests[3].body, R"({"id":"g1","kind":"tasks#task","status":"completed","title":"Old one done"})");
    EXPECT_TRUE(requests[5].body.isEmpty());
    ASSERT_EQ(data->replaced.size(), 3);
    EXPECT_TRUE(data->replaced[0].startsWith("tmp1>T"));
    EXPECT_EQ(data->commits, QList<bool>{true});
    // Our own writes are kept with Google's "updated", for the next reading to pass over.
    EXPECT_EQ(GoogleWrittenEntries(HMOutlookDatFileHelper().taskFilePath() + ".google-written").load().size(), 5);
}
