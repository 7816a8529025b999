#include "platform/foundation/FileSystem.h"

#include "platform/foundation/FileHandle.h"
#include "platform/foundation/FileIO.h"

#include "FileTestSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Sets an environment variable for one scope and puts the old value back afterwards.
class ScopedEnvironment final
{
public:
    ScopedEnvironment(const char *name, const QString &value) : m_name(name)
    {
        if (qEnvironmentVariableIsSet(name))
            m_previous = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value.toLocal8Bit());
    }
    ~ScopedEnvironment()
    {
        if (m_previous)
            qputenv(m_name, *m_previous);
        else
            qunsetenv(m_name);
    }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    const char *m_name;
    std::optional<QByteArray> m_previous;
};

} // namespace

TEST(FileSystem, WellKnownFoldersFollowHomeAndTheXdgVariables)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const ScopedEnvironment homeVariable("HOME", home.path());
    {
        const ScopedEnvironment dataHome("XDG_DATA_HOME", QString());
        const ScopedEnvironment stateHome("XDG_STATE_HOME", QString());
        EXPECT_EQ(FileSystem::dataFolderPath(),
                  home.path() + QStringLiteral("/.local/share/com.harrowmere.Harrowmere"));
        EXPECT_EQ(FileSystem::logFolderPath(), home.path() + QStringLiteral("/.local/state/Harrowmere/Logs"));
    }
    {
        const ScopedEnvironment dataHome("XDG_DATA_HOME", home.filePath(QStringLiteral("data")));
        const ScopedEnvironment stateHome("XDG_STATE_HOME", home.filePath(QStringLiteral("state")));
        const ScopedEnvironment temporary("TMPDIR", home.filePath(QStringLiteral("tmp")));
        EXPECT_EQ(FileSystem::dataFolderPath(), home.filePath(QStringLiteral("data/com.harrowmere.Harrowmere")));
        EXPECT_EQ(FileSystem::logFolderPath(), home.filePath(QStringLiteral("state/Harrowmere/Logs")));
        EXPECT_EQ(FileSystem::temporaryFolderPath(), QStringLiteral("/tmp")) << "TMPDIR names no folder yet";
        ASSERT_TRUE(FileSystem::createFolder(home.filePath(QStringLiteral("tmp"))).ok());
        EXPECT_EQ(FileSystem::temporaryFolderPath(), QDir(home.filePath(QStringLiteral("tmp"))).canonicalPath());

        // Creating with parents twice leaves one folder; a file in the way is reported.
        ASSERT_TRUE(FileSystem::createFolder(FileSystem::logFolderPath()).ok());
        ASSERT_TRUE(FileSystem::createFolder(FileSystem::logFolderPath()).ok());
        EXPECT_TRUE(QFileInfo(FileSystem::logFolderPath()).isDir());
        const QString blocked = home.filePath(QStringLiteral("file"));
        ASSERT_TRUE(writeFileAtomically(blocked, "x").ok());
        EXPECT_FALSE(FileSystem::createFolder(blocked + QStringLiteral("/below")).ok());
    }
    {
        // The XDG rules ignore relative values.
        const ScopedEnvironment stateHome("XDG_STATE_HOME", QStringLiteral("relative/state"));
        EXPECT_EQ(FileSystem::logFolderPath(), home.path() + QStringLiteral("/.local/state/Harrowmere/Logs"));
    }
}

TEST(FileSystem, ListsTheTopLevelWithoutHiddenEntriesAndReportsAttributes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(writeFileAtomically(dir.filePath(QStringLiteral("log-0A1B2C.txt")), "line\r\n").ok());
    ASSERT_TRUE(writeFileAtomically(dir.filePath(QStringLiteral(".log-0A1B2C.txt.xattrs")), "{}").ok());
    ASSERT_TRUE(writeFileAtomically(dir.filePath(QStringLiteral(".DS_Store")), "").ok());
    ASSERT_TRUE(FileSystem::createFolder(dir.filePath(QStringLiteral("profiles/deeper"))).ok());
    ASSERT_TRUE(writeFileAtomically(dir.filePath(QStringLiteral("profiles/inside.plist")), "").ok());

    Result<QStringList> names = FileSystem::listFolder(dir.path());
    ASSERT_TRUE(names.ok()) << names.error().message().toStdString();
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, QStringList({QStringLiteral("log-0A1B2C.txt"), QStringLiteral("profiles")}));

    EXPECT_EQ(FileSystem::listFolder(dir.filePath(QStringLiteral("absent"))).error().code(), ErrorCode::IoNotFound);
    EXPECT_FALSE(FileSystem::listFolder(dir.filePath(QStringLiteral("log-0A1B2C.txt"))).ok());

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-2);
    const Result<FileAttributes> attributes =
        FileSystem::attributesOfItem(dir.filePath(QStringLiteral("log-0A1B2C.txt")));
    ASSERT_TRUE(attributes.ok());
    EXPECT_EQ(attributes->size, 6);
    EXPECT_FALSE(attributes->isDirectory);
    ASSERT_TRUE(attributes->creationDate.isValid());
    EXPECT_GE(attributes->creationDate, before);
    EXPECT_LE(attributes->creationDate, attributes->modificationDate.addSecs(1));
    EXPECT_EQ(attributes->creationDate.timeSpec(), Qt::UTC);
    EXPECT_TRUE(FileSystem::attributesOfItem(dir.filePath(QStringLiteral("profiles")))->isDirectory);

    // Removing: a file, a missing file (reported), an empty folder.
    EXPECT_TRUE(FileSystem::removeItem(dir.filePath(QStringLiteral("log-0A1B2C.txt"))).ok());
    EXPECT_FALSE(FileSystem::fileExists(dir.filePath(QStringLiteral("log-0A1B2C.txt"))));
    EXPECT_EQ(FileSystem::removeItem(dir.filePath(QStringLiteral("log-0A1B2C.txt"))).error().code(),
              ErrorCode::IoNotFound);
    EXPECT_EQ(FileSystem::attributesOfItem(dir.filePath(QStringLiteral("log-0A1B2C.txt"))).error().code(),
              ErrorCode::IoNotFound);
    EXPECT_TRUE(FileSystem::removeItem(dir.filePath(QStringLiteral("profiles/deeper"))).ok());
    EXPECT_FALSE(FileSystem::removeItem(dir.filePath(QStringLiteral("profiles"))).ok())
        << "a folder with content stays";
}

TEST(FileHandle, AppendsAtTheEndAndSynchronises)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("log-ABCDEF.txt"));
    EXPECT_EQ(FileHandle::openForAppending(path).error().code(), ErrorCode::IoNotFound);
    ASSERT_TRUE(writeFileAtomically(path, "[SYSTEM INFO]\r\n").ok());

    Result<std::unique_ptr<FileHandle>> opened = FileHandle::openForAppending(path);
    ASSERT_TRUE(opened.ok()) << opened.error().message().toStdString();
    FileHandle &handle = **opened;
    EXPECT_EQ(handle.offset(), 15u);
    ASSERT_TRUE(handle.write("first\r\n").ok());
    EXPECT_EQ(handle.offset(), 22u);

    // Another writer appends meanwhile: the next write still lands after it, nothing is overwritten.
    {
        Result<std::unique_ptr<FileHandle>> other = FileHandle::openForAppending(path);
        ASSERT_TRUE(other.ok());
        ASSERT_TRUE((*other)->write("[Synchronize button pressed]\r\n").ok());
    }
    ASSERT_TRUE(handle.write("second\r\n").ok());
    EXPECT_EQ(handle.offset(), 60u);
    EXPECT_EQ(handle.seekToEndOfFile().value(), 60u);
    ASSERT_TRUE(handle.synchronize().ok());
    EXPECT_EQ(readWholeFile(path).value(),
              QByteArray("[SYSTEM INFO]\r\nfirst\r\n[Synchronize button pressed]\r\nsecond\r\n"));

    ASSERT_TRUE(handle.close().ok());
    EXPECT_TRUE(handle.close().ok());
    EXPECT_FALSE(handle.write("lost").ok());
    EXPECT_FALSE(handle.synchronize().ok());
    EXPECT_EQ(readWholeFile(path)->size(), 60);

    EXPECT_FALSE(FileHandle::openForAppending(dir.path()).ok()) << "a folder is no file to append to";
}

// What stands at the path before a line is appended there, whether the opener may create the file,
// and what the path holds after: a new file is the owner's alone whatever the umask, a link is
// neither followed nor replaced, anything but a regular file is refused without waiting, and a write
// cut short (a full disk) leaves the file as it was before the line.
TEST(FileHandle, AppendsAWholeLineOrNothing)
{
    enum class Before { Nothing, Lines, LinkToLines, DanglingLink, Fifo, Folder };
    struct Case
    {
        const char *name;
        Before before;
        FileHandle::WhenMissing whenMissing;
        quint64 sizeLimit; // what the file may grow to
        bool isOpened;
        bool isWritten;
        QByteArray expected; // at the path, or at the link's target
        mode_t expectedMode;
    };
    using enum FileHandle::WhenMissing;
    constexpr quint64 kRoom = 1 << 20;
    const Case cases[] = {
        {"new file", Before::Nothing, CreateOwnerOnly, kRoom, true, true, "line\n", 0600},
        {"missing, not created", Before::Nothing, Fail, kRoom, false, false, "<none>", 0},
        {"existing file", Before::Lines, Fail, kRoom, true, true, "kept\nline\n", 0666},
        {"link", Before::LinkToLines, CreateOwnerOnly, kRoom, false, false, "kept\n", 0666},
        {"dangling link", Before::DanglingLink, CreateOwnerOnly, kRoom, false, false, "<none>", 0},
        {"fifo", Before::Fifo, CreateOwnerOnly, kRoom, false, false, "<none>", 0},
        {"folder", Before::Folder, CreateOwnerOnly, kRoom, false, false, "<none>", 0},
        {"short write", Before::Lines, Fail, 7, true, false, "kept\n", 0666},
        {"no room at all", Before::Lines, Fail, 5, true, false, "kept\n", 0666},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("lines"));
        const QString target = dir.filePath(QStringLiteral("target"));
        const ScopedUmask everyone(0);
        if (test.before == Before::Lines || test.before == Before::LinkToLines) {
            QFile lines(test.before == Before::Lines ? path : target);
            ASSERT_TRUE(lines.open(QIODevice::WriteOnly));
            ASSERT_EQ(lines.write("kept\n"), 5);
        }
        const bool isLink = test.before == Before::LinkToLines || test.before == Before::DanglingLink;
        ASSERT_TRUE(!isLink || QFile::link(target, path));
        ASSERT_TRUE(test.before != Before::Fifo || makeFifo(path));
        ASSERT_TRUE(test.before != Before::Folder || QDir(dir.path()).mkdir(QStringLiteral("lines")));

        Result<std::unique_ptr<FileHandle>> opened = FileHandle::openForAppending(path, test.whenMissing);
        ASSERT_EQ(opened.ok(), test.isOpened);
        if (opened) {
            FileHandle &handle = **opened;
            testsupport::runWithFileSizeLimit(test.sizeLimit, [&handle, &test] {
                EXPECT_EQ(handle.write("line\n").ok(), test.isWritten);
            });
            EXPECT_EQ(handle.offset(), quint64(test.expected.size()));
        }
        const QString holder = isLink ? target : path;
        const Result<QByteArray> held = readWholeFile(holder);
        EXPECT_EQ(held ? *held : QByteArray("<none>"), test.expected);
        EXPECT_EQ(held ? modeOf(holder) : 0, test.expectedMode);
    }
}

TEST(FileSystem, PrivateFoldersAreTheOwnersOnlyWhateverTheUmask)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString nested = dir.filePath(QStringLiteral("share/com.harrowmere.Harrowmere"));
    const Status created = [&] {
        const ScopedUmask everyone(0);
        return FileSystem::createPrivateFolder(nested);
    }();
    ASSERT_TRUE(created.ok()) << created.error().message().toStdString();
    EXPECT_EQ(modeOf(nested), 0700u);
    EXPECT_EQ(modeOf(dir.filePath(QStringLiteral("share"))), 0700u);

    // A folder an earlier version made for everyone to read is narrowed.
    ASSERT_EQ(::chmod(QFile::encodeName(nested).constData(), 0755), 0);
    ASSERT_TRUE(FileSystem::createPrivateFolder(nested).ok());
    EXPECT_EQ(modeOf(nested), 0700u);

    // A file in the way is an error; a folder the user moved elsewhere and linked is theirs.
    const QString file = dir.filePath(QStringLiteral("file"));
    ASSERT_TRUE(writeFileAtomically(file, "x").ok());
    EXPECT_FALSE(FileSystem::createPrivateFolder(file).ok());
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    ASSERT_EQ(::chmod(QFile::encodeName(elsewhere).constData(), 0750), 0);
    const QString linked = dir.filePath(QStringLiteral("linked"));
    ASSERT_TRUE(QFile::link(elsewhere, linked));
    EXPECT_TRUE(FileSystem::createPrivateFolder(linked).ok());
    EXPECT_EQ(modeOf(elsewhere), 0750u);
}
