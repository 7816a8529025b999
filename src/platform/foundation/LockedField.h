#pragma once

#include <mutex>
#include <utility>

namespace platform {

// The accessors of an object shared between threads: one field read or written under the mutex that
// guards it. A read returns a copy, so the caller never holds a reference into guarded state.
template <typename Mutex, typename T>
T lockedCopy(Mutex &mutex, const T &field)
{
    const std::lock_guard lock(mutex);
    return field;
}

template <typename Mutex, typename T, typename Value>
void lockedAssign(Mutex &mutex, T &field, Value &&value)
{
    const std::lock_guard lock(mutex);
    field = std::forward<Value>(value);
}

} // namespace platform
