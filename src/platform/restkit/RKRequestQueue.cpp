#include "platform/restkit/RKRequestQueue.h"

#include "platform/foundation/LockedField.h"
#include "platform/restkit/RKNetworkThread.h"
#include "platform/restkit/RKRequest.h"

#include <algorithm>

namespace platform {

void RKRequestQueue::setConcurrentRequestsLimit(int limit)
{
    {
        const std::lock_guard lock(m_mutex);
        m_limit = qMax(1, limit);
    }
    scheduleStart();
}

int RKRequestQueue::concurrentRequestsLimit() const
{
    return lockedCopy(m_mutex, m_limit);
}

void RKRequestQueue::cancelAllRequests()
{
    std::vector<std::shared_ptr<RKRequest>> requests;
    {
        const std::lock_guard lock(m_mutex);
        requests.assign(m_waiting.begin(), m_waiting.end());
        requests.insert(requests.end(), m_loading.begin(), m_loading.end());
    }
    for (const std::shared_ptr<RKRequest> &request : requests)
        request->cancel();
}

qsizetype RKRequestQueue::count() const
{
    const std::lock_guard lock(m_mutex);
    return qsizetype(m_waiting.size() + m_loading.size());
}

qsizetype RKRequestQueue::loadingCount() const
{
    const std::lock_guard lock(m_mutex);
    return qsizetype(m_loading.size());
}

bool RKRequestQueue::addRequest(std::shared_ptr<RKRequest> request)
{
    const RKRequest *added = request.get();
    {
        const std::lock_guard lock(m_mutex);
        m_waiting.push_back(std::move(request));
    }
    if (scheduleStart())
        return true;
    removeWaitingRequest(added);
    return false;
}

bool RKRequestQueue::removeWaitingRequest(const RKRequest *request)
{
    const std::lock_guard lock(m_mutex);
    const auto found =
        std::find_if(m_waiting.begin(), m_waiting.end(),
                     [request](const std::shared_ptr<RKRequest> &item) { return item.get() == request; });
    if (found == m_waiting.end())
        return false;
    m_waiting.erase(found);
    return true;
}

void RKRequestQueue::requestEnded(const RKRequest *request)
{
    {
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_loading, [request](const std::shared_ptr<RKRequest> &item) { return item.get() == request; });
    }
    if (RKNetworkThread::isCurrentThread())
        startWaitingRequests();
    else
        scheduleStart();
}

void RKRequestQueue::abandonAll()
{
    std::deque<std::shared_ptr<RKRequest>> waiting;
    std::vector<std::shared_ptr<RKRequest>> loading;
    {
        const std::lock_guard lock(m_mutex);
        waiting.swap(m_waiting);
        loading = m_loading;
    }
    for (const std::shared_ptr<RKRequest> &request : waiting)
        request->abandon(RKRequest::Abandon::Waiting);
    for (const std::shared_ptr<RKRequest> &request : loading)
        request->abandon(RKRequest::Abandon::Loading);
}

bool RKRequestQueue::scheduleStart()
{
    std::weak_ptr<RKRequestQueue> weakSelf = weak_from_this();
    return RKNetworkThread::post([weakSelf] {
        if (const std::shared_ptr<RKRequestQueue> self = weakSelf.lock())
            self->startWaitingRequests();
    });
}

void RKRequestQueue::startWaitingRequests()
{
    // Each start may end its request at once (a bad URL), which re-enters through requestEnded; the
    // loop takes one request per pass so that re-entry sees a consistent queue.
    for (;;) {
        std::shared_ptr<RKRequest> next;
        {
            const std::lock_guard lock(m_mutex);
            if (m_waiting.empty() || qsizetype(m_loading.size()) >= m_limit)
                return;
            next = m_waiting.front();
            m_waiting.pop_front();
            m_loading.push_back(next);
        }
        next->start();
    }
}

} // namespace platform
