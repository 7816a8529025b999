#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace cpstest {

// The zones every date test runs in: fixed UTC, and central European rules with daylight saving
// (from 02:00 on the last Sunday of March to 03:00 on the last Sunday of October). POSIX rule texts
// need no time zone database.
inline constexpr const char *kFixedZone = "UTC0";
inline constexpr const char *kDaylightSavingZone = "CET-1CEST,M3.5.0,M10.5.0/3";

// Sets TZ for the scope and restores the previous value afterwards.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const std::string &zone)
    {
        const char *previous = std::getenv("TZ");
        m_hadPrevious = previous != nullptr;
        m_previous = previous ? previous : "";
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone &) = delete;
    ScopedTimeZone &operator=(const ScopedTimeZone &) = delete;
    ~ScopedTimeZone()
    {
        if (m_hadPrevious)
            setenv("TZ", m_previous.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadPrevious = false;
    std::string m_previous;
};

// A fresh folder under the temporary folder, removed with its contents at the end of the scope.
class TemporaryFolder
{
public:
    TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;
    ~TemporaryFolder();

    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Whole-file helpers written with plain POSIX calls, independent of the classes under test.
std::string readBytes(const std::string &path);
void writeBytes(const std::string &path, const std::string &bytes);
// The names in the folder, sorted, without "." and "..".
std::string listFolder(const std::string &path);

} // namespace cpstest
