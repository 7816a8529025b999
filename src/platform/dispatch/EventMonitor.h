#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Result.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// The one thread that watches the clock and file descriptors for the dispatch layer (epoll, with a
// timerfd for the earliest deadline). Callbacks run on that thread (a descriptor's also on an idle
// worker that takes the kernel's reports, see handleReportedDescriptors) and must only hand work to a
// queue; they never run under the monitor's lock, so they may call back into it. Started on first use;
// thread-safe; its state outlives static destruction like the worker pool's.
class EventMonitor final
{
public:
    using Id = std::uint64_t;

    static EventMonitor &shared();

    // Calls fire once, at or after the deadline, on the monitor thread or on the idle worker keeping
    // the clock (see keepClock). Answers an id for cancelTimer.
    Id addTimer(DispatchTime deadline, std::function<void()> fire);
    // Forgets a timer that has not fired yet; a timer that fired or is firing is left alone.
    void cancelTimer(Id id);

    // Watches a descriptor for readiness to read (or to write). The watch starts disarmed; each arm()
    // reports readiness once through ready, after which the watch is disarmed again. A descriptor may
    // carry several watches (a read and a write watch on one socket); each is armed, reported and
    // removed on its own, and the descriptor leaves the monitor with its last watch.
    enum class Readiness { Read, Write };
    Result<Id> addWatch(int fd, Readiness readiness, std::function<void()> ready);
    void armWatch(Id id);
    void disarmWatch(Id id);
    void removeWatch(Id id);

    // Takes the descriptor reports the kernel holds right now, without waiting, and runs their
    // callbacks on the calling thread; answers whether there were any. For a worker spinning for
    // work: a reply it takes this way wakes neither the monitor thread nor another worker. Timers
    // stay with the monitor thread, which keeps their order. Safe at any time, also before the
    // monitor started (nothing to take) and during static destruction.
    static bool handleReportedDescriptors();

    // An idle worker about to sleep may keep the clock instead of the monitor thread: keepClock
    // answers the earliest deadline (DispatchTime::max() when no timer waits, or the monitor has not
    // started) and takes the timers from that deadline on off the monitor thread, which still fires
    // any timer added for earlier meanwhile. The worker sleeps until that deadline (or until work
    // comes) and then calls releaseClock, which hands the clock back and runs the timers due by then
    // on the calling thread. A delayed block then costs one wake-up, the worker's, instead of the
    // monitor thread's and then a worker's. Only one caller keeps the clock at a time.
    static DispatchTime keepClock();
    static void releaseClock();

    struct State;

private:
    EventMonitor();

    std::shared_ptr<State> m_state;
};

} // namespace platform
