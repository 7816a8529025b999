// What the stores of a process share and what the folder index spares them: a listing that skips
// files by the reach the index gives still finds every event, in another time zone too; counts
// come from the descriptions and agree with the files; stores on two threads writing one folder
// leave each event there once.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"

#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

using namespace platform;
using namespace eventkittest;

namespace {

QByteArray eventText(const QByteArray &uid, const QByteArray &title, const QByteArray &times)
{
    return eventItem(uid, times + "SUMMARY:" + title + "\r\n");
}

QByteArray todoText(const QByteArray &uid, const QByteArray &title)
{
    return "BEGIN:VTODO\r\nUID:" + uid + "\r\nSUMMARY:" + title + "\r\nEND:VTODO\r\n";
}

struct ReachRow
{
    const char *name;
    QByteArray items;
    const char *from;
    const char *to;
    const char *zone;
};

// An event each (its title the row's name) and a window around it, in a zone.
QList<ReachRow> reachRows()
{
    return {
        {"timed", eventText("timed", "timed", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\n"), "2026-03-02 09:30",
         "2026-03-02 09:45", "UTC"},
        {"floating time", eventText("floating", "floating time", "DTSTART:20260302T090000\r\nDURATION:PT1H\r\n"),
         "2026-03-02 08:30", "2026-03-02 09:30", "Pacific/Kiritimati"},
        {"all day", eventText("allday", "all day", "DTSTART;VALUE=DATE:20260302\r\nDTEND;VALUE=DATE:20260303\r\n"),
         "2026-03-02 01:00", "2026-03-02 02:00", "Pacific/Kiritimati"},
        {"endless series",
         eventText("yearly", "endless series", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\nRRULE:FREQ=YEARLY\r\n"),
         "2031-03-02 08:00", "2031-03-02 10:00", "UTC"},
        {"moved a month before its series",
         eventText("series", "series", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\nRRULE:FREQ=DAILY;COUNT=3\r\n") +
             eventText("series", "moved a month before its series",
                       "RECURRENCE-ID:20260303T090000Z\r\nDTSTART:20260201T090000Z\r\nDURATION:PT1H\r\n"),
         "2026-02-01 08:30", "2026-02-01 09:30", "UTC"},
        {"a year long", eventText("long", "a year long", "DTSTART:20260101T000000Z\r\nDTEND:20261231T000000Z\r\n"),
         "2026-07-01 00:00", "2026-07-02 00:00", "UTC"},
    };
}

} // namespace

class EKEventStoreSharingTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    }

    QString m_folder;
};

// Each event is written by another program and read once in UTC, which leaves the index; a new run
// (the index read again) in a zone fourteen hours ahead asks for a window around each event alone.
// Floating times and all-day dates move with the zone; series and moved occurrences reach beyond
// their first start: none may be skipped by the reach the index gave.
TEST_F(EKEventStoreSharingTest, AListingFindsEveryEventByTheReachTheIndexGives)
{
    const QList<ReachRow> rows = reachRows();
    for (const ReachRow &row : rows)
        writeAsOtherProgram(m_folder + QLatin1Char('/') + QString::fromLatin1(row.name).replace(' ', '-') + ".ics",
                            calendarText(row.items));
    {
        const auto store = eventStore();
        ASSERT_EQ(store
                      ->eventsMatchingPredicate(
                          store->predicateForEventsWithStartDate(at("2020-01-01 00:00"), at("2027-01-01 00:00"), {}))
                      .size(),
                  rows.size() + 2)
            << "each event, and the series' two regular occurrences besides the moved one";
    }
    const QString index = root() + QStringLiteral("/.work.hmindex");
    const QByteArray indexBytes = readAll(index);
    ASSERT_TRUE(indexBytes.startsWith(kIndexHeader));
    writeAsOtherProgram(index, indexBytes); // as a new run finds it
    const ScopedEnvironment zone("TZ", "Pacific/Kiritimati");
    const auto store = eventStore();
    for (const ReachRow &row : rows) {
        SCOPED_TRACE(row.name);
        EKPredicate predicate =
            store->predicateForEventsWithStartDate(at(row.from, row.zone), at(row.to, row.zone), {});
        const QStringList titles = titlesOf(store->eventsMatchingPredicate(predicate));
        EXPECT_TRUE(titles.contains(QString::fromLatin1(row.name))) << titles.join(QLatin1Char('|')).toStdString();
        predicate.title = QString::fromLatin1(row.name);
        const QStringList byTitle = titlesOf(store->eventsMatchingPredicate(predicate));
        EXPECT_TRUE(byTitle.contains(QString::fromLatin1(row.name))) << "asked by its title";
    }
    EXPECT_EQ(titlesOf(store->eventsMatchingPredicate(
                  store->predicateForEventsWithStartDate(at("2027-06-01 00:00"), at("2027-06-02 00:00"), {}))),
              QStringList{})
        << "a window no event reaches";
}

// Events are counted once a series, within the window; reminders whatever their dates; a file with
// both kinds gives each its own. Another program's change is counted at once.
TEST_F(EKEventStoreSharingTest, CountsAgreeWithTheFiles)
{
    writeAsOtherProgram(m_folder + QStringLiteral("/a.ics"),
                        calendarText(eventText("a", "A", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\n")));
    writeAsOtherProgram(
        m_folder + QStringLiteral("/s.ics"),
        calendarText(eventText("s", "S", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\nRRULE:FREQ=WEEKLY\r\n")));
    writeAsOtherProgram(m_folder + QStringLiteral("/past.ics"),
                        calendarText(eventText("past", "Past", "DTSTART:20100302T090000Z\r\nDURATION:PT1H\r\n")));
    writeAsOtherProgram(
        m_folder + QStringLiteral("/mixed.ics"),
        calendarText(eventText("e", "E", "DTSTART:20260402T090000Z\r\nDURATION:PT1H\r\n") + todoText("t1", "T1")));
    writeAsOtherProgram(m_folder + QStringLiteral("/t2.ics"), calendarText(todoText("t2", "T2")));
    const auto store = eventStore();
    const EKPredicate events =
        store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
    const EKPredicate reminders = store->predicateForRemindersInCalendars({});
    EXPECT_EQ(store->countOfItemsMatchingPredicate(events), 3);
    EXPECT_EQ(store->countOfItemsMatchingPredicate(reminders), 2);

    ASSERT_TRUE(QFile::remove(m_folder + QStringLiteral("/a.ics")));
    writeAsOtherProgram(m_folder + QStringLiteral("/t2.ics"),
                        calendarText(todoText("t2", "T2") + todoText("t3", "T3")));
    EXPECT_EQ(store->countOfItemsMatchingPredicate(events), 2);
    EXPECT_EQ(store->countOfItemsMatchingPredicate(reminders), 3);
    EXPECT_EQ(store->remindersMatchingPredicate(reminders).size(), 3);
    // A second file of a UID already counted (a copy another program left) adds nothing.
    writeAsOtherProgram(
        m_folder + QStringLiteral("/s-copy.ics"),
        calendarText(eventText("s", "S", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\nRRULE:FREQ=WEEKLY\r\n")));
    EXPECT_EQ(store->countOfItemsMatchingPredicate(events), 2);
}

// A UID is counted once however its description keeps it: as it stands (plain ASCII), with escapes
// (a comma, a percent sign, letters beyond ASCII), or in a list of several; a copy in another file,
// or in a file of several items, adds nothing; a to-do's UID is counted among reminders only. The
// same in a new run, which takes the descriptions from the folder's index.
TEST_F(EKEventStoreSharingTest, CountsKeepEachUidOnceHoweverItIsWritten)
{
    const auto event = [](const QByteArray &uid) {
        return eventText(uid, "E " + uid, "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\n");
    };
    const QList<std::pair<const char *, QByteArray>> files{
        {"plain", event("plain")},
        {"plain-copy", event("plain")},
        {"comma", event("with\\,comma")},
        {"percent", event("50%off")},
        {"cafe", event("caf\xc3\xa9")},
        {"cafe-copy", event("caf\xc3\xa9")},
        {"caf", event("caf")},
        {"pair", event("plain") + event("pair") + event("50%off") + event("caf\xc3\xa9")},
        {"mixed", event("mixed") + todoText("plain", "T plain")},
        {"todo", todoText("50%off", "T 50%off")},
    };
    for (const auto &[name, items] : files)
        writeAsOtherProgram(m_folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".ics"),
                            calendarText(items));
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "the same run" : "a new run");
        const auto store = eventStore();
        const EKPredicate events =
            store->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
        QSet<QString> listed;
        for (const auto &found : store->eventsMatchingPredicate(events))
            listed.insert(found->eventIdentifier());
        EXPECT_EQ(listed, (QSet<QString>{"plain", "with,comma", "50%off", QStringLiteral("caf\u00e9"), "caf", "pair",
                                         "mixed"}));
        EXPECT_EQ(store->countOfItemsMatchingPredicate(events), listed.size());
        EXPECT_EQ(store->countOfItemsMatchingPredicate(store->predicateForRemindersInCalendars({})), 2);
        const QString index = root() + QStringLiteral("/.work.hmindex");
        writeAsOtherProgram(index, readAll(index));
    }
}

// A store that looked at the calendars at the start of a run counts, without a new look, what other
// stores of the process wrote since: events saved and removed, a reminder, and a calendar made
// after its look (which it looks at first); the same numbers a store looking afresh counts.
TEST_F(EKEventStoreSharingTest, AStoreCountsWhatTheProcessWroteSinceItsLook)
{
    writeAsOtherProgram(m_folder + QStringLiteral("/before.ics"),
                        calendarText(eventText("before", "Before", "DTSTART:20260302T090000Z\r\nDURATION:PT1H\r\n")));
    const auto early = eventStore();
    ASSERT_EQ(early->calendarsForEntityType(EKEntityType::Event).size(), 1);
    {
        const auto writer = eventStore();
        auto later = EKCalendar::calendarForEntityType(EKEntityType::Event);
        later->setTitle(QStringLiteral("Later"));
        ASSERT_TRUE(writer->saveCalendar(later, true).ok());
        const std::shared_ptr<EKCalendar> work = writer->calendarWithIdentifier(QStringLiteral("work"));
        QList<std::shared_ptr<EKEvent>> saved;
        for (const auto &calendar : {work, work, work, later}) {
            auto added = EKEvent::eventWithEventStore(writer);
            added->setCalendar(calendar);
            added->setTitle(QStringLiteral("Added %1").arg(saved.size()));
            added->setStartDate(at("2026-03-02 09:00").addDays(saved.size()));
            added->setEndDate(added->startDate().addSecs(1800));
            ASSERT_TRUE(writer->saveEvent(added, EKSpan::ThisEvent, false).ok());
            saved.append(added);
        }
        ASSERT_TRUE(writer->removeEvent(saved.first(), EKSpan::ThisEvent, false).ok());
        auto reminder = EKReminder::reminderWithEventStore(writer);
        reminder->setCalendar(work);
        reminder->setTitle(QStringLiteral("Task"));
        ASSERT_TRUE(writer->saveReminder(reminder, true).ok());
        EKPredicate events = early->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2027-01-01 00:00"), {});
        events.calendarIdentifiers = QStringList{QStringLiteral("work"), later->calendarIdentifier()};
        EXPECT_EQ(early->countOfKnownItemsMatchingPredicate(events), 4) << "before, two added to work, one to later";
        EXPECT_EQ(eventStore()->countOfItemsMatchingPredicate(events), 4);
        EKPredicate reminders = early->predicateForRemindersInCalendars({});
        reminders.calendarIdentifiers = QStringList{QStringLiteral("work")};
        EXPECT_EQ(early->countOfKnownItemsMatchingPredicate(reminders), 1);
        events.calendarIdentifiers = QStringList{QStringLiteral("nowhere")};
        EXPECT_EQ(early->countOfKnownItemsMatchingPredicate(events), 0) << "a calendar that is not there";
    }
}

// Two stores on two threads write into one folder, each listing what it sees after each write; a
// third store finds every event once, and so does a new run reading the index they left.
TEST_F(EKEventStoreSharingTest, StoresOnTwoThreadsLeaveEveryEventOnce)
{
    constexpr int kEventsPerThread = 25;
    const auto writeEvents = [this](const QString &prefix, bool &listedOwn) {
        const auto store = eventStore();
        listedOwn = true;
        for (int index = 0; index < kEventsPerThread; ++index) {
            auto event = EKEvent::eventWithEventStore(store);
            event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
            event->setTitle(QStringLiteral("%1 %2").arg(prefix).arg(index, 2, 10, QLatin1Char('0')));
            event->setStartDate(at("2026-03-02 09:00").addSecs(qint64(index) * 3600));
            event->setEndDate(event->startDate().addSecs(1800));
            listedOwn = listedOwn && store->saveEvent(event, EKSpan::ThisEvent, index % 5 == 4).ok();
            const QStringList titles = titlesOf(store->eventsMatchingPredicate(
                store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {})));
            listedOwn = listedOwn && titles.contains(event->title());
        }
    };
    bool firstListedOwn = false;
    bool secondListedOwn = false;
    std::thread first([&] { writeEvents(QStringLiteral("First"), firstListedOwn); });
    std::thread second([&] { writeEvents(QStringLiteral("Second"), secondListedOwn); });
    first.join();
    second.join();
    EXPECT_TRUE(firstListedOwn);
    EXPECT_TRUE(secondListedOwn);

    QStringList expected;
    for (const char *prefix : {"First", "Second"}) {
        for (int index = 0; index < kEventsPerThread; ++index)
            expected.append(QStringLiteral("%1 %2").arg(QLatin1String(prefix)).arg(index, 2, 10, QLatin1Char('0')));
    }
    expected.sort();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "the same run" : "a new run");
        const auto store = eventStore();
        EXPECT_EQ(titlesOf(store->eventsMatchingPredicate(
                      store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {}))),
                  expected);
        const QString index = root() + QStringLiteral("/.work.hmindex");
        writeAsOtherProgram(index, readAll(index));
    }
}
