#include "SqliteShell.h"

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMResultSet.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kWriterVariable[] = "HM_SQLITE_KILL_WRITER";
constexpr int kItemsPerBatch = 10;
constexpr int kMostBatches = 100000;
constexpr int kDeadlineMs = 20000;

// The writer run in a child process: batches of records, one transaction each, each commit announced
// on standard output, until the parent kills it. Answers the process's exit status on a failure.
int writeBatchesUntilKilled(const QString &path)
{
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(path);
    if (!db->open() || !db->executeUpdate(QStringLiteral("CREATE TABLE IF NOT EXISTS records (batch, item, payload)")))
        return 1;
    const int firstBatch = db->intForQuery(QStringLiteral("SELECT coalesce(max(batch) + 1, 0) FROM records"));
    for (int batch = firstBatch; batch < kMostBatches; ++batch) {
        bool isWritten = db->beginTransaction();
        for (int item = 0; isWritten && item < kItemsPerBatch; ++item) {
            isWritten = db->executeUpdate(QStringLiteral("INSERT INTO records VALUES (?, ?, ?)"), batch, item,
                                          QByteArray(512, char('a' + item)));
        }
        if (!isWritten || !db->commit())
            return 1;
        std::printf("committed %d\n", batch);
        std::fflush(stdout);
    }
    return 0;
}

// The test executable started with the variable set is the writer and nothing else.
const bool s_isWriterProcess = [] {
    const QString path = qEnvironmentVariable(kWriterVariable);
    if (path.isEmpty())
        return false;
    std::_Exit(writeBatchesUntilKilled(path));
}();

// Starts the writer on the file and kills it (SIGKILL) once it has announced the given number of
// commits; answers how many it announced.
int runWriterUntilKilled(const QString &path, int commitsBeforeKill)
{
    QProcess writer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kWriterVariable), path);
    writer.setProcessEnvironment(environment);
    writer.start(QStringLiteral("/proc/self/exe"), {});
    int commits = 0;
    while (commits < commitsBeforeKill && writer.waitForReadyRead(kDeadlineMs)) {
        while (writer.canReadLine())
            commits += writer.readLine().startsWith("committed ") ? 1 : 0;
    }
    writer.kill();
    writer.waitForFinished(kDeadlineMs);
    return commits;
}

// Kills the writer at different points, several times over the same file: every batch that was
// announced is there whole, no record is there twice, and the file stays sound.
TEST(SqliteKillTest, KilledWritersLeaveWholeBatchesOnly)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("records.sqlite"));
    int announced = 0;
    for (const int commitsBeforeKill : {1, 0, 3, 2}) {
        SCOPED_TRACE(commitsBeforeKill);
        const int commits = runWriterUntilKilled(path, commitsBeforeKill);
        ASSERT_GE(commits, commitsBeforeKill);
        announced += commits;

        std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(path);
        ASSERT_TRUE(db->open());
        EXPECT_EQ(db->stringForQuery(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
        const int batches = db->intForQuery(QStringLiteral("SELECT count(DISTINCT batch) FROM records"));
        EXPECT_GE(batches, announced);
        EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT count(*) FROM records")), batches * kItemsPerBatch);
        EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT count(DISTINCT batch * 100 + item) FROM records")),
                  batches * kItemsPerBatch);
        EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT coalesce(max(batch) + 1, 0) FROM records")), batches)
            << "batches are numbered without gaps";
        db->close();
    }
    EXPECT_EQ(runSqliteShell(path, QStringLiteral("PRAGMA integrity_check")), QStringList{QStringLiteral("ok")});
}

} // namespace
