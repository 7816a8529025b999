#include "platform/foundation/FileIO.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString systemMessage(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// Removes the temporary file unless the write got as far as renaming it over the target.
class TemporaryFileGuard final
{
public:
    explicit TemporaryFileGuard(QByteArray path) : m_path(std::move(path)) {}
    ~TemporaryFileGuard()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        if (!m_renamed)
            ::unlink(m_path.constData());
    }
    TemporaryFileGuard(const TemporaryFileGuard &) = delete;
    TemporaryFileGuard &operator=(const TemporaryFileGuard &) = delete;

    void setDescriptor(int descriptor) { m_descriptor = descriptor; }
    int closeDescriptor()
    {
        const int result = ::close(m_descriptor);
        m_descriptor = -1;
        return result;
    }
    void setRenamed() { m_renamed = true; }

private:
    QByteArray m_path;
    int m_descriptor = -1;
    bool m_renamed = false;
};

} // namespace

qsizetype writeToDescriptor(int descriptor, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t chunk = ::write(descriptor, bytes.constData() + written, size_t(bytes.size() - written));
        if (chunk < 0 && errno == EINTR)
            continue;
        if (chunk == 0)
            errno = EIO;
        if (chunk <= 0)
            break;
        written += chunk;
    }
    return written;
}

Result<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such file").arg(path));
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: cannot open: %2").arg(path, file.errorString()));
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot read: %2").arg(path, file.errorString()));
    return bytes;
}

// rename(2) replaces the target in one step, so the target name always names a whole file. (Qt's
// QSaveFile may unlink the target before linking an unnamed temporary file in its place, which
// leaves a moment in which the file is missing.)
Status writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray pattern = target + ".XXXXXX";
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) {
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: cannot create a temporary file: %2").arg(path, systemMessage(errno)));
    }
    TemporaryFileGuard guard(pattern);
    guard.setDescriptor(descriptor);

    // Keep the permissions of the file being replaced; a new file gets the usual ones.
    struct stat existing = {};
    const mode_t mode = ::stat(target.constData(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    ::fchmod(descriptor, mode);

    if (writeToDescriptor(descriptor, bytes) != bytes.size() || ::fsync(descriptor) != 0) {
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: write failed: %2").arg(path, systemMessage(errno)));
    }
    if (guard.closeDescriptor() != 0) {
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: write failed: %2").arg(path, systemMessage(errno)));
    }
    if (::rename(pattern.constData(), target.constData()) != 0) {
        return Error(ErrorCode::IoWriteFailed,
                     QStringLiteral("%1: cannot replace the file: %2").arg(path, systemMessage(errno)));
    }
    guard.setRenamed();
    return success();
}

} // namespace platform
