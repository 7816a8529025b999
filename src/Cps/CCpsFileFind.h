#pragma once

#include "Cps/CCpsString.h"

#include <glob.h>

// Lists the paths that match a wildcard pattern in a folder, in the C library's sorted order. Step
// through them with FindNextFile. One thread at a time per object.
class CCpsFileFind
{
public:
    CCpsFileFind() = default;
    CCpsFileFind(const CCpsFileFind &) = delete;
    CCpsFileFind &operator=(const CCpsFileFind &) = delete;
    virtual ~CCpsFileFind();

    // Searches folder/pattern (the pattern alone for a null or empty folder); true when something
    // matched. The first FindNextFile then moves to the first match.
    bool FindFile(const char *folder, const char *pattern);
    // Moves to the next match; false when there is none.
    bool FindNextFile();
    // The current match's base name and full path; "" before the first step or without matches.
    CCpsString GetFileName() const;
    CCpsString GetFilePath() const;

private:
    void freeResults();

    int m_index = -1;
    glob_t m_results{};
    bool m_hasResults = false;
};
