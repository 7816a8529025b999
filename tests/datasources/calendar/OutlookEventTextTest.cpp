// Outlook's event text read into the calendar record, worked out by hand: the zone block's offsets and
// daylight saving, the busy states, the alarm, the rule's "Z" and its count made an end date, the zone
// tables, and the escapes and weekdays of the script side.
#include "CalendarRecordTestSupport.h"
#include "datasources/calendar/HMCalendarData.h"

#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <QTimeZone>

#include <ctime>

namespace {

using calendartest::DeviceZone;

const char *const kPacificZone =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTIMEZONE\r\nTZID:US/Pacific\r\n"
    "BEGIN:DAYLIGHT\r\nDTSTART:16010311T020000\r\nRRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3\r\nTZOFFSETFROM:-0800\r\nTZOFFSETTO:-0700\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nDTSTART:16011104T020000\r\nRRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11\r\nTZOFFSETFROM:-0700\r\nTZOFFSETTO:-0800\r\nEND:STANDARD\r\n"
    "END:VTIMEZONE\r\n";

QString pacificEvent(const char *start, const char *end)
{
    return QString::fromUtf8(kPacificZone)
        + QStringLiteral("BEGIN:VEVENT\r\nUID:0F3C\r\nSUMMARY:Planning\\, Q3\r\nLOCATION:Room 4\\; west wing\r\n"
                         "DESCRIPTION:Bring the figures\\, please\\n\\nand the plan\\n\r\n"
                         "DTSTART;TZID=\"US/Pacific\":%1\r\nDTEND;TZID=\"US/Pacific\":%2\r\n"
                         "X-MICROSOFT-CDO-ALLDAYEVENT:FALSE\r\nCLASS:PRIVATE\r\nX-MICROSOFT-CDO-BUSYSTATUS:TENTATIVE\r\n"
                         "ATTENDEE;CN=\"Ann  Lee\";RSVP=TRUE:MAILTO:ann@example.com\r\n"
                         "ATTENDEE;CN=Bo:MAILTO:bo@example.com\r\n"
                         "CFTIMEZONE:US/Pacific\r\nBEGIN:VALARM\r\nTRIGGER;RELATED=START:-PT0H15M0S\r\nACTION:DISPLAY\r\n"
                         "DESCRIPTION:Reminder\r\nEND:VALARM\r\n")
              .arg(QLatin1String(start), QLatin1String(end))
        + QStringLiteral("\nCATEGORIES:Work\nOUTLOOKID:77");
}

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODate);
}

class OutlookEventText : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::UserDefaults::standardUserDefaults().setObject(QStringLiteral("wifi"), QStringLiteral("SyncMethodSetting"));
    }
    HMCalendarData m_data;
};

} // namespace

TEST_F(OutlookEventText, AHandWrittenPacificEventInJulyAndInDecember)
{
    const DeviceZone zone("America/Los_Angeles");
    const QVariantMap july = m_data.pppDictionaryForOutlookCalendarEvent(pacificEvent("20200715T090000", "20200715T100000"),
                                                                         {}, {}, QString());
    const QVariantMap expected{
        {"TYPENUMBER", false},
        {"NSDATESTARTDATE", utc("2020-07-15T16:00:00Z")},
        {"NSDATEENDDATE", utc("2020-07-15T17:00:00Z")},
        {"PRIVATE", true},
        {"BUSYSTATUS", qint64(1)},
        {"ATTENDEES", QStringLiteral("Ann Lee")},
        {"EMAILS", QStringLiteral("ann@example.com")},
        {"LOCATION", QStringLiteral("Room 4; west wing")},
        {"TZ_DATA", QStringLiteral("-480\t60")},
        {"EVENTTZ", QStringLiteral("America/Los_Angeles")},
        {"SUBJECT", QStringLiteral("Planning, Q3")},
        {"NOTE", QStringLiteral("Bring the figures, please\r\nand the plan")},
        {"HASALARM", true},
        {"NSNUMBERALARMTIME", qint64(15)},
        {"ISANEXCEPTION", false},
        {"NSARRAYCATEGORIES", QStringList{QStringLiteral("Work")}},
    };
    EXPECT_EQ(july.keys(), expected.keys());
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(july.value(it.key()), it.value()) << it.key().toStdString();

    const QVariantMap december =
        m_data.pppDictionaryForOutlookCalendarEvent(pacificEvent("20201215T090000", "20201215T100000"), {}, {}, QString());
    EXPECT_EQ(december.value("NSDATESTARTDATE"), utc("2020-12-15T17:00:00Z"));
    EXPECT_EQ(december.value("NSDATEENDDATE"), utc("2020-12-15T18:00:00Z"));
    EXPECT_EQ(december.value("TZ_DATA"), QStringLiteral("-480\t0"));
}

TEST_F(OutlookEventText, BusyStatesAlarmsRulesAndTextsWithoutAZone)
{
    const DeviceZone zone("Europe/Berlin");
    const auto read = [this](const QString &lines) {
        return m_data.pppDictionaryForOutlookCalendarEvent(
            QStringLiteral("BEGIN:VEVENT\r\nDTSTART;TZID=\"UTC\":20200301T090000\r\nDTEND;TZID=\"UTC\":20200301T100000\r\n") + lines,
            {}, {}, QString());
    };
    // No zone block: offsets 0, the local text read as UTC.
    const QVariantMap plain = read(QString());
    EXPECT_EQ(plain.value("NSDATESTARTDATE"), utc("2020-03-01T09:00:00Z"));
    EXPECT_EQ(plain.value("TZ_DATA"), QStringLiteral("0\t0"));
    EXPECT_EQ(plain.value("BUSYSTATUS"), qint64(-1));
    EXPECT_FALSE(plain.contains("NSNUMBERALARMTIME"));
    EXPECT_FALSE(plain.contains("RRULE"));
    EXPECT_EQ(plain.value("NOTE"), QString());
    const char *const words[] = {"FREE", "TENTATIVE", "BUSY", "OOF", "AWAY"};
    const qint64 states[] = {0, 1, 2, 3, -1};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(read(QStringLiteral("X-MICROSOFT-CDO-BUSYSTATUS:%1\r\n").arg(QLatin1String(words[i]))).value("BUSYSTATUS"), states[i]);
    // A trigger in minutes only, or in days, gives 0; hours and minutes give their sum.
    const auto alarm = [&read](const char *trigger) {
        return read(QStringLiteral("BEGIN:VALARM\r\nTRIGGER;RELATED=START:%1\r\nEND:VALARM\r\n").arg(QLatin1String(trigger)))
            .value("NSNUMBERALARMTIME");
    };
    EXPECT_EQ(alarm("-PT1H30M0S"), qint64(90));
    EXPECT_EQ(alarm("-PT15M"), qint64(0));
    EXPECT_EQ(alarm("-P1D"), qint64(0));
    // An UNTIL part followed by another part gets its "Z"; at the rule's end it keeps its form.
    EXPECT_EQ(read(QStringLiteral("RRULE:FREQ=WEEKLY;UNTIL=20200401T090000;BYDAY=SU\r\n")).value("RRULE"),
              QStringLiteral("RRULE:FREQ=WEEKLY;UNTIL=20200401T090000Z;BYDAY=SU"));
    EXPECT_EQ(read(QStringLiteral("RRULE:FREQ=WEEKLY;BYDAY=SU;UNTIL=20200401T090000\r\n")).value("RRULE"),
              QStringLiteral("RRULE:FREQ=WEEKLY;BYDAY=SU;UNTIL=20200401T090000"));
    // One EXDATE line per date: the day Outlook wrote, and a UTC one in the device's zone.
    const QVariantMap excluded = read(QStringLiteral("RRULE:FREQ=DAILY;INTERVAL=1\r\nEXDATE;TZID=\"UTC\":20200303T090000\r\n"
                                                     "EXDATE;VALUE=DATE-TIME:20200304T233000Z\r\n"));
    EXPECT_EQ(excluded.value("NSARRAYEXCEPTIONS").toStringList(), (QStringList{"20200303", "20200305"}));
}

TEST_F(OutlookEventText, AllDayEventsKeepTheirDayAndEndTheDayBefore)
{
    const DeviceZone zone("America/Los_Angeles");
    const QDateTime start(QDate(2020, 3, 1), QTime(0, 0), QTimeZone::systemTimeZone());
    const QDateTime end(QDate(2020, 3, 3), QTime(0, 0), QTimeZone::systemTimeZone());
    const QVariantMap record = m_data.pppDictionaryForOutlookCalendarEvent(
        QStringLiteral("BEGIN:VEVENT\r\nDTSTART;VALUE=DATE:20200301\r\nDTEND;VALUE=DATE:20200303\r\nX-MICROSOFT-CDO-ALLDAYEVENT:TRUE\r\n"),
        start, end, QString());
    EXPECT_EQ(record.value("TYPENUMBER"), true);
    EXPECT_EQ(record.value("NSDATESTARTDATE").toDateTime(), start);
    EXPECT_EQ(record.value("NSDATEENDDATE").toDateTime(), end.addSecs(-86400));
}

TEST_F(OutlookEventText, CountedRulesBecomeRulesWithAnEndDate)
{
    const DeviceZone zone("Europe/Berlin");
    const QDateTime start(QDate(2020, 3, 1), QTime(9, 0), QTimeZone::systemTimeZone());
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=DAILY;COUNT=3;INTERVAL=1"), start),
              QStringLiteral("FREQ=DAILY;UNTIL=20200303T235959;INTERVAL=1"));
    EXPECT_EQ(m_data.numberOfInstancesForOutlookRecurringEvent(), 3);
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=YEARLY;COUNT=3;INTERVAL=1"), start),
              QStringLiteral("FREQ=YEARLY;UNTIL=20220301T235959;INTERVAL=1"));
    const QString day500 = QDate(2020, 3, 1).addDays(499).toString(QStringLiteral("yyyyMMdd"));
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=DAILY;COUNT=500;INTERVAL=1"), start),
              QStringLiteral("FREQ=DAILY;UNTIL=%1T235959;INTERVAL=1").arg(day500));
    // The count as the rule's last part, and no count at all, leave the rule as it is.
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=DAILY;COUNT=4"), start), QStringLiteral("FREQ=DAILY;COUNT=4"));
    EXPECT_EQ(m_data.numberOfInstancesForOutlookRecurringEvent(), 500);
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=WEEKLY;BYDAY=TU"), start), QStringLiteral("FREQ=WEEKLY;BYDAY=TU"));
    EXPECT_EQ(m_data.numberOfInstancesForOutlookRecurringEvent(), 0);
    // Monthly on the last Friday, five times: the fifth last Friday.
    EXPECT_EQ(m_data.fixOutlookRRule(QStringLiteral("FREQ=MONTHLY;COUNT=5;BYDAY=-1FR;INTERVAL=1"),
                                     QDateTime(QDate(2020, 3, 27), QTime(9, 0), QTimeZone::systemTimeZone())),
              QStringLiteral("FREQ=MONTHLY;UNTIL=20200731T235959;BYDAY=-1FR;INTERVAL=1"));
}

TEST_F(OutlookEventText, DaylightSavingAndTheZoneTables)
{
    const DeviceZone zone("America/Los_Angeles");
    const QStringList north{QStringLiteral("RRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3"), QStringLiteral("RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11")};
    EXPECT_TRUE(m_data.isDstFromStartDate(utc("2021-07-01T12:00:00Z"), north));
    EXPECT_FALSE(m_data.isDstFromStartDate(utc("2021-12-01T12:00:00Z"), north));
    EXPECT_FALSE(m_data.isDstFromStartDate(utc("2021-07-01T12:00:00Z"), {north.first()}));
    const QStringList south{north.at(1), north.at(0)};
    EXPECT_FALSE(m_data.isDstFromStartDate(utc("2021-07-01T12:00:00Z"), south));
    EXPECT_TRUE(m_data.isDstFromStartDate(utc("2021-12-01T12:00:00Z"), south));

    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromTimeZoneString(QStringLiteral("Asia/Kuching")), QStringLiteral("Asia/Singapore"));
    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromTimeZoneString(QStringLiteral("America/Los_Angeles")), QStringLiteral("US/Pacific"));
    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromTimeZoneString(QStringLiteral("Europe/Berlin")), QStringLiteral("Europe/Amsterdam"));
    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromTimeZoneString(QStringLiteral("Mars/Base")), QString());
    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromTimeZoneString(42), QString());
    EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromSysemTimezoneName(), QStringLiteral("US/Pacific"));
    {
        const DeviceZone kuching("Asia/Kuching");
        EXPECT_EQ(HMCalendarData::outlookTimezoneNameFromSysemTimezoneName(), QString());
    }
    EXPECT_EQ(HMCalendarData::hmTimeZoneFromOutlookTimeZone(QStringLiteral("US/Eastern")), QStringLiteral("America/New_York"));
    EXPECT_EQ(HMCalendarData::hmTimeZoneFromOutlookTimeZone(QStringLiteral("Europe/Amsterdam")), QStringLiteral("Europe/Paris"));
    EXPECT_EQ(HMCalendarData::hmTimeZoneFromOutlookTimeZone(QStringLiteral("Somewhere/Else")), QStringLiteral("Somewhere/Else"));
}

TEST(OutlookScriptText, EscapesWeekdaysAndCorrectedStrings)
{
    EXPECT_EQ(HMCalendarData::escapedString(QStringLiteral("say \"hi\"")), QStringLiteral("say \\\"hi\\\""));
    EXPECT_EQ(HMCalendarData::escapedString(QStringLiteral("a \\\"b")), QStringLiteral("a \\\"b"));
    EXPECT_EQ(HMCalendarData::escapedString(QStringLiteral("x\\\ny\\z")), QStringLiteral("x\ny\\\\z"));
    EXPECT_EQ(HMCalendarData::escapeDoubleQuotesAndBackslashes(QStringLiteral("a\"b\\c\nd")), QStringLiteral("a\"b\\\\c\\nd"));
    EXPECT_EQ(HMCalendarData::escapeDoubleQuotes(QStringLiteral("a\\\"b\"c")), QStringLiteral("a\\\"b\\\"c"));
    EXPECT_EQ(HMCalendarData::dayOfTheWeekFromYear(2024, 2, 29), 4);
    EXPECT_EQ(HMCalendarData::dayOfTheWeekFromYear(1601, 1, 1), 1);
    EXPECT_EQ(HMCalendarData::correctedString(QStringLiteral("a\\, b\\; c\\\\d\\n")), QStringLiteral("a, b; c\\d"));
    EXPECT_EQ(HMCalendarData::correctedString(QStringLiteral("one\\n\\ntwo\\nthree")), QStringLiteral("one\r\ntwo\\nthree"));
    EXPECT_EQ(HMCalendarData::correctedString(42), QString());
}
