#include "foundation/NSDictionary+HMExtras.h"
#include "foundation/NSMutableDictionary+HMExtras.h"

#include "LogCapture.h"
#include "QtPrinters.h"
#include "foundation/Lumberjack/DDLog.h"

#include <QDateTime>
#include <QVariantList>

#include <gtest/gtest.h>

namespace {

const QString kKey = QStringLiteral("NOTE");

} // namespace

TEST(RecordReaders, StringForKeyReadsOnlyTextAndWarnsAboutOtherValues)
{
    const QVariantMap record{{QStringLiteral("NOTE"), QStringLiteral("  kept as is ")},
                             {QStringLiteral("INTERVAL"), 5},
                             {QStringLiteral("NSDATESTARTDATE"), QDateTime::currentDateTimeUtc()}};
    LogCapture log(LOG_LEVEL_VERBOSE);

    EXPECT_EQ(stringForKey(record, QStringLiteral("NOTE")), QStringLiteral("  kept as is "));
    EXPECT_EQ(stringForKey(record, QStringLiteral("MISSING")), QString());
    EXPECT_TRUE(log.lines().isEmpty()) << "text and missing keys log nothing";

    EXPECT_EQ(stringForKey(record, QStringLiteral("INTERVAL")), QString()) << "a number is never turned into text";
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral(
                               "WARNING: value for dictionary key 'INTERVAL' retrieval is not a string, returning ''")});
    EXPECT_EQ(stringForKey(record, QStringLiteral("NSDATESTARTDATE")), QString());
    EXPECT_EQ(log.lines().size(), 2);
}

TEST(RecordReaders, BoolForKeyIsTrueOnlyForNonZeroNumbersAndTheTextOne)
{
    struct Row
    {
        const char *name;
        QVariant value;
        bool expected;
    };
    const Row rows[] = {
        {"number two", QVariant(qint64(2)), true},
        {"number zero", QVariant(qint64(0)), false},
        {"boolean true", QVariant(true), true},
        {"fraction", QVariant(0.5), true},
        {"negative", QVariant(-1), true},
        {"text one", QVariant(QStringLiteral("1")), true},
        {"text zero", QVariant(QStringLiteral("0")), false},
        {"the word true", QVariant(QStringLiteral("true")), false},
        {"the word YES", QVariant(QStringLiteral("YES")), false},
        {"space before the digit", QVariant(QStringLiteral(" 1")), false},
        {"leading zero", QVariant(QStringLiteral("01")), false},
        {"empty text", QVariant(QString()), false},
        {"a date", QVariant(QDateTime::currentDateTimeUtc()), false},
        {"a list", QVariant(QVariantList{1}), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(boolForKey(QVariantMap{{kKey, row.value}}, kKey), row.expected);
    }
    EXPECT_FALSE(boolForKey(QVariantMap(), kKey)) << "a missing key";
}

TEST(RecordWriters, StoreValuesAsTheRecordFormatWantsThem)
{
    QVariantMap record{{QStringLiteral("GONE"), QStringLiteral("x")}};

    setHMValueAsString(record, QVariant(), QStringLiteral("EMPTY"));
    ASSERT_TRUE(record.contains(QStringLiteral("EMPTY"))) << "no value keeps the key present";
    EXPECT_EQ(record.value(QStringLiteral("EMPTY")), QVariant(QStringLiteral("")));

    setHMValueAsString(record, QStringLiteral(" \t two words\n"), QStringLiteral("TRIMMED"));
    EXPECT_EQ(record.value(QStringLiteral("TRIMMED")), QVariant(QStringLiteral("two words")));

    setHMValueAsString(record, 12, QStringLiteral("INT"));
    setHMValueAsString(record, qint64(-7), QStringLiteral("LONG"));
    setHMValueAsString(record, true, QStringLiteral("FLAG"));
    setHMValueAsString(record, 2.5, QStringLiteral("FRACTION"));
    EXPECT_EQ(record.value(QStringLiteral("INT")), QVariant(QStringLiteral("12")));
    EXPECT_EQ(record.value(QStringLiteral("LONG")), QVariant(QStringLiteral("-7")));
    EXPECT_EQ(record.value(QStringLiteral("FLAG")), QVariant(QStringLiteral("1")));
    EXPECT_EQ(record.value(QStringLiteral("FRACTION")), QVariant(QStringLiteral("2.5")));

    const QDateTime date(QDate(2024, 1, 15), QTime(12, 0), Qt::UTC);
    setHMValueAsString(record, date, QStringLiteral("NSDATESTARTDATE"));
    EXPECT_EQ(record.value(QStringLiteral("NSDATESTARTDATE")), QVariant(date)) << "a date is stored unchanged";

    setHMValue(record, QVariant(), QStringLiteral("GONE"));
    EXPECT_FALSE(record.contains(QStringLiteral("GONE"))) << "no value removes the key";
    setHMValue(record, QStringLiteral(" untouched "), QStringLiteral("RAW"));
    EXPECT_EQ(record.value(QStringLiteral("RAW")), QVariant(QStringLiteral(" untouched ")));

    setBool(record, true, QStringLiteral("TYPENUMBER"));
    EXPECT_EQ(record.value(QStringLiteral("TYPENUMBER")).typeId(), QMetaType::Bool);
    EXPECT_TRUE(boolForKey(record, QStringLiteral("TYPENUMBER")));
}

TEST(KeyMaps, SwapAndRenameAsTheTransportsUseThem)
{
    const QVariantMap keyMap{{QStringLiteral("NOTE"), QStringLiteral("notes")},
                             {QStringLiteral("SUBJECT"), QStringLiteral("title")}};
    const QVariantMap swapped = dictionaryWithKeyValuesSwapped(keyMap);
    EXPECT_EQ(swapped, (QVariantMap{{QStringLiteral("notes"), QStringLiteral("NOTE")},
                                    {QStringLiteral("title"), QStringLiteral("SUBJECT")}}));

    const QVariantMap record{{QStringLiteral("A"), 1}, {QStringLiteral("B"), 2}};
    EXPECT_EQ(mutableDictionaryWithKeysRenamedUsingDictionary(record, {{QStringLiteral("A"), QStringLiteral("X")}}),
              (QVariantMap{{QStringLiteral("X"), 1}}));

    // A phone row renamed back to record keys: fields the map does not know are dropped.
    const QVariantMap row{{QStringLiteral("notes"), QStringLiteral("n")},
                          {QStringLiteral("title"), QStringLiteral("t")},
                          {QStringLiteral("unknown"), QStringLiteral("u")}};
    EXPECT_EQ(mutableDictionaryWithKeysRenamedUsingDictionary(row, swapped),
              (QVariantMap{{QStringLiteral("NOTE"), QStringLiteral("n")}, {QStringLiteral("SUBJECT"), QStringLiteral("t")}}));
}
