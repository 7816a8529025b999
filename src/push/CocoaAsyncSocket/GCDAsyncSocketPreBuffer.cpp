#include "push/CocoaAsyncSocket/GCDAsyncSocketPreBuffer.h"

#include "platform/foundation/Assert.h"

#include <cstring>

GCDAsyncSocketPreBuffer::GCDAsyncSocketPreBuffer(std::size_t numBytes)
    : m_initialSize(numBytes), m_preBuffer(std::make_unique_for_overwrite<char[]>(numBytes)), m_preBufferSize(numBytes)
{
}

void GCDAsyncSocketPreBuffer::ensureCapacityForWrite(std::size_t numBytes)
{
    const std::size_t space = availableSpace();
    if (numBytes > space)
        resize(m_preBufferSize + (numBytes - space));
}

void GCDAsyncSocketPreBuffer::getReadBuffer(const char **bufferPtr, std::size_t *availableBytesPtr) const
{
    if (bufferPtr != nullptr)
        *bufferPtr = readBuffer();
    if (availableBytesPtr != nullptr)
        *availableBytesPtr = availableBytes();
}

void GCDAsyncSocketPreBuffer::didRead(std::size_t bytesRead)
{
    HM_ASSERT(bytesRead <= availableBytes(), QStringLiteral("Invalid parameter: bytesRead"));
    m_readPointer += bytesRead;
    if (m_readPointer != m_writePointer)
        return;
    reset();
    if (m_preBufferSize > kShrinkThreshold && m_preBufferSize > m_initialSize)
        resize(m_initialSize);
}

void GCDAsyncSocketPreBuffer::getWriteBuffer(char **bufferPtr, std::size_t *availableSpacePtr)
{
    if (bufferPtr != nullptr)
        *bufferPtr = writeBuffer();
    if (availableSpacePtr != nullptr)
        *availableSpacePtr = availableSpace();
}

void GCDAsyncSocketPreBuffer::didWrite(std::size_t bytesWritten)
{
    HM_ASSERT(bytesWritten <= availableSpace(), QStringLiteral("Invalid parameter: bytesWritten"));
    m_writePointer += bytesWritten;
}

void GCDAsyncSocketPreBuffer::reset()
{
    m_readPointer = 0;
    m_writePointer = 0;
}

void GCDAsyncSocketPreBuffer::resize(std::size_t numBytes)
{
    // Only the unread bytes matter; they move to the start of the new block.
    const std::size_t unread = availableBytes();
    HM_ASSERT(unread <= numBytes, QStringLiteral("Invalid logic"));
    auto block = std::make_unique_for_overwrite<char[]>(numBytes);
    if (unread > 0)
        std::memcpy(block.get(), readBuffer(), unread);
    m_preBuffer = std::move(block);
    m_preBufferSize = numBytes;
    m_readPointer = 0;
    m_writePointer = unread;
}
