#pragma once

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace peerjournal {

// A state kept as a snapshot file and a journal beside it ("<file>.journal"), one compact JSON line
// per change. A change costs one appended line, however large the state; a process killed at any
// point keeps every line whose write returned (the kernel holds it), and a line cut short by the
// kill is dropped when the state is read again. When the journal outgrows the snapshot, the whole
// state is written as a new snapshot and the journal starts empty. Power loss is not guarded
// against: the peer only plays a service for tests.
class StateJournal final
{
public:
    explicit StateJournal(QString snapshotFile);

    // Reads the snapshot (an empty object when there is none) and the journal's whole lines in order;
    // false, with the reason, when the snapshot cannot be read.
    bool load(QJsonObject &snapshot, QList<QJsonObject> &changes, QString &error) const;
    // Appends one change; at once readable by load. False when the line could not be written whole.
    bool append(const QJsonObject &change);
    // Whether the journal has grown enough that a new snapshot pays.
    bool wantsSnapshot() const;
    // Whether the journal holds anything the snapshot lacks: lines appended since the last snapshot,
    // or, before the first append, what an earlier run left (whole lines or one a kill cut short).
    bool holdsChanges() const;
    // Writes the whole state as the snapshot (through a save file), then empties the journal; false,
    // keeping the journal, when the snapshot could not be written. A kill in between leaves the new
    // snapshot and the old journal, whose changes it already holds: replaying them sets each record
    // and table to what the snapshot holds.
    bool writeSnapshot(const QJsonObject &state);
    // The same with the state's text as the caller lays it out.
    bool writeSnapshot(const QByteArray &text);

private:
    bool openJournal();

    QString m_snapshotFile;
    QString m_journalFile;
    QFile m_journal;
    qint64 m_journalBytes = 0;
    qint64 m_snapshotBytes = 0;
};

} // namespace peerjournal
