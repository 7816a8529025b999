// When the event store syncs what it wrote to disk: a save that commits syncs its folder at once;
// saves without commit, through any store of the process, wait for one commit that syncs every
// folder they wrote; a commit that fails keeps the folders for the next one.
#include "platform/eventkit/support/CalendarFolderFixture.h"

#include "platform/eventkit/EKEventStore.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace eventkittest;

namespace {

class EKEventStoreCommitTest : public CalendarFolderTest
{
protected:
    void SetUp() override
    {
        CalendarFolderTest::SetUp();
        m_work = makeCalendarFolder(QStringLiteral("work"), QStringLiteral("Work"));
        m_todo = makeCalendarFolder(QStringLiteral("todo"), QStringLiteral("Tasks"));
        // What earlier tests left unsynced is synced before this one counts.
        ASSERT_TRUE(EKEventStore::syncWrittenFolders().ok());
        EKEventStore::setDiskSyncHook([this](const QStringList &folders) {
            m_syncs.append(folders);
            return m_refusal ? Status(*m_refusal) : success();
        });
    }
    void TearDown() override
    {
        EKEventStore::setDiskSyncHook(nullptr);
        CalendarFolderTest::TearDown();
    }

    std::shared_ptr<EKEvent> newEvent(const std::shared_ptr<EKEventStore> &store, int index) const
    {
        auto event = EKEvent::eventWithEventStore(store);
        event->setCalendar(store->calendarWithIdentifier(QStringLiteral("work")));
        event->setTitle(QStringLiteral("Event %1").arg(index));
        event->setStartDate(at("2026-03-16 10:00").addSecs(index * 3600));
        event->setEndDate(at("2026-03-16 11:00").addSecs(index * 3600));
        return event;
    }

    std::shared_ptr<EKReminder> newReminder(const std::shared_ptr<EKEventStore> &store) const
    {
        auto reminder = std::make_shared<EKReminder>();
        reminder->setCalendar(store->calendarWithIdentifier(QStringLiteral("todo")));
        reminder->setTitle(QStringLiteral("Buy milk"));
        return reminder;
    }

    QString m_work;
    QString m_todo;
    QList<QStringList> m_syncs;
    std::optional<Error> m_refusal;
};

} // namespace

TEST_F(EKEventStoreCommitTest, SavesWithoutCommitWaitForOneSyncOfEveryFolderTheyWrote)
{
    const auto writer = eventStore();
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(writer->saveEvent(newEvent(writer, index), EKSpan::ThisEvent, true).ok());
    EXPECT_EQ(m_syncs, (QList<QStringList>(3, {m_work})));

    m_syncs.clear();
    std::shared_ptr<EKEvent> kept;
    for (int index = 3; index < 8; ++index) {
        kept = newEvent(writer, index);
        ASSERT_TRUE(writer->saveEvent(kept, EKSpan::ThisEvent, false).ok());
    }
    const auto remover = eventStore();
    ASSERT_TRUE(remover->removeEvent(remover->eventWithIdentifier(kept->eventIdentifier()), EKSpan::ThisEvent, false));
    ASSERT_TRUE(remover->saveReminder(newReminder(remover), false).ok());
    EXPECT_TRUE(m_syncs.isEmpty());
    EXPECT_EQ(itemFiles(m_work).size(), 7) << "a save without commit is on disk at once";

    // Another store's commit syncs them all, once; the next finds nothing left to sync.
    ASSERT_TRUE(eventStore()->commit().ok());
    EXPECT_EQ(m_syncs, (QList<QStringList>{QStringList{m_todo, m_work}}));
    ASSERT_TRUE(EKEventStore::syncWrittenFolders().ok());
    EXPECT_EQ(m_syncs.size(), 1);
}

TEST_F(EKEventStoreCommitTest, AFailedSyncFailsTheCommitAndKeepsTheFoldersForTheNext)
{
    const auto store = eventStore();
    ASSERT_TRUE(store->saveEvent(newEvent(store, 0), EKSpan::ThisEvent, false).ok());
    m_refusal = Error(ErrorCode::IoWriteFailed, QStringLiteral("the disk failed"));
    const Status failed = EKEventStore::syncWrittenFolders();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), QStringLiteral("the disk failed"));
    // A save that commits reports the failed sync too, after writing its file.
    const Status committed = store->saveEvent(newEvent(store, 1), EKSpan::ThisEvent, true);
    EXPECT_FALSE(committed.ok());
    EXPECT_EQ(itemFiles(m_work).size(), 2);

    m_refusal.reset();
    ASSERT_TRUE(store->commit().ok());
    EXPECT_EQ(m_syncs, (QList<QStringList>(3, {m_work})));
    ASSERT_TRUE(store->commit().ok());
    EXPECT_EQ(m_syncs.size(), 3);
}

// Occurrences of one series removed together are one write of its file and one sync: each is left
// out once (twice named or not), the others stay.
TEST_F(EKEventStoreCommitTest, OccurrencesRemovedTogetherAreOneWriteOfTheirSeries)
{
    const auto store = eventStore();
    auto series = newEvent(store, 0);
    series->addRecurrenceRule(EKRecurrenceRule(EKRecurrenceFrequency::Daily, 1, {}, {}, {}, {}, {}, {},
                                               EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(6)));
    ASSERT_TRUE(store->saveEvent(series, EKSpan::FutureEvents, true).ok());
    const EKPredicate window =
        store->predicateForEventsWithStartDate(at("2026-03-01 00:00"), at("2026-04-01 00:00"), {});
    const auto occurrences = store->eventsMatchingPredicate(window);
    ASSERT_EQ(occurrences.size(), 6);

    m_syncs.clear();
    ASSERT_TRUE(store->removeOccurrences({occurrences[1], occurrences[3], occurrences[3], occurrences[4]}, true).ok());
    EXPECT_EQ(m_syncs, QList<QStringList>{{m_work}});
    QList<QDateTime> starts;
    for (const auto &event : eventStore()->eventsMatchingPredicate(window))
        starts.append(event->startDate());
    EXPECT_EQ(starts, (QList<QDateTime>{occurrences[0]->startDate(), occurrences[2]->startDate(),
                                        occurrences[5]->startDate()}));
    const QByteArray text = readAll(m_work + QLatin1Char('/') + itemFiles(m_work).value(0));
    EXPECT_EQ(text.count("\r\nEXDATE"), 3) << text.constData();

    // An event of no series is removed whole, as removeEvent removes it.
    const auto single = newEvent(store, 30);
    ASSERT_TRUE(store->saveEvent(single, EKSpan::ThisEvent, true).ok());
    ASSERT_TRUE(store->removeOccurrences({single}, true).ok());
    EXPECT_EQ(itemFiles(m_work).size(), 1);
}
