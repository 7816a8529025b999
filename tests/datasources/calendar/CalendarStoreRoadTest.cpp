// The CalendarStore road of the calendar data source over real calendar folders: rules to the
// record's keys and back, all-day events at noon, series with their exceptions, conflicts, refused
// saves and deletions.
#include "datasources/calendar/CalendarRecordTestSupport.h"
#include "datasources/calendar/HMCalendarData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "sync/HMIdentifierGraph.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace platform;
using calendartest::describe;
using calendartest::deviceEvent;
using calendartest::localAt;
using calendartest::nextFirstOfMarch;
using eventkittest::ScopedEnvironment;

namespace {

// Restores the process-wide flags a test changes.
class FlagsGuard final
{
public:
    ~FlagsGuard() { GlobalVariables::setunwritableCalendar(false); }
};

} // namespace

class CalendarStoreRoadTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        makeCalendarFolder(QStringLiteral("holidays"), QStringLiteral("Holidays"), true);
    }

    // Each sync run has a data source of its own, opened on the chosen calendars.
    HMCalendarData &newRun(const QString &writeTo = QStringLiteral("work"))
    {
        m_data = std::make_unique<HMCalendarData>();
        m_data->setIdentifierGraph(m_graph);
        m_data->setCategoryIdentifiersToSync({QStringLiteral("work")});
        m_data->setCategoryIdentifierToWriteTo(writeTo);
        return *m_data;
    }
    QList<HMSyncRecord> list(const QDateTime &date, bool includeDeletes = true, const QSet<QString> &excluded = {})
    {
        return newRun()
            .syncCalendarStoreRecordObjectsModifiedAfter(date, includeDeletes, excluded)
            .value_or(QList<HMSyncRecord>());
    }
    std::shared_ptr<CalEvent> saveEvent(const QString &title, const QDateTime &start, const QDateTime &end,
                                        const std::optional<CalRecurrenceRule> &rule = std::nullopt,
                                        bool allDay = false)
    {
        auto event = CalEvent::event();
        event->setCalendar(m_store.calendarWithUID(QStringLiteral("work")));
        event->setTitle(title);
        event->setNotes(QStringLiteral("line one\nline two & more"));
        event->setStartDate(start);
        event->setEndDate(end);
        event->setIsAllDay(allDay);
        event->setRecurrenceRule(rule);
        EXPECT_TRUE(m_store.saveEvent(event, rule ? CalSpan::AllEvents : CalSpan::ThisEvent).ok());
        return event;
    }

    CalCalendarStore m_store;
    QString m_folder;
    std::shared_ptr<HMIdentifierGraph> m_graph = std::make_shared<HMIdentifierGraph>();
    std::unique_ptr<HMCalendarData> m_data;
};

TEST_F(CalendarStoreRoadTest, RulesBecomeTheRecordKeysAndComeBackTheSame)
{
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QDate march = nextFirstOfMarch();
    const QDate monday = march.addDays((8 - march.dayOfWeek()) % 7);
    const QDate lastOfMay(march.year(), 5, 31);
    const auto endOfMay = CalRecurrenceEnd::recurrenceEndWithEndDate(localAt(lastOfMay, 23, 59, 59));
    struct Row
    {
        const char *name;
        CalRecurrenceRule rule;
        QVariantMap keys;
    };
    const Row rows[] = {
        {"weekly on Monday and Wednesday every 2 weeks until 31 May",
         CalRecurrenceRule::initWeeklyRecurrenceWithInterval(2, {2, 4}, endOfMay),
         {{"REPEAT", "2"}, {"INTERVAL", "2"}, {"DAYMASK", "10"}, {"NSDATEREPEATEND", localAt(lastOfMay, 0)}}},
        {"daily every 3 days, 10 times",
         CalRecurrenceRule::initDailyRecurrenceWithInterval(3, CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(10)),
         {{"REPEAT", "1"}, {"INTERVAL", "3"}, {"OCCURS", "10"}, {"NSDATEREPEATEND", QVariant()}}},
        {"monthly on the second Tuesday",
         CalRecurrenceRule::initMonthlyRecurrenceWithInterval(1, 3, 2, std::nullopt),
         {{"REPEAT", "3"}, {"INTERVAL", "1"}, {"REPTDAYOPT", "1"}, {"DAYOCCUR", "2"}, {"DAYMASK", "4"}}},
        {"monthly on the 15th",
         CalRecurrenceRule::initMonthlyRecurrenceWithInterval(1, {15}, std::nullopt),
         {{"REPEAT", "3"}, {"INTERVAL", "1"}, {"REPTDAYOPT", "0"}, {"DAYOFMONTH", "15"}}},
        {"yearly on the last Friday of November",
         CalRecurrenceRule::initYearlyRecurrenceWithInterval(1, 6, -1, {11}, std::nullopt),
         {{"REPEAT", "4"},
          {"INTERVAL", "1"},
          {"REPTDAYOPT", "1"},
          {"DAYOCCUR", "5"},
          {"DAYMASK", "32"},
          {"MONTH", "11"}}},
        {"yearly",
         CalRecurrenceRule::initYearlyRecurrenceWithInterval(2, std::nullopt),
         {{"REPEAT", "4"}, {"INTERVAL", "2"}, {"REPTDAYOPT", "0"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto event = saveEvent(QString::fromLatin1(row.name), localAt(monday, 9), localAt(monday, 10), row.rule);
        m_graph = std::make_shared<HMIdentifierGraph>();
        const QList<HMSyncRecord> records = list(QDateTime());
        ASSERT_EQ(records.size(), 1);
        const QVariantMap fields = records.first().dictionary();
        for (auto expected = row.keys.cbegin(); expected != row.keys.cend(); ++expected)
            EXPECT_EQ(fields.value(expected.key()), expected.value()) << expected.key().toStdString();
        EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid(records.first().hmxUid())->contains("RecurringInstancesKey"));

        auto written = CalEvent::event();
        ASSERT_TRUE(m_data->updateRecurrenceOfEvent(*written, fields));
        const std::optional<CalRecurrenceRule> back = written->recurrenceRule();
        // A series ending by count comes back ending by the same count.
        EXPECT_EQ(back, row.rule) << (back ? back->description().toStdString() : "no rule");
        ASSERT_TRUE(m_store.removeEvent(event, CalSpan::AllEvents).ok());
    }
}

TEST_F(CalendarStoreRoadTest, RecordsThatNameNoRuleOrAnUnknownOneRemoveTheRule)
{
    auto event = CalEvent::event();
    event->setRecurrenceRule(CalRecurrenceRule::initDailyRecurrenceWithInterval(1, std::nullopt));
    HMCalendarData &data = newRun();
    EXPECT_FALSE(data.updateRecurrenceOfEvent(*event, {{"REPEAT", "0"}}));
    EXPECT_TRUE(event->recurrenceRule().has_value());
    EXPECT_TRUE(data.updateRecurrenceOfEvent(*event, {{"REPEAT", "5"}, {"INTERVAL", "1"}}));
    EXPECT_FALSE(event->recurrenceRule().has_value());
    EXPECT_TRUE(data.updateRecurrenceOfEvent(*event, {{"REPEAT", "4"}, {"REPTDAYOPT", "0"}, {"INTERVAL", "1"}}));
    EXPECT_EQ(event->recurrenceRule(), CalRecurrenceRule::initYearlyRecurrenceWithInterval(1, std::nullopt));
}

TEST_F(CalendarStoreRoadTest, AnAllDayEventIsListedAtNoonOfItsDayInEveryZone)
{
    for (const char *zoneName : {"UTC", "Europe/Berlin", "America/Los_Angeles", "Pacific/Auckland"}) {
        SCOPED_TRACE(zoneName);
        const ScopedEnvironment zone("TZ", zoneName);
        const QDate march = nextFirstOfMarch();
        const auto event =
            saveEvent(QStringLiteral("Holiday"), localAt(march, 0), localAt(march.addDays(1), 0), std::nullopt, true);
        m_graph = std::make_shared<HMIdentifierGraph>();
        const QList<HMSyncRecord> records = list(QDateTime());
        ASSERT_EQ(records.size(), 1);
        const QVariantMap fields = records.first().dictionary();
        EXPECT_EQ(fields.value("TYPENUMBER"), QVariant(true));
        EXPECT_EQ(fields.value("NSDATESTARTDATE").toDateTime(), localAt(march, 12));
        EXPECT_EQ(fields.value("NSDATEENDDATE").toDateTime(), localAt(march, 12));
        EXPECT_EQ(fields.value("EVENTTZ"), QVariant(QString::fromLatin1(zoneName)));
        ASSERT_TRUE(m_store.removeEvent(event, CalSpan::ThisEvent).ok());
    }
}

TEST_F(CalendarStoreRoadTest, ASeriesIsSentOnceWithItsExceptionsAndItsDetachedOccurrenceApart)
{
    const ScopedEnvironment zone("TZ", "UTC");
    const QDate monday = QDate::currentDate().addDays(14 - QDate::currentDate().dayOfWeek() + 1);
    const auto rule =
        CalRecurrenceRule::initWeeklyRecurrenceWithInterval(1, CalRecurrenceEnd::recurrenceEndWithOccurrenceCount(4));
    const auto series = saveEvent(QStringLiteral("Standup"), localAt(monday, 9), localAt(monday, 10), rule);
    auto occurrences = m_store.eventsWithPredicate(
        CalCalendarStore::eventPredicateWithStartDate(localAt(monday, 0), localAt(monday.addDays(40), 0), {}));
    ASSERT_EQ(occurrences.size(), 4);
    ASSERT_TRUE(m_store.removeEvent(occurrences[1], CalSpan::ThisEvent).ok());
    occurrences[2]->setTitle(QStringLiteral("Standup moved"));
    occurrences[2]->setStartDate(localAt(monday.addDays(14), 11));
    occurrences[2]->setEndDate(localAt(monday.addDays(14), 12));
    ASSERT_TRUE(m_store.saveEvent(occurrences[2], CalSpan::ThisEvent).ok());

    const QList<HMSyncRecord> records = list(QDateTime());
    ASSERT_EQ(describe(records), (QStringList{"send new Standup", "send new Standup moved"}));
    const QVariantMap fields = records[0].dictionary();
    EXPECT_EQ(records[0].nativeId(), series->uid());
    EXPECT_EQ(fields.value("OCCURS"), QVariant("4"));
    EXPECT_EQ(
        fields.value("NSARRAYEXCEPTIONS").toList(),
        (QVariantList{localAt(monday.addDays(7), 9), localAt(monday.addDays(14), 9), localAt(monday.addDays(28), 9)}));
    EXPECT_EQ(records[1].nativeId(),
              series->uid() + QStringLiteral("+%1+11:00:00").arg(monday.addDays(14).toString("yyyyMMdd")));
    EXPECT_EQ(records[1].dictionary().value("PARENTID"), QVariant(series->uid()));
    EXPECT_EQ(m_data->recordsAddedToDevice(), (QStringList{records[0].hmxUid(), records[1].hmxUid()}));
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 2);

    const QDateTime lastSync = QDateTime::currentDateTimeUtc().addSecs(60);
    EXPECT_EQ(describe(list(lastSync)), QStringList{}) << "nothing changed since the last sync";
    EXPECT_EQ(describe(list(QDateTime(), true, {records[0].hmxUid(), records[1].hmxUid()})), QStringList{})
        << "both were changed by the device in this run";
    EXPECT_EQ(describe(list(QDateTime())), (QStringList{"send Standup", "send Standup moved"}));

    ASSERT_TRUE(m_store.removeEvent(series, CalSpan::AllEvents).ok());
    EXPECT_EQ(describe(list(lastSync)), (QStringList{"delete ", "delete "}));
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

TEST_F(CalendarStoreRoadTest, ApplyingCreatesUpdatesAndSettlesConflicts)
{
    const FlagsGuard guard;
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QDate day = QDate::currentDate().addDays(10);
    const QVariantMap record{{"UID", "D1"},
                             {"SUBJECT", "Review"},
                             {"LOCATION", "Room 4"},
                             {"NOTE", "bring the & list"},
                             {"NSARRAYCATEGORIES", QVariantList{"Work"}},
                             {"TYPENUMBER", false},
                             {"NSDATESTARTDATE", localAt(day, 14)},
                             {"NSDATEENDDATE", localAt(day, 15)},
                             {"NSNUMBERALARMTIME", 30},
                             {"LASTMODIFIED", "2020-01-01 10:00:00"}};
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 3);
    const QString nativeId = m_graph->nativeIdForHarrowmereUid("D1");
    const auto event = m_store.eventWithUID(nativeId, QDateTime());
    ASSERT_TRUE(event);
    EXPECT_EQ(event->location(), QStringLiteral("Room 4"));
    EXPECT_EQ(event->nextAlarmDate(), localAt(day, 13, 30));
    EXPECT_EQ(itemFiles(m_folder), QStringList{nativeId + QStringLiteral(".ics")});

    // The Mac changed the event after the last sync: a conflict, decided by the setting.
    m_graph->setLastSyncDate(event->dateStamp().addSecs(-10));
    QVariantMap changed = record;
    changed.insert("SUBJECT", "Review moved");
    struct Row
    {
        const char *name;
        quint64 setting;
        const char *deviceTime;
        qint64 result;
        int files;
    };
    const QString sameTime = event->dateStamp().toTimeZone(QTimeZone::systemTimeZone()).toString("yyyy-MM-dd HH:mm:ss");
    const Row rows[] = {{"Mac newer, last modified wins", 0, "2020-01-01 10:00:00", 1, 1},
                        {"Apple always wins", 1, "2030-01-01 10:00:00", 1, 1},
                        {"duplicate", 3, "2030-01-01 10:00:00", 3, 2}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        changed.insert("LASTMODIFIED", row.deviceTime);
        EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, row.setting, changed, 0), row.result);
        EXPECT_EQ(itemFiles(m_folder).size(), row.files);
    }
    EXPECT_EQ(m_graph->nativeIdForHarrowmereUid("D1"), nativeId) << "the record stays tied to the first event";
    changed.insert("LASTMODIFIED", sameTime);
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 0, changed, 0), 2) << "equal times keep the device's change";
    EXPECT_EQ(m_store.eventWithUID(nativeId, QDateTime())->title(), QStringLiteral("Review moved"));
}

TEST_F(CalendarStoreRoadTest, RecordsItCannotTakeAreRefusedAndLeaveNoDictionary)
{
    const FlagsGuard guard;
    const QDate day = QDate::currentDate().addDays(3);
    const QVariantMap record{{"UID", "R1"},
                             {"SUBJECT", "Nowhere"},
                             {"NSDATESTARTDATE", localAt(day, 9)},
                             {"NSDATEENDDATE", localAt(day, 10)},
                             {"LASTMODIFIED", "2020-01-01 10:00:00"}};
    EXPECT_EQ(newRun(QStringLiteral("holidays")).calendarStoreCommandAction(1, 1, 0, record, 0), 1)
        << "a read-only calendar refuses the new event";
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("R1"));
    EXPECT_EQ(newRun(QStringLiteral("gone")).calendarStoreCommandAction(1, 1, 0, record, 0), 1)
        << "no calendar to write to";
    EXPECT_FALSE(m_graph->dictionaryForHarrowmereUid("R1"));

    QVariantMap exception = record;
    exception.insert("PARENTID", "series");
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, exception, 0), 0);
    QVariantMap noUid = record;
    noUid.remove("UID");
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, noUid, 0), 0);
    GlobalVariables::setunwritableCalendar(true);
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 0);
    EXPECT_TRUE(itemFiles(m_folder).isEmpty());
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

TEST_F(CalendarStoreRoadTest, ADeviceSeriesLandsWithoutItsExceptionsAndMovesWhole)
{
    const ScopedEnvironment zone("TZ", "America/Los_Angeles");
    const QDate monday = QDate::currentDate().addDays(14 - QDate::currentDate().dayOfWeek() + 1);
    QVariantMap record{{"UID", "S1"},
                       {"SUBJECT", "Swim"},
                       {"NSDATESTARTDATE", localAt(monday, 7)},
                       {"NSDATEENDDATE", localAt(monday, 8)},
                       {"REPEAT", "2"},
                       {"INTERVAL", "1"},
                       {"DAYMASK", "42"},
                       {"NSDATEREPEATEND", localAt(monday.addDays(14), 0)},
                       {"NSARRAYEXCEPTIONS", QVariantList{localAt(monday.addDays(2), 7)}},
                       {"LASTMODIFIED", "2020-01-01 10:00:00"}};
    ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, record, 0), 3);
    const QString uid = m_graph->nativeIdForHarrowmereUid("S1");
    auto starts = [&] {
        QList<QDateTime> result;
        for (const auto &event : m_store.eventsWithPredicate(CalCalendarStore::eventPredicateWithStartDate(
                 localAt(monday, 0), localAt(monday.addDays(30), 0), uid, {})))
            result.append(event->startDate());
        return result;
    };
    EXPECT_EQ(starts(), (QList<QDateTime>{localAt(monday, 7), localAt(monday.addDays(4), 7),
                                          localAt(monday.addDays(7), 7), localAt(monday.addDays(9), 7),
                                          localAt(monday.addDays(11), 7), localAt(monday.addDays(14), 7)}))
        << "the series keeps the occurrence on its last day";

    // The first occurrence is gone on the Mac; the device moves the series an hour later.
    auto first = m_store.eventWithUID(uid, localAt(monday, 7));
    ASSERT_TRUE(first);
    ASSERT_TRUE(m_store.removeEvent(first, CalSpan::ThisEvent).ok());
    record.insert("NSDATESTARTDATE", localAt(monday, 8));
    record.insert("NSDATEENDDATE", localAt(monday, 9));
    record.insert("NSARRAYEXCEPTIONS", QVariantList{});
    EXPECT_EQ(newRun().calendarStoreCommandAction(2, 1, 0, record, 0), 2);
    const QList<QDateTime> moved = starts();
    ASSERT_FALSE(moved.isEmpty());
    EXPECT_EQ(moved.first(), localAt(monday, 8)) << "the series starts where the record says, not a week off";
    for (const QDateTime &start : moved)
        EXPECT_EQ(start.toTimeZone(QTimeZone::systemTimeZone()).time(), QTime(8, 0));

    newRun().deleteCalendarStoreUidRecords({QStringLiteral("S1")});
    EXPECT_TRUE(itemFiles(m_folder).isEmpty()) << "the whole series goes";
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
}

// Events applied from the device are saved after the start of the sync that applied them; the next
// listings still send none of them back, until another program changes one. Table of a single event,
// an all-day event and a series with a removed occurrence.
TEST_F(CalendarStoreRoadTest, EventsFromTheDeviceAreNotSentBackUntilTheyChange)
{
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QDate monday = QDate::currentDate().addDays(14 - QDate::currentDate().dayOfWeek() + 1);
    const QList<QVariantMap> records{
        deviceEvent("D1", "Dentist", localAt(monday.addDays(1), 14), localAt(monday.addDays(1), 15)),
        deviceEvent("H1", "Holiday", QDateTime(monday.addDays(2), QTime(12, 0), QTimeZone::utc()),
                    QDateTime(monday.addDays(3), QTime(12, 0), QTimeZone::utc()), {{"TYPENUMBER", true}}),
        deviceEvent("S1", "Swim", localAt(monday, 7), localAt(monday, 8),
                    {{"REPEAT", "2"},
                     {"INTERVAL", "1"},
                     {"DAYMASK", "10"},
                     {"NSDATEREPEATEND", localAt(monday.addDays(14), 0)},
                     {"NSARRAYEXCEPTIONS", QVariantList{localAt(monday.addDays(2), 7)}}}),
    };
    const QDateTime syncStart = QDateTime::currentDateTimeUtc().addSecs(-5);
    for (const QVariantMap &device : records)
        ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, device, 0), 3)
            << device.value("SUBJECT").toString().toStdString();
    EXPECT_TRUE(list(syncStart).isEmpty());
    EXPECT_TRUE(list(syncStart).isEmpty()) << "a second quiet listing";

    for (const char *uid : {"D1", "H1", "S1"}) {
        SCOPED_TRACE(uid);
        const auto event = m_store.eventWithUID(m_graph->nativeIdForHarrowmereUid(uid), QDateTime());
        ASSERT_TRUE(event);
        event->setLocation(QStringLiteral("Room 4"));
        ASSERT_TRUE(m_store.saveEvent(event, CalSpan::AllEvents).ok());
        const QList<HMSyncRecord> sent = list(syncStart);
        ASSERT_EQ(sent.size(), 1);
        EXPECT_EQ(sent.first().hmxUid(), QLatin1String(uid));
        EXPECT_EQ(sent.first().dictionary().value("LOCATION"), QStringLiteral("Room 4"));
        EXPECT_TRUE(list(syncStart).isEmpty()) << "what was sent is not sent twice";
    }
    EXPECT_EQ(list(QDateTime()).size(), 3) << "a full reread sends them all";
}

// A run killed after it wrote a device record's event, before its identifier graph was saved: the
// device sends the record again and the event is written again, not doubled. An event of the same
// title and time that an identifier dictionary already claims is not taken.
TEST_F(CalendarStoreRoadTest, ARecordSentAgainAfterAKilledRunFindsItsEvent)
{
    const ScopedEnvironment zone("TZ", "America/Los_Angeles");
    const QDate day = QDate::currentDate().addDays(10);
    const QVariantMap dentist = deviceEvent("D1", "Dentist", localAt(day, 14), localAt(day, 15));
    const QVariantMap holiday =
        deviceEvent("H1", "Holiday", QDateTime(day, QTime(12, 0), QTimeZone::utc()),
                    QDateTime(day.addDays(1), QTime(12, 0), QTimeZone::utc()), {{"TYPENUMBER", true}});
    for (const QVariantMap &device : {dentist, holiday})
        ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, device, 0), 3);
    ASSERT_EQ(itemFiles(m_folder).size(), 2);

    // The graph of the killed run was never saved.
    m_graph = std::make_shared<HMIdentifierGraph>();
    for (const QVariantMap &device : {dentist, holiday})
        EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, device, 0), 2);
    EXPECT_EQ(itemFiles(m_folder).size(), 2);
    EXPECT_NE(m_graph->nativeIdForHarrowmereUid("D1"), m_graph->nativeIdForHarrowmereUid("H1"));

    // Another device record of the same title and time is an event of its own.
    QVariantMap second = dentist;
    second.insert("UID", "D2");
    EXPECT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, second, 0), 3);
    EXPECT_EQ(itemFiles(m_folder).size(), 3);
}

// A graph holding an event's dictionary twice (a copy left by an earlier fault) still finds the
// event: only the dictionary whose event is gone becomes a deletion for the device.
TEST_F(CalendarStoreRoadTest, OnlyDictionariesWhoseEventsAreGoneBecomeDeletions)
{
    const ScopedEnvironment zone("TZ", "Europe/Berlin");
    const QDate day = QDate::currentDate().addDays(5);
    const QDateTime syncStart = QDateTime::currentDateTimeUtc().addSecs(-5);
    for (const char *uid : {"K1", "K2"})
        ASSERT_EQ(newRun().calendarStoreCommandAction(1, 1, 0, deviceEvent(uid, uid, localAt(day, 9), localAt(day, 10)), 0),
                  3);
    const std::optional<QVariantMap> kept = m_graph->dictionaryForHarrowmereUid(QStringLiteral("K1"));
    ASSERT_TRUE(kept);
    m_graph->appendDictionary(*kept);
    const auto gone = m_store.eventWithUID(m_graph->nativeIdForHarrowmereUid(QStringLiteral("K2")), QDateTime());
    ASSERT_TRUE(gone);
    ASSERT_TRUE(m_store.removeEvent(gone, CalSpan::ThisEvent).ok());

    const QList<HMSyncRecord> sent = list(syncStart);
    ASSERT_EQ(sent.size(), 1);
    EXPECT_TRUE(sent.first().isDelete());
    EXPECT_EQ(sent.first().hmxUid(), QStringLiteral("K2"));
    EXPECT_TRUE(m_graph->dictionaryForHarrowmereUid(QStringLiteral("K1")));
}
