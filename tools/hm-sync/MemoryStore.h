#pragma once

#include "RecordIndex.h"
#include "StoreLineFile.h"
#include "sync/HMIdentifierGraph.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace hmsync {

class MemoryStore;
namespace storelines {
struct LineHead;
}

// One desktop-side record of the memory store: its fields, and when it was last changed on the
// desktop itself (records written by a sync carry no such time, so they are not sent back).
struct StoredRecord
{
    QVariantMap fields;
    QDateTime changedOnDesktop;
    // The other side's id of the record, kept with the record itself: a run that ends between saving
    // the store and saving its identifier graph still knows which listed record this is.
    QString phoneId;
};

// A record deleted on the desktop, kept until a sync has told the other side.
struct DesktopDeletion
{
    QString nativeId;
    QDateTime deletedAt;
};

// A conduit's records as they stood when asked for: their ids at once, each record read from the
// store when reached, so iterating never holds the whole store. The store must outlive the view.
class StoredRecords final
{
public:
    class const_iterator final
    {
    public:
        // Lets it->fields read the record once for the expression.
        struct Arrow
        {
            StoredRecord record;
            const StoredRecord *operator->() const { return &record; }
        };

        const_iterator(const StoredRecords *records, qsizetype index) : m_records(records), m_index(index) {}
        const QString &key() const { return m_records->m_ids.at(m_index); }
        StoredRecord value() const { return m_records->value(key()); }
        StoredRecord operator*() const { return value(); }
        Arrow operator->() const { return Arrow{value()}; }
        const_iterator &operator++()
        {
            ++m_index;
            return *this;
        }
        bool operator==(const const_iterator &other) const { return m_index == other.m_index; }

    private:
        const StoredRecords *m_records;
        qsizetype m_index;
    };

    StoredRecords(const MemoryStore &store, quint64 conduit, QStringList ids)
        : m_store(&store), m_conduit(conduit), m_ids(std::move(ids))
    {
    }
    qsizetype size() const { return m_ids.size(); }
    bool isEmpty() const { return m_ids.isEmpty(); }
    const QStringList &keys() const { return m_ids; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_ids.size()); }
    const_iterator constBegin() const { return begin(); }
    const_iterator constEnd() const { return end(); }
    // The record, or an empty one when it is gone or cannot be read.
    StoredRecord value(const QString &nativeId) const;
    // Every record at once, for tests and small stores.
    operator QMap<QString, StoredRecord>() const;

private:
    const MemoryStore *m_store;
    quint64 m_conduit;
    QStringList m_ids;
};

// The desktop-side records of the four conduits, kept in a file between runs when given one. It
// stands in for the desktop's own stores (address book, calendars, reminders) where those do not
// exist.
//
// The file and the log beside it are made of JSON lines (StoreLines.h): one line per record, holding
// its id, phone id and change date before its fields. Loading reads every line's first bytes only and
// keeps, per record, those and where its line lies (RecordHead): a few hundred bytes a record, so a
// sync that changes nothing costs a scan of the files, never a parse of every record, and a record's
// fields are read from its line when the sync needs them. Every change appends the record's whole
// new line to the log at once (buffered, so a large sync does not hold its changes in memory); a save
// ends the lines since the last save with a commit line and syncs the log to disk, and loading applies
// only lines that a commit ends, so a save lands whole or not at all and a torn last line is ignored.
// A log grown past the file, or a store without a file yet, is folded into a new file (each live line
// copied as it is, then renamed over the old one) and the log removed. The file names its generation
// and the log the generation it builds on, so a log left beside a newer file is ignored. A store in
// the earlier layout (one JSON document, with a log of JSON changes) is rewritten in this one when
// loaded. Thread-safe.
class MemoryStore final
{
public:
    // The steps of writing the store, for the tests that end the process at one of them.
    enum class Step { LogFlushed, LogCommitted, FileWritten, LogRemoved };

    MemoryStore() = default;
    MemoryStore(const MemoryStore &) = delete;
    MemoryStore &operator=(const MemoryStore &) = delete;

    // Loads the file when it exists; false, with the problem, when it cannot be read.
    bool load(const QString &path, QString &problem);
    // Makes the changes not yet saved durable in the file it was loaded from (nothing without one).
    // A store as it was loaded or last saved is left alone.
    bool save(QString &problem);
    // Whether the store holds changes its file does not.
    bool hasUnsavedChanges() const;

    // Edits made on the desktop. addRecord answers the new record's native id.
    QString addRecord(quint64 conduit, const QVariantMap &fields);
    bool updateRecord(quint64 conduit, const QString &nativeId, const QVariantMap &fields);
    bool deleteRecord(quint64 conduit, const QString &nativeId);

    StoredRecords records(quint64 conduit) const;
    qsizetype count(quint64 conduit) const;
    // Tells heads() from a record's native id (UTF-8) and change date whether to answer it. Called with
    // the store locked: it must not call the store.
    using HeadFilter = std::function<bool(QByteArrayView nativeId, const QDateTime &changedOnDesktop)>;
    // What is kept in memory of the conduit's records (of those the filter takes, when given one), in
    // the order of their native ids.
    QList<std::pair<QString, RecordHead>> heads(quint64 conduit, const HeadFilter &wanted = {}) const;
    // Nothing when the record is gone, or when its line cannot be read back (which is logged).
    std::optional<StoredRecord> record(quint64 conduit, const QString &nativeId) const;
    bool contains(quint64 conduit, const QString &nativeId) const;
    QList<DesktopDeletion> deletions(quint64 conduit) const;

    // The conduit's own map of desktop to phone ids, for runs that have no identifier graph (Outlook
    // keeps its maps itself), and the start of the conduit's last finished run.
    std::shared_ptr<HMIdentifierGraph> ownIdMap(quint64 conduit);
    QDateTime lastSyncStart(quint64 conduit) const;
    void setLastSyncStart(quint64 conduit, const QDateTime &start);

    // Used by MemoryDataSource during a sync.
    void putFromSync(quint64 conduit, const QString &nativeId, const QVariantMap &fields, const QString &phoneId);
    void removeFromSync(quint64 conduit, const QString &nativeId);
    void setPhoneId(quint64 conduit, const QString &nativeId, const QString &phoneId);
    // The same with both ids in UTF-8, for callers that hold them so.
    void setPhoneIdUtf8(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId);
    // The record kept under the other side's id; empty when none is.
    QString nativeIdForPhoneId(quint64 conduit, const QString &phoneId) const;

    // Called after each step of writing the store; nullptr for none.
    static void setStepHook(std::function<void(Step)> hook);

private:
    struct Conduit
    {
        RecordIndex heads;
        QList<DesktopDeletion> deletions;
        std::shared_ptr<HMIdentifierGraph> ownIdMap;
        // The own id map's list as last saved: a map whose list no longer shares it has changed.
        HMIdentifierGraph::Entries savedIdMap;
        QDateTime lastSyncStart;
        // Whether the deletions or the last sync start changed since the last save.
        bool hasChangedLists = false;
    };

    // A log line read at load, applied when the commit that ends its save is reached.
    struct PendingLine;

    void resetLocked();
    bool loadFileLocked(QString &problem);
    void loadLogLocked();
    bool applyLogLineLocked(const storelines::LineHead &head, qint64 offset, qint64 length, QList<PendingLine> &batch);
    void applyLineLocked(const storelines::LineHead &head, qint64 offset, qint64 length, bool isInLog);
    void applyConduitObjectLocked(quint64 conduit, const QJsonObject &object);
    // Where a record's line lies, found in the written file and the log beside it.
    struct Placed
    {
        quint64 conduit = 0;
        qint32 slot = 0;
        qint64 offset = 0;
    };

    void setHeadLocked(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId, const QDateTime &changed,
                       const RecordIndex::Place &place);
    void eraseHeadLocked(quint64 conduit, QByteArrayView nativeId);
    const Conduit &conduitLocked(quint64 conduit) const;
    std::optional<QByteArray> lineOfLocked(const RecordIndex::Place &place) const;
    std::optional<QVariantMap> fieldsLocked(quint64 conduit, const QString &nativeId) const;
    void writeIfPhoneIdDiffersLocked(quint64 conduit, QByteArrayView nativeId, QByteArrayView phoneId);

    void appendLocked(const QByteArray &line);
    void writeRecordLocked(quint64 conduit, const QString &nativeId, const StoredRecord &record);
    void removeRecordLocked(quint64 conduit, const QString &nativeId);
    QList<QByteArray> conduitListLines(quint64 conduit, bool onlyChanged) const;
    bool hasChangesLocked() const;
    bool commitLocked(QString &problem);
    bool writeWholeLocked(QString &problem);
    bool copyLiveLinesLocked(StoreLineFile &into, QList<Placed> &placed, QString &problem) const;
    void adoptNewFileLocked(const QList<Placed> &placed, qint64 fileBytes);
    void forgetChangesLocked();
    QString logPath() const { return m_path + QStringLiteral(".log"); }
    static void reportStep(Step step);

    mutable std::mutex m_mutex;
    QString m_path;
    QMap<quint64, Conduit> m_conduits;
    StoreLineFile m_file;
    // Without a path, or while the log on disk cannot be opened, the log is kept in memory.
    StoreLineFile m_log;
    qint64 m_generation = 0;
    bool m_hasFile = false;
    // The log's bytes up to its last commit: where appending goes on (0: a log to begin anew).
    qint64 m_logCommittedBytes = 0;
    qint64 m_uncommittedLines = 0;
    // Whether what follows the log's last commit has been cut off, so appending may go on.
    bool m_isLogAppendable = false;
    // The next save writes the file whole: the log could not be opened or written.
    bool m_mustWriteWhole = false;
};

} // namespace hmsync
