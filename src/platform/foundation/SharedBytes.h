#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <utility>

namespace platform {

// A part of a shared byte string or text block, sharing it: only where the part starts and its
// size differ from the block's header. The part must lie within the block.
//
// This is the one place that reaches into the shared header of Qt's byte strings and texts: one may
// point anywhere into its block, but Qt offers no public call that makes one without copying.
template <typename Text> Text sharedSliceOf(Text block, qsizetype offset, qsizetype length)
{
    Q_ASSERT(offset >= 0 && length >= 0 && offset + length <= block.size());
    typename Text::DataPointer slice = block.data_ptr();
    slice.ptr += offset;
    slice.size = length;
    return Text(std::move(slice));
}

// Some bytes of a block that many such pieces share: holding one keeps the whole block alive, and
// copying one copies no bytes. Stores that keep thousands of small texts pack them into a few blocks
// this way, where a byte string apiece would cost an allocation apiece. A block is never written
// once pieces of it are handed out, except in a part no piece covers.
class SharedBytes final
{
public:
    SharedBytes() = default;
    // The whole of the bytes.
    explicit SharedBytes(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    // length bytes of the block from offset, which must lie within it.
    SharedBytes(QByteArray block, qsizetype offset, qsizetype length)
        : m_bytes(sharedSliceOf(std::move(block), offset, length))
    {
    }

    QByteArrayView view() const { return m_bytes; }
    qsizetype size() const { return m_bytes.size(); }
    bool isEmpty() const { return m_bytes.isEmpty(); }
    // The bytes as a byte string that shares the block. It is followed by a NUL only where the block
    // holds one after the bytes: callers that need constData() ended by a NUL must put one there.
    const QByteArray &bytes() const & { return m_bytes; }
    QByteArray bytes() && { return std::move(m_bytes); }

private:
    QByteArray m_bytes;
};

} // namespace platform
