// Every rule text the system writes is read by an independent RFC 5545 reader (python3-dateutil's
// rrulestr), and the occurrences it finds must be the ones the recurrence dictionary meant.
#include "foundation/HMRRuleHelper.h"

#include "RecurrenceTestSupport.h"

#include <QProcess>
#include <QStringList>
#include <QVariantMap>

#include <gtest/gtest.h>

using namespace recurrencetest;
using platform::CalendarStoreClasses;

namespace {

const char *const kOccurrencesScript = R"(
import itertools, sys
from datetime import datetime, timezone
from dateutil.rrule import rrulestr
for line in sys.stdin.read().splitlines():
    start, rule, limit = line.split('\t')
    dtstart = datetime.strptime(start, '%Y%m%dT%H%M%SZ').replace(tzinfo=timezone.utc)
    try:
        dates = itertools.islice(rrulestr(rule, dtstart=dtstart), int(limit))
        print(','.join(d.astimezone(timezone.utc).strftime('%Y%m%dT%H%M%SZ') for d in dates))
    except Exception as error:
        print('ERROR ' + repr(error))
)";

bool hasDateutil()
{
    QProcess probe;
    probe.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral("import dateutil.rrule")});
    return probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

// One line of occurrences per request line "start<TAB>rule<TAB>how many".
QStringList occurrencesByDateutil(const QStringList &requests)
{
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QLatin1String(kOccurrencesScript)});
    if (!python.waitForStarted(30000))
        return {};
    python.write(requests.join(QLatin1Char('\n')).toUtf8() + '\n');
    python.closeWriteChannel();
    if (!python.waitForFinished(60000))
        return {};
    const QString errors = QString::fromUtf8(python.readAllStandardError());
    EXPECT_TRUE(errors.isEmpty()) << qPrintable(errors);
    return QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString rfcTime(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
}

} // namespace

TEST(HMRRuleHelperRfc5545, WrittenRulesMeanWhatTheirDictionariesMeant)
{
    if (!hasDateutil())
        GTEST_SKIP() << "python3-dateutil is not installed (scripts/install-deps.sh installs it): the independent "
                        "RFC 5545 check cannot run";

    struct Row
    {
        const char *name;
        QDateTime start;
        QVariantMap keys;
        qint64 outlookDayMask; // "DAYMASK" in an Outlook sync
        qint64 otherDayMask;   // "DAYMASK" in the other syncs
        const char *occurrences;
    };
    const auto keys = [](std::initializer_list<std::pair<const char *, QVariant>> pairs) {
        QVariantMap map;
        for (const auto &[key, value] : pairs)
            map.insert(QLatin1String(key), value);
        return map;
    };
    const Row rows[] = {
        {"every other day, four times", utc(2024, 1, 8, 9), keys({{"REPEAT", 1}, {"INTERVAL", 2}, {"OCCURS", 4}}), 0, 0,
         "20240108T090000Z,20240110T090000Z,20240112T090000Z,20240114T090000Z"},
        {"daily until a moment", utc(2024, 1, 8, 9),
         keys({{"REPEAT", 1}, {"INTERVAL", 1}, {"NSDATEREPEATEND", utc(2024, 1, 11, 9)}}), 0, 0,
         "20240108T090000Z,20240109T090000Z,20240110T090000Z,20240111T090000Z"},
        {"Monday, Wednesday and Friday, five times", utc(2024, 1, 8, 9),
         keys({{"REPEAT", 2}, {"INTERVAL", 1}, {"OCCURS", 5}}), 42, 42,
         "20240108T090000Z,20240110T090000Z,20240112T090000Z,20240115T090000Z,20240117T090000Z"},
        {"every other week on Monday and Wednesday until the end of January", utc(2024, 1, 8, 9),
         keys({{"REPEAT", 2}, {"INTERVAL", 2}, {"NSDATEREPEATEND", utc(2024, 1, 31, 23, 59)}}), 10, 10,
         "20240108T090000Z,20240110T090000Z,20240122T090000Z,20240124T090000Z"},
        {"weekly without days, on the start's weekday", utc(2024, 1, 10, 9),
         keys({{"REPEAT", 2}, {"INTERVAL", 1}, {"OCCURS", 3}}), 0, 0,
         "20240110T090000Z,20240117T090000Z,20240124T090000Z"},
        {"the 15th of every month, three times", utc(2024, 1, 15, 9),
         keys({{"REPEAT", 3}, {"REPTDAYOPT", 0}, {"INTERVAL", 1}, {"DAYOFMONTH", 15}, {"OCCURS", 3}}), 0, 0,
         "20240115T090000Z,20240215T090000Z,20240315T090000Z"},
        {"the second Tuesday of every month", utc(2024, 1, 9, 9),
         keys({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 1}, {"DAYOCCUR", 2}, {"OCCURS", 4}}), 4, 4,
         "20240109T090000Z,20240213T090000Z,20240312T090000Z,20240409T090000Z"},
        {"the last Friday of every other month", utc(2024, 1, 26, 9),
         keys({{"REPEAT", 3}, {"REPTDAYOPT", 1}, {"INTERVAL", 2}, {"DAYOCCUR", 5}}), 32, 32,
         "20240126T090000Z,20240329T090000Z,20240531T090000Z,20240726T090000Z"},
        {"15 March every year", utc(2024, 3, 15, 9),
         keys({{"REPEAT", 4}, {"REPTDAYOPT", 0}, {"INTERVAL", 1}, {"DAYOFMONTH", 15}, {"MONTH", 3}}), 0, 0,
         "20240315T090000Z,20250315T090000Z,20260315T090000Z"},
        {"the second Sunday of March until 2026", utc(2024, 3, 10, 9),
         keys({{"REPEAT", 4},
               {"REPTDAYOPT", 1},
               {"INTERVAL", 1},
               {"DAYOCCUR", 2},
               {"MONTH", 3},
               {"NSDATEREPEATEND", utc(2026, 12, 31)}}),
         1, 1, "20240310T090000Z,20250309T090000Z,20260308T090000Z"},
    };

    struct Case
    {
        QString description;
        QString rule;
        QString expected;
    };
    QList<Case> cases;
    QStringList requests;
    for (const CalendarStoreClasses road :
         {CalendarStoreClasses::EventKitAndCalendarStore, CalendarStoreClasses::CalendarStoreOnly}) {
        const StoreRoad storeRoad(road);
        for (const bool isOutlookSync : {true, false}) {
            const OutlookSyncFlag flag(isOutlookSync);
            for (const Row &row : rows) {
                QVariantMap dictionary = row.keys;
                dictionary.insert(QStringLiteral("NSDATESTARTDATE"), row.start);
                const qint64 dayMask = isOutlookSync ? row.outlookDayMask : row.otherDayMask;
                if (dayMask != 0)
                    dictionary.insert(QStringLiteral("DAYMASK"), dayMask);
                const QString rule = HMRRuleHelper::rRuleFromDictionary(dictionary);
                const QString description = QStringLiteral("%1, %2, Outlook sync %3")
                                                .arg(QLatin1String(row.name), QLatin1String(roadName(road)))
                                                .arg(isOutlookSync);
                EXPECT_FALSE(rule.isEmpty()) << qPrintable(description);
                cases.append({description, rule, QLatin1String(row.occurrences)});
                // An ended series is asked for more than it has; an endless one for what the row lists.
                const bool hasEnd =
                    row.keys.contains(QStringLiteral("OCCURS")) || row.keys.contains(QStringLiteral("NSDATEREPEATEND"));
                const qsizetype limit = hasEnd ? 10 : QString::fromLatin1(row.occurrences).count(QLatin1Char(',')) + 1;
                requests.append(QStringLiteral("%1\t%2\t%3").arg(rfcTime(row.start), rule).arg(limit));
            }
        }
    }

    const QStringList answers = occurrencesByDateutil(requests);
    ASSERT_EQ(answers.size(), cases.size()) << "python3 answered every rule";
    for (qsizetype index = 0; index < cases.size(); ++index) {
        SCOPED_TRACE(qPrintable(cases.at(index).description + QStringLiteral(": ") + cases.at(index).rule));
        EXPECT_EQ(answers.at(index), cases.at(index).expected);
    }
}
