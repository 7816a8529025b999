#pragma once

#include "platform/foundation/CallbackGuard.h"
#include "platform/restkit/RKRequestDelegate.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <optional>

class HMProfile;

namespace platform {
class RKClient;
class RKRequest;
} // namespace platform

// Removes the account's Google connector from the cloud service: lists the account's connectors and
// deletes the first Google connector whose "Email" is the profile's Google account name. Always over
// HTTPS, whatever the "quillnestUseUnsecureHttp" switch says: the request carries the password's
// digest. Failures are only logged.
//
// Made and kept by its caller on the main thread; the replies arrive on the REST framework's thread,
// which runs the next request from there. The destructor ends the request under way without further
// callbacks.
class HMDeleteConnector final : public platform::RKRequestDelegate
{
public:
    static constexpr double kTimeoutSeconds = 30.0;

    HMDeleteConnector();
    ~HMDeleteConnector() override;
    HMDeleteConnector(const HMDeleteConnector &) = delete;
    HMDeleteConnector &operator=(const HMDeleteConnector &) = delete;

    // Takes the profile (the current profile controller's selection when none was set) and, when it
    // has a cloud user name and password, asks for the connectors.
    void dealWithIt();
    void getConnectorsForQNSUser(const QString &username, const QString &password);
    // Deletes the matching Google connector of a connectors reply; nothing when there is none.
    void parseConnectorsDictionary(const QVariantMap &reply);
    void deleteConnectorWithId(const QString &connectorId);
    static QString jsonStringFromDictionary(const QVariantMap &dictionary);
    static std::optional<QVariantMap> dictionaryForJsonString(const QString &text);

    std::shared_ptr<platform::RKRequest> request() const;
    void setRequest(std::shared_ptr<platform::RKRequest> request);
    std::shared_ptr<HMProfile> profile() const;
    void setProfile(std::shared_ptr<HMProfile> profile);
    std::shared_ptr<platform::RKClient> wifiSyncClient() const;
    void setWifiSyncClient(std::shared_ptr<platform::RKClient> client);

private:
    std::shared_ptr<HMProfile> ensureProfile();
    void send(const QVariantMap &body, const std::function<void(const QString &)> &onReply);

    mutable std::mutex m_mutex;
    std::shared_ptr<platform::RKRequest> m_request;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<platform::RKClient> m_wifiSyncClient;
    QString m_username;
    QString m_passwordDigest;
    platform::CallbackGuard m_callbacks;
};
