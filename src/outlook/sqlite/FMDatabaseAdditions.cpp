// The convenience queries of FMDatabase: single values, schema queries, the application id and user
// version pragmas, and the SQL validator.
#include "outlook/sqlite/FMDatabase.h"

#include "outlook/sqlite/FMResultSet.h"

#include "platform/foundation/Assert.h"
#include "platform/foundation/ConsoleLog.h"

#include <sqlite3.h>

using platform::PlatformError;

namespace {

constexpr int kFourCharacterCodeLength = 4;

// The platform's text of a four-character code: the four characters between single quotes, the first
// from the most significant byte.
QString textOfFourCharacterCode(quint32 code)
{
    QString text(u'\'');
    for (int shift = 24; shift >= 0; shift -= 8)
        text += QChar::fromLatin1(static_cast<char>((code >> shift) & 0xffu));
    return text + u'\'';
}

// The code a quoted four-character text names; 0 for any other text.
quint32 fourCharacterCodeOfText(const QString &quoted)
{
    if (quoted.size() != kFourCharacterCodeLength + 2 || !quoted.startsWith(u'\'') || !quoted.endsWith(u'\''))
        return 0;
    quint32 code = 0;
    for (int index = 1; index <= kFourCharacterCodeLength; ++index)
        code = (code << 8) | (quoted.at(index).unicode() & 0xffu);
    return code;
}

// Runs a pragma that sets a value: as a query, stepped once.
void runSettingPragma(FMDatabase &database, const QString &sql)
{
    const std::shared_ptr<FMResultSet> resultSet = database.executeQuery(sql);
    if (!resultSet)
        return;
    resultSet->next();
    resultSet->close();
}

} // namespace

QVariant FMDatabase::valueForQuery(ValueKind kind, const QString &sql, FMVAList arguments)
{
    const std::shared_ptr<FMResultSet> resultSet = executeQuery(sql, arguments);
    if (!resultSet || !resultSet->next())
        return {};
    const QVariant value = readSingleValue(kind, *resultSet);
    resultSet->close();
    resultSet->setParentDB(nullptr);
    return value;
}

QVariant FMDatabase::readSingleValue(ValueKind kind, FMResultSet &resultSet) const
{
    switch (kind) {
    case ValueKind::String:
        return resultSet.stringForColumnIndex(0);
    case ValueKind::Int:
        return resultSet.intForColumnIndex(0);
    case ValueKind::Long:
        return QVariant::fromValue(resultSet.longForColumnIndex(0));
    case ValueKind::Bool:
        return resultSet.boolForColumnIndex(0);
    case ValueKind::Double:
        return resultSet.doubleForColumnIndex(0);
    case ValueKind::Data:
        return resultSet.dataForColumnIndex(0);
    case ValueKind::Date:
        return resultSet.dateForColumnIndex(0);
    }
    return {};
}

bool FMDatabase::tableExists(const QString &tableName)
{
    const std::shared_ptr<FMResultSet> resultSet =
        executeQuery(QStringLiteral("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?"),
                     tableName.toLower());
    if (!resultSet)
        return false;
    const bool hasRow = resultSet->next();
    resultSet->close();
    return hasRow;
}

std::shared_ptr<FMResultSet> FMDatabase::getSchema()
{
    return executeQuery(QStringLiteral(
        "SELECT type, name, tbl_name, rootpage, sql FROM (SELECT * FROM sqlite_master UNION ALL SELECT * FROM "
        "sqlite_temp_master) WHERE type != 'meta' AND name NOT LIKE 'sqlite_%' ORDER BY tbl_name, type DESC, name"));
}

std::shared_ptr<FMResultSet> FMDatabase::getTableSchema(const QString &tableName)
{
    // A pragma takes no bound parameters; quotes in the name are doubled so that it stays one literal.
    QString quotedName = tableName;
    quotedName.replace(u'\'', QStringLiteral("''"));
    return executeQuery(QStringLiteral("pragma table_info('%1')").arg(quotedName));
}

bool FMDatabase::columnExists(const QString &columnName, const QString &tableName)
{
    const QString wantedName = columnName.toLower();
    const std::shared_ptr<FMResultSet> resultSet = getTableSchema(tableName.toLower());
    if (!resultSet)
        return false;
    bool isFound = false;
    while (!isFound && resultSet->next())
        isFound = resultSet->stringForColumn(QStringLiteral("name")).toLower() == wantedName;
    resultSet->close();
    return isFound;
}

bool FMDatabase::columnExistsColumnName(const QString &tableName, const QString &columnName)
{
    return columnExists(columnName, tableName);
}

quint32 FMDatabase::applicationID()
{
    return static_cast<quint32>(longForQuery(QStringLiteral("pragma application_id")) & 0xffffffff);
}

void FMDatabase::setApplicationID(quint32 appID)
{
    runSettingPragma(*this, QStringLiteral("pragma application_id=%1").arg(static_cast<qint32>(appID)));
}

QString FMDatabase::applicationIDString()
{
    const QString text = textOfFourCharacterCode(applicationID());
    HM_ASSERT(text.size() == 6, QStringLiteral("[s length] == 6"));
    return text.mid(1, kFourCharacterCodeLength);
}

void FMDatabase::setApplicationIDString(const QString &text)
{
    if (text.size() != kFourCharacterCodeLength) {
        platform::consoleLog(
            QStringLiteral("setApplicationIDString: string passed is not exactly 4 chars long. (was %1)")
                .arg(text.size()));
    }
    setApplicationID(fourCharacterCodeOfText(QStringLiteral("'%1'").arg(text)));
}

quint32 FMDatabase::userVersion()
{
    return static_cast<quint32>(longForQuery(QStringLiteral("pragma user_version")) & 0xffffffff);
}

void FMDatabase::setUserVersion(quint32 version)
{
    runSettingPragma(*this, QStringLiteral("pragma user_version = %1").arg(static_cast<qint32>(version)));
}

bool FMDatabase::validateSQL(const QString &sql, PlatformError *error)
{
    if (m_db == nullptr)
        return false;
    sqlite3_stmt *statement = nullptr;
    const QByteArray text = sql.toUtf8();
    const int result = sqlite3_prepare_v2(m_db, text.constData(), -1, &statement, nullptr);
    const bool isValid = result == SQLITE_OK;
    if (!isValid && error != nullptr) {
        *error = PlatformError::withDescription(QString::fromLatin1(platform::NSCocoaErrorDomain), lastErrorCode(),
                                                lastErrorMessage());
    }
    sqlite3_finalize(statement);
    return isValid;
}
