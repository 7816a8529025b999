#include "ConsoleLines.h"
#include "SqliteShell.h"

#include "outlook/sqlite/FMDatabasePool.h"
#include "outlook/sqlite/FMDatabasePoolDelegate.h"

#include "platform/dispatch/DispatchQueue.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Answers the pool as told and counts the databases it was told about.
class RecordingDelegate final : public FMDatabasePoolDelegate
{
public:
    bool databasePoolShouldAddDatabaseToPool(FMDatabasePool *, const std::shared_ptr<FMDatabase> &database) override
    {
        EXPECT_NE(database->sqliteHandle(), nullptr) << "asked about an open database";
        return m_shouldAdd;
    }
    void databasePoolDidAddDatabase(FMDatabasePool *, const std::shared_ptr<FMDatabase> &) override { ++m_added; }

    bool m_shouldAdd = true;
    int m_added = 0;
};

class SqlitePoolTest : public testing::Test
{
protected:
    QString path() const { return m_folder.filePath(QStringLiteral("pool.sqlite")); }

    QTemporaryDir m_folder;
};

TEST_F(SqlitePoolTest, OpensNothingUntilADatabaseIsTaken)
{
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(path());
    EXPECT_EQ(pool->countOfOpenDatabases(), 0);
    EXPECT_FALSE(QFileInfo::exists(path()));
    std::shared_ptr<FMDatabase> db = pool->db();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(QFileInfo(path()).isFile());
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 1);
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 0);
    pool->releaseAllDatabases();
    EXPECT_EQ(pool->countOfOpenDatabases(), 0);
}

TEST_F(SqlitePoolTest, KeepsToItsMaximumAndRefusesADoubleReturn)
{
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(path());
    pool->setMaximumNumberOfDatabasesToCreate(1);
    std::shared_ptr<FMDatabase> first = pool->db();
    ASSERT_NE(first, nullptr);

    ConsoleLines console;
    EXPECT_EQ(pool->db(), nullptr);
    EXPECT_EQ(console.messages(),
              QStringList{QStringLiteral("Maximum number of databases (1) has already been reached!")});

    EXPECT_TRUE(pool->pushDatabaseBackInPool(first).ok());
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 1);
    const platform::Status again = pool->pushDatabaseBackInPool(first);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().message(),
              QStringLiteral("Database already in pool: The FMDatabase being put back into the "
                             "pool is already present in the pool"));
    EXPECT_EQ(pool->countOfOpenDatabases(), 1);

    EXPECT_EQ(pool->db(), first) << "the idle database is handed out again";
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 1);
}

TEST_F(SqlitePoolTest, AsksItsDelegateBeforeHandingOut)
{
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(path());
    RecordingDelegate delegate;
    pool->setDelegate(&delegate);
    std::shared_ptr<FMDatabase> db = pool->db();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(delegate.m_added, 1);
    ASSERT_TRUE(pool->pushDatabaseBackInPool(db).ok());

    delegate.m_shouldAdd = false;
    EXPECT_EQ(pool->db(), nullptr);
    EXPECT_EQ(db->sqliteHandle(), nullptr) << "a refused database is closed";
    EXPECT_EQ(pool->countOfOpenDatabases(), 0);
    bool wasCalled = false;
    pool->inDatabase([&](const std::shared_ptr<FMDatabase> &given) {
        wasCalled = true;
        EXPECT_EQ(given, nullptr);
    });
    EXPECT_TRUE(wasCalled);
    EXPECT_EQ(delegate.m_added, 1) << "a refused database was never added";
    pool->setDelegate(nullptr);
}

TEST_F(SqlitePoolTest, ReportsADatabaseThatCannotOpen)
{
    const QString missing = m_folder.filePath(QStringLiteral("missing/pool.sqlite"));
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(missing);
    ConsoleLines console;
    EXPECT_EQ(pool->db(), nullptr);
    EXPECT_EQ(console.count(QStringLiteral("Could not open up the database at path ") + missing), 1);
    EXPECT_EQ(pool->countOfOpenDatabases(), 0);
}

TEST_F(SqlitePoolTest, RunsTransactionsAndSavepointsOnPooledDatabases)
{
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(path());
    pool->inDatabase([](const std::shared_ptr<FMDatabase> &db) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t (v)")));
    });
    pool->inTransaction([](const std::shared_ptr<FMDatabase> &db, bool *) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES ('committed')")));
    });
    pool->inDeferredTransaction([](const std::shared_ptr<FMDatabase> &db, bool *rollback) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES ('rolled back')")));
        *rollback = true;
    });
    EXPECT_FALSE(pool->inSavePoint([](const std::shared_ptr<FMDatabase> &db, bool *rollback) {
                         EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES ('savepoint')")));
                         *rollback = true;
                     })
                     .has_value());
    EXPECT_EQ(runSqliteShell(path(), QStringLiteral("SELECT v FROM t")), QStringList{QStringLiteral("committed")});
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0);
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 1) << "one database served every call in turn";

    QString label;
    pool->executeLocked([&] { label = platform::DispatchQueue::currentLabel(); });
    EXPECT_EQ(label, QStringLiteral("fmdb.") + pool->description());
}

TEST_F(SqlitePoolTest, GivesEachThreadADatabaseOfItsOwn)
{
    std::shared_ptr<FMDatabasePool> pool = FMDatabasePool::databasePoolWithPath(path());
    pool->inDatabase([](const std::shared_ptr<FMDatabase> &db) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t (v)")));
    });
    constexpr int kThreads = 4;
    constexpr int kRowsEach = 10;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&pool, thread] {
            for (int row = 0; row < kRowsEach; ++row) {
                pool->inDatabase([&](const std::shared_ptr<FMDatabase> &db) {
                    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES (?)"), thread * 1000 + row));
                });
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0);
    EXPECT_LE(pool->countOfCheckedInDatabases(), kThreads);
    EXPECT_EQ(runSqliteShell(path(), QStringLiteral("SELECT count(DISTINCT v) FROM t")),
              QStringList{QString::number(kThreads * kRowsEach)});
}

} // namespace
