#include "sync/HMLiveRequests.h"

#include "platform/restkit/RKRequest.h"

using platform::RKRequest;

void HMLiveRequests::remember(const std::shared_ptr<RKRequest> &request)
{
    std::erase_if(m_requests, [](const std::weak_ptr<RKRequest> &weak) { return weak.expired(); });
    m_requests.push_back(request);
}

std::vector<std::shared_ptr<RKRequest>> HMLiveRequests::alive() const
{
    std::vector<std::shared_ptr<RKRequest>> requests;
    for (const std::weak_ptr<RKRequest> &weak : m_requests) {
        if (std::shared_ptr<RKRequest> request = weak.lock())
            requests.push_back(std::move(request));
    }
    return requests;
}
