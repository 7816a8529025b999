// The calendar data source over real calendar folders: native categories and probes, opening the
// store, calendars by title, and the removal of events the device deleted.
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/QtPrinters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/FakeProgressSheet.h"
#include "sync/HMIdentifierGraph.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace platform;
using eventkittest::at;

namespace {

// A data source that is no calendar or task data source lists and probes for nothing.
class OtherCalendarData final : public HMBaseCalendarData
{
};

// Restores the process-wide sync flags a test changes.
class FlagsGuard final
{
public:
    ~FlagsGuard()
    {
        GlobalVariables::setIsOutlookSync(false);
        GlobalVariables::setIsContactManagerApple(false);
        GlobalVariables::setCurrentSyncProgressController(nullptr);
        UserDefaults::standardUserDefaults().removeObjectForKey(QStringLiteral("DateRangeDaysBack"));
    }
};

QVariantMap category(const char *identifier, const char *title)
{
    return {
        {"nativeCategoryIdentifier", identifier}, {"nativeCategoryTitle", title}, {"nativeCategoryReadOnly", false}};
}

} // namespace

class HMCalendarDataTest : public eventkittest::CalendarFolderTest
{
protected:
    int itemFilesEverywhere() const
    {
        int count = 0;
        for (const QString &name : QDir(root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            count += int(itemFiles(root() + QLatin1Char('/') + name).size());
        return count;
    }
};

TEST_F(HMCalendarDataTest, CategoriesAreTheCalendarsThatTakeEventsOnBothRoads)
{
    const FlagsGuard guard;
    makeWorkHolidaysAndBirthdays();
    HMCalendarData data(1);
    const QVariantList expected{category("work", "Work (Local)")};
    EXPECT_EQ(data.eventKitNativeCategoryDictionariesForCategorySetting(), expected);
    GlobalVariables::setIsOutlookSync(true); // the CalendarStore road, whatever the version
    EXPECT_EQ(data.nativeCategoryDictionariesForCategorySetting(), expected);
    EXPECT_EQ(data.nativeCategoryDictionariesForNewRecordSetting(), expected);
    GlobalVariables::setIsOutlookSync(false);
    EXPECT_EQ(data.nativeCategoryDictionariesForNewRecordSetting(), expected);
    EXPECT_EQ(OtherCalendarData().nativeCategoryDictionariesForCategorySetting(), QVariantList());
    EXPECT_EQ(itemFilesEverywhere(), 0) << "a probe left its test item behind";
}

TEST_F(HMCalendarDataTest, AnEmptyStoreHasNoCategories)
{
    const FlagsGuard guard;
    HMCalendarData data(1);
    EXPECT_EQ(data.eventKitNativeCategoryDictionariesForCategorySetting(), QVariantList());
    GlobalVariables::setIsOutlookSync(true);
    EXPECT_EQ(data.nativeCategoryDictionariesForCategorySetting(), QVariantList());
}

TEST_F(HMCalendarDataTest, PreparingReadsTheDaysBackAndProbesTheCalendarToWriteTo)
{
    const FlagsGuard guard;
    makeWorkHolidaysAndBirthdays();
    struct Row
    {
        const char *name;
        QVariant daysBack;
        qint64 expectedDays;
        const char *writeTo;
        bool unwritable;
    };
    const Row rows[] = {{"no default", QVariant(), 90, "work", false},
                        {"thirty", QStringLiteral("30"), 30, "holidays", true},
                        {"no number", QStringLiteral("many"), 0, "gone", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        UserDefaults::standardUserDefaults().setObject(row.daysBack, QStringLiteral("DateRangeDaysBack"));
        HMCalendarData data;
        data.setCategoryIdentifierToWriteTo(QString::fromLatin1(row.writeTo));
        data.setCategoryIdentifiersToSync({QStringLiteral("work")});
        // Both flags start at the other answer, so the wait below sees this row's probe, not an
        // answer left by the row before.
        GlobalVariables::setunwritableCalendar(!row.unwritable);
        GlobalVariables::setunwritableEKCalendar(!row.unwritable);
        GlobalVariables::setIsContactManagerApple(true);
        data.prepareForUseOnThread();
        EXPECT_EQ(data.dateRangeDaysBack(), row.expectedDays);
        if (HMBaseCalendarData::isEventKitSystem()) {
            // Only the task data source probes its reminders list; the events calendar is not one.
            GlobalVariables::setunwritableEKCalendar(!row.unwritable);
            DispatchQueue::runMainQueueUntilEmpty();
            EXPECT_EQ(GlobalVariables::getunwritableEKCalendar(), !row.unwritable);
            HMTaskData tasks;
            tasks.setCategoryIdentifierToWriteTo(QString::fromLatin1(row.writeTo));
            tasks.prepareForUseOnThread();
            EXPECT_TRUE(DispatchQueue::runMainQueueUntil(
                [&] { return GlobalVariables::getunwritableEKCalendar() == row.unwritable; },
                std::chrono::seconds(10)));
        } else {
            EXPECT_EQ(GlobalVariables::getunwritableCalendar(), row.unwritable);
            EXPECT_EQ(data.calendarsToRead().size(), 1);
        }
        data.saveChanges();
        data.stopUsingOnThread();
        EXPECT_FALSE(data.calendarStoreIfOpen());
    }
    EXPECT_EQ(itemFilesEverywhere(), 0);
}

TEST_F(HMCalendarDataTest, CalendarsByTitleAreFoundOrMadeOnRequest)
{
    const FlagsGuard guard;
    makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    makeCalendarFolder(QStringLiteral("work2"), QStringLiteral("Work"));
    HMCalendarData data;
    data.setCategoryIdentifiersToSync({QStringLiteral("work"), QStringLiteral("work2")});
    ASSERT_TRUE(data.calendarStore());
    EXPECT_EQ(data.calendarWithName(QStringLiteral("Work"), false)->uid(), QStringLiteral("work2"));
    EXPECT_FALSE(data.calendarWithName(QStringLiteral("Errands"), false));
    EXPECT_EQ(QDir(root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);

    const auto made = data.calendarWithName(QStringLiteral("Errands"), true);
    ASSERT_TRUE(made);
    EXPECT_EQ(data.categoryIdentifiersToSync().last(), made->uid());
    EXPECT_EQ(data.calendarWithName(QStringLiteral("Errands"), false), made);
    EXPECT_EQ(CalCalendarStore().calendarWithUID(made->uid())->title(), QStringLiteral("Errands"));
}

TEST_F(HMCalendarDataTest, DeletingRemovesSeriesWholeAndSingleEventsAlone)
{
    const FlagsGuard guard;
    const QString folder = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
    auto store = eventStore();
    auto series = EKEvent::eventWithEventStore(store);
    series->setTitle(QStringLiteral("Weekly"));
    series->setStartDate(at("2026-03-02 09:00"));
    series->setEndDate(at("2026-03-02 10:00"));
    series->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Weekly, 1, {}, {}, {}, {}, {}, {}, std::nullopt));
    ASSERT_TRUE(store->saveEvent(series, EKSpan::FutureEvents, true).ok());
    auto single = EKEvent::eventWithEventStore(store);
    single->setTitle(QStringLiteral("Once"));
    single->setStartDate(at("2026-03-03 09:00"));
    ASSERT_TRUE(store->saveEvent(single, EKSpan::ThisEvent, true).ok());
    auto kept = EKEvent::eventWithEventStore(store);
    kept->setTitle(QStringLiteral("Kept"));
    kept->setStartDate(at("2026-03-04 09:00"));
    ASSERT_TRUE(store->saveEvent(kept, EKSpan::ThisEvent, true).ok());

    auto graph = std::make_shared<HMIdentifierGraph>();
    graph->setIdentifierDictionaries({{{"hmUid", "A"}, {"nativeId", series->eventIdentifier()}},
                                       {{"hmUid", "B"}, {"nativeId", single->eventIdentifier()}},
                                       {{"hmUid", "D"}, {"nativeId", "no-such-event"}},
                                       {{"hmUid", "K"}, {"nativeId", kept->eventIdentifier()}}});
    auto sheet = std::make_shared<FakeProgressSheet>();
    GlobalVariables::setCurrentSyncProgressController(sheet);
    HMCalendarData data;
    data.setIdentifierGraph(graph);
    data.deleteUidRecords({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D")});

    EXPECT_EQ(itemFiles(folder), QStringList{kept->eventIdentifier() + QStringLiteral(".ics")});
    ASSERT_EQ(graph->identifierDictionaries().size(), 1);
    EXPECT_EQ(graph->identifierDictionaries().first().value(QStringLiteral("hmUid")), QVariant("K"));
    const QString word = HMBaseCalendarData::isEventKitSystem() ? QStringLiteral("Apple") : QStringLiteral("Calendar");
    EXPECT_EQ(sheet->userMessages(), (QStringList{QStringLiteral("Deleting 1 of 4 %1 Events.").arg(word),
                                                  QStringLiteral("Deleting 2 of 4 %1 Events.").arg(word),
                                                  QStringLiteral("Deleting 3 of 4 %1 Events.").arg(word),
                                                  QStringLiteral("Deleting 4 of 4 %1 Events.").arg(word)}));

    GlobalVariables::setIsOutlookSync(true);
    data.deleteUidRecords({QStringLiteral("K")});
    EXPECT_EQ(itemFiles(folder).size(), 1) << "an Outlook profile deletes nothing from the Apple calendar";
    EXPECT_EQ(graph->identifierDictionaries().size(), 1);
}
