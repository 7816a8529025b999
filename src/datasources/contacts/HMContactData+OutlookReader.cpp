// The contacts data source over Outlook: the contacts changed since the last sync read as sync
// records, Outlook's deletions found through the contact map, and the map kept in step once the
// other side has taken the records.
//
// Pairs the other side confirmed (its permanent id for a contact sent as new) are appended to a
// small file beside the map as they arrive, and merged into the map with one write at the commit,
// or by the next run when this one was killed first: a contact the phone holds is never sent as new
// again. The map's "LastModified" moves only with that commit, to when the read began.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/foundation/ConsoleLog.h"
#include "sync/HMProfile.h"

#include <QFile>
#include <QLocale>
#include <QThread>
#include <QTimeZone>


using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;

namespace {

std::function<void(HMContactData::OutlookStep)> &stepHook()
{
    static std::function<void(HMContactData::OutlookStep)> hook;
    return hook;
}

void reachStep(HMContactData::OutlookStep step)
{
    if (stepHook())
        stepHook()(step);
}

void showProgress(const std::shared_ptr<HMSyncProgressReporting> &sheet, const QString &text)
{
    if (sheet)
        sheet->setUserMessageDirectly(text);
}

QString propertiesScript(const QString &outlookId)
{
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    return QStringLiteral("tell application \"%1\"\nset theContacts to the properties of contact id \"%2\" of "
                          "application \"%1\"\nreturn theContacts\nend tell")
        .arg(application, outlookId);
}

// The contact's text: the vCard, its middle name and its category names; nullopt when the reply
// lacks the id or the vCard (the contact is then dropped like one whose script failed).
std::optional<std::pair<QString, QString>> contactText(const NSAppleEventDescriptor &result,
                                                       const std::shared_ptr<HMOutlookCategoryHelper> &categories)
{
    const QString id = result.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue();
    const QString middleName = result.descriptorForKeyword(platform::fourCharCode("pMdN")).stringValue();
    QString text = result.descriptorForKeyword(platform::fourCharCode("vCrd")).stringValue();
    if (id.isEmpty() || text.isNull())
        return std::nullopt;
    if (!middleName.isNull())
        text = QStringLiteral("%1\nMIDDLENAME:%2").arg(text, middleName);
    const NSAppleEventDescriptor list = result.descriptorForKeyword(platform::fourCharCode("cCtg"));
    QStringList categoryIds;
    for (qint64 i = 1; i <= list.numberOfItems(); ++i) {
        const QString categoryId = list.descriptorAtIndex(i).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        if (!categoryId.isEmpty())
            categoryIds.append(categoryId);
    }
    if (!categoryIds.isEmpty() && categories) {
        const QString names = categories->categoryNameStringFromIdArray(categoryIds);
        if (!names.isNull())
            text = QStringLiteral("%1\nCATEGORIES:%2").arg(text, names);
    }
    return std::make_pair(id, text);
}

// Whether Outlook keeps its contacts in the 2016 layout, whose database has a row per contact with
// its modification time: the profile is set up for it and the Outlook answering is not 2011's.
bool isOutlook2016Layout()
{
    const QString version = GlobalVariables::getOutlookVersionNumber();
    return GlobalVariables::getOutlookVersionNumberInConfiguration() == u"15" &&
           (version.startsWith(QLatin1String("15")) || version.startsWith(QLatin1String("16")));
}

} // namespace

void HMContactData::setOutlookStepHook(std::function<void(OutlookStep)> hook)
{
    stepHook() = std::move(hook);
}

void HMContactData::reachOutlookStep(OutlookStep step)
{
    reachStep(step);
}

void HMContactData::setOutlookProfile(std::shared_ptr<HMProfile> profile)
{
    m_outlookProfile = std::move(profile);
    if (m_sqliteHelper)
        m_sqliteHelper->setProfile(m_outlookProfile);
}

void HMContactData::ensureOutlookHelpers()
{
    if (!m_outlookProfile) {
        if (const auto controller = GlobalVariables::getCurrentProfileController()) {
            const auto profiles = controller->arrangedObjects();
            const qsizetype index = controller->selectionIndex();
            if (index >= 0 && index < qsizetype(profiles.size()))
                m_outlookProfile = profiles[size_t(index)];
        }
    }
    if (!m_datFileHelper) {
        makeContactMapHelper();
        // A run killed after the other side confirmed new contacts and before their commit left them
        // in the confirmed-pairs file: they join the map before anything reads it.
        if (QFile::exists(confirmedPairsPath()) && !mergeConfirmedPairs({}, {}, false))
            DDLogError(QStringLiteral("The confirmed contact pairs could not be merged into the contact map"));
    }
    if (!m_sqliteHelper) {
        m_sqliteHelper = std::make_shared<HMOutlookSQLiteHelper>();
        m_sqliteHelper->setProfile(m_outlookProfile);
        m_sqliteHelper->setSqliteFile();
    }
}

// A data source serves one run. The contact map is read once and kept: this run's reads answer the
// copy its own writes keep current. A Google run also writes the map through helpers of its own, so
// there every read reads the file.
void HMContactData::makeContactMapHelper()
{
    m_datFileHelper = std::make_shared<HMOutlookDatFileHelper>();
    if (!GlobalVariables::getIsGoogleDirect())
        m_datFileHelper->keepForRun(HMOutlookDatFileHelper::Conduit::Contacts);
}

QString HMContactData::confirmedPairsPath()
{
    return contactIdBookkeeping().confirmedPairsPath();
}

QDateTime HMContactData::getOutlookLastModifiedDate()
{
    ensureOutlookHelpers();
    return m_datFileHelper->getLastModifiedDateContacts();
}

QDateTime HMContactData::getOutlookLastListCommandDate()
{
    ensureOutlookHelpers();
    return m_datFileHelper->getLastListCommandContacts();
}

void HMContactData::clearOutlookDatFile(const QString &)
{
    ensureOutlookHelpers();
    QFile::remove(confirmedPairsPath());
    if (!m_datFileHelper->clearDatFile(QStringLiteral("Contacts")))
        failOutlookRead(QStringLiteral("The contact map could not be cleared."));
}

void HMContactData::writeConduitListReturned()
{
    m_conduitLastListCommandReturned = QDateTime::currentDateTimeUtc();
}

// The controller calls this right after the read, before the records go out. Dates written now
// would let a run killed before the other side took the records skip them for good: after a read
// they wait for the commit; without one (the update left out) they are written at once; after a
// failed read never.
void HMContactData::saveOutlookChanges()
{
    ensureOutlookHelpers();
    // After a read that failed the dates stay: the next sync reads from where this one should have.
    if (m_hasDatesToCommit || m_outlookReadFailed)
        return;
    const QDateTime listed =
        m_conduitLastListCommandReturned.isValid() ? m_conduitLastListCommandReturned : QDateTime::currentDateTimeUtc();
    const bool written = m_datFileHelper->writeLastModifiedDateContacts() && m_datFileHelper->writeLastListCommandContacts(listed);
    if (!written)
        m_saveFailure = QStringLiteral("The contact map's dates could not be written.");
}

// Outlook's dates are whole seconds and the map's date is a second before the read began: a contact
// this run wrote in the second the read begins would count as changed at the next sync and go back
// to the phone. The read begins in a later second than the last write (a wait of under a second,
// only in syncs that wrote to Outlook).
void HMContactData::waitPastLastOutlookWrite()
{
    hmoutlook::waitPastSecondOf(m_lastOutlookWrite);
}

void HMContactData::failOutlookRead(const QString &reason)
{
    DDLogError(reason);
    m_saveFailure = reason;
    m_outlookReadFailed = true;
}

std::optional<QList<HMSyncRecord>> HMContactData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    m_saveFailure.clear();
    m_outlookReadFailed = false;
    ensureOutlookHelpers();
    waitPastLastOutlookWrite();
    const QDateTime started = QDateTime::currentDateTimeUtc();
    if (m_outlookProfile && m_outlookProfile->outlookContactFolderSelection().isEmpty())
        m_sqliteHelper->setDefaultOutlookContactFolder();
    m_isGoogleDirect = GlobalVariables::getIsGoogleDirect();
    std::optional<QStringList> changedIds = outlookChangedIds(date, excludedHmUids);
    if (!changedIds) {
        failOutlookRead(QStringLiteral("Outlook's changed contacts could not be listed; nothing was sent."));
        return std::nullopt;
    }
    const std::optional<QHash<QString, QString>> texts = readOutlookContactTexts(*changedIds);
    if (!texts)
        return std::nullopt;
    QList<HMSyncRecord> records = outlookChangedRecords(*changedIds, *texts);
    if (includeDeletes) {
        const std::optional<QList<HMSyncRecord>> deletions = outlookDeletionRecords(date);
        if (!deletions)
            return std::nullopt;
        records += *deletions;
    }
    // Whole seconds, less one: an edit made in the second the read began still counts as later.
    m_outlookReadStamp = QDateTime::fromSecsSinceEpoch(started.toSecsSinceEpoch() - 1, Qt::UTC);
    m_hasDatesToCommit = true;
    reachStep(OutlookStep::ReadDone);
    return records;
}

std::optional<QStringList> HMContactData::outlookChangedIds(const QDateTime &date, const QSet<QString> &excludedHmUids)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    const std::optional<QStringList> candidates = outlookContactIdsModifiedAfter(date);
    showProgress(sheet, QStringLiteral("Scanning Outlook contacts for changes ..."));
    if (!candidates)
        return std::nullopt;
    // The map is read only when the other side changed something this sync.
    const QVariantMap map = excludedHmUids.isEmpty() ? QVariantMap()
                                                     : m_datFileHelper->dictionaryForContactDatFile().value_or(QVariantMap());
    QSet<QString> excluded;
    qsizetype seen = 0;
    for (const QString &hmUid : excludedHmUids) {
        if (++seen >= 2)
            showProgress(sheet, QStringLiteral("Reading Outlook contacts"));
        const QString outlookId = map.value(hmUid).toString();
        if (!outlookId.isEmpty())
            excluded.insert(outlookId);
    }
    QStringList changed;
    changed.reserve(candidates->size());
    for (qsizetype i = 0; i < candidates->size(); ++i) {
        showProgress(sheet, QStringLiteral("Scanning contact %1").arg(i + 1));
        if (!excluded.contains(candidates->at(i)))
            changed.append(candidates->at(i));
    }
    showProgress(sheet, QStringLiteral("Scanning Outlook contacts for changes ..."));
    showProgress(sheet, QStringLiteral("Getting list of modified records"));
    return changed;
}

// Outlook 2016's database holds a row per contact with its modification time. When no row is later
// than the date, the two listings of every contact's date and id (thousands of items each) would find
// nothing, and are left out; deletions are still looked for by the record-file count. Whatever is in
// doubt lists as always: a first sync, another version, a Google run, a database that cannot be read.
std::optional<QStringList> HMContactData::outlookContactIdsModifiedAfter(const QDateTime &date)
{
    if (date.isValid() && !m_isGoogleDirect && isOutlook2016Layout()) {
        const std::optional<qint64> changed = m_sqliteHelper->getCountOfOutlook15ContactsModifiedAfter(date);
        if (changed && *changed == 0) {
            DDLogInfo(QStringLiteral("No Outlook contact changed since %1: the contacts are not listed")
                          .arg(date.toString(Qt::ISODate)));
            return QStringList();
        }
    }
    return m_sqliteHelper->getListOfContactIdsModifiedAfter(date);
}

// One properties script per contact, last to first. A contact Outlook cannot answer for is left out;
// Outlook gone ends the read with nothing.
std::optional<QHash<QString, QString>> HMContactData::readOutlookContactTexts(QStringList &changedIds)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    QHash<QString, QString> texts;
    texts.reserve(changedIds.size());
    qint64 counter = 0;
    for (qsizetype i = changedIds.size() - 1; i >= 0; --i) {
        const QString outlookId = changedIds.at(i);
        std::optional<NSAppleScriptError> error;
        const NSAppleEventDescriptor result = HMOutlookSQLiteHelper::isDecimalId(outlookId)
            ? NSAppleScript(propertiesScript(outlookId)).executeAndReturnError(&error)
            : NSAppleEventDescriptor();
        if (error && error->isApplicationGone()) {
            failOutlookRead(QStringLiteral("Outlook did not answer while its contacts were read (%1); nothing was sent.")
                                .arg(error->number));
            return std::nullopt;
        }
        if (result.numberOfItems() < 1) {
            DDLogInfo(QStringLiteral("No properties found. Removing contact from modified list."));
            changedIds.removeAt(i);
            continue;
        }
        showProgress(sheet, QStringLiteral("Reading modified records %1").arg(++counter));
        if (!categoryHelper() && result.descriptorForKeyword(platform::fourCharCode("cCtg")).numberOfItems() > 0)
            setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
        const std::optional<std::pair<QString, QString>> text = contactText(result, categoryHelper());
        if (!text) {
            DDLogInfo(QStringLiteral("The reply for contact %1 lacks its id or its vCard; the contact is left out.").arg(outlookId));
            changedIds.removeAt(i);
            continue;
        }
        texts.insert(text->first, text->second);
    }
    return texts;
}

QList<HMSyncRecord> HMContactData::outlookChangedRecords(const QStringList &changedIds,
                                                         const QHash<QString, QString> &texts)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (changedIds.isEmpty())
        return {};
    const QVariantMap map = m_datFileHelper->dictionaryForContactDatFile().value_or(QVariantMap());
    QHash<QString, QString> deviceIdByOutlookId;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it.value().typeId() == QMetaType::QString && !deviceIdByOutlookId.contains(it.value().toString()))
            deviceIdByOutlookId.insert(it.value().toString(), it.key());
    }
    QList<HMSyncRecord> records;
    records.reserve(changedIds.size());
    const bool keepsOutlookId = m_isGoogleDirect || GlobalVariables::getIsWiFiSync();
    for (qsizetype i = 0; i < changedIds.size(); ++i) {
        const QString &outlookId = changedIds.at(i);
        showProgress(sheet, QStringLiteral("Reading %1 of %2 Outlook Contacts").arg(i + 1).arg(changedIds.size()));
        HMSyncRecord record;
        record.setIsDelete(false);
        const QString deviceId = deviceIdByOutlookId.value(outlookId);
        record.setIsNew(deviceId.isEmpty());
        record.setHmxUid(deviceId.isEmpty() ? newUid() : deviceId);
        if (keepsOutlookId)
            record.setOutlookUid(outlookId);
        m_currentContactsOutlookId = outlookId;
        m_currentContactsDeviceId = record.hmxUid();
        ++m_logCounter;
        record.setDictionary(pppDictionaryForOutlookContact(texts.value(outlookId)));
        addRecordAddedToDevice(record.hmxUid());
        if (record.isNew())
            uniqueIdsDictionary().insert(record.hmxUid(), outlookId);
        records.append(record);
    }
    return records;
}

std::optional<QStringList> HMContactData::deviceIdsGoneFromOutlook(bool showsProgress)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    const std::optional<QStringList> inOutlook = m_sqliteHelper->getListOfAllOutlookContactIds();
    if (!inOutlook) {
        // An unreadable list is no empty list: read as one, it would make every mapped contact a deletion.
        DDLogError(QStringLiteral("Outlook's contact ids could not be read; deletions are not looked for in this sync"));
        return std::nullopt;
    }
    const QSet<QString> present(inOutlook->cbegin(), inOutlook->cend());
    const QVariantMap map = m_datFileHelper->dictionaryForContactDatFile().value_or(QVariantMap());
    QStringList gone;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        if (it.key() == u"LastModified" || it.key() == u"ListCommandDate" || it.value().typeId() != QMetaType::QString)
            continue;
        if (showsProgress)
            showProgress(sheet, QStringLiteral("Cleaning up ..."));
        if (!present.contains(it.value().toString())) {
            gone.append(it.key());
            if (showsProgress)
                showProgress(sheet, QStringLiteral("Found contact deletion %1").arg(gone.size()));
        }
    }
    return gone;
}

std::optional<QList<HMSyncRecord>> HMContactData::outlookDeletionRecords(const QDateTime &date)
{
    showProgress(GlobalVariables::getCurrentSyncProgressController(), QStringLiteral("Checking for Outlook deletions"));
    const qint64 createdBefore = GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14"))
        ? m_sqliteHelper->getCountOfOutlookContactsCreatedPriorTo(date)
        : m_sqliteHelper->getCountOfOutlook15ContactsCreatedPriorTo(date);
    const qsizetype mapped = m_datFileHelper->getAllOutlookContactIdsInDatFile().size();
    if (createdBefore == mapped - m_contactsAddedToOutlookOnThisSync)
        return QList<HMSyncRecord>();
    const std::optional<QStringList> gone = deviceIdsGoneFromOutlook(true);
    if (!gone)
        return QList<HMSyncRecord>();
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : *gone) {
        HMSyncRecord record;
        record.setIsNew(false);
        record.setIsDelete(true);
        record.setHmxUid(deviceId);
        idsToDeleteArray().append(deviceId);
        deletions.append(record);
    }
    return deletions;
}

QStringList HMContactData::findDeletes(const QStringList &deviceIds)
{
    ensureOutlookHelpers();
    const QSet<QString> onDevice(deviceIds.cbegin(), deviceIds.cend());
    QStringList missing;
    for (const QString &deviceId : m_datFileHelper->getAllDeviceContactIdsInDatFile()) {
        if (!onDevice.contains(deviceId))
            missing.append(deviceId);
    }
    return missing;
}

void HMContactData::removeDeletedOutlookIdsFromDatFile()
{
    ensureOutlookHelpers();
    const std::optional<QStringList> gone = deviceIdsGoneFromOutlook(false);
    if (!gone || gone->isEmpty())
        return;
    HMOutlookDatFileHelper::Commit commit;
    commit.removals = *gone;
    if (!m_datFileHelper->commitChanges(HMOutlookDatFileHelper::Conduit::Contacts, commit))
        DDLogError(QStringLiteral("The contacts gone from Outlook could not be removed from the contact map"));
}

void HMContactData::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    const QString outlookId = uniqueIdsDictionary().value(temporaryId).toString();
    HMData::replaceTempId(temporaryId, permanentId);
    if (!GlobalVariables::getIsOutlookSync() || outlookId.isEmpty() || permanentId.isEmpty())
        return;
    if (!appendConfirmedPair(permanentId, outlookId))
        DDLogError(QStringLiteral("The confirmed pair of contact %1 could not be kept before the commit").arg(outlookId));
    else
        reachStep(OutlookStep::PairConfirmed);
}

QString HMContactData::outlookSentAddsPath()
{
    ensureOutlookHelpers();
    return m_datFileHelper->contactFilePath() + QStringLiteral(".sent");
}

QHash<QString, QString> HMContactData::outlookPairs()
{
    ensureOutlookHelpers();
    return contactIdBookkeeping().deviceIdsByOutlookId();
}

bool HMContactData::keepOutlookPairs(const QVariantMap &pairs)
{
    ensureOutlookHelpers();
    if (!mergeConfirmedPairs(pairs, {}, false))
        return false;
    // Contacts applied later in this run find these pairs.
    for (auto it = pairs.constBegin(); m_outlookApplyMap && it != pairs.constEnd(); ++it)
        m_outlookApplyMap->insert(it.key(), it.value().toString());
    return true;
}

bool HMContactData::forgetOutlookPairs(const QStringList &deviceIds)
{
    ensureOutlookHelpers();
    if (!mergeConfirmedPairs({}, deviceIds, false))
        return false;
    for (const QString &deviceId : deviceIds) {
        if (m_outlookApplyMap)
            m_outlookApplyMap->remove(deviceId);
    }
    return true;
}

bool HMContactData::appendConfirmedPair(const QString &deviceId, const QString &outlookId)
{
    return contactIdBookkeeping().appendConfirmedPair(deviceId, outlookId);
}

// The confirmed-pairs file, the given pairs and removals, and (stampDates) the dates of the read go
// into the map with one write; the file goes only once the map holds them.
bool HMContactData::mergeConfirmedPairs(const QVariantMap &more, const QStringList &removals, bool stampDates)
{
    const QDateTime listed =
        m_conduitLastListCommandReturned.isValid() ? m_conduitLastListCommandReturned : QDateTime::currentDateTimeUtc();
    // A Google run keeps Google's own list date in the map: only the Outlook date is the read's.
    const bool stampsListDate = stampDates && !GlobalVariables::getIsGoogleDirect();
    if (!contactIdBookkeeping().commit(more, removals, stampDates ? m_outlookReadStamp : QDateTime(),
                                       stampsListDate ? listed : QDateTime()))
        return false;
    reachStep(OutlookStep::MapCommitted);
    return true;
}

HMOutlookIdBookkeeping &HMContactData::contactIdBookkeeping()
{
    if (!m_datFileHelper)
        makeContactMapHelper();
    if (!m_contactIds)
        m_contactIds = std::make_shared<HMOutlookIdBookkeeping>(HMOutlookDatFileHelper::Conduit::Contacts, m_datFileHelper,
                                                                m_sqliteHelper);
    return *m_contactIds;
}

// YES: the new pairs, the removals of the sent deletions and the read's dates go into the map. NO:
// only the pairs the other side confirmed (it holds those contacts); the rest waits for the next
// read. Both lists start afresh either way.
void HMContactData::commitUniqueIds(bool wasSuccessful)
{
    if (!GlobalVariables::getIsOutlookSync())
        return;
    ensureOutlookHelpers();
    QStringList removals;
    for (const QVariant &deviceId : std::as_const(idsToDeleteArray()))
        removals.append(deviceId.toString());
    const bool merged = wasSuccessful ? mergeConfirmedPairs(uniqueIdsDictionary(), removals, m_hasDatesToCommit)
                                      : mergeConfirmedPairs({}, {}, false);
    if (!merged)
        m_saveFailure = QStringLiteral("The contact map could not be written.");
    if (wasSuccessful && merged)
        m_hasDatesToCommit = false;
    setUniqueIdsDictionary({});
    setIdsToDeleteArray({});
}

QStringList HMContactData::modifiedOutlookContactRecord(const QDateTime &date)
{
    ensureOutlookHelpers();
    const QString dateText = date.isValid()
        ? QLocale::system().toString(date.toLocalTime(), QStringLiteral("MMMM dd, yyyy 'at' hh:mm:ss AP"))
        : QStringLiteral("January 01, 1900 at 12:00:00 AM");
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    const QString selection = m_outlookProfile ? m_outlookProfile->outlookContactFolderSelection() : QString();
    const bool inFolder = !selection.isEmpty() && selection != u"allFolders";
    if (inFolder && !HMOutlookSQLiteHelper::isDecimalId(selection))
        return {};
    const QString script = inFolder
        ? QStringLiteral("tell application \"%1\"\nget the properties of every contact in folder id %2 whose "
                         "modification date > (date \"%3\")\nend tell")
              .arg(application, selection, dateText)
        : QStringLiteral("tell application \"%1\"\nget the properties of every contact whose modification date > "
                         "(date \"%2\")\nend tell")
              .arg(application, dateText);
    const NSAppleEventDescriptor result = NSAppleScript(script).executeAndReturnError();
    QStringList texts;
    for (qint64 i = 1; i <= result.numberOfItems(); ++i)
        texts.append(result.descriptorAtIndex(i).descriptorForKeyword(platform::fourCharCode("vCrd")).stringValue());
    return texts;
}
