#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <utility>

namespace platform {

// Some bytes of a block that many such pieces share: holding one keeps the whole block alive, and
// copying one copies no bytes. Stores that keep thousands of small texts pack them into a few blocks
// this way, where a byte string apiece would cost an allocation apiece. A block is never written
// once pieces of it are handed out, except in a part no piece covers.
//
// This is the one place that reaches into the byte string's shared header: a QByteArray may point
// anywhere into its block, but Qt offers no public call that makes one without copying the bytes.
class SharedBytes final
{
public:
    SharedBytes() = default;
    // The whole of the bytes.
    explicit SharedBytes(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    // length bytes of the block from offset, which must lie within it.
    SharedBytes(QByteArray block, qsizetype offset, qsizetype length)
        : m_bytes(sliceOf(std::move(block), offset, length))
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
    static QByteArray sliceOf(QByteArray block, qsizetype offset, qsizetype length)
    {
        Q_ASSERT(offset >= 0 && length >= 0 && offset + length <= block.size());
        // Copying the header's pointer shares the block; only where the slice starts and its size differ.
        QByteArray::DataPointer slice = block.data_ptr();
        slice.ptr += offset;
        slice.size = length;
        return QByteArray(std::move(slice));
    }

    QByteArray m_bytes;
};

} // namespace platform
