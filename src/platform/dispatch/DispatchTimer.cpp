#include "platform/dispatch/DispatchTimer.h"

#include "platform/dispatch/EventMonitor.h"
#include "platform/dispatch/VirtualClock.h"

namespace platform {

std::shared_ptr<DispatchTimer> DispatchTimer::create(std::shared_ptr<DispatchQueue> queue)
{
    return std::make_shared<DispatchTimer>(std::move(queue));
}

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue) : DispatchSource(std::move(queue)) {}

DispatchTimer::~DispatchTimer()
{
    if (m_monitorId != 0)
        cancelOnClock(m_monitorId);
}

void DispatchTimer::setEventHandler(DispatchBlock handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void DispatchTimer::schedule(DispatchDuration start, DispatchDuration interval,
                             [[maybe_unused]] DispatchDuration leeway)
{
    const auto keepAlive = shared_from_this();
    std::lock_guard lock(m_mutex);
    if (isCancelledLocked())
        return;
    disarmLocked();
    // The clock is chosen when the timer is scheduled: a test's virtual clock, or the real one.
    m_usesVirtualClock = VirtualClock::isInstalled();
    m_isScheduled = true;
    m_deadline = deadlineAfter(start, clockNow());
    m_interval = std::max(interval, DispatchDuration::zero());
    m_hasMissedFire = false;
    if (isRunningLocked())
        armLocked();
}

void DispatchTimer::schedule(double startSeconds, double intervalSeconds, double leewaySeconds)
{
    schedule(durationFromSeconds(startSeconds), durationFromSeconds(intervalSeconds),
             durationFromSeconds(leewaySeconds));
}

void DispatchTimer::activateLocked()
{
    if (m_hasMissedFire) {
        m_hasMissedFire = false;
        queueDeliveryLocked();
    }
    if (m_isScheduled)
        armLocked();
}

void DispatchTimer::deactivateLocked()
{
    // A deadline that passes while suspended is delivered once on resume: re-arming at the stored
    // deadline fires at once when it has passed.
    disarmLocked();
}

void DispatchTimer::stopLocked()
{
    disarmLocked();
    m_isScheduled = false;
}

void DispatchTimer::armLocked()
{
    if (m_monitorId != 0)
        return;
    const std::weak_ptr<DispatchTimer> weak = std::static_pointer_cast<DispatchTimer>(shared_from_this());
    const auto slot = std::make_shared<std::uint64_t>(0);
    const auto fire = [weak, slot] {
        if (const auto timer = weak.lock())
            timer->onDeadline(*slot);
    };
    m_monitorId = m_usesVirtualClock ? VirtualClock::addTimer(m_deadline, fire)
                                     : EventMonitor::shared().addTimer(m_deadline, fire);
    *slot = m_monitorId;
}

void DispatchTimer::disarmLocked()
{
    if (m_monitorId == 0)
        return;
    cancelOnClock(m_monitorId);
    m_monitorId = 0;
}

void DispatchTimer::onDeadline(const std::uint64_t &monitorId)
{
    // The id is read under the lock: armLocked stores it after registering, still holding the lock.
    std::lock_guard lock(m_mutex);
    // A timer re-scheduled or suspended after this fire was taken off the monitor: stale, drop it.
    if (monitorId != m_monitorId || !isRunningLocked())
        return;
    m_monitorId = 0;
    if (m_interval > DispatchDuration::zero()) {
        m_deadline = deadlineAfter(m_interval, m_deadline);
        const DispatchTime now = clockNow();
        // Fires missed while the machine was busy or asleep are merged: the next one is a whole
        // interval away, not a burst to catch up.
        if (m_deadline <= now)
            m_deadline = deadlineAfter(m_interval, now);
        armLocked();
    } else {
        m_isScheduled = false;
    }
    queueDeliveryLocked();
}

DispatchTime DispatchTimer::clockNow() const
{
    return m_usesVirtualClock ? VirtualClock::now() : DispatchClock::now();
}

void DispatchTimer::cancelOnClock(std::uint64_t monitorId) const
{
    if (m_usesVirtualClock)
        VirtualClock::cancelTimer(monitorId);
    else
        EventMonitor::shared().cancelTimer(monitorId);
}

void DispatchTimer::deliver()
{
    DispatchBlock handler;
    {
        std::lock_guard lock(m_mutex);
        m_isDeliveryQueued = false;
        if (isCancelledLocked())
            return;
        if (!isRunningLocked()) {
            m_hasMissedFire = true;
            return;
        }
        handler = m_handler;
    }
    if (handler)
        handler();
}

} // namespace platform
