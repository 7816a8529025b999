#pragma once

#include <QList>
#include <QString>

#include <optional>

// The records an Outlook sync sends to the device as new, kept on disk from before their first batch
// goes until their pairs (device id -> Outlook id) are in the id map. Outlook keeps its pairs in maps
// of its own, and a run killed after the device stored a batch and before its answer was kept leaves
// the device holding those records under ids the map never learnt: the next sync reads the device's
// records whole and matches them with these by what was sent, instead of sending them a second time.
//
// One line per record: the temporary id, the Outlook id and the identity sent (base64), tab-separated.
// The file lies beside the id map, is the owner's only, is written whole and atomically, and is read
// only when regular, not through a link, and within a bound; lines that are not whole are skipped.
class HMOutlookSentAdds final
{
public:
    struct Entry
    {
        QString temporaryId;
        QString outlookId;
        QString identity;
    };

    explicit HMOutlookSentAdds(QString path) : m_path(std::move(path)) {}

    const QString &path() const { return m_path; }
    // The entries kept; none when there is no file. nullopt when a file is there but cannot be read
    // (too long, not a regular file, unreadable).
    std::optional<QList<Entry>> read() const;
    // Replaces the kept entries; no entries removes the file. False when the disk did not take it.
    bool write(const QList<Entry> &entries) const;

    // The largest file read: far beyond the records of any sync.
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

private:
    QString m_path;
};
