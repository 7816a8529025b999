#pragma once

#include <QtGlobal>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class RKRequest;

// The queue of one RKClient: requests wait in the order sent and load on the framework's thread, at
// most concurrentRequestsLimit() at a time (1 unless changed), so with the default limit each request
// starts only after the one before it has ended and made all its callbacks. Owned by its client and
// shared with the requests it holds. Thread-safe.
class RKRequestQueue final : public std::enable_shared_from_this<RKRequestQueue>
{
public:
    void setConcurrentRequestsLimit(int limit);
    int concurrentRequestsLimit() const;
    // Cancels every waiting and loading request; each reports requestDidCancelLoad.
    void cancelAllRequests();
    // Requests waiting or loading.
    qsizetype count() const;
    qsizetype loadingCount() const;

private:
    friend class RKClient;
    friend class RKRequest;

    // Any thread: the request waits for its turn. Answers false, and keeps nothing, when the
    // framework's thread cannot run (no application object).
    bool addRequest(std::shared_ptr<RKRequest> request);
    // Any thread: answers whether the request was still waiting, and takes it out if so.
    bool removeWaitingRequest(const RKRequest *request);
    // An ended request leaves the queue and the next ones start on the framework thread.
    void requestEnded(const RKRequest *request);
    // Any thread: the client goes; every request ends without callbacks.
    void abandonAll();
    bool scheduleStart();
    void startWaitingRequests();

    mutable std::mutex m_mutex;
    std::deque<std::shared_ptr<RKRequest>> m_waiting;
    std::vector<std::shared_ptr<RKRequest>> m_loading;
    int m_limit = 1;
};

} // namespace platform
