#include "platform/dispatch/SerialQueue.h"

#include "platform/dispatch/WorkerPool.h"

namespace platform {

namespace {

// Blocks run by one drain before the thread goes back to the pool, so one busy queue cannot keep
// a thread from other queues' work indefinitely.
constexpr int kBlocksPerDrain = 256;

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
    }
    scheduleDrain();
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
