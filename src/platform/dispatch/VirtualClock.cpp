#include "platform/dispatch/VirtualClock.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct VirtualTimer
{
    std::uint64_t id = 0;
    DispatchTime deadline;
    std::function<void()> fire;
};

struct VirtualClockState
{
    std::mutex mutex;
    bool isInstalled = false;
    DispatchTime now;
    std::uint64_t nextId = 1;
    std::vector<VirtualTimer> timers;
};

VirtualClockState &state()
{
    static VirtualClockState s_state;
    return s_state;
}

} // namespace

void VirtualClock::install()
{
    std::lock_guard lock(state().mutex);
    state().isInstalled = true;
    state().now = DispatchClock::now();
}

void VirtualClock::uninstall()
{
    std::lock_guard lock(state().mutex);
    state().isInstalled = false;
    state().timers.clear();
}

bool VirtualClock::isInstalled()
{
    std::lock_guard lock(state().mutex);
    return state().isInstalled;
}

void VirtualClock::advance(DispatchDuration delta)
{
    std::vector<VirtualTimer> due;
    {
        std::lock_guard lock(state().mutex);
        state().now += std::max(delta, DispatchDuration::zero());
        const DispatchTime now = state().now;
        auto &timers = state().timers;
        const auto firstLater = std::stable_partition(timers.begin(), timers.end(),
                                                      [now](const VirtualTimer &timer) { return timer.deadline <= now; });
        due.assign(std::make_move_iterator(timers.begin()), std::make_move_iterator(firstLater));
        timers.erase(timers.begin(), firstLater);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const VirtualTimer &a, const VirtualTimer &b) { return a.deadline < b.deadline; });
    // Fired without the lock: a fire may add a timer again (a repeating one).
    for (const VirtualTimer &timer : due)
        timer.fire();
}

void VirtualClock::advance(double seconds)
{
    advance(durationFromSeconds(seconds));
}

DispatchTime VirtualClock::now()
{
    std::lock_guard lock(state().mutex);
    return state().isInstalled ? state().now : DispatchClock::now();
}

std::uint64_t VirtualClock::addTimer(DispatchTime deadline, std::function<void()> fire)
{
    std::lock_guard lock(state().mutex);
    const std::uint64_t id = state().nextId++;
    state().timers.push_back(VirtualTimer{id, deadline, std::move(fire)});
    return id;
}

void VirtualClock::cancelTimer(std::uint64_t id)
{
    std::lock_guard lock(state().mutex);
    auto &timers = state().timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [id](const VirtualTimer &timer) { return timer.id == id; }),
                 timers.end());
}

} // namespace platform
