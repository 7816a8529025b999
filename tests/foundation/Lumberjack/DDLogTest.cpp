#include "foundation/Lumberjack/DDAbstractLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFormatter.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace {

// A logger that keeps what reached it, with the formatter's text when one is set.
class RecordingLogger final : public DDAbstractLogger
{
public:
    RecordingLogger()
        : DDAbstractLogger(QStringLiteral("test.recording"))
    {
    }

    void logMessage(const DDLogMessage &logMessage) override
    {
        QString text = logMessage.logMsg();
        if (m_formatter)
            text = m_formatter->formatLogMessage(logMessage);
        const std::lock_guard lock(m_mutex);
        m_texts.append(text);
        m_flags.append(logMessage.logFlag());
        m_queueLabels.append(QString::fromStdString(logMessage.queueLabel()));
        m_ranOnOwnQueue = m_ranOnOwnQueue && isOnLoggerQueue();
    }
    void didAddLogger() override { ++m_addedCount; }
    void willRemoveLogger() override { ++m_removedCount; }
    void flush() override { ++m_flushCount; }

    QStringList texts() const
    {
        const std::lock_guard lock(m_mutex);
        return m_texts;
    }
    QList<int> flags() const
    {
        const std::lock_guard lock(m_mutex);
        return m_flags;
    }
    QStringList queueLabels() const
    {
        const std::lock_guard lock(m_mutex);
        return m_queueLabels;
    }
    bool ranOnOwnQueue() const { return m_ranOnOwnQueue; }
    int addedCount() const { return m_addedCount; }
    int removedCount() const { return m_removedCount; }
    int flushCount() const { return m_flushCount; }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
    QList<int> m_flags;
    QStringList m_queueLabels;
    std::atomic<bool> m_ranOnOwnQueue{true};
    std::atomic<int> m_addedCount{0};
    std::atomic<int> m_removedCount{0};
    std::atomic<int> m_flushCount{0};
};

class UpperCaseFormatter final : public DDLogFormatter
{
public:
    QString formatLogMessage(const DDLogMessage &logMessage) override { return logMessage.logMsg().toUpper(); }
};

class LogLevels : public ::testing::Test
{
protected:
    void SetUp() override { DDLog::addLogger(logger); }
    void TearDown() override
    {
        DDLog::removeAllLoggers();
        DDLog::flushLog();
        ddLogLevel = LOG_LEVEL_OFF;
    }

    void logOneOfEach()
    {
        DDLogError(QStringLiteral("error"));
        DDLogWarn(QStringLiteral("warn"));
        DDLogInfo(QStringLiteral("info"));
        DDLogVerbose(QStringLiteral("verbose"));
        DDLog::flushLog();
    }

    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
};

} // namespace

TEST_F(LogLevels, EachLevelLetsThroughItsFlagAndTheMoreSevereOnes)
{
    struct Row
    {
        int32_t level;
        QStringList logged;
    };
    const Row rows[] = {
        {LOG_LEVEL_OFF, {}},
        {LOG_LEVEL_ERROR, {QStringLiteral("error")}},
        {LOG_LEVEL_WARN, {QStringLiteral("error"), QStringLiteral("warn")}},
        {LOG_LEVEL_INFO, {QStringLiteral("error"), QStringLiteral("warn"), QStringLiteral("info")}},
        {LOG_LEVEL_VERBOSE,
         {QStringLiteral("error"), QStringLiteral("warn"), QStringLiteral("info"), QStringLiteral("verbose")}},
    };
    QStringList expected;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.level);
        ddLogLevel = row.level;
        logOneOfEach();
        expected += row.logged;
        EXPECT_EQ(logger->texts(), expected);
    }
    EXPECT_EQ(logger->flags().mid(logger->flags().size() - 4), (QList<int>{1, 2, 4, 8}));
    EXPECT_TRUE(logger->ranOnOwnQueue());
}

TEST_F(LogLevels, NullMessageLogsNothing)
{
    ddLogLevel = LOG_LEVEL_VERBOSE;
    DDLogInfo(QString());
    DDLogInfo(QStringLiteral(""));
    DDLog::flushLog();
    EXPECT_EQ(logger->texts(), QStringList{QStringLiteral("")});
}

TEST_F(LogLevels, MessageKnowsTheQueueItWasLoggedOn)
{
    ddLogLevel = LOG_LEVEL_INFO;
    const auto syncQueue = platform::DispatchQueue::createSerial(QStringLiteral("com.harrowmere.test.syncqueue"));
    syncQueue->sync([] { DDLogInfo(QStringLiteral("from the queue")); });
    DDLogInfo(QStringLiteral("from the test thread"));
    DDLog::flushLog();
    EXPECT_EQ(logger->queueLabels(), (QStringList{QStringLiteral("com.harrowmere.test.syncqueue"), QString()}));
}

TEST_F(LogLevels, LoggersAreToldOfAddingFlushingAndRemoval)
{
    DDLog::flushLog();
    EXPECT_EQ(logger->addedCount(), 1);
    EXPECT_EQ(logger->flushCount(), 1);
    ddLogLevel = LOG_LEVEL_INFO;
    DDLog::removeLogger(logger);
    DDLogInfo(QStringLiteral("after removal"));
    DDLog::flushLog();
    // The flush reaches only the loggers still registered; the removal notice was queued on the
    // removed logger's own queue before the flush ended, so one block there waits for it.
    logger->loggerQueue()->sync([] {});
    EXPECT_EQ(logger->removedCount(), 1);
    EXPECT_TRUE(logger->texts().isEmpty());
}

TEST_F(LogLevels, TheSameLoggerAddedTwiceHearsEveryMessageTwice)
{
    DDLog::addLogger(logger);
    ddLogLevel = LOG_LEVEL_INFO;
    DDLogInfo(QStringLiteral("twice"));
    DDLog::flushLog();
    EXPECT_EQ(logger->texts(), (QStringList{QStringLiteral("twice"), QStringLiteral("twice")}));
}

TEST_F(LogLevels, FormatterSetFromAnotherThreadAppliesToLaterMessages)
{
    ddLogLevel = LOG_LEVEL_INFO;
    DDLogInfo(QStringLiteral("plain"));
    const auto formatter = std::make_shared<UpperCaseFormatter>();
    logger->setLogFormatter(formatter);
    DDLogInfo(QStringLiteral("shouted"));
    DDLog::flushLog();
    EXPECT_EQ(logger->logFormatter(), formatter);
    EXPECT_EQ(logger->texts(), (QStringList{QStringLiteral("plain"), QStringLiteral("SHOUTED")}));
}

TEST_F(LogLevels, WillTerminateNotificationFlushesEveryEarlierMessageAndLetsTheLoggersGo)
{
    ddLogLevel = LOG_LEVEL_INFO;
    for (int index = 0; index < 500; ++index)
        DDLogInfo(QStringLiteral("line %1").arg(index));
    platform::NotificationCenter::defaultCenter().postNotificationName(
        QStringLiteral("NSApplicationWillTerminateNotification"));
    EXPECT_EQ(logger->texts().size(), 500);
    EXPECT_GE(logger->flushCount(), 1);

    // A thread still running while the process ends logs into nothing: the loggers' statics may be gone.
    std::thread late([] { DDLogInfo(QStringLiteral("after the end")); });
    late.join();
    DDLog::flushLog();
    EXPECT_EQ(logger->texts().size(), 500);
    EXPECT_EQ(logger->removedCount(), 0);
}

TEST(DDLog, ClassLevelsAnswerOnlyForRegisteredClasses)
{
    EXPECT_EQ(DDLog::logLevelForClassWithName(QStringLiteral("HMSyncController")), -1);
    EXPECT_FALSE(DDLog::isRegisteredClass(QStringLiteral("HMSyncController")));
    DDLog::setLogLevelForClassWithName(15, QStringLiteral("HMSyncController"));
    EXPECT_TRUE(DDLog::registeredClassNames().isEmpty());

    int32_t classLevel = 3;
    DDLog::registerClass(
        QStringLiteral("HMTestClass"), [&classLevel] { return classLevel; },
        [&classLevel](int32_t level) { classLevel = level; });
    EXPECT_EQ(DDLog::logLevelForClassWithName(QStringLiteral("HMTestClass")), 3);
    DDLog::setLogLevelForClassWithName(15, QStringLiteral("HMTestClass"));
    EXPECT_EQ(classLevel, 15);
    EXPECT_EQ(DDLog::registeredClassNames(), QStringList{QStringLiteral("HMTestClass")});
}

TEST(DDLogMessage, FileNameWithoutExtension)
{
    struct Row
    {
        const char *name;
        const char *path;
        const char *expected;
    };
    const Row rows[] = {
        {"folder, name and extension", "/work/src/sync/HMSyncController.cpp", "HMSyncController"},
        {"no slash", "HMSyncController.cpp", "HMSyncController"},
        {"no dot", "/work/src/Makefile", "Makefile"},
        {"two dots", "/work/archive.tar.gz", "archive.tar"},
        {"dot only in a folder", "/work/v1.2/README", "README"},
        {"trailing slash", "/work/src/", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DDFileNameWithoutExtension(row.path), QString::fromUtf8(row.expected));
    }
    EXPECT_TRUE(DDFileNameWithoutExtension(nullptr).isNull());
}

TEST(DDLogMessage, DerivedFieldsComeFromTheCallSite)
{
    const DDLogMessage message(QStringLiteral("text"), 7, 4, 0, "/src/foundation/HMDateUtilities.cpp",
                               "dateFromString", 42, nullptr);
    EXPECT_EQ(message.fileName(), QStringLiteral("HMDateUtilities"));
    EXPECT_EQ(message.methodName(), QStringLiteral("dateFromString"));
    EXPECT_EQ(message.lineNumber(), 42);
    EXPECT_EQ(message.logLevel(), 7);
    EXPECT_EQ(message.logFlag(), 4);
    EXPECT_TRUE(message.timestamp().isValid());
    EXPECT_EQ(message.threadID(), QString::number(message.machThreadID(), 16));
    EXPECT_NE(message.machThreadID(), 0U);

    const DDLogMessage bare(QStringLiteral("text"), 1, 1, 0, nullptr, nullptr, 0, nullptr);
    EXPECT_TRUE(bare.fileName().isNull());
    EXPECT_TRUE(bare.methodName().isNull());
}
