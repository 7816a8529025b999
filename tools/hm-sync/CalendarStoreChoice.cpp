#include "CalendarStoreChoice.h"

#include "MemoryDataSource.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "platform/eventkit/EKAlarm.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncTypes.h"

#include <QDir>

#include <algorithm>

namespace hmsync {

std::optional<CalendarStore> calendarStoreFromName(const QString &name)
{
    if (name == QLatin1String("ical"))
        return CalendarStore::ICalendarFolders;
    if (name == QLatin1String("memory"))
        return CalendarStore::Memory;
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

bool allowsKind(const platform::EKCalendar &calendar, platform::EKEntityType kind)
{
    return calendar.allowedEntityTypes() &
           (kind == platform::EKEntityType::Event ? platform::EKEntityMaskEvent : platform::EKEntityMaskReminder);
}

// The first writable calendar of the kind other than the one to avoid, else a new one: events and
// reminders get folders of their own, as khal and todoman expect.
std::shared_ptr<platform::EKCalendar> writableCalendar(platform::EKEventStore &store, platform::EKEntityType kind,
                                                       const QString &avoided)
{
    for (const std::shared_ptr<platform::EKCalendar> &calendar : store.calendarsForEntityType(kind)) {
        if (calendar->allowsContentModifications() && calendar->calendarIdentifier() != avoided)
            return calendar;
    }
    std::shared_ptr<platform::EKCalendar> calendar = platform::EKCalendar::calendarForEntityType(kind);
    calendar->setTitle(kind == platform::EKEntityType::Event ? QStringLiteral("Calendar")
                                                             : QStringLiteral("Reminders"));
    if (!store.saveCalendar(calendar, true))
        return nullptr;
    return calendar;
}

// The calendar to write to when it exists, else a writable one of the kind; the calendars to read are
// kept when one of them exists. Answers whether either changed.
bool chooseCalendars(platform::EKEventStore &store, platform::EKEntityType kind, const QString &avoided,
                     QString &writeTo, QStringList &toRead)
{
    const auto exists = [&store, kind](const QString &identifier) {
        const std::shared_ptr<platform::EKCalendar> calendar = store.calendarWithIdentifier(identifier);
        return calendar && allowsKind(*calendar, kind);
    };
    bool changed = false;
    if (writeTo.isEmpty() || !exists(writeTo)) {
        const std::shared_ptr<platform::EKCalendar> fallback = writableCalendar(store, kind, avoided);
        if (!fallback)
            return false;
        writeTo = fallback->calendarIdentifier();
        changed = true;
    }
    if (std::none_of(toRead.cbegin(), toRead.cend(), exists)) {
        toRead = QStringList{writeTo};
        changed = true;
    }
    return changed;
}

} // namespace

bool useCalendarStore(CalendarStore store, HMProfile &profile, const QString &folder)
{
    if (!usesFolders(store, profile))
        return false;
    if (!folder.isEmpty())
        platform::UserDefaults::standardUserDefaults().setObject(QDir(folder).absolutePath(),
                                                                 platform::EKEventStore::kCalendarsFolderKey);
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"),
                                                       [] { return std::make_shared<HMCalendarData>(); });
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMTaskData"),
                                                       [] { return std::make_shared<HMTaskData>(); });
    const std::shared_ptr<platform::EKEventStore> calendars = openStore();
    QString eventTarget = profile.eventCalendarIdentifierToWriteTo();
    QStringList eventSources = profile.eventCalendarIdentifiersToSync();
    QString taskTarget = profile.taskCalendarIdentifierToWriteTo();
    QStringList taskSources = profile.taskCalendarIdentifiersToSync();
    const bool eventsChanged =
        chooseCalendars(*calendars, platform::EKEntityType::Event, QString(), eventTarget, eventSources);
    const bool tasksChanged =
        chooseCalendars(*calendars, platform::EKEntityType::Reminder, eventTarget, taskTarget, taskSources);
    profile.setEventCalendarIdentifierToWriteTo(eventTarget);
    profile.setEventCalendarIdentifiersToSync(eventSources);
    profile.setTaskCalendarIdentifierToWriteTo(taskTarget);
    profile.setTaskCalendarIdentifiersToSync(taskSources);
    return eventsChanged || tasksChanged;
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

qsizetype calendarRecordCount(CalendarStore store, const HMProfile &profile, quint64 conduit,
                              const MemoryStore &memoryStore)
{
    if (!usesFolders(store, profile))
        return memoryStore.records(conduit).size();
    const std::shared_ptr<platform::EKEventStore> calendars = openStore();
    const bool isEvents = conduit == quint64(HMSyncConduit::Calendar);
    const QStringList identifiers =
        isEvents ? profile.eventCalendarIdentifiersToSync() : profile.taskCalendarIdentifiersToSync();
    QList<std::shared_ptr<platform::EKCalendar>> chosen;
    for (const QString &identifier : identifiers) {
        if (auto calendar = calendars->calendarWithIdentifier(identifier))
            chosen.append(calendar);
    }
    if (chosen.isEmpty())
        return 0;
    if (!isEvents)
        return calendars->remindersMatchingPredicate(calendars->predicateForRemindersInCalendars(chosen)).size();
    // Every event of the listing's reach, a series counted once.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    platform::EKPredicate predicate =
        calendars->predicateForEventsWithStartDate(now.addYears(-5), now.addYears(5), chosen);
    predicate.firstOccurrenceOnly = true;
    QSet<QString> series;
    for (const auto &event : calendars->eventsMatchingPredicate(predicate))
        series.insert(event->calendarItemIdentifier());
    return series.size();
}

} // namespace hmsync
