// A listing takes the events of a series file from what the folder keeps of it (in memory and in the
// index: its masters, moved occurrences and walks) instead of parsing the file and walking its rules.
// Every event must be what the parse gives, in every window and in the listing that reads each series
// once; a change of the file must never be hidden by it, and a damaged entry must never be believed.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QSet>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using namespace eventkittest;

namespace {

const QByteArray kBerlin = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                           "BEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\n"
                           "BEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
                           "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";

// A VEVENT standing in for one occurrence of a series.
QByteArray detachedItem(const QByteArray &uid, const QByteArray &properties)
{
    return eventItem(uid, properties).replace("END:VEVENT", "X-MOVED:1\r\nEND:VEVENT");
}

// Series files of the shapes users have: zoned across the clock changes, floating, all-day, with a
// count or an end, removed and added dates, moved occurrences (one for a date the rule never gives),
// moved occurrences alone or years after their series' first, two series in one file, alarms and
// texts to encode.
QList<std::pair<QString, QByteArray>> seriesFiles()
{
    const QByteArray alarm = "BEGIN:VALARM\r\nACTION:DISPLAY\r\nTRIGGER:-PT10M\r\nEND:VALARM\r\n";
    return {
        {"zoned.ics", calendarText(kBerlin + eventItem("zoned", "DTSTART;TZID=Europe/Berlin:20250301T090000\r\n"
                                                                "DURATION:PT1H\r\nRRULE:FREQ=DAILY\r\n"
                                                                "SUMMARY:Zoned daily\r\n" +
                                                                    alarm))},
        {"floating.ics", calendarText(eventItem("floating", "DTSTART:20250106T080000\r\nDTEND:20250106T083000\r\n"
                                                            "RRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR\r\nSUMMARY:Float\r\n"))},
        {"allday.ics", calendarText(eventItem("allday", "DTSTART;VALUE=DATE:19900412\r\nRRULE:FREQ=YEARLY\r\n"
                                                        "SUMMARY:Birthday\r\n"))},
        {"count.ics", calendarText(eventItem("count", "DTSTART:20260105T100000Z\r\nDTEND:20260105T110000Z\r\n"
                                                      "RRULE:FREQ=MONTHLY;BYDAY=1MO;COUNT=30\r\n"
                                                      "SUMMARY:Texts %\\, ü\\;\r\nDESCRIPTION:\r\n"))},
        {"until.ics", calendarText(eventItem("until", "DTSTART:20260105T100000Z\r\n"
                                                      "RRULE:FREQ=DAILY;INTERVAL=3;UNTIL=20270105T100000Z\r\n"
                                                      "EXDATE:20260108T100000Z\r\nRDATE:20260109T100000Z\r\n"
                                                      "SUMMARY:Until\r\n"))},
        {"moved.ics",
         calendarText(eventItem("moved", "DTSTART:20261201T090000Z\r\nDTEND:20261201T100000Z\r\nRRULE:FREQ=DAILY\r\n"
                                         "SUMMARY:Moved series\r\nLAST-MODIFIED:20261101T000000Z\r\n") +
                      detachedItem("moved", "RECURRENCE-ID:20261203T090000Z\r\nDTSTART:20261203T150000Z\r\n"
                                            "DTEND:20261203T160000Z\r\nSUMMARY:Moved one\r\n") +
                      detachedItem("moved", "RECURRENCE-ID:20261201T090000Z\r\nDTSTART:20261201T091500Z\r\n"
                                            "DTEND:20261201T100000Z\r\nSUMMARY:Moved first\r\n") +
                      detachedItem("moved", "RECURRENCE-ID:20261203T093000Z\r\nDTSTART:20261203T093000Z\r\n"
                                            "SUMMARY:Not an occurrence\r\n"))},
        // Read in the first window; a later window still lists its occurrence moved years ahead.
        {"later.ics",
         calendarText(eventItem("later", "DTSTART:20260101T090000Z\r\nDTEND:20260101T100000Z\r\nRRULE:FREQ=DAILY\r\n"
                                         "SUMMARY:Moved years ahead\r\n") +
                      detachedItem("later", "RECURRENCE-ID:20280105T090000Z\r\nDTSTART:20280106T120000Z\r\n"
                                            "DTEND:20280106T130000Z\r\nSUMMARY:Moved ahead\r\n"))},
        {"alone.ics", calendarText(detachedItem("alone", "RECURRENCE-ID:20261203T090000Z\r\n"
                                                         "DTSTART:20261203T150000Z\r\nSUMMARY:Alone\r\n"))},
        {"two.ics", calendarText(eventItem("first", "DTSTART:20261207T070000Z\r\nRRULE:FREQ=WEEKLY\r\nSUMMARY:One\r\n") +
                                 eventItem("second", "DTSTART:20261208T070000Z\r\nRRULE:FREQ=WEEKLY;INTERVAL=2\r\n"
                                                     "SUMMARY:Two\r\n"))},
    };
}

QString dump(const QDateTime &date)
{
    return date.isValid() ? date.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + QString::number(date.timeSpec())
                          : QStringLiteral("invalid");
}

QString text(const QString &value)
{
    return value.isNull() ? QStringLiteral("(null)") : value;
}

// Every field a listing or a record reads, in one text, so that a difference shows where it is.
QString describe(const EKEvent &event)
{
    QStringList alarms, rules;
    for (const EKAlarm &alarm : event.alarms())
        alarms.append(QString::number(alarm.relativeOffset()) + QLatin1Char('@') + dump(alarm.absoluteDate()));
    for (const EKRecurrenceRule &rule : event.recurrenceRules())
        rules.append(rule.description());
    return QStringList{event.calendarItemIdentifier(), text(event.title()), text(event.notes()),
                       text(event.location()), dump(event.creationDate()), dump(event.lastModifiedDate()),
                       event.isAllDay() ? QStringLiteral("all day") : QStringLiteral("timed"),
                       QString::fromUtf8(event.timeZone().id()), dump(event.startDate()), dump(event.endDate()),
                       alarms.join(QLatin1Char(',')), rules.join(QLatin1Char(';')), dump(event.occurrenceDate()),
                       event.isDetached() ? QStringLiteral("detached") : QStringLiteral("attached"),
                       event.isSeriesStart() ? QStringLiteral("series start") : QStringLiteral("not start"),
                       event.seriesRevision(),
                       event.calendar() ? event.calendar()->calendarIdentifier() : QStringLiteral("(no calendar)")}
        .join(QLatin1Char('|'));
}

// Two lists of starts of thousands, of which only the first difference is shown.
void expectSameStarts(const QStringList &found, const QStringList &expected)
{
    const auto differs = std::mismatch(found.cbegin(), found.cend(), expected.cbegin(), expected.cend());
    EXPECT_TRUE(differs.first == found.cend() && differs.second == expected.cend())
        << "the first difference, after " << (differs.first - found.cbegin())
        << " alike: " << (differs.first == found.cend() ? "none" : differs.first->toStdString()) << " where "
        << (differs.second == expected.cend() ? "none" : differs.second->toStdString()) << " was expected";
}

// The windows of a whole listing: the past year, then thirteen years ahead.
QList<std::pair<QDateTime, QDateTime>> windows()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return {{now.addYears(-1), now}, {now, now.addYears(13)}};
}

} // namespace

class EKEventStoreListedSeriesTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(m_name, QStringLiteral("Work"));
    }

    QString indexPath() const { return root() + QStringLiteral("/.%1.hmindex").arg(m_name); }

    // The folder and its index under a new name, its files untouched: as in a new run, a new folder
    // object knows the files from the index only.
    void renameForNextRun()
    {
        const QString next = m_name + QLatin1Char('x');
        ASSERT_TRUE(QFile::rename(m_folder, root() + QLatin1Char('/') + next));
        ASSERT_TRUE(QFile::rename(indexPath(), root() + QStringLiteral("/.%1.hmindex").arg(next)));
        m_name = next;
        m_folder = root() + QLatin1Char('/') + m_name;
    }

    // The events of each window (firstOnly: reading each series once, as a whole listing does), with
    // the files chosen by the title when one is given: that parses them.
    QStringList listing(EKEventStore &store, bool firstOnly, const std::optional<QString> &title = {}) const
    {
        QStringList events;
        QSet<QString> seriesRead;
        for (const auto &[start, end] : windows()) {
            EKPredicate predicate = store.predicateForEventsWithStartDate(start, end, {});
            predicate.title = title;
            predicate.firstOccurrenceOnly = firstOnly;
            predicate.seriesToLeaveOut = seriesRead;
            for (const auto &event : store.eventsMatchingPredicate(predicate)) {
                events.append(describe(*event));
                if (firstOnly && event->hasRecurrenceRules() && !event->isDetached())
                    seriesRead.insert(event->calendarItemIdentifier());
            }
        }
        events.sort();
        return events;
    }

    // The same from the parsed files, one title at a time; a file of several titles is read for each.
    QStringList parsedListing(EKEventStore &store, bool firstOnly) const
    {
        QSet<QString> titles;
        EKPredicate all = store.predicateForEventsWithStartDate(windows().first().first, windows().last().second, {});
        for (const auto &event : store.eventsMatchingPredicate(all))
            titles.insert(event->title());
        QSet<QString> events;
        for (const QString &title : std::as_const(titles)) {
            for (const QString &event : listing(store, firstOnly, title))
                events.insert(event);
        }
        QStringList sorted(events.begin(), events.end());
        sorted.sort();
        return sorted;
    }

    void expectListingsAreTheParse(EKEventStore &store) const
    {
        for (const bool firstOnly : {true, false}) {
            SCOPED_TRACE(firstOnly ? "first occurrences" : "every occurrence");
            const QStringList listed = listing(store, firstOnly);
            const QStringList parsed = parsedListing(store, firstOnly);
            // An occurrence across the windows' border is in both: the parse's are a set.
            // Only the events that differ are shown: a listing holds thousands.
            const QSet<QString> listedSet(listed.begin(), listed.end()), parsedSet(parsed.begin(), parsed.end());
            EXPECT_EQ(QStringList((listedSet - parsedSet).values()).join('\n').left(3000).toStdString(), "");
            EXPECT_EQ(QStringList((parsedSet - listedSet).values()).join('\n').left(3000).toStdString(), "");
        }
    }

    // The index lines holding a series listing.
    qsizetype seriesEntries() const
    {
        qsizetype count = 0;
        for (const QByteArray &line : readAll(indexPath()).split('\n'))
            count += line.split('\t').value(10).startsWith('*') ? 1 : 0;
        return count;
    }

    void writeSeriesFiles() const
    {
        for (const auto &[name, bytes] : seriesFiles())
            writeAsOtherProgram(m_folder + QLatin1Char('/') + name, bytes);
    }

    // The corpus's calendar files into the folder, as they were written; false without the corpus.
    // Files sharing a UID with an earlier one are left out: a folder lists one file per UID.
    bool copyCorpusCalendars() const
    {
        const QDir corpus(QStringLiteral("/work/shared/interop-corpus/calendar"));
        if (!corpus.exists())
            return false;
        QSet<QByteArray> uids;
        for (const QString &name : corpus.entryList({QStringLiteral("*.ics")}, QDir::Files)) {
            QSet<QByteArray> own;
            for (const QByteArray &line : readAll(corpus.filePath(name)).split('\n')) {
                if (line.startsWith("UID:"))
                    own.insert(line.mid(4).trimmed());
            }
            if (own.intersects(uids))
                continue;
            uids.unite(own);
            EXPECT_TRUE(QFile::copy(corpus.filePath(name), m_folder + QLatin1Char('/') + name)) << name.toStdString();
        }
        return true;
    }

    QString m_name = QStringLiteral("work");
    QString m_folder;
};

// In the run that reads the files and in a next one that knows them from the index only, in the zone
// the walks were made in and in another, every event is what parsing its file gives.
TEST_F(EKEventStoreListedSeriesTest, ListingsFromTheIndexAreTheListingsOfTheFiles)
{
    writeSeriesFiles();
    expectListingsAreTheParse(*eventStore());
    EXPECT_EQ(seriesEntries(), qsizetype(seriesFiles().size()));
    for (const char *zone : {"UTC", "America/New_York"}) {
        SCOPED_TRACE(zone);
        renameForNextRun();
        const ScopedEnvironment environment("TZ", zone);
        const auto store = eventStore();
        expectListingsAreTheParse(*store);
    }
}

// The calendars of other programs in the interop corpus, each file as it was written.
TEST_F(EKEventStoreListedSeriesTest, TheCorpusCalendarsListAlikeFromTheIndex)
{
    if (!copyCorpusCalendars())
        GTEST_SKIP() << "no interop corpus";
    // The calendar's identifier is its folder's name, which the next run's differs in.
    const auto withoutCalendar = [](QStringList events) {
        for (QString &event : events)
            event = event.section(QLatin1Char('|'), 0, -2);
        return events;
    };
    QStringList firstRun;
    {
        const auto store = eventStore();
        firstRun = withoutCalendar(listing(*store, true));
        expectListingsAreTheParse(*store);
    }
    EXPECT_GT(seriesEntries(), 20);
    renameForNextRun();
    const auto store = eventStore();
    EXPECT_EQ(withoutCalendar(listing(*store, true)), firstRun);
    expectListingsAreTheParse(*store);
}

// A series' regular starts, asked for in the windows of a whole listing and in a narrow one, are the
// starts of the regular occurrences the store lists there, in their order: for every shape of series,
// the corpus's series, and a UID found in two calendars.
TEST_F(EKEventStoreListedSeriesTest, RegularStartsAreThoseOfTheListedOccurrences)
{
    writeSeriesFiles();
    copyCorpusCalendars();
    const QString home = makeCalendarFolder(QStringLiteral("home"), QStringLiteral("Home"));
    for (const auto &[name, bytes] : seriesFiles()) {
        if (name == QStringLiteral("moved.ics") || name == QStringLiteral("zoned.ics"))
            writeAsOtherProgram(home + QLatin1Char('/') + name, bytes);
    }
    const auto store = eventStore();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<std::pair<QDateTime, QDateTime>> windows{{now.addYears(-3), now.addYears(1)}};
    for (int step = 0; step < 3; ++step)
        windows.append({windows.last().second, windows.last().second.addYears(4)});
    windows.append({QDateTime(QDate(2026, 12, 2), QTime(0, 0), QTimeZone::utc()),
                    QDateTime(QDate(2026, 12, 4), QTime(9, 0), QTimeZone::utc())});
    QSet<QString> uids;
    for (const auto &event : store->eventsMatchingPredicate(
             store->predicateForEventsWithStartDate(now.addYears(-40), now.addYears(14), {})))
        uids.insert(event->calendarItemIdentifier());
    ASSERT_GT(uids.size(), 8);
    qsizetype compared = 0;
    for (const QString &uid : std::as_const(uids)) {
        for (const auto &[start, end] : std::as_const(windows)) {
            EKPredicate predicate = store->predicateForEventsWithStartDate(start, end, {});
            predicate.uid = uid;
            QStringList expected, found;
            for (const auto &event : store->eventsMatchingPredicate(predicate)) {
                if (!event->isDetached())
                    expected.append(dump(event->startDate()));
            }
            for (const QDateTime &regular : store->regularStartsMatchingPredicate(predicate))
                found.append(dump(regular));
            SCOPED_TRACE(uid.toStdString() + " from " + dump(start).toStdString());
            expectSameStarts(found, expected);
            compared += expected.size();
        }
    }
    EXPECT_GT(compared, 5000) << "the series' walks reach years ahead";
}

// Starts asked for up to an end are walked only that far, before any longer walk of the series is
// kept: each bound, from one in the past to years ahead, gives the regular starts the store lists in
// the listing's windows that begin before it, for every shape of series (across the clock changes,
// with a count, an end, removed, added and moved occurrences).
TEST_F(EKEventStoreListedSeriesTest, BoundedRegularStartsAreTheListedOnesBeforeTheBound)
{
    writeSeriesFiles();
    const auto store = eventStore();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QList<std::pair<QDateTime, QDateTime>> windows{{now.addYears(-3), now.addYears(1)}};
    for (int step = 0; step < 3; ++step)
        windows.append({windows.last().second, windows.last().second.addYears(4)});
    const QList<QDateTime> bounds = {QDateTime(QDate(2026, 3, 29), QTime(1, 30), QTimeZone::utc()),
                                     QDateTime(QDate(2026, 12, 3), QTime(9, 0), QTimeZone::utc()),
                                     now.addDays(40), now.addYears(1).addDays(2), now.addYears(6)};
    const QStringList uids = {"zoned", "floating", "allday", "count", "until", "moved", "later", "first", "second"};
    // Asked first, shortest bound first: each walk is made for its bound.
    QMap<QString, QStringList> bounded;
    for (const QString &uid : uids) {
        for (const QDateTime &bound : bounds) {
            for (const auto &[start, end] : std::as_const(windows)) {
                EKPredicate predicate = store->predicateForEventsWithStartDate(start, end, {});
                predicate.uid = uid;
                for (const QDateTime &regular : store->regularStartsMatchingPredicate(predicate, bound))
                    bounded[uid + dump(bound)].append(dump(regular));
            }
        }
    }
    qsizetype compared = 0;
    for (const QString &uid : uids) {
        for (const QDateTime &bound : bounds) {
            QStringList expected;
            for (const auto &[start, end] : std::as_const(windows)) {
                EKPredicate predicate = store->predicateForEventsWithStartDate(start, end, {});
                predicate.uid = uid;
                for (const auto &event : store->eventsMatchingPredicate(predicate)) {
                    if (!event->isDetached() && event->startDate() < bound)
                        expected.append(dump(event->startDate()));
                }
            }
            SCOPED_TRACE(uid.toStdString() + " before " + dump(bound).toStdString());
            expectSameStarts(bounded.value(uid + dump(bound)), expected);
            compared += expected.size();
        }
    }
    EXPECT_GT(compared, 3000);
}

namespace {

// The start's date of a DTSTART line.
QDate dateOfStart(const QByteArray &start)
{
    return QDate::fromString(QString::fromLatin1(start.mid(start.indexOf(':') + 1, 8)), QStringLiteral("yyyyMMdd"));
}

// Rules that only repeat the start: without BY parts, and naming the start's own weekday, day of the
// month or (for a start at a time of day) month and day.
QList<QByteArray> rulesOf(const QByteArray &start)
{
    static const char *const codes[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    const QDate date = dateOfStart(start);
    const QByteArray day = QByteArray::number(date.day());
    QList<QByteArray> rules = {"FREQ=DAILY",
            "FREQ=DAILY;INTERVAL=3",
            "FREQ=DAILY;COUNT=40",
            "FREQ=WEEKLY",
            "FREQ=WEEKLY;INTERVAL=2;COUNT=30",
            "FREQ=WEEKLY;INTERVAL=5",
            "FREQ=DAILY;COUNT=1",
            "FREQ=WEEKLY;INTERVAL=2;BYDAY=" + QByteArray(codes[date.dayOfWeek() - 1]),
            "FREQ=MONTHLY",
            "FREQ=MONTHLY;INTERVAL=5;COUNT=9",
            "FREQ=MONTHLY;BYMONTHDAY=" + day + ";COUNT=14",
            "FREQ=YEARLY",
            "FREQ=YEARLY;INTERVAL=3;COUNT=4"};
    // A day's start has no hour to name for libical's walk of the same rule (walkedByLibical).
    if (start.indexOf('T', start.indexOf(':')) > 0)
        rules.append("FREQ=YEARLY;BYMONTH=" + QByteArray::number(date.month()) + ";BYMONTHDAY=" + day + ";COUNT=5");
    return rules;
}

// What makes libical walk the rule, with the same starts: every month named, or for a yearly rule its
// month and the start's hour (every weekday for a day's start).
QByteArray walkedByLibical(const QByteArray &rule, const QByteArray &start)
{
    if (!rule.startsWith("FREQ=YEARLY"))
        return ";BYMONTH=1,2,3,4,5,6,7,8,9,10,11,12";
    const QDate date = dateOfStart(start);
    const QByteArray month = rule.contains("BYMONTH") ? QByteArray() : ";BYMONTH=" + QByteArray::number(date.month());
    const qsizetype time = start.indexOf('T', start.indexOf(':'));
    if (time < 0)
        return month + ";BYMONTHDAY=" + QByteArray::number(date.day()) + ";BYDAY=MO,TU,WE,TH,FR,SA,SU";
    return month + ";BYHOUR=" + start.mid(time + 1, 2);
}

} // namespace

// Rules that only repeat their start are stepped by the store itself, not by libical's iterator: each
// must give the starts libical gives. The same rule with parts added that change no start is walked by
// libical (walkedByLibical), and both series are listed alike: from
// starts in UTC, in a zone across its clock changes (an hour that is skipped, one that is twice),
// floating at a month's end, all day on a leap day and at a year's end.
TEST_F(EKEventStoreListedSeriesTest, PlainRulesWalkAsLibicalWalksThem)
{
    const QList<QByteArray> starts = {"DTSTART:20250310T090000Z",
                                      "DTSTART;TZID=Europe/Berlin:20250329T023000",
                                      "DTSTART;TZID=Europe/Berlin:20251025T023000",
                                      "DTSTART:20250131T080000",
                                      "DTSTART;VALUE=DATE:20240229",
                                      "DTSTART:20261231T230000Z"};
    for (qsizetype start = 0; start < starts.size(); ++start) {
        for (qsizetype rule = 0; rule < rulesOf(starts[start]).size(); ++rule) {
            const QByteArray name = QByteArray::number(start) + '-' + QByteArray::number(rule);
            const QByteArray plain = rulesOf(starts[start])[rule];
            for (const QByteArray &kind : {QByteArray("plain"), QByteArray("libical")}) {
                const QByteArray text = "RRULE:" + plain + (kind == "libical" ? walkedByLibical(plain, starts[start]) : QByteArray());
                writeAsOtherProgram(m_folder + QStringLiteral("/%1-%2.ics").arg(kind, name),
                                    calendarText(kBerlin + eventItem(kind + '-' + name, starts[start] + "\r\n" + text +
                                                                                            "\r\nSUMMARY:Walk\r\n")));
            }
        }
    }
    const auto store = eventStore();
    const QDateTime from(QDate(2024, 1, 1), QTime(0, 0), QTimeZone::utc());
    const QDateTime to = QDateTime::currentDateTimeUtc().addYears(13);
    const auto startsOf = [&](const QByteArray &uid, bool firstOnly) {
        QStringList found;
        for (const QDateTime &windowStart : {from, QDateTime(QDate(2027, 6, 1), QTime(0, 0), QTimeZone::utc())}) {
            EKPredicate predicate = store->predicateForEventsWithStartDate(windowStart, to, {});
            predicate.uid = QString::fromLatin1(uid);
            predicate.firstOccurrenceOnly = firstOnly;
            for (const auto &event : store->eventsMatchingPredicate(predicate))
                found.append(dump(event->startDate()));
        }
        return found;
    };
    qsizetype walked = 0;
    for (qsizetype start = 0; start < starts.size(); ++start) {
        for (qsizetype rule = 0; rule < rulesOf(starts[start]).size(); ++rule) {
            const QByteArray name = QByteArray::number(start) + '-' + QByteArray::number(rule);
            SCOPED_TRACE((starts[start] + ' ' + rulesOf(starts[start])[rule]).toStdString());
            const QStringList plain = startsOf("plain-" + name, false);
            expectSameStarts(plain, startsOf("libical-" + name, false));
            expectSameStarts(startsOf("plain-" + name, true), startsOf("libical-" + name, true));
            walked += plain.size();
        }
    }
    EXPECT_GT(walked, 20000);
}

// Another program rewrites a series file to the same size within the same second, and removes another:
// the next run lists the new rule and not the removed series.
TEST_F(EKEventStoreListedSeriesTest, ChangedAndRemovedSeriesFilesAreSeenDespiteTheIndex)
{
    writeSeriesFiles();
    { expectListingsAreTheParse(*eventStore()); }
    const QString path = m_folder + QStringLiteral("/two.ics");
    QByteArray bytes = readAll(path);
    struct stat before = {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    ASSERT_TRUE(bytes.contains("INTERVAL=2"));
    bytes.replace("INTERVAL=2", "INTERVAL=3");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.write(bytes);
    }
    const struct timespec times[2] = {before.st_atim, {before.st_mtim.tv_sec, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    ASSERT_TRUE(QFile::remove(m_folder + QStringLiteral("/zoned.ics")));
    renameForNextRun();
    const auto store = eventStore();
    const QStringList listed = listing(*store, false);
    EXPECT_TRUE(std::none_of(listed.cbegin(), listed.cend(), [](const QString &event) { return event.startsWith("zoned|"); }));
    EXPECT_TRUE(std::any_of(listed.cbegin(), listed.cend(), [](const QString &event) {
        return event.startsWith("second|") && event.contains(QStringLiteral("INTERVAL=3"));
    })) << listed.join('\n').toStdString();
    expectListingsAreTheParse(*store);
}

// An index of the format before (which kept no series listings) and one whose series entries were
// damaged are read again from the files: the listings stay those of the files, and the index written
// next keeps the listings again.
TEST_F(EKEventStoreListedSeriesTest, AnOldOrDamagedIndexIsMadeAgain)
{
    writeSeriesFiles();
    { expectListingsAreTheParse(*eventStore()); }
    const QByteArray good = readAll(indexPath());
    ASSERT_TRUE(good.startsWith(kIndexHeader));
    QByteArray flipped = good;
    const qsizetype star = flipped.indexOf("\t*");
    ASSERT_GT(star, 0);
    flipped[star + 20] = flipped[star + 20] == 'A' ? 'B' : 'A';
    QByteArray huge = good;
    huge.insert(star + 2, QByteArray(40 * 1024, 'A'));
    for (const QByteArray &variant : {QByteArray("HMCALINDEX 6\n") + good.mid(kIndexHeader.size()), flipped, huge}) {
        renameForNextRun();
        QFile file(indexPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(variant);
        file.close();
        {
            const auto store = eventStore();
            expectListingsAreTheParse(*store);
        }
        EXPECT_TRUE(readAll(indexPath()).startsWith(kIndexHeader));
        EXPECT_EQ(seriesEntries(), qsizetype(seriesFiles().size()));
    }
}

// The index is a file anyone may have changed: a series listing cut short anywhere, or with any one
// digit of its base64 replaced by a byte that is none or by padding, is never read as a listing (and
// never read past its end), while the whole texts are.
TEST_F(EKEventStoreListedSeriesTest, ACutOrDamagedSeriesListingIsNeverRead)
{
    writeSeriesFiles();
    {
        expectListingsAreTheParse(*eventStore());
    }
    const QByteArray zone = icallisted::systemZoneField();
    QByteArrayList texts;
    for (const QByteArray &line : readAll(indexPath()).split('\n')) {
        const QByteArray listed = line.split('\t').value(10);
        if (listed.startsWith('*'))
            texts.append(listed);
    }
    ASSERT_EQ(texts.size(), qsizetype(seriesFiles().size()));
    for (const QByteArray &text : std::as_const(texts)) {
        SCOPED_TRACE(text.toStdString());
        ASSERT_TRUE(icallisted::readListedSeries(text, zone));
        EXPECT_FALSE(icallisted::readListedSeries(text, zone + "x"));
        for (qsizetype size = 1; size < text.size(); ++size)
            EXPECT_FALSE(icallisted::readListedSeries(text.left(size), zone)) << "cut to " << size;
        for (qsizetype at = 1; at < text.size(); ++at) {
            for (const char other : {'!', '=', '\n', '\0'}) {
                if (text.at(at) == other)
                    continue;
                QByteArray damaged = text;
                damaged[at] = other;
                EXPECT_FALSE(icallisted::readListedSeries(damaged, zone)) << int(other) << " at " << at;
            }
        }
    }
}

// The listings' base64 is decoded through a table per digit place: every length, every start in
// memory and every byte at every place gives what Qt's decoder gives of a text toBase64 wrote, and
// nothing for any byte that is no digit.
TEST(ListedSeriesBase64, DecodesWhatToBase64WroteAndNothingElse)
{
    quint32 seed = 20261210;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    EXPECT_FALSE(icallisted::decodeBase64(""));
    // One array decoded into again and again, longer and shorter, holds each text's bytes alone.
    QByteArray reused;
    for (qsizetype length = 1; length <= 200; ++length) {
        QByteArray bytes(length, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(next());
        const QByteArray text = bytes.toBase64();
        ASSERT_TRUE(icallisted::decodeBase64Into(text, reused));
        ASSERT_EQ(reused, bytes);
        ASSERT_TRUE(icallisted::decodeBase64Into(text.first(4), reused));
        ASSERT_EQ(reused, bytes.first(std::min<qsizetype>(3, length)));
        for (const qsizetype start : {0, 1, 5}) {
            const QByteArray shifted = QByteArray(start, 'x') + text;
            ASSERT_EQ(icallisted::decodeBase64(QByteArrayView(shifted).sliced(start)), std::optional(bytes)) << length;
        }
        EXPECT_FALSE(icallisted::decodeBase64(text.chopped(1))) << length;
        // Each byte value at a few places before the last group: a digit decodes as Qt decodes it.
        for (int place = 0; place < 3 && text.size() > 4; ++place) {
            const qsizetype at = qsizetype(next() % quint32(text.size() - 4));
            for (int value = 0; value < 256; ++value) {
                QByteArray changed = text;
                changed[at] = char(value);
                const std::optional<QByteArray> decoded = icallisted::decodeBase64(changed);
                if (alphabet.contains(char(value)))
                    ASSERT_EQ(decoded, std::optional(QByteArray::fromBase64(changed))) << length << " " << value;
                else
                    ASSERT_FALSE(decoded) << length << " " << value << " at " << at;
            }
        }
    }
}

// A writer of series killed at any point, while it writes the index too, leaves a folder whose next
// reader lists each series exactly once, as its file tells it. The writer is killed once it has
// written 12 series (HM_KILLED_SERIES_WRITER_FILES asks for more, in a Release build): each is then
// listed over thirteen years, every occurrence compared with the parse. It saves its index after every
// sixth of them, so that the kill still lands in an index write as often as in a series' write.
TEST_F(EKEventStoreListedSeriesTest, AWriterOfSeriesKilledMidwayLeavesEverySeriesOnce)
{
    const int asked = qEnvironmentVariableIntValue("HM_KILLED_SERIES_WRITER_FILES");
    const int filesBeforeKill = asked > 0 ? asked : 12;
    const int saveEvery = std::max(2, filesBeforeKill / 6);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto store = eventStore();
        for (int index = 0; index < 100000; ++index) {
            auto event = EKEvent::eventWithEventStore(store);
            event->setCalendar(store->calendarWithIdentifier(m_name));
            event->setTitle(QStringLiteral("Series %1").arg(index));
            event->setStartDate(at("2026-03-16 10:00").addSecs(qint64(index) * 60));
            event->setEndDate(event->startDate().addSecs(1800));
            event->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1 + index % 3, {}, {}, {}, {}, {},
                                                      {}, std::nullopt));
            if (!store->saveEvent(event, EKSpan::FutureEvents, true).ok())
                ::_exit(1);
            if (index % saveEvery == 0)
                store->reset(); // its folder objects save their index on the way out
        }
        ::_exit(0);
    }
    const bool wroteEnough = testsupport::waitUntil([&] { return itemFiles(m_folder).size() >= filesBeforeKill; });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(wroteEnough);
    const qsizetype files = itemFiles(m_folder).size();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const auto store = eventStore();
        const QStringList listed = listing(*store, true);
        QSet<QString> series;
        for (const QString &event : listed)
            series.insert(event.section(QLatin1Char('|'), 1, 1));
        EXPECT_EQ(listed.size(), files);
        EXPECT_EQ(series.size(), files);
        expectListingsAreTheParse(*store);
        renameForNextRun();
    }
}
