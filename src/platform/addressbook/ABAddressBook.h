#pragma once

#include "platform/addressbook/ABSearchElement.h"
#include "platform/addressbook/VCardFolder.h"
#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

class ABGroup;
class ABPerson;
class ABRecord;

// The user's address book over a vCard folder (one file per person or group, named after its
// unique id). The folder is the user default "AddressBookFolderPath", by default "Contacts" in the
// data folder, created on first use; pointing it at another program's folder works.
// An instance shows the folder as it was when the instance was made, plus the instance's own
// unsaved changes; save() writes only the persons and groups that changed (stamping their
// modification date) and removes the files of removed records. Every instance of the process works
// on one store per folder, whose index spares re-reading unchanged files. Files that cannot be read
// are reported by unreadableRecords() and never changed.
// Persons are made from the folder's index when asked for and read their file on first need; the
// instance keeps only those someone holds or that have unsaved changes, so a large book costs little
// more than its index. Groups are few and kept whole.
// An instance is used on one thread at a time; the static members are thread-safe.
class ABAddressBook final : public std::enable_shared_from_this<ABAddressBook>
{
public:
    // What a listing of the persons gives without making them.
    struct PersonStamp
    {
        QString uniqueId;
        QDateTime modificationDate;
    };
    // A person as a listing visits it, read in place from the folder's index and valid only during
    // the visit: a listing that only compares ids and dates makes no text of either.
    class ListedPerson final
    {
    public:
        explicit ListedPerson(const VCardFileEntry &entry) : m_entry(&entry) {}
        explicit ListedPerson(PersonStamp stamp) : m_stamp(std::move(stamp)) {}
        // The unique id's UTF-8 bytes as the index holds them; empty when only stamp() gives the id.
        QByteArrayView uniqueIdUtf8() const { return m_entry ? m_entry->uniqueIdUtf8() : QByteArrayView(); }
        // The person's modification date in milliseconds since the epoch (UTC); -1 for none or one
        // before 1970, which the index holds as none.
        qint64 modificationMs() const;
        PersonStamp stamp() const;
        // The person's names, organization and e-mail addresses as the index holds them; nullopt for
        // a person only stamp() gives (one this instance added and has not saved).
        std::optional<VCardSummary> summary() const;

    private:
        const VCardFileEntry *m_entry = nullptr;
        PersonStamp m_stamp;
    };

    // The user default naming the folder.
    static const QString kFolderDefaultsKey;

    // A new instance on the store; null when the store cannot be opened (no access).
    static std::shared_ptr<ABAddressBook> addressBook();
    // The process-wide instance, brought up to date with the folder on each call unless it holds
    // unsaved changes; null when the store cannot be opened.
    static std::shared_ptr<ABAddressBook> sharedAddressBook();
    // The folder the next instance opens, and whether it can be opened.
    static QString storeFolderPath();
    static Status checkAccess();
    // The persons of the store as this process last saw or saved it, counted from its index alone;
    // -1 when the folder cannot be listed.
    static qsizetype storedPersonCount();

    // Every person, each made now unless someone holds it: for small books and tests; a sync lists
    // personStamps() instead.
    QList<std::shared_ptr<ABPerson>> people();
    QList<std::shared_ptr<ABGroup>> groups() const { return m_groups; }
    QList<PersonStamp> personStamps() const;
    // Calls visit with each person personStamps() lists, in the same order, one at a time: a listing
    // of a large book holds no list of them all. visit must not add, remove or save records.
    void visitPersonStamps(const std::function<void(const PersonStamp &)> &visit) const;
    // The same persons in the same order, each read in place.
    void visitListedPersons(const std::function<void(const ListedPerson &)> &visit) const;
    qsizetype personStampCount() const;
    // Where visitListedPersons comes to the person of the unique id: a number that orders persons as
    // it visits them; nullopt for an id it does not visit.
    std::optional<qsizetype> listingPosition(const QString &uniqueId) const;
    std::shared_ptr<ABRecord> recordForUniqueId(const QString &uniqueId);
    // The modification date of the record as the book shows it, read without making the record;
    // nullopt when the book has no such record.
    std::optional<QDateTime> modificationDateOf(const QString &uniqueId) const;
    // Adding fails for a record of another book or an id already present; removing fails for a
    // record not in this book.
    bool addRecord(const std::shared_ptr<ABRecord> &record);
    bool removeRecord(const std::shared_ptr<ABRecord> &record);
    bool hasUnsavedChanges() const;
    // How many times the instance has shown the folder anew (on opening, when refresh() found others'
    // changes, and when a save took them in): what was read of its persons before another showing may
    // be out of date. Its own saves alone do not count.
    quint64 showingCount() const { return m_showingCount; }
    // Brings an instance without unsaved changes up to date with the folder: when some file was
    // added, removed or changed since the instance last saw the folder, the instance shows the folder
    // anew (records handed out before belong to no book then). Fails with unsaved changes or when
    // the folder cannot be listed; the instance is unchanged then.
    Status refresh();
    // Lets go of what the instance shows of the folder while it waits unused (it must hold no unsaved
    // changes): records handed out before belong to no book then, and the next refresh shows the
    // folder anew, read back from the folder's index when nothing else changed it.
    void rest();
    // Whether the folder's index file lags behind what was saved: resting then writes it.
    bool hasUnindexedSaves() const { return m_folder->isIndexBehind(); }
    // Whether the instance works on the folder a new instance would open now.
    bool isOnCurrentFolder() const;
    // Writes every changed record; on a failure the records not written stay changed.
    Status save();
    QList<std::shared_ptr<ABRecord>> recordsMatchingSearchElement(const ABSearchElement &element);
    // Unique id (from the file name when nothing better is known) -> why the file could not be read.
    const QHash<QString, QString> &unreadableRecords() const { return m_unreadable; }

    // Called by the records of this book.
    void recordDidChange(ABRecord &record, const QString &property);
    void membershipDidChange(ABGroup &group, ABPerson &person);

    explicit ABAddressBook(std::shared_ptr<VCardFolder> folder);
    ~ABAddressBook();
    ABAddressBook(const ABAddressBook &) = delete;
    ABAddressBook &operator=(const ABAddressBook &) = delete;

private:
    Status open();
    void showSnapshot(VCardFolder::SnapshotPointer snapshot);
    void forgetRecords();
    // The record of a shown entry of the snapshot, made unless someone holds it.
    std::shared_ptr<ABRecord> recordForEntry(const VCardFileEntry &entry);
    void attach(const std::shared_ptr<ABRecord> &record);
    void markChanged(ABRecord &record);
    // After a save: records whose files failed stay changed, removals that failed stay pending.
    void takeWritten(const VCardFolder::Written &written,
                     const QHash<QString, std::shared_ptr<ABRecord>> &writtenByFile);
    // The snapshot's persons by last-name key, built once per snapshot the book shows.
    void ensureSnapshotNames();
    // Files a person changed or added in this instance under its last name (a null name: unfiles it).
    void indexName(const QString &uniqueId, const QString &lastName);
    void unindexName(const QString &uniqueId);
    // The unique ids of the persons that may have a last name of that key.
    QStringList namedCandidates(quint64 key);
    QStringList groupNamesOf(const QString &personId) const;
    QString fileNameFor(const ABRecord &record, const QSet<QString> &takenNames) const;
    QByteArray cardTextFor(ABRecord &record, const QStringList &allGroupNames) const;
    QString duplicateProblem(const VCardFileEntry &entry) const;
    void pruneHandedOut();
    // Whether the listing must make each person's id to leave out those this instance removed or holds.
    bool listingSkipsSomePersons() const;

    std::shared_ptr<VCardFolder> m_folder;
    VCardFolder::SnapshotPointer m_snapshot;
    // The snapshot adopted by the last save holds changes of others this instance has not shown.
    bool m_mustShowAnew = false;
    quint64 m_showingCount = 0;
    QList<std::shared_ptr<ABGroup>> m_groups;
    // Records this instance keeps alive: its groups and the records added since they were last saved.
    QHash<QString, std::shared_ptr<ABRecord>> m_held;
    // Persons made from the snapshot, while someone holds them.
    QHash<QString, std::weak_ptr<ABRecord>> m_handedOut;
    qsizetype m_pruneAt = 1024;
    // Records of the snapshot removed from this instance.
    QSet<QString> m_removedIds;
    QList<std::shared_ptr<ABRecord>> m_changed;
    QSet<const ABRecord *> m_changedSet;
    QStringList m_removedFiles;
    QHash<QString, QString> m_unreadable;
    // Last-name key -> position in the snapshot, in key order, for the snapshot named. The table only
    // tells which snapshot it was made for: holding it would keep a replaced snapshot's entries alive.
    // Keys are folded to 32 bits, positions kept in 32: half the table, and a rare extra candidate
    // is checked like any other.
    std::vector<std::pair<quint32, quint32>> m_snapshotNames;
    std::weak_ptr<const VCardFolder::Snapshot> m_namedSnapshot;
    // The persons whose last name this instance set since they were last saved: key -> unique ids,
    // and the key each is filed under. They are found here rather than in the snapshot.
    QHash<quint64, QStringList> m_byLastName;
    QHash<QString, quint64> m_indexedLastName;
};

} // namespace platform
