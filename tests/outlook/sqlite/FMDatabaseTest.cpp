#include "ConsoleLines.h"
#include "SqliteShell.h"

#include "outlook/sqlite/FMDatabase.h"
#include "outlook/sqlite/FMResultSet.h"
#include "outlook/sqlite/FMStatement.h"

#include "platform/foundation/DateFormatter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <limits>

namespace {

class SqliteDatabaseTest : public testing::Test
{
protected:
    QString pathOf(const QString &name) const { return m_folder.filePath(name); }

    // An open database of a new file holding the table "t" (id, v).
    std::shared_ptr<FMDatabase> openTable(const QString &name = QStringLiteral("test.sqlite"))
    {
        std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(pathOf(name));
        EXPECT_TRUE(db->open());
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, v)")));
        return db;
    }

    QTemporaryDir m_folder;
};

int rowCount(FMDatabase &db, const QString &sql)
{
    const std::shared_ptr<FMResultSet> resultSet = db.executeQuery(sql);
    int count = 0;
    while (resultSet && resultSet->next())
        ++count;
    return count;
}

TEST_F(SqliteDatabaseTest, OpensMemoryTemporaryAndFileDatabases)
{
    struct Row
    {
        const char *name;
        QString path;
        QByteArray enginePath;
    };
    const QString file = pathOf(QStringLiteral("created.sqlite"));
    const Row rows[] = {{"no path: in memory", QString(), ":memory:"},
                        {"empty path: private temporary", QStringLiteral(""), ""},
                        {"a path: that file", file, QFile::encodeName(file)}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(row.path);
        EXPECT_EQ(db->sqlitePath(), row.enginePath);
        EXPECT_FALSE(db->goodConnection());
        ASSERT_TRUE(db->open());
        sqlite3 *const handle = db->sqliteHandle();
        EXPECT_TRUE(db->open());
        EXPECT_EQ(db->sqliteHandle(), handle) << "a second open must not reopen";
        EXPECT_TRUE(db->goodConnection());
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t (v)")));
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES (?)"), 42));
        EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT v FROM t")), 42);
        EXPECT_TRUE(db->close());
        EXPECT_EQ(db->sqliteHandle(), nullptr);
    }
    EXPECT_TRUE(QFileInfo(file).isFile());
}

TEST_F(SqliteDatabaseTest, OpenOnAMissingFileCreatesItEmpty)
{
    const QString file = pathOf(QStringLiteral("Outlook.sqlite"));
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(file);
    ASSERT_TRUE(db->open());
    EXPECT_TRUE(QFileInfo(file).isFile());
    EXPECT_EQ(rowCount(*db, QStringLiteral("SELECT * FROM sqlite_master")), 0);
}

TEST_F(SqliteDatabaseTest, OpenInAMissingFolderFailsAndLaterStatementsFailCleanly)
{
    ConsoleLines console;
    const QString file = pathOf(QStringLiteral("no/such/folder/x.sqlite"));
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath(file);
    EXPECT_FALSE(db->open());
    EXPECT_EQ(console.count(QStringLiteral("error opening!: 14")), 1) << console.messages().join(u'\n').toStdString();
    EXPECT_EQ(db->executeQuery(QStringLiteral("SELECT 1")), nullptr);
    EXPECT_FALSE(db->executeUpdate(QStringLiteral("CREATE TABLE t (v)")));
    EXPECT_TRUE(db->close());
    EXPECT_FALSE(QFileInfo::exists(file));
}

// A database file is outside input: garbage and a file cut short fail cleanly, never crash.
TEST_F(SqliteDatabaseTest, DamagedFilesFailCleanly)
{
    const QString garbage = pathOf(QStringLiteral("garbage.sqlite"));
    QFile garbageFile(garbage);
    ASSERT_TRUE(garbageFile.open(QIODevice::WriteOnly));
    garbageFile.write(QByteArray(4096, '\x5a'));
    garbageFile.close();
    std::shared_ptr<FMDatabase> damaged = FMDatabase::databaseWithPath(garbage);
    ASSERT_TRUE(damaged->open());
    ConsoleLines console;
    EXPECT_EQ(damaged->executeQuery(QStringLiteral("SELECT * FROM Contacts")), nullptr);
    EXPECT_EQ(console.messages().value(0), QStringLiteral("DB Error: 26 \"file is not a database\""));
    EXPECT_FALSE(damaged->executeStatements(QStringLiteral("VACUUM")));

    std::shared_ptr<FMDatabase> db = openTable(QStringLiteral("cut.sqlite"));
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                                                 "SELECT i + 1 FROM n WHERE i < 200) SELECT zeroblob(1000) FROM n")));
    db->close();
    QFile cut(db->databasePath());
    ASSERT_TRUE(cut.resize(cut.size() / 2));
    ASSERT_TRUE(db->open());
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT v FROM t"));
    int rows = 0;
    while (resultSet && resultSet->next())
        ++rows;
    EXPECT_LT(rows, 200);
    EXPECT_EQ(db->lastErrorCode(), SQLITE_CORRUPT);
}

// Every kind of value a caller binds, the value read back through the cursor, and what the sqlite3
// shell reads from the file: typeof() and quote() show the exact stored bytes.
TEST_F(SqliteDatabaseTest, StoresEveryBoundKindAsTheShellReadsIt)
{
    struct Row
    {
        const char *name;
        QVariant bound;
        QVariant readBack;
        const char *shell;
    };
    const QString text = QStringLiteral("Zoë “quoted” 日本 😀");
    const QDateTime date = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    const Row rows[] = {
        {"nil", QVariant(), makeNullMarker(), "null|NULL"},
        {"null marker", makeNullMarker(), makeNullMarker(), "null|NULL"},
        {"blob with NUL bytes", QByteArray("a\0b\xff", 4), QByteArray("a\0b\xff", 4), "blob|X'610062FF'"},
        {"empty blob", QByteArray(""), QByteArray(""), "blob|X''"},
        {"largest 64-bit", QVariant::fromValue(std::numeric_limits<qint64>::max()),
         QVariant::fromValue(std::numeric_limits<qint64>::max()), "integer|9223372036854775807"},
        {"smallest 64-bit", QVariant::fromValue(std::numeric_limits<qint64>::min()),
         QVariant::fromValue(std::numeric_limits<qint64>::min()), "integer|-9223372036854775808"},
        {"unsigned keeps its bits", QVariant::fromValue(std::numeric_limits<quint64>::max()),
         QVariant::fromValue(qint64(-1)), "integer|-1"},
        {"int", QVariant::fromValue(-5), QVariant::fromValue(qint64(-5)), "integer|-5"},
        {"short", QVariant::fromValue(short(300)), QVariant::fromValue(qint64(300)), "integer|300"},
        {"unsigned int", QVariant::fromValue(4000000000u), QVariant::fromValue(qint64(4000000000)),
         "integer|4000000000"},
        {"bool", QVariant(true), QVariant::fromValue(qint64(1)), "integer|1"},
        {"double", QVariant(-1234.25), QVariant(-1234.25), "real|-1234.25"},
        {"float", QVariant::fromValue(1.5f), QVariant(1.5), "real|1.5"},
        {"date", date, QVariant(1000000000.0), "real|1000000000.0"},
        {"non-ASCII text", text, text, "text|'Zoë “quoted” 日本 😀'"},
    };
    std::shared_ptr<FMDatabase> db = openTable();
    for (const Row &row : rows)
        ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (?)"), row.bound)) << row.name;

    const QStringList shellLines =
        runSqliteShell(db->databasePath(), QStringLiteral("SELECT typeof(v), quote(v) FROM t ORDER BY id"));
    ASSERT_EQ(shellLines.size(), qsizetype(std::size(rows))) << shellLines.join(u'\n').toStdString();
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT id, v FROM t ORDER BY id"));
    ASSERT_NE(resultSet, nullptr);
    for (qsizetype index = 0; index < qsizetype(std::size(rows)); ++index) {
        const Row &row = rows[index];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(shellLines.at(index), QString::fromUtf8(row.shell));
        ASSERT_TRUE(resultSet->next());
        EXPECT_EQ(resultSet->objectForColumnName(QStringLiteral("V")), row.readBack);
    }
    EXPECT_FALSE(resultSet->next());
}

TEST_F(SqliteDatabaseTest, TypedGettersReadOneRow)
{
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(
        QStringLiteral("SELECT ? AS big, ? AS flag, ? AS ratio, ? AS name, ? AS bytes, ? AS absent, ? AS stamp"),
        std::numeric_limits<quint64>::max(), true, 2.5, "Straße", QByteArray("\0\1", 2), nullptr,
        QDateTime::fromMSecsSinceEpoch(1500, Qt::UTC));
    ASSERT_TRUE(resultSet && resultSet->next());
    EXPECT_EQ(resultSet->columnCount(), 7);
    EXPECT_EQ(resultSet->unsignedLongLongIntForColumn(QStringLiteral("BIG")), std::numeric_limits<quint64>::max());
    EXPECT_EQ(resultSet->longLongIntForColumn(QStringLiteral("big")), -1);
    EXPECT_EQ(resultSet->intForColumn(QStringLiteral("Big")), -1);
    EXPECT_TRUE(resultSet->boolForColumn(QStringLiteral("flag")));
    EXPECT_EQ(resultSet->doubleForColumn(QStringLiteral("ratio")), 2.5);
    EXPECT_EQ(resultSet->stringForColumn(QStringLiteral("NAME")), QStringLiteral("Straße"));
    EXPECT_STREQ(resultSet->UTF8StringForColumnName(QStringLiteral("name")), "Straße");
    EXPECT_EQ(resultSet->dataForColumn(QStringLiteral("bytes")), QByteArray("\0\1", 2));
    EXPECT_EQ(resultSet->dataNoCopyForColumn(QStringLiteral("bytes")), QByteArray("\0\1", 2));
    EXPECT_EQ(resultSet->dateForColumn(QStringLiteral("stamp")), QDateTime::fromMSecsSinceEpoch(1500, Qt::UTC));
    EXPECT_EQ((*resultSet)[3], QVariant(QStringLiteral("Straße")));
    EXPECT_EQ((*resultSet)[QStringLiteral("RATIO")], QVariant(2.5));
}

TEST_F(SqliteDatabaseTest, NullColumnsReadAsEmptyValues)
{
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT NULL AS n"));
    ASSERT_TRUE(resultSet && resultSet->next());
    EXPECT_TRUE(resultSet->stringForColumnIndex(0).isNull());
    EXPECT_EQ(resultSet->intForColumnIndex(0), 0);
    EXPECT_TRUE(resultSet->dataForColumnIndex(0).isNull());
    EXPECT_FALSE(resultSet->dateForColumnIndex(0).isValid());
    EXPECT_EQ(resultSet->UTF8StringForColumnIndex(0), nullptr);
    EXPECT_TRUE(isNullMarker(resultSet->objectForColumnIndex(0)));
    EXPECT_TRUE(resultSet->columnIndexIsNull(0));
    EXPECT_TRUE(resultSet->columnIsNull(QStringLiteral("N")));
    EXPECT_TRUE(resultSet->stringForColumnIndex(-1).isNull());
}

TEST_F(SqliteDatabaseTest, ColumnNamesMatchInAnyCaseAndMissingOnesWarn)
{
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeStatements(
        QStringLiteral("CREATE TABLE Contacts (PathToDataFile TEXT); INSERT INTO Contacts VALUES ('Data/1.olk15');")));
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT * FROM Contacts"));
    ASSERT_TRUE(resultSet && resultSet->next());
    for (const char *name : {"PathToDataFile", "pathtodatafile", "PATHTODATAFILE"})
        EXPECT_EQ(resultSet->stringForColumn(QString::fromLatin1(name)), QStringLiteral("Data/1.olk15")) << name;

    ConsoleLines console;
    EXPECT_TRUE(resultSet->stringForColumn(QStringLiteral("Record_ModDate")).isNull());
    EXPECT_EQ(resultSet->intForColumn(QStringLiteral("Record_ModDate")), 0);
    EXPECT_EQ(console.count(QStringLiteral("Warning: I could not find the column named 'record_moddate'.")), 2);
}

TEST_F(SqliteDatabaseTest, ColumnsDifferingOnlyInCaseReachTheLaterOneByName)
{
    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT 1 AS Name, 2 AS NAME"));
    ASSERT_TRUE(resultSet && resultSet->next());
    EXPECT_EQ(resultSet->intForColumn(QStringLiteral("name")), 2);
    const QVariantMap expectedDictionary{{QStringLiteral("Name"), QVariant::fromValue(qint64(1))},
                                         {QStringLiteral("NAME"), QVariant::fromValue(qint64(2))}};
    EXPECT_EQ(resultSet->resultDictionary(), expectedDictionary);
    EXPECT_EQ(resultSet->resultDict(), (QVariantMap{{QStringLiteral("name"), QVariant::fromValue(qint64(2))}}));

    QObject target;
    resultSet->kvcMagic(&target);
    EXPECT_EQ(target.property("NAME"), QVariant(QStringLiteral("2")));
}

TEST_F(SqliteDatabaseTest, AMissingTableLogsThePrepareFailure)
{
    std::shared_ptr<FMDatabase> db = openTable(QStringLiteral("Outlook.sqlite"));
    ConsoleLines console;
    const QString sql = QStringLiteral("SELECT * FROM Contacts WHERE Record_ModDate > 5");
    const std::shared_ptr<FMResultSet> resultSet = db->executeQuery(sql);
    EXPECT_EQ(resultSet, nullptr);
    EXPECT_EQ(console.messages(),
              (QStringList{QStringLiteral("DB Error: 1 \"no such table: Contacts\""),
                           QStringLiteral("DB Query: ") + sql, QStringLiteral("DB Path: ") + db->databasePath()}));
    EXPECT_FALSE(db->hasOpenResultSets());
    EXPECT_TRUE(db->hadError());
    EXPECT_EQ(db->lastError().domain(), QStringLiteral("FMDatabase"));
    EXPECT_EQ(db->lastError().code(), 1);
    EXPECT_EQ(db->lastError().localizedDescription(), QStringLiteral("no such table: Contacts"));

    platform::PlatformError error;
    EXPECT_FALSE(db->executeUpdateWithErrorAndBindings(QStringLiteral("DELETE FROM Contacts"), &error));
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("no such table: Contacts"));
    db->setLogsErrors(false);
    ConsoleLines quiet;
    EXPECT_EQ(db->executeQuery(sql), nullptr);
    EXPECT_TRUE(quiet.messages().isEmpty());
    EXPECT_TRUE(db->executeQuery(QStringLiteral("SELECT 1")) != nullptr) << "the connection stays usable";
}

TEST_F(SqliteDatabaseTest, CursorsCloseAtTheirEndAndWithTheirDatabase)
{
    std::shared_ptr<FMDatabase> db = openTable();
    std::shared_ptr<FMResultSet> empty = db->executeQuery(QStringLiteral("SELECT * FROM t"));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(db->hasOpenResultSets());
    EXPECT_FALSE(empty->next());
    EXPECT_FALSE(db->hasOpenResultSets());

    ConsoleLines console;
    platform::PlatformError error;
    EXPECT_FALSE(empty->nextWithError(&error));
    EXPECT_EQ(error, platform::PlatformError::withDescription(QStringLiteral("FMDatabase"), 21,
                                                              QStringLiteral("parentDB does not exist")));
    EXPECT_EQ(console.messages(),
              QStringList{QStringLiteral("Error calling sqlite3_step (21: bad parameter or other API "
                                         "misuse) rs")});

    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (1), (2)")));
    std::shared_ptr<FMResultSet> open = db->executeQuery(QStringLiteral("SELECT v FROM t"));
    ASSERT_TRUE(open && open->next());
    EXPECT_TRUE(open->hasAnotherRow());
    db->close();
    EXPECT_FALSE(db->hasOpenResultSets());
    EXPECT_FALSE(open->next());
}

TEST_F(SqliteDatabaseTest, AStatementLeftOpenOnTheConnectionIsFinalizedAtClose)
{
    std::shared_ptr<FMDatabase> db = openTable();
    sqlite3_stmt *leaked = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "SELECT 1", -1, &leaked, nullptr), SQLITE_OK);
    ConsoleLines console;
    EXPECT_TRUE(db->close());
    EXPECT_EQ(console.messages(), QStringList{QStringLiteral("Closing leaked statement")});
    EXPECT_EQ(db->sqliteHandle(), nullptr);
}

TEST_F(SqliteDatabaseTest, AWrongNumberOfArgumentsBindsNothing)
{
    std::shared_ptr<FMDatabase> db = openTable();
    ConsoleLines console;
    const QString sql = QStringLiteral("INSERT INTO t (id, v) VALUES (?, ?)");
    EXPECT_FALSE(db->executeUpdate(sql, QVariantList{1}));
    EXPECT_FALSE(db->executeUpdate(sql, 1));
    EXPECT_EQ(db->executeQuery(QStringLiteral("SELECT ?, ?"), 1), nullptr);
    const QString updateLine = QStringLiteral(
        "Error: the bind count (1) is not correct for the # of variables in the query (2) (%1) (executeUpdate)");
    EXPECT_EQ(
        console.messages(),
        (QStringList{updateLine.arg(sql), updateLine.arg(sql),
                     QStringLiteral("Error: the bind count is not correct for the # of variables (executeQuery)")}));
    EXPECT_EQ(rowCount(*db, QStringLiteral("SELECT * FROM t")), 0);
    // Extra arguments are left unread.
    EXPECT_TRUE(db->executeUpdate(sql, QVariantList{1, 2, 3}));
    EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT v FROM t WHERE id = 1")), 2);
}

TEST_F(SqliteDatabaseTest, NamedParametersComeFromADictionary)
{
    std::shared_ptr<FMDatabase> db = openTable();
    ConsoleLines console;
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (id, v) VALUES (:id, :value)"),
                                  QVariantMap{{QStringLiteral("id"), 7},
                                              {QStringLiteral("value"), QStringLiteral("seven")},
                                              {QStringLiteral("extra"), 1}}));
    std::shared_ptr<FMResultSet> found =
        db->executeQuery(QStringLiteral("SELECT v FROM t WHERE id = :id"), QVariantMap{{QStringLiteral("id"), 7}});
    ASSERT_TRUE(found && found->next());
    EXPECT_EQ(found->stringForColumnIndex(0), QStringLiteral("seven"));
    found->close();
    EXPECT_EQ(db->executeQuery(QStringLiteral("SELECT v FROM t WHERE id = :id AND v = :v"),
                               QVariantMap{{QStringLiteral("id"), 7}}),
              nullptr);
    EXPECT_EQ(
        console.messages(),
        (QStringList{QStringLiteral("Could not find index for extra"),
                     QStringLiteral("Error: the bind count is not correct for the # of variables (executeQuery)")}));
}

// Values from outside never become SQL text: every form of binding stores them as they are.
TEST_F(SqliteDatabaseTest, HostileValuesStayValues)
{
    const QString hostile = QStringLiteral("x'); DROP TABLE t; --");
    const QString quoted = QStringLiteral("O'Brien \"; DROP TABLE t;");
    std::shared_ptr<FMDatabase> db = openTable();
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (id, v) VALUES (1, ?)"), hostile));
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (id, v) VALUES (2, ?)"), QVariantList{quoted}));
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (id, v) VALUES (3, :v)"),
                                  QVariantMap{{QStringLiteral("v"), hostile}}));
    EXPECT_TRUE(db->executeUpdateWithFormat(QStringLiteral("INSERT INTO t (id, v) VALUES (%d, %@)"), 4, quoted));
    EXPECT_TRUE(db->executeUpdateWithFormat(QStringLiteral("INSERT INTO t (id, v) VALUES (%d, %s)"), 5,
                                            "'); DROP TABLE t; --"));

    EXPECT_TRUE(db->tableExists(QStringLiteral("t")));
    EXPECT_FALSE(db->tableExists(QStringLiteral("t' OR '1'='1")));
    EXPECT_FALSE(db->columnExists(QStringLiteral("v"), QStringLiteral("t'); DROP TABLE t; --")));
    EXPECT_EQ(db->stringForQuery(QStringLiteral("SELECT v FROM t WHERE v = ?"), hostile), hostile);
    EXPECT_EQ(
        runSqliteShell(db->databasePath(), QStringLiteral("SELECT id, v FROM t ORDER BY id")),
        (QStringList{QStringLiteral("1|") + hostile, QStringLiteral("2|") + quoted, QStringLiteral("3|") + hostile,
                     QStringLiteral("4|") + quoted, QStringLiteral("5|'); DROP TABLE t; --")}));
}

TEST(SqliteFormatTranslation, TurnsConversionsIntoParameters)
{
    struct Row
    {
        const char *name;
        QString format;
        FMVAList arguments;
        QString sql;
        QVariantList values;
    };
    const Row rows[] = {
        {"object",
         QStringLiteral("v = %@"),
         FMVAList::of(QStringLiteral("a")),
         QStringLiteral("v = ?"),
         {QStringLiteral("a")}},
        {"nil object", QStringLiteral("v = %@"), FMVAList::of(QVariant()), QStringLiteral("v = NULL"), {}},
        {"int and unsigned",
         QStringLiteral("%d %i %D %u %U"),
         FMVAList::of(1, 2, 3, 4u, 5u),
         QStringLiteral("? ? ? ? ?"),
         {1, 2, 3, QVariant::fromValue(4u), QVariant::fromValue(5u)}},
        {"character", QStringLiteral("%c"), FMVAList::of(int('x')), QStringLiteral("?"), {QStringLiteral("x")}},
        {"C string", QStringLiteral("%s"), FMVAList::of("héllo"), QStringLiteral("?"), {QStringLiteral("héllo")}},
        {"doubles",
         QStringLiteral("%f %g"),
         FMVAList::of(0.5, 0.25),
         QStringLiteral("? ?"),
         {0.5, QVariant::fromValue(0.25f)}},
        {"shorts",
         QStringLiteral("%hi %hu"),
         FMVAList::of(-2, 3),
         QStringLiteral("? ?"),
         {QVariant::fromValue(short(-2)), QVariant::fromValue(ushort(3))}},
        {"long longs",
         QStringLiteral("%lld %llu %qi %qu"),
         FMVAList::of(qint64(-1), quint64(2), qint64(3), quint64(4)),
         QStringLiteral("? ? ? ?"),
         {QVariant::fromValue(qint64(-1)), QVariant::fromValue(quint64(2)), QVariant::fromValue(qint64(3)),
          QVariant::fromValue(quint64(4))}},
        {"longs",
         QStringLiteral("%ld %lu"),
         FMVAList::of(-7L, 8UL),
         QStringLiteral("? ?"),
         {QVariant::fromValue(-7L), QVariant::fromValue(8UL)}},
        {"incomplete conversions are copied",
         QStringLiteral("%hx %qx %llx %z"),
         FMVAList(),
         QStringLiteral("hx qx llx z"),
         {}},
        {"a doubled percent sign keeps one", QStringLiteral("LIKE 'a%%'"), FMVAList(), QStringLiteral("LIKE 'a%'"), {}},
        {"too few arguments stand for NULL", QStringLiteral("%d, %@"), FMVAList::of(1), QStringLiteral("?, NULL"), {1}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FMVAList arguments = row.arguments;
        QString sql;
        QVariantList values;
        FMDatabase::extractSQL(row.format, arguments, sql, values);
        EXPECT_EQ(sql, row.sql);
        EXPECT_EQ(values, row.values);
        for (qsizetype index = 0; index < values.size() && index < row.values.size(); ++index)
            EXPECT_EQ(values.at(index).metaType(), row.values.at(index).metaType()) << index;
    }
}

TEST_F(SqliteDatabaseTest, CachedStatementsAreReusedAndSurviveTheirCursors)
{
    std::shared_ptr<FMDatabase> db = openTable();
    db->setShouldCacheStatements(true);
    const QString insert = QStringLiteral("INSERT INTO t (v) VALUES (?)");
    for (int value = 1; value <= 3; ++value)
        ASSERT_TRUE(db->executeUpdate(insert, value));
    ASSERT_EQ(db->cachedStatements().value(insert).size(), 1);
    EXPECT_EQ(db->cachedStatements().value(insert).first()->useCount(), 3);

    const QString select = QStringLiteral("SELECT v FROM t WHERE v >= ? ORDER BY v");
    std::shared_ptr<FMResultSet> first = db->executeQuery(select, 1);
    std::shared_ptr<FMResultSet> second = db->executeQuery(select, 2);
    ASSERT_TRUE(first && second && first->next() && second->next());
    EXPECT_EQ(first->intForColumnIndex(0), 1);
    EXPECT_EQ(second->intForColumnIndex(0), 2);
    EXPECT_EQ(db->cachedStatements().value(select).size(), 2) << "a statement in use is not handed out twice";
    first->close();
    second->close();
    EXPECT_EQ(db->intForQuery(select, 3), 3);
    EXPECT_EQ(db->cachedStatements().value(select).size(), 2);
    EXPECT_TRUE(db->cachedStatements().value(select).first()->description().endsWith(
        QStringLiteral(" hit(s) for query ") + select));

    // A cached statement that met too few arguments is still usable.
    EXPECT_FALSE(db->executeUpdate(insert, QVariantList{}));
    EXPECT_TRUE(db->executeUpdate(insert, 4));
    EXPECT_EQ(db->intForQuery(QStringLiteral("SELECT count(*) FROM t")), 4);

    db->setShouldCacheStatements(false);
    EXPECT_TRUE(db->cachedStatements().isEmpty());
}

TEST_F(SqliteDatabaseTest, TransactionsAndSavepointsKeepOrDropTheirRows)
{
    std::shared_ptr<FMDatabase> db = openTable();
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('before')")));

    ASSERT_TRUE(db->beginTransaction());
    EXPECT_TRUE(db->inTransaction());
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('kept')")));
    platform::PlatformError error;
    ASSERT_TRUE(db->startSavePointWithName(QStringLiteral("it's"), &error));
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('dropped')")));
    ASSERT_TRUE(db->rollbackToSavePointWithName(QStringLiteral("it's"), &error));
    ASSERT_TRUE(db->releaseSavePointWithName(QStringLiteral("it's"), &error));
    ASSERT_TRUE(db->commit());
    EXPECT_FALSE(db->inTransaction());

    ASSERT_TRUE(db->beginDeferredTransaction());
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('rolled back')")));
    ASSERT_TRUE(db->rollback());

    const std::optional<platform::PlatformError> rolledBack = db->inSavePoint([&](bool *rollback) {
        EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('savepoint')")));
        *rollback = true;
    });
    EXPECT_FALSE(rolledBack.has_value());
    EXPECT_EQ(runSqliteShell(db->databasePath(), QStringLiteral("SELECT v FROM t ORDER BY id")),
              (QStringList{QStringLiteral("before"), QStringLiteral("kept")}));

    EXPECT_FALSE(db->releaseSavePointWithName(QStringLiteral("never started"), &error));
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("no such savepoint: never started"));
}

TEST_F(SqliteDatabaseTest, SqlFunctionsRunAndCannotReenterTheirConnection)
{
    std::shared_ptr<FMDatabase> db = openTable();
    db->makeFunctionNamed(QStringLiteral("shout"), 1, [](sqlite3_context *context, int argc, sqlite3_value **argv) {
        const QString text =
            argc == 1 ? QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_value_text(argv[0]))) : QString();
        const QByteArray result = text.toUpper().toUtf8();
        sqlite3_result_text(context, result.constData(), int(result.size()), SQLITE_TRANSIENT);
    });
    EXPECT_EQ(db->stringForQuery(QStringLiteral("SELECT shout(?)"), "ßtraße"), QStringLiteral("SSTRASSE"));

    bool didReenter = false;
    db->makeFunctionNamed(QStringLiteral("reenter"), 0, [&](sqlite3_context *context, int, sqlite3_value **) {
        didReenter = db->executeQuery(QStringLiteral("SELECT 1")) != nullptr;
        sqlite3_result_int(context, 1);
    });
    ConsoleLines console;
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (reenter())")));
    EXPECT_FALSE(didReenter);
    EXPECT_EQ(console.messages(),
              QStringList{QStringLiteral("The FMDatabase %1 is currently in use.").arg(db->description())});
}

TEST_F(SqliteDatabaseTest, BatchesRunEveryStatementAndHandRowsToTheCallback)
{
    std::shared_ptr<FMDatabase> db = openTable();
    QList<QVariantMap> rows;
    EXPECT_TRUE(db->executeStatements(QStringLiteral("INSERT INTO t (v) VALUES ('a'); INSERT INTO t (v) VALUES (NULL);"
                                                     "SELECT id, v FROM t ORDER BY id;"),
                                      [&](const QVariantMap &row) {
                                          rows.append(row);
                                          return 0;
                                      }));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows.at(0),
              (QVariantMap{{QStringLiteral("id"), QStringLiteral("1")}, {QStringLiteral("v"), QStringLiteral("a")}}));
    EXPECT_TRUE(isNullMarker(rows.at(1).value(QStringLiteral("v"))));
    EXPECT_EQ(db->lastInsertRowId(), 2);

    int calls = 0;
    ConsoleLines console;
    EXPECT_FALSE(db->executeStatements(QStringLiteral("SELECT * FROM t; INSERT INTO t (v) VALUES ('never');"),
                                       [&](const QVariantMap &) { return ++calls; }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(db->executeStatements(QStringLiteral("INSERT INTO missing VALUES (1)")));
    EXPECT_EQ(console.messages(), (QStringList{QStringLiteral("Error inserting batch: query aborted"),
                                               QStringLiteral("Error inserting batch: no such table: missing")}));
    EXPECT_TRUE(db->executeUpdate(QStringLiteral("UPDATE t SET v = 'b'")));
    EXPECT_EQ(db->changes(), 2);
}

// Another process holds the file locked: the batch waits for the busy time (kept short here, 0.3 s)
// and then fails with the engine's "busy" answer.
TEST_F(SqliteDatabaseTest, VacuumGivesUpAfterTheBusyTimeWhileAnotherProcessHoldsTheLock)
{
    std::shared_ptr<FMDatabase> db = openTable();
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES ('kept')")));
    EXPECT_EQ(db->maxBusyRetryTimeInterval(), 2.0);
    db->setMaxBusyRetryTimeInterval(0.3);
    ShellLock lock(db->databasePath());
    ASSERT_TRUE(lock.isHolding());

    ConsoleLines console;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(db->executeStatements(QStringLiteral("VACUUM")));
    EXPECT_GE(timer.elapsed(), 300);
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_EQ(console.messages(), QStringList{QStringLiteral("Error inserting batch: database is locked")});
    EXPECT_EQ(db->lastErrorCode(), SQLITE_BUSY);

    lock.release();
    EXPECT_TRUE(db->executeStatements(QStringLiteral("VACUUM")));
    EXPECT_EQ(db->stringForQuery(QStringLiteral("SELECT v FROM t")), QStringLiteral("kept"));
}

TEST_F(SqliteDatabaseTest, ACursorMeetingALockedFileReportsBusyWithoutWaiting)
{
    std::shared_ptr<FMDatabase> db = openTable();
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (1)")));
    db->setMaxBusyRetryTimeInterval(0);
    ShellLock lock(db->databasePath());
    ASSERT_TRUE(lock.isHolding());

    ConsoleLines console;
    std::shared_ptr<FMResultSet> resultSet = db->executeQuery(QStringLiteral("SELECT v FROM t"));
    ASSERT_NE(resultSet, nullptr) << "the schema is known, so the statement prepares";
    platform::PlatformError error;
    EXPECT_FALSE(resultSet->nextWithError(&error));
    EXPECT_EQ(error.code(), SQLITE_BUSY);
    const QStringList lines = console.messages();
    ASSERT_EQ(lines.size(), 2) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines.at(0).contains(QStringLiteral(" Database busy (%1)").arg(db->databasePath())));
    EXPECT_EQ(lines.at(1), QStringLiteral("Database busy"));
}

TEST_F(SqliteDatabaseTest, DatesBindAsTextWithAFormatter)
{
    std::shared_ptr<FMDatabase> db = openTable();
    db->setDateFormat(FMDatabase::storeableDateFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    EXPECT_TRUE(db->hasDateFormatter());
    const QDateTime date = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (v) VALUES (?)"), date));
    EXPECT_EQ(runSqliteShell(db->databasePath(), QStringLiteral("SELECT quote(v) FROM t")),
              QStringList{QStringLiteral("'2001-09-09 01:46:40'")});
    EXPECT_EQ(db->dateForQuery(QStringLiteral("SELECT v FROM t")), date);
    EXPECT_EQ(db->stringFromDate(date), QStringLiteral("2001-09-09 01:46:40"));
    EXPECT_FALSE(db->dateFromString(QStringLiteral("not a date")).isValid());
}

TEST_F(SqliteDatabaseTest, TracingLogsStatementsAndArguments)
{
    std::shared_ptr<FMDatabase> db = openTable();
    db->setTraceExecution(true);
    ConsoleLines console;
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t (id, v) VALUES (?, ?)"), 1, QByteArray("abc")));
    std::shared_ptr<FMResultSet> resultSet =
        db->executeQuery(QStringLiteral("SELECT v FROM t WHERE id = :id"), QVariantMap{{QStringLiteral("id"), 1}});
    EXPECT_EQ(console.messages(),
              (QStringList{db->description() + QStringLiteral(" executeUpdate: INSERT INTO t (id, v) VALUES (?, ?)"),
                           QStringLiteral("obj: 1"), QStringLiteral("data: 3 bytes"),
                           db->description() + QStringLiteral(" executeQuery: SELECT v FROM t WHERE id = :id"),
                           QStringLiteral(":id = 1")}));
}

TEST(SqliteDatabase, ReportsItsVersionsAndRefusesKeysAndClosedUse)
{
    EXPECT_EQ(FMDatabase::FMDBUserVersion(), QStringLiteral("2.3"));
    EXPECT_EQ(FMDatabase::FMDBVersion(), 560u);
    EXPECT_EQ(FMDatabase::sqliteLibVersion(), QString::fromUtf8(SQLITE_VERSION));
    EXPECT_TRUE(FMDatabase::isSQLiteThreadSafe());

    std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
    ConsoleLines console;
    EXPECT_EQ(db->executeQuery(QStringLiteral("SELECT 1")), nullptr);
    EXPECT_FALSE(db->databaseExists());
    EXPECT_FALSE(db->executeStatements(QStringLiteral("SELECT 1")));
    EXPECT_EQ(db->busyRetryTimeout(), -1);
    db->setBusyRetryTimeout(5);
    db->makeFunctionNamed(QStringLiteral("never"), 0, [](sqlite3_context *, int, sqlite3_value **) {});
    const QStringList lines = console.messages();
    const QString notOpen = QStringLiteral("The FMDatabase %1 is not open.").arg(db->description());
    ASSERT_EQ(lines.size(), 7) << lines.join(u'\n').toStdString();
    EXPECT_EQ(lines.at(0), notOpen);
    EXPECT_EQ(lines.at(1), notOpen);
    EXPECT_TRUE(lines.at(2).startsWith(QStringLiteral("busyRetryTimeout:")));
    EXPECT_EQ(lines.at(3),
              QStringLiteral("FMDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval"));
    EXPECT_TRUE(lines.at(4).startsWith(QStringLiteral("setBusyRetryTimeout:")));
    EXPECT_EQ(lines.at(5),
              QStringLiteral("FMDB: setBusyRetryTimeout does nothing, please use setMaxBusyRetryTimeInterval:"));
    EXPECT_EQ(lines.at(6), notOpen);

    ASSERT_TRUE(db->open());
    // Text without a statement prepares to nothing: nothing runs and nothing crashes.
    EXPECT_FALSE(db->executeUpdate(QStringLiteral("-- only a comment")));
    const std::shared_ptr<FMResultSet> nothing = db->executeQuery(QStringLiteral("  "));
    EXPECT_TRUE(nothing == nullptr || !nothing->next());
    EXPECT_FALSE(db->setKey(QStringLiteral("secret")));
    EXPECT_FALSE(db->rekey(QStringLiteral("secret")));
    EXPECT_FALSE(db->setKeyWithData(QByteArray("secret")));
    EXPECT_FALSE(db->rekeyWithData(QByteArray("secret")));
}

#ifndef NDEBUG

TEST(SqliteDatabaseDeathTest, StopsOnCallerErrors)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
            db->open();
            db->executeUpdate(QStringLiteral("SELECT 1"));
        },
        "A executeUpdate is being called with a query string 'SELECT 1'");
    EXPECT_DEATH(
        {
            std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
            db->open();
            platform::PlatformError error;
            db->startSavePointWithName(QString(), &error);
        },
        "Invalid parameter not satisfying: name");
    EXPECT_DEATH(
        {
            std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
            db->setCrashOnErrors(true);
            db->executeQuery(QStringLiteral("SELECT 1"));
        },
        "The FMDatabase <FMDatabase: 0x[0-9a-f]+> is not open.");
    EXPECT_DEATH(
        {
            std::shared_ptr<FMDatabase> db = FMDatabase::databaseWithPath();
            db->open();
            db->setCrashOnErrors(true);
            db->executeQuery(QStringLiteral("SELECT * FROM missing"));
        },
        "DB Error: 1 \"no such table: missing\"");
}

#endif

} // namespace
