// Writing: queued write packets carried out as the descriptor takes bytes.
#include "push/CocoaAsyncSocket/GCDAsyncSocket+Private.h"

#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncSpecialPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncWritePacket.h"
#include "platform/crypto/SecureTransport.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"

#include <cerrno>

#include <sys/socket.h>

using platform::PlatformError;
using namespace tcpsocket;

void GCDAsyncSocket::writeData(const QByteArray &data, double timeout, long tag)
{
    if (data.isEmpty())
        return;
    enqueue(kWriteHalf, std::make_shared<GCDAsyncWritePacket>(data, timeout, tag));
}

void GCDAsyncSocket::maybeDequeueWrite()
{
    startNextPacketOrClose(kWriteHalf, kReadHalf);
}

void GCDAsyncSocket::doWriteData()
{
    HM_ASSERT(isOnSocketQueue(), QStringLiteral("Must be dispatched on socketQueue"));
    if (!m_currentWrite || (m_flags & kWritesPaused) != 0) {
        // Nothing to write: the source would only keep firing.
        if ((m_flags & kSocketCanAcceptBytes) != 0)
            suspendWriteSource();
        return;
    }
    if ((m_flags & kSocketCanAcceptBytes) == 0) {
        resumeWriteSource();
        return;
    }
    if (waitsForTLS(kWriteHalf, kReadHalf))
        return;
    GCDAsyncWritePacket &packet = *m_currentWrite;
    bool waiting = false;
    PlatformError error;
    const std::size_t bytesWritten =
        (m_flags & kSocketSecure) != 0 ? sslWriteCurrent(&waiting, &error) : plainWriteCurrent(&waiting, &error);
    if (waiting) {
        m_flags &= ~kSocketCanAcceptBytes;
        resumeWriteSource();
    }
    packet.bytesDone += bytesWritten;
    const bool done = packet.bytesDone == std::size_t(packet.buffer.size());
    if (done) {
        completeCurrentWrite();
        if (error.isNull())
            maybeDequeueWrite();
        return;
    }
    if (!waiting && error.isNull()) {
        // The descriptor took only part of the bytes: wait for room.
        m_flags &= ~kSocketCanAcceptBytes;
        resumeWriteSource();
    }
    if (bytesWritten > 0) {
        const long tag = packet.tag;
        notifyDelegate([bytesWritten, tag](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
            delegate.socketDidWritePartialDataOfLength(sock, bytesWritten, tag);
        });
    }
    if (!error.isNull())
        closeWithError(error);
}

std::size_t GCDAsyncSocket::plainWriteCurrent(bool *waiting, PlatformError *error)
{
    const GCDAsyncWritePacket &packet = *m_currentWrite;
    const std::size_t bytesToWrite = std::size_t(packet.buffer.size()) - packet.bytesDone;
    // MSG_NOSIGNAL: a peer that went away gives EPIPE, never a signal that would end the process.
    const ssize_t result =
        ::send(connectedFD(), packet.buffer.constData() + packet.bytesDone, bytesToWrite, MSG_NOSIGNAL);
    if (result >= 0)
        return std::size_t(result);
    if (platform::net::isWouldBlock(errno))
        *waiting = true;
    else
        *error = errnoErrorWithReason(QStringLiteral("Error in write() function"));
    return 0;
}

// Through the TLS layer in pieces of at most 32768 bytes. A piece that would block stays with the
// layer (its size in m_sslWriteCachedLength) and is pushed out by an empty write on the next run.
std::size_t GCDAsyncSocket::sslWriteCurrent(bool *waiting, PlatformError *error)
{
    constexpr std::size_t kPiece = 32768;
    const GCDAsyncWritePacket &packet = *m_currentWrite;
    std::size_t bytesWritten = 0;
    std::size_t processed = 0;
    if (m_sslWriteCachedLength > 0) {
        const platform::crypto::OSStatus status = m_sslContext->write(nullptr, 0, &processed);
        if (status == platform::crypto::errSSLWouldBlock) {
            *waiting = true;
            return 0;
        }
        if (status != platform::crypto::noErr) {
            *error = sslError(status);
            return 0;
        }
        bytesWritten = m_sslWriteCachedLength;
        m_sslWriteCachedLength = 0;
    }
    const std::size_t total = std::size_t(packet.buffer.size());
    while (packet.bytesDone + bytesWritten < total) {
        const std::size_t piece = std::min(total - packet.bytesDone - bytesWritten, kPiece);
        const char *from = packet.buffer.constData() + packet.bytesDone + bytesWritten;
        const platform::crypto::OSStatus status = m_sslContext->write(from, piece, &processed);
        if (status == platform::crypto::errSSLWouldBlock) {
            *waiting = true;
            m_sslWriteCachedLength = piece;
            break;
        }
        if (status != platform::crypto::noErr) {
            *error = sslError(status);
            break;
        }
        bytesWritten += processed;
    }
    return bytesWritten;
}

void GCDAsyncSocket::completeCurrentWrite()
{
    HM_ASSERT(m_currentWrite, QStringLiteral("Trying to complete current write when there is no current write."));
    const long tag = m_currentWrite->tag;
    notifyDelegate([tag](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) {
        delegate.socketDidWriteDataWithTag(sock, tag);
    });
    endCurrent(kWriteHalf);
}
