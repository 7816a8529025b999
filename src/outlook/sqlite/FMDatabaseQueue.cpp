#include "outlook/sqlite/FMDatabaseQueue.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Assert.h"
#include "platform/foundation/ConsoleLog.h"

using platform::consoleLog;

namespace {

// Marks each queue's dispatch queue with the queue object, to catch work that calls its own queue.
const platform::QueueSpecificKey s_queueKey;

} // namespace

FMDatabaseQueue::FMDatabaseQueue(const QString &path, int openFlags) : m_path(path), m_openFlags(openFlags)
{
    m_queue = platform::DispatchQueue::createSerial(QStringLiteral("fmdb.%1").arg(description()));
    m_queue->setSpecific(s_queueKey, this);
}

std::shared_ptr<FMDatabaseQueue> FMDatabaseQueue::databaseQueueWithPath(const QString &path, int openFlags)
{
    std::shared_ptr<FMDatabase> database = databaseClass()(path);
    if (!database->openWithFlags(openFlags)) {
        consoleLog(QStringLiteral("Could not create database queue for path %1").arg(path));
        return nullptr;
    }
    std::shared_ptr<FMDatabaseQueue> queue(new FMDatabaseQueue(path, openFlags));
    queue->m_db = std::move(database);
    return queue;
}

FMDatabaseQueue::DatabaseFactory FMDatabaseQueue::databaseClass()
{
    return [](const QString &path) { return FMDatabase::databaseWithPath(path); };
}

FMDatabaseQueue::~FMDatabaseQueue()
{
    m_queue->setSpecific(s_queueKey, nullptr);
}

QString FMDatabaseQueue::description() const
{
    return QStringLiteral("<FMDatabaseQueue: %1>").arg(QString::asprintf("%p", static_cast<const void *>(this)));
}

std::shared_ptr<FMDatabase> FMDatabaseQueue::database()
{
    if (m_db)
        return m_db;
    std::shared_ptr<FMDatabase> reopened = FMDatabase::databaseWithPath(m_path);
    if (!reopened->openWithFlags(m_openFlags)) {
        consoleLog(QStringLiteral("FMDatabaseQueue could not reopen database for path %1").arg(m_path));
        return nullptr;
    }
    m_db = std::move(reopened);
    return m_db;
}

void FMDatabaseQueue::inDatabase(const DatabaseBlock &block)
{
    HM_ASSERT(platform::DispatchQueue::currentSpecific(s_queueKey) != this,
              QStringLiteral("inDatabase: was called reentrantly on the same queue, which would lead to a deadlock"));
    m_queue->sync([&] {
        const std::shared_ptr<FMDatabase> db = database();
        block(db);
        if (db && db->hasOpenResultSets()) {
            consoleLog(QStringLiteral("Warning: there is at least one open result set around after performing "
                                      "[FMDatabaseQueue inDatabase:]"));
        }
    });
}

void FMDatabaseQueue::runOnDatabase(const DatabaseBlock &block)
{
    m_queue->sync([&] { block(database()); });
}

void FMDatabaseQueue::close()
{
    m_queue->sync([&] {
        if (m_db)
            m_db->close();
        m_db.reset();
    });
}
