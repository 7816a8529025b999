// Which folders the desktop apps' defaults pick for events and for tasks, on folders khal and todoman
// wrote: the main settings' default lists (on either listing road) and the calendars chosen before a
// sync. Each folder goes under its kind only; an empty one under both; the other programs' files stay.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "app/stores/HMSyncRegistration.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

using namespace eventkittest;

namespace {

QStringList identifiersOf(const QVariantList &dictionaries)
{
    QStringList identifiers;
    for (const QVariant &entry : dictionaries)
        identifiers.append(entry.toMap().value(QStringLiteral("nativeCategoryIdentifier")).toString());
    identifiers.sort();
    return identifiers;
}

} // namespace

class CalendarChoiceTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        makeKhalAndTodomanFolders();
        m_itemsBefore = storedItems();
    }

    void TearDown() override
    {
        GlobalVariables::setIsOutlookSync(false);
        GlobalVariables::setIsTaskTabView(false);
        EXPECT_EQ(storedItems(), m_itemsBefore) << "the other programs' files changed";
        CalendarFolderTest::TearDown();
    }

    // Every item file under the root with its bytes.
    QStringList storedItems() const
    {
        QStringList items;
        for (const QString &folder : {QStringLiteral("work"), QStringLiteral("errands"), QStringLiteral("empty")}) {
            const QString path = root() + QLatin1Char('/') + folder;
            for (const QString &name : itemFiles(path))
                items.append(folder + QLatin1Char(' ') + QString::fromUtf8(readAll(path + QLatin1Char('/') + name)));
        }
        return items;
    }

    // The main settings' default lists for the desktop apps: calendars, then reminder lists.
    static std::pair<QStringList, QStringList> defaultLists()
    {
        GlobalVariables::setIsTaskTabView(false);
        HMCalendarData calendarData(1);
        const QStringList calendars = identifiersOf(calendarData.nativeCategoryDictionariesForNewRecordSetting());
        GlobalVariables::setIsTaskTabView(true);
        HMTaskData taskData;
        const QStringList lists = identifiersOf(taskData.nativeCategoryDictionariesForNewRecordSetting());
        GlobalVariables::setIsTaskTabView(false);
        return {calendars, lists};
    }

    QStringList m_itemsBefore;
};

TEST_F(CalendarChoiceTest, DefaultListsKeepEachFolderToItsKindOnBothRoads)
{
    makeCalendarFolder(QStringLiteral("empty"), QStringLiteral("Empty"));
    for (const bool afterOutlookSync : {false, true}) {
        SCOPED_TRACE(afterOutlookSync ? "calendar store listing" : "event store listing");
        GlobalVariables::setIsOutlookSync(afterOutlookSync);
        const auto [calendars, lists] = defaultLists();
        EXPECT_EQ(calendars, (QStringList{"empty", "work"}));
        EXPECT_EQ(lists, (QStringList{"empty", "errands"}));
        // Listed again at once, the test items tried on each folder leave no trace in the kinds.
        EXPECT_EQ(defaultLists(), std::pair(calendars, lists));
    }
}

TEST_F(CalendarChoiceTest, CalendarsChosenBeforeASyncAreOfTheirKind)
{
    HMProfile fresh;
    EXPECT_TRUE(HMSyncRegistration::chooseCalendars(fresh));
    EXPECT_EQ(fresh.eventCalendarIdentifierToWriteTo(), QStringLiteral("work"));
    EXPECT_EQ(fresh.eventCalendarIdentifiersToSync(), QStringList{"work"});
    EXPECT_EQ(fresh.taskCalendarIdentifierToWriteTo(), QStringLiteral("errands"));
    EXPECT_EQ(fresh.taskCalendarIdentifiersToSync(), QStringList{"errands"});

    // Targets crossed over, as a listing that mixed the kinds left them, are mended; right ones stay.
    HMProfile crossed;
    crossed.setEventCalendarIdentifierToWriteTo(QStringLiteral("errands"));
    crossed.setEventCalendarIdentifiersToSync({QStringLiteral("errands")});
    crossed.setTaskCalendarIdentifierToWriteTo(QStringLiteral("work"));
    crossed.setTaskCalendarIdentifiersToSync({QStringLiteral("work")});
    EXPECT_TRUE(HMSyncRegistration::chooseCalendars(crossed));
    EXPECT_EQ(crossed.eventCalendarIdentifierToWriteTo(), QStringLiteral("work"));
    EXPECT_EQ(crossed.taskCalendarIdentifierToWriteTo(), QStringLiteral("errands"));
    EXPECT_FALSE(HMSyncRegistration::chooseCalendars(crossed));
}
