#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>

#include <memory>

#include <sys/stat.h>

namespace platform {

// A file open for appending, such as the current log file or a file of records kept line by line.
// Every write lands at the end of the file, even when another handle or process has appended
// meanwhile; offset() is where the next write starts. A write goes whole or leaves nothing: a kill
// during it can still leave a last partial line, so readers of such files pass one over. Closed by
// close() or when the handle goes. Not copyable; used by one thread at a time.
class FileHandle final
{
public:
    // What opening does when nothing is at the path.
    enum class WhenMissing {
        Fail,            // fails with IoNotFound: the caller decides where files are created
        CreateOwnerOnly, // creates an empty file only its owner may read and write (0600)
    };

    // Opens a regular file for appending, positioned at its end. A link at the path is not followed
    // and anything but a regular file (a folder, a FIFO, a device) is refused without blocking.
    static Result<std::unique_ptr<FileHandle>> openForAppending(const QString &path,
                                                                WhenMissing whenMissing = WhenMissing::Fail);

    ~FileHandle();
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    const QString &path() const { return m_path; }
    bool isOpen() const { return m_descriptor >= 0; }

    // The position of the next write: the file's size when it was opened or last written (while
    // the file is open).
    quint64 offset() const;
    // Moves to the current end of the file (which another writer may have moved) and returns it.
    Result<quint64> seekToEndOfFile();
    // The status of the open file (fstat): a file removed or renamed over since it was opened has
    // no link left.
    Result<struct stat> status() const;

    // Writes all the bytes at the end of the file in one write, going on after a signal or a short
    // write. When the write fails part way, the file is cut back to where the bytes began, so that
    // no part of them stays for a reader to trip on; the failure names the bytes not written.
    Status write(const QByteArray &bytes);
    // Pushes what was written to the storage device (fsync).
    Status synchronize();
    // Closes the file; later calls fail. Closing twice is harmless.
    Status close();
    // Hands the open descriptor to the caller, who closes it; the handle is closed after it.
    int releaseDescriptor();

private:
    FileHandle(QString path, int descriptor, quint64 offset);
    void cutOffPartialWrite(qsizetype written);

    QString m_path;
    int m_descriptor = -1;
    // Where a write ended is asked of the file only when offset() wants it: most writers never do.
    mutable quint64 m_offset = 0;
    mutable bool m_isOffsetKnown = true;
};

} // namespace platform
