#include "platform/foundation/CallbackGuard.h"

#include <algorithm>
#include <vector>

namespace platform {

namespace {

// The guards whose callbacks run on this thread, innermost last: close() does not wait for those.
thread_local std::vector<const void *> t_runningGuards;

} // namespace

CallbackGuard::Call::Call(const std::weak_ptr<State> &weak) : m_state(weak.lock())
{
    if (!m_state)
        return;
    const std::lock_guard lock(m_state->mutex);
    if (m_state->closed) {
        m_state.reset();
        return;
    }
    ++m_state->running;
    t_runningGuards.push_back(m_state.get());
}

CallbackGuard::Call::~Call()
{
    if (!m_state)
        return;
    t_runningGuards.pop_back();
    const std::lock_guard lock(m_state->mutex);
    --m_state->running;
    m_state->idle.notify_all();
}

void CallbackGuard::close()
{
    const auto ownCalls = std::count(t_runningGuards.begin(), t_runningGuards.end(), m_state.get());
    std::unique_lock lock(m_state->mutex);
    m_state->closed = true;
    m_state->idle.wait(lock, [this, ownCalls] { return m_state->running == ownCalls; });
}

} // namespace platform
