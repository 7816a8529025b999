#include "LogFixture.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ExtendedAttributes.h"
#include "platform/foundation/FileSystem.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

const QRegularExpression kLogFileName(QStringLiteral("^log-[0-9A-F]{6}\\.txt$"));
const QRegularExpression kStampedLine(QStringLiteral("^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3}  (.*)$"));

// The lines of a log file that carry a time stamp, without the stamp and the CR LF.
QStringList stampedTexts(const QByteArray &contents)
{
    QStringList texts;
    for (const QString &line : QString::fromUtf8(contents).split(QStringLiteral("\r\n"))) {
        const QRegularExpressionMatch match = kStampedLine.match(line);
        if (match.hasMatch())
            texts.append(match.captured(1));
    }
    return texts;
}

bool isArchived(const QString &path)
{
    return platform::ExtendedAttributes::has(path, QStringLiteral("lumberjack.log.archived"));
}

} // namespace

TEST_F(FileLoggerFixture, WritesInfoButNotVerboseAtLevelSeven)
{
    addLogger();
    int verboseEvaluations = 0;
    const auto verboseText = [&verboseEvaluations] {
        ++verboseEvaluations;
        return QStringLiteral("verbose line");
    };
    DDLogInfo(QStringLiteral("info line"));
    DDLogVerbose(verboseText());
    DDLogWarn(QStringLiteral("warning line"));
    DDLog::flushLog();

    EXPECT_EQ(verboseEvaluations, 0) << "a filtered log site must not build its message";
    const QByteArray written = newestContents();
    EXPECT_TRUE(written.startsWith("[SYSTEM INFO]\r\nSystem Version: ")) << written.left(80).toStdString();
    EXPECT_EQ(stampedTexts(written), (QStringList{QStringLiteral("info line"), QStringLiteral("warning line")}));
    EXPECT_TRUE(written.endsWith("  warning line\r\n"));
}

TEST_F(FileLoggerFixture, LevelZeroCreatesNoFileAndWritesNoBlocks)
{
    ddLogLevel = LOG_LEVEL_OFF;
    addLogger();
    int evaluations = 0;
    DDLogError((++evaluations, QStringLiteral("error")));
    logger->writeUpdatedSystemInfo(QStringLiteral("Apple"), QStringLiteral(" 12.0 MB"), QStringLiteral("100.0 MB"));
    logger->writeLogFileHeader();
    DDLog::flushLog();

    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(manager->unsortedLogFilePaths().isEmpty());
}

TEST_F(FileLoggerFixture, ErrorFromBackgroundThreadIsOnDiskWhenTheCallReturns)
{
    addLogger();
    QByteArray seenRightAfter;
    std::thread background([this, &seenRightAfter] {
        DDLogError(QStringLiteral("disk full on sync queue"));
        seenRightAfter = newestContents();
    });
    background.join();
    EXPECT_TRUE(seenRightAfter.contains("  disk full on sync queue\r\n")) << seenRightAfter.toStdString();
}

// More messages than the backlog holds, from several threads: every line arrives, each thread's
// lines in the order it logged them.
TEST_F(FileLoggerFixture, FlushLeavesEveryQueuedLineOnDiskInOrder)
{
    addLogger();
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 600;
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([thread] {
            for (int line = 0; line < kLinesPerThread; ++line)
                DDLogInfo(QStringLiteral("t%1 n%2").arg(thread).arg(line));
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    DDLog::flushLog();

    const QStringList texts = stampedTexts(newestContents());
    ASSERT_EQ(texts.size(), kThreads * kLinesPerThread);
    std::vector<int> nextLine(kThreads, 0);
    for (const QString &text : texts) {
        const QStringList parts = text.split(QLatin1Char(' '));
        const int thread = parts.at(0).mid(1).toInt();
        ASSERT_EQ(parts.at(1), QStringLiteral("n%1").arg(nextLine[thread])) << text.toStdString();
        ++nextLine[thread];
    }
}

TEST_F(FileLoggerFixture, MultiLineMessageBecomesCrLfLines)
{
    addLogger();
    DDLogInfo(QStringLiteral("first\nsecond\r\nthird"));
    DDLog::flushLog();
    const QByteArray written = newestContents();
    EXPECT_TRUE(written.endsWith("  first\r\nsecond\r\r\nthird\r\n")) << written.toStdString();
    EXPECT_EQ(stampedTexts(written), QStringList{QStringLiteral("first")});
}

TEST_F(FileLoggerFixture, WritesInvalidUtf16AndEmbeddedNulsWithoutACrash)
{
    addLogger();
    QString hostile = QStringLiteral("before");
    hostile.append(QChar(0xD800)); // a high surrogate with no low one
    hostile.append(QChar(u'\0'));
    hostile.append(QStringLiteral("middle"));
    hostile.append(QChar(0xDC00)); // a low surrogate alone
    hostile.append(QChar(u'\0'));
    hostile.append(QStringLiteral("after"));
    DDLogInfo(hostile);
    DDLogError(hostile);
    DDLogInfo(QStringLiteral("still logging"));
    DDLog::flushLog();

    const QByteArray written = newestContents();
    EXPECT_EQ(written.count(QByteArray("before")), 2);
    EXPECT_EQ(written.count(QByteArray("after\r\n")), 2);
    EXPECT_TRUE(written.contains(QByteArray("\0middle", 7)));
    EXPECT_TRUE(written.endsWith("  still logging\r\n"));
}

TEST_F(FileLoggerFixture, RollsPastTheSizeLimitIntoANewFileWithHeader)
{
    logger->setMaximumFileSize(4096);
    addLogger();
    const QString line = QString(100, QLatin1Char('x'));
    for (int index = 0; index < 60; ++index)
        DDLogInfo(QStringLiteral("%1 %2").arg(index).arg(line));
    DDLog::flushLog();

    const std::vector<std::shared_ptr<DDLogFileInfo>> files = manager->sortedLogFileInfos();
    ASSERT_GE(files.size(), 2U);
    QStringList allTexts;
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        SCOPED_TRACE((*file)->fileName().toStdString());
        EXPECT_TRUE(kLogFileName.match((*file)->fileName()).hasMatch());
        const QByteArray written = contents((*file)->filePath());
        EXPECT_TRUE(written.startsWith("[SYSTEM INFO]\r\n"));
        EXPECT_TRUE(written.endsWith("\r\n")) << "a file ends with a whole line";
        allTexts += stampedTexts(written);
    }
    // Finished files carry the mark and ended with the line that took them to the limit.
    for (std::size_t index = 1; index < files.size(); ++index) {
        EXPECT_TRUE(isArchived(files[index]->filePath()));
        EXPECT_GE(files[index]->fileSize(), 4096U);
        EXPECT_LT(files[index]->fileSize(), 4096U + 200U);
    }
    EXPECT_FALSE(isArchived(files.front()->filePath()));
    ASSERT_EQ(allTexts.size(), 60);
    for (int index = 0; index < 60; ++index)
        EXPECT_TRUE(allTexts[index].startsWith(QStringLiteral("%1 ").arg(index)));
}

TEST_F(FileLoggerFixture, KeepsOnlyTheConfiguredNumberOfRolledFilesAndNeverTheCurrentOne)
{
    manager->setMaximumNumberOfLogFiles(2);
    logger->setMaximumFileSize(1024);
    addLogger();
    const QString line = QString(300, QLatin1Char('y'));
    for (int index = 0; index < 40; ++index)
        DDLogInfo(QStringLiteral("%1 %2").arg(index).arg(line));
    DDLog::flushLog();

    const std::vector<std::shared_ptr<DDLogFileInfo>> files = manager->sortedLogFileInfos();
    ASSERT_EQ(files.size(), 3U) << "the current file and two finished ones";
    EXPECT_FALSE(isArchived(files.front()->filePath()));
    EXPECT_TRUE(isArchived(files[1]->filePath()));
    EXPECT_TRUE(isArchived(files[2]->filePath()));
    const QStringList current = stampedTexts(contents(files.front()->filePath()));
    ASSERT_FALSE(current.isEmpty());
    EXPECT_TRUE(current.back().startsWith(QStringLiteral("39 ")));
}

TEST_F(FileLoggerFixture, ContinuesAnUnfinishedFileOfAnEarlierRun)
{
    ASSERT_TRUE(platform::FileSystem::createFolder(logsPath()));
    const QString earlier = logsPath() + QStringLiteral("/log-0A1B2C.txt");
    ASSERT_TRUE(platform::writeFileAtomically(earlier, "2026/03/05 14:07:09:042  from the last run\r\n"));
    addLogger();
    DDLogInfo(QStringLiteral("after restart"));
    DDLog::flushLog();

    EXPECT_EQ(manager->unsortedLogFileNames(), QStringList{QStringLiteral("log-0A1B2C.txt")});
    EXPECT_EQ(stampedTexts(contents(earlier)),
              (QStringList{QStringLiteral("from the last run"), QStringLiteral("after restart")}));
}

TEST_F(FileLoggerFixture, MarksAnOverAgeFileFinishedAndStartsANewOne)
{
    ASSERT_TRUE(platform::FileSystem::createFolder(logsPath()));
    const QString earlier = logsPath() + QStringLiteral("/log-0A1B2C.txt");
    ASSERT_TRUE(platform::writeFileAtomically(earlier, "old\r\n"));
    // A day later by the process clock.
    const QDateTime later = platform::Clock::now().addSecs(86400);
    platform::Clock::setSource([later] { return later; });
    addLogger();
    DDLogInfo(QStringLiteral("next day"));
    DDLog::flushLog();
    platform::Clock::setSource({});

    EXPECT_TRUE(isArchived(earlier));
    EXPECT_EQ(contents(earlier), QByteArray("old\r\n"));
    EXPECT_EQ(manager->unsortedLogFilePaths().size(), 2);
    EXPECT_EQ(stampedTexts(newestContents()), QStringList{QStringLiteral("next day")});
}

TEST_F(FileLoggerFixture, AgeTimerClosesTheFileWithoutAnyMessage)
{
    logger->setRollingFrequency(0.2);
    addLogger();
    DDLogInfo(QStringLiteral("first"));
    DDLog::flushLog();
    const QString first = manager->sortedLogFilePaths().front();
    ASSERT_TRUE(testsupport::waitUntil([&first] { return isArchived(first); }))
        << "the age timer never closed " << first.toStdString();

    DDLogInfo(QStringLiteral("second"));
    DDLog::flushLog();
    const QStringList paths = manager->sortedLogFilePaths();
    ASSERT_GE(paths.size(), 2);
    EXPECT_NE(paths.front(), first);
    EXPECT_EQ(stampedTexts(contents(first)), QStringList{QStringLiteral("first")});
}

TEST_F(FileLoggerFixture, ANewAgeLimitIsAppliedAtOnce)
{
    addLogger();
    DDLogInfo(QStringLiteral("today"));
    DDLog::flushLog();
    const QString first = manager->sortedLogFilePaths().front();

    const QDateTime later = platform::Clock::now().addSecs(86400);
    platform::Clock::setSource([later] { return later; });
    logger->setRollingFrequency(86400);
    DDLog::flushLog();
    platform::Clock::setSource({});
    EXPECT_TRUE(isArchived(first));
}

TEST_F(FileLoggerFixture, FileRemovedByHandIsNoticedAndItsMessageIsKept)
{
    addLogger();
    DDLogInfo(QStringLiteral("before removal"));
    DDLog::flushLog();
    const QString removed = manager->sortedLogFilePaths().front();
    ASSERT_TRUE(QFile::remove(removed));

    DDLogInfo(QStringLiteral("noticed the removal"));
    DDLogInfo(QStringLiteral("after removal"));
    DDLog::flushLog();

    const QStringList paths = manager->sortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1);
    EXPECT_NE(paths.front(), removed);
    const QByteArray written = contents(paths.front());
    EXPECT_TRUE(written.startsWith("[SYSTEM INFO]\r\n"));
    EXPECT_EQ(stampedTexts(written),
              (QStringList{QStringLiteral("noticed the removal"), QStringLiteral("after removal")}));
}

TEST_F(FileLoggerFixture, SynchronizeBlockLandsAfterEarlierMessages)
{
    addLogger();
    DDLogInfo(QStringLiteral("checking configuration"));
    logger->writeUpdatedSystemInfo(QStringLiteral("Outlook 2016"), QStringLiteral(" 42.5 MB"),
                                   QStringLiteral("1024.0 MB"));
    DDLogInfo(QStringLiteral("sync starts"));
    DDLog::flushLog();

    const QString written = QString::fromUtf8(newestContents());
    const qsizetype block = written.indexOf(QStringLiteral("[Synchronize button pressed]\r\nSystem Version: "));
    ASSERT_GE(block, 0) << written.toStdString();
    EXPECT_LT(written.indexOf(QStringLiteral("checking configuration")), block);
    EXPECT_GT(written.indexOf(QStringLiteral("sync starts")), block);
    EXPECT_TRUE(written.contains(QStringLiteral("\r\nContact Manager: Outlook 2016\r\nApplication Memory:  42.5 MB\r\n"
                                                "Free Memory: 1024.0 MB\r\n")));
    EXPECT_TRUE(written.contains(QStringLiteral("\r\nHarrowmere Version: Version ")));
}

TEST_F(FileLoggerFixture, SettingsReadBackAfterTheyWereChanged)
{
    EXPECT_EQ(logger->maximumFileSize(), 1048576U);
    EXPECT_EQ(logger->rollingFrequency(), 86400.0);
    logger->setMaximumFileSize(20971520);
    logger->setRollingFrequency(3600);
    EXPECT_EQ(logger->maximumFileSize(), 20971520U);
    EXPECT_EQ(logger->rollingFrequency(), 3600.0);
    EXPECT_EQ(logger->loggerName(), QStringLiteral("cocoa.lumberjack.fileLogger"));
    EXPECT_EQ(logger->loggerQueue()->label(), QStringLiteral("cocoa.lumberjack.fileLogger"));
}

TEST_F(FileLoggerFixture, RemovingOrRollingTheLoggerFinishesItsFile)
{
    addLogger();
    DDLogInfo(QStringLiteral("one"));
    logger->rollLogFile();
    DDLogInfo(QStringLiteral("two"));
    DDLog::removeLogger(logger);
    DDLog::flushLog();
    ASSERT_TRUE(testsupport::waitUntil([this] {
        const QStringList paths = manager->sortedLogFilePaths();
        return paths.size() == 2 && isArchived(paths[0]) && isArchived(paths[1]);
    })) << "both files should end up finished";
    const QStringList paths = manager->sortedLogFilePaths();
    EXPECT_EQ(stampedTexts(contents(paths[1])), QStringList{QStringLiteral("one")});
    EXPECT_EQ(stampedTexts(contents(paths[0])), QStringList{QStringLiteral("two")});
}

TEST_F(FileLoggerFixture, NeverWritesThroughALinkAndRollsPastWhatCannotBeOpened)
{
    // Left by someone else in the log folder before the run: a link under a log file's name pointing
    // outside, and a folder under another.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString outside = elsewhere.filePath(QStringLiteral("victim.txt"));
    ASSERT_TRUE(platform::writeFileAtomically(outside, "untouched").ok());
    ASSERT_TRUE(QDir().mkpath(logsPath() + QStringLiteral("/log-00000F.txt")));
    ASSERT_TRUE(QFile::link(outside, logsPath() + QStringLiteral("/log-ABCDEF.txt")));
    addLogger();
    DDLogInfo(QStringLiteral("first"));
    DDLog::flushLog();
    EXPECT_EQ(contents(outside), QByteArray("untouched"));
    QStringList paths = manager->sortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1);
    const QString firstFile = paths.front();
    EXPECT_EQ(stampedTexts(contents(firstFile)), QStringList{QStringLiteral("first")});

    // During the run a folder, then a link, takes the current file's place: logging goes on in a new
    // file each time and never lands outside.
    ASSERT_TRUE(QFile::remove(firstFile));
    ASSERT_TRUE(QDir().mkdir(firstFile));
    DDLogInfo(QStringLiteral("second"));
    DDLog::flushLog();
    paths = manager->sortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1);
    const QString secondFile = paths.front();
    EXPECT_NE(secondFile, firstFile);
    EXPECT_EQ(stampedTexts(contents(secondFile)), QStringList{QStringLiteral("second")});

    ASSERT_TRUE(QFile::remove(secondFile));
    ASSERT_TRUE(QFile::link(outside, secondFile));
    DDLogInfo(QStringLiteral("third"));
    DDLogInfo(QStringLiteral("fourth"));
    DDLog::flushLog();
    EXPECT_EQ(contents(outside), QByteArray("untouched"));
    paths = manager->sortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1);
    EXPECT_EQ(stampedTexts(contents(paths.front())), (QStringList{QStringLiteral("third"), QStringLiteral("fourth")}));
}

TEST_F(FileLoggerFixture, TheLogFolderAndItsFilesAreTheOwnersOnly)
{
    const mode_t previous = ::umask(0);
    addLogger();
    DDLogInfo(QStringLiteral("may quote a record"));
    DDLog::flushLog();
    ::umask(previous);
    const auto modeOf = [](const QString &path) { return QFileInfo(path).permissions(); };
    EXPECT_EQ(modeOf(logsPath()), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                      QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    const QStringList paths = manager->sortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1);
    EXPECT_EQ(modeOf(paths.front()),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
}
