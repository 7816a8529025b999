#include "phonelink/PhoneListReply.h"

#include <gtest/gtest.h>

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

} // namespace

TEST(PhoneListReply, ReadsRowsWholeOrNotAtAll)
{
    // The id list as the engine reads it: "UID" keeps its name, "ACTION" has none and is left out.
    const QVariantMap keys = {{QStringLiteral("UID"), QStringLiteral("UID")},
                              {QStringLiteral("NAME"), QStringLiteral("name")}};
    const Case cases[] = {
        {"phone names", "OK\nCount=2\nList=A\nACTION\tUID\nadd\tp1\nupdate\tp2\n", false, 512,
         QList<QVariantMap>{row({{"ACTION", "add"}, {"UID", "p1"}}), row({{"ACTION", "update"}, {"UID", "p2"}})}},
        {"renamed, unnamed column left out", "OK\r\nCount=2\r\nList=A\r\nACTION\tUID\tNAME\r\nadd\tp1\tAnn\r\n"
                                             "add\tp2\t\r\n",
         true, 512, QList<QVariantMap>{row({{"UID", "p1"}, {"name", "Ann\r"}}), row({{"UID", "p2"}, {"name", "\r"}})}},
        {"row limit keeps counting", "OK\nCount=3\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\nadd\tp3\n", true, 2,
         QList<QVariantMap>{row({{"UID", "p1"}}), row({{"UID", "p2"}})}},
        {"repeated values", "OK\nCount=4\nList=A\nACTION\tUID\nadd\tp1\nadd\tp2\nupdate\tp3\nadd\tp3\n", false, 512,
         QList<QVariantMap>{row({{"ACTION", "add"}, {"UID", "p1"}}), row({{"ACTION", "add"}, {"UID", "p2"}}),
                            row({{"ACTION", "update"}, {"UID", "p3"}}), row({{"ACTION", "add"}, {"UID", "p3"}})}},
        {"no list part", "OK\nCount=0\n", true, 512, QList<QVariantMap>{}},
        {"short row", "OK\nCount=2\nList=A\nACTION\tUID\nadd\tp1\nadd\n", true, 512, std::nullopt},
        {"blank UID", "OK\nCount=1\nList=A\nACTION\tUID\nadd\t  \n", true, 512, std::nullopt},
        {"fewer rows than announced", "OK\nCount=3\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, std::nullopt},
        {"no UID column", "OK\nCount=1\nList=A\nACTION\tNAME\nadd\tAnn\n", true, 512, std::nullopt},
        {"no count", "OK\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, std::nullopt},
        {"count not a number", "OK\nCount=x\nList=A\nACTION\tUID\nadd\tp1\n", true, 512, std::nullopt},
    };
    for (const Case &test : cases) {
        phonelist::ReadRules rules;
        rules.requiresCount = true;
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

TEST(PhoneListReply, CutsLongValues)
{
    phonelist::ReadRules rules;
    rules.maxValueChars = 4;
    const platform::Result<QList<QVariantMap>> rows =
        phonelist::readRows(QStringLiteral("OK\nCount=1\nList=A\nUID\tNOTE\nlong-id\tabcdefgh\n"), rules);
    ASSERT_TRUE(rows);
    EXPECT_EQ(*rows, QList<QVariantMap>{row({{"UID", "long"}, {"NOTE", "abcd"}})});
    EXPECT_EQ(phonelist::readColumn(QStringLiteral("OK\nCount=1\nList=A\nUID\tNOTE\nlong-id\tabcdefgh\n"), rules,
                                    QStringLiteral("UID"))
                  .valueOr(QStringList()),
              QStringList{QStringLiteral("long")});
}
