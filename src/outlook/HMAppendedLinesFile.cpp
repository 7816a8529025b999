#include "outlook/HMAppendedLinesFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

HMAppendedLinesFile::~HMAppendedLinesFile()
{
    close();
}

HMAppendedLinesFile &HMAppendedLinesFile::operator=(const HMAppendedLinesFile &other)
{
    if (this != &other) {
        close();
        m_path = other.m_path;
    }
    return *this;
}

void HMAppendedLinesFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

// An open file no longer linked anywhere was removed or replaced: lines written there would be lost.
bool HMAppendedLinesFile::isStale() const
{
    struct stat info {};
    return ::fstat(m_fd, &info) != 0 || info.st_nlink == 0;
}

bool HMAppendedLinesFile::append(const QByteArray &lines)
{
    if (lines.isEmpty())
        return true;
    if (m_fd >= 0 && isStale())
        close();
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (m_fd < 0)
        return false;
    if (::write(m_fd, lines.constData(), size_t(lines.size())) == lines.size())
        return true;
    close();
    return false;
}
