#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <thread>

namespace platform {

// The short busy wait a thread makes before it sleeps when a hand-off is likely to come soon (a
// worker that has just finished a task, a thread waiting on a semaphore). Waking a sleeping thread
// costs a system call on the waking side and, on a machine whose idle cores halt, tens of
// microseconds before the sleeper runs; a thread still spinning sees the hand-off within about a
// microsecond. The wait is bounded (tens of microseconds), so a program that falls idle stops
// spinning right after its last hand-off.

// How long a thread spins before it sleeps; zero on a single processor, where the thread it waits
// for cannot run while it spins.
inline DispatchDuration spinLimit(DispatchDuration limit)
{
    static const bool hasOtherProcessors = std::thread::hardware_concurrency() > 1;
    return hasOtherProcessors ? limit : DispatchDuration::zero();
}

// Looks at ready() until it answers true or the limit has passed; answers whether it did. Between
// looks the thread yields its processor rather than pausing on it: on a busy machine the thread it
// waits for may need that very processor, and a pause loop there made hand-offs four times slower
// than sleeping (measured with bench/srv_resolver_bench); on an idle one the yield returns at once.
template <typename Ready>
bool spinUntil(Ready &&ready, DispatchDuration limit)
{
    if (limit <= DispatchDuration::zero())
        return ready();
    const DispatchTime end = DispatchClock::now() + limit;
    for (unsigned looks = 0;; ++looks) {
        if (ready())
            return true;
        if (looks % 4 == 3 && DispatchClock::now() >= end)
            return false;
        std::this_thread::yield();
    }
}

} // namespace platform
