#pragma once

#include "foundation/HMDateUtilities.h"
#include "platform/foundation/CallbackGuard.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"
#include "sync/HMSyncDataProtocol.h"

#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class HMIdentifierGraph;
class HMIdentifierGraphEntry;
class HMOutlookCategoryHelper;

// The base of every Mac-side data source. It gives each operation of HMSyncDataProtocol a default
// that only logs (or works on the identifier graph), keeps the state all data sources share, and
// replaces the temporary ids of records sent as new by the ids the other side assigned.
// A data source is made by the configuration source for one conduit of one run and used on that
// run's serial queue; the run's conduit state owns it (std::shared_ptr). Every data source alive
// hears "kHMCleanUpAfterSync" on the application's notification centre, on the posting thread.
class HMData : public HMSyncDataProtocol
{
public:
    HMData();
    ~HMData() override;
    HMData(const HMData &) = delete;
    HMData &operator=(const HMData &) = delete;

    void prepareForUseOnThread() override;
    void stopUsingOnThread() override;
    void clearIdTable() override;
    QSet<QString> setOfHmUids() override;
    void saveChanges() override;
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    void updateUidToDeviceIds(const QVariantMap &temporaryToDeviceIds) override;
    void deleteUidRecords(const QStringList &hmUids) override;

    // The "hmUid" values the other side has confirmed and no longer lists among deviceIds, each once.
    // Entries still marked as sent but unanswered ("isUnconfirmedAdd") hold temporary ids, which are
    // never the other side's and must never be compared with its id list.
    QStringList deviceConfirmedHmUidsMissingFrom(const QStringList &deviceIds);
    // How many records of the conduit the two sides share: the identifier graph's entries.
    qsizetype syncedRecordCount() const;
    // Whether some record was sent as new and its answer never came (the run ended first): the
    // other side may hold it already, so its records are read whole and matched before it is sent
    // again.
    virtual bool hasUnconfirmedRecords();
    // Whether saveChanges has anything to write. The sync controller skips saveChanges when this
    // answers false; the default answers true, so a data source that keeps no account of its changes
    // saves after every page as before.
    virtual bool hasUnsavedChanges();
    // Why the last saveChanges failed; empty when it succeeded. A failed save ends the run.
    virtual QString saveFailure() const;
    // Makes the records the page wrote to the store durable. The sync controller calls it after a
    // page is applied and before the identifier graph names the page's records, so that a power cut
    // never leaves the graph naming a record the disk lost; a failure fails the page as a failed
    // save does. The default has nothing to make durable.
    virtual platform::Status syncAppliedChangesToDisk();
    // Marks the graph entry of every record about to go out as new as sent but not yet confirmed,
    // with what the record is (its identity, see sentIdentityOfRecord): until the device answers with its
    // own id the id list never deletes it, and a run that ends first lets the next one match the
    // device's copy with it instead of making a second one. Whatever the data source.
    void markAddsUnconfirmed(const QList<HMSyncRecord> &records, quint64 conduit);
    // Before a device record is applied: when its id is an unconfirmed entry's own temporary id, the
    // device holds that add and the entry is confirmed. When the graph does not know the id and an unconfirmed entry
    // holds a record of the same identity, the device holds that record under its own id, so the entry
    // takes the device's id and is confirmed. Answers whether it did. Matched by what was sent, the
    // record is found even when the desktop has changed or deleted it since.
    bool adoptUnconfirmedAdd(const QVariantMap &deviceRecord, quint64 conduit);
    // Before a device record whose id the graph does not know is applied as new, in a whole listing
    // that left unconfirmed entries: when the record differs from what such an entry sent in one
    // field of its identity alone (the device edited its copy of the add before this sync), it is
    // kept aside rather than applied, and answers true. Which entry it is, if any, is settled once
    // every page is read (settleDeferredDeviceRecords): a record read early must not take an entry
    // whose unchanged copy comes on a later page.
    bool defersLooseMatch(const QVariantMap &deviceRecord, qint32 action, quint64 conduit);
    // A device record kept aside, with the action to apply it with.
    struct DeferredDeviceRecord
    {
        QVariantMap record;
        qint32 action = 0;
    };
    // At the end of the listing: every record kept aside that is the one candidate of one
    // still-unconfirmed entry, and that entry its one candidate, is that entry's record on the
    // device, edited: the entry takes the device's id and is confirmed, and the record is to be
    // applied as a change of it. The others are to be applied as they came. Answers them all, in the
    // order they came, and forgets them.
    QList<DeferredDeviceRecord> settleDeferredDeviceRecords(quint64 conduit, qint32 changeAction);
    // Outlook keeps its pairs in id maps of its own (see HMOutlookSentAdds): before the first batch,
    // the records about to go out as new are kept on disk (temporary id, Outlook id, the identity
    // sent), replacing what an earlier run kept. False when the disk did not take them.
    bool keepOutlookAddsAboutToBeSent(const QList<HMSyncRecord> &records, quint64 conduit);
    // Outlook: reads the records an earlier run sent as new and forgets those the id map pairs by now
    // (their pairs were kept after all; one read of the map, only when there are any). Answers
    // whether some are left, whose copies the device may hold under ids of its own.
    bool loadUnsettledOutlookAdds();
    // Outlook, before a device record is applied: when the id map does not pair its id and an
    // unsettled record sent had the same identity, the device holds that Outlook record under its own
    // id. The pair is kept aside for commitAdoptedOutlookPairs; answers whether it was.
    bool adoptUnconfirmedOutlookAdd(const QVariantMap &deviceRecord, quint64 conduit);
    // Outlook, after a page: the pairs adopted from it go into the id map with one write, then the
    // records still unsettled are kept. Answers false when the map could not take them.
    bool commitAdoptedOutlookPairs();
    // Outlook, in the whole listing that follows a run ended before its pairs were kept: a device
    // record the id map does not pair that differs from a record sent as new in one field of its
    // identity alone (the device edited its copy before this sync) is kept aside rather than applied,
    // and answers true. Which sent record it is, if any, is settled once every page is read.
    bool defersLooseOutlookMatch(const QVariantMap &deviceRecord, qint32 action, quint64 conduit);
    // At the end of that listing: every record kept aside that is the one candidate of one record
    // still unsettled, and that record its one candidate, is its copy on the device, edited: the pair
    // is kept aside for commitAdoptedOutlookPairs and the record is to be applied as a change. The
    // others are to be applied as they came. Answers them all, in the order they came.
    QList<DeferredDeviceRecord> settleDeferredOutlookRecords(quint64 conduit, qint32 changeAction);
    // Outlook: whether the id map pairs the device id (read once, with the adopted pairs added).
    bool isPairedWithOutlook(const QString &deviceId);
    // Outlook: in the whole listing that follows a run ended before its pairs were kept, the device
    // time a listing of changes would have started at; invalid otherwise.
    QDateTime outlookRecoveryListingSince() const { return m_outlookRecoveryListingSince; }
    void setOutlookRecoveryListingSince(const QDateTime &since) { m_outlookRecoveryListingSince = since; }
    // Outlook: the file that keeps the records sent as new (beside the id map); empty without one.
    virtual QString outlookSentAddsPath();
    // Outlook: the id map's pairs, device id by Outlook id, with pairs a killed run confirmed; the
    // default has no map and answers none.
    virtual QHash<QString, QString> outlookPairs();
    // Outlook: keeps the pairs (device id -> Outlook id) in the id map with one write.
    virtual bool keepOutlookPairs(const QVariantMap &pairs);
    // Outlook: drops the pairs of these device ids from the id map with one write (the other side no
    // longer holds them, so their Outlook records are listed as new again); the default has no map.
    virtual bool forgetOutlookPairs(const QStringList &deviceIds);
    // The fields that tell one record of the conduit from another, as one text (normalised records of
    // either side give the same text); a contact without names or company, or a task without title or
    // note, is told by the other values it carries. Empty when there is nothing to tell it by, and such
    // records are never taken for each other.
    static QString sentIdentityOfRecord(const QVariantMap &record, quint64 conduit);
    // Why an id (a record's UID, a store's id) cannot be kept in the identifier graph: it holds a NUL
    // character, or is longer than kMaxStoredIdLength; empty when it can.
    static QString unstorableIdReason(const QString &id);
    static constexpr qsizetype kMaxStoredIdLength = 1024;
    // Takes out of the records to send those whose ids cannot be kept, each logged with its reason,
    // and forgets the entries the listing made for them: the other records go, and the graph can
    // still be saved.
    void dropRecordsWithUnstorableIds(QList<HMSyncRecord> &records);
    // Before the first batch: the entries the listing changed for the records sent as changed or
    // deleted go back to what they were (before: the graph's entries before the listing), so that a
    // graph saved while the device has not taken them names them as unsent; the listing's versions
    // are kept aside. commitSentChanges puts them in once every batch is answered.
    void holdBackSentChanges(const QList<HMSyncRecord> &records, const QList<HMIdentifierGraphEntry> &before);
    // Puts back the listing's versions of the held-back entries, each keeping the hash of what was
    // sent of its record (kSentContentKey), which came after the listing.
    void commitSentChanges();
    // The identifier dictionary's key for the hash of what this client last sent of the record, as
    // the transport hashes the other side's listed records (kHMListedContentKey).
    static inline const QString kSentContentKey = QStringLiteral("SentContentKey");
    // Before a batch goes: keeps each record's sent-content hash in its entry, by the id it is sent
    // under (a new record's temporary id). Answers whether an entry the other side already knew
    // changed: its hash must reach the disk before the batch goes, since the other side may list its
    // copy back as a change of its own at any later sync, while a new record's entry stays unconfirmed
    // (and is matched whole) until the answer's ids are saved with the hash.
    bool noteContentsAboutToBeSent(const QMap<QString, QString> &contentById);
    // Whether the device's listed record (its content hash as the transport made it) is the content
    // this client last sent under the id. The hash is kept: a run that ends before the device marks
    // its listing as synced gets the same listing again, and a device record equal to what was last
    // sent holds nothing the desktop lacks, while any later edit on the device hashes otherwise.
    bool isOwnWriteListedBack(const QString &hmUid, const QString &listedContent) const;
    // Whether the record was deleted on this Mac and its deletion sent in a run that ended before the
    // answer: the device's copy is not applied back, and the next listing sends the deletion again.
    bool isDeletionSent(const QString &hmUid) const;
    // Whether the graph names a record under the hmUid whose item is gone from the store: this Mac
    // deleted it since the last sync, and the next listing sends the deletion. The default knows no
    // store and answers false; a file that is there but cannot be read is not gone.
    virtual bool isMappedItemGone(const QString &hmUid);
    // Marks and reads the entry of a temporary id as sent but not yet confirmed.
    static void markUnconfirmed(QVariantMap &identifierDictionary);
    static bool isUnconfirmed(const QVariantMap &identifierDictionary);
    static void markConfirmed(QVariantMap &identifierDictionary);

    // Releases the per-run store objects; nothing in the base.
    virtual void cleanUpAfterSync();
    // The run moves on from this conduit in the stage under way: what the data source kept of its
    // store between the stage's pages goes now, not through the other conduits' steps. Nothing in
    // the base.
    virtual void conduitStageDidEnd();
    // The batch form of updateUidToDeviceIds: every temporary id of recordsAddedToDevice that the
    // batch's answer names is settled, matched by the id itself; "FAIL" (refused, or never sent)
    // removes its entry, so the record goes again as new. An add the answer leaves out keeps its
    // entry, marked as unconfirmed: the device may hold it, so the next sync matches the device's
    // records with it before it is sent again.
    // An answer that names an unconfirmed entry's own temporary id as the device's (a side that keeps
    // the ids it is sent) confirms that entry, whether or not the data source noted it as added.
    void updateUidToDeviceIdsUsingNewMethod(const QVariantMap &temporaryToDeviceIds);
    bool isKeptUnderTemporaryId(const QString &temporaryId, const QString &deviceId) const;
    // Deletes the records whose results say "ResultKey" 0 and "ActionKey" 2, in list order.
    void processDetailedUpdateCommandDictionaries(const QList<QVariantMap> &results);
    virtual QVariantList nativeCategoryDictionariesForCategorySetting();
    virtual QVariantList nativeCategoryDictionariesForNewRecordSetting();
    virtual bool checkNativeCategorySetting(const QString &setting);
    virtual bool checkNativeCategoryNewRecordSetting(const QString &setting);

    // Operations every concrete data source offers the sync controller's record stages (bodies in
    // HMData+ConduitOperations.cpp). The defaults log that the class lacks them and answer nothing,
    // except replaceTempId, which works on uniqueIdsDictionary alike for every data source.
    // Contacts only: opening Apple's address book failed.
    virtual bool addressBookIsInaccessible();
    // Outlook: the change date kept for the conduit; invalid when none is kept.
    virtual QDateTime getOutlookLastModifiedDate();
    // Outlook: forgets the conduit's change tracking, so every Outlook record counts as changed.
    virtual void clearOutlookDatFile(const QString &conduitName);
    virtual void saveOutlookChanges();
    // Remembers now as the time of the last list reply; called on the transport's thread.
    virtual void writeConduitListReturned();
    // Outlook: the device ids the Mac side knows that are missing from the device's list.
    virtual QStringList findDeletes(const QStringList &deviceIds);
    virtual void deleteOutlookUidRecords(const QStringList &hmUids);
    virtual std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids);
    // Moves the uniqueIdsDictionary entry of the temporary id to the permanent id; nothing when the
    // temporary id is unknown or the permanent id is empty.
    virtual void replaceTempId(const QString &temporaryId, const QString &permanentId);
    // Records (on success) the id pairs assigned during the update stage.
    virtual void commitUniqueIds(bool wasSuccessful);
    // Contacts only: stores the pictures (record id to file path) and deletes each file.
    virtual void savePicturesFromQuillnestSync(const QVariantMap &pictures);
    // Contacts only: the contact's picture prefixed for the phone's upload; empty when none.
    virtual QByteArray wifiFormattedPhotoForOutlookContact(const QString &outlookId);

    // The conduit's identifier graph, set when the conduit is prepared; null before.
    std::shared_ptr<HMIdentifierGraph> identifierGraph() const;
    void setIdentifierGraph(std::shared_ptr<HMIdentifierGraph> graph);
    // The graph's entries as a listing begins, to tell afterwards which records were not found again;
    // none without a graph (the listing then lists nothing).
    std::optional<QList<HMIdentifierGraphEntry>> identifierGraphEntries() const;
    // Temporary ids of the records sent as new, in sending order.
    QStringList recordsAddedToDevice() const;
    void setRecordsAddedToDevice(const QStringList &temporaryIds);
    // Appends to the records sent as new: each costs what it adds, not the size of the list.
    void addRecordAddedToDevice(const QString &temporaryId);
    void addRecordsAddedToDevice(const QStringList &temporaryIds);
    QStringList categoryIdentifiersToSync() const { return m_categoryIdentifiersToSync; }
    void setCategoryIdentifiersToSync(const QStringList &identifiers) { m_categoryIdentifiersToSync = identifiers; }
    QString categoryIdentifierToWriteTo() const { return m_categoryIdentifierToWriteTo; }
    void setCategoryIdentifierToWriteTo(const QString &identifier) { m_categoryIdentifierToWriteTo = identifier; }
    HMDateUtilities &dateUtilities() { return m_dateUtilities; }
    bool isDeviceReread() const { return m_isDeviceReread; }
    void setIsDeviceReread(bool isDeviceReread) { m_isDeviceReread = isDeviceReread; }
    QString conduit() const { return m_conduit; }
    void setConduit(const QString &conduit) { m_conduit = conduit; }
    QString conduitShortName() const { return m_conduitShortName; }
    void setConduitShortName(const QString &letter) { m_conduitShortName = letter; }
    std::shared_ptr<HMOutlookCategoryHelper> categoryHelper() const { return m_categoryHelper; }
    void setCategoryHelper(std::shared_ptr<HMOutlookCategoryHelper> helper) { m_categoryHelper = std::move(helper); }
    QVariantMap &uniqueIdsDictionary() { return m_uniqueIdsDictionary; }
    void setUniqueIdsDictionary(const QVariantMap &ids) { m_uniqueIdsDictionary = ids; }
    QVariantList &idsToDeleteArray() { return m_idsToDeleteArray; }
    void setIdsToDeleteArray(const QVariantList &ids) { m_idsToDeleteArray = ids; }

    // Keeps letters, digits, punctuation, symbols and spaces; drops every other character, newlines
    // included.
    static QString formattedStringForSync(const QString &text);
    // A new UUID as 36 lower-case characters.
    static QString newUid();
    // Stores a null value as the empty string, a text trimmed, a number as its decimal text, anything
    // else unchanged.
    static void setValue(const QVariant &value, const QString &key, QVariantMap &dictionary);
    // The text under the key; the empty string when missing or, with a warning, when not a text.
    static QString stringForKey(const QString &key, const QVariantMap &dictionary);
    // The first item, and all items, of a delimited text; a leading delimiter is allowed and the
    // delimiter is found regardless of case. Texts shorter than 2 characters give nothing.
    static QString firstItemFromMultiItemString(const QString &text, const QString &delimiter);
    static QStringList listFromMultiItemString(const QString &text, const QString &delimiter);

protected:
    // The "hmUid" values of a graph's entries.
    static QSet<QString> hmUidsOf(const HMIdentifierGraph &graph);
    static bool hasUnconfirmedEntries(const HMIdentifierGraph &graph);
    // The class name used in the "not implemented by" log lines.
    virtual QString className() const;

private:
    // Replaces (or, for "FAIL" and missing entries, removes) the graph entry of one temporary id.
    void updateOneTemporaryId(const QString &temporaryId, const QVariantMap &temporaryToDeviceIds);
    void reportIdProgress(qint64 position, qint64 total);
    // The temporary id of the unconfirmed entry sent with a record of that identity, taken out of the
    // index so that no second device record takes it; empty when there is none.
    QString takeUnconfirmedIdOfIdentity(const HMIdentifierGraph &graph, const QString &identity);
    bool wasAddedToDevice(const QString &temporaryId) const;

    // The unconfirmed entries' temporary ids by the identity of their records, and by each of its
    // loose forms (see looseIdentities), made at the first device record that needs them; dropped
    // when adds are marked.
    std::optional<QMultiHash<QString, QString>> m_unconfirmedBySentIdentity;
    QMultiHash<QString, QString> m_unconfirmedByLooseIdentity;
    void indexUnconfirmedEntries(const HMIdentifierGraph &graph);
    // The forms of an identity with one of its fields left out, each only when a field left in holds
    // something: two records alike in all those but that one field.
    static QStringList looseIdentities(const QString &identity);
    // Keeps the device record aside until the listing ends when one of its loose forms is a key of
    // `byLooseIdentity`: it may be the candidate ("an unconfirmed add"...) edited on the device.
    bool defersOnLooseIdentity(const QVariantMap &deviceRecord, qint32 action, quint64 conduit,
                               const QMultiHash<QString, QString> &byLooseIdentity, const QString &candidate);
    // Each record kept aside whose loose forms find one key alone (keysOfForm), a key no other record
    // kept aside finds, is that key's record: take(key, the record's device id) settles it, and the
    // record is to be applied with the change action.
    static void settleOneToOneLooseMatches(QList<DeferredDeviceRecord> &deferred, quint64 conduit, qint32 changeAction,
                                           const std::function<QSet<QString>(const QString &form)> &keysOfForm,
                                           const std::function<void(const QString &key, const QString &deviceId)> &take);
    // Outlook: the records an earlier run sent as new whose pairs were not kept, by temporary id, and
    // their temporary ids by identity; the id map's paired device ids, read at the first need; the
    // pairs adopted from the listing, device id -> Outlook id, until commitAdoptedOutlookPairs.
    QHash<QString, std::pair<QString, QString>> m_unsettledOutlookAdds;
    QMultiHash<QString, QString> m_unsettledOutlookAddsByIdentity;
    QMultiHash<QString, QString> m_unsettledOutlookAddsByLooseIdentity;
    std::optional<QSet<QString>> m_outlookPairedDeviceIds;
    QVariantMap m_adoptedOutlookPairs;
    QDateTime m_outlookRecoveryListingSince;
    bool keepUnsettledOutlookAdds();
    // The device records kept aside until the listing ends.
    QList<DeferredDeviceRecord> m_deferredDeviceRecords;
    // The listing's versions of the entries held back (nullopt: the entry goes), by hmUid.
    QList<std::pair<QString, std::optional<QVariantMap>>> m_heldBackChanges;
    mutable std::mutex m_propertyMutex;
    std::shared_ptr<HMIdentifierGraph> m_identifierGraph;
    QStringList m_recordsAddedToDevice;
    QSet<QString> m_recordsAddedToDeviceSet;
    QStringList m_categoryIdentifiersToSync;
    QString m_categoryIdentifierToWriteTo;
    HMDateUtilities m_dateUtilities;
    bool m_isDeviceReread = false;
    QString m_conduit;
    QString m_conduitShortName;
    std::shared_ptr<HMOutlookCategoryHelper> m_categoryHelper;
    QVariantMap m_uniqueIdsDictionary;
    QVariantList m_idsToDeleteArray;
    // The observer reaches this object only through the guard, which the destructor closes: a
    // delivery under way on another thread when the object goes finishes first, later ones do nothing.
    platform::CallbackGuard m_callbacks;
    platform::ObserverToken m_cleanUpObserver;
};
