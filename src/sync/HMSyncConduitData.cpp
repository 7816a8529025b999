#include "sync/HMSyncConduitData.h"

#include "platform/foundation/LockedField.h"

HMSyncConduitData::HMSyncConduitData(quint64 conduit) : m_conduit(conduit)
{
    static const char *const identifiers[] = {"Contact", "Calendar", "Todo", "Memo"};
    static const char *const letters[] = {"A", "D", "T", "M"};
    if (conduit >= 1 && conduit <= 4) {
        m_conduitIdentifierString = QLatin1String(identifiers[conduit - 1]);
        m_conduitShortIdentifierString = QLatin1String(letters[conduit - 1]);
    } else {
        m_conduitShortIdentifierString = QStringLiteral("-");
    }
}

QString HMSyncConduitData::conduitIdentifierString() const
{
    return platform::lockedCopy(m_propertyMutex, m_conduitIdentifierString);
}

void HMSyncConduitData::setConduitIdentifierString(const QString &identifier)
{
    platform::lockedAssign(m_propertyMutex, m_conduitIdentifierString, identifier);
}

QString HMSyncConduitData::conduitShortIdentifierString() const
{
    return platform::lockedCopy(m_propertyMutex, m_conduitShortIdentifierString);
}

void HMSyncConduitData::setConduitShortIdentifierString(const QString &letter)
{
    platform::lockedAssign(m_propertyMutex, m_conduitShortIdentifierString, letter);
}

std::shared_ptr<HMData> HMSyncConduitData::conduitData() const
{
    return platform::lockedCopy(m_propertyMutex, m_conduitData);
}

void HMSyncConduitData::setConduitData(std::shared_ptr<HMData> data)
{
    platform::lockedAssign(m_propertyMutex, m_conduitData, std::move(data));
}

QString HMSyncConduitData::conduitDataClass() const
{
    return platform::lockedCopy(m_propertyMutex, m_conduitDataClass);
}

void HMSyncConduitData::setConduitDataClass(const QString &className)
{
    platform::lockedAssign(m_propertyMutex, m_conduitDataClass, className);
}

QSet<QString> HMSyncConduitData::hmUidsModifiedByDevice() const
{
    return platform::lockedCopy(m_propertyMutex, m_hmUidsModifiedByDevice);
}

void HMSyncConduitData::setHmUidsModifiedByDevice(const QSet<QString> &hmUids)
{
    platform::lockedAssign(m_propertyMutex, m_hmUidsModifiedByDevice, hmUids);
}

void HMSyncConduitData::noteDeletedByIdList(const QStringList &hmUids)
{
    const std::lock_guard lock(m_propertyMutex);
    m_hmUidsDeletedByIdList.unite(QSet<QString>(hmUids.cbegin(), hmUids.cend()));
}

bool HMSyncConduitData::wasDeletedByIdList(const QString &hmUid) const
{
    const std::lock_guard lock(m_propertyMutex);
    return m_hmUidsDeletedByIdList.contains(hmUid);
}

void HMSyncConduitData::addHmUidsModifiedByDevice(const QSet<QString> &hmUids)
{
    const std::lock_guard lock(m_propertyMutex);
    // A run's first page gives the set as it is; later pages grow it once rather than step by step.
    if (m_hmUidsModifiedByDevice.isEmpty()) {
        m_hmUidsModifiedByDevice = hmUids;
        return;
    }
    m_hmUidsModifiedByDevice.reserve(m_hmUidsModifiedByDevice.size() + hmUids.size());
    m_hmUidsModifiedByDevice.unite(hmUids);
}

QStringList HMSyncConduitData::categoryIdentifiersToSync() const
{
    return platform::lockedCopy(m_propertyMutex, m_categoryIdentifiersToSync);
}

void HMSyncConduitData::setCategoryIdentifiersToSync(const QStringList &identifiers)
{
    platform::lockedAssign(m_propertyMutex, m_categoryIdentifiersToSync, identifiers);
}

QString HMSyncConduitData::categoryIdentifierToWriteTo() const
{
    return platform::lockedCopy(m_propertyMutex, m_categoryIdentifierToWriteTo);
}

void HMSyncConduitData::setCategoryIdentifierToWriteTo(const QString &identifier)
{
    platform::lockedAssign(m_propertyMutex, m_categoryIdentifierToWriteTo, identifier);
}

QDateTime HMSyncConduitData::syncStartDate() const
{
    return platform::lockedCopy(m_propertyMutex, m_syncStartDate);
}

void HMSyncConduitData::setSyncStartDate(const QDateTime &date)
{
    platform::lockedAssign(m_propertyMutex, m_syncStartDate, date);
}

QDateTime HMSyncConduitData::syncFinishDate() const
{
    return platform::lockedCopy(m_propertyMutex, m_syncFinishDate);
}

void HMSyncConduitData::setSyncFinishDate(const QDateTime &date)
{
    platform::lockedAssign(m_propertyMutex, m_syncFinishDate, date);
}

QDateTime HMSyncConduitData::syncDriverLastModifiedDate() const
{
    return platform::lockedCopy(m_propertyMutex, m_syncDriverLastModifiedDate);
}

void HMSyncConduitData::setSyncDriverLastModifiedDate(const QDateTime &date)
{
    platform::lockedAssign(m_propertyMutex, m_syncDriverLastModifiedDate, date);
}

QDateTime HMSyncConduitData::lastSyncDate() const
{
    return platform::lockedCopy(m_propertyMutex, m_lastSyncDate);
}

void HMSyncConduitData::setLastSyncDate(const QDateTime &date)
{
    platform::lockedAssign(m_propertyMutex, m_lastSyncDate, date);
}

QString HMSyncConduitData::syncDirectionName() const
{
    return platform::lockedCopy(m_propertyMutex, m_syncDirectionName);
}

void HMSyncConduitData::setSyncDirectionName(const QString &name)
{
    platform::lockedAssign(m_propertyMutex, m_syncDirectionName, name);
}

QString HMSyncConduitData::syncDeletionsName() const
{
    return platform::lockedCopy(m_propertyMutex, m_syncDeletionsName);
}

void HMSyncConduitData::setSyncDeletionsName(const QString &name)
{
    platform::lockedAssign(m_propertyMutex, m_syncDeletionsName, name);
}

QString HMSyncConduitData::conflictSettingName() const
{
    return platform::lockedCopy(m_propertyMutex, m_conflictSettingName);
}

void HMSyncConduitData::setConflictSettingName(const QString &name)
{
    platform::lockedAssign(m_propertyMutex, m_conflictSettingName, name);
}
