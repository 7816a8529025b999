#include "foundation/HMRRuleHelper.h"
#include "foundation/HMRRuleParts.h"

#include "LogCapture.h"
#include "RecurrenceTestSupport.h"
#include "foundation/Lumberjack/DDLog.h"

#include <QVariantMap>

#include <random>

#include <gtest/gtest.h>

using namespace recurrencetest;
using platform::CalendarStoreClasses;

TEST(HMRRuleParts, MalformedRuleTextGivesAnEmptyOrPartialDictionaryAndALogLine)
{
    struct Row
    {
        const char *name;
        const char *text;
        qint64 repeat; // -1: the dictionary is empty
        const char *logged;
    };
    const Row rows[] = {
        {"unknown frequency", "FREQ=HOURLY;INTERVAL=2", -1, "FREQ 'HOURLY' is not supported"},
        {"no '=' after FREQ", "FREQDAILY;INTERVAL=2", -1, "part 'FREQDAILY' has no '='"},
        {"no '=' in a later part", "FREQ=DAILY;INTERVAL2;COUNT=3", 1, "part 'INTERVAL2' has no '='"},
        {"an interval past 64 bits", "FREQ=DAILY;INTERVAL=99999999999999999999999", -1, "is out of range"},
        {"a huge interval", "FREQ=WEEKLY;INTERVAL=5000", -1, "larger than 999"},
        {"an interval that is no number", "FREQ=WEEKLY;INTERVAL=often", 2, "INTERVAL 'OFTEN' is not a number"},
        {"weekday garbage", "FREQ=WEEKLY;BYDAY=XYZ", 2, "BYDAY 'XYZ' names no weekday"},
        {"weekday commas", "FREQ=WEEKLY;BYDAY=,,,", 2, "BYDAY ',,,' names no weekday"},
        {"a week number past 64 bits", "FREQ=MONTHLY;BYDAY=99999999999999999999MO", 3, "no usable week number"},
        {"a week number out of range", "FREQ=MONTHLY;BYDAY=60MO", 3, "no usable week number"},
        {"a day of the month out of range", "FREQ=MONTHLY;BYMONTHDAY=77", 3, "BYMONTHDAY '77'"},
        {"an end that is no date", "FREQ=DAILY;UNTIL=soon", 1, "UNTIL 'SOON' is not a date"},
        {"an end on a day that does not exist", "FREQ=DAILY;UNTIL=20230229T000000Z", 1, "is not a date"},
        {"a negative count", "FREQ=DAILY;COUNT=-5", 1, "COUNT '-5'"},
        {"a count past 32 bits", "FREQ=DAILY;COUNT=99999999999", -1, "COUNT '99999999999' is out of range"},
        {"a set position out of range", "FREQ=MONTHLY;BYDAY=MO;BYSETPOS=400", 3, "BYSETPOS '400'"},
        {"only separators", "=;=", -1, "has no frequency"},
        {"control characters", "\x01\x02\x7f", -1, "has no '='"},
    };
    const QDateTime start = utc(2024, 1, 8, 9);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture errors(LOG_LEVEL_ERROR);
        const QVariantMap dictionary = HMRRuleHelper::getDictionaryFromRRule(QLatin1String(row.text), start);
        const QString logged = errors.lines().join(QLatin1Char('\n'));
        if (row.repeat < 0) {
            EXPECT_TRUE(dictionary.isEmpty());
        } else {
            EXPECT_EQ(dictionary.value(QStringLiteral("REPEAT")).toLongLong(), row.repeat);
        }
        EXPECT_TRUE(logged.contains(QLatin1String(row.logged))) << qPrintable(logged);
    }
}

TEST(HMRRuleParts, ReadsOnlyABoundedNumberOfParts)
{
    QString text = QStringLiteral("FREQ=MONTHLY");
    for (int part = 0; part < 10000; ++part)
        text += QStringLiteral(";BYSETPOS=1");
    text += QStringLiteral(";INTERVAL=4");
    LogCapture errors(LOG_LEVEL_ERROR);
    const HMRRuleParts parts = HMRRuleParts::read(text, HMRRuleParts::Road::EventKit);
    EXPECT_TRUE(errors.lines().join(QLatin1Char('\n')).contains(QLatin1String("only the first 64 are read")));
    EXPECT_EQ(parts.setPositions.size(), 63);
    EXPECT_EQ(parts.interval, 1) << "parts past the bound are not read";
}

// Every truncation and a seeded run of character flips of real rules, on both roads: each ends in a
// dictionary (maybe empty) whose rule text, if any, is a rule again; nothing crashes.
TEST(HMRRuleParts, SurvivesTruncatedAndMutatedRuleText)
{
    const QString samples[] = {
        QStringLiteral("RRULE:FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE,FR;UNTIL=20240301T000000Z"),
        QStringLiteral("FREQ=MONTHLY;INTERVAL=3;BYDAY=-1FR;COUNT=12;BYSETPOS=-1"),
        QStringLiteral("FREQ=YEARLY;BYMONTHDAY=15;BYMONTH=3;WKST=SU"),
    };
    const QString alphabet = QStringLiteral("=;,-+0123456789SUMOTWEHFRAYLIDNKC \n\t\u00e9\U0001F600");
    std::mt19937 random(5545);
    QStringList texts;
    for (const QString &sample : samples) {
        for (qsizetype length = 0; length <= sample.size(); ++length)
            texts.append(sample.left(length));
        for (int round = 0; round < 400; ++round) {
            QString mutated = sample;
            const int flips = 1 + int(random() % 4);
            for (int flip = 0; flip < flips; ++flip) {
                const qsizetype at = qsizetype(random() % quint32(mutated.size()));
                mutated[at] = alphabet.at(qsizetype(random() % quint32(alphabet.size())));
            }
            texts.append(mutated);
        }
    }
    const QDateTime start = utc(2024, 1, 8, 9);
    const int32_t levelBefore = ddLogLevel.exchange(LOG_LEVEL_OFF);
    for (const CalendarStoreClasses road :
         {CalendarStoreClasses::EventKitAndCalendarStore, CalendarStoreClasses::CalendarStoreOnly}) {
        const StoreRoad storeRoad(road);
        for (const bool isOutlookSync : {true, false}) {
            const OutlookSyncFlag flag(isOutlookSync);
            for (const QString &text : texts) {
                QVariantMap dictionary = HMRRuleHelper::getDictionaryFromRRule(text, start);
                if (dictionary.isEmpty())
                    continue;
                dictionary.insert(QStringLiteral("NSDATESTARTDATE"), start);
                const QString written = HMRRuleHelper::rRuleFromDictionary(dictionary);
                if (!written.isNull()) {
                    EXPECT_TRUE(written.startsWith(QLatin1String("RRULE:FREQ="))) << qPrintable(text);
                }
                EXPECT_FALSE(HMRRuleHelper::displayStringForRecurrenceDictionary(dictionary).isEmpty());
            }
        }
    }
    ddLogLevel.store(levelBefore);
}
