#include "outlook/HMAppendedLinesFile.h"

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
    m_file.reset();
}

// An open file no longer linked anywhere was removed or replaced: lines written there would be lost.
bool HMAppendedLinesFile::isStale() const
{
    const platform::Result<struct stat> status = m_file->status();
    return !status || status->st_nlink == 0;
}

bool HMAppendedLinesFile::append(const QByteArray &lines)
{
    if (lines.isEmpty())
        return true;
    if (m_file && isStale())
        close();
    if (!m_file) {
        platform::Result<std::unique_ptr<platform::FileHandle>> opened =
            platform::FileHandle::openForAppending(m_path, platform::FileHandle::WhenMissing::CreateOwnerOnly);
        if (!opened)
            return false;
        m_file = std::move(*opened);
    }
    if (m_file->write(lines))
        return true;
    close();
    return false;
}
