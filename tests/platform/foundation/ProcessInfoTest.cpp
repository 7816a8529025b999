#include "platform/foundation/ProcessInfo.h"

#include <thread>

#include <sys/utsname.h>
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

    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    const OperatingSystemVersion running = ProcessInfo::versionFromKernelRelease(QString::fromLocal8Bit(names.release));
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

TEST(ProcessInfo, DecidesByThePlatformVersionWhichTheEnvironmentMayOverride)
{
    const QByteArray saved = qgetenv(ProcessInfo::kPlatformVersionVariable);
    const bool wasSet = qEnvironmentVariableIsSet(ProcessInfo::kPlatformVersionVariable);
    struct Row
    {
        const char *name;
        const char *value; // nullptr: unset
        OperatingSystemVersion version;
    };
    const Row rows[] = {{"unset: the platform constant", nullptr, ProcessInfo::kPlatformVersion},
                        {"an older system", "10.7", {10, 7, 0}},
                        {"three parts", "10.8.4", {10, 8, 4}},
                        {"a later major version", "11.2", {11, 2, 0}},
                        {"empty: ignored", "", ProcessInfo::kPlatformVersion},
                        {"a word: ignored", "mountain", ProcessInfo::kPlatformVersion},
                        {"zero: ignored", "0.9", ProcessInfo::kPlatformVersion}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.value)
            qputenv(ProcessInfo::kPlatformVersionVariable, row.value);
        else
            qunsetenv(ProcessInfo::kPlatformVersionVariable);
        EXPECT_EQ(ProcessInfo::operatingSystemVersion(), row.version);
    }
    if (wasSet)
        qputenv(ProcessInfo::kPlatformVersionVariable, saved);
    else
        qunsetenv(ProcessInfo::kPlatformVersionVariable);
    // The constant takes the newer roads: 10.8 or later, the minor part 8 or more.
    EXPECT_EQ(ProcessInfo::kPlatformVersion.majorVersion, 10);
    EXPECT_GE(ProcessInfo::kPlatformVersion.minorVersion, 8);
}
