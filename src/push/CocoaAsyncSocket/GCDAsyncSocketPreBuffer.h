#pragma once

#include <cstddef>
#include <memory>

// A growable block of bytes read from a socket ahead of the read that will want them: the unread
// bytes lie between a read position and a write position. Owned by one GCDAsyncSocket and used only
// on its socket queue.
class GCDAsyncSocketPreBuffer final
{
public:
    explicit GCDAsyncSocketPreBuffer(std::size_t numBytes);
    GCDAsyncSocketPreBuffer(const GCDAsyncSocketPreBuffer &) = delete;
    GCDAsyncSocketPreBuffer &operator=(const GCDAsyncSocketPreBuffer &) = delete;

    // Makes room for that many bytes after the write position, keeping contents and positions.
    void ensureCapacityForWrite(std::size_t numBytes);

    std::size_t availableBytes() const { return m_writePointer - m_readPointer; }
    const char *readBuffer() const { return m_preBuffer.get() + m_readPointer; }
    void getReadBuffer(const char **bufferPtr, std::size_t *availableBytesPtr) const;
    // Consumes bytes; once nothing is left both positions return to the start, and a block grown past
    // kShrinkThreshold goes back to its first size.
    void didRead(std::size_t bytesRead);

    std::size_t availableSpace() const { return m_preBufferSize - m_writePointer; }
    char *writeBuffer() { return m_preBuffer.get() + m_writePointer; }
    void getWriteBuffer(char **bufferPtr, std::size_t *availableSpacePtr);
    void didWrite(std::size_t bytesWritten);

    void reset();

    std::size_t preBufferSize() const { return m_preBufferSize; }

    // A large read (a terminator search over a big burst) may grow the block; holding that memory for
    // the rest of a long connection would be a waste.
    static constexpr std::size_t kShrinkThreshold = 64 * 1024;

private:
    void resize(std::size_t numBytes);

    const std::size_t m_initialSize;
    std::unique_ptr<char[]> m_preBuffer;
    std::size_t m_preBufferSize = 0;
    std::size_t m_readPointer = 0;
    std::size_t m_writePointer = 0;
};
