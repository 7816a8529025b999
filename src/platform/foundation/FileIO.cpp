#include "platform/foundation/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Temporary files are hidden and carry a suffix of their own, so that neither a folder listing nor
// another program reading the folder takes one for a real file, and so that a stale one is known as ours.
const QString kTemporarySuffix = QStringLiteral(".hmtmp");
constexpr qsizetype kRandomPartLength = 6;

QString systemMessage(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// Closes a descriptor when the scope ends.
class DescriptorGuard final
{
public:
    explicit DescriptorGuard(int descriptor) : m_descriptor(descriptor) {}
    ~DescriptorGuard()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    DescriptorGuard(const DescriptorGuard &) = delete;
    DescriptorGuard &operator=(const DescriptorGuard &) = delete;

private:
    int m_descriptor;
};

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

// A regular file opened for reading, with the size it had when opened.
struct OpenedFile
{
    int descriptor = -1;
    qint64 size = 0;
};

// Opening with O_NONBLOCK makes a FIFO without a writer open at once instead of waiting for one; the
// descriptor's own type then decides, so a link to a device or a FIFO is refused like the thing itself.
// O_NOFOLLOW among extraFlags refuses a link at the name itself. The opened file's status goes to
// `opened` when given, even when the file is then refused.
Result<OpenedFile> openRegularFile(const QString &path, qint64 maxBytes, int extraFlags, struct stat *opened)
{
    const QByteArray nativePath = QFile::encodeName(path);
    int descriptor = -1;
    do {
        descriptor = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extraFlags);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        const int error = errno;
        if (error == ENOENT)
            return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such file").arg(path));
        const ErrorCode code = (error == EACCES || error == EPERM) ? ErrorCode::IoPermission : ErrorCode::IoOther;
        return Error(code, QStringLiteral("%1: cannot open: %2").arg(path, systemMessage(error)));
    }
    struct stat status = {};
    const bool isKnown = ::fstat(descriptor, &status) == 0;
    if (isKnown && opened)
        *opened = status;
    if (!isKnown || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return Error(ErrorCode::DataMalformed, QStringLiteral("%1: not a regular file").arg(path));
    }
    if (status.st_size > maxBytes) {
        ::close(descriptor);
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("%1: %2 bytes exceed the limit of %3")
                         .arg(path, QString::number(status.st_size), QString::number(maxBytes)));
    }
    return OpenedFile{descriptor, qint64(status.st_size)};
}

// A large file is read into memory the system has not handed out yet, and the read would otherwise
// stop on every page of it: the pages are made ready in one request. A system that cannot do so
// reads as before.
void prefaultLargeBuffer(QByteArray &bytes)
{
#ifdef MADV_POPULATE_WRITE
    constexpr qsizetype kLargeFileBytes = 1024 * 1024;
    if (bytes.size() < kLargeFileBytes)
        return;
    const auto page = quintptr(::sysconf(_SC_PAGESIZE));
    const auto start = (quintptr(bytes.data()) + page - 1) & ~(page - 1);
    const auto end = (quintptr(bytes.data()) + quintptr(bytes.size())) & ~(page - 1);
    if (end > start)
        ::madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    Q_UNUSED(bytes);
#endif
}

// Reads to the end, but never more than maxBytes: a file that grows while it is read fails. The
// size the file had when opened (within the cap) is read in one go into a buffer of just that size;
// the end is then confirmed through a small buffer of its own, so the result holds no spare room.
Result<QByteArray> readAtMost(const OpenedFile &file, const QString &path, qint64 maxBytes)
{
    QByteArray bytes(qsizetype(std::min(file.size, maxBytes)), Qt::Uninitialized);
    prefaultLargeBuffer(bytes);
    qsizetype filled = 0;
    char more[4096];
    while (true) {
        const bool intoBytes = filled < bytes.size();
        char *target = intoBytes ? bytes.data() + filled : more;
        const size_t wanted = intoBytes ? size_t(bytes.size() - filled) : sizeof(more);
        const ssize_t got = ::read(file.descriptor, target, wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot read: %2").arg(path, systemMessage(errno)));
        if (got == 0) {
            bytes.truncate(filled);
            return bytes;
        }
        if (!intoBytes)
            bytes.append(more, qsizetype(got));
        filled += qsizetype(got);
        if (filled > maxBytes)
            return Error(ErrorCode::DataMalformed,
                         QStringLiteral("%1: more than the limit of %2 bytes").arg(path, QString::number(maxBytes)));
    }
}

QByteArray temporaryPattern(const QString &path)
{
    const QFileInfo target(path);
    const QString name = QLatin1Char('.') + target.fileName() + QStringLiteral(".XXXXXX") + kTemporarySuffix;
    return QFile::encodeName(target.path() + QLatin1Char('/') + name);
}

// The mode of the regular file being replaced, looked at without following a link at its name;
// nothing when there is none.
std::optional<mode_t> modeOfReplacedFile(const QByteArray &target)
{
    struct stat existing = {};
    if (::lstat(target.constData(), &existing) == 0 && S_ISREG(existing.st_mode))
        return existing.st_mode & 07777;
    return std::nullopt;
}

bool isStale(const QByteArray &nativePath, std::chrono::seconds minimumAge)
{
    struct stat status = {};
    if (::lstat(nativePath.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    // The precise clock, not time(): the kernel may stamp a file from the precise clock, which runs up
    // to a tick ahead of the coarse one time() reads, and a file just written would seem to come from
    // the future.
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - status.st_mtime >= minimumAge.count();
}

Status writeFailure(const QString &path, const QString &what)
{
    return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: %2: %3").arg(path, what, systemMessage(errno)));
}

// The status of a file just written, after making its mode 0600 when it is not. The umask only
// ever leaves it fewer bits: a file whose mode cannot be set is no more open than asked, and kept.
bool statWithOwnerOnlyMode(int descriptor, struct stat &placed)
{
    if (::fstat(descriptor, &placed) != 0)
        return false;
    if ((placed.st_mode & 07777) == 0600)
        return true;
    return ::fchmod(descriptor, 0600) != 0 || ::fstat(descriptor, &placed) == 0;
}

// Names a file made unnamed. The kernel names it straight from its descriptor for the process that
// opened it (newer kernels, or any with the right to search every folder); elsewhere it goes by the
// descriptor's link in /proc. Either way a name already taken is never replaced.
bool linkUnnamedFile(int descriptor, const QByteArray &target)
{
    if (::linkat(descriptor, "", AT_FDCWD, target.constData(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    const QByteArray unnamed = "/proc/self/fd/" + QByteArray::number(descriptor);
    return ::linkat(AT_FDCWD, unnamed.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0;
}

// A new file is written unnamed in the target's folder (O_TMPFILE) and then given the target's name
// in one step, which fails rather than replace anything: no temporary name, no rename, and a crash
// leaves nothing behind. Answers nothing, leaving no trace, when the file system or the process
// cannot do this or the name was taken meanwhile: the caller then goes the named way.
std::optional<Status> linkNewFile(const QString &path, const QByteArray &target, const FileContentWriter &content,
                                  struct stat *placed)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).path());
    const int descriptor = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return std::nullopt;
    // The file is made 0600 less the umask, which can only take bits away. A caller that wants the
    // file's status has it checked after the link, and set to 0600 exactly only when the umask took
    // some (fchmod is not masked); otherwise it is set before: no file of ours is ever more open.
    if ((!placed && ::fchmod(descriptor, 0600) != 0) || !content(descriptor)) {
        const Status failed = writeFailure(path, QStringLiteral("write failed"));
        ::close(descriptor);
        return failed;
    }
    const bool isLinked = linkUnnamedFile(descriptor, target);
    // The link moves the file's change time: its status is taken after it.
    const bool isSeen = !isLinked || !placed || statWithOwnerOnlyMode(descriptor, *placed);
    if (!isSeen) {
        const Status unseen = writeFailure(path, QStringLiteral("cannot see the written file"));
        ::close(descriptor);
        return unseen;
    }
    if (::close(descriptor) != 0 && isLinked)
        return writeFailure(path, QStringLiteral("write failed"));
    if (!isLinked)
        return std::nullopt;
    return success();
}

// rename(2) replaces the target in one step, so the target name always names a whole file; it also
// replaces a link at that name rather than writing through it. (Qt's QSaveFile may unlink the target
// before linking an unnamed temporary file in its place, which leaves a moment in which the file is
// missing.) mkstemps creates the temporary file 0600 and never through a link.
Status writeThroughTemporaryFile(const QString &path, const QByteArray &target, const FileContentWriter &content,
                                 mode_t mode, bool mustFlush, struct stat *placed)
{
    QByteArray pattern = temporaryPattern(path);
    const int descriptor = ::mkstemps(pattern.data(), int(kTemporarySuffix.size()));
    if (descriptor < 0)
        return writeFailure(path, QStringLiteral("cannot create a temporary file"));
    TemporaryFileGuard guard(pattern);
    guard.setDescriptor(descriptor);
    if (::fchmod(descriptor, mode) != 0)
        return writeFailure(path, QStringLiteral("cannot set permissions"));
    if (!content(descriptor) || (mustFlush && ::fsync(descriptor) != 0))
        return writeFailure(path, QStringLiteral("write failed"));
    if (guard.closeDescriptor() != 0)
        return writeFailure(path, QStringLiteral("write failed"));
    if (::rename(pattern.constData(), target.constData()) != 0)
        return writeFailure(path, QStringLiteral("cannot replace the file"));
    guard.setRenamed();
    // The rename moves the file's change time: its status is taken after it.
    if (placed && ::lstat(target.constData(), placed) != 0)
        return writeFailure(path, QStringLiteral("cannot see the written file"));
    return success();
}

FileContentWriter wholeContent(const QByteArray &bytes)
{
    return [&bytes](int descriptor) { return writeToDescriptor(descriptor, bytes) == bytes.size(); };
}

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

Result<QByteArray> readWholeFile(const QString &path, qint64 maxBytes)
{
    const Result<OpenedFile> opened = openRegularFile(path, maxBytes, 0, nullptr);
    if (!opened)
        return opened.error();
    const DescriptorGuard guard(opened->descriptor);
    return readAtMost(*opened, path, maxBytes);
}

namespace {

// The opened file mapped read-only, its pages made present as they are read, so that a reader that
// lets go of them as it goes (FileBytes::releaseResidentPages) never holds the whole file; nullopt
// when it is not one to map or cannot be mapped.
std::optional<FileBytes> mappedOwnFile(const OpenedFile &file, const struct stat &status)
{
    if (status.st_uid != ::geteuid() || status.st_nlink != 1 || file.size <= 0)
        return std::nullopt;
    void *const mapping = ::mmap(nullptr, size_t(file.size), PROT_READ, MAP_PRIVATE, file.descriptor, 0);
    if (mapping == MAP_FAILED)
        return std::nullopt;
    return FileBytes(mapping, size_t(file.size));
}

} // namespace

Result<FileBytes> readOwnFileBytes(const QString &path, qint64 maxBytes)
{
    struct stat status = {};
    const Result<OpenedFile> opened = openRegularFile(path, maxBytes, O_NOFOLLOW, &status);
    if (!opened) {
        Result<QByteArray> read = readWholeFile(path, maxBytes);
        if (!read)
            return read.error();
        return FileBytes(std::move(read).value());
    }
    const DescriptorGuard guard(opened->descriptor);
    if (std::optional<FileBytes> mapped = mappedOwnFile(*opened, status))
        return std::move(*mapped);
    Result<QByteArray> read = readAtMost(*opened, path, maxBytes);
    if (!read)
        return read.error();
    return FileBytes(std::move(read).value());
}

std::optional<FileStamp> fileStampOf(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return fileStampOf(status);
}

FileStamp fileStampOf(const struct stat &status)
{
    constexpr qint64 kNanoseconds = 1000000000;
    return FileStamp{quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
                     qint64(status.st_mtim.tv_sec) * kNanoseconds + status.st_mtim.tv_nsec,
                     qint64(status.st_ctim.tv_sec) * kNanoseconds + status.st_ctim.tv_nsec};
}

Result<FileStream> FileStream::open(const QString &path, qint64 maxBytes)
{
    return openWithFlags(path, maxBytes, 0);
}

Result<FileStream> FileStream::openWithoutFollowing(const QString &path, qint64 maxBytes)
{
    return openWithFlags(path, maxBytes, O_NOFOLLOW);
}

Result<FileStream> FileStream::openWithFlags(const QString &path, qint64 maxBytes, int extraFlags)
{
    const Result<OpenedFile> opened = openRegularFile(path, maxBytes, extraFlags, nullptr);
    if (!opened)
        return opened.error();
    return FileStream(opened->descriptor, opened->size, maxBytes);
}

FileStream::FileStream(int descriptor, qint64 openedSize, qint64 maxBytes)
    : m_descriptor(descriptor), m_openedSize(openedSize), m_maxBytes(maxBytes)
{
}

FileStream::FileStream(FileStream &&other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1)), m_openedSize(other.m_openedSize),
      m_maxBytes(other.m_maxBytes), m_read(other.m_read)
{
}

FileStream::~FileStream()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

qsizetype FileStream::read(char *out, qsizetype wanted)
{
    ssize_t got = -1;
    do {
        got = ::read(m_descriptor, out, size_t(wanted));
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return -1;
    m_read += got;
    return m_read > m_maxBytes ? -1 : qsizetype(got);
}

Result<QByteArray> readWholeFileWithoutFollowing(const QString &path, qint64 maxBytes, struct stat *opened)
{
    const Result<OpenedFile> file = openRegularFile(path, maxBytes, O_NOFOLLOW, opened);
    if (!file)
        return file.error();
    const DescriptorGuard guard(file->descriptor);
    return readAtMost(*file, path, maxBytes);
}

Result<QByteArray> readFileHeadWithoutFollowing(const QString &path, qint64 maxBytes)
{
    const Result<OpenedFile> file = openRegularFile(path, std::numeric_limits<qint64>::max(), O_NOFOLLOW, nullptr);
    if (!file)
        return file.error();
    const DescriptorGuard guard(file->descriptor);
    QByteArray head(qsizetype(std::min(file->size, maxBytes)), Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < head.size()) {
        const ssize_t got = ::read(file->descriptor, head.data() + filled, size_t(head.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot read: %2").arg(path, systemMessage(errno)));
        if (got == 0)
            break; // shortened since it was opened
        filled += qsizetype(got);
    }
    head.truncate(filled);
    return head;
}

// A file that replaces another, or is flushed before it is named, goes through a named temporary file.
Status writeFileAtomicallyFrom(const QString &path, const FileContentWriter &content, FilePermissions permissions,
                               FileFlush flush, struct stat *placed)
{
    const QByteArray target = QFile::encodeName(path);
    const std::optional<mode_t> replacedMode = modeOfReplacedFile(target);
    if (flush != FileFlush::Always && !replacedMode) {
        if (std::optional<Status> linked = linkNewFile(path, target, content, placed))
            return *std::move(linked);
    }
    const mode_t mode = permissions == FilePermissions::KeepExisting ? replacedMode.value_or(0600) : 0600;
    const bool mustFlush = flush == FileFlush::Always || (flush == FileFlush::WhenReplacing && replacedMode);
    return writeThroughTemporaryFile(path, target, content, mode, mustFlush, placed);
}

Status writeFileAtomically(const QString &path, const QByteArray &bytes, FilePermissions permissions, FileFlush flush,
                           struct stat *placed)
{
    return writeFileAtomicallyFrom(path, wholeContent(bytes), permissions, flush, placed);
}

// A new name is made without looking at it first: the link fails rather than replace a file there,
// and the file is then written the way that replaces it.
Status writeNewFileAtomically(const QString &path, const QByteArray &bytes, FilePermissions permissions,
                              FileFlush flush, struct stat *placed)
{
    const FileContentWriter whole = wholeContent(bytes);
    if (flush != FileFlush::Always) {
        if (std::optional<Status> linked = linkNewFile(path, QFile::encodeName(path), whole, placed))
            return *std::move(linked);
    }
    return writeFileAtomicallyFrom(path, whole, permissions, flush, placed);
}

// Folders on one file system share its sync: each file system is synced once, through the first of
// its folders. A folder removed meanwhile holds nothing left to sync.
Status syncFileSystemsOf(const QStringList &folderPaths)
{
    QSet<dev_t> synced;
    for (const QString &path : folderPaths) {
        const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 && errno == ENOENT)
            continue;
        if (folder < 0)
            return Error(ErrorCode::IoWriteFailed,
                         QStringLiteral("%1: cannot open the folder: %2").arg(path, systemMessage(errno)));
        const DescriptorGuard guard(folder);
        struct stat status = {};
        if (::fstat(folder, &status) != 0)
            return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: %2").arg(path, systemMessage(errno)));
        if (synced.contains(status.st_dev))
            continue;
        if (::syncfs(folder) != 0)
            return Error(ErrorCode::IoWriteFailed,
                         QStringLiteral("%1: cannot sync to disk: %2").arg(path, systemMessage(errno)));
        synced.insert(status.st_dev);
    }
    return success();
}

bool isTemporaryFileName(const QString &fileName)
{
    // "." + at least one character of the target's name + ".XXXXXX" + ".hmtmp"
    const qsizetype minimumLength = 2 + 1 + kRandomPartLength + kTemporarySuffix.size();
    if (fileName.size() < minimumLength || !fileName.startsWith(QLatin1Char('.')) ||
        !fileName.endsWith(kTemporarySuffix))
        return false;
    const qsizetype randomStart = fileName.size() - kTemporarySuffix.size() - kRandomPartLength;
    if (fileName.at(randomStart - 1) != QLatin1Char('.'))
        return false;
    for (qsizetype index = randomStart; index < randomStart + kRandomPartLength; ++index) {
        const QChar character = fileName.at(index);
        if (character.unicode() > 127 || !character.isLetterOrNumber())
            return false;
    }
    return true;
}

int removeStaleTemporaryFiles(const QString &folderPath, std::chrono::seconds minimumAge)
{
    const QStringList names =
        QDir(folderPath).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    int removed = 0;
    for (const QString &name : names) {
        if (!isTemporaryFileName(name))
            continue;
        const QByteArray nativePath = QFile::encodeName(folderPath + QLatin1Char('/') + name);
        if (isStale(nativePath, minimumAge) && ::unlink(nativePath.constData()) == 0)
            ++removed;
    }
    return removed;
}

} // namespace platform
