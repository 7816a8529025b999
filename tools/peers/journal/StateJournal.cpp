#include "StateJournal.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace peerjournal {

namespace {

constexpr qint64 kMaxStateBytes = 512LL * 1024 * 1024;
// The journal is folded into a snapshot once it is larger than this and than the snapshot itself, so
// that snapshots cost, spread over the changes, a constant share of each.
constexpr qint64 kMinJournalBytesForSnapshot = 8LL * 1024 * 1024;

} // namespace

StateJournal::StateJournal(QString snapshotFile)
    : m_snapshotFile(std::move(snapshotFile)), m_journalFile(m_snapshotFile + QStringLiteral(".journal"))
{
}

bool StateJournal::load(QJsonObject &snapshot, QList<QJsonObject> &changes, QString &error) const
{
    snapshot = QJsonObject();
    changes.clear();
    QFile file(m_snapshotFile);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1").arg(m_snapshotFile);
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.read(kMaxStateBytes), &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            error = QStringLiteral("%1 is no state file: %2").arg(m_snapshotFile, parseError.errorString());
            return false;
        }
        snapshot = document.object();
    }
    QFile journal(m_journalFile);
    if (!journal.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = journal.read(kMaxStateBytes);
    // Only lines with their line end were written whole; the last one may have been cut by a kill.
    const qsizetype end = text.lastIndexOf('\n');
    for (const QByteArray &line : text.left(end + 1).split('\n')) {
        const QJsonDocument change = QJsonDocument::fromJson(line);
        if (change.isObject())
            changes.append(change.object());
    }
    return true;
}

bool StateJournal::openJournal()
{
    if (m_journal.isOpen())
        return true;
    m_journal.setFileName(m_journalFile);
    if (!m_journal.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    m_journal.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_journalBytes = m_journal.size();
    // A snapshot this object did not write (one read at start) sets the measure too.
    if (m_snapshotBytes == 0)
        m_snapshotBytes = QFileInfo(m_snapshotFile).size();
    return true;
}

bool StateJournal::append(const QJsonObject &change)
{
    if (!openJournal())
        return false;
    QByteArray line = QJsonDocument(change).toJson(QJsonDocument::Compact);
    line.append('\n');
    // One write of the whole line, then out of the process's buffer into the kernel's.
    const bool isWritten = m_journal.write(line) == line.size() && m_journal.flush();
    m_journalBytes += line.size();
    return isWritten;
}

bool StateJournal::wantsSnapshot() const
{
    return m_journalBytes > std::max(kMinJournalBytesForSnapshot, m_snapshotBytes);
}

bool StateJournal::holdsChanges() const
{
    return m_journal.isOpen() ? m_journalBytes > 0 : QFileInfo(m_journalFile).size() > 0;
}

bool StateJournal::writeSnapshot(const QJsonObject &state)
{
    return writeSnapshot(QJsonDocument(state).toJson(QJsonDocument::Compact));
}

bool StateJournal::writeSnapshot(const QByteArray &text)
{
    QSaveFile file(m_snapshotFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return false;
    m_snapshotBytes = text.size();
    m_journal.close();
    m_journalBytes = 0;
    return !QFile::exists(m_journalFile) || QFile::resize(m_journalFile, 0);
}

} // namespace peerjournal
