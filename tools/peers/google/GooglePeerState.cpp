// The Google peer's state file: a snapshot of the whole state and a journal beside it, one line per
// answer that changed something. A line holds the small parts of the state (tokens, codes, calendars,
// groups, task lists, counters: a few kilobytes) whole, and the records (contacts, events, tasks)
// that answer wrote, so that keeping an answer costs the same at ten records as at ten thousand.
#include "GooglePeer.h"
#include "StateJournal.h"

#include <QJsonArray>

namespace googlepeer {

namespace {

// An account's collections of records: kept record by record, never whole in a journal line.
const QStringList kRecordCollections{QStringLiteral("contacts"), QStringLiteral("events"), QStringLiteral("tasks")};

// The state without any account's collections of records.
QJsonObject smallParts(QJsonObject state)
{
    QJsonObject accounts = state.value(QStringLiteral("accounts")).toObject();
    for (auto it = accounts.begin(); it != accounts.end(); ++it) {
        QJsonObject account = it.value().toObject();
        for (const QString &collection : kRecordCollections)
            account.remove(collection);
        it.value() = account;
    }
    state.insert(QStringLiteral("accounts"), accounts);
    return state;
}

QJsonValue valueAt(const QJsonObject &object, const QStringList &path)
{
    QJsonValue value = object;
    for (const QString &key : path)
        value = value.toObject().value(key);
    return value;
}

// The object with the value at the path (from `at` on) set, or removed when the value is null.
QJsonObject withValueAt(QJsonObject object, const QStringList &path, qsizetype at, const QJsonValue &value)
{
    const QString &key = path.at(at);
    if (at + 1 < path.size())
        object.insert(key, withValueAt(object.value(key).toObject(), path, at + 1, value));
    else if (value.isNull() || value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return object;
}

} // namespace

// The snapshot, then the journal's lines in order; the result is kept as a new snapshot at once, so
// that a line a kill cut short is gone before anything is appended after it.
bool GooglePeer::loadState(QString &error)
{
    m_state = QJsonObject{{QStringLiteral("accounts"), QJsonObject()}};
    if (m_options.stateFile.isEmpty())
        return true;
    m_journal = std::make_unique<peerjournal::StateJournal>(m_options.stateFile);
    QJsonObject snapshot;
    QList<QJsonObject> lines;
    if (!m_journal->load(snapshot, lines, error))
        return false;
    if (!snapshot.isEmpty())
        m_state = snapshot;
    for (const QJsonObject &line : lines)
        applyJournalLine(line);
    m_journal->writeSnapshot(m_state);
    return true;
}

// A line's small parts replace the state's, each account keeping its records; then its records.
void GooglePeer::applyJournalLine(const QJsonObject &line)
{
    QJsonObject state = line.value(QStringLiteral("state")).toObject();
    const QJsonObject held = m_state.value(QStringLiteral("accounts")).toObject();
    QJsonObject accounts = state.value(QStringLiteral("accounts")).toObject();
    for (auto it = accounts.begin(); it != accounts.end(); ++it) {
        QJsonObject account = it.value().toObject();
        const QJsonObject before = held.value(it.key()).toObject();
        for (const QString &collection : kRecordCollections) {
            if (before.contains(collection))
                account.insert(collection, before.value(collection));
        }
        it.value() = account;
    }
    for (const QJsonValue &record : line.value(QStringLiteral("records")).toArray()) {
        const QStringList path = record[QStringLiteral("path")].toVariant().toStringList();
        if (!path.isEmpty())
            accounts = withValueAt(accounts, path, 0, record[QStringLiteral("value")]);
    }
    state.insert(QStringLiteral("accounts"), accounts);
    m_state = state;
}

// Called with the lock held.
void GooglePeer::noteRecordChanged(QStringList path)
{
    m_changedRecords.append(std::move(path));
}

QJsonObject GooglePeer::accountOf(const QString &email) const
{
    return m_state.value(QStringLiteral("accounts")).toObject().value(email).toObject();
}

void GooglePeer::putAccount(const QString &email, const QJsonObject &account)
{
    QJsonObject accounts = m_state.value(QStringLiteral("accounts")).toObject();
    accounts.insert(email, account);
    m_state.insert(QStringLiteral("accounts"), accounts);
}

// Called with the lock held: the line reaches the kernel before the answer leaves, so a peer killed
// after answering still holds what it answered.
void GooglePeer::saveState()
{
    if (!m_journal)
        return;
    const QJsonObject accounts = m_state.value(QStringLiteral("accounts")).toObject();
    QJsonArray records;
    for (const QStringList &path : std::as_const(m_changedRecords)) {
        records.append(QJsonObject{{QStringLiteral("path"), QJsonArray::fromStringList(path)},
                                   {QStringLiteral("value"), valueAt(accounts, path)}});
    }
    m_changedRecords.clear();
    m_journal->append(QJsonObject{{QStringLiteral("state"), smallParts(m_state)}, {QStringLiteral("records"), records}});
    if (m_journal->wantsSnapshot())
        m_journal->writeSnapshot(m_state);
}

} // namespace googlepeer
