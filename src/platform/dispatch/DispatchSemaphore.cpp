#include "platform/dispatch/DispatchSemaphore.h"

#include "platform/dispatch/WorkerPool.h"

namespace platform {

std::shared_ptr<DispatchSemaphore> DispatchSemaphore::create(long initialCount)
{
    return std::make_shared<DispatchSemaphore>(initialCount);
}

DispatchSemaphore::DispatchSemaphore(long initialCount) : m_count(initialCount < 0 ? 0 : initialCount) {}

void DispatchSemaphore::wait()
{
    WorkerPool::beforeBlocking();
    std::unique_lock lock(m_mutex);
    ++m_waiterCount;
    m_available.wait(lock, [this] { return m_count > 0; });
    --m_waiterCount;
    --m_count;
}

bool DispatchSemaphore::wait(DispatchDuration timeLimit)
{
    return waitUntil(deadlineAfter(timeLimit));
}

bool DispatchSemaphore::waitUntil(DispatchTime deadline)
{
    WorkerPool::beforeBlocking();
    std::unique_lock lock(m_mutex);
    ++m_waiterCount;
    const bool isTaken = m_available.wait_until(lock, deadline, [this] { return m_count > 0; });
    --m_waiterCount;
    if (isTaken)
        --m_count;
    return isTaken;
}

bool DispatchSemaphore::signal()
{
    std::lock_guard lock(m_mutex);
    ++m_count;
    m_available.notify_one();
    return m_waiterCount > 0;
}

} // namespace platform
