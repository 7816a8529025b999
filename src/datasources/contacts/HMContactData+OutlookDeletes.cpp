// Contacts the other side deleted, deleted in Outlook and forgotten in the contact map, and the
// operations of the deletion warning (which a progress sheet could show; deletion never waits for it).
//
// The deletion loop is the Outlook conduit's: the map loses the deleted pairs with one write after the
// last deletion. A run killed before that write leaves pairs whose Outlook contacts are gone: the next
// read finds them as Outlook's deletions and the phone, which has deleted them already, is asked to
// again, which changes nothing.

#include "datasources/contacts/HMContactData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookConduit.h"

namespace {

constexpr qsizetype kAttentionDeletions = 20;

std::function<void()> &attentionRequester()
{
    static std::function<void()> requester;
    return requester;
}

} // namespace

void HMContactData::setAttentionRequester(std::function<void()> requester)
{
    attentionRequester() = std::move(requester);
}

void HMContactData::deleteOutlookUidRecords(const QStringList &deviceIds)
{
    if (deviceIds.size() <= 2)
        DDLogInfo(QStringLiteral("deleteOutlookUidRecords: (%1)").arg(deviceIds.join(QStringLiteral(", "))));
    else
        DDLogInfo(QStringLiteral("deleteOutlookUidRecords:"));
    m_progressShownObservers.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMSyncStatusProgressControllerWasShown"), nullptr,
        [this](const platform::Notification &) { syncStatusProgressControllerWasShown(); }));
    if (deviceIds.size() >= kAttentionDeletions && isCloudMethod() && attentionRequester())
        attentionRequester()();
    m_uidsToDeleteInOutlook = deviceIds;
    continueDeleting(deviceIds);
}

void HMContactData::continueDeleting(const QStringList &deviceIds)
{
    if (m_ignoreDeletes) {
        DDLogInfo(QStringLiteral("ignoreDeletes %1").arg(m_ignoreDeletes ? 1 : 0));
    } else {
        // The duplicate index forgets each contact as it goes: a later record of this sync is never
        // merged into a deleted one.
        outlookContacts().deleteOutlookRecords(deviceIds, nullptr, QStringLiteral("Deleting contact %1"),
                                               [this](const QString &outlookId) {
                                                   if (!outlookId.isEmpty() && m_outlookDupeCheck)
                                                       m_outlookDupeCheck->remove(outlookId);
                                               });
    }
    m_uidsToDeleteInOutlook.clear();
    GlobalVariables::setIsProcessingDeletes(false);
}

void HMContactData::deletionsWarningReceivedResponse(qint64 answer)
{
    if (answer != 1)
        m_ignoreDeletes = true;
    DDLogInfo(QStringLiteral("RESPONSE!!!! %1").arg(answer));
    if (m_deletionsWarningSemaphore)
        m_deletionsWarningSemaphore();
    continueDeleting(m_uidsToDeleteInOutlook);
}

void HMContactData::syncStatusProgressControllerWasShown()
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setDeletionsWarningDelegate(this);
    sheet->displayDeletionWarningWithMessage(m_deletionsWarningString);
}
