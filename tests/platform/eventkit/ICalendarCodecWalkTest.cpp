// A series' first occurrence in a window, found by a walk that may begin near the window instead of at
// the series' start, checked against the whole walk from the start.
#include "foundation/QtPrinters.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include <gtest/gtest.h>

using eventkittest::at;

namespace {

// A zone whose clocks go from 02:00 to 03:00 on the last Sunday of March and back on the last Sunday of
// October, and one that moves on half an hour at 02:00 on the first Sunday of October.
const QByteArray kZones = "BEGIN:VTIMEZONE\r\nTZID:Test/Hour\r\n"
                          "BEGIN:DAYLIGHT\r\nDTSTART:19810329T020000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                          "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                          "BEGIN:STANDARD\r\nDTSTART:19961027T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                          "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
                          "BEGIN:VTIMEZONE\r\nTZID:Test/Half\r\n"
                          "BEGIN:DAYLIGHT\r\nDTSTART:20081005T020000\r\nTZOFFSETFROM:+1030\r\nTZOFFSETTO:+1100\r\n"
                          "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=1SU\r\nEND:DAYLIGHT\r\n"
                          "BEGIN:STANDARD\r\nDTSTART:20080406T020000\r\nTZOFFSETFROM:+1100\r\nTZOFFSETTO:+1030\r\n"
                          "RRULE:FREQ=YEARLY;BYMONTH=4;BYDAY=1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";

// The first start of the whole walk that overlaps the window.
std::optional<QDateTime> firstOfWholeWalk(icalcomponent *master, const QDateTime &windowStart,
                                          const QDateTime &windowEnd)
{
    const QList<QDateTime> starts = platform::icalcodec::occurrenceStarts(master, windowStart, windowEnd);
    return starts.isEmpty() ? std::nullopt : std::optional<QDateTime>(starts.first());
}

} // namespace

// Rules stepped here and walked by libical, with and without COUNT or UNTIL, from starts years before
// the windows: in UTC, floating, all day on a leap day, and at times of day that a zone's clocks skip
// (a whole hour, half an hour) or pass twice, or do not touch.
TEST(ICalendarCodecWalk, FirstOccurrenceInAWindowIsTheWholeWalksFirst)
{
    const QList<QByteArray> starts = {"DTSTART:20140310T090000Z",
                                      "DTSTART:20130131T080000",
                                      "DTSTART;VALUE=DATE:20120229",
                                      "DTSTART;TZID=Test/Hour:20140330T023000",
                                      "DTSTART;TZID=Test/Hour:20141026T023000",
                                      "DTSTART;TZID=Test/Hour:20131231T093000",
                                      "DTSTART;TZID=Test/Half:20121007T021500",
                                      "DTSTART;TZID=Test/Half:20120101T184500"};
    const QList<QByteArray> rules = {"FREQ=DAILY",
                                     "FREQ=DAILY;INTERVAL=3",
                                     "FREQ=DAILY;COUNT=3000",
                                     "FREQ=WEEKLY;INTERVAL=2;COUNT=300",
                                     "FREQ=WEEKLY;INTERVAL=5",
                                     "FREQ=WEEKLY;BYDAY=MO,WE,FR",
                                     "FREQ=WEEKLY;INTERVAL=3;UNTIL=20300101T000000Z",
                                     "FREQ=MONTHLY;BYDAY=-1FR",
                                     "FREQ=MONTHLY;BYMONTHDAY=31",
                                     "FREQ=MONTHLY;INTERVAL=5;COUNT=40",
                                     "FREQ=MONTHLY",
                                     "FREQ=YEARLY;COUNT=30",
                                     "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29",
                                     "FREQ=YEARLY;INTERVAL=3",
                                     "FREQ=DAILY;BYHOUR=1,2,3;INTERVAL=9"};
    const QList<std::pair<QDateTime, QDateTime>> windows = {
        {at("2023-12-10 00:00"), at("2027-12-10 00:00")}, {at("2026-03-29 00:00"), at("2026-03-30 00:00")},
        {at("2026-10-04 13:00"), at("2026-10-05 00:00")}, {at("2031-01-01 00:00"), at("2031-02-01 00:00")},
        {at("2040-06-01 00:00"), at("2045-01-01 00:00")}, {at("2010-01-01 00:00"), at("2014-01-01 00:00")}};
    qsizetype found = 0;
    for (const QByteArray &start : starts) {
        for (const QByteArray &rule : rules) {
            SCOPED_TRACE((start + ' ' + rule).toStdString());
            const auto calendar = platform::ICalendarFolder::parseCalendarText(eventkittest::calendarText(
                kZones + eventkittest::eventItem("walk", start + "\r\nDURATION:PT1H\r\nRRULE:" + rule +
                                                             "\r\nSUMMARY:Walk\r\n")));
            ASSERT_TRUE(calendar);
            icalcomponent *master = icalcomponent_get_first_component(calendar.get(), ICAL_VEVENT_COMPONENT);
            for (const auto &[windowStart, windowEnd] : windows) {
                const std::optional<QDateTime> expected = firstOfWholeWalk(master, windowStart, windowEnd);
                EXPECT_EQ(platform::icalcodec::firstOccurrence(master, windowStart, windowEnd, {}), expected)
                    << windowStart.toString(Qt::ISODate).toStdString();
                found += expected.has_value();
            }
        }
    }
    EXPECT_GT(found, 250);
}
