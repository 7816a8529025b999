#include "sync/HMRestSyncClient.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/PlatformError.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKParserRegistry.h"
#include "sync/HMSyncClientDelegate.h"

#include <utility>

using platform::RKRequest;

HMRestSyncClient::HMRestSyncClient(QString receivingStepMessage)
    : m_receivingStepMessage(std::move(receivingStepMessage))
{
}

qint64 HMRestSyncClient::secondsDifference() const
{
    return platform::lockedCopy(m_secondsMutex, m_secondsDifference);
}

void HMRestSyncClient::setSecondsDifference(qint64 seconds)
{
    platform::lockedAssign(m_secondsMutex, m_secondsDifference, seconds);
}

QString HMRestSyncClient::jsonStringFromDictionary(const QVariantMap &dictionary)
{
    const platform::RKParser *parser =
        platform::RKParserRegistry::sharedRegistry().parserForMIMEType(QString::fromLatin1(platform::RKMIMETypeJSON));
    if (parser == nullptr)
        return QString();
    platform::PlatformError error;
    const QString text = parser->stringFromObject(dictionary, &error);
    if (!error.isNull()) {
        DDLogError(QStringLiteral("Error parsing json: %1").arg(error.localizedDescription()));
        return QString();
    }
    return text;
}

std::shared_ptr<platform::RKClient> HMRestSyncClient::serialClientWithBaseURL(const QString &baseUrl)
{
    std::shared_ptr<platform::RKClient> client = platform::RKClient::clientWithBaseURL(baseUrl);
    client->setCachePolicy(platform::RKRequestCachePolicy::None);
    client->requestQueue().setConcurrentRequestsLimit(1);
    return client;
}

void HMRestSyncClient::reportForceCancelled(HMSyncClientDelegate &target)
{
    target.didErrorWithError(2, QStringLiteral("The sync was force cancelled, data integrity is suspect."));
    target.commandWasForceCancelled();
}

void HMRestSyncClient::reportRequestFailure(HMSyncClientDelegate &target, qint64 code)
{
    if (code == platform::RKRequestConnectionTimeoutError) {
        GlobalVariables::setQuillnestErrorStatus(true);
        target.didErrorWithError(3, platform::localized("synchronization_timeout"));
    } else {
        target.didErrorWithError(6, QString());
    }
}

void HMRestSyncClient::requestDidStartLoad(RKRequest &request)
{
    Q_UNUSED(request);
    if (HMSyncClientDelegate *target = reportTo())
        target->didStartConnecting();
}

void HMRestSyncClient::requestDidSendBodyData(RKRequest &, qint64, qint64 totalBytesWritten,
                                              qint64 totalBytesExpectedToWrite)
{
    if (HMSyncClientDelegate *target = reportTo())
        m_transferProgress.bodySent(*target, totalBytesWritten, totalBytesExpectedToWrite,
                                    QStringLiteral("Receiving from Device..."));
}

void HMRestSyncClient::requestDidReceiveData(RKRequest &, qint64, qint64 totalBytesReceived,
                                             qint64 totalBytesExpectedToReceive)
{
    if (HMSyncClientDelegate *target = reportTo())
        m_transferProgress.replyReceived(*target, totalBytesReceived, totalBytesExpectedToReceive,
                                         m_receivingStepMessage);
}
