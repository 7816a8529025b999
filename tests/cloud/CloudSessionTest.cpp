// The cloud transport against the cloud peer in-process: the request bodies byte for byte, the logon's
// answers, the error table row by row, verified TLS, bounded replies, the keep-alive and the change poll.

#include "CloudTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/restkit/RKClient.h"
#include "TestCertificates.h"

#include <QJsonDocument>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

QString bodyOf(const cloudpeer::CloudPeer &peer, const QString &path)
{
    for (const cloudpeer::ReceivedRequest &request : peer.requests()) {
        if (request.path == path)
            return QString::fromUtf8(request.body);
    }
    return QString();
}


} // namespace

TEST(CloudSession, LogsOnPurgesAndLogsOffWithBodiesAsWrittenAndNoPasswordInTheLog)
{
    PeerFixture fixture;
    const auto capture = std::make_shared<LogCapture>();
    const int32_t level = ddLogLevel.load();
    ddLogLevel = 0xFFFF;
    DDLog::addLogger(capture);
    fixture.peer->setChangeDate(kUser, u'A', QDateTime(QDate(2024, 3, 5), QTime(10, 0), QTimeZone::utc()));
    fixture.peer->setClock(QDateTime(QDate(2024, 3, 5), QTime(12, 0), QTimeZone::utc()));
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);

    // Purges and a logoff before any logon carry the session "0".
    ASSERT_TRUE(sync->logoff());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logoff")));
    EXPECT_EQ(bodyOf(*fixture.peer, QStringLiteral("/v1/logout.php")).toStdString(),
              "{\"Password\":\"5EBE2294ECD0E0F08EAB7690D2A6EE69\",\"Session\":\"0\",\"Username\":\"u@x.com\"}");
    EXPECT_EQ(sync->jsonStringFromDictionary(sync->purgeBody(0)).toStdString(),
              "{\"Password\":\"5EBE2294ECD0E0F08EAB7690D2A6EE69\",\"Session\":\"0\",\"Tables\":[],\"Username\":\"u@x.com\"}");
    EXPECT_EQ(sync->jsonStringFromDictionary(sync->purgeBody(4)).toStdString(),
              "{\"Password\":\"5EBE2294ECD0E0F08EAB7690D2A6EE69\",\"Session\":\"0\",\"Tables\":[{\"Table\":\"Notes\"}],"
              "\"Username\":\"u@x.com\"}");
    EXPECT_EQ(sync->jsonStringFromDictionary(sync->keepAliveBody()).toStdString(),
              "{\"Limit\":\"0\",\"Modified\":\"2100-01-01 00:00:00\",\"Offset\":\"0\",\"Password\":"
              "\"5EBE2294ECD0E0F08EAB7690D2A6EE69\",\"Session\":\"0\",\"Table\":\"Contacts\",\"Username\":\"u@x.com\"}");

    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon 1"))) << delegate.events().join(u'|').toStdString();
    EXPECT_EQ(bodyOf(*fixture.peer, QStringLiteral("/v1/login.php")).toStdString(),
              "{\"Build\":\"1\",\"DeviceId\":\"profile-file-1\",\"Password\":\"5EBE2294ECD0E0F08EAB7690D2A6EE69\","
              "\"Platform\":\"2\",\"Username\":\"u@x.com\",\"Version\":\"10.15.0\"}");
    const QVariantMap reply = delegate.logonReply();
    EXPECT_EQ(reply.value(QStringLiteral("ContactsLastModified")).toDateTime(),
              QDateTime(QDate(2024, 3, 5), QTime(10, 0), QTimeZone::utc()));
    // Missing change dates are the reference date.
    EXPECT_EQ(reply.value(QStringLiteral("TasksLastModified")).toDateTime(),
              QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()));
    EXPECT_EQ(reply.value(QStringLiteral("DeviceTime")).toDateTime(),
              QDateTime(QDate(2024, 3, 5), QTime(12, 0), QTimeZone::utc()));
    const QString session = sync->sessionIdentifier();
    EXPECT_EQ(fixture.peer->sessions(kUser), QStringList{session});

    ASSERT_TRUE(sync->purge(1));
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("purge 1")));
    EXPECT_EQ(fixture.peer->purgedTables(kUser), QStringList{QStringLiteral("Contacts")});
    ASSERT_TRUE(sync->logoff());
    ASSERT_TRUE(delegate.waitForCount(QStringLiteral("logoff 1"), 2));
    EXPECT_TRUE(fixture.peer->sessions(kUser).isEmpty());
    EXPECT_TRUE(sync->sessionIdentifier().isEmpty());

    DDLog::flushLog();
    DDLog::removeLogger(capture);
    ddLogLevel = level;
    const QStringList lines = capture->lines();
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("Logon request: ")));
    for (const QString &line : lines) {
        EXPECT_FALSE(line.contains(kDigest, Qt::CaseInsensitive)) << line.toStdString();
        EXPECT_FALSE(line.contains(kPassword)) << line.toStdString();
    }
}

TEST(CloudSession, EndsAFailedLogonWithItsCodeAndText)
{
    PeerFixture fixture;
    struct Row
    {
        const char *name;
        std::optional<cloudpeer::SwitchKind> change;
        QString password;
        QStringList events;
    };
    const Row rows[] = {
        {"Result 1", cloudpeer::SwitchKind::Result1, kPassword, {"error 8 no_username_or_password", "stop"}},
        {"wrong password", std::nullopt, QStringLiteral("wrong"), {"error 8 no_username_or_password", "stop"}},
        {"Result 2", cloudpeer::SwitchKind::Result2, kPassword, {"error 6", "stop"}},
        {"garbage", cloudpeer::SwitchKind::Garbage, kPassword, {"error 6", "stop"}},
        {"an HTML error page", cloudpeer::SwitchKind::Html500, kPassword, {"error 6 HTTP 500", "stop", "logon 0"}},
        {"cut before the work", cloudpeer::SwitchKind::CutBefore, kPassword,
         {"error 6 The network connection was lost.", "stop", "logon 0"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fixture.peer->clearSwitches();
        if (row.change)
            fixture.peer->addSwitch({*row.change, QStringLiteral("/v1/login.php"), 1});
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> sync =
            makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate, {}, row.password);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(delegate.waitFor(QStringLiteral("stop")));
        spinMainLoop(50ms);
        QStringList expected;
        for (const QString &event : row.events)
            expected << event;
        EXPECT_EQ(delegate.events(), expected);
        EXPECT_FALSE(sync->isKeepAliveRunning());
    }
}

TEST(CloudSession, ReportsEachTransportFailureAsTheErrorTableSays)
{
    ensureApplication();
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString closedHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    PeerFixture fixture;
    struct Row
    {
        const char *name;
        QString host;
        QStringList events;
    };
    const Row rows[] = {
        {"a closed port", closedHost, {"error 3", "stop", "logon 0"}},
        {"an unknown host", QStringLiteral("cloud.invalid"), {"error 6 Invalid Server", "stop", "logon 0"}},
        {"a bad URL", QStringLiteral("bad host name:80"), {"error 6 Invalid URL", "stop", "logon 0"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(row.host, QString(), delegate);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon")));
        EXPECT_EQ(delegate.events(), row.events);
    }
    // A stalled answer ends at the request's time-out as the framework's own time-out.
    fixture.peer->addSwitch({cloudpeer::SwitchKind::Stall, QStringLiteral("/v1/login.php"), 0});
    RecordingClientDelegate delegate;
    HMQuillnestTiming timing;
    timing.logonTimeoutSeconds = 0.5;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate, timing);
    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon")));
    ASSERT_FALSE(delegate.events().isEmpty());
    EXPECT_EQ(delegate.events().first(),
              QStringLiteral("error 3 %1").arg(platform::localized(QStringLiteral("synchronization_timeout"))).trimmed())
        << delegate.events().join(u'|').toStdString();
    EXPECT_TRUE(GlobalVariables::getQuillnestErrorStatus()) << "a time-out marks the cloud error status";
    fixture.peer->clearSwitches();

    // A peer that refuses connections is a host that cannot be reached; once it listens again the
    // logon goes through.
    ASSERT_TRUE(fixture.peer->setRefusing(true));
    RecordingClientDelegate refused;
    sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, refused);
    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(refused.waitFor(QStringLiteral("logon")));
    EXPECT_EQ(refused.events(), QStringList({QStringLiteral("error 3"), QStringLiteral("stop"), QStringLiteral("logon 0")}));
    ASSERT_TRUE(fixture.peer->setRefusing(false));
    RecordingClientDelegate accepted;
    sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, accepted);
    ASSERT_TRUE(sync->logon());
    EXPECT_TRUE(accepted.waitFor(QStringLiteral("logon 1"))) << accepted.events().join(u'|').toStdString();
}

TEST(CloudSession, TrustsThePeerOnlyThroughItsCertificateAuthorityGivenExplicitly)
{
    PeerFixture fixture;
    // A session made by a client that trusts the peer's CA is not resumed by one that does not.
    {
        RecordingClientDelegate trusting;
        std::unique_ptr<HMQuillnestSync> sync =
            makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, trusting);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(trusting.waitFor(QStringLiteral("logon 1")));
        RecordingClientDelegate distrusting;
        sync = makeCloudSync(fixture.httpsHost(), QString(), distrusting);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(distrusting.waitFor(QStringLiteral("logon")));
        EXPECT_EQ(distrusting.events().value(0), QStringLiteral("error 6 The certificate for this server is invalid."));
    }
    struct Row
    {
        const char *name;
        peertls::CertificateOptions options;
        bool trustsCA;
    };
    peertls::CertificateOptions otherName;
    otherName.dnsNames = {QStringLiteral("elsewhere.example")};
    otherName.ipAddresses = {QStringLiteral("10.1.2.3")};
    peertls::CertificateOptions expired;
    expired.validFromSeconds = -10 * 24 * 3600;
    expired.validUntilSeconds = -24 * 3600;
    const Row rows[] = {
        {"without the CA", {}, false},
        {"a certificate for another name", otherName, true},
        {"an expired certificate", expired, true},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        peertls::CertificateFiles files;
        QString error;
        ASSERT_TRUE(peertls::makeTestCertificates(fixture.folder.path(), row.options, files, error,
                                                  QStringLiteral("case%1-").arg(++index)));
        cloudpeer::Options options;
        options.certFile = files.certFile;
        options.keyFile = files.keyFile;
        cloudpeer::CloudPeer peer(options);
        ASSERT_TRUE(peer.start(error)) << error.toStdString();
        peer.addAccount(kUser, kPassword);
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(QStringLiteral("127.0.0.1:%1").arg(peer.httpsPort()),
                                                              row.trustsCA ? files.caFile : QString(), delegate);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon")));
        EXPECT_EQ(delegate.events(),
                  QStringList({QStringLiteral("error 6 The certificate for this server is invalid."), QStringLiteral("stop"),
                               QStringLiteral("logon 0")}));
        // The peer saw no request, so no body.
        EXPECT_TRUE(peer.requests().isEmpty());
        peer.stop();
    }
}

TEST(CloudSession, EndsOversizedAndEndlessRepliesAtTheCap)
{
    PeerFixture fixture;
    for (const cloudpeer::SwitchKind kind : {cloudpeer::SwitchKind::Oversize, cloudpeer::SwitchKind::Endless}) {
        SCOPED_TRACE(int(kind));
        fixture.peer->addSwitch({kind, QStringLiteral("/v1/login.php"), 1});
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon"), 60s));
        EXPECT_EQ(delegate.events(), QStringList({QStringLiteral("error 6 The reply exceeds the largest size allowed."),
                                                  QStringLiteral("stop"), QStringLiteral("logon 0")}));
    }
}

TEST(CloudSession, KeepsTheSessionAliveFifteenTicksAndNoTickAfterTheLogoff)
{
    PeerFixture fixture;
    RecordingClientDelegate delegate;
    HMQuillnestTiming timing;
    timing.keepAliveIntervalSeconds = 0.02;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate, timing);
    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon 1")));
    fixture.peer->clearRequests();
    sync->startFireDateTimer();
    spinMainLoop(1500ms);
    EXPECT_EQ(fixture.peer->requestPaths(), QStringList(15, QStringLiteral("/v1/getdata.php")));
    EXPECT_FALSE(sync->isKeepAliveRunning());

    // A logoff ends a running timer: nothing follows it.
    sync->startFireDateTimer();
    ASSERT_TRUE(sync->logoff());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logoff 1")));
    fixture.peer->clearRequests();
    spinMainLoop(300ms);
    EXPECT_TRUE(fixture.peer->requests().isEmpty());
}

TEST(CloudSession, PostsTheChangePollsDatesAndNothingWhenItFails)
{
    PeerFixture fixture;
    fixture.peer->setChangeDate(kUser, u'D', QDateTime(QDate(2024, 3, 6), QTime(8, 30), QTimeZone::utc()));
    std::mutex mutex;
    QList<QVariantMap> posted;
    const platform::ObserverToken token = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMQuillnestLastModified"), nullptr, [&](const platform::Notification &notification) {
            const std::lock_guard lock(mutex);
            posted.append(*static_cast<const QVariantMap *>(notification.object));
        });
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
    ASSERT_TRUE(sync->autosyncCheckForChanges());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logoff 1")));
    {
        const std::lock_guard lock(mutex);
        ASSERT_EQ(posted.size(), 1);
        EXPECT_EQ(posted.first().value(QStringLiteral("CalendarLastModified")).toDateTime(),
                  QDateTime(QDate(2024, 3, 6), QTime(8, 30), QTimeZone::utc()));
    }
    EXPECT_EQ(fixture.peer->requestPaths(),
              QStringList({QStringLiteral("/v1/login.php"), QStringLiteral("/v1/logout.php")}));

    fixture.peer->addSwitch({cloudpeer::SwitchKind::Html500, QStringLiteral("/v1/login.php"), 1});
    ASSERT_TRUE(sync->autosyncCheckForChanges());
    spinMainLoop(500ms);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(posted.size(), 1);
}

TEST(CloudSession, ForceCancelReportsCodeTwoAndLogsOff)
{
    PeerFixture fixture;
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon 1")));
    fixture.peer->addSwitch({cloudpeer::SwitchKind::Stall, QStringLiteral("/v1/purge.php"), 0});
    ASSERT_TRUE(sync->purge(2));
    spinMainLoop(200ms);
    sync->forceCancel();
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logoff")));
    EXPECT_EQ(delegate.events().mid(1),
              QStringList({QStringLiteral("error 2 The sync was force cancelled, data integrity is suspect."),
                           QStringLiteral("force-cancelled"), QStringLiteral("logoff 1")}));
    EXPECT_TRUE(fixture.peer->requestPaths().contains(QStringLiteral("/v1/logout.php")));
    fixture.peer->clearSwitches();
}

TEST(CloudSession, ReadsCredentialsOnlyForAccountDeviceTypesAndUsesPlainHttpOnlyWhenAsked)
{
    PeerFixture fixture;
    EXPECT_EQ(HMQuillnestSync::init(), nullptr);
    for (const quint64 deviceType : {quint64(0), quint64(4)}) {
        const auto configuration =
            std::make_shared<FakeCloudConfiguration>(deviceType, kUser, kPassword, QStringLiteral("profile-file-1"));
        std::unique_ptr<HMQuillnestSync> sync = HMQuillnestSync::initWithConfiguration(configuration);
        QString message;
        EXPECT_FALSE(sync->verifyProfileIsValid(message));
        EXPECT_EQ(message, QStringLiteral("no_username_or_password"));
        // Without credentials the bodies carry empty texts.
        EXPECT_EQ(HMQuillnestSync::jsonStringFromDictionary(sync->postParameterDictionary()).toStdString(),
                  "{\"Password\":\"\",\"Username\":\"\"}");
    }

    platform::UserDefaults &defaults = platform::UserDefaults::standardUserDefaults();
    defaults.setBool(true, QStringLiteral("quillnestUseUnsecureHttp"));
    RecordingClientDelegate delegate;
    std::unique_ptr<HMQuillnestSync> sync = makeCloudSync(fixture.httpHost(), QString(), delegate);
    EXPECT_EQ(sync->serverUrl(), QStringLiteral("http://%1/v1").arg(fixture.httpHost()));
    ASSERT_TRUE(sync->logon());
    ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon 1"))) << delegate.events().join(u'|').toStdString();
    ASSERT_EQ(fixture.peer->requests().size(), 1);
    EXPECT_FALSE(fixture.peer->requests().first().isSecure);
    defaults.removeObjectForKey(QStringLiteral("quillnestUseUnsecureHttp"));
    EXPECT_EQ(HMQuillnestSync::baseURLString(), QStringLiteral("https://%1/v1").arg(fixture.httpHost()));
}

TEST(CloudSession, EndsEachMisbehaviourOfTheServiceOnceWithAnError)
{
    PeerFixture fixture;
    struct Row
    {
        const char *name;
        cloudpeer::SwitchKind kind;
        QString path;
        QString firstEvent;
    };
    const Row rows[] = {
        {"logout refused", cloudpeer::SwitchKind::LogoutRefused, QStringLiteral("/v1/logout.php"),
         QStringLiteral("error 6 Unable to process logoff.")},
        {"session expired", cloudpeer::SwitchKind::SessionExpired, QStringLiteral("/v1/logout.php"),
         QStringLiteral("error 6 Unable to process logoff.")},
        {"cut after the work", cloudpeer::SwitchKind::CutAfter, QStringLiteral("/v1/purge.php"),
         QStringLiteral("error 6 The network connection was lost.")},
        {"an HTML error page", cloudpeer::SwitchKind::Html500, QStringLiteral("/v1/purge.php"),
         QStringLiteral("error 6 HTTP 500")},
        {"garbage", cloudpeer::SwitchKind::Garbage, QStringLiteral("/v1/logout.php"), QStringLiteral("error 6")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        RecordingClientDelegate delegate;
        std::unique_ptr<HMQuillnestSync> sync =
            makeCloudSync(fixture.httpsHost(), fixture.certificates.caFile, delegate);
        ASSERT_TRUE(sync->logon());
        ASSERT_TRUE(delegate.waitFor(QStringLiteral("logon 1")));
        fixture.peer->addSwitch({row.kind, row.path, 1});
        const bool isPurge = row.path.endsWith(QLatin1String("purge.php"));
        ASSERT_TRUE(isPurge ? sync->purge(3) : sync->logoff());
        ASSERT_TRUE(delegate.waitFor(isPurge ? QStringLiteral("purge 0") : QStringLiteral("logoff 0")));
        spinMainLoop(std::chrono::milliseconds(100));
        const QStringList events = delegate.events().mid(1);
        EXPECT_EQ(events.value(0), row.firstEvent);
        EXPECT_EQ(events.filter(QStringLiteral("error")).size(), 1) << events.join(u'|').toStdString();
        EXPECT_FALSE(sync->isKeepAliveRunning());
    }
}
