#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <memory>
#include <mutex>

namespace platform {

// What timer and descriptor sources share: the queue their handlers run on, suspension and
// cancellation. A source is made suspended, so that its handlers can be set before anything fires;
// the first resume() starts it. suspend() and resume() nest. After cancel() no event handler starts
// again, and the cancel handler runs on the queue after any handler already running there (a serial
// queue's cancel handler is where a descriptor may be closed safely). A source stops when its last
// reference goes. Shared (std::shared_ptr); thread-safe.
class DispatchSource : public std::enable_shared_from_this<DispatchSource>
{
public:
    virtual ~DispatchSource();
    DispatchSource(const DispatchSource &) = delete;
    DispatchSource &operator=(const DispatchSource &) = delete;

    const std::shared_ptr<DispatchQueue> &queue() const { return m_queue; }

    void setCancelHandler(DispatchBlock handler);
    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const;

protected:
    explicit DispatchSource(std::shared_ptr<DispatchQueue> queue);

    // Called with m_mutex held when the source starts or restarts, stops for a suspension, and is
    // cancelled. They talk only to the event monitor, never to the caller's code.
    virtual void activateLocked() = 0;
    virtual void deactivateLocked() = 0;
    virtual void stopLocked() = 0;

    bool isRunningLocked() const { return !m_isCancelled && m_suspendCount == 0; }
    bool isCancelledLocked() const { return m_isCancelled; }

    // Queues one call of deliver() on the queue, holding the source only weakly; events that come
    // while it is still queued merge into it. Called with m_mutex held; deliver() clears
    // m_isDeliveryQueued under the lock before it reads what to deliver.
    void queueDeliveryLocked();
    // Runs the event handler on the queue.
    virtual void deliver() = 0;

    mutable std::mutex m_mutex;
    bool m_isDeliveryQueued = false;

private:
    const std::shared_ptr<DispatchQueue> m_queue;
    DispatchBlock m_cancelHandler;
    int m_suspendCount = 1;
    bool m_isCancelled = false;
};

} // namespace platform
