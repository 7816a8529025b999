// The simulated Outlook's data-only grammar: what it reads as values and what it refuses.
#include "ScriptGrammar.h"

#include <gtest/gtest.h>

using outlookpeer::ScriptMatch;
using outlookpeer::ScriptValue;
using outlookpeer::ValueReader;

namespace {

const QString kPattern = QStringLiteral("dd/MM/yyyy HH:mm");

std::optional<ScriptValue> read(const QString &text, qsizetype *end = nullptr)
{
    ValueReader reader(text, 0, kPattern);
    std::optional<ScriptValue> value = reader.readValue();
    if (end)
        *end = reader.position();
    return value;
}

} // namespace

TEST(OutlookScriptGrammar, ReadsEveryKindOfValue)
{
    const auto text = read(QStringLiteral("\"a \\\"b\\\" \\\\ c\\n\\td\""));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, QStringLiteral("a \"b\" \\ c\n\td"));
    EXPECT_EQ(read(QStringLiteral("-42"))->integer, -42);
    EXPECT_DOUBLE_EQ(read(QStringLiteral("2.5"))->real, 2.5);
    EXPECT_TRUE(read(QStringLiteral("true"))->boolean);
    EXPECT_EQ(read(QStringLiteral("high"))->kind, ScriptValue::Kind::Enumeration);

    const auto date = read(QStringLiteral("date \"24/02/1970 13:05\""));
    ASSERT_TRUE(date);
    EXPECT_EQ(date->date, QDateTime(QDate(1970, 2, 24), QTime(13, 5), Qt::LocalTime));

    const auto record = read(QStringLiteral("{name:\"Home\", color:{65535, 0, 0}, first name:\"Anna\"}"));
    ASSERT_TRUE(record);
    ASSERT_EQ(record->kind, ScriptValue::Kind::Record);
    ASSERT_EQ(record->fields.size(), 3);
    EXPECT_EQ(record->fields[1].second.items.size(), 3);
    EXPECT_EQ(record->fields[2].first, QStringLiteral("first name"));

    const auto categories = read(QStringLiteral("{category id 5 of application \"Microsoft Outlook\", category id 7}"));
    ASSERT_TRUE(categories);
    EXPECT_EQ(categories->items[0].kind, ScriptValue::Kind::CategoryReference);
    EXPECT_EQ(categories->items[0].integer, 5);
    EXPECT_EQ(categories->items[0].text, QStringLiteral("Microsoft Outlook"));
    EXPECT_EQ(categories->items[1].integer, 7);
}

TEST(OutlookScriptGrammar, RefusesWhatIsNotData)
{
    struct Row { const char *name; QString text; };
    const Row rows[] = {
        {"unknown escape", QStringLiteral("\"a\\qb\"")},
        {"unterminated text", QStringLiteral("\"abc")},
        {"date in another pattern", QStringLiteral("date \"1970-02-24 13:05\"")},
        {"record and list mixed", QStringLiteral("{a:1, 2}")},
        {"concatenation", QStringLiteral("(\"a\" & \"b\")")},
        {"too deep", QString(40, u'{') + QString(40, u'}')},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(read(row.text));
    }
    // A value read stops at what follows it; the form matcher then refuses the rest.
    qsizetype end = 0;
    ASSERT_TRUE(read(QStringLiteral("\"x\" & (do shell script \"touch F\")"), &end));
    EXPECT_EQ(end, 3);
}

TEST(OutlookScriptGrammar, FormsMatchOnlyTheirExactText)
{
    const QString form = QStringLiteral("tell application \u00ABA\u00BB\ndelete contact id \u00ABI\u00BB\nend tell");
    struct Row { const char *name; QString script; bool matches; qint64 id; };
    const Row rows[] = {
        {"quoted id", QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id \"12\"\nend tell"), true, 12},
        {"unquoted id", QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id 12\nend tell"), true, 12},
        {"id that is not a number", QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id \"x\"\nend tell"), false, 0},
        {"trailing text", QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id 12\nend tell\n"), false, 0},
        {"another class", QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contacts id 12\nend tell"), false, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptMatch match;
        EXPECT_EQ(outlookpeer::matchScript(form, row.script, kPattern, match), row.matches);
        if (row.matches) {
            EXPECT_EQ(match.captures.value(1).integer, row.id);
        }
    }
}
