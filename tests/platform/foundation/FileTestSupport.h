#pragma once

#include <QFile>
#include <QString>

#include <sys/stat.h>

// The permission bits of whatever is at the path, a link itself rather than what it points at; 0 when
// nothing is there.
inline mode_t modeOf(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

// Sets the process's umask for one scope.
class ScopedUmask final
{
public:
    explicit ScopedUmask(mode_t mask) : m_previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_previous); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t m_previous;
};

// Makes a FIFO at the path: a file that blocks whoever opens it for reading until a writer comes.
inline bool makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}
