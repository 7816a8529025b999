#include "platform/foundation/CallbackGuard.h"

namespace platform {

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
}

CallbackGuard::Call::~Call()
{
    if (!m_state)
        return;
    const std::lock_guard lock(m_state->mutex);
    --m_state->running;
    m_state->idle.notify_all();
}

void CallbackGuard::close()
{
    std::unique_lock lock(m_state->mutex);
    m_state->closed = true;
    m_state->idle.wait(lock, [this] { return m_state->running == 0; });
}

} // namespace platform
