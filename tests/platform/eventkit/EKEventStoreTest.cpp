// The event store over iCalendar folders: queries with expansion, saves and removals with spans,
// alarms, reminders, and what khal makes of the files we write (and we of the files it writes).
#include "CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/ConsoleLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QTimeZone>

#include <gtest/gtest.h>

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
    const QString output = runTool(QStringLiteral("khal"), {QStringLiteral("-c"), config, QStringLiteral("list"),
                                                            QStringLiteral("--format"), QStringLiteral("{start} {title}"),
                                                            QStringLiteral("--day-format"), QString(),
                                                            from, to});
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
    event->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Weekly, 1,
                                              {EKRecurrenceDayOfWeek::dayOfWeek(2), EKRecurrenceDayOfWeek::dayOfWeek(4)},
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

    const QStringList expected = {"2026-03-16 09:00 Standup",       "2026-03-23 09:00 Standup",
                                  "2026-03-25 09:00 Standup",       "2026-03-30 11:00 Standup moved",
                                  "2026-04-01 09:00 Standup",       "2026-04-06 09:00 Standup",
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
    runTool(QStringLiteral("khal"), {QStringLiteral("-c"), config, QStringLiteral("new"), QStringLiteral("-r"),
                                     QStringLiteral("daily"), QStringLiteral("-u"), QStringLiteral("2026-03-31"),
                                     QStringLiteral("2026-03-27"), QStringLiteral("18:00"), QStringLiteral("19:00"),
                                     QStringLiteral("Yoga")});
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

    const QStringList expected = {"2026-03-02 17:30 Team sync",  "2026-03-05 12:00 Lunch with Ana",
                                  "2026-03-09 16:30 Team sync",  "2026-03-10 14:00 Review",
                                  "2026-03-23 16:30 Team sync",  "2026-03-30 17:30 Team sync",
                                  "2026-04-14 16:00 Review (moved)", "2026-05-12 14:00 Review",
                                  "2026-06-09 14:00 Review"};
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
    ASSERT_TRUE(QFile::copy(samples + QStringLiteral("/apple-export.ics"), folder + QStringLiteral("/apple-export.ics")));
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
