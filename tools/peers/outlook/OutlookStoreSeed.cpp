// Seeding and dumping the simulated Outlook's whole state as JSON.
#include "OutlookStore.h"

#include <QDir>
#include <QJsonArray>

#include <sqlite3.h>

namespace outlookpeer {

namespace {

const char *const kRecordArrays[] = {"contacts", "events", "tasks", "notes"};

QJsonArray defaultFolders()
{
    QJsonArray folders;
    const char *const defaults[][2] = {
        {"address book", "Address Book"}, {"calendar", "Calendar"}, {"task folder", "Tasks"}, {"note folder", "Notes"}};
    for (const auto &folder : defaults)
        folders.append(QJsonObject{{QStringLiteral("kind"), QLatin1String(folder[0])},
                                   {QStringLiteral("name"), QLatin1String(folder[1])}});
    return folders;
}

qint64 highestId(const QJsonObject &state)
{
    qint64 highest = 0;
    auto look = [&](const QJsonArray &array) {
        for (const QJsonValue &value : array)
            highest = std::max(highest, value.toObject().value(QStringLiteral("id")).toInteger());
    };
    look(state.value(QStringLiteral("folders")).toArray());
    look(state.value(QStringLiteral("categories")).toArray());
    for (const char *name : kRecordArrays)
        look(state.value(QLatin1String(name)).toArray());
    return highest;
}

} // namespace

bool OutlookStore::seedRecords(RecordKind kind, const QJsonArray &records)
{
    for (const QJsonValue &value : records) {
        PeerRecord record = recordFromJson(value.toObject());
        if (record.id == 0)
            record.id = takeId();
        if (record.id == 0 || !insertRecord(kind, record))
            return false;
    }
    return true;
}

bool OutlookStore::seed(const QJsonObject &givenState)
{
    QJsonObject state = givenState;
    if (!state.contains(QStringLiteral("folders")))
        state[QStringLiteral("folders")] = defaultFolders();
    // The record files of the state being replaced go with it: one file per record, no strays.
    for (const char *folder : {"Contacts", "Events", "Tasks"})
        QDir(m_recordRoot + u'/' + QLatin1String(folder)).removeRecursively();
    const bool seeded = runInTransaction([&] {
        m_nextIdFloor = std::max(m_nextIdFloor, takeId());
        m_pendingIndexClear = true;
        if (!exec(QStringLiteral("DELETE FROM Contacts; DELETE FROM CalendarEvents; DELETE FROM Tasks; DELETE FROM Peer_Notes;"
                                 "DELETE FROM Peer_Folders; DELETE FROM Peer_Categories; DELETE FROM Peer_Accounts;"
                                 "DELETE FROM Peer_State;")))
            return false;
        // Ids never go back, not even across seeds: the counter keeps the larger of its past and the seed.
        if (!exec(QStringLiteral("INSERT INTO Peer_State VALUES ('next_id', %1)").arg(std::max(highestId(state) + 1, m_nextIdFloor))))
            return false;
        return seedFolders(state) && seedCategories(state) && seedAccounts(state)
            && seedRecords(RecordKind::Contact, state.value(QStringLiteral("contacts")).toArray())
            && seedRecords(RecordKind::Event, state.value(QStringLiteral("events")).toArray())
            && seedRecords(RecordKind::Task, state.value(QStringLiteral("tasks")).toArray())
            && seedRecords(RecordKind::Note, state.value(QStringLiteral("notes")).toArray());
    });
    return seeded;
}

bool OutlookStore::seedFolders(const QJsonObject &state)
{
    for (const QJsonValue &value : state.value(QStringLiteral("folders")).toArray()) {
        const QJsonObject folder = value.toObject();
        qint64 id = folder.value(QStringLiteral("id")).toInteger(-1);
        if (id < 0)
            id = takeId();
        if (!exec(QStringLiteral("INSERT INTO Peer_Folders VALUES (%1, '%2', '%3')")
                      .arg(id)
                      .arg(folder.value(QStringLiteral("kind")).toString().replace(u'\'', QStringLiteral("''")),
                           folder.value(QStringLiteral("name")).toString().replace(u'\'', QStringLiteral("''")))))
            return false;
    }
    return true;
}

bool OutlookStore::seedCategories(const QJsonObject &state)
{
    for (const QJsonValue &value : state.value(QStringLiteral("categories")).toArray()) {
        const QJsonObject object = value.toObject();
        const QJsonArray color = object.value(QStringLiteral("color")).toArray();
        const qint64 id = object.value(QStringLiteral("id")).toInteger();
        if (!exec(QStringLiteral("INSERT INTO Peer_Categories VALUES (%1, '%2', %3, %4, %5)")
                      .arg(id ? id : takeId())
                      .arg(object.value(QStringLiteral("name")).toString().replace(u'\'', QStringLiteral("''")))
                      .arg(color.at(0).toInt())
                      .arg(color.at(1).toInt())
                      .arg(color.at(2).toInt())))
            return false;
    }
    return true;
}

bool OutlookStore::seedAccounts(const QJsonObject &state)
{
    const QJsonObject accounts = state.value(QStringLiteral("accounts")).toObject();
    for (auto it = accounts.begin(); it != accounts.end(); ++it) {
        for (const QJsonValue &email : it.value().toArray()) {
            if (!exec(QStringLiteral("INSERT INTO Peer_Accounts VALUES ('%1', '%2')")
                          .arg(QString(it.key()).replace(u'\'', QStringLiteral("''")),
                               email.toString().replace(u'\'', QStringLiteral("''")))))
                return false;
        }
    }
    return true;
}

QJsonObject OutlookStore::dump() const
{
    QJsonObject state;
    QJsonArray folders;
    for (const PeerFolder &folder : this->folders())
        folders.append(QJsonObject{{QStringLiteral("id"), folder.id}, {QStringLiteral("kind"), folder.kind},
                                   {QStringLiteral("name"), folder.name}});
    state[QStringLiteral("folders")] = folders;
    QJsonArray categories;
    for (const PeerCategory &category : this->categories())
        categories.append(QJsonObject{{QStringLiteral("id"), category.id}, {QStringLiteral("name"), category.name},
                                      {QStringLiteral("color"), QJsonArray{category.color.value(0), category.color.value(1),
                                                                           category.color.value(2)}}});
    state[QStringLiteral("categories")] = categories;
    state[QStringLiteral("accounts")] = QJsonObject{
        {QStringLiteral("exchange"), QJsonArray::fromStringList(accounts(QStringLiteral("exchange")))},
        {QStringLiteral("imap"), QJsonArray::fromStringList(accounts(QStringLiteral("imap")))}};
    for (int kind = 0; kind < 4; ++kind) {
        QJsonArray records;
        RecordFilter all;
        for (const PeerRecord &record : this->records(RecordKind(kind), all))
            records.append(recordToJson(record));
        if (RecordKind(kind) == RecordKind::Event) {
            all.occurrencesOnly = true;
            for (const PeerRecord &record : this->records(RecordKind::Event, all))
                records.append(recordToJson(record));
        }
        state[QLatin1String(kRecordArrays[kind])] = records;
    }
    return state;
}

} // namespace outlookpeer
