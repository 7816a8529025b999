#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// Counts unfinished work: blocks queued through it and explicit enter/leave pairs. Waiters and
// notify blocks are released each time the count falls back to zero. Shared (std::shared_ptr);
// thread-safe.
class DispatchGroup final : public std::enable_shared_from_this<DispatchGroup>
{
public:
    static std::shared_ptr<DispatchGroup> create();

    DispatchGroup() = default;
    DispatchGroup(const DispatchGroup &) = delete;
    DispatchGroup &operator=(const DispatchGroup &) = delete;

    // Queues the block on the queue as part of this group.
    void async(const std::shared_ptr<DispatchQueue> &queue, DispatchBlock block);
    void enter();
    // A leave without a matching enter is logged and ignored rather than corrupting the count.
    void leave();

    // Waits until the group is empty; the timed form answers false when the time ran out first.
    void wait();
    bool wait(DispatchDuration timeLimit);
    // Queues the block on the queue once the group is empty (at once when it already is).
    void notify(const std::shared_ptr<DispatchQueue> &queue, DispatchBlock block);

private:
    struct Notification
    {
        std::shared_ptr<DispatchQueue> queue;
        DispatchBlock block;
    };

    std::mutex m_mutex;
    std::condition_variable m_emptied;
    long m_count = 0;
    std::vector<Notification> m_notifications;
};

} // namespace platform
