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

namespace platform {

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
// temporary file and a rename, and the folder is synced to disk once per batch. Only regular files
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

    VCardFolder(QString folderPath, QString indexPath);

private:
    std::optional<VCardFileEntry> statEntry(const QString &fileName) const;
    // The index's entry for the file when it still describes it, else the file read anew.
    VCardFileEntry currentEntry(const VCardFileEntry &found, QHash<QString, VCard> &parsedCards,
                                bool &hasChanged) const;
    VCardFileEntry readEntry(VCardFileEntry entry, QHash<QString, VCard> &parsedCards) const;
    Status writeOneFile(const VCardFileWrite &write, VCardFileEntry &entry) const;
    void loadIndexLocked();
    void saveIndexLocked() const;

    const QString m_folderPath;
    const QString m_indexPath;
    mutable std::mutex m_mutex;
    bool m_isIndexLoaded = false;
    QHash<QString, VCardFileEntry> m_index;
};

} // namespace platform
