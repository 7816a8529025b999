#include "platform/foundation/ProcessInfo.h"

#include <thread>

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
