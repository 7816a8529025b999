#pragma once

#include "platform/dispatch/VirtualClock.h"

namespace looptest {

// The dispatch layer's virtual clock for one test, uninstalled however the test ends.
struct VirtualClockGuard
{
    VirtualClockGuard() { platform::VirtualClock::install(); }
    ~VirtualClockGuard() { platform::VirtualClock::uninstall(); }
    VirtualClockGuard(const VirtualClockGuard &) = delete;
    VirtualClockGuard &operator=(const VirtualClockGuard &) = delete;
};

} // namespace looptest
