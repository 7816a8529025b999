#include "LogFixture.h"

#include "foundation/Lumberjack/DDLogFileFormatterDefault.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

// Makes a log file whose modification time is the given number of minutes ago, so files made in the
// same instant still sort in the order they were made; marks it finished when asked.
QString makeLogFile(const QString &folder, const QString &name, int minutesAgo, bool archived)
{
    const QString path = QDir(folder).filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("line\r\n");
    file.flush();
    file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-60 * minutesAgo), QFileDevice::FileModificationTime);
    file.close();
    if (archived)
        DDLogFileInfo(path).setIsArchived(true);
    return path;
}

} // namespace

TEST(DDLogFileManagerDefault, TellsLogFilesByName)
{
    struct Row
    {
        const char *name;
        bool isLogFile;
    };
    const Row rows[] = {
        {"log-0A1B2C.txt", true},
        {"log-FFFFFF.txt", true},
        {"log-123456", true},
        {"log-0a1b2c.txt", false},
        {"log-0A1B2G.txt", false},
        {"log-12345", false},
        {"Log-123456.txt", false},
        {"startuplog.plist", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DDLogFileManagerDefault::isLogFile(QString::fromLatin1(row.name)), row.isLogFile);
    }
    const QRegularExpression shortUuid(QStringLiteral("^[0-9A-F]{6}$"));
    EXPECT_TRUE(shortUuid.match(DDLogFileManagerDefault::generateShortUUID()).hasMatch());
}

TEST_F(FileLoggerFixture, EmptyOrMissingFolderGivesEmptyListsAndIsCreatedOnDemand)
{
    EXPECT_TRUE(manager->sortedLogFileInfos().empty());
    EXPECT_TRUE(QDir(logsPath()).exists()) << "listing creates the folder";
    ASSERT_TRUE(QDir(logsPath()).removeRecursively());

    addLogger();
    DDLogInfo(QStringLiteral("first"));
    DDLog::flushLog();
    EXPECT_EQ(manager->unsortedLogFilePaths().size(), 1);
}

TEST_F(FileLoggerFixture, CleanUpKeepsTheNewestFinishedFilesBesideTheCurrentOne)
{
    const QString folder = manager->logsDirectory();
    QStringList finished;
    for (int index = 0; index < 7; ++index)
        finished.append(makeLogFile(folder, QStringLiteral("log-00000%1.txt").arg(index), 100 - index, true));
    const QString current = makeLogFile(folder, QStringLiteral("log-AAAAAA.txt"), 0, false);
    QFile(folder + QStringLiteral("/notes.txt")).open(QIODevice::WriteOnly);

    manager->setMaximumNumberOfLogFiles(4);
    DDLog::flushLog();

    QStringList expected{current};
    for (int index = 6; index >= 3; --index)
        expected.append(finished[index]);
    EXPECT_EQ(manager->sortedLogFilePaths(), expected);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/notes.txt")));
}

TEST_F(FileLoggerFixture, CleanUpWithAFinishedNewestFileKeepsTheNewestOfAll)
{
    const QString folder = manager->logsDirectory();
    QStringList files;
    for (int index = 0; index < 6; ++index)
        files.append(makeLogFile(folder, QStringLiteral("log-00000%1.txt").arg(index), 100 - index, true));

    manager->deleteOldLogFiles();
    DDLog::flushLog();
    EXPECT_EQ(manager->sortedLogFilePaths().size(), 5) << "the default count is 5";
    manager->setMaximumNumberOfLogFiles(4);
    DDLog::flushLog();
    EXPECT_EQ(manager->sortedLogFilePaths(), (QStringList{files[5], files[4], files[3], files[2]}));
}

TEST_F(FileLoggerFixture, ArchivedMarkSurvivesAndItsRemovalMakesAFileCurrentAgain)
{
    const QString folder = manager->logsDirectory();
    const QString path = makeLogFile(folder, QStringLiteral("log-ABCDEF.txt"), 0, true);
    DDLogFileInfo info(path);
    EXPECT_TRUE(info.isArchived());
    EXPECT_EQ(info.fileName(), QStringLiteral("log-ABCDEF.txt"));
    EXPECT_EQ(info.fileSize(), 6U);
    EXPECT_TRUE(info == DDLogFileInfo(path));

    info.setIsArchived(false);
    addLogger();
    DDLogInfo(QStringLiteral("continued"));
    DDLog::flushLog();
    EXPECT_EQ(manager->unsortedLogFilePaths(), QStringList{path});
    EXPECT_TRUE(contents(path).endsWith("  continued\r\n"));
}

TEST_F(FileLoggerFixture, NewFileStartsWithTheSystemInfoBlock)
{
    const platform::Result<QString> created = manager->createNewLogFile();
    ASSERT_TRUE(created) << created.error().message().toStdString();
    const QString written = QString::fromUtf8(contents(*created));
    const QRegularExpression header(QStringLiteral(
        "^\\[SYSTEM INFO\\]\r\nSystem Version: .+\r\nHarrowmere Version: Version .+ build .+\r\n"
        "System Time Zone: .+\r\n\r\n$"));
    EXPECT_TRUE(header.match(written).hasMatch()) << written.toStdString();

    ddLogLevel = LOG_LEVEL_OFF;
    const platform::Result<QString> quiet = manager->createNewLogFile();
    ASSERT_TRUE(quiet);
    EXPECT_TRUE(contents(*quiet).isEmpty());
}

TEST(DDLogFileFormatterDefault, StampsTheLineWithMillisecondsInTheSystemZone)
{
    const QDateTime moment = QDateTime::fromString(QStringLiteral("2026-03-05T14:07:09.042Z"), Qt::ISODateWithMs);
    platform::Clock::setSource([moment] { return moment; });
    const DDLogMessage message(QStringLiteral("Logon OK"), 7, 4, 0, __FILE__, __func__, __LINE__, nullptr);
    platform::Clock::setSource({});

    DDLogFileFormatterDefault formatter;
    EXPECT_EQ(formatter.formatLogMessage(message), QStringLiteral("2026/03/05 14:07:09:042  Logon OK"));
}
