#pragma once

#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCard.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace platform {

// What tells one state of a file from another: rewriting or replacing it changes at least one of these.
struct VCardFileStamp
{
    qint64 size = 0;
    qint64 modificationNs = 0;
    qint64 changeNs = 0;
    quint64 inode = 0;

    bool operator==(const VCardFileStamp &) const = default;
};

// One file of the folder as the index knows it.
struct VCardFileEntry
{
    QString fileName;
    qint64 size = 0;
    qint64 modificationNs = 0;
    // The inode's change time: a program can set the modification time back, never this one.
    qint64 changeNs = 0;
    quint64 inode = 0;
    bool isReadable = false;
    QString problem;      // why the file could not be read
    VCardSummary summary; // of a readable file; the unique id alone for an unreadable one

    VCardFileStamp stamp() const { return VCardFileStamp{size, modificationNs, changeNs, inode}; }
};

// A whole file to write: its name in the folder, its bytes and the summary of what it holds.
struct VCardFileWrite
{
    QString fileName;
    QByteArray bytes;
    VCardSummary summary;
};

// A vCard folder on disk (one card per "<name>.vcf" file) with a small index of the files kept in
// another file: name, size, modification and change times, inode and the card's summary. Refreshing
// compares the folder with the index and parses only new and changed files, and those it could not read
// before (their trouble may have passed); writing goes file by file through a
// temporary file and a rename, and the folder is synced to disk once per batch. What a batch wrote
// reaches the index file on flushIndex (or with the next refresh that finds other changes), not per
// batch: an index left behind by a killed process only makes the next refresh read those files again. Only regular files
// are read (links are skipped), each read is capped at VCard::kMaxCardBytes, and a file that does
// not parse is reported, never changed. One object per folder for the whole process (forLocation);
// thread-safe.
class VCardFolder final
{
public:
    struct Snapshot
    {
        QList<VCardFileEntry> entries; // in file-name order
        QHash<QString, VCard> parsedCards; // the cards parsed by this refresh, by file name
    };

    static std::shared_ptr<VCardFolder> forLocation(const QString &folderPath, const QString &indexPath);

    const QString &path() const { return m_folderPath; }
    // Creates the folder (0700) when it is missing; fails when it cannot be made or listed.
    Status ensureFolder() const;
    // The folder as it is now.
    Result<Snapshot> refresh();
    // Reads and parses one file of the folder.
    Result<VCard> readCard(const QString &fileName) const;
    // Writes the files (0600) and removes the named ones, then syncs the folder once. Answers the
    // names that failed, with why; the others are done and indexed.
    QHash<QString, QString> writeFiles(const QList<VCardFileWrite> &writes, const QStringList &removals);
    // The state of the file as the index holds it; nullopt for a file the index does not know.
    std::optional<VCardFileStamp> indexedStamp(const QString &fileName) const;
    // Writes the index file when it lags behind what this process wrote.
    void flushIndex();

    VCardFolder(QString folderPath, QString indexPath);

private:
    // The card files of the folder (regular files only) with their status, in file-name order.
    Result<QList<VCardFileEntry>> listFolder() const;
    VCardFileEntry readEntry(VCardFileEntry entry, QHash<QString, VCard> &parsedCards) const;
    Status writeOneFile(const VCardFileWrite &write, VCardFileEntry &entry) const;
    void loadIndexLocked();
    void saveIndexLocked();

    const QString m_folderPath;
    const QString m_indexPath;
    mutable std::mutex m_mutex;
    bool m_isIndexLoaded = false;
    bool m_isIndexDirty = false;
    QHash<QString, VCardFileEntry> m_index;
};

} // namespace platform
