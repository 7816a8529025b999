// Files other programs wrote, synced to the phone, edited there and synced back: the edit changes the
// property the phone changed and the stamps, and every other line of the file stays as it was, byte
// for byte, in every time zone.
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "foundation/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using phonepeer::Conduit;

namespace {

// A meeting as another program writes it: its own zone, an organizer and attendees, a sound alarm,
// properties of its own, a line libical cannot read, and LF line ends.
const QByteArray kMeeting = "BEGIN:VCALENDAR\n"
                            "VERSION:2.0\n"
                            "PRODID:-//Other Program//Calendar 1.0//EN\n"
                            "X-WR-CALNAME:Team\n"
                            "BEGIN:VTIMEZONE\n"
                            "TZID:Europe/Berlin\n"
                            "BEGIN:STANDARD\n"
                            "DTSTART:19701025T030000\n"
                            "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\n"
                            "TZOFFSETFROM:+0200\n"
                            "TZOFFSETTO:+0100\n"
                            "TZNAME:CET\n"
                            "END:STANDARD\n"
                            "BEGIN:DAYLIGHT\n"
                            "DTSTART:19700329T020000\n"
                            "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\n"
                            "TZOFFSETFROM:+0100\n"
                            "TZOFFSETTO:+0200\n"
                            "TZNAME:CEST\n"
                            "END:DAYLIGHT\n"
                            "END:VTIMEZONE\n"
                            "BEGIN:VEVENT\n"
                            "UID:planning-2027@other.example\n"
                            "DTSTAMP:20261201T100000Z\n"
                            "CREATED:20261201T100000Z\n"
                            "DTSTART;TZID=Europe/Berlin:20270112T100000\n"
                            "DTEND;TZID=Europe/Berlin:20270112T113000\n"
                            "SUMMARY:Planning\n"
                            "LOCATION:Room 4\n"
                            "ORGANIZER;CN=\"Ana, Lead\":mailto:ana@other.example\n"
                            "ATTENDEE;PARTSTAT=ACCEPTED;ROLE=REQ-PARTICIPANT;CN=Bo:mailto:bo@other.ex\n"
                            " ample\n"
                            "X-OTHER-COLOUR;X-SCHEME=rgb:#336699\n"
                            "CATEGORIES:\n"
                            "CLASS:PRIVATE\n"
                            "BEGIN:VALARM\n"
                            "ACTION:AUDIO\n"
                            "TRIGGER:-PT10M\n"
                            "X-OTHER-SOUND:bell\n"
                            "END:VALARM\n"
                            "END:VEVENT\n"
                            "END:VCALENDAR\n";

// A floating all-day-less task a to-do program wrote, CRLF line ends, a property of its own.
const QByteArray kTask = "BEGIN:VCALENDAR\r\n"
                         "VERSION:2.0\r\n"
                         "PRODID:-//Other Program//Tasks 2.0//EN\r\n"
                         "BEGIN:VTODO\r\n"
                         "UID:task-2027@other.example\r\n"
                         "DTSTAMP:20261201T100000Z\r\n"
                         "SUMMARY:Water the plants\r\n"
                         "DUE;VALUE=DATE:20270115\r\n"
                         "X-OTHER-LIST:home\r\n"
                         "STATUS:NEEDS-ACTION\r\n"
                         "END:VTODO\r\n"
                         "END:VCALENDAR\r\n";

// A weekly series of another program since 2026, one occurrence removed and one moved, and a yearly
// all-day event since 2020: edits keep their history, overrides and dates.
const QByteArray kSeries = "BEGIN:VCALENDAR\r\n"
                           "VERSION:2.0\r\n"
                           "PRODID:-//Other Program//Calendar 1.0//EN\r\n"
                           "BEGIN:VEVENT\r\n"
                           "UID:weekly-2026@other.example\r\n"
                           "DTSTAMP:20261001T100000Z\r\n"
                           "DTSTART:20261005T080000Z\r\n"
                           "DTEND:20261005T090000Z\r\n"
                           "RRULE:FREQ=WEEKLY;COUNT=30\r\n"
                           "EXDATE:20270111T080000Z\r\n"
                           "SUMMARY:Weekly review\r\n"
                           "X-OTHER-ID:77\r\n"
                           "END:VEVENT\r\n"
                           "BEGIN:VEVENT\r\n"
                           "UID:weekly-2026@other.example\r\n"
                           "RECURRENCE-ID:20270118T080000Z\r\n"
                           "DTSTAMP:20261001T100000Z\r\n"
                           "DTSTART:20270119T130000Z\r\n"
                           "DTEND:20270119T140000Z\r\n"
                           "SUMMARY:Weekly review (Tuesday)\r\n"
                           "END:VEVENT\r\n"
                           "END:VCALENDAR\r\n";
const QByteArray kBirthday = "BEGIN:VCALENDAR\r\n"
                             "VERSION:2.0\r\n"
                             "PRODID:-//Other Program//Calendar 1.0//EN\r\n"
                             "BEGIN:VEVENT\r\n"
                             "UID:birthday@other.example\r\n"
                             "DTSTAMP:20200101T100000Z\r\n"
                             "DTSTART;VALUE=DATE:20200125\r\n"
                             "DTEND;VALUE=DATE:20200126\r\n"
                             "RRULE:FREQ=YEARLY\r\n"
                             "SUMMARY:Birthday\r\n"
                             "TRANSP:TRANSPARENT\r\n"
                             "END:VEVENT\r\n"
                             "END:VCALENDAR\r\n";

// An invitation to one occurrence of a series whose master is not here.
const QByteArray kInvitation = "BEGIN:VCALENDAR\r\n"
                               "VERSION:2.0\r\n"
                               "PRODID:-//Other Program//Mail 3.1//EN\r\n"
                               "METHOD:REQUEST\r\n"
                               "BEGIN:VEVENT\r\n"
                               "UID:board-series@other.example\r\n"
                               "RECURRENCE-ID:20270114T150000Z\r\n"
                               "SEQUENCE:3\r\n"
                               "DTSTAMP:20261201T100000Z\r\n"
                               "DTSTART:20270114T160000Z\r\n"
                               "DTEND:20270114T170000Z\r\n"
                               "SUMMARY:Board meeting\r\n"
                               "ORGANIZER;CN=Chair:mailto:chair@other.example\r\n"
                               "ATTENDEE;RSVP=TRUE;PARTSTAT=NEEDS-ACTION:mailto:me@other.example\r\n"
                               "END:VEVENT\r\n"
                               "END:VCALENDAR\r\n";
// Floating times, a zone libical does not know by name (its VTIMEZONE given), and lines libical
// cannot read: an empty RRULE and CATEGORIES, a period RDATE (an event the phone cannot hold), a LINK.
const QByteArray kOddities = "BEGIN:VCALENDAR\r\n"
                             "VERSION:2.0\r\n"
                             "PRODID:-//Other Program//Exporter//EN\r\n"
                             "BEGIN:VTIMEZONE\r\n"
                             "TZID:W. Europe Standard Time\r\n"
                             "BEGIN:STANDARD\r\n"
                             "DTSTART:16011028T030000\r\n"
                             "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\r\n"
                             "TZOFFSETFROM:+0200\r\n"
                             "TZOFFSETTO:+0100\r\n"
                             "END:STANDARD\r\n"
                             "BEGIN:DAYLIGHT\r\n"
                             "DTSTART:16010325T020000\r\n"
                             "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\r\n"
                             "TZOFFSETFROM:+0100\r\n"
                             "TZOFFSETTO:+0200\r\n"
                             "END:DAYLIGHT\r\n"
                             "END:VTIMEZONE\r\n"
                             "BEGIN:VEVENT\r\n"
                             "UID:floating@other.example\r\n"
                             "DTSTAMP:20261201T100000Z\r\n"
                             "DTSTART:20270115T090000\r\n"
                             "DTEND:20270115T100000\r\n"
                             "SUMMARY:Yoga\r\n"
                             "RRULE:\r\n"
                             "CATEGORIES:\r\n"
                             "LINK;LINKREL=related;VALUE=URI:https://other.example/yoga\r\n"
                             "END:VEVENT\r\n"
                             "BEGIN:VEVENT\r\n"
                             "UID:zoned@other.example\r\n"
                             "DTSTAMP:20261201T100000Z\r\n"
                             "DTSTART;TZID=W. Europe Standard Time:20270116T100000\r\n"
                             "DTEND;TZID=W. Europe Standard Time:20270116T113000\r\n"
                             "SUMMARY:Dentist\r\n"
                             "END:VEVENT\r\n"
                             "BEGIN:VEVENT\r\n"
                             "UID:periods@other.example\r\n"
                             "DTSTAMP:20261201T100000Z\r\n"
                             "DTSTART:20270118T090000Z\r\n"
                             "DURATION:PT1H\r\n"
                             "RDATE;VALUE=PERIOD:20270120T090000Z/20270120T100000Z\r\n"
                             "SUMMARY:Courses\r\n"
                             "END:VEVENT\r\n"
                             "END:VCALENDAR\r\n";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

bool isStamp(const QByteArray &line)
{
    return line.startsWith("DTSTAMP") || line.startsWith("LAST-MODIFIED") || line.startsWith("SEQUENCE");
}

// The text's physical lines, the stamps left out: what an edit may change beyond its own property
// shows as a difference here.
std::string linesWithoutStamps(const QByteArray &text)
{
    QList<QByteArray> lines;
    bool isInStamp = false;
    for (const QByteArray &line : text.split('\n')) {
        const bool continues = line.startsWith(' ') || line.startsWith('\t');
        isInStamp = continues ? isInStamp : isStamp(line);
        if (!isInStamp)
            lines.append(line);
    }
    return lines.join('\n').toStdString();
}

class ForeignFileSyncTest : public ::testing::TestWithParam<const char *>
{
};

// Both files reach the phone; a new title for the meeting and a new note for the task come back;
// each file then differs from what the other program wrote in that property and the stamps only.
TEST_P(ForeignFileSyncTest, PhoneEditChangesOnlyWhatThePhoneChanged)
{
    CalendarSyncRun run(GetParam());
    const QString meetingPath = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/planning.ics");
    const QString taskPath = run.calendarFolder(QStringLiteral("todo")) + QStringLiteral("/plants.ics");
    writeFile(meetingPath, kMeeting);
    writeFile(taskPath, kTask);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    EXPECT_EQ(readFile(meetingPath), kMeeting) << "the first sync rewrote the meeting";
    EXPECT_EQ(readFile(taskPath), kTask) << "the first sync rewrote the task";
    const auto meeting = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Planning"));
    const auto task = run.phoneRecord(Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Water the plants"));
    ASSERT_TRUE(meeting && task);

    QMap<QString, QString> renamed = meeting->fields;
    renamed.insert(QStringLiteral("SUBJECT"), QStringLiteral("Planning, moved on"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Calendar, meeting->uid, renamed));
    QMap<QString, QString> noted = task->fields;
    noted.insert(QStringLiteral("NOTE"), QStringLiteral("Twice a week"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Tasks, task->uid, noted));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();

    EXPECT_EQ(linesWithoutStamps(readFile(meetingPath)),
              linesWithoutStamps(QByteArray(kMeeting).replace("SUMMARY:Planning", "SUMMARY:Planning\\, moved on")));
    EXPECT_EQ(linesWithoutStamps(readFile(taskPath)),
              linesWithoutStamps(QByteArray(kTask).replace("STATUS:NEEDS-ACTION\r\n",
                                                           "STATUS:NEEDS-ACTION\r\nDESCRIPTION:Twice a week\r\n")));
    EXPECT_EQ(QDir(run.calendarFolder(QStringLiteral("work"))).entryList({QStringLiteral("*.ics")}).size(), 1);

    // Nothing more to send either way.
    const qsizetype mark = run.peer().requestLog().size();
    const QByteArray written = readFile(meetingPath);
    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();
    EXPECT_FALSE(run.requestsSince(mark).contains(QStringLiteral("/hmx_update")));
    EXPECT_EQ(readFile(meetingPath), written);
}

INSTANTIATE_TEST_SUITE_P(Zones, ForeignFileSyncTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York", "Asia/Kolkata"));

} // namespace

namespace {

class ForeignSeriesSyncTest : public ::testing::TestWithParam<const char *>
{
};

void renameOnPhone(CalendarSyncRun &run, const QString &title, const QString &newTitle,
                   Conduit conduit = Conduit::Calendar)
{
    const auto record = run.phoneRecord(conduit, QStringLiteral("SUBJECT"), title);
    ASSERT_TRUE(record) << title.toStdString();
    QMap<QString, QString> fields = record->fields;
    fields.insert(QStringLiteral("SUBJECT"), newTitle);
    ASSERT_TRUE(run.peer().updatePhoneRecord(conduit, record->uid, fields));
}

// A series renamed on the phone keeps its start, rule, removed and moved occurrences; an all-day
// yearly event keeps its day in every zone.
TEST_P(ForeignSeriesSyncTest, RenamedSeriesKeepsItsShape)
{
    CalendarSyncRun run(GetParam());
    const QString seriesPath = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/weekly.ics");
    const QString birthdayPath = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/birthday.ics");
    writeFile(seriesPath, kSeries);
    writeFile(birthdayPath, kBirthday);
    const QString before = run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("40d"));
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    renameOnPhone(run, QStringLiteral("Weekly review"), QStringLiteral("Weekly sync"));
    renameOnPhone(run, QStringLiteral("Birthday"), QStringLiteral("Birthday of Ana"));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();

    EXPECT_EQ(linesWithoutStamps(readFile(seriesPath)),
              linesWithoutStamps(QByteArray(kSeries).replace("SUMMARY:Weekly review\r\n", "SUMMARY:Weekly sync\r\n")));
    EXPECT_EQ(linesWithoutStamps(readFile(birthdayPath)),
              linesWithoutStamps(QByteArray(kBirthday).replace("SUMMARY:Birthday\r", "SUMMARY:Birthday of Ana\r")));
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("40d")),
              QString(before)
                  .replace(QStringLiteral("Weekly review\n"), QStringLiteral("Weekly sync\n"))
                  .replace(QStringLiteral("Birthday\n"), QStringLiteral("Birthday of Ana\n")));
}

// The phone removes one occurrence of the series: the file gains that one EXDATE, nothing else.
TEST_P(ForeignSeriesSyncTest, OccurrenceRemovedOnThePhoneBecomesOneExdate)
{
    CalendarSyncRun run(GetParam());
    const QString seriesPath = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/weekly.ics");
    writeFile(seriesPath, kSeries);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    const auto series = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Weekly review"));
    ASSERT_TRUE(series);
    // The phone holds as exceptions the removed and the moved occurrence, and no day the series has
    // (a counted rule sent from the first occurrence in the window may give the phone one more week
    // past the end, excluded again).
    const QString exceptions = series->fields.value(QStringLiteral("REPEATEXCEPTIONS"));
    const QStringList days = exceptions.split(QLatin1Char('\t'));
    EXPECT_TRUE(days.contains(QStringLiteral("20270111")) && days.contains(QStringLiteral("20270118")))
        << exceptions.toStdString();
    for (const QString &day : days)
        EXPECT_TRUE(day == QStringLiteral("20270111") || day == QStringLiteral("20270118") ||
                    day > QStringLiteral("20270426"))
            << day.toStdString();
    QMap<QString, QString> fields = series->fields;
    fields.insert(QStringLiteral("REPEATEXCEPTIONS"), exceptions + QStringLiteral("\t20270125"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Calendar, series->uid, fields));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();

    EXPECT_EQ(linesWithoutStamps(readFile(seriesPath)),
              linesWithoutStamps(QByteArray(kSeries).replace(
                  "EXDATE:20270111T080000Z\r\n", "EXDATE:20270111T080000Z\r\nEXDATE:20270125T080000Z\r\n")));
    const QString listed = run.khalList(QStringLiteral("2027-01-20"), QStringLiteral("14d"));
    EXPECT_FALSE(listed.contains(QStringLiteral("2027-01-25"))) << listed.toStdString();
    EXPECT_TRUE(listed.contains(QStringLiteral("2027-02-01"))) << listed.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Zones, ForeignSeriesSyncTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York", "Asia/Kolkata"));

} // namespace

namespace {

class ForeignOddFileSyncTest : public ::testing::TestWithParam<const char *>
{
};

// An invitation to one occurrence keeps its UID, RECURRENCE-ID, SEQUENCE, ORGANIZER, ATTENDEE and
// file; floating and unknown zones and lines libical cannot read stay as they were.
TEST_P(ForeignOddFileSyncTest, RenamedOddItemsKeepTheirText)
{
    CalendarSyncRun run(GetParam());
    const QString folder = run.calendarFolder(QStringLiteral("work"));
    writeFile(folder + QStringLiteral("/invitation.ics"), kInvitation);
    writeFile(folder + QStringLiteral("/oddities.ics"), kOddities);
    const QString before = run.khalList(QStringLiteral("2027-01-10"), QStringLiteral("14d"));
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    renameOnPhone(run, QStringLiteral("Board meeting"), QStringLiteral("Board"));
    renameOnPhone(run, QStringLiteral("Yoga"), QStringLiteral("Yoga class"));
    renameOnPhone(run, QStringLiteral("Dentist"), QStringLiteral("Dentist, Room 4"));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();

    EXPECT_EQ(QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("invitation.ics"), QStringLiteral("oddities.ics")}));
    EXPECT_EQ(linesWithoutStamps(readFile(folder + QStringLiteral("/invitation.ics"))),
              linesWithoutStamps(QByteArray(kInvitation).replace("SUMMARY:Board meeting", "SUMMARY:Board")));
    EXPECT_EQ(linesWithoutStamps(readFile(folder + QStringLiteral("/oddities.ics"))),
              linesWithoutStamps(QByteArray(kOddities)
                                     .replace("SUMMARY:Yoga", "SUMMARY:Yoga class")
                                     .replace("SUMMARY:Dentist", "SUMMARY:Dentist\\, Room 4")));
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-10"), QStringLiteral("14d")),
              QString(before)
                  .replace(QStringLiteral("Board meeting"), QStringLiteral("Board"))
                  .replace(QStringLiteral("Yoga"), QStringLiteral("Yoga class"))
                  .replace(QStringLiteral("Dentist"), QStringLiteral("Dentist, Room 4")));
}

INSTANTIATE_TEST_SUITE_P(Zones, ForeignOddFileSyncTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York", "Asia/Kolkata"));

} // namespace

namespace {

constexpr int kForeignFileCount = 12;

QByteArray numberedMeeting(int index)
{
    return QByteArray(kMeeting)
        .replace("planning-2027@", "planning-" + QByteArray::number(index) + "@")
        .replace("SUMMARY:Planning", "SUMMARY:Planning " + QByteArray::number(index))
        .replace("20270112T", "202701" + QByteArray::number(10 + index) + "T");
}

QString foreignFileName(int index)
{
    return QStringLiteral("planning %1.ics").arg(index);
}

// How many files of the folder hold each UID line.
QHash<QByteArray, int> uidCounts(const QString &folder)
{
    QHash<QByteArray, int> counts;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files)) {
        QSet<QByteArray> uids;
        for (const QByteArray &line : readFile(folder + QLatin1Char('/') + name).split('\n')) {
            if (line.startsWith("UID:"))
                uids.insert(line.trimmed());
        }
        for (const QByteArray &uid : std::as_const(uids))
            ++counts[uid];
    }
    return counts;
}

int filesHolding(const QString &folder, const QByteArray &text)
{
    int count = 0;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files))
        count += readFile(folder + QLatin1Char('/') + name).contains(text) ? 1 : 0;
    return count;
}

} // namespace

// A run killed while it writes the phone's renames into other programs' files, then run again: every
// file holds its item once, changed in its title and stamps only, and the phone holds each record once.
TEST(ForeignFileSyncInterrupted, AKilledRunOfEditsLeavesEveryFileWholeAndEveryItemOnce)
{
    for (const int killAfter : {1, kForeignFileCount / 2, kForeignFileCount}) {
        SCOPED_TRACE(testing::Message() << "killed after " << killAfter << " renamed files");
        QTemporaryDir home;
        const QString root = home.filePath(QStringLiteral("Calendars"));
        const QString folder = root + QStringLiteral("/work");
        ASSERT_TRUE(QDir().mkpath(folder));
        writeFile(folder + QStringLiteral("/displayname"), "Work");
        for (int index = 0; index < kForeignFileCount; ++index)
            writeFile(folder + QLatin1Char('/') + foreignFileName(index), numberedMeeting(index));
        writeFile(folder + QStringLiteral("/weekly.ics"), kSeries);
        writeFile(folder + QStringLiteral("/invitation.ics"), kInvitation);
        phonepeer::PhonePeer::Options options;
        options.port = 0;
        phonepeer::PhonePeer peer(options);
        QString problem;
        ASSERT_TRUE(peer.start(problem)) << problem.toStdString();
        const QMap<QString, QString> environment{{QStringLiteral("TZ"), QStringLiteral("Europe/Berlin")}};
        killDriverAndResume(
            home.path(), driverArguments(peer, root), [] { return false; }, environment);
        ASSERT_EQ(peer.records(Conduit::Calendar).size(), kForeignFileCount + 3);
        for (const phonepeer::PhoneRecord &record : peer.records(Conduit::Calendar)) {
            QMap<QString, QString> fields = record.fields;
            fields.insert(QStringLiteral("SUBJECT"),
                          QStringLiteral("Renamed ") + fields.value(QStringLiteral("SUBJECT")));
            ASSERT_TRUE(peer.updatePhoneRecord(Conduit::Calendar, record.uid, fields));
        }

        killDriverAndResume(
            home.path(), driverArguments(peer, root),
            [&] { return filesHolding(folder, "SUMMARY:Renamed ") >= killAfter; }, environment);
        if (HasFatalFailure())
            return;
        for (int index = 0; index < kForeignFileCount; ++index) {
            const QByteArray expected = numberedMeeting(index).replace("SUMMARY:Planning", "SUMMARY:Renamed Planning");
            EXPECT_EQ(linesWithoutStamps(readFile(folder + QLatin1Char('/') + foreignFileName(index))),
                      linesWithoutStamps(expected));
        }
        EXPECT_EQ(linesWithoutStamps(readFile(folder + QStringLiteral("/weekly.ics"))),
                  linesWithoutStamps(QByteArray(kSeries)
                                         .replace("SUMMARY:Weekly review\r\n", "SUMMARY:Renamed Weekly review\r\n")
                                         .replace("SUMMARY:Weekly review (", "SUMMARY:Renamed Weekly review (")));
        EXPECT_EQ(linesWithoutStamps(readFile(folder + QStringLiteral("/invitation.ics"))),
                  linesWithoutStamps(QByteArray(kInvitation).replace("SUMMARY:", "SUMMARY:Renamed ")));
        const QHash<QByteArray, int> uids = uidCounts(folder);
        EXPECT_EQ(uids.size(), kForeignFileCount + 2); // the series and its moved occurrence share one
        for (auto it = uids.constBegin(); it != uids.constEnd(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        QHash<QString, int> subjects;
        for (const phonepeer::PhoneRecord &record : peer.records(Conduit::Calendar))
            ++subjects[record.fields.value(QStringLiteral("SUBJECT"))];
        EXPECT_EQ(subjects.size(), kForeignFileCount + 3);
        for (auto it = subjects.constBegin(); it != subjects.constEnd(); ++it) {
            EXPECT_TRUE(it.key().startsWith(QStringLiteral("Renamed "))) << it.key().toStdString();
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        }
        peer.stop();
    }
}

namespace {

const QByteArray kWithoutUid = "BEGIN:VCALENDAR\r\n"
                               "VERSION:2.0\r\n"
                               "PRODID:-//Other Program//Exporter//EN\r\n"
                               "BEGIN:VEVENT\r\n"
                               "DTSTART:20270119T090000Z\r\n"
                               "DTEND:20270119T100000Z\r\n"
                               "SUMMARY:No identity\r\n"
                               "END:VEVENT\r\n"
                               "END:VCALENDAR\r\n";

} // namespace

// A file without a UID syncs under an id its name gives, the same at every run: quiet syncs send
// nothing, and a rename on the phone changes its title only (no UID is written into it).
TEST(ForeignFileWithoutUid, SyncsUnderAStableIdAndGainsNoUid)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString path = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/without_uid.ics");
    writeFile(path, kWithoutUid);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    ASSERT_TRUE(run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("No identity")));
    qsizetype mark = run.peer().requestLog().size();
    const QString restarted = run.syncInNewProcess();
    EXPECT_FALSE(run.requestsSince(mark).contains(QStringLiteral("/hmx_update"))) << restarted.toStdString();
    EXPECT_EQ(readFile(path), kWithoutUid);

    renameOnPhone(run, QStringLiteral("No identity"), QStringLiteral("Named now"));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    EXPECT_EQ(linesWithoutStamps(readFile(path)),
              linesWithoutStamps(QByteArray(kWithoutUid).replace("SUMMARY:No identity", "SUMMARY:Named now")));
    EXPECT_EQ(QDir(run.calendarFolder(QStringLiteral("work"))).entryList({QStringLiteral("*.ics")}).size(), 1);
    mark = run.peer().requestLog().size();
    (void)run.syncInNewProcess();
    EXPECT_FALSE(run.requestsSince(mark).contains(QStringLiteral("/hmx_update")));
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 1);
}

// Two files of one UID (a copy another program left behind): the phone gets the item of the file the
// folder uses (the first name) once, its edit goes to that file, the other stays byte for byte, and
// no file is added.
TEST(ForeignFilesSharingAUid, EditsGoToOneFileAndLeaveTheOtherAlone)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString folder = run.calendarFolder(QStringLiteral("work"));
    const QByteArray copy = QByteArray(kMeeting).replace("SUMMARY:Planning", "SUMMARY:Planning (old copy)");
    writeFile(folder + QStringLiteral("/a-planning.ics"), kMeeting);
    writeFile(folder + QStringLiteral("/b-planning-copy.ics"), copy);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 1);
    renameOnPhone(run, QStringLiteral("Planning"), QStringLiteral("Planning, renamed"));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();

    EXPECT_EQ(QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("a-planning.ics"), QStringLiteral("b-planning-copy.ics")}));
    EXPECT_EQ(linesWithoutStamps(readFile(folder + QStringLiteral("/a-planning.ics"))),
              linesWithoutStamps(QByteArray(kMeeting).replace("SUMMARY:Planning", "SUMMARY:Planning\\, renamed")));
    EXPECT_EQ(readFile(folder + QStringLiteral("/b-planning-copy.ics")), copy);
    ASSERT_EQ(run.peer().records(Conduit::Calendar).size(), 1);
    EXPECT_EQ(run.peer().records(Conduit::Calendar).first().fields.value(QStringLiteral("SUBJECT")),
              QStringLiteral("Planning, renamed"));
}

// One event deleted on the phone is one deletion on the desktop, counted once.
TEST(ForeignFileDeletedOnThePhone, IsCountedOnce)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString folder = run.calendarFolder(QStringLiteral("work"));
    writeFile(folder + QStringLiteral("/planning.ics"), kMeeting);
    writeFile(folder + QStringLiteral("/oddities.ics"), kOddities);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    const auto meeting = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Planning"));
    ASSERT_TRUE(meeting);
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Calendar, meeting->uid));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    EXPECT_TRUE(describe(second).contains(QStringLiteral("Calendar: 0 added, 0 changed, 1 deleted")))
        << describe(second).toStdString();
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/planning.ics")));
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/oddities.ics")));
}

namespace {

QByteArray eventText(const QByteArray &uid, const QByteArray &rule)
{
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other Program//Exporter//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:20270119T170000Z\r\nDTEND:20270119T180000Z\r\n" + rule +
           "SUMMARY:Event\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

} // namespace

// An event and a daily series of other UIDs that start and end together under one title, both renamed
// alike on the phone: each edit goes to its own file, which changes in its title only; no event is
// written into the other's file and no file is added.
TEST(ForeignFilesAlike, EditsOfLookAlikeEventsGoToTheirOwnFiles)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString folder = run.calendarFolder(QStringLiteral("work"));
    const QByteArray single = eventText("single", "");
    const QByteArray series = eventText("series", "RRULE:FREQ=DAILY;COUNT=3\r\n");
    writeFile(folder + QStringLiteral("/single.ics"), single);
    writeFile(folder + QStringLiteral("/series.ics"), series);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    ASSERT_EQ(run.peer().records(Conduit::Calendar).size(), 2);
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Calendar)) {
        QMap<QString, QString> fields = record.fields;
        fields.insert(QStringLiteral("SUBJECT"), QStringLiteral("Event (edited)"));
        ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Calendar, record.uid, fields));
    }
    for (int round = 0; round < 2; ++round) {
        const hmsync::SyncOutcome next = run.sync();
        ASSERT_TRUE(next.isSuccess) << describe(next).toStdString();
    }

    EXPECT_EQ(QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("series.ics"), QStringLiteral("single.ics")}));
    for (const auto &[name, text] : {std::pair{"/single.ics", single}, std::pair{"/series.ics", series}}) {
        EXPECT_EQ(linesWithoutStamps(readFile(folder + QLatin1String(name))),
                  linesWithoutStamps(QByteArray(text).replace("SUMMARY:Event", "SUMMARY:Event (edited)")))
            << name;
    }
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 2);
}

namespace {

// A daily series whose first and third occurrences were both moved onto the time of the second, which
// still takes place.
const QByteArray kMovedOntoOneTime = "BEGIN:VCALENDAR\r\n"
                                     "VERSION:2.0\r\n"
                                     "PRODID:-//Other Program//Calendar//EN\r\n"
                                     "BEGIN:VEVENT\r\n"
                                     "UID:moved-onto-one-time\r\n"
                                     "DTSTAMP:20260101T000000Z\r\n"
                                     "DTSTART:20270118T120000Z\r\n"
                                     "DTEND:20270118T130000Z\r\n"
                                     "RRULE:FREQ=DAILY;COUNT=5\r\n"
                                     "SUMMARY:Standup\r\n"
                                     "END:VEVENT\r\n"
                                     "BEGIN:VEVENT\r\n"
                                     "UID:moved-onto-one-time\r\n"
                                     "DTSTAMP:20260101T000000Z\r\n"
                                     "RECURRENCE-ID:20270118T120000Z\r\n"
                                     "DTSTART:20270119T120000Z\r\n"
                                     "DTEND:20270119T130000Z\r\n"
                                     "SUMMARY:Standup\r\n"
                                     "END:VEVENT\r\n"
                                     "BEGIN:VEVENT\r\n"
                                     "UID:moved-onto-one-time\r\n"
                                     "DTSTAMP:20260101T000000Z\r\n"
                                     "RECURRENCE-ID:20270120T120000Z\r\n"
                                     "DTSTART:20270119T120000Z\r\n"
                                     "DTEND:20270119T130000Z\r\n"
                                     "SUMMARY:Standup\r\n"
                                     "END:VEVENT\r\n"
                                     "END:VCALENDAR\r\n";

} // namespace

// Every record of that series renamed on the phone: the file changes in titles only, and the
// occurrence of the rule at the moved ones' time is not removed.
TEST(ForeignSeriesMovedOntoOneTime, RenamedKeepsEveryOccurrence)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString path = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/standup.ics");
    writeFile(path, kMovedOntoOneTime);
    const QString before = run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("40d"));
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Calendar)) {
        QMap<QString, QString> fields = record.fields;
        fields.insert(QStringLiteral("SUBJECT"), QStringLiteral("Daily"));
        ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Calendar, record.uid, fields));
    }
    for (int round = 0; round < 3; ++round) {
        const hmsync::SyncOutcome next = run.sync();
        ASSERT_TRUE(next.isSuccess) << describe(next).toStdString();
    }

    // The phone first holds the two moved occurrences of one time as one record: its rename reaches one
    // of them, which then differs from the other; the other then reaches the phone as a record of its own.
    const QByteArray now = readFile(path);
    EXPECT_EQ(now.count("SUMMARY:Daily"), 2) << now.toStdString();
    EXPECT_EQ(linesWithoutStamps(QByteArray(now).replace("SUMMARY:Daily", "SUMMARY:Standup")),
              linesWithoutStamps(kMovedOntoOneTime));
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("40d"))
                  .replace(QStringLiteral("Daily"), QStringLiteral("Standup")),
              before);
    QStringList titles;
    for (const phonepeer::PhoneRecord &record : run.peer().records(Conduit::Calendar))
        titles.append(record.fields.value(QStringLiteral("SUBJECT")));
    titles.sort();
    EXPECT_EQ(titles, (QStringList{QStringLiteral("Daily"), QStringLiteral("Daily"), QStringLiteral("Standup")}));
    EXPECT_EQ(QDir(run.calendarFolder(QStringLiteral("work"))).entryList({QStringLiteral("*.ics")}).size(), 1);
}

namespace {

// An event whose times name three zones the file defines, the first and the last of a different shape.
const QByteArray kThreeZones = "BEGIN:VCALENDAR\r\n"
                               "VERSION:2.0\r\n"
                               "PRODID:-//Other Program//Calendar//EN\r\n"
                               "BEGIN:VTIMEZONE\r\n"
                               "TZID:Reunion\r\n"
                               "BEGIN:STANDARD\r\n"
                               "TZOFFSETFROM:+0400\r\n"
                               "TZOFFSETTO:+0400\r\n"
                               "DTSTART:19700101T000000\r\n"
                               "END:STANDARD\r\n"
                               "END:VTIMEZONE\r\n"
                               "BEGIN:VTIMEZONE\r\n"
                               "TZID:Bogota\r\n"
                               "BEGIN:STANDARD\r\n"
                               "TZOFFSETFROM:-0500\r\n"
                               "TZOFFSETTO:-0500\r\n"
                               "DTSTART:19700101T000000\r\n"
                               "END:STANDARD\r\n"
                               "END:VTIMEZONE\r\n"
                               "BEGIN:VTIMEZONE\r\n"
                               "TZID:London\r\n"
                               "BEGIN:DAYLIGHT\r\n"
                               "TZOFFSETFROM:+0000\r\n"
                               "TZOFFSETTO:+0100\r\n"
                               "DTSTART:19810329T010000\r\n"
                               "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\r\n"
                               "END:DAYLIGHT\r\n"
                               "BEGIN:STANDARD\r\n"
                               "TZOFFSETFROM:+0100\r\n"
                               "TZOFFSETTO:+0000\r\n"
                               "DTSTART:19961027T020000\r\n"
                               "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\r\n"
                               "END:STANDARD\r\n"
                               "END:VTIMEZONE\r\n"
                               "BEGIN:VEVENT\r\n"
                               "UID:three-zones\r\n"
                               "DTSTAMP:20260101T000000Z\r\n"
                               "DTSTART;TZID=London:20270119T090000\r\n"
                               "DTEND;TZID=Bogota:20270119T050000\r\n"
                               "X-ALSO-AT;TZID=Reunion:20270119T130000\r\n"
                               "SUMMARY:Call\r\n"
                               "END:VEVENT\r\n"
                               "END:VCALENDAR\r\n";

} // namespace

// Renamed on the phone, then given a note: the file changes in those and the stamps only, its zones
// kept as they stand, in their order.
TEST(ForeignFileOfSeveralZones, EditsKeepEveryZoneInItsPlace)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString path = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/call.ics");
    writeFile(path, kThreeZones);
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    renameOnPhone(run, QStringLiteral("Call"), QStringLiteral("Call Ana"));
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    const auto record = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Call Ana"));
    ASSERT_TRUE(record);
    QMap<QString, QString> fields = record->fields;
    fields.insert(QStringLiteral("NOTE"), QStringLiteral("Agenda"));
    ASSERT_TRUE(run.peer().updatePhoneRecord(Conduit::Calendar, record->uid, fields));
    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();

    EXPECT_EQ(linesWithoutStamps(readFile(path)),
              linesWithoutStamps(
                  QByteArray(kThreeZones).replace("SUMMARY:Call\r\n", "SUMMARY:Call Ana\r\nDESCRIPTION:Agenda\r\n")));
}

namespace {

// Events whose extra occurrences are RDATEs and no rule: one in UTC, one in a named zone with a
// VTIMEZONE that holds only its winter rule (the system's zone data fills in the summer), and a task
// whose END line names its kind wrongly (libical closes the task there all the same).
const QByteArray kExtraDates = "BEGIN:VCALENDAR\r\n"
                               "VERSION:2.0\r\n"
                               "PRODID:-//Other Program//Exporter//EN\r\n"
                               "BEGIN:VTIMEZONE\r\n"
                               "TZID:Europe/Berlin\r\n"
                               "BEGIN:STANDARD\r\n"
                               "DTSTART:20261025T030000\r\n"
                               "TZOFFSETFROM:+0200\r\n"
                               "TZOFFSETTO:+0100\r\n"
                               "END:STANDARD\r\n"
                               "END:VTIMEZONE\r\n"
                               "BEGIN:VEVENT\r\n"
                               "UID:courses@other.example\r\n"
                               "DTSTAMP:20261201T100000Z\r\n"
                               "DTSTART:20270118T090000Z\r\n"
                               "DTEND:20270118T100000Z\r\n"
                               "RDATE:20270120T090000Z,20270125T090000Z\r\n"
                               "SUMMARY:Courses\r\n"
                               "END:VEVENT\r\n"
                               "BEGIN:VEVENT\r\n"
                               "UID:concerts@other.example\r\n"
                               "DTSTAMP:20261201T100000Z\r\n"
                               "DTSTART;TZID=Europe/Berlin:20270119T200000\r\n"
                               "DTEND;TZID=Europe/Berlin:20270119T220000\r\n"
                               "RDATE;TZID=Europe/Berlin:20270121T200000\r\n"
                               "RDATE;TZID=Europe/Berlin:20270601T200000\r\n"
                               "SUMMARY:Concerts\r\n"
                               "END:VEVENT\r\n"
                               "END:VCALENDAR\r\n";
const QByteArray kMisnamedEnd = "BEGIN:VCALENDAR\r\n"
                                "BEGIN:VTODO\r\n"
                                "DTSTART;VALUE=DATE:20270115\r\n"
                                "DUE;VALUE=DATE:20270116\r\n"
                                "UID:misnamed-end@other.example\r\n"
                                "SUMMARY:Misnamed\r\n"
                                "END:VTOOD\r\n"
                                "END:VCALENDAR\r\n";

class ForeignExtraDatesSyncTest : public ::testing::TestWithParam<const char *>
{
};

// Events of RDATEs reach the phone and, renamed there, come back as renames of their own lines; the
// occurrences khal lists stay the same; the task's misnamed END line stays as it was.
TEST_P(ForeignExtraDatesSyncTest, RenamedEventsOfExtraDatesKeepTheirDates)
{
    CalendarSyncRun run(GetParam());
    const QString path = run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/extra.ics");
    const QString taskPath = run.calendarFolder(QStringLiteral("todo")) + QStringLiteral("/misnamed.ics");
    writeFile(path, kExtraDates);
    writeFile(taskPath, kMisnamedEnd);
    const QString before = run.khalList(QStringLiteral("2027-01-10"), QStringLiteral("200d"));
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    EXPECT_EQ(readFile(path), kExtraDates);
    // The courses reach the phone as a daily rule to their last day, the days between excluded.
    const auto courses = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Courses"));
    ASSERT_TRUE(courses);
    EXPECT_EQ(courses->fields.value(QStringLiteral("REPEAT")), QStringLiteral("1"));
    EXPECT_EQ(courses->fields.value(QStringLiteral("REPEATEND")), QStringLiteral("20270125"));
    EXPECT_EQ(courses->fields.value(QStringLiteral("REPEATEXCEPTIONS")).split(QLatin1Char('\t')),
              (QStringList{QStringLiteral("20270119"), QStringLiteral("20270121"), QStringLiteral("20270122"),
                           QStringLiteral("20270123"), QStringLiteral("20270124")}));
    // The concerts' zone holds no summer time: the system's zone reads the June concert at 20:00
    // summer time, one local time with January's where summer time is kept in both months (Berlin,
    // New York), and a daily rule carries them there; elsewhere the phone holds the first concert.
    const auto concerts = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Concerts"));
    ASSERT_TRUE(concerts);
    const bool keepsSummerTime = GetParam() == std::string("Europe/Berlin") || GetParam() == std::string("America/New_York");
    EXPECT_EQ(concerts->fields.value(QStringLiteral("REPEAT")), keepsSummerTime ? QStringLiteral("1") : QString());
    renameOnPhone(run, QStringLiteral("Courses"), QStringLiteral("Courses, level 2"));
    renameOnPhone(run, QStringLiteral("Concerts"), QStringLiteral("Concerts in town"));
    renameOnPhone(run, QStringLiteral("Misnamed"), QStringLiteral("Named"), Conduit::Tasks);
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();

    EXPECT_EQ(linesWithoutStamps(readFile(path)),
              linesWithoutStamps(QByteArray(kExtraDates)
                                     .replace("SUMMARY:Courses", "SUMMARY:Courses\\, level 2")
                                     .replace("SUMMARY:Concerts", "SUMMARY:Concerts in town")));
    EXPECT_EQ(linesWithoutStamps(readFile(taskPath)),
              linesWithoutStamps(QByteArray(kMisnamedEnd).replace("SUMMARY:Misnamed", "SUMMARY:Named")));
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-10"), QStringLiteral("200d")),
              QString(before)
                  .replace(QStringLiteral("Courses"), QStringLiteral("Courses, level 2"))
                  .replace(QStringLiteral("Concerts"), QStringLiteral("Concerts in town")));
    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();
    EXPECT_EQ(QDir(run.calendarFolder(QStringLiteral("work"))).entryList({QStringLiteral("*.ics")}).size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Zones, ForeignExtraDatesSyncTest,
                         ::testing::Values("UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York", "Asia/Kolkata"));

} // namespace
