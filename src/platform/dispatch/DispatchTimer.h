#pragma once

#include "platform/dispatch/DispatchSource.h"

#include <cstdint>

namespace platform {

// A timer source: fires its event handler on its queue once, or repeatedly at a fixed interval, on
// the monotonic clock (or a test's VirtualClock). Fires that fall due while the handler is still queued, or while the timer is
// suspended, are merged into one. A fire may come up to the leeway late, never early.
class DispatchTimer final : public DispatchSource
{
public:
    static std::shared_ptr<DispatchTimer> create(std::shared_ptr<DispatchQueue> queue);

    explicit DispatchTimer(std::shared_ptr<DispatchQueue> queue);
    ~DispatchTimer() override;

    void setEventHandler(DispatchBlock handler);
    // First fire after start from now, then every interval; a zero interval makes a one-shot timer.
    // Replaces any earlier schedule. The leeway is how late a fire may come; this timer always fires
    // at its deadline (as soon as the queue lets it), which every leeway allows.
    void schedule(DispatchDuration start, DispatchDuration interval, DispatchDuration leeway = {});
    void schedule(double startSeconds, double intervalSeconds, double leewaySeconds = 0);

private:
    void activateLocked() override;
    void deactivateLocked() override;
    void stopLocked() override;

    void armLocked();
    void disarmLocked();
    void onDeadline(const std::uint64_t &monitorId);
    DispatchTime clockNow() const;
    void cancelOnClock(std::uint64_t monitorId) const;
    void deliver() override;

    DispatchBlock m_handler;
    bool m_isScheduled = false;
    DispatchTime m_deadline;
    DispatchDuration m_interval{};
    std::uint64_t m_monitorId = 0;
    bool m_hasMissedFire = false;
    bool m_usesVirtualClock = false;
};

} // namespace platform
