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

HMMemoData::HMMemoData() = default;
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

void HMMemoData::reachStep(MemoStep step)
{
    if (stepHook())
        stepHook()(step);
}

void HMMemoData::ensureOutlookHelpers()
{
    if (!m_profile) {
        if (const auto controller = GlobalVariables::getCurrentProfileController())
            m_profile = controller->selectedProfile();
    }
    if (!m_sqliteHelper) {
        m_sqliteHelper = std::make_shared<HMOutlookSQLiteHelper>();
        m_sqliteHelper->setProfile(m_profile);
        m_sqliteHelper->setSqliteFile();
        if (m_profile && m_profile->outlookMemoFolderSelection().isEmpty())
            m_sqliteHelper->setDefaultOutlookNotesFolder();
    }
    if (!m_datFileHelper)
        m_datFileHelper = std::make_shared<HMOutlookDatFileHelper>();
    if (!m_outlookIds) {
        m_outlookIds = std::make_shared<HMOutlookIdBookkeeping>(Conduit::Memos, m_datFileHelper, m_sqliteHelper);
        // Pairs the other side confirmed before a killed run could commit them join the map first.
        if (!m_outlookIds->recoverConfirmedPairs())
            DDLogError(QStringLiteral("The confirmed memo pairs could not be merged into the memo map"));
    }
}

quint64 HMMemoData::profileSyncMethod() const
{
    return m_profile ? quint64(m_profile->syncMethod()) : 0;
}

// The selected note folder's id; empty for all folders or none chosen.
QString HMMemoData::memoFolder() const
{
    const QString folder = m_profile ? m_profile->outlookMemoFolderSelection() : QString();
    return folder == u"allFolders" ? QString() : folder;
}

void HMMemoData::fail(const QString &reason)
{
    DDLogError(reason);
    m_outlookFailure = reason;
}

std::optional<QList<HMSyncRecord>> HMMemoData::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    m_outlookFailure.clear();
    m_readFailed = false;
    DDLogInfo(QStringLiteral("Loading Outlook memos modified after %1").arg(date.toString(Qt::ISODate)));
    ensureOutlookHelpers();
    // Outlook's dates are whole seconds: the read begins in a later second than this run's last write.
    hmoutlook::waitPastSecondOf(m_lastOutlookWrite);
    const QDateTime started = QDateTime::currentDateTimeUtc();
    showProgress(QStringLiteral("Scanning Outlook notes for changes ..."));
    const std::optional<QStringList> changed = m_sqliteHelper->getListOfMemoIdsModifiedAfter(date);
    if (!changed) {
        m_readFailed = true;
        fail(QStringLiteral("Outlook's changed notes could not be listed; nothing was sent."));
        return std::nullopt;
    }
    QStringList candidates = memoCandidates(*changed, excludedHmUids);
    const std::optional<QHash<QString, QString>> texts = readMemoTexts(candidates);
    if (!texts)
        return std::nullopt;
    QList<HMSyncRecord> records = memoRecords(candidates, *texts);
    if (includeDeletes)
        records += memoDeletions();
    // Whole seconds, less one: an edit made in the second the read began still counts as later. The
    // map stores its dates one second later than given, hence two.
    m_readStamp = QDateTime::fromSecsSinceEpoch(started.toSecsSinceEpoch() - 2, Qt::UTC);
    m_hasDatesToCommit = true;
    reachStep(MemoStep::ReadDone);
    return records;
}

// The changed ids, in order, less those of the notes the other side changed in this sync.
QStringList HMMemoData::memoCandidates(const QStringList &changed, const QSet<QString> &excludedHmUids)
{
    const QVariantMap map =
        excludedHmUids.isEmpty() ? QVariantMap() : m_datFileHelper->dictionaryForMemoDatFile().value_or(QVariantMap());
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
            m_readFailed = true;
            fail(QStringLiteral("Outlook did not answer while its notes were read (%1); nothing was sent.").arg(error->number));
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
    const QHash<QString, QString> deviceIds = m_outlookIds->deviceIdsByOutlookId();
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
    const std::optional<QStringList> gone = m_outlookIds->deviceIdsGoneFromOutlook();
    if (!gone) {
        DDLogError(QStringLiteral("Outlook's note ids could not be read; no memo is deleted on the device."));
        return {};
    }
    QList<HMSyncRecord> deletions;
    for (const QString &deviceId : *gone) {
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
    ensureOutlookHelpers();
    return m_datFileHelper->getLastModifiedDateMemos();
}

void HMMemoData::clearOutlookDatFile(const QString &)
{
    ensureOutlookHelpers();
    QFile::remove(m_outlookIds->confirmedPairsPath());
    if (!m_datFileHelper->clearDatFile(QStringLiteral("Memos"))) {
        m_readFailed = true;
        fail(QStringLiteral("The memo map could not be cleared."));
    }
}

void HMMemoData::writeConduitListReturned()
{
    m_conduitLastListCommandReturned = QDateTime::currentDateTimeUtc();
}

// Called right after the read: the dates wait for the commit after a read, are written at once
// without one, and never after a failed read.
void HMMemoData::saveOutlookChanges()
{
    ensureOutlookHelpers();
    if (m_hasDatesToCommit || m_readFailed)
        return;
    if (!m_outlookIds->commitDatesWithoutRead(m_conduitLastListCommandReturned))
        m_outlookFailure = QStringLiteral("The memo map's dates could not be written.");
}

QStringList HMMemoData::findDeletes(const QStringList &deviceIds)
{
    ensureOutlookHelpers();
    return m_outlookIds->findDeletes(deviceIds);
}

void HMMemoData::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    const QString outlookId = uniqueIdsDictionary().value(temporaryId).toString();
    HMData::replaceTempId(temporaryId, permanentId);
    if (!GlobalVariables::getIsOutlookSync() || outlookId.isEmpty() || permanentId.isEmpty())
        return;
    ensureOutlookHelpers();
    if (!m_outlookIds->appendConfirmedPair(permanentId, outlookId))
        DDLogError(QStringLiteral("The confirmed pair of note %1 could not be kept before the commit").arg(outlookId));
    else
        reachStep(MemoStep::PairConfirmed);
}

QString HMMemoData::outlookSentAddsPath()
{
    ensureOutlookHelpers();
    return m_datFileHelper->memoFilePath() + QStringLiteral(".sent");
}

QHash<QString, QString> HMMemoData::outlookPairs()
{
    ensureOutlookHelpers();
    return m_outlookIds->deviceIdsByOutlookId();
}

bool HMMemoData::keepOutlookPairs(const QVariantMap &pairs)
{
    ensureOutlookHelpers();
    return m_outlookIds->commit(pairs, {}, {}, {});
}

// YES: the new pairs, the removals of the sent deletions and the read's dates go into the map. NO:
// only the pairs the other side confirmed; the rest waits for the next read.
void HMMemoData::commitUniqueIds(bool wasSuccessful)
{
    if (!GlobalVariables::getIsOutlookSync())
        return;
    ensureOutlookHelpers();
    const bool merged = m_outlookIds->commitSync(wasSuccessful, uniqueIdsDictionary(), idsToDeleteArray(),
                                                 m_hasDatesToCommit ? m_readStamp : QDateTime(),
                                                 m_conduitLastListCommandReturned);
    if (!merged)
        m_outlookFailure = QStringLiteral("The memo map could not be written.");
    else
        reachStep(MemoStep::MapCommitted);
    if (wasSuccessful && merged)
        m_hasDatesToCommit = false;
    setUniqueIdsDictionary({});
    setIdsToDeleteArray({});
}

void HMMemoData::deleteOutlookUidRecords(const QStringList &hmUids)
{
    DDLogInfo(QStringLiteral("uidList %1").arg(hmUids.join(u',')));
    ensureOutlookHelpers();
    if (!m_ignoreDeletes) {
        QVariantMap dupes = m_outlookDupeCheckDictionary.value_or(QVariantMap());
        m_outlookIds->deleteOutlookRecords(hmUids, &dupes, [](qint64 deleted) {
            showProgress(QStringLiteral("Deleting note %1").arg(deleted));
        });
        if (m_outlookDupeCheckDictionary)
            m_outlookDupeCheckDictionary = dupes;
    }
    GlobalVariables::setIsProcessingDeletes(false);
}
