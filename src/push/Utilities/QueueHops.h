#pragma once

// Running work on an object's serial queue from any thread: at once when the caller is already on
// that queue (waiting on it from itself would never end), otherwise handed to the queue.

#include "platform/dispatch/DispatchQueue.h"

#include <functional>
#include <memory>

namespace queuehops {

// Runs the block on the queue and returns once it has run.
inline void runSync(platform::DispatchQueue &queue, const std::function<void()> &block)
{
    if (queue.isCurrent())
        block();
    else
        queue.sync(block);
}

// The result of a call run on the queue, waited for.
template <typename Call> auto resultOn(platform::DispatchQueue &queue, Call call)
{
    decltype(call()) result{};
    runSync(queue, [&] { result = call(); });
    return result;
}

// Runs the work on the queue without waiting for it. Work handed to the queue holds the object weakly
// and runs only if the object still lives by then.
template <typename Object>
void runOrPost(platform::DispatchQueue &queue, Object &object, std::function<void(Object &)> work)
{
    if (queue.isCurrent()) {
        work(object);
        return;
    }
    queue.async([weak = std::weak_ptr<Object>(object.weak_from_this()), work = std::move(work)] {
        if (const auto self = weak.lock())
            work(*self);
    });
}

} // namespace queuehops
