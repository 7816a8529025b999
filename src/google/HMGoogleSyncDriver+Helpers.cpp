// Small operations the Google writers share.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/HMTextValues.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/HMGoogleSync.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"

QString HMGoogleSyncDriver::correctedString(const QVariant &value)
{
    QString text = unescapedTextValue(value);
    text.replace(QStringLiteral("\\n"), QStringLiteral("\r\n"));
    text.replace(QStringLiteral("<br>"), QStringLiteral("\r\n"));
    return text;
}

std::optional<QList<HMSyncRecord>> HMGoogleSyncDriver::outlookChangesToSend(HMData &data, const QString &storeName)
{
    const bool rereads = m_profile && m_profile->rereadAppleOnNextSync();
    const QDateTime since = rereads ? QDateTime() : data.getOutlookLastModifiedDate();
    std::optional<QList<HMSyncRecord>> records =
        data.syncOutlookRecordObjectsModifiedAfter(since, true, idsToExclude());
    if (!records)
        cancelSyncWithError(
            QStringLiteral("Outlook's %1 could not be read; nothing was sent to Google.").arg(storeName));
    return records;
}

void HMGoogleSyncDriver::showProgress(const QString &text, double progress)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text, progress);
}

// The start of reading a conduit from Outlook ("calendar", "tasks", "contacts"): its progress shown;
// false, the sync ended with an error, when the conduit's Outlook data cannot be reached.
bool HMGoogleSyncDriver::showsOutlookReading(bool reachable, const QString &what, double progress)
{
    showProgress(QStringLiteral("Reading Outlook %1").arg(what), progress);
    if (reachable)
        return true;
    cancelSyncWithError(QStringLiteral("Outlook's %1 cannot be reached.").arg(what));
    return false;
}

void HMGoogleSyncDriver::showText(const QString &text)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text);
}

void HMGoogleSyncDriver::initializeRKSyncClient()
{
    makeClient(googlehosts::apiHost());
}

void HMGoogleSyncDriver::checkForEndContactUpdates()
{
    if (stopsForCancel())
        return;
    DDLogVerbose(QStringLiteral("checkForEndContactUpdates %1").arg(m_responseCounter));
    const auto sheet = GlobalVariables::getCurrentSyncProgressController();
    if (m_contactInsertCounter >= m_responseCounter && sheet)
        sheet->setUserMessageDirectly(
            QStringLiteral("Saving contact changes to Google %1").arg(m_contactInsertCounter - m_responseCounter));
    if (m_responseCounter > 0)
        after(1.0, [](HMGoogleSyncDriver &driver) { driver.checkForEndContactUpdates(); });
    else
        sendContactPhotos();
}

// An update answered 404 or 410: Google no longer holds the entry the pair names (deleted there, the
// deletion not applied here). Sent again it would be refused at every sync, so the pair goes: the
// batch counts as not wholly answered, the Outlook date stays, and the next read lists the Outlook
// record as new. Whether the answer was such a one.
bool HMGoogleSyncDriver::forgetsPairGoneFromGoogle(HMData &data, const QString &deviceId, int status)
{
    if (status != 404 && status != 410)
        return false;
    DDLogInfo(QStringLiteral("Google no longer holds %1 (HTTP %2); it is sent as new at the next sync").arg(deviceId).arg(status));
    if (!data.forgetOutlookPairs({deviceId}))
        DDLogError(QStringLiteral("The pair of %1 could not be dropped; it is sent again at the next sync").arg(deviceId));
    return true;
}

std::optional<QVariant> HMGoogleSyncDriver::dictionaryForJsonString(const QString &text)
{
    const std::optional<QVariant> value = HMGoogleSync::dictionaryForJsonString(text.toUtf8());
    if (!value || value->typeId() != QMetaType::QVariantMap)
        DDLogInfo(QStringLiteral("This object is not a dictionary!"));
    return value;
}

QString HMGoogleSyncDriver::jsonStringFromDictionary(const QVariantMap &dictionary)
{
    return HMGoogleSync::jsonStringFromDictionary(dictionary);
}
