#include "foundation/Lumberjack/DDASLLogger.h"
#include "foundation/Lumberjack/DDAbstractDatabaseLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogMessage.h"
#include "foundation/Lumberjack/DDTTYLogger.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ProcessInfo.h"
#include "support/TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// A database logger over a list in memory: db_log takes every message, db_save moves the pending
// ones to the stored list, db_delete empties the stored list.
class MemoryDatabaseLogger final : public DDAbstractDatabaseLogger
{
public:
    MemoryDatabaseLogger()
        : DDAbstractDatabaseLogger(QStringLiteral("test.database"))
    {
    }

    int saveCount() const { return m_saveCount; }
    int deleteCount() const { return m_deleteCount; }
    QStringList stored() const
    {
        const std::lock_guard lock(m_mutex);
        return m_stored;
    }

protected:
    bool db_log(const DDLogMessage &logMessage) override
    {
        const std::lock_guard lock(m_mutex);
        m_pending.append(logMessage.logMsg());
        return true;
    }
    void db_save() override
    {
        const std::lock_guard lock(m_mutex);
        m_stored += m_pending;
        m_pending.clear();
        ++m_saveCount;
    }
    void db_delete() override
    {
        const std::lock_guard lock(m_mutex);
        m_stored.clear();
        ++m_deleteCount;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_pending;
    QStringList m_stored;
    std::atomic<int> m_saveCount{0};
    std::atomic<int> m_deleteCount{0};
};

class DatabaseLogger : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ddLogLevel = LOG_LEVEL_INFO;
        DDLog::addLogger(logger);
    }
    void TearDown() override
    {
        DDLog::removeAllLoggers();
        DDLog::flushLog();
        ddLogLevel = LOG_LEVEL_OFF;
    }

    std::shared_ptr<MemoryDatabaseLogger> logger = std::make_shared<MemoryDatabaseLogger>();
};

} // namespace

TEST_F(DatabaseLogger, SavesWhenTheThresholdIsReached)
{
    logger->setSaveThreshold(3);
    EXPECT_EQ(logger->saveThreshold(), 3U);
    DDLogInfo(QStringLiteral("one"));
    DDLogInfo(QStringLiteral("two"));
    DDLogError(QStringLiteral("three"));
    EXPECT_EQ(logger->stored(), (QStringList{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
    DDLogError(QStringLiteral("four"));
    EXPECT_EQ(logger->saveCount(), 1);

    logger->setSaveThreshold(1);
    EXPECT_EQ(logger->saveThreshold(), 1U);
    EXPECT_EQ(logger->stored().size(), 4) << "a lower threshold saves what already reaches it";
}

TEST_F(DatabaseLogger, SaveTimerSavesAMessageThatWaitedTooLong)
{
    logger->setSaveInterval(0.05);
    DDLogInfo(QStringLiteral("lonely"));
    ASSERT_TRUE(testsupport::waitUntil([this] { return logger->stored() == QStringList{QStringLiteral("lonely")}; }))
        << "the save timer never saved";
    const int savesAfterFirst = logger->saveCount();
    DDLogInfo(QStringLiteral("second"));
    ASSERT_TRUE(testsupport::waitUntil([this] { return logger->stored().size() == 2; }));
    EXPECT_EQ(logger->saveCount(), savesAfterFirst + 1);
}

TEST_F(DatabaseLogger, FlushAndRemovalSaveWhatIsPending)
{
    DDLogInfo(QStringLiteral("pending"));
    DDLog::flushLog();
    EXPECT_EQ(logger->stored(), QStringList{QStringLiteral("pending")});

    DDLogInfo(QStringLiteral("at removal"));
    DDLog::removeLogger(logger);
    DDLog::flushLog();
    ASSERT_TRUE(testsupport::waitUntil([this] { return logger->stored().size() == 2; }));
}

TEST_F(DatabaseLogger, ShorterMaxAgeDeletesAtOnceAndDeleteTimerRepeats)
{
    DDLogInfo(QStringLiteral("old entry"));
    DDLog::flushLog();
    ASSERT_EQ(logger->stored().size(), 1);

    logger->setMaxAge(60);
    EXPECT_EQ(logger->maxAge(), 60.0);
    EXPECT_TRUE(logger->stored().isEmpty());
    EXPECT_EQ(logger->deleteCount(), 1);

    logger->setDeleteInterval(0.05);
    ASSERT_TRUE(testsupport::waitUntil([this] { return logger->deleteCount() >= 3; })) << "the delete timer stopped";
    logger->setMaxAge(0);
    const int deletesWhenOff = logger->deleteCount();
    logger->deleteOldLogEntries();
    EXPECT_EQ(logger->maxAge(), 0.0);
    EXPECT_LE(logger->deleteCount(), deletesWhenOff + 1) << "no deletion runs without an age";
}

TEST(DDASLLogger, OneInstanceAndSystemLogPriorities)
{
    EXPECT_EQ(DDASLLogger::sharedInstance(), DDASLLogger::sharedInstance());
    EXPECT_EQ(DDASLLogger::sharedInstance()->loggerName(), QStringLiteral("cocoa.lumberjack.aslLogger"));
    EXPECT_EQ(DDASLLogger::priorityForLogLevel(1), LOG_CRIT);
    EXPECT_EQ(DDASLLogger::priorityForLogLevel(2), LOG_ERR);
    EXPECT_EQ(DDASLLogger::priorityForLogLevel(3), LOG_WARNING);
    EXPECT_EQ(DDASLLogger::priorityForLogLevel(7), LOG_NOTICE);

    const DDLogMessage message(QStringLiteral("to the system log"), 1, 1, 0, __FILE__, __func__, __LINE__, nullptr);
    DDASLLogger::sharedInstance()->loggerQueue()->sync([&message] { DDASLLogger::sharedInstance()->logMessage(message); });
}

// Standard error becomes the far end of a pseudo-terminal, so the terminal logger writes and the
// test reads what a user would see.
TEST(DDTTYLogger, WritesStampedLinesToATerminal)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const int savedError = ::dup(STDERR_FILENO);
    ASSERT_EQ(::dup2(terminal, STDERR_FILENO), STDERR_FILENO);

    const std::shared_ptr<DDTTYLogger> logger = DDTTYLogger::sharedInstance();
    const DDLogMessage message(QStringLiteral("Logon OK"), 7, 4, 0, __FILE__, __func__, __LINE__, nullptr);
    logger->loggerQueue()->sync([&] { logger->logMessage(message); });

    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    EXPECT_TRUE(logger->isaTTY());

    QByteArray output;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        char buffer[512];
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        const ssize_t count = ::read(master, buffer, sizeof buffer);
        if (count > 0)
            output.append(buffer, count);
        return output.contains('\n');
    }));
    ::close(terminal);
    ::close(master);

    const QRegularExpression line(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} %1\\[%2:[0-9a-f]{1,8}\\] "
                                                 "Logon OK\r?\n$")
                                      .arg(platform::ProcessInfo::processName())
                                      .arg(platform::ProcessInfo::processIdentifier()));
    EXPECT_TRUE(line.match(QString::fromUtf8(output)).hasMatch()) << output.toStdString();
}
