#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <functional>
#include <optional>

// The per-conduit identifier maps of an Outlook sync and the error log of failed Outlook writes.
//
// Each map is a property list (XML, root dictionary) in the data folder joining the other side's
// record id (key) to Outlook's record id (text value), beside the dates "LastModified" and
// "ListCommandDate". Files are written whole and atomically (0600); a map that is missing or does
// not read as a dictionary counts as no map. Readers always see the file as it stands, through a
// parsed copy shared in the process while the file is unchanged (HMOutlookMapCache.h); the pair writers of
// contacts, tasks and memos and the removers write the copy this instance last read or wrote.
// A map kept for the run (keepForRun) is read once, on first use: every read of it then answers
// the copy, which every write of this instance updates. Only the run's own writer may write it.
//
// Pairs may wait beside a map in an appended file ("<map>.confirmed", one "device id TAB Outlook id"
// line each) until a commit folds them in. Every read of a map not kept for the run answers them as
// part of it, a later line of a device id winning over the file's pair; a kept map is read as stored.
// The file is read a piece at a time, whatever its size up to the cap a map has. One that cannot be
// read (over that cap, a link, not a regular file, a failed read) fails every commit of its map, which
// then leaves the map as it is, so that the caller keeps the pairs file too: its pairs are never lost.
//
// Every write answers whether it reached the disk. A failed write leaves the old file and the
// in-memory copy as they were, so the caller can tell that a pairing was not kept.
//
// The error log "errorlog.plist" maps record ids to conduit letters ("A", "D", "T", "M").
// No locks: an instance is used by one thread at a time.
class HMOutlookDatFileHelper final
{
public:
    enum class Conduit { Contacts = 0, Calendar = 1, Tasks = 2, Memos = 3 };

    // Settles the four paths from the Outlook version in the configuration and the sync method
    // ("SyncMethodSetting"; the cloud method moves existing files to per-account names, never over
    // an existing file). Each map is read when first needed.
    HMOutlookDatFileHelper();
    // The same with a smaller cap on a pending-pairs file than a map's (for tests).
    explicit HMOutlookDatFileHelper(qint64 pendingPairsCap);

    // From now on the conduit's map is read from disk at most once by this instance (see above).
    void keepForRun(Conduit conduit) { slot(conduit).kept = true; }

    // The data folder as a plain path: the data folder URL's path, percent-decoded as UTF-8.
    QString getAppDataFolder();
    static QString dataFolderPath();

    // The seconds a stored date lies after the one given: none for contacts, one for the others.
    static qint64 storedDateOffset(Conduit conduit) { return conduit == Conduit::Contacts ? 0 : 1; }

    QString filePath(Conduit conduit) const { return slot(conduit).path; }
    QString contactFilePath() const { return filePath(Conduit::Contacts); }
    QString calendarFilePath() const { return filePath(Conduit::Calendar); }
    QString taskFilePath() const { return filePath(Conduit::Tasks); }
    QString memoFilePath() const { return filePath(Conduit::Memos); }
    QString pendingPairsPath(Conduit conduit) const { return filePath(conduit) + QStringLiteral(".confirmed"); }
    bool isKeptForRun(Conduit conduit) const { return slot(conduit).kept; }
    // Whether the pairs waiting beside the map take more bytes than the map itself: a map read afresh
    // merges them at every read, so they are folded in before they cost more than the map.
    bool pendingPairsOutgrowMap(Conduit conduit) const;
    // Adds the pairs of the whole lines of the conduit's pending-pairs file (a kill may leave a last
    // one cut) to `pairs`, a later line of a device id winning. True without a file; false when one
    // stands at the name but cannot be read (see above), `pairs` then holding part of it at most.
    bool readPendingPairs(Conduit conduit, QVariantMap *pairs) const;
    // Logs that the conduit's waiting pairs cannot be read, so its commit leaves both files alone.
    void logUnreadablePendingPairs(Conduit conduit) const;
    // Whether a map key is one of the map's two dates rather than an Outlook id.
    static bool isDateKey(const QString &key);
    // The in-memory copy of a map; nullopt before the first read and after a read that found no map.
    const std::optional<QVariantMap> &currentIdDictionary(Conduit conduit) const { return slot(conduit).map; }

    // The whole map read afresh (a kept map: the copy), nullopt when there is none; the in-memory
    // copy of a map that is not kept is not touched.
    std::optional<QVariantMap> dictionaryForDatFile(Conduit conduit);

    // The per-conduit family (see the named forms below).
    bool writeOutlookId(Conduit conduit, const QString &outlookId, const QString &deviceId);
    QString getOutlookIdForDeviceId(Conduit conduit, const QString &deviceId);
    QString getDeviceIdForOutlookId(Conduit conduit, const QString &outlookId);
    bool removeId(Conduit conduit, const QString &deviceId);
    bool writeLastModifiedDate(Conduit conduit);
    bool writeLastListCommand(Conduit conduit, const QDateTime &date);
    QDateTime getLastModifiedDate(Conduit conduit);
    QDateTime getLastListCommand(Conduit conduit);
    QStringList getAllOutlookIds(Conduit conduit);
    QStringList getAllDeviceIds(Conduit conduit);

    std::optional<QVariantMap> dictionaryForContactDatFile() { return dictionaryForDatFile(Conduit::Contacts); }
    std::optional<QVariantMap> dictionaryForCalendarDatFile() { return dictionaryForDatFile(Conduit::Calendar); }
    std::optional<QVariantMap> dictionaryForTaskDatFile() { return dictionaryForDatFile(Conduit::Tasks); }
    std::optional<QVariantMap> dictionaryForMemoDatFile() { return dictionaryForDatFile(Conduit::Memos); }

    bool writeOutlookIdForDeviceId(const QString &o, const QString &d) { return writeOutlookId(Conduit::Contacts, o, d); }
    bool writeOutlookEventIdForDeviceEventId(const QString &o, const QString &d) { return writeOutlookId(Conduit::Calendar, o, d); }
    bool writeOutlookTaskIdForDeviceTaskId(const QString &o, const QString &d) { return writeOutlookId(Conduit::Tasks, o, d); }
    bool writeOutlookMemoIdForDeviceMemoId(const QString &o, const QString &d) { return writeOutlookId(Conduit::Memos, o, d); }
    QString getOutlookContactIdForDeviceContactId(const QString &d) { return getOutlookIdForDeviceId(Conduit::Contacts, d); }
    QString getOutlookEventIdForDeviceEventId(const QString &d) { return getOutlookIdForDeviceId(Conduit::Calendar, d); }
    QString getOutlookTaskIdForDeviceTaskId(const QString &d) { return getOutlookIdForDeviceId(Conduit::Tasks, d); }
    QString getOutlookMemoIdForDeviceMemoId(const QString &d) { return getOutlookIdForDeviceId(Conduit::Memos, d); }
    QString getDeviceContactIdForOutlookContactId(const QString &o) { return getDeviceIdForOutlookId(Conduit::Contacts, o); }
    QString getDeviceEventIdForOutlookEventId(const QString &o) { return getDeviceIdForOutlookId(Conduit::Calendar, o); }
    QString getDeviceTaskIdForOutlookTaskId(const QString &o) { return getDeviceIdForOutlookId(Conduit::Tasks, o); }
    QString getDeviceMemoIdForOutlookMemoId(const QString &o) { return getDeviceIdForOutlookId(Conduit::Memos, o); }
    bool removeIdFromDatFile(const QString &d) { return removeId(Conduit::Contacts, d); }
    bool removeIdFromCalendarDatFile(const QString &d) { return removeId(Conduit::Calendar, d); }
    bool removeIdFromTaskDatFile(const QString &d) { return removeId(Conduit::Tasks, d); }
    bool removeIdFromMemoDatFile(const QString &d) { return removeId(Conduit::Memos, d); }
    bool writeLastModifiedDateContacts() { return writeLastModifiedDate(Conduit::Contacts); }
    bool writeLastModifiedDateEvents() { return writeLastModifiedDate(Conduit::Calendar); }
    bool writeLastModifiedDateTasks() { return writeLastModifiedDate(Conduit::Tasks); }
    bool writeLastModifiedDateMemos() { return writeLastModifiedDate(Conduit::Memos); }
    bool writeLastListCommandContacts(const QDateTime &date) { return writeLastListCommand(Conduit::Contacts, date); }
    bool writeLastListCommandEvents(const QDateTime &date) { return writeLastListCommand(Conduit::Calendar, date); }
    bool writeLastListCommandTasks(const QDateTime &date) { return writeLastListCommand(Conduit::Tasks, date); }
    bool writeLastListCommandMemos(const QDateTime &date) { return writeLastListCommand(Conduit::Memos, date); }
    QDateTime getLastModifiedDateContacts() { return getLastModifiedDate(Conduit::Contacts); }
    QDateTime getLastModifiedDateEvents() { return getLastModifiedDate(Conduit::Calendar); }
    QDateTime getLastModifiedDateTasks() { return getLastModifiedDate(Conduit::Tasks); }
    QDateTime getLastModifiedDateMemos() { return getLastModifiedDate(Conduit::Memos); }
    QDateTime getLastListCommandContacts() { return getLastListCommand(Conduit::Contacts); }
    QDateTime getLastListCommandEvents() { return getLastListCommand(Conduit::Calendar); }
    QDateTime getLastListCommandTasks() { return getLastListCommand(Conduit::Tasks); }
    QDateTime getLastListCommandMemos() { return getLastListCommand(Conduit::Memos); }
    QStringList getAllOutlookContactIdsInDatFile() { return getAllOutlookIds(Conduit::Contacts); }
    QStringList getAllOutlookEventIdsInDatFile() { return getAllOutlookIds(Conduit::Calendar); }
    QStringList getAllOutlookTaskIdsInDatFile() { return getAllOutlookIds(Conduit::Tasks); }
    QStringList getAllOutlookMemoIdsInDatFile() { return getAllOutlookIds(Conduit::Memos); }
    QStringList getAllDeviceContactIdsInDatFile() { return getAllDeviceIds(Conduit::Contacts); }
    QStringList getAllDeviceEventIdsInDatFile() { return getAllDeviceIds(Conduit::Calendar); }
    QStringList getAllDeviceTaskIdsInDatFile() { return getAllDeviceIds(Conduit::Tasks); }
    QStringList getAllDeviceMemoIdsInDatFile() { return getAllDeviceIds(Conduit::Memos); }

    // Writes many pairs (device id -> Outlook id) and removals with one rewrite of the map read
    // afresh, and sets the dates given: what a commit of a whole update needs, costing one write
    // rather than one per pair.
    struct Commit
    {
        QVariantMap pairs;
        QStringList removals;
        QDateTime lastModified;    // invalid: kept
        QDateTime listCommandDate; // invalid: kept
    };
    bool commitChanges(Conduit conduit, const Commit &commit);

    // Maps the device id of an Outlook contact id to that id plus one (decimal ids only).
    bool incrementOutlookContactId(const QString &outlookContactId);
    QString getOutlookContactIdForGoogleContactIdEndingWith(const QString &shortId);
    QString getOutlookEventIdForGoogleEventIdBeginningWith(const QString &googleEventId);
    QString getFullGoogleEventIdForGoogleEventIdBeginningWith(const QString &googleEventId);
    bool writeLastModifiedDateEventsForGoogleDirectSync(const QDateTime &date);

    // By conduit name ("Contacts", "Calendar", "Tasks", "Memos"); other names do nothing.
    bool clearDatFile(const QString &conduitName);
    qint64 countRecordsForConduit(const QString &conduitName);
    bool updateTempId(const QString &tempId, const QString &permanentId, const QString &conduitName);
    static std::optional<Conduit> conduitForName(const QString &conduitName);

    // The error log.
    static bool writeErrorLogWithConduitName(const QString &letter, const QString &recordId);
    static bool hasErrorLog();
    static void loadErrorLogIntoMemory();
    static bool deleteErrorLog();
    static QString errorLogPath();

    static QString fileNameFor(Conduit conduit, const QString &version, const QString &syncMethod, const QString &account);

private:
    // What the last read of a map found beside it.
    enum class Pending { None, Merged, Unreadable };
    struct Slot
    {
        QString path;
        std::optional<QVariantMap> map;
        bool kept = false;
        // Merged: the in-memory map holds pending pairs its file may lack, so a commit writes it even
        // unchanged. Unreadable: the map lacks pairs it should hold, so a commit writes nothing.
        Pending pending = Pending::None;
    };

    Slot &slot(Conduit conduit) { return m_slots[size_t(conduit)]; }
    const Slot &slot(Conduit conduit) const { return m_slots[size_t(conduit)]; }
    void settlePaths();
    void addDeviceInfoToDatFileIfNecessary(const QString &version);
    std::optional<QVariantMap> readWithPendingPairs(Conduit conduit, Pending *pending) const;
    QVariantMap &reload(Conduit conduit);
    QVariantMap &loadedOrFresh(Conduit conduit);
    bool store(Conduit conduit, const QVariantMap &map);
    QString firstKeyMatching(Conduit conduit, const std::function<bool(const QString &)> &test);

    std::array<Slot, 4> m_slots;
    QString m_appDataPath;
    qint64 m_pendingPairsCap;
};
