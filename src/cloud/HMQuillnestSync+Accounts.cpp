// The account requests of the windows: create an account, check the credentials, read the account's
// connectors and create its Google connector, all on "/account.php".
#include "cloud/HMQuillnestSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSString+stripHtml.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMSyncClientDelegate.h"

using platform::PlatformError;

namespace {

const QString kAccountPath = QStringLiteral("/account.php");

// Posts the value (a QVariantMap or a QString; an invalid QVariant for nil) as the notification's
// object, with a copy in the user info.
void postAnswer(const char *name, const QVariant &value)
{
    const QString notificationName = QString::fromLatin1(name);
    QVariantMap userInfo;
    if (value.isValid())
        userInfo.insert(QStringLiteral("object"), value);
    auto &center = platform::NotificationCenter::defaultCenter();
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        center.postNotificationName(notificationName, &map, userInfo);
    } else if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        center.postNotificationName(notificationName, &text, userInfo);
    } else {
        center.postNotificationName(notificationName, nullptr, userInfo);
    }
}

// "create" and "verify" post the parsed reply, or nil when it is no JSON object.
void postParsedReply(const char *name, const QString &body)
{
    DDLogVerbose(QStringLiteral("response.bodyAsString %1").arg(body.left(2000)));
    const std::optional<QVariantMap> reply = HMQuillnestSync::dictionaryForJsonString(body);
    DDLogVerbose(QStringLiteral("responseDictionary %1").arg(reply ? HMQuillnestSync::jsonStringFromDictionary(*reply)
                                                                   : QStringLiteral("(null)")));
    postAnswer(name, reply ? QVariant(*reply) : QVariant());
}

// The refusals of the credential check, for the windows that read them.
constexpr char kNoPassword[] = "No Password";
constexpr char kNoUsername[] = "No Username";
constexpr char kInvalidUsernameFormat[] = "Invalid Username Format";
constexpr char kUsernameMarker[] = "Username:";
constexpr char kDigestMarker[] = "md5Password:";

QString okText(const QString &username, const QString &digest)
{
    return QStringLiteral("OK\n%1%2\n%3%4")
        .arg(QLatin1String(kUsernameMarker), username, QLatin1String(kDigestMarker), digest);
}

} // namespace

HMQuillnestSync::CheckedCredentials HMQuillnestSync::credentialsOfAnswer(const QString &answer)
{
    CheckedCredentials credentials;
    const QLatin1String nameMarker(kUsernameMarker);
    const qsizetype nameAt = answer.indexOf(nameMarker);
    if (nameAt >= 0) {
        const qsizetype from = nameAt + nameMarker.size();
        const qsizetype end = answer.indexOf(u'\n', from);
        credentials.username = answer.mid(from, end < 0 ? -1 : end - from);
    }
    const QLatin1String digestMarker(kDigestMarker);
    const qsizetype digestAt = answer.indexOf(digestMarker);
    if (digestAt >= 0)
        credentials.passwordDigest = answer.mid(digestAt + digestMarker.size());
    return credentials;
}

QString HMQuillnestSync::refusalText(const QString &answer, const CredentialRefusalTexts &texts)
{
    if (answer == QLatin1String(kNoPassword))
        return texts.noPassword;
    if (answer == QLatin1String(kNoUsername))
        return texts.noUsername;
    if (answer == QLatin1String(kInvalidUsernameFormat))
        return texts.invalidUsernameFormat;
    return texts.other;
}

QString HMQuillnestSync::accountPasswordDigest(const QString &password)
{
    return password.isEmpty() ? QString() : md5(password).toLower();
}

bool HMQuillnestSync::isUsernameFormatValid(const QString &username)
{
    const qsizetype at = username.indexOf(u'@');
    return at > 0 && at < username.size() - 1;
}

QString HMQuillnestSync::connectorSourceString()
{
    return QStringLiteral("HMM %1.%2").arg(platform::Bundle::shortVersion(), platform::Bundle::buildVersion());
}

QVariantMap HMQuillnestSync::accountBody(const QString &action) const
{
    return QVariantMap{{QStringLiteral("Username"), m_username.isNull() ? QStringLiteral("") : m_username},
                       {QStringLiteral("Password"), accountPasswordDigest(m_password)},
                       {QStringLiteral("Action"), action}};
}

// Runs setup and posts the body; a failure is noted and handed to the delegate, which an account
// transport does not have: nothing is posted then.
void HMQuillnestSync::sendAccountRequest(const QVariantMap &body, double timeoutSeconds, ReplyHandler onReply)
{
    DDLogVerbose(QStringLiteral("md5Password %1").arg(QStringLiteral("<hidden>")));
    QString error;
    setup(error);
    const bool isSent = sendRequest(kAccountPath, timeoutSeconds, body, std::move(onReply), [this](const PlatformError &failure) {
        handleRKError(failure);
        if (HMSyncClientDelegate *target = reportTo())
            target->logonCommandReturned(false, {});
    });
    if (!isSent)
        DDLogError(QStringLiteral("The account request could not be sent"));
}

QString HMQuillnestSync::createNewUser()
{
    if (m_password.size() < 6)
        return QStringLiteral("Error: Password must be at least six characters in length.");
    if (m_username.isEmpty())
        return QStringLiteral("Error: No Username entered");
    if (!isUsernameFormatValid(m_username))
        return QStringLiteral("Error: Invalid Username Format. Please format as an email address.");
    const QVariantMap body = accountBody(QStringLiteral("create"));
    DDLogVerbose(QStringLiteral("Sending create user request"));
    sendAccountRequest(body, kAccountTimeoutSeconds,
                       [](const QString &reply) { postParsedReply(kCreateQuillnestUser, reply); });
    return okText(m_username, accountPasswordDigest(m_password));
}

QString HMQuillnestSync::validateConfiguration()
{
    return validateAndSend(QString::fromLatin1(kValidateQuillnestCredentials));
}

QString HMQuillnestSync::validateConfigurationWithSilentNotification()
{
    return validateAndSend(QString::fromLatin1(kValidateQuillnestCredentialsSilent));
}

QString HMQuillnestSync::validateAndSend(const QString &notificationName)
{
    if (m_password.isEmpty())
        return QString::fromLatin1(kNoPassword);
    if (m_username.isEmpty())
        return QString::fromLatin1(kNoUsername);
    if (!isUsernameFormatValid(m_username))
        return QString::fromLatin1(kInvalidUsernameFormat);
    const QVariantMap body = accountBody(QStringLiteral("verify"));
    DDLogVerbose(QStringLiteral("Verify request: %1").arg(loggableJson(body)));
    DDLogVerbose(QStringLiteral("Sending logon request"));
    const bool isSilent = notificationName == QLatin1String(kValidateQuillnestCredentialsSilent);
    sendAccountRequest(body, kAccountTimeoutSeconds, [isSilent](const QString &reply) {
        postParsedReply(isSilent ? kValidateQuillnestCredentialsSilent : kValidateQuillnestCredentials, reply);
    });
    return okText(m_username, accountPasswordDigest(m_password));
}

void HMQuillnestSync::checkConnectorStatus()
{
    DDLogVerbose(QStringLiteral("checkConnectorStatus"));
    const QVariantMap body = accountBody(QStringLiteral("connectors"));
    DDLogVerbose(QStringLiteral("Verify request: %1").arg(loggableJson(body)));
    DDLogVerbose(QStringLiteral("request %1").arg(baseURLString() + kAccountPath));
    DDLogVerbose(QStringLiteral("Sending logon request"));
    sendAccountRequest(body, kAccountTimeoutSeconds, [](const QString &reply) {
        DDLogVerbose(QStringLiteral("QuillnestSync kValidateQuillnestConnectorStatus %1").arg(reply.left(2000)));
        postAnswer(kValidateQuillnestConnectorStatus, reply);
    });
}

void HMQuillnestSync::makeNewQuillnestConnector(const QString &token, const QString &email)
{
    DDLogVerbose(QStringLiteral("makeNewQuillnestConnector"));
    const QString source = connectorSourceString();
    DDLogVerbose(QStringLiteral("versionString %1").arg(source));
    const QString conduits = GlobalVariables::getEnabledConduitsForQuillnestConnector();
    QVariantMap body = accountBody(QStringLiteral("updateConnector"));
    body.insert(QStringLiteral("Token"), token);
    body.insert(QStringLiteral("Source"), source);
    body.insert(QStringLiteral("Email"), email);
    body.insert(QStringLiteral("Type"), QStringLiteral("Google"));
    body.insert(QStringLiteral("Conduits"), conduits.isNull() ? QStringLiteral("") : conduits);
    DDLogVerbose(QStringLiteral("updateConnector request: %1").arg(loggableJson(body)));
    DDLogVerbose(QStringLiteral("Sending create connector request"));
    sendAccountRequest(body, kConnectorTimeoutSeconds, [](const QString &reply) {
        DDLogVerbose(QStringLiteral("QuillnestSync kCreateConnectorResponseRecieved %1").arg(reply.left(2000)));
        postAnswer(kCreateConnectorResponseRecieved, reply);
    });
}
