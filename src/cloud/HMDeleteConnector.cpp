#include "cloud/HMDeleteConnector.h"

#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/LockedField.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "platform/restkit/RKResponse.h"
#include "sync/HMProfile.h"

using platform::PlatformError;
using platform::RKRequest;
using platform::RKResponse;

HMDeleteConnector::HMDeleteConnector() = default;

HMDeleteConnector::~HMDeleteConnector()
{
    const std::shared_ptr<RKRequest> last = request();
    if (last) {
        last->clearCallbacks();
        last->cancel();
    }
    m_callbacks.close();
}

std::shared_ptr<HMProfile> HMDeleteConnector::ensureProfile()
{
    if (std::shared_ptr<HMProfile> kept = profile())
        return kept;
    const std::shared_ptr<HMProfilesController> controller = GlobalVariables::getCurrentProfileController();
    if (!controller)
        return nullptr;
    const auto arranged = controller->arrangedObjects();
    const qsizetype index = controller->selectionIndex();
    if (index < 0 || index >= qsizetype(arranged.size()))
        return nullptr;
    setProfile(arranged.at(size_t(index)));
    return profile();
}

void HMDeleteConnector::dealWithIt()
{
    const std::shared_ptr<HMProfile> chosen = ensureProfile();
    if (!chosen)
        return;
    const QString username = chosen->hhUserId();
    const QString password = HMQuillnestSync::accountPasswordDigest(chosen->quillnestPassword());
    if (!username.isEmpty() && !password.isEmpty())
        getConnectorsForQNSUser(username, password);
}

void HMDeleteConnector::getConnectorsForQNSUser(const QString &username, const QString &password)
{
    {
        const std::lock_guard lock(m_mutex);
        m_username = username;
        m_passwordDigest = password;
    }
    // The password's digest travels here: never over plain HTTP.
    const QString baseUrl = QStringLiteral("https://") + HMQuillnestSync::serviceHost() + QStringLiteral("/v1");
    setWifiSyncClient(HMRestSyncClient::serialClientWithBaseURL(baseUrl));
    const QVariantMap body{{QStringLiteral("Username"), username},
                           {QStringLiteral("Password"), password},
                           {QStringLiteral("Action"), QStringLiteral("connectors")}};
    DDLogVerbose(QStringLiteral("connectors request: %1").arg(HMQuillnestSync::loggableJson(body)));
    DDLogVerbose(QStringLiteral("Sending connector list request"));
    send(body, [this](const QString &reply) {
        const std::optional<QVariantMap> parsed = dictionaryForJsonString(reply);
        if (parsed)
            parseConnectorsDictionary(*parsed);
        else
            DDLogError(QStringLiteral("The connector list is no JSON object"));
    });
}

void HMDeleteConnector::parseConnectorsDictionary(const QVariantMap &reply)
{
    const std::shared_ptr<HMProfile> chosen = ensureProfile();
    const QString googleName = chosen ? chosen->googleDirectUsername() : QString();
    const QVariant connectors = reply.value(QStringLiteral("Connectors"));
    if (connectors.typeId() != QMetaType::QVariantList)
        return;
    for (const QVariant &item : connectors.toList()) {
        const QVariantMap connector = item.toMap();
        if (connector.value(QStringLiteral("Type")).toString() == QLatin1String("Google")
            && connector.value(QStringLiteral("Email")).toString() == googleName) {
            deleteConnectorWithId(connector.value(QStringLiteral("Id")).toString());
            return;
        }
    }
}

void HMDeleteConnector::deleteConnectorWithId(const QString &connectorId)
{
    DDLogVerbose(QStringLiteral("Deleting %1").arg(connectorId));
    QString username;
    QString password;
    {
        const std::lock_guard lock(m_mutex);
        username = m_username;
        password = m_passwordDigest;
    }
    const QVariantMap body{{QStringLiteral("Username"), username},
                           {QStringLiteral("Password"), password},
                           {QStringLiteral("Action"), QStringLiteral("deleteConnector")},
                           {QStringLiteral("Id"), connectorId}};
    DDLogVerbose(QStringLiteral("deleteconnector request: %1").arg(HMQuillnestSync::loggableJson(body)));
    DDLogVerbose(QStringLiteral("Sending delete connector request"));
    send(body, [](const QString &reply) { DDLogVerbose(QStringLiteral("response.bodyAsString %1").arg(reply.left(2000))); });
}

void HMDeleteConnector::send(const QVariantMap &body, const std::function<void(const QString &)> &onReply)
{
    const std::shared_ptr<platform::RKClient> client = wifiSyncClient();
    if (!client)
        return;
    std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/account.php"));
    request->setMethod(platform::RKRequestMethod::POST);
    request->setTimeoutInterval(kTimeoutSeconds);
    request->setMaxResponseBytes(HMQuillnestSync::kMaxReplyBytes);
    request->setParams(platform::RKRequestSerialization(jsonStringFromDictionary(body).toUtf8(),
                                                        QString::fromLatin1(platform::RKMIMETypeJSON)));
    request->setOnDidLoadResponse(m_callbacks.wrap([onReply](const RKResponse &response) {
        if (response.statusCode() < 200 || response.statusCode() > 299) {
            DDLogError(QStringLiteral("The connector request failed: HTTP %1").arg(response.statusCode()));
            return;
        }
        onReply(response.bodyAsString());
    }));
    request->setOnDidFailLoadWithError(m_callbacks.wrap([](const PlatformError &error) {
        DDLogError(QStringLiteral("The connector request failed: %1").arg(error.localizedDescription()));
    }));
    setRequest(request);
    request->send();
}

QString HMDeleteConnector::jsonStringFromDictionary(const QVariantMap &dictionary)
{
    return HMQuillnestSync::jsonStringFromDictionary(dictionary);
}

std::optional<QVariantMap> HMDeleteConnector::dictionaryForJsonString(const QString &text)
{
    return HMQuillnestSync::dictionaryForJsonString(text);
}

std::shared_ptr<RKRequest> HMDeleteConnector::request() const
{
    return platform::lockedCopy(m_mutex, m_request);
}

void HMDeleteConnector::setRequest(std::shared_ptr<RKRequest> request)
{
    platform::lockedAssign(m_mutex, m_request, std::move(request));
}

std::shared_ptr<HMProfile> HMDeleteConnector::profile() const
{
    return platform::lockedCopy(m_mutex, m_profile);
}

void HMDeleteConnector::setProfile(std::shared_ptr<HMProfile> profile)
{
    platform::lockedAssign(m_mutex, m_profile, std::move(profile));
}

std::shared_ptr<platform::RKClient> HMDeleteConnector::wifiSyncClient() const
{
    return platform::lockedCopy(m_mutex, m_wifiSyncClient);
}

void HMDeleteConnector::setWifiSyncClient(std::shared_ptr<platform::RKClient> client)
{
    platform::lockedAssign(m_mutex, m_wifiSyncClient, std::move(client));
}
