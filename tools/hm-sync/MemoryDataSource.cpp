#include "MemoryDataSource.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileIO.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMIdentifierGraph.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace hmsync {

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");

// Keys that describe a record's passage, not the record.
const QStringList kBookkeepingKeys = {QStringLiteral("UID"), QStringLiteral("ACTION"), QStringLiteral("DELETED"),
                                      QStringLiteral("LASTMODIFIED"), QStringLiteral("kIgnoreThisRecord")};

QVariantMap withoutBookkeeping(QVariantMap fields)
{
    for (const QString &key : kBookkeepingKeys)
        fields.remove(key);
    return fields;
}

// Record values in JSON: texts, flags, numbers, lists and dictionaries as themselves, dates (of any
// year) as {"date": ISO 8601 text}. Values without a value are left out.
QJsonValue jsonFromValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QDateTime:
        return QJsonObject{{QStringLiteral("date"), value.toDateTime().toUTC().toString(Qt::ISODateWithMs)}};
    case QMetaType::QVariantList: {
        QJsonArray list;
        for (const QVariant &entry : value.toList())
            list.append(jsonFromValue(entry));
        return list;
    }
    case QMetaType::QVariantMap: {
        QJsonObject map;
        const QVariantMap entries = value.toMap();
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            if (it.value().isValid() && !it.value().isNull())
                map.insert(it.key(), jsonFromValue(it.value()));
        }
        return map;
    }
    default:
        return QJsonValue::fromVariant(value);
    }
}

QVariant valueFromJson(const QJsonValue &json)
{
    if (json.isArray()) {
        QVariantList list;
        for (const QJsonValue &entry : json.toArray())
            list.append(valueFromJson(entry));
        return list;
    }
    if (!json.isObject())
        return json.toVariant();
    const QJsonObject object = json.toObject();
    if (object.size() == 1 && object.value(QStringLiteral("date")).isString())
        return QDateTime::fromString(object.value(QStringLiteral("date")).toString(), Qt::ISODateWithMs);
    QVariantMap map;
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), valueFromJson(it.value()));
    return map;
}

QString conduitKey(quint64 conduit)
{
    return QString::number(conduit);
}

} // namespace

bool MemoryStore::load(const QString &path, QString &problem)
{
    const std::lock_guard lock(m_mutex);
    m_path = path;
    m_records.clear();
    m_deletions.clear();
    if (!QFileInfo::exists(path))
        return true;
    const platform::Result<QByteArray> bytes = platform::readWholeFile(path);
    if (!bytes) {
        problem = bytes.error().message();
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (!document.isObject()) {
        problem = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    const QVariantMap root = valueFromJson(document.object()).toMap();
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        const QVariantMap conduitRoot = root.value(conduitKey(conduit)).toMap();
        const QVariantMap records = conduitRoot.value(QStringLiteral("records")).toMap();
        for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
            const QVariantMap entry = it.value().toMap();
            m_records[conduit].insert(it.key(), StoredRecord{entry.value(QStringLiteral("fields")).toMap(),
                                                             entry.value(QStringLiteral("changed")).toDateTime()});
        }
        const QVariantMap deletions = conduitRoot.value(QStringLiteral("deletions")).toMap();
        for (auto it = deletions.constBegin(); it != deletions.constEnd(); ++it)
            m_deletions[conduit].append(DesktopDeletion{it.key(), it.value().toDateTime()});
    }
    return true;
}

bool MemoryStore::save(QString &problem) const
{
    QVariantMap root;
    QString path;
    {
        const std::lock_guard lock(m_mutex);
        path = m_path;
        for (auto conduit = m_records.constBegin(); conduit != m_records.constEnd(); ++conduit) {
            QVariantMap records;
            for (auto it = conduit.value().constBegin(); it != conduit.value().constEnd(); ++it) {
                QVariantMap entry{{QStringLiteral("fields"), it.value().fields}};
                if (it.value().changedOnDesktop.isValid())
                    entry.insert(QStringLiteral("changed"), it.value().changedOnDesktop);
                records.insert(it.key(), entry);
            }
            QVariantMap deletions;
            for (const DesktopDeletion &deletion : m_deletions.value(conduit.key()))
                deletions.insert(deletion.nativeId, deletion.deletedAt);
            root.insert(conduitKey(conduit.key()),
                        QVariantMap{{QStringLiteral("records"), records}, {QStringLiteral("deletions"), deletions}});
        }
    }
    if (path.isEmpty())
        return true;
    const QByteArray json = QJsonDocument(jsonFromValue(root).toObject()).toJson(QJsonDocument::Indented);
    const platform::Status written = platform::writeFileAtomically(path, json);
    if (!written) {
        problem = written.error().message();
        return false;
    }
    return true;
}

QString MemoryStore::addRecord(quint64 conduit, const QVariantMap &fields)
{
    const QString nativeId = HMData::newUid();
    const std::lock_guard lock(m_mutex);
    m_records[conduit].insert(nativeId, StoredRecord{fields, platform::Clock::now()});
    return nativeId;
}

bool MemoryStore::updateRecord(quint64 conduit, const QString &nativeId, const QVariantMap &fields)
{
    const std::lock_guard lock(m_mutex);
    auto it = m_records[conduit].find(nativeId);
    if (it == m_records[conduit].end())
        return false;
    for (auto field = fields.constBegin(); field != fields.constEnd(); ++field)
        it->fields.insert(field.key(), field.value());
    it->changedOnDesktop = platform::Clock::now();
    return true;
}

bool MemoryStore::deleteRecord(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    if (m_records[conduit].remove(nativeId) == 0)
        return false;
    m_deletions[conduit].append(DesktopDeletion{nativeId, platform::Clock::now()});
    return true;
}

QMap<QString, StoredRecord> MemoryStore::records(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_records.value(conduit);
}

std::optional<StoredRecord> MemoryStore::record(quint64 conduit, const QString &nativeId) const
{
    const std::lock_guard lock(m_mutex);
    const auto conduitRecords = m_records.constFind(conduit);
    if (conduitRecords == m_records.constEnd())
        return std::nullopt;
    const auto found = conduitRecords->constFind(nativeId);
    if (found == conduitRecords->constEnd())
        return std::nullopt;
    return *found;
}

QList<DesktopDeletion> MemoryStore::deletions(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_deletions.value(conduit);
}

void MemoryStore::putFromSync(quint64 conduit, const QString &nativeId, const QVariantMap &fields)
{
    const std::lock_guard lock(m_mutex);
    m_records[conduit].insert(nativeId, StoredRecord{fields, QDateTime()});
}

void MemoryStore::removeFromSync(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    m_records[conduit].remove(nativeId);
}

std::shared_ptr<HMIdentifierGraph> MemoryStore::ownIdMap(quint64 conduit)
{
    const std::lock_guard lock(m_mutex);
    std::shared_ptr<HMIdentifierGraph> &map = m_ownIdMaps[conduit];
    if (!map)
        map = std::make_shared<HMIdentifierGraph>();
    return map;
}

QDateTime MemoryStore::lastSyncStart(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_lastSyncStarts.value(conduit);
}

void MemoryStore::setLastSyncStart(quint64 conduit, const QDateTime &start)
{
    const std::lock_guard lock(m_mutex);
    m_lastSyncStarts.insert(conduit, start);
}

MemoryDataSource::MemoryDataSource(std::shared_ptr<MemoryStore> store, quint64 conduit, QString className)
    : m_store(std::move(store)), m_conduit(conduit), m_className(std::move(className)),
      m_runStart(platform::Clock::now())
{
}

std::shared_ptr<HMIdentifierGraph> MemoryDataSource::idMap()
{
    std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? graph : m_store->ownIdMap(m_conduit);
}

void MemoryDataSource::registerForAllConduits(const std::shared_ptr<MemoryStore> &store)
{
    const QStringList classNames = {QStringLiteral("HMContactData"), QStringLiteral("HMCalendarData"),
                                    QStringLiteral("HMTaskData"), QStringLiteral("HMMemoData")};
    for (qsizetype index = 0; index < classNames.size(); ++index) {
        const quint64 conduit = quint64(index + 1);
        const QString className = classNames.at(index);
        HMDataConfigurationSource::registerDataSourceClass(className, [store, conduit, className] {
            return std::make_shared<MemoryDataSource>(store, conduit, className);
        });
    }
}

std::optional<QList<HMSyncRecord>> MemoryDataSource::syncRecordObjectsModifiedAfter(const QDateTime &date,
                                                                                    bool includeDeletes,
                                                                                    const QSet<QString> &excludedHmUids)
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return std::nullopt;
    QList<HMSyncRecord> added;
    QList<HMSyncRecord> others;
    QStringList temporaryIds;
    const QMap<QString, StoredRecord> records = m_store->records(m_conduit);
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        const QDateTime changed = it.value().changedOnDesktop;
        if (!changed.isValid() || (date.isValid() && changed <= date))
            continue;
        HMSyncRecord record;
        record.setNativeId(it.key());
        record.setLastModifiedDate(changed);
        record.setDictionary(it.value().fields);
        const QString hmUid = graph->harrowmereUidForNativeId(it.key());
        if (!hmUid.isEmpty()) {
            if (excludedHmUids.contains(hmUid))
                continue;
            record.setHmxUid(hmUid);
            others.append(record);
            continue;
        }
        // A record the other side has never seen goes under a temporary id, which the update
        // reply replaces by the other side's own.
        const QString temporaryId = QStringLiteral("tmp-") + newUid();
        graph->setDictionary(QVariantMap{{kHmUidKey, temporaryId}, {kNativeIdKey, it.key()}}, temporaryId);
        record.setHmxUid(temporaryId);
        record.setIsNew(true);
        temporaryIds.append(temporaryId);
        added.append(record);
    }
    if (includeDeletes) {
        for (const DesktopDeletion &deletion : m_store->deletions(m_conduit)) {
            const QString hmUid = graph->harrowmereUidForNativeId(deletion.nativeId);
            if (hmUid.isEmpty() || (date.isValid() && deletion.deletedAt <= date))
                continue;
            HMSyncRecord record;
            record.setNativeId(deletion.nativeId);
            record.setHmxUid(hmUid);
            record.setIsDelete(true);
            others.append(record);
        }
    }
    // New records go first, so each batch's new records are the next ones of recordsAddedToDevice.
    setRecordsAddedToDevice(temporaryIds);
    return added + others;
}

qint64 MemoryDataSource::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                       const QVariantMap &record, qint64 timeDifference)
{
    Q_UNUSED(syncMethod);
    Q_UNUSED(timeDifference);
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const QString hmUid = record.value(QStringLiteral("UID")).toString();
    if (!graph || hmUid.isEmpty())
        return 0;
    if (action == 3) {
        deleteUidRecords({hmUid});
        return 2;
    }
    const QVariantMap fields = withoutBookkeeping(record);
    const QString nativeId = graph->nativeIdForHarrowmereUid(hmUid);
    const std::optional<StoredRecord> existing =
        nativeId.isEmpty() ? std::nullopt : m_store->record(m_conduit, nativeId);
    if (existing) {
        const QDateTime changed = existing->changedOnDesktop;
        const bool changedOnBothSides =
            changed.isValid() && (!graph->lastSyncDate().isValid() || changed > graph->lastSyncDate());
        if (changedOnBothSides && conflictSetting == 1)
            return 1;
        if (!(changedOnBothSides && conflictSetting == 3)) {
            m_store->putFromSync(m_conduit, nativeId, fields);
            return 2;
        }
    }
    // A record new to the desktop, or a conflict kept as a duplicate of the desktop's version.
    const QString newNativeId = newUid();
    m_store->putFromSync(m_conduit, newNativeId, fields);
    graph->setDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, newNativeId}}, hmUid);
    return 2;
}

qint64 MemoryDataSource::outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                              const QVariantMap &record, qint64 timeDifference)
{
    return commandAction(action, syncMethod, conflictSetting, record, timeDifference);
}

void MemoryDataSource::deleteUidRecords(const QStringList &hmUids)
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return;
    for (const QString &hmUid : hmUids) {
        const QString nativeId = graph->nativeIdForHarrowmereUid(hmUid);
        if (!nativeId.isEmpty())
            m_store->removeFromSync(m_conduit, nativeId);
        graph->removeDictionaryForHarrowmereUid(hmUid);
    }
}

void MemoryDataSource::saveChanges()
{
    QString problem;
    if (!m_store->save(problem))
        DDLogError(QStringLiteral("The desktop records were not saved: %1").arg(problem));
}

void MemoryDataSource::cleanUpAfterSync()
{
    // The run got through: its start is where the next run's changes begin.
    m_store->setLastSyncStart(m_conduit, m_runStart);
    saveChanges();
}

QDateTime MemoryDataSource::getOutlookLastModifiedDate()
{
    return m_store->lastSyncStart(m_conduit);
}

std::optional<QList<HMSyncRecord>> MemoryDataSource::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    std::optional<QList<HMSyncRecord>> records = syncRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
    if (records) {
        for (HMSyncRecord &record : *records)
            record.setOutlookUid(record.nativeId());
    }
    return records;
}

QStringList MemoryDataSource::findDeletes(const QStringList &deviceIds)
{
    const QSet<QString> onDevice(deviceIds.begin(), deviceIds.end());
    QStringList missing;
    for (const QVariantMap &entry : idMap()->identifierDictionaries()) {
        const QString hmUid = entry.value(kHmUidKey).toString();
        // Records still under a temporary id never reached the phone; they are not its deletions.
        if (!hmUid.isEmpty() && !hmUid.startsWith(QLatin1String("tmp-")) && !onDevice.contains(hmUid))
            missing.append(hmUid);
    }
    return missing;
}

void MemoryDataSource::deleteOutlookUidRecords(const QStringList &hmUids)
{
    deleteUidRecords(hmUids);
}

void MemoryDataSource::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    HMData::replaceTempId(temporaryId, permanentId);
    if (permanentId.isEmpty() || !temporaryId.startsWith(QLatin1String("tmp-")))
        return;
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const QString nativeId = graph->nativeIdForHarrowmereUid(temporaryId);
    if (nativeId.isEmpty())
        return;
    graph->removeDictionaryForHarrowmereUid(temporaryId);
    graph->setDictionary(QVariantMap{{kHmUidKey, permanentId}, {kNativeIdKey, nativeId}}, permanentId);
}

void MemoryDataSource::commitUniqueIds(bool wasSuccessful)
{
    if (wasSuccessful)
        saveChanges();
}

} // namespace hmsync
