#include "Cps/CCpsFileFind.h"

#include "Cps/CCpsFile.h"

#include <cstring>

CCpsFileFind::~CCpsFileFind()
{
    freeResults();
}

void CCpsFileFind::freeResults()
{
    if (m_hasResults)
        globfree(&m_results);
    m_results = glob_t{};
    m_hasResults = false;
}

bool CCpsFileFind::FindFile(const char *folder, const char *pattern)
{
    CCpsString search("");
    if (folder && *folder) {
        search = folder;
        if (search.GetAt(static_cast<int>(search.GetLength()) - 1) != '/')
            search += '/';
    }
    search += pattern;
    m_index = -1;
    freeResults();
    const int status = glob(search.GetString(), 0, nullptr, &m_results);
    m_hasResults = true;
    if (status != 0 || m_results.gl_pathc == 0) {
        freeResults();
        return false;
    }
    return true;
}

bool CCpsFileFind::FindNextFile()
{
    if (!m_hasResults || m_index + 1 >= static_cast<std::int64_t>(m_results.gl_pathc))
        return false;
    ++m_index;
    return true;
}

CCpsString CCpsFileFind::GetFilePath() const
{
    if (!m_hasResults || m_index < 0 || static_cast<std::size_t>(m_index) >= m_results.gl_pathc)
        return CCpsString("");
    return CCpsString(m_results.gl_pathv[m_index]);
}

CCpsString CCpsFileFind::GetFileName() const
{
    return CCpsFile::GetFileName(GetFilePath());
}
