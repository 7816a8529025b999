#include "StoreLineFile.h"

#include "StoreLines.h"
#include "platform/foundation/FileIO.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hmsync {

namespace {

// The most a store's file may hold; beyond it the file is taken for damage, not records.
constexpr qint64 kMaxFileBytes = 1024LL * 1024 * 1024;
// Appends are written in pieces of this size, and files are scanned in blocks of it.
constexpr qsizetype kBlockBytes = 256 * 1024;

QString systemProblem(const QString &path, const char *what)
{
    return QStringLiteral("%1: %2: %3")
        .arg(path, QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// Reads exactly length bytes at offset; false on a short read or an error.
bool readAt(int descriptor, char *into, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t got = ::pread(descriptor, into, size_t(length), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        length -= got;
        offset += got;
    }
    return true;
}

} // namespace

StoreLineFile::~StoreLineFile()
{
    close();
}

bool StoreLineFile::openDescriptor(const QString &path, int flags, QString &problem)
{
    close();
    m_path = path;
    m_descriptor = ::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (m_descriptor < 0) {
        problem = systemProblem(path, "cannot open");
        return false;
    }
    struct stat status
    {
    };
    if (::fstat(m_descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxFileBytes) {
        problem = QStringLiteral("%1: not a regular file of at most %2 bytes").arg(path).arg(kMaxFileBytes);
        close();
        return false;
    }
    m_writtenBytes = status.st_size;
    return true;
}

bool StoreLineFile::openForReading(const QString &path, QString &problem)
{
    return openDescriptor(path, O_RDONLY | O_NONBLOCK, problem);
}

bool StoreLineFile::openForWriting(const QString &path, QString &problem)
{
    return openDescriptor(path, O_RDWR | O_CREAT, problem);
}

bool StoreLineFile::cutOff(qint64 keptBytes, QString &problem)
{
    if (m_descriptor < 0 || !m_buffer.isEmpty() || keptBytes > m_writtenBytes)
        return false;
    if (keptBytes != m_writtenBytes && ::ftruncate(m_descriptor, off_t(keptBytes)) != 0) {
        problem = systemProblem(m_path, "cannot cut off");
        return false;
    }
    m_writtenBytes = keptBytes;
    return true;
}

bool StoreLineFile::isAtItsPath() const
{
    if (m_descriptor < 0)
        return true;
    struct stat open
    {
    };
    struct stat named
    {
    };
    return ::fstat(m_descriptor, &open) == 0 && ::lstat(QFile::encodeName(m_path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void StoreLineFile::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_writtenBytes = 0;
    m_buffer.clear();
}

qint64 StoreLineFile::append(const QByteArray &bytes)
{
    const qint64 offset = size();
    m_buffer += bytes;
    if (m_buffer.size() >= kBlockBytes) {
        // A failed write keeps the bytes buffered; the save that follows reports it.
        QString ignored;
        flush(ignored);
    }
    return offset;
}

bool StoreLineFile::flush(QString &problem)
{
    if (m_descriptor < 0 || m_buffer.isEmpty())
        return true;
    qsizetype done = 0;
    while (done < m_buffer.size()) {
        const ssize_t wrote = ::pwrite(m_descriptor, m_buffer.constData() + done, size_t(m_buffer.size() - done),
                                       off_t(m_writtenBytes + done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            problem = systemProblem(m_path, "write failed");
            break;
        }
        done += wrote;
    }
    m_writtenBytes += done;
    m_buffer.remove(0, done);
    return m_buffer.isEmpty();
}

bool StoreLineFile::sync(QString &problem)
{
    if (!flush(problem))
        return false;
    if (m_descriptor >= 0 && ::fdatasync(m_descriptor) != 0) {
        problem = systemProblem(m_path, "cannot sync");
        return false;
    }
    return true;
}

std::optional<QByteArray> StoreLineFile::read(qint64 offset, qint64 length) const
{
    if (offset < 0 || length < 0 || length > storelines::kMaxLineBytes || offset > size() - length)
        return std::nullopt;
    QByteArray bytes(length, Qt::Uninitialized);
    const qint64 fromFile = std::clamp<qint64>(m_writtenBytes - offset, 0, length);
    if (fromFile > 0 && (m_descriptor < 0 || !readAt(m_descriptor, bytes.data(), fromFile, offset)))
        return std::nullopt;
    if (fromFile < length)
        std::memcpy(bytes.data() + fromFile, m_buffer.constData() + (offset + fromFile - m_writtenBytes),
                    size_t(length - fromFile));
    return bytes;
}

bool StoreLineFile::scanLines(const LineHandler &onLine, QString &problem) const
{
    QByteArray pending;
    qint64 pendingStart = 0;
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    // Bounded by the file's size: each pass reads at least one byte or ends.
    for (qint64 position = 0; m_descriptor >= 0;) {
        const ssize_t got = ::pread(m_descriptor, block.data(), size_t(block.size()), off_t(position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = systemProblem(m_path, "cannot read");
            return false;
        }
        if (got == 0 || position + got > kMaxFileBytes)
            return true;
        pending.append(block.constData(), got);
        position += got;
        qsizetype start = 0;
        for (qsizetype end = pending.indexOf('\n'); end >= 0; start = end + 1, end = pending.indexOf('\n', start)) {
            if (!onLine(pendingStart + start, QByteArrayView(pending).sliced(start, end - start)))
                return true;
        }
        pending.remove(0, start);
        pendingStart += start;
        if (pending.size() > storelines::kMaxLineBytes)
            return true;
    }
    return true;
}

} // namespace hmsync
