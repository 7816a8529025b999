#include "MemoryDataSource.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileIO.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphJournal.h"
#include "sync/HMSyncTypes.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>

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

int digitsAt(const QString &text, qsizetype start, qsizetype count)
{
    int value = 0;
    for (qsizetype index = start; index < start + count; ++index) {
        const char16_t unit = text.at(index).unicode();
        if (unit < u'0' || unit > u'9')
            return -1;
        value = value * 10 + int(unit - u'0');
    }
    return value;
}

// A date as jsonFromValue writes it ("2026-01-31T08:00:00.250Z"), read without the general ISO 8601
// parser, which costs more than all the rest of a record; any other form goes to that parser.
QDateTime dateFromJson(const QString &text)
{
    static constexpr std::array<std::pair<qsizetype, char16_t>, 7> kSeparators{
        {{4, u'-'}, {7, u'-'}, {10, u'T'}, {13, u':'}, {16, u':'}, {19, u'.'}, {23, u'Z'}}};
    const bool isPlain = text.size() == 24 && std::all_of(kSeparators.begin(), kSeparators.end(), [&text](const auto &separator) {
        return text.at(separator.first).unicode() == separator.second;
    });
    if (isPlain) {
        const QDate day(digitsAt(text, 0, 4), digitsAt(text, 5, 2), digitsAt(text, 8, 2));
        const int hour = digitsAt(text, 11, 2);
        const int minute = digitsAt(text, 14, 2);
        const int second = digitsAt(text, 17, 2);
        const int millisecond = digitsAt(text, 20, 3);
        if (day.isValid() && QTime::isValid(hour, minute, second, millisecond) && digitsAt(text, 0, 4) > 0)
            return QDateTime(day, QTime(hour, minute, second, millisecond), Qt::UTC);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
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
    if (object.size() == 1 && object.begin().key() == QLatin1String("date") && object.begin().value().isString())
        return dateFromJson(object.begin().value().toString());
    QVariantMap map;
    // JSON objects keep their keys sorted, so each key goes at the end.
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(map.cend(), it.key(), valueFromJson(it.value()));
    return map;
}

QString conduitKey(quint64 conduit)
{
    return QString::number(conduit);
}

const QString kGenerationKey = QStringLiteral("generation");
const QString kRemovedRecordsKey = QStringLiteral("removedRecords");
// A log smaller than this is never folded early, however small the file.
constexpr qint64 kMinFoldBytes = 1024 * 1024;

QByteArray logHeader(qint64 generation)
{
    return QByteArrayLiteral("{\"logOf\":") + QByteArray::number(generation) + "}\n";
}

// A value as compact JSON text: objects and lists as themselves, anything else (a date) as jsonFromValue
// makes it.
QByteArray compactJson(const QVariant &value)
{
    const QJsonValue json = jsonFromValue(value);
    return json.isArray() ? QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact)
                          : QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact);
}

// A text as a JSON object key, quoted and escaped, with its colon.
QByteArray jsonKey(const QString &key)
{
    const QByteArray quoted = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact);
    return quoted.mid(1, quoted.size() - 2) + ':';
}

QVariantMap entryOf(const StoredRecord &record)
{
    QVariantMap entry{{QStringLiteral("fields"), record.fields}};
    if (record.changedOnDesktop.isValid())
        entry.insert(QStringLiteral("changed"), record.changedOnDesktop);
    if (!record.phoneId.isEmpty())
        entry.insert(QStringLiteral("phoneId"), record.phoneId);
    return entry;
}

// The fields that tell one record from another in a conduit, as one text; empty when they are all
// empty (such records are never taken for each other).
QString identityOf(quint64 conduit, const QVariantMap &fields)
{
    static const QList<QStringList> kIdentityKeys = {
        {},
        {QStringLiteral("FIRSTNAME"), QStringLiteral("LASTNAME"), QStringLiteral("COMPANY"), QStringLiteral("EMAIL")},
        {QStringLiteral("SUBJECT"), QStringLiteral("NSDATESTARTDATE")},
        {QStringLiteral("SUBJECT")},
        {QStringLiteral("SUBJECT"), QStringLiteral("NOTE")}};
    QStringList parts;
    bool hasValue = false;
    for (const QString &key : kIdentityKeys.value(qsizetype(conduit))) {
        const QVariant value = fields.value(key);
        const QString text = value.typeId() == QMetaType::QDateTime ? QString::number(value.toDateTime().toSecsSinceEpoch())
                                                                     : value.toString().trimmed();
        hasValue = hasValue || !text.isEmpty();
        parts.append(text);
    }
    return hasValue ? parts.join(QChar(0x1f)) : QString();
}

bool changedSinceLastSync(const StoredRecord &existing, const HMIdentifierGraph &graph)
{
    const QDateTime changed = existing.changedOnDesktop;
    return changed.isValid() && (!graph.lastSyncDate().isValid() || changed > graph.lastSyncDate());
}

} // namespace

bool MemoryStore::load(const QString &path, QString &problem)
{
    const std::lock_guard lock(m_mutex);
    m_path = path;
    m_records.clear();
    m_deletions.clear();
    m_ownIdMaps.clear();
    m_lastSyncStarts.clear();
    m_nativeIdByPhoneId.clear();
    m_writtenIdMaps.clear();
    forgetChanges();
    m_generation = 0;
    m_logBytes = 0;
    m_fileBytes = 0;
    // A store without its file yet is written at its first save, even with nothing in it.
    m_mustWriteWhole = !QFileInfo::exists(path);
    if (m_mustWriteWhole)
        return true;
    platform::Result<QByteArray> bytes = platform::readWholeFile(path);
    if (!bytes) {
        problem = bytes.error().message();
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    const qint64 fileBytes = bytes->size();
    // The document holds what the text did: let the text go before the records are built.
    bytes = QByteArray();
    if (!document.isObject()) {
        problem = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    // Read straight from the JSON objects: a whole store turned into variants first would be built
    // twice over.
    const QJsonObject root = document.object();
    for (quint64 conduit = 1; conduit <= 4; ++conduit)
        loadConduit(conduit, root.value(conduitKey(conduit)).toObject());
    m_generation = root.value(kGenerationKey).toInteger();
    m_fileBytes = fileBytes;
    loadLog();
    return true;
}

// Replays the log beside the file, if any; a log that cannot be read or ends in a torn line is not
// appended to (the next save writes the file whole). Called with the mutex held.
void MemoryStore::loadLog()
{
    if (!QFileInfo::exists(logPath()))
        return;
    const platform::Result<QByteArray> log = platform::readWholeFile(logPath());
    m_mustWriteWhole = !log || !replayLog(*log);
    m_logBytes = m_mustWriteWhole ? 0 : log->size();
}

// Applies the log's lines after its header, when the header names the file's generation; false when
// a line is torn or damaged (the lines before it are kept). Called with the mutex held.
bool MemoryStore::replayLog(const QByteArray &log)
{
    const QByteArray header = logHeader(m_generation);
    if (!log.startsWith(header))
        return true;
    qsizetype start = header.size();
    // Bounded by the log's length: every pass consumes at least one byte.
    while (start < log.size()) {
        const qsizetype end = log.indexOf('\n', start);
        if (end < 0)
            return false;
        const QJsonDocument line = QJsonDocument::fromJson(log.mid(start, end - start));
        if (!line.isObject())
            return false;
        const QJsonObject root = line.object();
        for (quint64 conduit = 1; conduit <= 4; ++conduit)
            loadConduit(conduit, root.value(conduitKey(conduit)).toObject());
        start = end + 1;
    }
    return true;
}

void MemoryStore::loadRecords(quint64 conduit, const QJsonObject &conduitRoot)
{
    QMap<QString, StoredRecord> &stored = m_records[conduit];
    QHash<QString, QString> &byPhoneId = m_nativeIdByPhoneId[conduit];
    for (const QJsonValue &removed : conduitRoot.value(kRemovedRecordsKey).toArray()) {
        const auto found = stored.find(removed.toString());
        if (found == stored.end())
            continue;
        forgetPhoneIdLocked(conduit, found.key(), *found);
        stored.erase(found);
    }
    const QJsonObject records = conduitRoot.value(QStringLiteral("records")).toObject();
    // A whole file is read into an empty map in key order: each record goes at the end, and none can
    // replace an earlier one.
    const bool wasEmpty = stored.isEmpty();
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        if (const auto earlier = wasEmpty ? stored.constEnd() : stored.constFind(it.key()); earlier != stored.constEnd())
            forgetPhoneIdLocked(conduit, it.key(), *earlier);
        const QJsonObject entry = it.value().toObject();
        const QString phoneId = entry.value(QStringLiteral("phoneId")).toString();
        StoredRecord record{valueFromJson(entry.value(QStringLiteral("fields"))).toMap(),
                            valueFromJson(entry.value(QStringLiteral("changed"))).toDateTime(), phoneId};
        if (wasEmpty)
            stored.insert(stored.cend(), it.key(), std::move(record));
        else
            stored.insert(it.key(), std::move(record));
        if (!phoneId.isEmpty())
            byPhoneId.insert(phoneId, it.key());
    }
}

// Called with the mutex held. Parts a log line leaves out stay as they are.
void MemoryStore::loadConduit(quint64 conduit, const QJsonObject &conduitRoot)
{
    loadRecords(conduit, conduitRoot);
    if (conduitRoot.contains(QStringLiteral("deletions"))) {
        const QJsonObject deletions = conduitRoot.value(QStringLiteral("deletions")).toObject();
        QList<DesktopDeletion> &kept = m_deletions[conduit];
        kept.clear();
        for (auto it = deletions.constBegin(); it != deletions.constEnd(); ++it)
            kept.append(DesktopDeletion{it.key(), valueFromJson(it.value()).toDateTime()});
    }
    // Outlook profiles keep their id maps and change dates here, as Outlook keeps them in its files.
    if (conduitRoot.contains(QStringLiteral("ownIdMap"))) {
        auto map = std::make_shared<HMIdentifierGraph>();
        for (const QJsonValue &entry : conduitRoot.value(QStringLiteral("ownIdMap")).toArray())
            map->identifierDictionaries().append(valueFromJson(entry).toMap());
        m_ownIdMaps.insert(conduit, map);
        m_writtenIdMaps.insert(conduit, map->identifierDictionaries());
    }
    const QDateTime lastSyncStart = valueFromJson(conduitRoot.value(QStringLiteral("lastSyncStart"))).toDateTime();
    if (lastSyncStart.isValid())
        m_lastSyncStarts.insert(conduit, lastSyncStart);
}

// A conduit's part of the file as JSON text, written record by record so that a whole store is never
// held twice over in memory; called with the mutex held.
QByteArray MemoryStore::conduitJson(quint64 conduit) const
{
    QByteArray json = "{\"records\":{";
    const QMap<QString, StoredRecord> stored = m_records.value(conduit);
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
        if (it != stored.constBegin())
            json += ',';
        json += jsonKey(it.key()) + compactJson(entryOf(it.value()));
    }
    json += "},\"deletions\":" + compactJson(deletionsOf(conduit));
    if (const std::shared_ptr<HMIdentifierGraph> map = m_ownIdMaps.value(conduit))
        json += ",\"ownIdMap\":" + compactJson(HMIdentifierGraphJournal::listOf(map->identifierDictionaries()));
    if (m_lastSyncStarts.contains(conduit))
        json += ",\"lastSyncStart\":" + compactJson(m_lastSyncStarts.value(conduit));
    return json + '}';
}

// What changed in a conduit since the last save, shaped as its part of the file; called with the
// mutex held.
QVariantMap MemoryStore::changedConduitRoot(quint64 conduit) const
{
    QVariantMap root;
    QVariantMap records;
    QVariantList removed;
    const QMap<QString, StoredRecord> &stored = m_records[conduit];
    for (const QString &nativeId : m_changedRecords.value(conduit)) {
        const auto found = stored.constFind(nativeId);
        if (found == stored.constEnd())
            removed.append(nativeId);
        else
            records.insert(nativeId, entryOf(*found));
    }
    if (!records.isEmpty())
        root.insert(QStringLiteral("records"), records);
    if (!removed.isEmpty())
        root.insert(kRemovedRecordsKey, removed);
    if (m_changedConduits.contains(conduit)) {
        root.insert(QStringLiteral("deletions"), deletionsOf(conduit));
        if (m_lastSyncStarts.contains(conduit))
            root.insert(QStringLiteral("lastSyncStart"), m_lastSyncStarts.value(conduit));
    }
    const std::shared_ptr<HMIdentifierGraph> map = m_ownIdMaps.value(conduit);
    if (map && !map->identifierDictionaries().isSharedWith(m_writtenIdMaps.value(conduit)))
        root.insert(QStringLiteral("ownIdMap"), HMIdentifierGraphJournal::listOf(map->identifierDictionaries()));
    return root;
}

QVariantMap MemoryStore::deletionsOf(quint64 conduit) const
{
    QVariantMap deletions;
    for (const DesktopDeletion &deletion : m_deletions.value(conduit))
        deletions.insert(deletion.nativeId, deletion.deletedAt);
    return deletions;
}

bool MemoryStore::hasChangesLocked() const
{
    if (m_mustWriteWhole || !m_changedRecords.isEmpty() || !m_changedConduits.isEmpty())
        return true;
    for (auto map = m_ownIdMaps.constBegin(); map != m_ownIdMaps.constEnd(); ++map) {
        if (!map.value()->identifierDictionaries().isSharedWith(m_writtenIdMaps.value(map.key())))
            return true;
    }
    return false;
}

bool MemoryStore::hasUnsavedChanges() const
{
    const std::lock_guard lock(m_mutex);
    return hasChangesLocked();
}

void MemoryStore::markRecordChanged(quint64 conduit, const QString &nativeId)
{
    m_changedRecords[conduit].insert(nativeId);
}

void MemoryStore::forgetChanges()
{
    m_changedRecords.clear();
    m_changedConduits.clear();
    for (auto map = m_ownIdMaps.constBegin(); map != m_ownIdMaps.constEnd(); ++map)
        m_writtenIdMaps.insert(map.key(), map.value()->identifierDictionaries());
}

bool MemoryStore::save(QString &problem)
{
    const std::lock_guard lock(m_mutex);
    if (!hasChangesLocked())
        return true;
    if (m_path.isEmpty()) {
        forgetChanges();
        return true;
    }
    // A log grown past the file it builds on is folded into it, so reading both stays linear.
    if (m_mustWriteWhole || m_logBytes > std::max<qint64>(m_fileBytes, kMinFoldBytes))
        return writeWhole(problem);
    return appendToLog(problem);
}

// Called with the mutex held.
bool MemoryStore::appendToLog(QString &problem)
{
    QVariantMap root;
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        const QVariantMap changed = changedConduitRoot(conduit);
        if (!changed.isEmpty())
            root.insert(conduitKey(conduit), changed);
    }
    QByteArray bytes = QJsonDocument(jsonFromValue(root).toObject()).toJson(QJsonDocument::Compact) + '\n';
    if (m_logBytes == 0)
        bytes.prepend(logHeader(m_generation));
    const platform::Status written = m_logBytes == 0
                                         ? platform::writeFileAtomically(logPath(), bytes, platform::FilePermissions::OwnerOnly)
                                         : HMIdentifierGraphJournal::appendDurably(logPath(), bytes);
    if (!written) {
        // The log may end in a torn line now: the next save writes the file whole.
        m_mustWriteWhole = true;
        problem = written.error().message();
        return false;
    }
    m_logBytes += bytes.size();
    forgetChanges();
    return true;
}

// Called with the mutex held.
bool MemoryStore::writeWhole(QString &problem)
{
    QByteArray json = "{\"generation\":" + QByteArray::number(m_generation + 1);
    for (quint64 conduit = 1; conduit <= 4; ++conduit)
        json += ',' + jsonKey(conduitKey(conduit)) + conduitJson(conduit);
    json += "}\n";
    const platform::Status written = platform::writeFileAtomically(m_path, json);
    if (!written) {
        m_mustWriteWhole = true;
        problem = written.error().message();
        return false;
    }
    // The log names the previous generation from now on, so a log the removal misses is ignored.
    QFile::remove(logPath());
    ++m_generation;
    m_logBytes = 0;
    m_fileBytes = json.size();
    m_mustWriteWhole = false;
    forgetChanges();
    return true;
}

QString MemoryStore::addRecord(quint64 conduit, const QVariantMap &fields)
{
    const QString nativeId = HMData::newUid();
    const std::lock_guard lock(m_mutex);
    m_records[conduit].insert(nativeId, StoredRecord{fields, platform::Clock::now()});
    markRecordChanged(conduit, nativeId);
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
    markRecordChanged(conduit, nativeId);
    return true;
}

bool MemoryStore::deleteRecord(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_records[conduit].find(nativeId);
    if (found == m_records[conduit].end())
        return false;
    forgetPhoneIdLocked(conduit, nativeId, *found);
    m_records[conduit].erase(found);
    m_deletions[conduit].append(DesktopDeletion{nativeId, platform::Clock::now()});
    markRecordChanged(conduit, nativeId);
    m_changedConduits.insert(conduit);
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

void MemoryStore::putFromSync(quint64 conduit, const QString &nativeId, const QVariantMap &fields,
                              const QString &phoneId)
{
    const std::lock_guard lock(m_mutex);
    QMap<QString, StoredRecord> &records = m_records[conduit];
    auto found = records.find(nativeId);
    if (found == records.end()) {
        found = records.insert(nativeId, StoredRecord{});
    } else if (found->fields == fields && !found->changedOnDesktop.isValid() && found->phoneId == phoneId) {
        // The record as it stands: nothing to write.
        return;
    }
    found->fields = fields;
    found->changedOnDesktop = QDateTime();
    setPhoneIdLocked(conduit, nativeId, *found, phoneId);
    markRecordChanged(conduit, nativeId);
}

void MemoryStore::setPhoneIdLocked(quint64 conduit, const QString &nativeId, StoredRecord &record,
                                   const QString &phoneId)
{
    if (record.phoneId == phoneId)
        return;
    forgetPhoneIdLocked(conduit, nativeId, record);
    record.phoneId = phoneId;
    if (!phoneId.isEmpty())
        m_nativeIdByPhoneId[conduit].insert(phoneId, nativeId);
    markRecordChanged(conduit, nativeId);
}

void MemoryStore::forgetPhoneIdLocked(quint64 conduit, const QString &nativeId, const StoredRecord &record)
{
    QHash<QString, QString> &index = m_nativeIdByPhoneId[conduit];
    const auto found = index.find(record.phoneId);
    if (found != index.end() && found.value() == nativeId)
        index.erase(found);
}

void MemoryStore::setPhoneId(quint64 conduit, const QString &nativeId, const QString &phoneId)
{
    const std::lock_guard lock(m_mutex);
    auto found = m_records[conduit].find(nativeId);
    if (found != m_records[conduit].end())
        setPhoneIdLocked(conduit, nativeId, *found, phoneId);
}

QString MemoryStore::nativeIdForPhoneId(quint64 conduit, const QString &phoneId) const
{
    const std::lock_guard lock(m_mutex);
    return m_nativeIdByPhoneId.value(conduit).value(phoneId);
}

void MemoryStore::removeFromSync(quint64 conduit, const QString &nativeId)
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_records[conduit].find(nativeId);
    if (found == m_records[conduit].end())
        return;
    forgetPhoneIdLocked(conduit, nativeId, *found);
    m_records[conduit].erase(found);
    markRecordChanged(conduit, nativeId);
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
    if (m_lastSyncStarts.value(conduit) == start)
        return;
    m_lastSyncStarts.insert(conduit, start);
    m_changedConduits.insert(conduit);
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
        std::optional<HMSyncRecord> record = recordToSend(it.key(), it.value(), date, excludedHmUids, *graph);
        if (!record)
            continue;
        if (record->isNew()) {
            temporaryIds.append(record->hmxUid());
            added.append(*record);
        } else {
            others.append(*record);
        }
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

std::optional<HMSyncRecord> MemoryDataSource::recordToSend(const QString &nativeId, const StoredRecord &stored,
                                                           const QDateTime &date, const QSet<QString> &excludedHmUids,
                                                           HMIdentifierGraph &graph)
{
    std::optional<QVariantMap> entry = graph.dictionaryForNativeId(nativeId);
    if (!entry && !stored.phoneId.isEmpty()) {
        // The store knows the record's id on the other side although the graph lost it.
        link(graph, stored.phoneId, nativeId);
        entry = graph.dictionaryForNativeId(nativeId);
    }
    HMSyncRecord record;
    record.setNativeId(nativeId);
    record.setLastModifiedDate(stored.changedOnDesktop);
    QVariantMap fields = stored.fields;
    if (stored.changedOnDesktop.isValid())
        fields.insert(QStringLiteral("LASTMODIFIED"), dateUtilities().localDateTimeStringFromDate(stored.changedOnDesktop));
    record.setDictionary(fields);
    if (entry && !isUnconfirmed(*entry)) {
        const QString hmUid = entry->value(kHmUidKey).toString();
        const QDateTime changed = stored.changedOnDesktop;
        if (!changed.isValid() || (date.isValid() && changed <= date) || excludedHmUids.contains(hmUid))
            return std::nullopt;
        record.setHmxUid(hmUid);
        return record;
    }
    // A record the other side has never confirmed goes as new whenever it was changed, under a
    // temporary id that the update reply replaces by the other side's own.
    const QString temporaryId = entry ? entry->value(kHmUidKey).toString() : QStringLiteral("tmp-") + newUid();
    QVariantMap newEntry{{kHmUidKey, temporaryId}, {kNativeIdKey, nativeId}};
    markUnconfirmed(newEntry);
    graph.setDictionary(newEntry, temporaryId);
    record.setHmxUid(temporaryId);
    record.setIsNew(true);
    return record;
}

void MemoryDataSource::link(HMIdentifierGraph &graph, const QString &hmUid, const QString &nativeId)
{
    graph.removeDictionariesForNativeId(nativeId);
    graph.setDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, nativeId}}, hmUid);
    m_store->setPhoneId(m_conduit, nativeId, hmUid);
}

qint64 MemoryDataSource::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                       const QVariantMap &record, qint64 timeDifference)
{
    Q_UNUSED(syncMethod);
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const QString hmUid = record.value(QStringLiteral("UID")).toString();
    if (!graph || hmUid.isEmpty())
        return 0;
    if (action == 3) {
        deleteUidRecords({hmUid});
        return 2;
    }
    const QVariantMap fields = withoutBookkeeping(record);
    const QString nativeId = findNativeRecord(hmUid, fields, *graph);
    const std::optional<StoredRecord> existing =
        nativeId.isEmpty() ? std::nullopt : m_store->record(m_conduit, nativeId);
    if (existing) {
        if (keepsDesktopVersion(*existing, record, conflictSetting, timeDifference, *graph))
            return 1;
        if (conflictSetting != quint64(HMConflictSetting::Duplicate) || !changedSinceLastSync(*existing, *graph)) {
            m_store->putFromSync(m_conduit, nativeId, fields, hmUid);
            return 2;
        }
    }
    // A record new to the desktop, or a conflict kept as a duplicate of the desktop's version.
    const QString newNativeId = newUid();
    m_store->putFromSync(m_conduit, newNativeId, fields, hmUid);
    graph->setDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, newNativeId}}, hmUid);
    return 3;
}

QString MemoryDataSource::findNativeRecord(const QString &hmUid, const QVariantMap &fields, HMIdentifierGraph &graph)
{
    const QString mapped = graph.nativeIdForHarrowmereUid(hmUid);
    if (!mapped.isEmpty())
        return mapped;
    // Applying a record twice (the run ended before its graph was saved) finds it where it went.
    QString nativeId = m_store->nativeIdForPhoneId(m_conduit, hmUid);
    if (nativeId.isEmpty())
        nativeId = findUnconfirmedDuplicate(fields, graph);
    if (!nativeId.isEmpty())
        link(graph, hmUid, nativeId);
    return nativeId;
}

// The desktop's record with the same identity (names, company and e-mail; title and start; title;
// title and note) that the other side has not confirmed: its add may have reached the other side
// without its answer, or both sides may hold it from before a first sync.
QString MemoryDataSource::findUnconfirmedDuplicate(const QVariantMap &fields, const HMIdentifierGraph &graph)
{
    const QString wanted = identityOf(m_conduit, fields);
    if (wanted.isEmpty())
        return {};
    if (!m_unconfirmedByIdentity) {
        // Once per run: a first sync matches every listed record, and looking through the whole store
        // for each would take time that grows with the square of the records.
        m_unconfirmedByIdentity.emplace();
        const QMap<QString, StoredRecord> records = m_store->records(m_conduit);
        for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
            const std::optional<QVariantMap> entry = graph.dictionaryForNativeId(it.key());
            const QString identity = identityOf(m_conduit, it->fields);
            if ((!entry || isUnconfirmed(*entry)) && !identity.isEmpty())
                m_unconfirmedByIdentity->insert(identity, it.key());
        }
    }
    // A record linked once is confirmed from then on and never matched again.
    const auto found = m_unconfirmedByIdentity->constFind(wanted);
    if (found == m_unconfirmedByIdentity->constEnd())
        return {};
    const QString nativeId = found.value();
    m_unconfirmedByIdentity->remove(wanted, nativeId);
    return nativeId;
}

// The conflict rule of the desktop stores: a record changed on the desktop since the last sync is a
// conflict. "Last modified wins" keeps the desktop's version when it is newer than the other side's
// (a missing date on the other side lets the other side win); "Mac wins" always keeps it.
bool MemoryDataSource::keepsDesktopVersion(const StoredRecord &existing, const QVariantMap &record,
                                           quint64 conflictSetting, qint64 timeDifference,
                                           const HMIdentifierGraph &graph)
{
    if (!changedSinceLastSync(existing, graph))
        return false;
    if (conflictSetting == quint64(HMConflictSetting::AppleWins))
        return true;
    if (conflictSetting != quint64(HMConflictSetting::LastModifiedWins))
        return false;
    const QDateTime deviceDate =
        dateUtilities().dateFromLocalDateTimeString(record.value(QStringLiteral("LASTMODIFIED")).toString());
    return deviceDate.isValid() && existing.changedOnDesktop > deviceDate.addSecs(-timeDifference);
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

// The other side's ids go into the store with the records, so either file alone knows them. Only
// the entries changed since the last save are looked at.
void MemoryDataSource::takePhoneIdsFromGraph()
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return;
    const QList<QVariantMap> &entries = graph->identifierDictionaries();
    const HMIdentifierGraph::Changes changes = HMIdentifierGraph::changesBetween(m_phoneIdsTakenFrom, entries);
    const auto take = [this](const QVariantMap &entry) {
        if (!isUnconfirmed(entry))
            m_store->setPhoneId(m_conduit, entry.value(kNativeIdKey).toString(), entry.value(kHmUidKey).toString());
    };
    for (const auto &replaced : changes.replaced)
        take(replaced.second);
    for (const QVariantMap &entry : changes.appended)
        take(entry);
    m_phoneIdsTakenFrom = entries;
}

bool MemoryDataSource::hasUnsavedChanges()
{
    takePhoneIdsFromGraph();
    return m_store->hasUnsavedChanges();
}

void MemoryDataSource::saveChanges()
{
    takePhoneIdsFromGraph();
    QString problem;
    m_saveFailure.clear();
    if (!m_store->save(problem)) {
        DDLogError(QStringLiteral("The desktop records were not saved: %1").arg(problem));
        m_saveFailure = problem;
    }
}

bool MemoryDataSource::hasUnconfirmedRecords()
{
    return hasUnconfirmedEntries(*idMap());
}

void MemoryDataSource::saveOutlookChanges()
{
    // Outlook profiles keep their id maps in the store: the temporary ids of the records about to be
    // sent are kept before the first batch goes, as the graph is for other profiles.
    saveChanges();
}

void MemoryDataSource::cleanUpAfterSync()
{
    // The run got through: its start is where the next run's Outlook changes begin (other profiles
    // keep that date in their identifier graphs).
    if (!identifierGraph())
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
        // Records still under a temporary id were never confirmed by the phone; they are not its
        // deletions.
        if (!hmUid.isEmpty() && !isUnconfirmed(entry) && !onDevice.contains(hmUid))
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
    // A refused add keeps its temporary id, so it is sent again.
    if (permanentId.isEmpty() || permanentId == QLatin1String("FAIL"))
        return;
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(temporaryId);
    if (!entry || !isUnconfirmed(*entry))
        return;
    const QString nativeId = entry->value(kNativeIdKey).toString();
    graph->removeDictionaryForHarrowmereUid(temporaryId);
    link(*graph, permanentId, nativeId);
}

void MemoryDataSource::commitUniqueIds(bool wasSuccessful)
{
    if (wasSuccessful)
        saveChanges();
}

} // namespace hmsync
