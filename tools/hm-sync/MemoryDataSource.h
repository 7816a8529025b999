#pragma once

#include "sync/HMData.h"

#include <QDateTime>
#include <QMap>
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

    // Used by MemoryDataSource during a sync.
    void putFromSync(quint64 conduit, const QString &nativeId, const QVariantMap &fields);
    void removeFromSync(quint64 conduit, const QString &nativeId);

private:
    mutable std::mutex m_mutex;
    QString m_path;
    QMap<quint64, QMap<QString, StoredRecord>> m_records;
    QMap<quint64, QList<DesktopDeletion>> m_deletions;
};

// The data source of one conduit of one run over a MemoryStore, joining desktop records to the
// other side's ids through the conduit's identifier graph like the desktop stores' data sources do.
// Used on the run's queue.
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

protected:
    QString className() const override { return m_className; }

private:
    const std::shared_ptr<MemoryStore> m_store;
    const quint64 m_conduit;
    const QString m_className;
};

} // namespace hmsync
