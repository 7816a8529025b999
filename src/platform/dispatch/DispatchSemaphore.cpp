#include "platform/dispatch/DispatchSemaphore.h"

#include "platform/dispatch/SpinWait.h"
#include "platform/dispatch/WorkerPool.h"

namespace platform {

namespace {

// How long a wait spins before it sleeps: about the time a serial queue's block takes to start on
// a spinning worker, run a short request and signal back.
constexpr auto kWaitSpin = std::chrono::microseconds(50);

} // namespace

std::shared_ptr<DispatchSemaphore> DispatchSemaphore::create(long initialCount)
{
    return std::make_shared<DispatchSemaphore>(initialCount);
}

DispatchSemaphore::DispatchSemaphore(long initialCount) : m_count(initialCount < 0 ? 0 : initialCount) {}

void DispatchSemaphore::wait()
{
    waitUntil(DispatchTime::max());
}

bool DispatchSemaphore::wait(DispatchDuration timeLimit)
{
    return waitUntil(deadlineAfter(timeLimit));
}

bool DispatchSemaphore::waitUntil(DispatchTime deadline)
{
    WorkerPool::beforeBlocking();
    std::unique_lock lock(m_mutex);
    if (m_count.load(std::memory_order_relaxed) > 0) {
        m_count.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }
    ++m_waiterCount;
    lock.unlock();
    spinForCount(deadline);
    lock.lock();
    const bool isTaken = takeLocked(lock, deadline);
    --m_waiterCount;
    return isTaken;
}

void DispatchSemaphore::spinForCount(DispatchTime deadline) const
{
    const DispatchDuration untilDeadline =
        deadline == DispatchTime::max() ? DispatchDuration::max() : deadline - DispatchClock::now();
    spinUntil([this] { return m_count.load(std::memory_order_acquire) > 0; },
              std::min(spinLimit(kWaitSpin), untilDeadline));
}

// Takes one from the count, sleeping while it is zero until the deadline. Called with the mutex held.
bool DispatchSemaphore::takeLocked(std::unique_lock<std::mutex> &lock, DispatchTime deadline)
{
    ++m_sleeperCount;
    const auto isAvailable = [this] { return m_count.load(std::memory_order_relaxed) > 0; };
    const bool isTaken = deadline == DispatchTime::max()
                             ? (m_available.wait(lock, isAvailable), true)
                             : m_available.wait_until(lock, deadline, isAvailable);
    --m_sleeperCount;
    if (isTaken)
        m_count.fetch_sub(1, std::memory_order_relaxed);
    return isTaken;
}

bool DispatchSemaphore::signal()
{
    std::lock_guard lock(m_mutex);
    m_count.fetch_add(1, std::memory_order_release);
    if (m_sleeperCount > 0)
        m_available.notify_one();
    return m_waiterCount > 0;
}

} // namespace platform
