#include "platform/foundation/FileBytes.h"

#include <utility>

#include <sys/mman.h>

namespace platform {

FileBytes::FileBytes(QByteArray bytes) : m_bytes(std::move(bytes)) {}

FileBytes::FileBytes(void *mapping, size_t length)
    : m_bytes(QByteArray::fromRawData(static_cast<const char *>(mapping), qsizetype(length))), m_mapping(mapping),
      m_mappedLength(length)
{
}

FileBytes::FileBytes(FileBytes &&other) noexcept
    : m_bytes(std::exchange(other.m_bytes, QByteArray())), m_mapping(std::exchange(other.m_mapping, nullptr)),
      m_mappedLength(std::exchange(other.m_mappedLength, 0))
{
}

FileBytes &FileBytes::operator=(FileBytes &&other) noexcept
{
    if (this != &other) {
        unmap();
        m_bytes = std::exchange(other.m_bytes, QByteArray());
        m_mapping = std::exchange(other.m_mapping, nullptr);
        m_mappedLength = std::exchange(other.m_mappedLength, 0);
    }
    return *this;
}

FileBytes::~FileBytes()
{
    unmap();
}

void FileBytes::releaseResidentPages() const
{
    // The mapping is private and read-only, so no page of it differs from the file's.
    if (m_mapping)
        ::madvise(m_mapping, m_mappedLength, MADV_DONTNEED);
}

// The array over the mapping goes first: nothing of this object names the mapping once it is gone.
void FileBytes::unmap()
{
    m_bytes = QByteArray();
    if (m_mapping)
        ::munmap(m_mapping, m_mappedLength);
    m_mapping = nullptr;
    m_mappedLength = 0;
}

} // namespace platform
