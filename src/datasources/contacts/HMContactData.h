#pragma once

#include "datasources/contacts/ContactDuplicateIndex.h"
#include "foundation/HMSyncProgressReporting.h"
#include "outlook/HMOutlookConduitForwards.h"
#include "platform/addressbook/ABAddressBook.h"
#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSAppleScriptError.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMData.h"
#include "sync/HMIdentifierGraph.h"

#include <QHash>
#include <QMultiHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <mutex>
#include <functional>
#include <optional>
#include <vector>

namespace platform {
class ABGroup;
class ABPerson;
} // namespace platform
class HMOutlookDatFileHelper;
class HMOutlookSQLiteHelper;
class HMProfile;

// The data source of conduit 1 (contacts) over the user's address book: it lists the persons changed
// since the last sync as sync records, applies the other side's records under the conduit's
// conflict rule and deletes the persons the other side deleted, keeping each contact's identifier
// dictionary (persons, groups and the stable slots of its phones, e-mail addresses, URLs,
// instant-message entries, addresses and other dates) in the conduit's identifier graph.
// Made by the configuration source for one run of the conduit ("HMContactData", registered by
// registerDataSourceClass) and used only on that run's serial queue; the address book is open from
// prepareForUseOnThread to stopUsingOnThread of each step, and a step that ends with nothing unsaved
// leaves it for the next step, which checks it against the folder first.
class HMContactData final : public HMOutlookConduitForwards<HMData>, public HMDeletionsWarningDelegate
{
public:
    // One phone field of a record: its key, its text ("" for a field the phone emptied), the label a new
    // entry takes, its numbered slot (-1 for a typed field) and the label index the phone gave it (0 for
    // none).
    struct PhoneNumber
    {
        QString key;
        QString value;
        QString label;
        int slot = -1;
        qint32 labelIndex = 0;
    };

    // One entry of a person's multi-value in its record slot.
    struct SlotEntry
    {
        QString identifier;
        QVariant value;
        QString label; // as displayed
    };

    HMContactData();
    ~HMContactData() override;

    // Registers the class with the configuration source.
    static void registerDataSourceClass();

    void prepareForUseOnThread() override;
    void stopUsingOnThread() override;
    std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                     const QSet<QString> &excludedHmUids) override;
    qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                         qint64 timeDifference) override;
    void deleteUidRecords(const QStringList &hmUids) override;
    void saveChanges() override;
    bool hasUnsavedChanges() override;
    // The page's persons reach their files before the identifier graph is saved: a graph saved first
    // and a run killed before the files would leave a person the phone deleted in its file with no
    // entry, and the next listing would send it back as new.
    platform::Status syncAppliedChangesToDisk() override;
    bool isMappedItemGone(const QString &hmUid) override;
    void cleanUpAfterSync() override;
    void conduitStageDidEnd() override;
    QString saveFailure() const override;
    bool addressBookIsInaccessible() override { return m_addressBookIsInaccessible; }

    // The open address book, made on first use; null for Outlook contact managers.
    std::shared_ptr<platform::ABAddressBook> addressBook();
    // The group of that name, found or made; null only while no address book is open.
    std::shared_ptr<platform::ABGroup> groupForName(const QString &name);
    // Writes record slot values (text, dictionary, date or an invalid QVariant for "leave the slot")
    // with one label each into a multi-value of the person, keeping the slot map under the key.
    void updateNativePerson(const std::shared_ptr<platform::ABPerson> &person, const QVariantList &values,
                            const QVariantList &labels, const QString &property, qint32 maxResult, const QString &key,
                            QVariantMap &identifierDictionary);
    static QString phoneLabelForQuillnestIndex(qint32 index);
    static qint32 phoneLabelIndexForLabel(const QString &label);
    // The persons matching the record's first and last name, company and e-mail address (the
    // record's address found in one of the person's, regardless of case).
    QList<std::shared_ptr<platform::ABPerson>> isDuplicate(const QVariantMap &record);
    QList<std::shared_ptr<platform::ABPerson>> unmappedCopiesOf(const std::shared_ptr<platform::ABAddressBook> &book,
                                                                const QVariantMap &record);
    // The contact record of a person; fills the slot maps and group ids of the identifier dictionary.
    QVariantMap pppDictionaryForPerson(const std::shared_ptr<platform::ABPerson> &person,
                                       QVariantMap &identifierDictionary, quint64 syncMethod);
    QMap<int, SlotEntry> labelsAndValuesOfPerson(const std::shared_ptr<platform::ABPerson> &person,
                                                 const QString &property, qint32 maxResult, const QString &key,
                                                 const QStringList &labels, QVariantMap &identifierDictionary);
    QVariant getValueForLabel(const QString &label, const std::shared_ptr<platform::ABPerson> &person,
                              qint64 cardinality);

    // Outlook contact managers (HMContactData+OutlookReader.cpp): the changed contacts read from
    // Outlook as sync records, Outlook's deletions, and the contact map kept in step once the other
    // side has taken them (by the shared Outlook conduit bookkeeping).
    std::optional<QList<HMSyncRecord>> syncOutlookRecordObjectsModifiedAfter(
        const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids) override;
    void removeDeletedOutlookIdsFromDatFile();
    QStringList modifiedOutlookContactRecord(const QDateTime &date);
    void deleteOrphanedRecordsInOutlook() {}
    void setOutlookProfile(std::shared_ptr<HMProfile> profile);
    qint64 contactsAddedToOutlookOnThisSync() const { return m_contactsAddedToOutlookOnThisSync; }
    // The moments of the Outlook path that the crash tests stop a run at (HMOutlookConduit::Step); every
    // write of the contact map is a MapCommitted.
    using OutlookStep = HMOutlookConduit::Step;
    static void setOutlookStepHook(std::function<void(OutlookStep)> hook);
    // Outlook contact to record (HMContactData+OutlookMapping.cpp).
    QVariantMap pppDictionaryForOutlookContact(const QString &text);
    static QString correctedString(const QVariant &value);
    static QStringList phoneLabelAndValueFromvCardString(const QString &line);
    static QString escapeUnicodeString(const QString &text);
    static QString getValueValueForOutlookLabel(const QString &label, const QStringList &lines);
    // Pictures (HMContactData+OutlookPhotos.cpp).
    static QByteArray photoForOutlookContact(const QString &outlookId);
    QByteArray wifiFormattedPhotoForOutlookContact(const QString &outlookId) override;
    void savePicturesFromQuillnestSync(const QVariantMap &pictures) override;

    // Outlook write side (HMContactData+OutlookWriter.cpp): the other side's records set an existing
    // contact's properties or are imported as a vCard; the pair is kept at once.
    qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                qint64 timeDifference) override;
    void updateOutlookContactWithUniqueId(const QString &outlookId, const QVariantMap &record);
    void addNewOutlookContactWithDictionary(const QVariantMap &record);
    void makeVcfFromContactDictionary(const QVariantMap &record);
    QString importVcfFileIntoOutlook(const QString &path);
    static QString removeNewLines(const QString &text);
    // The vCard text Outlook imports for a record.
    QString vCardTextFromContactDictionary(const QVariantMap &record);
    QString outlookFollowUpScript(const QString &outlookId, const QVariantMap &record, const QStringList &fragments);
    // Offered, called by nothing: one pair written over a property list in ~/Documents, and a new
    // address book made in Outlook (its id).
    static bool writeOutlookId(const QString &outlookId, const QString &deviceId);
    QString makeTempFolder();
    // Test hooks: a look at each vCard file before it is removed; the pause after each add.
    static void setOutlookVCardKeeper(std::function<void(const QString &)> keeper);
    static void setOutlookPause(std::function<void()> pause);
    // Properties text and duplicates (HMContactData+OutlookProperties.cpp).
    QString propertiesStringFromContactDictionary(const QVariantMap &record);
    static QString escapedString(const QString &text);
    QStringList categoryFragments(const QVariantMap &record);
    static QString categoryIndexText(const QVariantMap &record, qsizetype nameCount);
    QString isOutlookDuplicate(const QVariantMap &record);
    static QVariantMap getPhoneDictionaryFromContactDictionary(const QVariantMap &record);
    static QString outlookPhoneLabelFromQuillnestPhoneLabel(const QString &label);
    // Whether the user default names the cloud method.
    static bool isCloudMethod();
    // Deletions (HMContactData+OutlookDeletes.cpp).
    void deleteOutlookUidRecords(const QStringList &deviceIds) override;
    void continueDeleting(const QStringList &deviceIds);
    void deletionsWarningReceivedResponse(bool shouldDelete) override { deletionsWarningReceivedResponse(qint64(shouldDelete ? 1 : 0)); }
    void deletionsWarningReceivedResponse(qint64 answer);
    void syncStatusProgressControllerWasShown();
    // What asks the user's attention (the application's critical request) for a large cloud deletion.
    static void setAttentionRequester(std::function<void()> requester);

    qint64 recordCounter() const { return m_recordCounter; }
    // How many identifier dictionaries the apply steps of the run made (counted only: a list of the
    // hmUids a first sync adds would live through the other conduits' steps).
    qint64 addObjectCount() const { return m_addObjectCount; }
    qint64 saveCount() const { return m_saveCount; }
    bool ignoreDeletes() const { return m_ignoreDeletes; }
    void setIgnoreDeletes(bool ignore) { m_ignoreDeletes = ignore; }

protected:
    QString className() const override { return QStringLiteral("HMContactData"); }

private:
    void openNativeAddressBook();
    void closeNativeAddressBook();
    // Reader steps.
    // The graph's dictionaries the persons of a listing took. Most persons of a listing are unchanged
    // ones, each under an id no other person of it has: while the graph's list is the one the listing
    // began with, such a person is found among its entries by the UTF-8 bytes of its id, and noted
    // by the entry's position alone; the others are noted by their texts.
    class TakenDictionaries final
    {
    public:
        // The graph as it stands when the listing begins, for persons dated no later than after.
        TakenDictionaries(std::shared_ptr<HMIdentifierGraph> graph, const QDateTime &after);
        // Notes the person's dictionary taken when the person is confirmed and unchanged since after,
        // and found by its id alone; false when it needs the full look.
        bool takeIfUnchanged(const platform::ABAddressBook::ListedPerson &person);
        // The graph's entry for the person's id (nullopt for none) as the graph's own lookup would
        // find it, found by the id's bytes; false when only that lookup can tell.
        bool findEntry(const platform::ABAddressBook::ListedPerson &person,
                       std::optional<HMIdentifierGraphEntry> &entry) const;
        void note(const QString &nativeId, const QString &hmUid) { m_byNativeId.insert(nativeId, hmUid); }
        // Whether every one of that many dictionaries was taken, told by counting alone.
        bool isEveryOneOf(qsizetype dictionaries) const;
        // Native id -> hmUid of every dictionary taken.
        QHash<QString, QString> table() const;

    private:
        // The first entry of the list with a native id: its position (-1: a free slot), part of the
        // id's hash (the rest chose the slot), whether it is the only entry with the id and whether
        // its "hmUid" is a text of its own. A slot tells all a listed person is checked against: the
        // id itself is compared only where the hashes agree, read from the entry in place.
        struct Slot
        {
            quint32 tag : 30 = 0;
            quint32 isOnly : 1 = 0;
            quint32 hasHmUid : 1 = 0;
            qint32 position = -1;
        };
        void indexEntries();
        // Whether positions still name the graph's entries: its list is the one the listing began with.
        bool isGraphAsListed() const { return m_graph->entries().constData() == m_entries.constData(); }
        // The UTF-8 bytes of the "nativeId" of the entry at that position, read in place.
        QByteArrayView nativeIdAt(qsizetype position) const;
        // Whether the dictionary at the position holds the date the sync wrote its person at, and it is this one.
        bool isWrittenAt(qsizetype position, qint64 modifiedMs) const;
        // The slot holding the first entry with that native id (whose hash is given), or the empty
        // slot where it would go.
        size_t slotOf(QByteArrayView nativeId, size_t hash) const;
        // The first entry with that native id: its slot, or nullptr.
        const Slot *slotFor(QByteArrayView nativeId) const;

        std::shared_ptr<HMIdentifierGraph> m_graph;
        // The list as the listing began, whose positions the slots name.
        HMIdentifierGraph::Entries m_entries;
        qint64 m_afterMs = -1;
        std::vector<Slot> m_slots; // empty when no person is taken by its id alone
        std::vector<bool> m_isTaken; // by position
        qsizetype m_takenCount = 0;
        QHash<QString, QString> m_byNativeId;
    };
    std::optional<HMSyncRecord> recordForPerson(const platform::ABAddressBook::ListedPerson &person, const QDateTime &after,
                                                const QSet<QString> &excludedHmUids, TakenDictionaries &taken);
    QString hmUidOfUnchangedPerson(const platform::ABAddressBook::PersonStamp &stamp, const QDateTime &after) const;
    void logDateComparison(const QDateTime &modified, const QDateTime &after);
    std::optional<HMSyncRecord> recordForChangedPerson(const platform::ABAddressBook::PersonStamp &stamp,
                                                       const HMIdentifierGraphEntry &entry, const QString &hmUid,
                                                       const QDateTime &after, const QSet<QString> &excludedHmUids);
    std::optional<HMSyncRecord> recordForNewPerson(const std::shared_ptr<platform::ABPerson> &person,
                                                   const QString &temporaryId);
    QList<QVariantMap> dictionariesNotTaken(const TakenDictionaries &taken);
    QList<HMSyncRecord> deletionRecords(QList<QVariantMap> remaining);
    void readGroups(const std::shared_ptr<platform::ABPerson> &person, QVariantMap &record,
                    QVariantMap &identifierDictionary);
    void readPhones(const std::shared_ptr<platform::ABPerson> &person, QVariantMap &record,
                    QVariantMap &identifierDictionary);
    void readSlots(const std::shared_ptr<platform::ABPerson> &person, QVariantMap &record,
                   QVariantMap &identifierDictionary);
    void readAddresses(const std::shared_ptr<platform::ABPerson> &person, QVariantMap &record,
                       QVariantMap &identifierDictionary);
    // Apply steps.
    struct ApplyTarget
    {
        std::shared_ptr<platform::ABPerson> person;
        QVariantMap dictionary; // the identifier dictionary to keep
        qint64 result = 2;
        bool keepsDictionary = false; // the graph's dictionary is replaced, not appended
    };
    ApplyTarget applyTarget(const QString &uid, std::shared_ptr<platform::ABPerson> person,
                            const std::optional<QVariantMap> &dictionary);
    void writeRecord(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record, qint64 result,
                     QVariantMap &identifierDictionary);
    std::shared_ptr<platform::ABPerson> linkedPerson(const std::optional<QVariantMap> &identifierDictionary);
    // The person an earlier run made for the hmUid under its recovery unique id and never noted.
    std::shared_ptr<platform::ABPerson> personLeftByInterruptedRun(const QString &hmUid, const QString &uniqueId);
    std::optional<QVariantMap> adoptUnconfirmedPerson(const QString &hmUid, const QVariantMap &record);
    QString identityOfPerson(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &identifierDictionary);
    std::optional<qint64> conflictResult(const std::shared_ptr<platform::ABPerson> &person,
                                         const std::optional<QVariantMap> &identifierDictionary, quint64 conflictSetting,
                                         const QDateTime &deviceDate, bool &forgetPerson);
    QVariantMap newIdentifierDictionary(const QString &uid, const std::shared_ptr<platform::ABPerson> &person);
    void writePlainFields(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record);
    void writeGroups(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record, qint64 result,
                     QVariantMap &identifierDictionary);
    void writePhones(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record,
                     QVariantMap &identifierDictionary);
    void writeSlots(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record,
                    QVariantMap &identifierDictionary);
    void writeAddresses(const std::shared_ptr<platform::ABPerson> &person, const QVariantMap &record,
                        QVariantMap &identifierDictionary);
    // The label written for the company phone, looked up once per run.
    const QString &companyPhoneLabel();
    // Every phone field the record carries, typed fields first, then the numbered ones in slot order.
    QList<PhoneNumber> phoneFieldsOf(const QVariantMap &record);
    // The texts of the record's phone fields that hold a number, by field key (kPhoneFieldTextsKey).
    static QVariantMap phoneFieldTexts(const QVariantMap &record);
    // Store steps.
    void finishAddedPerson(const QString &hmUid);
    void rememberWrittenDates();
    // Whether the date the sync wrote down at its last save of the person (kWrittenModificationDateKey's
    // value) is the person's modification date: the person is as the sync left it.
    static bool isLastWrittenBySync(const QDateTime &modified, const QVariant &written);
    // The person of the open book with that unique id; null when there is none.
    std::shared_ptr<platform::ABPerson> personForId(const QString &uniqueId);
    QString loadingPersonLine(const QString &uniqueId);
    void logUnreadableFiles();

    // Outlook reader steps.
    HMOutlookConduit &outlookContacts();
    HMOutlookConduit &outlookConduit() override { return outlookContacts(); }
    void ensureOutlookHelpers();
    HMOutlookSQLiteHelper &outlookReader();
    HMOutlookDatFileHelper &contactMap();
    QString outlookContactFolderSelection();
    void useDefaultOutlookContactFolderIfNoneChosen();
    std::optional<QStringList> outlookContactIdsModifiedAfter(const QDateTime &date);
    bool outlookContactsMayBeGone(const QDateTime &date);
    void failOutlookRead(const QString &reason);
    void outlookMappingSteps(const QString &text, const QStringList &lines, QVariantMap &record);

    // Outlook write steps.
    struct OutlookPhoneField
    {
        const char *property;
        const char *recordKey;
        const char *cloudName;
    };
    static const OutlookPhoneField *outlookPhoneFields(qsizetype &count);
    static QString outlookPhoneValue(const QVariantMap &record, const QVariantMap &phones, const OutlookPhoneField &field);
    QString vCardPhoneAndMailLines(const QVariantMap &record);
    static bool needsOutlookFollowUp(const QVariantMap &record, const QStringList &fragments);
    QString outlookVCardPath();
    static bool writeOutlookVCardFile(const QString &path, const QByteArray &bytes);
    void removeLeftOutlookVCard();
    void finishImportedContact(const QString &newId, const QVariantMap &record, const QStringList &fragments);
    void failOutlookApply(const QString &reason);
    bool noteOutlookGone(const std::optional<platform::NSAppleScriptError> &error);
    // `writesRecord` false for a script that changes a contact without writing one of the sync's
    // records (its picture): it still moves the next read past its second.
    platform::NSAppleEventDescriptor runOutlookWrite(const QString &script, std::optional<platform::NSAppleScriptError> &error,
                                                     bool writesRecord = true);
    QString chosenOutlookFolder();
    QString moveOutlookContact(const QString &outlookId, const QString &folder);
    void buildOutlookDupeCheckCache();
    // The duplicate search's contacts in listing order, found by their names, company and note line
    // (compared regardless of case). Fields: first, last, company, e-mail text, note line, id.
    class OutlookDupeCheck final
    {
    public:
        void add(const QString &id, QStringList fields);
        void remove(const QString &id);
        std::vector<const QStringList *> candidates(const QStringList &fields) const;

    private:
        static QString keyOf(const QStringList &fields);
        std::vector<QStringList> m_entries;
        QHash<QString, size_t> m_positionById;
        QHash<QString, std::vector<size_t>> m_byNames;
    };

    // The contact map and the Outlook reader of this run; made at the first need.
    std::unique_ptr<HMOutlookConduit> m_outlookContacts;
    QString m_currentContactsOutlookId;
    QString m_currentContactsDeviceId;
    qint64 m_logCounter = 0;
    qint64 m_contactsAddedToOutlookOnThisSync = 0;
    bool m_isGoogleDirect = false;
    std::optional<OutlookDupeCheck> m_outlookDupeCheck;
    bool m_outlookGoneDuringApply = false;
    // The vCard file Outlook imports from, kept between the contacts of a page (each overwrites it)
    // and removed when the page's pairs are committed; empty while none is left on disk.
    QString m_outlookVCardPath;
    QString m_leftOutlookVCard;
    QStringList m_uidsToDeleteInOutlook;
    std::vector<platform::ObserverToken> m_progressShownObservers;
    QString m_deletionsWarningString;
    std::function<void()> m_deletionsWarningSemaphore;

    std::mutex m_addressBookMutex;
    bool m_addressBookIsInaccessible = false;
    QString m_saveFailure;
    // The persons sent as new whose answer never came, by identity; made when first needed.
    std::optional<QMultiHash<QString, QString>> m_unconfirmedByIdentity;
    bool m_ignoreDeletes = false;
    std::shared_ptr<platform::ABAddressBook> m_addressBook;
    // The book of the last step when it closed clean: the next step brings it up to date with the
    // folder instead of reading the whole store again. One whose saves the folder's index lacks keeps
    // what it shows through the stage's pages and rests when the stage moves on; dropped when the run
    // ends.
    std::shared_ptr<platform::ABAddressBook> m_restingAddressBook;
    QHash<QString, std::shared_ptr<platform::ABGroup>> m_addressBookGroups;
    qint64 m_addObjectCount = 0;
    qint64 m_saveCount = 0;
    qint64 m_recordCounter = 0;
    // Groups a person made in this step joins once it is saved, by hmUid.
    QHash<QString, QList<std::shared_ptr<platform::ABGroup>>> m_pendingGroups;
    QStringList m_pendingGroupOrder; // their hmUids, in the order added
    // Persons the apply step wrote in this step: hmUid -> the person's unique id.
    QHash<QString, QString> m_writtenPersons;
    std::optional<QString> m_companyPhoneLabel;
    // The candidates of the run's duplicate tests.
    ContactDuplicateIndex m_duplicateIndex;
};
