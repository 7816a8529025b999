#include "PhoneStore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace phonepeer {

namespace {

QString changeName(Change change)
{
    switch (change) {
    case Change::None:
        return QStringLiteral("none");
    case Change::Added:
        return QStringLiteral("add");
    case Change::Updated:
        return QStringLiteral("update");
    case Change::Deleted:
        return QStringLiteral("delete");
    }
    return {};
}

bool changeFromName(const QString &name, Change &change)
{
    for (const Change candidate : {Change::None, Change::Added, Change::Updated, Change::Deleted}) {
        if (changeName(candidate) == name) {
            change = candidate;
            return true;
        }
    }
    return false;
}

// A record as the file keeps it: "uid", "change" (none when absent) and "fields"; false without a uid or
// with an unknown change.
bool recordFromJson(const QJsonObject &entry, PhoneRecord &record)
{
    record.uid = entry.value(QStringLiteral("uid")).toString();
    if (record.uid.isEmpty() ||
        !changeFromName(entry.value(QStringLiteral("change")).toString(QStringLiteral("none")), record.change))
        return false;
    const QJsonObject fields = entry.value(QStringLiteral("fields")).toObject();
    for (auto field = fields.begin(); field != fields.end(); ++field)
        record.fields.insert(field.key(), field.value().toVariant().toString());
    return true;
}

QJsonObject recordToJson(const QString &uid, const PhoneRecord &record)
{
    QJsonObject fields;
    for (auto it = record.fields.begin(); it != record.fields.end(); ++it)
        fields.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("uid"), uid},
                       {QStringLiteral("change"), changeName(record.change)},
                       {QStringLiteral("fields"), fields}};
}

bool recordFromLine(const QString &uid, const QJsonValue &value, PhoneRecord &record)
{
    return recordFromJson(value.toObject(), record) && record.uid == uid;
}

QJsonValue recordToLine(const QString &uid, const PhoneRecord &record)
{
    return recordToJson(uid, record);
}

// A desktop edit not yet listed: "add", "update" or "delete".
bool ownWriteFromJson(const QString &, const QJsonValue &value, Change &change)
{
    return changeFromName(value.toString(), change) && change != Change::None;
}

QJsonValue ownWriteToJson(const QString &, Change change)
{
    return changeName(change);
}

// Per conduit letter, each noted id with what the store holds under it now, null for nothing.
template <typename Value, typename ToJson>
QJsonObject notedValues(const std::map<Conduit, std::set<QString>> &noted,
                        const std::map<Conduit, std::map<QString, Value>> &held, ToJson toJson)
{
    QJsonObject byConduit;
    for (const auto &[conduit, ids] : noted) {
        const auto table = held.find(conduit);
        QJsonObject byId;
        for (const QString &id : ids) {
            QJsonValue value(QJsonValue::Null);
            if (table != held.end()) {
                const auto found = table->second.find(id);
                if (found != table->second.end())
                    value = toJson(id, found->second);
            }
            byId.insert(id, value);
        }
        byConduit.insert(QString(letterOf(conduit)), byId);
    }
    return byConduit;
}

// Sets, per conduit letter, each id to its value, or removes it where the value is null.
template <typename Value, typename FromJson>
bool applyValues(const QJsonObject &byConduit, std::map<Conduit, std::map<QString, Value>> &held, FromJson fromJson,
                 const QString &what, QString &problem)
{
    for (auto it = byConduit.begin(); it != byConduit.end(); ++it) {
        Conduit conduit{};
        if (!conduitFromLetter(it.key(), conduit)) {
            problem = QStringLiteral("unknown conduit \"%1\" of %2").arg(it.key(), what);
            return false;
        }
        std::map<QString, Value> &table = held[conduit];
        const QJsonObject byId = it.value().toObject();
        for (auto entry = byId.begin(); entry != byId.end(); ++entry) {
            Value value{};
            if (entry.value().isNull()) {
                table.erase(entry.key());
            } else if (fromJson(entry.key(), entry.value(), value)) {
                table[entry.key()] = value;
            } else {
                problem = QStringLiteral("conduit %1 of %2: a malformed entry %3").arg(it.key(), what, entry.key());
                return false;
            }
        }
    }
    return true;
}

} // namespace

QString PhoneStore::nextUid(Conduit conduit)
{
    std::map<QString, PhoneRecord> &records = m_conduits[conduit];
    for (;;) {
        const QString uid = QStringLiteral("%1%2").arg(letterOf(conduit)).arg(m_nextId++, 6, 10, QLatin1Char('0'));
        if (records.find(uid) == records.end())
            return uid;
    }
}

QString PhoneStore::addRecord(Conduit conduit, const QMap<QString, QString> &fields, const QString &uid)
{
    const QString id = uid.isEmpty() ? nextUid(conduit) : uid;
    m_conduits[conduit][id] = PhoneRecord{id, stamped(fields, {}), Change::Added};
    noteRecord(conduit, id);
    return id;
}

// An edit on the phone stamps its time in "LASTMODIFIED", as the phone app does, unless the edit
// names a time of its own.
QMap<QString, QString> PhoneStore::stamped(QMap<QString, QString> fields, const QString &previousStamp)
{
    const QString key = QStringLiteral("LASTMODIFIED");
    if (fields.value(key).isEmpty() || fields.value(key) == previousStamp)
        fields.insert(key, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    return fields;
}

bool PhoneStore::updateRecord(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields)
{
    std::map<QString, PhoneRecord> &records = m_conduits[conduit];
    const auto found = records.find(uid);
    if (found == records.end() || found->second.change == Change::Deleted)
        return false;
    found->second.fields = stamped(fields, found->second.fields.value(QStringLiteral("LASTMODIFIED")));
    if (found->second.change == Change::None)
        found->second.change = Change::Updated;
    noteRecord(conduit, uid);
    return true;
}

bool PhoneStore::deleteRecord(Conduit conduit, const QString &uid)
{
    std::map<QString, PhoneRecord> &records = m_conduits[conduit];
    const auto found = records.find(uid);
    if (found == records.end() || found->second.change == Change::Deleted)
        return false;
    noteRecord(conduit, uid);
    // A record added since the last sync was never seen by the desktop: it simply goes.
    if (found->second.change == Change::Added) {
        records.erase(found);
        return true;
    }
    found->second.change = Change::Deleted;
    found->second.fields.clear();
    return true;
}

QString PhoneStore::applyAdd(Conduit conduit, const QMap<QString, QString> &fields)
{
    const QString uid = nextUid(conduit);
    m_conduits[conduit][uid] = PhoneRecord{uid, fields, Change::None};
    noteRecord(conduit, uid);
    noteOwnWrite(conduit, uid, Change::Added);
    return uid;
}

void PhoneStore::applyChange(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields)
{
    // The desktop's version is the newest: any phone change it answers leaves the change log.
    m_conduits[conduit][uid] = PhoneRecord{uid, fields, Change::None};
    noteRecord(conduit, uid);
    noteOwnWrite(conduit, uid, Change::Updated);
}

void PhoneStore::applyDelete(Conduit conduit, const QString &uid)
{
    m_conduits[conduit].erase(uid);
    noteRecord(conduit, uid);
    noteOwnWrite(conduit, uid, Change::Deleted);
}

// A record the desktop added and then changed is still an add; one it added and deleted is gone.
void PhoneStore::noteOwnWrite(Conduit conduit, const QString &uid, Change change)
{
    if (!m_listsOwnWrites)
        return;
    std::map<QString, Change> &writes = m_ownWrites[conduit];
    const auto noted = writes.find(uid);
    if (noted != writes.end() && noted->second == Change::Added && change != Change::Added) {
        if (change == Change::Deleted) {
            writes.erase(noted);
            noteOwnWriteChanged(conduit, uid);
        }
        return;
    }
    writes[uid] = change;
    noteOwnWriteChanged(conduit, uid);
}

void PhoneStore::noteRecord(Conduit conduit, const QString &uid)
{
    if (m_notesChanges)
        m_changedRecords[conduit].insert(uid);
}

void PhoneStore::noteOwnWriteChanged(Conduit conduit, const QString &uid)
{
    if (m_notesChanges)
        m_changedOwnWrites[conduit].insert(uid);
}

void PhoneStore::listOwnWrites()
{
    for (const auto &[conduit, writes] : m_ownWrites) {
        std::map<QString, PhoneRecord> &records = m_conduits[conduit];
        for (const auto &[uid, change] : writes) {
            noteOwnWriteChanged(conduit, uid);
            if (change == Change::Deleted) {
                records[uid] = PhoneRecord{uid, {}, Change::Deleted};
                noteRecord(conduit, uid);
                continue;
            }
            const auto found = records.find(uid);
            if (found != records.end() && found->second.change == Change::None) {
                found->second.change = change;
                noteRecord(conduit, uid);
            }
        }
    }
    m_ownWrites.clear();
}

void PhoneStore::purge(Conduit conduit)
{
    m_conduits[conduit].clear();
    m_ownWrites.erase(conduit);
    if (m_notesChanges)
        m_purged.insert(conduit);
}

QList<PhoneRecord> PhoneStore::records(Conduit conduit) const
{
    QList<PhoneRecord> result;
    const auto found = m_conduits.find(conduit);
    if (found == m_conduits.end())
        return result;
    for (const auto &[uid, record] : found->second) {
        if (record.change != Change::Deleted)
            result.append(record);
    }
    return result;
}

QList<ListedRow> PhoneStore::listRows(Conduit conduit, bool changedOnly) const
{
    QList<ListedRow> rows;
    const auto found = m_conduits.find(conduit);
    if (found == m_conduits.end())
        return rows;
    for (const auto &[uid, record] : found->second) {
        if (!changedOnly) {
            if (record.change != Change::Deleted)
                rows.append({QStringLiteral("add"), record});
        } else if (record.change != Change::None) {
            rows.append({changeName(record.change), record});
        }
    }
    return rows;
}

bool PhoneStore::hasChanges() const
{
    for (const auto &[conduit, records] : m_conduits) {
        for (const auto &[uid, record] : records) {
            if (record.change != Change::None)
                return true;
        }
    }
    return false;
}

void PhoneStore::markSynced()
{
    for (auto &[conduit, records] : m_conduits) {
        for (auto it = records.begin(); it != records.end();) {
            if (it->second.change == Change::None) {
                ++it;
                continue;
            }
            noteRecord(conduit, it->first);
            if (it->second.change == Change::Deleted) {
                it = records.erase(it);
            } else {
                it->second.change = Change::None;
                ++it;
            }
        }
    }
    listOwnWrites();
}

QByteArray PhoneStore::toJson() const
{
    QJsonObject conduits;
    for (const auto &[conduit, records] : m_conduits) {
        QJsonArray list;
        for (const auto &[uid, record] : records)
            list.append(recordToJson(uid, record));
        conduits.insert(QString(letterOf(conduit)), list);
    }
    QJsonObject ownWrites;
    for (const auto &[conduit, writes] : m_ownWrites) {
        QJsonObject changes;
        for (const auto &[uid, change] : writes)
            changes.insert(uid, changeName(change));
        ownWrites.insert(QString(letterOf(conduit)), changes);
    }
    const QJsonObject root{{QStringLiteral("nextId"), m_nextId},
                           {QStringLiteral("conduits"), conduits},
                           {QStringLiteral("ownWrites"), ownWrites}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool PhoneStore::fromJson(const QByteArray &json, QString &problem)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        problem = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    return fromJson(document.object(), problem);
}

bool PhoneStore::fromJson(const QJsonObject &root, QString &problem)
{
    std::map<Conduit, std::map<QString, PhoneRecord>> loaded;
    const QJsonObject conduits = root.value(QStringLiteral("conduits")).toObject();
    for (auto it = conduits.begin(); it != conduits.end(); ++it) {
        Conduit conduit{};
        if (!conduitFromLetter(it.key(), conduit)) {
            problem = QStringLiteral("unknown conduit \"%1\"").arg(it.key());
            return false;
        }
        const QJsonArray list = it.value().toArray();
        std::map<QString, PhoneRecord> &records = loaded[conduit];
        for (qsizetype index = 0; index < list.size(); ++index) {
            PhoneRecord record;
            if (!recordFromJson(list.at(index).toObject(), record)) {
                problem = QStringLiteral("conduit %1, record %2: no uid or an unknown change").arg(it.key()).arg(index);
                return false;
            }
            records[record.uid] = record;
        }
    }
    std::map<Conduit, std::map<QString, Change>> ownWrites;
    if (!applyValues(root.value(QStringLiteral("ownWrites")).toObject(), ownWrites, ownWriteFromJson,
                     QStringLiteral("the desktop's edits"), problem))
        return false;
    m_conduits = std::move(loaded);
    m_ownWrites = std::move(ownWrites);
    m_nextId = qMax<qint64>(1, root.value(QStringLiteral("nextId")).toInteger(1));
    return true;
}

QJsonObject PhoneStore::takeChanges()
{
    if (m_changedRecords.empty() && m_changedOwnWrites.empty() && m_purged.empty())
        return {};
    QJsonObject line{{QStringLiteral("nextId"), m_nextId}};
    if (!m_purged.empty()) {
        QJsonArray purged;
        for (const Conduit conduit : m_purged)
            purged.append(QString(letterOf(conduit)));
        line.insert(QStringLiteral("purged"), purged);
    }
    if (!m_changedRecords.empty())
        line.insert(QStringLiteral("records"), notedValues(m_changedRecords, m_conduits, recordToLine));
    if (!m_changedOwnWrites.empty())
        line.insert(QStringLiteral("ownWrites"), notedValues(m_changedOwnWrites, m_ownWrites, ownWriteToJson));
    m_changedRecords.clear();
    m_changedOwnWrites.clear();
    m_purged.clear();
    return line;
}

// The conduits purged go first: the records and edits of the line are what the store held after them.
bool PhoneStore::applyChanges(const QJsonObject &line, QString &problem)
{
    for (const QJsonValue &letter : line.value(QStringLiteral("purged")).toArray()) {
        Conduit conduit{};
        if (!conduitFromLetter(letter.toString(), conduit)) {
            problem = QStringLiteral("unknown conduit \"%1\" purged").arg(letter.toString());
            return false;
        }
        m_conduits[conduit].clear();
        m_ownWrites.erase(conduit);
    }
    if (!applyValues(line.value(QStringLiteral("records")).toObject(), m_conduits, recordFromLine,
                     QStringLiteral("the records"), problem) ||
        !applyValues(line.value(QStringLiteral("ownWrites")).toObject(), m_ownWrites, ownWriteFromJson,
                     QStringLiteral("the desktop's edits"), problem))
        return false;
    m_nextId = qMax(m_nextId, line.value(QStringLiteral("nextId")).toInteger(1));
    return true;
}

} // namespace phonepeer
