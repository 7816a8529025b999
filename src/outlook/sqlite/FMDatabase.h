#pragma once

#include "outlook/sqlite/FMVAList.h"

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3;
struct sqlite3_context;
struct sqlite3_stmt;
struct sqlite3_value;

namespace platform {
class DateFormatter;
}

class FMResultSet;
class FMStatement;

// One connection to an SQLite database: the only road the system takes to a database file. It opens
// files, ":memory:" and private temporary databases, runs queries (handing out forward-only cursors,
// FMResultSet) and updates with bound values, batches of statements, transactions and savepoints, and
// registers SQL functions. Failures are reported by return values, by error objects of domain
// "FMDatabase" and by console lines; nothing is thrown.
//
// Made with databaseWithPath() and shared: each cursor keeps its database alive until it closes.
// Carries no lock: one thread at a time uses a database and its cursors (FMDatabaseQueue and
// FMDatabasePool share databases between threads).
class FMDatabase final : public std::enable_shared_from_this<FMDatabase>
{
public:
    // Called for each result row of a batch with the row's column texts (null marker for none); a
    // non-zero answer stops the batch.
    using ExecuteStatementsCallback = std::function<int(const QVariantMap &resultsDictionary)>;
    // An SQL function: the engine's context, the argument count and the arguments; it sets the
    // result through the engine (sqlite3_result_*).
    using FunctionBlock = std::function<void(sqlite3_context *context, int argc, sqlite3_value **argv)>;
    // Given a flag that starts false; setting it rolls the transaction or savepoint back.
    using RollbackBlock = std::function<void(bool *rollback)>;
    // The same for work given a database (null when none could be had), as the queue and pool run it.
    using DatabaseRollbackBlock = std::function<void(const std::shared_ptr<FMDatabase> &db, bool *rollback)>;
    using CachedStatements = QHash<QString, QList<std::shared_ptr<FMStatement>>>;

    // A new, unopened database. A null path selects an in-memory database, an empty one the engine's
    // private temporary database, any other text a file.
    static std::shared_ptr<FMDatabase> databaseWithPath(const QString &path = QString());
    // The layer's version: "2.3", and the same as a number, 0x230.
    static QString FMDBUserVersion();
    static quint32 FMDBVersion();
    static QString sqliteLibVersion();
    static bool isSQLiteThreadSafe();
    // A formatter of the pattern in GMT and the locale "en_US", for storing dates as text.
    static std::shared_ptr<platform::DateFormatter> storeableDateFormat(const QString &format);

    ~FMDatabase();
    FMDatabase(const FMDatabase &) = delete;
    FMDatabase &operator=(const FMDatabase &) = delete;

    // Life. open() creates a missing file; both answer true when already open. close() always
    // answers true.
    bool open();
    bool openWithFlags(int flags);
    bool close();
    bool goodConnection();
    bool databaseExists() const;

    // Queries: a cursor, or null on failure. The variadic form binds one argument per "?".
    template <typename... Args> std::shared_ptr<FMResultSet> executeQuery(const QString &sql, const Args &...arguments)
    {
        FMVAList list = FMVAList::of(arguments...);
        return executeQuery(sql, list);
    }
    std::shared_ptr<FMResultSet> executeQuery(const QString &sql, const QVariantList &arguments);
    std::shared_ptr<FMResultSet> executeQuery(const QString &sql, const QVariantMap &arguments);
    std::shared_ptr<FMResultSet> executeQuery(const QString &sql, FMVAList &arguments);
    // The format's conversions ("%@", "%d", "%s", ...) become bound parameters (see extractSQL).
    template <typename... Args>
    std::shared_ptr<FMResultSet> executeQueryWithFormat(const QString &format, const Args &...arguments)
    {
        FMVAList list = FMVAList::of(arguments...);
        QString sql;
        QVariantList values;
        extractSQL(format, list, sql, values);
        return executeQuery(sql, values);
    }

    // Updates: true when the statement ran to completion.
    template <typename... Args> bool executeUpdate(const QString &sql, const Args &...arguments)
    {
        FMVAList list = FMVAList::of(arguments...);
        return executeUpdate(sql, list);
    }
    bool executeUpdate(const QString &sql, const QVariantList &arguments);
    bool executeUpdate(const QString &sql, const QVariantMap &arguments);
    bool executeUpdate(const QString &sql, FMVAList &arguments);
    template <typename... Args> bool executeUpdateWithFormat(const QString &format, const Args &...arguments)
    {
        FMVAList list = FMVAList::of(arguments...);
        QString sql;
        QVariantList values;
        extractSQL(format, list, sql, values);
        return executeUpdate(sql, values);
    }
    // As executeUpdate; a failed prepare also fills the error, when one is given.
    template <typename... Args>
    bool executeUpdateWithErrorAndBindings(const QString &sql, platform::PlatformError *error, const Args &...arguments)
    {
        FMVAList list = FMVAList::of(arguments...);
        return executeUpdateCore(sql, error, nullptr, nullptr, &list);
    }
    template <typename... Args>
    bool update(const QString &sql, platform::PlatformError *error, const Args &...arguments)
    {
        return executeUpdateWithErrorAndBindings(sql, error, arguments...);
    }

    // Batches of one or more statements, run by the engine as they stand (nothing is bound).
    bool executeStatements(const QString &sql);
    bool executeStatements(const QString &sql, const ExecuteStatementsCallback &block);

    // The engine's last failure on this connection, and error objects of domain "FMDatabase".
    QString lastErrorMessage() const;
    int lastErrorCode() const;
    bool hadError() const;
    platform::PlatformError lastError() const;
    platform::PlatformError errorWithMessage(const QString &message) const;

    qint64 lastInsertRowId();
    int changes();

    // How long a statement waits for a file another connection holds locked, in seconds; 0 or less
    // waits not at all. The two retired forms only log that they do nothing.
    double maxBusyRetryTimeInterval() const { return m_maxBusyRetryTimeInterval; }
    void setMaxBusyRetryTimeInterval(double timeout);
    int busyRetryTimeout() const;
    void setBusyRetryTimeout(int timeout);

    bool hasOpenResultSets() const { return !m_openResultSets.isEmpty(); }
    void closeOpenResultSets();
    void resultSetDidClose(FMResultSet *resultSet);

    // The statement cache, off by default.
    bool shouldCacheStatements() const { return m_shouldCacheStatements; }
    void setShouldCacheStatements(bool value);
    std::shared_ptr<FMStatement> cachedStatementForQuery(const QString &query) const;
    void setCachedStatement(const std::shared_ptr<FMStatement> &statement, const QString &query);
    void clearCachedStatements();
    const CachedStatements &cachedStatements() const { return m_cachedStatements; }
    void setCachedStatements(const CachedStatements &statements) { m_cachedStatements = statements; }

    bool beginTransaction();
    bool beginDeferredTransaction();
    bool commit();
    bool rollback();
    bool inTransaction() const { return m_inTransaction; }

    bool startSavePointWithName(const QString &name, platform::PlatformError *error);
    bool releaseSavePointWithName(const QString &name, platform::PlatformError *error);
    bool rollbackToSavePointWithName(const QString &name, platform::PlatformError *error);
    // Runs the block inside a savepoint of its own; the error of the last failed step, or nothing.
    std::optional<platform::PlatformError> inSavePoint(const RollbackBlock &block);

    // With a formatter, dates are bound and read as its text; without, as seconds since 1970.
    bool hasDateFormatter() const { return m_dateFormat != nullptr; }
    void setDateFormat(const std::shared_ptr<platform::DateFormatter> &format);
    QDateTime dateFromString(const QString &text) const;
    QString stringFromDate(const QDateTime &date) const;

    // Encrypted databases are not supported: each answers false.
    bool setKey(const QString &key);
    bool rekey(const QString &key);
    bool setKeyWithData(const QByteArray &keyData);
    bool rekeyWithData(const QByteArray &keyData);

    // Registers a scalar SQL function on the open connection; the block lives as long as the database.
    void makeFunctionNamed(const QString &name, int maximumArguments, const FunctionBlock &block);

    // Binds one value at a position (from 1) of the statement.
    void bindObject(const QVariant &value, int column, sqlite3_stmt *statement) const;
    // Turns a format text and its arguments into SQL with "?" parameters and the values to bind.
    static void extractSQL(const QString &sql, FMVAList &argumentsList, QString &cleanedSQL, QVariantList &arguments);
    void warnInUse() const;
    sqlite3 *sqliteHandle() const { return m_db; }
    // The engine's file name: ":memory:", "" or the path in the file system's representation.
    QByteArray sqlitePath() const;
    const QString &databasePath() const { return m_databasePath; }
    // "<FMDatabase: 0x...>", as log lines name a database.
    QString description() const;

    bool logsErrors() const { return m_logsErrors; }
    void setLogsErrors(bool value) { m_logsErrors = value; }
    bool crashOnErrors() const { return m_crashOnErrors; }
    void setCrashOnErrors(bool value) { m_crashOnErrors = value; }
    bool traceExecution() const { return m_traceExecution; }
    void setTraceExecution(bool value) { m_traceExecution = value; }
    bool checkedOut() const { return m_checkedOut; }
    void setCheckedOut(bool value) { m_checkedOut = value; }

    // Single values of the first column of the first row: nothing, 0, false or 0.0 when no row comes.
    template <typename... Args> QString stringForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::String, sql, FMVAList::of(arguments...)).toString();
    }
    template <typename... Args> int intForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Int, sql, FMVAList::of(arguments...)).toInt();
    }
    template <typename... Args> qint64 longForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Long, sql, FMVAList::of(arguments...)).toLongLong();
    }
    template <typename... Args> bool boolForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Bool, sql, FMVAList::of(arguments...)).toBool();
    }
    template <typename... Args> double doubleForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Double, sql, FMVAList::of(arguments...)).toDouble();
    }
    template <typename... Args> QByteArray dataForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Data, sql, FMVAList::of(arguments...)).toByteArray();
    }
    template <typename... Args> QDateTime dateForQuery(const QString &sql, const Args &...arguments)
    {
        return valueForQuery(ValueKind::Date, sql, FMVAList::of(arguments...)).toDateTime();
    }

    // Schema queries.
    bool tableExists(const QString &tableName);
    std::shared_ptr<FMResultSet> getSchema();
    std::shared_ptr<FMResultSet> getTableSchema(const QString &tableName);
    bool columnExists(const QString &columnName, const QString &tableName);
    bool columnExistsColumnName(const QString &tableName, const QString &columnName);

    // The "application_id" and "user_version" pragmas.
    quint32 applicationID();
    void setApplicationID(quint32 appID);
    QString applicationIDString();
    void setApplicationIDString(const QString &text);
    quint32 userVersion();
    void setUserVersion(quint32 version);

    // Whether the text prepares on this connection; it is not run.
    bool validateSQL(const QString &sql, platform::PlatformError *error);

private:
    friend class FMDatabaseRunner;

    enum class ValueKind { String, Int, Long, Bool, Double, Data, Date };
    struct Prepared;

    explicit FMDatabase(const QString &path);

    std::shared_ptr<FMResultSet> executeQueryCore(const QString &sql, const QVariantList *array,
                                                  const QVariantMap *dictionary, FMVAList *vaList);
    bool executeUpdateCore(const QString &sql, platform::PlatformError *error, const QVariantList *array,
                           const QVariantMap *dictionary, FMVAList *vaList);
    bool canExecute() const;
    // Traces the statement as the operation's, then takes it from the cache or prepares it.
    bool prepare(const QString &operation, const QString &sql, Prepared &prepared);
    void reportPrepareFailure(const QString &sql);
    int bindArguments(sqlite3_stmt *statement, const QVariantList *array, const QVariantMap *dictionary,
                      FMVAList *vaList) const;
    int bindDictionary(sqlite3_stmt *statement, const QVariantMap &dictionary) const;
    void discard(Prepared &prepared);
    bool stepUpdate(const QString &sql, sqlite3_stmt *statement);
    void finishUpdate(const QString &sql, Prepared &prepared);
    void closeConnection();
    // One of the engine's counters, read under the in-use flag.
    qint64 readEngineCounter(qint64 (*read)(sqlite3 *connection));
    bool runTransactionStatement(const QString &sql, bool isInTransactionAfter);
    bool runSavePointStatement(const QString &format, const QString &name, platform::PlatformError *error);
    std::optional<platform::PlatformError> runInSavePointNamed(const QString &name, const RollbackBlock &block);
    // The work of the queue's and the pool's transaction forms: a transaction or a named savepoint around a block,
    // on a database that may be null (the block is then given null, and a savepoint reports an error).
    static void runInTransaction(const std::shared_ptr<FMDatabase> &db, bool useDeferred,
                                 const DatabaseRollbackBlock &block);
    static std::optional<platform::PlatformError>
    runInSavePoint(const std::shared_ptr<FMDatabase> &db, const QString &name, const DatabaseRollbackBlock &block);
    QVariant valueForQuery(ValueKind kind, const QString &sql, FMVAList arguments);
    QVariant readSingleValue(ValueKind kind, FMResultSet &resultSet) const;

    static int busyHandler(void *context, int count);
    static int executeStatementsCallback(void *context, int columns, char **values, char **names);
    static void callFunction(sqlite3_context *context, int argc, sqlite3_value **argv);

    sqlite3 *m_db = nullptr;
    const QString m_databasePath;
    bool m_logsErrors = true;
    bool m_crashOnErrors = false;
    bool m_traceExecution = false;
    bool m_checkedOut = false;
    bool m_shouldCacheStatements = false;
    bool m_isExecutingStatement = false;
    bool m_inTransaction = false;
    double m_maxBusyRetryTimeInterval = 2.0;
    // Seconds on the monotonic clock when the current busy wait started.
    double m_startBusyRetryTime = 0.0;
    CachedStatements m_cachedStatements;
    QSet<FMResultSet *> m_openResultSets;
    std::vector<std::unique_ptr<FunctionBlock>> m_openFunctions;
    std::shared_ptr<platform::DateFormatter> m_dateFormat;
};
