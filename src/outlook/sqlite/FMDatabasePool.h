#pragma once

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMDatabaseRunner.h"

#include "platform/foundation/PlatformError.h"
#include "platform/foundation/Result.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class FMDatabasePoolDelegate;

namespace platform {
class DispatchQueue;
}

// Hands out open connections to one database file, several at a time, and takes them back: an idle
// list of open databases and a list of those handed out, both changed only on the pool's serial lock
// queue. A database is used by one caller at a time; the work of inDatabase() and the transaction
// forms runs on the caller's thread, outside the lock. Shared between threads; thread-safe.
class FMDatabasePool final : public FMDatabaseRunner
{
public:
    // A new, empty pool; nothing is opened yet.
    static std::shared_ptr<FMDatabasePool> databasePoolWithPath(const QString &path = QString(),
                                                                int openFlags = kDefaultOpenFlags);
    ~FMDatabasePool();

    // An open database no other caller holds, or null (maximum reached, open failed, or refused).
    std::shared_ptr<FMDatabase> db();
    // Returns a database to the idle list. Returning one that is already there is an error.
    platform::Status pushDatabaseBackInPool(const std::shared_ptr<FMDatabase> &database);
    qsizetype countOfCheckedInDatabases();
    qsizetype countOfCheckedOutDatabases();
    qsizetype countOfOpenDatabases();
    void releaseAllDatabases();

    // The block is given a database taken from the pool (or null) and the database goes back after.
    void inDatabase(const DatabaseBlock &block) { runOnDatabase(block); }
    // Runs the block on the lock queue and waits for it.
    void executeLocked(const std::function<void()> &block);

    const QString &path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }
    // The delegate is not owned; its owner clears it before going away.
    FMDatabasePoolDelegate *delegate() const { return m_delegate; }
    void setDelegate(FMDatabasePoolDelegate *delegate) { m_delegate = delegate; }
    // 0: no limit.
    quint64 maximumNumberOfDatabasesToCreate() const { return m_maximumNumberOfDatabasesToCreate; }
    void setMaximumNumberOfDatabasesToCreate(quint64 maximum) { m_maximumNumberOfDatabasesToCreate = maximum; }
    int openFlags() const { return m_openFlags; }
    QString description() const;

private:
    FMDatabasePool(const QString &path, int openFlags);

    void runOnDatabase(const DatabaseBlock &block) override;

    // The steps of db(), on the lock queue.
    std::shared_ptr<FMDatabase> takeDatabase();
    std::shared_ptr<FMDatabase> makeDatabase();
    bool admit(const std::shared_ptr<FMDatabase> &database, bool isNew);

    QString m_path;
    std::shared_ptr<platform::DispatchQueue> m_lockQueue;
    QList<std::shared_ptr<FMDatabase>> m_databaseInPool;
    QList<std::shared_ptr<FMDatabase>> m_databaseOutPool;
    FMDatabasePoolDelegate *m_delegate = nullptr;
    std::atomic<quint64> m_maximumNumberOfDatabasesToCreate{0};
    int m_openFlags = kDefaultOpenFlags;
};
