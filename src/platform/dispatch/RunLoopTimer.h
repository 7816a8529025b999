#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class DispatchTimer;

// A timer of the main run loop: its action runs on the main queue (so on the Qt event loop, or when
// the main queue is pumped), once or every interval, first one interval after scheduling. Like the
// platform's run-loop timers, a valid timer is kept alive by the run loop itself: dropping the last
// outside reference does not stop it; invalidate() does, and a one-shot timer invalidates itself
// after it has fired. Thread-safe; the action always runs on the main thread.
class RunLoopTimer final : public std::enable_shared_from_this<RunLoopTimer>
{
public:
    enum class Repeats { No, Yes };
    // The action receives the timer that fired, so one action can serve several timers.
    using Action = std::function<void(RunLoopTimer &timer)>;

    static std::shared_ptr<RunLoopTimer> scheduled(double intervalSeconds, Repeats repeats, Action action);

    RunLoopTimer(double intervalSeconds, Repeats repeats, Action action);
    ~RunLoopTimer();
    RunLoopTimer(const RunLoopTimer &) = delete;
    RunLoopTimer &operator=(const RunLoopTimer &) = delete;

    double timeInterval() const { return m_intervalSeconds; }
    bool repeats() const { return m_repeats == Repeats::Yes; }
    bool isValid() const;
    // When the timer fires next; meaningless once the timer is invalid.
    DispatchTime fireDate() const;
    void invalidate();

private:
    void start();
    void scheduleLocked(DispatchTime fireDate);
    void fired();

    const double m_intervalSeconds;
    const Repeats m_repeats;
    const Action m_action;
    mutable std::mutex m_mutex;
    std::shared_ptr<DispatchTimer> m_timer;
    DispatchTime m_fireDate;
    bool m_isValid = true;
};

} // namespace platform
