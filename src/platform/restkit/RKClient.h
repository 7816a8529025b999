#pragma once

#include "platform/restkit/RKReachabilityObserver.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestQueue.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>

namespace platform {

// A REST client for one base URL ("http://127.0.0.1:8090"): it makes requests for resource paths
// under that URL and runs them on its own request queue, one at a time in the order sent unless the
// queue's limit is raised. Requests load on the framework's own thread (RKNetworkThread), and all
// their callbacks arrive there, never on the sender's thread or queue. Plain HTTP and HTTPS URLs are
// accepted; HTTPS servers are verified (chain and host name) against the system's certificates and
// the client's extra certificates, if any.
//
// Owned through std::shared_ptr; any thread may use it. When the client goes, its waiting and loading
// requests end without any further callback, so a delegate that owns its client is never called
// after destroying it.
class RKClient final
{
public:
    // A new client; the first client made in the process becomes the shared client.
    static std::shared_ptr<RKClient> clientWithBaseURL(const QString &baseUrl);
    ~RKClient();
    RKClient(const RKClient &) = delete;
    RKClient &operator=(const RKClient &) = delete;

    // The shared client while it exists, else nullptr.
    static std::shared_ptr<RKClient> sharedClient();
    static void setSharedClient(const std::shared_ptr<RKClient> &client);

    const QString &baseURL() const { return m_baseUrl; }
    // A new request for the resource path (with any query) appended to the base URL.
    std::shared_ptr<RKRequest> requestWithResourcePath(const QString &resourcePath);

    RKRequestQueue &requestQueue() { return *m_queue; }
    void setCachePolicy(RKRequestCachePolicy policy);
    RKRequestCachePolicy cachePolicy() const;
    // A header for every request made after this call; an empty value removes it.
    void setValueForHTTPHeaderField(const QByteArray &value, const QByteArray &field);
    QList<RKResponse::Header> HTTPHeaders() const;

    // A PEM file of certificates trusted besides the system's for the requests made after this call;
    // empty: none. A new client starts with the process default, which the programs take from the
    // environment variable HM_TLS_CA_FILE.
    void setExtraCACertificatesFile(const QString &path);
    QString extraCACertificatesFile() const;
    static void setDefaultExtraCACertificatesFile(const QString &path);
    static QString defaultExtraCACertificatesFile();

    RKReachabilityObserver &reachabilityObserver() { return m_reachability; }
    bool isReachabilityDetermined() const { return m_reachability.isReachabilityDetermined(); }
    bool isNetworkReachable() const { return m_reachability.isNetworkReachable(); }

private:
    explicit RKClient(QString baseUrl);

    const QString m_baseUrl;
    const std::shared_ptr<RKRequestQueue> m_queue;
    RKReachabilityObserver m_reachability;
    mutable std::mutex m_mutex;
    RKRequestCachePolicy m_cachePolicy = RKRequestCachePolicy::None;
    QList<RKResponse::Header> m_headers;
    QString m_caFile;
};

} // namespace platform
