#include "outlook/HMOutlookIdBookkeeping.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookSQLiteHelper.h"

#include <QFile>

namespace {

// Whether an id can stand on a line of the confirmed-pairs file.
bool isStorableId(const QString &id)
{
    return !id.isEmpty() && id.size() <= 1024 && !id.contains(u'\t') && !id.contains(u'\n') && !id.contains(u'\r');
}

} // namespace

HMOutlookIdBookkeeping::HMOutlookIdBookkeeping(Conduit conduit, std::shared_ptr<HMOutlookDatFileHelper> map,
                                               std::shared_ptr<HMOutlookSQLiteHelper> outlook)
    : m_conduit(conduit), m_map(std::move(map)), m_outlook(std::move(outlook)), m_confirmedPairs(confirmedPairsPath())
{
}

QString HMOutlookIdBookkeeping::conduitName() const
{
    static const char *const names[] = {"Contacts", "Calendar", "Tasks", "Memos"};
    return QLatin1String(names[int(m_conduit)]);
}

QString HMOutlookIdBookkeeping::confirmedPairsPath() const
{
    return m_map->pendingPairsPath(m_conduit);
}

QHash<QString, QString> HMOutlookIdBookkeeping::deviceIdsByOutlookId() const
{
    const QVariantMap map = m_map->dictionaryForDatFile(m_conduit).value_or(QVariantMap());
    QHash<QString, QString> deviceIds;
    deviceIds.reserve(map.size());
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (!HMOutlookDatFileHelper::isDateKey(it.key()) && it.value().typeId() == QMetaType::QString &&
            !deviceIds.contains(it.value().toString()))
            deviceIds.insert(it.value().toString(), it.key());
    }
    return deviceIds;
}

std::optional<QStringList> HMOutlookIdBookkeeping::deviceIdsGoneFromOutlook()
{
    const std::optional<QStringList> inOutlook =
        m_outlook ? m_outlook->getListOfAllIds(HMOutlookSQLiteHelper::Kind(int(m_conduit))) : std::nullopt;
    if (!inOutlook) {
        DDLogError(QStringLiteral("Outlook's %1 ids could not be read; deletions are not looked for in this sync")
                       .arg(conduitName()));
        return std::nullopt;
    }
    const QSet<QString> present(inOutlook->cbegin(), inOutlook->cend());
    const QVariantMap map = m_map->dictionaryForDatFile(m_conduit).value_or(QVariantMap());
    QStringList gone;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (!HMOutlookDatFileHelper::isDateKey(it.key()) && it.value().typeId() == QMetaType::QString &&
            !present.contains(it.value().toString()))
            gone.append(it.key());
    }
    return gone;
}

void HMOutlookIdBookkeeping::removeDeletedOutlookIdsFromDatFile()
{
    const std::optional<QStringList> gone = deviceIdsGoneFromOutlook();
    if (!gone || gone->isEmpty())
        return;
    if (!commit({}, *gone, {}, {}))
        DDLogError(
            QStringLiteral("The records gone from Outlook could not be removed from the %1 map").arg(conduitName()));
}

QStringList HMOutlookIdBookkeeping::findDeletes(const QStringList &deviceIds) const
{
    const QSet<QString> onDevice(deviceIds.cbegin(), deviceIds.cend());
    QStringList missing;
    for (const QString &deviceId : m_map->getAllDeviceIds(m_conduit)) {
        if (!onDevice.contains(deviceId))
            missing.append(deviceId);
    }
    return missing;
}

bool HMOutlookIdBookkeeping::appendConfirmedPair(const QString &deviceId, const QString &outlookId)
{
    if (!isStorableId(deviceId) || !isStorableId(outlookId))
        return false;
    // The map may have moved to an account's name since the last pair.
    if (const QString path = confirmedPairsPath(); path != m_confirmedPairs.path())
        m_confirmedPairs = HMAppendedLinesFile(path);
    return m_confirmedPairs.append((deviceId + u'\t' + outlookId + u'\n').toUtf8());
}

bool HMOutlookIdBookkeeping::commit(const QVariantMap &pairs, const QStringList &removals,
                                    const QDateTime &lastModified, const QDateTime &listCommandDate)
{
    HMOutlookDatFileHelper::Commit change;
    const QString pendingPath = confirmedPairsPath();
    const bool hasFile = QFile::exists(pendingPath);
    // A map read afresh reads the waiting pairs with it; a kept one is read as stored.
    if (hasFile && m_map->isKeptForRun(m_conduit) && !m_map->readPendingPairs(m_conduit, &change.pairs)) {
        m_map->logUnreadablePendingPairs(m_conduit);
        return false;
    }
    for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it)
        change.pairs.insert(it.key(), it.value());
    change.removals = removals;
    change.lastModified = lastModified;
    change.listCommandDate = listCommandDate;
    if (!m_map->commitChanges(m_conduit, change))
        return false;
    m_confirmedPairs.close();
    return !hasFile || QFile::remove(pendingPath);
}

bool HMOutlookIdBookkeeping::commitSync(bool wasSuccessful, const QVariantMap &pairs, const QVariantList &removals,
                                        const QDateTime &readStamp, const QDateTime &listCommandReturned)
{
    if (!wasSuccessful)
        return commit({}, {}, {}, {});
    QStringList removed;
    removed.reserve(removals.size());
    for (const QVariant &deviceId : removals)
        removed.append(deviceId.toString());
    const QDateTime listed = !readStamp.isValid()            ? QDateTime()
                             : listCommandReturned.isValid() ? listCommandReturned
                                                             : QDateTime::currentDateTimeUtc();
    return commit(pairs, removed, readStamp, listed);
}

bool HMOutlookIdBookkeeping::commitDatesWithoutRead(const QDateTime &listCommandReturned)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return commit({}, {}, now, listCommandReturned.isValid() ? listCommandReturned : now);
}
