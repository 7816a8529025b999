#include "app/stores/HMSyncRegistration.h"

#include "cloud/HMQuillnestSync.h"
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/contacts/HMContactData.h"
#include "datasources/tasks/HMMemoData.h"
#include "datasources/tasks/HMTaskData.h"
#include "phonelink/HMAdbSync.h"
#include "phonelink/HMWiFiSync.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/restkit/RKClient.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <QDir>

#include <algorithm>

namespace {

void saveFolderChoice(const QString &folder, const QString &key)
{
    if (!folder.isEmpty())
        platform::UserDefaults::standardUserDefaults().setObject(QDir(folder).absolutePath(), key);
}

bool allowsKind(const platform::EKCalendar &calendar, platform::EKEntityType kind)
{
    return calendar.allowedEntityTypes() &
           (kind == platform::EKEntityType::Event ? platform::EKEntityMaskEvent : platform::EKEntityMaskReminder);
}

// The first writable calendar of the kind other than the one to avoid, else a new one.
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
bool chooseCalendarsOfKind(platform::EKEventStore &store, platform::EKEntityType kind, const QString &avoided,
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

void HMSyncRegistration::registerPhoneTransports()
{
    HMWiFiSync::registerTransport(HMWiFiSync::kDefaultServerPort, HMWiFiSync::Timing{});
    HMAdbSync::registerTransport(HMWiFiSync::kDefaultServerPort, HMWiFiSync::Timing{});
}

void HMSyncRegistration::registerCloudTransport(const HMQuillnestTiming &timing)
{
    // Certificates to trust besides the system's (a test service's own authority) are named by the
    // environment, never taken from the network.
    const QString caFile = qEnvironmentVariable("HM_TLS_CA_FILE");
    if (!caFile.isEmpty())
        platform::RKClient::setDefaultExtraCACertificatesFile(caFile);
    // The photos of Outlook contacts go up as Outlook gives them.
    HMQuillnestSync::registerTransport(timing, &HMContactData::photoForOutlookContact);
}

void HMSyncRegistration::registerDesktopStores(const QString &contactsFolder, const QString &calendarsFolder)
{
    registerContactStore(contactsFolder);
    registerCalendarStores(calendarsFolder);
}

void HMSyncRegistration::registerContactStore(const QString &folder)
{
    saveFolderChoice(folder, platform::ABAddressBook::kFolderDefaultsKey);
    HMContactData::registerDataSourceClass();
}

void HMSyncRegistration::registerCalendarStores(const QString &folder)
{
    saveFolderChoice(folder, platform::EKEventStore::kCalendarsFolderKey);
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMCalendarData"),
                                                       [] { return std::make_shared<HMCalendarData>(); });
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMTaskData"),
                                                       [] { return std::make_shared<HMTaskData>(); });
    HMMemoData::registerDataSourceClass();
}

bool HMSyncRegistration::chooseCalendars(HMProfile &profile)
{
    const std::shared_ptr<platform::EKEventStore> calendars =
        platform::EKEventStore::create(platform::EKEntityMaskEvent | platform::EKEntityMaskReminder);
    QString eventTarget = profile.eventCalendarIdentifierToWriteTo();
    QStringList eventSources = profile.eventCalendarIdentifiersToSync();
    QString taskTarget = profile.taskCalendarIdentifierToWriteTo();
    QStringList taskSources = profile.taskCalendarIdentifiersToSync();
    const bool eventsChanged =
        chooseCalendarsOfKind(*calendars, platform::EKEntityType::Event, QString(), eventTarget, eventSources);
    const bool tasksChanged =
        chooseCalendarsOfKind(*calendars, platform::EKEntityType::Reminder, eventTarget, taskTarget, taskSources);
    profile.setEventCalendarIdentifierToWriteTo(eventTarget);
    profile.setEventCalendarIdentifiersToSync(eventSources);
    profile.setTaskCalendarIdentifierToWriteTo(taskTarget);
    profile.setTaskCalendarIdentifiersToSync(taskSources);
    return eventsChanged || tasksChanged;
}
