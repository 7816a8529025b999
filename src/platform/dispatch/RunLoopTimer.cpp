#include "platform/dispatch/RunLoopTimer.h"

#include "platform/dispatch/DispatchTimer.h"

namespace platform {

namespace {

// A zero or negative interval would spin the main loop; the platform's run-loop timers take
// 0.1 ms as the shortest interval as well.
constexpr double kShortestIntervalSeconds = 0.0001;

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
    const double interval = m_repeats == Repeats::Yes ? m_intervalSeconds : 0;
    {
        std::lock_guard lock(m_mutex);
        m_fireDate = deadlineAfter(durationFromSeconds(m_intervalSeconds));
    }
    m_timer->schedule(m_intervalSeconds, interval);
    m_timer->resume();
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
        m_fireDate = deadlineAfter(durationFromSeconds(m_intervalSeconds));
    }
    m_action(*this);
    if (m_repeats == Repeats::No)
        invalidate();
}

} // namespace platform
