#include "datasources/calendar/HMTaskEventKitHelper.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/LockedField.h"

#include <condition_variable>
#include <mutex>

namespace {

struct HelperState
{
    std::mutex mutex;
    std::condition_variable fetched;
    std::optional<QList<std::shared_ptr<platform::EKReminder>>> tasks;
    // Each fetch has its own number, so a late completion of an older one changes nothing.
    quint64 generation = 0;
    bool isFetching = false;
    QStringList taskCalendarIdentifiers;
    QStringList eventCalendarIdentifiers;
};

HelperState &state()
{
    static HelperState instance;
    return instance;
}

void completeFetch(quint64 generation, const QList<std::shared_ptr<platform::EKReminder>> &reminders)
{
    HelperState &helper = state();
    {
        const std::lock_guard lock(helper.mutex);
        if (generation != helper.generation || !helper.tasks)
            return;
        helper.tasks->append(reminders);
        helper.isFetching = false;
    }
    helper.fetched.notify_all();
}

// Runs on the main queue: looks the lists up and asks the store for their reminders.
void startFetch(const std::shared_ptr<platform::EKEventStore> &store, quint64 generation)
{
    QList<std::shared_ptr<platform::EKCalendar>> calendars;
    for (const QString &identifier : HMTaskEventKitHelper::getTaskCalendarIdentifiersToSync()) {
        if (auto calendar = store->calendarWithIdentifier(identifier))
            calendars.append(calendar);
    }
    if (calendars.isEmpty()) {
        completeFetch(generation, {});
        return;
    }
    store->fetchRemindersMatchingPredicate(
        store->predicateForRemindersInCalendars(calendars),
        [generation](QList<std::shared_ptr<platform::EKReminder>> reminders) { completeFetch(generation, reminders); });
}

} // namespace

void HMTaskEventKitHelper::buildTasksArray()
{
    if (!GlobalVariables::getIsTaskSyncEnabled())
        return;
    quint64 generation = 0;
    {
        HelperState &helper = state();
        const std::lock_guard lock(helper.mutex);
        helper.tasks = QList<std::shared_ptr<platform::EKReminder>>();
        generation = ++helper.generation;
        helper.isFetching = true;
    }
    DDLogInfo(QStringLiteral("Creating event store"));
    auto store = platform::EKEventStore::create(platform::EKEntityMaskReminder);
    platform::DispatchQueue::global(platform::QueuePriority::High)->async([store, generation] {
        platform::DispatchQueue::main()->async([store, generation] { startFetch(store, generation); });
    });
}

std::optional<QList<std::shared_ptr<platform::EKReminder>>> HMTaskEventKitHelper::getTasksArray()
{
    return platform::lockedCopy(state().mutex, state().tasks);
}

void HMTaskEventKitHelper::clearTasksArray()
{
    HelperState &helper = state();
    {
        const std::lock_guard lock(helper.mutex);
        helper.tasks.reset();
        helper.isFetching = false;
        ++helper.generation;
    }
    helper.fetched.notify_all();
}

bool HMTaskEventKitHelper::waitForTasksArray(std::chrono::milliseconds timeout)
{
    HelperState &helper = state();
    std::unique_lock lock(helper.mutex);
    return helper.fetched.wait_for(lock, timeout, [&] { return !helper.isFetching; });
}

void HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync(const QStringList &identifiers)
{
    platform::lockedAssign(state().mutex, state().taskCalendarIdentifiers, identifiers);
}

QStringList HMTaskEventKitHelper::getTaskCalendarIdentifiersToSync()
{
    return platform::lockedCopy(state().mutex, state().taskCalendarIdentifiers);
}

void HMTaskEventKitHelper::setEventCalendarIdentifiersToSync(const QStringList &identifiers)
{
    platform::lockedAssign(state().mutex, state().eventCalendarIdentifiers, identifiers);
}

QStringList HMTaskEventKitHelper::getEventCalendarIdentifiersToSync()
{
    return platform::lockedCopy(state().mutex, state().eventCalendarIdentifiers);
}
