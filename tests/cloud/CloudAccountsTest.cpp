// The account requests against the cloud peer in-process: the credential checks' texts, the request
// bodies byte for byte, the notifications and their objects, nothing posted on failure, nothing secret
// in the log, and the connector removal.

#include "CloudTestSupport.h"

#include "cloud/HMDeleteConnector.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/restkit/RKClient.h"
#include "support/TestSupport.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kLowerDigest = QStringLiteral("5ebe2294ecd0e0f08eab7690d2a6ee69");

// A transport for the user name and password, aimed at the fixture's peer, with no delegate: the
// windows' account transports have none.
std::unique_ptr<HMQuillnestSync> accountSync(const PeerFixture &fixture, const QString &user, const QString &password)
{
    qputenv("HM_QUILLNEST_HOST", fixture.httpsHost().toUtf8());
    platform::RKClient::setDefaultExtraCACertificatesFile(fixture.certificates.caFile);
    return HMQuillnestSync::initWithConfiguration(
        std::make_shared<FakeCloudConfiguration>(3, user, password, QStringLiteral("profile-file-1")));
}

QStringList accountBodies(const cloudpeer::CloudPeer &peer)
{
    QStringList bodies;
    for (const cloudpeer::ReceivedRequest &request : peer.requests()) {
        if (request.path == QLatin1String("/v1/account.php"))
            bodies << QString::fromUtf8(request.body);
    }
    return bodies;
}

// Every posting of one notification: whether it had an object, and the object's value.
class PostedAnswers final
{
public:
    explicit PostedAnswers(const char *name)
        : m_token(platform::NotificationCenter::defaultCenter().addObserver(
              QString::fromLatin1(name), nullptr, [this](const platform::Notification &notification) {
                  QVariant value;
                  if (notification.object != nullptr)
                      value = notification.userInfo.value(QStringLiteral("object"));
                  const std::lock_guard lock(m_mutex);
                  m_values.append(value);
              }))
    {
    }
    QList<QVariant> values() const
    {
        const std::lock_guard lock(m_mutex);
        return m_values;
    }
    bool waitForCount(qsizetype count) const
    {
        return testsupport::waitUntil([&] { return values().size() >= count; }, 20s);
    }

private:
    mutable std::mutex m_mutex;
    QList<QVariant> m_values;
    platform::ObserverToken m_token;
};

} // namespace

TEST(CloudAccounts, CredentialChecksAnswerInTheirOrderAndSendOnlyWhenTheyPass)
{
    PeerFixture fixture;
    struct Row
    {
        const char *name;
        const char *user;
        const char *password;
        bool isCreate;
        QString expected;
    };
    const QString ok = QStringLiteral("OK\nUsername:%1\nmd5Password:") + kLowerDigest;
    const Row rows[] = {
        {"short password before empty user", "", "12345", true,
         QStringLiteral("Error: Password must be at least six characters in length.")},
        {"empty user", "", "secret", true, QStringLiteral("Error: No Username entered")},
        {"at sign first", "@x.com", "secret", true,
         QStringLiteral("Error: Invalid Username Format. Please format as an email address.")},
        {"at sign last", "u@", "secret", true,
         QStringLiteral("Error: Invalid Username Format. Please format as an email address.")},
        {"no dot creates", "u@x", "secret", true, ok.arg(QStringLiteral("u@x"))},
        {"empty password before empty user", "", "", false, QStringLiteral("No Password")},
        {"verify empty user", "", "secret", false, QStringLiteral("No Username")},
        {"verify at sign first", "@x.com", "secret", false, QStringLiteral("Invalid Username Format")},
        {"verify at sign last", "u@", "secret", false, QStringLiteral("Invalid Username Format")},
        {"verify no dot", "u@x", "secret", false, ok.arg(QStringLiteral("u@x"))},
        {"verify", "u@x.com", "secret", false, ok.arg(QStringLiteral("u@x.com"))},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fixture.peer->clearRequests();
        std::unique_ptr<HMQuillnestSync> sync =
            accountSync(fixture, QString::fromUtf8(row.user), QString::fromUtf8(row.password));
        const QString answer = row.isCreate ? sync->createNewUser() : sync->validateConfiguration();
        EXPECT_EQ(answer.toStdString(), row.expected.toStdString());
        const bool isSent = answer.startsWith(QLatin1String("OK"));
        if (isSent) {
            EXPECT_TRUE(testsupport::waitUntil([&] { return accountBodies(*fixture.peer).size() == 1; }, 20s));
        }
        spinMainLoop(50ms);
        EXPECT_EQ(accountBodies(*fixture.peer).size(), isSent ? 1 : 0);
    }
}

TEST(CloudAccounts, AccountBodiesAsWrittenAndTheirNotifications)
{
    PeerFixture fixture;
    const auto capture = std::make_shared<LogCapture>();
    const int32_t level = ddLogLevel.load();
    ddLogLevel = 0xFFFF;
    DDLog::addLogger(capture);
    PostedAnswers verified(HMQuillnestSync::kValidateQuillnestCredentials);
    PostedAnswers silent(HMQuillnestSync::kValidateQuillnestCredentialsSilent);
    PostedAnswers created(HMQuillnestSync::kCreateQuillnestUser);
    PostedAnswers connectorMade(HMQuillnestSync::kCreateConnectorResponseRecieved);
    PostedAnswers listed(HMQuillnestSync::kValidateQuillnestConnectorStatus);

    std::unique_ptr<HMQuillnestSync> sync = accountSync(fixture, kUser, kPassword);
    sync->validateConfiguration();
    ASSERT_TRUE(verified.waitForCount(1));
    EXPECT_EQ(accountBodies(*fixture.peer).value(0).toStdString(),
              "{\"Action\":\"verify\",\"Password\":\"5ebe2294ecd0e0f08eab7690d2a6ee69\",\"Username\":\"u@x.com\"}");
    EXPECT_EQ(verified.values().first().toMap().value(QStringLiteral("Result")).toInt(), 0);
    sync->validateConfigurationWithSilentNotification();
    ASSERT_TRUE(silent.waitForCount(1));
    EXPECT_EQ(verified.values().size(), 1);

    // A new account, then its Google connector: calendar and tasks on, contacts off; then none chosen.
    std::unique_ptr<HMQuillnestSync> newcomer = accountSync(fixture, QStringLiteral("n@x.com"), QStringLiteral("secret6"));
    newcomer->createNewUser();
    ASSERT_TRUE(created.waitForCount(1));
    EXPECT_EQ(created.values().first().toMap().value(QStringLiteral("Result")).toInt(), 0);
    fixture.peer->clearRequests();
    GlobalVariables::setEnabledConduitsForQuillnestConnector(QStringLiteral("DT"));
    newcomer->makeNewQuillnestConnector(QStringLiteral("1//refresh-token"), QStringLiteral("a@b.com"));
    ASSERT_TRUE(connectorMade.waitForCount(1));
    GlobalVariables::setEnabledConduitsForQuillnestConnector(QString());
    newcomer->makeNewQuillnestConnector(QStringLiteral("1//refresh-token"), QStringLiteral("a@b.com"));
    ASSERT_TRUE(connectorMade.waitForCount(2));
    const std::string source = HMQuillnestSync::connectorSourceString().toStdString();
    EXPECT_EQ(source, "HMM " + platform::Bundle::shortVersion().toStdString() + '.'
                          + platform::Bundle::buildVersion().toStdString());
    const QStringList bodies = accountBodies(*fixture.peer);
    ASSERT_EQ(bodies.size(), 2);
    const std::string newDigest = HMQuillnestSync::accountPasswordDigest(QStringLiteral("secret6")).toStdString();
    EXPECT_EQ(bodies.at(0).toStdString(),
              "{\"Action\":\"updateConnector\",\"Conduits\":\"DT\",\"Email\":\"a@b.com\",\"Password\":\"" + newDigest
                  + "\",\"Source\":\"" + source + "\",\"Token\":\"1//refresh-token\",\"Type\":\"Google\","
                  "\"Username\":\"n@x.com\"}");
    EXPECT_EQ(bodies.at(1).toStdString(),
              "{\"Action\":\"updateConnector\",\"Conduits\":\"\",\"Email\":\"a@b.com\",\"Password\":\"" + newDigest
                  + "\",\"Source\":\"" + source + "\",\"Token\":\"1//refresh-token\",\"Type\":\"Google\","
                  "\"Username\":\"n@x.com\"}");
    EXPECT_EQ(connectorMade.values().first().toString().toStdString(), "{\"Result\":0,\"Id\":\"1\"}");
    ASSERT_EQ(fixture.peer->connectors(QStringLiteral("n@x.com")).size(), 1);
    EXPECT_EQ(fixture.peer->connectors(QStringLiteral("n@x.com")).first().token, QStringLiteral("1//refresh-token"));

    // The connector list is posted as the text the service sent.
    newcomer->checkConnectorStatus();
    ASSERT_TRUE(listed.waitForCount(1));
    EXPECT_EQ(listed.values().first().toString().toStdString(),
              "{\"Result\":0,\"Connectors\":[{\"Id\":\"1\",\"Type\":\"Google\",\"Email\":\"a@b.com\","
              "\"LastSync\":\"0000-00-00 00:00:00\",\"Conduits\":\"\",\"Source\":\"" + source + "\"}]}");

    // An unparsable verify reply is posted with no object.
    fixture.peer->addSwitch({cloudpeer::SwitchKind::Garbage, QStringLiteral("/v1/account.php"), 1});
    sync->validateConfiguration();
    ASSERT_TRUE(verified.waitForCount(2));
    EXPECT_FALSE(verified.values().at(1).isValid());

    DDLog::removeLogger(capture);
    ddLogLevel = level;
    const QString log = capture->lines().join(u'\n');
    for (const QString &secret : {kLowerDigest, kDigest, QStringLiteral("1//refresh-token"), kPassword,
                                  HMQuillnestSync::accountPasswordDigest(QStringLiteral("secret6"))})
        EXPECT_FALSE(log.contains(secret, Qt::CaseInsensitive)) << secret.toStdString() << " in the log";
    EXPECT_TRUE(log.contains(QStringLiteral("\"Token\":\"<hidden>\""))) << log.toStdString();
}

TEST(CloudAccounts, AFailedRequestPostsNothing)
{
    PeerFixture fixture;
    PostedAnswers verified(HMQuillnestSync::kValidateQuillnestCredentials);
    PostedAnswers listed(HMQuillnestSync::kValidateQuillnestConnectorStatus);
    // Each operation on a transport of its own, as the windows make them.
    std::unique_ptr<HMQuillnestSync> verifier = accountSync(fixture, kUser, kPassword);
    std::unique_ptr<HMQuillnestSync> lister = accountSync(fixture, kUser, kPassword);
    fixture.peer->addSwitch({cloudpeer::SwitchKind::Html500, QStringLiteral("/v1/account.php"), 1});
    verifier->validateConfiguration();
    ASSERT_TRUE(testsupport::waitUntil([&] { return accountBodies(*fixture.peer).size() == 1; }, 20s));
    fixture.peer->addSwitch({cloudpeer::SwitchKind::CutBefore, QStringLiteral("/v1/account.php"), 1});
    lister->checkConnectorStatus();
    EXPECT_TRUE(testsupport::waitUntil([&] { return accountBodies(*fixture.peer).size() == 2; }, 20s));
    spinMainLoop(500ms);
    EXPECT_TRUE(verified.values().isEmpty());
    EXPECT_TRUE(listed.values().isEmpty());
}

TEST(CloudAccounts, DeleteConnectorRemovesOnlyTheProfilesGoogleConnectorAndAlwaysOverHttps)
{
    PeerFixture fixture;
    // The switch for plain HTTP does not reach this request: it carries the password's digest.
    platform::UserDefaults::standardUserDefaults().setBool(true, QStringLiteral("quillnestUseUnsecureHttp"));
    qputenv("HM_QUILLNEST_HOST", fixture.httpsHost().toUtf8());
    platform::RKClient::setDefaultExtraCACertificatesFile(fixture.certificates.caFile);
    const auto connector = [](const char *id, const char *type, const char *email) {
        return cloudpeer::Connector{QString::fromLatin1(id), QString::fromLatin1(type), QString::fromLatin1(email),
                                    QStringLiteral("2024-03-05 10:00:00"), QStringLiteral("A"), {}, {}};
    };
    fixture.peer->setConnectors(kUser, {connector("1", "Outlook", "g@b.com"), connector("2", "Google", "other@b.com"),
                                        connector("3", "Google", "g@b.com"), connector("4", "Google", "g@b.com")});
    auto profile = std::make_shared<HMProfile>();
    profile->setHhUserId(kUser);
    profile->setQuillnestPassword(kPassword);
    profile->setGoogleDirectUsername(QStringLiteral("g@b.com"));
    {
        HMDeleteConnector remover;
        remover.setProfile(profile);
        remover.dealWithIt();
        ASSERT_TRUE(testsupport::waitUntil([&] { return fixture.peer->connectors(kUser).size() == 3; }, 20s));
    }
    QStringList ids;
    for (const cloudpeer::Connector &left : fixture.peer->connectors(kUser))
        ids << left.id;
    EXPECT_EQ(ids, QStringList({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("4")}));
    const QList<cloudpeer::ReceivedRequest> requests = fixture.peer->requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_TRUE(requests.at(0).isSecure && requests.at(1).isSecure);
    EXPECT_EQ(requests.at(1).body.toStdString(),
              "{\"Action\":\"deleteConnector\",\"Id\":\"3\",\"Password\":\"5ebe2294ecd0e0f08eab7690d2a6ee69\","
              "\"Username\":\"u@x.com\"}");

    // With no Google connector of that name nothing is deleted.
    fixture.peer->clearRequests();
    profile->setGoogleDirectUsername(QStringLiteral("nobody@b.com"));
    HMDeleteConnector remover;
    remover.setProfile(profile);
    remover.dealWithIt();
    ASSERT_TRUE(testsupport::waitUntil([&] { return fixture.peer->requests().size() == 1; }, 20s));
    spinMainLoop(300ms);
    EXPECT_EQ(fixture.peer->requests().size(), 1);
    EXPECT_EQ(fixture.peer->connectors(kUser).size(), 3);
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("quillnestUseUnsecureHttp"));
}
