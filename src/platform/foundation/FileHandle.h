#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace platform {

// A file open for appending, such as the current log file. Every write lands at the end of the file,
// even when another handle or process has appended meanwhile; offset() is where the next write
// starts. Closed by close() or when the handle goes. Not copyable; used by one thread at a time.
class FileHandle final
{
public:
    // Opens an existing regular file for appending, positioned at its end. A missing file fails with
    // IoNotFound: the caller decides where files are created. A link at the path is not followed and
    // anything but a regular file (a folder, a FIFO, a device) is refused without blocking.
    static Result<std::unique_ptr<FileHandle>> openForAppending(const QString &path);

    ~FileHandle();
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    const QString &path() const { return m_path; }
    bool isOpen() const { return m_descriptor >= 0; }

    // The position of the next write: the file's size when it was opened or last written.
    quint64 offset() const { return m_offset; }
    // Moves to the current end of the file (which another writer may have moved) and returns it.
    Result<quint64> seekToEndOfFile();

    // Writes all the bytes at the end of the file; a failure names the bytes that were not written.
    Status write(const QByteArray &bytes);
    // Pushes what was written to the storage device (fsync).
    Status synchronize();
    // Closes the file; later calls fail. Closing twice is harmless.
    Status close();

private:
    FileHandle(QString path, int descriptor, quint64 offset);

    QString m_path;
    int m_descriptor = -1;
    quint64 m_offset = 0;
};

} // namespace platform
