#include "ConsoleLines.h"
#include "SqliteShell.h"

#include "outlook/sqlite/FMDatabaseQueue.h"
#include "outlook/sqlite/FMResultSet.h"

#include "platform/dispatch/DispatchQueue.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class SqliteQueueTest : public testing::Test
{
protected:
    // A queue over a new file holding the table "t" (id, v).
    std::shared_ptr<FMDatabaseQueue> makeQueue(const QString &path)
    {
        std::shared_ptr<FMDatabaseQueue> queue = FMDatabaseQueue::databaseQueueWithPath(path);
        if (queue) {
            queue->inDatabase([](const std::shared_ptr<FMDatabase> &db) {
                EXPECT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, v)")));
            });
        }
        return queue;
    }

    QTemporaryDir m_folder;
};

TEST_F(SqliteQueueTest, IsNotMadeWhenItsDatabaseCannotOpen)
{
    ConsoleLines console;
    const QString path = m_folder.filePath(QStringLiteral("missing/folder/x.sqlite"));
    EXPECT_EQ(FMDatabaseQueue::databaseQueueWithPath(path), nullptr);
    EXPECT_EQ(console.count(QStringLiteral("Could not create database queue for path ") + path), 1);
}

TEST_F(SqliteQueueTest, RunsWorkOnItsOwnQueueAndReopensAfterClose)
{
    std::shared_ptr<FMDatabaseQueue> queue = makeQueue(m_folder.filePath(QStringLiteral("q.sqlite")));
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->openFlags(), 6);
    std::shared_ptr<FMDatabase> first;
    queue->inDatabase([&](const std::shared_ptr<FMDatabase> &db) {
        EXPECT_EQ(platform::DispatchQueue::currentLabel(), QStringLiteral("fmdb.") + queue->description());
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('before close')")));
        first = db;
    });
    queue->close();
    EXPECT_EQ(first->sqliteHandle(), nullptr);

    queue->inDatabase([&](const std::shared_ptr<FMDatabase> &db) {
        ASSERT_NE(db, nullptr);
        EXPECT_NE(db, first);
        EXPECT_EQ(db->stringForQuery(QStringLiteral("SELECT v FROM t")), QStringLiteral("before close"));
    });
}

TEST_F(SqliteQueueTest, HandsOutNothingWhenTheReopenFails)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("q.sqlite"));
    std::shared_ptr<FMDatabaseQueue> queue = makeQueue(path);
    ASSERT_NE(queue, nullptr);
    queue->close();
    ASSERT_TRUE(folder.remove());

    ConsoleLines console;
    bool wasCalled = false;
    queue->inDatabase([&](const std::shared_ptr<FMDatabase> &db) {
        wasCalled = true;
        EXPECT_EQ(db, nullptr);
    });
    EXPECT_TRUE(wasCalled);
    const std::optional<platform::PlatformError> error =
        queue->inSavePoint([](const std::shared_ptr<FMDatabase> &, bool *) { ADD_FAILURE() << "no database to use"; });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), QStringLiteral("FMDatabase"));
    EXPECT_GE(console.count(QStringLiteral("FMDatabaseQueue could not reopen database for path ") + path), 2);
}

TEST_F(SqliteQueueTest, TransactionsCommitOrRollBackAsTheWorkAsks)
{
    std::shared_ptr<FMDatabaseQueue> queue = makeQueue(m_folder.filePath(QStringLiteral("q.sqlite")));
    ASSERT_NE(queue, nullptr);
    queue->inTransaction([](const std::shared_ptr<FMDatabase> &db, bool *) {
        EXPECT_TRUE(db->inTransaction());
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('committed')")));
    });
    queue->inDeferredTransaction([](const std::shared_ptr<FMDatabase> &db, bool *rollback) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('rolled back')")));
        *rollback = true;
    });
    const std::optional<platform::PlatformError> error =
        queue->inSavePoint([](const std::shared_ptr<FMDatabase> &db, bool *rollback) {
            EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('savepoint')")));
            *rollback = true;
        });
    EXPECT_FALSE(error.has_value());
    EXPECT_EQ(runSqliteShell(queue->path(), QStringLiteral("SELECT v FROM t")),
              QStringList{QStringLiteral("committed")});
}

TEST_F(SqliteQueueTest, SharesOneConnectionBetweenThreads)
{
    std::shared_ptr<FMDatabaseQueue> queue = makeQueue(m_folder.filePath(QStringLiteral("q.sqlite")));
    ASSERT_NE(queue, nullptr);
    constexpr int kThreads = 4;
    constexpr int kRowsEach = 10;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&queue, thread] {
            for (int row = 0; row < kRowsEach; ++row) {
                queue->inTransaction([&](const std::shared_ptr<FMDatabase> &db, bool *) {
                    db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (?)"), thread * 1000 + row);
                });
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    queue->inDatabase([&](const std::shared_ptr<FMDatabase> &db) {
        EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT count(DISTINCT v) FROM t")), kThreads * kRowsEach);
    });
}

TEST_F(SqliteQueueTest, WarnsAboutACursorLeftOpen)
{
    std::shared_ptr<FMDatabaseQueue> queue = makeQueue(m_folder.filePath(QStringLiteral("q.sqlite")));
    ASSERT_NE(queue, nullptr);
    std::shared_ptr<FMResultSet> leftOpen;
    ConsoleLines console;
    queue->inDatabase(
        [&](const std::shared_ptr<FMDatabase> &db) { leftOpen = db->executeQuery(QStringLiteral("SELECT 1")); });
    EXPECT_EQ(console.messages(), QStringList{QStringLiteral("Warning: there is at least one open result set around "
                                                             "after performing [FMDatabaseQueue inDatabase:]")});
}

#ifndef NDEBUG

TEST(SqliteQueueDeathTest, StopsWorkThatCallsItsOwnQueue)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::shared_ptr<FMDatabaseQueue> queue = FMDatabaseQueue::databaseQueueWithPath();
            queue->inDatabase([&](const std::shared_ptr<FMDatabase> &) {
                queue->inDatabase([](const std::shared_ptr<FMDatabase> &) {});
            });
        },
        "inDatabase: was called reentrantly on the same queue, which would lead to a deadlock");
}

#endif

} // namespace
