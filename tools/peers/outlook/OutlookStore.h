#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <utility>
#include <vector>
#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace outlookpeer {

enum class RecordKind { Contact, Event, Task, Note };

// One record of the simulated Outlook. An event with a master is an exception occurrence of that
// master's series; `start` is its (or the event's) start.
struct PeerRecord
{
    qint64 id = 0;
    qint64 folder = 0;
    QDateTime created;
    QDateTime modified;
    qint64 master = 0;
    QDateTime start;
    bool completed = false;
    QJsonObject fields; // everything else: names, subjects, notes...
};

struct PeerFolder
{
    qint64 id = 0;
    QString kind; // "address book", "calendar", "task folder", "note folder"
    QString name;
};

struct PeerCategory
{
    qint64 id = 0;
    QString name;
    QList<int> color; // red, green, blue, 0 to 65535 each
};

// A record's id and modification date (seconds since 1970), what the id and date listings need.
struct RecordStamp
{
    qint64 id = 0;
    qint64 modified = 0;
};

// Which records a listing takes.
struct RecordFilter
{
    std::optional<qint64> folder;
    bool occurrencesOnly = false;   // events: exception occurrences instead of series and single events
    bool notCompletedOnly = false;  // tasks
    bool allEvents = false;         // events: series, single events and occurrences alike

    bool operator==(const RecordFilter &) const = default;
};

// The simulated Outlook's state in its own SQLite file, with one record file per contact, event and
// task beside it whose modification time is the record's. As version 15 the file is "Outlook.sqlite"
// under "~/Library/Group Containers/" (tables Contacts, CalendarEvents and Tasks hold the columns
// Record_RecordID, Record_FolderID, Record_ModDate and PathToDataFile, dates in seconds since 1970)
// and the record files end in "olk15Contact", "olk15Event" and "olk15Task"; as version 14 the file and
// the "olk14" record files lie under "~/Documents/Microsoft User Data/Office 2011 Identities/Main
// Identity/". Ids come from one counter and are never reused. Every change commits before it returns.
// Not thread-safe: the peer calls it under its own lock.
class OutlookStore final
{
public:
    enum class Version { Outlook14, Outlook15 };

    static std::unique_ptr<OutlookStore> open(const QString &home, Version version, QString *problem);
    ~OutlookStore();
    OutlookStore(const OutlookStore &) = delete;
    OutlookStore &operator=(const OutlookStore &) = delete;

    Version version() const { return m_version; }
    QString databasePath() const { return m_databasePath; }

    // Reading; an empty answer when the database refuses (see lastProblem()).
    QList<PeerRecord> records(RecordKind kind, const RecordFilter &filter) const;
    QList<RecordStamp> stamps(RecordKind kind, const RecordFilter &filter) const;
    std::optional<PeerRecord> record(RecordKind kind, qint64 id) const;
    QList<PeerFolder> folders(const QString &kind = QString()) const;
    QList<PeerCategory> categories() const;
    QStringList accounts(const QString &kind) const;
    QString lastProblem() const { return m_problem; }

    // Writing; false with lastProblem() when the database refuses (nothing is then changed).
    bool addRecord(RecordKind kind, PeerRecord &record);   // gives the record a new id
    bool updateRecord(RecordKind kind, const PeerRecord &record);
    bool removeRecord(RecordKind kind, qint64 id);
    bool addCategory(PeerCategory &category);               // gives it a new id
    // A record given the next unused id in the folder, in one transaction (as a move between
    // address books does); the new id in record.id.
    bool renumberRecord(RecordKind kind, PeerRecord &record, qint64 folder);
    bool addFolder(PeerFolder &folder);                     // gives it a new id
    bool seed(const QJsonObject &state);
    QJsonObject dump() const;

    // Holds (or releases) an exclusive lock on the database from a second connection, as another
    // program would.
    bool setLocked(bool locked);

private:
    OutlookStore(Version version, QString databasePath, QString recordRoot);
    bool exec(const QString &statement) const;
    QString listingQuery(RecordKind kind, const RecordFilter &filter, const QString &columns) const;
    bool runInTransaction(const std::function<bool()> &work);
    qint64 takeId();
    QString recordFilePath(RecordKind kind, qint64 id) const;
    QString relativeRecordPath(RecordKind kind, qint64 id) const;
    bool writeRecordFile(RecordKind kind, const PeerRecord &record);
    bool insertRecord(RecordKind kind, const PeerRecord &record);
    bool seedRecords(RecordKind kind, const QJsonArray &records);
    bool seedFolders(const QJsonObject &state);
    bool seedCategories(const QJsonObject &state);
    bool seedAccounts(const QJsonObject &state);

    // What the listings read, kept in memory beside the database: changes made inside a transaction
    // wait in m_pendingIndex and reach m_index only when it commits.
    struct IndexEntry
    {
        qint64 folder = 0;
        qint64 modified = 0;
        qint64 master = 0;
        bool completed = false;
    };
    struct IndexChange
    {
        RecordKind kind;
        qint64 id = 0;
        std::optional<IndexEntry> entry; // nothing: the record is gone
    };
    // One kind's entries in increasing id order, as one block of memory the listings walk through;
    // new records (ids only increase) go at the end.
    class Index final
    {
    public:
        using Entry = std::pair<qint64, IndexEntry>;
        void set(qint64 id, const IndexEntry &entry);
        void erase(qint64 id);
        void clear() { m_entries.clear(); }
        size_t size() const { return m_entries.size(); }
        std::vector<Entry>::const_iterator begin() const { return m_entries.begin(); }
        std::vector<Entry>::const_iterator end() const { return m_entries.end(); }

    private:
        std::vector<Entry> m_entries;
    };
    bool loadIndex();
    void noteIndexChange(RecordKind kind, qint64 id, std::optional<IndexEntry> entry);

    Index m_index[4];
    // The last listing's result, kept until the index changes: asked again (as after a change
    // elsewhere), it costs nothing.
    struct KeptStamps
    {
        RecordKind kind;
        RecordFilter filter;
        QList<RecordStamp> found;
    };
    mutable std::optional<KeptStamps> m_keptStamps;
    std::vector<IndexChange> m_pendingIndex;
    bool m_pendingIndexClear = false;

    Version m_version;
    QString m_databasePath;
    QString m_recordRoot;
    sqlite3 *m_database = nullptr;
    sqlite3 *m_lock = nullptr;
    mutable sqlite3_stmt *m_foldersQuery = nullptr;
    qint64 m_nextIdFloor = 1;
    mutable QString m_problem;
};

QString kindName(RecordKind kind);
std::optional<RecordKind> kindFromName(const QString &name);
QJsonObject recordToJson(const PeerRecord &record);
PeerRecord recordFromJson(const QJsonObject &object);

} // namespace outlookpeer
