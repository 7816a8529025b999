#pragma once

#include <QString>

struct sqlite3_stmt;

// One prepared statement of the engine. A cursor that reads it owns it; a statement kept in its
// database's statement cache is owned by the cache too and survives its cursors. Destroying it
// finalizes the engine statement. Used on the thread of its database only.
class FMStatement final
{
public:
    FMStatement() = default;
    explicit FMStatement(sqlite3_stmt *statement) : m_statement(statement) {}
    ~FMStatement();
    FMStatement(const FMStatement &) = delete;
    FMStatement &operator=(const FMStatement &) = delete;

    // Finalizes the engine statement and drops the handle; the statement is then no longer in use.
    void close();
    // Resets the engine statement, when a handle is held, for another run; no longer in use.
    void reset();
    // "<FMStatement: 0x...> <use count> hit(s) for query <text>".
    QString description() const;

    sqlite3_stmt *statement() const { return m_statement; }
    void setStatement(sqlite3_stmt *statement) { m_statement = statement; }
    const QString &query() const { return m_query; }
    void setQuery(const QString &query) { m_query = query; }
    qint64 useCount() const { return m_useCount; }
    void setUseCount(qint64 useCount) { m_useCount = useCount; }
    bool inUse() const { return m_inUse; }
    void setInUse(bool inUse) { m_inUse = inUse; }

private:
    sqlite3_stmt *m_statement = nullptr;
    QString m_query;
    qint64 m_useCount = 0;
    bool m_inUse = false;
};
