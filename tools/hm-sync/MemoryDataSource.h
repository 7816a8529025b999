#pragma once

#include "sync/HMIdentifierGraph.h"

#include "sync/HMData.h"

#include <QDateTime>
#include <QMap>
#include <QMultiHash>
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
// reminders) where those do not exist. Thread-safe.
class MemoryStore final
{
public:
    // Loads the file when it exists; false, with the problem, when it cannot be read.
    bool load(const QString &path, QString &problem);
    // Writes the store to the file it was loaded from (nothing without one).
    bool save(QString &problem) const;

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
    void loadConduit(quint64 conduit, const QVariantMap &conduitRoot);
    QVariantMap conduitRoot(quint64 conduit) const;

    mutable std::mutex m_mutex;
    QString m_path;
    QMap<quint64, QMap<QString, StoredRecord>> m_records;
    QMap<quint64, QList<DesktopDeletion>> m_deletions;
    QMap<quint64, std::shared_ptr<HMIdentifierGraph>> m_ownIdMaps;
    QMap<quint64, QDateTime> m_lastSyncStarts;
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
    void link(HMIdentifierGraph &graph, const QString &hmUid, const QString &nativeId);

    const std::shared_ptr<MemoryStore> m_store;
    const quint64 m_conduit;
    const QString m_className;
    const QDateTime m_runStart;
    QString m_saveFailure;
    // The desktop's records the other side has not confirmed, by identity; made when first needed.
    std::optional<QMultiHash<QString, QString>> m_unconfirmedByIdentity;
};

} // namespace hmsync
