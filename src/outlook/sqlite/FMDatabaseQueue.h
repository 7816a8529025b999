#pragma once

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMDatabaseRunner.h"

#include "platform/foundation/PlatformError.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace platform {
class DispatchQueue;
}

// Runs all work on one database one piece at a time on a serial queue of its own, so that several
// threads can share one connection. Every operation waits until its work has run. Shared between
// threads (std::shared_ptr); thread-safe, except that work running on the queue must not call the
// queue again (inDatabase() stops such a call; the transaction forms would wait for themselves).
class FMDatabaseQueue final : public FMDatabaseRunner
{
public:
    using DatabaseFactory = std::shared_ptr<FMDatabase> (*)(const QString &path);

    // A queue over an open database at the path (null path: in memory), or null when the database
    // cannot be opened.
    static std::shared_ptr<FMDatabaseQueue> databaseQueueWithPath(const QString &path = QString(),
                                                                  int openFlags = kDefaultOpenFlags);
    // What makes the queue's database.
    static DatabaseFactory databaseClass();

    ~FMDatabaseQueue();

    // The block is given the database, or null when a reopen after close() failed.
    void inDatabase(const DatabaseBlock &block);
    // Closes and drops the database; the next operation reopens it.
    void close();

    const QString &path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }
    int openFlags() const { return m_openFlags; }
    QString description() const;

private:
    FMDatabaseQueue(const QString &path, int openFlags);

    // The database, reopened when close() dropped it; runs on the queue.
    std::shared_ptr<FMDatabase> database();
    void runOnDatabase(const DatabaseBlock &block) override;

    QString m_path;
    std::shared_ptr<platform::DispatchQueue> m_queue;
    std::shared_ptr<FMDatabase> m_db;
    int m_openFlags = kDefaultOpenFlags;
};
