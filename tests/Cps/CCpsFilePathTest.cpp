#include "Cps/CCpsFile.h"
#include "Cps/CCpsFileFind.h"

#include "CpsTestSupport.h"

#include <string>
#include <sys/stat.h>

namespace {

using cpstest::readBytes;
using cpstest::TemporaryFolder;
using cpstest::writeBytes;

std::string text(const CCpsString &string)
{
    return string.GetString();
}

TEST(CCpsFilePath, SplitsPathsIntoPieces)
{
    struct Row
    {
        const char *name;
        CCpsString result;
        const char *expected;
    };
    const Row rows[] = {
        {"extension replaced", CCpsFile::ChangeExtension("a/b.txt", "csv"), "a/b.csv"},
        {"extension added", CCpsFile::ChangeExtension("notes", "txt"), "notes.txt"},
        {"leading dot kept", CCpsFile::ChangeExtension(".profile", "bak"), ".profile.bak"},
        {"dot in a folder name only", CCpsFile::ChangeExtension("a.d/notes", "txt"), "a.d/notes.txt"},
        {"leading dot after a folder", CCpsFile::ChangeExtension("home/.profile", "bak"), "home/.profile.bak"},
        {"title without the last extension", CCpsFile::GetFileTitle("/x/y/report.final.txt"), "report.final"},
        {"title without an extension", CCpsFile::GetFileTitle("/x/y/README"), "README"},
        {"file name", CCpsFile::GetFileName("/x/y/report.txt"), "report.txt"},
        {"file name without folder", CCpsFile::GetFileName("report.txt"), "report.txt"},
        {"folder", CCpsFile::GetFolder("/x/y/report.txt"), "/x/y"},
        {"folder of a bare name", CCpsFile::GetFolder("file"), ""},
        {"current folder", CCpsFile::GetCurrentFolder(), "./"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(text(row.result), row.expected);
    }
}

TEST(CCpsFilePath, SumsBytesModulo32768)
{
    TemporaryFolder folder;
    struct Row
    {
        const char *name;
        std::string content;
        int expected;
    };
    const Row rows[] = {{"two high bytes", "\xFF\xFF", 510},
                        {"empty", "", 0},
                        {"text", "abc", 97 + 98 + 99},
                        {"wraps around", std::string(129, '\xFF'), 129 * 255 % 32768},
                        {"several blocks", std::string(2000, '\x01'), 2000}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = folder.file("sum.bin");
        writeBytes(path, row.content);
        EXPECT_EQ(CCpsFile::Checksum(path.c_str()), row.expected);
    }
    EXPECT_EQ(CCpsFile::Checksum(folder.file("missing").c_str()), 0);
}

TEST(CCpsFilePath, CreatesFoldersWithTheirParents)
{
    TemporaryFolder folder;
    CCpsString path((folder.path() + "/a/b/").c_str());
    EXPECT_TRUE(CCpsFile::CreateFolder(path));
    EXPECT_EQ(text(path), folder.path() + "/a/b");
    struct stat status
    {
    };
    ASSERT_EQ(::stat((folder.path() + "/a").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((folder.path() + "/a/b").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    writeBytes(folder.path() + "/a/b/has.dot", "x");
    CCpsString again((folder.path() + "/a/b\\").c_str());
    EXPECT_TRUE(CCpsFile::CreateFolder(again));
    CCpsString trivial[] = {CCpsString(""), CCpsString("//"), CCpsString("Volume:")};
    for (CCpsString &path : trivial)
        EXPECT_TRUE(CCpsFile::CreateFolder(path)) << path.GetString();
}

TEST(CCpsFilePath, ReportsAFolderItCouldNotCreate)
{
    TemporaryFolder folder;
    writeBytes(folder.file("plain"), "not a folder");
    CCpsString underAFile((folder.path() + "/plain/sub").c_str());
    EXPECT_FALSE(CCpsFile::CreateFolder(underAFile));
    CCpsString overAFile(folder.file("plain").c_str());
    EXPECT_FALSE(CCpsFile::CreateFolder(overAFile));
    EXPECT_EQ(readBytes(folder.file("plain")), "not a folder");
}

TEST(CCpsFilePath, DeletesRenamesAndChangesPermissionsWithEitherSeparator)
{
    TemporaryFolder folder;
    writeBytes(folder.file("one.txt"), "1");
    CCpsString oldPath((folder.path() + "\\one.txt").c_str());
    CCpsString newPath((folder.path() + "\\two.txt").c_str());
    EXPECT_TRUE(CCpsFile::Rename(oldPath, newPath));
    EXPECT_EQ(text(newPath), folder.file("two.txt"));
    EXPECT_FALSE(CCpsFile::FileExists(folder.file("one.txt").c_str()));
    EXPECT_TRUE(CCpsFile::FileExists(folder.file("two.txt").c_str()));
    EXPECT_TRUE(CCpsFile::SetPermissions(newPath, 0640));
    struct stat status
    {
    };
    ASSERT_EQ(::stat(folder.file("two.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_TRUE(CCpsFile::DeleteFile(newPath));
    EXPECT_FALSE(CCpsFile::DeleteFile(newPath));
    EXPECT_FALSE(CCpsFile::FileExists(folder.file("two.txt").c_str()));
    EXPECT_FALSE(CCpsFile::FileExists(nullptr));
}

TEST(CCpsFilePath, NotesAUnicodeMark)
{
    CCpsFile file;
    EXPECT_EQ(file.CheckUnicodeMark("plain"), 5);
    EXPECT_FALSE(file.IsUnicodeText());
    EXPECT_EQ(file.CheckUnicodeMark("\xFF\xFEt"), 3);
    EXPECT_TRUE(file.IsUnicodeText());
}

TEST(CCpsFileFind, StepsThroughTheMatches)
{
    TemporaryFolder folder;
    for (const char *name : {"b.txt", "a.txt", "c.csv"})
        writeBytes(folder.file(name), name);
    CCpsFileFind find;
    EXPECT_EQ(text(find.GetFileName()), "");
    ASSERT_TRUE(find.FindFile(folder.path().c_str(), "*.txt"));
    EXPECT_EQ(text(find.GetFilePath()), "");
    std::string seen;
    while (find.FindNextFile())
        seen += text(find.GetFileName()) + "=" + text(find.GetFilePath()) + ";";
    EXPECT_EQ(seen, "a.txt=" + folder.file("a.txt") + ";b.txt=" + folder.file("b.txt") + ";");
    EXPECT_FALSE(find.FindNextFile());

    ASSERT_TRUE(find.FindFile((folder.path() + "/").c_str(), "*.csv"));
    ASSERT_TRUE(find.FindNextFile());
    EXPECT_EQ(text(find.GetFilePath()), folder.file("c.csv"));
    ASSERT_TRUE(find.FindFile(nullptr, folder.file("c.*").c_str()));
    ASSERT_TRUE(find.FindNextFile());
    EXPECT_EQ(text(find.GetFileName()), "c.csv");

    EXPECT_FALSE(find.FindFile(nullptr, "/nonexistent/*"));
    EXPECT_FALSE(find.FindNextFile());
    EXPECT_EQ(text(find.GetFilePath()), "");
    EXPECT_FALSE(find.FindFile(folder.path().c_str(), "*.none"));
}

} // namespace
