// Reading: queued read packets carried out as bytes arrive, through the pre-buffer, and the end of
// the peer's stream.
#include "push/CocoaAsyncSocket/GCDAsyncSocket+Private.h"

#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncSpecialPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncWritePacket.h"
#include "platform/crypto/SecureTransport.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using platform::PlatformError;
using namespace tcpsocket;

namespace {

// What the descriptor holds to read now; 0 when the system does not say.
std::uint64_t readableByteCount(int fd)
{
    int count = 0;
    if (fd == -1 || ::ioctl(fd, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return std::uint64_t(count);
}

} // namespace

// ---- Read requests ----

void GCDAsyncSocket::readDataWithTimeout(double timeout, long tag)
{
    readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}

void GCDAsyncSocket::readDataWithTimeout(double timeout, std::shared_ptr<QByteArray> buffer, std::size_t offset,
                                         long tag)
{
    readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void GCDAsyncSocket::readDataWithTimeout(double timeout, std::shared_ptr<QByteArray> buffer, std::size_t offset,
                                         std::size_t length, long tag)
{
    if (offset > (buffer ? std::size_t(buffer->size()) : 0))
        return;
    queueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, length, timeout, 0, QByteArray(), tag));
}

void GCDAsyncSocket::readDataToLength(std::size_t length, double timeout, long tag)
{
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void GCDAsyncSocket::readDataToLength(std::size_t length, double timeout, std::shared_ptr<QByteArray> buffer,
                                      std::size_t offset, long tag)
{
    if (length == 0 || offset > (buffer ? std::size_t(buffer->size()) : 0))
        return;
    queueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, 0, timeout, length, QByteArray(), tag));
}

void GCDAsyncSocket::readDataToData(const QByteArray &data, double timeout, long tag)
{
    readDataToData(data, timeout, nullptr, 0, 0, tag);
}

void GCDAsyncSocket::readDataToData(const QByteArray &data, double timeout, std::shared_ptr<QByteArray> buffer,
                                    std::size_t offset, long tag)
{
    readDataToData(data, timeout, std::move(buffer), offset, 0, tag);
}

void GCDAsyncSocket::readDataToData(const QByteArray &data, double timeout, std::size_t length, long tag)
{
    readDataToData(data, timeout, nullptr, 0, length, tag);
}

void GCDAsyncSocket::readDataToData(const QByteArray &data, double timeout, std::shared_ptr<QByteArray> buffer,
                                    std::size_t offset, std::size_t length, long tag)
{
    if (data.isEmpty() || offset > (buffer ? std::size_t(buffer->size()) : 0))
        return;
    if (length > 0 && length < std::size_t(data.size()))
        return;
    queueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, length, timeout, 0, data, tag));
}

void GCDAsyncSocket::queueRead(std::shared_ptr<GCDAsyncReadPacket> packet)
{
    enqueue(kReadHalf, std::move(packet));
}

// ---- The read loop ----

void GCDAsyncSocket::maybeDequeueRead()
{
    if (!startNextPacketOrClose(kReadHalf, kWriteHalf) || (m_flags & kSocketSecure) == 0)
        return;
    // Decrypted bytes keep flowing so that the peer's close is noticed with nobody reading.
    flushSSLBuffers();
    if (m_preBuffer.availableBytes() == 0)
        resumeReadSource();
}

std::size_t GCDAsyncSocket::readFromPreBuffer(bool *done, PlatformError *error)
{
    GCDAsyncReadPacket &packet = *m_currentRead;
    std::size_t bytesToCopy = 0;
    bool found = false;
    if (packet.isTermRead())
        bytesToCopy = packet.readLengthForTermWithPreBuffer(m_preBuffer, &found);
    else
        bytesToCopy = packet.readLengthForNonTermWithHint(m_preBuffer.availableBytes());
    packet.ensureCapacityForAdditionalDataOfLength(bytesToCopy);
    std::memcpy(packet.writePosition(), m_preBuffer.readBuffer(), bytesToCopy);
    m_preBuffer.didRead(bytesToCopy);
    packet.bytesDone += bytesToCopy;
    if (packet.readLength > 0) {
        *done = packet.bytesDone == packet.readLength;
    } else if (packet.isTermRead()) {
        *done = found;
        if (!found && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength)
            *error = readMaxedOutError();
    } else {
        *done = packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
    }
    return bytesToCopy;
}

std::size_t GCDAsyncSocket::readFromSocket(std::size_t estimate, bool *done, bool *waiting, PlatformError *error)
{
    GCDAsyncReadPacket &packet = *m_currentRead;
    bool readIntoPreBuffer = false;
    std::size_t bytesToRead = 0;
    if (packet.isTermRead())
        bytesToRead = packet.readLengthForTermWithHint(estimate, &readIntoPreBuffer);
    else
        bytesToRead = packet.readLengthForNonTermWithHint(estimate);
    char *target = nullptr;
    if (readIntoPreBuffer) {
        HM_ASSERT(m_preBuffer.availableBytes() == 0, QStringLiteral("Invalid logic"));
        m_preBuffer.ensureCapacityForWrite(bytesToRead);
        target = m_preBuffer.writeBuffer();
    } else {
        packet.ensureCapacityForAdditionalDataOfLength(bytesToRead);
        target = packet.writePosition();
    }
    const std::size_t bytesRead = (m_flags & kSocketSecure) != 0
                                      ? sslReadIntoTarget(target, bytesToRead, waiting, error)
                                      : plainReadIntoTarget(target, bytesToRead, waiting, error);
    if (bytesRead == 0)
        return 0;
    return takeReadBytes(bytesRead, readIntoPreBuffer, done, error);
}

std::size_t GCDAsyncSocket::plainReadIntoTarget(char *target, std::size_t bytesToRead, bool *waiting,
                                                PlatformError *error)
{
    const ssize_t result = ::read(connectedFD(), target, bytesToRead);
    if (result < 0) {
        if (platform::net::isWouldBlock(errno))
            *waiting = true;
        else
            *error = errnoErrorWithReason(QStringLiteral("Error in read() function"));
        m_socketFDBytesAvailable = 0;
        return 0;
    }
    if (result == 0) {
        m_flags |= kSocketHasReadEOF;
        m_socketFDBytesAvailable = 0;
        return 0;
    }
    const std::size_t bytesRead = std::size_t(result);
    if (bytesRead < bytesToRead)
        m_socketFDBytesAvailable = 0;
    else
        m_socketFDBytesAvailable -= std::min<std::uint64_t>(m_socketFDBytesAvailable, bytesRead);
    if (m_socketFDBytesAvailable == 0)
        *waiting = true;
    return bytesRead;
}

// The TLS layer's reads until the request is filled or it stops; its read callback keeps
// socketFDBytesAvailable. A close of the encrypted stream is the end of the stream.
std::size_t GCDAsyncSocket::sslReadIntoTarget(char *target, std::size_t bytesToRead, bool *waiting,
                                              PlatformError *error)
{
    std::size_t bytesRead = 0;
    platform::crypto::OSStatus status = platform::crypto::noErr;
    while (status == platform::crypto::noErr && bytesRead < bytesToRead) {
        std::size_t loop = 0;
        status = m_sslContext->read(target + bytesRead, bytesToRead - bytesRead, &loop);
        bytesRead += loop;
    }
    if (status == platform::crypto::errSSLWouldBlock) {
        *waiting = true;
    } else if (status == platform::crypto::errSSLClosedGraceful || status == platform::crypto::errSSLClosedAbort) {
        m_flags |= kSocketHasReadEOF;
        m_sslErrCode = status;
    } else if (status != platform::crypto::noErr) {
        *error = sslError(status);
    }
    return bytesRead;
}

std::size_t GCDAsyncSocket::takeReadBytes(std::size_t bytesRead, bool readIntoPreBuffer, bool *done,
                                          PlatformError *error)
{
    GCDAsyncReadPacket &packet = *m_currentRead;
    std::size_t taken = bytesRead;
    if (packet.readLength > 0) {
        packet.bytesDone += bytesRead;
        *done = packet.bytesDone == packet.readLength;
    } else if (packet.isTermRead()) {
        if (readIntoPreBuffer) {
            m_preBuffer.didWrite(bytesRead);
            taken = readFromPreBuffer(done, error);
            return taken;
        }
        const std::ptrdiff_t overflow = packet.searchForTermAfterPreBuffering(bytesRead);
        if (overflow >= 0) {
            // The bytes after the terminator belong to the next read.
            taken = bytesRead - std::size_t(overflow);
            const char *rest = packet.writePosition() + taken;
            m_preBuffer.ensureCapacityForWrite(std::size_t(overflow));
            std::memcpy(m_preBuffer.writeBuffer(), rest, std::size_t(overflow));
            m_preBuffer.didWrite(std::size_t(overflow));
            *done = true;
        }
        packet.bytesDone += taken;
        if (!*done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength)
            *error = readMaxedOutError();
    } else {
        packet.bytesDone += bytesRead;
        *done = true;
    }
    return taken;
}

void GCDAsyncSocket::doReadData()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    if (!m_currentRead || (m_flags & kReadsPaused) != 0) {
        if ((m_flags & kSocketSecure) != 0)
            flushSSLBuffers();
        // Nobody reads now: stop the source firing until a read is queued.
        if (m_socketFDBytesAvailable > 0)
            suspendReadSource();
        return;
    }
    // The last readiness event may be stale: bytes that arrived since then are read now rather than
    // after another round through the event monitor (a thread hop per read on a busy connection).
    if (m_socketFDBytesAvailable == 0 && m_preBuffer.availableBytes() == 0 && (m_flags & kSocketHasReadEOF) == 0)
        m_socketFDBytesAvailable = readableByteCount(connectedFD());
    std::size_t estimate = std::size_t(m_socketFDBytesAvailable);
    if ((m_flags & kSocketSecure) != 0)
        estimate += m_sslPreBuffer->availableBytes() + m_sslContext->bufferedReadSize();
    const bool hasBytesAvailable = estimate > 0;
    if (waitsForTLS(kReadHalf, kWriteHalf))
        return;
    if (!hasBytesAvailable && m_preBuffer.availableBytes() == 0) {
        resumeReadSource();
        return;
    }
    bool done = false;
    bool waiting = false;
    PlatformError error;
    std::size_t totalBytesReadForCurrentRead = 0;
    if (m_preBuffer.availableBytes() > 0)
        totalBytesReadForCurrentRead += readFromPreBuffer(&done, &error);
    bool socketEOF = (m_flags & kSocketHasReadEOF) != 0;
    waiting = !done && error.isNull() && !socketEOF && !hasBytesAvailable;
    if (!done && error.isNull() && !socketEOF && hasBytesAvailable) {
        HM_ASSERT(m_preBuffer.availableBytes() == 0, QStringLiteral("Invalid logic"));
        totalBytesReadForCurrentRead += readFromSocket(estimate, &done, &waiting, &error);
        socketEOF = (m_flags & kSocketHasReadEOF) != 0;
    }
    if (!done && m_currentRead->readLength == 0 && !m_currentRead->isTermRead() && totalBytesReadForCurrentRead > 0)
        done = true;
    finishReadRun(done, waiting, socketEOF, totalBytesReadForCurrentRead, error);
}

void GCDAsyncSocket::finishReadRun(bool done, bool waiting, bool socketEOF, std::size_t totalBytesReadForCurrentRead,
                                   const PlatformError &error)
{
    if (done) {
        completeCurrentRead();
        if (error.isNull() && (!socketEOF || m_preBuffer.availableBytes() > 0))
            maybeDequeueRead();
    } else if (totalBytesReadForCurrentRead > 0) {
        const long tag = m_currentRead->tag;
        notifyDelegate([totalBytesReadForCurrentRead, tag](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
            delegate.socketDidReadPartialDataOfLength(sock, totalBytesReadForCurrentRead, tag);
        });
    }
    if (!error.isNull())
        closeWithError(error);
    else if (socketEOF)
        doReadEOF();
    else if (waiting)
        resumeReadSource();
    // Encrypted or decrypted bytes the TLS layer already holds raise no readiness event: the next run
    // takes them.
    if (error.isNull() && !socketEOF && m_currentRead && (m_flags & kSocketSecure) != 0 &&
        (m_sslPreBuffer->availableBytes() > 0 || m_sslContext->bufferedReadSize() > 0)) {
        queueOnSocketQueue([](GCDAsyncSocket &socket) {
            if (socket.m_currentRead && (socket.m_flags & kSocketSecure) != 0)
                socket.doReadData();
        });
    }
}

void GCDAsyncSocket::doReadEOF()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    m_flags |= kSocketHasReadEOF;
    if ((m_flags & kSocketSecure) != 0)
        flushSSLBuffers();
    if ((m_flags & (kStartingReadTLS | kStartingWriteTLS)) != 0) {
        closeWithError(sslError(platform::crypto::errSSLClosedAbort));
        return;
    }
    if ((m_flags & kReadStreamClosed) != 0 || m_preBuffer.availableBytes() > 0) {
        // Later reads take what is left; the next read run comes back here.
        suspendReadSource();
        return;
    }
    if ((m_config & kAllowHalfDuplexConnection) != 0) {
        pollfd descriptor{connectedFD(), POLLOUT, 0};
        ::poll(&descriptor, 1, 0);
        if ((descriptor.revents & POLLOUT) != 0 && (descriptor.revents & (POLLERR | POLLHUP)) == 0) {
            m_flags |= kReadStreamClosed;
            suspendReadSource();
            notifyDelegate([](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
                delegate.socketDidCloseReadStream(sock);
            });
            return;
        }
    }
    if (m_sslErrCode != 0 && m_sslErrCode != platform::crypto::errSSLClosedGraceful)
        closeWithError(sslError(m_sslErrCode));
    else
        closeWithError(connectionClosedError());
}

void GCDAsyncSocket::completeCurrentRead()
{
    HM_ASSERT(m_currentRead, QStringLiteral("Trying to complete current read when there is no current read."));
    const QByteArray result = m_currentRead->takeReadData();
    const long tag = m_currentRead->tag;
    notifyDelegate([result, tag](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
        delegate.socketDidReadData(sock, result, tag);
    });
    endCurrent(kReadHalf);
}
