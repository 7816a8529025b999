// The purge in process against a scripted Google on loopback: the requests it sends, in their order
// and with their headers, the maps it clears and when, and how it stops: cancelled, a listing refused
// or endless, a deletion refused. Every reply here is written by hand.
#include "RawHttpServer.h"
#include "RestKitTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "google/HMGoogleSyncDriver.h"
#include "google/HMGoogleSyncPurgeDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMProfile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

namespace {

// One request as the scripted server received it, with the headers the purge may set.
struct Exchange
{
    QString method;
    QString target;
    QString authorization;
    QString ifMatch;
    QString gdataVersion;
    QString contentType;
    bool hasContentType = false;
};

// Google answered by a script: every GET and DELETE goes to the answer, which sees the request and
// every earlier one.
class ScriptedGoogle final
{
public:
    using Answer = std::function<void(const httplib::Request &, httplib::Response &)>;

    explicit ScriptedGoogle(Answer answer) : m_answer(std::move(answer))
    {
        const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
            {
                const std::lock_guard lock(m_mutex);
                m_exchanges.push_back({QString::fromStdString(request.method), QString::fromStdString(request.target),
                                       QString::fromStdString(request.get_header_value("Authorization")),
                                       QString::fromStdString(request.get_header_value("If-Match")),
                                       QString::fromStdString(request.get_header_value("GData-Version")),
                                       QString::fromStdString(request.get_header_value("Content-Type")),
                                       request.has_header("Content-Type")});
            }
            m_answer(request, response);
        };
        m_server.server().Get(".*", handler);
        m_server.server().Delete(".*", handler);
        m_server.start();
        const QByteArray host = QStringLiteral("http://127.0.0.1:%1/").arg(m_server.port()).toLatin1();
        qputenv("HM_GOOGLE_API_HOST", host);
        qputenv("HM_GOOGLE_CONTACTS_HOST", host);
    }
    ~ScriptedGoogle()
    {
        qunsetenv("HM_GOOGLE_API_HOST");
        qunsetenv("HM_GOOGLE_CONTACTS_HOST");
    }
    std::vector<Exchange> exchanges() const
    {
        const std::lock_guard lock(m_mutex);
        return m_exchanges;
    }
    QStringList targets() const
    {
        QStringList list;
        for (const Exchange &exchange : exchanges())
            list << exchange.method + u' ' + exchange.target;
        return list;
    }

private:
    Answer m_answer;
    LoopbackServer m_server;
    mutable std::mutex m_mutex;
    std::vector<Exchange> m_exchanges;
};

// The bearer header as the server library hands it on: "%2F" read back as "/" (the bytes on the wire
// are checked with a raw socket where the driver's requests are made).
const std::string kBearer = "Bearer ya29.a/b";

void json(httplib::Response &response, const QJsonObject &object)
{
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

QJsonArray items(const QString &prefix, int from, int to)
{
    QJsonArray list;
    for (int index = from; index < to; ++index)
        list.append(QJsonObject{{"id", QStringLiteral("%1%2").arg(prefix).arg(index, 3, 10, QLatin1Char('0'))},
                                {"title", "t"}});
    return list;
}

// The purge's delegate: what it reported, from the run's side.
class RecordingPurge final : public HMGoogleSyncPurgeDelegate
{
public:
    void purgeDidFinishForConduit(const QString &conduit) override { note(QStringLiteral("finished ") + conduit); }
    void purgeDidCancel() override { note(QStringLiteral("cancelled")); }
    void purgeDidFailWithError(const QString &message) override { note(QStringLiteral("failed ") + message); }
    QStringList reports() const
    {
        const std::lock_guard lock(m_mutex);
        return m_reports;
    }

private:
    void note(const QString &report)
    {
        const std::lock_guard lock(m_mutex);
        m_reports << report;
    }
    mutable std::mutex m_mutex;
    QStringList m_reports;
};

// A progress sheet that posts the cancel notification when it is shown the text.
class CancellingSheet final : public HMSyncProgressReporting
{
public:
    explicit CancellingSheet(QString cancelAt) : m_cancelAt(std::move(cancelAt)) {}
    void setUserMessageDirectly(const QString &text) override { check(text); }
    void setUserMessageDirectly(const QString &text, double) override { check(text); }
    void setOverallMessageDirectly(const QString &, double) override {}
    void syncCompleted(const QString &) override {}
    void displayDeletionWarningWithMessage(const QString &) override {}
    void displayReauthorizationButtons() override {}

private:
    void check(const QString &text)
    {
        if (text == m_cancelAt)
            platform::NotificationCenter::defaultCenter().postNotificationName(
                QStringLiteral("kHMGoogleDirectSyncCancelSync"));
    }
    QString m_cancelAt;
};

// A purge driver on the sync driver's requests, its maps in a folder of its own.
class Purge : public testing::Test
{
protected:
    void SetUp() override
    {
        ensureApplication();
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toLocal8Bit());
        m_driver->setAccessToken(QStringLiteral("ya29.a/b"));
        m_profile->setGoogleCalendarIdentifiersToSync({"primary", "team@x"});
        m_profile->setGoogleCalendarIdentifierToWriteTo(QStringLiteral("team@x"));
        m_purge->setUserEmail(QStringLiteral("me@example.com"));
        m_purge->setProfile(m_profile);
        m_purge->setGoogleSyncPurgeDelegate(&m_recorder);
    }
    void TearDown() override
    {
        GlobalVariables::setCurrentSyncProgressController(nullptr);
        qunsetenv("XDG_DATA_HOME");
    }
    bool waitForReport()
    {
        return platform::DispatchQueue::runMainQueueUntil([&] { return !m_recorder.reports().isEmpty(); },
                                                          std::chrono::seconds(30));
    }
    static qint64 mapCount(const char *conduit)
    {
        return HMOutlookDatFileHelper().countRecordsForConduit(QLatin1String(conduit));
    }

    QTemporaryDir m_home;
    std::shared_ptr<HMProfile> m_profile = std::make_shared<HMProfile>();
    const std::shared_ptr<HMGoogleSyncDriver> m_driver = std::make_shared<HMGoogleSyncDriver>();
    const std::shared_ptr<HMGoogleSyncPurgeDriver> m_purge = std::make_shared<HMGoogleSyncPurgeDriver>(m_driver);
    RecordingPurge m_recorder;
};

// A contacts feed of the entries, ids under the account's base.
std::string contactFeed(int from, int to)
{
    QString text = QStringLiteral("<?xml version='1.0' encoding='UTF-8'?><feed xmlns='http://www.w3.org/2005/Atom'>"
                                  "<id>me@example.com</id>");
    for (int index = from; index < to; ++index)
        text += QStringLiteral("<entry><id>http://www.google.com/m8/feeds/contacts/me%40example.com/base/c%1</id>"
                               "<title>C</title></entry>")
                    .arg(index);
    return (text + QStringLiteral("</feed>")).toStdString();
}

const char kGroupFeed[] =
    "<?xml version='1.0' encoding='UTF-8'?><feed xmlns='http://www.w3.org/2005/Atom' "
    "xmlns:gContact='http://schemas.google.com/contact/2008'><id>me@example.com</id>"
    "<entry><id>http://www.google.com/m8/feeds/groups/me%40example.com/base/6</id><title>System Group: My "
    "Contacts</title>"
    "<gContact:systemGroup id='Contacts'/></entry>"
    "<entry><id>http://www.google.com/m8/feeds/groups/me%40example.com/base/1a2b</id><title>Family</title></entry>"
    "<entry><id>http://www.google.com/m8/feeds/groups/me%40example.com/base/77</id><title>Work</title></entry>"
    "<entry><id>http://www.google.com/m8/feeds/groups/me%40example.com/base/99</id></entry></feed>";

// Google of the contacts and calendar tests: three groups (one a system group, one without a title),
// 137 contacts, the primary calendar in two pages (one event cancelled) and the team calendar.
void answerContactsAndEvents(const httplib::Request &request, httplib::Response &response,
                             const std::function<void(const QString &)> &observe)
{
    const QString path = QString::fromStdString(request.path);
    observe(path);
    if (request.method == "DELETE")
        return;
    if (path.startsWith("/m8/feeds/groups/"))
        response.set_content(kGroupFeed, "application/atom+xml");
    else if (path.startsWith("/m8/feeds/contacts/"))
        response.set_content(request.get_param_value("start-index") == "1" ? contactFeed(0, 100)
                                                                           : contactFeed(100, 137),
                             "application/atom+xml");
    else if (path == "/calendar/v3/calendars/primary/events" && !request.has_param("pageToken"))
        json(response, {{"items", QJsonArray{QJsonObject{{"id", "ev1"}, {"status", "confirmed"}},
                                             QJsonObject{{"id", "ev2"}, {"status", "cancelled"}}}},
                        {"nextPageToken", "tok/1="}});
    else if (path == "/calendar/v3/calendars/primary/events")
        json(response, {{"items", QJsonArray{QJsonObject{{"id", "ev3"}}}}});
    else
        json(response, {{"items", QJsonArray{QJsonObject{{"id", "tm1"}, {"status", "tentative"}}}}});
}

} // namespace

TEST(GooglePurgeTexts, TheRequestPathsAreWrittenAsGoogleReadsThem)
{
    using P = HMGoogleSyncPurgeDriver;
    EXPECT_EQ(P::groupListPath("me+x@example.com"), "m8/feeds/groups/me%2Bx@example.com/full?max-results=50000");
    EXPECT_EQ(P::groupDeletionPath("me@example.com", "1a2b"), "m8/feeds/groups/me@example.com/full/1a2b");
    EXPECT_EQ(P::contactsPagePath("me@example.com", 101, 100),
              "m8/feeds/contacts/me@example.com/full?quotaUser=me@example.com&start-index=101&max-results=100");
    EXPECT_EQ(P::contactDeletionPath("c17"), "m8/feeds/contacts/default/full/c17");
    EXPECT_EQ(P::eventListPath("primary", {}),
              "calendar/v3/calendars/primary/events?maxResults=1000&showDeleted=false");
    EXPECT_EQ(P::eventListPath("a#b@group.calendar.google.com", "tok/1="),
              "calendar/v3/calendars/a%23b@group.calendar.google.com/events?maxResults=1000&showDeleted=false"
              "&pageToken=tok%2F1%3D");
    EXPECT_EQ(P::eventDeletionPath("team@x", "ev1_20270511T090000Z"),
              "calendar/v3/calendars/team@x/events/ev1_20270511T090000Z");
    EXPECT_EQ(P::taskListsPath({}), "tasks/v1/users/@me/lists");
    EXPECT_EQ(P::taskListsPath("p/2="), "tasks/v1/users/@me/lists?pageToken=p%2F2%3D");
    EXPECT_EQ(P::tasksPath("MDE1", {}), "tasks/v1/lists/MDE1/tasks?maxResults=100000");
    EXPECT_EQ(P::tasksPath("MDE1", "n=1"), "tasks/v1/lists/MDE1/tasks?maxResults=100000&pageToken=n%3D1");
    EXPECT_EQ(P::taskDeletionPath("MDE1", "dDE"), "tasks/v1/lists/MDE1/tasks/dDE");
}

// Groups but Google's system groups, then 137 contacts in pages of 100 and 37, then the events of the
// synced calendars and the one written to (listed once), cancelled events left alone; the contact map
// is empty before the first contacts page, the calendar map before the first event list.
TEST_F(Purge, ContactsThenEventsGoOneRequestAtATimeWithTheirHeaders)
{
    HMOutlookDatFileHelper seed;
    ASSERT_TRUE(
        seed.writeOutlookIdForDeviceId("o1", "http://www.google.com/m8/feeds/contacts/me%40example.com/base/old"));
    ASSERT_TRUE(seed.writeOutlookEventIdForDeviceEventId("e1", "old@primary"));
    // What a killed run left beside the maps: an insert's id not answered, pairs confirmed but not
    // committed.
    const QStringList besideMaps{seed.calendarFilePath() + ".google-sent", seed.calendarFilePath() + ".confirmed",
                                 seed.contactFilePath() + ".confirmed"};
    for (const QString &path : besideMaps) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("e1\tabc\n");
    }
    std::mutex mutex;
    QStringList mapsSeen;
    ScriptedGoogle google([&](const httplib::Request &request, httplib::Response &response) {
        answerContactsAndEvents(request, response, [&](const QString &path) {
            const std::lock_guard lock(mutex);
            if (request.method == "GET")
                mapsSeen << QStringLiteral("%1 %2 %3")
                                .arg(path.section(u'/', 1, 2))
                                .arg(mapCount("Contacts"))
                                .arg(mapCount("Calendar"));
        });
    });
    m_purge->purgeContacts();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(m_recorder.reports(), QStringList{"finished Contacts"});
    m_purge->purgeCalendar();
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return m_recorder.reports().size() == 2; },
                                                           std::chrono::seconds(30)));
    EXPECT_EQ(m_recorder.reports(), QStringList({"finished Contacts", "finished Calendar"}));
    EXPECT_EQ(m_purge->numberOfGroupsDeleted(), 2);
    EXPECT_EQ(m_purge->deletedContactsCounter(), 137);
    EXPECT_EQ(m_purge->deletedEventsCounter(), 3);
    EXPECT_EQ(GlobalVariables::getDefaultGoogleCalendatIdentifier(), "team@x");

    const QStringList targets = google.targets();
    ASSERT_EQ(targets.size(), 1 + 2 + 2 + 137 + 3 + 3);
    EXPECT_EQ(
        targets.mid(0, 5),
        QStringList(
            {"GET /m8/feeds/groups/me@example.com/full?max-results=50000",
             "DELETE /m8/feeds/groups/me@example.com/full/1a2b", "DELETE /m8/feeds/groups/me@example.com/full/77",
             "GET /m8/feeds/contacts/me@example.com/full?quotaUser=me@example.com&start-index=1&max-results=100",
             "GET /m8/feeds/contacts/me@example.com/full?quotaUser=me@example.com&start-index=101&max-results=100"}));
    for (int index = 0; index < 137; ++index)
        EXPECT_EQ(targets[5 + index], QStringLiteral("DELETE /m8/feeds/contacts/default/full/c%1").arg(index));
    EXPECT_EQ(targets.mid(142),
              QStringList({"GET /calendar/v3/calendars/primary/events?maxResults=1000&showDeleted=false",
                           "GET /calendar/v3/calendars/primary/events?maxResults=1000&showDeleted=false"
                           "&pageToken=tok%2F1%3D",
                           "GET /calendar/v3/calendars/team@x/events?maxResults=1000&showDeleted=false",
                           "DELETE /calendar/v3/calendars/primary/events/ev1",
                           "DELETE /calendar/v3/calendars/primary/events/ev3",
                           "DELETE /calendar/v3/calendars/team@x/events/tm1"}));

    // The headers of each kind of request.
    const std::vector<Exchange> exchanges = google.exchanges();
    for (const Exchange &exchange : exchanges)
        EXPECT_EQ(exchange.authorization.toStdString(), kBearer) << exchange.target.toStdString();
    const auto headers = [](const Exchange &exchange) {
        return QStringLiteral("%1|%2|%3|%4")
            .arg(exchange.gdataVersion, exchange.ifMatch, exchange.contentType)
            .arg(exchange.hasContentType);
    };
    EXPECT_EQ(headers(exchanges[0]), "3.0|||0");
    EXPECT_EQ(headers(exchanges[1]), "3.0|*|application/atom+xml|1");
    EXPECT_EQ(headers(exchanges[3]), "3.0|||0");
    EXPECT_EQ(headers(exchanges[5]), "3.0|*|application/atom+xml|1");
    EXPECT_EQ(headers(exchanges[141]), "3.0|*|application/atom+xml|1");
    EXPECT_EQ(headers(exchanges[142]), "|||0");
    EXPECT_EQ(headers(exchanges[145]), "|||0");

    // The maps were emptied before their listings, and what was kept beside them with them (the pairs
    // waiting beside a map count with it).
    EXPECT_EQ(mapsSeen, QStringList({"m8/feeds 2 2", "m8/feeds 0 2", "m8/feeds 0 2", "calendar/v3 0 0",
                                     "calendar/v3 0 0", "calendar/v3 0 0"}));
    for (const QString &path : besideMaps)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
}

// Every task list (its listing paged), every task of each list page by page, each deleted with its
// headers; the task map is cleared only after the last deletion.
TEST_F(Purge, TasksOfEveryListAreGatheredPageByPageThenDeletedAndTheMapClearedLast)
{
    ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookTaskIdForDeviceTaskId("o1", "a000"));
    std::mutex mutex;
    QList<qint64> mapDuringDeletions;
    ScriptedGoogle google([&](const httplib::Request &request, httplib::Response &response) {
        const QString path = QString::fromStdString(request.path);
        const bool paged = request.has_param("pageToken");
        if (request.method == "DELETE") {
            const std::lock_guard lock(mutex);
            mapDuringDeletions << mapCount("Tasks");
            response.status = path.endsWith("/b001") ? 404 : 204;
        } else if (path == "/tasks/v1/users/@me/lists") {
            json(response,
                 paged ? QJsonObject{{"items", QJsonArray{QJsonObject{{"id", "L2"}, {"title", "Work"}},
                                                          QJsonObject{{"id", "L1"}, {"title", "Home"}}}}}
                       : QJsonObject{
                             {"items", QJsonArray{QJsonObject{
                                           {"id", "L1"}, {"title", "Home"}, {"updated", "2021-03-04T12:34:56.789Z"}}}},
                             {"nextPageToken", "p/2="}});
        } else if (path == "/tasks/v1/lists/L1/tasks") {
            json(response, paged ? QJsonObject{{"items", items("a", 100, 130)}}
                                 : QJsonObject{{"items", items("a", 0, 100)}, {"nextPageToken", "n=1"}});
        } else {
            json(response, {{"kind", "tasks#tasks"}, {"items", items("b", 0, 2)}});
        }
    });
    m_purge->purgeTasks();
    ASSERT_TRUE(waitForReport());
    EXPECT_EQ(m_recorder.reports(), QStringList{"finished Tasks"});
    const QStringList targets = google.targets();
    ASSERT_EQ(targets.size(), 5 + 132);
    EXPECT_EQ(targets.mid(0, 6),
              QStringList({"GET /tasks/v1/users/@me/lists", "GET /tasks/v1/users/@me/lists?pageToken=p%2F2%3D",
                           "GET /tasks/v1/lists/L1/tasks?maxResults=100000",
                           "GET /tasks/v1/lists/L1/tasks?maxResults=100000&pageToken=n%3D1",
                           "GET /tasks/v1/lists/L2/tasks?maxResults=100000", "DELETE /tasks/v1/lists/L1/tasks/a000"}));
    EXPECT_EQ(targets[5 + 129], "DELETE /tasks/v1/lists/L1/tasks/a129");
    EXPECT_EQ(targets[5 + 131], "DELETE /tasks/v1/lists/L2/tasks/b001");
    const std::vector<Exchange> exchanges = google.exchanges();
    for (size_t index = 0; index < exchanges.size(); ++index) {
        const Exchange &exchange = exchanges[index];
        EXPECT_EQ(exchange.authorization.toStdString(), kBearer);
        EXPECT_EQ(exchange.ifMatch, "*");
        EXPECT_FALSE(exchange.hasContentType);
        EXPECT_EQ(exchange.gdataVersion, index < 5 ? "" : "3.0") << exchange.target.toStdString();
    }
    EXPECT_EQ(mapDuringDeletions, QList<qint64>(132, 1));
    EXPECT_EQ(mapCount("Tasks"), 0);
    EXPECT_EQ(m_purge->deletedTasksCounter(), 132);
}

// A purge that cannot finish says why, sends nothing more and leaves the task map as it was.
TEST_F(Purge, ARefusedEndlessOrUnreadableTaskListingOrARefusedDeletionStopsThePurge)
{
    struct Case
    {
        const char *name;
        std::function<void(const httplib::Request &, httplib::Response &)> answer;
        int requests;
        QString report;
    };
    const QString notEmptied = " Google was not emptied and nothing was sent; the next sync tries again.";
    const auto lists = [](const httplib::Request &request, httplib::Response &response) {
        if (request.path == "/tasks/v1/users/@me/lists") {
            json(response, {{"items", QJsonArray{QJsonObject{{"id", "L1"}, {"title", "Home"}}}}});
            return true;
        }
        return false;
    };
    const Case cases[] = {{"refused deletion",
                           [&](const httplib::Request &request, httplib::Response &response) {
                               if (!lists(request, response) && request.method == "GET")
                                   json(response, {{"items", items("a", 0, 5)}});
                               else if (request.path.ends_with("/a002"))
                                   response.status = 500;
                           },
                           2 + 3, "failed Google refused to delete a task (HTTP 500)." + notEmptied},
                          {"refused listing",
                           [](const httplib::Request &, httplib::Response &response) { response.status = 401; }, 1,
                           "failed HTTP 401: Unauthorized.\nGoogle has not authorized access to this account."},
                          {"endless listing",
                           [&](const httplib::Request &request, httplib::Response &response) {
                               if (!lists(request, response))
                                   json(response, {{"items", items("a", 0, 100)}, {"nextPageToken", "same"}});
                           },
                           3, "failed Google's list did not end." + notEmptied},
                          {"unreadable listing",
                           [&](const httplib::Request &request, httplib::Response &response) {
                               if (!lists(request, response))
                                   response.set_content("{\"items\": {\"id\": \"x\"}}", "application/json");
                           },
                           2, "failed Google's list of tasks could not be read." + notEmptied}};
    for (const Case &trial : cases) {
        SCOPED_TRACE(trial.name);
        ASSERT_TRUE(HMOutlookDatFileHelper().writeOutlookTaskIdForDeviceTaskId("o1", "a000"));
        RecordingPurge recorder;
        const auto purge = std::make_shared<HMGoogleSyncPurgeDriver>(m_driver);
        purge->setGoogleSyncPurgeDelegate(&recorder);
        ScriptedGoogle google(trial.answer);
        purge->purgeTasks();
        ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil([&] { return !recorder.reports().isEmpty(); },
                                                               std::chrono::seconds(30)));
        platform::DispatchQueue::runMainQueueUntil([] { return false; }, std::chrono::milliseconds(200));
        EXPECT_EQ(recorder.reports(), QStringList{trial.report});
        EXPECT_EQ(google.targets().size(), trial.requests) << google.targets().join(u'\n').toStdString();
        EXPECT_EQ(mapCount("Tasks"), 1);
    }
}

// A cancel during the contact deletions: the next step reports the cancel and sends nothing more.
TEST_F(Purge, ACancelDuringTheDeletionsSendsNothingMore)
{
    ScriptedGoogle google([](const httplib::Request &request, httplib::Response &response) {
        answerContactsAndEvents(request, response, [](const QString &) {});
    });
    GlobalVariables::setCurrentSyncProgressController(std::make_shared<CancellingSheet>("Deleting Google contacts 5"));
    m_purge->purgeContacts();
    ASSERT_TRUE(waitForReport());
    platform::DispatchQueue::runMainQueueUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(m_recorder.reports(), QStringList{"cancelled"});
    EXPECT_EQ(google.targets().size(), 1 + 2 + 2 + 5);
    EXPECT_EQ(m_purge->deletedContactsCounter(), 5);
}

// The contacts' requests as they go on the wire, byte for byte: the group list, a group deletion, a
// contacts page and a contact deletion.
TEST_F(Purge, TheContactRequestsGoOnTheWireByteForByte)
{
    const QByteArray groups =
        "<?xml version='1.0' encoding='UTF-8'?><feed xmlns='http://www.w3.org/2005/Atom'><entry>"
        "<id>http://www.google.com/m8/feeds/groups/me%40example.com/base/fam</id><title>Family</title>"
        "</entry></feed>";
    const QByteArray contacts =
        "<?xml version='1.0' encoding='UTF-8'?><feed xmlns='http://www.w3.org/2005/Atom'><entry>"
        "<id>http://www.google.com/m8/feeds/contacts/me%40example.com/base/c1</id></entry></feed>";
    RawHttpServer server({RawHttpServer::reply(200, groups, "application/atom+xml"), RawHttpServer::reply(200),
                          RawHttpServer::reply(200, contacts, "application/atom+xml"), RawHttpServer::reply(200)});
    const QByteArray host = QStringLiteral("http://127.0.0.1:%1/").arg(server.port).toLatin1();
    qputenv("HM_GOOGLE_CONTACTS_HOST", host);
    m_purge->purgeContacts();
    ASSERT_TRUE(waitForReport());
    qunsetenv("HM_GOOGLE_CONTACTS_HOST");
    EXPECT_EQ(m_recorder.reports(), QStringList{"finished Contacts"});
    const QList<QByteArray> heads = server.heads();
    ASSERT_EQ(heads.size(), 4);
    const QByteArray hostLine = "Host: 127.0.0.1:" + QByteArray::number(server.port) + "\r\n";
    const QByteArray listHeaders = hostLine + "Authorization: Bearer ya29.a%2Fb\r\nGData-Version: 3.0\r\n\r\n";
    const QByteArray deleteHeaders = hostLine +
                                     "Authorization: Bearer ya29.a%2Fb\r\nGData-Version: 3.0\r\n"
                                     "Content-Type: application/atom+xml\r\nIf-Match: *\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(heads[0], "GET /m8/feeds/groups/me@example.com/full?max-results=50000 HTTP/1.1\r\n" + listHeaders);
    EXPECT_EQ(heads[1], "DELETE /m8/feeds/groups/me@example.com/full/fam HTTP/1.1\r\n" + deleteHeaders);
    EXPECT_EQ(heads[2],
              "GET /m8/feeds/contacts/me@example.com/full?quotaUser=me@example.com&start-index=1&max-results=100 "
              "HTTP/1.1\r\n" +
                  listHeaders);
    EXPECT_EQ(heads[3], "DELETE /m8/feeds/contacts/default/full/c1 HTTP/1.1\r\n" + deleteHeaders);
}

// The task requests on the wire: the lists, a list's tasks, a deletion.
TEST_F(Purge, TheTaskRequestsGoOnTheWireByteForByte)
{
    RawHttpServer server({RawHttpServer::reply(200, R"({"items": [{"id": "L1", "title": "Home"}]})"),
                          RawHttpServer::reply(200, R"({"items": [{"id": "t1", "title": "Buy milk"}]})"),
                          RawHttpServer::reply(204)});
    qputenv("HM_GOOGLE_API_HOST", QStringLiteral("http://127.0.0.1:%1/").arg(server.port).toLatin1());
    m_purge->purgeTasks();
    ASSERT_TRUE(waitForReport());
    qunsetenv("HM_GOOGLE_API_HOST");
    EXPECT_EQ(m_recorder.reports(), QStringList{"finished Tasks"});
    const QList<QByteArray> heads = server.heads();
    ASSERT_EQ(heads.size(), 3);
    const QByteArray head =
        "Host: 127.0.0.1:" + QByteArray::number(server.port) + "\r\nAuthorization: Bearer ya29.a%2Fb\r\n";
    EXPECT_EQ(heads[0], "GET /tasks/v1/users/@me/lists HTTP/1.1\r\n" + head + "If-Match: *\r\n\r\n");
    EXPECT_EQ(heads[1], "GET /tasks/v1/lists/L1/tasks?maxResults=100000 HTTP/1.1\r\n" + head + "If-Match: *\r\n\r\n");
    EXPECT_EQ(heads[2], "DELETE /tasks/v1/lists/L1/tasks/t1 HTTP/1.1\r\n" + head +
                            "GData-Version: 3.0\r\nIf-Match: *\r\nContent-Length: 0\r\n\r\n");
}
