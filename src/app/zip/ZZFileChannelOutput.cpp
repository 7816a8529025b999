#include "app/zip/ZZFileChannelOutput.h"

#include "app/zip/ZZError.h"

#include <cerrno>
#include <limits>
#include <unistd.h>

using platform::PlatformError;

ZZFileChannelOutput::~ZZFileChannelOutput()
{
    close();
}

quint32 ZZFileChannelOutput::offset() const
{
    const off_t position = ::lseek(m_fileDescriptor, 0, SEEK_CUR);
    // Writes never carry the file past 4 GiB, so the position always fits.
    return position < 0 ? 0 : static_cast<quint32>(position);
}

bool ZZFileChannelOutput::seekToOffset(quint32 offset, PlatformError *error)
{
    if (::lseek(m_fileDescriptor, static_cast<off_t>(offset), SEEK_SET) < 0)
        return failWith(error, PlatformError::fromErrno(errno));
    return true;
}

bool ZZFileChannelOutput::writeData(QByteArrayView data, PlatformError *error)
{
    if (static_cast<qint64>(offset()) + data.size() > std::numeric_limits<quint32>::max())
        return failWith(error, PlatformError::fromErrno(EFBIG, QStringLiteral("a zip archive ends at 4 GiB")));
    constexpr qsizetype kLargestWrite = 0x7fffffff;
    qsizetype written = 0;
    while (written < data.size()) {
        const qsizetype piece = std::min(kLargestWrite, data.size() - written);
        const ssize_t result = ::write(m_fileDescriptor, data.data() + written, static_cast<size_t>(piece));
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return failWith(error, PlatformError::fromErrno(result < 0 ? errno : EIO));
        written += result;
    }
    return true;
}

bool ZZFileChannelOutput::truncateAtOffset(quint32 offset, PlatformError *error)
{
    if (::ftruncate(m_fileDescriptor, static_cast<off_t>(offset)) != 0)
        return failWith(error, PlatformError::fromErrno(errno));
    return true;
}

void ZZFileChannelOutput::close()
{
    if (m_fileDescriptor < 0)
        return;
    // The archive goes in place by rename or by patching: either way its bytes must be on disk first.
    ::fsync(m_fileDescriptor);
    ::close(m_fileDescriptor);
    m_fileDescriptor = -1;
}
