#include "phonelink/PhoneListReply.h"

#include <gtest/gtest.h>

#include <random>

// The list part of "/hmx_list" replies as the phone writes them, read into rows or refused whole.
namespace {

QVariantMap row(std::initializer_list<std::pair<const char *, const char *>> fields)
{
    QVariantMap result;
    for (const auto &[key, value] : fields)
        result.insert(QString::fromUtf8(key), QString::fromUtf8(value));
    return result;
}

struct Case
{
    const char *name;
    const char *body;
    bool renames;
    qsizetype rowLimit;
    // Empty when the reply must be refused.
    std::optional<QList<QVariantMap>> rows;
};

// Reads each case as an id list or a page; rows read must be the case's, refusals refused.
void expectCases(std::initializer_list<Case> cases, bool isIdList)
{
    // The id list as the engine reads it: "UID" keeps its name, "ACTION" has none and is left out.
    const QVariantMap keys = {{QStringLiteral("UID"), QStringLiteral("UID")},
                              {QStringLiteral("NAME"), QStringLiteral("name")}};
    for (const Case &test : cases) {
        phonelist::ReadRules rules;
        rules.isIdList = isIdList;
        rules.requiresUid = true;
        rules.rowLimit = test.rowLimit;
        if (test.renames)
            rules.keyForColumn = keys;
        const platform::Result<QList<QVariantMap>> rows = phonelist::readRows(QString::fromUtf8(test.body), rules);
        // One column of the same rows is read as strictly, and holds each kept row's value under its key.
        const QString columnKey = test.renames ? QStringLiteral("name") : QStringLiteral("ACTION");
        const platform::Result<QStringList> column = phonelist::readColumn(QString::fromUtf8(test.body), rules, columnKey);
        if (!test.rows) {
            EXPECT_FALSE(rows) << test.name;
            EXPECT_FALSE(column) << test.name;
            continue;
        }
        ASSERT_TRUE(rows) << test.name << ": " << rows.error().message().toStdString();
        EXPECT_EQ(*rows, *test.rows) << test.name;
        QStringList expectedColumn;
        for (const QVariantMap &kept : *test.rows) {
            if (kept.contains(columnKey))
                expectedColumn.append(kept.value(columnKey).toString());
        }
        ASSERT_TRUE(column) << test.name;
        EXPECT_EQ(*column, expectedColumn) << test.name;
    }
}

} // namespace

TEST(PhoneListReply, ReadsRowsWholeOrNotAtAll)
{
    const QList<QVariantMap> p1 = {row({{"UID", "p1"}})};
    expectCases(
        {
            {"phone names", "OK\nCount=2\nList=A\nACTION\tUID\nadd\tp1\nupdate\tp2\n", false, 512,
             QList<QVariantMap>{row({{"ACTION", "add"}, {"UID", "p1"}}), row({{"ACTION", "update"}, {"UID", "p2"}})}},
            {"renamed, unnamed column left out",
             "OK\r\nCount=2\r\nList=A\r\nACTION\tUID\tNAME\r\nadd\tp1\tAnn\r\nadd\tp2\t\r\n", true, 512,
             QList<QVariantMap>{row({{"UID", "p1"}, {"name", "Ann\r"}}), row({{"UID", "p2"}, {"name", "\r"}})}},
            {"row limit keeps counting", "OK\nCount=3\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\nadd\tp3\n", true, 2,
             QList<QVariantMap>{row({{"UID", "p1"}}), row({{"UID", "p2"}})}},
            {"repeated values", "OK\nCount=4\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\nupdate\tp3\nadd\tp3\n", false, 512,
             QList<QVariantMap>{row({{"ACTION", "add"}, {"UID", "p1"}}), row({{"ACTION", "add"}, {"UID", "p2"}}),
                                row({{"ACTION", "update"}, {"UID", "p3"}}), row({{"ACTION", "add"}, {"UID", "p3"}})}},
            {"no list part", "OK\nCount=0\n", true, 512, QList<QVariantMap>{}},
            {"no count", "OK\nNote=x\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, p1},
            {"count not a number", "OK\nCount=x\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, p1},
            {"a number after List= that is the rows", "OK\nNote=x\nList=1\nACTION\tUID\nadd\tp1\n", true, 512, p1},
            {"short row", "OK\nCount=2\nList=A\nACTION\tUID\nadd\tp1\nadd\n", true, 512, std::nullopt},
            {"blank UID", "OK\nCount=1\nList=A\nACTION\tUID\nadd\t  \n", true, 512, std::nullopt},
            {"no UID column", "OK\nCount=1\nList=A\nACTION\tNAME\nadd\tAnn\n", true, 512, std::nullopt},
            {"more rows than Count=", "OK\nCount=1\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\n", true, 512, std::nullopt},
        },
        true);
}

// An id list decides deletions: any number it announces must be its rows. A page is part of a
// listing: a Count= that is the listing's total, or a number after List=, refuses nothing.
TEST(PhoneListReply, AnIdListMatchesEveryNumberItAnnouncesAPageNeverExceedsItsCount)
{
    const QList<QVariantMap> p1 = {row({{"UID", "p1"}})};
    const Case readOnPages[] = {
        {"fewer rows than Count=", "OK\nCount=3\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, p1},
        {"fewer rows than after List=", "OK\nx\nList=3\nACTION\tUID\nadd\tp1\n", true, 512, p1},
        {"Count= agrees, List= does not", "OK\nCount=1\nList=2\nACTION\tUID\nadd\tp1\n", true, 512, p1},
        {"an empty page ending a listing of 10000", "OK\nCount=10000\n", true, 512, QList<QVariantMap>{}},
        {"an empty list part of 10000", "OK\nCount=10000\nList=4\nACTION\tUID\n", true, 512, QList<QVariantMap>{}},
    };
    for (const Case &test : readOnPages) {
        expectCases({test}, false);
        expectCases({Case{test.name, test.body, test.renames, test.rowLimit, std::nullopt}}, true);
    }
    expectCases(
        {{"more rows than Count=", "OK\nCount=1\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\n", true, 512, std::nullopt}},
        false);
}

// Values are never cut: a note of a megabyte is read whole.
TEST(PhoneListReply, KeepsLongValuesWhole)
{
    const QString note(1024 * 1024, QLatin1Char('n'));
    const QString body = QStringLiteral("OK\nCount=1\nList=A\nUID\tNOTE\nlong-id\t") + note + QLatin1Char('\n');
    const platform::Result<QList<QVariantMap>> rows = phonelist::readRows(body, phonelist::ReadRules());
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1);
    EXPECT_EQ(rows->first().value(QStringLiteral("NOTE")).toString(), note);
    EXPECT_EQ(phonelist::readColumn(body, phonelist::ReadRules(), QStringLiteral("NOTE")).valueOr(QStringList()),
              QStringList{note});
}

namespace {

// A reply read the long way: every line split out, blank ones dropped, the header, then each row
// split at its tabs. The replies made below always announce their list after a status line and at
// most a "Count=" line, whose number (-1 for none) is given; their list's name is never a number.
std::optional<QList<QVariantMap>> rowsTheLongWay(const QString &body, qint64 count, const phonelist::ReadRules &rules)
{
    QStringList lines = body.mid(body.indexOf(QStringLiteral("List="))).split(QLatin1Char('\n'));
    lines.removeFirst();
    lines.removeIf([](const QString &line) { return line.isEmpty() || line == QStringLiteral("\r"); });
    QString header = lines.isEmpty() ? QString() : lines.takeFirst();
    if (header.endsWith(QLatin1Char('\r')))
        header.chop(1);
    const QStringList columns = header.isEmpty() ? QStringList() : header.split(QLatin1Char('\t'));
    const qsizetype uidColumn = columns.lastIndexOf(QStringLiteral("UID"));
    if (!lines.isEmpty() && (columns.size() < 2 || uidColumn < 0))
        return std::nullopt;
    QList<QVariantMap> rows;
    for (const QString &line : lines) {
        const QStringList values = line.split(QLatin1Char('\t'));
        if (values.size() != columns.size())
            return std::nullopt;
        if (rules.requiresUid && values.at(uidColumn).trimmed().isEmpty())
            return std::nullopt;
        if (rows.size() >= rules.rowLimit)
            continue;
        QVariantMap row;
        for (qsizetype column = 0; column < columns.size(); ++column) {
            const QString key = rules.keyForColumn ? rules.keyForColumn->value(columns.at(column)).toString()
                                                   : columns.at(column);
            if (!key.isEmpty())
                row.insert(key, values.at(column));
        }
        rows.append(row);
    }
    const bool agrees = rules.isIdList ? count == lines.size() : count >= lines.size();
    if (count >= 0 && !agrees)
        return std::nullopt;
    return rows;
}

} // namespace

// Seeded replies of every shape the phone or a broken connection could give (line ends of either
// kind, blank lines, rows short or long by a field, blank ids, a last line with no line end, counts
// right, above and below the rows) read as the long way reads them.
TEST(PhoneListReply, ReadsVariedRepliesAsTheLongWay)
{
    const QStringList headers = {QStringLiteral("ACTION\tUID"), QStringLiteral("ACTION\tUID\tNAME\r"),
                                 QStringLiteral("UID"), QStringLiteral("NAME\tACTION"), QStringLiteral("UID\tNAME\tUID"),
                                 QStringLiteral("NAME\tUID\tFULLNAME\tACTION")};
    const QStringList values = {QStringLiteral("add"), QStringLiteral("p1"), QString(), QStringLiteral("  "),
                                QStringLiteral("update\r"), QStringLiteral("a long value of many letters"),
                                QStringLiteral("\u00e9t\u00e9"), QStringLiteral("x y")};
    // Two columns can take one key: the later column's value stands.
    const QVariantMap keys = {{QStringLiteral("UID"), QStringLiteral("UID")},
                              {QStringLiteral("NAME"), QStringLiteral("name")},
                              {QStringLiteral("FULLNAME"), QStringLiteral("name")}};
    std::mt19937 random(11);
    const auto below = [&random](int bound) { return int(random() % unsigned(bound)); };
    for (int round = 0; round < 3000; ++round) {
        const QString header = headers.at(below(int(headers.size())));
        const qsizetype columns = header.count(QLatin1Char('\t')) + 1;
        QString list = QStringLiteral("List=A\n") + header + QLatin1Char('\n');
        int rows = below(7);
        for (int row = 0; row < rows; ++row) {
            if (below(6) == 0)
                list += below(2) ? QStringLiteral("\n") : QStringLiteral("\r\n");
            QStringList fields;
            for (qsizetype field = columns + (below(12) == 0 ? below(3) - 1 : 0); field > 0; --field)
                fields.append(values.at(below(int(values.size()))));
            list += fields.join(QLatin1Char('\t')) + (row + 1 < rows || below(3) ? QStringLiteral("\n") : QString());
        }
        const qint64 count = below(5) == 0 ? -1 : std::max(0, rows + (below(5) == 0 ? below(3) - 1 : 0));
        const QString body = QStringLiteral("OK\nNote=x\n") + (count >= 0 ? QStringLiteral("Count=%1\n").arg(count) : QString()) + list;
        phonelist::ReadRules rules;
        rules.isIdList = below(2) == 0;
        rules.requiresUid = below(2) == 0;
        rules.rowLimit = 1 + below(6);
        if (below(2) == 0)
            rules.keyForColumn = keys;
        SCOPED_TRACE(body.toStdString());
        const std::optional<QList<QVariantMap>> expected = rowsTheLongWay(body, count, rules);
        const platform::Result<QList<QVariantMap>> read = phonelist::readRows(body, rules);
        ASSERT_EQ(bool(read), expected.has_value());
        const QString columnKey = rules.keyForColumn ? QStringLiteral("name") : QStringLiteral("UID");
        const platform::Result<QStringList> column = phonelist::readColumn(body, rules, columnKey);
        ASSERT_EQ(bool(column), expected.has_value());
        if (!expected)
            continue;
        EXPECT_EQ(*read, *expected);
        QStringList expectedColumn;
        for (const QVariantMap &row : *expected) {
            if (row.contains(columnKey))
                expectedColumn.append(row.value(columnKey).toString());
        }
        EXPECT_EQ(*column, expectedColumn);
    }
}
