#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>

struct sqlite3_stmt;

class FMDatabase;
class FMStatement;
class QObject;

// A forward-only cursor over the rows of one statement, handed out by FMDatabase's queries. It keeps
// its database and its statement alive until it closes: at the first next() that answers false, at
// close(), at its database's close(), or when destroyed. Columns are read by index or by name in any
// letter case. Used on the thread of its database only.
class FMResultSet final
{
public:
    // A new cursor over a statement that no other cursor reads; marks the statement in use.
    static std::shared_ptr<FMResultSet> resultSetWithStatement(const std::shared_ptr<FMStatement> &statement,
                                                               const std::shared_ptr<FMDatabase> &parentDB);
    ~FMResultSet();
    FMResultSet(const FMResultSet &) = delete;
    FMResultSet &operator=(const FMResultSet &) = delete;

    // Makes the next row current; false at the end or on a failure (which the error then names), and
    // the cursor is closed.
    bool next();
    bool nextWithError(platform::PlatformError *error);
    bool hasAnotherRow() const;
    void close();

    int columnCount() const;
    // The column's index, whatever the letter case of the name, or -1.
    int columnIndexForName(const QString &columnName);
    QString columnNameForIndex(int columnIndex) const;
    const QHash<QString, int> &columnNameToIndexMap();

    int intForColumnIndex(int columnIndex) const;
    int intForColumn(const QString &name) { return intForColumnIndex(columnIndexForName(name)); }
    qint64 longForColumnIndex(int columnIndex) const;
    qint64 longForColumn(const QString &name) { return longForColumnIndex(columnIndexForName(name)); }
    qint64 longLongIntForColumnIndex(int columnIndex) const;
    qint64 longLongIntForColumn(const QString &name) { return longForColumnIndex(columnIndexForName(name)); }
    quint64 unsignedLongLongIntForColumnIndex(int columnIndex) const;
    quint64 unsignedLongLongIntForColumn(const QString &name)
    {
        return unsignedLongLongIntForColumnIndex(columnIndexForName(name));
    }
    bool boolForColumnIndex(int columnIndex) const;
    bool boolForColumn(const QString &name) { return boolForColumnIndex(columnIndexForName(name)); }
    double doubleForColumnIndex(int columnIndex) const;
    double doubleForColumn(const QString &name) { return doubleForColumnIndex(columnIndexForName(name)); }
    // Null for a NULL column or a missing one.
    QString stringForColumnIndex(int columnIndex) const;
    QString stringForColumn(const QString &name) { return stringForColumnIndex(columnIndexForName(name)); }
    // Invalid for a NULL column or a missing one.
    QDateTime dateForColumnIndex(int columnIndex) const;
    QDateTime dateForColumn(const QString &name) { return dateForColumnIndex(columnIndexForName(name)); }
    // Null for a NULL column or a missing one; a zero-length blob reads as empty, not null.
    QByteArray dataForColumnIndex(int columnIndex) const;
    QByteArray dataForColumn(const QString &name) { return dataForColumnIndex(columnIndexForName(name)); }
    // Views of the engine's own bytes, valid only until the cursor moves or closes.
    QByteArray dataNoCopyForColumnIndex(int columnIndex) const;
    QByteArray dataNoCopyForColumn(const QString &name) { return dataNoCopyForColumnIndex(columnIndexForName(name)); }
    const char *UTF8StringForColumnIndex(int columnIndex) const;
    const char *UTF8StringForColumnName(const QString &name)
    {
        return UTF8StringForColumnIndex(columnIndexForName(name));
    }
    bool columnIndexIsNull(int columnIndex) const;
    bool columnIsNull(const QString &name) { return columnIndexIsNull(columnIndexForName(name)); }
    // By the column's storage class: a qint64, a double, a QByteArray or a QString; the null marker for
    // NULL.
    QVariant objectForColumnIndex(int columnIndex) const;
    QVariant objectForColumnName(const QString &name) { return objectForColumnIndex(columnIndexForName(name)); }
    QVariant operator[](int columnIndex) const { return objectForColumnIndex(columnIndex); }
    QVariant operator[](const QString &columnName) { return objectForColumnName(columnName); }

    // The current row by the engine's column names, and by lower-cased names; empty when no row is
    // current.
    QVariantMap resultDictionary() const;
    QVariantMap resultDict();
    // Sets the object's property of each column's name to the column's text.
    void kvcMagic(QObject *object) const;

    const QString &query() const { return m_query; }
    void setQuery(const QString &query) { m_query = query; }
    const std::shared_ptr<FMStatement> &statement() const { return m_statement; }
    void setStatement(const std::shared_ptr<FMStatement> &statement) { m_statement = statement; }
    void setParentDB(const std::shared_ptr<FMDatabase> &parentDB) { m_parentDB = parentDB; }

private:
    FMResultSet() = default;

    void reportStepFailure(int resultCode, platform::PlatformError *error) const;
    QString engineMessage() const;
    sqlite3_stmt *handle() const;
    bool isReadable(int columnIndex) const;

    std::shared_ptr<FMDatabase> m_parentDB;
    std::shared_ptr<FMStatement> m_statement;
    QString m_query;
    QHash<QString, int> m_columnNameToIndexMap;
};
