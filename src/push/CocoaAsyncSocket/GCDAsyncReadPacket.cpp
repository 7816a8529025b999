#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"

#include "push/CocoaAsyncSocket/GCDAsyncSocketPreBuffer.h"
#include "platform/foundation/Assert.h"

#include <algorithm>
#include <cstring>

GCDAsyncReadPacket::GCDAsyncReadPacket(std::shared_ptr<QByteArray> callerBuffer, std::size_t offset,
                                       std::size_t maxLength, double timeout, std::size_t readLength,
                                       const QByteArray &term, long tag)
    : maxLength(maxLength), timeout(timeout), readLength(readLength), term(term), tag(tag)
{
    if (callerBuffer) {
        buffer = std::move(callerBuffer);
        startOffset = offset;
        bufferOwner = false;
        originalBufferLength = std::size_t(buffer->size());
        return;
    }
    buffer = std::make_shared<QByteArray>();
    if (readLength > 0)
        buffer->resize(qsizetype(readLength));
    bufferOwner = true;
}

std::size_t GCDAsyncReadPacket::roomLeft() const
{
    const std::size_t used = startOffset + bytesDone;
    const std::size_t length = std::size_t(buffer->size());
    return length > used ? length - used : 0;
}

void GCDAsyncReadPacket::ensureCapacityForAdditionalDataOfLength(std::size_t bytesToRead)
{
    const std::size_t room = roomLeft();
    if (bytesToRead > room)
        buffer->resize(buffer->size() + qsizetype(bytesToRead - room));
}

std::size_t GCDAsyncReadPacket::readLengthForNonTermWithHint(std::size_t bytesAvailable) const
{
    HM_ASSERT(!isTermRead(), QStringLiteral("This method does not apply to term reads"));
    HM_ASSERT(bytesAvailable > 0, QStringLiteral("Invalid parameter: bytesAvailable"));
    if (readLength > 0)
        return std::min(readLength - bytesDone, bytesAvailable);
    if (maxLength > 0)
        return std::min(maxLength - bytesDone, bytesAvailable);
    return bytesAvailable;
}

std::size_t GCDAsyncReadPacket::readLengthForTermWithHint(std::size_t bytesAvailable, bool *shouldPreBufferPtr) const
{
    HM_ASSERT(isTermRead(), QStringLiteral("This method does not apply to non-term reads"));
    HM_ASSERT(bytesAvailable > 0, QStringLiteral("Invalid parameter: bytesAvailable"));
    std::size_t result = bytesAvailable;
    if (maxLength > 0)
        result = std::min(result, maxLength - bytesDone);
    if (shouldPreBufferPtr != nullptr)
        *shouldPreBufferPtr = roomLeft() < result;
    return result;
}

std::size_t GCDAsyncReadPacket::readLengthForTermWithPreBuffer(const GCDAsyncSocketPreBuffer &preBuffer,
                                                               bool *foundPtr) const
{
    HM_ASSERT(isTermRead(), QStringLiteral("This method does not apply to non-term reads"));
    HM_ASSERT(preBuffer.availableBytes() > 0, QStringLiteral("Invoked with empty pre buffer!"));
    const std::size_t termLength = std::size_t(term.size());
    const std::size_t preBufferLength = preBuffer.availableBytes();
    *foundPtr = false;
    if (bytesDone + preBufferLength < termLength)
        return preBufferLength;
    std::size_t maxPreBufferLength = preBufferLength;
    if (maxLength > 0)
        maxPreBufferLength = std::min(maxPreBufferLength, maxLength - bytesDone);
    // The terminator may begin in the last bytes already read: search those joined with the
    // pre-buffer's bytes, as one sequence.
    const std::size_t bufLen = std::min(bytesDone, termLength - 1);
    const char *tail = buffer->constData() + startOffset + bytesDone - bufLen;
    const char *pre = preBuffer.readBuffer();
    const auto byteAt = [&](std::size_t index) { return index < bufLen ? tail[index] : pre[index - bufLen]; };
    const std::size_t sequenceLength = bufLen + maxPreBufferLength;
    for (std::size_t start = 0; start + termLength <= sequenceLength; ++start) {
        std::size_t matched = 0;
        while (matched < termLength && byteAt(start + matched) == term.at(qsizetype(matched)))
            ++matched;
        if (matched == termLength) {
            *foundPtr = true;
            return start + termLength - bufLen;
        }
    }
    return maxPreBufferLength;
}

std::ptrdiff_t GCDAsyncReadPacket::searchForTermAfterPreBuffering(std::size_t numBytes) const
{
    HM_ASSERT(isTermRead(), QStringLiteral("This method does not apply to non-term reads"));
    const std::size_t termLength = std::size_t(term.size());
    const std::size_t total = bytesDone + numBytes;
    const char *bytes = buffer->constData() + startOffset;
    std::size_t start = bytesDone + 1 > termLength ? bytesDone + 1 - termLength : 0;
    for (; start + termLength <= total; ++start) {
        if (std::memcmp(bytes + start, term.constData(), termLength) == 0)
            return std::ptrdiff_t(total - (start + termLength));
    }
    return -1;
}

QByteArray GCDAsyncReadPacket::takeReadData()
{
    if (bufferOwner) {
        QByteArray data = std::move(*buffer);
        data.truncate(qsizetype(bytesDone));
        return data;
    }
    // A copy, not a view: the caller may change or drop its buffer once the callback has run.
    const QByteArray data = buffer->mid(qsizetype(startOffset), qsizetype(bytesDone));
    const std::size_t used = std::max(startOffset + bytesDone, originalBufferLength);
    if (std::size_t(buffer->size()) > used)
        buffer->truncate(qsizetype(used));
    return data;
}
