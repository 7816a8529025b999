// The event store over iCalendar folders: queries with expansion, saves and removals with spans,
// alarms, reminders, and what khal makes of the files we write (and we of the files it writes).
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using namespace eventkittest;

namespace {

// "yyyy-MM-dd HH:mm title" of each event, in the zone.
QStringList describe(const QList<std::shared_ptr<EKEvent>> &events, const QTimeZone &zone)
{
    QStringList lines;
    for (const auto &event : events) {
        lines.append(event->startDate().toTimeZone(zone).toString(QStringLiteral("yyyy-MM-dd HH:mm ")) +
                     event->title());
    }
    return lines;
}

QString writeKhalConfig(const QString &folder, const QString &calendarPath, const char *zone)
{
    const QString path = folder + QStringLiteral("/khal.conf");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("[calendars]\n[[work]]\npath = %1\ntype = calendar\n"
                              "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                              "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
                              "local_timezone = %2\ndefault_timezone = %2\n"
                              "[default]\ndefault_calendar = work\n"
                              "[sqlite]\npath = %3/khal.db\n")
                   .arg(calendarPath, QString::fromLatin1(zone), folder)
                   .toUtf8());
    return path;
}

QStringList khalList(const QString &config, const QString &from, const QString &to)
{
    const QString output =
        runTool(QStringLiteral("khal"),
                {QStringLiteral("-c"), config, QStringLiteral("list"), QStringLiteral("--format"),
                 QStringLiteral("{start} {title}"), QStringLiteral("--day-format"), QString(), from, to});
    QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

} // namespace

class EKEventStoreTest : public CalendarFolderTest
{
};

TEST_F(EKEventStoreTest, WeeklySeriesWithRemovedAndDetachedOccurrencesReadsTheSameInKhal)
{
    const QTimeZone berlin("Europe/Berlin");
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    auto store = eventStore();
    auto event = EKEvent::eventWithEventStore(store);
    event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
    event->setTitle(QStringLiteral("Standup"));
    event->setTimeZone(berlin);
    event->setStartDate(at("2026-03-16 09:00", "Europe/Berlin"));
    event->setEndDate(at("2026-03-16 09:30", "Europe/Berlin"));
    event->addRecurrenceRule(EKRecurrenceRule(
        EKRecurrenceFrequency::Weekly, 1, {EKRecurrenceDayOfWeek::dayOfWeek(2), EKRecurrenceDayOfWeek::dayOfWeek(4)},
        {}, {}, {}, {}, {}, EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(8)));
    ASSERT_TRUE(store->saveEvent(event, EKSpan::FutureEvents, true).ok());

    const auto window = store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-05-01 00:00"), {});
    auto occurrences = store->eventsMatchingPredicate(window);
    ASSERT_EQ(occurrences.size(), 8);
    ASSERT_TRUE(store->removeEvent(occurrences[1], EKSpan::ThisEvent, true).ok());
    auto moved = occurrences[4];
    moved->setStartDate(moved->startDate().addSecs(7200));
    moved->setEndDate(moved->endDate().addSecs(7200));
    moved->setTitle(QStringLiteral("Standup moved"));
    ASSERT_TRUE(store->saveEvent(moved, EKSpan::ThisEvent, true).ok());

    const QStringList expected = {"2026-03-16 09:00 Standup", "2026-03-23 09:00 Standup",
                                  "2026-03-25 09:00 Standup", "2026-03-30 11:00 Standup moved",
                                  "2026-04-01 09:00 Standup", "2026-04-06 09:00 Standup",
                                  "2026-04-08 09:00 Standup"};
    EXPECT_EQ(describe(store->eventsMatchingPredicate(window), berlin), expected);
    EXPECT_EQ(itemFiles(folder), QStringList{event->eventIdentifier() + QStringLiteral(".ics")});

    const QString config = writeKhalConfig(root(), folder, "Europe/Berlin");
    EXPECT_EQ(khalList(config, QStringLiteral("2026-03-01"), QStringLiteral("2026-04-30")), expected);
}

TEST_F(EKEventStoreTest, ReadsASeriesThatKhalWrote)
{
    const QTimeZone berlin("Europe/Berlin");
    const QString folder = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    const QString config = writeKhalConfig(root(), folder, "Europe/Berlin");
    runTool(QStringLiteral("khal"),
            {QStringLiteral("-c"), config, QStringLiteral("new"), QStringLiteral("-r"), QStringLiteral("daily"),
             QStringLiteral("-u"), QStringLiteral("2026-03-31"), QStringLiteral("2026-03-27"), QStringLiteral("18:00"),
             QStringLiteral("19:00"), QStringLiteral("Yoga")});
    const QStringList fromKhal = khalList(config, QStringLiteral("2026-03-01"), QStringLiteral("2026-04-30"));
    ASSERT_GE(fromKhal.size(), 4);

    auto store = eventStore();
    const auto window = store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-05-01 00:00"), {});
    EXPECT_EQ(describe(store->eventsMatchingPredicate(window), berlin), fromKhal);
}

TEST_F(EKEventStoreTest, ForeignFilesAreReadAndBadOnesLoggedAndLeftAlone)
{
    const QString folder = makeCalendarFolder(QStringLiteral("imported"), QStringLiteral("Imported"));
    const QString samples = testsupport::sourceDir() + QStringLiteral("/tests/platform/eventkit/samples");
    QHash<QString, QByteArray> original;
    for (const QString &name : QDir(samples).entryList(QDir::Files)) {
        ASSERT_TRUE(QFile::copy(samples + QLatin1Char('/') + name, folder + QLatin1Char('/') + name));
        QFile file(samples + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        original.insert(name, file.readAll());
    }
    QTemporaryFile logFile;
    ASSERT_TRUE(logFile.open());
    const int previous = platform::setConsoleLogDescriptor(logFile.handle());
    auto store = eventStore();
    const auto window = store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-07-01 00:00"), {});
    const QStringList seen = describe(store->eventsMatchingPredicate(window), QTimeZone("Europe/Berlin"));
    platform::setConsoleLogDescriptor(previous);

    const QStringList expected = {
        "2026-03-02 17:30 Team sync",      "2026-03-05 12:00 Lunch with Ana", "2026-03-09 16:30 Team sync",
        "2026-03-10 14:00 Review",         "2026-03-23 16:30 Team sync",      "2026-03-30 17:30 Team sync",
        "2026-04-14 16:00 Review (moved)", "2026-05-12 14:00 Review",         "2026-06-09 14:00 Review"};
    EXPECT_EQ(seen, expected);
    QFile logText(logFile.fileName());
    ASSERT_TRUE(logText.open(QIODevice::ReadOnly));
    const QString log = QString::fromUtf8(logText.readAll());
    for (const char *bad : {"unparseable.ics", "empty.ics", "truncated.ics"})
        EXPECT_TRUE(log.contains(QString::fromLatin1(bad))) << bad << " not logged: " << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("google-export.ics"))) << log.toStdString();
    for (auto entry = original.cbegin(); entry != original.cend(); ++entry) {
        QFile file(folder + QLatin1Char('/') + entry.key());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << entry.key().toStdString();
        EXPECT_EQ(file.readAll(), entry.value()) << entry.key().toStdString() << " changed";
    }
}

TEST_F(EKEventStoreTest, EditingAForeignEventKeepsWhatWeDoNotKnow)
{
    const QString folder = makeCalendarFolder(QStringLiteral("imported"), QStringLiteral("Imported"));
    const QString samples = testsupport::sourceDir() + QStringLiteral("/tests/platform/eventkit/samples");
    ASSERT_TRUE(
        QFile::copy(samples + QStringLiteral("/apple-export.ics"), folder + QStringLiteral("/apple-export.ics")));
    auto store = eventStore();
    auto event = store->eventWithIdentifier(QStringLiteral("5C0C2D3E-1F2A-4B5C-8D9E-0A1B2C3D4E5F"));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->alarms(), QList<EKAlarm>{EKAlarm::alarmWithRelativeOffset(-1800)});
    event->setTitle(QStringLiteral("Lunch with Ana & Bo"));
    ASSERT_TRUE(store->saveEvent(event, EKSpan::ThisEvent, true).ok());

    QFile file(folder + QStringLiteral("/apple-export.ics"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    for (const char *kept : {"X-APPLE-TRAVEL-ADVISORY-BEHAVIOR:AUTOMATIC", "ACTION:AUDIO", "SEQUENCE:1",
                             "SUMMARY:Lunch with Ana & Bo", "DTSTART;TZID=Europe/Berlin:20260305T120000"})
        EXPECT_TRUE(text.contains(kept)) << kept << " missing in\n" << text.toStdString();
    EXPECT_EQ(itemFiles(folder), QStringList{QStringLiteral("apple-export.ics")});
}

namespace {

std::shared_ptr<EKEvent> dailySeries(const std::shared_ptr<EKEventStore> &store, const QString &calendar, int count)
{
    auto event = EKEvent::eventWithEventStore(store);
    event->setCalendar(store->calendarWithIdentifier(calendar));
    event->setTitle(QStringLiteral("Daily"));
    event->setTimeZone(QTimeZone("Europe/Berlin"));
    event->setStartDate(at("2026-03-27 08:00", "Europe/Berlin"));
    event->setEndDate(at("2026-03-27 09:00", "Europe/Berlin"));
    event->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                                              EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(count)));
    EXPECT_TRUE(store->saveEvent(event, EKSpan::FutureEvents, true).ok());
    return event;
}

} // namespace

// Five daily occurrences over the change to summer time; each row changes or removes one of them.
TEST_F(EKEventStoreTest, SpansReachTheOccurrencesTheySay)
{
    struct Row
    {
        const char *name;
        bool remove;
        EKSpan span;
        int index;
        QStringList expected;
        int files;
    };
    const Row rows[] = {
        {"remove this occurrence",
         true,
         EKSpan::ThisEvent,
         2,
         {"03-27 08:00 Daily", "03-28 08:00 Daily", "03-30 08:00 Daily", "03-31 08:00 Daily"},
         1},
        {"remove from an occurrence on", true, EKSpan::FutureEvents, 2, {"03-27 08:00 Daily", "03-28 08:00 Daily"}, 1},
        {"remove the series from its start", true, EKSpan::FutureEvents, 0, {}, 0},
        {"remove the first occurrence only",
         true,
         EKSpan::ThisEvent,
         0,
         {"03-28 08:00 Daily", "03-29 08:00 Daily", "03-30 08:00 Daily", "03-31 08:00 Daily"},
         1},
        {"change this occurrence",
         false,
         EKSpan::ThisEvent,
         2,
         {"03-27 08:00 Daily", "03-28 08:00 Daily", "03-29 08:00 Changed", "03-30 08:00 Daily", "03-31 08:00 Daily"},
         1},
        {"change from an occurrence on",
         false,
         EKSpan::FutureEvents,
         3,
         {"03-27 08:00 Daily", "03-28 08:00 Daily", "03-29 08:00 Daily", "03-30 08:00 Changed", "03-31 08:00 Changed"},
         2},
        {"change the whole series",
         false,
         EKSpan::FutureEvents,
         0,
         {"03-27 08:00 Changed", "03-28 08:00 Changed", "03-29 08:00 Changed", "03-30 08:00 Changed",
          "03-31 08:00 Changed"},
         1},
    };
    const QTimeZone berlin("Europe/Berlin");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString name = QString::fromLatin1(row.name).replace(QLatin1Char(' '), QLatin1Char('-'));
        const QString folder = makeCalendarFolder(name, name);
        auto store = eventStore();
        dailySeries(store, name, 5);
        const auto window = store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-05-01 00:00"),
                                                                   {store->calendarWithIdentifier(name)});
        auto occurrence = store->eventsMatchingPredicate(window).value(row.index);
        ASSERT_TRUE(occurrence);
        if (row.remove) {
            ASSERT_TRUE(store->removeEvent(occurrence, row.span, true).ok());
        } else {
            occurrence->setTitle(QStringLiteral("Changed"));
            ASSERT_TRUE(store->saveEvent(occurrence, row.span, true).ok());
        }
        QStringList seen;
        for (const QString &line : describe(eventStore()->eventsMatchingPredicate(window), berlin))
            seen.append(line.mid(5));
        EXPECT_EQ(seen, row.expected);
        EXPECT_EQ(itemFiles(folder).size(), row.files);
    }
}

TEST_F(EKEventStoreTest, AlarmsAreWrittenAsTriggersAndReadBack)
{
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    auto store = eventStore();
    auto event = EKEvent::eventWithEventStore(store);
    event->setTitle(QStringLiteral("Dentist"));
    event->setStartDate(at("2026-03-16 10:00"));
    event->setEndDate(at("2026-03-16 11:00"));
    const QList<EKAlarm> alarms = {EKAlarm::alarmWithRelativeOffset(-900), EKAlarm::alarmWithRelativeOffset(0),
                                   EKAlarm::alarmWithRelativeOffset(300),
                                   EKAlarm::alarmWithAbsoluteDate(at("2026-03-16 09:45"))};
    event->setAlarms(alarms);
    ASSERT_TRUE(store->saveEvent(event, EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(eventStore()->eventWithIdentifier(event->eventIdentifier())->alarms(), alarms);

    QFile file(folder + QLatin1Char('/') + event->eventIdentifier() + QStringLiteral(".ics"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList triggers;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("TRIGGER"))
            triggers.append(QString::fromUtf8(line.trimmed()));
    }
    EXPECT_EQ(triggers, (QStringList{"TRIGGER:-PT15M", "TRIGGER:PT0S", "TRIGGER:PT5M",
                                     "TRIGGER;VALUE=DATE-TIME:20260316T094500Z"}));
}

TEST_F(EKEventStoreTest, CalendarKindsFollowTheFolders)
{
    makeWorkHolidaysAndBirthdays();
    auto store = eventStore();
    QStringList seen;
    for (const auto &calendar : store->calendarsForEntityType(EKEntityType::Event)) {
        seen.append(QStringLiteral("%1 %2 %3")
                        .arg(calendar->title())
                        .arg(int(calendar->type()))
                        .arg(calendar->allowsContentModifications()));
    }
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"Birthdays 4 0", "Holidays 3 0", "Work 0 1"}));

    auto event = EKEvent::eventWithEventStore(store);
    event->setCalendar(store->calendarWithIdentifier(QStringLiteral("holidays")));
    event->setStartDate(at("2026-03-16 10:00"));
    const Status refused = store->saveEvent(event, EKSpan::ThisEvent, true);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), QStringLiteral("calendar Holidays is read-only"));
    EXPECT_TRUE(itemFiles(root() + QStringLiteral("/holidays")).isEmpty());
    EXPECT_EQ(EKEventStore::create(EKEntityMaskReminder)->calendarsForEntityType(EKEntityType::Event).size(), 0);
}

TEST_F(EKEventStoreTest, RemindersReachTodomanAndComeBackOnTheStoresQueue)
{
    const QString folder = makeCalendarFolder(QStringLiteral("errands"), QStringLiteral("Errands"));
    auto store = eventStore();
    auto list = store->calendarWithIdentifier(QStringLiteral("errands"));
    struct Row
    {
        const char *title;
        QDateTime due;
        bool allDay;
        int priority;
        bool completed;
    };
    const Row rows[] = {{"Buy milk", at("2026-03-20 08:00"), false, 1, false},
                        {"File taxes", at("2026-04-30 00:00"), true, 5, false},
                        {"Call Bo & Ana", QDateTime(), false, 9, true}};
    for (const Row &row : rows) {
        auto reminder = EKReminder::reminderWithEventStore(store);
        reminder->setCalendar(list);
        reminder->setTitle(QString::fromUtf8(row.title));
        reminder->setDueDate(row.due, row.allDay);
        reminder->setPriority(row.priority);
        reminder->setCompleted(row.completed);
        ASSERT_TRUE(store->saveReminder(reminder, true).ok());
    }

    std::atomic<bool> done = false;
    std::atomic<bool> ranOnStoreQueue = false;
    QList<std::shared_ptr<EKReminder>> fetched;
    const auto testThread = std::this_thread::get_id();
    store->fetchRemindersMatchingPredicate(store->predicateForRemindersInCalendars({list}), [&](auto reminders) {
        ranOnStoreQueue = std::this_thread::get_id() != testThread;
        fetched = reminders;
        done = true;
    });
    ASSERT_TRUE(testsupport::waitUntil([&] { return done.load(); })) << "the reminders fetch never completed";
    EXPECT_TRUE(ranOnStoreQueue);
    QStringList seen;
    for (const auto &reminder : fetched) {
        seen.append(QStringLiteral("%1|%2|%3|%4|%5")
                        .arg(reminder->title(), reminder->dueDate().toString(Qt::ISODate))
                        .arg(reminder->isDueDateAllDay())
                        .arg(reminder->priority())
                        .arg(reminder->isCompleted()));
    }
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"Buy milk|2026-03-20T08:00:00Z|0|1|0", "Call Bo & Ana||0|9|1",
                                 "File taxes|2026-04-30T00:00:00Z|1|5|0"}));

    const QJsonArray todos = QJsonDocument::fromJson(todomanList()).array();
    QStringList listed;
    for (const QJsonValue &todo : todos) {
        const QJsonObject object = todo.toObject();
        listed.append(QStringLiteral("%1|%2|%3|%4")
                          .arg(object.value(QStringLiteral("summary")).toString())
                          .arg(qint64(object.value(QStringLiteral("due")).toDouble()))
                          .arg(object.value(QStringLiteral("priority")).toInt())
                          .arg(object.value(QStringLiteral("completed")).toBool()));
    }
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"Buy milk|1773993600|1|0", "Call Bo & Ana|0|9|1", "File taxes|1777507200|5|0"}));
}

// A writer killed at any moment leaves whole files: every event it saved is there once, and the half
// written one (a temporary file) is no item.
TEST_F(EKEventStoreTest, AWriterKilledMidwayLeavesEveryEventOnce)
{
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto store = eventStore();
        auto calendar = store->calendarWithIdentifier(QStringLiteral("work"));
        for (int index = 0; index < 100000; ++index) {
            auto event = EKEvent::eventWithEventStore(store);
            event->setCalendar(calendar);
            event->setTitle(QStringLiteral("Event %1").arg(index));
            event->setStartDate(at("2026-03-16 10:00").addSecs(index * 3600));
            if (!store->saveEvent(event, EKSpan::ThisEvent, index % 7 == 0).ok())
                ::_exit(1);
        }
        ::_exit(0);
    }
    const bool wroteEnough = testsupport::waitUntil([&] { return itemFiles(folder).size() >= 40; });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(wroteEnough);

    const QStringList files = itemFiles(folder);
    const auto events = eventStore()->eventsMatchingPredicate(
        eventStore()->predicateForEventsWithStartDate(at("2026-01-01 00:00"), at("2040-01-01 00:00"), {}));
    QSet<QString> titles;
    for (const auto &event : events)
        titles.insert(event->title());
    EXPECT_EQ(events.size(), files.size());
    EXPECT_EQ(titles.size(), events.size());
    for (int index = 0; index < titles.size(); ++index)
        EXPECT_TRUE(titles.contains(QStringLiteral("Event %1").arg(index))) << index;
}

TEST_F(EKEventStoreTest, CalendarsComeInCreationOrderAndAccessIsGranted)
{
    auto store = eventStore();
    QStringList created;
    for (const char *title : {"Zeta", "Alpha", "Mid"}) {
        auto calendar = EKCalendar::calendarForEntityType(EKEntityType::Event);
        calendar->setTitle(QString::fromLatin1(title));
        ASSERT_TRUE(store->saveCalendar(calendar, true).ok());
        created.append(calendar->calendarIdentifier());
    }
    QStringList listed;
    for (const auto &calendar : eventStore()->calendarsForEntityType(EKEntityType::Event))
        listed.append(calendar->calendarIdentifier());
    EXPECT_EQ(listed, created);
    EXPECT_EQ(eventStore()->calendarWithIdentifier(created[1])->title(), QStringLiteral("Alpha"));
    EXPECT_EQ(QFileInfo(root() + QLatin1Char('/') + created[0]).permissions() & QFileDevice::ReadOther,
              QFileDevice::Permissions());

    EXPECT_EQ(EKEventStore::authorizationStatusForEntityType(EKEntityType::Reminder),
              EKAuthorizationStatus::Authorized);
    std::atomic<bool> answered = false;
    std::atomic<bool> granted = false;
    store->requestAccessToEntityType(EKEntityType::Event, [&](bool isGranted, std::optional<Error>) {
        granted = isGranted;
        answered = true;
    });
    ASSERT_TRUE(testsupport::waitUntil([&] { return answered.load(); }));
    EXPECT_TRUE(granted);

    QFile blocker(root() + QStringLiteral("-file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    platform::UserDefaults::standardUserDefaults().setObject(blocker.fileName(), EKEventStore::kCalendarsFolderKey);
    EXPECT_EQ(EKEventStore::authorizationStatusForEntityType(EKEntityType::Event), EKAuthorizationStatus::Denied);
}
