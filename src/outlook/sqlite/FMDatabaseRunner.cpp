#include "outlook/sqlite/FMDatabaseRunner.h"

#include <atomic>

namespace {

std::atomic<long> s_savePointIndex{0};

} // namespace

void FMDatabaseRunner::beginTransaction(bool useDeferred, const TransactionBlock &block)
{
    runOnDatabase([&](const std::shared_ptr<FMDatabase> &db) { FMDatabase::runInTransaction(db, useDeferred, block); });
}

void FMDatabaseRunner::inTransaction(const TransactionBlock &block)
{
    beginTransaction(false, block);
}

void FMDatabaseRunner::inDeferredTransaction(const TransactionBlock &block)
{
    beginTransaction(true, block);
}

std::optional<platform::PlatformError> FMDatabaseRunner::inSavePoint(const TransactionBlock &block)
{
    std::optional<platform::PlatformError> error;
    runOnDatabase([&](const std::shared_ptr<FMDatabase> &db) {
        const QString name = QStringLiteral("savePoint%1").arg(s_savePointIndex++);
        error = FMDatabase::runInSavePoint(db, name, block);
    });
    return error;
}
