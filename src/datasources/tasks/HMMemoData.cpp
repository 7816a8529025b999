// The memo data source's read side: the Outlook notes changed since the last sync read one at a time
// as memo records, Outlook's deletions found through the memo map, and the map kept in step once the
// other side has taken the records.
//
// An id listing Outlook could not answer is no empty folder: it deletes nothing and clears nothing.
// The map's "LastModified" moves only with the commit after the other side answered: a run killed
// earlier reads the same notes again.

#include "datasources/tasks/HMMemoData.h"

#include "datasources/calendar/HMCalendarData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookCategoryHelper.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <QFile>

using platform::NSAppleEventDescriptor;
using platform::NSAppleScript;
using platform::NSAppleScriptError;
using Conduit = HMOutlookDatFileHelper::Conduit;

namespace {

std::function<void(HMMemoData::MemoStep)> &stepHook()
{
    static std::function<void(HMMemoData::MemoStep)> hook;
    return hook;
}

void showProgress(const QString &text)
{
    if (const auto sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}

QString propertiesScript(const QString &outlookId)
{
    const QString application = HMOutlookSQLiteHelper::outlookApplicationReference();
    return QStringLiteral("tell application \"%1\"\nset theMemos to the properties of note id \"%2\" of application "
                          "\"%1\"\nreturn theMemos\nend tell")
        .arg(application, outlookId);
}

} // namespace

HMMemoData::HMMemoData()
    : m_outlookMemos(std::make_unique<HMOutlookConduit>(HMOutlookConduit::Conduit::Memos, QStringLiteral("note"), QStringLiteral("memo"),
                                                        [](MemoStep step) {
                                                            if (stepHook())
                                                                stepHook()(step);
                                                        }))
{
}

HMMemoData::~HMMemoData() = default;

void HMMemoData::registerDataSourceClass()
{
    HMDataConfigurationSource::registerDataSourceClass(QStringLiteral("HMMemoData"),
                                                       [] { return std::make_shared<HMMemoData>(); });
}

void HMMemoData::setMemoStepHook(std::function<void(MemoStep)> hook)
{
    stepHook() = std::move(hook);
}

void HMMemoData::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_outlookMemos->setProfile(std::move(profile));
    m_folderChecked = false;
}

// The conduit's bookkeeping; the default note folder chosen once when the profile names none.
HMOutlookConduit &HMMemoData::outlookMemos()
{
    if (!m_folderChecked && m_outlookMemos->profile()) {
        m_folderChecked = true;
        if (m_outlookMemos->profile()->outlookMemoFolderSelection().isEmpty())
            m_outlookMemos->outlook().setDefaultOutlookNotesFolder();
    }
    return *m_outlookMemos;
}

quint64 HMMemoData::profileSyncMethod() const
{
    const std::shared_ptr<HMProfile> &profile = m_outlookMemos->profile();
    return profile ? quint64(profile->syncMethod()) : 0;
}

// The selected note folder's id; empty for all folders or none chosen.
QString HMMemoData::memoFolder() const
{
    const std::shared_ptr<HMProfile> &profile = m_outlookMemos->profile();
    const QString folder = profile ? profile->outlookMemoFolderSelection() : QString();
    return folder == u"allFolders" ? QString() : folder;
}

std::optional<QList<HMSyncRecord>> HMMemoData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    DDLogInfo(QStringLiteral("Loading Outlook memos modified after %1").arg(date.toString(Qt::ISODate)));
    HMOutlookConduit &memos = outlookMemos();
    memos.beginRead();
    showProgress(QStringLiteral("Scanning Outlook notes for changes ..."));
    const std::optional<QStringList> changed = memos.outlook().getListOfMemoIdsModifiedAfter(date);
    if (!changed) {
        memos.failRead(QStringLiteral("Outlook's changed notes could not be listed; nothing was sent."));
        return std::nullopt;
    }
    QStringList candidates = memoCandidates(*changed, excludedHmUids);
    const std::optional<QHash<QString, QString>> texts = readMemoTexts(candidates);
    if (!texts)
        return std::nullopt;
    QList<HMSyncRecord> records = memoRecords(candidates, *texts);
    if (includeDeletes)
        records += memoDeletions();
    memos.readDone();
    return records;
}

// The changed ids, in order, less those of the notes the other side changed in this sync.
QStringList HMMemoData::memoCandidates(const QStringList &changed, const QSet<QString> &excludedHmUids)
{
    const QVariantMap map =
        excludedHmUids.isEmpty() ? QVariantMap() : outlookMemos().map().dictionaryForMemoDatFile().value_or(QVariantMap());
    QSet<QString> excluded;
    for (const QString &hmUid : excludedHmUids) {
        showProgress(QStringLiteral("Looking for changed records"));
        const QString outlookId = map.value(hmUid).toString();
        if (!outlookId.isEmpty())
            excluded.insert(outlookId);
    }
    QStringList candidates;
    for (qsizetype i = 0; i < changed.size(); ++i) {
        showProgress(QStringLiteral("Scanning Outlook notes for changes %1").arg(i + 1));
        if (!excluded.contains(changed.at(i)))
            candidates.append(changed.at(i));
    }
    showProgress(QStringLiteral("Scanning Outlook notes for changes ..."));
    return candidates;
}

// The note's id and its memo text up to "PLAINTEXTNOTE:"; nullopt when the reply lacks the id or the
// iCalendar text (a record built from nothing would blank the device's memo).
std::optional<std::pair<QString, QString>> HMMemoData::memoText(const NSAppleEventDescriptor &result)
{
    const QString id = result.descriptorForKeyword(platform::fourCharCode("ID  ")).stringValue();
    const QString iCal = result.descriptorForKeyword(platform::fourCharCode("iCal")).stringValue();
    if (id.isEmpty() || iCal.isNull()) {
        DDLogError(QStringLiteral("eventDescriptor (nil identifier) %1").arg(id));
        return std::nullopt;
    }
    const QString plain = result.descriptorForKeyword(platform::fourCharCode("PlTC")).stringValue();
    const NSAppleEventDescriptor list = result.descriptorForKeyword(platform::fourCharCode("cCtg"));
    QStringList categoryIds;
    for (qint64 i = 1; i <= list.numberOfItems(); ++i) {
        const QString categoryId = list.descriptorAtIndex(i).descriptorForKeyword(platform::Keyword::KeyData).stringValue();
        if (!categoryId.isEmpty())
            categoryIds.append(categoryId);
    }
    QString text = iCal;
    if (!categoryIds.isEmpty()) {
        if (!categoryHelper())
            setCategoryHelper(std::make_shared<HMOutlookCategoryHelper>());
        const QString names = categoryHelper()->categoryNameStringFromIdArray(categoryIds);
        if (!names.isEmpty())
            text = QStringLiteral("%1\nCATEGORIES:%2\n").arg(text, names);
    }
    text += QStringLiteral("PLAINTEXTNOTE:") + (plain.isNull() ? QStringLiteral("(null)") : plain);
    return std::make_pair(id, text);
}

// One properties script per note, last to first. A note Outlook cannot answer for is left out;
// Outlook gone ends the read with nothing.
std::optional<QHash<QString, QString>> HMMemoData::readMemoTexts(QStringList &candidates)
{
    QHash<QString, QString> texts;
    qint64 counter = 1;
    for (qsizetype i = candidates.size() - 1; i >= 0; --i) {
        std::optional<NSAppleScriptError> error;
        const NSAppleEventDescriptor result = HMOutlookSQLiteHelper::isDecimalId(candidates.at(i))
            ? NSAppleScript(propertiesScript(candidates.at(i))).executeAndReturnError(&error)
            : NSAppleEventDescriptor();
        if (error && error->isApplicationGone()) {
            outlookMemos().failRead(QStringLiteral("Outlook did not answer while its notes were read (%1); nothing was sent.").arg(error->number));
            return std::nullopt;
        }
        const std::optional<std::pair<QString, QString>> text =
            result.numberOfItems() < 1 ? std::nullopt : memoText(result);
        if (!text) {
            candidates.removeAt(i);
            continue;
        }
        showProgress(QStringLiteral("Reading modified record %1").arg(counter++));
        // Listed under its own id: the candidate id is what the map and the records use.
        texts.insert(candidates.at(i), text->second);
    }
    DDLogInfo(QStringLiteral("DONE WITH ARRAY! (%1 records)").arg(texts.size()));
    return texts;
}

QList<HMSyncRecord> HMMemoData::memoRecords(const QStringList &candidates, const QHash<QString, QString> &texts)
{
    const QHash<QString, QString> deviceIds = outlookMemos().pairs();
    QList<HMSyncRecord> records;
    records.reserve(candidates.size());
    for (qsizetype k = 0; k < candidates.size(); ++k) {
        showProgress(QStringLiteral("Sending note changes %1").arg(k + 1));
        const QString outlookId = candidates.at(k);
        const QString mapped = deviceIds.value(outlookId);
        const QString deviceId = mapped.isEmpty() ? newUid() : mapped;
        HMSyncRecord record;
        record.setIsNew(mapped.isEmpty());
        record.setIsDelete(false);
        record.setHmxUid(deviceId);
        record.setDictionary(pppDictionaryForOutlookMemo(QStringLiteral("%1\nOUTLOOKID:%2").arg(texts.value(outlookId), outlookId)));
        addRecordAddedToDevice(deviceId);
        if (record.isNew())
            uniqueIdsDictionary().insert(deviceId, outlookId);
        records.append(record);
    }
    return records;
}

QList<HMSyncRecord> HMMemoData::memoDeletions()
{
    showProgress(QStringLiteral("Checking for Outlook deletions"));
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : outlookMemos().deviceIdsGoneFromOutlook()) {
        HMSyncRecord record;
        record.setIsNew(false);
        record.setIsDelete(true);
        record.setHmxUid(deviceId);
        idsToDeleteArray().append(deviceId);
        DDLogInfo(QStringLiteral("Deleting Record '%1' on Device.").arg(deviceId));
        deletions.append(record);
    }
    return deletions;
}

// ---- The memo map --------------------------------------------------------------------------------

QDateTime HMMemoData::getOutlookLastModifiedDate()
{
    return outlookMemos().lastModifiedDate();
}

void HMMemoData::clearOutlookDatFile(const QString &)
{
    outlookMemos().clearMap();
}

void HMMemoData::writeConduitListReturned()
{
    outlookMemos().listCommandReturned();
}

void HMMemoData::saveOutlookChanges()
{
    outlookMemos().saveChanges();
}

QStringList HMMemoData::findDeletes(const QStringList &deviceIds)
{
    return outlookMemos().findDeletes(deviceIds);
}

void HMMemoData::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    outlookMemos().replaceTempId(*this, temporaryId, permanentId);
}

QString HMMemoData::outlookSentAddsPath()
{
    return outlookMemos().sentAddsPath();
}

QHash<QString, QString> HMMemoData::outlookPairs()
{
    return outlookMemos().pairs();
}

bool HMMemoData::keepOutlookPairs(const QVariantMap &pairs)
{
    return outlookMemos().keepPairs(pairs);
}

void HMMemoData::commitUniqueIds(bool wasSuccessful)
{
    outlookMemos().commitUniqueIds(*this, wasSuccessful);
}

void HMMemoData::deleteOutlookUidRecords(const QStringList &hmUids)
{
    DDLogInfo(QStringLiteral("uidList %1").arg(hmUids.join(u',')));
    if (!m_ignoreDeletes) {
        QVariantMap dupes = m_outlookDupeCheckDictionary.value_or(QVariantMap());
        outlookMemos().deleteOutlookRecords(hmUids, &dupes, QStringLiteral("Deleting note %1"));
        if (m_outlookDupeCheckDictionary)
            m_outlookDupeCheckDictionary = dupes;
    }
    GlobalVariables::setIsProcessingDeletes(false);
}
