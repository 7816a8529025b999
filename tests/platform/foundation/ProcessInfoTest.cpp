#include "platform/foundation/ProcessInfo.h"

#include <cstring>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace platform;

TEST(ProcessInfo, DescribesTheSystemAndTheProcess)
{
    struct Row
    {
        const char *release;
        OperatingSystemVersion version;
    };
    const Row rows[] = {{"6.1.0-18-amd64", {6, 1, 0}},
                        {"5.15.133.1-microsoft-standard-WSL2", {5, 15, 133}},
                        {"6.8", {6, 8, 0}},
                        {"4", {4, 0, 0}},
                        {"custom", {0, 0, 0}},
                        {"", {0, 0, 0}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.release);
        EXPECT_EQ(ProcessInfo::versionFromKernelRelease(QString::fromLatin1(row.release)), row.version);
    }
    EXPECT_EQ(ProcessInfo::prettyNameFromOsRelease(
                  "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
              QStringLiteral("Debian GNU/Linux 12 (bookworm)"));
    EXPECT_EQ(ProcessInfo::prettyNameFromOsRelease("# comment\nNAME='Arch Linux'\nVERSION=rolling\n"),
              QStringLiteral("Arch Linux rolling"));
    EXPECT_EQ(ProcessInfo::prettyNameFromOsRelease("PRETTY_NAME=\"Say \\\"hi\\\"\"\n"), QStringLiteral("Say \"hi\""));
    EXPECT_EQ(ProcessInfo::prettyNameFromOsRelease("garbage\n="), QString());

    const OperatingSystemVersion running = ProcessInfo::kernelVersion();
    EXPECT_GE(running.majorVersion, 3) << "a Linux kernel of this century";
    EXPECT_TRUE(ProcessInfo::operatingSystemVersionString().contains(
        QStringLiteral("Linux %1.%2").arg(running.majorVersion).arg(running.minorVersion)))
        << ProcessInfo::operatingSystemVersionString().toStdString();

    EXPECT_EQ(ProcessInfo::processName(), QStringLiteral("Harrowmere"));
    EXPECT_EQ(ProcessInfo::processIdentifier(), qint64(getpid()));
    EXPECT_EQ(ProcessInfo::threadIdentifier(), ProcessInfo::processIdentifier())
        << "the test body runs on the main thread";
    qint64 otherThread = 0;
    std::thread([&otherThread] { otherThread = ProcessInfo::threadIdentifier(); }).join();
    EXPECT_NE(otherThread, ProcessInfo::processIdentifier());
    EXPECT_GE(ProcessInfo::processorCount(), ProcessInfo::activeProcessorCount());
    EXPECT_GE(ProcessInfo::activeProcessorCount(), 1);
}

namespace {

char *volatile s_touchedBlock = nullptr;

// Allocates a block, writes each of its pages and frees it again.
void touchHeapBlock(size_t bytes)
{
    s_touchedBlock = new char[bytes];
    std::memset(s_touchedBlock, 1, bytes);
    delete[] s_touchedBlock;
    s_touchedBlock = nullptr;
}

long minorFaultsOfThisThread()
{
    struct rusage usage = {};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

} // namespace

// A block that grew the heap leaves its pages at the top when freed, for the next one: handed back to
// the system at once, they would each fault in again as soon as the next block of its size is written.
TEST(ProcessInfo, KeepsTheFreedHeapTopForTheNextBlock)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator takes no allocator settings";
#endif
    ProcessInfo::keepHeapCompact();
    // Below the size that gets a mapping of its own: the block comes from the heap.
    constexpr size_t kBlockBytes = 2 * 1024 * 1024;
    const long pages = long(kBlockBytes) / sysconf(_SC_PAGESIZE);
    touchHeapBlock(kBlockBytes);
    const long before = minorFaultsOfThisThread();
    touchHeapBlock(kBlockBytes);
    EXPECT_LT(minorFaultsOfThisThread() - before, pages / 8) << "of " << pages << " pages";
}
