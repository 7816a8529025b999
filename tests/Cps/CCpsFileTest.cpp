#include "Cps/CCpsFile.h"
#include "Cps/CCpsFileFind.h"

#include "CpsTestSupport.h"

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using cpstest::listFolder;
using cpstest::readBytes;
using cpstest::TemporaryFolder;
using cpstest::writeBytes;

mode_t permissionsOf(const std::string &path)
{
    struct stat status
    {
    };
    if (::lstat(path.c_str(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

TEST(CCpsFile, AnswersItsResultCodes)
{
    TemporaryFolder folder;
    const std::string path = folder.file("codes.txt");
    writeBytes(path, "abc");
    CCpsFile file;
    char buffer[8];
    EXPECT_EQ(file.Open("", O_RDONLY), CCpsFile::kBadPath);
    EXPECT_EQ(file.Open(nullptr, O_RDONLY), CCpsFile::kBadPath);
    EXPECT_EQ(file.Read(buffer, 1), CCpsFile::kNotOpen);
    EXPECT_EQ(file.ReadLine(buffer, 4), CCpsFile::kNotOpen);
    EXPECT_EQ(file.Write("x", 1), CCpsFile::kNotOpen);
    EXPECT_EQ(file.GetPosition(), CCpsFile::kNotOpen);
    EXPECT_EQ(file.Seek(0, CCpsFile::Origin::End), CCpsFile::kNotOpen);
    EXPECT_EQ(file.Lock(), CCpsFile::kNotOpen);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.Open(folder.file("missing").c_str(), O_RDONLY), -1);
    ASSERT_EQ(file.Open(path.c_str(), O_RDONLY), 0);
    EXPECT_EQ(std::string(file.GetFilePath().GetString()), path);
    EXPECT_EQ(file.Open(path.c_str(), O_RDONLY), CCpsFile::kAlreadyOpen);
    EXPECT_EQ(file.Lock(), CCpsFile::kLockRefused);
    EXPECT_EQ(file.Seek(1, CCpsFile::Origin::Start), 1);
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 2);
    EXPECT_EQ(file.GetPosition(), 3);
    EXPECT_EQ(file.Seek(-1, CCpsFile::Origin::End), 2);
    EXPECT_EQ(file.Close(), 0);
}

TEST(CCpsFile, WritesThroughADescriptorUnderAnExclusiveLock)
{
    TemporaryFolder folder;
    const std::string path = folder.file("locked.txt");
    CCpsFile writer;
    ASSERT_EQ(writer.Open(path.c_str(), O_WRONLY | O_CREAT, 0600), 0);
    EXPECT_EQ(writer.Write("hello", 5), 5);
    EXPECT_EQ(writer.Flush(), 0);
    CCpsFile other;
    ASSERT_EQ(other.Open(path.c_str(), O_RDONLY), 0);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    EXPECT_NE(::flock(descriptor, LOCK_EX | LOCK_NB), 0) << "the write-only open holds no lock";
    writer.Close();
    EXPECT_EQ(::flock(descriptor, LOCK_EX | LOCK_NB), 0);
    ::close(descriptor);
    EXPECT_EQ(readBytes(path), "hello");
    EXPECT_EQ(permissionsOf(path), 0600u);
}

TEST(CCpsFile, NeverWritesThroughASymbolicLink)
{
    TemporaryFolder folder;
    const std::string target = folder.file("target.txt");
    const std::string link = folder.file("link.txt");
    writeBytes(target, "keep");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    CCpsFile file;
    EXPECT_EQ(file.Open(link.c_str(), O_WRONLY), -1);
    EXPECT_EQ(readBytes(target), "keep");
    ASSERT_TRUE(CCpsFile::WriteFile(link.c_str(), CCpsString("new")));
    EXPECT_EQ(readBytes(target), "keep");
    EXPECT_EQ(readBytes(link), "new");
    EXPECT_EQ(permissionsOf(link) & S_IFMT, 0u);
}

TEST(CCpsFile, ReadsLinesOfABoundedLength)
{
    TemporaryFolder folder;
    const std::string path = folder.file("lines.txt");
    writeBytes(path, "abcdef\n\nlast");
    CCpsFile file;
    ASSERT_EQ(file.Open(path.c_str(), O_RDONLY), 0);
    char buffer[8];
    struct Step
    {
        int maximum;
        int answer;
        const char *text;
    };
    const Step steps[] = {{4, 4, "abcd"}, {4, 2, "ef"}, {4, 0, ""}, {0, 0, ""}, {4, 4, "last"}, {4, 0, ""}};
    for (const Step &step : steps) {
        EXPECT_EQ(file.ReadLine(buffer, step.maximum), step.answer);
        EXPECT_STREQ(buffer, step.text);
    }
}

// A blank line is not the end of the file, and every line keeps the line feed it ended with,
// whatever its length.
TEST(CCpsFile, ReadFileAnswersTheWholeText)
{
    TemporaryFolder folder;
    const std::string path = folder.file("whole.txt");
    struct Row
    {
        const char *name;
        std::string content;
    };
    const Row rows[] = {
        {"a blank line in the middle", "one\ntwo\n\nthree\n"},
        {"no final line feed", "one\ntwo"},
        {"only line feeds", "\n\n\n"},
        {"a line of 509 bytes", std::string(509, 'x') + "\nnext\n"},
        {"a line of 510 bytes", std::string(510, 'x') + "\nnext\n"},
        {"a line of 511 bytes", std::string(511, 'x') + "\nnext\n"},
        {"a line of 2000 bytes", std::string(2000, 'y') + "\n"},
        {"more than one read block", std::string(40000, 'z') + "\nend"},
        {"empty", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        writeBytes(path, row.content);
        EXPECT_EQ(std::string(CCpsFile::ReadFile(path.c_str()).GetString()), row.content);
    }
}

TEST(CCpsFile, ReadFileStopsAfterTheLineThatPassesTheMaximum)
{
    TemporaryFolder folder;
    const std::string path = folder.file("limited.txt");
    writeBytes(path, "aaaa\nbbbb\n\ncccc\n" + std::string(100000, 'd'));
    struct Row
    {
        std::int64_t maximum;
        const char *expected;
    };
    const Row rows[] = {
        {0, "aaaa\n"}, {4, "aaaa\n"}, {5, "aaaa\nbbbb\n"}, {10, "aaaa\nbbbb\n\n"}, {11, "aaaa\nbbbb\n\ncccc\n"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.maximum);
        EXPECT_EQ(std::string(CCpsFile::ReadFile(path.c_str(), row.maximum).GetString()), row.expected);
    }
    const CCpsString longer = CCpsFile::ReadFile(path.c_str(), 20);
    EXPECT_EQ(longer.GetLength(), 16u + 511u);
    EXPECT_EQ(CCpsFile::ReadFile(path.c_str()).GetLength(), 100016u);
}

TEST(CCpsFile, ReadsOnlyRegularFiles)
{
    TemporaryFolder folder;
    const std::string fifo = folder.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(std::string(CCpsFile::ReadFile(fifo.c_str()).GetString()), "");
    EXPECT_EQ(CCpsFile::Checksum(fifo.c_str()), 0);
    EXPECT_EQ(std::string(CCpsFile::ReadFile(folder.path().c_str()).GetString()), "");
    EXPECT_EQ(std::string(CCpsFile::ReadFile(folder.file("missing").c_str()).GetString()), "");
    EXPECT_EQ(std::string(CCpsFile::ReadFile(nullptr).GetString()), "");
    const std::string readOnly = folder.file("read-only.txt");
    writeBytes(readOnly, "visible\n");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0400), 0);
    EXPECT_EQ(std::string(CCpsFile::ReadFile(readOnly.c_str()).GetString()), "visible\n");
}

TEST(CCpsFile, WriteFileReplacesTheFileWhole)
{
    TemporaryFolder folder;
    const std::string path = folder.file("settings.txt");
    ASSERT_TRUE(CCpsFile::WriteFile(path.c_str(), CCpsString("first\n")));
    EXPECT_EQ(readBytes(path), "first\n");
    EXPECT_EQ(permissionsOf(path), 0600u);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(CCpsFile::WriteFile(path.c_str(), CCpsString("second, longer\n")));
    EXPECT_EQ(readBytes(path), "second, longer\n");
    EXPECT_EQ(permissionsOf(path), 0600u);
    ASSERT_TRUE(CCpsFile::WriteFile(path.c_str(), CCpsString("")));
    EXPECT_EQ(readBytes(path), "");
    EXPECT_EQ(listFolder(folder.path()), "settings.txt");
    EXPECT_FALSE(CCpsFile::WriteFile(folder.file("no-such-folder/file.txt").c_str(), CCpsString("x")));
    EXPECT_FALSE(CCpsFile::WriteFile("", CCpsString("x")));
}

} // namespace
