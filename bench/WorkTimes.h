#pragma once

// The wall and processor time a piece of work takes in this process, for benches that time two sides
// of a comparison one after the other in the same process.

#include <chrono>
#include <functional>

#include <sys/resource.h>
#include <sys/time.h>

namespace benchtimes {

struct Figures
{
    double seconds = 0;
    double cpuSeconds = 0;
};

// User and system time of the whole process so far.
inline double cpuSecondsNow()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

inline Figures measure(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSecondsNow();
    work();
    return Figures{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                   cpuSecondsNow() - cpuStart};
}

} // namespace benchtimes
