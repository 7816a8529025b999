// Zones that files define themselves are read with one zone per definition in a process: files
// defining a zone alike share it, files giving one TZID different definitions each keep their own,
// through changes of the files, other stores and a zone's change of offset in a series.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace eventkittest;

namespace {

// A VTIMEZONE of one fixed offset ("+0500").
QByteArray fixedZone(const QByteArray &tzid, const QByteArray &offset)
{
    return "BEGIN:VTIMEZONE\r\nTZID:" + tzid +
           "\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:" + offset + "\r\nTZOFFSETTO:" + offset +
           "\r\nTZNAME:Fixed\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
}

const QByteArray kBerlin = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                           "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nTZNAME:CEST\r\n"
                           "DTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                           "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nTZNAME:CET\r\n"
                           "DTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                           "END:VTIMEZONE\r\n";

QByteArray zonedFile(const QByteArray &zone, const QByteArray &uid, const QByteArray &tzid, const QByteArray &start,
                     const QByteArray &more = QByteArray())
{
    const QByteArray event = "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART;TZID=" + tzid +
                             ":" + start + "\r\nDURATION:PT1H\r\nSUMMARY:" + uid + "\r\n" + more + "END:VEVENT\r\n";
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other program//EN\r\n" + zone + event + "END:VCALENDAR\r\n";
}

// "title yyyy-MM-dd HH:mm" in UTC of each event, sorted.
QStringList startsOf(const QList<std::shared_ptr<EKEvent>> &events)
{
    QStringList lines;
    for (const auto &event : events)
        lines.append(event->title() + event->startDate().toUTC().toString(QStringLiteral(" yyyy-MM-dd HH:mm")));
    lines.sort();
    return lines;
}

} // namespace

class ICalendarZonesTest : public CalendarFolderTest
{
protected:
    QStringList startsInMarch(const std::shared_ptr<EKEventStore> &store) const
    {
        return startsOf(store->eventsMatchingPredicate(
            store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-10 00:00"), {})));
    }
};

TEST_F(ICalendarZonesTest, EachFileIsReadInTheZoneItDefines)
{
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    const QString file = folder + QStringLiteral("/%1.ics");
    writeAsOtherProgram(file.arg("a"), zonedFile(fixedZone("Custom", "+0500"), "a", "Custom", "20260302T090000"));
    writeAsOtherProgram(file.arg("b"), zonedFile(fixedZone("Custom", "-0300"), "b", "Custom", "20260302T090000"));
    writeAsOtherProgram(file.arg("c"), zonedFile(fixedZone("Custom", "+0500"), "c", "Custom", "20260303T100000"));
    writeAsOtherProgram(file.arg("s"),
                        zonedFile(kBerlin, "s", "Europe/Berlin", "20260326T090000", "RRULE:FREQ=DAILY;COUNT=4\r\n"));
    const QStringList expected = {"a 2026-03-02 04:00", "b 2026-03-02 12:00", "c 2026-03-03 05:00",
                                  "s 2026-03-26 08:00", "s 2026-03-27 08:00", "s 2026-03-28 08:00",
                                  "s 2026-03-29 07:00"};
    const auto store = eventStore();
    EXPECT_EQ(startsInMarch(store), expected);
    EXPECT_EQ(startsInMarch(store), expected) << "read again";

    // A file that now defines its zone otherwise is read in the new definition; the others stay.
    writeAsOtherProgram(file.arg("a"), zonedFile(fixedZone("Custom", "+0100"), "a", "Custom", "20260302T090000"));
    QStringList changed = expected;
    changed[0] = "a 2026-03-02 08:00";
    EXPECT_EQ(startsInMarch(store), changed);
    store->reset();
    EXPECT_EQ(startsInMarch(eventStore()), changed) << "a store that looks afresh";
}
