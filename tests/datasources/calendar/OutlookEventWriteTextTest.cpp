// The texts the Outlook write side sends, written out by hand: the create script, the all-day ends by
// sync method, the properties, recurrence and update texts, the event.ics of a counted series with
// exceptions, and the VTIMEZONE of a zone with daylight saving built in summer and in winter.
#include "CalendarRecordTestSupport.h"
#include "datasources/calendar/HMCalendarData.h"

#include "foundation/GlobalVariables.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using calendartest::DeviceZone;

class FixedNow
{
public:
    explicit FixedNow(const char *moment)
    {
        const QDateTime fixed = QDateTime::fromString(QLatin1String(moment), Qt::ISODate);
        platform::Clock::setSource([fixed] { return fixed; });
    }
    ~FixedNow() { platform::Clock::setSource({}); }
};

class SyncMethod
{
public:
    explicit SyncMethod(const QString &method)
    {
        platform::UserDefaults::standardUserDefaults().setObject(method, QStringLiteral("SyncMethodSetting"));
    }
    ~SyncMethod() { platform::UserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("SyncMethodSetting")); }
};

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODate);
}

// The date texts below are written in the script date pattern of the C locale the tests run in.
void expectScriptDatePattern()
{
    ASSERT_EQ(GlobalVariables::getSystemDateFormat(), QStringLiteral("MM/dd/yyyy hh:mm a"));
}

} // namespace

TEST(OutlookEventWriteText, TheCreateScriptOfASingleEvent)
{
    expectScriptDatePattern();
    const DeviceZone zone("Europe/Berlin");
    const SyncMethod method(QStringLiteral("wifi"));
    HMCalendarData data;
    const QVariantMap record{{"UID", "P-1"},
                             {"SUBJECT", QStringLiteral("Say \"hi\" to \\\"Bo\\\"")},
                             {"LOCATION", "Room 4, west"},
                             {"PRIVATE", 1},
                             {"NSDATEALARMDATE", utc("2027-05-03T07:30:00Z")},
                             {"BUSYSTATUS", "2"},
                             {"NSDATESTARTDATE", utc("2027-05-03T08:00:00Z")},
                             {"NSDATEENDDATE", utc("2027-05-03T09:15:00Z")},
                             {"TYPENUMBER", false}};
    const HMCalendarData::OutlookNewEvent plan = data.planNewOutlookEvent(record);
    ASSERT_EQ(plan.road, HMCalendarData::OutlookNewEvent::Road::Script);
    EXPECT_EQ(plan.script.toStdString(),
              "set startTime to (date\"05/03/2027 10:00 AM\")\nset endTime to (date \"05/03/2027 11:15 AM\")\n"
              "tell application \"Microsoft Outlook\"\nset newEvent to make new calendar event with properties "
              "{subject:\"Say \\\"hi\\\" to \\\"Bo\\\"\", start time:startTime, end time:endTime, has reminder:\"true\", "
              "reminder time:\"30.000000\", all day flag:false, plain text content:\"\", location:\"Room 4, west\", "
              "free busy status:busy, is private:true, category:{}}\nend tell");

    // A chosen calendar, a weekly series with a count, a note and a number of alarm minutes.
    auto profile = std::make_shared<HMProfile>();
    profile->setOutlookCalendarFolderSelection(QStringLiteral("7"));
    data.setProfile(profile);
    QVariantMap series = record;
    series.remove(QStringLiteral("NSDATEALARMDATE"));
    series.insert(QStringLiteral("NSNUMBERALARMTIME"), 15);
    series.insert(QStringLiteral("NOTE"), QStringLiteral("two\nlines"));
    series.insert(QStringLiteral("PRIVATE"), QStringLiteral("1"));
    series.insert(QStringLiteral("BUSYSTATUS"), 3);
    series.insert(QStringLiteral("REPEAT"), 1);
    series.insert(QStringLiteral("RRULE"), QStringLiteral("FREQ=WEEKLY;COUNT=4"));
    EXPECT_EQ(data.planNewOutlookEvent(series).script.toStdString(),
              "set startTime to (date\"05/03/2027 10:00 AM\")\nset endTime to (date \"05/03/2027 11:15 AM\")\n"
              "tell application \"Microsoft Outlook\"\nset newEvent to make new calendar event in calendar id 7 with properties "
              "{subject:\"Say \\\"hi\\\" to \\\"Bo\\\"\", start time:startTime, end time:endTime, has reminder:\"true\", "
              "reminder time:\"15\", all day flag:false, plain text content:\"two\nlines\", location:\"Room 4, west\", "
              "free busy status:out of office, is private:false, recurrence:{occurrence interval:1, start date:date "
              "\"05/03/2027 10:00 AM\", days of week:{monday:true, tuesday:false, wednesday:false, thursday:false, friday:false, "
              "saturday:false, sunday:false}, recurrence type:weekly, end date:{data:4, end type:end numbered type}}, "
              "category:{}}\nend tell");

    // With exceptions (even none) a series goes to the import; one that ended before the window is not sent.
    series.insert(QStringLiteral("NSARRAYEXCEPTIONS"), QVariantList());
    EXPECT_EQ(data.planNewOutlookEvent(series).road, HMCalendarData::OutlookNewEvent::Road::Import);
    QVariantMap old = record;
    old.insert(QStringLiteral("NSDATESTARTDATE"), utc("2020-01-01T08:00:00Z"));
    old.insert(QStringLiteral("NSDATEENDDATE"), utc("2020-01-01T09:00:00Z"));
    EXPECT_EQ(data.planNewOutlookEvent(old).road, HMCalendarData::OutlookNewEvent::Road::Outside);
    old.insert(QStringLiteral("REPEAT"), 1);
    old.insert(QStringLiteral("RRULE"), QStringLiteral("FREQ=DAILY;UNTIL=20200110T000000Z"));
    EXPECT_EQ(data.planNewOutlookEvent(old).road, HMCalendarData::OutlookNewEvent::Road::Script);
    old.insert(QStringLiteral("RRULE"), QStringLiteral("FREQ=DAILY;UNTIL=20200110T000000Z;BYDAY=MO"));
    EXPECT_EQ(data.planNewOutlookEvent(old).road, HMCalendarData::OutlookNewEvent::Road::Outside);
}

TEST(OutlookEventWriteText, AllDayEndsByMethod)
{
    expectScriptDatePattern();
    const DeviceZone zone("America/New_York");
    const QVariantMap record{{"UID", "P-2"},
                             {"SUBJECT", "Holiday"},
                             {"TYPENUMBER", true},
                             {"NSDATESTARTDATE", utc("2027-01-15T15:00:00Z")},
                             {"NSDATEENDDATE", utc("2027-01-16T04:59:00Z")}};
    for (const auto &[method, end] : {std::pair{"wifi", "01/15/2027 12:00 AM"}, {"adb", "01/15/2027 12:00 AM"}, {"cloud", "01/16/2027 12:00 AM"}}) {
        SCOPED_TRACE(method);
        const SyncMethod setting{QLatin1String(method)};
        HMCalendarData data;
        const HMCalendarData::OutlookNewEvent plan = data.planNewOutlookEvent(record);
        EXPECT_TRUE(plan.allDay);
        EXPECT_TRUE(plan.script.startsWith(QStringLiteral("set startTime to (date\"01/15/2027 12:00 AM\")\nset endTime to (date \"%1\")")
                                               .arg(QLatin1String(end))))
            << plan.script.toStdString();
        EXPECT_TRUE(plan.script.contains(QStringLiteral("all day flag:true, ")));
        EXPECT_TRUE(plan.script.contains(QStringLiteral("free busy status:Free, ")));
    }
}

TEST(OutlookEventWriteText, PropertiesRecurrenceAndUpdateTexts)
{
    expectScriptDatePattern();
    const DeviceZone zone("Europe/Berlin");
    HMCalendarData data;
    EXPECT_EQ(data.propertiesStringFromEventDictionary({{"SUBJECT", "Lunch"}, {"TYPENUMBER", false}}, true).toStdString(),
              "{subject:\"Lunch\", all day flag:\"false\", free busy status:Busy, is private:false, category:{}}");
    EXPECT_EQ(data.propertiesStringFromEventDictionary({{"BUSYSTATUS", "7"}, {"TYPENUMBER", true}, {"NOTE", "n"}}, false).toStdString(),
              "{all day flag:\"true\", free busy status:Free, is private:false, category:{}}");

    const QDateTime wednesday = utc("2027-05-05T08:00:00Z");
    EXPECT_EQ(data.outlookRecurrencePropertiesStringFromRRule(QStringLiteral("FREQ=WEEKLY;INTERVAL=0"), wednesday).toStdString(),
              "recurrence:{occurrence interval:1, start date:date \"05/05/2027 10:00 AM\", days of week:{monday:false, "
              "tuesday:false, wednesday:true, thursday:false, friday:false, saturday:false, sunday:false}, recurrence "
              "type:weekly, end date:{end type:no end type}}");
    EXPECT_EQ(data.outlookRecurrencePropertiesStringFromRRule(QStringLiteral("RRULE:FREQ=MONTHLY;BYDAY=-1FR"), wednesday).toStdString(),
              "recurrence:{occurrence interval:1, start date:date \"05/05/2027 10:00 AM\", days of week:{monday:false, "
              "tuesday:false, wednesday:false, thursday:false, friday:true, saturday:false, sunday:false}, ordinal:5, "
              "recurrence type:relative monthly, end date:{end type:no end type}}");
    // A COUNT ends the series for every method (it became endless outside Google direct).
    EXPECT_EQ(data.outlookRecurrencePropertiesStringFromRRule(QStringLiteral("FREQ=DAILY;COUNT=10"), wednesday).toStdString(),
              "recurrence:{occurrence interval:1, start date:date \"05/05/2027 10:00 AM\", recurrence type:daily, "
              "end date:{data:10, end type:end numbered type}}");
    // UNTIL is UTC: 08:00Z is 10:00 in the script's zone, the last occurrence's start.
    EXPECT_EQ(data.outlookRecurrencePropertiesStringFromRRule(QStringLiteral("FREQ=YEARLY;INTERVAL=2;UNTIL=20300505T080000Z"), wednesday)
                  .toStdString(),
              "recurrence:{occurrence interval:2, start date:date \"05/05/2027 10:00 AM\", month number:5, recurrence "
              "type:absolute yearly, day of month:5, end date:{data:date \"05/05/2030 10:00 AM\", end type:end date type}}");
    EXPECT_EQ(data.outlookRecurrencePropertiesStringFromRRule(QStringLiteral("FREQ=MONTHLY;BYMONTHDAY=12"), wednesday).toStdString(),
              "recurrence:{occurrence interval:1, start date:date \"05/05/2027 10:00 AM\", recurrence type:absolute monthly, "
              "day of month:12, end date:{end type:no end type}}");

    const QVariantMap record{{"SUBJECT", "Lunch"}, {"NOTE", "a\"b"}, {"NSNUMBERALARMTIME", 10}, {"LOCATION", "Caf\u00e9"},
                             {"NSDATESTARTDATE", utc("2027-05-05T10:00:00Z")}, {"NSDATEENDDATE", utc("2027-05-05T11:00:00Z")}};
    EXPECT_EQ(data.outlookUpdateScript(QStringLiteral("55"), record, true).toStdString(),
              "set startTime to (date\"05/05/2027 12:00 PM\")\nset endTime to (date \"05/05/2027 01:00 PM\")\ntell application "
              "\"Microsoft Outlook\"\nset the properties of calendar event id \"55\" to {subject:\"Lunch\", all day "
              "flag:\"false\", has reminder:\"true\", reminder time:\"10\", location:\"Caf\u00e9\", free busy status:Busy, "
              "plain text content:\"a\\\"b\", is private:false, category:{}, start time:startTime, end time:endTime}\nend tell");
    EXPECT_EQ(HMCalendarData::makeAttendeeString(QStringLiteral("Ann \"A\" Lee"), QStringLiteral("ann@example.com"), QStringLiteral("55"))
                  .toStdString(),
              "tell application \"Microsoft Outlook\"\nmake new required attendee at calendar event id 55 with properties "
              "{type:required attendee type, address type:contact attendee, class:resource attendee, email address:{type:"
              "unresolved address, name:\"Ann \\\"A\\\" Lee\", address:\"ann@example.com\"}}\nend tell");
}

TEST(OutlookEventWriteText, TheEventFileOfADailySeriesWithExceptions)
{
    const DeviceZone zone("Europe/Berlin");
    const FixedNow now("2027-05-01T12:00:00Z");
    HMCalendarData data;
    const QVariantMap record{{"UID", "P-3"},
                             {"SUBJECT", "Stand-up; daily"},
                             {"NOTE", "Line one\r\nEND:VEVENT\nRRULE:FREQ=YEARLY; x, y \\ z"},
                             {"EVENTTZ", "Asia/Kolkata"},
                             {"REPEAT", 1},
                             {"RRULE", "FREQ=DAILY;COUNT=5"},
                             {"NSARRAYEXCEPTIONS", QVariantList{utc("2027-05-04T03:30:00Z"), utc("2027-05-06T03:30:00Z")}},
                             {"NSDATESTARTDATE", utc("2027-05-03T03:30:00Z")},
                             {"NSDATEENDDATE", utc("2027-05-03T04:00:00Z")}};
    EXPECT_EQ(data.icsTextFromDictionary(record, QString()).toStdString(),
              "BEGIN:VCALENDAR\nVERSION:2.0\nMETHOD:PUBLISH\nX-MS-OLK-FORCEINSPECTOROPEN:TRUE\n"
              "BEGIN:VTIMEZONE\nTZID:Asia/Calcutta\nBEGIN:STANDARD\nDTSTART:16010101T000000\nTZOFFSETFROM:+0530\n"
              "TZOFFSETTO:+0530\nEND:STANDARD\nEND:VTIMEZONE\n"
              "BEGIN:VEVENT\nCLASS:PUBLIC\n"
              "DESCRIPTION:Line one\\nEND:VEVENT\\nRRULE:FREQ=YEARLY\\; x\\, y \\\\ z\n"
              "DTEND;TZID=\"Asia/Calcutta\":20270503T093000\n"
              "DTSTART;TZID=\"Asia/Calcutta\":20270503T090000\n"
              "SUMMARY;LANGUAGE=en-us:Stand-up\\; daily\n"
              "RRULE:FREQ=DAILY;COUNT=5\n"
              "EXDATE;TZID=\"Asia/Calcutta\":20270504T090000,20270506T090000\n"
              "TRANSP:OPAQUE\nX-MICROSOFT-CDO-BUSYSTATUS:BUSY\nX-MICROSOFT-CDO-IMPORTANCE:1\nX-MICROSOFT-DISALLOW-COUNTER:FALSE\n"
              "X-MS-OLK-AUTOFILLLOCATION:TRUE\nX-MS-OLK-AUTOSTARTCHECK:FALSE\nX-MS-OLK-CONFTYPE:0\nEND:VEVENT\nEND:VCALENDAR");

    // No note, a rule that already says RRULE:, a known UID, exceptions as a text.
    QVariantMap other = record;
    other.remove(QStringLiteral("NOTE"));
    other.insert(QStringLiteral("RRULE"), QStringLiteral("RRULE:FREQ=WEEKLY;COUNT=5"));
    other.insert(QStringLiteral("NSARRAYEXCEPTIONS"), QStringLiteral("2027-05-10 03:30:00 +0000"));
    const QString text = data.icsTextFromDictionary(other, QStringLiteral("040000008200E0\r"));
    EXPECT_TRUE(text.contains(QStringLiteral("\nDESCRIPTION:\\n\nDTEND")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nRRULE:FREQ=WEEKLY;COUNT=5\nEXDATE;TZID=\"Asia/Calcutta\":20270510T090000\nUID:040000008200E0\r\nTRANSP")));
    other.insert(QStringLiteral("NSARRAYEXCEPTIONS"), QVariantList());
    EXPECT_FALSE(data.icsTextFromDictionary(other, QString()).contains(QStringLiteral("EXDATE")));

    // The alarm is in the file, from minutes or from an alarm date; none past two weeks.
    other.insert(QStringLiteral("NSNUMBERALARMTIME"), 30);
    const char *const alarmEnd = "X-MS-OLK-CONFTYPE:0\nBEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:REMINDER\n"
                                 "TRIGGER;RELATED=START:-PT00H%1M00S\nEND:VALARM\nEND:VEVENT\nEND:VCALENDAR";
    EXPECT_TRUE(data.icsTextFromDictionary(other, QString()).endsWith(QString::fromLatin1(alarmEnd).arg(30)));
    other.insert(QStringLiteral("NSDATEALARMDATE"), utc("2027-05-03T03:15:00Z"));
    EXPECT_TRUE(data.icsTextFromDictionary(other, QString()).endsWith(QString::fromLatin1(alarmEnd).arg(15)));
    other.remove(QStringLiteral("NSDATEALARMDATE"));
    other.insert(QStringLiteral("NSNUMBERALARMTIME"), 20161);
    EXPECT_FALSE(data.icsTextFromDictionary(other, QString()).contains(QStringLiteral("VALARM")));
}

TEST(OutlookEventWriteText, APacificZoneBlockInSummerAndInWinter)
{
    const char *const expected = "BEGIN:VTIMEZONE\nTZID:US/Pacific\nBEGIN:STANDARD\nDTSTART:16011104T020000\n"
                                 "RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11\nTZOFFSETFROM:-0700\nTZOFFSETTO:-0800\nEND:STANDARD\n"
                                 "BEGIN:DAYLIGHT\nDTSTART:16010311T020000\nRRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3\n"
                                 "TZOFFSETFROM:-0800\nTZOFFSETTO:-0700\nEND:DAYLIGHT\nEND:VTIMEZONE";
    {
        const FixedNow july("2027-07-01T12:00:00Z");
        HMCalendarData data;
        EXPECT_EQ(data.icalTimeZoneStringFromEventTimeZone(QStringLiteral("America/Los_Angeles")).toStdString(), expected);
    }
    {
        // Built outside daylight saving, the DAYLIGHT block takes the summer offset all the same.
        const FixedNow january("2027-01-15T12:00:00Z");
        HMCalendarData data;
        EXPECT_EQ(data.icalTimeZoneStringFromEventTimeZone(QStringLiteral("America/Los_Angeles")).toStdString(), expected);
    }
    {
        // A transition on the 29th or later is the last such weekday (31 October 2027), one on the 26th the fourth.
        const FixedNow may("2027-05-01T12:00:00Z");
        HMCalendarData data;
        const QString berlin = data.icalTimeZoneStringFromEventTimeZone(QStringLiteral("Europe/Berlin"));
        EXPECT_TRUE(berlin.contains(QStringLiteral("RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\nTZOFFSETFROM:+0200\nTZOFFSETTO:+0100")))
            << berlin.toStdString();
        EXPECT_TRUE(berlin.contains(QStringLiteral("RRULE:FREQ=YEARLY;BYDAY=4SU;BYMONTH=3\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200")));
    }
}

TEST(OutlookEventWriteText, TheFileOfAMovedGoogleOccurrence)
{
    const DeviceZone zone("Europe/Berlin");
    HMCalendarData data;
    const QString series = QStringLiteral("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Amsterdam\r\nEND:VTIMEZONE\r\n"
                                          "BEGIN:VEVENT\r\nUID:series\r\nRRULE:FREQ=DAILY\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    QVariantMap record{{"UID", "g1_20270503T080000Z"},
                       {"parentEventId", "g1"},
                       {"originalStart", "2027-05-03T10:00:00+02:00"},
                       {"SUBJECT", "Moved, later"},
                       {"NOTE", "END:VEVENT\nline"},
                       {"EVENTTZ", "Europe/Berlin"},
                       {"NSNUMBERALARMTIME", 15},
                       {"TYPENUMBER", false},
                       {"NSDATESTARTDATE", utc("2027-05-04T09:00:00Z")},
                       {"NSDATEENDDATE", utc("2027-05-04T10:00:00Z")}};
    EXPECT_EQ(data.googleOccurrenceIcsText(series, record).toStdString(),
              "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Amsterdam\r\nEND:VTIMEZONE\r\n"
              "BEGIN:VEVENT\n"
              "RECURRENCE-ID;TZID=\"Europe/Amsterdam\":2027-05-03\n"
              "DTSTART;TZID=\"Europe/Amsterdam\":2027-05-04T11:00:00\n"
              "DTEND;TZID=\"Europe/Amsterdam\":2027-05-04T12:00:00\n"
              "SUMMARY:Moved\\, later\n"
              "DESCRIPTION:END:VEVENT\\nline\n"
              "X-MICROSOFT-CDO-BUSYSTATUS:BUSY\n"
              "X-MICROSOFT-CDO-ALLDAYEVENT:0\n"
              "BEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:REMINDER\nTRIGGER;RELATED=START:-PT00H15M00S\nEND:VALARM\n"
              "X-MICROSOFT-DISALLOW-COUNTER:FALSE\nX-MICROSOFT-CDO-INSTTYPE:3\nEND:VEVENT\nEND:VCALENDAR");
    // An all-day occurrence whose scheduled start is a date; an alarm of two weeks or more is left out.
    record.insert(QStringLiteral("TYPENUMBER"), true);
    record.insert(QStringLiteral("originalStart"), QStringLiteral("2027-05-03"));
    record.insert(QStringLiteral("NSNUMBERALARMTIME"), 20161);
    const QString allDay = data.googleOccurrenceIcsText(series, record);
    EXPECT_TRUE(allDay.contains(QStringLiteral("RECURRENCE-ID;TZID=\"Europe/Amsterdam\":2027-05-03T000000\n")));
    EXPECT_TRUE(allDay.contains(QStringLiteral("X-MICROSOFT-CDO-ALLDAYEVENT:TRUE\n")));
    EXPECT_FALSE(allDay.contains(QStringLiteral("VALARM")));
}

// Outlook's rule and the record's are compared by what Outlook keeps: the order of days, a WKST, an
// interval of 1 left out or the time of the last day do not count; the kind, the interval, the days
// and the last day or count do, a count against a day by its last occurrence.
TEST(OutlookEventWriteText, RulesDifferOnlyInWhatOutlookKeeps)
{
    const DeviceZone zone("Europe/Berlin");
    const SyncMethod method(QStringLiteral("wifi"));
    HMCalendarData data;
    const QVariantMap record{{"NSDATESTARTDATE", utc("2027-04-01T21:30:00Z")}, {"EVENTTZ", "Europe/Berlin"}};
    const auto differ = [&](const char *outlook, const char *phone) {
        return data.outlookRulesDiffer(QLatin1String(outlook), QLatin1String(phone), record);
    };
    EXPECT_FALSE(differ("FREQ=WEEKLY;BYDAY=TH,MO;WKST=SU", "RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,TH"));
    EXPECT_FALSE(differ("FREQ=DAILY;INTERVAL=1;UNTIL=20270410T213000Z", "RRULE:FREQ=DAILY;INTERVAL=1;UNTIL=20270410T215959Z"));
    EXPECT_FALSE(differ("FREQ=DAILY;UNTIL=20270410", "FREQ=DAILY;UNTIL=20270410T215959Z"));
    EXPECT_FALSE(differ("FREQ=DAILY;COUNT=10", "FREQ=DAILY;UNTIL=20270410T215959Z"));
    EXPECT_FALSE(differ("FREQ=DAILY;COUNT=10", "FREQ=DAILY;COUNT=10"));
    EXPECT_FALSE(differ("FREQ=DAILY", "FREQ=DAILY;INTERVAL=1"));

    EXPECT_TRUE(differ("FREQ=DAILY;UNTIL=20270410T213000Z", "FREQ=DAILY;UNTIL=20270420T215959Z"));
    EXPECT_TRUE(differ("FREQ=DAILY;COUNT=10", "FREQ=DAILY;UNTIL=20270411T215959Z"));
    EXPECT_TRUE(differ("FREQ=DAILY;COUNT=10", "FREQ=DAILY;COUNT=11"));
    EXPECT_TRUE(differ("FREQ=DAILY", "FREQ=DAILY;UNTIL=20270410T215959Z"));
    EXPECT_TRUE(differ("FREQ=DAILY;UNTIL=20270410T213000Z", "FREQ=DAILY;INTERVAL=2;UNTIL=20270410T215959Z"));
    EXPECT_TRUE(differ("FREQ=DAILY;UNTIL=20270410T213000Z", "FREQ=WEEKLY;UNTIL=20270410T215959Z"));
    EXPECT_TRUE(differ("FREQ=WEEKLY;BYDAY=MO,TH", "FREQ=WEEKLY;BYDAY=MO"));
    EXPECT_TRUE(differ("FREQ=MONTHLY;BYMONTHDAY=1", "FREQ=MONTHLY;BYMONTHDAY=2"));
}
