#include "platform/dispatch/DispatchSource.h"

#include "platform/dispatch/DispatchLog.h"

namespace platform {

DispatchSource::DispatchSource(std::shared_ptr<DispatchQueue> queue) : m_queue(std::move(queue)) {}

DispatchSource::~DispatchSource() = default;

void DispatchSource::setCancelHandler(DispatchBlock handler)
{
    std::lock_guard lock(m_mutex);
    m_cancelHandler = std::move(handler);
}

void DispatchSource::resume()
{
    const auto keepAlive = shared_from_this();
    std::lock_guard lock(m_mutex);
    if (m_suspendCount == 0) {
        logDispatchProblem(QStringLiteral("a source on queue \"%1\" was resumed more often than suspended; ignored")
                               .arg(m_queue->label()));
        return;
    }
    if (--m_suspendCount == 0 && !m_isCancelled)
        activateLocked();
}

void DispatchSource::suspend()
{
    const auto keepAlive = shared_from_this();
    std::lock_guard lock(m_mutex);
    if (m_suspendCount++ == 0 && !m_isCancelled)
        deactivateLocked();
}

void DispatchSource::cancel()
{
    const auto keepAlive = shared_from_this();
    DispatchBlock cancelHandler;
    {
        std::lock_guard lock(m_mutex);
        if (m_isCancelled)
            return;
        m_isCancelled = true;
        stopLocked();
        cancelHandler = std::move(m_cancelHandler);
        m_cancelHandler = nullptr;
    }
    if (cancelHandler)
        m_queue->async(std::move(cancelHandler));
}

void DispatchSource::queueDeliveryLocked()
{
    if (m_isDeliveryQueued)
        return;
    m_isDeliveryQueued = true;
    m_queue->async([weak = weak_from_this()] {
        if (const auto source = weak.lock())
            source->deliver();
    });
}

bool DispatchSource::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_isCancelled;
}

} // namespace platform
