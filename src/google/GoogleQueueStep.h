#pragma once

#include <utility>

namespace googlequeue {

// A step of a chain that works through a queue one entry a step (photos to fetch, lists to look a
// task up in, items to delete). The chain goes on only while the user has not asked to stop
// (stopped: the driver's cancel check, made first) and an entry is left; an empty queue runs
// whenDone instead.
template <typename Queue, typename Done> bool hasNextEntry(bool stopped, const Queue &queue, Done &&whenDone)
{
    if (stopped)
        return false;
    if (queue.isEmpty()) {
        std::forward<Done>(whenDone)();
        return false;
    }
    return true;
}

} // namespace googlequeue
