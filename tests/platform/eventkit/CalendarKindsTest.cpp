// Which folders the store lists as calendars and which as reminder lists, for folders khal and
// todoman wrote, and what a save of the other kind into one of them does.
#include "platform/eventkit/support/CalendarFolderFixture.h"
#include "foundation/QtPrinters.h"

#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/EKEventStore.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace eventkittest;

namespace {

QStringList titlesOf(const QList<std::shared_ptr<EKCalendar>> &calendars)
{
    QStringList titles;
    for (const auto &calendar : calendars)
        titles.append(calendar->title());
    titles.sort();
    return titles;
}

} // namespace

class CalendarKindsTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        makeKhalAndTodomanFolders();
        m_work = root() + QStringLiteral("/work");
        m_errands = root() + QStringLiteral("/errands");
    }

    QString m_work;
    QString m_errands;
};

TEST_F(CalendarKindsTest, EachFolderIsListedUnderItsKindOnly)
{
    makeCalendarFolder(QStringLiteral("empty"), QStringLiteral("Empty"));
    auto store = eventStore();
    EXPECT_EQ(titlesOf(store->calendarsForEntityType(EKEntityType::Event)), (QStringList{"Empty", "Work"}));
    EXPECT_EQ(titlesOf(store->calendarsForEntityType(EKEntityType::Reminder)), (QStringList{"Empty", "Errands"}));
}

// The older store's listings by kind follow the same folders; its whole listing still holds each
// folder once, and a save of either kind into any of them still succeeds there (its calendars held
// both), leaving the other program's files as they were.
TEST_F(CalendarKindsTest, TheOlderStoresListingsByKindFollowTheFolders)
{
    makeCalendarFolder(QStringLiteral("empty"), QStringLiteral("Empty"));
    const QByteArray khalBytes = readAll(m_work + QLatin1Char('/') + itemFiles(m_work).constFirst());
    const QByteArray todoBytes = readAll(m_errands + QLatin1Char('/') + itemFiles(m_errands).constFirst());
    auto store = std::make_shared<CalCalendarStore>();
    const auto titles = [](const QList<std::shared_ptr<CalCalendar>> &calendars) {
        QStringList result;
        for (const auto &calendar : calendars)
            result.append(calendar->title());
        result.sort();
        return result;
    };
    EXPECT_EQ(titles(store->calendarsTaking(EKEntityType::Event)), (QStringList{"Empty", "Work"}));
    EXPECT_EQ(titles(store->calendarsTaking(EKEntityType::Reminder)), (QStringList{"Empty", "Errands"}));
    EXPECT_EQ(titles(store->calendars()), (QStringList{"Empty", "Errands", "Work"}));

    auto task = CalTask::task();
    task->setCalendar(store->calendarWithUID(QStringLiteral("work")));
    task->setTitle(QStringLiteral("Mixed"));
    ASSERT_TRUE(store->saveTask(task).ok());
    EXPECT_EQ(titles(store->calendarsTaking(EKEntityType::Reminder)), (QStringList{"Empty", "Errands", "Work"}));
    ASSERT_TRUE(store->removeTask(task).ok());
    EXPECT_EQ(titles(store->calendarsTaking(EKEntityType::Reminder)), (QStringList{"Empty", "Errands"}));
    EXPECT_EQ(readAll(m_work + QLatin1Char('/') + itemFiles(m_work).constFirst()), khalBytes);
    EXPECT_EQ(readAll(m_errands + QLatin1Char('/') + itemFiles(m_errands).constFirst()), todoBytes);
}
