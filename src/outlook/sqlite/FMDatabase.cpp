#include "outlook/sqlite/FMDatabase.h"

#include "outlook/sqlite/FMResultSet.h"
#include "outlook/sqlite/FMStatement.h"

#include "platform/foundation/Assert.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/Values.h"

#include <QFile>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <mutex>

using platform::consoleLog;
using platform::PlatformError;

namespace {

constexpr char kErrorDomain[] = "FMDatabase";
constexpr int kShortestBusySleepMs = 50;
constexpr int kLongestBusySleepMs = 99;

std::atomic<long> s_savePointIndex{0};

double monotonicSeconds()
{
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QString engineText(const char *text)
{
    return QString::fromUtf8(text != nullptr ? text : "");
}

// Sets a flag for the length of a scope and clears it on every way out.
class FlagGuard final
{
public:
    explicit FlagGuard(bool &flag) : m_flag(flag) { m_flag = true; }
    ~FlagGuard() { m_flag = false; }
    FlagGuard(const FlagGuard &) = delete;
    FlagGuard &operator=(const FlagGuard &) = delete;

private:
    bool &m_flag;
};

// How a number binds, by the exact kind it remembers.
enum class NumberBinding { NotANumber, Int32, Int64, Unsigned64, Double, Boolean };

NumberBinding numberBindingOf(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
        return NumberBinding::Int32;
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return NumberBinding::Int64;
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return NumberBinding::Unsigned64;
    case QMetaType::Float:
    case QMetaType::Double:
        return NumberBinding::Double;
    case QMetaType::Bool:
        return NumberBinding::Boolean;
    default:
        return NumberBinding::NotANumber;
    }
}

void bindNumber(NumberBinding binding, const QVariant &value, int column, sqlite3_stmt *statement)
{
    switch (binding) {
    case NumberBinding::Int32:
        sqlite3_bind_int(statement, column, value.toInt());
        return;
    case NumberBinding::Boolean:
        sqlite3_bind_int(statement, column, value.toBool() ? 1 : 0);
        return;
    case NumberBinding::Double:
        sqlite3_bind_double(statement, column, value.toDouble());
        return;
    case NumberBinding::Unsigned64:
        // Unsigned values keep their bits.
        sqlite3_bind_int64(statement, column, static_cast<sqlite3_int64>(value.toULongLong()));
        return;
    case NumberBinding::Int64:
    case NumberBinding::NotANumber:
        sqlite3_bind_int64(statement, column, value.toLongLong());
        return;
    }
}

// A conversion of a format text: the letters after the "%" and what it makes of its argument.
struct FormatConversion
{
    const char *letters;
    QVariant (*convert)(const QVariant &argument);
};

const FormatConversion kFormatConversions[] = {
    {"lld", [](const QVariant &a) { return QVariant::fromValue(a.toLongLong()); }},
    {"llu", [](const QVariant &a) { return QVariant::fromValue(a.toULongLong()); }},
    {"ld", [](const QVariant &a) { return QVariant::fromValue(static_cast<long>(a.toLongLong())); }},
    {"lu", [](const QVariant &a) { return QVariant::fromValue(static_cast<unsigned long>(a.toULongLong())); }},
    {"qi", [](const QVariant &a) { return QVariant::fromValue(a.toLongLong()); }},
    {"qu", [](const QVariant &a) { return QVariant::fromValue(a.toULongLong()); }},
    {"hi", [](const QVariant &a) { return QVariant::fromValue(static_cast<short>(a.toInt())); }},
    {"hu", [](const QVariant &a) { return QVariant::fromValue(static_cast<unsigned short>(a.toUInt())); }},
    {"@", [](const QVariant &a) { return a; }},
    {"c", [](const QVariant &a) { return QVariant(QString(QChar::fromLatin1(static_cast<char>(a.toInt())))); }},
    {"s", [](const QVariant &a) { return QVariant(a.toString()); }},
    {"d", [](const QVariant &a) { return QVariant::fromValue(a.toInt()); }},
    {"D", [](const QVariant &a) { return QVariant::fromValue(a.toInt()); }},
    {"i", [](const QVariant &a) { return QVariant::fromValue(a.toInt()); }},
    {"u", [](const QVariant &a) { return QVariant::fromValue(a.toUInt()); }},
    {"U", [](const QVariant &a) { return QVariant::fromValue(a.toUInt()); }},
    {"f", [](const QVariant &a) { return QVariant::fromValue(a.toDouble()); }},
    {"g", [](const QVariant &a) { return QVariant::fromValue(static_cast<float>(a.toDouble())); }},
};

// The conversion whose letters stand in the text at the index, or null.
const FormatConversion *conversionAt(const QString &text, qsizetype index)
{
    for (const FormatConversion &conversion : kFormatConversions) {
        const QLatin1StringView letters(conversion.letters);
        if (QStringView(text).mid(index).startsWith(letters))
            return &conversion;
    }
    return nullptr;
}

} // namespace

// A statement ready to bind: either taken from the cache or freshly prepared (and then owned here
// until it is handed to a cursor or the cache).
struct FMDatabase::Prepared
{
    std::shared_ptr<FMStatement> cached;
    std::unique_ptr<FMStatement> fresh;

    sqlite3_stmt *handle() const { return cached ? cached->statement() : fresh->statement(); }
};

FMDatabase::FMDatabase(const QString &path) : m_databasePath(path)
{
    HM_ASSERT(sqlite3_threadsafe() != 0, QStringLiteral("sqlite3_threadsafe()"));
}

std::shared_ptr<FMDatabase> FMDatabase::databaseWithPath(const QString &path)
{
    return std::shared_ptr<FMDatabase>(new FMDatabase(path));
}

FMDatabase::~FMDatabase()
{
    close();
}

QString FMDatabase::FMDBUserVersion()
{
    return QStringLiteral("2.3");
}

quint32 FMDatabase::FMDBVersion()
{
    static std::once_flag once;
    static quint32 version = 0;
    std::call_once(once, [] {
        QString text = FMDBUserVersion();
        if (text.split(u'.').size() < 3)
            text += QStringLiteral(".0");
        text.remove(u'.');
        version = text.toUInt(nullptr, 16);
    });
    return version;
}

QString FMDatabase::sqliteLibVersion()
{
    return QString::fromUtf8(sqlite3_libversion());
}

bool FMDatabase::isSQLiteThreadSafe()
{
    return sqlite3_threadsafe() != 0;
}

std::shared_ptr<platform::DateFormatter> FMDatabase::storeableDateFormat(const QString &format)
{
    return std::make_shared<platform::DateFormatter>(format, platform::Locale(QStringLiteral("en_US")),
                                                     platform::TimeZone::gmt());
}

QString FMDatabase::description() const
{
    return QStringLiteral("<FMDatabase: %1>").arg(QString::asprintf("%p", static_cast<const void *>(this)));
}

QByteArray FMDatabase::sqlitePath() const
{
    if (m_databasePath.isNull())
        return QByteArrayLiteral(":memory:");
    if (m_databasePath.isEmpty())
        return QByteArray("");
    return QFile::encodeName(m_databasePath);
}

bool FMDatabase::open()
{
    return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

bool FMDatabase::openWithFlags(int flags)
{
    if (m_db != nullptr)
        return true;
    const int result = sqlite3_open_v2(sqlitePath().constData(), &m_db, flags, nullptr);
    if (result != SQLITE_OK) {
        // The engine hands back a handle even when it fails; it stays held so that close() frees it.
        consoleLog(QStringLiteral("error opening!: %1").arg(result));
        return false;
    }
    if (m_maxBusyRetryTimeInterval > 0.0)
        setMaxBusyRetryTimeInterval(m_maxBusyRetryTimeInterval);
    return true;
}

bool FMDatabase::close()
{
    // A cursor may hold the last reference to this database; keep it alive until closing is over.
    const std::shared_ptr<FMDatabase> keepAlive = weak_from_this().lock();
    clearCachedStatements();
    closeOpenResultSets();
    if (m_db == nullptr)
        return true;
    closeConnection();
    m_db = nullptr;
    return true;
}

void FMDatabase::closeConnection()
{
    int result = sqlite3_close(m_db);
    if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
        int finalized = 0;
        while (sqlite3_stmt *leaked = sqlite3_next_stmt(m_db, nullptr)) {
            consoleLog(QStringLiteral("Closing leaked statement"));
            sqlite3_finalize(leaked);
            ++finalized;
        }
        if (finalized > 0)
            result = sqlite3_close(m_db);
    }
    if (result != SQLITE_OK && result != SQLITE_BUSY && result != SQLITE_LOCKED)
        consoleLog(QStringLiteral("error closing!: %1").arg(result));
    // The handle is dropped whatever the engine answered; a connection still busy is handed to the
    // engine to free once its last use ends, so that it is never leaked.
    if (result != SQLITE_OK)
        sqlite3_close_v2(m_db);
}

bool FMDatabase::goodConnection()
{
    if (m_db == nullptr)
        return false;
    const std::shared_ptr<FMResultSet> resultSet =
        executeQuery(QStringLiteral("select name from sqlite_master where type='table'"));
    if (!resultSet)
        return false;
    resultSet->close();
    return true;
}

bool FMDatabase::databaseExists() const
{
    if (m_db != nullptr)
        return true;
    const QString line = QStringLiteral("The FMDatabase %1 is not open.").arg(description());
    consoleLog(line);
    if (m_crashOnErrors)
        HM_ASSERT(false, line);
    return false;
}

void FMDatabase::warnInUse() const
{
    const QString line = QStringLiteral("The FMDatabase %1 is currently in use.").arg(description());
    consoleLog(line);
    if (m_crashOnErrors)
        HM_ASSERT(false, line);
}

bool FMDatabase::canExecute() const
{
    if (!databaseExists())
        return false;
    if (m_isExecutingStatement) {
        warnInUse();
        return false;
    }
    return true;
}

std::shared_ptr<FMResultSet> FMDatabase::executeQuery(const QString &sql, const QVariantList &arguments)
{
    return executeQueryCore(sql, &arguments, nullptr, nullptr);
}

std::shared_ptr<FMResultSet> FMDatabase::executeQuery(const QString &sql, const QVariantMap &arguments)
{
    return executeQueryCore(sql, nullptr, &arguments, nullptr);
}

std::shared_ptr<FMResultSet> FMDatabase::executeQuery(const QString &sql, FMVAList &arguments)
{
    return executeQueryCore(sql, nullptr, nullptr, &arguments);
}

bool FMDatabase::executeUpdate(const QString &sql, const QVariantList &arguments)
{
    return executeUpdateCore(sql, nullptr, &arguments, nullptr, nullptr);
}

bool FMDatabase::executeUpdate(const QString &sql, const QVariantMap &arguments)
{
    return executeUpdateCore(sql, nullptr, nullptr, &arguments, nullptr);
}

bool FMDatabase::executeUpdate(const QString &sql, FMVAList &arguments)
{
    return executeUpdateCore(sql, nullptr, nullptr, nullptr, &arguments);
}

bool FMDatabase::prepare(const QString &operation, const QString &sql, Prepared &prepared)
{
    if (m_traceExecution && !sql.isNull())
        consoleLog(QStringLiteral("%1 %2: %3").arg(description(), operation, sql));
    if (m_shouldCacheStatements) {
        prepared.cached = cachedStatementForQuery(sql);
        if (prepared.cached) {
            prepared.cached->reset();
            return true;
        }
    }
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt *statement = nullptr;
    const int result = sqlite3_prepare_v2(m_db, text.constData(), -1, &statement, nullptr);
    if (result != SQLITE_OK) {
        reportPrepareFailure(sql);
        sqlite3_finalize(statement);
        return false;
    }
    prepared.fresh = std::make_unique<FMStatement>(statement);
    return true;
}

void FMDatabase::reportPrepareFailure(const QString &sql)
{
    const QString errorLine = QStringLiteral("DB Error: %1 \"%2\"").arg(lastErrorCode()).arg(lastErrorMessage());
    if (m_logsErrors) {
        consoleLog(errorLine);
        consoleLog(QStringLiteral("DB Query: %1").arg(sql));
        consoleLog(QStringLiteral("DB Path: %1").arg(m_databasePath));
    }
    if (m_crashOnErrors)
        HM_ASSERT(false, errorLine);
}

void FMDatabase::discard(Prepared &prepared)
{
    // A cached statement stays in the cache, reset and with its bindings cleared, never finalized.
    if (prepared.cached) {
        sqlite3_clear_bindings(prepared.cached->statement());
        prepared.cached->reset();
    }
    prepared.fresh.reset();
}

int FMDatabase::bindArguments(sqlite3_stmt *statement, const QVariantList *array, const QVariantMap *dictionary,
                              FMVAList *vaList) const
{
    if (dictionary != nullptr)
        return bindDictionary(statement, *dictionary);
    const int parameterCount = sqlite3_bind_parameter_count(statement);
    int bound = 0;
    while (bound < parameterCount) {
        QVariant value;
        if (array != nullptr && bound < array->size())
            value = array->at(bound);
        else if (vaList != nullptr && vaList->hasNext())
            value = *vaList->takeNext();
        else
            break;
        if (m_traceExecution) {
            consoleLog(value.metaType() == QMetaType::fromType<QByteArray>()
                           ? QStringLiteral("data: %1 bytes").arg(value.toByteArray().size())
                           : QStringLiteral("obj: %1").arg(platform::description(value)));
        }
        bindObject(value, bound + 1, statement);
        ++bound;
    }
    return bound;
}

int FMDatabase::bindDictionary(sqlite3_stmt *statement, const QVariantMap &dictionary) const
{
    int bound = 0;
    for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry) {
        const QString parameterName = QStringLiteral(":") + entry.key();
        if (m_traceExecution)
            consoleLog(QStringLiteral("%1 = %2").arg(parameterName, platform::description(entry.value())));
        const int index = sqlite3_bind_parameter_index(statement, parameterName.toUtf8().constData());
        if (index > 0) {
            bindObject(entry.value(), index, statement);
            ++bound;
        } else {
            consoleLog(QStringLiteral("Could not find index for %1").arg(entry.key()));
        }
    }
    return bound;
}

std::shared_ptr<FMResultSet> FMDatabase::executeQueryCore(const QString &sql, const QVariantList *array,
                                                          const QVariantMap *dictionary, FMVAList *vaList)
{
    if (!canExecute())
        return nullptr;
    const FlagGuard inUse(m_isExecutingStatement);
    Prepared prepared;
    if (!prepare(QStringLiteral("executeQuery"), sql, prepared))
        return nullptr;
    const int bound = bindArguments(prepared.handle(), array, dictionary, vaList);
    if (bound != sqlite3_bind_parameter_count(prepared.handle())) {
        consoleLog(QStringLiteral("Error: the bind count is not correct for the # of variables (executeQuery)"));
        discard(prepared);
        return nullptr;
    }
    std::shared_ptr<FMStatement> statement = std::move(prepared.cached);
    if (!statement) {
        statement = std::move(prepared.fresh);
        if (m_shouldCacheStatements && !sql.isNull())
            setCachedStatement(statement, sql);
    }
    std::shared_ptr<FMResultSet> resultSet = FMResultSet::resultSetWithStatement(statement, shared_from_this());
    resultSet->setQuery(sql);
    m_openResultSets.insert(resultSet.get());
    statement->setUseCount(statement->useCount() + 1);
    return resultSet;
}

bool FMDatabase::executeUpdateCore(const QString &sql, PlatformError *error, const QVariantList *array,
                                   const QVariantMap *dictionary, FMVAList *vaList)
{
    if (!canExecute())
        return false;
    const FlagGuard inUse(m_isExecutingStatement);
    Prepared prepared;
    if (!prepare(QStringLiteral("executeUpdate"), sql, prepared)) {
        if (error != nullptr)
            *error = errorWithMessage(lastErrorMessage());
        return false;
    }
    const int parameterCount = sqlite3_bind_parameter_count(prepared.handle());
    const int bound = bindArguments(prepared.handle(), array, dictionary, vaList);
    if (bound != parameterCount) {
        consoleLog(QStringLiteral("Error: the bind count (%1) is not correct for the # of variables in the query "
                                  "(%2) (%3) (executeUpdate)")
                       .arg(bound)
                       .arg(parameterCount)
                       .arg(sql));
        discard(prepared);
        return false;
    }
    const bool isDone = stepUpdate(sql, prepared.handle());
    finishUpdate(sql, prepared);
    return isDone;
}

bool FMDatabase::stepUpdate(const QString &sql, sqlite3_stmt *statement)
{
    const int result = sqlite3_step(statement);
    if (result == SQLITE_DONE || result == SQLITE_OK)
        return true;
    if (m_logsErrors) {
        const QString message = engineText(sqlite3_errmsg(m_db));
        if (result == SQLITE_ERROR)
            consoleLog(QStringLiteral("Error calling sqlite3_step (%1: %2) SQLITE_ERROR").arg(result).arg(message));
        else if (result == SQLITE_MISUSE)
            consoleLog(QStringLiteral("Error calling sqlite3_step (%1: %2) SQLITE_MISUSE").arg(result).arg(message));
        else
            consoleLog(QStringLiteral("Unknown error calling sqlite3_step (%1: %2) eu").arg(result).arg(message));
        consoleLog(QStringLiteral("DB Query: %1").arg(sql));
    }
    HM_ASSERT(result != SQLITE_ROW,
              QStringLiteral("A executeUpdate is being called with a query string '%1'").arg(sql));
    return false;
}

void FMDatabase::finishUpdate(const QString &sql, Prepared &prepared)
{
    if (m_shouldCacheStatements && !prepared.cached && !sql.isNull()) {
        prepared.cached = std::move(prepared.fresh);
        setCachedStatement(prepared.cached, sql);
    }
    int result = SQLITE_OK;
    if (prepared.cached) {
        prepared.cached->setUseCount(prepared.cached->useCount() + 1);
        result = sqlite3_reset(prepared.cached->statement());
    } else {
        result = sqlite3_finalize(prepared.fresh->statement());
        prepared.fresh->setStatement(nullptr);
    }
    if (result != SQLITE_OK && m_logsErrors) {
        consoleLog(QStringLiteral("Unknown error finalizing or resetting statement (%1: %2)")
                       .arg(result)
                       .arg(engineText(sqlite3_errmsg(m_db))));
        consoleLog(QStringLiteral("DB Query: %1").arg(sql));
    }
}

int FMDatabase::executeStatementsCallback(void *context, int columns, char **values, char **names)
{
    const auto *block = static_cast<const ExecuteStatementsCallback *>(context);
    QVariantMap row;
    for (int column = 0; column < columns; ++column) {
        const char *value = values[column];
        row.insert(engineText(names[column]), value != nullptr ? QVariant(QString::fromUtf8(value)) : makeNullMarker());
    }
    return (*block)(row);
}

bool FMDatabase::executeStatements(const QString &sql)
{
    return executeStatements(sql, ExecuteStatementsCallback());
}

bool FMDatabase::executeStatements(const QString &sql, const ExecuteStatementsCallback &block)
{
    if (m_db == nullptr)
        return false;
    char *errorText = nullptr;
    const QByteArray text = sql.toUtf8();
    // The engine hands its callback a plain pointer: give it one to a copy of ours.
    ExecuteStatementsCallback callback = block;
    const int result = sqlite3_exec(m_db, text.constData(), callback ? &FMDatabase::executeStatementsCallback : nullptr,
                                    callback ? &callback : nullptr, &errorText);
    if (errorText != nullptr) {
        if (m_logsErrors)
            consoleLog(QStringLiteral("Error inserting batch: %1").arg(QString::fromUtf8(errorText)));
        sqlite3_free(errorText);
    }
    return result == SQLITE_OK;
}

QString FMDatabase::lastErrorMessage() const
{
    return engineText(sqlite3_errmsg(m_db));
}

int FMDatabase::lastErrorCode() const
{
    return sqlite3_errcode(m_db);
}

bool FMDatabase::hadError() const
{
    const int code = lastErrorCode();
    return code > SQLITE_OK && code < SQLITE_ROW;
}

PlatformError FMDatabase::lastError() const
{
    return errorWithMessage(lastErrorMessage());
}

PlatformError FMDatabase::errorWithMessage(const QString &message) const
{
    return PlatformError::withDescription(QString::fromLatin1(kErrorDomain), lastErrorCode(), message);
}

qint64 FMDatabase::readEngineCounter(qint64 (*read)(sqlite3 *connection))
{
    if (m_isExecutingStatement) {
        warnInUse();
        return 0;
    }
    const FlagGuard inUse(m_isExecutingStatement);
    return read(m_db);
}

qint64 FMDatabase::lastInsertRowId()
{
    return readEngineCounter([](sqlite3 *connection) { return qint64(sqlite3_last_insert_rowid(connection)); });
}

int FMDatabase::changes()
{
    return int(readEngineCounter([](sqlite3 *connection) { return qint64(sqlite3_changes(connection)); }));
}

void FMDatabase::setMaxBusyRetryTimeInterval(double timeout)
{
    m_maxBusyRetryTimeInterval = timeout;
    if (m_db == nullptr)
        return;
    if (timeout > 0.0)
        sqlite3_busy_handler(m_db, &FMDatabase::busyHandler, this);
    else
        sqlite3_busy_handler(m_db, nullptr, nullptr);
}

int FMDatabase::busyHandler(void *context, int count)
{
    auto *database = static_cast<FMDatabase *>(context);
    if (count == 0) {
        database->m_startBusyRetryTime = monotonicSeconds();
        return 1;
    }
    const double elapsed = monotonicSeconds() - database->m_startBusyRetryTime;
    if (elapsed >= database->m_maxBusyRetryTimeInterval)
        return 0;
    // Random steps keep two waiting connections from retrying in lockstep.
    const int requested = QRandomGenerator::global()->bounded(kShortestBusySleepMs, kLongestBusySleepMs + 1);
    const int actual = sqlite3_sleep(requested);
    if (actual != requested) {
        consoleLog(QStringLiteral("WARNING: Requested sleep of %1 milliseconds, but SQLite returned %2. Maybe SQLite "
                                  "wasn't built with HAVE_USLEEP=1?")
                       .arg(requested)
                       .arg(actual));
    }
    return 1;
}

int FMDatabase::busyRetryTimeout() const
{
    consoleLog(QStringLiteral("%1:%2").arg(QString::fromUtf8(static_cast<const char *>(__func__))).arg(__LINE__));
    consoleLog(QStringLiteral("FMDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval"));
    return -1;
}

void FMDatabase::setBusyRetryTimeout(int)
{
    consoleLog(QStringLiteral("%1:%2").arg(QString::fromUtf8(static_cast<const char *>(__func__))).arg(__LINE__));
    consoleLog(QStringLiteral("FMDB: setBusyRetryTimeout does nothing, please use setMaxBusyRetryTimeInterval:"));
}

void FMDatabase::closeOpenResultSets()
{
    // A cursor may hold the last reference to this database; keep it alive until the loop is over.
    const std::shared_ptr<FMDatabase> keepAlive = weak_from_this().lock();
    const QSet<FMResultSet *> snapshot = m_openResultSets;
    for (FMResultSet *resultSet : snapshot) {
        resultSet->setParentDB(nullptr);
        resultSet->close();
        m_openResultSets.remove(resultSet);
    }
}

void FMDatabase::resultSetDidClose(FMResultSet *resultSet)
{
    m_openResultSets.remove(resultSet);
}

void FMDatabase::setShouldCacheStatements(bool value)
{
    m_shouldCacheStatements = value;
    if (!value)
        m_cachedStatements.clear();
}

std::shared_ptr<FMStatement> FMDatabase::cachedStatementForQuery(const QString &query) const
{
    for (const std::shared_ptr<FMStatement> &statement : m_cachedStatements.value(query)) {
        if (!statement->inUse())
            return statement;
    }
    return nullptr;
}

void FMDatabase::setCachedStatement(const std::shared_ptr<FMStatement> &statement, const QString &query)
{
    statement->setQuery(query);
    QList<std::shared_ptr<FMStatement>> &entry = m_cachedStatements[query];
    if (!entry.contains(statement))
        entry.append(statement);
}

void FMDatabase::clearCachedStatements()
{
    for (const QList<std::shared_ptr<FMStatement>> &entry : std::as_const(m_cachedStatements)) {
        for (const std::shared_ptr<FMStatement> &statement : entry)
            statement->close();
    }
    m_cachedStatements.clear();
}

bool FMDatabase::runTransactionStatement(const QString &sql, bool isInTransactionAfter)
{
    const bool isDone = executeUpdate(sql);
    if (isDone)
        m_inTransaction = isInTransactionAfter;
    return isDone;
}

bool FMDatabase::beginTransaction()
{
    return runTransactionStatement(QStringLiteral("begin exclusive transaction"), true);
}

bool FMDatabase::beginDeferredTransaction()
{
    return runTransactionStatement(QStringLiteral("begin deferred transaction"), true);
}

bool FMDatabase::commit()
{
    return runTransactionStatement(QStringLiteral("commit transaction"), false);
}

bool FMDatabase::rollback()
{
    return runTransactionStatement(QStringLiteral("rollback transaction"), false);
}

void FMDatabase::runInTransaction(const std::shared_ptr<FMDatabase> &db, bool useDeferred,
                                  const DatabaseRollbackBlock &block)
{
    bool shouldRollback = false;
    if (!db) {
        block(nullptr, &shouldRollback);
        return;
    }
    if (useDeferred)
        db->beginDeferredTransaction();
    else
        db->beginTransaction();
    block(db, &shouldRollback);
    if (shouldRollback)
        db->rollback();
    else
        db->commit();
}

std::optional<PlatformError> FMDatabase::runInSavePoint(const std::shared_ptr<FMDatabase> &db, const QString &name,
                                                        const DatabaseRollbackBlock &block)
{
    // Without a database nothing ran: that is a failure to report, not a success.
    if (!db) {
        return PlatformError::withDescription(QString::fromLatin1(kErrorDomain), SQLITE_CANTOPEN,
                                              QStringLiteral("The database could not be opened."));
    }
    return db->runInSavePointNamed(name, [&](bool *rollback) { block(db, rollback); });
}

bool FMDatabase::runSavePointStatement(const QString &format, const QString &name, PlatformError *error)
{
    HM_ASSERT(!name.isNull(), QStringLiteral("Invalid parameter not satisfying: name"));
    QString quotedName = name;
    quotedName.replace(u'\'', QStringLiteral("''"));
    if (executeUpdate(format.arg(quotedName)))
        return true;
    if (error != nullptr)
        *error = lastError();
    return false;
}

bool FMDatabase::startSavePointWithName(const QString &name, PlatformError *error)
{
    return runSavePointStatement(QStringLiteral("savepoint '%1';"), name, error);
}

bool FMDatabase::releaseSavePointWithName(const QString &name, PlatformError *error)
{
    return runSavePointStatement(QStringLiteral("release savepoint '%1';"), name, error);
}

bool FMDatabase::rollbackToSavePointWithName(const QString &name, PlatformError *error)
{
    return runSavePointStatement(QStringLiteral("rollback transaction to savepoint '%1';"), name, error);
}

std::optional<PlatformError> FMDatabase::inSavePoint(const RollbackBlock &block)
{
    return runInSavePointNamed(QStringLiteral("dbSavePoint%1").arg(s_savePointIndex++), block);
}

std::optional<PlatformError> FMDatabase::runInSavePointNamed(const QString &name, const RollbackBlock &block)
{
    PlatformError error;
    if (!startSavePointWithName(name, &error))
        return error;
    bool shouldRollback = false;
    block(&shouldRollback);
    std::optional<PlatformError> lastFailure;
    if (shouldRollback && !rollbackToSavePointWithName(name, &error))
        lastFailure = error;
    if (!releaseSavePointWithName(name, &error))
        lastFailure = error;
    return lastFailure;
}

void FMDatabase::setDateFormat(const std::shared_ptr<platform::DateFormatter> &format)
{
    m_dateFormat = format;
}

QDateTime FMDatabase::dateFromString(const QString &text) const
{
    if (!m_dateFormat)
        return {};
    const platform::Result<QDateTime> date = m_dateFormat->parse(text);
    return date ? *date : QDateTime();
}

QString FMDatabase::stringFromDate(const QDateTime &date) const
{
    return m_dateFormat ? m_dateFormat->format(date) : QString();
}

bool FMDatabase::setKey(const QString &key)
{
    return setKeyWithData(key.toUtf8());
}

bool FMDatabase::rekey(const QString &key)
{
    return rekeyWithData(key.toUtf8());
}

bool FMDatabase::setKeyWithData(const QByteArray &)
{
    return false;
}

bool FMDatabase::rekeyWithData(const QByteArray &)
{
    return false;
}

void FMDatabase::callFunction(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    const auto *block = static_cast<const FunctionBlock *>(sqlite3_user_data(context));
    (*block)(context, argc, argv);
}

void FMDatabase::makeFunctionNamed(const QString &name, int maximumArguments, const FunctionBlock &block)
{
    // The engine has no connection to register on until the database is open.
    if (!databaseExists())
        return;
    m_openFunctions.push_back(std::make_unique<FunctionBlock>(block));
    sqlite3_create_function(m_db, name.toUtf8().constData(), maximumArguments, SQLITE_UTF8,
                            m_openFunctions.back().get(), &FMDatabase::callFunction, nullptr, nullptr);
}

void FMDatabase::bindObject(const QVariant &value, int column, sqlite3_stmt *statement) const
{
    if (!value.isValid() || isNullMarker(value)) {
        sqlite3_bind_null(statement, column);
    } else if (value.metaType() == QMetaType::fromType<QByteArray>()) {
        const QByteArray bytes = value.toByteArray();
        // An empty blob is still a blob: binding a null pointer would store NULL instead.
        if (bytes.isEmpty())
            sqlite3_bind_zeroblob(statement, column, 0);
        else
            sqlite3_bind_blob64(statement, column, bytes.constData(), quint64(bytes.size()), SQLITE_TRANSIENT);
    } else if (value.metaType() == QMetaType::fromType<QDateTime>()) {
        const QDateTime date = value.toDateTime();
        if (m_dateFormat) {
            const QByteArray text = m_dateFormat->format(date).toUtf8();
            sqlite3_bind_text64(statement, column, text.constData(), quint64(text.size()), SQLITE_TRANSIENT,
                                SQLITE_UTF8);
        } else {
            sqlite3_bind_double(statement, column, double(date.toMSecsSinceEpoch()) / 1000.0);
        }
    } else if (const NumberBinding binding = numberBindingOf(value); binding != NumberBinding::NotANumber) {
        bindNumber(binding, value, column, statement);
    } else {
        const QByteArray text = platform::description(value).toUtf8();
        sqlite3_bind_text64(statement, column, text.constData(), quint64(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
}

void FMDatabase::extractSQL(const QString &sql, FMVAList &argumentsList, QString &cleanedSQL, QVariantList &arguments)
{
    QChar last;
    qsizetype index = 0;
    while (index < sql.size()) {
        const QChar current = sql.at(index);
        const FormatConversion *conversion = last == u'%' ? conversionAt(sql, index) : nullptr;
        if (conversion != nullptr) {
            const qsizetype length = qsizetype(qstrlen(conversion->letters));
            // A conversion without an argument, or "%@" with nil, stands for NULL in the text.
            const std::optional<QVariant> argument = argumentsList.takeNext();
            if (!argument || !argument->isValid()) {
                cleanedSQL += QStringLiteral("NULL");
            } else {
                cleanedSQL += u'?';
                arguments.append(conversion->convert(*argument));
            }
            index += length;
            last = sql.at(index - 1);
            continue;
        }
        // A "%" starts a conversion and is not copied; after a "%", a character that starts no
        // conversion is copied unchanged.
        if (current != u'%' || last == u'%')
            cleanedSQL += current;
        last = current;
        ++index;
    }
}
