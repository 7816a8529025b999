#include "outlook/sqlite/FMDatabasePool.h"

#include "outlook/sqlite/FMDatabasePoolDelegate.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ConsoleLog.h"

using platform::consoleLog;

FMDatabasePool::FMDatabasePool(const QString &path, int openFlags) : m_path(path), m_openFlags(openFlags)
{
    m_lockQueue = platform::DispatchQueue::createSerial(QStringLiteral("fmdb.%1").arg(description()));
}

std::shared_ptr<FMDatabasePool> FMDatabasePool::databasePoolWithPath(const QString &path, int openFlags)
{
    return std::shared_ptr<FMDatabasePool>(new FMDatabasePool(path, openFlags));
}

FMDatabasePool::~FMDatabasePool()
{
    m_delegate = nullptr;
}

QString FMDatabasePool::description() const
{
    return QStringLiteral("<FMDatabasePool: %1>").arg(QString::asprintf("%p", static_cast<const void *>(this)));
}

std::shared_ptr<FMDatabase> FMDatabasePool::db()
{
    std::shared_ptr<FMDatabase> database;
    m_lockQueue->sync([&] { database = takeDatabase(); });
    return database;
}

std::shared_ptr<FMDatabase> FMDatabasePool::takeDatabase()
{
    std::shared_ptr<FMDatabase> database;
    const bool isNew = m_databaseInPool.isEmpty();
    if (!isNew) {
        // The database returned most recently is the one most likely still warm.
        database = m_databaseInPool.takeLast();
        m_databaseOutPool.append(database);
    } else {
        database = makeDatabase();
        if (!database)
            return nullptr;
    }
    if (!database->openWithFlags(m_openFlags)) {
        consoleLog(QStringLiteral("Could not open up the database at path %1").arg(m_path));
        m_databaseOutPool.removeAll(database);
        return nullptr;
    }
    return admit(database, isNew) ? database : nullptr;
}

std::shared_ptr<FMDatabase> FMDatabasePool::makeDatabase()
{
    const quint64 maximum = m_maximumNumberOfDatabasesToCreate;
    const auto openCount = quint64(m_databaseInPool.size() + m_databaseOutPool.size());
    if (maximum > 0 && openCount >= maximum) {
        consoleLog(QStringLiteral("Maximum number of databases (%1) has already been reached!").arg(openCount));
        return nullptr;
    }
    return FMDatabase::databaseWithPath(m_path);
}

bool FMDatabasePool::admit(const std::shared_ptr<FMDatabase> &database, bool isNew)
{
    if (m_delegate != nullptr && !m_delegate->databasePoolShouldAddDatabaseToPool(this, database)) {
        // A refused database is closed and no longer counted: it is never handed out.
        database->close();
        m_databaseOutPool.removeAll(database);
        return false;
    }
    if (!m_databaseOutPool.contains(database))
        m_databaseOutPool.append(database);
    if (isNew && m_delegate != nullptr)
        m_delegate->databasePoolDidAddDatabase(this, database);
    return true;
}

platform::Status FMDatabasePool::pushDatabaseBackInPool(const std::shared_ptr<FMDatabase> &database)
{
    if (!database)
        return platform::success();
    bool isAlreadyIn = false;
    m_lockQueue->sync([&] {
        isAlreadyIn = m_databaseInPool.contains(database);
        if (isAlreadyIn)
            return;
        m_databaseInPool.append(database);
        m_databaseOutPool.removeAll(database);
    });
    if (!isAlreadyIn)
        return platform::success();
    const QString message = QStringLiteral(
        "Database already in pool: The FMDatabase being put back into the pool is already present in the pool");
    consoleLog(message);
    return platform::Error(platform::ErrorCode::DataOther, message);
}

qsizetype FMDatabasePool::countOfCheckedInDatabases()
{
    qsizetype count = 0;
    m_lockQueue->sync([&] { count = m_databaseInPool.size(); });
    return count;
}

qsizetype FMDatabasePool::countOfCheckedOutDatabases()
{
    qsizetype count = 0;
    m_lockQueue->sync([&] { count = m_databaseOutPool.size(); });
    return count;
}

qsizetype FMDatabasePool::countOfOpenDatabases()
{
    qsizetype count = 0;
    m_lockQueue->sync([&] { count = m_databaseInPool.size() + m_databaseOutPool.size(); });
    return count;
}

void FMDatabasePool::releaseAllDatabases()
{
    m_lockQueue->sync([&] {
        m_databaseInPool.clear();
        m_databaseOutPool.clear();
    });
}

void FMDatabasePool::executeLocked(const std::function<void()> &block)
{
    m_lockQueue->sync(block);
}

void FMDatabasePool::runOnDatabase(const DatabaseBlock &block)
{
    const std::shared_ptr<FMDatabase> database = db();
    block(database);
    static_cast<void>(pushDatabaseBackInPool(database));
}
