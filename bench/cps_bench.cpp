// Measures the portable library's heavier operations and prints the median of several rounds:
// - Blowfish: the key schedule, and encryption of a 4 MiB buffer in place;
// - WriteFile of 1 MiB (temporary file, fsync, rename) and ReadFile of 4 MiB, in a temporary folder;
// - adding a million pointers to a pointer array.
#include "Cps/CCpsFile.h"
#include "Cps/CCpsPtrArray.h"
#include "Cps/HmxBlowfish.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRounds = 9;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds of one call of the work, median over the rounds after one warm-up.
double medianMilliseconds(const std::function<void()> &work)
{
    std::vector<double> figures;
    work();
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        figures.push_back(elapsed.count());
    }
    return median(figures);
}

void measureBlowfish()
{
    const double scheduleMs = medianMilliseconds([] {
        HmxBlowfish cipher;
        cipher.Initialize("a profile password of some length");
    });
    std::vector<unsigned char> buffer(4 << 20, 0x5A);
    HmxBlowfish cipher;
    cipher.Initialize("a profile password of some length");
    const double encryptMs = medianMilliseconds([&] { cipher.Encrypt(buffer.data(), std::int64_t(buffer.size())); });
    std::printf("blowfish key schedule: %.3f ms\n", scheduleMs);
    std::printf("blowfish encrypt 4 MiB: %.1f ms (%.1f MiB/s)\n", encryptMs, 4.0 / (encryptMs / 1000.0));
}

void measureFiles(const std::string &folder)
{
    const std::string path = folder + "/bench.txt";
    std::string line(99, 'x');
    line += '\n';
    std::string small;
    while (small.size() < (1u << 20))
        small += line;
    const CCpsString smallText(small.c_str());
    const double writeMs = medianMilliseconds([&] { CCpsFile::WriteFile(path.c_str(), smallText); });
    std::string large;
    while (large.size() < (4u << 20))
        large += line;
    CCpsFile::WriteFile(path.c_str(), CCpsString(large.c_str()));
    const double readMs = medianMilliseconds([&] { CCpsFile::ReadFile(path.c_str()); });
    std::printf("WriteFile 1 MiB: %.2f ms\n", writeMs);
    std::printf("ReadFile 4 MiB: %.2f ms\n", readMs);
    std::remove(path.c_str());
}

void measurePointerArray()
{
    static int target = 0;
    const double addMs = medianMilliseconds([] {
        CCpsPtrArray array;
        for (int index = 0; index < 1000000; ++index)
            array.Add(&target);
    });
    std::printf("pointer array, 1e6 adds: %.2f ms\n", addMs);
}

} // namespace

int main()
{
    measureBlowfish();
    char folder[] = "/tmp/cps-bench-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    measureFiles(folder);
    ::rmdir(folder);
    measurePointerArray();
    return 0;
}
