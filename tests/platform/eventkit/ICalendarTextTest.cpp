// The calendar text writer gives exactly libical's bytes: folds near the width with characters of
// every UTF-8 length around the break, escapes, quoted parameters, dates, rules, extension properties
// and components, over hand-made components, a few thousand random ones and other programs' files.
#include "platform/eventkit/ICalendarText.h"

#include <libical/ical.h>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace platform;

namespace {

struct ComponentDeleter
{
    void operator()(icalcomponent *component) const { icalcomponent_free(component); }
};
using ComponentPointer = std::unique_ptr<icalcomponent, ComponentDeleter>;

ComponentPointer parsed(const QByteArray &text)
{
    return ComponentPointer(icalparser_parse_string(text.constData()));
}

QByteArray libicalText(char *text)
{
    QByteArray bytes(text ? text : "");
    icalmemory_free_buffer(text);
    return bytes;
}

// Equal bytes, or the first difference shown with the bytes around it.
testing::AssertionResult sameBytes(const QByteArray &ours, const QByteArray &theirs)
{
    if (ours == theirs)
        return testing::AssertionSuccess();
    qsizetype at = 0;
    while (at < ours.size() && at < theirs.size() && ours.at(at) == theirs.at(at))
        ++at;
    const qsizetype from = qMax<qsizetype>(0, at - 80);
    return testing::AssertionFailure() << "first difference at byte " << at
                                       << "\n ours:   " << ours.mid(from, 160).toPercentEncoding(" :;,=\"").constData()
                                       << "\n libical: "
                                       << theirs.mid(from, 160).toPercentEncoding(" :;,=\"").constData();
}

// Every property of the component and its children, and the component itself, written alike.
void expectSameText(icalcomponent *component, const QByteArray &source)
{
    ASSERT_NE(component, nullptr) << source.constData();
    EXPECT_TRUE(sameBytes(icaltext::componentText(component), libicalText(icalcomponent_as_ical_string_r(component))))
        << source.left(2000).toPercentEncoding(" :;,=\"").constData();
    for (icalproperty *property = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY); property;
         property = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY))
        ASSERT_TRUE(sameBytes(icaltext::propertyText(property), libicalText(icalproperty_as_ical_string_r(property))));
    for (icalcompiter children = icalcomponent_begin_component(component, ICAL_ANY_COMPONENT);
         icalcomponent *child = icalcompiter_deref(&children); icalcompiter_next(&children))
        expectSameText(child, source);
}

QByteArray summaryText(const QByteArray &value)
{
    ComponentPointer event(icalcomponent_new_vevent());
    icalcomponent_add_property(event.get(), icalproperty_new_summary(value.constData()));
    return icaltext::propertyText(icalcomponent_get_first_property(event.get(), ICAL_SUMMARY_PROPERTY));
}

const QByteArray kTwoByte = "\xC3\xA9";          // e with an acute accent
const QByteArray kThreeByte = "\xE2\x82\xAC";    // the euro sign
const QByteArray kFourByte = "\xF0\x9F\x98\x80"; // a smiling face

} // namespace

// The folds written, pinned byte for byte: lines break after the name's colon first, continuation
// lines hold 74 bytes after their space, a character is never split, and a line whose end reaches
// the width is broken inside or just before its line end as libical does.
TEST(ICalendarTextTest, FoldsLongLinesAsLibicalDoes)
{
    EXPECT_EQ(summaryText(QByteArray(64, 'a')), "SUMMARY:" + QByteArray(64, 'a') + "\r\n");
    EXPECT_EQ(summaryText(QByteArray(65, 'a')), "SUMMARY:\r\n " + QByteArray(65, 'a') + "\r\n");
    EXPECT_EQ(summaryText(QByteArray(140, 'a')),
              "SUMMARY:\r\n " + QByteArray(74, 'a') + "\r\n " + QByteArray(66, 'a') + "\r\n");
    EXPECT_EQ(summaryText(QByteArray(73, 'a')), "SUMMARY:\r\n " + QByteArray(73, 'a') + "\r\r\n \n");
    EXPECT_EQ(summaryText(QByteArray(74, 'a')), "SUMMARY:\r\n " + QByteArray(74, 'a') + "\r\n \r\n");
    EXPECT_EQ(summaryText(QByteArray(10, 'a') + " " + QByteArray(70, 'b')),
              "SUMMARY:" + QByteArray(10, 'a') + " \r\n " + QByteArray(70, 'b') + "\r\n");
    EXPECT_EQ(summaryText(QByteArray(73, 'a') + kThreeByte + "b"),
              "SUMMARY:\r\n " + QByteArray(73, 'a') + "\r\n " + kThreeByte + "b\r\n");
    EXPECT_EQ(summaryText("a,b;c\\d\ne\rf\tg\bh\fi\x01\x7f"), "SUMMARY:a\\,b\\;c\\\\d\\nef\tghi\x01\x7f\r\n");
    EXPECT_EQ(summaryText(""), "SUMMARY:\r\n");
    for (const QByteArray &character : {kTwoByte, kThreeByte, kFourByte}) {
        for (int lead = 60; lead < 80; ++lead) {
            QByteArray value(lead, 'x');
            for (int count = 0; count < 40; ++count)
                value += character;
            ComponentPointer event(icalcomponent_new_vevent());
            icalcomponent_add_property(event.get(), icalproperty_new_description(value.constData()));
            icalcomponent_add_property(event.get(), icalproperty_new_location(("a:" + value).constData()));
            expectSameText(event.get(), value);
        }
    }
}

// Hand-made components of every kind written here, with the values, parameters and extensions
// around them.
TEST(ICalendarTextTest, WritesHandMadeComponentsAsLibicalDoes)
{
    const QByteArray longText = "Line one, with; specials \\ and\nline two " + kTwoByte.repeated(30) +
                                kThreeByte.repeated(25) + kFourByte.repeated(20);
    // clang-format off
    const QList<QByteArray> sources = {
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nMETHOD:PUBLISH\r\nX-WR-CALNAME:Mine\r\n"
        "BEGIN:VEVENT\r\nUID:a,b;c\\\\d\r\nDTSTART;TZID=Europe/Paris:20240101T100000\r\n"
        "DTEND;TZID=\"Zone; with: quotes\":20240101T110000\r\nDTSTAMP:20240101T000000Z\r\n"
        "RRULE:FREQ=WEEKLY;BYDAY=MO,TU;UNTIL=20250101T000000Z\r\nEXDATE:20240108T100000,20240115T100000\r\n"
        "EXDATE;VALUE=DATE:20240120\r\nRDATE:20240301T100000Z\r\nSEQUENCE:3\r\nPRIORITY:0\r\n"
        "STATUS:CONFIRMED\r\nTRANSP:TRANSPARENT\r\nCLASS:X-SECRET\r\nCATEGORIES:a,b\\,c\r\n"
        "ATTENDEE;CN=\"Doe, J\";ROLE=REQ-PARTICIPANT;X-EXTRA=\"a:b\":mailto:j@x.org\r\n"
        "ORGANIZER;CN=Org:mailto:o@x.org\r\nURL:http://x.org/a,b;c\r\nGEO:1.5;-2.25\r\n"
        "X-FOO;X-P=\"a:b\":hello,world;x\\,y\r\nX-EMPTY:\r\nLOCATION;LANGUAGE=en:\r\n"
        "DESCRIPTION:" + longText + "\r\nSUMMARY;ALTREP=\"http://x/y\":" + longText + "\r\n"
        "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nDESCRIPTION:Soon\r\nEND:VALARM\r\n"
        "BEGIN:VALARM\r\nACTION:AUDIO\r\nTRIGGER;VALUE=DATE-TIME:20240101T090000Z\r\nREPEAT:2\r\n"
        "DURATION:P1DT2H3M4S\r\nEND:VALARM\r\nEND:VEVENT\r\n"
        "BEGIN:VTODO\r\nUID:t1\r\nDUE;VALUE=DATE:20240105\r\nDTSTART:20240101\r\nPERCENT-COMPLETE:40\r\n"
        "STATUS:NEEDS-ACTION\r\nCOMPLETED:20240104T120000Z\r\nRRULE:FREQ=MONTHLY;COUNT=5;BYMONTHDAY=-1\r\n"
        "END:VTODO\r\n"
        "BEGIN:VJOURNAL\r\nUID:j1\r\nDTSTART;VALUE=DATE:20240102\r\nSUMMARY:" + QByteArray(200, ':') + "\r\n"
        "DESCRIPTION:" + QByteArray(300, ';') + "\r\nCOMMENT:" + QByteArray(150, ' ') + "\r\nEND:VJOURNAL\r\n"
        "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nX-LIC-LOCATION:Europe/Berlin\r\n"
        "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nTZNAME:CEST\r\nDTSTART:19700329T020000\r\n"
        "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\nBEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\n"
        "TZOFFSETTO:+0100\r\nTZNAME:CET\r\nDTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\n"
        "END:STANDARD\r\nEND:VTIMEZONE\r\n"
        "BEGIN:X-THING\r\nX-A:1\r\nSUMMARY:inside\r\nEND:X-THING\r\nBEGIN:VFREEBUSY\r\nUID:f\r\n"
        "FREEBUSY:20240101T100000Z/PT1H\r\nEND:VFREEBUSY\r\nEND:VCALENDAR\r\n",
        "BEGIN:VEVENT\r\nUID:broken\r\nDTSTART:2024-01-01\r\nSUMMARY\r\nDURATION:nonsense\r\nEND:VEVENT\r\n",
    };
    // clang-format on
    for (const QByteArray &source : sources) {
        const ComponentPointer component = parsed(source);
        expectSameText(component.get(), source);
    }
}

// Values built directly rather than read: texts of any bytes, durations and offsets of every shape, times at the edges
// of what is written, dates where date-times belong, and each standard member of the enumerated kinds.
TEST(ICalendarTextTest, WritesBuiltValuesAsLibicalDoes)
{
    ComponentPointer event(icalcomponent_new_vevent());
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        icaldurationtype duration = icaldurationtype_null_duration();
        duration.is_neg = int(random() % 2);
        duration.weeks = random() % 3 == 0 ? unsigned(random() % 60) : 0;
        duration.days = random() % 2 ? unsigned(random() % 400) : 0;
        duration.hours = random() % 2 ? unsigned(random() % 30) : 0;
        duration.minutes = random() % 2 ? unsigned(random() % 70) : 0;
        duration.seconds = random() % 2 ? unsigned(random() % 100000) : 0;
        icalcomponent_add_property(event.get(), icalproperty_new_duration(duration));
        icaltriggertype trigger{icaltime_null_time(), duration};
        icalcomponent_add_property(event.get(), icalproperty_new_trigger(trigger));
        icalcomponent_add_property(event.get(), icalproperty_new_sequence(static_cast<int>(random())));
        icalcomponent_add_property(event.get(), icalproperty_new_tzoffsetto(int(random() % 200001) - 100000));
        icalcomponent_add_property(event.get(), icalproperty_new_tzoffsetfrom(int(random() % 7201) - 3600));
        QByteArray anyBytes(int(random() % 200), '\0');
        for (char &byte : anyBytes)
            byte = char(1 + random() % 255);
        icalcomponent_add_property(event.get(), icalproperty_new_description(anyBytes.constData()));
    }
    for (const char *time : {"00010101T000000", "99991231T235959Z", "20240229", "19700101T000000Z", "00000101"})
        icalcomponent_add_property(event.get(), icalproperty_new_dtstart(icaltime_from_string(time)));
    for (int action = ICAL_ACTION_X; action <= ICAL_ACTION_NONE; ++action)
        icalcomponent_add_property(event.get(), icalproperty_new_action(icalproperty_action(action)));
    for (int status = ICAL_STATUS_X; status <= ICAL_STATUS_NONE; ++status)
        icalcomponent_add_property(event.get(), icalproperty_new_status(icalproperty_status(status)));
    for (int transparency = ICAL_TRANSP_X; transparency <= ICAL_TRANSP_NONE; ++transparency)
        icalcomponent_add_property(event.get(), icalproperty_new_transp(icalproperty_transp(transparency)));
    for (int kind = ICAL_CLASS_X; kind <= ICAL_CLASS_NONE; ++kind)
        icalcomponent_add_property(event.get(), icalproperty_new_class(icalproperty_class(kind)));
    expectSameText(event.get(), "built values");
}

namespace {

const QList<QByteArray> kRandomNames = {"SUMMARY",
                                        "DESCRIPTION",
                                        "LOCATION",
                                        "COMMENT",
                                        "UID",
                                        "CATEGORIES",
                                        "RESOURCES",
                                        "CONTACT",
                                        "RELATED-TO",
                                        "TZID",
                                        "TZNAME",
                                        "PRODID",
                                        "VERSION",
                                        "DTSTART",
                                        "DTEND",
                                        "DUE",
                                        "DTSTAMP",
                                        "CREATED",
                                        "LAST-MODIFIED",
                                        "RECURRENCE-ID",
                                        "EXDATE",
                                        "RDATE",
                                        "DURATION",
                                        "TRIGGER",
                                        "RRULE",
                                        "SEQUENCE",
                                        "PRIORITY",
                                        "REPEAT",
                                        "ATTENDEE",
                                        "ORGANIZER",
                                        "URL",
                                        "ATTACH",
                                        "STATUS",
                                        "TRANSP",
                                        "CLASS",
                                        "ACTION",
                                        "GEO",
                                        "X-CUSTOM",
                                        "X-ALT-DESC",
                                        "IANA-THING",
                                        "TZOFFSETFROM",
                                        "REQUEST-STATUS",
                                        "PERCENT-COMPLETE",
                                        "COMPLETED"};
const QList<QByteArray> kRandomPieces = {
    "a",        "b",   "Z", " ", ":", ";", ",",    "\\",   "\\n",      "\\,",          "\"",
    "=",        "\t",  "0", "7", "T", "-", "\x01", "\x7F", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
    "\xE2\x82", "\xA9"};
const QList<QByteArray> kRandomValues = {"20240101T100000",
                                         "20240101T100000Z",
                                         "20240101",
                                         "-PT15M",
                                         "P1W",
                                         "PT0S",
                                         "P2DT3H",
                                         "FREQ=DAILY;COUNT=3",
                                         "FREQ=WEEKLY;BYDAY=MO,WE;UNTIL=20250101T000000Z",
                                         "mailto:a@b.org",
                                         "12",
                                         "-3",
                                         "CONFIRMED",
                                         "DISPLAY",
                                         "OPAQUE",
                                         "PUBLIC",
                                         "1.5;2.5",
                                         "+0100",
                                         "20240101T100000,20240102T100000",
                                         "2.0;Success"};
const QList<QByteArray> kRandomParameters = {
    ";TZID=Europe/Berlin", ";TZID=\"A;B:C\"", ";VALUE=DATE",  ";VALUE=DATE-TIME", ";VALUE=TEXT",  ";LANGUAGE=de",
    ";CN=\"Doe, J\"",      ";X-P=x",          ";X-Q=\"a:b\"", ";ROLE=CHAIR",      ";RELATED=END", ";ALTREP=\"cid:x\""};

QByteArray randomText(std::mt19937 &random, int longest)
{
    QByteArray text;
    const int pieces = int(random() % unsigned(longest + 1));
    for (int at = 0; at < pieces; ++at)
        text += kRandomPieces.at(int(random() % unsigned(kRandomPieces.size())));
    return text;
}

QByteArray randomProperty(std::mt19937 &random)
{
    QByteArray line = kRandomNames.at(int(random() % unsigned(kRandomNames.size())));
    while (random() % 4 == 0)
        line += kRandomParameters.at(int(random() % unsigned(kRandomParameters.size())));
    line += ':';
    line += random() % 2 ? kRandomValues.at(int(random() % unsigned(kRandomValues.size()))) : randomText(random, 120);
    return line + "\r\n";
}

QByteArray randomComponent(std::mt19937 &random)
{
    static const QList<QByteArray> kinds = {"VEVENT", "VTODO", "VJOURNAL", "VTIMEZONE", "X-PART"};
    const QByteArray kind = kinds.at(int(random() % unsigned(kinds.size())));
    QByteArray text = "BEGIN:" + kind + "\r\n";
    const int properties = int(random() % 12);
    for (int at = 0; at < properties; ++at)
        text += randomProperty(random);
    if (random() % 3 == 0)
        text += "BEGIN:VALARM\r\n" + randomProperty(random) + randomProperty(random) + "END:VALARM\r\n";
    return text + "END:" + kind + "\r\n";
}

} // namespace

// A few thousand components of random properties, parameters and texts, UTF-8 and specials included.
TEST(ICalendarTextTest, WritesRandomComponentsAsLibicalDoes)
{
    std::mt19937 random(86);
    for (int round = 0; round < 3000; ++round) {
        const QByteArray source = "BEGIN:VCALENDAR\r\n" + randomComponent(random) + "END:VCALENDAR\r\n";
        const ComponentPointer component = parsed(source);
        expectSameText(component.get(), source);
        if (HasFatalFailure())
            return;
    }
}

// Every file of other programs' making, read and written by both.
TEST(ICalendarTextTest, WritesOtherProgramsFilesAsLibicalDoes)
{
    const QDir corpus(qEnvironmentVariable("HM_INTEROP_CORPUS", QStringLiteral(HM_INTEROP_CORPUS)) +
                      QStringLiteral("/calendar"));
    if (!corpus.exists())
        GTEST_SKIP() << "no interop corpus";
    const QStringList names = corpus.entryList({QStringLiteral("*.ics")}, QDir::Files);
    ASSERT_FALSE(names.isEmpty());
    for (const QString &name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray source = file.read(4 * 1024 * 1024);
        const ComponentPointer component = parsed(source);
        if (!component)
            continue;
        expectSameText(component.get(), name.toUtf8());
    }
}
