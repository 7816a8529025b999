#include "OutlookStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

namespace outlookpeer {

namespace {

struct KindInfo
{
    const char *name;    // in control messages
    const char *table;
    const char *folder;  // of the record files; nullptr: no files
    const char *suffix;
};

const KindInfo kKinds[] = {
    {"contact", "Contacts", "Contacts", "Contact"},
    {"event", "CalendarEvents", "Events", "Event"},
    {"task", "Tasks", "Tasks", "Task"},
    {"note", "Peer_Notes", nullptr, nullptr},
};

const KindInfo &info(RecordKind kind)
{
    return kKinds[int(kind)];
}

const char *const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS %1 (Record_RecordID INTEGER PRIMARY KEY, Record_FolderID INTEGER NOT NULL,
    Record_ModDate INTEGER NOT NULL, Record_CreationDate INTEGER NOT NULL, PathToDataFile TEXT NOT NULL,
    Record_MasterID INTEGER NOT NULL DEFAULT 0, Record_Start INTEGER, Record_Completed INTEGER NOT NULL DEFAULT 0,
    Peer_Record TEXT NOT NULL);
)sql";

const char *const kOwnTables = R"sql(
CREATE TABLE IF NOT EXISTS Peer_Folders (Folder_ID INTEGER PRIMARY KEY, Folder_Kind TEXT NOT NULL, Folder_Name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS Peer_Categories (Category_ID INTEGER PRIMARY KEY, Category_Name TEXT NOT NULL,
    Red INTEGER NOT NULL, Green INTEGER NOT NULL, Blue INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS Peer_Accounts (Account_Kind TEXT NOT NULL, Email TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS Peer_State (Key TEXT PRIMARY KEY, Value INTEGER NOT NULL);
)sql";

// A prepared statement that finalizes itself.
class Statement final
{
public:
    Statement(sqlite3 *database, const QString &text)
    {
        if (sqlite3_prepare_v2(database, text.toUtf8().constData(), -1, &m_statement, nullptr) != SQLITE_OK)
            m_statement = nullptr;
    }
    // A statement prepared once and kept in `kept` for the store's life (queries every script runs):
    // reset, not finalized, when done. Its user must not be reentered while it runs.
    Statement(sqlite3 *database, sqlite3_stmt *&kept, const char *text) : m_kept(true)
    {
        if (!kept && sqlite3_prepare_v3(database, text, -1, SQLITE_PREPARE_PERSISTENT, &kept, nullptr) != SQLITE_OK)
            kept = nullptr;
        m_statement = kept;
    }
    ~Statement()
    {
        if (!m_kept) {
            sqlite3_finalize(m_statement);
            return;
        }
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool isValid() const { return m_statement != nullptr; }
    void bind(int index, qint64 value) { sqlite3_bind_int64(m_statement, index, value); }
    void bind(int index, const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_statement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    bool step()
    {
        m_lastCode = isValid() ? sqlite3_step(m_statement) : SQLITE_ERROR;
        return m_lastCode == SQLITE_ROW;
    }
    // True when the rows ran out rather than the database refusing.
    bool isDone() const { return m_lastCode == SQLITE_DONE; }
    bool run() { return isValid() && sqlite3_step(m_statement) == SQLITE_DONE; }
    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column)));
    }

private:
    sqlite3_stmt *m_statement = nullptr;
    int m_lastCode = SQLITE_OK;
    bool m_kept = false;
};

QDateTime fromSeconds(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

PeerRecord recordFromRow(const Statement &row)
{
    PeerRecord record;
    record.id = row.integer(0);
    record.folder = row.integer(1);
    record.modified = fromSeconds(row.integer(2));
    record.created = fromSeconds(row.integer(3));
    record.master = row.integer(4);
    record.start = fromSeconds(row.integer(5));
    record.completed = row.integer(6) != 0;
    record.fields = QJsonDocument::fromJson(row.text(7).toUtf8()).object();
    return record;
}

QString dateText(const QDateTime &date)
{
    return date.toUTC().toString(Qt::ISODate);
}

QDateTime dateFromText(const QJsonValue &value, const QDateTime &fallback)
{
    const QDateTime date = QDateTime::fromString(value.toString(), Qt::ISODate);
    return date.isValid() ? date.toUTC() : fallback;
}

} // namespace

QString kindName(RecordKind kind)
{
    return QString::fromLatin1(info(kind).name);
}

std::optional<RecordKind> kindFromName(const QString &name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == QLatin1String(kKinds[i].name))
            return RecordKind(i);
    }
    return std::nullopt;
}

QJsonObject recordToJson(const PeerRecord &record)
{
    QJsonObject object = record.fields;
    object[QStringLiteral("id")] = record.id;
    object[QStringLiteral("folder")] = record.folder;
    object[QStringLiteral("created")] = dateText(record.created);
    object[QStringLiteral("modified")] = dateText(record.modified);
    if (record.master != 0)
        object[QStringLiteral("master")] = record.master;
    if (record.start.isValid())
        object[QStringLiteral("start")] = dateText(record.start);
    if (record.completed)
        object[QStringLiteral("completed")] = true;
    return object;
}

PeerRecord recordFromJson(const QJsonObject &object)
{
    PeerRecord record;
    const QDateTime epoch = fromSeconds(0);
    record.id = object.value(QStringLiteral("id")).toInteger();
    record.folder = object.value(QStringLiteral("folder")).toInteger();
    record.modified = dateFromText(object.value(QStringLiteral("modified")), epoch);
    record.created = dateFromText(object.value(QStringLiteral("created")), record.modified);
    record.master = object.value(QStringLiteral("master")).toInteger();
    record.start = dateFromText(object.value(QStringLiteral("start")), QDateTime());
    record.completed = object.value(QStringLiteral("completed")).toBool();
    record.fields = object;
    for (const char *key : {"id", "folder", "created", "modified", "master", "start", "completed"})
        record.fields.remove(QLatin1String(key));
    return record;
}

std::unique_ptr<OutlookStore> OutlookStore::open(const QString &home, Version version, QString *problem)
{
    const bool is15 = version == Version::Outlook15;
    const QString folder = is15
        ? home + QStringLiteral("/Library/Group Containers/Office/Outlook/Main Profile/Data")
        : home + QStringLiteral("/Documents/Microsoft User Data/Office 2011 Identities/Main Identity");
    const QString database = folder + (is15 ? QStringLiteral("/Outlook.sqlite") : QStringLiteral("/Peer State.sqlite"));
    const QString recordRoot = is15 ? folder : folder + QStringLiteral("/Data Records");
    if (!QDir().mkpath(folder)) {
        *problem = QStringLiteral("cannot make %1").arg(folder);
        return nullptr;
    }
    std::unique_ptr<OutlookStore> store(new OutlookStore(version, database, recordRoot));
    // The peer calls the store under its own lock, so SQLite's per-call locking is not needed.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(database.toUtf8().constData(), &store->m_database, flags, nullptr) != SQLITE_OK) {
        *problem = QStringLiteral("cannot open %1").arg(database);
        return nullptr;
    }
    sqlite3_busy_timeout(store->m_database, 200);
    bool made = store->exec(QString::fromLatin1(kOwnTables));
    for (const KindInfo &kind : kKinds)
        made = made && store->exec(QString::fromLatin1(kSchema).arg(QLatin1String(kind.table)));
    Statement fresh(store->m_database, QStringLiteral("SELECT COUNT(*) FROM Peer_State"));
    if (made && fresh.step() && fresh.integer(0) == 0)
        made = store->seed(QJsonObject());
    made = made && store->loadIndex();
    if (!made) {
        *problem = store->lastProblem();
        return nullptr;
    }
    return store;
}

OutlookStore::OutlookStore(Version version, QString databasePath, QString recordRoot)
    : m_version(version), m_databasePath(std::move(databasePath)), m_recordRoot(std::move(recordRoot))
{
}

OutlookStore::~OutlookStore()
{
    setLocked(false);
    sqlite3_finalize(m_foldersQuery);
    sqlite3_close(m_database);
}

bool OutlookStore::exec(const QString &statement) const
{
    char *message = nullptr;
    if (sqlite3_exec(m_database, statement.toUtf8().constData(), nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_problem = QString::fromUtf8(message ? message : "unknown database error");
    sqlite3_free(message);
    return false;
}

bool OutlookStore::runInTransaction(const std::function<bool()> &work)
{
    m_pendingIndex.clear();
    m_pendingIndexClear = false;
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    if (work() && exec(QStringLiteral("COMMIT"))) {
        if (m_pendingIndexClear) {
            for (auto &index : m_index)
                index.clear();
        }
        if (m_pendingIndexClear || !m_pendingIndex.empty())
            m_keptStamps.reset();
        for (const IndexChange &change : m_pendingIndex) {
            if (change.entry)
                m_index[int(change.kind)].set(change.id, *change.entry);
            else
                m_index[int(change.kind)].erase(change.id);
        }
        m_pendingIndex.clear();
        return true;
    }
    m_pendingIndex.clear();
    if (m_problem.isEmpty())
        m_problem = QString::fromUtf8(sqlite3_errmsg(m_database));
    exec(QStringLiteral("ROLLBACK"));
    return false;
}

qint64 OutlookStore::takeId()
{
    Statement read(m_database, QStringLiteral("SELECT Value FROM Peer_State WHERE Key = 'next_id'"));
    const qint64 next = read.step() ? read.integer(0) : 1;
    Statement write(m_database, QStringLiteral("INSERT OR REPLACE INTO Peer_State (Key, Value) VALUES ('next_id', ?)"));
    write.bind(1, next + 1);
    return write.run() ? next : 0;
}

QString OutlookStore::relativeRecordPath(RecordKind kind, qint64 id) const
{
    if (!info(kind).folder)
        return QString();
    const QString version = m_version == Version::Outlook15 ? QStringLiteral("15") : QStringLiteral("14");
    return QStringLiteral("%1/%2.olk%3%4").arg(QLatin1String(info(kind).folder)).arg(id).arg(version, QLatin1String(info(kind).suffix));
}

QString OutlookStore::recordFilePath(RecordKind kind, qint64 id) const
{
    const QString relative = relativeRecordPath(kind, id);
    return relative.isEmpty() ? QString() : m_recordRoot + u'/' + relative;
}

bool OutlookStore::writeRecordFile(RecordKind kind, const PeerRecord &record)
{
    const QString path = recordFilePath(kind, record.id);
    if (path.isEmpty())
        return true;
    QDir().mkpath(QFileInfo(path).path());
    // Whole or not at all (a temporary file renamed over the old one); not flushed to disk, as the
    // database commit is what the peer vouches for.
    const QString temporary = path + QStringLiteral(".tmp");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(QJsonDocument(recordToJson(record)).toJson(QJsonDocument::Compact)) >= 0 && file.flush()
        && file.setFileTime(record.modified, QFileDevice::FileModificationTime);
    file.close();
    return written && ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0;
}

bool OutlookStore::insertRecord(RecordKind kind, const PeerRecord &record)
{
    Statement insert(m_database, QStringLiteral("INSERT OR REPLACE INTO %1 (Record_RecordID, Record_FolderID, Record_ModDate, "
                                                "Record_CreationDate, PathToDataFile, Record_MasterID, Record_Start, "
                                                "Record_Completed, Peer_Record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
                                     .arg(QLatin1String(info(kind).table)));
    insert.bind(1, record.id);
    insert.bind(2, record.folder);
    insert.bind(3, record.modified.toSecsSinceEpoch());
    insert.bind(4, record.created.toSecsSinceEpoch());
    insert.bind(5, relativeRecordPath(kind, record.id));
    insert.bind(6, record.master);
    insert.bind(7, record.start.isValid() ? record.start.toSecsSinceEpoch() : 0);
    insert.bind(8, record.completed ? 1 : 0);
    insert.bind(9, QString::fromUtf8(QJsonDocument(record.fields).toJson(QJsonDocument::Compact)));
    if (!insert.run() || !writeRecordFile(kind, record))
        return false;
    noteIndexChange(kind, record.id, IndexEntry{record.folder, record.modified.toSecsSinceEpoch(), record.master, record.completed});
    return true;
}

QString OutlookStore::listingQuery(RecordKind kind, const RecordFilter &filter, const QString &columns) const
{
    QString query = QStringLiteral("SELECT %1 FROM %2 WHERE 1").arg(columns, QLatin1String(info(kind).table));
    if (filter.folder)
        query += QStringLiteral(" AND Record_FolderID = %1").arg(*filter.folder);
    if (kind == RecordKind::Event && !filter.allEvents)
        query += filter.occurrencesOnly ? QStringLiteral(" AND Record_MasterID != 0") : QStringLiteral(" AND Record_MasterID = 0");
    if (filter.notCompletedOnly)
        query += QStringLiteral(" AND Record_Completed = 0");
    return query + QStringLiteral(" ORDER BY Record_RecordID");
}

QList<PeerRecord> OutlookStore::records(RecordKind kind, const RecordFilter &filter) const
{
    Statement select(m_database, listingQuery(kind, filter, QStringLiteral("Record_RecordID, Record_FolderID, Record_ModDate, "
                                                                            "Record_CreationDate, Record_MasterID, Record_Start, "
                                                                            "Record_Completed, Peer_Record")));
    QList<PeerRecord> found;
    while (select.step())
        found.append(recordFromRow(select));
    m_problem = select.isDone() ? QString() : QString::fromUtf8(sqlite3_errmsg(m_database));
    return found;
}

QList<RecordStamp> OutlookStore::stamps(RecordKind kind, const RecordFilter &filter) const
{
    // Answered from memory; a database another program holds locked fails it as it fails the queries.
    if (m_lock) {
        m_problem = QStringLiteral("database is locked");
        return {};
    }
    m_problem.clear();
    if (m_keptStamps && m_keptStamps->kind == kind && m_keptStamps->filter == filter)
        return m_keptStamps->found;
    QList<RecordStamp> found;
    found.reserve(qsizetype(m_index[int(kind)].size()));
    for (const auto &[id, entry] : m_index[int(kind)]) {
        const bool isOccurrence = entry.master != 0;
        if ((filter.folder && entry.folder != *filter.folder) || (filter.notCompletedOnly && entry.completed)
            || (kind == RecordKind::Event && !filter.allEvents && isOccurrence != filter.occurrencesOnly))
            continue;
        found.append({id, entry.modified});
    }
    m_keptStamps = KeptStamps{kind, filter, found};
    return found;
}

void OutlookStore::Index::set(qint64 id, const IndexEntry &entry)
{
    if (m_entries.empty() || m_entries.back().first < id) {
        m_entries.emplace_back(id, entry);
        return;
    }
    const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), id,
                                     [](const Entry &item, qint64 key) { return item.first < key; });
    if (at != m_entries.end() && at->first == id)
        at->second = entry;
    else
        m_entries.insert(at, {id, entry});
}

void OutlookStore::Index::erase(qint64 id)
{
    const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), id,
                                     [](const Entry &item, qint64 key) { return item.first < key; });
    if (at != m_entries.end() && at->first == id)
        m_entries.erase(at);
}

void OutlookStore::noteIndexChange(RecordKind kind, qint64 id, std::optional<IndexEntry> entry)
{
    m_pendingIndex.push_back({kind, id, entry});
}

bool OutlookStore::loadIndex()
{
    for (int kind = 0; kind < 4; ++kind) {
        Statement select(m_database, QStringLiteral("SELECT Record_RecordID, Record_FolderID, Record_ModDate, Record_MasterID, "
                                                    "Record_Completed FROM %1").arg(QLatin1String(kKinds[kind].table)));
        while (select.step())
            m_index[kind].set(select.integer(0), {select.integer(1), select.integer(2), select.integer(3), select.integer(4) != 0});
        if (!select.isDone())
            return false;
    }
    return true;
}

std::optional<PeerRecord> OutlookStore::record(RecordKind kind, qint64 id) const
{
    Statement select(m_database, QStringLiteral("SELECT Record_RecordID, Record_FolderID, Record_ModDate, Record_CreationDate, "
                                                "Record_MasterID, Record_Start, Record_Completed, Peer_Record FROM %1 "
                                                "WHERE Record_RecordID = ?")
                                     .arg(QLatin1String(info(kind).table)));
    select.bind(1, id);
    if (!select.step())
        return std::nullopt;
    return recordFromRow(select);
}

QList<PeerFolder> OutlookStore::folders(const QString &kind) const
{
    // Every listing checks its folder: the query is prepared once.
    Statement select(m_database, m_foldersQuery, "SELECT Folder_ID, Folder_Kind, Folder_Name FROM Peer_Folders "
                                                 "WHERE ? = '' OR Folder_Kind = ? ORDER BY Folder_ID");
    select.bind(1, kind);
    select.bind(2, kind);
    QList<PeerFolder> found;
    while (select.step())
        found.append({select.integer(0), select.text(1), select.text(2)});
    return found;
}

QList<PeerCategory> OutlookStore::categories() const
{
    Statement select(m_database, QStringLiteral("SELECT Category_ID, Category_Name, Red, Green, Blue FROM Peer_Categories "
                                                "ORDER BY Category_ID"));
    QList<PeerCategory> found;
    while (select.step())
        found.append({select.integer(0), select.text(1), {int(select.integer(2)), int(select.integer(3)), int(select.integer(4))}});
    return found;
}

QStringList OutlookStore::accounts(const QString &kind) const
{
    Statement select(m_database, QStringLiteral("SELECT Email FROM Peer_Accounts WHERE Account_Kind = ? ORDER BY rowid"));
    select.bind(1, kind);
    QStringList found;
    while (select.step())
        found.append(select.text(0));
    return found;
}

bool OutlookStore::addRecord(RecordKind kind, PeerRecord &record)
{
    return runInTransaction([&] {
        record.id = takeId();
        return record.id != 0 && insertRecord(kind, record);
    });
}

bool OutlookStore::updateRecord(RecordKind kind, const PeerRecord &record)
{
    return runInTransaction([&] { return insertRecord(kind, record); });
}

bool OutlookStore::removeRecord(RecordKind kind, qint64 id)
{
    const bool removed = runInTransaction([&] {
        Statement remove(m_database, QStringLiteral("DELETE FROM %1 WHERE Record_RecordID = ?").arg(QLatin1String(info(kind).table)));
        remove.bind(1, id);
        noteIndexChange(kind, id, std::nullopt);
        return remove.run();
    });
    if (removed && !recordFilePath(kind, id).isEmpty())
        QFile::remove(recordFilePath(kind, id));
    return removed;
}

bool OutlookStore::renumberRecord(RecordKind kind, PeerRecord &record, qint64 folder)
{
    const qint64 oldId = record.id;
    const bool moved = runInTransaction([&] {
        Statement remove(m_database, QStringLiteral("DELETE FROM %1 WHERE Record_RecordID = ?").arg(QLatin1String(info(kind).table)));
        remove.bind(1, oldId);
        noteIndexChange(kind, oldId, std::nullopt);
        record.id = takeId();
        record.folder = folder;
        return remove.run() && record.id != 0 && insertRecord(kind, record);
    });
    if (!moved)
        record.id = oldId;
    else if (!recordFilePath(kind, oldId).isEmpty())
        QFile::remove(recordFilePath(kind, oldId));
    return moved;
}

bool OutlookStore::addFolder(PeerFolder &folder)
{
    return runInTransaction([&] {
        folder.id = takeId();
        Statement insert(m_database, QStringLiteral("INSERT INTO Peer_Folders VALUES (?, ?, ?)"));
        insert.bind(1, folder.id);
        insert.bind(2, folder.kind);
        insert.bind(3, folder.name);
        return folder.id != 0 && insert.run();
    });
}

bool OutlookStore::addCategory(PeerCategory &category)
{
    return runInTransaction([&] {
        category.id = takeId();
        Statement insert(m_database, QStringLiteral("INSERT INTO Peer_Categories VALUES (?, ?, ?, ?, ?)"));
        insert.bind(1, category.id);
        insert.bind(2, category.name);
        for (int i = 0; i < 3; ++i)
            insert.bind(3 + i, category.color.value(i));
        return category.id != 0 && insert.run();
    });
}

bool OutlookStore::setLocked(bool locked)
{
    if (!locked) {
        if (m_lock)
            sqlite3_close(m_lock);
        m_lock = nullptr;
        return true;
    }
    if (m_lock)
        return true;
    if (sqlite3_open(m_databasePath.toUtf8().constData(), &m_lock) != SQLITE_OK
        || sqlite3_exec(m_lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(m_lock);
        m_lock = nullptr;
        return false;
    }
    return true;
}

} // namespace outlookpeer
