#include "ConsoleLines.h"
#include "SqliteShell.h"

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMResultSet.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class SqliteAdditionsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_db = FMDatabase::databaseWithPath(m_folder.filePath(QStringLiteral("additions.sqlite")));
        ASSERT_TRUE(m_db->open());
        ASSERT_TRUE(m_db->executeStatements(QStringLiteral(
            "CREATE TABLE Contacts (Record_RecordID INTEGER PRIMARY KEY, Name TEXT, Photo BLOB, Score REAL);"
            "INSERT INTO Contacts VALUES (7, 'Ann', x'00ff', 2.5);")));
    }

    QTemporaryDir m_folder;
    std::shared_ptr<FMDatabase> m_db;
};

TEST_F(SqliteAdditionsTest, SingleValuesComeFromTheFirstRowOrAreEmpty)
{
    const QString where = QStringLiteral(" FROM Contacts WHERE Record_RecordID = ?");
    EXPECT_EQ(m_db->stringForQuery(QStringLiteral("SELECT Name") + where, 7), QStringLiteral("Ann"));
    EXPECT_EQ(m_db->intForQuery(QStringLiteral("SELECT Record_RecordID") + where, 7), 7);
    EXPECT_EQ(m_db->longForQuery(QStringLiteral("SELECT Record_RecordID * 4294967296") + where, 7), 30064771072);
    EXPECT_TRUE(m_db->boolForQuery(QStringLiteral("SELECT Record_RecordID") + where, 7));
    EXPECT_EQ(m_db->doubleForQuery(QStringLiteral("SELECT Score") + where, 7), 2.5);
    EXPECT_EQ(m_db->dataForQuery(QStringLiteral("SELECT Photo") + where, 7), QByteArray("\0\xff", 2));
    EXPECT_EQ(m_db->dateForQuery(QStringLiteral("SELECT Score") + where, 7),
              QDateTime::fromMSecsSinceEpoch(2500, Qt::UTC));

    EXPECT_TRUE(m_db->stringForQuery(QStringLiteral("SELECT Name") + where, 8).isNull());
    EXPECT_EQ(m_db->intForQuery(QStringLiteral("SELECT Record_RecordID") + where, 8), 0);
    EXPECT_FALSE(m_db->boolForQuery(QStringLiteral("SELECT Record_RecordID") + where, 8));
    EXPECT_EQ(m_db->doubleForQuery(QStringLiteral("SELECT Score") + where, 8), 0.0);
    EXPECT_TRUE(m_db->dataForQuery(QStringLiteral("SELECT Photo") + where, 8).isNull());
    EXPECT_FALSE(m_db->dateForQuery(QStringLiteral("SELECT Score") + where, 8).isValid());
    EXPECT_FALSE(m_db->hasOpenResultSets());
}

TEST_F(SqliteAdditionsTest, FindsTablesAndColumnsInAnyCase)
{
    EXPECT_TRUE(m_db->tableExists(QStringLiteral("CONTACTS")));
    EXPECT_FALSE(m_db->tableExists(QStringLiteral("Events")));
    EXPECT_TRUE(m_db->columnExists(QStringLiteral("record_recordid"), QStringLiteral("contacts")));
    EXPECT_TRUE(m_db->columnExistsColumnName(QStringLiteral("Contacts"), QStringLiteral("NAME")));
    EXPECT_FALSE(m_db->columnExists(QStringLiteral("Record_ModDate"), QStringLiteral("Contacts")));
    EXPECT_FALSE(m_db->hasOpenResultSets());

    ASSERT_TRUE(m_db->executeUpdate(QStringLiteral("CREATE INDEX byName ON Contacts (Name)")));
    std::shared_ptr<FMResultSet> schema = m_db->getSchema();
    ASSERT_NE(schema, nullptr);
    QStringList entries;
    while (schema->next())
        entries.append(schema->stringForColumn(QStringLiteral("type")) + u' ' +
                       schema->stringForColumn(QStringLiteral("name")));
    EXPECT_EQ(entries, (QStringList{QStringLiteral("table Contacts"), QStringLiteral("index byName")}));

    std::shared_ptr<FMResultSet> columns = m_db->getTableSchema(QStringLiteral("Contacts"));
    QStringList names;
    while (columns && columns->next())
        names.append(columns->stringForColumn(QStringLiteral("name")) + u' ' +
                     columns->stringForColumn(QStringLiteral("type")));
    EXPECT_EQ(names, (QStringList{QStringLiteral("Record_RecordID INTEGER"), QStringLiteral("Name TEXT"),
                                  QStringLiteral("Photo BLOB"), QStringLiteral("Score REAL")}));
}

TEST_F(SqliteAdditionsTest, KeepsTheApplicationIdAndUserVersionInTheFile)
{
    m_db->setApplicationIDString(QStringLiteral("HMx1"));
    EXPECT_EQ(m_db->applicationIDString(), QStringLiteral("HMx1"));
    EXPECT_EQ(m_db->applicationID(), 0x484d7831u);
    m_db->setUserVersion(0xfffffffeu);
    EXPECT_EQ(m_db->userVersion(), 0xfffffffeu);
    EXPECT_EQ(runSqliteShell(m_db->databasePath(), QStringLiteral("PRAGMA application_id; PRAGMA user_version;")),
              (QStringList{QStringLiteral("1213036593"), QStringLiteral("-2")}));

    ConsoleLines console;
    m_db->setApplicationIDString(QStringLiteral("toolong"));
    EXPECT_EQ(console.messages(), QStringList{QStringLiteral(
                                      "setApplicationIDString: string passed is not exactly 4 chars long. (was 7)")});
    EXPECT_EQ(m_db->applicationID(), 0u);
}

TEST_F(SqliteAdditionsTest, ValidatesSqlWithoutRunningIt)
{
    platform::PlatformError error;
    EXPECT_TRUE(m_db->validateSQL(QStringLiteral("DELETE FROM Contacts"), &error));
    EXPECT_EQ(m_db->intForQuery(QStringLiteral("SELECT count(*) FROM Contacts")), 1);
    EXPECT_FALSE(m_db->validateSQL(QStringLiteral("SELEC Name FROM Contacts"), &error));
    EXPECT_EQ(error, platform::PlatformError::withDescription(QStringLiteral("NSCocoaErrorDomain"), 1,
                                                              QStringLiteral("near \"SELEC\": syntax error")));
    m_db->close();
    EXPECT_FALSE(m_db->validateSQL(QStringLiteral("SELECT 1"), nullptr));
}

} // namespace
