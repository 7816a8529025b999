#include "PhonePeer.h"
#include "RestKitTestSupport.h"

#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <atomic>
#include <map>
#include <thread>

using namespace phonepeer;
using namespace platform;

namespace {

const QString kDeviceId = QStringLiteral("QP-TEST-7");
const QString kCredentials = QStringLiteral("password=QP-TEST-7&Username=QP-TEST-7&");

// A peer on a free loopback port and a REST client for it.
class PhonePeerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ensureApplication();
        startPeer({});
    }

    void startPeer(const QString &dataFile)
    {
        client.reset();
        peer.reset();
        PhonePeer::Options options;
        options.port = 0;
        options.deviceId = kDeviceId;
        options.dataFile = dataFile;
        peer = std::make_unique<PhonePeer>(options);
        QString problem;
        ASSERT_TRUE(peer->start(problem)) << problem.toStdString();
        client = RKClient::clientWithBaseURL(QStringLiteral("http://127.0.0.1:%1").arg(peer->port()));
    }

    std::shared_ptr<RKRequest> request(const QString &path, double timeoutSeconds = 10)
    {
        std::shared_ptr<RKRequest> made = client->requestWithResourcePath(path);
        made->setMethod(RKRequestMethod::POST);
        made->setTimeoutInterval(timeoutSeconds);
        return made;
    }

    // Sends a request with a text body or form fields and answers the reply text; a failed request
    // fails the test.
    QString send(const QString &path, const std::function<void(RKRequest &)> &setBody)
    {
        std::shared_ptr<RKRequest> made = request(path);
        setBody(*made);
        const RKRequestOutcome outcome = made->sendSynchronously();
        EXPECT_TRUE(outcome.isLoaded()) << path.toStdString() << ": " << outcome.error().description().toStdString();
        return outcome.response().bodyAsString();
    }

    QString sendText(const QString &path, const QString &body)
    {
        return send(path, [&body](RKRequest &made) { made.setHTTPBodyString(body); });
    }

    QString sendForm(const QString &path, const QVariantMap &params)
    {
        return send(path, [&params](RKRequest &made) { made.setParams(params); });
    }

    QString logon()
    {
        return sendForm(QStringLiteral("/hmx_logon"),
                        {{"logging", "1"}, {"build", "0001"}, {"source", "apple"}, {"hmproductcode", "HMMAC10"}});
    }

    QString logoff(bool isCancel = false)
    {
        return isCancel ? sendForm(QStringLiteral("/hmx_logoff"), {{"canceled", "1"}})
                        : sendForm(QStringLiteral("/hmx_logoff"), {{"cancelled", "0"}});
    }

    // Posts the body as a client that accepts compressed replies, checks that the reply is plain text
    // beginning with the expected word, and answers it.
    std::string httpPost(const char *path, const std::string &body, const std::string &expectedStart)
    {
        httplib::Client http("127.0.0.1", peer->port());
        http.set_decompress(false);
        const httplib::Result reply =
            http.Post(path, {{"Accept-Encoding", "gzip, deflate, br"}}, body, "application/x-www-form-urlencoded");
        EXPECT_TRUE(reply) << path;
        if (!reply)
            return {};
        EXPECT_FALSE(reply->has_header("Content-Encoding")) << path;
        EXPECT_EQ(reply->get_header_value("Content-Length"), std::to_string(reply->body.size())) << path;
        EXPECT_EQ(reply->body.rfind(expectedStart, 0), 0u) << path;
        return reply->body;
    }

    QString listPage(const QString &conduit, int offset, bool sinceLastSync)
    {
        QString body = kCredentials + QStringLiteral("conduit=%1&").arg(conduit);
        if (sinceLastSync)
            body += QStringLiteral("modified=2026-01-01 00:00:00&");
        body += QStringLiteral("Limit=512&Offset=%1&").arg(offset);
        return sendText(QStringLiteral("/hmx_list"), body);
    }

    QString control(const QVariantMap &fields) { return sendForm(QStringLiteral("/peer_control"), fields); }

    std::unique_ptr<PhonePeer> peer;
    std::shared_ptr<RKClient> client;
};

// The rows of a list reply as maps of column to decoded value; the reply is read as a client does:
// status line, some text, the "List=" line, a header and rows that must match the header.
struct ParsedList
{
    QString status;
    QList<QMap<QString, QString>> rows;
    int badRows = 0;
};

ParsedList parseList(const QString &reply)
{
    ParsedList parsed;
    const QStringList lines = reply.split(u'\n');
    parsed.status = lines.value(0);
    const qsizetype listAt = lines.indexOf(QRegularExpression(QStringLiteral("^List=.*")));
    if (listAt < 2)
        return parsed;
    const QStringList header = lines.value(listAt + 1).split(u'\t');
    for (qsizetype index = listAt + 2; index < lines.size(); ++index) {
        if (lines.at(index).isEmpty())
            continue;
        const QStringList items = lines.at(index).split(u'\t');
        if (items.size() != header.size()) {
            ++parsed.badRows;
            continue;
        }
        QMap<QString, QString> row;
        for (qsizetype column = 0; column < header.size(); ++column)
            row.insert(header.at(column), decodeValue(items.at(column)));
        parsed.rows.append(row);
    }
    return parsed;
}

QString updateBody(const QStringList &lines)
{
    return QStringLiteral("Command=login&") + kCredentials + QStringLiteral("Percent=100\n") + lines.join(u'\n') +
           QStringLiteral("&HASALARM=1\n");
}

} // namespace

TEST_F(PhonePeerTest, RunsAWholeSyncFromLogonToLogoff)
{
    const QMap<QString, QString> ann{
        {"NEWFNAME", "Ann & Co"}, {"NOTE", "line one\nline\ttwo"}, {"EMAIL", "ann@example.org"}};
    const QString annUid = peer->addPhoneRecord(Conduit::Contacts, ann);
    const QString bobUid = peer->addPhoneRecord(Conduit::Contacts, {{"NEWFNAME", "Bob"}});
    peer->addPhoneRecord(Conduit::Memos, {{"SUBJECT", "shopping"}, {"NOTE", "milk"}});

    // Before logon nothing but logon, logoff and the ping is answered.
    EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), kCredentials + "conduit=A&mode=idlist&"),
              QStringLiteral("FAIL\nNot logged on\n"));

    const QString logonReply = logon();
    EXPECT_TRUE(logonReply.startsWith(QStringLiteral("OK\nWifiVersion=")));
    EXPECT_TRUE(logonReply.contains(QStringLiteral("\nDeviceID=QP-TEST-7\n")));
    EXPECT_TRUE(logonReply.contains(
        QRegularExpression(QStringLiteral("\nDeviceTime=\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n"))));

    const ParsedList ids = parseList(sendText(QStringLiteral("/hmx_list"), kCredentials + "conduit=A&mode=idlist&"));
    EXPECT_EQ(ids.status, QStringLiteral("OK"));
    ASSERT_EQ(ids.rows.size(), 2);
    EXPECT_EQ(ids.rows.at(0).value("UID"), annUid);
    EXPECT_EQ(ids.rows.at(1).value("ACTION"), QStringLiteral("add"));

    // A first sync asks without a date and gets every record, values intact after decoding.
    const ParsedList first = parseList(listPage(QStringLiteral("A"), 0, false));
    ASSERT_EQ(first.rows.size(), 2);
    EXPECT_EQ(first.rows.at(0).value("NEWFNAME"), ann.value("NEWFNAME"));
    EXPECT_EQ(first.rows.at(0).value("NOTE"), ann.value("NOTE"));
    EXPECT_EQ(first.rows.at(1).value("EMAIL"), QString());

    // The desktop sends an add, a change and a delete in one batch.
    const QString updateReply =
        sendText(QStringLiteral("/hmx_update"), updateBody({"Command=ContactAdd&UID=mac-1&NEWFNAME=Cy\x07"
                                                            "Dee&NOTE=a\rb",
                                                            "Command=ContactChange&UID=" + annUid + "&NEWFNAME=Ann",
                                                            "Command=ContactDelete&UID=" + bobUid}));
    const QStringList replyLines = updateReply.split(u'\n');
    ASSERT_EQ(replyLines.size(), 2) << updateReply.toStdString();
    EXPECT_TRUE(replyLines.at(0).startsWith(QStringLiteral("mac-1\tA")));
    EXPECT_EQ(replyLines.at(1), QStringLiteral("OK"));
    const QString cyUid = replyLines.at(0).section(u'\t', 1);

    QList<PhoneRecord> contacts = peer->records(Conduit::Contacts);
    ASSERT_EQ(contacts.size(), 2);
    const auto cy =
        std::find_if(contacts.begin(), contacts.end(), [&](const PhoneRecord &r) { return r.uid == cyUid; });
    ASSERT_NE(cy, contacts.end());
    EXPECT_EQ(cy->fields.value("NEWFNAME"), QStringLiteral("Cy&Dee"));
    EXPECT_EQ(cy->fields.value("NOTE"), QStringLiteral("a\nb"));
    EXPECT_FALSE(cy->fields.contains("HASALARM"));
    EXPECT_EQ(logoff(), QStringLiteral("OK\n"));
    EXPECT_FALSE(peer->hasChanges());

    // A second sync without changes lists nothing; an edit on the phone is listed as an update.
    logon();
    EXPECT_EQ(listPage(QStringLiteral("A"), 0, true), QStringLiteral("OK\nCount=0\n"));
    ASSERT_TRUE(peer->updatePhoneRecord(Conduit::Contacts, cyUid, {{"NEWFNAME", "Cy"}}));
    ASSERT_TRUE(peer->deletePhoneRecord(Conduit::Contacts, annUid));
    const ParsedList changed = parseList(listPage(QStringLiteral("A"), 0, true));
    ASSERT_EQ(changed.rows.size(), 2);
    EXPECT_EQ(changed.rows.at(0).value("ACTION"), QStringLiteral("delete"));
    EXPECT_EQ(changed.rows.at(0).value("UID"), annUid);
    EXPECT_EQ(changed.rows.at(1).value("ACTION"), QStringLiteral("update"));

    // A cancelled sync keeps the phone's changes for the next one; a finished one clears them.
    EXPECT_EQ(logoff(true), QStringLiteral("OK\n"));
    logon();
    EXPECT_EQ(parseList(listPage(QStringLiteral("A"), 0, true)).rows.size(), 2);
    logoff();
    logon();
    EXPECT_EQ(parseList(listPage(QStringLiteral("A"), 0, true)).rows.size(), 0);

    // A photo follows its credential header directly; the keep-alive ping carries JSON.
    const QByteArray photo("\xff\xd8\xff\xe0 jpeg bytes \x00\x01", 18);
    std::shared_ptr<RKRequest> picture = request(QStringLiteral("/hmx_updatepicture"));
    picture->setHTTPBody("Command=login&" + kCredentials.toUtf8() + "Percent=100" + photo);
    EXPECT_EQ(picture->sendSynchronously().response().bodyAsString(), QStringLiteral("OK\n"));
    ASSERT_EQ(peer->photos().size(), 1);
    EXPECT_EQ(peer->photos().at(0), photo);
    EXPECT_EQ(sendText(QStringLiteral("/hmx_updatepicture"), QStringLiteral("Command=login&password=X&Percent=100")),
              QStringLiteral("FAIL\nInvalid Device ID\n"));
    std::shared_ptr<RKRequest> ping = request(QStringLiteral("/hmx_getdeviceinfo"));
    ping->setParams(RKRequestSerialization::serializationWithData(
        "{\"Username\":\"QP-TEST-7\",\"password\":\"QP-TEST-7\"}", QString::fromLatin1(RKMIMETypeJSON)));
    EXPECT_EQ(ping->sendSynchronously().response().bodyAsString(), QStringLiteral("OK\nDeviceID=QP-TEST-7\n"));

    // Purge empties one conduit only.
    EXPECT_EQ(sendText(QStringLiteral("/hmx_purge"), kCredentials + "conduit=A&"), QStringLiteral("OK\n"));
    EXPECT_TRUE(peer->records(Conduit::Contacts).isEmpty());
    EXPECT_EQ(peer->records(Conduit::Memos).size(), 1);
}

TEST_F(PhonePeerTest, AnswersInPlainTextWhateverTheClientAccepts)
{
    for (int index = 0; index < 300; ++index)
        peer->addPhoneRecord(Conduit::Contacts, {{"NEWFNAME", QStringLiteral("Person %1").arg(index)}});
    const std::string listBody = (kCredentials + QStringLiteral("conduit=A&Limit=512&Offset=0&")).toStdString();
    const std::string beforeLogon = httpPost("/hmx_list", listBody, "FAIL\n");
    EXPECT_EQ(beforeLogon, "FAIL\nNot logged on\n");
    logon();
    const std::string page = httpPost("/hmx_list", listBody, "OK\n");
    EXPECT_EQ(QString::fromStdString(page), listPage(QStringLiteral("A"), 0, false));
    EXPECT_EQ(parseList(QString::fromStdString(page)).rows.size(), 300);
}

TEST_F(PhonePeerTest, PagesListsBy512AndRefusesBadRequests)
{
    for (int index = 0; index < 1100; ++index)
        peer->addPhoneRecord(Conduit::Calendar, {{"SUBJECT", QStringLiteral("event %1").arg(index)}});
    logon();
    const int pageSizes[] = {512, 512, 76, 0};
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE(page);
        EXPECT_EQ(parseList(listPage(QStringLiteral("D"), page * 512, false)).rows.size(), pageSizes[page]);
    }

    struct Row
    {
        const char *name;
        QString path;
        QString body;
        QString reply;
    };
    QStringList tooMany;
    for (int index = 0; index < 101; ++index)
        tooMany.append(QStringLiteral("Command=MemoAdd&UID=t%1&SUBJECT=x").arg(index));
    const Row rows[] = {
        {"another device", "/hmx_list", "password=X&Username=Y&conduit=D&mode=idlist&", "FAIL\nInvalid Device ID\n"},
        {"no conduit", "/hmx_purge", kCredentials, "FAIL\nUnknown conduit\n"},
        {"a bad offset", "/hmx_list", kCredentials + "conduit=D&Limit=512&Offset=-5&",
         "FAIL\nInvalid Limit or Offset\n"},
        {"101 records", "/hmx_update", updateBody(tooMany), "FAIL\nToo many records in one update (101)\n"},
        {"an unknown command", "/hmx_update",
         updateBody({"Command=MemoAdd&UID=t1&SUBJECT=kept out", "Command=Fly&UID=2"}), "FAIL\nUnknown command 'Fly'\n"},
        {"a change without id", "/hmx_update", updateBody({"Command=MemoChange&SUBJECT=x"}),
         "FAIL\nMemoChange without a UID\n"},
        {"an update without credentials", "/hmx_update", "Command=MemoAdd&UID=t1\n", "FAIL\nInvalid Device ID\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(sendText(row.path, row.body), row.reply);
    }
    // A refused batch changed nothing.
    EXPECT_TRUE(peer->records(Conduit::Memos).isEmpty());

    // A batch of exactly 100 goes through, and a header-only batch is fine too.
    tooMany.removeLast();
    EXPECT_EQ(sendText(QStringLiteral("/hmx_update"), updateBody(tooMany)).split(u'\n').size(), 101);
    EXPECT_EQ(sendText(QStringLiteral("/hmx_update"), updateBody({})), QStringLiteral("OK"));
    EXPECT_EQ(peer->records(Conduit::Memos).size(), 100);
}

TEST_F(PhonePeerTest, MisbehavesOnRequestAsTheClientSeesIt)
{
    peer->addPhoneRecord(Conduit::Tasks, {{"SUBJECT", "one"}});
    peer->addPhoneRecord(Conduit::Tasks, {{"SUBJECT", "two"}});
    logon();

    // A FAIL reply with a reason, once, then normal replies again.
    EXPECT_EQ(control({{"fault", "fail"}, {"path", "/hmx_list"}, {"times", "1"}, {"reason", "Invalid Device ID"}}),
              QStringLiteral("OK\n"));
    EXPECT_EQ(listPage(QStringLiteral("T"), 0, false), QStringLiteral("FAIL\nInvalid Device ID\n"));
    EXPECT_EQ(parseList(listPage(QStringLiteral("T"), 0, false)).rows.size(), 2);

    // An empty reply is still a reply.
    control({{"fault", "empty"}, {"path", "/hmx_purge"}, {"times", "1"}});
    EXPECT_EQ(sendText(QStringLiteral("/hmx_purge"), kCredentials + "conduit=T&"), QString());
    EXPECT_EQ(peer->records(Conduit::Tasks).size(), 2);

    // Malformed rows: one row whose field count differs from the header.
    control({{"fault", "malformed"}, {"path", "/hmx_list"}, {"times", "1"}});
    const ParsedList malformed = parseList(listPage(QStringLiteral("T"), 0, false));
    EXPECT_EQ(malformed.badRows, 1);
    EXPECT_EQ(malformed.rows.size(), 2);

    // A dropped connection is a lost connection to the client, though the phone did the work.
    control({{"fault", "drop"}, {"path", "/hmx_update"}, {"times", "1"}});
    std::shared_ptr<RKRequest> dropped = request(QStringLiteral("/hmx_update"));
    dropped->setHTTPBodyString(updateBody({"Command=TodoAdd&UID=mac-9&SUBJECT=three"}));
    RKRequestOutcome outcome = dropped->sendSynchronously();
    ASSERT_EQ(outcome.kind(), RKRequestOutcome::Kind::Failed);
    EXPECT_EQ(outcome.error().code(), NSURLErrorNetworkConnectionLost);
    EXPECT_TRUE(outcome.error().localizedDescription().contains(QStringLiteral("The network connection was lost")));
    EXPECT_EQ(peer->records(Conduit::Tasks).size(), 3);

    // A slow reply runs into the client's own time-out.
    control({{"fault", "delay"}, {"path", "/hmx_list"}, {"delay_ms", "5000"}, {"times", "1"}});
    std::shared_ptr<RKRequest> slow = request(QStringLiteral("/hmx_list"), 0.1);
    slow->setHTTPBodyString(kCredentials + "conduit=T&mode=idlist&");
    outcome = slow->sendSynchronously();
    ASSERT_EQ(outcome.kind(), RKRequestOutcome::Kind::Failed);
    EXPECT_EQ(outcome.error().domain(), QString::fromLatin1(RKErrorDomain));
    EXPECT_EQ(outcome.error().code(), RKRequestConnectionTimeoutError);

    // Cancelling a slow request is a cancel, not a failure.
    control({{"fault", "delay"}, {"delay_ms", "5000"}, {"times", "1"}});
    RecordingDelegate delegate;
    std::shared_ptr<RKRequest> cancelled = request(QStringLiteral("/hmx_list"));
    cancelled->setHTTPBodyString(kCredentials + "conduit=T&mode=idlist&");
    cancelled->setDelegate(&delegate);
    const qsizetype requestsBefore = peer->requestLog().size();
    cancelled->send();
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer->requestLog().size() > requestsBefore; }))
        << "the request at the peer";
    cancelled->cancel();
    ASSERT_TRUE(testsupport::waitUntil([&] { return delegate.hasEnded(); })) << "the cancel";
    EXPECT_EQ(delegate.events(), QStringList({"start", "cancel"}));

    // A bad switch is refused; reset clears them all.
    std::shared_ptr<RKRequest> badSwitch = request(QStringLiteral("/peer_control"));
    badSwitch->setParams(QVariantMap{{"fault", "explode"}});
    outcome = badSwitch->sendSynchronously();
    EXPECT_EQ(outcome.response().statusCode(), 400);
    EXPECT_EQ(outcome.response().bodyAsString(), QStringLiteral("FAIL\nunknown fault 'explode'\n"));
    control({{"fault", "fail"}});
    EXPECT_EQ(logoff(), QStringLiteral("FAIL\nPeer told to fail\n"));
    control({{"fault", "reset"}});
    EXPECT_EQ(logoff(), QStringLiteral("OK\n"));
}

TEST_F(PhonePeerTest, KeepsItsRecordsInAFile)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString dataFile = folder.filePath(QStringLiteral("phone.json"));
    startPeer(dataFile);
    const QString uid = peer->addPhoneRecord(Conduit::Contacts, {{"NEWFNAME", "Dora\tTab"}});
    logon();
    sendText(QStringLiteral("/hmx_update"), updateBody({"Command=CalendarAdd&UID=e1&SUBJECT=Lunch&HASALARM=0"}));
    logoff();

    startPeer(dataFile);
    ASSERT_EQ(peer->records(Conduit::Contacts).size(), 1);
    EXPECT_EQ(peer->records(Conduit::Contacts).at(0).fields.value("NEWFNAME"), QStringLiteral("Dora\tTab"));
    ASSERT_EQ(peer->records(Conduit::Calendar).size(), 1);
    // The record's own alarm value wins over the end marker of the last line.
    EXPECT_EQ(peer->records(Conduit::Calendar).at(0).fields.value("HASALARM"), QStringLiteral("0"));
    EXPECT_FALSE(peer->hasChanges());
    // New ids never repeat old ones.
    EXPECT_NE(peer->addPhoneRecord(Conduit::Contacts, {}), uid);

    peer.reset();
    QFile broken(dataFile);
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("{\"conduits\":{\"Z\":[]}}");
    broken.close();
    PhonePeer::Options options;
    options.port = 0;
    options.dataFile = dataFile;
    PhonePeer refused(options);
    QString problem;
    EXPECT_FALSE(refused.start(problem));
    EXPECT_TRUE(problem.contains(QStringLiteral("unknown conduit \"Z\""))) << problem.toStdString();
}

// An edit costs one line in the journal beside the data file, whatever the file holds, byte for byte;
// a sync that changes nothing costs none.
TEST_F(PhonePeerTest, AnEditCostsOneJournalLineAndASyncWithoutChangesNone)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString dataFile = folder.filePath(QStringLiteral("phone.json"));
    startPeer(dataFile);
    const QString uid = peer->addPhoneRecord(Conduit::Contacts, {{"LASTMODIFIED", "2026-03-01 09:30:00"}, {"NEWFNAME", "Eli"}});
    ASSERT_EQ(uid, QStringLiteral("A000001"));
    QFile journal(dataFile + QStringLiteral(".journal"));
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    EXPECT_EQ(journal.readAll().toStdString(),
              R"({"nextId":2,"records":{"A":{"A000001":{"change":"add","fields":{"LASTMODIFIED":"2026-03-01 09:30:00",)"
              R"("NEWFNAME":"Eli"},"uid":"A000001"}}}})"
              "\n");
    logon();
    logoff();
    const qint64 syncedBytes = journal.size();
    EXPECT_GT(syncedBytes, 0) << "the sync took the add out of the phone's change log";
    logon();
    logoff();
    EXPECT_EQ(journal.size(), syncedBytes);
    EXPECT_FALSE(QFile::exists(dataFile)) << "no snapshot before the journal outgrows it or the peer stops";
}

namespace {

// Starts the peer program with the switches; answers its address from its listening line, or nothing.
QString startProgram(QProcess &program, const QStringList &switches)
{
    program.start(QStringLiteral(HM_PHONE_PEER_PATH), QStringList{"--port", "0", "--device-id", kDeviceId} + switches);
    if (!program.waitForStarted())
        return {};
    QString firstLine;
    testsupport::waitUntil([&] {
        if (program.canReadLine())
            firstLine = QString::fromUtf8(program.readLine()).trimmed();
        return !firstLine.isEmpty() || program.state() == QProcess::NotRunning;
    });
    if (!firstLine.startsWith(QStringLiteral("phone_peer listening on 127.0.0.1:")))
        return {};
    return QStringLiteral("http://") + firstLine.section(u' ', -1);
}

} // namespace

TEST_F(PhonePeerTest, TheProgramTakesItsSwitchesFromTheCommandLine)
{
    QProcess program;
    const QString address = startProgram(program, {"--fail", "/hmx_logon", "--fail-reason", "Bad code", "--times", "1"});
    ASSERT_FALSE(address.isEmpty()) << "the program's listening line";
    client = RKClient::clientWithBaseURL(address);

    EXPECT_EQ(logon(), QStringLiteral("FAIL\nBad code\n"));
    EXPECT_TRUE(logon().startsWith(QStringLiteral("OK\n")));
    // Tests that run the program read its request log back, one path a line.
    const QUrl url(address);
    httplib::Client http(url.host().toStdString(), url.port());
    const httplib::Result requests = http.Get("/peer_requests");
    ASSERT_TRUE(requests);
    EXPECT_EQ(requests->body, "/hmx_logon\n/hmx_logon\n");
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);

    QProcess wrong;
    wrong.start(QStringLiteral(HM_PHONE_PEER_PATH), {"--port", "70000"});
    ASSERT_TRUE(wrong.waitForFinished(10000));
    EXPECT_EQ(wrong.exitCode(), 2);
}

// The switches the sync's hostile cases need: a busy logon, refused adds, adds left out of the reply.
TEST_F(PhonePeerTest, TheProgramRefusesLogonsAndAddsOnRequest)
{
    QProcess program;
    const QString address =
        startProgram(program, {"--busy", "--refuse-adds", "3", "--omit-adds", "2", "--times", "1"});
    ASSERT_FALSE(address.isEmpty()) << "the program's listening line";
    client = RKClient::clientWithBaseURL(address);
    EXPECT_EQ(logon(), QStringLiteral("BUSY\n"));
    EXPECT_TRUE(logon().startsWith(QStringLiteral("OK\n")));
    const QString reply = sendText(QStringLiteral("/hmx_update"),
                                   updateBody({"Command=MemoAdd&UID=t1&SUBJECT=a", "Command=MemoAdd&UID=t2&SUBJECT=b",
                                               "Command=MemoAdd&UID=t3&SUBJECT=c"}));
    // The second add is stored but left out, the third refused.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^t1\tM\\d+\nt3\tFAIL\nOK$")).match(reply).hasMatch())
        << reply.toStdString();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(10000));
}

TEST_F(PhonePeerTest, AnswersEveryTruncatedOrGarbledRequestWithOkOrFail)
{
    peer->addPhoneRecord(Conduit::Contacts, {{"NEWFNAME", "Eve"}});
    logon();
    const QByteArray update = updateBody({"Command=ContactAdd&UID=mac-1&NEWFNAME=Fay&NOTE=x\x07y",
                                          "Command=CalendarChange&UID=D1&SUBJECT=Tea", "Command=TodoDelete&UID=T5"})
                                  .toUtf8();
    const QByteArray list = (kCredentials + "conduit=A&modified=2026-01-01 00:00:00&Limit=512&Offset=0&").toUtf8();
    std::vector<std::pair<QString, QByteArray>> samples;
    for (qsizetype length = 0; length <= update.size(); length += 3)
        samples.emplace_back(QStringLiteral("/hmx_update"), update.left(length));
    for (qsizetype length = 0; length <= list.size(); length += 3)
        samples.emplace_back(QStringLiteral("/hmx_list"), list.left(length));
    quint32 seed = 12345;
    for (int round = 0; round < 60; ++round) {
        QByteArray garbled = round % 2 == 0 ? update : list;
        for (int flip = 0; flip < 4; ++flip) {
            seed = seed * 1103515245u + 12345u;
            garbled[qsizetype(seed % quint32(garbled.size()))] = char(seed >> 16);
        }
        samples.emplace_back(round % 2 == 0 ? QStringLiteral("/hmx_update") : QStringLiteral("/hmx_list"), garbled);
    }
    for (const auto &[path, body] : samples) {
        SCOPED_TRACE(body.toStdString());
        std::shared_ptr<RKRequest> made = request(path);
        made->setHTTPBody(body);
        const RKRequestOutcome outcome = made->sendSynchronously();
        ASSERT_TRUE(outcome.isLoaded()) << outcome.error().description().toStdString();
        const QString reply = outcome.response().bodyAsString();
        EXPECT_TRUE(reply.startsWith(QStringLiteral("OK")) || reply.startsWith(QStringLiteral("FAIL\n")) ||
                    reply.endsWith(QStringLiteral("\nOK")))
            << reply.toStdString();
    }
    EXPECT_TRUE(logoff().startsWith(QStringLiteral("OK")));
}

// Each reading of a list reply's numbers, byte for byte: Count= as the page's rows, as the listing's
// total, or absent (another line in its place), and "List=" followed by the list's name or its rows.
// With the desktop's own writes listed, what an update wrote is listed after the sync's logoff.
TEST_F(PhonePeerTest, WritesTheNumbersOfItsListsInEachReadingAndListsOwnWritesOnRequest)
{
    peer->addPhoneRecord(Conduit::Memos, {{"SUBJECT", QStringLiteral("one")}}, QStringLiteral("M1"));
    peer->addPhoneRecord(Conduit::Memos, {{"SUBJECT", QStringLiteral("two")}}, QStringLiteral("M2"));
    logon();
    const QString idList = kCredentials + QStringLiteral("conduit=M&mode=idlist&");
    const QString lastPage = kCredentials + QStringLiteral("conduit=M&Limit=1&Offset=1&");
    const QString pastTheEnd = kCredentials + QStringLiteral("conduit=M&Limit=1&Offset=2&");
    using Count = ListReadings::Count;
    struct Row
    {
        ListReadings readings;
        const char *idList;
        const char *lastPage;
        const char *pastTheEnd;
    };
    const Row rows[] = {
        {{Count::PageRows, false, false},
         "OK\nCount=2\nList=Memos\nACTION\tUID\nadd\tM1\nadd\tM2\n",
         "OK\nCount=1\nList=Memos\n",
         "OK\nCount=0\n"},
        {{Count::ListingTotal, true, false},
         "OK\nCount=2\nList=2\nACTION\tUID\nadd\tM1\nadd\tM2\n",
         "OK\nCount=2\nList=1\n",
         "OK\nCount=2\n"},
        {{Count::Absent, false, false},
         "OK\nConduit=M\nList=Memos\nACTION\tUID\nadd\tM1\nadd\tM2\n",
         "OK\nConduit=M\nList=Memos\n",
         "OK\nConduit=M\n"},
    };
    for (const Row &row : rows) {
        peer->setListReadings(row.readings);
        EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), idList), QLatin1String(row.idList));
        const QString page = sendText(QStringLiteral("/hmx_list"), lastPage);
        EXPECT_TRUE(page.startsWith(QLatin1String(row.lastPage))) << page.toStdString();
        EXPECT_TRUE(page.contains(QStringLiteral("\nadd\tM2\t"))) << page.toStdString();
        EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), pastTheEnd), QLatin1String(row.pastTheEnd));
    }

    peer->setListReadings({Count::PageRows, false, true});
    const QString sinceLastSync = kCredentials + QStringLiteral("conduit=M&modified=2026-01-01 00:00:00&");
    logoff();
    logon();
    EXPECT_EQ(sendText(QStringLiteral("/hmx_update"),
                       updateBody({"Command=MemoChange&UID=M1&SUBJECT=desk", "Command=MemoDelete&UID=M2"})),
              QStringLiteral("OK"));
    EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), sinceLastSync), QStringLiteral("OK\nCount=0\n"))
        << "the sync that writes them lists none of them";
    logoff();
    logon();
    EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), sinceLastSync),
              QStringLiteral("OK\nCount=2\nList=Memos\nACTION\tUID\tSUBJECT\nupdate\tM1\tdesk\ndelete\tM2\t\n"));
    logoff();
    logon();
    EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), sinceLastSync), QStringLiteral("OK\nCount=0\n"));
}

// The readings of list replies from the command line; an unknown reading is refused.
TEST_F(PhonePeerTest, TheProgramTakesItsListReadingsFromTheCommandLine)
{
    QProcess program;
    const QString address = startProgram(program, {"--count", "total", "--list-number", "--list-own-writes"});
    ASSERT_FALSE(address.isEmpty()) << "the program's listening line";
    client = RKClient::clientWithBaseURL(address);
    EXPECT_TRUE(logon().startsWith(QStringLiteral("OK\n")));
    EXPECT_EQ(sendText(QStringLiteral("/hmx_update"), updateBody({"Command=MemoAdd&UID=t1&SUBJECT=a"})).count(u'\t'),
              1);
    EXPECT_EQ(sendText(QStringLiteral("/hmx_list"), kCredentials + QStringLiteral("conduit=M&mode=idlist&")).left(17),
              QStringLiteral("OK\nCount=1\nList=1"));
    logoff();
    logon();
    EXPECT_TRUE(
        sendText(QStringLiteral("/hmx_list"), kCredentials + QStringLiteral("conduit=M&modified=2026-01-01 00:00:00&"))
            .contains(QStringLiteral("\nadd\t")))
        << "the desktop's add is listed after its sync";
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(10000));

    QProcess wrong;
    wrong.start(QStringLiteral(HM_PHONE_PEER_PATH), {"--count", "rows"});
    ASSERT_TRUE(wrong.waitForFinished(10000));
    EXPECT_EQ(wrong.exitCode(), 2);
}

namespace {

// The contacts of the peer's records (GET /peer_records), by id with their names, and the desktop's
// edits not yet listed, by id.
struct PhoneContacts
{
    std::map<QString, QString> names;
    std::map<QString, QString> ownWrites;
    int doubledNames = 0;
};

PhoneContacts phoneContacts(int port)
{
    PhoneContacts contacts;
    httplib::Client http("127.0.0.1", port);
    const httplib::Result reply = http.Get("/peer_records");
    EXPECT_TRUE(reply && reply->status == 200) << "the peer's records";
    if (!reply)
        return contacts;
    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(reply->body)).object();
    QSet<QString> seen;
    for (const QJsonValue &record : root["conduits"]["A"].toArray()) {
        const QString name = record["fields"]["NEWFNAME"].toString();
        contacts.doubledNames += seen.contains(name) ? 1 : 0;
        seen.insert(name);
        contacts.names[record["uid"].toString()] = name;
    }
    const QJsonObject ownWrites = root["ownWrites"]["A"].toObject();
    for (auto it = ownWrites.begin(); it != ownWrites.end(); ++it)
        contacts.ownWrites[it.key()] = it.value().toString();
    return contacts;
}

// Updates sent to the peer program from a thread of their own until it stops answering: each adds
// contacts with notes of 2 KB (so that the journal outgrows its snapshot within a few dozen updates),
// renames one contact acknowledged before and deletes another. Keeps what whole replies acknowledged
// and what the update left without a reply may or may not have done.
struct WriteRun
{
    static constexpr int kAddsPerUpdate = 50;

    // Sends updates until one gets no whole reply.
    void run(int port);
    // The contacts are as acknowledged, doubled nowhere, with the round's adds among the desktop's
    // edits; then what the peer holds is taken as acknowledged, for the next round.
    void expectKept(const PhoneContacts &held);

    std::map<QString, QString> acknowledged; // names by permanent id
    QSet<QString> addedThisRound;
    QSet<QString> uncertainIds;
    QSet<QString> uncertainNames;
    std::atomic<int> updates = 0;
    int serial = 0;

private:
    struct Update
    {
        QStringList lines;
        QStringList names; // of the adds, then the rename's new one
        QString renamed;
        QString deleted;
    };
    Update nextUpdate();
};

WriteRun::Update WriteRun::nextUpdate()
{
    static const QString note(2000, u'n');
    Update update;
    for (int add = 0; add < kAddsPerUpdate; ++add) {
        update.names.append(QStringLiteral("Person %1").arg(++serial));
        update.lines.append(
            QStringLiteral("Command=ContactAdd&UID=t%1&NEWFNAME=%2&NOTE=%3").arg(add).arg(update.names.last(), note));
    }
    if (acknowledged.size() <= 2)
        return update;
    const auto at = [this](int step) {
        return std::next(acknowledged.begin(), std::ptrdiff_t(std::size_t(serial) * step % acknowledged.size()))->first;
    };
    update.renamed = at(7);
    update.names.append(QStringLiteral("Renamed %1").arg(serial));
    update.lines.append(QStringLiteral("Command=ContactChange&UID=%1&NEWFNAME=%2").arg(update.renamed, update.names.last()));
    if (at(13) != update.renamed) {
        update.deleted = at(13);
        update.lines.append(QStringLiteral("Command=ContactDelete&UID=%1").arg(update.deleted));
    }
    return update;
}

void WriteRun::run(int port)
{
    for (;;) {
        const Update update = nextUpdate();
        httplib::Client http("127.0.0.1", port);
        const httplib::Result reply = http.Post("/hmx_update", updateBody(update.lines).toStdString(), "text/plain");
        const QStringList replyLines = reply ? QString::fromStdString(reply->body).split(u'\n') : QStringList();
        if (replyLines.size() != kAddsPerUpdate + 1 || replyLines.last() != QLatin1String("OK")) {
            uncertainIds = {update.renamed, update.deleted};
            uncertainNames = QSet<QString>(update.names.begin(), update.names.end());
            return;
        }
        for (int add = 0; add < kAddsPerUpdate; ++add) {
            const QString permanent = replyLines.at(add).section(u'\t', 1);
            acknowledged[permanent] = update.names.at(add);
            addedThisRound.insert(permanent);
        }
        if (!update.renamed.isEmpty())
            acknowledged[update.renamed] = update.names.last();
        acknowledged.erase(update.deleted);
        ++updates;
    }
}

void WriteRun::expectKept(const PhoneContacts &held)
{
    EXPECT_EQ(held.doubledNames, 0);
    for (const auto &[id, name] : acknowledged) {
        if (uncertainIds.contains(id))
            continue;
        const auto found = held.names.find(id);
        ASSERT_NE(found, held.names.end()) << id.toStdString() << " (" << name.toStdString() << ") was lost";
        EXPECT_EQ(found->second, name) << id.toStdString();
        // A contact of an earlier round may have been renamed or deleted since: an edit, but no add.
        const QString ownWrite = held.ownWrites.count(id) ? held.ownWrites.at(id) : QString();
        EXPECT_EQ(ownWrite == QLatin1String("add"), addedThisRound.contains(id))
            << id.toStdString() << ": " << ownWrite.toStdString();
    }
    for (const auto &[id, name] : held.names) {
        EXPECT_TRUE(acknowledged.count(id) || uncertainNames.contains(name))
            << id.toStdString() << " (" << name.toStdString() << ") was never acknowledged";
    }
    acknowledged = held.names;
    addedThisRound.clear();
    uncertainIds.clear();
    uncertainNames.clear();
}

// The peer program's port, or 0.
int programPort(QProcess &program, const QString &dataFile)
{
    const QString address = startProgram(program, {"--data", dataFile, "--list-own-writes"});
    return address.isEmpty() ? 0 : QUrl(address).port();
}

// SIGKILLs the program once the run has had this many updates acknowledged, while its next one is on
// the way, and starts it again on the same data file.
void killMidRun(WriteRun &run, std::unique_ptr<QProcess> &program, const QString &dataFile, int &port,
                int updatesBeforeKill)
{
    run.updates = 0;
    std::thread writer([&run, port] { run.run(port); });
    const bool isFarEnough = testsupport::waitUntil(
        [&run, updatesBeforeKill] { return run.updates >= updatesBeforeKill; }, std::chrono::seconds(120));
    program->kill();
    program->waitForFinished();
    writer.join();
    EXPECT_TRUE(isFarEnough) << run.updates << " updates acknowledged";
    program = std::make_unique<QProcess>();
    port = programPort(*program, dataFile);
}

} // namespace

// The peer program killed twice while updates stream in, a snapshot falling within the second run:
// started again, it holds every contact whose update it acknowledged, once, with its last name, and
// the desktop's edits of the run not yet listed.
TEST_F(PhonePeerTest, TheProgramKilledMidWayKeepsEveryAcknowledgedChangeOnce)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString dataFile = folder.filePath(QStringLiteral("phone.json"));
    WriteRun run;
    auto program = std::make_unique<QProcess>();
    int port = programPort(*program, dataFile);
    for (const int updatesBeforeKill : {40, 120}) {
        SCOPED_TRACE(updatesBeforeKill);
        ASSERT_NE(port, 0) << "the program's listening line";
        client = RKClient::clientWithBaseURL(QStringLiteral("http://127.0.0.1:%1").arg(port));
        ASSERT_TRUE(logon().startsWith(QStringLiteral("OK\n")));
        killMidRun(run, program, dataFile, port, updatesBeforeKill);
        ASSERT_NE(port, 0) << "the program's listening line after the kill";
        run.expectKept(phoneContacts(port));
    }
    program->terminate();
    ASSERT_TRUE(program->waitForFinished(30000));
}

// A journal line a kill cut short is dropped, and what follows it is kept; a program stopped in order
// leaves the whole store in its data file and an empty journal.
TEST_F(PhonePeerTest, TheProgramDropsALineAKillCutShortAndLeavesItsFileWholeOnStopping)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString dataFile = folder.filePath(QStringLiteral("phone.json"));
    const auto addOnPhone = [](int port, const char *name) {
        httplib::Client http("127.0.0.1", port);
        const std::string edit = std::string(R"({"conduit":"A","action":"add","fields":{"NEWFNAME":")") + name + "\"}}";
        const httplib::Result added = http.Post("/peer_records", edit, "application/json");
        return added && added->status == 200 ? QString::fromStdString(added->body).section(u'\n', 1, 1) : QString();
    };
    auto program = std::make_unique<QProcess>();
    int port = programPort(*program, dataFile);
    ASSERT_NE(port, 0) << "the program's listening line";
    const QString first = addOnPhone(port, "First");
    program->kill();
    program->waitForFinished();
    QFile journal(dataFile + QStringLiteral(".journal"));
    ASSERT_TRUE(journal.open(QIODevice::Append));
    journal.write(R"({"nextId":9,"records":{"A":{"A000001":nu)");
    journal.close();

    program = std::make_unique<QProcess>();
    port = programPort(*program, dataFile);
    ASSERT_NE(port, 0) << "the program's listening line after the cut line";
    const QString second = addOnPhone(port, "Second");
    program->kill();
    program->waitForFinished();
    program = std::make_unique<QProcess>();
    port = programPort(*program, dataFile);
    ASSERT_NE(port, 0) << "the program's listening line after the second kill";
    const std::map<QString, QString> expected{{first, QStringLiteral("First")}, {second, QStringLiteral("Second")}};
    EXPECT_TRUE(phoneContacts(port).names == expected) << first.toStdString() << ", " << second.toStdString();

    program->terminate();
    ASSERT_TRUE(program->waitForFinished(30000));
    EXPECT_EQ(QFileInfo(journal).size(), 0);
    PhoneStore store;
    QFile file(dataFile);
    QString problem;
    ASSERT_TRUE(file.open(QIODevice::ReadOnly) && store.fromJson(file.readAll(), problem)) << problem.toStdString();
    EXPECT_EQ(store.records(Conduit::Contacts).size(), 2);
}
