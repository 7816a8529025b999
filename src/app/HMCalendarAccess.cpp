#include "app/HMCalendarAccess.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/FileSystem.h"

namespace {

platform::EKEntityType entityTypeOf(HMCalendarEntityType type)
{
    return type == HMCalendarEntityType::Event ? platform::EKEntityType::Event : platform::EKEntityType::Reminder;
}

} // namespace

HMAuthorizationStatus HMEventStoreCalendarAccess::authorizationStatusForEntityType(HMCalendarEntityType type) const
{
    if (!platform::FileSystem::fileExists(platform::EKEventStore::calendarsFolderPath()))
        return HMAuthorizationStatus::NotDetermined;
    return HMAuthorizationStatus(platform::EKEventStore::authorizationStatusForEntityType(entityTypeOf(type)));
}

void HMEventStoreCalendarAccess::requestAccessToEntityType(HMCalendarEntityType type,
                                                           std::function<void(bool granted)> completion)
{
    const unsigned mask = type == HMCalendarEntityType::Event ? platform::EKEntityMaskEvent
                                                              : platform::EKEntityMaskReminder;
    // The store's queue lives until the answer has run, so the store itself need not.
    const std::shared_ptr<platform::EKEventStore> store = platform::EKEventStore::create(mask);
    store->requestAccessToEntityType(
        entityTypeOf(type), [completion = std::move(completion)](bool granted, std::optional<platform::Error> error) {
            if (error)
                DDLogError(QStringLiteral("Calendar access refused: %1").arg(error->message()));
            if (completion)
                completion(granted);
        });
}
