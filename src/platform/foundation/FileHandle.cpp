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

Result<std::unique_ptr<FileHandle>> FileHandle::openForAppending(const QString &path)
{
    const QByteArray nativePath = QFile::encodeName(path);
    int descriptor = -1;
    do {
        descriptor =
            ::open(nativePath.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
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
    const off_t end = ::lseek(descriptor, 0, SEEK_END);
    if (end < 0) {
        const int error = errno;
        ::close(descriptor);
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot find the end: %2").arg(path, describeErrno(error)));
    }
    return std::unique_ptr<FileHandle>(new FileHandle(path, descriptor, quint64(end)));
}

FileHandle::FileHandle(QString path, int descriptor, quint64 offset)
    : m_path(std::move(path)), m_descriptor(descriptor), m_offset(offset)
{
}

FileHandle::~FileHandle()
{
    static_cast<void>(close());
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
    return m_offset;
}

Status FileHandle::write(const QByteArray &bytes)
{
    if (!isOpen())
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: the handle is closed").arg(m_path));
    const qsizetype written = writeToDescriptor(m_descriptor, bytes);
    if (written < bytes.size()) {
        const int error = errno;
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: %2 of %3 bytes not written: %4")
                                                   .arg(m_path, QString::number(bytes.size() - written),
                                                        QString::number(bytes.size()), describeErrno(error)));
    }
    // With O_APPEND the position after a write is the end of the file, wherever other writers left it.
    const off_t position = ::lseek(m_descriptor, 0, SEEK_CUR);
    m_offset = position >= 0 ? quint64(position) : m_offset + quint64(written);
    return success();
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

} // namespace platform
