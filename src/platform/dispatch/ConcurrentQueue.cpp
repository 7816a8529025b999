#include "platform/dispatch/ConcurrentQueue.h"

#include "platform/dispatch/WorkerPool.h"

namespace platform {

ConcurrentQueue::ConcurrentQueue(const QString &label, QueuePriority priority, Global global)
    : DispatchQueue(label, QueueKind::Concurrent, priority, global == Global::Yes)
{
}

void ConcurrentQueue::async(DispatchBlock block)
{
    enqueue(Item{std::move(block), false});
}

void ConcurrentQueue::barrierAsync(DispatchBlock block)
{
    enqueue(Item{std::move(block), !isGlobal()});
}

void ConcurrentQueue::sync(const DispatchBlock &block)
{
    // With no barrier running or waiting, the block may start at once beside the running ones, and
    // running it on the caller's thread spares two thread switches. Other blocks of the queue may run
    // beside it, so a sync from inside the queue cannot wait for itself either way.
    {
        std::unique_lock lock(m_mutex);
        if (m_isBarrierRunning || !m_pending.empty()) {
            lock.unlock();
            syncThroughQueue(block);
            return;
        }
        ++m_runningCount;
    }
    runBlock(block);
    finished(false);
}

void ConcurrentQueue::enqueue(Item item)
{
    std::vector<Item> startable;
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(std::move(item));
        startable = takeStartable();
    }
    start(std::move(startable));
}

std::vector<ConcurrentQueue::Item> ConcurrentQueue::takeStartable()
{
    std::vector<Item> startable;
    while (!m_pending.empty() && !m_isBarrierRunning) {
        if (m_pending.front().isBarrier) {
            if (m_runningCount > 0)
                break;
            m_isBarrierRunning = true;
        }
        ++m_runningCount;
        startable.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    return startable;
}

void ConcurrentQueue::start(std::vector<Item> items)
{
    if (items.empty())
        return;
    const auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
    for (Item &item : items) {
        WorkerPool::shared().submit(
            [self, item = std::move(item)] {
                self->runBlock(item.block);
                self->finished(item.isBarrier);
            },
            priority());
    }
}

void ConcurrentQueue::finished(bool wasBarrier)
{
    std::vector<Item> startable;
    {
        std::lock_guard lock(m_mutex);
        --m_runningCount;
        if (wasBarrier)
            m_isBarrierRunning = false;
        startable = takeStartable();
    }
    start(std::move(startable));
}

} // namespace platform
