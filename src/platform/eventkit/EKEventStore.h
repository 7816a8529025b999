#pragma once

#include "platform/eventkit/EKCalendar.h"
#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/EKReminder.h"
#include "platform/eventkit/EKTypes.h"
#include "platform/eventkit/ICalendarFolderWatch.h"
#include "platform/eventkit/ICalendarListedEvent.h"
#include "platform/eventkit/ICalendarListedSeries.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QSet>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

struct icalcomponent_impl;

namespace platform {

class DispatchQueue;
class ICalendarFolder;
struct ICalendarSeriesWalks;
struct ICalendarFile;
struct ICalendarOccurrences;

// What a query asks for: events overlapping a date window, or reminders; in the given calendars, or
// in every calendar of the kind when the list is empty.
struct EKPredicate final
{
    EKEntityType entityType = EKEntityType::Event;
    QDateTime startDate;
    QDateTime endDate;
    QStringList calendarIdentifiers;
    // Only the events of this series, when set.
    QString uid;
    // Only the events of files holding an event of this title, when set.
    std::optional<QString> title;
    // With a title: only the files that may hold an event of it with this start and end, as a duplicate
    // test asks; the window's events of the title with that start and end are all there, others may
    // be missing.
    std::optional<std::pair<QDateTime, QDateTime>> titleSpan;
    // Of each series only its first regular occurrence in the window (detached ones all), and none
    // of the series named here: a listing that reads a series once needs no more of it.
    bool firstOccurrenceOnly = false;
    QSet<QString> seriesToLeaveOut;
};

class EKEventStore;

// The events a query found, in their order (by start, then identifier), each made when asked for:
// an event that the folder's description of its file tells whole is kept as a reference to that
// description, so a listing of many events never holds them all at once. An entry is small: its
// identifier and start are read from the description when asked for. Used under the store that
// made it, while the store lives.
class EKEventSequence final
{
public:
    qsizetype size() const { return m_entries.size(); }
    // The event at the position, made afresh each time it is asked for; null when its file no
    // longer gives it.
    std::shared_ptr<EKEvent> eventAt(qsizetype index) const;
    // The identifier of the event at the position.
    QString identifierAt(qsizetype index) const;
    // Its bytes when the description holds them as they stand (ASCII, no escape): valid while the
    // sequence lives; nothing otherwise (identifierAt has it).
    std::optional<QByteArrayView> plainIdentifierAt(qsizetype index) const;
    // What telling whether the event at the position changed needs of it, read from its file's
    // description without making it; nothing for an event read from a parse, or one the description
    // no longer tells whole (eventAt makes those). Texts with escapes are decoded into scratch: the
    // look is used while the sequence and scratch are held, scratch unchanged.
    std::optional<icallisted::ListedLook> lookAt(qsizetype index, QByteArray &scratch) const;
    // Asks the processor to bring in what lookAt reads of the event at the position (nothing when
    // there is none): a listing that looks at one event after another asks a few ahead.
    void prefetchLookAt(qsizetype index) const;
    // The events that were read from parsed files (series, their occurrences, files of several
    // items), in their order: the few the sequence holds made. Series placed from their walks are
    // not among them (listedSeriesIdentifiers).
    QList<std::shared_ptr<EKEvent>> parsedEvents() const;
    // Of a series' first occurrence placed from its walk, unmade, what telling whether the series
    // changed needs, read from its text into room; nothing for any other event, or when the text no
    // longer tells it (eventAt makes it). Used while room is held, unchanged.
    std::optional<icallisted::ListedSeriesLook> seriesLookAt(qsizetype index,
                                                             icallisted::ListedSeriesScratch &room) const;
    // The start of the event at the position, in milliseconds since 1970.
    qint64 startAt(qsizetype index) const;
    // The identifiers of the series placed from their walks, in their order.
    QStringList listedSeriesIdentifiers() const;

private:
    friend class EKEventStore;
    struct Entry
    {
        std::shared_ptr<const ICalendarFile> listed; // the file whose description tells the event
        QByteArrayView listedText;                   // and its text of it (descriptions never change)
        const char *plainUid = nullptr; // the file's one UID within the description, when plain
        qint32 plainUidSize = 0;
        // The calendar of a listed event, in m_calendars; else the event made when its file was
        // parsed, in m_parsed.
        qint32 at = -1;
        // Of a listed event, read once when it was placed; of any event its start, in milliseconds
        // since 1970, which the sequence is sorted by. A listing holds an entry per event: each
        // is kept small.
        icallisted::ListedReading reading;
    };
    // Whether the entry at the left goes before the one at the right among those of one start.
    bool isIdentifierBefore(qsizetype left, qsizetype right) const;
    std::shared_ptr<EKEvent> listedSeriesEventAt(const Entry &entry) const;
    bool hasValidStartAt(qsizetype index) const;
    QList<Entry> m_entries;
    QList<std::shared_ptr<EKEvent>> m_parsed;
    QList<std::shared_ptr<EKCalendar>> m_calendars;
    EKPredicate m_predicate;
    QByteArray m_zoneField; // the system time zone the listed texts must have been read in
    std::weak_ptr<EKEventStore> m_store;
};

// The calendar store: every calendar and reminders list is a folder of iCalendar files under one root
// folder (the user default "CalendarsFolder", else "<data folder>/Calendars"), which khal, todoman and
// vdirsyncer read and write too. Every store object is a view of the same folders, whose descriptions
// the stores of a process share: a store looks at what is on disk when it first looks at a folder,
// and later re-reads only the files that changed since. A save that commits writes its files whole
// (a crash of the process loses none), flushes them and syncs their folders at once. Saves without
// commit write new files and files of one item at once, unflushed, and stage their changes to files
// of several items (an exported calendar) in memory, which every store of the process sees: the next
// commit of any store writes each staged file once, however many of its items changed, and makes
// them all durable with one sync of each file system written; the last store to let a folder go
// writes what is still staged there. Thread-safe: calls from several
// queues, to any store, take the stores' common lock in turn. Reminder fetches complete on the
// store's own serial queue.
class EKEventStore final : public std::enable_shared_from_this<EKEventStore>
{
public:
    static inline const QString kCalendarsFolderKey = QStringLiteral("CalendarsFolder");

    // A store giving access to the entity types of the mask (EKEntityMask values).
    static std::shared_ptr<EKEventStore> create(unsigned entityMask);
    ~EKEventStore();
    EKEventStore(const EKEventStore &) = delete;
    EKEventStore &operator=(const EKEventStore &) = delete;

    // Holds the stores' lock for a run of calls that may all see the folders as the first of them
    // finds them: the notices of what other programs changed are read once, by that first call, not
    // by each. What changes meanwhile is seen by the first call after the look.
    class OneLook final
    {
    public:
        explicit OneLook(EKEventStore &store);
        ~OneLook();
        OneLook(const OneLook &) = delete;
        OneLook &operator=(const OneLook &) = delete;

    private:
        std::unique_lock<std::recursive_mutex> m_lock;
        EKEventStore &m_store;
    };

    // The root folder of the calendars.
    static QString calendarsFolderPath();
    // Authorized while the root folder exists or can be made; Denied when something else stands there.
    static EKAuthorizationStatus authorizationStatusForEntityType(EKEntityType entityType);
    // Makes the root folder when it is missing and answers on the store's queue.
    void requestAccessToEntityType(EKEntityType entityType,
                                   std::function<void(bool granted, std::optional<Error> error)> completion);
    unsigned entityMask() const { return m_entityMask; }

    // Calendars in creation order (folder birth time, then name). A store opened without access to
    // the entity type sees none of it.
    QList<std::shared_ptr<EKCalendar>> calendarsForEntityType(EKEntityType entityType);
    std::shared_ptr<EKCalendar> calendarWithIdentifier(const QString &identifier);
    // The first writable calendar of the kind; a new one ("Calendar", "Reminders") when there is none.
    std::shared_ptr<EKCalendar> defaultCalendarForNewEvents();
    std::shared_ptr<EKCalendar> defaultCalendarForNewReminders();
    // Creates a new calendar's folder (with its "displayname"), or writes a changed title.
    Status saveCalendar(const std::shared_ptr<EKCalendar> &calendar, bool commit);

    EKPredicate predicateForEventsWithStartDate(const QDateTime &startDate, const QDateTime &endDate,
                                                const QList<std::shared_ptr<EKCalendar>> &calendars) const;
    // The events overlapping the window, series expanded into occurrences, detached occurrences in
    // place of theirs, removed ones absent; sorted by start.
    QList<std::shared_ptr<EKEvent>> eventsMatchingPredicate(const EKPredicate &predicate);
    // The same events, made one at a time as they are asked for.
    EKEventSequence eventSequenceMatchingPredicate(const EKPredicate &predicate);
    // The starts of the regular occurrences (not the detached ones) among those events, in their
    // order: of one series (uid set), straight from its kept walk, with no event made per occurrence.
    // With a valid walkEnd only those starting before it: the series is walked no further than that.
    QList<QDateTime> regularStartsMatchingPredicate(const EKPredicate &predicate, const QDateTime &walkEnd = {});
    // The event (a series: its first occurrence) with the identifier; null when there is none.
    std::shared_ptr<EKEvent> eventWithIdentifier(const QString &identifier);
    // The event as this store last saw or saved it, without looking at the folders again: right after
    // a save, what the save wrote (another program's change since is for the next look to find).
    std::shared_ptr<EKEvent> knownEventWithIdentifier(const QString &identifier);
    // What a listing reads of that event (icallisted::ListedLook), given to visit while the text it
    // lies in is held, without the event made; false, with nothing visited, where the store keeps no
    // such text of it (a series, another program's file, an event read in another time zone).
    bool visitKnownEventLook(const QString &identifier,
                             const std::function<void(const icallisted::ListedLook &)> &visit);
    std::shared_ptr<EKCalendarItem> calendarItemWithIdentifier(const QString &identifier);
    // The identifiers of the items whose files are still there but no longer read or parse, as the
    // folders last saw them: such an item is out of reach until its file is mended, never deleted.
    QSet<QString> damagedItemIdentifiers();
    // Saves a new event, an event, or an occurrence: "this event" detaches the occurrence, "future
    // events" changes the series from the occurrence on (the whole series from its first occurrence).
    Status saveEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, bool commit);
    // Removes an event, one occurrence ("this event"), or the series from the occurrence on.
    Status removeEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, bool commit);
    // Removes regular occurrences of one series ("this event" each) with one write of its file,
    // however many they are; an event that is no occurrence of a recurring series is removed as
    // removeEvent removes it.
    Status removeOccurrences(const QList<std::shared_ptr<EKEvent>> &occurrences, bool commit);

    EKPredicate predicateForRemindersInCalendars(const QList<std::shared_ptr<EKCalendar>> &calendars) const;
    // Reads the reminders on the store's queue and hands them to the completion there.
    void fetchRemindersMatchingPredicate(const EKPredicate &predicate,
                                         std::function<void(QList<std::shared_ptr<EKReminder>>)> completion);
    QList<std::shared_ptr<EKReminder>> remindersMatchingPredicate(const EKPredicate &predicate);
    // How many events (a series once) or reminders the predicate would find, the events by the
    // reach of their files, without reading the files that hold one kind of item only.
    qsizetype countOfItemsMatchingPredicate(const EKPredicate &predicate);
    // The same count from what the stores of the process last saw of the calendars' folders, with
    // what they wrote to them since, without looking at the folders again: the count of a run that
    // has just listed and written them. Calendars this store does not know yet are looked at first.
    qsizetype countOfKnownItemsMatchingPredicate(const EKPredicate &predicate);
    Status saveReminder(const std::shared_ptr<EKReminder> &reminder, bool commit);
    Status removeReminder(const std::shared_ptr<EKReminder> &reminder, bool commit);

    // Syncs to disk what the stores of the process wrote since the last sync: files, renames and
    // removals, one sync per file system; nothing when nothing was written. On failure the folders
    // stay to be synced by the next commit.
    Status commit();
    static Status syncWrittenFolders();
    // Called with the folders about to be synced; tests use it to see the order of the steps, and to
    // fail the sync as a failing disk would. An empty function removes it.
    static void setDiskSyncHook(std::function<Status(const QStringList &folderPaths)> hook);
    // Called as a commit writes the files that saves without commit staged: before a folder's
    // staged files are written, and after; the crash tests stop the process there. An empty
    // function removes it.
    enum class StagedWriteStep { Writing, Written };
    static void setStagedWriteHook(std::function<void(StagedWriteStep)> hook);
    // Lets go of the folders, so the next call looks at every file afresh.
    void reset();

    std::shared_ptr<DispatchQueue> queue() const { return m_queue; }

private:
    friend class EKEventSequence;
    struct Location
    {
        ICalendarFolder *folder = nullptr;
        std::shared_ptr<const ICalendarFile> file;
        QString calendarIdentifier;
    };

    explicit EKEventStore(unsigned entityMask);
    // The calendars and each one's files as they are on disk now; with a query, the files of those it
    // looks in.
    void refreshCalendars(const EKPredicate *query = nullptr);
    // The calendars alone: known folders keep what their last look found; new ones are looked at.
    void refreshCalendarList();
    bool isCalendarListCurrent(const QString &root);
    // Whether some store of the process wrote files it has not yet synced to disk.
    static bool isWithinOwnBatch();
    void rescanCalendars(const QString &root);
    QString currentRootPath();
    void releaseFolders();
    void refreshCalendar(const QString &identifier, const QString &path);
    // Which folders refreshKnownFolders looks at again: all of them, or only those listed so far.
    enum class Refresh { All, OnlyListed };
    void refreshKnownFolders(ReadNotices read, const EKPredicate *query = nullptr, Refresh which = Refresh::All);
    // Whether a query (none: every question) looks in the calendar's files.
    bool isInQuery(const EKCalendar &calendar, const EKPredicate *query) const;
    void setEntityTypes(EKCalendar &calendar, const ICalendarFolder &folder) const;
    void setKindsOfKnownCalendars();
    // Calls the parsed visitor with each parsed file of a calendar the predicate can find events in; a
    // file whose description the listed visitor takes (true) is not parsed. Before the first, the
    // listed visitor's owner is told how many files it may be given.
    struct FileVisitors
    {
        std::function<void(const ICalendarFile &)> parsed;
        std::function<bool(const std::shared_ptr<const ICalendarFile> &)> listed;
        std::function<void(qsizetype)> expectListed;
    };
    void visitFilesMatching(ICalendarFolder &folder, const EKPredicate &predicate, const FileVisitors &visitors) const;
    QList<QDateTime> regularOccurrences(const ICalendarFile &file, const QString &uid, icalcomponent_impl *master,
                                        const EKPredicate &predicate, const QList<QDateTime> &detachedIds) const;
    QList<QDateTime> occurrencesOf(const ICalendarFile &file, const QString &uid, icalcomponent_impl *master,
                                   const QDateTime &windowStart, const QDateTime &windowEnd) const;
    // The walk of a series of the file, reaching past windowEnd and the years ahead of today.
    static std::shared_ptr<const ICalendarOccurrences> walkOf(const ICalendarFile &file, const QString &uid,
                                                              icalcomponent_impl *master, const QDateTime &windowEnd,
                                                              int yearsAhead);
    static bool isOccurrenceOf(const ICalendarFile &file, const QString &uid, icalcomponent_impl *master,
                               const QDateTime &start);
    static void noteMoments(const ICalendarFile &file, bool withWalks);
    static bool mayHoldDetachedIn(const ICalendarFile &file, const QDateTime &windowStart, const QDateTime &windowEnd);
    static bool mayHoldEventIn(const ICalendarFile &file, const QDateTime &windowStart, const QDateTime &windowEnd);
    static bool isListedBefore(const ICalendarFile &file, const EKPredicate &predicate);
    static QList<std::shared_ptr<const ICalendarFile>> filesWithTitle(ICalendarFolder &folder,
                                                                      const EKPredicate &predicate);
    bool hasAccessTo(EKEntityType entityType) const;
    QList<std::shared_ptr<EKCalendar>> calendarsMatching(const EKPredicate &predicate);
    // As calendarsMatching, of those the last refresh found.
    QList<std::shared_ptr<EKCalendar>> knownCalendarsMatching(const EKPredicate &predicate);
    qsizetype countItemsIn(const QList<std::shared_ptr<EKCalendar>> &calendars, const EKPredicate &predicate);
    // Those of the last refresh that take this kind of item.
    QList<std::shared_ptr<EKCalendar>> knownCalendarsFor(EKEntityType entityType);
    bool calendarAllows(const EKCalendar &calendar, EKEntityType entityType) const;
    std::shared_ptr<EKCalendar> defaultCalendar(EKEntityType entityType, const QString &title);
    std::optional<Location> locate(const QString &uid);
    // As locate, in what the last refresh under the same lock saw.
    std::optional<Location> locateKnown(const QString &uid);
    std::shared_ptr<EKEvent> eventAt(const std::optional<Location> &location, const QString &identifier) const;
    Result<ICalendarFolder *> writableFolderOf(const std::shared_ptr<EKCalendar> &calendar, EKEntityType entityType);
    void appendEventsOfFile(const ICalendarFile &file, const EKPredicate &predicate,
                            const std::shared_ptr<EKCalendar> &calendar, QList<std::shared_ptr<EKEvent>> &events);
    static bool appendListedEvent(const std::shared_ptr<const ICalendarFile> &file, const EKPredicate &predicate,
                                  qint32 calendarAt, EKEventSequence &sequence, ICalendarFolder &folder);
    static bool placeListedSeries(const std::shared_ptr<const ICalendarFile> &file, const EKPredicate &predicate,
                                  qint32 calendarAt, EKEventSequence &sequence, ICalendarFolder &folder);
    // walks, when given, takes where the file's moved occurrences lie if it holds nothing of them yet.
    static bool appendListedSeries(QByteArrayView listed, const EKPredicate &predicate,
                                   const std::shared_ptr<EKCalendar> &calendar, const QByteArray &zoneField,
                                   QList<std::shared_ptr<EKEvent>> &events, ICalendarSeriesWalks *walks);
    static void appendRegularOccurrences(std::shared_ptr<EKEvent> series, const QList<QDateTime> &starts,
                                         const QList<QDateTime> &detachedIds, QList<std::shared_ptr<EKEvent>> &events);
    static void sortByStart(EKEventSequence &sequence);
    // The event of a listed entry whose description no longer tells it whole, from its file.
    std::shared_ptr<EKEvent> eventOfListedFile(const EKEventSequence::Entry &entry,
                                               const std::shared_ptr<EKCalendar> &calendar, const EKPredicate &predicate);
    // A series' master (null when its detached occurrences stand alone) and its detached occurrences.
    struct SeriesParts
    {
        icalcomponent_impl *master = nullptr;
        QList<icalcomponent_impl *> overrides;
    };
    // The detached occurrences of the series that stand in for one of its occurrences, with their
    // original starts: all of them when the series has no master.
    static QList<std::pair<icalcomponent_impl *, QDateTime>>
    countedDetached(const ICalendarFile &file, const QString &uid, const SeriesParts &series);
    QList<QDateTime> regularStartsOfFile(const ICalendarFile &file, const EKPredicate &predicate,
                                         const QDateTime &walkEnd) const;
    // The same from what a parse noted of the file (noteCountedDetached); nothing when it noted nothing.
    static std::optional<QList<QDateTime>> notedRegularStarts(ICalendarFolder &folder, const EKPredicate &predicate,
                                                              const QDateTime &walkEnd);
    static QDateTime reachAsked(const EKPredicate &predicate, const QDateTime &walkEnd);
    static QList<QDateTime> regularStartsOfWalk(const ICalendarOccurrences &walk, const EKPredicate &predicate,
                                                const QDateTime &walkEnd, const QList<qint64> &detachedStarts);
    static QList<qint64> noteCountedDetached(const ICalendarFile &file, const QString &uid,
                                             const QList<QDateTime> &detachedIds);
    QList<QDateTime> appendDetachedOccurrences(const ICalendarFile &file, const QString &uid, const SeriesParts &series,
                                               const EKPredicate &predicate,
                                               const std::shared_ptr<EKCalendar> &calendar,
                                               QList<std::shared_ptr<EKEvent>> &events);
    Status createItem(ICalendarFolder &folder, icalcomponent_impl *calendar, const QString &uid);
    Status createEvent(const std::shared_ptr<EKEvent> &event, ICalendarFolder &folder);
    Status updateEvent(const std::shared_ptr<EKEvent> &event, EKSpan span, const Location &location,
                       ICalendarFolder &target);
    std::optional<Status> updateMovedOccurrence(const EKEvent &event, const Location &location);
    // The tree a change to the located file is made in: the file's staged tree itself when a save
    // without commit changes a staged file in its own folder (inPlace), else a copy of its parse.
    // discardTree frees a tree that is not to be written, unless it is the staged one.
    icalcomponent_impl *treeToChange(const Location &location, bool inPlace) const;
    static void discardTree(const Location &location, icalcomponent_impl *calendar);
    Status writeEventCopy(ICalendarFolder &target, const Location &location, icalcomponent_impl *calendar,
                          const QString &uid);
    Status removeWholeItem(const Location &location, const QString &uid);
    static FileFlush flushFor(bool commit);
    static Status syncFolders(const QStringList &paths);
    static Status writeStagedFiles(const QStringList &paths);
    Status finishWrite(const Status &status, bool commit);

    const unsigned m_entityMask;
    std::shared_ptr<DispatchQueue> m_queue;
    QString m_rootPath;
    QString m_defaultRootPath;
    qint64 m_rootModifiedNs = 0; // 0: to be looked at again
    std::unique_ptr<ICalendarFolderWatch> m_rootWatch;
    std::chrono::steady_clock::time_point m_lastCalendarScan;
    int m_lookDepth = 0;           // OneLook objects alive
    bool m_hasReadNotices = false; // by a call under the outermost of them
    QHash<QString, std::shared_ptr<EKCalendar>> m_calendars;
    std::map<QString, std::shared_ptr<ICalendarFolder>> m_folders;
    QStringList m_calendarOrder;
    // How the save under way writes its files.
    FileFlush m_flush = FileFlush::Always;
};

} // namespace platform
