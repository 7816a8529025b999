// WriteFile against failures and kills: the old file must survive every failed write, and a writer
// killed at any moment must leave one whole version of the file.
#include "Cps/CCpsFile.h"

#include "CpsTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using cpstest::readBytes;
using cpstest::TemporaryFolder;
using cpstest::writeBytes;

// Runs WriteFile in a child whose files may not grow past limitBytes; answers what it answered,
// or -1 when the child did not end normally.
int writeFileUnderSizeLimit(const std::string &path, const std::string &text, rlim_t limitBytes)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{limitBytes, limitBytes};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(2);
        ::_exit(CCpsFile::WriteFile(path.c_str(), CCpsString(text.c_str())) ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(CCpsFileWrite, AFailedWriteKeepsTheOldFile)
{
    TemporaryFolder folder;
    const std::string path = folder.file("profile.txt");
    const std::string original = "the old content\n";
    const std::string replacement(100000, 'n');
    const rlim_t limits[] = {0, 1, 4096, 65536, replacement.size() - 1};
    for (const rlim_t limit : limits) {
        SCOPED_TRACE(limit);
        writeBytes(path, original);
        EXPECT_EQ(writeFileUnderSizeLimit(path, replacement, limit), 0) << "WriteFile answered success";
        EXPECT_EQ(readBytes(path), original);
        EXPECT_EQ(cpstest::listFolder(folder.path()), "profile.txt") << "a temporary file was left behind";
    }
    EXPECT_EQ(writeFileUnderSizeLimit(path, replacement, replacement.size()), 1);
    EXPECT_EQ(readBytes(path), replacement);
}

// Reads one byte from the pipe, waiting at most until the deadline.
bool readProgress(int descriptor, std::chrono::steady_clock::time_point deadline)
{
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{descriptor, POLLIN, 0};
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int ready = ::poll(&entry, 1, static_cast<int>(remaining.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        char byte = 0;
        return ready == 1 && ::read(descriptor, &byte, 1) == 1;
    }
    return false;
}

// A child rewrites the file with two alternating versions and reports each finished write; it is
// killed after a growing number of writes, somewhere inside the next one.
TEST(CCpsFileWrite, AKilledWriterLeavesOneWholeVersion)
{
    TemporaryFolder folder;
    const std::string path = folder.file("records.txt");
    const std::string versions[2] = {std::string(300000, 'a') + "\n", std::string(200000, 'b') + "\n"};
    writeBytes(path, versions[1]);
    for (int writesBeforeKill = 1; writesBeforeKill <= 12; ++writesBeforeKill) {
        SCOPED_TRACE(writesBeforeKill);
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(progress[0]);
            for (unsigned round = 0;; ++round) {
                if (!CCpsFile::WriteFile(path.c_str(), CCpsString(versions[round % 2].c_str())))
                    ::_exit(3);
                if (::write(progress[1], "w", 1) != 1)
                    ::_exit(4);
            }
        }
        ::close(progress[1]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool progressed = true;
        for (int write = 0; write < writesBeforeKill && progressed; ++write)
            progressed = readProgress(progress[0], deadline);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(progress[0]);
        ASSERT_TRUE(progressed) << "the writer reported no finished write in time";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own with status " << status;
        const std::string content = readBytes(path);
        EXPECT_TRUE(content == versions[0] || content == versions[1])
            << "the file holds " << content.size() << " bytes starting with '" << content.substr(0, 1) << "'";
    }
}

} // namespace
