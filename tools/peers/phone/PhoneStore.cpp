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

bool ownWritesFromJson(const QJsonObject &json, std::map<Conduit, std::map<QString, Change>> &ownWrites,
                       QString &problem)
{
    for (auto it = json.begin(); it != json.end(); ++it) {
        Conduit conduit{};
        if (!conduitFromLetter(it.key(), conduit)) {
            problem = QStringLiteral("unknown conduit \"%1\" of the desktop's edits").arg(it.key());
            return false;
        }
        const QJsonObject changes = it.value().toObject();
        for (auto entry = changes.begin(); entry != changes.end(); ++entry) {
            Change change = Change::None;
            if (!changeFromName(entry.value().toString(), change) || change == Change::None) {
                problem =
                    QStringLiteral("conduit %1: an unknown change of the desktop's edit %2").arg(it.key(), entry.key());
                return false;
            }
            ownWrites[conduit][entry.key()] = change;
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
    return true;
}

bool PhoneStore::deleteRecord(Conduit conduit, const QString &uid)
{
    std::map<QString, PhoneRecord> &records = m_conduits[conduit];
    const auto found = records.find(uid);
    if (found == records.end() || found->second.change == Change::Deleted)
        return false;
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
    noteOwnWrite(conduit, uid, Change::Added);
    return uid;
}

void PhoneStore::applyChange(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields)
{
    // The desktop's version is the newest: any phone change it answers leaves the change log.
    m_conduits[conduit][uid] = PhoneRecord{uid, fields, Change::None};
    noteOwnWrite(conduit, uid, Change::Updated);
}

void PhoneStore::applyDelete(Conduit conduit, const QString &uid)
{
    m_conduits[conduit].erase(uid);
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
        if (change == Change::Deleted)
            writes.erase(noted);
        return;
    }
    writes[uid] = change;
}

void PhoneStore::listOwnWrites()
{
    for (const auto &[conduit, writes] : m_ownWrites) {
        std::map<QString, PhoneRecord> &records = m_conduits[conduit];
        for (const auto &[uid, change] : writes) {
            if (change == Change::Deleted) {
                records[uid] = PhoneRecord{uid, {}, Change::Deleted};
                continue;
            }
            const auto found = records.find(uid);
            if (found != records.end() && found->second.change == Change::None)
                found->second.change = change;
        }
    }
    m_ownWrites.clear();
}

void PhoneStore::purge(Conduit conduit)
{
    m_conduits[conduit].clear();
    m_ownWrites.erase(conduit);
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
        std::erase_if(records, [](const auto &entry) { return entry.second.change == Change::Deleted; });
        for (auto &[uid, record] : records)
            record.change = Change::None;
    }
    listOwnWrites();
}

QByteArray PhoneStore::toJson() const
{
    QJsonObject conduits;
    for (const auto &[conduit, records] : m_conduits) {
        QJsonArray list;
        for (const auto &[uid, record] : records) {
            QJsonObject fields;
            for (auto it = record.fields.begin(); it != record.fields.end(); ++it)
                fields.insert(it.key(), it.value());
            list.append(QJsonObject{{QStringLiteral("uid"), uid},
                                    {QStringLiteral("change"), changeName(record.change)},
                                    {QStringLiteral("fields"), fields}});
        }
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
    const QJsonObject root = document.object();
    std::map<Conduit, std::map<QString, PhoneRecord>> loaded;
    const QJsonObject conduits = root.value(QStringLiteral("conduits")).toObject();
    for (auto it = conduits.begin(); it != conduits.end(); ++it) {
        Conduit conduit{};
        if (!conduitFromLetter(it.key(), conduit)) {
            problem = QStringLiteral("unknown conduit \"%1\"").arg(it.key());
            return false;
        }
        const QJsonArray list = it.value().toArray();
        for (qsizetype index = 0; index < list.size(); ++index) {
            const QJsonObject entry = list.at(index).toObject();
            PhoneRecord record;
            record.uid = entry.value(QStringLiteral("uid")).toString();
            if (record.uid.isEmpty() ||
                !changeFromName(entry.value(QStringLiteral("change")).toString(QStringLiteral("none")),
                                record.change)) {
                problem = QStringLiteral("conduit %1, record %2: no uid or an unknown change").arg(it.key()).arg(index);
                return false;
            }
            const QJsonObject fields = entry.value(QStringLiteral("fields")).toObject();
            for (auto field = fields.begin(); field != fields.end(); ++field)
                record.fields.insert(field.key(), field.value().toVariant().toString());
            loaded[conduit][record.uid] = record;
        }
    }
    std::map<Conduit, std::map<QString, Change>> ownWrites;
    if (!ownWritesFromJson(root.value(QStringLiteral("ownWrites")).toObject(), ownWrites, problem))
        return false;
    m_conduits = std::move(loaded);
    m_ownWrites = std::move(ownWrites);
    m_nextId = qMax<qint64>(1, root.value(QStringLiteral("nextId")).toInteger(1));
    return true;
}

} // namespace phonepeer
