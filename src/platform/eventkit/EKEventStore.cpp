#include "platform/eventkit/EKEventStore.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/eventkit/ICalendarCodec.h"
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "platform/eventkit/ICalendarSeries.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Identifiers.h"
#include "platform/foundation/UserDefaults.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kMaxCalendars = 1000;
// The calendars' folders are listed again at once when the root folder's time changes (a calendar
// came or went), else once a second at most.
constexpr std::chrono::seconds kRescanInterval{1};
// A series is walked once up to this far ahead of now, which the widest listing (13 years ahead of
// its own now) stays within; a window beyond it walks the series again, that far. Each year more of
// a daily series is 365 steps of the recurrence walk for every series a first sync sends.
constexpr int kExpansionYearsAhead = 14;
// The reach of the walks noted of a file for queries around a moment, which are mostly near today:
// one beyond it walks the series again, that far.
constexpr int kNotedYearsAhead = 2;

// The stores of a process share the folders' descriptions, so they take one lock in turn. It is
// never destroyed: a store held by another static object may let its folders go after exit began.
std::recursive_mutex &storeMutex()
{
    static std::recursive_mutex &mutex = *std::make_unique<std::recursive_mutex>().release();
    return mutex;
}

// A calendar folder that could not be listed keeps what was last read of it (a gone one holds
// nothing); the store goes on with the others.
void logIfNotRead(const Status &refreshed)
{
    if (!refreshed)
        consoleLog(QStringLiteral("Calendar folder not read: %1").arg(refreshed.error().message()));
}

// The folders of the process, by path; under the stores' lock. They live as long as the process,
// so a store made for one question does not read a folder's index again. The table is never
// destroyed: each store saves its folders' indexes when it lets them go, and freeing every file's
// description at exit would only cost time.
// A folder held by one store only: by it and by the table.
constexpr long kOwnAndTableReferences = 2;

std::shared_ptr<ICalendarFolder> sharedFolderAt(const QString &path)
{
    static QHash<QString, std::shared_ptr<ICalendarFolder>> &folders =
        *std::make_unique<QHash<QString, std::shared_ptr<ICalendarFolder>>>().release();
    std::shared_ptr<ICalendarFolder> &folder = folders[path];
    if (!folder)
        folder = std::make_shared<ICalendarFolder>(path);
    return folder;
}

// The folders written since their last sync to disk, by any store of the process; under the lock.
QSet<QString> &foldersToSync()
{
    static QSet<QString> &folders = *std::make_unique<QSet<QString>>().release();
    return folders;
}

// Whether a file was written since the last sync without a flush before its rename; under the lock.
bool &hasUnflushedFiles()
{
    static bool unflushed = false;
    return unflushed;
}

std::function<void(EKEventStore::StagedWriteStep)> &stagedWriteHook()
{
    static std::function<void(EKEventStore::StagedWriteStep)> &hook =
        *std::make_unique<std::function<void(EKEventStore::StagedWriteStep)>>().release();
    return hook;
}

std::function<Status(const QStringList &)> &diskSyncHook()
{
    static std::function<Status(const QStringList &)> &hook =
        *std::make_unique<std::function<Status(const QStringList &)>>().release();
    return hook;
}

struct FolderEntry
{
    QString name;
    qint64 birthNs = 0;
};

// The folder's birth time in nanoseconds where the file system keeps one, else its last status
// change: calendars made one after another within a millisecond still come in creation order.
qint64 birthNanoseconds(const QString &path)
{
    struct statx info = {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &info) !=
        0)
        return 0;
    const struct statx_timestamp stamp = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
    return qint64(stamp.tv_sec) * 1000000000 + qint64(stamp.tv_nsec);
}

qint64 modifiedNanoseconds(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
}

bool isPlainFolder(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

// As the superuser every folder is writable, so the owner's write bit decides as well.
bool isWritableFolder(const QString &path)
{
    struct stat info = {};
    const QByteArray encoded = QFile::encodeName(path);
    return ::stat(encoded.constData(), &info) == 0 && (info.st_mode & S_IWUSR) &&
           ::access(encoded.constData(), W_OK) == 0;
}

QList<FolderEntry> calendarFoldersIn(const QString &root)
{
    QList<FolderEntry> entries;
    const Result<QStringList> names = FileSystem::listFolder(root);
    if (!names)
        return entries;
    for (const QString &name : *names) {
        const QString path = root + QLatin1Char('/') + name;
        if (!isPlainFolder(path))
            continue;
        entries.append({name, birthNanoseconds(path)});
        if (entries.size() >= kMaxCalendars)
            break;
    }
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &left, const FolderEntry &right) {
        return left.birthNs != right.birthNs ? left.birthNs < right.birthNs : left.name < right.name;
    });
    return entries;
}

Status makePrivateFolder(const QString &path)
{
    if (const Status made = FileSystem::createFolder(path); !made)
        return made;
    ::chmod(QFile::encodeName(path).constData(), 0700);
    return success();
}

std::shared_ptr<EKEvent> eventFromComponent(icalcomponent *item, const std::shared_ptr<EKCalendar> &calendar)
{
    std::shared_ptr<EKEvent> event = icalseries::eventFromComponent(item);
    event->setCalendar(calendar);
    return event;
}

QList<EKRecurrenceRule> rulesWithCountLessBy(const QList<EKRecurrenceRule> &rules, int taken)
{
    QList<EKRecurrenceRule> result;
    for (const EKRecurrenceRule &rule : rules) {
        const std::optional<EKRecurrenceEnd> &end = rule.recurrenceEnd();
        if (!end || end->occurrenceCount() <= 0) {
            result.append(rule);
            continue;
        }
        const int left = std::max(1, end->occurrenceCount() - taken);
        result.append(EKRecurrenceRule(rule.frequency(), rule.interval(), rule.daysOfTheWeek(), rule.daysOfTheMonth(),
                                       rule.monthsOfTheYear(), rule.weeksOfTheYear(), rule.daysOfTheYear(),
                                       rule.setPositions(), EKRecurrenceEnd::recurrenceEndWithOccurrenceCount(left)));
    }
    return result;
}

// The key a count of items keeps of each UID: its UTF-8.
void insertUidKeys(const QStringList &uids, QSet<QByteArray> &keys)
{
    for (const QString &uid : uids)
        keys.insert(uid.toUtf8());
}

// The UID of a file holding one item as the bytes of its description, when they are that UID's UTF-8
// as they stand: the key insertUidKeys gives it, kept in the description. Nothing for any other
// file, whose UIDs are decoded.
std::optional<QByteArray> singleUidBytesOf(const ICalendarFile &file)
{
    const std::optional<QByteArrayView> uid = file.plainSingleUid();
    return uid ? std::optional<QByteArray>(QByteArray::fromRawData(uid->data(), uid->size())) : std::nullopt;
}

// How many files ahead of the one it reads a walk over descriptions asks for their texts.
constexpr qsizetype kTextsAhead = 4;

// Asks the processor to bring in the described text of the file at the position, when there is one:
// a walk over many descriptions, whose texts lie apart, then seldom waits on memory.
void prefetchDescribedText(const QList<std::shared_ptr<const ICalendarFile>> &files, qsizetype at)
{
    constexpr qsizetype kLine = 64;
    if (at >= files.size())
        return;
    const QByteArrayView text = files.at(at)->described();
    for (qsizetype offset = 0; offset < text.size(); offset += kLine)
        __builtin_prefetch(text.constData() + offset);
}

// The UID of a file holding one item; nothing for a file of several, or none.
std::optional<QString> onlyUidOf(const ICalendarFile &file)
{
    if (const std::optional<QByteArray> single = singleUidBytesOf(file))
        return QString::fromLatin1(*single);
    const QStringList uids = file.uids();
    return uids.size() == 1 ? std::optional<QString>(uids.first()) : std::nullopt;
}

// Adds the keys of the UIDs of the file's items of the kind; a file of one kind is not read.
void addItemKeysOfFile(ICalendarFolder &folder, const std::shared_ptr<const ICalendarFile> &described, bool isEvents,
                       QSet<QByteArray> &keys)
{
    if (!described->hasEvents || !described->hasTodos) {
        if (const std::optional<QByteArray> single = singleUidBytesOf(*described))
            keys.insert(*single);
        else
            insertUidKeys(described->uids(), keys);
        return;
    }
    const std::shared_ptr<const ICalendarFile> file = folder.parsedFile(described);
    QStringList uids = file ? file->uids() : QStringList();
    const QHash<QString, icalseries::ItemsOfUid> items =
        file ? icalseries::itemsByUid(file->calendar().get()) : QHash<QString, icalseries::ItemsOfUid>();
    uids.removeIf([&](const QString &uid) {
        const icalseries::ItemsOfUid found = items.value(uid);
        return !(isEvents ? found.event : found.todo);
    });
    insertUidKeys(uids, keys);
}

} // namespace

EKEventStore::EKEventStore(unsigned entityMask)
    : m_entityMask(entityMask), m_queue(DispatchQueue::createSerial(QStringLiteral("EKEventStore")))
{
}

// A store that lets its folders go leaves their indexes up to date for the next run.
EKEventStore::~EKEventStore()
{
    releaseFolders();
}

// A folder another store still holds is saved when that one lets it go too: a store made for one
// question during a sync would otherwise write the index of a folder the sync is still filling.
void EKEventStore::releaseFolders()
{
    const std::lock_guard lock(storeMutex());
    for (const auto &[identifier, folder] : m_folders) {
        if (folder.use_count() > kOwnAndTableReferences)
            continue;
        // What saves without a commit staged is not lost with the last store: it is written now.
        if (const Status written = folder->writeStagedFiles(FileFlush::WhenReplacing); !written)
            consoleLog(QStringLiteral("Calendar changes not written: %1").arg(written.error().message()));
        folder->saveIndexIfStale();
    }
    m_folders.clear();
}

std::shared_ptr<EKEventStore> EKEventStore::create(unsigned entityMask)
{
    return std::shared_ptr<EKEventStore>(new EKEventStore(entityMask));
}

QString EKEventStore::calendarsFolderPath()
{
    const QString configured = UserDefaults::standardUserDefaults().stringForKey(kCalendarsFolderKey);
    if (!configured.isEmpty())
        return configured;
    return FileSystem::dataFolderPath() + QStringLiteral("/Calendars");
}

EKAuthorizationStatus EKEventStore::authorizationStatusForEntityType(EKEntityType)
{
    const QString root = calendarsFolderPath();
    if (!FileSystem::fileExists(root) || isPlainFolder(root))
        return EKAuthorizationStatus::Authorized;
    return EKAuthorizationStatus::Denied;
}

void EKEventStore::requestAccessToEntityType(EKEntityType entityType,
                                             std::function<void(bool, std::optional<Error>)> completion)
{
    const Status made =
        authorizationStatusForEntityType(entityType) == EKAuthorizationStatus::Authorized
            ? makePrivateFolder(calendarsFolderPath())
            : Status(Error(ErrorCode::IoPermission, QStringLiteral("%1 is not a folder").arg(calendarsFolderPath())));
    m_queue->async([completion = std::move(completion), made] {
        completion(made.ok(), made.ok() ? std::nullopt : std::optional<Error>(made.error()));
    });
}

bool EKEventStore::hasAccessTo(EKEntityType entityType) const
{
    return m_entityMask & (entityType == EKEntityType::Event ? EKEntityMaskEvent : EKEntityMaskReminder);
}

bool EKEventStore::calendarAllows(const EKCalendar &calendar, EKEntityType entityType) const
{
    return hasAccessTo(entityType) && (calendar.allowedEntityTypes() &
                                       (entityType == EKEntityType::Event ? EKEntityMaskEvent : EKEntityMaskReminder));
}

// The root as the user default names it now; its default, which asks the platform's folder layout,
// is worked out once per store, as every store call asks for the root.
QString EKEventStore::currentRootPath()
{
    const QString configured = UserDefaults::standardUserDefaults().stringForKey(kCalendarsFolderKey);
    if (!configured.isEmpty())
        return configured;
    if (m_defaultRootPath.isEmpty())
        m_defaultRootPath = calendarsFolderPath();
    return m_defaultRootPath;
}

// The list of the last look holds within a second of it while the root's watch tells no change
// (without one, while the root's own time is the same): calendars made, removed or renamed by
// another program are seen at the next store call, with no look at the root per call. Within a
// batch of our own writes, with no watch, the list holds until the batch is synced.
EKEventStore::OneLook::OneLook(EKEventStore &store) : m_lock(storeMutex()), m_store(store)
{
    if (m_store.m_lookDepth++ == 0)
        m_store.m_hasReadNotices = false;
}

EKEventStore::OneLook::~OneLook()
{
    --m_store.m_lookDepth;
}

bool EKEventStore::isCalendarListCurrent(const QString &root)
{
    if (root != m_rootPath || m_rootModifiedNs == 0)
        return false;
    if (!(m_rootWatch && m_rootWatch->isArmed()) && isWithinOwnBatch())
        return true;
    if (std::chrono::steady_clock::now() - m_lastCalendarScan >= kRescanInterval)
        return false;
    const ReadNotices read = m_lookDepth > 0 && m_hasReadNotices ? ReadNotices::AlreadyRead : ReadNotices::First;
    m_hasReadNotices = m_lookDepth > 0;
    if (const std::optional<QSet<QString>> changed = m_rootWatch ? m_rootWatch->takeChanges(read) : std::nullopt)
        return changed->isEmpty();
    return modifiedNanoseconds(root) == m_rootModifiedNs;
}

// A batch of our own writes runs from the first write not synced to disk to the sync (commit) that
// ends it: a sync applies a page of records so. Where no watch tells, the calendars listed at its
// start, and each folder's time as we last saw or wrote it, hold within it; they are looked at again
// once it ends. Each of our writes still compares its folder's time with the one noted.
bool EKEventStore::isWithinOwnBatch()
{
    return !foldersToSync().isEmpty();
}

// A current list was told so by the root's watch, when it has one, which read the notices the
// folders' watches share: they take theirs without reading the queue again. A new list looks at the
// folders it lists (as a list does), and then at the files of those only listed so far that the
// query looks in.
void EKEventStore::refreshCalendars(const EKPredicate *query)
{
    const QString root = currentRootPath();
    if (isCalendarListCurrent(root)) {
        refreshKnownFolders(m_rootWatch && m_rootWatch->isArmed() ? ReadNotices::AlreadyRead : ReadNotices::First,
                            query);
        return;
    }
    rescanCalendars(root);
    refreshKnownFolders(ReadNotices::First, query, Refresh::OnlyListed);
}

// Asking which calendars there are needs no look at the files of those already known: the kinds
// of item each takes stay those of its folder's last look until something asks for its items.
void EKEventStore::refreshCalendarList()
{
    const QString root = currentRootPath();
    if (!isCalendarListCurrent(root))
        rescanCalendars(root);
}

// The root's watch starts before the root is looked at, so that it tells every change the look
// misses; a root elsewhere gets a watch of its own.
void EKEventStore::rescanCalendars(const QString &root)
{
    if (!m_rootWatch || root != m_rootPath)
        m_rootWatch = std::make_unique<ICalendarFolderWatch>();
    m_rootWatch->arm(root);
    m_rootPath = root;
    m_rootModifiedNs = modifiedNanoseconds(root);
    m_lastCalendarScan = std::chrono::steady_clock::now();
    const QList<FolderEntry> entries = calendarFoldersIn(m_rootPath);
    QStringList order;
    for (const FolderEntry &entry : entries) {
        order.append(entry.name);
        refreshCalendar(entry.name, m_rootPath + QLatin1Char('/') + entry.name);
    }
    for (const QString &gone :
         QSet<QString>(m_calendarOrder.begin(), m_calendarOrder.end()) - QSet<QString>(order.begin(), order.end())) {
        m_calendars.remove(gone);
        m_folders.erase(gone);
    }
    m_calendarOrder = order;
}

// Between full looks, each known calendar's files are brought up to date (one look at the folder
// when nothing changed), and with them the kinds of item it takes. A folder only listed so far keeps
// its files unread while the query does not look in its calendar (by its kinds of item as listed):
// a run that asks for its reminders does not read the calendar of its events.
void EKEventStore::refreshKnownFolders(ReadNotices read, const EKPredicate *query, Refresh which)
{
    const auto rescan = isWithinOwnBatch() ? ICalendarFolder::Rescan::AfterOwnWrites : ICalendarFolder::Rescan::WhenDue;
    for (const QString &identifier : std::as_const(m_calendarOrder)) {
        ICalendarFolder &folder = *m_folders[identifier];
        if (folder.isOnlyListed() ? isInQuery(*m_calendars[identifier], query) : which == Refresh::All)
            logIfNotRead(folder.refresh(rescan, read));
    }
    setKindsOfKnownCalendars();
}

bool EKEventStore::isInQuery(const EKCalendar &calendar, const EKPredicate *query) const
{
    return !query || (calendarAllows(calendar, query->entityType) &&
                      (query->calendarIdentifiers.isEmpty() ||
                       query->calendarIdentifiers.contains(calendar.calendarIdentifier())));
}

// The kinds each known calendar takes, from what its folder holds as last seen (no look at the files).
void EKEventStore::setKindsOfKnownCalendars()
{
    for (const QString &identifier : std::as_const(m_calendarOrder))
        setEntityTypes(*m_calendars[identifier], *m_folders[identifier]);
}

// A folder of vCards is an address book shown as birthdays; a folder we may not write is a
// subscription. A list needs only the kinds of item each folder holds: a folder's files are read
// when a call first asks for them, not before (a run lists the calendars long before it syncs them).
void EKEventStore::refreshCalendar(const QString &identifier, const QString &path)
{
    std::shared_ptr<ICalendarFolder> &folder = m_folders[identifier];
    const bool isNewView = !folder || folder->path() != path;
    if (isNewView)
        folder = sharedFolderAt(path);
    // A store sees what is on disk when it first looks at a folder that no other store holds (only
    // the process's table and this store do); one that others hold is as fresh as their last look.
    logIfNotRead(folder->refreshForList(isNewView && folder.use_count() == 2));
    std::shared_ptr<EKCalendar> &calendar = m_calendars[identifier];
    if (!calendar)
        calendar = std::make_shared<EKCalendar>();
    calendar->setFolder(identifier, path);
    calendar->setTitle(ICalendarFolder::displayNameOfFolder(path));
    const bool birthdays = folder->isAddressBookFolder();
    calendar->setType(birthdays ? EKCalendarType::Birthday
                                : (isWritableFolder(path) ? EKCalendarType::Local : EKCalendarType::Subscription));
    calendar->setAllowsContentModifications(calendar->type() == EKCalendarType::Local);
    setEntityTypes(*calendar, *folder);
}

// What a folder holds decides which kinds of item it takes: only to-dos, a reminders list; only
// events, a calendar; nothing yet or both, either.
void EKEventStore::setEntityTypes(EKCalendar &calendar, const ICalendarFolder &folder) const
{
    unsigned mask = EKEntityMaskEvent | EKEntityMaskReminder;
    if (folder.isAddressBookFolder() || (folder.hasEvents() && !folder.hasTodos()))
        mask = EKEntityMaskEvent;
    else if (folder.hasTodos() && !folder.hasEvents())
        mask = EKEntityMaskReminder;
    calendar.setAllowedEntityTypes(mask);
}

QList<std::shared_ptr<EKCalendar>> EKEventStore::calendarsForEntityType(EKEntityType entityType)
{
    const std::lock_guard lock(storeMutex());
    refreshCalendarList();
    return knownCalendarsFor(entityType);
}

QList<std::shared_ptr<EKCalendar>> EKEventStore::knownCalendarsFor(EKEntityType entityType)
{
    QList<std::shared_ptr<EKCalendar>> result;
    for (const QString &identifier : std::as_const(m_calendarOrder)) {
        const std::shared_ptr<EKCalendar> &calendar = m_calendars[identifier];
        if (calendarAllows(*calendar, entityType))
            result.append(calendar);
    }
    return result;
}

std::shared_ptr<EKCalendar> EKEventStore::calendarWithIdentifier(const QString &identifier)
{
    const std::lock_guard lock(storeMutex());
    refreshCalendarList();
    return m_calendars.value(identifier);
}

std::shared_ptr<EKCalendar> EKEventStore::defaultCalendarForNewEvents()
{
    return defaultCalendar(EKEntityType::Event, QStringLiteral("Calendar"));
}

std::shared_ptr<EKCalendar> EKEventStore::defaultCalendarForNewReminders()
{
    return defaultCalendar(EKEntityType::Reminder, QStringLiteral("Reminders"));
}

std::shared_ptr<EKCalendar> EKEventStore::defaultCalendar(EKEntityType entityType, const QString &title)
{
    const std::lock_guard lock(storeMutex());
    if (!hasAccessTo(entityType))
        return nullptr;
    for (const std::shared_ptr<EKCalendar> &calendar : calendarsForEntityType(entityType)) {
        if (calendar->allowsContentModifications())
            return calendar;
    }
    std::shared_ptr<EKCalendar> calendar = EKCalendar::calendarForEntityType(entityType);
    calendar->setTitle(title);
    if (const Status saved = saveCalendar(calendar, true); !saved) {
        consoleLog(QStringLiteral("Cannot create the calendar %1: %2").arg(title, saved.error().message()));
        return nullptr;
    }
    return m_calendars.value(calendar->calendarIdentifier(), calendar);
}

Status EKEventStore::saveCalendar(const std::shared_ptr<EKCalendar> &calendar, bool commit)
{
    const std::lock_guard lock(storeMutex());
    if (!calendar)
        return Error(ErrorCode::DataMissing, QStringLiteral("no calendar to save"));
    QString identifier = calendar->calendarIdentifier();
    const QString root = calendarsFolderPath();
    if (identifier.isEmpty()) {
        identifier = newUuidText();
        if (const Status made = makePrivateFolder(root); !made)
            return made;
        if (const Status made = makePrivateFolder(root + QLatin1Char('/') + identifier); !made)
            return made;
    } else if (!isWritableFolder(root + QLatin1Char('/') + identifier)) {
        return Error(ErrorCode::IoPermission, QStringLiteral("calendar %1 cannot be changed").arg(calendar->title()));
    }
    const QString path = root + QLatin1Char('/') + identifier;
    if (const Status written = writeFileAtomically(path + QStringLiteral("/displayname"), calendar->title().toUtf8());
        !written)
        return written;
    calendar->setFolder(identifier, path);
    m_rootModifiedNs = 0;
    refreshCalendars();
    if (m_calendars.value(identifier) != calendar && m_calendars.contains(identifier)) {
        const unsigned wanted = calendar->allowedEntityTypes();
        *m_calendars[identifier] = *calendar;
        m_calendars[identifier]->setAllowedEntityTypes(wanted);
    }
    if (commit)
        return ICalendarFolder::syncFolderToDisk(root);
    return success();
}

EKPredicate EKEventStore::predicateForEventsWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                          const QList<std::shared_ptr<EKCalendar>> &calendars) const
{
    EKPredicate predicate;
    predicate.entityType = EKEntityType::Event;
    predicate.startDate = startDate.toUTC();
    predicate.endDate = endDate.toUTC();
    for (const std::shared_ptr<EKCalendar> &calendar : calendars) {
        if (calendar)
            predicate.calendarIdentifiers.append(calendar->calendarIdentifier());
    }
    return predicate;
}

EKPredicate EKEventStore::predicateForRemindersInCalendars(const QList<std::shared_ptr<EKCalendar>> &calendars) const
{
    EKPredicate predicate = predicateForEventsWithStartDate(QDateTime(), QDateTime(), calendars);
    predicate.entityType = EKEntityType::Reminder;
    return predicate;
}

QList<std::shared_ptr<EKCalendar>> EKEventStore::calendarsMatching(const EKPredicate &predicate)
{
    // A query reads the calendars' files: they are brought up to date with the list.
    refreshCalendars(&predicate);
    return knownCalendarsMatching(predicate);
}

QList<std::shared_ptr<EKCalendar>> EKEventStore::knownCalendarsMatching(const EKPredicate &predicate)
{
    QList<std::shared_ptr<EKCalendar>> result;
    for (const std::shared_ptr<EKCalendar> &calendar : knownCalendarsFor(predicate.entityType)) {
        if (predicate.calendarIdentifiers.isEmpty() ||
            predicate.calendarIdentifiers.contains(calendar->calendarIdentifier()))
            result.append(calendar);
    }
    return result;
}

QList<std::shared_ptr<EKEvent>> EKEventStore::eventsMatchingPredicate(const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    const EKEventSequence sequence = eventSequenceMatchingPredicate(predicate);
    QList<std::shared_ptr<EKEvent>> events;
    events.reserve(sequence.size());
    for (qsizetype index = 0; index < sequence.size(); ++index) {
        if (std::shared_ptr<EKEvent> event = sequence.eventAt(index))
            events.append(std::move(event));
    }
    return events;
}

EKEventSequence EKEventStore::eventSequenceMatchingPredicate(const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    EKEventSequence sequence;
    sequence.m_predicate = predicate;
    sequence.m_store = weak_from_this();
    sequence.m_zoneField = icallisted::systemZoneField();
    QList<std::shared_ptr<EKEvent>> &parsed = sequence.m_parsed;
    for (const std::shared_ptr<EKCalendar> &calendar : calendarsMatching(predicate)) {
        const auto calendarAt = qint32(sequence.m_calendars.size());
        sequence.m_calendars.append(calendar);
        // Room for every file that may be listed, taken at once: a listing of many events never
        // holds its entries twice while they grow.
        const auto expect = [&sequence](qsizetype count) {
            sequence.m_entries.reserve(sequence.m_entries.size() + count);
        };
        ICalendarFolder &folder = *m_folders[calendar->calendarIdentifier()];
        visitFilesMatching(
            folder, predicate,
            {[&](const ICalendarFile &file) { appendEventsOfFile(file, predicate, calendar, parsed); },
             [&](const auto &file) { return appendListedEvent(file, predicate, calendarAt, sequence, folder); },
             expect});
    }
    sequence.m_entries.reserve(sequence.m_entries.size() + parsed.size());
    for (qsizetype at = 0; at < parsed.size(); ++at)
        sequence.m_entries.append(
            {nullptr, {}, nullptr, 0, qint32(at), {.start = parsed.at(at)->startDate().toMSecsSinceEpoch()}});
    // Files whose events lie outside the window took room: given back when they are many.
    if ((sequence.m_entries.capacity() - sequence.m_entries.size()) * 8 > sequence.m_entries.size())
        sequence.m_entries.squeeze();
    sortByStart(sequence);
    return sequence;
}

// A series' regular starts are asked for across windows of many years: an event made per
// occurrence only to read its start cost more than the kept walk they come from.
QList<QDateTime> EKEventStore::regularStartsMatchingPredicate(const EKPredicate &predicate, const QDateTime &walkEnd)
{
    const std::lock_guard lock(storeMutex());
    QList<QDateTime> starts;
    if (predicate.uid.isEmpty() || predicate.title || predicate.firstOccurrenceOnly) {
        for (const std::shared_ptr<EKEvent> &event : eventsMatchingPredicate(predicate)) {
            if (!event->isDetached() && (!walkEnd.isValid() || event->startDate() < walkEnd))
                starts.append(event->startDate());
        }
        return starts;
    }
    for (const std::shared_ptr<EKCalendar> &calendar : calendarsMatching(predicate)) {
        ICalendarFolder &folder = *m_folders[calendar->calendarIdentifier()];
        if (const std::optional<QList<QDateTime>> noted = notedRegularStarts(folder, predicate, walkEnd))
            starts.append(*noted);
        else if (const std::shared_ptr<const ICalendarFile> file = folder.fileForUid(predicate.uid))
            starts.append(regularStartsOfFile(*file, predicate, walkEnd));
    }
    // As the sequence sorts its events: by start, those of one start in the order they were found.
    std::stable_sort(starts.begin(), starts.end(), [](const QDateTime &left, const QDateTime &right) {
        return left.toMSecsSinceEpoch() < right.toMSecsSinceEpoch();
    });
    return starts;
}

// A listing asks for the regular starts of each series it sends after it has read the series' file:
// what that read noted of the file (the walk, the original starts of the moved occurrences) tells
// them while the file stays as read, without a second parse of a file of many moved occurrences.
// Nothing when it is not noted, or the walk does not reach as far as asked: the file is parsed then.
std::optional<QList<QDateTime>> EKEventStore::notedRegularStarts(ICalendarFolder &folder, const EKPredicate &predicate,
                                                                 const QDateTime &walkEnd)
{
    const std::shared_ptr<const ICalendarFile> file = folder.describedFileForUid(predicate.uid);
    const std::shared_ptr<ICalendarSeriesWalks> walks = file ? folder.walksOfFile(*file) : nullptr;
    if (!walks)
        return std::nullopt;
    const auto detached = walks->countedDetachedByUid.constFind(predicate.uid);
    const auto walk = walks->byUid.constFind(predicate.uid);
    if (detached == walks->countedDetachedByUid.constEnd() || walk == walks->byUid.constEnd() || !*walk ||
        (*walk)->horizon < reachAsked(predicate, walkEnd))
        return std::nullopt;
    return regularStartsOfWalk(**walk, predicate, walkEnd, *detached);
}

// How far the walk of regularStartsOfFile reaches: no further than walkEnd, when that bounds it.
QDateTime EKEventStore::reachAsked(const EKPredicate &predicate, const QDateTime &walkEnd)
{
    return walkEnd.isValid() && walkEnd < predicate.endDate ? walkEnd : predicate.endDate;
}

// As appendEventsOfFile gives the series' regular occurrences: those of the walk in the window, less
// those a detached occurrence stands in for. Bound by walkEnd, the walk reaches only that far (or
// as far as a kept walk already does) rather than years ahead.
QList<QDateTime> EKEventStore::regularStartsOfFile(const ICalendarFile &file, const EKPredicate &predicate,
                                                   const QDateTime &walkEnd) const
{
    const icalseries::ItemsOfUid found = icalseries::itemsByUid(file.calendar().get()).value(predicate.uid);
    if (!found.event)
        return {};
    QList<QDateTime> detachedIds;
    for (const auto &counted : countedDetached(file, predicate.uid, {found.event, found.overrides}))
        detachedIds.append(counted.second);
    const QDateTime reach = reachAsked(predicate, walkEnd);
    const bool isBounded = reach != predicate.endDate;
    const std::shared_ptr<const ICalendarOccurrences> walk =
        walkOf(file, predicate.uid, found.event, reach, isBounded ? 0 : kExpansionYearsAhead);
    return regularStartsOfWalk(*walk, predicate, walkEnd, noteCountedDetached(file, predicate.uid, detachedIds));
}

// Each start is looked up among the original starts of the moved occurrences, which a series may
// have hundreds of: they are sorted once and searched, not compared one by one per start.
QList<QDateTime> EKEventStore::regularStartsOfWalk(const ICalendarOccurrences &walk, const EKPredicate &predicate,
                                                   const QDateTime &walkEnd, const QList<qint64> &detachedStarts)
{
    QList<QDateTime> starts = icalcodec::occurrencesOverlapping(walk, predicate.startDate, predicate.endDate);
    if (reachAsked(predicate, walkEnd) != predicate.endDate)
        starts.removeIf([&walkEnd](const QDateTime &start) { return start >= walkEnd; });
    starts.removeIf([&detachedStarts](const QDateTime &start) {
        return start.isValid() &&
               std::binary_search(detachedStarts.cbegin(), detachedStarts.cend(), start.toMSecsSinceEpoch());
    });
    // In UTC, as an occurrence keeps its start.
    for (QDateTime &start : starts)
        start = start.toUTC();
    return starts;
}

// The original starts of a series' counted moved occurrences, sorted, as its file's walks keep them
// for notedRegularStarts while the file stays as read (a parse of a file read while it changed keeps
// no walks, and notes nothing).
QList<qint64> EKEventStore::noteCountedDetached(const ICalendarFile &file, const QString &uid,
                                                const QList<QDateTime> &detachedIds)
{
    QList<qint64> starts;
    starts.reserve(detachedIds.size());
    for (const QDateTime &recurrenceId : detachedIds) {
        if (recurrenceId.isValid())
            starts.append(recurrenceId.toMSecsSinceEpoch());
    }
    std::sort(starts.begin(), starts.end());
    if (file.occurrences())
        file.occurrences()->countedDetachedByUid.insert(uid, starts);
    return starts;
}

namespace {

// What a sequence is sorted by, read once per entry: many events share a start, and their
// identifiers are then told apart by their first bytes, compared as one number, before their texts.
struct StartKey
{
    qint64 start = 0;
    // The first eight characters of an identifier that begins with ASCII, as bytes, big-endian,
    // zeros after it: two keys whose prefixes differ are in the order of their identifiers.
    quint64 prefix = 0;
    qsizetype at = 0;
    bool hasStart = false;
    bool hasPrefix = false;
};

quint64 prefixOf(QByteArrayView plain)
{
    std::array<uchar, 8> bytes = {};
    std::memcpy(bytes.data(), plain.data(), std::min<std::size_t>(bytes.size(), std::size_t(plain.size())));
    return qFromBigEndian<quint64>(bytes.data());
}

// The same of an identifier kept as text (a series' or a parsed file's event), whose first eight
// characters are ASCII: many series start at the same time, and their identifiers were otherwise
// compared whole, each made afresh, at every step of the sort. Nothing for any other.
std::optional<quint64> prefixOfText(const QString &identifier)
{
    std::array<char, 8> bytes = {};
    const qsizetype length = std::min<qsizetype>(qsizetype(bytes.size()), identifier.size());
    for (qsizetype at = 0; at < length; ++at) {
        const char16_t unit = identifier.at(at).unicode();
        if (unit >= 0x80)
            return std::nullopt;
        bytes[std::size_t(at)] = char(unit);
    }
    return prefixOf(QByteArrayView(bytes.data(), length));
}

// Moves each entry to its place: position j takes the entry at order[j]; each cycle of the order is
// walked once and marked done, so no entry is held twice.
template <typename Entry> void moveIntoOrder(Entry *at, std::vector<qsizetype> &order)
{
    for (qsizetype start = 0; start < qsizetype(order.size()); ++start) {
        if (order[std::size_t(start)] == start)
            continue;
        Entry moved = std::move(at[start]);
        qsizetype to = start;
        for (qsizetype from = order[std::size_t(to)]; from != start; from = order[std::size_t(to)]) {
            at[to] = std::move(at[from]);
            order[std::size_t(to)] = to;
            to = from;
        }
        at[to] = std::move(moved);
        order[std::size_t(to)] = to;
    }
}

// The order in which a stable sort by isBefore puts the keys. Stable, as isBefore is no strict
// order where an invalid start meets a valid one at the same millisecond: neither comes first, and
// the two keep the order they were listed in.
template <typename Before> std::vector<qsizetype> orderByStart(std::vector<StartKey> &keys, const Before &isBefore)
{
    std::stable_sort(keys.begin(), keys.end(), isBefore);
    std::vector<qsizetype> order(keys.size());
    std::transform(keys.cbegin(), keys.cend(), order.begin(), [](const StartKey &key) { return key.at; });
    return order;
}

} // namespace

// By start, then identifier; the starts are compared as their dates compare: an invalid start is
// neither before nor after a valid one at the same millisecond, two invalid ones are the same. The
// entries are then moved along the cycles of the order, so a large listing is never held twice.
void EKEventStore::sortByStart(EKEventSequence &sequence)
{
    std::vector<StartKey> keys(std::size_t(sequence.m_entries.size()));
    for (qsizetype index = 0; index < sequence.m_entries.size(); ++index) {
        const std::optional<QByteArrayView> plain = sequence.plainIdentifierAt(index);
        const EKEventSequence::Entry &entry = sequence.m_entries.at(index);
        const std::optional<quint64> prefix =
            plain ? prefixOf(*plain)
                  : entry.listed ? std::nullopt : prefixOfText(sequence.m_parsed.at(entry.at)->eventIdentifier());
        keys[std::size_t(index)] = {entry.reading.start, prefix.value_or(0), index, sequence.hasValidStartAt(index),
                                    bool(prefix)};
    }
    std::vector<qsizetype> order = orderByStart(keys, [&sequence](const StartKey &left, const StartKey &right) {
        if (left.start != right.start)
            return left.start < right.start;
        if (left.hasStart != right.hasStart)
            return false;
        if (left.hasPrefix && right.hasPrefix && left.prefix != right.prefix)
            return left.prefix < right.prefix;
        return sequence.isIdentifierBefore(left.at, right.at);
    });
    moveIntoOrder(sequence.m_entries.data(), order);
}

QString EKEventSequence::identifierAt(qsizetype index) const
{
    const Entry &entry = m_entries.at(index);
    if (!entry.listed)
        return m_parsed.at(entry.at)->eventIdentifier();
    if (entry.plainUid)
        return QString::fromLatin1(entry.plainUid, entry.plainUidSize);
    return entry.listed->uids().value(0);
}

std::optional<QByteArrayView> EKEventSequence::plainIdentifierAt(qsizetype index) const
{
    const Entry &entry = m_entries.at(index);
    if (!entry.plainUid)
        return std::nullopt;
    return QByteArrayView(entry.plainUid, entry.plainUidSize);
}

// Identifiers of ASCII are compared as their bytes, which order as their characters do.
bool EKEventSequence::isIdentifierBefore(qsizetype left, qsizetype right) const
{
    const std::optional<QByteArrayView> leftPlain = plainIdentifierAt(left);
    const std::optional<QByteArrayView> rightPlain = plainIdentifierAt(right);
    if (leftPlain && rightPlain)
        return std::string_view(leftPlain->data(), std::size_t(leftPlain->size())) <
               std::string_view(rightPlain->data(), std::size_t(rightPlain->size()));
    if (leftPlain)
        return QLatin1StringView(*leftPlain).compare(identifierAt(right)) < 0;
    if (rightPlain)
        return QLatin1StringView(*rightPlain).compare(identifierAt(left)) > 0;
    return identifierAt(left) < identifierAt(right);
}

// A listed event always has a start: its text is not taken without one.
bool EKEventSequence::hasValidStartAt(qsizetype index) const
{
    const Entry &entry = m_entries.at(index);
    return entry.listed || m_parsed.at(entry.at)->startDate().isValid();
}

std::shared_ptr<EKEvent> EKEventSequence::eventAt(qsizetype index) const
{
    const Entry &entry = m_entries.at(index);
    if (!entry.listed)
        return m_parsed.at(entry.at);
    if (entry.reading.isSeries)
        return listedSeriesEventAt(entry);
    std::shared_ptr<EKEvent> event = icallisted::eventFromListed(entry.listedText, m_zoneField);
    const std::shared_ptr<EKCalendar> &calendar = m_calendars.at(entry.at);
    if (event && event->startDate().isValid() && event->startDate().toMSecsSinceEpoch() == entry.reading.start &&
        event->eventIdentifier() == identifierAt(index)) {
        event->setCalendar(calendar);
        return event;
    }
    const std::shared_ptr<EKEventStore> store = m_store.lock();
    return store ? store->eventOfListedFile(entry, calendar, m_predicate) : nullptr;
}

// As appendListedSeries makes the series' first occurrence from its text; from its file when the
// text no longer tells it.
std::shared_ptr<EKEvent> EKEventSequence::listedSeriesEventAt(const Entry &entry) const
{
    std::optional<icallisted::ListedSeries> series = icallisted::readListedSeries(entry.listedText, m_zoneField);
    const std::shared_ptr<EKCalendar> &calendar = m_calendars.at(entry.at);
    if (series && series->items.size() == 1 && series->items.first().master) {
        std::shared_ptr<EKEvent> master = std::move(series->items.first().master);
        master->setCalendar(calendar);
        QList<std::shared_ptr<EKEvent>> events;
        EKEventStore::appendRegularOccurrences(
            std::move(master), {QDateTime::fromMSecsSinceEpoch(entry.reading.start, Qt::UTC)}, {}, events);
        return events.first();
    }
    const std::shared_ptr<EKEventStore> store = m_store.lock();
    return store ? store->eventOfListedFile(entry, calendar, m_predicate) : nullptr;
}

std::optional<icallisted::ListedSeriesLook> EKEventSequence::seriesLookAt(qsizetype index,
                                                                          icallisted::ListedSeriesScratch &room) const
{
    const Entry &entry = m_entries.at(index);
    if (!entry.reading.isSeries)
        return std::nullopt;
    return icallisted::lookOfListedSeries(entry.listedText, m_zoneField, room);
}

qint64 EKEventSequence::startAt(qsizetype index) const
{
    return m_entries.at(index).reading.start;
}

QStringList EKEventSequence::listedSeriesIdentifiers() const
{
    QStringList identifiers;
    for (const Entry &entry : m_entries) {
        if (entry.reading.isSeries)
            identifiers.append(QString::fromLatin1(entry.plainUid, entry.plainUidSize));
    }
    return identifiers;
}

// The reading placed the event: its text is not read again.
std::optional<icallisted::ListedLook> EKEventSequence::lookAt(qsizetype index, QByteArray &scratch) const
{
    const Entry &entry = m_entries.at(index);
    if (!entry.listed)
        return std::nullopt;
    return icallisted::lookOf(entry.listedText, entry.reading, scratch);
}

// A listed text is no more than a few cache lines, read from its start; its UID lies before it.
void EKEventSequence::prefetchLookAt(qsizetype index) const
{
    constexpr qsizetype kLine = 64;
    if (index >= m_entries.size())
        return;
    const Entry &entry = m_entries.at(index);
    __builtin_prefetch(entry.plainUid);
    const QByteArrayView text = entry.listedText;
    for (qsizetype at = 0; at < text.size(); at += kLine)
        __builtin_prefetch(text.data() + at);
}

QList<std::shared_ptr<EKEvent>> EKEventSequence::parsedEvents() const
{
    QList<std::shared_ptr<EKEvent>> events;
    events.reserve(m_parsed.size());
    for (const Entry &entry : m_entries) {
        if (!entry.listed)
            events.append(m_parsed.at(entry.at));
    }
    return events;
}

// A listing parses only the files whose events may reach into the window, one at a time, so no more
// than one file's tree is alive at once. Titles decide which events are compared as duplicates:
// they are checked in the files themselves. A file holding one single event whose description says
// what a listing reads of it is not parsed.
void EKEventStore::visitFilesMatching(ICalendarFolder &folder, const EKPredicate &predicate,
                                      const FileVisitors &visitors) const
{
    const auto &visit = visitors.parsed;
    const auto &visitListed = visitors.listed;
    if (!predicate.uid.isEmpty()) {
        if (const std::shared_ptr<const ICalendarFile> file = folder.fileForUid(predicate.uid))
            visit(*file);
        return;
    }
    const QList<std::shared_ptr<const ICalendarFile>> described =
        predicate.title ? filesWithTitle(folder, predicate)
                        : folder.describedEventFiles(predicate.startDate, predicate.endDate);
    if (!predicate.title)
        visitors.expectListed(described.size());
    for (qsizetype at = 0; at < described.size(); ++at) {
        prefetchDescribedText(described, at + kTextsAhead);
        const std::shared_ptr<const ICalendarFile> &candidate = described.at(at);
        // The files of a window were chosen by the same test; those holding a title were not.
        if (predicate.title &&
            (!candidate->hasEvents || !candidate->mayOverlap(predicate.startDate, predicate.endDate) ||
             !mayHoldEventIn(*candidate, predicate.startDate, predicate.endDate)))
            continue;
        if (isListedBefore(*candidate, predicate) || folder.isLeftAlone(*candidate))
            continue;
        if (!predicate.title && visitListed(candidate))
            continue;
        const std::shared_ptr<const ICalendarFile> file = folder.parsedFile(candidate);
        if (file)
            noteMoments(*file, predicate.title.has_value());
        if (file && (!predicate.title || file->titles().contains(*predicate.title)))
            visit(*file);
    }
}

// A test for duplicates looks only at the files that may hold an event of the title with the record's
// start and end, found by their keys: a title many events share costs no look at each of their files.
QList<std::shared_ptr<const ICalendarFile>> EKEventStore::filesWithTitle(ICalendarFolder &folder,
                                                                         const EKPredicate &predicate)
{
    if (predicate.titleSpan) {
        if (auto found = folder.describedFilesWithTitleAt(*predicate.title, *predicate.titleSpan))
            return *std::move(found);
    }
    return folder.describedFilesWithTitle(*predicate.title);
}

// A series' walk is kept with its file's description, which is replaced whole when the file changes;
// a file read while it changed gets a walk of its own.
std::shared_ptr<const ICalendarOccurrences> EKEventStore::walkOf(const ICalendarFile &file, const QString &uid,
                                                                 icalcomponent *master, const QDateTime &windowEnd,
                                                                 int yearsAhead)
{
    std::shared_ptr<const ICalendarOccurrences> own;
    std::shared_ptr<const ICalendarOccurrences> &known = file.occurrences() ? file.occurrences()->byUid[uid] : own;
    if (!known || known->horizon < windowEnd) {
        const QDateTime ahead = QDateTime::currentDateTimeUtc().addYears(yearsAhead);
        known = std::make_shared<const ICalendarOccurrences>(
            icalcodec::expandOccurrences(master, std::max(windowEnd, ahead)));
    }
    return known;
}

QList<QDateTime> EKEventStore::occurrencesOf(const ICalendarFile &file, const QString &uid, icalcomponent *master,
                                             const QDateTime &windowStart, const QDateTime &windowEnd) const
{
    return icalcodec::occurrencesOverlapping(*walkOf(file, uid, master, windowEnd, kExpansionYearsAhead), windowStart,
                                             windowEnd);
}

// Asked of each moved occurrence of every listing: the walk need reach no further than it.
bool EKEventStore::isOccurrenceOf(const ICalendarFile &file, const QString &uid, icalcomponent *master,
                                  const QDateTime &start)
{
    const std::shared_ptr<const ICalendarOccurrences> walk =
        walkOf(file, uid, master, start.addSecs(1), kNotedYearsAhead);
    return start.isValid() && std::binary_search(walk->starts.cbegin(), walk->starts.cend(), start.toMSecsSinceEpoch());
}

namespace {

// Whether the set holds the text of the Latin-1 bytes, told through a text of this thread's that is
// written over for each: a listing asks this of every file in each window after its first, and a
// text made and let go per question cost as much as the question.
bool containsLatin1(const QSet<QString> &texts, QByteArrayView latin1)
{
    thread_local QString scratch;
    scratch.resize(latin1.size());
    char16_t *const out = reinterpret_cast<char16_t *>(scratch.data());
    for (qsizetype at = 0; at < latin1.size(); ++at)
        out[at] = char16_t(uchar(latin1[at]));
    return texts.contains(scratch);
}

// Where a moved occurrence may lie, widened as a file's reach is: anywhere when its start is unknown.
ICalendarSeriesWalks::Reach reachOfDetached(const QDateTime &start, qint64 lengthSeconds)
{
    if (!start.isValid())
        return {ICalendarFile::kOpenStart, ICalendarFile::kOpenEnd};
    const qint64 first = start.toSecsSinceEpoch() - ICalendarFile::kReachMarginSeconds;
    return {first, first + std::max<qint64>(lengthSeconds, 0) + 2 * ICalendarFile::kReachMarginSeconds};
}

} // namespace

// Where the events of a parsed file with a series lie, as appendEventsOfFile finds them: its moved
// occurrences by their reach, and (withWalks) each UID's event by its walk. Kept with the file's
// walks, so that a query of another window passes the file by unparsed while it does not change.
void EKEventStore::noteMoments(const ICalendarFile &file, bool withWalks)
{
    if (!file.occurrences())
        return;
    ICalendarSeriesWalks &walks = *file.occurrences();
    icalcomponent *root = file.calendar().get();
    if (!walks.detachedReaches) {
        QList<ICalendarSeriesWalks::Reach> reaches;
        for (const QString &uid : file.uids()) {
            for (icalcomponent *detached : icalseries::overridesOf(root, uid))
                reaches.append(reachOfDetached(icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(detached)),
                                               icalcodec::lengthSeconds(detached)));
        }
        walks.detachedReaches = std::move(reaches);
    }
    if (!withWalks || walks.walks)
        return;
    QList<std::shared_ptr<const ICalendarOccurrences>> series;
    for (const QString &uid : file.uids()) {
        if (icalcomponent *master = icalseries::masterOf(root, uid, ICAL_VEVENT_COMPONENT))
            series.append(walkOf(file, uid, master, QDateTime::currentDateTimeUtc(), kNotedYearsAhead));
    }
    walks.walks = std::move(series);
}

// Whether a moved occurrence of the file, as noted, may overlap the window; true when none are noted.
bool EKEventStore::mayHoldDetachedIn(const ICalendarFile &file, const QDateTime &windowStart,
                                     const QDateTime &windowEnd)
{
    if (!file.occurrences() || !file.occurrences()->detachedReaches || !windowStart.isValid() || !windowEnd.isValid())
        return true;
    const QList<ICalendarSeriesWalks::Reach> &reaches = *file.occurrences()->detachedReaches;
    if (reaches.isEmpty())
        return false;
    const qint64 start = windowStart.toSecsSinceEpoch();
    const qint64 end = windowEnd.toSecsSinceEpoch();
    return std::any_of(reaches.cbegin(), reaches.cend(),
                       [&](const auto &reach) { return reach.first <= end && reach.second >= start; });
}

// False only when what is noted of the file tells that none of its events overlaps the window.
bool EKEventStore::mayHoldEventIn(const ICalendarFile &file, const QDateTime &windowStart, const QDateTime &windowEnd)
{
    if (!file.occurrences() || !file.occurrences()->walks || mayHoldDetachedIn(file, windowStart, windowEnd))
        return true;
    return std::any_of(file.occurrences()->walks->cbegin(), file.occurrences()->walks->cend(), [&](const auto &walk) {
        return walk->horizon < windowEnd || !icalcodec::occurrencesOverlapping(*walk, windowStart, windowEnd).isEmpty();
    });
}

// A listing that reads each series once passes by a file whose every UID is a series it has read,
// when none of the file's moved occurrences, as noted, can lie in the window.
bool EKEventStore::isListedBefore(const ICalendarFile &file, const EKPredicate &predicate)
{
    if (!predicate.firstOccurrenceOnly || predicate.seriesToLeaveOut.isEmpty() ||
        mayHoldDetachedIn(file, predicate.startDate, predicate.endDate))
        return false;
    // A file of one plain UID, as nearly every file is, is told by its bytes: no list is made.
    if (const std::optional<QByteArrayView> plain = file.plainSingleUid())
        return containsLatin1(predicate.seriesToLeaveOut, *plain);
    const QStringList uids = file.uids();
    return std::all_of(uids.cbegin(), uids.cend(),
                       [&](const QString &uid) { return predicate.seriesToLeaveOut.contains(uid); });
}

QList<QDateTime> EKEventStore::regularOccurrences(const ICalendarFile &file, const QString &uid, icalcomponent *master,
                                                  const EKPredicate &predicate,
                                                  const QList<QDateTime> &detachedIds) const
{
    if (!predicate.firstOccurrenceOnly)
        return occurrencesOf(file, uid, master, predicate.startDate, predicate.endDate);
    if (predicate.seriesToLeaveOut.contains(uid))
        return {};
    const std::optional<QDateTime> first =
        icalcodec::firstOccurrence(master, predicate.startDate, predicate.endDate, detachedIds);
    return first ? QList<QDateTime>{*first} : QList<QDateTime>{};
}

// Each series gives its occurrences in the window, less those a detached occurrence stands in for;
// a detached occurrence counts where it now lies, and only while its series still has that occurrence.
void EKEventStore::appendEventsOfFile(const ICalendarFile &file, const EKPredicate &predicate,
                                      const std::shared_ptr<EKCalendar> &calendar,
                                      QList<std::shared_ptr<EKEvent>> &events)
{
    const QHash<QString, icalseries::ItemsOfUid> items = icalseries::itemsByUid(file.calendar().get());
    for (const QString &uid : file.uids()) {
        if (!predicate.uid.isEmpty() && uid != predicate.uid)
            continue;
        const icalseries::ItemsOfUid found = items.value(uid);
        icalcomponent *master = found.event;
        const QList<QDateTime> detachedIds =
            appendDetachedOccurrences(file, uid, {master, found.overrides}, predicate, calendar, events);
        if (!master)
            continue;
        const QList<QDateTime> starts = regularOccurrences(file, uid, master, predicate, detachedIds);
        if (starts.isEmpty())
            continue;
        appendRegularOccurrences(eventFromComponent(master, calendar), starts, detachedIds, events);
    }
}

// The series' own event becomes its last occurrence when nothing else holds it: a listing of each
// series' first occurrence then makes no copy of it.
void EKEventStore::appendRegularOccurrences(std::shared_ptr<EKEvent> series, const QList<QDateTime> &starts,
                                            const QList<QDateTime> &detachedIds,
                                            QList<std::shared_ptr<EKEvent>> &events)
{
    const QDateTime seriesStart = series->startDate();
    const qint64 length = seriesStart.secsTo(series->endDate());
    for (qsizetype at = 0; at < starts.size(); ++at) {
        if (detachedIds.contains(starts.at(at)))
            continue;
        // The event keeps its dates in UTC: the start is taken there once, and its end reckoned
        // there, where a date in a zone (even UTC's) looks its offset up at each step.
        const QDateTime start = starts.at(at).toUTC();
        const bool isOwnEvent = at == starts.size() - 1 && series.use_count() == 1;
        std::shared_ptr<EKEvent> occurrence = isOwnEvent ? std::move(series) : std::make_shared<EKEvent>(*series);
        occurrence->setStartDate(start);
        occurrence->setEndDate(start.addSecs(length));
        occurrence->setOccurrence(start, false);
        occurrence->setIsSeriesStart(start == seriesStart);
        events.append(std::move(occurrence));
    }
}

namespace {

// As appendDetachedOccurrences gives them from the parsed file.
QList<QDateTime> appendListedDetached(const icallisted::ListedSeriesItem &item, const EKPredicate &predicate,
                                      const std::shared_ptr<EKCalendar> &calendar,
                                      QList<std::shared_ptr<EKEvent>> &events)
{
    QList<QDateTime> detachedIds;
    for (const icallisted::ListedDetached &detached : item.detached) {
        if (!detached.isOccurrence)
            continue;
        detachedIds.append(detached.recurrenceId);
        const EKEvent &event = *detached.event;
        const bool overlaps = event.startDate() < predicate.endDate &&
                              (event.endDate() > predicate.startDate || event.startDate() >= predicate.startDate);
        if (!overlaps)
            continue;
        detached.event->setCalendar(calendar);
        events.append(detached.event);
    }
    return detachedIds;
}

// Where the moved occurrences a listing tells may lie, as noteMoments notes them from the parse: a
// later window of the same listing then passes the file by undecoded once its series are read
// (isListedBefore). Each reach holds every window its occurrence's test in appendListedDetached takes.
QList<ICalendarSeriesWalks::Reach> listedReaches(const icallisted::ListedSeries &series)
{
    QList<ICalendarSeriesWalks::Reach> reaches;
    for (const icallisted::ListedSeriesItem &item : series.items) {
        for (const icallisted::ListedDetached &detached : item.detached) {
            const QDateTime start = detached.event->startDate();
            const QDateTime end = detached.event->endDate();
            reaches.append(reachOfDetached(start, end.isValid() && start.isValid() ? start.secsTo(end) : 0));
        }
    }
    return reaches;
}

// As regularOccurrences gives them from the parsed file, from the walk kept in the listing; nothing
// when the walk does not tell them: it ends within the window, before the first occurrence asked for or
// before the last of those in the window.
std::optional<QList<QDateTime>> listedRegularStarts(const icallisted::ListedStarts &starts, qint64 lengthSeconds,
                                                    qint64 horizon, const EKPredicate &predicate,
                                                    const QList<QDateTime> &detachedIds)
{
    const bool endsInWindow = predicate.endDate.toMSecsSinceEpoch() > horizon;
    if (!predicate.firstOccurrenceOnly) {
        if (endsInWindow)
            return std::nullopt;
        const ICalendarOccurrences walk{QDateTime::fromMSecsSinceEpoch(horizon, Qt::UTC), starts.all(), lengthSeconds};
        return icalcodec::occurrencesOverlapping(walk, predicate.startDate, predicate.endDate);
    }
    const auto visitStartsFrom = [&starts](qint64 from, const icalcodec::StartVisitor &visit) {
        starts.visitFrom(from, visit);
    };
    const std::optional<QDateTime> first = icalcodec::firstOccurrenceIn(visitStartsFrom, lengthSeconds,
                                                                        predicate.startDate, predicate.endDate, detachedIds);
    if (first)
        return QList<QDateTime>{*first};
    return endsInWindow ? std::nullopt : std::optional<QList<QDateTime>>(QList<QDateTime>{});
}

} // namespace

// The events of a series file from its listing, as appendEventsOfFile gives them from its parse;
// false, adding nothing, when the listing does not tell them (damaged, read in another zone, or its
// walks end too soon for the window).
bool EKEventStore::appendListedSeries(QByteArrayView listed, const EKPredicate &predicate,
                                      const std::shared_ptr<EKCalendar> &calendar, const QByteArray &zoneField,
                                      QList<std::shared_ptr<EKEvent>> &events, ICalendarSeriesWalks *walks)
{
    std::optional<icallisted::ListedSeries> series = icallisted::readListedSeries(listed, zoneField);
    if (!series || !predicate.endDate.isValid())
        return false;
    if (walks && !walks->detachedReaches)
        walks->detachedReaches = listedReaches(*series);
    // What the file adds is taken back when the listing does not tell it whole.
    const qsizetype before = events.size();
    for (icallisted::ListedSeriesItem &item : series->items) {
        const QList<QDateTime> detachedIds = appendListedDetached(item, predicate, calendar, events);
        if (!item.master)
            continue;
        const bool isLeftOut = predicate.firstOccurrenceOnly &&
                               predicate.seriesToLeaveOut.contains(item.master->calendarItemIdentifier());
        const std::optional<QList<QDateTime>> starts =
            isLeftOut ? QList<QDateTime>{}
                      : listedRegularStarts(item.starts, item.lengthSeconds, series->horizon, predicate, detachedIds);
        if (!starts) {
            events.resize(before);
            return false;
        }
        if (starts->isEmpty())
            continue;
        item.master->setCalendar(calendar);
        appendRegularOccurrences(std::move(item.master), *starts, detachedIds, events);
    }
    return true;
}

// A file of one series with a rule and no moved occurrences, in a listing that reads each series
// once, is placed from its walk: the event of its first occurrence in the window is made only when
// the sequence is asked for it, and what telling the series unchanged needs is read from the text
// (seriesLookAt). False, placing nothing, when the text does not tell the series so.
bool EKEventStore::placeListedSeries(const std::shared_ptr<const ICalendarFile> &file, const EKPredicate &predicate,
                                     qint32 calendarAt, EKEventSequence &sequence, ICalendarFolder &folder)
{
    const std::optional<QByteArrayView> plain = file->plainSingleUid();
    if (!predicate.firstOccurrenceOnly || !plain || !predicate.endDate.isValid())
        return false;
    const QByteArrayView listed = file->listedEvent();
    const std::optional<icallisted::ListedSeriesSkim> skim = icallisted::skimListedSeries(listed, sequence.m_zoneField);
    if (!skim)
        return false;
    // The file has no moved occurrence: a later window passes it by once its series is read.
    ICalendarSeriesWalks *walks = folder.walksOfFile(*file).get();
    if (walks && !walks->detachedReaches)
        walks->detachedReaches = QList<ICalendarSeriesWalks::Reach>();
    if (containsLatin1(predicate.seriesToLeaveOut, *plain))
        return true;
    const std::optional<QList<QDateTime>> starts =
        listedRegularStarts(skim->starts, skim->lengthSeconds, skim->horizon, predicate, {});
    if (!starts)
        return false;
    if (starts->isEmpty())
        return true;
    const qint64 start = starts->first().toMSecsSinceEpoch();
    icallisted::ListedReading reading{.start = start, .end = start + skim->lengthSeconds * 1000};
    reading.isSeries = true;
    sequence.m_entries.append({file, listed, plain->data(), qint32(plain->size()), calendarAt, reading});
    return true;
}

// The event of a file holding one single event, from its description, as appendEventsOfFile gives it
// from the parsed file; answers false when the description holds no listed event read in this zone.
// The entry keeps the description: the event is made when the sequence is read, and its identifier
// read from the description when asked for.
bool EKEventStore::appendListedEvent(const std::shared_ptr<const ICalendarFile> &file, const EKPredicate &predicate,
                                     qint32 calendarAt, EKEventSequence &sequence, ICalendarFolder &folder)
{
    const QByteArrayView listed = file->listedEvent();
    if (listed.isEmpty())
        return false;
    if (icallisted::isListedSeries(listed))
        return placeListedSeries(file, predicate, calendarAt, sequence, folder) ||
               appendListedSeries(listed, predicate, sequence.m_calendars.at(calendarAt), sequence.m_zoneField,
                                  sequence.m_parsed, folder.walksOfFile(*file).get());
    // The identifier is the file's one UID: held as plain bytes, it is compared as they stand.
    const std::optional<QByteArrayView> plain = file->plainSingleUid();
    const std::optional<QString> identifier = plain ? std::nullopt : onlyUidOf(*file);
    if (!plain && !identifier)
        return false;
    const std::optional<icallisted::ListedReading> reading =
        plain ? icallisted::readListedUtf8(listed, *plain, sequence.m_zoneField)
              : icallisted::readListed(listed, *identifier, sequence.m_zoneField);
    if (!reading)
        return false;
    if (predicate.firstOccurrenceOnly && !predicate.seriesToLeaveOut.isEmpty() &&
        (plain ? containsLatin1(predicate.seriesToLeaveOut, *plain) : predicate.seriesToLeaveOut.contains(*identifier)))
        return true;
    if (icalcodec::overlapsWindow(reading->start, reading->end, predicate.startDate, predicate.endDate))
        sequence.m_entries.append({file, listed, plain ? plain->data() : nullptr, plain ? qint32(plain->size()) : 0,
                                   calendarAt, *reading});
    return true;
}

// A description that no longer tells its event whole (the system's time zone changed since, say)
// gives way to the file's parse.
std::shared_ptr<EKEvent> EKEventStore::eventOfListedFile(const EKEventSequence::Entry &entry,
                                                         const std::shared_ptr<EKCalendar> &calendar,
                                                         const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    const auto folder = m_folders.find(calendar->calendarIdentifier());
    const std::shared_ptr<const ICalendarFile> file =
        folder == m_folders.end() ? nullptr : folder->second->parsedFile(entry.listed);
    if (!file)
        return nullptr;
    QList<std::shared_ptr<EKEvent>> events;
    appendEventsOfFile(*file, predicate, calendar, events);
    return events.value(0);
}

QList<std::pair<icalcomponent *, QDateTime>>
EKEventStore::countedDetached(const ICalendarFile &file, const QString &uid, const SeriesParts &series)
{
    QList<std::pair<icalcomponent *, QDateTime>> counted;
    for (icalcomponent *detached : series.overrides) {
        const QDateTime recurrenceId = icalcodec::recurrenceIdOf(detached);
        if (!series.master || isOccurrenceOf(file, uid, series.master, recurrenceId))
            counted.append({detached, recurrenceId});
    }
    return counted;
}

// Appends the detached occurrences of the series that lie in the window; answers the original starts
// of all of them, which the series' own occurrences then leave out.
QList<QDateTime> EKEventStore::appendDetachedOccurrences(const ICalendarFile &file, const QString &uid,
                                                         const SeriesParts &series, const EKPredicate &predicate,
                                                         const std::shared_ptr<EKCalendar> &calendar,
                                                         QList<std::shared_ptr<EKEvent>> &events)
{
    icalcomponent *const master = series.master;
    // The series' rules and start are read once and shared by its moved occurrences, of which a
    // series may have hundreds: each kept a copy of its own.
    std::optional<QList<EKRecurrenceRule>> rules;
    const QDateTime seriesStart = master ? icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(master)) : QDateTime();
    QList<QDateTime> detachedIds;
    for (const auto &[detached, recurrenceId] : countedDetached(file, uid, series)) {
        detachedIds.append(recurrenceId);
        std::shared_ptr<EKEvent> event = eventFromComponent(detached, calendar);
        const bool overlaps = event->startDate() < predicate.endDate &&
                              (event->endDate() > predicate.startDate || event->startDate() >= predicate.startDate);
        if (!overlaps)
            continue;
        if (master && !rules)
            rules = icalcodec::seriesRules(master);
        if (master)
            event->setRecurrenceRules(*rules);
        event->setOccurrence(recurrenceId, true);
        event->setIsSeriesStart(master && recurrenceId == seriesStart);
        events.append(event);
    }
    if (master)
        noteCountedDetached(file, uid, detachedIds);
    return detachedIds;
}

std::optional<EKEventStore::Location> EKEventStore::locate(const QString &uid)
{
    refreshCalendars();
    return locateKnown(uid);
}

std::optional<EKEventStore::Location> EKEventStore::locateKnown(const QString &uid)
{
    for (const QString &identifier : std::as_const(m_calendarOrder)) {
        ICalendarFolder *folder = m_folders[identifier].get();
        if (std::shared_ptr<const ICalendarFile> file = folder->fileForUid(uid))
            return Location{folder, std::move(file), identifier};
    }
    return std::nullopt;
}

std::shared_ptr<EKEvent> EKEventStore::eventWithIdentifier(const QString &identifier)
{
    const std::lock_guard lock(storeMutex());
    if (!hasAccessTo(EKEntityType::Event) || identifier.isEmpty())
        return nullptr;
    return eventAt(locate(identifier), identifier);
}

std::shared_ptr<EKEvent> EKEventStore::knownEventWithIdentifier(const QString &identifier)
{
    const std::lock_guard lock(storeMutex());
    if (!hasAccessTo(EKEntityType::Event) || identifier.isEmpty())
        return nullptr;
    return eventAt(locateKnown(identifier), identifier);
}

bool EKEventStore::visitKnownEventLook(const QString &identifier,
                                       const std::function<void(const icallisted::ListedLook &)> &visit)
{
    const std::lock_guard lock(storeMutex());
    if (!hasAccessTo(EKEntityType::Event) || identifier.isEmpty())
        return false;
    const std::optional<Location> location = locateKnown(identifier);
    const QByteArrayView listed = location ? location->file->listedEvent() : QByteArrayView();
    const std::optional<icallisted::ListedReading> reading =
        listed.isEmpty() ? std::nullopt : icallisted::readListed(listed, identifier);
    if (!reading || reading->isSeries)
        return false;
    QByteArray scratch;
    const std::optional<icallisted::ListedLook> look = icallisted::lookOf(listed, *reading, scratch);
    if (!look)
        return false;
    visit(*look);
    return true;
}

// A file of one single event keeps the text a listing makes its event from: the event is made from
// that, as a listing makes it, with no read of the tree; from the tree when the text tells no event of
// the identifier (another zone's, damaged, or none).
std::shared_ptr<EKEvent> EKEventStore::eventAt(const std::optional<Location> &location, const QString &identifier) const
{
    if (!location)
        return nullptr;
    icalcomponent *master = icalseries::masterOf(location->file->calendar().get(), identifier, ICAL_VEVENT_COMPONENT);
    if (!master)
        return nullptr;
    const std::shared_ptr<EKCalendar> calendar = m_calendars.value(location->calendarIdentifier);
    const QByteArrayView listed = location->file->listedEvent();
    std::shared_ptr<EKEvent> event = listed.isEmpty() ? nullptr : icallisted::eventFromListed(listed);
    if (!event || event->eventIdentifier() != identifier)
        return eventFromComponent(master, calendar);
    event->setCalendar(calendar);
    return event;
}

std::shared_ptr<EKCalendarItem> EKEventStore::calendarItemWithIdentifier(const QString &identifier)
{
    const std::lock_guard lock(storeMutex());
    if (std::shared_ptr<EKEvent> event = eventWithIdentifier(identifier))
        return event;
    const std::optional<Location> location = locate(identifier);
    if (!location || !hasAccessTo(EKEntityType::Reminder))
        return nullptr;
    icalcomponent *todo = icalseries::masterOf(location->file->calendar().get(), identifier, ICAL_VTODO_COMPONENT);
    if (!todo)
        return nullptr;
    auto reminder = std::make_shared<EKReminder>();
    icalcodec::readReminder(todo, *reminder);
    reminder->setCalendar(m_calendars.value(location->calendarIdentifier));
    return reminder;
}

QSet<QString> EKEventStore::damagedItemIdentifiers()
{
    const std::lock_guard lock(storeMutex());
    refreshCalendars();
    QSet<QString> identifiers;
    for (const auto &[identifier, folder] : m_folders) {
        for (const QString &uid : folder->damagedItemUids())
            identifiers.insert(uid);
    }
    return identifiers;
}

Result<ICalendarFolder *> EKEventStore::writableFolderOf(const std::shared_ptr<EKCalendar> &calendar,
                                                         EKEntityType entityType)
{
    refreshCalendars();
    if (!hasAccessTo(entityType))
        return Error(ErrorCode::IoPermission,
                     QStringLiteral("the store was opened without access to this kind of item"));
    const std::shared_ptr<EKCalendar> known = calendar ? m_calendars.value(calendar->calendarIdentifier()) : nullptr;
    if (!known)
        return Error(ErrorCode::DataMissing, QStringLiteral("the item has no calendar of this store"));
    if (!known->allowsContentModifications())
        return Error(ErrorCode::IoPermission, QStringLiteral("calendar %1 is read-only").arg(known->title()));
    return m_folders[known->calendarIdentifier()].get();
}

// A save that commits flushes each file before its rename and then syncs the folders, as one durable
// save should; saves without commit leave new files to the later commit, which then syncs the file
// systems once for all of them.
FileFlush EKEventStore::flushFor(bool commit)
{
    return commit ? FileFlush::Always : FileFlush::WhenReplacing;
}

// After a write the calendars take the kinds their folders now hold: a listing by kind right after
// a test item was saved and removed again shows the folder as it is, not as it was mid-way.
Status EKEventStore::finishWrite(const Status &status, bool commit)
{
    setKindsOfKnownCalendars();
    if (!status)
        return status;
    return commit ? this->commit() : success();
}

// Every write goes through these three, which note the folder to sync, also when they fail: a failed
// change may have written part of its files (a move) before it failed.
Status EKEventStore::createItem(ICalendarFolder &folder, icalcomponent *calendar, const QString &uid)
{
    foldersToSync().insert(folder.path());
    hasUnflushedFiles() = hasUnflushedFiles() || m_flush != FileFlush::Always;
    return folder.writeFile(ICalendarFolder::fileNameForUid(uid),
                            std::shared_ptr<icalcomponent_impl>(calendar, freeIcalComponent), m_flush);
}

Status EKEventStore::createEvent(const std::shared_ptr<EKEvent> &event, ICalendarFolder &folder)
{
    const QString uid = event->eventIdentifier().isEmpty() ? newUuidText() : event->eventIdentifier();
    icalcomponent *calendar = icalseries::newCalendar();
    icalcomponent *item = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    icalcomponent_set_uid(item, uid.toUtf8().constData());
    icalcomponent_add_component(calendar, item);
    icalcodec::writeEvent(calendar, item, *event, true);
    icalcodec::stampCreation(item);
    const Status written = createItem(folder, calendar, uid);
    if (written) {
        event->setCalendarItemIdentifier(uid);
        event->setIsNew(false);
        event->setOccurrence(event->startDate(), false);
        event->setIsSeriesStart(true);
    }
    return written;
}

Status EKEventStore::saveEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, bool commit)
{
    const std::lock_guard lock(storeMutex());
    m_flush = flushFor(commit);
    if (!event || !event->startDate().isValid())
        return Error(ErrorCode::DataMissing, QStringLiteral("an event needs a start date"));
    const Result<ICalendarFolder *> target = writableFolderOf(event->calendar(), EKEntityType::Event);
    if (!target)
        return target.error();
    const std::optional<Location> location =
        event->eventIdentifier().isEmpty() ? std::nullopt : locateKnown(event->eventIdentifier());
    if (!location && (event->eventIdentifier().isEmpty() || event->isNew()))
        return finishWrite(createEvent(event, **target), commit);
    if (!location)
        return Error(ErrorCode::IoNotFound,
                     QStringLiteral("event %1 is no longer in the store").arg(event->eventIdentifier()));
    if (!m_calendars.value(location->calendarIdentifier)->allowsContentModifications())
        return Error(ErrorCode::IoPermission, QStringLiteral("the event's calendar is read-only"));
    return finishWrite(updateEvent(event, span, *location, **target), commit);
}

namespace {

// A calendar of the UID's items alone, with the calendar's own properties and time zones: what an
// item moved to another calendar takes along from a file of several items (the others stay).
icalcomponent *copyOfItemsOf(icalcomponent *calendar, const QString &uid)
{
    icalcomponent *copy = icalcomponent_new(ICAL_VCALENDAR_COMPONENT);
    for (icalproperty *property = icalcomponent_get_first_property(calendar, ICAL_ANY_PROPERTY); property;
         property = icalcomponent_get_next_property(calendar, ICAL_ANY_PROPERTY))
        icalcomponent_add_property(copy, icalproperty_new_clone(property));
    const QByteArray wanted = uid.toUtf8();
    for (icalcomponent *item = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); item;
         item = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        const icalcomponent_kind kind = icalcomponent_isa(item);
        const char *text = icalcomponent_get_uid(item);
        const bool isItem = kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT;
        if (kind == ICAL_VTIMEZONE_COMPONENT || (isItem && text && wanted == text))
            icalcomponent_add_component(copy, icalcomponent_new_clone(item));
    }
    return copy;
}

// An occurrence, not moved, of a series of RDATEs the phone cannot hold as a rule (their local times
// of day differ): the phone holds it as a single event standing for the series, and its edits are
// the series' own, never a moved occurrence.
bool isUnmovedOccurrenceOfDatesAlone(icalcomponent *master, const EKEvent &event, EKSpan span)
{
    return span == EKSpan::ThisEvent && !event.isDetached() && icalcodec::seriesRules(master).isEmpty() &&
           !icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) &&
           event.startDate() == event.occurrenceDate() &&
           event.startDate().secsTo(event.endDate()) == icalcodec::lengthSeconds(master);
}

// The event's fields on the series' own dates.
EKEvent seriesOfUnmovedOccurrence(icalcomponent *master, const EKEvent &event)
{
    EKEvent series(event);
    const QDateTime start = icalcodec::dateFromIcalTime(icalcomponent_get_dtstart(master));
    series.setStartDate(start);
    series.setEndDate(start.addSecs(icalcodec::lengthSeconds(master)));
    return series;
}

} // namespace

Status EKEventStore::updateEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, const Location &location,
                                 ICalendarFolder &target)
{
    const QString uid = event->eventIdentifier();
    if (event->isDetached() && span == EKSpan::ThisEvent && &target == location.folder) {
        if (std::optional<Status> written = updateMovedOccurrence(*event, location))
            return *written;
    }
    icalcomponent *calendar = treeToChange(location, &target == location.folder);
    icalcomponent *master = icalseries::masterOf(calendar, uid, ICAL_VEVENT_COMPONENT);
    const bool occurrenceOfSeries = master && icalseries::isRecurring(master);
    if (occurrenceOfSeries && isUnmovedOccurrenceOfDatesAlone(master, *event, span)) {
        icalcodec::writeEvent(calendar, master, seriesOfUnmovedOccurrence(master, *event), false);
    } else if (!master || !occurrenceOfSeries || (span == EKSpan::FutureEvents && event->isSeriesStart())) {
        if (!master) {
            discardTree(location, calendar);
            return Error(ErrorCode::DataMalformed, QStringLiteral("event %1 has no series to change").arg(uid));
        }
        icalcodec::writeEvent(calendar, master, *event, true);
    } else if (span == EKSpan::ThisEvent) {
        icalseries::detachOccurrence(calendar, master, *event);
    } else {
        // The series ends before this occurrence, and the occurrence starts a series of its own,
        // which takes over the occurrences a counted rule had left.
        const int before = icalseries::occurrencesBefore(master, event->occurrenceDate());
        event->setRecurrenceRules(rulesWithCountLessBy(event->recurrenceRules(), before));
        icalseries::endSeriesBefore(calendar, master, event->occurrenceDate());
        const Status written = writeEventCopy(*location.folder, location, calendar, uid);
        if (!written)
            return written;
        event->setCalendarItemIdentifier(QString());
        return createEvent(event, target);
    }
    if (&target != location.folder) {
        icalcomponent *moved = copyOfItemsOf(calendar, uid);
        if (const Status written = createItem(target, moved, uid); !written) {
            icalcomponent_free(calendar);
            return written;
        }
        icalcomponent_free(calendar);
        return removeWholeItem(location, uid);
    }
    return writeEventCopy(*location.folder, location, calendar, uid);
}

// A moved occurrence (an invitation to one occurrence without its series among them too) is changed
// where it stands: its own properties, UID and RECURRENCE-ID kept. Nothing when the file has none.
std::optional<Status> EKEventStore::updateMovedOccurrence(const EKEvent &event, const Location &location)
{
    const QString uid = event.eventIdentifier();
    icalcomponent *calendar = treeToChange(location, true);
    icalcomponent *moved = icalseries::overrideAt(calendar, uid, event.occurrenceDate());
    if (!moved) {
        discardTree(location, calendar);
        return std::nullopt;
    }
    icalcodec::writeEvent(calendar, moved, event, false);
    return writeEventCopy(*location.folder, location, calendar, uid);
}

// A staged file is changed where it stands: a page of changes to a file of many items then costs
// what the changes cost, with no copy of the whole tree per change.
icalcomponent *EKEventStore::treeToChange(const Location &location, bool inPlace) const
{
    icalcomponent *staged = location.file->calendar().get();
    if (inPlace && m_flush != FileFlush::Always && location.folder->isStagedTree(location.file->fileName(), staged))
        return staged;
    return icalcomponent_new_clone(staged);
}

void EKEventStore::discardTree(const Location &location, icalcomponent *calendar)
{
    if (!location.folder->isStagedTree(location.file->fileName(), calendar))
        icalcomponent_free(calendar);
}

// Writes a changed copy of a file back under the file's own name, as the file's text with what the
// copy changed written anew, and frees the copy. A save without commit stages a file of several
// items (ICalendarFolder::stageFile): it is written once, at the commit, however many of its items
// the saves before it changed; a change made in the staged tree itself is told to the folder by its
// UID.
Status EKEventStore::writeEventCopy(ICalendarFolder &target, const Location &location, icalcomponent *calendar,
                                    const QString &uid)
{
    foldersToSync().insert(target.path());
    hasUnflushedFiles() = hasUnflushedFiles() || m_flush != FileFlush::Always;
    if (&target == location.folder && target.isStagedTree(location.file->fileName(), calendar)) {
        target.restageItem(location.file->fileName(), uid);
        return success();
    }
    std::shared_ptr<icalcomponent_impl> changed(calendar, freeIcalComponent);
    if (m_flush != FileFlush::Always)
        return target.stageFile(location.file->fileName(), std::move(changed), location.file, m_flush);
    return target.writeFile(location.file->fileName(), std::move(changed), m_flush, location.file.get());
}

Status EKEventStore::removeWholeItem(const Location &location, const QString &uid)
{
    foldersToSync().insert(location.folder->path());
    icalcomponent *calendar = treeToChange(location, true);
    if (icalseries::removeItems(calendar, uid))
        return writeEventCopy(*location.folder, location, calendar, uid);
    discardTree(location, calendar);
    return location.folder->removeFile(location.file->fileName());
}

Status EKEventStore::removeEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, bool commit)
{
    const std::lock_guard lock(storeMutex());
    m_flush = flushFor(commit);
    if (!event || event->eventIdentifier().isEmpty())
        return Error(ErrorCode::DataMissing, QStringLiteral("the event was never saved"));
    const QString uid = event->eventIdentifier();
    const std::optional<Location> location = locate(uid);
    if (!location)
        return Error(ErrorCode::IoNotFound, QStringLiteral("event %1 is no longer in the store").arg(uid));
    if (!m_calendars.value(location->calendarIdentifier)->allowsContentModifications() ||
        !hasAccessTo(EKEntityType::Event))
        return Error(ErrorCode::IoPermission, QStringLiteral("the event's calendar is read-only"));
    icalcomponent *calendar = treeToChange(*location, true);
    icalcomponent *master = icalseries::masterOf(calendar, uid, ICAL_VEVENT_COMPONENT);
    if (!icalseries::isRecurring(master) || (span == EKSpan::FutureEvents && event->isSeriesStart())) {
        discardTree(*location, calendar);
        return finishWrite(removeWholeItem(*location, uid), commit);
    }
    if (span == EKSpan::ThisEvent)
        icalseries::excludeOccurrence(calendar, master, event->occurrenceDate());
    else
        icalseries::endSeriesBefore(calendar, master, event->occurrenceDate());
    return finishWrite(writeEventCopy(*location->folder, *location, calendar, uid), commit);
}

Status EKEventStore::removeOccurrences(const QList<std::shared_ptr<EKEvent>> &occurrences, bool commit)
{
    const std::lock_guard lock(storeMutex());
    const QString uid = occurrences.isEmpty() ? QString() : occurrences.first()->eventIdentifier();
    const bool isOneSeries = std::all_of(occurrences.cbegin(), occurrences.cend(), [&uid](const auto &occurrence) {
        return occurrence && !occurrence->isDetached() && occurrence->eventIdentifier() == uid;
    });
    const std::optional<Location> location = isOneSeries && !uid.isEmpty() ? locate(uid) : std::nullopt;
    icalcomponent *const stored =
        location ? icalseries::masterOf(location->file->calendar().get(), uid, ICAL_VEVENT_COMPONENT) : nullptr;
    if (occurrences.size() < 2 || !icalseries::isRecurring(stored)) {
        Status status = success();
        for (const std::shared_ptr<EKEvent> &occurrence : occurrences) {
            if (const Status removed = removeEvent(occurrence, EKSpan::ThisEvent, commit); !removed && status)
                status = removed;
        }
        return status;
    }
    m_flush = flushFor(commit);
    if (!m_calendars.value(location->calendarIdentifier)->allowsContentModifications() ||
        !hasAccessTo(EKEntityType::Event))
        return Error(ErrorCode::IoPermission, QStringLiteral("the event's calendar is read-only"));
    icalcomponent *calendar = treeToChange(*location, true);
    icalcomponent *master = icalseries::masterOf(calendar, uid, ICAL_VEVENT_COMPONENT);
    QSet<QDateTime> excluded;
    for (const std::shared_ptr<EKEvent> &occurrence : occurrences) {
        const QDateTime date = occurrence->occurrenceDate();
        if (excluded.contains(date))
            continue;
        excluded.insert(date);
        icalseries::excludeOccurrence(calendar, master, date);
    }
    return finishWrite(writeEventCopy(*location->folder, *location, calendar, uid), commit);
}

void EKEventStore::fetchRemindersMatchingPredicate(const EKPredicate &predicate,
                                                   std::function<void(QList<std::shared_ptr<EKReminder>>)> completion)
{
    // The block holds the store, as a running fetch keeps the platform's store alive.
    m_queue->async([self = shared_from_this(), predicate, completion = std::move(completion)] {
        completion(self->remindersMatchingPredicate(predicate));
    });
}

QList<std::shared_ptr<EKReminder>> EKEventStore::remindersMatchingPredicate(const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    QList<std::shared_ptr<EKReminder>> reminders;
    for (const std::shared_ptr<EKCalendar> &calendar : calendarsMatching(predicate)) {
        ICalendarFolder &folder = *m_folders[calendar->calendarIdentifier()];
        for (const std::shared_ptr<const ICalendarFile> &described : folder.describedFiles()) {
            const std::shared_ptr<const ICalendarFile> file =
                described->hasTodos && !folder.isLeftAlone(*described) ? folder.parsedFile(described) : nullptr;
            for (const QString &uid : file ? file->uids() : QStringList()) {
                icalcomponent *todo = icalseries::masterOf(file->calendar().get(), uid, ICAL_VTODO_COMPONENT);
                if (!todo)
                    continue;
                auto reminder = std::make_shared<EKReminder>();
                icalcodec::readReminder(todo, *reminder);
                reminder->setCalendar(calendar);
                reminders.append(reminder);
            }
        }
    }
    return reminders;
}

qsizetype EKEventStore::countOfItemsMatchingPredicate(const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    return countItemsIn(calendarsMatching(predicate), predicate);
}

// The calendars' kinds of item are worked out again from what their folders know now.
qsizetype EKEventStore::countOfKnownItemsMatchingPredicate(const EKPredicate &predicate)
{
    const std::lock_guard lock(storeMutex());
    const bool knowsAll = !m_calendarOrder.isEmpty() &&
                          std::all_of(predicate.calendarIdentifiers.cbegin(), predicate.calendarIdentifiers.cend(),
                                      [this](const QString &identifier) { return m_calendars.contains(identifier); });
    if (!knowsAll)
        refreshCalendars();
    for (const QString &identifier : std::as_const(m_calendarOrder))
        setEntityTypes(*m_calendars[identifier], *m_folders[identifier]);
    return countItemsIn(knownCalendarsMatching(predicate), predicate);
}

// Counted from the folders' descriptions: only files holding both kinds are read. The UIDs of the
// files are kept as their bytes in the descriptions, which the held files keep alive.
qsizetype EKEventStore::countItemsIn(const QList<std::shared_ptr<EKCalendar>> &calendars, const EKPredicate &predicate)
{
    const bool isEvents = predicate.entityType == EKEntityType::Event;
    // A file parsed for its items may replace its description in the folder: the keys' own stay held.
    QList<QList<std::shared_ptr<const ICalendarFile>>> held;
    QSet<QByteArray> identifiers;
    for (const std::shared_ptr<EKCalendar> &calendar : calendars) {
        ICalendarFolder &folder = *m_folders[calendar->calendarIdentifier()];
        const QList<std::shared_ptr<const ICalendarFile>> files =
            isEvents ? folder.describedEventFiles(predicate.startDate, predicate.endDate) : folder.describedFiles();
        identifiers.reserve(identifiers.size() + files.size());
        for (qsizetype at = 0; at < files.size(); ++at) {
            prefetchDescribedText(files, at + kTextsAhead);
            if (isEvents || files.at(at)->hasTodos)
                addItemKeysOfFile(folder, files.at(at), isEvents, identifiers);
        }
        held.append(files);
    }
    return identifiers.size();
}

Status EKEventStore::saveReminder(const std::shared_ptr<EKReminder> &reminder, bool commit)
{
    const std::lock_guard lock(storeMutex());
    m_flush = flushFor(commit);
    if (!reminder)
        return Error(ErrorCode::DataMissing, QStringLiteral("no reminder to save"));
    const Result<ICalendarFolder *> target = writableFolderOf(reminder->calendar(), EKEntityType::Reminder);
    if (!target)
        return target.error();
    QString uid = reminder->calendarItemIdentifier();
    const std::optional<Location> location = uid.isEmpty() ? std::nullopt : locateKnown(uid);
    icalcomponent *calendar = location ? treeToChange(*location, location->folder == *target) : icalseries::newCalendar();
    icalcomponent *todo = location ? icalseries::masterOf(calendar, uid, ICAL_VTODO_COMPONENT) : nullptr;
    if (!todo) {
        uid = uid.isEmpty() ? newUuidText() : uid;
        todo = icalcomponent_new(ICAL_VTODO_COMPONENT);
        icalcomponent_set_uid(todo, uid.toUtf8().constData());
        icalcomponent_add_component(calendar, todo);
        icalcodec::stampCreation(todo);
    }
    icalcodec::writeReminder(calendar, todo, *reminder);
    Status written = success();
    if (location && location->folder == *target) {
        written = writeEventCopy(**target, *location, calendar, uid);
    } else {
        icalcomponent *created = location ? copyOfItemsOf(calendar, uid) : calendar;
        if (location)
            icalcomponent_free(calendar);
        written = createItem(**target, created, uid);
        if (written && location)
            written = removeWholeItem(*location, uid);
    }
    if (written)
        reminder->setCalendarItemIdentifier(uid);
    return finishWrite(written, commit);
}

Status EKEventStore::removeReminder(const std::shared_ptr<EKReminder> &reminder, bool commit)
{
    const std::lock_guard lock(storeMutex());
    m_flush = flushFor(commit);
    if (!reminder || reminder->calendarItemIdentifier().isEmpty())
        return Error(ErrorCode::DataMissing, QStringLiteral("the reminder was never saved"));
    const std::optional<Location> location = locate(reminder->calendarItemIdentifier());
    if (!location)
        return Error(ErrorCode::IoNotFound,
                     QStringLiteral("reminder %1 is no longer in the store").arg(reminder->calendarItemIdentifier()));
    if (!m_calendars.value(location->calendarIdentifier)->allowsContentModifications() ||
        !hasAccessTo(EKEntityType::Reminder))
        return Error(ErrorCode::IoPermission, QStringLiteral("the reminder's list is read-only"));
    return finishWrite(removeWholeItem(*location, reminder->calendarItemIdentifier()), commit);
}

Status EKEventStore::commit()
{
    return syncWrittenFolders();
}

Status EKEventStore::syncWrittenFolders()
{
    const std::lock_guard lock(storeMutex());
    if (foldersToSync().isEmpty())
        return success();
    QStringList paths(foldersToSync().cbegin(), foldersToSync().cend());
    paths.sort();
    if (const Status written = writeStagedFiles(paths); !written)
        return written;
    if (diskSyncHook()) {
        if (const Status hooked = diskSyncHook()(paths); !hooked)
            return hooked;
    }
    if (const Status synced = hasUnflushedFiles() ? syncFileSystemsOf(paths) : syncFolders(paths); !synced)
        return synced;
    foldersToSync().clear();
    hasUnflushedFiles() = false;
    return success();
}

// The staged files of the folders, each written once; on failure the others are written all the
// same, and the failed ones wait for the next commit.
Status EKEventStore::writeStagedFiles(const QStringList &paths)
{
    Status status = success();
    for (const QString &path : paths) {
        const std::shared_ptr<ICalendarFolder> folder = sharedFolderAt(path);
        if (!folder->hasStagedFiles())
            continue;
        if (stagedWriteHook())
            stagedWriteHook()(StagedWriteStep::Writing);
        if (const Status written = folder->writeStagedFiles(FileFlush::WhenReplacing); !written && status)
            status = written;
        if (stagedWriteHook())
            stagedWriteHook()(StagedWriteStep::Written);
    }
    return status;
}

void EKEventStore::setStagedWriteHook(std::function<void(StagedWriteStep)> hook)
{
    const std::lock_guard lock(storeMutex());
    stagedWriteHook() = std::move(hook);
}

// Files flushed before their renames need only their folders synced, which spares the flush of
// whatever else is waiting on their file systems.
Status EKEventStore::syncFolders(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (const Status synced = ICalendarFolder::syncFolderToDisk(path); !synced && isPlainFolder(path))
            return synced;
    }
    return success();
}

void EKEventStore::setDiskSyncHook(std::function<Status(const QStringList &)> hook)
{
    const std::lock_guard lock(storeMutex());
    diskSyncHook() = std::move(hook);
}

// Other stores may still hold the folders; this one looks at them afresh when next asked.
void EKEventStore::reset()
{
    const std::lock_guard lock(storeMutex());
    releaseFolders();
    m_calendars.clear();
    m_calendarOrder.clear();
    m_rootModifiedNs = 0;
}

} // namespace platform
