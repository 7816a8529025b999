#pragma once

#include <memory>

class FMDatabase;
class FMDatabasePool;

// What a pool asks of its delegate; both operations are optional. Called on the pool's lock queue.
class FMDatabasePoolDelegate
{
public:
    virtual ~FMDatabasePoolDelegate() = default;

    // A freshly opened database is about to be handed out; false closes it and hands out nothing.
    virtual bool databasePoolShouldAddDatabaseToPool(FMDatabasePool *pool, const std::shared_ptr<FMDatabase> &database)
    {
        static_cast<void>(pool);
        static_cast<void>(database);
        return true;
    }
    // The pool made a new database and hands it out.
    virtual void databasePoolDidAddDatabase(FMDatabasePool *pool, const std::shared_ptr<FMDatabase> &database)
    {
        static_cast<void>(pool);
        static_cast<void>(database);
    }
};
