#include "platform/dispatch/RunLoopTimer.h"

#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/VirtualClock.h"

namespace platform {

namespace {

// A zero or negative interval would spin the main loop; the platform's run-loop timers take
// 0.1 ms as the shortest interval as well.
constexpr double kShortestIntervalSeconds = 0.0001;

// The clock the underlying timer counts on: a test's virtual clock while one is installed. Fire dates
// taken from the other clock would drift by the real time that passes between virtual steps.
DispatchTime timerNow()
{
    return VirtualClock::isInstalled() ? VirtualClock::now() : DispatchClock::now();
}

} // namespace

std::shared_ptr<RunLoopTimer> RunLoopTimer::scheduled(double intervalSeconds, Repeats repeats, Action action)
{
    auto timer = std::make_shared<RunLoopTimer>(intervalSeconds, repeats, std::move(action));
    timer->start();
    return timer;
}

RunLoopTimer::RunLoopTimer(double intervalSeconds, Repeats repeats, Action action)
    : m_intervalSeconds(std::max(intervalSeconds, kShortestIntervalSeconds)), m_repeats(repeats),
      m_action(std::move(action)), m_timer(DispatchTimer::create(DispatchQueue::main()))
{
}

RunLoopTimer::~RunLoopTimer()
{
    m_timer->cancel();
}

void RunLoopTimer::start()
{
    // The handler holds the timer strongly: that reference is the run loop's, dropped by invalidate().
    m_timer->setEventHandler([self = shared_from_this()] { self->fired(); });
    {
        std::lock_guard lock(m_mutex);
        scheduleLocked(deadlineAfter(durationFromSeconds(m_intervalSeconds), timerNow()));
    }
    m_timer->resume();
}

void RunLoopTimer::scheduleLocked(DispatchTime fireDate)
{
    // Each fire is scheduled on its own, from the fire date this timer announces: the underlying
    // timer's deadline is taken later than the fire date, so no fire comes before it.
    m_fireDate = fireDate;
    const DispatchDuration delay = fireDate - timerNow();
    m_timer->schedule(std::max(delay, DispatchDuration::zero()), DispatchDuration::zero());
}

bool RunLoopTimer::isValid() const
{
    std::lock_guard lock(m_mutex);
    return m_isValid;
}

DispatchTime RunLoopTimer::fireDate() const
{
    std::lock_guard lock(m_mutex);
    return m_fireDate;
}

void RunLoopTimer::invalidate()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_isValid)
            return;
        m_isValid = false;
    }
    m_timer->cancel();
    // Drops the run loop's reference; the caller's (or the firing action's) keeps the object alive.
    m_timer->setEventHandler(nullptr);
}

void RunLoopTimer::fired()
{
    const auto keepAlive = shared_from_this();
    {
        std::lock_guard lock(m_mutex);
        if (!m_isValid)
            return;
        if (m_repeats == Repeats::Yes) {
            // The next fire keeps to the grid of intervals; fires missed while the main thread was
            // busy are merged, so the next one is a whole interval away rather than a burst.
            const DispatchDuration interval = durationFromSeconds(m_intervalSeconds);
            const DispatchTime now = timerNow();
            DispatchTime next = deadlineAfter(interval, m_fireDate);
            if (next <= now)
                next = deadlineAfter(interval, now);
            scheduleLocked(next);
        }
    }
    m_action(*this);
    if (m_repeats == Repeats::No)
        invalidate();
}

} // namespace platform
