#include "FakeMacStore.h"

#include "foundation/NSDictionary+HMExtras.h"
#include "sync/HMIdentifierGraph.h"

#include <algorithm>

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");

constexpr qint64 kKept = 1;
constexpr qint64 kWritten = 2;

} // namespace

FakeMacStore::FakeMacStore(QString className)
    : m_className(std::move(className)), m_ownGraph(std::make_shared<HMIdentifierGraph>()),
      m_writeTime(QDateTime::currentDateTimeUtc())
{
}

// The run's identifier graph when the run gives one; otherwise (Outlook syncs keep their ids in
// Outlook's own maps) a map of the store's own.
std::shared_ptr<HMIdentifierGraph> FakeMacStore::idGraph() const
{
    if (std::shared_ptr<HMIdentifierGraph> given = identifierGraph())
        return given;
    return m_ownGraph;
}

void FakeMacStore::note(const QString &call)
{
    const std::lock_guard lock(m_logMutex);
    m_calls.append(call);
}

QStringList FakeMacStore::calls() const
{
    const std::lock_guard lock(m_logMutex);
    return m_calls;
}

int FakeMacStore::openCount() const
{
    const std::lock_guard lock(m_logMutex);
    return m_openCount;
}

void FakeMacStore::putMacRecord(const QString &nativeId, const QVariantMap &fields, const QDateTime &modified,
                                const QString &deviceId)
{
    m_records.insert(nativeId, MacRecord{nativeId, fields, modified, false});
    if (!deviceId.isEmpty())
        bind(deviceId, nativeId);
}

void FakeMacStore::deleteMacRecord(const QString &nativeId, const QDateTime &when)
{
    auto it = m_records.find(nativeId);
    if (it == m_records.end())
        return;
    it->isDeleted = true;
    it->modified = when;
}

QList<FakeMacStore::MacRecord> FakeMacStore::records() const
{
    QList<MacRecord> live;
    for (const MacRecord &record : m_records) {
        if (!record.isDeleted)
            live.append(record);
    }
    return live;
}

std::optional<FakeMacStore::MacRecord> FakeMacStore::recordForDeviceId(const QString &deviceId) const
{
    const QString nativeId = nativeIdForDeviceId(deviceId);
    if (nativeId.isEmpty() || !m_records.contains(nativeId))
        return std::nullopt;
    return m_records.value(nativeId);
}

QStringList FakeMacStore::deviceIds() const
{
    QStringList ids;
    if (const std::shared_ptr<HMIdentifierGraph> graph = idGraph()) {
        for (const QVariantMap &entry : graph->identifierDictionaries())
            ids.append(entry.value(kHmUidKey).toString());
    }
    ids.sort();
    return ids;
}

// While the store is open, lookups go through an index of the graph, so that a run of many thousand
// records does not scan the graph once per record. The index is rebuilt at every opening: between
// uses the update replies change the graph behind the store's back.
QString FakeMacStore::nativeIdForDeviceId(const QString &deviceId) const
{
    const std::shared_ptr<HMIdentifierGraph> graph = idGraph();
    if (!graph || deviceId.isEmpty())
        return {};
    if (m_indexIsValid)
        return m_nativeIdOfDeviceId.value(deviceId);
    return graph->nativeIdForHarrowmereUid(deviceId);
}

void FakeMacStore::rebuildIndex()
{
    m_nativeIdOfDeviceId.clear();
    if (const std::shared_ptr<HMIdentifierGraph> graph = idGraph()) {
        for (const QVariantMap &entry : graph->identifierDictionaries()) {
            const QString deviceId = entry.value(kHmUidKey).toString();
            if (!m_nativeIdOfDeviceId.contains(deviceId))
                m_nativeIdOfDeviceId.insert(deviceId, entry.value(kNativeIdKey).toString());
        }
    }
    m_indexIsValid = true;
}

void FakeMacStore::bind(const QString &deviceId, const QString &nativeId)
{
    const std::shared_ptr<HMIdentifierGraph> graph = idGraph();
    if (!graph)
        return;
    graph->appendDictionary(QVariantMap{{kHmUidKey, deviceId}, {kNativeIdKey, nativeId}});
    if (m_indexIsValid && !m_nativeIdOfDeviceId.contains(deviceId))
        m_nativeIdOfDeviceId.insert(deviceId, nativeId);
}

void FakeMacStore::unbind(const QString &deviceId)
{
    if (const std::shared_ptr<HMIdentifierGraph> graph = idGraph())
        graph->removeDictionaryForHarrowmereUid(deviceId);
    m_indexIsValid = false;
}

void FakeMacStore::clearIdTable()
{
    note(QStringLiteral("clearIdTable"));
    HMData::clearIdTable();
    if (!identifierGraph())
        m_ownGraph->clear();
    m_indexIsValid = false;
}

void FakeMacStore::prepareForUseOnThread()
{
    note(QStringLiteral("prepare"));
    rebuildIndex();
    const std::lock_guard lock(m_logMutex);
    ++m_openCount;
}

void FakeMacStore::stopUsingOnThread()
{
    note(QStringLiteral("stop"));
    m_indexIsValid = false;
    const std::lock_guard lock(m_logMutex);
    --m_openCount;
}

void FakeMacStore::saveChanges()
{
    note(QStringLiteral("save"));
}

qint64 FakeMacStore::commandAction(qint32 action, quint64, quint64 conflictSetting, const QVariantMap &record, qint64)
{
    return apply(action, conflictSetting, record);
}

qint64 FakeMacStore::outlookCommandAction(qint32 action, quint64, quint64 conflictSetting, const QVariantMap &record,
                                          qint64)
{
    return apply(action, conflictSetting, record);
}

qint64 FakeMacStore::apply(qint32 action, quint64 conflictSetting, const QVariantMap &record)
{
    const QString deviceId = ::stringForKey(record, QStringLiteral("UID"));
    if (deviceId.isEmpty()) {
        note(QStringLiteral("refuse %1 without UID").arg(action));
        return 0;
    }
    if (action < 0 || action > 2) {
        note(QStringLiteral("ignore %1 %2").arg(action).arg(deviceId));
        return 0;
    }
    const auto written = [&](const QString &nativeId) {
        m_records.insert(nativeId, MacRecord{nativeId, record, m_writeTime, false});
        note(QStringLiteral("apply %1 %2 -> %3").arg(action).arg(deviceId, nativeId));
        return kWritten;
    };
    const QString nativeId = nativeIdForDeviceId(deviceId);
    if (nativeId.isEmpty() || !m_records.contains(nativeId) || m_records.value(nativeId).isDeleted) {
        const QString newNativeId = QStringLiteral("mac-new-%1").arg(m_nextNativeId++);
        bind(deviceId, newNativeId);
        return written(newNativeId);
    }
    const MacRecord &mine = m_records[nativeId];
    const QDateTime lastSync = idGraph() ? idGraph()->lastSyncDate() : QDateTime();
    const bool macChanged = !lastSync.isValid() || mine.modified > lastSync;
    if (!macChanged)
        return written(nativeId);
    switch (conflictSetting) {
    case 0: {
        const QDateTime deviceChanged = QDateTime::fromString(::stringForKey(record, QStringLiteral("LASTMODIFIED")),
                                                              Qt::ISODate);
        if (deviceChanged.isValid() && deviceChanged > mine.modified)
            return written(nativeId);
        note(QStringLiteral("keep %1").arg(nativeId));
        return kKept;
    }
    case 1:
        note(QStringLiteral("keep %1").arg(nativeId));
        return kKept;
    case 3: {
        // Both stay: the Mac's record loses its device id and goes to the device as a new one.
        unbind(deviceId);
        const QString copyId = QStringLiteral("mac-new-%1").arg(m_nextNativeId++);
        bind(deviceId, copyId);
        rebuildIndex();
        return written(copyId);
    }
    default:
        return written(nativeId);
    }
}

std::optional<QList<HMSyncRecord>> FakeMacStore::syncRecordObjectsModifiedAfter(const QDateTime &date,
                                                                               bool includeDeletes,
                                                                               const QSet<QString> &excludedHmUids)
{
    return changesAfter(date, includeDeletes, excludedHmUids, false);
}

std::optional<QList<HMSyncRecord>> FakeMacStore::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    return changesAfter(date, includeDeletes, excludedHmUids, true);
}

std::optional<QList<HMSyncRecord>> FakeMacStore::changesAfter(const QDateTime &date, bool includeDeletes,
                                                              const QSet<QString> &excludedHmUids, bool outlookIds)
{
    note(QStringLiteral("changes since %1%2")
             .arg(date.isValid() ? date.toString(Qt::ISODate) : QStringLiteral("ever"),
                  includeDeletes ? QStringLiteral(" with deletions") : QString()));
    const std::shared_ptr<HMIdentifierGraph> graph = idGraph();
    if (!graph)
        return std::nullopt;
    QHash<QString, QString> deviceIdOfNative;
    for (const QVariantMap &entry : graph->identifierDictionaries())
        deviceIdOfNative.insert(entry.value(kNativeIdKey).toString(), entry.value(kHmUidKey).toString());

    QList<HMSyncRecord> changes;
    QStringList added;
    for (const MacRecord &mine : std::as_const(m_records)) {
        const QString deviceId = deviceIdOfNative.value(mine.nativeId);
        const bool changedSince = !date.isValid() || mine.modified > date;
        HMSyncRecord record;
        record.setNativeId(mine.nativeId);
        record.setLastModifiedDate(mine.modified);
        if (outlookIds)
            record.setOutlookUid(mine.nativeId);
        if (mine.isDeleted) {
            if (!includeDeletes || deviceId.isEmpty() || excludedHmUids.contains(deviceId) || !changedSince)
                continue;
            record.setIsDelete(true);
            record.setHmxUid(deviceId);
        } else if (deviceId.isEmpty()) {
            // Never sent: it goes as new under a temporary id that the device's reply replaces.
            const QString temporaryId = newUid();
            bind(temporaryId, mine.nativeId);
            added.append(temporaryId);
            // Outlook stores commit the ids the device assigns only when the update succeeded.
            if (outlookIds)
                uniqueIdsDictionary().insert(temporaryId, mine.nativeId);
            record.setIsNew(true);
            record.setHmxUid(temporaryId);
            record.setDictionary(mine.fields);
        } else {
            if (excludedHmUids.contains(deviceId) || !changedSince)
                continue;
            record.setHmxUid(deviceId);
            record.setDictionary(mine.fields);
        }
        changes.append(record);
    }
    setRecordsAddedToDevice(added);
    return changes;
}

void FakeMacStore::deleteUidRecords(const QStringList &hmUids)
{
    QStringList sorted = hmUids;
    sorted.sort();
    note(QStringLiteral("delete %1").arg(sorted.join(QLatin1Char(','))));
    for (const QString &deviceId : hmUids) {
        const QString nativeId = nativeIdForDeviceId(deviceId);
        if (nativeId.isEmpty())
            continue;
        m_records.remove(nativeId);
        unbind(deviceId);
    }
}

void FakeMacStore::deleteOutlookUidRecords(const QStringList &hmUids)
{
    note(QStringLiteral("outlook"));
    deleteUidRecords(hmUids);
}

QStringList FakeMacStore::findDeletes(const QStringList &onDeviceIds)
{
    const QSet<QString> onDevice(onDeviceIds.cbegin(), onDeviceIds.cend());
    QStringList missing;
    for (const QString &known : deviceIds()) {
        if (!onDevice.contains(known))
            missing.append(known);
    }
    note(QStringLiteral("findDeletes %1").arg(missing.join(QLatin1Char(','))));
    return missing;
}

void FakeMacStore::clearOutlookDatFile(const QString &conduitName)
{
    note(QStringLiteral("clearOutlookDatFile %1").arg(conduitName));
}

void FakeMacStore::saveOutlookChanges()
{
    note(QStringLiteral("saveOutlookChanges"));
}

void FakeMacStore::writeConduitListReturned()
{
    note(QStringLiteral("listReturned"));
}

void FakeMacStore::commitUniqueIds(bool wasSuccessful)
{
    note(QStringLiteral("commit %1").arg(int(wasSuccessful)));
    if (!wasSuccessful || uniqueIdsDictionary().isEmpty())
        return;
    QStringList pairs;
    for (auto it = uniqueIdsDictionary().cbegin(); it != uniqueIdsDictionary().cend(); ++it)
        pairs.append(it.key() + QLatin1Char('=') + it.value().toString());
    note(QStringLiteral("committed ") + pairs.join(QLatin1Char(',')));
    uniqueIdsDictionary().clear();
}

void FakeMacStore::savePicturesFromQuillnestSync(const QVariantMap &pictures)
{
    QStringList ids = pictures.keys();
    note(QStringLiteral("pictures %1").arg(ids.join(QLatin1Char(','))));
}
