// Native categories (the calendars the settings windows offer) and the probes that decide whether a
// calendar can hold events or tasks.
#include "datasources/calendar/HMBaseCalendarData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/CalEvent.h"
#include "platform/eventkit/CalTask.h"
#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/EKReminder.h"
#include "platform/eventkit/EKEventStore.h"

namespace {

const QString kTestEventTitle = QStringLiteral("Test Event from Harrowmere");
const QString kTestTaskTitle = QStringLiteral("Test Task from Harrowmere");
// The probe items have identifiers of their own: one left behind by a run that died between its save
// and its removal is removed by the next probe, never synced as one of the user's items.
const QString kTestEventUid = QStringLiteral("harrowmere-write-probe-event");
const QString kTestTaskUid = QStringLiteral("harrowmere-write-probe-task");

QString ekTypeWord(platform::EKCalendarType type)
{
    switch (type) {
    case platform::EKCalendarType::Local:
        return QStringLiteral("Local");
    case platform::EKCalendarType::CalDAV:
        return QStringLiteral("CalDAV");
    case platform::EKCalendarType::Exchange:
        return QStringLiteral("Exchange");
    case platform::EKCalendarType::Subscription:
        return QStringLiteral("Subscription");
    case platform::EKCalendarType::Birthday:
        return QStringLiteral("Birthday");
    }
    return QStringLiteral("Other");
}

QVariantMap categoryDictionary(const QString &identifier, const QString &prefix, const QString &title,
                               const QString &typeWord, bool readOnly)
{
    return {{QStringLiteral("nativeCategoryIdentifier"), identifier},
            {QStringLiteral("nativeCategoryTitle"), QStringLiteral("%1%2 (%3)").arg(prefix, title, typeWord)},
            {QStringLiteral("nativeCategoryReadOnly"), readOnly}};
}

platform::Status noOpenStore()
{
    return platform::Error(platform::ErrorCode::IoOther, QStringLiteral("no open store or calendar"));
}

// Logs a refused test item; answers NO for the probe.
bool logProbeFailure(const QString &format, const std::shared_ptr<platform::CalCalendar> &calendar,
                     const platform::Status &failure)
{
    DDLogError(format.arg(calendar ? calendar->title() : QString()));
    DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(failure.error().message()));
    return false;
}

} // namespace

QVariantList HMBaseCalendarData::nativeCategoryDictionariesForCategorySetting()
{
    if (isEventKitSystem() && !GlobalVariables::getIsOutlookSync())
        return eventKitNativeCategoryDictionariesForCategorySetting();
    return calendarStoreCategoryDictionaries();
}

QVariantList HMBaseCalendarData::calendarStoreCategoryDictionaries()
{
    QVariantList dictionaries;
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    // Each folder is offered under the kind it holds only (one holding nothing yet under both); the
    // test item then tells whether it can be written.
    const ItemKind kind = itemKind();
    const platform::EKEntityType entityType =
        kind == ItemKind::Tasks ? platform::EKEntityType::Reminder : platform::EKEntityType::Event;
    for (const auto &calendar : store->calendarsTaking(entityType)) {
        const bool keep = (kind == ItemKind::Events && doesCalendarSupportEvents(calendar)) ||
                          (kind == ItemKind::Tasks && doesCalendarSupportTasks(calendar));
        if (!keep)
            continue;
        const bool readOnly = !calendar->isEditable();
        dictionaries.append(categoryDictionary(calendar->uid(), readOnly ? QStringLiteral("* ") : QString(),
                                               calendar->title(), calendar->type(), readOnly));
    }
    return dictionaries;
}

QVariantList HMBaseCalendarData::eventKitNativeCategoryDictionariesForCategorySetting()
{
    const platform::EKEntityType entityType =
        GlobalVariables::getIsTaskTabView() ? platform::EKEntityType::Reminder : platform::EKEntityType::Event;
    auto store = platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
    DDLogVerbose(QStringLiteral("eventStore %1").arg(platform::EKEventStore::calendarsFolderPath()));
    QVariantList dictionaries;
    for (const auto &calendar : store->calendarsForEntityType(entityType)) {
        const ItemKind kind = itemKind();
        const bool keep = (kind == ItemKind::Events && doesCalendarSupportEKEvents(calendar)) ||
                          (kind == ItemKind::Tasks && doesCalendarSupportEKTasks(calendar));
        if (keep) {
            dictionaries.append(categoryDictionary(calendar->calendarIdentifier(), QString(), calendar->title(),
                                                   ekTypeWord(calendar->type()), false));
        }
    }
    return dictionaries;
}

QVariantList HMBaseCalendarData::nativeCategoryDictionariesForNewRecordSetting()
{
    const QVariantList categories = nativeCategoryDictionariesForCategorySetting();
    DDLogVerbose(QStringLiteral("nativeCategories %1").arg(categories.size()));
    QVariantList writable;
    for (const QVariant &category : categories) {
        if (!category.toMap().value(QStringLiteral("nativeCategoryReadOnly")).toBool())
            writable.append(category);
    }
    DDLogVerbose(QStringLiteral("writableNativeCategories %1").arg(writable.size()));
    return writable;
}

// Access to the folders is never asked for on this system, so the old listing has nothing to report.
QVariantList HMBaseCalendarData::OLDeventKitNativeCategoryDictionariesForCategorySetting()
{
    DDLogVerbose(
        QStringLiteral("authorizationStatusForEntityType %1")
            .arg(int(platform::EKEventStore::authorizationStatusForEntityType(platform::EKEntityType::Event))));
    return {};
}

bool HMBaseCalendarData::doesCalendarSupportEvents(const std::shared_ptr<platform::CalCalendar> &calendar)
{
    if (const auto leftover = m_calendarStore ? m_calendarStore->eventWithUID(kTestEventUid, QDateTime()) : nullptr)
        (void)m_calendarStore->removeEvent(leftover, platform::CalSpan::ThisEvent);
    auto event = platform::CalEvent::event();
    event->ekEvent()->setCalendarItemIdentifier(kTestEventUid);
    event->ekEvent()->setIsNew(true);
    event->setCalendar(calendar);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    event->setStartDate(now);
    event->setEndDate(now.addSecs(3600));
    event->setTitle(kTestEventTitle);
    const platform::Status saved =
        m_calendarStore && calendar ? m_calendarStore->saveEvent(event, platform::CalSpan::ThisEvent) : noOpenStore();
    if (!saved)
        return logProbeFailure(QStringLiteral("ERROR: Error saving test event to %1 calendar."), calendar, saved);
    (void)m_calendarStore->removeEvent(event, platform::CalSpan::ThisEvent);
    return true;
}

bool HMBaseCalendarData::doesCalendarSupportTasks(const std::shared_ptr<platform::CalCalendar> &calendar)
{
    if (const auto leftover = m_calendarStore ? m_calendarStore->taskWithUID(kTestTaskUid) : nullptr)
        (void)m_calendarStore->removeTask(leftover);
    auto task = platform::CalTask::task();
    task->reminder()->setCalendarItemIdentifier(kTestTaskUid);
    task->reminder()->setIsNew(true);
    task->setCalendar(calendar);
    task->setTitle(kTestTaskTitle);
    const platform::Status saved = m_calendarStore && calendar ? m_calendarStore->saveTask(task) : noOpenStore();
    if (!saved)
        return logProbeFailure(QStringLiteral("ERROR: Error saving test task to %1 calendar."), calendar, saved);
    (void)m_calendarStore->removeTask(task);
    return true;
}

bool HMBaseCalendarData::doesCalendarSupportEKEvents(const std::shared_ptr<platform::EKCalendar> &calendar)
{
    auto store = platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
    const bool supportsEvents =
        probeWithTestEvent(calendar, store, QStringLiteral("ERROR: Error saving test ekEvent to %1 calendar."));
    DDLogInfo(QStringLiteral("Returning supportsEvents %1").arg(int(supportsEvents)));
    return supportsEvents;
}

bool HMBaseCalendarData::probeWithTestEvent(const std::shared_ptr<platform::EKCalendar> &calendar,
                                            const std::shared_ptr<platform::EKEventStore> &store,
                                            const QString &failureFormat)
{
    auto event = platform::EKEvent::eventWithEventStore(nullptr);
    event->setCalendar(calendar);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    event->setStartDate(now);
    event->setEndDate(now.addSecs(3600));
    event->setTitle(kTestEventTitle);
    const platform::Status saved = store->saveEvent(event, platform::EKSpan::ThisEvent, false);
    if (!saved) {
        DDLogError(failureFormat.arg(calendar ? calendar->title() : QString()));
        DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
        return false;
    }
    (void)store->removeEvent(event, platform::EKSpan::ThisEvent, true);
    return true;
}

bool HMBaseCalendarData::doesCalendarSupportEKTasks(const std::shared_ptr<platform::EKCalendar> &calendar)
{
    if (!calendar) {
        DDLogInfo(QStringLiteral("Calendar not found"));
        return false;
    }
    const bool writable = calendar->allowsContentModifications();
    DDLogInfo(writable ? QStringLiteral("Calendar allowsContentModifications")
                       : QStringLiteral("Tasks calendar is not writable"));
    DDLogInfo(QStringLiteral("Calendar name: %1").arg(calendar->title()));
    DDLogInfo(QStringLiteral("Calendar identifier: %1").arg(calendar->calendarIdentifier()));
    return writable;
}
