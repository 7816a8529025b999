#include "platform/foundation/Values.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>
#include <QVariantList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace platform;

namespace {

QDateTime utcDate(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone::utc());
}

} // namespace

TEST(Values, TellsTheKindOfAValue)
{
    struct Row
    {
        const char *name;
        QVariant value;
        const char
            *kinds; // one letter a kind: t text, n number, b boolean, d date, l list, m dictionary, x data, 0 nil
    };
    const Row rows[] = {
        {"nil", QVariant(), "0"},
        {"text", QStringLiteral("12"), "t"},
        {"empty text", QString(""), "t"},
        {"integer", QVariant(qint64(12)), "n"},
        {"int", QVariant(12), "n"},
        {"unsigned", QVariant(12u), "n"},
        {"double", QVariant(1.5), "n"},
        {"boolean", QVariant(true), "nb"},
        {"date", QVariant(utcDate(2014, 3, 5, 9, 20, 30)), "d"},
        {"list", QVariant(QVariantList{1, 2}), "l"},
        {"list of texts", QVariant(QStringList{QStringLiteral("a")}), "l"},
        {"dictionary", QVariant(QVariantMap{{QStringLiteral("k"), 1}}), "m"},
        {"data", QVariant(QByteArray("\x01")), "x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QString kinds;
        kinds += isText(row.value) ? u"t" : u"";
        kinds += isNumber(row.value) ? u"n" : u"";
        kinds += isBoolean(row.value) ? u"b" : u"";
        kinds += isDate(row.value) ? u"d" : u"";
        kinds += isList(row.value) ? u"l" : u"";
        kinds += isDictionary(row.value) ? u"m" : u"";
        kinds += isData(row.value) ? u"x" : u"";
        kinds += isNil(row.value) ? u"0" : u"";
        EXPECT_EQ(kinds.toStdString(), row.kinds);
    }
}

TEST(Values, ReadsIntegersAndBooleansOfTextAsThePlatformDoes)
{
    struct Row
    {
        const char *text;
        qint64 integer;
        bool boolean;
    };
    const Row rows[] = {
        {"", 0, false},
        {"0", 0, false},
        {"1", 1, true},
        {"12", 12, true},
        {"  \t\r\n42abc", 42, true},
        {"-7", -7, true},
        {"+5", 5, true},
        {"-007", -7, true},
        {"00", 0, false},
        {"0x1F", 0, false},
        {"1.9", 1, true},
        {"3e2", 3, true},
        {"abc", 0, false},
        {"- 5", 0, false},
        {"YES", 0, true},
        {"yes", 0, true},
        {"true", 0, true},
        {"True", 0, true},
        {"NO", 0, false},
        {"false", 0, false},
        {" Y", 0, true},
        {"x1", 0, false},
        {"\u00a0 9", 9, true},
        {"9223372036854775808", std::numeric_limits<qint64>::max(), true},
        {"-9223372036854775809", std::numeric_limits<qint64>::min(), true},
        {"-0", 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        const QString text = QString::fromUtf8(row.text);
        EXPECT_EQ(integerValueOfText(text), row.integer);
        EXPECT_EQ(integerValue(text), row.integer);
        EXPECT_EQ(boolValueOfText(text), row.boolean);
        EXPECT_EQ(boolValue(text), row.boolean);
    }
    EXPECT_EQ(intValueOfText(QStringLiteral("5000000000")), std::numeric_limits<int>::max());
    EXPECT_EQ(intValueOfText(QStringLiteral("-5000000000")), std::numeric_limits<int>::min());
    EXPECT_EQ(intValueOfText(QStringLiteral(" 20161 minutes")), 20161);
}

TEST(Values, ReadsIntegersAndBooleansOfOtherValues)
{
    struct Row
    {
        const char *name;
        QVariant value;
        int integer;
        bool boolean;
    };
    const Row rows[] = {
        {"true", QVariant(true), 1, true},
        {"false", QVariant(false), 0, false},
        {"integer", QVariant(qint64(-3)), -3, true},
        {"zero", QVariant(qint64(0)), 0, false},
        {"fraction cut towards zero", QVariant(3.9), 3, true},
        {"negative fraction cut towards zero", QVariant(-3.9), -3, true},
        {"small fraction is true", QVariant(0.25), 0, true},
        {"beyond int", QVariant(qint64(5000000000)), std::numeric_limits<int>::max(), true},
        {"double beyond every integer", QVariant(1e300), std::numeric_limits<int>::max(), true},
        {"not a number", QVariant(std::nan("")), 0, true},
        {"largest unsigned", QVariant(std::numeric_limits<quint64>::max()), std::numeric_limits<int>::max(), true},
        {"nil", QVariant(), 0, false},
        {"date", QVariant(utcDate(2014, 3, 5, 9, 20, 30)), 0, false},
        {"list", QVariant(QVariantList{1}), 0, false},
        {"data", QVariant(QByteArray("1")), 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(intValue(row.value), row.integer);
        EXPECT_EQ(boolValue(row.value), row.boolean);
    }
    EXPECT_EQ(integerValue(QVariant(-1e300)), std::numeric_limits<qint64>::min());
}

TEST(Values, DescribesScalarsAsThePlatformPrintsThem)
{
    struct Row
    {
        const char *name;
        QVariant value;
        const char *text;
    };
    const Row rows[] = {
        {"text as it is", QStringLiteral("a \"b\"\n"), "a \"b\"\n"},
        {"true", QVariant(true), "1"},
        {"false", QVariant(false), "0"},
        {"integer", QVariant(qint64(-12)), "-12"},
        {"int", QVariant(20161), "20161"},
        {"largest unsigned", QVariant(std::numeric_limits<quint64>::max()), "18446744073709551615"},
        {"whole double", QVariant(2.0), "2"},
        {"half", QVariant(1.5), "1.5"},
        {"tenth", QVariant(0.1), "0.1"},
        {"third", QVariant(1.0 / 3.0), "0.3333333333333333"},
        {"float tenth", QVariant(0.1f), "0.1"},
        {"large double", QVariant(1e20), "1e+20"},
        {"small double", QVariant(-2.5e-7), "-2.5e-07"},
        {"date in UTC", QVariant(utcDate(2014, 3, 5, 9, 20, 30)), "2014-03-05 09:20:30 +0000"},
        {"date in another zone", QVariant(QDateTime(QDate(2014, 3, 5), QTime(10, 20, 30, 999), QTimeZone(3600))),
         "2014-03-05 09:20:30 +0000"},
        {"invalid date", QVariant(QDateTime()), "(null)"},
        {"data", QVariant(QByteArray::fromHex("48656c6c6f2c20776f726c64")), "<48656c6c 6f2c2077 6f726c64>"},
        {"empty data", QVariant(QByteArray()), "<>"},
        {"nil", QVariant(), "(null)"},
        {"null marker", QVariant::fromValue(nullptr), "<null>"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(description(row.value).toStdString(), row.text);
    }
}

TEST(Values, DescribesListsAndDictionariesInTheOldStyleForm)
{
    struct Row
    {
        const char *name;
        QVariant value;
        const char *text;
    };
    const QVariantMap record{
        {QStringLiteral("SUBJECT"), QStringLiteral("Lunch")},
        {QStringLiteral("NSDATESTARTDATE"), utcDate(2014, 3, 5, 12, 0, 0)},
        {QStringLiteral("TYPENUMBER"), false},
        {QStringLiteral("NSARRAYEXCEPTIONS"), QStringList{QStringLiteral("20140312"), QStringLiteral("2014-03-19")}},
        {QStringLiteral("user_id"), qint64(-1)}};
    const Row rows[] = {
        {"empty list", QVariantList{}, "(\n)"},
        {"empty dictionary", QVariantMap{}, "{\n}"},
        {"plain words stay bare, others are quoted and escaped",
         QVariantList{QStringLiteral("abc12"), QString(), QStringLiteral("two words"), QStringLiteral("say \"hi\"\\"),
                      QStringLiteral("line\nbreak\ttab"), QStringLiteral("caf\u00e9"), qint64(3), qint64(-3), 2.5,
                      true},
         "(\n    abc12,\n    \"\",\n    \"two words\",\n    \"say \\\"hi\\\"\\\\\",\n    \"line\\nbreak\\ttab\",\n"
         "    \"caf\\U00e9\",\n    3,\n    \"-3\",\n    \"2.5\",\n    1\n)"},
        {"a record, keys sorted, nested list indented after the key", record,
         "{\n    NSARRAYEXCEPTIONS =     (\n        20140312,\n        \"2014-03-19\"\n    );\n"
         "    NSDATESTARTDATE = \"2014-03-05 12:00:00 +0000\";\n    SUBJECT = Lunch;\n    TYPENUMBER = 0;\n"
         "    \"user_id\" = \"-1\";\n}"},
        {"dictionaries inside a list",
         QVariantList{QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}, QVariantMap{}},
         "(\n        {\n        k = v;\n    },\n        {\n    }\n)"},
        {"nil and data inside a list", QVariantList{QVariant(), QByteArray("\x01\x02")},
         "(\n    \"(null)\",\n    \"<0102>\"\n)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(description(row.value).toStdString(), row.text);
    }
}
