#include "app/zip/ZZFileChannelOutput.h"

#include "app/zip/ZZError.h"
#include "platform/foundation/FileIO.h"

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
    // The bytes are borrowed for the write, not copied.
    const QByteArray bytes = QByteArray::fromRawData(data.data(), data.size());
    if (platform::writeToDescriptor(m_fileDescriptor, bytes) != bytes.size())
        return failWith(error, PlatformError::fromErrno(errno));
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
