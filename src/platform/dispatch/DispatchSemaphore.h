#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

// A counting semaphore: wait takes one from the count, waiting while it is zero; signal adds one and
// wakes one waiter. Shared between queues (std::shared_ptr); thread-safe.
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
    std::mutex m_mutex;
    std::condition_variable m_available;
    long m_count = 0;
    long m_waiterCount = 0;
};

} // namespace platform
