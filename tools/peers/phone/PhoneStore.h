#pragma once

#include "PhoneText.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

#include <map>
#include <set>

namespace phonepeer {

// How a record changed on the phone since the last finished sync.
enum class Change { None, Added, Updated, Deleted };

// One record as the phone keeps it: its permanent id and its fields under the phone's key names,
// values as plain text (decoded).
struct PhoneRecord
{
    QString uid;
    QMap<QString, QString> fields;
    Change change = Change::None;
};

// One listed row: the action word ("add", "update", "delete") and the record.
struct ListedRow
{
    QString action;
    PhoneRecord record;
};

// The records of the four conduits with the phone's own change log: edits made on the phone are
// reported to the next sync, edits that came from the desktop are not, and a finished sync (a normal
// logoff) clears the log. Not thread-safe: the peer guards it.
class PhoneStore final
{
public:
    // Edits made on the phone itself. addRecord answers the new record's id (the given one when not
    // empty). updateRecord and deleteRecord answer false for an unknown id.
    QString addRecord(Conduit conduit, const QMap<QString, QString> &fields, const QString &uid = {});
    bool updateRecord(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields);
    bool deleteRecord(Conduit conduit, const QString &uid);

    // Edits that come from the desktop; none enters the change log of the sync that makes them.
    // applyAdd answers the permanent id.
    QString applyAdd(Conduit conduit, const QMap<QString, QString> &fields);
    void applyChange(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields);
    void applyDelete(Conduit conduit, const QString &uid);
    void purge(Conduit conduit);

    // The records that exist, in id order.
    QList<PhoneRecord> records(Conduit conduit) const;
    // All records as "add" rows, or with changedOnly the change log as rows, in id order.
    QList<ListedRow> listRows(Conduit conduit, bool changedOnly) const;
    bool hasChanges() const;
    // A sync has finished: the change log starts anew (holding the desktop's edits when those are listed).
    void markSynced();
    // With listed, the desktop's edits are listed as changes by the syncs that follow the one that made
    // them, as a phone listing what changed since a date does. Promotes the edits not yet listed.
    void setListsOwnWrites(bool listed) { m_listsOwnWrites = listed; }
    void listOwnWrites();

    // The store as JSON text, and back; fromJson answers false, changing nothing, on a malformed text.
    QByteArray toJson() const;
    bool fromJson(const QByteArray &json, QString &problem);
    bool fromJson(const QJsonObject &root, QString &problem);

    // With noted, every edit notes the records and desktop edits it touched, for takeChanges.
    void setNotesChanges(bool noted) { m_notesChanges = noted; }
    // What changed since the last call, as it stands now, and forgets it: one journal line holding
    // "nextId", the conduits purged ("purged"), and per conduit letter the records ("records", by id,
    // null for one gone) and the desktop's edits ("ownWrites", by id, null for one listed or gone).
    // Empty when nothing changed. Its size follows the edits, not the store.
    QJsonObject takeChanges();
    // Replays a line of takeChanges onto the store; false, with the problem, on a malformed line,
    // which may leave the line half applied.
    bool applyChanges(const QJsonObject &line, QString &problem);

private:
    QString nextUid(Conduit conduit);
    static QMap<QString, QString> stamped(QMap<QString, QString> fields, const QString &previousStamp);

    void noteOwnWrite(Conduit conduit, const QString &uid, Change change);
    void noteRecord(Conduit conduit, const QString &uid);
    void noteOwnWriteChanged(Conduit conduit, const QString &uid);

    std::map<Conduit, std::map<QString, PhoneRecord>> m_conduits; // deleted records stay while logged
    std::map<Conduit, std::map<QString, Change>> m_ownWrites;     // the desktop's edits not yet listed
    bool m_listsOwnWrites = false;
    qint64 m_nextId = 1;

    // What changed since the last takeChanges, while changes are noted.
    bool m_notesChanges = false;
    std::map<Conduit, std::set<QString>> m_changedRecords;
    std::map<Conduit, std::set<QString>> m_changedOwnWrites;
    std::set<Conduit> m_purged;
};

} // namespace phonepeer
