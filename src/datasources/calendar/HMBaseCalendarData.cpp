#include "datasources/calendar/HMBaseCalendarData.h"

#include "datasources/calendar/HMCalendarDataKeys.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMChangeDates.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncFields.h"

#include <atomic>

namespace {

// Numbers the reminders probes in the order they start. Probes hop through a concurrent queue, so
// they may reach the main queue in any order; only the latest one may set the process's flag.
std::atomic<quint64> s_latestRemindersProbe{0};

// The native id and the "hmUid" of a dictionary, joined by a separator neither holds.
QString foundKey(const QVariant &nativeId, const QVariant &hmUid)
{
    return nativeId.toString() + QChar(0x1f) + hmUid.toString();
}

} // namespace

HMBaseCalendarData::HMBaseCalendarData(qint64 dataSourceType) : m_dataSourceType(dataSourceType)
{
    if (dataSourceType == 1)
        m_storeForEkEvents = platform::EKEventStore::create(platform::EKEntityMaskEvent);
    m_calendarDateRangeStart = dateUtilities().monthsFromToday(-6);
    m_calendarDateRangeEnd = dateUtilities().monthsFromToday(12);
}

HMBaseCalendarData::~HMBaseCalendarData() = default;

bool HMBaseCalendarData::isEventKitSystem()
{
    return HMSyncController::isEventKitSystem(platform::ProcessInfo::operatingSystemVersion());
}

std::optional<QList<HMSyncRecord>>
HMBaseCalendarData::syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                   const QSet<QString> &excludedHmUids)
{
    if (isEventKitSystem())
        return syncEventKitRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
    return syncCalendarStoreRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
}

std::optional<QList<HMSyncRecord>>
HMBaseCalendarData::syncEventKitRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                           const QSet<QString> &excludedHmUids)
{
    return HMData::syncRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
}

std::optional<QList<HMSyncRecord>>
HMBaseCalendarData::syncCalendarStoreRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                const QSet<QString> &excludedHmUids)
{
    return HMData::syncRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
}

HMBaseCalendarData::ItemKind HMBaseCalendarData::itemKind() const
{
    const QString name = className();
    if (name == QLatin1String("HMCalendarData"))
        return ItemKind::Events;
    if (name == QLatin1String("HMTaskData"))
        return ItemKind::Tasks;
    return ItemKind::None;
}

std::shared_ptr<platform::CalCalendarStore> HMBaseCalendarData::calendarStoreIfOpen() const
{
    return m_calendarStore;
}

void HMBaseCalendarData::setCalendarStore(std::shared_ptr<platform::CalCalendarStore> store)
{
    m_calendarStore = std::move(store);
}

void HMBaseCalendarData::prepareForUseOnThread()
{
    auto &defaults = platform::UserDefaults::standardUserDefaults();
    const QString daysBackKey = QStringLiteral("DateRangeDaysBack");
    m_dateRangeDaysBack = defaults.objectForKey(daysBackKey).isValid() ? defaults.integerForKey(daysBackKey) : 90;
    if (GlobalVariables::getIsOutlookSync())
        return;
    if (isEventKitSystem()) {
        // Only the task data source writes to a reminders list: probing the calendar data source's
        // events calendar as one would flag it unwritable and end the run before its tasks.
        if (GlobalVariables::getIsContactManagerApple() && itemKind() == ItemKind::Tasks)
            startRemindersProbe();
        if (itemKind() == ItemKind::Events)
            probeEventFolderToWriteTo();
        return;
    }
    if (m_calendarStore)
        DDLogWarn(QStringLiteral("WARNING: Calendar Store Already Open"));
    DDLogInfo(QStringLiteral("Opening Calendar Store...."));
    if (calendarStore())
        DDLogInfo(QStringLiteral("Loaded the Calendar Store."));
    else
        DDLogInfo(QStringLiteral("Failed to load the Calendar Store."));
    probeCalendarToWriteTo();
}

void HMBaseCalendarData::probeCalendarToWriteTo()
{
    if (doesCalendarSupportEvents(m_calendarToWriteTo)) {
        DDLogInfo(QStringLiteral("Yes, the calendar is writable"));
        GlobalVariables::setunwritableCalendar(false);
    } else {
        DDLogInfo(QStringLiteral("Nope. It isn't writable."));
        GlobalVariables::setunwritableCalendar(true);
    }
}

// The events calendar the device's records are written to is a folder: one that cannot be written
// ends the run before any of the device's records is taken (and its changes acknowledged), naming the
// folder, as the CalendarStore road does for its calendar.
void HMBaseCalendarData::probeEventFolderToWriteTo()
{
    const QString identifier = categoryIdentifierToWriteTo();
    const auto store = platform::EKEventStore::create(platform::EKEntityMaskEvent);
    const std::shared_ptr<platform::EKCalendar> calendar = store->calendarWithIdentifier(identifier);
    const bool isWritable = !calendar || calendar->allowsContentModifications();
    if (!isWritable) {
        DDLogError(QStringLiteral("ERROR: the calendar folder %1 cannot be written: the device's events are left "
                                  "for a later sync")
                       .arg(platform::EKEventStore::calendarsFolderPath() + QLatin1Char('/') + identifier));
    }
    GlobalVariables::setunwritableCalendar(!isWritable);
}

// The probe runs on the main queue after a hop through the high-priority queue, as the stores want to
// be made there; nothing waits for it. It holds only its own store and the identifier it was given.
// A probe that a later one overtook or replaced sets nothing: the flag answers for the calendar
// chosen last, never for an earlier choice whose probe happened to arrive late.
void HMBaseCalendarData::startRemindersProbe()
{
    const QString identifier = categoryIdentifierToWriteTo();
    const quint64 probe = ++s_latestRemindersProbe;
    DDLogInfo(QStringLiteral("_categoryIdentifierToWriteTo %1").arg(identifier));
    DDLogInfo(QStringLiteral("Dispatching EKEventStore init on the main thread"));
    platform::DispatchQueue::global(platform::QueuePriority::High)->async([identifier, probe] {
        platform::DispatchQueue::main()->async([identifier, probe] {
            if (probe != s_latestRemindersProbe.load()) {
                DDLogInfo(QStringLiteral("A later probe replaced the one for '%1'").arg(identifier));
                return;
            }
            auto store = platform::EKEventStore::create(platform::EKEntityMaskReminder);
            DDLogInfo(QStringLiteral("Eventstore created"));
            const std::shared_ptr<platform::EKCalendar> calendar = store->calendarWithIdentifier(identifier);
            bool unwritable = true;
            if (calendar && doesCalendarSupportEKTasks(calendar)) {
                DDLogInfo(QStringLiteral("Yes, the EventKit tasks calendar is writable"));
                unwritable = false;
            }
            GlobalVariables::setunwritableEKCalendar(unwritable);
        });
    });
}

std::shared_ptr<platform::CalCalendarStore> HMBaseCalendarData::calendarStore()
{
    const std::lock_guard lock(m_openMutex);
    DDLogInfo(QStringLiteral("Getting calendarStore"));
    if (m_calendarStore)
        return m_calendarStore;
    openCalendarStoreLocked();
    DDLogInfo(QStringLiteral("returning calendarStore"));
    return m_calendarStore;
}

void HMBaseCalendarData::openCalendarStoreLocked()
{
    m_calendarStore = platform::CalCalendarStore::defaultCalendarStore();
    bool failed = false;
    const QString writeIdentifier = categoryIdentifierToWriteTo();
    if (!writeIdentifier.isEmpty())
        m_calendarToWriteTo = m_calendarStore->calendarWithUID(writeIdentifier);
    if (m_calendarToWriteTo) {
        DDLogInfo(QStringLiteral("Loading Calendar '%1' for Writing.").arg(m_calendarToWriteTo->title()));
    } else {
        failed = true;
        DDLogError(QStringLiteral("Loading Calendar with Identifier '%1' for Writing Failed.").arg(writeIdentifier));
    }
    QList<std::shared_ptr<platform::CalCalendar>> toRead;
    for (const QString &identifier : categoryIdentifiersToSync()) {
        if (auto calendar = m_calendarStore->calendarWithUID(identifier)) {
            DDLogInfo(QStringLiteral("Loading Calendar '%1' for Reading.").arg(calendar->title()));
            toRead.append(calendar);
        } else {
            failed = true;
            DDLogError(QStringLiteral("Loading Calendar with Identifier '%1' for Reading Failed.").arg(identifier));
        }
    }
    m_calendarsToRead = toRead;
    if (!m_calendarsToRead.isEmpty()) {
        m_categoryCalendarsDictionary.clear();
        for (const auto &calendar : std::as_const(m_calendarsToRead))
            m_categoryCalendarsDictionary.insert(calendar->title(), calendar);
    }
    if (failed)
        DDLogError(QStringLiteral("Could not load one or more calendars"));
}

void HMBaseCalendarData::stopUsingOnThread()
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    if (!isEventKitSystem()) {
        DDLogInfo(calendarStore() ? QStringLiteral("Found a calendar store to stop using")
                                  : QStringLiteral("Failed to find a calendar store."));
        setCalendarStore(nullptr);
        return;
    }
    DDLogInfo(m_ekEventStore ? QStringLiteral("Found a calendar store to stop using")
                             : QStringLiteral("Failed to find a calendar store."));
    setEkEventStore(nullptr);
}

// The records of a page are written without a sync each (on either road the stores note the
// folders they wrote); one sync of the folders' file system then covers the page's events,
// reminders and removals.
platform::Status HMBaseCalendarData::syncAppliedChangesToDisk()
{
    return platform::EKEventStore::syncWrittenFolders();
}

void HMBaseCalendarData::saveChanges()
{
    DDLogInfo(QStringLiteral("saveChangesCalendarStore"));
    if (GlobalVariables::getIsOutlookSync() || isEventKitSystem())
        return;
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    for (const auto &calendar : std::as_const(m_calendarsToRead)) {
        DDLogInfo(QStringLiteral("aCalendar.title %1").arg(calendar->title()));
        if (calendar->title().isEmpty())
            continue;
        const platform::Status saved = store->saveCalendar(calendar);
        if (saved) {
            DDLogInfo(QStringLiteral("saveCalendar == YES"));
            continue;
        }
        DDLogError(QStringLiteral("ERROR: Error saving calendar '%1'.").arg(calendar->title()));
        DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
    }
}

std::shared_ptr<platform::CalCalendar> HMBaseCalendarData::calendarWithName(const QString &title,
                                                                            bool createNewIfNotFound)
{
    if (auto known = m_categoryCalendarsDictionary.value(title))
        return known;
    if (!createNewIfNotFound)
        return nullptr;
    auto calendar = platform::CalCalendar::calendar();
    calendar->setTitle(title);
    const platform::Status saved =
        m_calendarStore
            ? m_calendarStore->saveCalendar(calendar)
            : platform::Status(platform::Error(platform::ErrorCode::IoOther, QStringLiteral("no open store")));
    if (saved) {
        setCategoryIdentifiersToSync(categoryIdentifiersToSync() << calendar->uid());
        m_categoryCalendarsDictionary.insert(title, calendar);
        return calendar;
    }
    DDLogError(QStringLiteral("ERROR: Error saving calendar for new category %1.").arg(title));
    DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(saved.error().message()));
    return fallbackCalendarNamed(title);
}

// After a failed creation: an existing calendar of that title that can hold this data source's items.
std::shared_ptr<platform::CalCalendar> HMBaseCalendarData::fallbackCalendarNamed(const QString &title)
{
    std::shared_ptr<platform::CalCalendar> found;
    if (!m_calendarStore)
        return found;
    for (const auto &calendar : m_calendarStore->calendars()) {
        const ItemKind kind = itemKind();
        const bool qualifies = (kind == ItemKind::Events && doesCalendarSupportEvents(calendar)) ||
                               (kind == ItemKind::Tasks && doesCalendarSupportTasks(calendar));
        if (!qualifies || calendar->title() != title)
            continue;
        setCategoryIdentifiersToSync(categoryIdentifiersToSync() << calendar->uid());
        m_categoryCalendarsDictionary.insert(title, calendar);
        found = calendar;
    }
    return found;
}

std::shared_ptr<platform::EKCalendar> HMBaseCalendarData::ekCalendarWithName(const QString &title, bool)
{
    const auto calendar = m_categoryCalendarsDictionary.value(title);
    return calendar ? calendar->ekCalendar() : nullptr;
}

std::optional<HMBaseCalendarData::RecordIdentity> HMBaseCalendarData::identityOfRecord(const QVariantMap &record) const
{
    RecordIdentity identity;
    identity.uid = HMData::stringForKey(QString(kHMSyncFieldUid), record);
    if (identity.uid.isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return std::nullopt;
    }
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    identity.identifier = graph ? graph->dictionaryForHarrowmereUid(identity.uid) : std::nullopt;
    if (identity.identifier)
        identity.nativeId = identity.identifier->value(hmcalendar::kNativeIdKey).toString();
    return identity;
}

bool HMBaseCalendarData::isChangedAfter(const QDateTime &changed, const QDateTime &syncDate)
{
    return hmchangedates::isChangedAfter(changed, syncDate);
}

bool HMBaseCalendarData::isStoreItemChangedAfter(const QDateTime &stamp, const QDateTime &date,
                                                 QLatin1StringView logMark)
{
    DDLogInfo(QStringLiteral("%1Comparing apple modified date %2 with device modified date %3")
                  .arg(logMark, dateUtilities().localDateTimeStringFromDate(stamp),
                       dateUtilities().localDateTimeStringFromDate(date)));
    return !date.isValid() || isChangedAfter(stamp, date);
}

QDateTime HMBaseCalendarData::compensatedDeviceTime(const QVariantMap &record, qint64 timeDifference)
{
    const QDateTime written =
        dateUtilities().dateFromLocalDateTimeString(HMData::stringForKey(QString(kHMSyncFieldLastModified), record));
    DDLogVerbose(
        QStringLiteral("Device Last Modified Time Before Compensation: %1").arg(written.toString(Qt::ISODate)));
    const QDateTime compensated =
        dateUtilities().dateByAdding(-timeDifference, platform::CalendarUnit::Second, written);
    DDLogVerbose(
        QStringLiteral("Device Last Modified Time After Compensation: %1").arg(compensated.toString(Qt::ISODate)));
    return compensated;
}

bool HMBaseCalendarData::deviceWinsConflict(const QDateTime &macModified, quint64 conflictSetting,
                                            const QDateTime &deviceTime, bool &keepItem) const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const QDateTime lastSync = graph ? graph->lastSyncDate() : QDateTime();
    if (!lastSync.isValid() || !macModified.isValid() || !(lastSync < macModified))
        return true;
    DDLogWarn(QStringLiteral("Found conflict... checking who wins"));
    if (conflictSetting == 0 && macModified > deviceTime) {
        DDLogWarn(QStringLiteral("Aborting Quillpad change due to Apple's modification date being more recent."));
        return false;
    }
    if (conflictSetting == 1) {
        DDLogWarn(QStringLiteral("Aborting Quillpad change due to Apple always winnning."));
        return false;
    }
    if (conflictSetting == 3) {
        DDLogWarn(QStringLiteral("Conflict setting set to duplicate... trying to duplicate record."));
        keepItem = false;
    }
    DDLogWarn(QStringLiteral("Keeping Quillpad change due to conflict setting."));
    return true;
}

QString HMBaseCalendarData::foundKeyOf(const QVariantMap &dictionary)
{
    return foundKey(dictionary.value(hmcalendar::kNativeIdKey), dictionary.value(hmcalendar::kHmUidKey));
}

QString HMBaseCalendarData::foundKeyOf(const HMIdentifierGraphEntry &entry)
{
    using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;
    return foundKey(entry.valueOf(WellKnownKey::NativeId), entry.valueOf(WellKnownKey::HmUid));
}

QList<QVariantMap> HMBaseCalendarData::dictionariesNotFound(const HMIdentifierGraph::Entries &known,
                                                            const QSet<QString> &found)
{
    QList<QVariantMap> remaining;
    for (const HMIdentifierGraphEntry &entry : known) {
        if (!found.contains(foundKeyOf(entry)))
            remaining.append(entry.toMap());
    }
    return remaining;
}

QSet<QString> HMBaseCalendarData::damagedItemIdentifiers(const std::shared_ptr<platform::EKEventStore> &ekStore)
{
    if (ekStore)
        return ekStore->damagedItemIdentifiers();
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    return store ? store->damagedItemUIDs() : QSet<QString>();
}

void HMBaseCalendarData::appendDeletionsOfRemaining(
    const QList<QVariantMap> &remaining, const std::function<std::shared_ptr<platform::EKEventStore>()> &eventKitStore,
    const std::function<bool(const QVariantMap &)> &stays, QList<HMSyncRecord> &records)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const QSet<QString> damaged = remaining.isEmpty()
                                      ? QSet<QString>()
                                      : damagedItemIdentifiers(isEventKitSystem() ? eventKitStore() : nullptr);
    for (const QVariantMap &dictionary : remaining) {
        if (isItemOfDamagedFile(dictionary, damaged) || (stays && stays(dictionary)))
            continue;
        // An item deleted before the device confirmed it: the device knows no id of it to delete.
        if (isUnconfirmed(dictionary)) {
            graph->removeDictionary(dictionary);
            continue;
        }
        const QString hmUid = dictionary.value(hmcalendar::kHmUidKey).toString();
        graph->removeDictionary(dictionary);
        records.append(HMSyncRecord::deletionOf(hmUid));
        DDLogInfo(QStringLiteral("Deleting Record '%1' on Device.").arg(hmUid));
    }
}

bool HMBaseCalendarData::isItemOfDamagedFile(const QVariantMap &dictionary, const QSet<QString> &damaged)
{
    if (damaged.isEmpty())
        return false;
    const QString nativeId = dictionary.value(hmcalendar::kNativeIdKey).toString();
    bool isDamaged = damaged.contains(nativeId);
    for (qsizetype plus = nativeId.indexOf(QLatin1Char('+')); !isDamaged && plus > 0;
         plus = nativeId.indexOf(QLatin1Char('+'), plus + 1))
        isDamaged = damaged.contains(nativeId.first(plus));
    if (isDamaged) {
        DDLogWarn(QStringLiteral("Not deleting '%1' on the device: its file is still there but cannot be read")
                      .arg(dictionary.value(hmcalendar::kHmUidKey).toString()));
    }
    return isDamaged;
}
