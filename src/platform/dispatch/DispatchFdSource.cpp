#include "platform/dispatch/DispatchFdSource.h"

#include "platform/dispatch/EventMonitor.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace platform {

namespace {

std::int64_t readableBytes(int fd)
{
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0)
        return 0;
    return std::max(count, 0);
}

// Room in a socket's send buffer or a pipe; zero where the system does not say.
std::int64_t writableBytes(int fd)
{
    struct stat status
    {
    };
    if (fstat(fd, &status) != 0)
        return 0;
    if (S_ISSOCK(status.st_mode)) {
        int bufferSize = 0;
        socklen_t length = sizeof bufferSize;
        int queued = 0;
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, &length) != 0 || ioctl(fd, SIOCOUTQ, &queued) != 0)
            return 0;
        return std::max<std::int64_t>(std::int64_t(bufferSize) - queued, 0);
    }
    if (S_ISFIFO(status.st_mode)) {
        const int pipeSize = fcntl(fd, F_GETPIPE_SZ);
        if (pipeSize < 0)
            return 0;
        return std::max<std::int64_t>(std::int64_t(pipeSize) - readableBytes(fd), 0);
    }
    return 0;
}

} // namespace

Result<std::shared_ptr<DispatchFdSource>> DispatchFdSource::createRead(int fd, std::shared_ptr<DispatchQueue> queue)
{
    return create(fd, Direction::Read, std::move(queue));
}

Result<std::shared_ptr<DispatchFdSource>> DispatchFdSource::createWrite(int fd, std::shared_ptr<DispatchQueue> queue)
{
    return create(fd, Direction::Write, std::move(queue));
}

Result<std::shared_ptr<DispatchFdSource>> DispatchFdSource::create(int fd, Direction direction,
                                                                   std::shared_ptr<DispatchQueue> queue)
{
    auto source = std::make_shared<DispatchFdSource>(fd, direction, std::move(queue));
    const std::weak_ptr<DispatchFdSource> weak = source;
    const Result<EventMonitor::Id> watch = EventMonitor::shared().addWatch(
        fd, direction == Direction::Read ? EventMonitor::Readiness::Read : EventMonitor::Readiness::Write, [weak] {
            if (const auto alive = weak.lock())
                alive->onReady();
        });
    if (!watch)
        return watch.error();
    std::lock_guard lock(source->m_mutex);
    source->m_watchId = *watch;
    return source;
}

DispatchFdSource::DispatchFdSource(int fd, Direction direction, std::shared_ptr<DispatchQueue> queue)
    : DispatchSource(std::move(queue)), m_fd(fd), m_direction(direction)
{
}

DispatchFdSource::~DispatchFdSource()
{
    if (m_watchId != 0)
        EventMonitor::shared().removeWatch(m_watchId);
}

void DispatchFdSource::setEventHandler(EventHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
    m_handlerWantsCount = true;
}

void DispatchFdSource::setEventHandler(DispatchBlock handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = handler ? EventHandler([handler = std::move(handler)](std::int64_t) { handler(); }) : EventHandler();
    m_handlerWantsCount = false;
}

void DispatchFdSource::activateLocked()
{
    if (!m_isDeliveryQueued)
        EventMonitor::shared().armWatch(m_watchId);
}

void DispatchFdSource::deactivateLocked()
{
    EventMonitor::shared().disarmWatch(m_watchId);
}

void DispatchFdSource::stopLocked()
{
    // Removed at once, so that the cancel handler may close the descriptor.
    EventMonitor::shared().removeWatch(m_watchId);
    m_watchId = 0;
}

void DispatchFdSource::onReady()
{
    std::lock_guard lock(m_mutex);
    if (isRunningLocked())
        queueDeliveryLocked();
}

void DispatchFdSource::deliver()
{
    EventHandler handler;
    std::int64_t available = 0;
    {
        std::lock_guard lock(m_mutex);
        m_isDeliveryQueued = false;
        // A suspended source is re-armed by resume; a cancelled one never again.
        if (!isRunningLocked())
            return;
        handler = m_handler;
        if (m_handlerWantsCount)
            available = bytesAvailable();
    }
    if (handler)
        handler(available);
    std::lock_guard lock(m_mutex);
    if (isRunningLocked() && !m_isDeliveryQueued)
        EventMonitor::shared().armWatch(m_watchId);
}

std::int64_t DispatchFdSource::bytesAvailable() const
{
    return m_direction == Direction::Read ? readableBytes(m_fd) : writableBytes(m_fd);
}

} // namespace platform
