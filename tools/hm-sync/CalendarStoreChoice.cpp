#include "CalendarStoreChoice.h"

#include "MemoryDataSource.h"
#include "app/stores/HMSyncRegistration.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/GlobalVariables.h"
#include "platform/eventkit/EKAlarm.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncTypes.h"

namespace hmsync {

std::optional<CalendarStore> calendarStoreFromName(const QString &name)
{
    if (name == QLatin1String("ical"))
        return CalendarStore::ICalendarFolders;
    if (name == QLatin1String("memory"))
        return CalendarStore::Memory;
    if (name == QLatin1String("outlook"))
        return CalendarStore::Outlook;
    return std::nullopt;
}

namespace {

bool usesFolders(CalendarStore store, const HMProfile &profile)
{
    return store == CalendarStore::ICalendarFolders && profile.contactManager() == HMContactManager::Apple;
}

std::shared_ptr<platform::EKEventStore> openStore()
{
    return platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
}

// The store the driver holds open for its run, as the application holds its stores: while it does,
// the stores that the sync opens for one question each share what it read of the folders. Made
// after the stores' own process-wide state, so it goes before that state at exit.
std::shared_ptr<platform::EKEventStore> &runStore()
{
    static std::shared_ptr<platform::EKEventStore> store;
    return store;
}

} // namespace

bool useCalendarStore(CalendarStore store, HMProfile &profile, const QString &folder)
{
    if (!usesFolders(store, profile))
        return false;
    HMSyncRegistration::registerCalendarStores(folder);
    const std::shared_ptr<platform::EKEventStore> calendars = openStore();
    calendars->calendarsForEntityType(platform::EKEntityType::Event);
    runStore() = calendars;
    return HMSyncRegistration::chooseCalendars(profile);
}

void prepareCalendarSync(CalendarStore store, const HMProfile &profile)
{
    if (!usesFolders(store, profile))
        return;
    HMTaskEventKitHelper::setEventCalendarIdentifiersToSync(profile.eventCalendarIdentifiersToSync());
    HMTaskEventKitHelper::setTaskCalendarIdentifiersToSync(profile.taskCalendarIdentifiersToSync());
    GlobalVariables::setIsTaskSyncEnabled(profile.taskSyncEnabled());
    // The verdicts of the previous run's probes do not hold for this one.
    GlobalVariables::setunwritableCalendar(false);
    GlobalVariables::setunwritableEKCalendar(false);
    HMTaskEventKitHelper::clearTasksArray();
    HMTaskEventKitHelper::buildTasksArray();
}

namespace {

platform::Status addSampleEvent(const std::shared_ptr<platform::EKEventStore> &store,
                                const std::shared_ptr<platform::EKCalendar> &calendar, int index)
{
    const std::shared_ptr<platform::EKEvent> event = platform::EKEvent::eventWithEventStore(store);
    event->setCalendar(calendar);
    event->setTitle(QStringLiteral("Desktop meeting %1").arg(index));
    event->setNotes(QStringLiteral("Typed on the desktop:\tfish & chips\nsecond line"));
    const QDateTime start = QDateTime(QDate::currentDate().addDays(index), QTime(10, 0), QTimeZone::utc());
    event->setStartDate(start);
    event->setEndDate(start.addSecs(1800));
    event->setAlarms({platform::EKAlarm::alarmWithRelativeOffset(-900)});
    return store->saveEvent(event, platform::EKSpan::ThisEvent, false);
}

platform::Status addSampleReminder(const std::shared_ptr<platform::EKEventStore> &store,
                                   const std::shared_ptr<platform::EKCalendar> &calendar, int index)
{
    const std::shared_ptr<platform::EKReminder> reminder = platform::EKReminder::reminderWithEventStore(store);
    reminder->setCalendar(calendar);
    reminder->setTitle(QStringLiteral("Desktop task %1").arg(index));
    reminder->setPriority(1);
    return store->saveReminder(reminder, false);
}

} // namespace

bool addSampleEventsAndTasks(CalendarStore store, const HMProfile &profile, int count, QString &problem)
{
    if (!usesFolders(store, profile))
        return true;
    const std::shared_ptr<platform::EKEventStore> calendars = openStore();
    const std::shared_ptr<platform::EKCalendar> eventCalendar =
        calendars->calendarWithIdentifier(profile.eventCalendarIdentifierToWriteTo());
    const std::shared_ptr<platform::EKCalendar> taskCalendar =
        calendars->calendarWithIdentifier(profile.taskCalendarIdentifierToWriteTo());
    if (!eventCalendar || !taskCalendar) {
        problem = QStringLiteral("no calendar or reminder list to write to under %1")
                      .arg(platform::EKEventStore::calendarsFolderPath());
        return false;
    }
    for (int index = 1; index <= count; ++index) {
        platform::Status saved = addSampleEvent(calendars, eventCalendar, index);
        if (saved)
            saved = addSampleReminder(calendars, taskCalendar, index);
        if (!saved) {
            problem = saved.error().message();
            return false;
        }
    }
    const platform::Status committed = calendars->commit();
    if (!committed)
        problem = committed.error().message();
    return bool(committed);
}

// Counted by the store held for the run, from what the sync last saw of the folders and wrote to
// them: a count right after the sync needs no new look at every file.
qsizetype calendarRecordCount(CalendarStore store, const HMProfile &profile, quint64 conduit,
                              const MemoryStore &memoryStore)
{
    if (!usesFolders(store, profile))
        return memoryStore.count(conduit);
    const std::shared_ptr<platform::EKEventStore> calendars = runStore() ? runStore() : openStore();
    const bool isEvents = conduit == quint64(HMSyncConduit::Calendar);
    const QStringList identifiers =
        isEvents ? profile.eventCalendarIdentifiersToSync() : profile.taskCalendarIdentifiersToSync();
    if (identifiers.isEmpty())
        return 0;
    // Every event of the listing's reach, a series counted once; every reminder.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    platform::EKPredicate predicate =
        isEvents ? calendars->predicateForEventsWithStartDate(now.addYears(-5), now.addYears(5), {})
                 : calendars->predicateForRemindersInCalendars({});
    predicate.calendarIdentifiers = identifiers;
    return calendars->countOfKnownItemsMatchingPredicate(predicate);
}

} // namespace hmsync
