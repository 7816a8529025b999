// The Google peer's own behaviour: the browser sign-in with PKCE, the token replies and their switches,
// paged calendar lists, and its state kept across a restart.
#include "GooglePeer.h"
#include "TestCertificates.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

struct Peer
{
    Peer()
    {
        QString error;
        EXPECT_TRUE(peertls::makeTestCertificates(folder.path(), {}, certificates, error)) << error.toStdString();
        start();
    }
    void start()
    {
        peer = std::make_unique<googlepeer::GooglePeer>(
            googlepeer::Options{folder.filePath("state.json"), certificates.certFile, certificates.keyFile, port});
        QString error;
        ASSERT_TRUE(peer->start(error)) << error.toStdString();
        port = peer->port();
    }
    std::unique_ptr<httplib::SSLClient> makeClient() const
    {
        auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        client->set_ca_cert_path(certificates.caFile.toLocal8Bit().constData());
        return client;
    }
    std::string token(const std::string &form) const
    {
        auto reply = makeClient()->Post("/oauth2/v4/token", form, "application/x-www-form-urlencoded");
        return reply ? std::to_string(reply->status) + " " + reply->body : "no reply";
    }
    QTemporaryDir folder;
    peertls::CertificateFiles certificates;
    std::unique_ptr<googlepeer::GooglePeer> peer;
    int port = 0;
};

} // namespace

TEST(GooglePeer, SignsInThroughTheBrowserWithPKCEAndKeepsItsStateAcrossARestart)
{
    Peer fixture;
    fixture.peer->addAccount("me@example.com", QString());
    const QByteArray verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
    const QByteArray challenge = QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                                     .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const std::string redirect = "http://127.0.0.1:4711/callback";
    auto authorized = fixture.makeClient()->Get(("/o/oauth2/v2/auth?response_type=code&redirect_uri=" + redirect +
                                            "&code_challenge_method=S256&state=st8&code_challenge=" +
                                            challenge.toStdString())
                                               .c_str());
    ASSERT_TRUE(authorized);
    ASSERT_EQ(authorized->status, 302);
    const QUrl target(QString::fromStdString(authorized->get_header_value("Location")));
    EXPECT_EQ(target.host(), "127.0.0.1");
    EXPECT_EQ(target.port(), 4711);
    const QUrlQuery query(target);
    EXPECT_EQ(query.queryItemValue("state"), "st8");
    const std::string code = QUrl::toPercentEncoding(query.queryItemValue("code", QUrl::FullyDecoded)).toStdString();

    // A wrong verifier is refused and spends the code.
    EXPECT_EQ(fixture.token("grant_type=authorization_code&code=" + code + "&redirect_uri=" + redirect +
                            "&code_verifier=wrong").substr(0, 3),
              "400");
    authorized = fixture.makeClient()->Get(("/o/oauth2/v2/auth?redirect_uri=" + redirect + "&code_challenge=" +
                                       challenge.toStdString()).c_str());
    const std::string second =
        QUrl::toPercentEncoding(QUrlQuery(QUrl(QString::fromStdString(authorized->get_header_value("Location"))))
                                    .queryItemValue("code", QUrl::FullyDecoded))
            .toStdString();
    const std::string granted = fixture.token("grant_type=authorization_code&code=" + second + "&redirect_uri=" +
                                              redirect + "&code_verifier=" + verifier.toStdString());
    ASSERT_EQ(granted.substr(0, 4), "200 ") << granted;
    const QJsonObject reply = QJsonDocument::fromJson(QByteArray::fromStdString(granted.substr(4))).object();
    const QString refresh = reply.value("refresh_token").toString();
    EXPECT_TRUE(refresh.startsWith("1//"));
    EXPECT_TRUE(granted.find("\"access_token\": \"ya29.peer1\"") != std::string::npos) << granted;

    // The state survives a restart: the refresh token still works.
    fixture.peer.reset();
    fixture.start();
    const std::string refreshed = fixture.token("grant_type=refresh_token&refresh_token=" + refresh.toStdString());
    EXPECT_EQ(refreshed.substr(0, 4), "200 ") << refreshed;
    EXPECT_TRUE(refreshed.find("ya29.peer2") != std::string::npos) << refreshed;
}

TEST(GooglePeer, TokenSwitchesAndPagedCalendarLists)
{
    Peer fixture;
    fixture.peer->addAccount("me@example.com", "1//rt");
    fixture.peer->addSwitch({googlepeer::SwitchKind::CompactToken, "/oauth2/v4/token", 1});
    EXPECT_EQ(fixture.token("grant_type=refresh_token&refresh_token=1//rt"),
              "200 {\"access_token\":\"ya29.peer1\",\"expires_in\":3599,\"token_type\":\"Bearer\"}");
    fixture.peer->addSwitch({googlepeer::SwitchKind::InvalidGrant, "/oauth2/v4/token", 1});
    EXPECT_EQ(fixture.token("grant_type=refresh_token&refresh_token=1//rt").substr(0, 3), "400");
    EXPECT_EQ(fixture.token("grant_type=refresh_token&refresh_token=1//other").substr(0, 3), "400");

    httplib::Headers headers{{"Authorization", "Bearer ya29.peer1"}};
    fixture.peer->addSwitch({googlepeer::SwitchKind::SmallPages, "/calendar/v3/users/me/calendarList", 0});
    QStringList ids;
    std::string page = "/calendar/v3/users/me/calendarList";
    for (int pages = 0; pages < 5 && !page.empty(); ++pages) {
        const auto reply = fixture.makeClient()->Get(page.c_str(), headers);
        ASSERT_TRUE(reply);
        const QJsonObject list = QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object();
        for (const QJsonValue &item : list.value("items").toArray())
            ids << item.toObject().value("id").toString();
        const QString next = list.value("nextPageToken").toString();
        page = next.isEmpty() ? std::string() : "/calendar/v3/users/me/calendarList?pageToken=" + next.toStdString();
    }
    EXPECT_EQ(ids, QStringList({"en.usa#holiday@group.v.calendar.google.com", "p#weather@group.v.calendar.google.com",
                                "#contacts@group.v.calendar.google.com"}));
    fixture.peer->clearSwitches();
    fixture.peer->addSwitch({googlepeer::SwitchKind::Expired401, QString(), 1});
    EXPECT_EQ(fixture.makeClient()->Get("/oauth2/v1/userinfo", headers)->status, 401);
    EXPECT_EQ(fixture.makeClient()->Get("/oauth2/v1/userinfo", headers)->status, 200);
    EXPECT_EQ(fixture.makeClient()->Get("/oauth2/v1/userinfo", httplib::Headers{{"Authorization", "Bearer nope"}})->status,
              401);
}

// Group deletions as the purge sends them: a user group goes once (then 404), Google's system group
// stays (403); a switch path ending in "*" spoils every path under it.
TEST(GooglePeer, DeletesContactGroupsButTheSystemGroupAndSwitchesMatchPathPrefixes)
{
    Peer fixture;
    fixture.peer->addAccount("me@example.com", "1//rt");
    ASSERT_EQ(fixture.token("grant_type=refresh_token&refresh_token=1//rt").substr(0, 3), "200");
    const httplib::Headers headers{{"Authorization", "Bearer ya29.peer1"}, {"If-Match", "*"}};
    QJsonObject state = fixture.peer->dump();
    QJsonObject accounts = state["accounts"].toObject();
    QJsonObject account = accounts["me@example.com"].toObject();
    account.insert("groups", QJsonArray{QJsonObject{{"id", "fam"}, {"title", "Family"}}, QJsonObject{{"id", "wk"}, {"title", "Work"}}});
    accounts.insert("me@example.com", account);
    state.insert("accounts", accounts);
    QString error;
    ASSERT_TRUE(fixture.peer->seed(state, error)) << error.toStdString();

    fixture.peer->addSwitch({googlepeer::SwitchKind::Error500, "/m8/feeds/groups/*", 1});
    EXPECT_EQ(fixture.makeClient()->Delete("/m8/feeds/groups/me@example.com/full/fam", headers)->status, 500);
    EXPECT_EQ(fixture.makeClient()->Delete("/m8/feeds/groups/me@example.com/full/fam", headers)->status, 200);
    EXPECT_EQ(fixture.makeClient()->Delete("/m8/feeds/groups/me@example.com/full/fam", headers)->status, 404);
    EXPECT_EQ(fixture.makeClient()->Delete("/m8/feeds/groups/default/full/6", headers)->status, 403);
    const auto feed = fixture.makeClient()->Get("/m8/feeds/groups/me@example.com/full", headers);
    ASSERT_TRUE(feed);
    EXPECT_NE(feed->body.find("System Group: My Contacts"), std::string::npos);
    EXPECT_NE(feed->body.find("<title>Work</title>"), std::string::npos);
    EXPECT_EQ(feed->body.find("Family"), std::string::npos);
}

// Tasks v1: lists paged, tasks at most 100 a page whatever "maxResults" asks, "updatedMin" inclusive,
// deleted tasks only with showDeleted, a deletion 204 then 410, an unknown task 404, the list's
// "updated" moved by every task write, and everything kept across a restart.
TEST(GooglePeer, TasksArePagedDatedDeletedAndKept)
{
    Peer fixture;
    fixture.peer->addAccount("me@example.com", "1//rt");
    fixture.peer->setClock(QDateTime::fromString("2026-12-08T10:00:00.000Z", Qt::ISODateWithMs));
    const httplib::Headers bearer{{"Authorization", "Bearer ya29.tasks"}};
    QJsonObject state = fixture.peer->dump();
    QJsonObject accounts = state["accounts"].toObject();
    QJsonObject account = accounts["me@example.com"].toObject();
    account.insert("accessTokens", QJsonArray{"ya29.tasks"});
    accounts.insert("me@example.com", account);
    state.insert("accounts", accounts);
    QString error;
    ASSERT_TRUE(fixture.peer->seed(state, error)) << error.toStdString();
    fixture.peer->addTaskList("me@example.com", "Work", "TLwork");
    for (int index = 0; index < 230; ++index)
        fixture.peer->userPutTask("me@example.com", "@default", {{"title", QStringLiteral("Task %1").arg(index)}});
    const QString first = fixture.peer->userPutTask("me@example.com", "@default", {{"id", "X1"}, {"title", "Later"},
                                                                                  {"due", "2027-03-04T15:16:17.000Z"}});
    const auto get = [&](const std::string &path) {
        auto reply = fixture.makeClient()->Get(path.c_str(), bearer);
        return reply ? std::make_pair(reply->status, QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object())
                     : std::make_pair(0, QJsonObject());
    };
    const auto lists = get("/tasks/v1/users/@me/lists");
    ASSERT_EQ(lists.first, 200);
    ASSERT_EQ(lists.second["items"].toArray().size(), 2);
    const QString defaultList = lists.second["items"].toArray()[0].toObject()["id"].toString();
    EXPECT_EQ(lists.second["items"].toArray()[0].toObject()["updated"].toString(), QString("2026-12-08T10:00:00.232Z"));
    const std::string tasksPath = "/tasks/v1/lists/" + defaultList.toStdString() + "/tasks";
    auto page = get(tasksPath + "?maxResults=100000");
    EXPECT_EQ(page.second["items"].toArray().size(), 100);
    int pages = 1;
    qsizetype total = page.second["items"].toArray().size();
    while (page.second.contains("nextPageToken")) {
        page = get(tasksPath + "?maxResults=100000&pageToken=" + page.second["nextPageToken"].toString().toStdString());
        total += page.second["items"].toArray().size();
        ++pages;
    }
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(total, 231);
    EXPECT_EQ(get(tasksPath + "/X1").second["due"].toString(), "2027-03-04T00:00:00.000Z");

    auto client = fixture.makeClient();
    auto deleted = client->Delete((tasksPath + "/" + first.toStdString()).c_str(), bearer);
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->status, 204);
    EXPECT_EQ(fixture.makeClient()->Delete((tasksPath + "/" + first.toStdString()).c_str(), bearer)->status, 410);
    EXPECT_EQ(fixture.makeClient()->Delete((tasksPath + "/nothing").c_str(), bearer)->status, 404);
    const std::string since = tasksPath + "?updatedMin=2026-12-08T10:00:00.233Z";
    EXPECT_EQ(get(since).second["items"].toArray().size(), 0);
    const auto withDeleted = get(since + "&showDeleted=true");
    ASSERT_EQ(withDeleted.second["items"].toArray().size(), 1);
    EXPECT_TRUE(withDeleted.second["items"].toArray()[0].toObject()["deleted"].toBool());
    EXPECT_EQ(get("/tasks/v1/users/@me/lists").second["items"].toArray()[0].toObject()["updated"].toString(),
              QString("2026-12-08T10:00:00.233Z"));

    fixture.peer.reset();
    fixture.start();
    EXPECT_EQ(get(tasksPath + "/X1").second["deleted"].toBool(), true);
    EXPECT_EQ(get("/tasks/v1/lists/TLwork/tasks").first, 200);
    EXPECT_EQ(get("/tasks/v1/lists/unknown/tasks").first, 404);
}

// The state file: each write costs one journal line of its own size however many records the state
// holds; a restart replays the lines over the snapshot, drops a line a kill cut short and keeps every
// contact, event, task, token and counter exactly as they stood.
TEST(GooglePeer, KeepsEveryWriteInAShortJournalLineAcrossARestart)
{
    Peer fixture;
    const QString email = QStringLiteral("me@example.com");
    fixture.peer->addAccount(email, "1//rt");
    QJsonObject state = fixture.peer->dump();
    QJsonObject account = state["accounts"].toObject()[email].toObject();
    QJsonObject contacts;
    for (int index = 0; index < 3000; ++index)
        contacts.insert(QStringLiteral("s%1").arg(index),
                        QJsonObject{{"body", QStringLiteral("<gd:name><gd:fullName>Seeded %1</gd:fullName></gd:name>").arg(index)},
                                    {"title", QStringLiteral("Seeded %1").arg(index)},
                                    {"updated", "2026-01-01T00:00:00.000Z"}, {"etag", 1}});
    account.insert("contacts", contacts);
    QJsonObject accounts{{email, account}};
    state.insert("accounts", accounts);
    QString error;
    ASSERT_TRUE(fixture.peer->seed(state, error)) << error.toStdString();
    const QString journalPath = fixture.folder.filePath("state.json.journal");
    const qint64 snapshotBytes = QFileInfo(fixture.folder.filePath("state.json")).size();
    ASSERT_GT(snapshotBytes, 300000);

    const QString added = fixture.peer->userAddContact(
        email, "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'><gd:name>"
               "<gd:fullName>Ada Added</gd:fullName></gd:name></entry>");
    ASSERT_FALSE(added.isEmpty());
    EXPECT_TRUE(fixture.peer->userDeleteContact(email, "s17"));
    EXPECT_TRUE(fixture.peer->userSetPhoto(email, "s18", QByteArray("\xff\xd8picture", 9)));
    EXPECT_TRUE(fixture.peer->userPutEvent(email, "primary", {{"id", "ev1"}, {"summary", "Standup"}}));
    EXPECT_FALSE(fixture.peer->userPutTask(email, "@default", {{"title", "Pay the rent"}}).isEmpty());
    EXPECT_EQ(fixture.token("grant_type=refresh_token&refresh_token=1%2F%2Frt&client_id=c").substr(0, 3), "200");
    const qint64 journalBytes = QFileInfo(journalPath).size();
    EXPECT_GT(journalBytes, 0);
    EXPECT_LT(journalBytes, 8 * 4096) << "six writes over a state of " << snapshotBytes << " bytes";
    // One task moved to another list and one dropped from its list: each is where the move left it
    // after a restart, not back in its old list as well.
    const QString work = fixture.peer->addTaskList(email, "Work", QString())["id"].toString();
    const QString moved = fixture.peer->userPutTask(email, "@default", {{"title", "Moved"}});
    const QString dropped = fixture.peer->userPutTask(email, "@default", {{"title", "Dropped"}});
    EXPECT_TRUE(fixture.peer->userMoveTask(email, moved, "@default", work));
    EXPECT_TRUE(fixture.peer->userMoveTask(email, dropped, "@default", QString()));
    const QJsonObject before = fixture.peer->dump();

    // A kill while the next line was being written leaves it without its line end.
    QFile journal(journalPath);
    ASSERT_TRUE(journal.open(QIODevice::Append));
    journal.write(R"({"state":{"accounts":{}},"records":[{"path":["me@example.com","contacts","s1"],"value":{"tit)");
    journal.close();
    fixture.peer.reset();
    fixture.start();
    EXPECT_EQ(QJsonDocument(fixture.peer->dump()).toJson(), QJsonDocument(before).toJson());
    // Started again, the journal is folded into the snapshot: nothing follows the cut line.
    EXPECT_EQ(QFileInfo(journalPath).size(), 0);
    EXPECT_TRUE(fixture.peer->userEditContact(
        email, "s1", "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'><gd:name>"
                     "<gd:fullName>Edited</gd:fullName></gd:name></entry>"));
    fixture.peer.reset();
    fixture.start();
    const QJsonObject after = fixture.peer->dump()["accounts"].toObject()[email].toObject();
    EXPECT_EQ(after["contacts"].toObject()["s1"].toObject()["title"].toString(), QString("Edited"));
    EXPECT_TRUE(after["contacts"].toObject()["s17"].toObject()["deleted"].toBool());
    EXPECT_EQ(after["contacts"].toObject().size(), 3001);
    QStringList tasksByList;
    const QJsonObject lists = after["tasks"].toObject();
    for (auto list = lists.begin(); list != lists.end(); ++list) {
        for (const QString &id : list.value().toObject().keys())
            tasksByList << (list.key() == work ? "Work:" : "default:") + id;
    }
    tasksByList.sort();
    EXPECT_EQ(tasksByList.filter(moved), QStringList{"Work:" + moved});
    EXPECT_TRUE(tasksByList.filter(dropped).isEmpty()) << tasksByList.join(u',').toStdString();
}
