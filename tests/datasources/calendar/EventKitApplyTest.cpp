// Applying device records to EventKit events over real calendar folders: adds, updates, conflicts,
// duplicates, recurrence, exceptions and the records that must not be applied.
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "support/TestSupport.h"
#include "sync/HMIdentifierGraph.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/inotify.h>

using namespace platform;
using eventkittest::at;

class EventKitApplyTest : public eventkittest::CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        makeCalendarFolder(QStringLiteral("holidays"), QStringLiteral("Holidays"), true);
        HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({QStringLiteral("work")});
        m_data.setIdentifierGraph(m_graph);
        m_data.setCategoryIdentifierToWriteTo(QStringLiteral("work"));
        GlobalVariables::setunwritableCalendar(false);
    }
    void TearDown() override
    {
        GlobalVariables::setunwritableCalendar(false);
        CalendarFolderTest::TearDown();
    }

    QVariantMap record(const QString &uid, const QString &subject, const QDateTime &start) const
    {
        return {{"UID", uid},
                {"SUBJECT", subject},
                {"NOTE", "first line\nsecond & last"},
                {"TYPENUMBER", "0"},
                {"NSDATESTARTDATE", start},
                {"NSDATEENDDATE", start.addSecs(3600)},
                {"NSNUMBERALARMTIME", "15"},
                {"LASTMODIFIED", QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss")}};
    }
    qint64 apply(const QVariantMap &fields, quint64 conflictSetting = 0)
    {
        return m_data.EKCommandAction(1, 1, conflictSetting, fields, 0);
    }
    std::shared_ptr<EKEvent> eventOf(const QString &uid)
    {
        const auto identifier = m_graph->dictionaryForHarrowmereUid(uid);
        return identifier ? eventStore()->eventWithIdentifier(identifier->value("nativeId").toString()) : nullptr;
    }
    QByteArray fileOf(const std::shared_ptr<EKEvent> &event) const
    {
        QFile file(m_folder + QLatin1Char('/') + event->eventIdentifier() + QStringLiteral(".ics"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString m_folder;
    std::shared_ptr<HMIdentifierGraph> m_graph = std::make_shared<HMIdentifierGraph>();
    HMCalendarData m_data;
    const QDateTime m_start = QDateTime(QDate::currentDate().addDays(10), QTime(9, 0), QTimeZone::utc());
};

TEST_F(EventKitApplyTest, AddsThenUpdatesTheSameEvent)
{
    ASSERT_EQ(apply(record("A", "Dentist", m_start)), 3);
    auto event = eventOf("A");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->title(), QStringLiteral("Dentist"));
    EXPECT_EQ(event->notes(), QStringLiteral("first line\nsecond & last"));
    EXPECT_EQ(event->startDate(), m_start);
    EXPECT_EQ(event->alarms(), QList<EKAlarm>{EKAlarm::alarmWithRelativeOffset(-900)});
    EXPECT_EQ(event->calendar()->calendarIdentifier(), QStringLiteral("work"));

    ASSERT_EQ(apply(record("A", "Dentist at 10", m_start.addSecs(3600))), 2);
    EXPECT_EQ(itemFiles(m_folder).size(), 1);
    EXPECT_EQ(eventOf("A")->title(), QStringLiteral("Dentist at 10"));
    EXPECT_EQ(m_graph->identifierDictionaries().size(), 1);
}

TEST_F(EventKitApplyTest, RecordsThatMustNotBeAppliedChangeNothing)
{
    QVariantMap noDates = record("A", "x", m_start);
    noDates.remove("NSDATEENDDATE");
    EXPECT_EQ(apply(noDates), 1);
    QVariantMap noUid = record("", "x", m_start);
    EXPECT_EQ(apply(noUid), 0);
    const QDateTime rangeStart = m_data.dateRangeStartingDate();
    EXPECT_EQ(apply(record("B", "old", rangeStart.addSecs(-3601))), 1);
    GlobalVariables::setunwritableCalendar(true);
    EXPECT_EQ(apply(record("C", "x", m_start)), 0);
    GlobalVariables::setunwritableCalendar(false);
    EXPECT_TRUE(itemFiles(m_folder).isEmpty());
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());

    // A new event its calendar refuses is not applied and leaves no identifier dictionary, so the
    // next listing cannot mistake it for an event deleted on the Mac.
    m_data.setCategoryIdentifierToWriteTo(QStringLiteral("holidays"));
    EXPECT_EQ(apply(record("D", "Refused", m_start)), 1);
    EXPECT_TRUE(m_graph->identifierDictionaries().isEmpty());
    EXPECT_TRUE(itemFiles(root() + QStringLiteral("/holidays")).isEmpty());
}

TEST_F(EventKitApplyTest, ConflictsFollowTheSetting)
{
    struct Row
    {
        const char *name;
        quint64 setting;
        qint64 deviceSecondsAfterMac;
        qint64 result;
        int events;
        const char *title;
    };
    const Row rows[] = {{"later Mac change wins", 0, -120, 1, 1, "Mac"},
                        {"equal times let the device win", 0, 0, 2, 1, "Device"},
                        {"Mac always wins", 1, 600, 1, 1, "Mac"},
                        {"device wins", 2, -600, 2, 1, "Device"},
                        {"duplicate keeps both", 3, 600, 3, 2, "Mac"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        for (const QString &name : itemFiles(m_folder))
            QFile::remove(m_folder + QLatin1Char('/') + name);
        m_graph->clear();
        ASSERT_EQ(apply(record("A", "Mac", m_start)), 3);
        const QDateTime macChange = eventOf("A")->lastModifiedDate();
        m_graph->setLastSyncDate(macChange.addSecs(-60));
        QVariantMap fromDevice = record("A", "Device", m_start.addSecs(1800));
        fromDevice.insert("LASTMODIFIED",
                          macChange.addSecs(row.deviceSecondsAfterMac).toLocalTime().toString("yyyy-MM-dd HH:mm:ss"));
        EXPECT_EQ(apply(fromDevice, row.setting), row.result);
        EXPECT_EQ(itemFiles(m_folder).size(), row.events);
        EXPECT_EQ(eventOf("A")->title(), QString::fromLatin1(row.title));
    }
}

TEST_F(EventKitApplyTest, ADuplicateIsUpdatedInPlace)
{
    ASSERT_EQ(apply(record("A", "Lunch", m_start)), 3);
    QVariantMap same = record("B", "Lunch", m_start);
    same.insert("NOTE", "from the other phone");
    EXPECT_EQ(apply(same), 2);
    EXPECT_EQ(itemFiles(m_folder).size(), 1);
    EXPECT_EQ(eventOf("B")->eventIdentifier(), eventOf("A")->eventIdentifier());
    EXPECT_EQ(eventOf("B")->notes(), QStringLiteral("from the other phone"));
}

// A record whose title shares the title index's key with an event's is no duplicate of it; one with
// the event's own title and times is, whichever of the two came first.
TEST_F(EventKitApplyTest, ADuplicateHasTheSameTitleNotJustTheSameKey)
{
    const auto [first, second] = eventkittest::titlesSharingAnItemKey(QStringLiteral("Lunch "));
    ASSERT_FALSE(first.isEmpty());
    ASSERT_EQ(apply(record("A", first, m_start)), 3);
    EXPECT_EQ(apply(record("B", second, m_start)), 3) << "only the key is shared";
    EXPECT_EQ(itemFiles(m_folder).size(), 2);
    EXPECT_EQ(apply(record("C", second, m_start)), 2);
    EXPECT_EQ(apply(record("D", first, m_start)), 2);
    EXPECT_EQ(itemFiles(m_folder).size(), 2);
    EXPECT_EQ(eventOf("C")->eventIdentifier(), eventOf("B")->eventIdentifier());
    EXPECT_EQ(eventOf("D")->eventIdentifier(), eventOf("A")->eventIdentifier());
    EXPECT_EQ(eventOf("D")->title(), first);
}

// Records of a title many weekly series share are each compared with the files that may hold an event
// of that title starting and ending as the record does: no other file of the title is read, and a
// record that is an occurrence of one of the series still finds it.
TEST_F(EventKitApplyTest, ADuplicateTestReadsOnlyTheFilesThatMayHoldTheRecord)
{
    constexpr int kSeries = 40;
    constexpr int kRecords = 10;
    const QDate day = m_start.date();
    for (int k = 0; k < kSeries; ++k) {
        const QDateTime start(day, QTime(6, 0).addSecs(600 * k), QTimeZone::utc());
        const QByteArray properties = "DTSTART:" + start.toString("yyyyMMddTHHmmssZ").toLatin1() + "\r\nDTEND:" +
                                      start.addSecs(1800).toString("yyyyMMddTHHmmssZ").toLatin1() +
                                      "\r\nRRULE:FREQ=WEEKLY\r\nSUMMARY:Standup\r\n";
        const QByteArray uid = "standup-" + QByteArray::number(k);
        eventkittest::writeAsOtherProgram(m_folder + "/" + uid + ".ics",
                                          eventkittest::calendarText(eventkittest::eventItem(uid, properties)));
    }
    // The sync's first record looks at the folder, which describes every file.
    ASSERT_EQ(apply(record("first", "Other", m_start)), 3);
    // A parse reads its file: the calendar files opened for reading (and closed) from here on.
    testsupport::FolderNotices reads(m_folder, IN_CLOSE_NOWRITE, ".ics");
    for (int r = 0; r < kRecords; ++r)
        ASSERT_EQ(apply(record("R" + QString::number(r), "Standup", m_start.addDays(r).addSecs(7 * 3600 + 60 * r))), 3);
    EXPECT_LE(reads.count(), kRecords) << "at most a file read per record, not every series of its title";

    const QDateTime third(day, QTime(6, 30), QTimeZone::utc());
    QVariantMap occurrence = record("D", "Standup", third);
    occurrence.insert("NSDATEENDDATE", third.addSecs(1800));
    EXPECT_EQ(apply(occurrence), 2);
    EXPECT_EQ(eventOf("D")->eventIdentifier(), QStringLiteral("standup-3"));
    EXPECT_EQ(itemFiles(m_folder).size(), kSeries + kRecords + 1);
}

TEST_F(EventKitApplyTest, RecurringRecordsBecomeRulesWithTheirExceptionsRemoved)
{
    const QDate firstMonday = QDate::currentDate().addDays(8 - QDate::currentDate().dayOfWeek() + 7);
    const QDateTime start(firstMonday, QTime(9, 0), QTimeZone::utc());
    QVariantMap weekly = record("S", "Gym", start);
    weekly.insert("REPEAT", "2");
    weekly.insert("INTERVAL", "1");
    weekly.insert("DAYMASK", "42");
    weekly.insert("NSDATEREPEATEND", QDateTime(firstMonday.addDays(13), QTime(0, 0), QTimeZone::utc()));
    weekly.insert("NSARRAYEXCEPTIONS", QVariantList{start.addDays(2)});
    ASSERT_EQ(apply(weekly), 3);
    auto series = eventOf("S");
    ASSERT_TRUE(series);
    ASSERT_EQ(series->recurrenceRules().size(), 1);
    const EKRecurrenceRule rule = series->recurrenceRules().first();
    EXPECT_EQ(rule.frequency(), EKRecurrenceFrequency::Weekly);
    EXPECT_EQ(rule.daysOfTheWeek(),
              (QList<EKRecurrenceDayOfWeek>{EKRecurrenceDayOfWeek::dayOfWeek(2), EKRecurrenceDayOfWeek::dayOfWeek(4),
                                            EKRecurrenceDayOfWeek::dayOfWeek(6)}));
    // The series ends on the last second of its last day, as on the other road.
    EXPECT_EQ(rule.recurrenceEnd()->endDate(), QDateTime(firstMonday.addDays(13), QTime(23, 59, 59), QTimeZone::utc()));
    QStringList days;
    auto store = eventStore();
    for (const auto &event :
         store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(30), {})))
        days.append(QString::number(start.date().daysTo(event->startDate().date())));
    EXPECT_EQ(days, (QStringList{"0", "4", "7", "9", "11"}));
    EXPECT_TRUE(fileOf(series).contains("RRULE:FREQ=WEEKLY;UNTIL="));
}

// Two changes of one series in one run: each is written over the series as the one before it left
// it. Had the second compared itself with the series as it was before the first, the start the first
// moved would move once more.
TEST_F(EventKitApplyTest, TwoChangesOfOneSeriesEachStartFromTheSeriesAsItStandsNow)
{
    const QDateTime start(QDate::currentDate().addDays(4), QTime(9, 0), QTimeZone::utc());
    QVariantMap daily = record("S", "Swim", start);
    daily.insert("REPEAT", "1");
    daily.insert("INTERVAL", "1");
    daily.insert("NSDATEREPEATEND", QDateTime(start.date().addDays(9), QTime(0, 0), QTimeZone::utc()));
    ASSERT_EQ(apply(daily), 3);

    QVariantMap moved = daily;
    moved.insert("NSDATESTARTDATE", start.addSecs(3600));
    moved.insert("NSDATEENDDATE", start.addSecs(7200));
    ASSERT_EQ(apply(moved), 2);
    QVariantMap renamed = moved;
    renamed.insert("SUBJECT", "Swim, long");
    renamed.insert("NSARRAYEXCEPTIONS", QVariantList{start.addSecs(3600).addDays(3), start.addSecs(3600).addDays(5)});
    ASSERT_EQ(apply(renamed), 2);

    auto series = eventOf("S");
    ASSERT_TRUE(series);
    EXPECT_EQ(series->title(), QStringLiteral("Swim, long"));
    EXPECT_EQ(series->startDate(), start.addSecs(3600));
    EXPECT_EQ(series->endDate(), start.addSecs(7200));
    QStringList days;
    auto store = eventStore();
    for (const auto &event :
         store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(20), {}))) {
        EXPECT_EQ(event->startDate().time(), QTime(10, 0)) << event->startDate().toString(Qt::ISODate).toStdString();
        days.append(QString::number(start.date().daysTo(event->startDate().date())));
    }
    EXPECT_EQ(days, (QStringList{"0", "1", "2", "4", "6", "7", "8", "9"}));
    EXPECT_EQ(itemFiles(m_folder).size(), 1);
}

// The listing names a moved occurrence by its start as a GMT date; in a zone east of GMT an
// occurrence at 23:30 GMT falls on the next local day, and must still be the one replaced.
TEST_F(EventKitApplyTest, ADeviceChangedOccurrenceReplacesTheOneItNames)
{
    const eventkittest::ScopedEnvironment tokyo("TZ", "Asia/Tokyo");
    const QDateTime start(QDate::currentDate().addDays(10), QTime(23, 30), QTimeZone::utc());
    auto store = eventStore();
    auto series = EKEvent::eventWithEventStore(store);
    series->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
    series->setTitle(QStringLiteral("Late call"));
    series->setStartDate(start);
    series->setEndDate(start.addSecs(1800));
    series->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                                               EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(3)));
    ASSERT_TRUE(store->saveEvent(series, EKSpan::FutureEvents, true).ok());
    const QDateTime second = start.addDays(1);
    m_graph->appendDictionary(
        {{"hmUid", "X"}, {"nativeId", series->eventIdentifier() + "+" + second.toString("yyyyMMdd") + "+23:30:00"}});
    QVariantMap changed = record("X", "Late call, moved", second.addSecs(3600));
    changed.insert("PARENTID", series->eventIdentifier());
    EXPECT_EQ(apply(changed), 3);
    QStringList seen;
    for (const auto &event :
         store->eventsMatchingPredicate(store->predicateForEventsWithStartDate(start, start.addDays(5), {})))
        seen.append(event->startDate().toString("MM-dd HH:mm ") + event->title());
    EXPECT_EQ(seen, (QStringList{start.toString("MM-dd HH:mm ") + "Late call",
                                 second.addSecs(3600).toString("MM-dd HH:mm ") + "Late call, moved",
                                 start.addDays(2).toString("MM-dd HH:mm ") + "Late call"}));
}
