#pragma once

#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCard.h"
#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

// What tells one state of a file from another: rewriting or replacing it changes at least one of these.
struct VCardFileStamp
{
    qint64 size = 0;
    qint64 modificationNs = 0;
    // The inode's change time: a program can set the modification time back, never this one.
    qint64 changeNs = 0;
    quint64 inode = 0;

    bool operator==(const VCardFileStamp &) const = default;
    // A 64-bit digest of the four numbers, which is what an entry keeps: two states of a file have
    // the same one by chance about once in 2^64 comparisons.
    quint64 digest() const;
};

// One file of the folder as the index knows it. Kept small, since the index holds one per file of
// the folder: the file's name and the packed texts of the summary lie one after the other in a block
// the entry does not own, unpacked on demand. In a snapshot, that block is one of the snapshot's
// blocks; whoever makes entries outside a snapshot keeps their texts' block (VCardTextBlocks).
struct VCardFileEntry
{
    quint64 stampDigest = 0; // of the file's VCardFileStamp
    // Of the card (REV, or the file's time); -1 for none. An entry listed but not yet parsed holds
    // the file's modification time here.
    qint64 modificationMs = -1;

private:
    // Here, so that the lengths and the flags share a word: the entry holds no padding but at its end.
    const char *m_texts = nullptr;
    quint32 m_textLength = 0;
    quint16 m_nameLength = 0;

public:
    bool isReadable : 1 = false;
    bool isGroup : 1 = false;
    // Another file earlier in name order has the same unique id: this one is not shown.
    bool isDuplicate : 1 = false;

    // The name as the file system holds it (at most kMaxNameBytes), then the unique id (empty when it
    // is the file's name without ".vcf"), names, organization, group name, e-mail texts and, for a
    // file that could not be read, why.
    QByteArrayView texts() const { return QByteArrayView(m_texts, qsizetype(m_textLength)); }
    QByteArrayView fileName() const { return texts().first(m_nameLength); }
    QByteArrayView details() const { return texts().sliced(m_nameLength); }
    // Points at texts that lie in a block kept as long as the entry is used: the name, then the details.
    void setTexts(QByteArrayView texts, quint16 nameLength)
    {
        m_texts = texts.data();
        m_textLength = quint32(texts.size());
        m_nameLength = nameLength;
    }
    static constexpr qsizetype kMaxNameBytes = 0xFFFF;

    QString name() const;
    QString uniqueId() const;
    // The UTF-8 bytes of uniqueId() as the entry holds them, without making the text; empty when
    // they are not exactly its bytes (a file name that is not UTF-8).
    QByteArrayView uniqueIdUtf8() const;
    QString problem() const;
    // The card's date; invalid for none.
    QDateTime modificationDate() const;
    // Everything the index holds of the card.
    VCardSummary summary() const;
    QString lastName() const;
    // lastNameKey of the last name, without making a text of it when it is ASCII.
    quint64 lastNameKey() const;
};

// Packs the texts of entries made one after another into a few blocks, where a byte string apiece
// would cost an allocation apiece: the entries point into the blocks, which are never written where an
// entry points, nor moved; whoever holds the entries keeps the blocks (a snapshot takes them over).
class VCardTextBlocks final
{
public:
    // The name (cut to VCardFileEntry::kMaxNameBytes) and the details, copied one after the other into
    // the block being filled, as the entry's texts.
    void setTexts(VCardFileEntry &entry, QByteArrayView fileName, QByteArrayView details = {});
    // The next block made takes that many bytes, or what the first texts need if more: texts of a
    // known size fill one block exactly.
    void reserve(qsizetype bytes) { m_reserved = bytes; }
    // Hands the blocks over, whole.
    std::vector<QByteArray> takeBlocks();

private:
    static constexpr qsizetype kMinBlockBytes = 16 * 1024;
    void startBlock(qsizetype needed);

    std::vector<QByteArray> m_blocks;
    char *m_data = nullptr; // the last block's bytes, taken before anyone points into it
    qsizetype m_used = 0;
    qsizetype m_total = 0;
    qsizetype m_reserved = 0;
};

// A hash of the case-folded text of a last name, which searches by last name file persons under.
quint64 lastNameKey(const QString &lastName);

// A whole file to write: its name in the folder, its bytes and the summary of what it holds.
struct VCardFileWrite
{
    QString fileName;
    QByteArray bytes;
    VCardSummary summary;
};

// Watches a folder with inotify for anything done to its card files. Owned by its VCardFolder, under
// that folder's mutex.
class VCardFolderWatch final
{
public:
    VCardFolderWatch() = default;
    ~VCardFolderWatch();
    VCardFolderWatch(const VCardFolderWatch &) = delete;
    VCardFolderWatch &operator=(const VCardFolderWatch &) = delete;

    // Whether it has been watching the folder now at the path; when not, it starts watching it unless
    // the folder cannot be watched or lies on a file system whose changes may come from other
    // machines, which inotify does not see.
    bool isWatchingFolderAt(const QString &folderPath);
    // Reads every event so far: whether one touched a card file other than the names given (which
    // this process itself wrote or removed), or the queue overflowed, or the folder itself went away.
    bool hasOtherChanges(const QSet<QByteArray> &ownNames = {});
    void stop();

private:
    int m_descriptor = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// A vCard folder on disk (one card per "<name>.vcf" file) with a small index of the files kept in
// another file: name, size, modification and change times, inode and the card's summary. Refreshing
// stats every file through the folder's descriptor and parses only new and changed files, and those
// it could not read before (their trouble may have passed); nothing parsed is kept but the summary.
// Once the folder has been listed, a watch kept while a book holds the folder tells whether anything
// touched its card files since: a refresh that follows nothing but this process's own writes
// answers without listing again.
// Each state of the folder is an immutable snapshot shared by everyone who asked for it: a refresh
// that finds nothing new answers the same snapshot again. Writing goes file by file: a new file is
// linked in under its name once whole, a file the folder holds is replaced through a temporary file
// and a rename, and the file system is synced once per batch. What a batch wrote
// reaches the index file on flushIndex (or with the next refresh that finds other changes), not per
// batch: an index left behind by a killed process only makes the next refresh read those files
// again. Only regular files are read (links are skipped), each read is capped at VCard::kMaxCardBytes,
// and a file that does not parse is reported, never changed. One object per folder for the whole
// process (forLocation); thread-safe.
class VCardFolder final
{
public:
    struct Snapshot
    {
        std::vector<VCardFileEntry> entries; // in file-name order

        // The entry of a file, or -1.
        qsizetype find(QByteArrayView fileName) const;
        // The shown (readable, not duplicate) entry holding the unique id, or -1.
        qsizetype findUniqueId(const QString &uniqueId) const;

        // The unique ids of readable entries not named "<unique id>.vcf", each with the names of those
        // entries in name order: the first stands for the id unless the file named after it comes
        // earlier. Names are kept rather than positions, which every file added before them would move.
        QHash<QString, QList<QByteArray>> otherIds;
        // Files that could not be read: every refresh tries them again.
        qsizetype unreadableCount = 0;
        // The folder's own state when a listing last read its names and found them to be exactly the
        // entries' names; none when unknown. While the folder keeps that state, no name was added,
        // removed or renamed, so a listing stats the entries' files by name without reading the folder.
        std::optional<VCardFileStamp> folderStamp;
        // The blocks holding the entries' texts (never changed once made), which keep them alive, and
        // their bytes in all: these tell when the blocks hold mostly texts of entries gone and are
        // packed again.
        std::vector<QByteArray> blocks;
        qsizetype blockBytes = 0;
        // What the entries' texts take in the blocks.
        qsizetype textBytes = 0;
    };
    using SnapshotPointer = std::shared_ptr<const Snapshot>;

    struct Refreshed
    {
        SnapshotPointer snapshot;
        // The snapshot's entries this refresh parsed, by position (rising): names are made into texts
        // only when asked for, not for every file of a folder read anew.
        std::vector<qint32> parsed;
        bool isListed = false; // whether it listed the folder rather than trust its watch
        // Whether the listing read the folder's names rather than stat the names it knew.
        bool hasReadNames = false;

        // The names of the files this refresh parsed, in name order.
        QStringList parsedFiles() const;
    };

    struct Written
    {
        QHash<QString, QString> failures; // file name -> why it was not written or removed
        SnapshotPointer snapshot;         // the folder with what was done
        // Whether the snapshot adds the batch to the one the writer gave; when not, it holds
        // changes the writer has not seen.
        bool isOnWritersSnapshot = false;
    };

    static std::shared_ptr<VCardFolder> forLocation(const QString &folderPath, const QString &indexPath);

    const QString &path() const { return m_folderPath; }
    // Creates the folder (0700) when it is missing; fails when it cannot be made or listed.
    Status ensureFolder() const;
    // The folder as it is now.
    Result<Refreshed> refresh();
    // The folder as this process last saw it, refreshed first if it has not been yet (or no longer
    // holds what it saw).
    Result<SnapshotPointer> lastSnapshot();
    // The shown persons (readable files, no groups, each unique id once) of the folder as this process
    // last saw it, counted without a refresh once the folder has been listed.
    Result<qsizetype> lastPersonCount();
    // Reads and parses one file of the folder.
    // The card of the file; its bytes go to text too when asked for.
    Result<VCard> readCard(const QString &fileName, QByteArray *text = nullptr) const;
    // Writes the files (0600) and removes the named ones, then syncs the file system once. The
    // failures name the files not written or removed, with why; the others are done and indexed.
    Written writeFiles(const QList<VCardFileWrite> &writes, const QStringList &removals,
                       const SnapshotPointer &writersSnapshot = nullptr);
    // The digest of the state of the file as the index holds it; nullopt for a file the index does
    // not know.
    std::optional<quint64> indexedStamp(const QString &fileName) const;
    // Writes the index file when it lags behind what this process wrote.
    void flushIndex();
    // Whether the index file lags behind what this process wrote.
    bool isIndexBehind() const;
    // While someone holds it (an open book), the folder is watched between refreshes; a folder
    // nobody holds keeps no watch and is listed on each refresh. The last holder's release lets the
    // folder's snapshot go (its index file has it): a process that is done with the address book
    // holds none of it.
    void holdWatch();
    void releaseWatch();
    // Lets the snapshot go while the folder stays watched, unless someone else still holds it: the
    // index file keeps it (written first when it lags behind). The next refresh reads it back from
    // there, and lists the folder only when the watch saw others' changes or the index no longer
    // reads as written. A book at rest between the steps of a sync holds none of the folder's texts.
    void restSnapshot();

    VCardFolder(QString folderPath, QString indexPath);

private:
    struct Listed
    {
        std::vector<VCardFileEntry> changed; // new files and files whose status differs from the index
        VCardTextBlocks names;               // the names of those files
        std::vector<bool> isPresent;         // by index entry
        bool hasReadNames = false;
        // The folder's state, when it held still through the listing and may be trusted next time.
        std::optional<VCardFileStamp> folderStamp;
    };
    Result<Listed> listFolder(const Snapshot &known) const;
    // Parses the entry's file; the entry's texts go into the blocks.
    VCardFileEntry readEntry(VCardFileEntry entry, const Snapshot &known, VCardTextBlocks &texts) const;
    Status writeOneFile(const VCardFileWrite &write, VCardFileEntry &entry, VCardTextBlocks &texts) const;
    // The entries of the files written, and of those removed (names only), each in name order, their
    // texts in the blocks given.
    std::vector<VCardFileEntry> writeAll(const QList<VCardFileWrite> &writes, QHash<QString, QString> &failures,
                                         VCardTextBlocks &texts) const;
    std::vector<VCardFileEntry> removeAll(const QStringList &removals, QHash<QString, QString> &failures,
                                          VCardTextBlocks &names) const;
    Status syncFileSystem() const;
    void noteOwnChanges(const std::vector<VCardFileEntry> &written, const std::vector<VCardFileEntry> &removed);
    void loadIndexLocked();
    // Whether the index file gave the snapshot.
    bool readIndexLocked();
    void saveIndexLocked();
    void letSnapshotGoLocked();

    const QString m_folderPath;
    const QString m_indexPath;
    mutable std::mutex m_mutex;
    bool m_isIndexLoaded = false;
    bool m_hasListed = false;
    bool m_isIndexDirty = false;
    // The persons of the last snapshot listed, kept when the snapshot is let go; -1 for none.
    qsizetype m_lastPersonCount = -1;
    // The snapshot may differ from the folder: the watch saw changes, or is not running.
    bool m_mustList = true;
    int m_watchHolders = 0;
    // The entries of the snapshot let go to rest, which the index read back must give; -1 when none is.
    qsizetype m_restingEntries = -1;
    VCardFolderWatch m_watch;
    SnapshotPointer m_current;
};

} // namespace platform
