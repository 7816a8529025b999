#pragma once

#include "platform/dispatch/DispatchSource.h"
#include "platform/foundation/Result.h"

#include <cstdint>
#include <functional>

namespace platform {

// A readiness source on a file descriptor: while the descriptor can be read (or written) its event
// handler runs on the queue, with the number of bytes that can be read (for a datagram socket: the
// size of the next datagram; zero at end of stream) or the room left in the send buffer. It fires
// again after the handler returns as long as the descriptor stays ready. The source does not own
// the descriptor: close it in the cancel handler, after the source has stopped using it.
class DispatchFdSource final : public DispatchSource
{
public:
    enum class Direction { Read, Write };
    using EventHandler = std::function<void(std::int64_t bytesAvailable)>;

    // Fails for a descriptor the system cannot watch (a regular file, a closed descriptor).
    static Result<std::shared_ptr<DispatchFdSource>> createRead(int fd, std::shared_ptr<DispatchQueue> queue);
    static Result<std::shared_ptr<DispatchFdSource>> createWrite(int fd, std::shared_ptr<DispatchQueue> queue);

    DispatchFdSource(int fd, Direction direction, std::shared_ptr<DispatchQueue> queue);
    ~DispatchFdSource() override;

    int fd() const { return m_fd; }
    Direction direction() const { return m_direction; }
    void setEventHandler(EventHandler handler);
    // A handler that does not need the count: the source then skips the system calls that measure it
    // (three for a socket's send room) on every event.
    void setEventHandler(DispatchBlock handler);

private:
    static Result<std::shared_ptr<DispatchFdSource>> create(int fd, Direction direction,
                                                            std::shared_ptr<DispatchQueue> queue);

    void activateLocked() override;
    void deactivateLocked() override;
    void stopLocked() override;

    void onReady();
    void deliver() override;
    std::int64_t bytesAvailable() const;

    const int m_fd;
    const Direction m_direction;
    std::uint64_t m_watchId = 0;
    EventHandler m_handler;
    bool m_handlerWantsCount = true;
};

} // namespace platform
