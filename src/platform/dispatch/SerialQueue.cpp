#include "platform/dispatch/SerialQueue.h"

#include "platform/dispatch/WorkerPool.h"

namespace platform {

namespace {

// Blocks run by one drain before the thread goes back to the pool, so one busy queue cannot keep
// a thread from other queues' work indefinitely.
constexpr int kBlocksPerDrain = 256;
// Up to this many blocks waiting, a queue that fed another steps aside for it (see drain).
constexpr size_t kStepAsideBacklog = 4;

} // namespace

SerialQueue::SerialQueue(const QString &label) : DispatchQueue(label, QueueKind::Serial, QueuePriority::Default, false)
{
}

void SerialQueue::async(DispatchBlock block)
{
    std::unique_lock lock(m_mutex);
    m_pending.push_back(std::move(block));
    if (m_isActive)
        return;
    m_isActive = true;
    lock.unlock();
    scheduleDrain();
}

void SerialQueue::sync(const DispatchBlock &block)
{
    if (isHeldByCurrentThread()) {
        reportSelfSync();
        runBlock(block);
        return;
    }
    std::unique_lock lock(m_mutex);
    if (m_isActive || !m_pending.empty()) {
        lock.unlock();
        syncThroughQueue(block);
        return;
    }
    m_isActive = true;
    lock.unlock();
    runBlock(block);
    releaseAfterInlineRun();
}

void SerialQueue::scheduleDrain()
{
    WorkerPool::shared().submit([self = std::static_pointer_cast<SerialQueue>(shared_from_this())] { self->drain(); },
                                priority());
}

void SerialQueue::drain()
{
    for (int count = 0; count < kBlocksPerDrain; ++count) {
        DispatchBlock block;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty()) {
                m_isActive = false;
                return;
            }
            block = std::move(m_pending.front());
            m_pending.pop_front();
        }
        runBlock(block);
        if (!WorkerPool::hasDeferredTasks())
            continue;
        // The block fed another queue, whose drain waits for this thread. With a few blocks of its
        // own waiting, this queue steps aside: the fed queue runs first, while its input is fresh in
        // the caches, and this queue goes on after it, so one thread carries a pipeline of queues
        // without waking another. With a backlog, the fed queue would wait long: it gets a thread of
        // its own now and the two run side by side.
        const size_t pending = pendingCount();
        if (pending > kStepAsideBacklog)
            WorkerPool::handOverDeferredTasks();
        else if (pending > 0)
            break;
    }
    scheduleDrain();
}

size_t SerialQueue::pendingCount()
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

void SerialQueue::releaseAfterInlineRun()
{
    std::unique_lock lock(m_mutex);
    if (m_pending.empty()) {
        m_isActive = false;
        return;
    }
    lock.unlock();
    scheduleDrain();
}

} // namespace platform
