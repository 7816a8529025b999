// The EventKit listing over real calendar folders: what is sent when, series with their exceptions,
// detached occurrences with their parent, checksums and deletions.
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/CalendarRecordTestSupport.h"
#include "datasources/calendar/HMChecksumArchive.h"
#include "datasources/calendar/HMKVCodingEKEvent.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "LogCapture.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "sync/HMIdentifierGraph.h"

#include <QFile>
#include <QMap>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace platform;
using eventkittest::at;

using calendartest::describe;

class EventKitListingTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({QStringLiteral("work")});
    }

    std::shared_ptr<EKEvent> saveEvent(const QString &title, const QDateTime &start,
                                       const QList<EKRecurrenceRule> &rules = {})
    {
        auto store = eventStore();
        auto event = EKEvent::eventWithEventStore(store);
        event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
        event->setTitle(title);
        event->setNotes(QStringLiteral("line one\nline two & more"));
        event->setStartDate(start);
        event->setEndDate(start.addSecs(3600));
        event->setRecurrenceRules(rules);
        event->setAlarms({EKAlarm::alarmWithRelativeOffset(-900)});
        EXPECT_TRUE(store->saveEvent(event, EKSpan::FutureEvents, true).ok());
        return event;
    }

    // One listing of one sync run: each run has a data source of its own.
    QList<HMSyncRecord> list(const QDateTime &date, bool includeDeletes = true, const QSet<QString> &excluded = {})
    {
        m_data = std::make_unique<HMCalendarData>();
        m_data->setIdentifierGraph(m_graph);
        return m_data->syncEventKitRecordObjectsModifiedAfter(date, includeDeletes, excluded)
            .value_or(QList<HMSyncRecord>());
    }

    std::shared_ptr<HMIdentifierGraph> m_graph = std::make_shared<HMIdentifierGraph>();
    std::unique_ptr<HMCalendarData> m_data;
};

TEST_F(EventKitListingTest, ASingleEventIsSentNewThenOnceMoreThenOnlyWhenItChanges)
{
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(3);
    auto event = saveEvent(QStringLiteral("Dentist"), start);
    const QList<HMSyncRecord> first = list(QDateTime());
    ASSERT_EQ(describe(first), QStringList{"send new Dentist"});
    const HMSyncRecord &record = first.first();
    EXPECT_EQ(record.nativeId(), event->eventIdentifier());
    EXPECT_EQ(m_data->recordsAddedToDevice(), QStringList{record.hmxUid()});
    const QVariantMap &fields = record.dictionary();
    EXPECT_EQ(fields.value("NOTE"), QVariant("line one\nline two & more"));
    EXPECT_EQ(fields.value("NSARRAYCATEGORIES"), QVariant(QVariantList{"Work"}));
    EXPECT_EQ(fields.value("NSDATESTARTDATE").toDateTime(), start.addMSecs(-start.time().msec()));
    EXPECT_EQ(fields.value("NSNUMBERALARMTIME"), QVariant(qint64(15)));
    EXPECT_EQ(fields.value("TYPENUMBER"), QVariant(false));
    EXPECT_EQ(fields.value("TZ_DATA"), QVariant("0\t0"));
    EXPECT_EQ(fields.value("REPEAT"), QVariant(""));
    EXPECT_TRUE(m_graph->dictionaryForHarrowmereUid(record.hmxUid())->contains("crcValue"));

    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "the checksum was kept when the event was first sent";

    auto changed = eventStore()->eventWithIdentifier(event->eventIdentifier());
    changed->setAlarms({EKAlarm::alarmWithRelativeOffset(-60)});
    ASSERT_TRUE(eventStore()->saveEvent(changed, EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "alarms take no part in the checksum";
    changed->setNotes(QStringLiteral("new notes"));
    ASSERT_TRUE(eventStore()->saveEvent(changed, EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(describe(list(lastSync, true, {record.hmxUid()})), QStringList{}) << "changed on the device in this run";
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Dentist"});

    ASSERT_TRUE(eventStore()->removeEvent(changed, EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(describe(list(lastSync, false)), QStringList{});
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1);
    const QList<HMSyncRecord> deletions = list(lastSync);
    ASSERT_EQ(describe(deletions), QStringList{"delete "});
    EXPECT_EQ(deletions.first().hmxUid(), record.hmxUid());
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

TEST_F(EventKitListingTest, ASeriesIsSentOnceWithItsExceptionsAndItsDetachedOccurrenceApart)
{
    const QDateTime start = QDateTime(QDate::currentDate().addDays(7), QTime(9, 0), QTimeZone::utc());
    const EKRecurrenceRule weekly(EKRecurrenceFrequency::Weekly, 1, {}, {}, {}, {}, {}, {},
                                  EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(4));
    auto series = saveEvent(QStringLiteral("Standup"), start, {weekly});
    auto store = eventStore();
    auto occurrences =
        store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(40), {}));
    ASSERT_EQ(occurrences.size(), 4);
    ASSERT_TRUE(store->removeEvent(occurrences[1], EKSpan::ThisEvent, true).ok());
    occurrences[2]->setTitle(QStringLiteral("Standup moved"));
    occurrences[2]->setStartDate(occurrences[2]->startDate().addSecs(7200));
    occurrences[2]->setEndDate(occurrences[2]->endDate().addSecs(7200));
    ASSERT_TRUE(store->saveEvent(occurrences[2], EKSpan::ThisEvent, true).ok());

    const QList<HMSyncRecord> records = list(QDateTime());
    ASSERT_EQ(describe(records), (QStringList{"send new Standup", "send new Standup moved"}));
    const HMSyncRecord &seriesRecord = records[0];
    EXPECT_EQ(seriesRecord.nativeId(), series->eventIdentifier());
    const QVariantMap &fields = seriesRecord.dictionary();
    EXPECT_EQ(fields.value("REPEAT"), QVariant("2"));
    EXPECT_EQ(fields.value("INTERVAL"), QVariant("1"));
    EXPECT_EQ(fields.value("OCCURS"), QVariant("4"));
    // The walk of a counted series gives one date past the last; it is no regular occurrence, so it
    // counts among the exceptions, as do the removed and the moved occurrence.
    EXPECT_EQ(fields.value("NSARRAYEXCEPTIONS").toList(),
              (QVariantList{start.addDays(7), start.addDays(14), start.addDays(28)}));
    // The series ends by its count alone: a date beside it would end it on a date once it came back.
    EXPECT_FALSE(fields.contains("NSDATEREPEATEND"));
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid(seriesRecord.hmxUid())->contains("RecurringInstancesKey"));

    const HMSyncRecord &moved = records[1];
    EXPECT_EQ(moved.theParentId(), seriesRecord.hmxUid());
    EXPECT_EQ(moved.dictionary().value("PARENTID"), QVariant(series->eventIdentifier()));
    EXPECT_EQ(moved.nativeId(), series->eventIdentifier() +
                                    QStringLiteral("+%1+%2").arg(start.addDays(14).toString("yyyyMMdd"),
                                                                 start.addDays(14).addSecs(7200).toString("HH:mm:ss")));
    EXPECT_EQ(m_data->recordsAddedToDevice(), (QStringList{seriesRecord.hmxUid(), moved.hmxUid()}));
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 2);

    // A sync with nothing new sends neither the series nor its moved occurrence again.
    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    auto later = eventStore()->eventsMatchingPredicate(
        eventStore()->predicateForEventsWithStartDate(start.addDays(20), start.addDays(40), {}));
    ASSERT_EQ(later.size(), 1);
    ASSERT_TRUE(eventStore()->removeEvent(later.first(), EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Standup"}) << "a removed occurrence changes the series";
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
}

// A series' exceptions are the device's instances with no regular occurrence on their local day; the
// regular ones are walked only up to the last instance. In a zone with clock changes, daily, weekly
// and monthly series without an end, with a count and with an end date each lose one occurrence and
// have another moved (some near the last instance the record carries): the exceptions are those two
// and, for a counted series, the date one step past its last, as the expansion gives it.
TEST_F(EventKitListingTest, ASeriesExceptionsAreItsRemovedAndMovedInstancesWhateverItsRule)
{
    const eventkittest::ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QTimeZone berlin("Europe/Berlin");
    const QDate first = QDate::currentDate().addDays(-100);
    const QDateTime start(QDate(first.year(), first.month(), 15), QTime(9, 0), berlin);
    const auto rule = [](EKRecurrenceFrequency frequency, int interval, const std::optional<EKRecurrenceEnd> &end,
                         const QList<int> &daysOfTheMonth = {}) {
        return EKRecurrenceRule(frequency, interval, {}, daysOfTheMonth, {}, {}, {}, {}, end);
    };
    const auto byCount = EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(40);
    const auto byDate = EKRecurrenceEnd::recurrenceEndWithEndDate(QDateTime(start.date().addDays(7 * 30), QTime(23, 59, 59), berlin));
    struct Row
    {
        const char *title;
        EKRecurrenceRule rule;
        QDateTime removed, moved;
        QList<QDateTime> more;
    };
    const QList<Row> rows = {
        {"daily", rule(EKRecurrenceFrequency::Daily, 1, std::nullopt), start.addDays(130), start.addDays(440), {}},
        {"weekly", rule(EKRecurrenceFrequency::Weekly, 1, std::nullopt), start.addDays(7 * 3), start.addDays(7 * 62), {}},
        {"monthly", rule(EKRecurrenceFrequency::Monthly, 1, std::nullopt, {15}), start.addMonths(2), start.addMonths(14), {}},
        {"daily counted", rule(EKRecurrenceFrequency::Daily, 2, byCount), start.addDays(6), start.addDays(60),
         {start.addDays(80)}},
        {"weekly to a date", rule(EKRecurrenceFrequency::Weekly, 1, byDate), start.addDays(14), start.addDays(7 * 25), {}},
    };
    auto store = eventStore();
    QMap<QString, QVariantList> expected;
    for (const Row &row : rows) {
        auto series = saveEvent(QString::fromLatin1(row.title), start, {row.rule});
        series->setTimeZone(berlin);
        ASSERT_TRUE(store->saveEvent(series, EKSpan::FutureEvents, true).ok());
        for (const QDateTime &date : {row.removed, row.moved}) {
            auto found = store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(date, date.addSecs(60), {}));
            found.removeIf([&series](const auto &event) { return event->calendarItemIdentifier() != series->calendarItemIdentifier(); });
            ASSERT_EQ(found.size(), 1) << row.title << " " << date.toString(Qt::ISODate).toStdString();
            if (date == row.removed) {
                ASSERT_TRUE(store->removeEvent(found.first(), EKSpan::ThisEvent, true).ok());
                continue;
            }
            found.first()->setStartDate(date.addSecs(7200));
            found.first()->setEndDate(date.addSecs(10800));
            ASSERT_TRUE(store->saveEvent(found.first(), EKSpan::ThisEvent, true).ok());
        }
        QVariantList dates{row.removed, row.moved};
        for (const QDateTime &date : row.more)
            dates.append(date);
        expected.insert(series->eventIdentifier(), dates);
    }
    const QList<HMSyncRecord> records = list(QDateTime());
    qsizetype seen = 0;
    for (const HMSyncRecord &record : records) {
        if (!expected.contains(record.nativeId()))
            continue;
        ++seen;
        SCOPED_TRACE(record.dictionary().value("SUBJECT").toString().toStdString());
        const QVariantList exceptions = record.dictionary().value("NSARRAYEXCEPTIONS").toList();
        QStringList found, wanted;
        for (const QVariant &date : exceptions)
            found.append(date.toDateTime().toUTC().toString(Qt::ISODate));
        for (const QVariant &date : expected.value(record.nativeId()))
            wanted.append(date.toDateTime().toUTC().toString(Qt::ISODate));
        EXPECT_EQ(found, wanted);
    }
    EXPECT_EQ(seen, rows.size());
}

namespace {

// The text of another program's open daily series "Daily check" from the start, with the occurrences
// of the given days (counted from the start) moved an hour on, each with a long note of its own: the
// file is too long for its listing to be told from its description, and is parsed.
QByteArray dailySeriesWithMovedDays(const QDateTime &start, const QList<int> &movedDays)
{
    const auto stamp = [](const QDateTime &date) { return date.toUTC().toString("yyyyMMdd'T'HHmmss'Z'").toLatin1(); };
    QByteArray items = eventkittest::eventItem("daily-check", "DTSTART:" + stamp(start) + "\r\nDTEND:" +
                                                                 stamp(start.addSecs(1800)) +
                                                                 "\r\nRRULE:FREQ=DAILY\r\nSUMMARY:Daily check\r\n");
    for (const int day : movedDays) {
        const QDateTime original = start.addDays(day);
        const QByteArray note = QByteArray("Agenda item ") + QByteArray::number(day) + ". ";
        items += eventkittest::eventItem(
            "daily-check", "RECURRENCE-ID:" + stamp(original) + "\r\nDTSTART:" + stamp(original.addSecs(3600)) +
                               "\r\nDTEND:" + stamp(original.addSecs(5400)) + "\r\nSUMMARY:Moved " +
                               QByteArray::number(day) + "\r\nDESCRIPTION:" + note.repeated(40) + "\r\n");
    }
    return eventkittest::calendarText(items);
}

} // namespace

// A series with many moved occurrences is sent once, each moved occurrence once apart, and its
// exceptions are the moved occurrences' original days; when another program moves one more, the
// next listing's exceptions have it too: nothing is told from what an earlier read of the file noted.
TEST_F(EventKitListingTest, ASeriesOfManyMovedOccurrencesIsSentOnceAndItsExceptionsFollowItsFile)
{
    const QDateTime start(QDate::currentDate().addDays(1), QTime(9, 0), QTimeZone::utc());
    QList<int> movedDays;
    for (int day = 1; day <= 60; day += 2)
        movedDays.append(day);
    const QString path = root() + QStringLiteral("/work/daily-check.ics");
    eventkittest::writeAsOtherProgram(path, dailySeriesWithMovedDays(start, movedDays));
    const auto exceptionsOf = [&](const QList<HMSyncRecord> &records) {
        QVariantList exceptions;
        for (const HMSyncRecord &record : records) {
            if (record.nativeId() == QLatin1String("daily-check"))
                exceptions.append(record.dictionary().value("NSARRAYEXCEPTIONS").toList());
        }
        return exceptions;
    };
    const auto movedStarts = [&start](const QList<int> &days) {
        QVariantList dates;
        for (const int day : days)
            dates.append(start.addDays(day));
        return dates;
    };

    const QList<HMSyncRecord> records = list(QDateTime());
    QStringList expected{"send new Daily check"};
    QSet<QString> nativeIds;
    for (const int day : movedDays)
        expected.append(QStringLiteral("send new Moved %1").arg(day));
    for (const HMSyncRecord &record : records)
        nativeIds.insert(record.nativeId());
    EXPECT_EQ(describe(records), expected);
    EXPECT_EQ(nativeIds.size(), records.size());
    EXPECT_EQ(exceptionsOf(records), movedStarts(movedDays));
    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    EXPECT_EQ(describe(list(lastSync)), QStringList{});

    movedDays.append(4);
    eventkittest::writeAsOtherProgram(path, dailySeriesWithMovedDays(start, movedDays));
    const QList<HMSyncRecord> changed = list(lastSync);
    EXPECT_EQ(describe(changed), (QStringList{"send Daily check", "send new Moved 4"}));
    std::sort(movedDays.begin(), movedDays.end());
    EXPECT_EQ(exceptionsOf(changed), movedStarts(movedDays));
}

// A monthly series on the 31st (or the 30th) has no occurrence in a month without that day: its record
// carries no exception for those months, neither with nor without a count.
TEST_F(EventKitListingTest, AMonthlySeriesOnALateDayHasNoExceptionsForShortMonths)
{
    QDate first = QDate::currentDate().addDays(-100);
    while (first.daysInMonth() != 31)
        first = first.addMonths(1);
    const QDateTime start(QDate(first.year(), first.month(), 31), QTime(9, 0), QTimeZone::utc());
    auto store = eventStore();
    QSet<QString> series;
    for (const auto &[title, day, end] :
         {std::tuple{"on the 31st", 31, std::optional<EKRecurrenceEnd>()},
          std::tuple{"on the 31st, 12 times", 31, std::optional(EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(12))},
          std::tuple{"on the 30th", 30, std::optional<EKRecurrenceEnd>()}}) {
        const QDateTime from = start.addDays(day - 31);
        auto event = saveEvent(QString::fromLatin1(title), from,
                               {EKRecurrenceRule(EKRecurrenceFrequency::Monthly, 1, {}, {day}, {}, {}, {}, {}, end)});
        ASSERT_TRUE(store->saveEvent(event, EKSpan::FutureEvents, true).ok());
        series.insert(event->eventIdentifier());
    }
    qsizetype seen = 0;
    for (const HMSyncRecord &record : list(QDateTime())) {
        if (!series.contains(record.nativeId()))
            continue;
        ++seen;
        SCOPED_TRACE(record.dictionary().value("SUBJECT").toString().toStdString());
        EXPECT_EQ(record.dictionary().value("NSARRAYEXCEPTIONS").toList(), QVariantList());
    }
    EXPECT_EQ(seen, series.size());
}

// The checksum a series is kept under is the CRC of its event archive followed by the list of its
// rule, its revision and its moved occurrences' dates: the graphs of earlier runs keep it so, and a
// series whose checksum read otherwise would be sent again to every device.
TEST_F(EventKitListingTest, ASeriesChecksumIsTheCrcOfItsJoinedArchives)
{
    const QDateTime start = QDateTime(QDate::currentDate().addDays(5), QTime(8, 0), QTimeZone::utc());
    const EKRecurrenceRule daily(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                                 EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(6));
    auto series = saveEvent(QStringLiteral("Stretch"), start, {daily});
    auto store = eventStore();
    auto occurrences =
        store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(10), {}));
    ASSERT_EQ(occurrences.size(), 6);
    for (const qsizetype moved : {1, 4}) {
        occurrences[moved]->setStartDate(occurrences[moved]->startDate().addSecs(1800));
        occurrences[moved]->setEndDate(occurrences[moved]->endDate().addSecs(1800));
        ASSERT_TRUE(store->saveEvent(occurrences[moved], EKSpan::ThisEvent, true).ok());
    }
    ASSERT_EQ(describe(list(QDateTime())), (QStringList{"send new Stretch", "send new Stretch", "send new Stretch"}));

    const std::shared_ptr<EKEvent> first = eventStore()->eventWithIdentifier(series->eventIdentifier());
    ASSERT_TRUE(first);
    QVariantList entries{first->recurrenceRules().value(0).description(), first->seriesRevision()};
    for (const auto &event : eventStore()->eventsMatchingPredicate(
             eventStore()->predicateForEventsWithStartDate(start, start.addDays(10), {}))) {
        if (event->isDetached())
            entries.append(event->occurrenceDate());
    }
    ASSERT_EQ(entries.size(), 4);
    const quint32 joined =
        crc32OfBytes(HMKVCodingEKEvent::checksumArchiveOf(*first) + checksumArchiveOfList("HMSE", entries));
    const auto seriesDictionary = m_graph->dictionaryForNativeId(series->eventIdentifier());
    ASSERT_TRUE(seriesDictionary);
    EXPECT_EQ(seriesDictionary->value("crcValue").toString(), QString::number(qint32(joined)));
    // Kept so, the next listing finds the series unchanged, and its moved occurrences with it.
    EXPECT_EQ(describe(list(QDateTime::currentDateTimeUtc().addSecs(60))), QStringList{});
}

// Moved occurrences found unchanged are not planned, yet each keeps its record and its id (two moved
// onto one start are told apart by a number, the same in every listing); one changed on the desktop is
// sent, unless the device changed its record in this run.
TEST_F(EventKitListingTest, MovedOccurrencesAreSentAgainOnlyWhenOneChanges)
{
    const QDateTime start = QDateTime(QDate::currentDate().addDays(4), QTime(9, 0), QTimeZone::utc());
    const EKRecurrenceRule daily(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                                 EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(5));
    auto series = saveEvent(QStringLiteral("Walk"), start, {daily});
    auto store = eventStore();
    auto occurrences =
        store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(10), {}));
    ASSERT_EQ(occurrences.size(), 5);
    const QDateTime sharedStart = start.addDays(1).addSecs(3 * 3600);
    for (const qsizetype moved : {1, 2}) {
        occurrences[moved]->setTitle(QStringLiteral("Walk %1").arg(moved));
        occurrences[moved]->setStartDate(sharedStart);
        occurrences[moved]->setEndDate(sharedStart.addSecs(3600));
        ASSERT_TRUE(store->saveEvent(occurrences[moved], EKSpan::ThisEvent, true).ok());
    }
    const QList<HMSyncRecord> first = list(QDateTime());
    ASSERT_EQ(describe(first).size(), 3);
    const QString sharedId = series->eventIdentifier() + QStringLiteral("+%1+%2").arg(
                                                             sharedStart.toString("yyyyMMdd"), sharedStart.toString("HH:mm:ss"));
    QStringList movedIds{first[1].nativeId(), first[2].nativeId()};
    movedIds.sort();
    EXPECT_EQ(movedIds, (QStringList{sharedId, sharedId + QStringLiteral("+0")}));
    ASSERT_EQ(m_graph->identifierDictionaries().size(), 3);

    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "run " << run;
        EXPECT_EQ(m_graph->identifierDictionaries().size(), 3) << "run " << run;
    }

    auto later = store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(10), {}));
    std::shared_ptr<EKEvent> walkOne;
    for (const auto &event : later)
        walkOne = event->title() == QStringLiteral("Walk 1") ? event : walkOne;
    ASSERT_TRUE(walkOne);
    const QString walkOneUid = m_graph->harrowmereUidForNativeId(first[1].dictionary().value("SUBJECT") == QVariant("Walk 1")
                                                                     ? first[1].nativeId()
                                                                     : first[2].nativeId());
    walkOne->setNotes(QStringLiteral("bring water"));
    ASSERT_TRUE(store->saveEvent(walkOne, EKSpan::ThisEvent, true).ok());
    const QStringList excluded = describe(list(lastSync, true, {walkOneUid}));
    EXPECT_FALSE(excluded.contains(QStringLiteral("send Walk 1"))) << "changed on the device in this run";
    EXPECT_EQ(describe(list(lastSync)).filter(QStringLiteral("Walk 1")), QStringList{"send Walk 1"});
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 3);
}

// A single event of a file of its own is told unchanged from its file's description alone. Each
// thing that tells a change sends it, as planning the made event does; the others keep it found
// (not deleted) and unsent: the sync's date against the file's change date, the date the last
// sync wrote it, the device's own change in this run, and the checksum the graph keeps.
TEST_F(EventKitListingTest, AListedEventIsSentOnlyWhenSomethingTellsAChange)
{
    const QString path = root() + QStringLiteral("/work/tea.ics");
    const QDateTime start = QDateTime(QDate::currentDate().addDays(3), QTime(9, 0), QTimeZone::utc());
    // The notes, a length in minutes (none: no end) and a start later by minutes may change too.
    const auto writeTea = [&](const QByteArray &title, const QDateTime &modified,
                              const QByteArray &notes = "Cups & pots\\nand more", int minutes = 0, int later = 0) {
        const QByteArray starts = start.addSecs(later * 60).toString("yyyyMMdd'T'HHmmss'Z'").toLatin1();
        const QByteArray length = minutes ? "DURATION:PT" + QByteArray::number(minutes) + "M\r\n" : QByteArray();
        eventkittest::writeAsOtherProgram(
            path,
            eventkittest::calendarText(eventkittest::eventItem(
                "tea", "DTSTART:" + starts + "\r\n" + length + "SUMMARY:" + title + "\r\nDESCRIPTION:" + notes +
                           "\r\nLAST-MODIFIED:" + modified.toString("yyyyMMdd'T'HHmmss'Z'").toLatin1() + "\r\n")));
        const auto store = eventStore();
        const EKEventSequence sequence =
            store->eventSequenceMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(1), {}));
        QByteArray scratch;
        EXPECT_TRUE(sequence.size() == 1 && sequence.lookAt(0, scratch)) << "the event is told by its description";
    };
    const QDateTime written = QDateTime::currentDateTimeUtc().addDays(-1);
    writeTea("Tea", written);
    ASSERT_EQ(describe(list(QDateTime())), QStringList{"send new Tea"});
    const QString hmUid = m_graph->identifierDictionaries().value(0).value("hmUid").toString();
    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    const auto setInGraph = [&](const QString &key, const QVariant &value) {
        QVariantMap dictionary = *m_graph->dictionaryForHarrowmereUid(hmUid);
        value.isValid() ? void(dictionary.insert(key, value)) : void(dictionary.remove(key));
        ASSERT_TRUE(m_graph->replaceDictionaryForHarrowmereUid(hmUid, dictionary));
    };
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "unchanged";
    writeTea("Tea for two", written);
    EXPECT_EQ(describe(list(lastSync, true, {hmUid})), QStringList{}) << "changed on the device in this run";
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Tea for two"}) << "its checksum";
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "the new checksum was kept";
    const struct
    {
        const char *change;
        QByteArray notes;
        int minutes;
        int later;
    } changes[] = {
        {"its notes", "Cups only", 0, 0}, {"its end", "Cups only", 30, 0}, {"its start", "Cups only", 30, 15}};
    for (const auto &change : changes) {
        writeTea("Tea for two", written, change.notes, change.minutes, change.later);
        EXPECT_EQ(describe(list(lastSync)), QStringList{"send Tea for two"}) << change.change;
        EXPECT_EQ(describe(list(lastSync)), QStringList{}) << change.change << ", kept";
    }
    writeTea("Tea for two", written);
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Tea for two"}) << "back as it was";
    const QDateTime changed = lastSync.addSecs(3600).addMSecs(-lastSync.time().msec()); // files keep seconds
    writeTea("Tea for two", changed);
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Tea for two"}) << "changed after the sync's date";
    setInGraph("WrittenModificationDate", changed);
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "last written by a sync";
    setInGraph("WrittenModificationDate", QVariant());
    writeTea("Tea for two", written);
    setInGraph("crcValue", QVariant());
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Tea for two"}) << "no checksum kept";
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1) << "never deleted while it is there";

    // Beside an event found unchanged, one whose file is gone is deleted, and only that one.
    const auto cake = saveEvent(QStringLiteral("Cake"), start.addDays(1));
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send new Cake"});
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    ASSERT_TRUE(QFile::remove(path));
    const QList<HMSyncRecord> deletions = list(lastSync);
    ASSERT_EQ(describe(deletions), QStringList{"delete "});
    EXPECT_EQ(deletions.first().hmxUid(), hmUid);
    ASSERT_EQ(m_graph->identifierDictionaries().size(), 1);
    EXPECT_EQ(m_graph->identifierDictionaries().first().value("nativeId"), QVariant(cake->eventIdentifier()));
}

// A series another program wrote is found unchanged from its first occurrence without a plan of it.
// Each thing that tells a change sends the series again, as planning it does; the others keep it
// found (never deleted while its file is there) and unsent: the series' checksum (its title, rule and
// removed occurrences), the sync's date against the file's change date, the date the last sync wrote
// it, the device's own change in this run, and a send whose answer never came.
TEST_F(EventKitListingTest, AListedSeriesIsSentOnlyWhenSomethingTellsAChange)
{
    const QString path = root() + QStringLiteral("/work/walk.ics");
    const QDateTime start = QDateTime(QDate::currentDate().addDays(2), QTime(7, 30), QTimeZone::utc());
    const auto utc = [](const QDateTime &date) { return date.toString("yyyyMMdd'T'HHmmss'Z'").toLatin1(); };
    const auto writeWalk = [&](const QByteArray &title, const QDateTime &modified,
                               const QByteArray &rule = "FREQ=DAILY", const QByteArray &more = QByteArray()) {
        eventkittest::writeAsOtherProgram(
            path, eventkittest::calendarText(eventkittest::eventItem(
                      "walk", "DTSTART:" + utc(start) + "\r\nDURATION:PT45M\r\nRRULE:" + rule + "\r\nSUMMARY:" + title +
                                  "\r\n" + more + "LAST-MODIFIED:" + utc(modified) + "\r\n")));
    };
    const QDateTime written = QDateTime::currentDateTimeUtc().addDays(-1);
    writeWalk("Walk", written);
    ASSERT_EQ(describe(list(QDateTime())), QStringList{"send new Walk"});
    ASSERT_EQ(m_graph->identifierDictionaries().size(), 1);
    const QString hmUid = m_graph->identifierDictionaries().value(0).value("hmUid").toString();
    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    const auto setInGraph = [&](const QString &key, const QVariant &value) {
        QVariantMap dictionary = *m_graph->dictionaryForHarrowmereUid(hmUid);
        value.isValid() ? void(dictionary.insert(key, value)) : void(dictionary.remove(key));
        ASSERT_TRUE(m_graph->replaceDictionaryForHarrowmereUid(hmUid, dictionary));
    };
    {
        LogCapture log(LOG_LEVEL_INFO);
        EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "unchanged";
        const QStringList planned = log.lines().filter(QStringLiteral("Loading Recurring"));
        EXPECT_TRUE(planned.isEmpty()) << "found without a plan: " << planned.join(u'\n').toStdString();
    }
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "unchanged, again";
    writeWalk("Walk in the park", written);
    EXPECT_EQ(describe(list(lastSync, true, {hmUid})), QStringList{}) << "changed on the device in this run";
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Walk in the park"}) << "its title";
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "the new checksum was kept";
    const struct
    {
        const char *change;
        QByteArray rule;
        QByteArray more;
    } changes[] = {{"its rule", "FREQ=DAILY;INTERVAL=2", ""},
                   {"a removed occurrence", "FREQ=DAILY;INTERVAL=2", "EXDATE:" + utc(start.addDays(4)) + "\r\n"},
                   {"its notes", "FREQ=DAILY;INTERVAL=2", "DESCRIPTION:Bring water\r\n"}};
    for (const auto &change : changes) {
        writeWalk("Walk in the park", written, change.rule, change.more);
        EXPECT_EQ(describe(list(lastSync)), QStringList{"send Walk in the park"}) << change.change;
        EXPECT_EQ(describe(list(lastSync)), QStringList{}) << change.change << ", kept";
    }
    const QDateTime changed = lastSync.addSecs(3600).addMSecs(-lastSync.time().msec()); // files keep seconds
    writeWalk("Walk in the park", changed, "FREQ=DAILY;INTERVAL=2", "DESCRIPTION:Bring water\r\n");
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Walk in the park"}) << "changed after the sync's date";
    setInGraph("WrittenModificationDate", changed);
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "last written by a sync";
    setInGraph("crcValue", QVariant());
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send Walk in the park"}) << "no checksum kept";
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    setInGraph("isUnconfirmedAdd", true);
    EXPECT_EQ(describe(list(lastSync)), QStringList{"send new Walk in the park"}) << "its first send unanswered";
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1) << "never deleted while it is there";

    setInGraph("isUnconfirmedAdd", QVariant()); // answered at last

    ASSERT_TRUE(QFile::remove(path));
    const QList<HMSyncRecord> deletions = list(lastSync);
    ASSERT_EQ(describe(deletions), QStringList{"delete "});
    EXPECT_EQ(deletions.first().hmxUid(), hmUid);
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

// A series file of one series and no moved occurrence is told unchanged from its text's master
// fields, its event unmade; its checksum must be the one planning the series keeps, whatever the
// series' place against today: begun years before the listing's first window (its first occurrence
// is then not its start), begun now, beginning in each later window, of no length, all day, zoned
// with a time zone of the file's own. Each is sent once new (planned whole, its checksum taken from
// its event) and then found unchanged without a plan.
TEST_F(EventKitListingTest, ASeriesToldFromItsTextHasTheChecksumOfItsEvent)
{
    const QDate today = QDate::currentDate();
    const auto utc = [](const QDateTime &date) { return date.toString("yyyyMMdd'T'HHmmss'Z'").toLatin1(); };
    const auto berlin = [](const QDate &day) { return day.toString("yyyyMMdd").toLatin1() + "T114500"; };
    const QByteArray zone = "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nX-LIC-LOCATION:Europe/Berlin\r\n"
                            "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nDTSTART:19700329T020000\r\n"
                            "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n"
                            "BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nDTSTART:19701025T030000\r\n"
                            "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
    const QByteArray foreign = "DURATION:PT1H0M\r\nRRULE:FREQ=DAILY\r\nLOCATION:Room 4\r\n"
                               "DESCRIPTION:Agenda: the points raised\\, again\r\nX-MOZ-GENERATION:3\r\n"
                               "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Review\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n";
    const QDateTime noon(today, QTime(12, 0), QTimeZone::utc());
    const struct
    {
        const char *uid;
        QByteArray calendar;
    } series[] = {
        {"foreign-now", zone + eventkittest::eventItem("foreign-now", "DTSTART;TZID=Europe/Berlin:" + berlin(today) +
                                                                          "\r\nSUMMARY:Review now\r\n" + foreign)},
        {"foreign-old", zone + eventkittest::eventItem("foreign-old", "DTSTART;TZID=Europe/Berlin:" +
                                                                          berlin(today.addYears(-5)) +
                                                                          "\r\nSUMMARY:Review old\r\n" + foreign)},
        {"foreign-late", zone + eventkittest::eventItem("foreign-late", "DTSTART;TZID=Europe/Berlin:" +
                                                                            berlin(today.addYears(7)) +
                                                                            "\r\nSUMMARY:Review late\r\n" + foreign)},
        {"weekly-next", eventkittest::eventItem("weekly-next", "DTSTART:" + utc(noon.addYears(2)) + "\r\nDTEND:" +
                                                                   utc(noon.addYears(2).addSecs(1800)) +
                                                                   "\r\nRRULE:FREQ=WEEKLY;COUNT=40\r\nSUMMARY:Weekly\r\n")},
        {"no-length", eventkittest::eventItem("no-length", "DTSTART:" + utc(noon.addDays(-3)) +
                                                               "\r\nRRULE:FREQ=DAILY;INTERVAL=2\r\nSUMMARY:Instant\r\n")},
        {"old-no-length", eventkittest::eventItem("old-no-length", "DTSTART:" + utc(noon.addYears(-4)) +
                                                                       "\r\nRRULE:FREQ=MONTHLY\r\n")},
        {"all-day", eventkittest::eventItem("all-day", "DTSTART;VALUE=DATE:" + today.toString("yyyyMMdd").toLatin1() +
                                                           "\r\nRRULE:FREQ=YEARLY\r\nSUMMARY:Day\r\nDESCRIPTION:\r\n")},
    };
    for (const auto &one : series) {
        eventkittest::writeAsOtherProgram(root() + QStringLiteral("/work/%1.ics").arg(QLatin1String(one.uid)),
                                          eventkittest::calendarText(one.calendar));
    }
    EXPECT_EQ(list(QDateTime()).size(), qsizetype(std::size(series)));
    ASSERT_EQ(m_graph->identifierDictionaries().size(), qsizetype(std::size(series)));
    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    LogCapture log(LOG_LEVEL_INFO);
    EXPECT_EQ(describe(list(lastSync)), QStringList{});
    const QStringList planned = log.lines().filter(QStringLiteral("Loading Recurring"));
    EXPECT_TRUE(planned.isEmpty()) << "found without a plan: " << planned.join(u'\n').toStdString();
    // A series whose checksum from its text differed would be made and found from its event. Those
    // beginning past the walk a text keeps (two years ahead) are read from their parsed files.
    QStringList made;
    for (const auto &event : m_data->ekEventsArray())
        made.append(event->calendarItemIdentifier());
    made.sort();
    EXPECT_EQ(made, (QStringList{"foreign-late", "weekly-next"})) << "the others told unchanged from their texts";
    EXPECT_EQ(m_graph->identifierDictionaries().size(), qsizetype(std::size(series))) << "none deleted";
}
