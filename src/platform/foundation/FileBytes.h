#pragma once

#include <QByteArray>

#include <cstddef>

namespace platform {

// A whole file's bytes for a reader that needs them only while it reads them: either the bytes read
// into memory, or a read-only mapping of the file that goes when this object goes (see
// readOwnFileBytes). Move-only; one thread at a time.
class FileBytes final
{
public:
    explicit FileBytes(QByteArray bytes);
    // Takes over a read-only mapping of the given length made with mmap.
    FileBytes(void *mapping, size_t length);
    FileBytes(FileBytes &&other) noexcept;
    FileBytes &operator=(FileBytes &&other) noexcept;
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;
    ~FileBytes();

    // The bytes, valid while this object lives. A mapping's bytes are not copied: neither the answer
    // nor any copy of it may be kept past this object, and the bytes are not followed by a NUL.
    const QByteArray &bytes() const { return m_bytes; }
    bool isMapped() const { return m_mapping != nullptr; }
    // Lets go of a mapping's pages read so far: they stay in the kernel's cache, and a later read
    // maps them again. A reader that goes through a large file calls it now and then, so that the
    // file is not held whole in memory beside what is made of it. Nothing for bytes read into memory.
    void releaseResidentPages() const;

private:
    void unmap();

    QByteArray m_bytes;
    void *m_mapping = nullptr;
    size_t m_mappedLength = 0;
};

} // namespace platform
