// Small operations the Google writers share.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/HMTextValues.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/HMGoogleSync.h"

QString HMGoogleSyncDriver::correctedString(const QVariant &value)
{
    QString text = unescapedTextValue(value);
    text.replace(QStringLiteral("\\n"), QStringLiteral("\r\n"));
    text.replace(QStringLiteral("<br>"), QStringLiteral("\r\n"));
    return text;
}

void HMGoogleSyncDriver::showProgress(const QString &text, double progress)
{
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(text, progress);
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
    if (m_shouldCancel->load()) {
        cancelSync();
        return;
    }
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
