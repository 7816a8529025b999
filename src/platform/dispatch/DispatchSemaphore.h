#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

// A counting semaphore: wait takes one from the count, waiting while it is zero; signal adds one and
// wakes one waiter. A wait spins briefly before it sleeps (see SpinWait.h), so a signal that comes
// within some tens of microseconds, as a queue's reply does, costs no wake-up. Shared between queues
// (std::shared_ptr); thread-safe.
class DispatchSemaphore final
{
public:
    static std::shared_ptr<DispatchSemaphore> create(long initialCount);

    explicit DispatchSemaphore(long initialCount);
    DispatchSemaphore(const DispatchSemaphore &) = delete;
    DispatchSemaphore &operator=(const DispatchSemaphore &) = delete;

    // Waits without a time limit.
    void wait();
    // Waits at most the given time; answers whether the count was taken (false: timed out).
    bool wait(DispatchDuration timeLimit);
    bool waitUntil(DispatchTime deadline);
    // Answers whether a waiting thread was woken.
    bool signal();

private:
    // Spins until the count is positive or the spin's limit (or the deadline) has passed.
    void spinForCount(DispatchTime deadline) const;
    bool takeLocked(std::unique_lock<std::mutex> &lock, DispatchTime deadline);

    std::mutex m_mutex;
    std::condition_variable m_available;
    // Changed under the mutex; read without it by spinning waiters.
    std::atomic<long> m_count{0};
    // Waiters spinning or sleeping; signal wakes only sleeping ones.
    long m_waiterCount = 0;
    long m_sleeperCount = 0;
};

} // namespace platform
