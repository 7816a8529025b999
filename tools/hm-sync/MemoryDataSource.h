#pragma once

#include "MemoryStore.h"
#include "sync/HMData.h"
#include "sync/HMIdentifierGraph.h"

#include <QDateTime>
#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace hmsync {

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
    // Reads the record's fields only when it goes.
    std::optional<HMSyncRecord> recordToSend(const QString &nativeId, const RecordHead &head, const QDateTime &date,
                                             const QSet<QString> &excludedHmUids, HMIdentifierGraph &graph);
    std::optional<HMSyncRecord> filledRecord(const QString &nativeId, const QString &hmUid);
    void takePhoneIdsFromGraph();
    void link(HMIdentifierGraph &graph, const QString &hmUid, const QString &nativeId);

    const std::shared_ptr<MemoryStore> m_store;
    const quint64 m_conduit;
    const QString m_className;
    const QDateTime m_runStart;
    QString m_saveFailure;
    // The identifier graph's list when the store last took the phone ids from it.
    HMIdentifierGraph::Entries m_phoneIdsTakenFrom;
    // The desktop's records the other side has not confirmed, by identity; made when first needed.
    std::optional<QMultiHash<QString, QString>> m_unconfirmedByIdentity;
};

} // namespace hmsync
