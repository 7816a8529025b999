#pragma once

#include "platform/restkit/RKClient.h"

#include <QString>

#include <memory>

namespace platform {

// The object manager of the REST framework: a client for a base URL that callers reach process-wide,
// through which a run cancels every request it queued. Owned through std::shared_ptr; thread-safe.
class RKObjectManager final
{
public:
    // A new manager with a client of its own; the first made in the process becomes the shared one.
    static std::shared_ptr<RKObjectManager> objectManagerWithBaseURL(const QString &baseUrl);
    // The shared manager while there is one, else nullptr.
    static std::shared_ptr<RKObjectManager> sharedManager();
    static void setSharedManager(const std::shared_ptr<RKObjectManager> &manager);

    RKClient &client() { return *m_client; }
    const std::shared_ptr<RKClient> &clientPointer() const { return m_client; }
    RKRequestQueue &requestQueue() { return m_client->requestQueue(); }
    // Cancels the queued and running requests of its client; each reports requestDidCancelLoad.
    void cancelAllRequests() { requestQueue().cancelAllRequests(); }

private:
    explicit RKObjectManager(std::shared_ptr<RKClient> client) : m_client(std::move(client)) {}

    const std::shared_ptr<RKClient> m_client;
};

} // namespace platform
