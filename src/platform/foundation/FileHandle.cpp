#include "platform/foundation/FileHandle.h"

#include "platform/foundation/FileIO.h"

#include <QFile>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString describeErrno(int error)
{
    return qt_error_string(error);
}

ErrorCode codeForErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ErrorCode::IoNotFound;
    case EACCES:
    case EPERM:
        return ErrorCode::IoPermission;
    default:
        return ErrorCode::IoOther;
    }
}

} // namespace

Result<std::unique_ptr<FileHandle>> FileHandle::openForAppending(const QString &path, WhenMissing whenMissing)
{
    const QByteArray nativePath = QFile::encodeName(path);
    // Non-blocking, so that a FIFO without a reader fails here rather than waiting for one.
    int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    if (whenMissing == WhenMissing::CreateOwnerOnly)
        flags |= O_CREAT;
    int descriptor = -1;
    do {
        descriptor = ::open(nativePath.constData(), flags, 0600);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        const int error = errno;
        return Error(codeForErrno(error),
                     QStringLiteral("%1: cannot open for appending: %2").arg(path, describeErrno(error)));
    }
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return Error(ErrorCode::IoOther, QStringLiteral("%1: not a regular file").arg(path));
    }
    return std::unique_ptr<FileHandle>(new FileHandle(path, descriptor, quint64(status.st_size)));
}

FileHandle::FileHandle(QString path, int descriptor, quint64 offset)
    : m_path(std::move(path)), m_descriptor(descriptor), m_offset(offset)
{
}

FileHandle::~FileHandle()
{
    static_cast<void>(close());
}

quint64 FileHandle::offset() const
{
    if (!m_isOffsetKnown && isOpen()) {
        // With O_APPEND the position after a write is the end of the file, wherever other writers left it.
        const off_t position = ::lseek(m_descriptor, 0, SEEK_CUR);
        if (position >= 0)
            m_offset = quint64(position);
    }
    m_isOffsetKnown = true;
    return m_offset;
}

Result<quint64> FileHandle::seekToEndOfFile()
{
    if (!isOpen())
        return Error(ErrorCode::IoOther, QStringLiteral("%1: the handle is closed").arg(m_path));
    const off_t end = ::lseek(m_descriptor, 0, SEEK_END);
    if (end < 0)
        return Error(ErrorCode::IoOther,
                     QStringLiteral("%1: cannot find the end: %2").arg(m_path, describeErrno(errno)));
    m_offset = quint64(end);
    m_isOffsetKnown = true;
    return m_offset;
}

Result<struct stat> FileHandle::status() const
{
    struct stat status
    {
    };
    if (!isOpen() || ::fstat(m_descriptor, &status) != 0)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot be looked at").arg(m_path));
    return status;
}

Status FileHandle::write(const QByteArray &bytes)
{
    if (!isOpen())
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: the handle is closed").arg(m_path));
    const qsizetype written = writeToDescriptor(m_descriptor, bytes);
    // Until something is written the position stays where it was opened, not at the end.
    if (written > 0)
        m_isOffsetKnown = false;
    if (written < bytes.size()) {
        const int error = errno;
        cutOffPartialWrite(written);
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: %2 of %3 bytes not written: %4")
                                                   .arg(m_path, QString::number(bytes.size() - written),
                                                        QString::number(bytes.size()), describeErrno(error)));
    }
    return success();
}

// The pieces of a write went to the end of the file one after the other, so the position after
// them, less what they wrote, is where the bytes began: the file is cut back to it. Found after the
// failure, it costs a write that succeeds nothing. When the cut fails too, the partial line stays for
// the reader to pass over, as after a kill.
void FileHandle::cutOffPartialWrite(qsizetype written)
{
    if (written <= 0)
        return;
    const off_t end = ::lseek(m_descriptor, 0, SEEK_CUR);
    if (end < off_t(written))
        return;
    int result = 0;
    do {
        result = ::ftruncate(m_descriptor, end - off_t(written));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_offset = quint64(end - off_t(written));
        m_isOffsetKnown = true;
    }
}

Status FileHandle::synchronize()
{
    if (!isOpen())
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: the handle is closed").arg(m_path));
    int result = 0;
    do {
        result = ::fsync(m_descriptor);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: cannot synchronise: %2").arg(m_path, describeErrno(errno)));
    return success();
}

Status FileHandle::close()
{
    const int descriptor = std::exchange(m_descriptor, -1);
    if (descriptor < 0)
        return success();
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(descriptor) != 0)
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: close failed: %2").arg(m_path, describeErrno(errno)));
    return success();
}

int FileHandle::releaseDescriptor()
{
    return std::exchange(m_descriptor, -1);
}

} // namespace platform
