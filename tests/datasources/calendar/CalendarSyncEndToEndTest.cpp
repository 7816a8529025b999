// Whole syncs of events and reminders between the phone peer and iCalendar folders through the sync
// controller and the Wi-Fi transport, in several time zones: what lands in the folders is what khal
// and todoman show at the right local times, a sync without changes sends nothing, edits and
// deletions cross over both ways, and a restarted application still finds nothing to send.
#include "CalendarRecordTestSupport.h"
#include "CalendarSyncSupport.h"
#include "WiFiSyncTestSupport.h"

#include "foundation/QtPrinters.h"
#include "platform/eventkit/EKEventStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using phonepeer::Conduit;

namespace {

const QString kNote = QStringLiteral("First line\nSecond line & more");

// A timed event's phone fields: its local start and end in the zone as the phone's GMT texts.
QMap<QString, QString> timedEvent(const QString &subject, const char *start, int minutes)
{
    const QDateTime begin = eventkittest::at(start, qgetenv("TZ").constData());
    const QDateTime end = begin.addSecs(qint64(minutes) * 60);
    QMap<QString, QString> result = phoneFields({{"SUBJECT", subject},
                                                 {"NOTE", kNote},
                                                 {"TYPE", QStringLiteral("0")},
                                                 {"ALARMTIME", QStringLiteral("15")},
                                                 {"HASALARM", QStringLiteral("1")},
                                                 {"REPEAT", QString()}});
    result.insert(QStringLiteral("GMTSTARTDATE"), begin.toString(QStringLiteral("yyyyMMdd")));
    result.insert(QStringLiteral("GMTSTARTTIME"), begin.toString(QStringLiteral("HH:mm:ss")));
    result.insert(QStringLiteral("GMTENDDATE"), end.toString(QStringLiteral("yyyyMMdd")));
    result.insert(QStringLiteral("GMTENDTIME"), end.toString(QStringLiteral("HH:mm:ss")));
    return result;
}

// An all-day event from its first to its last day ("yyyyMMdd").
QMap<QString, QString> allDayEvent(const QString &subject, const QString &firstDay, const QString &lastDay)
{
    return phoneFields({{"SUBJECT", subject},
                        {"NOTE", kNote},
                        {"TYPE", QStringLiteral("1")},
                        {"GMTSTARTDATE", firstDay},
                        {"GMTSTARTTIME", QStringLiteral("00:00:00")},
                        {"GMTENDDATE", lastDay},
                        {"GMTENDTIME", QStringLiteral("00:00:00")},
                        {"ALARMTIME", QStringLiteral("-1")},
                        {"HASALARM", QStringLiteral("0")},
                        {"REPEAT", QString()}});
}

QMap<QString, QString> with(QMap<QString, QString> base, const QMap<QString, QString> &more)
{
    for (auto it = more.cbegin(); it != more.cend(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

// The phone's records: a single event, an all-day and a three-day event, a weekly series on Monday,
// Wednesday and Friday with one occurrence removed, a monthly one on the last Friday, a yearly one;
// tasks with and without due dates, of each priority, one done.
void fillPhone(phonepeer::PhonePeer &peer)
{
    peer.addPhoneRecord(Conduit::Calendar, timedEvent(QStringLiteral("Dentist"), "2027-01-04 09:00", 60));
    peer.addPhoneRecord(Conduit::Calendar, allDayEvent(QStringLiteral("Holiday"), "20270105", "20270105"));
    peer.addPhoneRecord(Conduit::Calendar, allDayEvent(QStringLiteral("Conference"), "20270110", "20270112"));
    peer.addPhoneRecord(Conduit::Calendar, with(timedEvent(QStringLiteral("Standup"), "2027-01-04 08:30", 15),
                                                phoneFields({{"REPEAT", "2"},
                                                             {"INTERVAL", "1"},
                                                             {"DAYMASK", "42"},
                                                             {"OCCURS", "12"},
                                                             {"REPEATEND", "20270129"},
                                                             {"REPEATEXCEPTIONS", "20270113"}})));
    peer.addPhoneRecord(Conduit::Calendar, with(timedEvent(QStringLiteral("Review"), "2027-01-29 15:00", 60),
                                                phoneFields({{"REPEAT", "3"},
                                                             {"INTERVAL", "1"},
                                                             {"REPTDAYOPT", "1"},
                                                             {"DAYMASK", "32"},
                                                             {"DAYOCCUR", "5"},
                                                             {"OCCURS", "6"},
                                                             {"REPEATEND", "20270625"}})));
    peer.addPhoneRecord(
        Conduit::Calendar,
        with(allDayEvent(QStringLiteral("Anniversary"), "20270317", "20270317"),
             phoneFields(
                 {{"REPEAT", "4"}, {"INTERVAL", "1"}, {"REPTDAYOPT", "0"}, {"DAYOFMONTH", "17"}, {"MONTH", "3"}})));
    peer.addPhoneRecord(Conduit::Tasks, phoneFields({{"SUBJECT", "Pay rent"},
                                                     {"NOTE", kNote},
                                                     {"DUEDATE", "20270106"},
                                                     {"HASDUEDATE", "1"},
                                                     {"PRIORITY", "1"},
                                                     {"COMPLETE", "0"},
                                                     {"PERCENTCOMPLETE", "0"}}));
    peer.addPhoneRecord(Conduit::Tasks, phoneFields({{"SUBJECT", "File taxes"},
                                                     {"NOTE", QString()},
                                                     {"DUEDATE", "20270215"},
                                                     {"HASDUEDATE", "1"},
                                                     {"PRIORITY", "3"},
                                                     {"COMPLETE", "1"},
                                                     {"PERCENTCOMPLETE", "100"}}));
    peer.addPhoneRecord(Conduit::Tasks, phoneFields({{"SUBJECT", "Call Ana"},
                                                     {"NOTE", QString()},
                                                     {"HASDUEDATE", "0"},
                                                     {"PRIORITY", "2"},
                                                     {"COMPLETE", "0"},
                                                     {"PERCENTCOMPLETE", "0"}}));
}

// What khal lists from the first of January for five weeks: local times, the removed occurrence of
// the 13th absent, the three-day event once per day.
const char *const kJanuary = "2027-01-04 08:30 2027-01-04 08:45 Standup\n"
                             "2027-01-04 09:00 2027-01-04 10:00 Dentist\n"
                             "2027-01-05 2027-01-05 Holiday\n"
                             "2027-01-06 08:30 2027-01-06 08:45 Standup\n"
                             "2027-01-08 08:30 2027-01-08 08:45 Standup\n"
                             "2027-01-10 2027-01-12 Conference\n"
                             "2027-01-10 2027-01-12 Conference\n"
                             "2027-01-11 08:30 2027-01-11 08:45 Standup\n"
                             "2027-01-10 2027-01-12 Conference\n"
                             "2027-01-15 08:30 2027-01-15 08:45 Standup\n"
                             "2027-01-18 08:30 2027-01-18 08:45 Standup\n"
                             "2027-01-20 08:30 2027-01-20 08:45 Standup\n"
                             "2027-01-22 08:30 2027-01-22 08:45 Standup\n"
                             "2027-01-25 08:30 2027-01-25 08:45 Standup\n"
                             "2027-01-27 08:30 2027-01-27 08:45 Standup\n"
                             "2027-01-29 08:30 2027-01-29 08:45 Standup\n"
                             "2027-01-29 15:00 2027-01-29 16:00 Review\n";
// From February on: the monthly series on the last Friday up to its end in June, the yearly one.
const char *const kLaterOn = "2027-02-26 15:00 2027-02-26 16:00 Review\n"
                             "2027-03-17 2027-03-17 Anniversary\n"
                             "2027-03-26 15:00 2027-03-26 16:00 Review\n"
                             "2027-04-30 15:00 2027-04-30 16:00 Review\n"
                             "2027-05-28 15:00 2027-05-28 16:00 Review\n"
                             "2027-06-25 15:00 2027-06-25 16:00 Review\n"
                             "2028-03-17 2028-03-17 Anniversary\n";

// todoman's tasks as "summary|due as local text|done", sorted.
QStringList todomanTasks(const QByteArray &json)
{
    QStringList tasks;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject task = value.toObject();
        const QString due = task.value(QStringLiteral("due")).isNull()
                                ? QStringLiteral("-")
                                : QDateTime::fromSecsSinceEpoch(qint64(task.value(QStringLiteral("due")).toDouble()))
                                      .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        tasks.append(QStringLiteral("%1|%2|%3")
                         .arg(task.value(QStringLiteral("summary")).toString(), due,
                              task.value(QStringLiteral("completed")).toBool() ? QStringLiteral("done")
                                                                               : QStringLiteral("open")));
    }
    tasks.sort();
    return tasks;
}

// Rewrites an item file as another program would: replaced text, LAST-MODIFIED now, a temporary file
// renamed over the old one.
void rewriteAsAnotherProgram(const QString &path, const QByteArray &from, const QByteArray &to)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    QByteArray bytes = file.readAll();
    file.close();
    ASSERT_TRUE(bytes.contains(from)) << bytes.constData();
    bytes.replace(from, to);
    const qsizetype modified = bytes.indexOf("LAST-MODIFIED:");
    ASSERT_GE(modified, 0);
    const qsizetype end = bytes.indexOf("\r\n", modified);
    const QByteArray later =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
    bytes.replace(modified, end - modified, "LAST-MODIFIED:" + later);
    QFile temporary(path + QStringLiteral(".tmp"));
    ASSERT_TRUE(temporary.open(QIODevice::WriteOnly));
    temporary.write(bytes);
    temporary.close();
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(path + QStringLiteral(".tmp"), path));
}

} // namespace

namespace {

// The two roads of the calendar and task data sources, by the platform version each runs on.
struct Road
{
    const char *name;
    const char *platformVersion;
    // The phone's due day is a date-only due on both roads: todoman shows its local midnight.
    const char *dueTime;
};
const Road kEventKit{"EventKit", "", "00:00"};
const Road kCalendarStore{"CalendarStore", "10.7", "00:00"};

void PrintTo(const Road &road, std::ostream *out)
{
    *out << road.name;
}

QString testName(const Road &road, const char *zone)
{
    return QStringLiteral("%1_%2").arg(QLatin1String(road.name), QString::fromLatin1(zone).replace('/', '_'));
}

} // namespace

class CalendarSyncEndToEnd : public ::testing::TestWithParam<std::tuple<Road, const char *>>
{
protected:
    const Road &road() const { return std::get<0>(GetParam()); }
    QString due(const char *day) const { return QStringLiteral("%1 %2").arg(QLatin1String(day), road().dueTime); }
};

TEST_P(CalendarSyncEndToEnd, EventsAndTasksTravelBothWaysAndQuietSyncsSendNothing)
{
    CalendarSyncRun run(std::get<1>(GetParam()), QStringLiteral("work"), road().platformVersion);
    fillPhone(run.peer());
    const hmsync::SyncOutcome first = run.sync();
    ASSERT_TRUE(first.isSuccess) << describe(first).toStdString();
    const QStringList events = run.itemTexts(QStringLiteral("work"));
    ASSERT_EQ(events.size(), 6);
    ASSERT_EQ(run.itemTexts(QStringLiteral("todo")).size(), 3);
    const QString standup = events.filter(QStringLiteral("SUMMARY:Standup")).value(0);
    for (const char *line : {"DESCRIPTION:First line\\nSecond line & more\n", "RRULE:FREQ=WEEKLY;", "BYDAY=MO,WE,FR",
                             "TRIGGER:-PT15M\n", "\nEXDATE"}) {
        EXPECT_TRUE(standup.contains(QLatin1String(line))) << line << "\n" << standup.toStdString();
    }
    EXPECT_TRUE(events.filter(QStringLiteral("SUMMARY:Review")).value(0).contains(QStringLiteral("BYDAY=-1FR")));
    // Files written twice (the series got its removed occurrence after it was made) carry no parse
    // errors of their first text.
    EXPECT_TRUE((events + run.itemTexts(QStringLiteral("todo"))).filter(QStringLiteral("X-LIC-ERROR")).isEmpty());
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-01"), QStringLiteral("35d")), QLatin1String(kJanuary));
    EXPECT_EQ(run.khalList(QStringLiteral("2027-02-05"), QStringLiteral("420d")), QLatin1String(kLaterOn));
    // Due dates land on their day in local time, as dates.
    EXPECT_FALSE(run.fileHolding(QStringLiteral("todo"), "DUE;VALUE=DATE:20270106").isEmpty());
    EXPECT_EQ(
        todomanTasks(run.todomanList()),
        (QStringList{QStringLiteral("Call Ana|-|open"), QStringLiteral("File taxes|%1|done").arg(due("2027-02-15")),
                     QStringLiteral("Pay rent|%1|open").arg(due("2027-01-06"))}));

    qsizetype mark = run.peer().requestLog().size();
    const hmsync::SyncOutcome second = run.sync();
    ASSERT_TRUE(second.isSuccess) << describe(second).toStdString();
    EXPECT_FALSE(run.requestsSince(mark).contains(QStringLiteral("/hmx_update"))) << "the second sync sent records";
    EXPECT_EQ(run.itemTexts(QStringLiteral("work")), events) << "the second sync rewrote events";

    // Edits and deletions on the phone.
    const auto dentist = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Dentist"));
    const auto review = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Review"));
    const auto rent = run.phoneRecord(Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Pay rent"));
    ASSERT_TRUE(dentist && review && rent);
    ASSERT_TRUE(run.peer().updatePhoneRecord(
        Conduit::Calendar, dentist->uid,
        with(dentist->fields, with(timedEvent(QStringLiteral("Dentist, moved"), "2027-01-07 14:00", 30),
                                   phoneFields({{"NOTE", QStringLiteral("Bring the card & the form\nRoom 4")}})))));
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Calendar, review->uid));
    ASSERT_TRUE(run.peer().updatePhoneRecord(
        Conduit::Tasks, rent->uid, with(rent->fields, phoneFields({{"COMPLETE", "1"}, {"PERCENTCOMPLETE", "100"}}))));
    // Edits and deletions on the desktop, by other programs.
    rewriteAsAnotherProgram(run.calendarFolder(QStringLiteral("work")) + QLatin1Char('/') +
                                run.fileHolding(QStringLiteral("work"), "SUMMARY:Holiday"),
                            "SUMMARY:Holiday", "SUMMARY:Day off");
    const QString callAna = run.fileHolding(QStringLiteral("todo"), "SUMMARY:Call Ana");
    ASSERT_FALSE(callAna.isEmpty());
    ASSERT_TRUE(QFile::remove(run.calendarFolder(QStringLiteral("todo")) + QLatin1Char('/') + callAna));

    const hmsync::SyncOutcome third = run.sync();
    ASSERT_TRUE(third.isSuccess) << describe(third).toStdString();
    EXPECT_EQ(run.khalList(QStringLiteral("2027-01-05"), QStringLiteral("3d")),
              QStringLiteral("2027-01-05 2027-01-05 Day off\n2027-01-06 08:30 2027-01-06 08:45 Standup\n"
                             "2027-01-07 14:00 2027-01-07 14:30 Dentist, moved\n"));
    EXPECT_TRUE(run.fileHolding(QStringLiteral("work"), "SUMMARY:Review").isEmpty());
    EXPECT_TRUE(run.fileHolding(QStringLiteral("work"), "DESCRIPTION:Bring the card & the form\\nRoom 4").size() > 0);
    EXPECT_EQ(todomanTasks(run.todomanList()),
              (QStringList{QStringLiteral("File taxes|%1|done").arg(due("2027-02-15")),
                           QStringLiteral("Pay rent|%1|done").arg(due("2027-01-06"))}));
    EXPECT_TRUE(run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Day off")));
    EXPECT_FALSE(run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Holiday")));
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 5);
    // A reminder that came from the phone is reported deleted by the second listing that misses it,
    // so that a fetch cut short never deletes the phone's tasks; a CalendarStore task, read at once,
    // by the first.
    const hmsync::SyncOutcome fourth = run.sync();
    ASSERT_TRUE(fourth.isSuccess) << describe(fourth).toStdString();
    EXPECT_FALSE(run.phoneRecord(Conduit::Tasks, QStringLiteral("SUBJECT"), QStringLiteral("Call Ana")));

    // The application restarts: a sync in a process of its own finds nothing to send either.
    mark = run.peer().requestLog().size();
    const QString output = run.syncInNewProcess();
    EXPECT_TRUE(output.contains(QStringLiteral("Sync Complete"))) << output.toStdString();
    EXPECT_FALSE(run.requestsSince(mark).contains(QStringLiteral("/hmx_update")))
        << "the sync after a restart sent records\n"
        << output.toStdString();
    EXPECT_EQ(run.peer().records(Conduit::Calendar).size(), 5);
    EXPECT_EQ(run.peer().records(Conduit::Tasks).size(), 2);
}

INSTANTIATE_TEST_SUITE_P(RoadsAndTimeZones, CalendarSyncEndToEnd,
                         ::testing::Combine(::testing::Values(kEventKit, kCalendarStore),
                                            ::testing::Values("UTC", "Europe/Berlin", "America/Los_Angeles")),
                         [](const auto &info) {
                             return testName(std::get<0>(info.param), std::get<1>(info.param)).toStdString();
                         });

class CalendarSyncReadOnly : public ::testing::TestWithParam<Road>
{
};

TEST_P(CalendarSyncReadOnly, RecordsForACalendarThatCannotBeWrittenFailAndStayOnThePhone)
{
    CalendarSyncRun run("Europe/Berlin", QStringLiteral("holidays"), GetParam().platformVersion);
    run.peer().addPhoneRecord(Conduit::Calendar, timedEvent(QStringLiteral("Dentist"), "2027-01-04 09:00", 60));
    run.peer().addPhoneRecord(Conduit::Calendar, allDayEvent(QStringLiteral("Holiday"), "20270105", "20270105"));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const hmsync::SyncOutcome outcome = run.sync();
        // Both roads find the calendar unwritable when they open and end the run with the reason,
        // writing nothing and counting nothing as written.
        EXPECT_TRUE(outcome.hasEnded && !outcome.isSuccess) << describe(outcome).toStdString();
        EXPECT_EQ(outcome.errorText, QStringLiteral("Could not write to Apple calendar. Make sure you have a "
                                                    "valid Apple calendar selected in Harrowmere Advanced "
                                                    "Settings."));
        EXPECT_TRUE(describe(outcome).contains(QStringLiteral("Calendar: 0 added, 0 changed")))
            << describe(outcome).toStdString();
        EXPECT_TRUE(run.itemTexts(QStringLiteral("holidays")).isEmpty());
        EXPECT_TRUE(run.itemTexts(QStringLiteral("work")).isEmpty());
        EXPECT_TRUE(run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Dentist")));
        EXPECT_TRUE(run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Holiday")));
    }
    // The phone's changes were not acknowledged: once the folder can be written they arrive (the
    // CalendarStore road's store keeps what it found of its calendars for the life of the process).
    if (QLatin1String(GetParam().name) == QLatin1String(kCalendarStore.name))
        return;
    ::chmod(QFile::encodeName(run.calendarFolder(QStringLiteral("holidays"))).constData(), 0700);
    const hmsync::SyncOutcome writable = run.sync();
    EXPECT_TRUE(writable.isSuccess) << describe(writable).toStdString();
    EXPECT_EQ(run.itemTexts(QStringLiteral("holidays")).size(), 2);
}

INSTANTIATE_TEST_SUITE_P(Roads, CalendarSyncReadOnly, ::testing::Values(kEventKit, kCalendarStore),
                         [](const auto &info) { return std::string(info.param.name); });

namespace {

// Items another program wrote into the desktop's folders before the first sync: a timed event, a
// weekly series and a task with a due date.
void fillDesktop(const CalendarSyncRun &run)
{
    const QList<std::pair<QString, QByteArray>> items{
        {run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/desk-lunch.ics"),
         "BEGIN:VEVENT\r\nUID:desk-lunch\r\nDTSTAMP:20261201T100000Z\r\nLAST-MODIFIED:20261201T100000Z\r\n"
         "DTSTART:20270108T110000Z\r\nDTEND:20270108T120000Z\r\nSUMMARY:Lunch\r\nLOCATION:Canteen\r\n"
         "DESCRIPTION:Soup & bread\r\nEND:VEVENT\r\n"},
        {run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/desk-yoga.ics"),
         "BEGIN:VEVENT\r\nUID:desk-yoga\r\nDTSTAMP:20261201T100000Z\r\nLAST-MODIFIED:20261201T100000Z\r\n"
         "DTSTART:20270105T170000Z\r\nDTEND:20270105T180000Z\r\n"
         "RRULE:FREQ=WEEKLY;UNTIL=20270126T235959Z;BYDAY=TU\r\nSUMMARY:Yoga\r\nEND:VEVENT\r\n"},
        {run.calendarFolder(QStringLiteral("todo")) + QStringLiteral("/desk-milk.ics"),
         "BEGIN:VTODO\r\nUID:desk-milk\r\nDTSTAMP:20261201T100000Z\r\nLAST-MODIFIED:20261201T100000Z\r\n"
         "DUE:20270109T080000Z\r\nSUMMARY:Buy milk\r\nDESCRIPTION:Two litres\r\nEND:VTODO\r\n"},
    };
    for (const auto &[path, item] : items) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Another program//EN\r\n" + item + "END:VCALENDAR\r\n");
    }
}

// The phone's records of both conduits as "conduit SUBJECT KEY=value" lines, sorted, without the
// fields that name the records or the moment they were written.
QStringList phoneLines(const phonepeer::PhonePeer &peer)
{
    static const QStringList volatileKeys{QStringLiteral("UID"), QStringLiteral("LASTMODIFIED")};
    QStringList lines;
    for (const auto &[conduit, name] : {std::pair{Conduit::Calendar, "calendar"}, std::pair{Conduit::Tasks, "tasks"}}) {
        for (const phonepeer::PhoneRecord &record : peer.records(conduit)) {
            for (auto field = record.fields.cbegin(); field != record.fields.cend(); ++field) {
                if (!volatileKeys.contains(field.key()))
                    lines.append(QStringLiteral("%1 %2 %3=%4")
                                     .arg(QLatin1String(name), record.fields.value(QStringLiteral("SUBJECT")),
                                          field.key(), field.value()));
            }
        }
    }
    lines.sort();
    return lines;
}

QStringList onlyIn(const QStringList &lines, const QStringList &others, const QString &label)
{
    QStringList result;
    for (const QString &line : lines) {
        if (!others.contains(line))
            result.append(label + line);
    }
    return result;
}

} // namespace

// One data set on the phone and on the desktop, synced once on each road: the phone ends with the
// same records and the folders with the same items, but for the differences listed, each by design.
TEST(CalendarSyncRoadComparison, BothRoadsLeaveTheSameRecordsOnThePhoneAndTheSameFiles)
{
    QMap<QString, QStringList> phone;
    QMap<QString, QStringList> stored;
    for (const Road &road : {kEventKit, kCalendarStore}) {
        SCOPED_TRACE(road.name);
        CalendarSyncRun run("Europe/Berlin", QStringLiteral("work"), road.platformVersion);
        fillPhone(run.peer());
        fillDesktop(run);
        const hmsync::SyncOutcome outcome = run.sync();
        ASSERT_TRUE(outcome.isSuccess) << describe(outcome).toStdString();
        phone.insert(QLatin1String(road.name), phoneLines(run.peer()));
        stored.insert(QLatin1String(road.name), calendartest::storedItems(run.root()));
    }
    const QStringList eventKitPhone = phone.value(QLatin1String(kEventKit.name));
    const QStringList calendarStorePhone = phone.value(QLatin1String(kCalendarStore.name));
    EXPECT_EQ(onlyIn(eventKitPhone, calendarStorePhone, QStringLiteral("EventKit only: ")) +
                  onlyIn(calendarStorePhone, eventKitPhone, QStringLiteral("CalendarStore only: ")),
              (QStringList{
                  // Reminders carry a due time and flag, CalendarStore tasks their priorities.
                  QStringLiteral("EventKit only: tasks Buy milk DUETIME=00:00:00"),
                  QStringLiteral("EventKit only: tasks Buy milk HASDUEDATE=1"),
                  QStringLiteral("CalendarStore only: tasks Buy milk MAXPRIORITY=3"),
                  QStringLiteral("CalendarStore only: tasks Buy milk PRIORITY=2"),
              }));
    // Items by summary: Call Ana, File taxes, Pay rent differ. Series end alike on both roads: on the
    // last second of their last day, which comes back as that day.
    EXPECT_EQ(calendartest::lineDifferences(stored.value(QLatin1String(kEventKit.name)),
                                            stored.value(QLatin1String(kCalendarStore.name))),
              (QStringList{
                  // CalendarStore writes the phone's priorities (2 medium, 3 low, 1 high); EventKit
                  // writes none.
                  QStringLiteral("CalendarStore only: PRIORITY:5"),
                  QStringLiteral("CalendarStore only: PRIORITY:9"),
                  QStringLiteral("CalendarStore only: PRIORITY:1"),
              }));
}

namespace {

// Single events of each shape the listing takes from what the folder keeps, and a series with a moved
// occurrence, which it always parses (its series and the moved occurrence each get a graph entry).
const std::pair<const char *, QByteArray> kListedEventFiles[] = {
    {"timed", "BEGIN:VEVENT\r\nUID:timed\r\nDTSTART:20270112T090000Z\r\nDTEND:20270112T100000Z\r\nSUMMARY:Timed\r\n"
              "DESCRIPTION:Two\\, lines\\nand 50%\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
              "END:VEVENT\r\n"},
    {"zoned", "BEGIN:VEVENT\r\nUID:zoned\r\nDTSTART;TZID=Europe/Berlin:20270113T090000\r\nDURATION:PT2H\r\n"
              "SUMMARY:Zoned\r\nLOCATION:Room 1\r\nEND:VEVENT\r\n"},
    {"floating", "BEGIN:VEVENT\r\nUID:floating\r\nDTSTART:20270114T090000\r\nSUMMARY:Floating\r\nEND:VEVENT\r\n"},
    {"allday", "BEGIN:VEVENT\r\nUID:allday\r\nDTSTART;VALUE=DATE:20270115\r\nDTEND;VALUE=DATE:20270117\r\n"
               "SUMMARY:All day\r\nEND:VEVENT\r\n"},
    {"untitled", "BEGIN:VEVENT\r\nUID:untitled\r\nDTSTART:20270116T090000Z\r\nEND:VEVENT\r\n"},
    {"series", "BEGIN:VEVENT\r\nUID:series\r\nDTSTART:20270111T070000Z\r\nDURATION:PT30M\r\nSUMMARY:Standup\r\n"
               "RRULE:FREQ=DAILY;COUNT=5\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:series\r\n"
               "RECURRENCE-ID:20270112T070000Z\r\nDTSTART:20270112T080000Z\r\nDURATION:PT30M\r\n"
               "SUMMARY:Standup moved\r\nEND:VEVENT\r\n"},
};

struct ListingOutcome
{
    QStringList phone;
    QStringList graph;
    QByteArray index;
};

// How the listed events of an index are spoiled: not at all; whole, so that even their times are
// not read; or in a field read only when the event is made (a zone that does not exist), so that
// the listing orders them by their times and reads their files when it comes to them.
enum class ListedDamage { None, Whole, WhenMade };

// The index of a folder with each listed event spoiled, each line signed.
QByteArray withListedEventsDamaged(const QByteArray &index, ListedDamage damage)
{
    QByteArrayList lines = index.split('\n');
    for (qsizetype at = 1; at + 2 < lines.size(); ++at) {
        QByteArrayList fields = lines[at].split('\t');
        if (fields.size() != 12 || fields[10].isEmpty())
            continue;
        QByteArrayList listed = fields[10].split(',');
        if (damage == ListedDamage::Whole)
            fields[10] = "damaged";
        else if (listed.size() == 12)
            fields[10] = (listed.mid(0, 8) + QByteArrayList{"NNowhere%2FElse"} + listed.mid(9)).join(',');
        lines[at] = eventkittest::indexSigned(fields.mid(0, 11).join('\t'));
    }
    return lines.join('\n');
}

// A first sync, by the driver program in a process of its own, of a "work" calendar that it knows
// from the folder's index alone: the folder was read and indexed under another name (the files keep
// their status through the rename).
ListingOutcome syncKnownFromTheIndex(ListedDamage damage)
{
    CalendarSyncRun run("Europe/Berlin");
    const QString staging = run.calendarFolder(QStringLiteral("staging"));
    EXPECT_TRUE(QDir().mkpath(staging));
    eventkittest::writeAsOtherProgram(staging + QStringLiteral("/displayname"), "Work");
    for (const auto &[name, items] : kListedEventFiles)
        eventkittest::writeAsOtherProgram(staging + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".ics"),
                                          eventkittest::calendarText(items));
    EXPECT_EQ(platform::EKEventStore::create(platform::EKEntityMaskEvent)
                  ->calendarsForEntityType(platform::EKEntityType::Event)
                  .size(),
              4);
    const QString index = run.root() + QStringLiteral("/.work.hmindex");
    QFile::remove(index);
    EXPECT_TRUE(QFile::rename(run.root() + QStringLiteral("/.staging.hmindex"), index));
    if (damage != ListedDamage::None)
        eventkittest::writeAsOtherProgram(index, withListedEventsDamaged(eventkittest::readAll(index), damage));
    EXPECT_TRUE(QDir(run.calendarFolder(QStringLiteral("work"))).removeRecursively());
    EXPECT_TRUE(QFile::rename(staging, run.calendarFolder(QStringLiteral("work"))));
    run.syncInNewProcess();
    return {phoneLines(run.peer()), run.calendarGraphChecksums(), eventkittest::readAll(index)};
}

} // namespace

// A sync that takes the events from what the index keeps of them sends the phone the same records,
// and keeps the same checksums, as one that must parse every file because those
// texts are damaged, and as one that finds them damaged only when it makes each event.
TEST(CalendarSyncListedEvents, EventsFromTheIndexSyncAsParsedOnes)
{
    const ListingOutcome fromIndex = syncKnownFromTheIndex(ListedDamage::None);
    EXPECT_EQ(fromIndex.graph.size(), 7) << fromIndex.graph.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(fromIndex.phone.contains(QStringLiteral("calendar Zoned LOCATION=Room 1")))
        << fromIndex.phone.join(QLatin1Char('\n')).toStdString();
    for (const ListedDamage damage : {ListedDamage::Whole, ListedDamage::WhenMade}) {
        SCOPED_TRACE(int(damage));
        const ListingOutcome parsed = syncKnownFromTheIndex(damage);
        EXPECT_EQ(fromIndex.phone, parsed.phone);
        EXPECT_EQ(fromIndex.graph, parsed.graph);
        EXPECT_FALSE(parsed.index.contains("damaged")) << "the parse mends the index";
        EXPECT_FALSE(parsed.index.contains("Nowhere")) << "the parse mends the index";
    }
}

// The driver program tells how many events (a series once) and reminders the folders hold after its
// sync, its own writes and deletions and another program's files counted: the same numbers a store
// looking at the folders afresh counts.
TEST(CalendarSyncDriverCount, TheDriverCountsWhatTheSyncLeft)
{
    CalendarSyncRun run("UTC");
    fillPhone(run.peer());
    const QString first = run.syncInNewProcess();
    EXPECT_TRUE(first.contains(QStringLiteral("desktop store, Calendar: 6 records\n"))) << first.toStdString();
    EXPECT_TRUE(first.contains(QStringLiteral("desktop store, Tasks: 3 records\n"))) << first.toStdString();

    const auto review = run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QStringLiteral("Review"));
    ASSERT_TRUE(review);
    ASSERT_TRUE(run.peer().deletePhoneRecord(Conduit::Calendar, review->uid));
    run.peer().addPhoneRecord(Conduit::Calendar, timedEvent(QStringLiteral("Lunch"), "2027-01-08 12:00", 60));
    run.peer().addPhoneRecord(Conduit::Calendar, timedEvent(QStringLiteral("Dinner"), "2027-01-08 19:00", 90));
    eventkittest::writeAsOtherProgram(run.calendarFolder(QStringLiteral("work")) + QStringLiteral("/desk.ics"),
                                      eventkittest::calendarText(eventkittest::eventItem(
                                          "desk", "DTSTART:20270109T090000Z\r\nDURATION:PT1H\r\nSUMMARY:Desk\r\n")));
    const QString second = run.syncInNewProcess();
    EXPECT_TRUE(second.contains(QStringLiteral("desktop store, Calendar: 8 records\n"))) << second.toStdString();
    EXPECT_TRUE(second.contains(QStringLiteral("desktop store, Tasks: 3 records\n"))) << second.toStdString();
    const auto fresh = platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    EXPECT_EQ(fresh->countOfItemsMatchingPredicate(fresh->predicateForEventsWithStartDate(
                  now.addYears(-5), now.addYears(5), {fresh->calendarWithIdentifier(QStringLiteral("work"))})),
              8);
}

namespace {

// Phone series of the three shapes that lost their meaning on the way: one that ends after a count,
// one on the second Tuesday of every month, one on the last Friday of November every year.
const std::pair<const char *, QMap<QString, QString>> kRepeatShapes[] = {
    {"Five times", phoneFields({{"REPEAT", "1"}, {"INTERVAL", "1"}, {"REPTENDOPT", "2"}, {"OCCURS", "5"}})},
    {"Second Tuesday",
     phoneFields({{"REPEAT", "3"}, {"INTERVAL", "1"}, {"REPTDAYOPT", "1"}, {"DAYMASK", "4"}, {"DAYOCCUR", "2"}})},
    {"Last Friday of November", phoneFields({{"REPEAT", "4"},
                                             {"INTERVAL", "1"},
                                             {"REPTDAYOPT", "1"},
                                             {"DAYMASK", "32"},
                                             {"DAYOCCUR", "5"},
                                             {"MONTH", "11"}})},
};
const char *const kRepeatStarts[] = {"2027-03-01 10:00", "2027-03-09 18:00", "2027-11-26 12:00"};

const char *const kSpring = "2027-03-01 10:00 2027-03-01 11:00 Five times\n"
                            "2027-03-02 10:00 2027-03-02 11:00 Five times\n"
                            "2027-03-03 10:00 2027-03-03 11:00 Five times\n"
                            "2027-03-04 10:00 2027-03-04 11:00 Five times\n"
                            "2027-03-05 10:00 2027-03-05 11:00 Five times\n"
                            "2027-03-09 18:00 2027-03-09 19:00 Second Tuesday\n"
                            "2027-04-13 18:00 2027-04-13 19:00 Second Tuesday\n"
                            "2027-05-11 18:00 2027-05-11 19:00 Second Tuesday\n"
                            "2027-06-08 18:00 2027-06-08 19:00 Second Tuesday\n";
// The last Friday of November 2028 is its fourth; the week around it holds nothing else.
const char *const kNovember2028 = "2028-11-24 12:00 2028-11-24 13:00 Last Friday of November\n";

} // namespace

// On both roads the three series land on the desktop on the right days (as khal lists them), and
// after an edit on the desktop come back to the phone with the recurrence they left with.
TEST(CalendarSyncRepeats, CountsAndNthWeekdaysTravelToTheDesktopAndBackUnchanged)
{
    for (const Road &road : {kEventKit, kCalendarStore}) {
        SCOPED_TRACE(road.name);
        CalendarSyncRun run("Europe/Berlin", QStringLiteral("work"), road.platformVersion);
        for (std::size_t index = 0; index < std::size(kRepeatShapes); ++index) {
            const auto &[subject, fields] = kRepeatShapes[index];
            run.peer().addPhoneRecord(Conduit::Calendar,
                                      with(timedEvent(QLatin1String(subject), kRepeatStarts[index], 60), fields));
        }
        ASSERT_TRUE(run.sync().isSuccess);
        EXPECT_EQ(run.khalList(QStringLiteral("2027-03-01"), QStringLiteral("100d")), QLatin1String(kSpring));
        EXPECT_EQ(run.khalList(QStringLiteral("2028-11-20"), QStringLiteral("7d")), QLatin1String(kNovember2028));

        for (const auto &[subject, fields] : kRepeatShapes) {
            const QByteArray summary = "SUMMARY:" + QByteArray(subject);
            rewriteAsAnotherProgram(run.calendarFolder(QStringLiteral("work")) + QLatin1Char('/') +
                                        run.fileHolding(QStringLiteral("work"), summary),
                                    "First line", "First line, edited");
        }
        ASSERT_TRUE(run.sync().isSuccess);
        for (const auto &[subject, fields] : kRepeatShapes) {
            SCOPED_TRACE(subject);
            const std::optional<phonepeer::PhoneRecord> back =
                run.phoneRecord(Conduit::Calendar, QStringLiteral("SUBJECT"), QLatin1String(subject));
            ASSERT_TRUE(back);
            EXPECT_TRUE(back->fields.value(QStringLiteral("NOTE")).startsWith(QLatin1String("First line, edited")));
            // The keys that say when the series falls; "REPTENDOPT" is the phone's own and not sent.
            for (auto field = fields.cbegin(); field != fields.cend(); ++field) {
                if (field.key() != QLatin1String("REPTENDOPT")) {
                    EXPECT_EQ(back->fields.value(field.key()).toStdString(), field.value().toStdString())
                        << field.key().toStdString();
                }
            }
            EXPECT_EQ(back->fields.value(QStringLiteral("REPEATEND")).toStdString(), "");
        }
        EXPECT_EQ(run.khalList(QStringLiteral("2027-03-01"), QStringLiteral("100d")), QLatin1String(kSpring));
    }
}
