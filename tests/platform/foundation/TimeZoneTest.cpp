#include "platform/foundation/TimeZone.h"

#include "platform/foundation/Calendar.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"

#include <QByteArray>

#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/foundation/TimeZoneTestSupport.h"

#include <gtest/gtest.h>

using namespace platform;
using testsupport::utc;

namespace {

// Sets TZ for one test and puts the previous value back.
class ScopedTz final
{
public:
    explicit ScopedTz(const char *value) : m_previous(qgetenv("TZ")), m_hadValue(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", value);
        tzset();
    }
    ~ScopedTz()
    {
        if (m_hadValue)
            qputenv("TZ", m_previous);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_previous;
    bool m_hadValue;
};

} // namespace

TEST(TimeZone, GivesOffsetsAndAbbreviationsFromTheSystemZoneData)
{
    struct Row
    {
        const char *zone;
        const char *at;
        int secondsFromGmt;
        const char *abbreviation;
    };
    const Row rows[] = {
        {"GMT", "2024-01-15T12:00:00Z", 0, "GMT"},
        {"GMT", "2024-07-15T12:00:00Z", 0, "GMT"},
        {"UTC", "2024-07-15T12:00:00Z", 0, "UTC"},
        {"US/Pacific", "2024-01-15T12:00:00Z", -8 * 3600, "PST"},
        {"US/Pacific", "2024-07-15T12:00:00Z", -7 * 3600, "PDT"},
        // The switch happens at 02:00 local time, 10:00 GMT.
        {"US/Pacific", "2024-03-10T09:59:59Z", -8 * 3600, "PST"},
        {"US/Pacific", "2024-03-10T10:00:00Z", -7 * 3600, "PDT"},
        // Beyond the table in the zone file the file's rule for the future applies.
        {"US/Pacific", "2045-07-15T12:00:00Z", -7 * 3600, "PDT"},
        {"Europe/Berlin", "2024-07-15T12:00:00Z", 2 * 3600, "CEST"},
        // Zone files give Dublin a negative daylight saving in winter; the offsets must still be right.
        {"Europe/Dublin", "2024-01-15T12:00:00Z", 0, "GMT"},
        {"Europe/Dublin", "2024-07-15T12:00:00Z", 3600, "IST"},
        // Mexico gave up daylight saving at the end of 2022; older zone data still shifts it in summer.
        {"America/Mexico_City", "2024-07-15T12:00:00Z", -6 * 3600, "CST"},
        {"Asia/Kolkata", "2024-07-15T12:00:00Z", 5 * 3600 + 1800, "IST"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.zone) + " at " + row.at);
        const Result<TimeZone> zone = TimeZone::named(QString::fromLatin1(row.zone));
        ASSERT_TRUE(zone.ok()) << qPrintable(zone.error().message());
        EXPECT_EQ(zone->name(), QString::fromLatin1(row.zone));
        EXPECT_EQ(zone->secondsFromGmt(utc(row.at)), row.secondsFromGmt);
        EXPECT_EQ(zone->abbreviation(utc(row.at)), QString::fromLatin1(row.abbreviation));

        // Formatters and calendars in the zone agree with it.
        const DateFormatter offsetFormatter(QStringLiteral("ZZZZZ"), Locale(QStringLiteral("en_US_POSIX")), *zone);
        const int minutes = row.secondsFromGmt / 60;
        const QString expectedOffset = minutes == 0 ? QStringLiteral("Z")
                                                    : QStringLiteral("%1%2:%3")
                                                          .arg(minutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                                                          .arg(std::abs(minutes) / 60, 2, 10, QLatin1Char('0'))
                                                          .arg(std::abs(minutes) % 60, 2, 10, QLatin1Char('0'));
        EXPECT_EQ(offsetFormatter.format(utc(row.at)), expectedOffset);
    }
}

TEST(TimeZone, RefusesNamesNoZoneDataKnows)
{
    for (const char *name : {"Mars/Olympus_Mons", "", "   ", "../../etc/passwd"}) {
        SCOPED_TRACE(name);
        const Result<TimeZone> zone = TimeZone::named(QString::fromLatin1(name));
        ASSERT_FALSE(zone.ok());
        if (!QByteArray(name).trimmed().isEmpty()) {
            EXPECT_TRUE(zone.error().message().contains(QString::fromLatin1(name)))
                << qPrintable(zone.error().message());
        }
    }
}

TEST(TimeZone, FollowsTheSystemZoneUnlessADefaultIsSet)
{
    {
        const ScopedTz pacific("US/Pacific");
        EXPECT_EQ(TimeZone::systemTimeZone().name(), QStringLiteral("US/Pacific"));
        EXPECT_EQ(TimeZone::defaultTimeZone().name(), QStringLiteral("US/Pacific"));
        EXPECT_EQ(Calendar().timeZone().name(), QStringLiteral("US/Pacific"));
    }
    const int systemOffset = TimeZone::systemTimeZone().secondsFromGmt(utc("2024-07-15T12:00:00Z"));
    EXPECT_EQ(systemOffset, 0) << "tests run with TZ=UTC";

    TimeZone::setDefaultTimeZone(TimeZone::named(QStringLiteral("Asia/Tokyo")).value());
    EXPECT_EQ(TimeZone::defaultTimeZone().name(), QStringLiteral("Asia/Tokyo"));
    EXPECT_EQ(Calendar().component(CalendarUnit::Hour, utc("2024-07-15T12:00:00Z")), 21);
    TimeZone::setDefaultTimeZone(std::nullopt);
    EXPECT_EQ(TimeZone::defaultTimeZone(), TimeZone::systemTimeZone());
}

TEST(TimeZone, GivesTheOffsetInEffectNowByTheProcessClock)
{
    const TimeZone pacific = TimeZone::named(QStringLiteral("US/Pacific")).value();
    Clock::setSource([] { return QDateTime(QDate(2024, 1, 15), QTime(12, 0), Qt::UTC); });
    EXPECT_EQ(pacific.secondsFromGmt(), -8 * 3600);
    Clock::setSource([] { return QDateTime(QDate(2024, 7, 15), QTime(12, 0), Qt::UTC); });
    EXPECT_EQ(pacific.secondsFromGmt(), -7 * 3600);
    Clock::setSource({});
}

TEST(TimeZone, CanBeLookedUpAndUsedFromManyThreadsAtOnce)
{
    const char *names[] = {"US/Pacific", "Europe/Berlin", "Australia/Sydney", "America/New_York"};
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 50; ++round) {
                const Result<TimeZone> zone = TimeZone::named(QString::fromLatin1(names[(thread + round) % 4]));
                if (!zone || zone->secondsFromGmt(utc("2024-01-15T12:00:00Z")) == 1)
                    ++failures[thread];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int count : failures)
        EXPECT_EQ(count, 0);
}
