// The contacts data source over Outlook: the contacts changed since the last sync read as sync
// records, Outlook's deletions found through the contact map, and the map kept in step once the
// other side has taken the records.
//
// The contact map is kept by the shared Outlook conduit bookkeeping (HMOutlookConduit): pairs the other
// side confirmed are kept aside as they arrive and merged into the map with one write at the commit, or
// by the next run when this one was killed first; the map's "LastModified" moves only with that commit,
// to when the read began.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/applescript/NSAppleScript.h"
#include "sync/HMProfile.h"

#include <QLocale>

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

// The contact crash tests name every write of the map a commit: pairs merged outside the sync's commit
// count as one.
void reachContactStep(HMContactData::OutlookStep step)
{
    reachStep(step == HMContactData::OutlookStep::PairsMerged ? HMContactData::OutlookStep::MapCommitted : step);
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

void HMContactData::setOutlookProfile(std::shared_ptr<HMProfile> profile)
{
    outlookContacts().setProfile(std::move(profile));
}

// A data source serves one run: the contact map is read once and kept, this run's reads answering the
// copy its own writes keep current. A run killed after the other side confirmed new contacts and
// before their commit left them aside: they join the map before anything reads it.
HMOutlookConduit &HMContactData::outlookContacts()
{
    if (!m_outlookContacts) {
        m_outlookContacts = std::make_unique<HMOutlookConduit>(HMOutlookDatFileHelper::Conduit::Contacts, QStringLiteral("contact"),
                                                               QStringLiteral("contact"), reachContactStep,
                                                               HMOutlookConduit::MapReads::OncePerRun);
    }
    return *m_outlookContacts;
}

void HMContactData::ensureOutlookHelpers()
{
    outlookContacts().ids();
}

HMOutlookSQLiteHelper &HMContactData::outlookReader()
{
    ensureOutlookHelpers();
    return outlookContacts().outlook();
}

HMOutlookDatFileHelper &HMContactData::contactMap()
{
    ensureOutlookHelpers();
    return outlookContacts().map();
}

QString HMContactData::outlookContactFolderSelection()
{
    const std::shared_ptr<HMProfile> &profile = outlookContacts().profile();
    return profile ? profile->outlookContactFolderSelection() : QString();
}

void HMContactData::useDefaultOutlookContactFolderIfNoneChosen()
{
    if (outlookContacts().profile() && outlookContactFolderSelection().isEmpty())
        outlookReader().setDefaultOutlookContactFolder();
}

QString HMContactData::saveFailure() const
{
    return m_outlookContacts && !m_outlookContacts->failure().isEmpty() ? m_outlookContacts->failure() : m_saveFailure;
}

// The controller calls this right after the read, before the records go out: after a read the dates
// wait for the commit; without one (the update left out) they are written at once; after a failed
// read never.

void HMContactData::failOutlookRead(const QString &reason)
{
    outlookContacts().failRead(reason);
}

std::optional<QList<HMSyncRecord>> HMContactData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    // Outlook's dates are whole seconds and the map's date a second before the read began: the read
    // begins in a later second than this run's last write to Outlook, or that write would be read back.
    outlookContacts().beginRead();
    useDefaultOutlookContactFolderIfNoneChosen();
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
    outlookContacts().readDone();
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
                                                     : contactMap().dictionaryForContactDatFile().value_or(QVariantMap());
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
        const std::optional<qint64> changed = outlookReader().getCountOfOutlook15ContactsModifiedAfter(date);
        if (changed && *changed == 0) {
            DDLogInfo(QStringLiteral("No Outlook contact changed since %1: the contacts are not listed")
                          .arg(date.toString(Qt::ISODate)));
            return QStringList();
        }
    }
    return outlookReader().getListOfContactIdsModifiedAfter(date);
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
    const QHash<QString, QString> deviceIdByOutlookId = outlookContacts().pairs();
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

std::optional<QList<HMSyncRecord>> HMContactData::outlookDeletionRecords(const QDateTime &date)
{
    showProgress(GlobalVariables::getCurrentSyncProgressController(), QStringLiteral("Checking for Outlook deletions"));
    const qint64 createdBefore = GlobalVariables::getOutlookVersionNumber().startsWith(QLatin1String("14"))
        ? outlookReader().getCountOfOutlookContactsCreatedPriorTo(date)
        : outlookReader().getCountOfOutlook15ContactsCreatedPriorTo(date);
    const qsizetype mapped = contactMap().getAllOutlookContactIdsInDatFile().size();
    if (createdBefore == mapped - m_contactsAddedToOutlookOnThisSync)
        return QList<HMSyncRecord>();
    showProgress(GlobalVariables::getCurrentSyncProgressController(), QStringLiteral("Cleaning up ..."));
    // Outlook's ids unread: no deletions (logged).
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : outlookContacts().deviceIdsGoneFromOutlook()) {
        showProgress(GlobalVariables::getCurrentSyncProgressController(),
                     QStringLiteral("Found contact deletion %1").arg(deletions.size() + 1));
        HMSyncRecord record;
        record.setIsNew(false);
        record.setIsDelete(true);
        record.setHmxUid(deviceId);
        idsToDeleteArray().append(deviceId);
        deletions.append(record);
    }
    return deletions;
}

void HMContactData::removeDeletedOutlookIdsFromDatFile()
{
    outlookContacts().ids().removeDeletedOutlookIdsFromDatFile();
}

QStringList HMContactData::modifiedOutlookContactRecord(const QDateTime &date)
{
    const QString dateText = date.isValid()
        ? QLocale::system().toString(date.toLocalTime(), QStringLiteral("MMMM dd, yyyy 'at' hh:mm:ss AP"))
        : QStringLiteral("January 01, 1900 at 12:00:00 AM");
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    const QString selection = outlookContactFolderSelection();
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
