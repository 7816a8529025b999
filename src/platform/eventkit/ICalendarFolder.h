#pragma once

#include "platform/eventkit/ICalendarFolderIndex.h"
#include "platform/eventkit/ICalendarFolderWatch.h"
#include "platform/eventkit/ICalendarItemIndex.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <limits>
#include <map>
#include <memory>
#include <optional>

struct icalcomponent_impl;

namespace platform {

// The original starts of a series' occurrences up to a horizon, ascending, removed ones left out.
struct ICalendarOccurrences final
{
    QDateTime horizon;
    // UTC milliseconds since 1970, ascending: a series walked years ahead keeps thousands of them.
    QList<qint64> starts;
    qint64 lengthSeconds = 0;
};

// What a file with a series keeps of its walks, shared by its description and its parsed copies.
struct ICalendarSeriesWalks final
{
    using Reach = std::pair<qint64, qint64>; // seconds since 1970
    QHash<QString, std::shared_ptr<const ICalendarOccurrences>> byUid;
    // Where the file's events lie, noted from a parse, so that later queries pass the file by
    // unparsed when none of its events can overlap their window: the reach of each moved occurrence
    // (its start and end widened as a file's reach is), and the walk of each UID's event.
    std::optional<QList<Reach>> detachedReaches;
    std::optional<QList<std::shared_ptr<const ICalendarOccurrences>>> walks;
    // By the UID of each series with a master that a parse read: the original starts (UTC
    // milliseconds, ascending) of its moved occurrences that stand in for one of its occurrences,
    // so that its regular starts are told from its walk without the file parsed again.
    QHash<QString, QList<qint64>> countedDetachedByUid;
};

// What a whole look at a folder reads of the names in it, and of a file's status.
struct FolderNames;
struct FileStat;
// The UIDs of a staged tree and its kinds of items, kept in step with the changes made to it in place.
struct ICalendarStagedItems;

// What a folder knows of one of its iCalendar files: its status when read, its items' UIDs, event
// titles and kinds, and the reach in time of its events. The folder keeps these descriptions only;
// a parsed copy (calendar set) lives while someone uses it, and its component tree is never changed:
// writers clone it, change the clone and write the clone. (A staged tree, which only the folder's
// stage holds, is the one exception: saves change it in place.) The walks of a file's series are kept with
// its description, so they outlive the parsed copies; they are reached only under the store's lock.
// A folder keeps one description per file, so what only a parsed copy or a file with a series needs
// (the tree, its text, the walks) lies apart, made for the files that have it: the entry every file
// has stays small.
struct ICalendarFile final
{
    // The reach of a file whose events have no end (a series without one) or no readable start.
    static constexpr qint64 kOpenStart = std::numeric_limits<qint64>::min();
    static constexpr qint64 kOpenEnd = std::numeric_limits<qint64>::max();
    // Floating times and all-day dates are read in the time zone of the moment; a reach this much
    // wider holds them in any zone.
    static constexpr qint64 kReachMarginSeconds = 2 * 24 * 3600;

    ICalendarFile() = default;
    ICalendarFile(const ICalendarFile &other);
    ICalendarFile &operator=(const ICalendarFile &other);
    ICalendarFile(ICalendarFile &&) noexcept = default;
    ICalendarFile &operator=(ICalendarFile &&) noexcept = default;
    ~ICalendarFile();

    // The file's name; kept as its UTF-8, followed by a NUL, in the one text that holds the described
    // text too.
    QString fileName() const;
    QByteArrayView fileNameUtf8() const { return QByteArrayView(m_bytes.constData(), m_nameSize); }
    // The name's UTF-8 as a byte string sharing the file's text: no copy of it is made.
    QByteArray sharedFileNameUtf8() const;
    void setFileName(const QString &name);
    void setFileNameUtf8(QByteArrayView name);
    // Whether the left file's name comes before the right one's in the order QString compares them.
    static bool isNamedBefore(const ICalendarFile &left, const ICalendarFile &right);
    static bool isUtf8NameBefore(QByteArrayView left, QByteArrayView right);

    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 inode = 0;
    qint64 changedNs = 0;
    // Seconds since 1970 within which every event of the file (and each of its occurrences) starts
    // and ends, with a margin for floating times read in another time zone.
    qint64 reachStart = kOpenStart;
    qint64 reachEnd = kOpenEnd;
    // Whether the file holds an event or a to-do that parses.
    bool parses : 1 = false;
    // Whether the file's name is still there while what it names no longer reads or parses (or is no
    // regular file): the items keep the UIDs and titles it held when it last parsed, so that its items
    // are not taken for deleted. It does not parse.
    bool isDamaged : 1 = false;
    // Known from the folder's index and not read by this process yet.
    bool needsParsing : 1 = false;
    bool hasEvents : 1 = false;
    bool hasTodos : 1 = false;
    // Whether this process described the file by parsing it (not from the index, nor from a tree it
    // wrote): parsing it again while its status holds describes it the same.
    bool isDescribedByParse : 1 = false;

    // The VCALENDAR of a parsed copy, and the file's text it was read from; null and empty in
    // descriptions.
    const std::shared_ptr<icalcomponent_impl> &calendar() const;
    const QByteArray &text() const;
    void setParse(std::shared_ptr<icalcomponent_impl> calendar, QByteArray text);
    void setCalendar(std::shared_ptr<icalcomponent_impl> calendar);
    void clearParse();
    // The walks of the file's series; null for a file without one.
    const std::shared_ptr<ICalendarSeriesWalks> &occurrences() const;
    void setOccurrences(std::shared_ptr<ICalendarSeriesWalks> walks);

    QStringList uids() const;
    QStringList titles() const;
    // The UIDs of its VEVENT and VTODO components and the SUMMARY of each of its VEVENTs, each once,
    // kept as the folder's index writes them (icalindex::encodeItems) and decoded when asked for; then,
    // after a tab, what a listing reads of the file's event when it holds one single event (else
    // nothing). It follows the file's name and its NUL in the file's one text, and is followed by a
    // NUL. A folder of many files keeps one small text per file; those a loaded index gave lie side by
    // side in one block, which each of them shares: every copy keeps the block alive.
    QByteArrayView described() const;
    // The UIDs and titles as the index writes them, and the listed event, within the described text.
    QByteArrayView items() const;
    // The file's one UID as its UTF-8 within the items, when they hold it as it stands.
    std::optional<QByteArrayView> plainSingleUid() const;
    QByteArrayView listedEvent() const;
    void setDescribed(const QStringList &uids, const QStringList &titles, const QByteArray &listedEvent);
    // The described text of these items (as the index writes them) and listed event.
    void setDescribedText(QByteArrayView items, QByteArrayView listedEvent);
    // The name and described text as a part of a block that it shares: the name's bytes, a NUL, then
    // the described text of that many bytes, the items first; plainUidBytes are those of the one UID
    // the items begin with as plainSingleUid tells it (-1 for none), which the caller read them for.
    void setWithin(const QByteArray &block, qsizetype at, qint32 nameBytes, qint32 describedBytes, qint32 itemsBytes,
                   qint32 plainUidBytes);
    // Whether the two describe their files alike (name and status aside).
    bool isDescribedAs(const ICalendarFile &other) const;
    // Whether an event of the file may overlap the window [start, end).
    bool mayOverlap(const QDateTime &start, const QDateTime &end) const;

private:
    struct Rare
    {
        std::shared_ptr<icalcomponent_impl> calendar;
        QByteArray text;
        std::shared_ptr<ICalendarSeriesWalks> occurrences;
    };
    Rare &rare();
    // Lets the rare part go when it holds nothing.
    void dropRareIfEmpty();
    // Tells the plain UID of the items just set.
    void notePlainUid();
    // Sets the text to the name, then a NUL and the described text unless no listed event is given.
    void setText(QByteArrayView name, QByteArrayView items, std::optional<QByteArrayView> listedEvent);
    QByteArray m_bytes;
    qint32 m_nameSize = 0;
    // The bytes of the UIDs and titles at the start of the described text.
    qint32 m_itemsSize = 0;
    // The bytes of the one plain UID the items begin with (plainSingleUid), told when the text is
    // set: a listing asks for it of every file in each of its windows. -1 when they hold none.
    qint32 m_plainUidSize = -1;
    std::unique_ptr<Rare> m_rare;
};

// One folder of iCalendar files in the layout khal, todoman and vdirsyncer share: one "<uid>.ics" per
// item, an optional "displayname" file. Keeps a description of each file it read (name, status, UIDs,
// titles, reach) and an index of them beside the folder, so that reading the folder again parses only
// the files that changed, and a new run parses a file only when its contents are asked for. Parsed
// files are not kept beyond a few recent ones: memory stays a description per file. Files that do not
// parse are logged once per change and left alone. Shared by the stores of a process that view its
// path, for the life of the process; used under the stores' common lock.
class ICalendarFolder final
{
public:
    // AfterOwnWrites: as WhenDue, except that while this process has written the store's folders and
    // not yet synced them to disk (one batch of its writes), a folder with no watch is taken as last
    // seen or written by us. Each of our writes still compares the folder's time with the one we
    // noted: a change by another program meanwhile brings a whole look at the next call.
    enum class Rescan { WhenDue, Now, AfterOwnWrites };

    explicit ICalendarFolder(const QString &path);
    ~ICalendarFolder();
    ICalendarFolder(const ICalendarFolder &) = delete;
    ICalendarFolder &operator=(const ICalendarFolder &) = delete;

    QString path() const { return m_path; }

    // Brings the descriptions up to date with what is on disk now: at once, or (WhenDue) when the
    // folder changed or the rescan interval passed since the last look. `read` tells whether the store call
    // has just read the notices its watch shares with the root's. Fails when the folder cannot be
    // listed: one that is gone then holds nothing, one that is there keeps what was last read of it.
    Status refresh(Rescan rescan = Rescan::WhenDue, ReadNotices read = ReadNotices::First);
    // A store's first look: every file's status, and the index again when someone else wrote it.
    Status refreshForNewView();
    // A calendar list's look, which needs only the kinds of item the folder holds: while this process
    // has not looked at the folder's files and the folder is as its index tells, the index gives them
    // and the files wait for the first call that asks for them; else a look as refresh takes (as
    // refreshForNewView's for a new view).
    Status refreshForList(bool isNewView);
    // Whether the folder's kinds of item are those a list took from the index, its files unread.
    bool isOnlyListed() const { return m_listedKinds.has_value(); }
    // Saves what our own writes changed, for the next run; when a store lets the folder go.
    void saveIndexIfStale();
    // The descriptions of the files of the last refresh that parse; calendar null.
    QList<std::shared_ptr<const ICalendarFile>> describedFiles();
    // Those of them holding an event that may overlap the window [start, end).
    QList<std::shared_ptr<const ICalendarFile>> describedEventFiles(const QDateTime &start, const QDateTime &end);
    // The file of the description, parsed; null when it no longer parses.
    std::shared_ptr<const ICalendarFile> parsedFile(const std::shared_ptr<const ICalendarFile> &described);
    // The parsed file holding a component with this UID, or null.
    std::shared_ptr<const ICalendarFile> fileForUid(const QString &uid);
    // The description of that file, unparsed; null when there is none, or when only a parse tells
    // (a file the index described and this process has not read yet, a staged file).
    std::shared_ptr<const ICalendarFile> describedFileForUid(const QString &uid);
    // Whether each item of the file is another file's: of a UID that several files hold, the file
    // named after it, else the first name in byte order, gives the item. A file named after its one
    // UID is its item's without a look at the others.
    bool isLeftAlone(const ICalendarFile &file);
    // Where what is noted of the series of the file, as the folder holds it now, is kept until the
    // file changes (made on first need); none for a file it no longer holds, or one of bounded reach.
    std::shared_ptr<ICalendarSeriesWalks> walksOfFile(const ICalendarFile &file);
    // The descriptions of the files holding an event with this title.
    QList<std::shared_ptr<const ICalendarFile>> describedFilesWithTitle(const QString &title);
    // Those of them that may hold an event of the title with this start and end: the others cannot.
    // Nothing when the folder cannot tell (the start lies beyond the walks it knows, or the system
    // zone changed since it took the starts): all those with the title are then to be looked at.
    std::optional<QList<std::shared_ptr<const ICalendarFile>>>
    describedFilesWithTitleAt(const QString &title, const std::pair<QDateTime, QDateTime> &span);
    // The UIDs the damaged files held when they last parsed (ICalendarFile::isDamaged).
    QStringList damagedItemUids() const;
    // Whether some file holds an event, or a to-do.
    bool hasEvents() const { return m_listedKinds ? m_listedKinds->hasEvents : m_eventFileCount > 0; }
    bool hasTodos() const { return m_listedKinds ? m_listedKinds->hasTodos : m_todoFileCount > 0; }
    // Whether the folder holds vCard files and no iCalendar file: an address book that a calendar
    // program shows as birthdays.
    bool isAddressBookFolder() const { return !m_listedKinds && m_hasVCards && m_files.isEmpty(); }

    // Writes the calendar as the file (temporary file, then rename), readable by the owner only: over
    // the parsed copy it replaces, as that copy's text with what changed in the tree written anew (the
    // rest byte for byte); else whole. With FileFlush::WhenReplacing a new file is durable only once its file system is synced. The
    // folder keeps the tree as the file's parse for a while: nobody may change it afterwards. A file
    // the folder does not know is named as a new one (a file there after all is replaced all the same).
    Status writeFile(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar, FileFlush flush,
                     const ICalendarFile *replaced = nullptr);
    Status removeFile(const QString &fileName);
    // Keeps the calendar as what the file is to hold, unwritten: from now on the folder gives it as
    // the file's parse and describes the file by it, while the index and the disk keep the file as it
    // was read (`replaced`, or the version a first staging of it read). writeStagedFiles writes it
    // then, once however many changes were staged, as writeFile writes over that version. A file of
    // one item (whose write costs no more than the change), or one the folder does not know, is
    // written at once. The tree is changed afterwards only in place, as restageItem tells.
    Status stageFile(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar,
                     const std::shared_ptr<const ICalendarFile> &replaced, FileFlush flush);
    // Whether the calendar is the staged tree of the file. Only the stage holds that tree: a save
    // may change it in place, and then tells the change with restageItem.
    bool isStagedTree(const QString &fileName, const icalcomponent_impl *calendar) const;
    // Takes in a change made in place to the items of this UID in the file's staged tree. Only that
    // UID is looked at again: the lookups by UID, the file's kinds and its reach follow at once; the
    // whole description (UIDs, titles) is made again when a listing next asks for it.
    void restageItem(const QString &fileName, const QString &uid);
    // Writes each staged file once. A file another program changed since it was read gets the
    // staged changes laid over its new version, item by item (icalpatch::rebasedCalendar); one that
    // no longer parses is not overwritten (its items kept as a damaged file's) and fails the write;
    // one that is gone stays gone. A file whose write fails stays staged for the next call.
    Status writeStagedFiles(FileFlush flush);
    bool hasStagedFiles() const { return !m_staged.empty(); }

    // The file name for an item's UID: the UID itself when it is a safe file name, else a name made
    // from its characters that is.
    static QString fileNameForUid(const QString &uid);
    // Makes the renames and removals in the folder durable (not the contents of unflushed files).
    static Status syncFolderToDisk(const QString &path);
    // The folder's title: its "displayname" file, else its name.
    static QString displayNameOfFolder(const QString &path);
    // Parses iCalendar text; null when it holds no VCALENDAR with an event or a to-do. Events and to-dos
    // without a UID get `uidForItemsWithout` in the parse (further ones "-2", "-3", ...), their text
    // unchanged; without one given they do not count.
    static std::shared_ptr<icalcomponent_impl> parseCalendarText(const QByteArray &text,
                                                                 const QString &uidForItemsWithout = QString());
    // Why text that parseCalendarText refuses is no calendar, for the log.
    static QString reasonNotParsed(const QByteArray &text);
    // The UID the items without one of a file of this folder get: the same for the same folder and
    // file names, at every read.
    QString uidForFileWithoutUid(const QString &fileName) const;

private:
    // Takes the kinds of item from the index when it tells the folder as it stands; false when it
    // does not (or tells of no file), and the folder is to be looked at.
    bool takeKindsFromIndex();
    // Looks at the files of a folder only listed so far, before a call tells of them or writes one.
    void lookIfOnlyListed();
    // writeFile with no look at what the file holds now.
    Status writeFileAsIs(const QString &fileName, std::shared_ptr<icalcomponent_impl> calendar, FileFlush flush,
                         const ICalendarFile *replaced);
    void takeWrittenFile(const QString &fileName, const FileStat &info, std::shared_ptr<icalcomponent_impl> calendar,
                         const QByteArray &bytes);
    // Whether another program made a file by the path since we last looked at the folder.
    bool isNameTakenMeanwhile(const QString &path, qint64 folderTimeBefore) const;
    Result<QByteArray> textToWrite(const QString &fileName, std::shared_ptr<icalcomponent_impl> &calendar,
                                   const ICalendarFile *replaced) const;
    // Reads and parses the file into the copy; answers whether the file still had the copy's status.
    bool parseInto(ICalendarFile &file) const;
    std::shared_ptr<ICalendarFile> indexedFileForUid(const QString &uid);
    std::shared_ptr<ICalendarFile> sharedFile(ICalendarFile &file) const;
    // Those of the files found under a title's key that hold the title.
    QList<std::shared_ptr<const ICalendarFile>> filesHoldingTitle(const QList<ICalendarFile *> &found,
                                                                  const QString &title) const;
    // Logs, once per UID, that several files hold it and which one is used.
    void reportSharedUid(const QString &uid, const QList<std::shared_ptr<ICalendarFile>> &holders,
                         const ICalendarFile &chosen);
    // The index of files by UID, by title, or by title and start, made when first asked for.
    enum ItemIndex : unsigned { ByUid = 1, ByTitle = 2, ByMoment = 4 };
    static constexpr ItemIndex kItemIndexes[] = {ByUid, ByTitle, ByMoment};
    void ensureItemIndex(ItemIndex index);
    // Adds the file's keys to each index made so far, or removes them.
    void changeItemIndexes(ICalendarFile &file, bool adding);
    QList<quint32> itemKeysOf(const ICalendarFile &file, ItemIndex index, bool noteHorizon);
    ICalendarItemIndex &itemIndex(ItemIndex index);
    // Looks at the files the watch named as changed; false when a whole look is needed.
    bool refreshNamedFiles(const QSet<QString> &names);
    // A whole look at the folder's files.
    Status refreshAllFiles();
    Status folderNotListed(int error);
    // What a look at files found: whether it was whole (every file of the folder looked at, else the
    // folder's names are to be looked at one by one), whether the index no longer tells the files,
    // and whether the index's entries became the folder's own (at the first look).
    struct Look
    {
        bool isWhole = false;
        bool isIndexWrong = false;
        bool isIndexTakenWhole = false;
    };
    Look lookFirstFromIndex(int folder);
    Look lookAtKnownFiles(int folder);
    void finishWholeLook(bool isIndexWrong);
    struct IndexTaken
    {
        bool isRead = false;  // whether there was an index that reads
        bool isWhole = false; // whether its entries became the folder's own
    };
    IndexTaken takeIndexedFiles(qsizetype nameCount);
    // These take the open folder, its files stat'ed relative to it.
    struct FileLook
    {
        bool isKept = false; // whether the folder keeps an entry for the name (its file, or a damaged one)
        bool wasKnown = false;
        bool isRead = false; // whether the file was read afresh, which the index does not tell yet
    };
    FileLook refreshFile(int folder, const QString &name);
    // Refreshes the file's entry, and drops it when the name no longer gives one; answers whether the
    // index no longer tells the file.
    bool refreshOrDropFile(int folder, const QString &name);
    Look refreshFiles(int folder, const QStringList &names);
    Look refreshKnownFiles(int folder, const FolderNames &names);
    bool removeFilesNotIn(int folder, const QStringList &names);
    void saveIndex();
    // The entry the index is to hold for a file: of a staged one, the file as it stands on disk.
    std::shared_ptr<ICalendarFile> indexedEntryOf(const QString &fileName) const;
    // What a staged file is: the parse of the file as read from disk (text, tree, status), and the
    // parse it is to become (tree, description; the status of the one on disk), with its items.
    // Once changed in place, its description tells its UIDs and titles as they were before the
    // change (the folder's lookups by UID ask the items instead) until describeStaged runs.
    struct StagedFile
    {
        std::shared_ptr<const ICalendarFile> onDisk;
        std::shared_ptr<ICalendarFile> staged;
        std::shared_ptr<ICalendarStagedItems> items;
        bool isDescribed = true;
    };
    // The parse of the described file as it stands, staged ones included, without describing them.
    std::shared_ptr<const ICalendarFile> parsedFileAsIs(const std::shared_ptr<const ICalendarFile> &described);
    // Whether the file holds the UID: a staged file's items tell it.
    bool holdsUid(const ICalendarFile &file, const QString &uid) const;
    // Describes the staged files changed in place since they were last described.
    void describeStagedFiles();
    void describeStaged(const QString &fileName, StagedFile &file);
    Status writeStagedFile(const QString &fileName, StagedFile staged, FileFlush flush);
    // The version another program left of a staged file, with the staged changes laid over it.
    Status writeOverChangedFile(const QString &fileName, const StagedFile &staged, const FileStat &info,
                                FileFlush flush);
    // Adds the entries of the files changed since the index was last read or written, when they are
    // few and the index is as we left it; answers whether the index now tells them.
    bool appendUnsavedToIndex();
    void noteUnsaved(const QString &fileName);
    // Puts a file in place of the one of its name (null: none), keeping the indexes in step.
    void replaceFile(const QString &fileName, std::shared_ptr<ICalendarFile> file);
    // Adds a file the folder does not know.
    void addFile(const QString &fileName, std::shared_ptr<ICalendarFile> file);
    // Keeps the parse of a file that another call may soon ask for again.
    void keepParsed(std::shared_ptr<const ICalendarFile> parsed);
    // Fills in the UIDs, titles, kinds and reach of a calendar's items.
    // A listed text already known of the file is kept, not worked out again.
    static void describeItems(ICalendarFile &file, icalcomponent_impl *calendar,
                              const std::optional<QByteArray> &knownListed = std::nullopt);
    void indexFile(const std::shared_ptr<ICalendarFile> &file);
    void unindexFile(const std::shared_ptr<ICalendarFile> &file);
    void changeFileIndexing(ICalendarFile &file, bool adding);
    // The folder's time before one of our writes (0 when the watch tells), and after it: a folder
    // that nobody else changed since our last look needs no new look for our own write.
    qint64 folderTimeBeforeOwnChange() const;
    void noteOwnChange(qint64 folderTimeBefore);

    QString m_path;
    icalindex::ICalendarFileTable m_files;
    // The files by a key of each UID, or title; a file found is checked to hold the text asked for.
    ICalendarItemIndex m_filesByUid;
    ICalendarItemIndex m_filesByTitle;
    // By title and when the events start (icalmoments), read in the zone of the field: made for the
    // duplicate test, whose moments before the horizon it tells.
    ICalendarItemIndex m_filesByMoment;
    QByteArray m_momentZoneField;
    qint64 m_momentHorizon = std::numeric_limits<qint64>::max();
    unsigned m_itemIndexes = 0; // those of ItemIndex made
    // The index's entries during the first look at the folder.
    icalindex::ICalendarFileTable m_described;
    QList<std::shared_ptr<const ICalendarFile>> m_recentlyParsed;
    QSet<QString> m_reportedSharedUids;
    std::map<QString, StagedFile> m_staged; // by file name, written in that order
    bool m_hasLookedBefore = false;
    // What a calendar list took from the index before any look at the files, and the index's status then.
    std::optional<icalindex::IndexedKinds> m_listedKinds;
    icalindex::IndexFileStatus m_listedIndexStatus;
    bool m_isIndexStale = false;
    int m_eventFileCount = 0;
    int m_todoFileCount = 0;
    int m_damagedFileCount = 0;
    bool m_hasVCards = false;
    qint64 m_folderModifiedNs = 0;
    // The index file as we last read or wrote it: its status, its entries (replaced ones included),
    // whether it was whole, and the files changed since that it does not tell yet.
    icalindex::IndexFileStatus m_indexStatus;
    qsizetype m_indexEntryLines = 0;
    bool m_isIndexWhole = false;
    QSet<QByteArray> m_unsavedNames; // UTF-8
    bool m_hasManyUnsaved = false;   // more than a block may add: the names are no longer kept
    std::chrono::steady_clock::time_point m_lastScan; // of the last whole look
    ICalendarFolderWatch m_watch;
};

// The deleter of shared component trees.
void freeIcalComponent(icalcomponent_impl *component);

} // namespace platform
