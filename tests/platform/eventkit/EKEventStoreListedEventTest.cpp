// A listing takes the event of a file holding one single event from what the folder keeps of it
// (in memory and in the index) instead of parsing the file: every field must be what parsing gives,
// a change of the file must never be hidden by it, and a damaged one must never be believed.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarCodec.h"

#include <QFile>
#include <QTimeZone>

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace platform;
using namespace eventkittest;

namespace {

const QByteArray kBerlin = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                           "BEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                           "BEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";

struct Row
{
    const char *name;
    QByteArray calendar;
};

// Single events of every shape the listing reads: zones, floating and all-day times, ends given or
// not, alarms of each kind, texts with the characters the index encodes, texts absent or empty.
QList<Row> singleEventRows()
{
    const QByteArray alarms = "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
                              "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;RELATED=END:PT5M\r\nEND:VALARM\r\n"
                              "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER;VALUE=DATE-TIME:20260301T080000Z\r\n"
                              "END:VALARM\r\n";
    return {
        {"utc with alarms", calendarText(eventItem("utc", "DTSTART:20260302T090000Z\r\nDTEND:20260302T103000Z\r\n"
                                                          "SUMMARY:Plain\r\n" +
                                                              alarms))},
        {"zoned", calendarText(kBerlin + eventItem("zoned", "DTSTART;TZID=Europe/Berlin:20260715T090000\r\n"
                                                            "DURATION:PT2H\r\nSUMMARY:Zoned\r\n"))},
        {"floating", calendarText(eventItem("floating", "DTSTART:20260302T090000\r\nSUMMARY:Floating\r\n"))},
        {"all day", calendarText(eventItem("allday", "DTSTART;VALUE=DATE:20260302\r\nSUMMARY:All day\r\n"))},
        {"all day of three",
         calendarText(eventItem("days", "DTSTART;VALUE=DATE:20260302\r\nDTEND;VALUE=DATE:20260305\r\n"))},
        {"texts to encode",
         calendarText(eventItem("texts %,;\t", "DTSTART:20260302T090000Z\r\nSUMMARY:T\\, 50% ü\\;x\r\n"
                                               "DESCRIPTION:line one\\nline two\\, +-\r\nLOCATION:\r\n"
                                               "CREATED:20250101T101010Z\r\nLAST-MODIFIED:20260101T111111Z\r\n"))},
        {"no title, empty notes", calendarText(eventItem("untitled", "DTSTART:20260302T090000Z\r\nDESCRIPTION:\r\n"))},
        {"end before start",
         calendarText(eventItem("backwards", "DTSTART:20260302T090000Z\r\nDTEND:20260302T080000Z\r\nSUMMARY:B\r\n"))},
        {"unknown zone name", calendarText(eventItem("unknownzone", "DTSTART;TZID=Nowhere/Else:20260302T090000\r\n"
                                                                    "SUMMARY:Unknown zone\r\n"))},
        {"texts not ASCII", calendarText(eventItem("\xC3\xBC-uid", "DTSTART:20260302T090000Z\r\n"
                                                                   "SUMMARY:\xE6\x97\xA5\xE6\x9C\xAC\r\n"
                                                                   "LOCATION:caf\xC3\xA9\r\n"))},
        {"bytes that are not UTF-8", calendarText(eventItem("notutf8", "DTSTART:20260302T090000Z\r\n"
                                                                       "SUMMARY:ab\xFF\xFE" "c\r\n"
                                                                       "DESCRIPTION:x\xC3\r\n"))},
        {"a zoned stamp, alarm from a zoned end",
         calendarText(kBerlin + eventItem("stamps", "DTSTART;TZID=Europe/Berlin:20260302T090000\r\n"
                                                    "DTEND;TZID=Europe/Berlin:20260302T093000\r\n"
                                                    "CREATED;TZID=Europe/Berlin:20250101T101010\r\n"
                                                    "LAST-MODIFIED:20260101T111111Z\r\n"
                                                    "BEGIN:VALARM\r\nACTION:DISPLAY\r\n"
                                                    "TRIGGER;RELATED=END:-PT1M\r\nEND:VALARM\r\n"))},
    };
}

QString dump(const QDateTime &date)
{
    return date.isValid()
               ? date.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + QString::fromUtf8(date.timeZone().id())
               : QStringLiteral("invalid");
}

// Every field a listing or a record reads, in one text, so that a difference shows where it is.
QString describe(const EKEvent &event)
{
    QStringList alarms;
    for (const EKAlarm &alarm : event.alarms())
        alarms.append(QString::number(alarm.relativeOffset()) + QLatin1Char('@') + dump(alarm.absoluteDate()));
    const QStringList fields{event.calendarItemIdentifier(),
                             event.title().isNull() ? QStringLiteral("(null)") : event.title(),
                             event.notes().isNull() ? QStringLiteral("(null)") : event.notes(),
                             event.location().isNull() ? QStringLiteral("(null)") : event.location(),
                             dump(event.creationDate()),
                             dump(event.lastModifiedDate()),
                             event.isAllDay() ? QStringLiteral("all day") : QStringLiteral("timed"),
                             QString::fromUtf8(event.timeZone().id()),
                             dump(event.startDate()),
                             dump(event.endDate()),
                             alarms.join(QLatin1Char(',')),
                             QString::number(event.recurrenceRules().size()),
                             dump(event.occurrenceDate()),
                             event.isDetached() ? QStringLiteral("detached") : QStringLiteral("attached"),
                             event.isSeriesStart() ? QStringLiteral("series start") : QStringLiteral("not start"),
                             event.seriesRevision(),
                             event.calendar() ? event.calendar()->calendarIdentifier()
                                              : QStringLiteral("(no calendar)")};
    return fields.join(QLatin1Char('|'));
}

QString dumpText(const std::optional<QByteArray> &text)
{
    return text ? QString::fromUtf8(*text) : QStringLiteral("(null)");
}

QString dumpText(const QString &text)
{
    return text.isNull() ? QStringLiteral("(null)") : text;
}

// What telling a change needs of an event, from its look or from the event itself.
QString dumpInstant(const QDateTime &date)
{
    return date.isValid() ? QString::number(date.toMSecsSinceEpoch()) : QStringLiteral("invalid");
}

QString describeLook(const icallisted::ListedLook &look)
{
    return QStringList{QString::number(look.start), QString::number(look.end), dumpInstant(look.lastModified),
                       dumpText(look.title), dumpText(look.notes)}
        .join(QLatin1Char('|'));
}

QString describeLook(const EKEvent &event)
{
    return QStringList{QString::number(event.startDate().toMSecsSinceEpoch()),
                       QString::number(event.endDate().toMSecsSinceEpoch()), dumpInstant(event.lastModifiedDate()),
                       dumpText(event.title()), dumpText(event.notes())}
        .join(QLatin1Char('|'));
}

} // namespace

class EKEventStoreListedEventTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    }

    QString indexPath() const { return root() + QStringLiteral("/.work.hmindex"); }

    // The folder and its index under a new name, its files untouched: as in a new run, a new folder
    // object knows the files from the index only.
    void renameForNextRun() const
    {
        ASSERT_TRUE(QFile::rename(m_folder, root() + QStringLiteral("/workx")));
        ASSERT_TRUE(QFile::rename(indexPath(), root() + QStringLiteral("/.workx.hmindex")));
    }

    // The index's line of b.ics, written as another program does with one event of the properties
    // (the UID "b"), once a listing read it.
    QByteArray indexLineOfEvent(const QByteArray &properties)
    {
        writeAsOtherProgram(m_folder + QStringLiteral("/b.ics"), calendarText(eventItem("b", properties)));
        EXPECT_EQ(listed(*eventStore()).size(), 1);
        const QByteArray index = readAll(indexPath());
        return index.mid(index.indexOf("\nb.ics\t") + 1).split('\n').first();
    }

    // The events of the whole listing, by UID, as the store lists them.
    QMap<QString, QString> listed(EKEventStore &store) const
    {
        QMap<QString, QString> events;
        const EKPredicate predicate =
            store.predicateForEventsWithStartDate(at("2020-01-01 00:00"), at("2030-01-01 00:00"), {});
        for (const auto &event : store.eventsMatchingPredicate(predicate))
            events.insert(event->calendarItemIdentifier(), describe(*event));
        return events;
    }

    // The looks of the whole listing's events that have one, by UID, and their events' alike.
    std::pair<QMap<QString, QString>, QMap<QString, QString>> looks(EKEventStore &store) const
    {
        QMap<QString, QString> looks, events;
        const EKEventSequence sequence = store.eventSequenceMatchingPredicate(
            store.predicateForEventsWithStartDate(at("2020-01-01 00:00"), at("2030-01-01 00:00"), {}));
        QByteArray scratch;
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            const std::optional<icallisted::ListedLook> look = sequence.lookAt(index, scratch);
            const std::shared_ptr<EKEvent> event = sequence.eventAt(index);
            if (look)
                looks.insert(sequence.identifierAt(index), describeLook(*look));
            if (look && event)
                events.insert(event->calendarItemIdentifier(), describeLook(*event));
        }
        return {looks, events};
    }

    // The same events, each asked for by its UID: that reads the file itself.
    QMap<QString, QString> parsed(EKEventStore &store, const QStringList &uids) const
    {
        QMap<QString, QString> events;
        for (const QString &uid : uids) {
            EKPredicate predicate =
                store.predicateForEventsWithStartDate(at("2020-01-01 00:00"), at("2030-01-01 00:00"), {});
            predicate.uid = uid;
            for (const auto &event : store.eventsMatchingPredicate(predicate))
                events.insert(event->calendarItemIdentifier(), describe(*event));
        }
        return events;
    }

    // The same events asked for by their identifiers, as a record of one is read back after a save.
    QMap<QString, QString> byIdentifier(EKEventStore &store, const QStringList &uids) const
    {
        QMap<QString, QString> events;
        for (const QString &uid : uids) {
            if (const std::shared_ptr<EKEvent> event = store.eventWithIdentifier(uid))
                events.insert(uid, describe(*event));
        }
        return events;
    }

    QString m_folder;
};

// In the run that reads the files and in a next one that knows them from the index only (the
// folder renamed, its files untouched, so a new folder object reads the index), in the zone the
// times were read in and in another, each event is what parsing its file gives, listed or asked for
// by its identifier.
TEST_F(EKEventStoreListedEventTest, AListedEventIsWhatParsingTheFileGives)
{
    const QList<Row> rows = singleEventRows();
    for (qsizetype index = 0; index < rows.size(); ++index)
        writeAsOtherProgram(m_folder + QStringLiteral("/e%1.ics").arg(index), rows[index].calendar);
    QStringList uids;
    {
        const auto store = eventStore();
        const QMap<QString, QString> firstRun = listed(*store);
        ASSERT_EQ(firstRun.size(), rows.size());
        uids = firstRun.keys();
        EXPECT_EQ(firstRun, parsed(*store, uids));
        EXPECT_EQ(byIdentifier(*store, uids), firstRun);
    }
    QString name = QStringLiteral("work");
    for (const char *zone : {"UTC", "America/New_York"}) {
        SCOPED_TRACE(zone);
        const QString next = name + QLatin1Char('x');
        ASSERT_TRUE(QFile::rename(root() + QLatin1Char('/') + name, root() + QLatin1Char('/') + next));
        ASSERT_TRUE(QFile::rename(root() + QStringLiteral("/.%1.hmindex").arg(name),
                                  root() + QStringLiteral("/.%1.hmindex").arg(next)));
        name = next;
        const ScopedEnvironment environment("TZ", zone);
        const auto store = eventStore();
        const QMap<QString, QString> nextRun = listed(*store);
        EXPECT_EQ(nextRun.keys(), uids);
        EXPECT_EQ(nextRun, parsed(*store, uids));
        EXPECT_EQ(byIdentifier(*store, uids), nextRun);
        // Read in the zone of the index, every event has a look, which tells what its event does.
        const auto [looksOfEvents, events] = looks(*store);
        if (QLatin1String(zone) == QLatin1String("UTC")) {
            EXPECT_EQ(looksOfEvents.keys(), uids);
        }
        EXPECT_EQ(looksOfEvents, events);
    }
}

// The index keeps the listed event of a single event as percent-encoded fields: the zone it was read
// in, the texts marked present, the dates in milliseconds, the kind of zone and each alarm.
TEST_F(EKEventStoreListedEventTest, TheIndexHoldsTheListedEventExactly)
{
    const QByteArray line = indexLineOfEvent("DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\n"
                                             "SUMMARY:Tea\\, 1\r\nDESCRIPTION:x\r\n"
                                             "LOCATION:Zo\xC3\xAB's ~place/[x_y.z-1]\r\nBEGIN:VALARM\r\n"
                                             "ACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n");
    const QByteArrayList fields = line.split('\t');
    ASSERT_EQ(fields.size(), 12);
    const QByteArray start = QByteArray::number(at("2026-03-02 09:00").toMSecsSinceEpoch());
    const QByteArray end = QByteArray::number(at("2026-03-02 10:00").toMSecsSinceEpoch());
    EXPECT_EQ(fields[10], "UTC,%2Bb,%2BTea%2C%201,%2Bx,%2BZo%C3%AB%27s%20~place%2F%5Bx_y.z-1%5D,,,0,U," + start + ',' +
                              end + ",r-900");
    EXPECT_EQ(fields[11], indexChecksum(line.left(line.lastIndexOf('\t'))));
}

// An alarm's offset is read as a whole number where it is one and by the locale-free reading of
// doubles otherwise: every offset text gives the event the alarm that reading it as a double gives
// (a negative zero stays negative), and a text that is no finite number gives no event.
TEST_F(EKEventStoreListedEventTest, AlarmOffsetsReadAsDoublesDo)
{
    const QByteArray line = indexLineOfEvent("DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\n"
                                             "SUMMARY:Tea\r\nBEGIN:VALARM\r\n"
                                             "ACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n");
    QByteArrayList parts = line.split('\t').value(10).split(',');
    ASSERT_EQ(parts.size(), 12);
    ASSERT_EQ(parts[11], "r-900");
    ASSERT_TRUE(icallisted::eventFromListed(parts.join(',')));
    const char *offsets[] = {"-900", "0", "-0", "007", "-007", "123456789012345", "-999999999999999",
                             "1234567890123456", "99999999999999999999", "1.5", "-0.25", "1e3", "1E-3", "+5",
                             " 5", "5 ", "", "-", "--1", "0x10", "inf", "-inf", "nan", "1e400", "12a"};
    for (const char *offset : offsets) {
        SCOPED_TRACE(offset);
        bool isNumber = false;
        const double expected = QByteArrayView(offset).toDouble(&isNumber);
        const bool isValid = isNumber && std::isfinite(expected);
        parts[11] = QByteArray("r") + offset + "%3Ba0%3Br" + offset;
        const std::shared_ptr<EKEvent> event = icallisted::eventFromListed(parts.join(','));
        ASSERT_EQ(bool(event), isValid);
        if (!event)
            continue;
        ASSERT_EQ(event->alarms().size(), 3);
        for (const int at : {0, 2}) {
            EXPECT_EQ(event->alarms().at(at).relativeOffset(), expected);
            EXPECT_EQ(std::signbit(event->alarms().at(at).relativeOffset()), std::signbit(expected));
        }
        EXPECT_TRUE(event->alarms().at(1).absoluteDate().isValid());
    }
}

// Dates are read as the numbers they are written as, in every form a number takes: leading zeros
// however many, a minus before zero. Anything else (a sign of plus, spaces, more than 64 bits, a
// quarter of a million years away or more, letters among the digits) is no date of ours.
TEST_F(EKEventStoreListedEventTest, DatesReadInEveryFormOfTheirNumber)
{
    const QByteArray line = indexLineOfEvent("DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\nSUMMARY:Tea\r\n");
    const QByteArrayList parts = line.split('\t').value(10).split(',');
    ASSERT_EQ(parts.size(), 12);
    const struct
    {
        const char *text;
        std::optional<qint64> milliseconds;
    } rows[] = {
        {"0", 0},
        {"-0", 0},
        {"7", 7},
        {"-7", -7},
        {"1772442000000", 1772442000000},
        {"0001772442000000", 1772442000000},
        {"00000000000000000000000000001772442000000", 1772442000000},
        {"-0000000000000000000000001", -1},
        {"0000000000000000001", 1},
        {"00000000000000000001", 1},
        {"12345678", 12345678},
        {"-1234567812345678", -1234567812345678},
        {"9007199254740991", 9007199254740991},
        {"-9007199254740991", -9007199254740991},
        {"9007199254740992", std::nullopt},
        {"-9007199254740992", std::nullopt},
        {"1234567890123456789", std::nullopt},
        {"9223372036854775807", std::nullopt},
        {"-9223372036854775808", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"+7", std::nullopt},
        {" 7", std::nullopt},
        {"7 ", std::nullopt},
        {"-", std::nullopt},
        {"--7", std::nullopt},
        {"7-", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"1234567a", std::nullopt},
        {"12345678a", std::nullopt},
        {"1234567:", std::nullopt},
        {"1234567/", std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        QByteArrayList created = parts;
        created[5] = row.text;
        const std::shared_ptr<EKEvent> withCreation = icallisted::eventFromListed(created.join(','));
        ASSERT_EQ(bool(withCreation), bool(row.milliseconds));
        QByteArrayList times = parts;
        times[9] = times[10] = row.text;
        const std::shared_ptr<EKEvent> atTime = icallisted::eventFromListed(times.join(','));
        ASSERT_EQ(bool(atTime), bool(row.milliseconds));
        if (!row.milliseconds)
            continue;
        EXPECT_EQ(withCreation->creationDate().toMSecsSinceEpoch(), *row.milliseconds);
        EXPECT_EQ(atTime->startDate().toMSecsSinceEpoch(), *row.milliseconds);
        EXPECT_EQ(atTime->endDate().toMSecsSinceEpoch(), *row.milliseconds);
    }
}

// A listed event in the index that is not whole and ours, or was read in another zone, is not
// believed: the file is read, listed as it is, and the index is written right again. Each time the
// file comes anew (as another program puts it back), so that only the index tells of it.
TEST_F(EKEventStoreListedEventTest, ADamagedListedEventIsReadFromTheFile)
{
    const QString path = m_folder + QStringLiteral("/theirs.ics");
    const QByteArray calendar = singleEventRows().first().calendar;
    writeAsOtherProgram(path, calendar);
    const QMap<QString, QString> expected = listed(*eventStore());
    const QByteArray good = readAll(indexPath());
    const QByteArrayList goodFields = good.split('\n').value(1).split('\t');
    ASSERT_EQ(goodFields.size(), 12);
    const QByteArray listedEvent = goodFields[10];
    ASSERT_TRUE(listedEvent.startsWith("UTC,"));
    // The index of the file as it now is, with the listed event given.
    const auto indexWith = [&](const QByteArray &listedText) {
        struct stat info = {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
        QByteArrayList fields = goodFields.mid(0, 11);
        fields[1] = QByteArray::number(qint64(info.st_size));
        fields[2] = QByteArray::number(qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec);
        fields[3] = QByteArray::number(qint64(info.st_ino));
        fields[4] = QByteArray::number(qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec);
        fields[10] = listedText;
        return kIndexHeader + indexSigned(fields.join('\t')) + "\nEND 1\n";
    };
    const auto withField = [&](int at, const QByteArray &value) {
        QByteArrayList parts = listedEvent.split(',');
        parts[at] = value;
        return parts.join(',');
    };
    const struct
    {
        const char *name;
        QByteArray listed;
    } rows[] = {
        {"not ours", "garbage"},
        {"a field missing", listedEvent.left(listedEvent.lastIndexOf(','))},
        {"a field too many", listedEvent + ",r0"},
        {"another UID", withField(1, "%2Bother")},
        {"a start with a sign", withField(9, '+' + listedEvent.split(',').value(9))},
        {"a start after a space", withField(9, ' ' + listedEvent.split(',').value(9))},
        {"read in another zone", withField(0, "Pacific%2FKiritimati")},
        {"no UID", withField(1, "-")},
        {"a text without its mark", withField(2, "Plain")},
        {"a start that is no number", withField(9, "9x")},
        {"no start", withField(9, "")},
        {"no end", withField(10, "")},
        {"an end that is no number", withField(10, "1e3")},
        {"a creation a quarter of a million years ahead", withField(5, "9007199254740992")},
        {"a change a quarter of a million years back", withField(6, "-9007199254740992")},
        {"a change that is no number", withField(6, "12.5")},
        {"an alarm a quarter of a million years ahead", withField(11, "a9007199254740992")},
        {"an unknown kind of zone", withField(8, "Q")},
        {"a zone that does not exist", withField(8, "NNowhere%2FElse")},
        {"not all day nor timed", withField(7, "2")},
        {"an alarm of no kind", withField(11, "x5")},
        {"an empty alarm after one", withField(11, "r0%3B")},
        {"an alarm at no date", withField(11, "a")},
        {"too many alarms", withField(11, QByteArray("r0%3B").repeated(65) + "r0")},
        {"too long", withField(3, "%2B" + QByteArray(4000, 'n'))},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_TRUE(listed(*eventStore()).isEmpty());
        writeAsOtherProgram(path, calendar);
        writeAsOtherProgram(indexPath(), indexWith(row.listed));
        // A damaged text has no look; a text too long for the index takes the whole index with it,
        // and the file's parse gives the event its look.
        const auto [found, events] = looks(*eventStore());
        const QMap<QString, QString> expectedLooks =
            std::string(row.name) == "too long" ? events : QMap<QString, QString>();
        EXPECT_EQ(found, expectedLooks);
        EXPECT_EQ(listed(*eventStore()), expected);
        EXPECT_EQ(readAll(indexPath()), indexWith(listedEvent));
    }
}

// Another program rewrites the file in place with the same size and puts its modification time
// back: the listing still sees the new event, in the same run and in the next one.
TEST_F(EKEventStoreListedEventTest, AChangeKeepingSizeAndTimeIsSeen)
{
    const QString path = m_folder + QStringLiteral("/same.ics");
    writeAsOtherProgram(path, calendarText(eventItem("same", "DTSTART:20260302T090000Z\r\nSUMMARY:Same\r\n")));
    struct stat before = {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    ASSERT_EQ(listed(*eventStore()).size(), 1);
    const QByteArray staleIndex = readAll(indexPath());
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll();
        ASSERT_TRUE(file.seek(0));
        ASSERT_EQ(file.write(QByteArray(bytes).replace("20260302T09", "20260303T11")), bytes.size());
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    const QString moved = describe(*[&] {
        const auto store = eventStore();
        EKPredicate predicate =
            store->predicateForEventsWithStartDate(at("2020-01-01 00:00"), at("2030-01-01 00:00"), {});
        predicate.uid = QStringLiteral("same");
        return store->eventsMatchingPredicate(predicate).value(0);
    }());
    ASSERT_TRUE(moved.contains(QStringLiteral("2026-03-03T11:00:00.000Z"))) << moved.toStdString();
    EXPECT_EQ(listed(*eventStore()).value(QStringLiteral("same")), moved) << "in the same run";
    writeAsOtherProgram(indexPath(), staleIndex);
    EXPECT_EQ(listed(*eventStore()).value(QStringLiteral("same")), moved) << "in the next run";
}

// A listing orders its events by start, then identifier, whether each comes from its file's parse
// or from what the folder keeps of it: single events, a series, a detached occurrence and a file of
// two events, several at one start, list in that order in the run that reads the files and in the
// next run that knows them from the index; the sequence made one event at a time gives what the
// list gives.
TEST_F(EKEventStoreListedEventTest, ListedAndParsedEventsKeepOneOrder)
{
    const QByteArray nine = "DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\n";
    const struct
    {
        const char *name;
        QByteArray calendar;
    } files[] = {
        {"b", calendarText(eventItem("b", nine + "SUMMARY:B\r\n"))},
        {"a", calendarText(eventItem("a", nine + "SUMMARY:A\r\n"))},
        {"late", calendarText(eventItem("late", "DTSTART:20260302T110000Z\r\nSUMMARY:Late\r\n"))},
        {"early", calendarText(eventItem("early", "DTSTART:20260301T080000Z\r\nSUMMARY:Early\r\n"))},
        {"series", calendarText(eventItem("c-series", nine + "RRULE:FREQ=DAILY;COUNT=3\r\nSUMMARY:Daily\r\n") +
                                eventItem("c-series", "RECURRENCE-ID:20260303T090000Z\r\n"
                                                      "DTSTART:20260302T083000Z\r\nSUMMARY:Moved\r\n"))},
        {"pair",
         calendarText(eventItem("d-first", nine + "SUMMARY:D\r\n") + eventItem("0-second", nine + "SUMMARY:Zero\r\n"))},
    };
    for (const auto &file : files)
        writeAsOtherProgram(m_folder + QLatin1Char('/') + QLatin1String(file.name) + QStringLiteral(".ics"),
                            file.calendar);
    const auto ordered = [](const QList<std::shared_ptr<EKEvent>> &events) {
        QStringList lines;
        for (const auto &event : events)
            lines.append(event->calendarItemIdentifier() + QLatin1Char(' ') + dump(event->startDate()));
        return lines;
    };
    const auto runOnce = [&](bool fromIndex) {
        const auto store = eventStore();
        const EKPredicate predicate =
            store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
        const EKEventSequence sequence = store->eventSequenceMatchingPredicate(predicate);
        QList<std::shared_ptr<EKEvent>> oneAtATime;
        for (qsizetype index = 0; index < sequence.size(); ++index)
            oneAtATime.append(sequence.eventAt(index));
        EXPECT_EQ(ordered(oneAtATime), ordered(store->eventsMatchingPredicate(predicate))) << fromIndex;
        EXPECT_EQ(sequence.parsedEvents().size(), 5) << "the series' three and the pair's two events";
        const QStringList alone{"a", "b", "early", "late"};
        QByteArray scratch;
        for (qsizetype index = 0; index < sequence.size(); ++index)
            EXPECT_EQ(bool(sequence.lookAt(index, scratch)), alone.contains(sequence.identifierAt(index)))
                << "only single events of files of their own have a look: " << index;
        return ordered(oneAtATime);
    };
    const QStringList parsed = runOnce(false);
    const QStringList expected{"early 2026-03-01T08:00:00.000Z UTC",    "c-series 2026-03-02T08:30:00.000Z UTC",
                               "0-second 2026-03-02T09:00:00.000Z UTC", "a 2026-03-02T09:00:00.000Z UTC",
                               "b 2026-03-02T09:00:00.000Z UTC",        "c-series 2026-03-02T09:00:00.000Z UTC",
                               "d-first 2026-03-02T09:00:00.000Z UTC",  "late 2026-03-02T11:00:00.000Z UTC",
                               "c-series 2026-03-04T09:00:00.000Z UTC"};
    EXPECT_EQ(parsed, expected);
    renameForNextRun();
    EXPECT_EQ(runOnce(true), expected);
}

// Events of one start go by their identifiers as texts compare, whatever a description holds of
// them: plain ASCII UIDs (some alike in their first bytes), ones written with escapes (comma,
// percent, space, letters beyond ASCII), and events of parsed files. Every single event keeps its look and its identifier, from the parse
// and from the index alike.
TEST_F(EKEventStoreListedEventTest, TiedStartsGoByIdentifierWhateverItsBytes)
{
    const QByteArray nine = "DTSTART:20260302T090000Z\r\nDTEND:20260302T100000Z\r\n";
    const QStringList singles{QStringLiteral("b"),   QStringLiteral("a"),   QString::fromUtf8("Zé"),
                              QStringLiteral("a%b"), QStringLiteral("b,c"), QStringLiteral("a b"),
                              QStringLiteral("A"),   QString::fromUtf8("é"), QStringLiteral("ab"),
                              // Alike in their first eight bytes, or all of them.
                              QStringLiteral("prefix-same-2"), QStringLiteral("prefix-same-10"),
                              QStringLiteral("abcdefgh"), QStringLiteral("abcdefgh-x")};
    for (qsizetype at = 0; at < singles.size(); ++at)
        writeAsOtherProgram(m_folder + QStringLiteral("/single%1.ics").arg(at),
                            calendarText(eventItem(singles[at].toUtf8(), nine + "SUMMARY:S\r\n")));
    writeAsOtherProgram(m_folder + QStringLiteral("/pair.ics"),
                        calendarText(eventItem("aa-first", nine) + eventItem("B-second", nine)));
    writeAsOtherProgram(m_folder + QStringLiteral("/series.ics"),
                        calendarText(eventItem("a-series", nine + "RRULE:FREQ=DAILY;COUNT=2\r\n")));
    // Series (parsed, their identifiers kept as texts) alike in their first eight bytes with single
    // events and with each other, and one beyond ASCII.
    for (const QByteArray &uid : {QByteArray("prefix-same-11"), QByteArray("prefix-s"), QByteArray("\xc3\x89-series")})
        writeAsOtherProgram(m_folder + QStringLiteral("/series-") + QString::number(qHash(uid)) + QStringLiteral(".ics"),
                            calendarText(eventItem(uid, nine + "RRULE:FREQ=DAILY;COUNT=2\r\n")));
    QStringList expected = singles + QStringList{"aa-first", "B-second", "a-series", "prefix-same-11", "prefix-s",
                                                 QString::fromUtf8("\xc3\x89-series")};
    std::sort(expected.begin(), expected.end());
    const auto runOnce = [&](bool fromIndex) {
        SCOPED_TRACE(fromIndex ? "from the index" : "from the files");
        const auto store = eventStore();
        const EKEventSequence sequence = store->eventSequenceMatchingPredicate(
            store->predicateForEventsWithStartDate(at("2026-03-02 00:00"), at("2026-03-03 00:00"), {}));
        QStringList identifiers;
        QByteArray scratch;
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            const QString identifier = sequence.identifierAt(index);
            identifiers.append(identifier);
            const std::shared_ptr<EKEvent> event = sequence.eventAt(index);
            SCOPED_TRACE(identifier.toStdString());
            ASSERT_TRUE(event);
            EXPECT_EQ(event->calendarItemIdentifier(), identifier);
            const std::optional<icallisted::ListedLook> look = sequence.lookAt(index, scratch);
            EXPECT_EQ(bool(look), singles.contains(identifier));
            if (look) {
                EXPECT_EQ(describeLook(*look), describeLook(*event));
            }
        }
        EXPECT_EQ(identifiers, expected);
    };
    runOnce(false);
    renameForNextRun();
    runOnce(true);
}

// Many events at few starts, from long before 1970 to long after 2038 (starts alike in their high
// bytes and in their low ones), of identifiers of every length to 40 alike in their first bytes,
// plain or beyond ASCII or escaped anywhere, single or occurrences of a series: the sequence orders
// them by start, then identifier, in the run that reads their files and in the next that knows them
// from the index. Seeded.
TEST_F(EKEventStoreListedEventTest, ManyEventsGoByStartThenIdentifier)
{
    std::mt19937 random(8122026);
    const qint64 fixedStarts[] = {-2208988800, -86400,     -1,         0,          1,
                                  255,         256,        65535,      65536,      16777216,
                                  1772442000,  1772442001, 2147483647, 2147483648, 4102444799};
    QList<qint64> starts(std::begin(fixedStarts), std::end(fixedStarts));
    while (starts.size() < 40)
        starts.append(qint64(random() % 4000000000U) - 1000000000);
    // Half the identifiers of plain bytes only; some of those beyond sixteen bytes, which are looked
    // at sixteen at a time.
    const QString plainAlphabet = QStringLiteral("aAb-0");
    const QString alphabet = QString::fromUtf8("aAb-0\u00e9%,");
    QSet<QString> identifiers;
    QList<std::pair<qint64, QString>> expected;
    const auto secondsText = [](qint64 seconds) {
        return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc()).toString("yyyyMMdd'T'HHmmss'Z'").toLatin1();
    };
    for (int file = 0; file < 400; ++file) {
        QString identifier;
        while (identifier.isEmpty() || identifiers.contains(identifier)) {
            identifier.clear();
            const QString &letters = file % 2 == 0 ? plainAlphabet : alphabet;
            for (std::size_t length = 1 + random() % 40; identifier.size() < qsizetype(length);)
                identifier += letters.at(qsizetype(random() % std::size_t(letters.size())));
        }
        identifiers.insert(identifier);
        const qint64 start = starts.at(qsizetype(random() % std::size_t(starts.size())));
        const bool isSeries = file % 40 == 0;
        const QByteArray properties = "DTSTART:" + secondsText(start) + "\r\nSUMMARY:E\r\n" +
                                      (isSeries ? QByteArray("RRULE:FREQ=DAILY;COUNT=3\r\n") : QByteArray());
        writeAsOtherProgram(m_folder + QStringLiteral("/f%1.ics").arg(file),
                            calendarText(eventItem(identifier.toUtf8(), properties)));
        for (int day = 0; day < (isSeries ? 3 : 1); ++day)
            expected.append({(start + day * 86400) * 1000, identifier});
    }
    std::sort(expected.begin(), expected.end());
    const auto runOnce = [&](bool fromIndex) {
        SCOPED_TRACE(fromIndex ? "from the index" : "from the files");
        const auto store = eventStore();
        const EKEventSequence sequence = store->eventSequenceMatchingPredicate(
            store->predicateForEventsWithStartDate(at("1899-01-01 00:00"), at("2101-01-01 00:00"), {}));
        QList<std::pair<qint64, QString>> listed;
        for (qsizetype index = 0; index < sequence.size(); ++index) {
            const std::shared_ptr<EKEvent> event = sequence.eventAt(index);
            ASSERT_TRUE(event);
            listed.append({event->startDate().toMSecsSinceEpoch(), sequence.identifierAt(index)});
        }
        EXPECT_EQ(listed, expected);
    };
    runOnce(false);
    renameForNextRun();
    runOnce(true);
}

// A listed event is placed in a window by its times in milliseconds, as its dates place it: at every
// start near the window's edges, of every length near a whole second, before and after its start,
// in windows with either bound invalid.
TEST(ListedEventWindow, TimesPlaceAnEventAsItsDatesDo)
{
    const qint64 from = 1772442000000;
    const qint64 to = from + 86400000;
    const QDateTime windows[][2] = {
        {QDateTime::fromMSecsSinceEpoch(from, QTimeZone::utc()), QDateTime::fromMSecsSinceEpoch(to, QTimeZone::utc())},
        {QDateTime::fromMSecsSinceEpoch(-from, QTimeZone::utc()), QDateTime::fromMSecsSinceEpoch(0, QTimeZone::utc())},
        {QDateTime(), QDateTime::fromMSecsSinceEpoch(to, QTimeZone::utc())},
        {QDateTime::fromMSecsSinceEpoch(from, QTimeZone::utc()), QDateTime()},
        {QDateTime(), QDateTime()},
    };
    const qint64 lengths[] = {0, 1, 999, 1000, 1001, 1999, 3600000, -1, -999, -1000, -1001, -3600000};
    int compared = 0;
    for (const auto &window : windows) {
        const qint64 edges[] = {window[0].isValid() ? window[0].toMSecsSinceEpoch() : from,
                                window[1].isValid() ? window[1].toMSecsSinceEpoch() : to};
        for (const qint64 edge : edges) {
            for (qint64 offset = -2001; offset <= 2001; offset += 1) {
                const qint64 start = edge + offset;
                for (const qint64 length : lengths) {
                    const QDateTime occurrence = QDateTime::fromMSecsSinceEpoch(start, QTimeZone::utc());
                    const qint64 seconds =
                        occurrence.secsTo(QDateTime::fromMSecsSinceEpoch(start + length, QTimeZone::utc()));
                    ASSERT_EQ(icalcodec::overlapsWindow(start, start + length, window[0], window[1]),
                              icalcodec::overlapsWindow(occurrence, seconds, window[0], window[1]))
                        << start << " + " << length << " in " << dump(window[0]).toStdString() << " to "
                        << dump(window[1]).toStdString();
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 5 * 2 * 4003 * 12);
}
