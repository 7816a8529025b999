#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A step scheduler on a clock of its own, which moves only when a test advances it: a scheduled step
// runs when the test has advanced the clock to its due time. Thread-safe; steps run on the thread
// that advances the clock, without any lock held.
class ManualStepScheduler final
{
public:
    using Step = std::function<void()>;

    // The scheduler in the form the background sync manager takes; it keeps this object alive.
    std::function<void(std::chrono::milliseconds, Step)> function();

    // Moves the clock forward, running every step that falls due on the way in due order, including
    // steps scheduled meanwhile.
    void advance(std::chrono::milliseconds by);
    // The time since the scheduler was made.
    std::chrono::milliseconds now() const;
    // The delays (from their scheduling) of the steps not yet run, in due order.
    std::vector<std::chrono::milliseconds> pendingDelays() const;
    // The due times of the steps not yet run, in due order.
    std::vector<std::chrono::milliseconds> pendingDueTimes() const;

private:
    struct Pending
    {
        std::chrono::milliseconds due;
        std::chrono::milliseconds delay;
        std::uint64_t order = 0;
        Step step;
    };

    void add(std::chrono::milliseconds delay, Step step);

    mutable std::mutex m_mutex;
    std::chrono::milliseconds m_now{0};
    std::uint64_t m_nextOrder = 0;
    std::vector<Pending> m_pending;
    std::shared_ptr<ManualStepScheduler *> m_self = std::make_shared<ManualStepScheduler *>(this);
};
