#pragma once

#include "outlook/sqlite/FMDatabase.h"

#include "platform/foundation/PlatformError.h"

#include <functional>
#include <memory>
#include <optional>

// The transaction forms a pool and a queue share: each hands a database to a block in its own way
// (runOnDatabase) and the forms wrap the block in a transaction or a savepoint there.
class FMDatabaseRunner
{
public:
    using DatabaseBlock = std::function<void(const std::shared_ptr<FMDatabase> &db)>;
    using TransactionBlock = FMDatabase::DatabaseRollbackBlock;

    // The default open flags: read-write and create.
    static constexpr int kDefaultOpenFlags = 6;

    void inTransaction(const TransactionBlock &block);
    void inDeferredTransaction(const TransactionBlock &block);
    void beginTransaction(bool useDeferred, const TransactionBlock &block);
    // The error of the last failed savepoint step, or nothing. Savepoint names are unique in the
    // process.
    std::optional<platform::PlatformError> inSavePoint(const TransactionBlock &block);

protected:
    FMDatabaseRunner() = default;
    ~FMDatabaseRunner() = default;
    FMDatabaseRunner(const FMDatabaseRunner &) = delete;
    FMDatabaseRunner &operator=(const FMDatabaseRunner &) = delete;

    // Gives the block a database (or null) and waits until it has run.
    virtual void runOnDatabase(const DatabaseBlock &block) = 0;
};
