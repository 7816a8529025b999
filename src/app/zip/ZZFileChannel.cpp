#include "app/zip/ZZFileChannel.h"

#include "app/zip/ZZError.h"
#include "app/zip/ZZFileChannelOutput.h"

#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::PlatformError;

namespace {

// A missing file reads as the platform's "no such file" error, which an archive opened with creation
// allowed takes as an empty archive.
PlatformError readError(int errorNumber)
{
    const PlatformError posixError = PlatformError::fromErrno(errorNumber);
    if (errorNumber != ENOENT)
        return posixError;
    return PlatformError(QString::fromLatin1(platform::NSCocoaErrorDomain), kFileReadNoSuchFileError,
                         {{QString::fromLatin1(platform::NSUnderlyingErrorKey), QVariant::fromValue(posixError)}});
}

// Reads the whole of an open regular file, refusing anything larger than an archive can be.
std::optional<QByteArray> readDescriptor(int descriptor, PlatformError *error)
{
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0)
        return failWith(error, readError(errno)), std::nullopt;
    if (!S_ISREG(status.st_mode))
        return failWith(error, readError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL)), std::nullopt;
    if (status.st_size > ZZFileChannel::kMaximumArchiveBytes)
        return failWith(error, readError(EFBIG)), std::nullopt;
    QByteArray bytes(static_cast<qsizetype>(status.st_size), Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t result = ::read(descriptor, bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return failWith(error, readError(errno)), std::nullopt;
        if (result == 0)
            break; // The file shrank while we read it: what is there is the archive.
        filled += result;
    }
    bytes.truncate(filled);
    return bytes;
}

} // namespace

std::unique_ptr<ZZChannel> ZZFileChannel::temporaryChannel(PlatformError *error)
{
    const QFileInfo archive(path());
    QByteArray pattern = (archive.absolutePath() + QStringLiteral("/.") + archive.fileName()).toLocal8Bit() + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        failWith(error, PlatformError::fromErrno(errno));
        return nullptr;
    }
    const QString folder = QString::fromLocal8Bit(pattern);
    return std::make_unique<ZZFileChannel>(QUrl::fromLocalFile(folder + u'/' + archive.fileName()));
}

bool ZZFileChannel::replaceWithChannel(ZZChannel &channel, PlatformError *error)
{
    const QByteArray from = channel.URL().toLocalFile().toLocal8Bit();
    const QByteArray to = path().toLocal8Bit();
    // rename() replaces a link at the archive's name rather than writing through it.
    if (::rename(from.constData(), to.constData()) != 0)
        return failWith(error, PlatformError::fromErrno(errno));
    const int folder = ::open(QFileInfo(path()).absolutePath().toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

void ZZFileChannel::removeAsTemporary()
{
    ::unlink(path().toLocal8Bit().constData());
    ::rmdir(QFileInfo(path()).absolutePath().toLocal8Bit().constData());
}

std::optional<QByteArray> ZZFileChannel::newInput(PlatformError *error)
{
    // Non-blocking, so that a pipe at the archive's name fails the regular-file test instead of waiting.
    const int descriptor = ::open(path().toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        failWith(error, readError(errno));
        return std::nullopt;
    }
    std::optional<QByteArray> bytes = readDescriptor(descriptor, error);
    ::close(descriptor);
    return bytes;
}

std::unique_ptr<ZZChannelOutput> ZZFileChannel::newOutput(PlatformError *error)
{
    // Archives hold the user's data: only the user may read them.
    const int descriptor = ::open(path().toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        failWith(error, PlatformError::fromErrno(errno));
        return nullptr;
    }
    return std::make_unique<ZZFileChannelOutput>(descriptor);
}
