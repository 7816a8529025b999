#pragma once

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>
#include <mutex>

class HMData;

// One conduit's state in one sync run: whether it takes part, its direction, deletion and conflict
// rules copied from the profile, its dates, its data source and the run's counters. The sync
// controller makes five (conduits 0 to 4; 0 is a placeholder that is never enabled) and owns them;
// the configuration source fills and consumes them.
// Used on the run's serial queue. The object fields are read and replaced whole under the object's
// lock; booleans, numbers and counters are plain fields.
class HMSyncConduitData final
{
public:
    // Conduits 1 to 4 get their identifiers ("Contact", "A", ...); any other number only the short
    // identifier "-".
    explicit HMSyncConduitData(quint64 conduit);
    HMSyncConduitData(const HMSyncConduitData &) = delete;
    HMSyncConduitData &operator=(const HMSyncConduitData &) = delete;

    bool syncEnabled() const { return m_syncEnabled; }
    void setSyncEnabled(bool enabled) { m_syncEnabled = enabled; }
    bool purgeOnNextSync() const { return m_purgeOnNextSync; }
    void setPurgeOnNextSync(bool purge) { m_purgeOnNextSync = purge; }
    bool rereadAppleOnNextSync() const { return m_rereadAppleOnNextSync; }
    void setRereadAppleOnNextSync(bool reread) { m_rereadAppleOnNextSync = reread; }
    bool rereadDeviceOnNextSync() const { return m_rereadDeviceOnNextSync; }
    void setRereadDeviceOnNextSync(bool reread) { m_rereadDeviceOnNextSync = reread; }
    quint64 conduit() const { return m_conduit; }
    void setConduit(quint64 conduit) { m_conduit = conduit; }

    QString conduitIdentifierString() const;
    void setConduitIdentifierString(const QString &identifier);
    QString conduitShortIdentifierString() const;
    void setConduitShortIdentifierString(const QString &letter);
    // The conduit's data source while the run uses it; null before it is prepared and after clean-up.
    std::shared_ptr<HMData> conduitData() const;
    void setConduitData(std::shared_ptr<HMData> data);
    // The name of the data-source class the configuration source creates ("HMContactData", ...).
    QString conduitDataClass() const;
    void setConduitDataClass(const QString &className);
    // Ids ("UID") of the records the other side changed in this run and that were applied.
    QSet<QString> hmUidsModifiedByDevice() const;
    void setHmUidsModifiedByDevice(const QSet<QString> &hmUids);
    // Adds a page's ids in place: the ids of earlier pages are not copied again.
    void addHmUidsModifiedByDevice(const QSet<QString> &hmUids);
    // Ids of the records the id list of this run deleted on the Mac: the list's deletion rows for them
    // are done with.
    void noteDeletedByIdList(const QStringList &hmUids);
    bool wasDeletedByIdList(const QString &hmUid) const;
    QStringList categoryIdentifiersToSync() const;
    void setCategoryIdentifiersToSync(const QStringList &identifiers);
    QString categoryIdentifierToWriteTo() const;
    void setCategoryIdentifierToWriteTo(const QString &identifier);
    // When this conduit's work in the run started; becomes the last-sync date at clean-up.
    QDateTime syncStartDate() const;
    void setSyncStartDate(const QDateTime &date);
    QDateTime syncFinishDate() const;
    void setSyncFinishDate(const QDateTime &date);
    // The other side's last change of this conduit, from its logon reply.
    QDateTime syncDriverLastModifiedDate() const;
    void setSyncDriverLastModifiedDate(const QDateTime &date);
    // The previous sync of this conduit; after clean-up, this run's start.
    QDateTime lastSyncDate() const;
    void setLastSyncDate(const QDateTime &date);

    quint64 syncDirection() const { return m_syncDirection; }
    void setSyncDirection(quint64 direction) { m_syncDirection = direction; }
    QString syncDirectionName() const;
    void setSyncDirectionName(const QString &name);
    quint64 syncDeletions() const { return m_syncDeletions; }
    void setSyncDeletions(quint64 deletions) { m_syncDeletions = deletions; }
    QString syncDeletionsName() const;
    void setSyncDeletionsName(const QString &name);
    quint64 conflictSetting() const { return m_conflictSetting; }
    void setConflictSetting(quint64 setting) { m_conflictSetting = setting; }
    QString conflictSettingName() const;
    void setConflictSettingName(const QString &name);

    qint64 appleRecordCount() const { return m_appleRecordCount; }
    void setAppleRecordCount(qint64 count) { m_appleRecordCount = count; }
    qint64 deviceRecordCount() const { return m_deviceRecordCount; }
    void setDeviceRecordCount(qint64 count) { m_deviceRecordCount = count; }
    qint64 deviceAdds() const { return m_deviceAdds; }
    void setDeviceAdds(qint64 count) { m_deviceAdds = count; }
    qint64 deviceUpdates() const { return m_deviceUpdates; }
    void setDeviceUpdates(qint64 count) { m_deviceUpdates = count; }
    qint64 deviceDeletes() const { return m_deviceDeletes; }
    void setDeviceDeletes(qint64 count) { m_deviceDeletes = count; }
    qint64 appleAdds() const { return m_appleAdds; }
    void setAppleAdds(qint64 count) { m_appleAdds = count; }
    qint64 appleUpdates() const { return m_appleUpdates; }
    void setAppleUpdates(qint64 count) { m_appleUpdates = count; }
    qint64 appleDeletes() const { return m_appleDeletes; }
    void setAppleDeletes(qint64 count) { m_appleDeletes = count; }

private:
    mutable std::mutex m_propertyMutex;
    bool m_syncEnabled = false;
    bool m_purgeOnNextSync = false;
    bool m_rereadAppleOnNextSync = false;
    bool m_rereadDeviceOnNextSync = false;
    quint64 m_conduit = 0;
    QString m_conduitIdentifierString;
    QString m_conduitShortIdentifierString;
    std::shared_ptr<HMData> m_conduitData;
    QString m_conduitDataClass;
    QSet<QString> m_hmUidsModifiedByDevice;
    QStringList m_categoryIdentifiersToSync;
    QString m_categoryIdentifierToWriteTo;
    QDateTime m_syncStartDate;
    QDateTime m_syncFinishDate;
    QDateTime m_syncDriverLastModifiedDate;
    QDateTime m_lastSyncDate;
    quint64 m_syncDirection = 0;
    QString m_syncDirectionName;
    quint64 m_syncDeletions = 0;
    QString m_syncDeletionsName;
    quint64 m_conflictSetting = 0;
    QString m_conflictSettingName;
    qint64 m_appleRecordCount = 0;
    qint64 m_deviceRecordCount = 0;
    qint64 m_deviceAdds = 0;
    qint64 m_deviceUpdates = 0;
    qint64 m_deviceDeletes = 0;
    qint64 m_appleAdds = 0;
    qint64 m_appleUpdates = 0;
    qint64 m_appleDeletes = 0;
    QSet<QString> m_hmUidsDeletedByIdList;
};
