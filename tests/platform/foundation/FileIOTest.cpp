#include "platform/foundation/FileIO.h"

#include "support/TestSupport.h"

#include "FileTestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QFile>
#include <QTemporaryDir>

#include <QFileInfo>

#include <csignal>
#include <ctime>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace platform;

TEST(FileIO, WritesWholeFilesAndKeepsTheOldOneWhenTheWriteCannotHappen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("profile.settings"));

    ASSERT_TRUE(writeFileAtomically(path, "first").ok());
    ASSERT_TRUE(writeFileAtomically(path, "second").ok());
    EXPECT_EQ(readWholeFile(path).value(), QByteArray("second"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "no temporary file is left behind";

    // A folder that cannot be written: the write fails and says where.
    const QString lockedFolder = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkpath(lockedFolder));
    const QString lockedPath = lockedFolder + QStringLiteral("/file");
    ASSERT_TRUE(writeFileAtomically(lockedPath, "kept").ok());
    QFile::setPermissions(lockedFolder, QFile::ReadOwner | QFile::ExeOwner);
    const Status refused = writeFileAtomically(lockedPath, "lost");
    QFile::setPermissions(lockedFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (geteuid() != 0) {
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().message().contains(lockedPath));
    }
    if (!refused.ok()) {
        EXPECT_EQ(readWholeFile(lockedPath).value(), QByteArray("kept"));
    }

    const Result<QByteArray> missing = readWholeFile(dir.filePath(QStringLiteral("absent")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ErrorCode::IoNotFound);
}

// A file written piece by piece holds every piece in order; content that fails part way leaves the
// old file (or no file) and no temporary file, whichever way the file is written.
TEST(FileIO, StreamedFilesAreWholeOrNotWrittenAtAll)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto pieces = [](int count, bool failAtEnd) -> FileContentWriter {
        return [count, failAtEnd](int descriptor) {
            for (int index = 0; index < count; ++index) {
                const QByteArray piece = "piece " + QByteArray::number(index) + "\n";
                if (writeToDescriptor(descriptor, piece) != piece.size())
                    return false;
            }
            errno = ENOSPC;
            return !failAtEnd;
        };
    };
    QByteArray expected;
    for (int index = 0; index < 3000; ++index)
        expected += "piece " + QByteArray::number(index) + "\n";
    for (const FileFlush flush : {FileFlush::Always, FileFlush::WhenReplacing, FileFlush::Never}) {
        const QString path = dir.filePath(QStringLiteral("index-%1").arg(int(flush)));
        const Status failedNew = writeFileAtomicallyFrom(path, pieces(10, true), FilePermissions::OwnerOnly, flush);
        ASSERT_FALSE(failedNew.ok());
        EXPECT_TRUE(failedNew.error().message().contains(path));
        EXPECT_FALSE(QFileInfo::exists(path));

        struct stat placed = {};
        ASSERT_TRUE(writeFileAtomicallyFrom(path, pieces(3000, false), FilePermissions::OwnerOnly, flush, &placed).ok());
        EXPECT_EQ(readWholeFile(path).value(), expected);
        EXPECT_EQ(placed.st_mode & 07777, 0600u);
        EXPECT_EQ(qint64(placed.st_size), expected.size());

        EXPECT_FALSE(writeFileAtomicallyFrom(path, pieces(5, true), FilePermissions::OwnerOnly, flush).ok());
        EXPECT_EQ(readWholeFile(path).value(), expected) << "the old file stays whole";
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3) << "no temporary file is left behind";
}

TEST(FileIO, ReadsOnlyRegularFilesAndNoMoreThanTheCap)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_TRUE(makeFifo(fifo));
    const QString regular = dir.filePath(QStringLiteral("regular"));
    ASSERT_TRUE(writeFileAtomically(regular, QByteArray(1000, 'r')).ok());

    struct Row
    {
        const char *name;
        QString target; // what a link named "entry" points at, or the entry itself when no link is wanted
        bool isLink;
        qint64 cap;
        std::optional<ErrorCode> error;
    };
    const Row rows[] = {
        {"a FIFO without a writer does not block", fifo, false, kDefaultMaxFileBytes, ErrorCode::DataMalformed},
        {"a link to a FIFO", fifo, true, kDefaultMaxFileBytes, ErrorCode::DataMalformed},
        {"a link to an endless device", QStringLiteral("/dev/zero"), true, kDefaultMaxFileBytes,
         ErrorCode::DataMalformed},
        {"a folder", dir.path(), false, kDefaultMaxFileBytes, ErrorCode::DataMalformed},
        {"a file over the cap", regular, false, 999, ErrorCode::DataMalformed},
        {"a file at the cap", regular, false, 1000, std::nullopt},
        {"a link to a regular file is read", regular, true, 1000, std::nullopt},
        {"a dangling link", dir.filePath(QStringLiteral("absent")), true, 1000, ErrorCode::IoNotFound},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QString path = row.target;
        if (row.isLink) {
            path = dir.filePath(QStringLiteral("entry"));
            QFile::remove(path);
            ASSERT_TRUE(QFile::link(row.target, path));
        }
        const Result<QByteArray> read = readWholeFile(path, row.cap);
        // The reader of the program's own files, which maps them, refuses and reads the same.
        const Result<FileBytes> own = readOwnFileBytes(path, row.cap);
        if (!row.error) {
            ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
            EXPECT_EQ(*read, QByteArray(1000, 'r'));
            ASSERT_TRUE(own.ok()) << own.error().message().toStdString();
            EXPECT_EQ(own->bytes(), QByteArray(1000, 'r'));
            continue;
        }
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().code(), *row.error) << read.error().message().toStdString();
        EXPECT_TRUE(read.error().message().contains(path)) << read.error().message().toStdString();
        ASSERT_FALSE(own.ok());
        EXPECT_EQ(own.error().code(), read.error().code());
        EXPECT_EQ(own.error().message(), read.error().message());
    }
}

// The program's own files are mapped instead of copied: the bytes are the file's, whatever its length
// against the pages, and stay so while they are held, through a move and after the file is replaced
// or removed. Files that others could change in place are read as readWholeFile reads them.
TEST(FileIO, OwnFilesAreMappedOnlyWhenNothingElseNamesThem)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const qsizetype size : {qsizetype(1), qsizetype(4096), qsizetype(3 * 1024 * 1024 + 7)}) {
        SCOPED_TRACE(size);
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype index = 0; index < size; ++index)
            bytes[index] = char(index * 7 + index / 251);
        const QString path = dir.filePath(QStringLiteral("own-%1").arg(size));
        ASSERT_TRUE(writeFileAtomically(path, bytes, FilePermissions::OwnerOnly).ok());
        Result<FileBytes> read = readOwnFileBytes(path, kDefaultMaxFileBytes);
        ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
        EXPECT_TRUE(read->isMapped());
        ASSERT_TRUE(writeFileAtomically(path, QByteArray("replaced"), FilePermissions::OwnerOnly).ok());
        FileBytes held = std::move(read).value();
        ASSERT_TRUE(QFile::remove(path));
        EXPECT_TRUE(held.bytes() == bytes);
        FileBytes moved = std::move(held);
        EXPECT_TRUE(held.bytes().isEmpty());
        EXPECT_FALSE(held.isMapped());
        EXPECT_TRUE(moved.bytes() == bytes);
    }

    const QString single = dir.filePath(QStringLiteral("single"));
    ASSERT_TRUE(writeFileAtomically(single, QByteArray(5000, 's'), FilePermissions::OwnerOnly).ok());
    const QString hardLinked = dir.filePath(QStringLiteral("hard-linked"));
    ASSERT_TRUE(writeFileAtomically(hardLinked, QByteArray(5000, 'h'), FilePermissions::OwnerOnly).ok());
    const QByteArray secondName = QFile::encodeName(dir.filePath(QStringLiteral("second name")));
    ASSERT_EQ(::link(QFile::encodeName(hardLinked).constData(), secondName.constData()), 0);
    const QString empty = dir.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(writeFileAtomically(empty, QByteArray(), FilePermissions::OwnerOnly).ok());
    const QString symbolic = dir.filePath(QStringLiteral("symbolic"));
    ASSERT_TRUE(QFile::link(single, symbolic));
    struct Row
    {
        const char *name;
        QString path;
        QByteArray bytes;
        bool isMapped;
    };
    const Row rows[] = {
        {"a file named once", single, QByteArray(5000, 's'), true},
        {"a file with a second name", hardLinked, QByteArray(5000, 'h'), false},
        {"an empty file", empty, QByteArray(), false},
        {"a link at the name", symbolic, QByteArray(5000, 's'), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Result<FileBytes> read = readOwnFileBytes(row.path, kDefaultMaxFileBytes);
        ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
        EXPECT_EQ(read->isMapped(), row.isMapped);
        EXPECT_EQ(read->bytes(), row.bytes);
        EXPECT_EQ(read->bytes(), readWholeFile(row.path).value());
    }
}

// Files of a megabyte and more are read into pages made ready beforehand: they come back byte for
// byte whatever their length against the pages, and the cap still holds.
TEST(FileIO, LargeFilesAreReadWholeAndCapped)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const qsizetype size : {qsizetype(1024 * 1024 - 1), qsizetype(1024 * 1024), qsizetype(3 * 1024 * 1024 + 7)}) {
        SCOPED_TRACE(size);
        QByteArray bytes(size, Qt::Uninitialized);
        quint32 state = 2463534242U;
        for (char &byte : bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = char(state);
        }
        const QString path = dir.filePath(QStringLiteral("large-%1").arg(size));
        ASSERT_TRUE(writeFileAtomically(path, bytes).ok());
        const Result<QByteArray> read = readWholeFile(path, kDefaultMaxFileBytes);
        ASSERT_TRUE(read.ok()) << read.error().message().toStdString();
        EXPECT_TRUE(*read == bytes);
        const Result<QByteArray> capped = readWholeFile(path, size - 1);
        ASSERT_FALSE(capped.ok());
        EXPECT_EQ(capped.error().code(), ErrorCode::DataMalformed);
    }
}

TEST(FileIO, WrittenFilesArePrivateWhateverTheUmaskAndLinksAreReplacedNotFollowed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A umask that takes the owner's bits too (0277) is undone, whether or not the writer asks for
    // the written file's status, which then tells the final mode.
    for (const mode_t mask : {mode_t(000), mode_t(022), mode_t(077), mode_t(0277)}) {
        SCOPED_TRACE(mask);
        const ScopedUmask umask(mask);
        const QString path = dir.filePath(QStringLiteral("new-%1").arg(mask));
        ASSERT_TRUE(writeFileAtomically(path, "secret").ok());
        EXPECT_EQ(modeOf(path), mode_t(0600));
        struct stat placed = {};
        const QString seen = dir.filePath(QStringLiteral("seen-%1").arg(mask));
        ASSERT_TRUE(
            writeFileAtomically(seen, "secret", FilePermissions::OwnerOnly, FileFlush::WhenReplacing, &placed).ok());
        EXPECT_EQ(modeOf(seen), mode_t(0600));
        EXPECT_EQ(placed.st_mode & 07777, 0600u);
        EXPECT_EQ(readWholeFile(seen).value(), QByteArray("secret"));
    }

    // A file shared on purpose keeps its permissions unless the writer wants it private.
    const QString shared = dir.filePath(QStringLiteral("shared.vcf"));
    ASSERT_TRUE(writeFileAtomically(shared, "one").ok());
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0644), 0);
    ASSERT_TRUE(writeFileAtomically(shared, "two").ok());
    EXPECT_EQ(modeOf(shared), mode_t(0644));
    ASSERT_TRUE(writeFileAtomically(shared, "three", FilePermissions::OwnerOnly).ok());
    EXPECT_EQ(modeOf(shared), mode_t(0600));

    // A link where the file should be is replaced by the file; what it pointed at is untouched.
    const QString outside = dir.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(writeFileAtomically(outside, "keep me").ok());
    ASSERT_EQ(::chmod(QFile::encodeName(outside).constData(), 0644), 0);
    const QString linked = dir.filePath(QStringLiteral("profile.settings"));
    ASSERT_TRUE(QFile::link(outside, linked));
    ASSERT_TRUE(writeFileAtomically(linked, "profile").ok());
    EXPECT_FALSE(QFileInfo(linked).isSymLink());
    EXPECT_EQ(modeOf(linked), mode_t(0600));
    EXPECT_EQ(readWholeFile(outside).value(), QByteArray("keep me"));
    EXPECT_EQ(readWholeFile(linked).value(), QByteArray("profile"));
}

TEST(FileIO, StaleTemporaryFilesOfOurOwnNamingAreRemoved)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto touch = [&](const QString &name, int ageSeconds) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeFileAtomically(path, "x").ok());
        const struct timespec times[2] = {{std::time(nullptr) - ageSeconds, 0}, {std::time(nullptr) - ageSeconds, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
        return path;
    };
    // A write interrupted between creating its temporary file and renaming it leaves this name.
    const QString stale = touch(QStringLiteral(".abc.settings.Xy12Zq.hmtmp"), 3600);
    const QString young = touch(QStringLiteral(".abc.settings.Ab34Cd.hmtmp"), 5);
    const QString notOurs = touch(QStringLiteral(".abc.settings.Xy1.hmtmp"), 3600);
    const QString profile = touch(QStringLiteral("abc.settings"), 3600);
    const QString other = touch(QStringLiteral("notes.Xy12Zq"), 3600);
    const QString folder = dir.filePath(QStringLiteral(".sub.Qw12Er.hmtmp"));
    ASSERT_TRUE(QDir().mkdir(folder));

    EXPECT_EQ(removeStaleTemporaryFiles(dir.path(), std::chrono::minutes(10)), 1);
    EXPECT_FALSE(QFileInfo::exists(stale));
    for (const QString &kept : {young, notOurs, profile, other, folder})
        EXPECT_TRUE(QFileInfo::exists(kept)) << kept.toStdString();

    // What a real write names its temporary file is recognised, and a finished write leaves none.
    EXPECT_TRUE(isTemporaryFileName(QStringLiteral(".x.Ab12Cd.hmtmp")));
    EXPECT_FALSE(isTemporaryFileName(QStringLiteral(".Ab12Cd.hmtmp")));
    EXPECT_FALSE(isTemporaryFileName(QStringLiteral("x.Ab12Cd.hmtmp")));
    EXPECT_FALSE(isTemporaryFileName(QStringLiteral(".x.Ab-2Cd.hmtmp")));
}

namespace {

constexpr char kWriterFolderVariable[] = "HM_FILEIO_WRITER_FOLDER";
constexpr qsizetype kGenerationBytes = 256 * 1024;

QByteArray generation(int number)
{
    QByteArray bytes = QByteArray::number(number) + '\n';
    bytes.append(QByteArray(kGenerationBytes - bytes.size(), char('a' + number % 26)));
    return bytes;
}

// Whether the bytes are one whole generation, as a reader after a crash must find them.
bool isWholeGeneration(const QByteArray &bytes)
{
    const qsizetype lineEnd = bytes.indexOf('\n');
    bool isNumber = false;
    const int number = bytes.left(lineEnd).toInt(&isNumber);
    return lineEnd > 0 && isNumber && bytes == generation(number);
}

} // namespace

// Run only as the child of the test below: writes generation after generation until it is killed.
TEST(FileIO, DISABLED_WriterKilledMidWrite)
{
    const QString folder = qEnvironmentVariable(kWriterFolderVariable);
    if (folder.isEmpty())
        GTEST_SKIP() << "only run by WritesSurviveAKillAtAnyStep";
    for (int number = 1;; ++number)
        static_cast<void>(writeFileAtomically(folder + QStringLiteral("/profile.settings"), generation(number)));
}

// New files whose flush waits for a later sync, as a calendar folder's items are written.
TEST(FileIO, DISABLED_NewFileWriterKilledMidWrite)
{
    const QString folder = qEnvironmentVariable(kWriterFolderVariable);
    if (folder.isEmpty())
        GTEST_SKIP() << "only run by NewFilesSurviveAKillAtAnyStep";
    for (int number = 1;; ++number)
        static_cast<void>(writeFileAtomically(folder + QStringLiteral("/item-%1.ics").arg(number), generation(number),
                                              FilePermissions::KeepExisting, FileFlush::WhenReplacing));
}

namespace {

// Runs the writer test of this program on the folder until the condition holds, then a little
// longer (more each round), and kills it without warning.
void killWriterMidway(const QString &folder, const char *writerTest, int round, const std::function<bool()> &started)
{
    QProcess writer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kWriterFolderVariable), folder);
    writer.setProcessEnvironment(environment);
    writer.start(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget(),
                 {QStringLiteral("--gtest_filter=FileIO.") + QLatin1String(writerTest),
                  QStringLiteral("--gtest_also_run_disabled_tests")});
    ASSERT_TRUE(writer.waitForStarted());
    ASSERT_TRUE(testsupport::waitUntil(started)) << "the writer to write";
    QDeadlineTimer spread(round * 3);
    while (!spread.hasExpired()) {
    }
    ::kill(pid_t(writer.processId()), SIGKILL);
    writer.waitForFinished();
}

} // namespace

TEST(FileIO, WritesSurviveAKillAtAnyStepAndTheirLeftoversAreKnownAsOurs)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("profile.settings"));
    ASSERT_TRUE(writeFileAtomically(target, generation(0)).ok());
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        const QByteArray before = readWholeFile(target).value();
        killWriterMidway(dir.path(), "DISABLED_WriterKilledMidWrite", round,
                         [&] { return readWholeFile(target).value() != before; });
        if (HasFatalFailure())
            return;

        const Result<QByteArray> after = readWholeFile(target);
        ASSERT_TRUE(after.ok()) << after.error().message().toStdString();
        EXPECT_TRUE(isWholeGeneration(*after)) << after->left(20).toStdString();
        const QStringList leftovers = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : leftovers) {
            EXPECT_TRUE(name == QStringLiteral("profile.settings") || isTemporaryFileName(name)) << name.toStdString();
        }
        removeStaleTemporaryFiles(dir.path(), std::chrono::seconds(0));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("profile.settings")});
    }
}

// Every new file a killed writer left is whole, under its own name, and nothing else is left.
TEST(FileIO, NewFilesSurviveAKillAtAnyStep)
{
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        killWriterMidway(dir.path(), "DISABLED_NewFileWriterKilledMidWrite", round,
                         [&] { return QDir(dir.path()).entryList(QDir::Files).size() >= 3; });
        if (HasFatalFailure())
            return;
        const QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        ASSERT_GE(names.size(), 3);
        for (const QString &name : names) {
            const Result<QByteArray> bytes = readWholeFile(dir.filePath(name));
            ASSERT_TRUE(bytes.ok()) << name.toStdString();
            EXPECT_TRUE(isWholeGeneration(*bytes)) << name.toStdString();
            EXPECT_EQ(name, QStringLiteral("item-%1.ics").arg(bytes->left(bytes->indexOf('\n')).toInt()));
        }
    }
}

// Writes that leave the flush of a new file to a later sync of its file system write the same files;
// the sync covers every folder named, passes over a folder removed meanwhile, and fails on a path
// that is no folder it can open.
TEST(FileIO, WritesWithALaterSyncHoldTheSameBytesAndTheSyncNamesWhatFails)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto &[flush, mask] :
         {std::pair{FileFlush::Always, mode_t(022)}, std::pair{FileFlush::WhenReplacing, mode_t(000)}}) {
        SCOPED_TRACE(int(flush));
        const ScopedUmask umask(mask);
        const QString path = dir.filePath(QStringLiteral("item-%1.ics").arg(int(flush)));
        ASSERT_TRUE(writeFileAtomically(path, "new", FilePermissions::KeepExisting, flush).ok());
        EXPECT_EQ(readWholeFile(path).value(), QByteArray("new"));
        EXPECT_EQ(modeOf(path), mode_t(0600));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        ASSERT_TRUE(writeFileAtomically(path, "replaced", FilePermissions::KeepExisting, flush).ok());
        EXPECT_EQ(readWholeFile(path).value(), QByteArray("replaced"));
        EXPECT_EQ(modeOf(path), mode_t(0640));
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2) << "a temporary file was left";
    // A link at the name of a new file is replaced, never followed.
    const QString outside = dir.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(writeFileAtomically(outside, "keep me").ok());
    const QString linked = dir.filePath(QStringLiteral("linked.ics"));
    ASSERT_TRUE(QFile::link(outside, linked));
    ASSERT_TRUE(writeFileAtomically(linked, "item", FilePermissions::KeepExisting, FileFlush::WhenReplacing).ok());
    EXPECT_FALSE(QFileInfo(linked).isSymLink());
    EXPECT_EQ(readWholeFile(linked).value(), QByteArray("item"));
    EXPECT_EQ(readWholeFile(outside).value(), QByteArray("keep me"));
    EXPECT_EQ(modeOf(linked), mode_t(0600));

    const QString folder = dir.filePath(QStringLiteral("calendar"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = dir.filePath(QStringLiteral("item-0.ics"));
    struct Row
    {
        QStringList folders;
        std::optional<QString> failingPath;
    };
    const Row rows[] = {
        {{dir.path(), folder, folder}, std::nullopt},
        {{dir.filePath(QStringLiteral("removed")), folder}, std::nullopt},
        {{}, std::nullopt},
        {{folder, file}, file},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.folders.join(u',').toStdString());
        const Status synced = syncFileSystemsOf(row.folders);
        ASSERT_EQ(synced.ok(), !row.failingPath.has_value());
        if (row.failingPath) {
            EXPECT_EQ(synced.error().code(), ErrorCode::IoWriteFailed);
            EXPECT_TRUE(synced.error().message().contains(*row.failingPath)) << synced.error().message().toStdString();
        }
    }
}

// A file its writer expects to be new is named without a look first. Whatever is at the name after
// all is dealt with as writeFileAtomically would: a file is replaced keeping its mode, a link is
// replaced and not followed, a folder fails the write; nothing is left behind.
TEST(FileIO, NewFilesReplaceWhatTheirNameHeldAfterAll)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString outside = dir.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(writeFileAtomically(outside, "keep me").ok());
    const QString taken = dir.filePath(QStringLiteral("taken.ics"));
    ASSERT_TRUE(writeFileAtomically(taken, "old").ok());
    ASSERT_EQ(::chmod(QFile::encodeName(taken).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(outside, dir.filePath(QStringLiteral("linked.ics"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("dangling.ics"))));
    struct Row
    {
        const char *name;
        mode_t expectedMode;
    };
    const ScopedUmask umask(0277);
    for (const Row &row : {Row{"new.ics", 0600}, Row{"taken.ics", 0640}, Row{"linked.ics", 0600}, Row{"dangling.ics", 0600}}) {
        SCOPED_TRACE(row.name);
        const QString path = dir.filePath(QLatin1String(row.name));
        struct stat placed = {};
        ASSERT_TRUE(
            writeNewFileAtomically(path, "item", FilePermissions::KeepExisting, FileFlush::WhenReplacing, &placed).ok());
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_EQ(readWholeFile(path).value(), QByteArray("item"));
        EXPECT_EQ(modeOf(path), row.expectedMode);
        struct stat seen = {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &seen), 0);
        EXPECT_EQ(placed.st_ino, seen.st_ino);
        EXPECT_EQ(placed.st_mode, seen.st_mode);
        EXPECT_EQ(placed.st_ctim.tv_nsec, seen.st_ctim.tv_nsec);
    }
    EXPECT_EQ(readWholeFile(outside).value(), QByteArray("keep me"));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("nowhere"))));

    const QString folder = dir.filePath(QStringLiteral("folder.ics"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const Status refused = writeNewFileAtomically(folder, "item", FilePermissions::KeepExisting, FileFlush::Never);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code(), ErrorCode::IoWriteFailed);
    EXPECT_TRUE(QFileInfo(folder).isDir());
    const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    EXPECT_EQ(left, (QStringList{"dangling.ics", "linked.ics", "new.ics", "outside", "taken.ics"}));
}
