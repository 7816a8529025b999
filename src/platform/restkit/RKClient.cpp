#include "platform/restkit/RKClient.h"

#include "platform/foundation/LockedField.h"

#include <QUrl>

namespace platform {

namespace {

std::mutex s_sharedMutex;
std::weak_ptr<RKClient> s_sharedClient;
bool s_hasMadeClient = false;

QString hostOf(const QString &baseUrl)
{
    return QUrl(baseUrl).host();
}

quint16 portOf(const QString &baseUrl)
{
    const QUrl url(baseUrl);
    return quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
}

} // namespace

RKClient::RKClient(QString baseUrl)
    : m_baseUrl(std::move(baseUrl)), m_queue(std::make_shared<RKRequestQueue>()),
      m_reachability(hostOf(m_baseUrl), portOf(m_baseUrl))
{
    m_caFile = defaultExtraCACertificatesFile();
}

std::shared_ptr<RKClient> RKClient::clientWithBaseURL(const QString &baseUrl)
{
    std::shared_ptr<RKClient> client(new RKClient(baseUrl));
    const std::lock_guard lock(s_sharedMutex);
    if (!s_hasMadeClient) {
        s_hasMadeClient = true;
        s_sharedClient = client;
    }
    return client;
}

RKClient::~RKClient()
{
    m_queue->abandonAll();
}

std::shared_ptr<RKClient> RKClient::sharedClient()
{
    const std::lock_guard lock(s_sharedMutex);
    return s_sharedClient.lock();
}

void RKClient::setSharedClient(const std::shared_ptr<RKClient> &client)
{
    const std::lock_guard lock(s_sharedMutex);
    s_hasMadeClient = true;
    s_sharedClient = client;
}

std::shared_ptr<RKRequest> RKClient::requestWithResourcePath(const QString &resourcePath)
{
    QList<RKResponse::Header> headers = HTTPHeaders();
    return std::shared_ptr<RKRequest>(new RKRequest(m_queue, resourcePath, m_baseUrl + resourcePath,
                                                    std::move(headers), extraCACertificatesFile()));
}

namespace {
std::mutex s_defaultCAMutex;
QString s_defaultCAFile;
} // namespace

void RKClient::setDefaultExtraCACertificatesFile(const QString &path)
{
    const std::lock_guard lock(s_defaultCAMutex);
    s_defaultCAFile = path;
}

QString RKClient::defaultExtraCACertificatesFile()
{
    const std::lock_guard lock(s_defaultCAMutex);
    return s_defaultCAFile;
}

void RKClient::setExtraCACertificatesFile(const QString &path)
{
    lockedAssign(m_mutex, m_caFile, path);
}

QString RKClient::extraCACertificatesFile() const
{
    return lockedCopy(m_mutex, m_caFile);
}

void RKClient::setCachePolicy(RKRequestCachePolicy policy)
{
    lockedAssign(m_mutex, m_cachePolicy, policy);
}

RKRequestCachePolicy RKClient::cachePolicy() const
{
    return lockedCopy(m_mutex, m_cachePolicy);
}

void RKClient::setValueForHTTPHeaderField(const QByteArray &value, const QByteArray &field)
{
    const std::lock_guard lock(m_mutex);
    setHeaderValue(m_headers, field, value);
}

QList<RKResponse::Header> RKClient::HTTPHeaders() const
{
    return lockedCopy(m_mutex, m_headers);
}

} // namespace platform
