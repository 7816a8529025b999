#pragma once

#include "sync/HMIdentifierGraph.h"

#include "sync/HMData.h"

#include <QDateTime>
#include <QMap>
#include <QHash>
#include <QJsonObject>
#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>
#include <mutex>

namespace hmsync {

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

// The desktop-side records of the four conduits, kept in memory and, when given a file, in a JSON
// file between runs. It stands in for the desktop's own stores (address book, calendars,
// reminders) where those do not exist. A save writes only what changed since the last one, as a
// line appended to a log beside the file (synced to disk); once the log outgrows the file, the save
// writes the file whole instead and removes the log, so reading both stays linear in the store. The file names its generation and the log the generation it builds on, so a log
// left beside a newer file (the program ended between the two steps) is ignored, and a torn last
// line of the log is ignored too. Thread-safe.
class MemoryStore final
{
public:
    // Loads the file when it exists; false, with the problem, when it cannot be read.
    bool load(const QString &path, QString &problem);
    // Makes the changes not yet written durable in the file it was loaded from (nothing without one):
    // appended to its log, or the file written whole when there is no sound log to append to or the
    // log has outgrown the file. A store as it was loaded or last written is left alone.
    bool save(QString &problem);
    // Whether the store holds changes its file does not.
    bool hasUnsavedChanges() const;

    // Edits made on the desktop. addRecord answers the new record's native id.
    QString addRecord(quint64 conduit, const QVariantMap &fields);
    bool updateRecord(quint64 conduit, const QString &nativeId, const QVariantMap &fields);
    bool deleteRecord(quint64 conduit, const QString &nativeId);

    QMap<QString, StoredRecord> records(quint64 conduit) const;
    std::optional<StoredRecord> record(quint64 conduit, const QString &nativeId) const;
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
    // The record kept under the other side's id; empty when none is.
    QString nativeIdForPhoneId(quint64 conduit, const QString &phoneId) const;

private:
    // Takes what a conduit's part of the file, or of a log line, holds; called with the mutex held.
    void loadConduit(quint64 conduit, const QJsonObject &conduitRoot);
    void loadRecords(quint64 conduit, const QJsonObject &conduitRoot);
    void loadLog();
    bool replayLog(const QByteArray &log);
    QVariantMap changedConduitRoot(quint64 conduit) const;
    QVariantMap deletionsOf(quint64 conduit) const;
    bool hasChangesLocked() const;
    void markRecordChanged(quint64 conduit, const QString &nativeId);
    bool appendToLog(QString &problem);
    bool writeWhole(QString &problem);
    void forgetChanges();
    QString logPath() const { return m_path + QStringLiteral(".log"); }
    // Keeps the record's phone id and the index by phone id in step; called with the mutex held.
    void setPhoneIdLocked(quint64 conduit, const QString &nativeId, StoredRecord &record, const QString &phoneId);
    void forgetPhoneIdLocked(quint64 conduit, const QString &nativeId, const StoredRecord &record);
    QByteArray conduitJson(quint64 conduit) const;

    mutable std::mutex m_mutex;
    QString m_path;
    QMap<quint64, QMap<QString, StoredRecord>> m_records;
    QMap<quint64, QList<DesktopDeletion>> m_deletions;
    QMap<quint64, std::shared_ptr<HMIdentifierGraph>> m_ownIdMaps;
    QMap<quint64, QDateTime> m_lastSyncStarts;
    // The record kept under each phone id, per conduit.
    QMap<quint64, QHash<QString, QString>> m_nativeIdByPhoneId;
    // The own id maps' lists as last written: a map whose list no longer shares them has changed.
    QMap<quint64, QList<QVariantMap>> m_writtenIdMaps;
    // What changed since the last save: records (put or removed) per conduit, and conduits whose
    // deletions or last sync start changed.
    QMap<quint64, QSet<QString>> m_changedRecords;
    QSet<quint64> m_changedConduits;
    // The file's generation, the bytes of its log (0: none to append to), and whether the next save
    // must write the file whole (a new store, or a log that may end in a torn line).
    qint64 m_generation = 0;
    qint64 m_logBytes = 0;
    qint64 m_fileBytes = 0;
    bool m_mustWriteWhole = false;
};

// The data source of one conduit of one run over a MemoryStore, joining desktop records to the
// other side's ids through the conduit's identifier graph like the desktop stores' data sources do,
// or, for Outlook profiles (which have none), through the store's own id map, as Outlook's data
// sources keep theirs. Used on the run's queue.
class MemoryDataSource final : public HMData
{
public:
    MemoryDataSource(std::shared_ptr<MemoryStore> store, quint64 conduit, QString className);
    // Registers a factory for the four data-source classes over the store.
    static void registerForAllConduits(const std::shared_ptr<MemoryStore> &store);

    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void saveChanges() override;
    void cleanUpAfterSync() override;
    QDateTime getOutlookLastModifiedDate() override;
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                            const QSet<QString> &excludedHmUids) override;
    QStringList findDeletes(const QStringList &deviceIds) override;
    void deleteOutlookUidRecords(const QStringList &hmUids) override;
    void replaceTempId(const QString &temporaryId, const QString &permanentId) override;
    void commitUniqueIds(bool wasSuccessful) override;
    QString saveFailure() const override { return m_saveFailure; }
    bool hasUnsavedChanges() override;
    bool hasUnconfirmedRecords() override;
    void saveOutlookChanges() override;

protected:
    QString className() const override { return m_className; }

private:
    // The identifier graph of the run, or the store's own map when the run has none.
    std::shared_ptr<HMIdentifierGraph> idMap();
    // The desktop record a listed record stands for: through the graph, else through the phone id
    // kept in the store (the graph entry is then restored), else a duplicate of it on the desktop
    // that the other side has not confirmed yet (which is then linked to it). Empty when none.
    QString findNativeRecord(const QString &hmUid, const QVariantMap &fields, HMIdentifierGraph &graph);
    QString findUnconfirmedDuplicate(const QVariantMap &fields, const HMIdentifierGraph &graph);
    // Whether the profile's conflict rule keeps the desktop's version of a record changed on both sides.
    bool keepsDesktopVersion(const StoredRecord &existing, const QVariantMap &record, quint64 conflictSetting,
                             qint64 timeDifference, const HMIdentifierGraph &graph);
    // A desktop record to send: a change under its confirmed id, or an add under a temporary id.
    std::optional<HMSyncRecord> recordToSend(const QString &nativeId, const StoredRecord &stored, const QDateTime &date,
                                             const QSet<QString> &excludedHmUids, HMIdentifierGraph &graph);
    void takePhoneIdsFromGraph();
    void link(HMIdentifierGraph &graph, const QString &hmUid, const QString &nativeId);

    const std::shared_ptr<MemoryStore> m_store;
    const quint64 m_conduit;
    const QString m_className;
    const QDateTime m_runStart;
    QString m_saveFailure;
    // The identifier graph's list when the store last took the phone ids from it.
    QList<QVariantMap> m_phoneIdsTakenFrom;
    // The desktop's records the other side has not confirmed, by identity; made when first needed.
    std::optional<QMultiHash<QString, QString>> m_unconfirmedByIdentity;
};

} // namespace hmsync
