#include "platform/dispatch/DispatchGroup.h"

#include "platform/dispatch/DispatchLog.h"
#include "platform/dispatch/WorkerPool.h"

namespace platform {

std::shared_ptr<DispatchGroup> DispatchGroup::create()
{
    return std::make_shared<DispatchGroup>();
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue> &queue, DispatchBlock block)
{
    enter();
    queue->async([group = shared_from_this(), block = std::move(block)] {
        // Leaves even when the block throws; the queue logs the exception.
        struct Leave
        {
            DispatchGroup &group;
            ~Leave() { group.leave(); }
        } leave{*group};
        block();
    });
}

void DispatchGroup::enter()
{
    std::lock_guard lock(m_mutex);
    ++m_count;
}

void DispatchGroup::leave()
{
    std::vector<Notification> released;
    {
        std::lock_guard lock(m_mutex);
        if (m_count == 0) {
            logDispatchProblem(QStringLiteral("group left more often than entered; ignored"));
            return;
        }
        if (--m_count > 0)
            return;
        released.swap(m_notifications);
        m_emptied.notify_all();
    }
    for (Notification &notification : released)
        notification.queue->async(std::move(notification.block));
}

void DispatchGroup::wait()
{
    WorkerPool::beforeBlocking();
    std::unique_lock lock(m_mutex);
    m_emptied.wait(lock, [this] { return m_count == 0; });
}

bool DispatchGroup::wait(DispatchDuration timeLimit)
{
    WorkerPool::beforeBlocking();
    std::unique_lock lock(m_mutex);
    return m_emptied.wait_until(lock, deadlineAfter(timeLimit), [this] { return m_count == 0; });
}

void DispatchGroup::notify(const std::shared_ptr<DispatchQueue> &queue, DispatchBlock block)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_count > 0) {
            m_notifications.push_back(Notification{queue, std::move(block)});
            return;
        }
    }
    queue->async(std::move(block));
}

} // namespace platform
