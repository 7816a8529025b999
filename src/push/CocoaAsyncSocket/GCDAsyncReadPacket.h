#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

class GCDAsyncSocketPreBuffer;
class GCDAsyncSpecialPacket;

// One queued read of a GCDAsyncSocket: everything available (at most maxLength when set), an exact
// length, or everything up to and including a terminator (at most maxLength when set). The bytes go
// into a buffer the packet made itself or into the caller's, after startOffset. Made on the caller's
// thread, then used only on the socket queue.
class GCDAsyncReadPacket final
{
public:
    // A null buffer makes the packet its own (readLength bytes long; the offset must be 0).
    GCDAsyncReadPacket(std::shared_ptr<QByteArray> buffer, std::size_t startOffset, std::size_t maxLength,
                       double timeout, std::size_t readLength, const QByteArray &term, long tag);

    // Lengthens the buffer so that count more bytes fit after what was read.
    void ensureCapacityForAdditionalDataOfLength(std::size_t bytesToRead);
    // How many of the available bytes a non-terminator read takes (available > 0).
    std::size_t readLengthForNonTermWithHint(std::size_t bytesAvailable) const;
    // How many bytes a terminator read should read from the socket, and whether they should go into
    // the pre-buffer because the packet's buffer has no room for them.
    std::size_t readLengthForTermWithHint(std::size_t bytesAvailable, bool *shouldPreBufferPtr) const;
    // How many pre-buffered bytes to move into the packet, and whether they complete the terminator.
    std::size_t readLengthForTermWithPreBuffer(const GCDAsyncSocketPreBuffer &preBuffer, bool *foundPtr) const;
    // After bytes were read straight into the buffer: the count of bytes past the first complete
    // terminator (0 when it ends the bytes read), or -1 when there is none.
    std::ptrdiff_t searchForTermAfterPreBuffering(std::size_t numBytes) const;

    // Where the next byte goes (room must have been made).
    char *writePosition() { return buffer->data() + startOffset + bytesDone; }
    bool isTermRead() const { return !term.isEmpty(); }
    // The bytes read, handed over at completion: the packet's own buffer cut to them, or a copy of
    // them out of the caller's buffer (which is cut back to what it holds beyond its first length).
    QByteArray takeReadData();

    std::shared_ptr<QByteArray> buffer;
    std::size_t startOffset = 0;
    std::size_t bytesDone = 0;
    std::size_t maxLength = 0;
    double timeout = -1;
    std::size_t readLength = 0;
    QByteArray term;
    bool bufferOwner = false;
    std::size_t originalBufferLength = 0;
    long tag = 0;
    // Set on the TLS request's place in the queue (the same request sits in the write queue).
    std::shared_ptr<const GCDAsyncSpecialPacket> special;

private:
    // Room left in the buffer after the bytes read.
    std::size_t roomLeft() const;
};
