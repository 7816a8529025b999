#include "outlook/sqlite/FMResultSet.h"

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMStatement.h"
#include "outlook/sqlite/FMVAList.h"

#include "platform/foundation/Assert.h"
#include "platform/foundation/ConsoleLog.h"

#include <QObject>

#include <sqlite3.h>

using platform::consoleLog;
using platform::PlatformError;

std::shared_ptr<FMResultSet> FMResultSet::resultSetWithStatement(const std::shared_ptr<FMStatement> &statement,
                                                                 const std::shared_ptr<FMDatabase> &parentDB)
{
    HM_ASSERT(!statement->inUse(), QStringLiteral("Invalid parameter not satisfying: ![statement inUse]"));
    std::shared_ptr<FMResultSet> resultSet(new FMResultSet());
    resultSet->m_statement = statement;
    resultSet->m_parentDB = parentDB;
    statement->setInUse(true);
    return resultSet;
}

FMResultSet::~FMResultSet()
{
    close();
}

void FMResultSet::close()
{
    if (m_statement) {
        m_statement->reset();
        m_statement.reset();
    }
    // Held until the end of this call: the database may go with its last reference.
    const std::shared_ptr<FMDatabase> parentDB = std::move(m_parentDB);
    m_parentDB.reset();
    if (parentDB)
        parentDB->resultSetDidClose(this);
}

sqlite3_stmt *FMResultSet::handle() const
{
    return m_statement ? m_statement->statement() : nullptr;
}

bool FMResultSet::next()
{
    return nextWithError(nullptr);
}

bool FMResultSet::nextWithError(PlatformError *error)
{
    // A closed cursor has no statement left to step: the engine would call that a misuse.
    const int result = handle() != nullptr ? sqlite3_step(handle()) : SQLITE_MISUSE;
    if (result != SQLITE_ROW && result != SQLITE_DONE)
        reportStepFailure(result, error);
    if (result != SQLITE_ROW)
        close();
    return result == SQLITE_ROW;
}

QString FMResultSet::engineMessage() const
{
    if (m_parentDB && m_parentDB->sqliteHandle() != nullptr)
        return m_parentDB->lastErrorMessage();
    return QString::fromUtf8(sqlite3_errstr(SQLITE_MISUSE));
}

void FMResultSet::reportStepFailure(int resultCode, PlatformError *error) const
{
    if (resultCode == SQLITE_BUSY || resultCode == SQLITE_LOCKED) {
        consoleLog(QStringLiteral("%1:%2 Database busy (%3)")
                       .arg(QString::fromUtf8(static_cast<const char *>(__func__)))
                       .arg(__LINE__)
                       .arg(m_parentDB ? m_parentDB->databasePath() : QString()));
        consoleLog(QStringLiteral("Database busy"));
    } else if (resultCode == SQLITE_ERROR || resultCode == SQLITE_MISUSE) {
        consoleLog(QStringLiteral("Error calling sqlite3_step (%1: %2) rs").arg(resultCode).arg(engineMessage()));
    } else {
        consoleLog(
            QStringLiteral("Unknown error calling sqlite3_step (%1: %2) rs").arg(resultCode).arg(engineMessage()));
    }
    if (error == nullptr)
        return;
    if (m_parentDB)
        *error = m_parentDB->lastError();
    else
        *error = PlatformError::withDescription(QStringLiteral("FMDatabase"), SQLITE_MISUSE,
                                                QStringLiteral("parentDB does not exist"));
}

bool FMResultSet::hasAnotherRow() const
{
    return m_parentDB && m_parentDB->sqliteHandle() != nullptr && m_parentDB->lastErrorCode() == SQLITE_ROW;
}

int FMResultSet::columnCount() const
{
    return handle() != nullptr ? sqlite3_column_count(handle()) : 0;
}

const QHash<QString, int> &FMResultSet::columnNameToIndexMap()
{
    if (m_columnNameToIndexMap.isEmpty()) {
        // When two columns share a lower-cased name, the later one wins.
        const int count = columnCount();
        for (int column = 0; column < count; ++column)
            m_columnNameToIndexMap.insert(columnNameForIndex(column).toLower(), column);
    }
    return m_columnNameToIndexMap;
}

int FMResultSet::columnIndexForName(const QString &columnName)
{
    const QString name = columnName.toLower();
    const auto found = columnNameToIndexMap().constFind(name);
    if (found != m_columnNameToIndexMap.cend())
        return found.value();
    consoleLog(QStringLiteral("Warning: I could not find the column named '%1'.").arg(name));
    return -1;
}

QString FMResultSet::columnNameForIndex(int columnIndex) const
{
    if (handle() == nullptr)
        return {};
    return QString::fromUtf8(sqlite3_column_name(handle(), columnIndex));
}

bool FMResultSet::isReadable(int columnIndex) const
{
    return handle() != nullptr && columnIndex >= 0 && columnIndex < sqlite3_data_count(handle());
}

int FMResultSet::intForColumnIndex(int columnIndex) const
{
    return isReadable(columnIndex) ? sqlite3_column_int(handle(), columnIndex) : 0;
}

qint64 FMResultSet::longForColumnIndex(int columnIndex) const
{
    return isReadable(columnIndex) ? sqlite3_column_int64(handle(), columnIndex) : 0;
}

qint64 FMResultSet::longLongIntForColumnIndex(int columnIndex) const
{
    return longForColumnIndex(columnIndex);
}

quint64 FMResultSet::unsignedLongLongIntForColumnIndex(int columnIndex) const
{
    return static_cast<quint64>(longForColumnIndex(columnIndex));
}

bool FMResultSet::boolForColumnIndex(int columnIndex) const
{
    return intForColumnIndex(columnIndex) != 0;
}

double FMResultSet::doubleForColumnIndex(int columnIndex) const
{
    return isReadable(columnIndex) ? sqlite3_column_double(handle(), columnIndex) : 0.0;
}

QString FMResultSet::stringForColumnIndex(int columnIndex) const
{
    const char *text = UTF8StringForColumnIndex(columnIndex);
    if (text == nullptr)
        return {};
    return QString::fromUtf8(text, sqlite3_column_bytes(handle(), columnIndex));
}

QDateTime FMResultSet::dateForColumnIndex(int columnIndex) const
{
    if (columnIndexIsNull(columnIndex))
        return {};
    if (m_parentDB && m_parentDB->hasDateFormatter())
        return m_parentDB->dateFromString(stringForColumnIndex(columnIndex));
    const double seconds = doubleForColumnIndex(columnIndex);
    return QDateTime::fromMSecsSinceEpoch(qRound64(seconds * 1000.0), Qt::UTC);
}

QByteArray FMResultSet::dataForColumnIndex(int columnIndex) const
{
    const QByteArray view = dataNoCopyForColumnIndex(columnIndex);
    if (view.isNull())
        return {};
    // An empty view is a zero-length blob: empty data, not nothing.
    return view.isEmpty() ? QByteArray("") : QByteArray(view.constData(), view.size());
}

QByteArray FMResultSet::dataNoCopyForColumnIndex(int columnIndex) const
{
    if (columnIndexIsNull(columnIndex))
        return {};
    const void *bytes = sqlite3_column_blob(handle(), columnIndex);
    const int length = sqlite3_column_bytes(handle(), columnIndex);
    if (bytes == nullptr || length <= 0)
        return QByteArray("");
    return QByteArray::fromRawData(static_cast<const char *>(bytes), length);
}

const char *FMResultSet::UTF8StringForColumnIndex(int columnIndex) const
{
    if (columnIndexIsNull(columnIndex))
        return nullptr;
    return reinterpret_cast<const char *>(sqlite3_column_text(handle(), columnIndex));
}

bool FMResultSet::columnIndexIsNull(int columnIndex) const
{
    return !isReadable(columnIndex) || sqlite3_column_type(handle(), columnIndex) == SQLITE_NULL;
}

QVariant FMResultSet::objectForColumnIndex(int columnIndex) const
{
    if (columnIndexIsNull(columnIndex))
        return makeNullMarker();
    switch (sqlite3_column_type(handle(), columnIndex)) {
    case SQLITE_INTEGER:
        return QVariant::fromValue(longForColumnIndex(columnIndex));
    case SQLITE_FLOAT:
        return QVariant::fromValue(doubleForColumnIndex(columnIndex));
    case SQLITE_BLOB:
        return dataForColumnIndex(columnIndex);
    default: {
        const QString text = stringForColumnIndex(columnIndex);
        return text.isNull() ? makeNullMarker() : QVariant(text);
    }
    }
}

QVariantMap FMResultSet::resultDictionary() const
{
    const int count = handle() != nullptr ? sqlite3_data_count(handle()) : 0;
    if (count <= 0) {
        consoleLog(QStringLiteral("Warning: There seem to be no columns in this set."));
        return {};
    }
    QVariantMap row;
    for (int column = 0; column < count; ++column)
        row.insert(columnNameForIndex(column), objectForColumnIndex(column));
    return row;
}

QVariantMap FMResultSet::resultDict()
{
    const int count = handle() != nullptr ? sqlite3_data_count(handle()) : 0;
    if (count <= 0) {
        consoleLog(QStringLiteral("Warning: There seem to be no columns in this set."));
        return {};
    }
    QVariantMap row;
    const QHash<QString, int> &names = columnNameToIndexMap();
    for (auto entry = names.cbegin(); entry != names.cend(); ++entry)
        row.insert(entry.key(), objectForColumnIndex(entry.value()));
    return row;
}

void FMResultSet::kvcMagic(QObject *object) const
{
    const int count = handle() != nullptr ? sqlite3_data_count(handle()) : 0;
    for (int column = 0; column < count; ++column) {
        const char *text = UTF8StringForColumnIndex(column);
        if (text != nullptr)
            object->setProperty(columnNameForIndex(column).toUtf8().constData(), QString::fromUtf8(text));
    }
}
