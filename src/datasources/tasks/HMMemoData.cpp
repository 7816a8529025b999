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

HMMemoData::HMMemoData()
    : m_outlookMemos(std::make_unique<HMOutlookConduit>(HMOutlookConduit::Conduit::Memos, QStringLiteral("note"),
                                                        QStringLiteral("memo"), callOutlookStepHook<HMMemoData>))
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
    outlookStepHook<HMMemoData>() = std::move(hook);
}

void HMMemoData::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_outlookMemos->setProfile(std::move(profile));
    m_folderChecked = false;
}

HMOutlookConduit &HMMemoData::outlookMemos()
{
    return *m_outlookMemos;
}

// Once per run, at the listing or the first memo applied: the default note folder when the profile
// names none.
void HMMemoData::ensureMemoFolder()
{
    if (m_folderChecked || !m_outlookMemos->profile())
        return;
    m_folderChecked = true;
    if (m_outlookMemos->profile()->outlookMemoFolderSelection().isEmpty())
        m_outlookMemos->outlook().setDefaultOutlookNotesFolder();
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
    ensureMemoFolder();
    HMOutlookConduit &memos = outlookMemos();
    memos.beginRead();
    GlobalVariables::showSyncUserMessage(QStringLiteral("Scanning Outlook notes for changes ..."));
    const std::optional<QStringList> changed = memos.outlook().getListOfMemoIdsModifiedAfter(date);
    if (!changed) {
        memos.failRead(QStringLiteral("Outlook's changed notes could not be listed; nothing was sent."));
        return std::nullopt;
    }
    return memos.changedRecords(
        *this, *changed, excludedHmUids, QStringLiteral("theMemos"), false,
        [this](const QString &text, const QString &, const QString &) { return pppDictionaryForOutlookMemo(text); },
        includeDeletes);
}

// ---- The memo map --------------------------------------------------------------------------------

void HMMemoData::deleteOutlookUidRecords(const QStringList &hmUids)
{
    DDLogInfo(QStringLiteral("uidList %1").arg(hmUids.join(u',')));
    if (!m_ignoreDeletes) {
        QVariantMap dupes = m_outlookDuplicates ? m_outlookDuplicates->idMap() : QVariantMap();
        outlookMemos().deleteOutlookRecords(hmUids, &dupes, QStringLiteral("Deleting note %1"));
        if (m_outlookDuplicates)
            m_outlookDuplicates->keepOnly(dupes);
    }
    GlobalVariables::setIsProcessingDeletes(false);
}
