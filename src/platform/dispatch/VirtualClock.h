#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <cstdint>
#include <functional>

namespace platform {

// A clock that tests move by hand, under the dispatch layer's timer sources. While it is installed,
// every DispatchTimer scheduled from then on takes its deadline from the virtual time and fires only
// when advance() reaches it (advance by zero fires what is already due); timers scheduled before the
// install, or after the uninstall, keep the monotonic clock. Queues' after() is not affected.
// Thread-safe.
class VirtualClock final
{
public:
    VirtualClock() = delete;

    // Starts the virtual time at the monotonic clock's present.
    static void install();
    static void uninstall();
    static bool isInstalled();
    // Moves the virtual time on and fires, in deadline order and on the calling thread, every timer
    // whose deadline it reaches. A fire only hands work to the timer's queue.
    static void advance(DispatchDuration delta);
    static void advance(double seconds);
    static DispatchTime now();

    // For timer sources: the fire runs once the virtual time reaches the deadline; the id serves
    // cancelTimer, which forgets a timer that has not fired.
    static std::uint64_t addTimer(DispatchTime deadline, std::function<void()> fire);
    static void cancelTimer(std::uint64_t id);
};

} // namespace platform
