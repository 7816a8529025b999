#pragma once

#include "platform/restkit/RKRequestDelegate.h"
#include "sync/HMSyncClient.h"
#include "sync/HMTransferProgress.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>

class HMSyncClientDelegate;

namespace platform {
class RKClient;
} // namespace platform

// What the transports that speak HTTP through the REST framework (the phone over Wi-Fi, the cloud
// service) share: a client that sends one request at a time, the progress of each request's body and
// reply turned into the delegate's calls, the clock difference to the other side, and the JSON text
// of a dictionary.
//
// The progress calls arrive on the framework's thread; each asks reportTo() for the delegate, so a
// transport that is going reports nothing.
class HMRestSyncClient : public HMSyncClient, public platform::RKRequestDelegate
{
public:
    ~HMRestSyncClient() override = default;
    HMRestSyncClient(const HMRestSyncClient &) = delete;
    HMRestSyncClient &operator=(const HMRestSyncClient &) = delete;

    qint64 secondsDifference() const override;
    void setSecondsDifference(qint64 seconds) override;

    // A client of the base URL that caches nothing and sends one request at a time.
    static std::shared_ptr<platform::RKClient> serialClientWithBaseURL(const QString &baseUrl);
    // The dictionary as the JSON parser writes it; the empty text when it cannot be written.
    static QString jsonStringFromDictionary(const QVariantMap &dictionary);

    // The request delegate's progress calls: the first starts the connection stage, the body and reply
    // counts go to the delegate as sending and receiving progress.
    void requestDidStartLoad(platform::RKRequest &request) override;
    void requestDidSendBodyData(platform::RKRequest &request, qint64 bytesWritten, qint64 totalBytesWritten,
                                qint64 totalBytesExpectedToWrite) override;
    void requestDidReceiveData(platform::RKRequest &request, qint64 bytesReceived, qint64 totalBytesReceived,
                               qint64 totalBytesExpectedToReceive) override;

protected:
    // Tells the delegate that the run was force cancelled: error 2 with the text "The sync was force
    // cancelled, data integrity is suspect.", then commandWasForceCancelled.
    static void reportForceCancelled(HMSyncClientDelegate &target);
    // Tells the delegate of a failed request that is no URL-loading failure: the REST framework's
    // time-out sets the cloud error status and is error 3 with the localised "synchronization_timeout";
    // any other code is error 6 without a text.
    static void reportRequestFailure(HMSyncClientDelegate &target, qint64 code);

    // The step text shown while a reply comes in (empty: no step shown). While a body goes out the
    // step reads "Receiving from Device...": the stage as the other side sees it.
    explicit HMRestSyncClient(QString receivingStepMessage);

    // The delegate, or nullptr once the transport is going.
    virtual HMSyncClientDelegate *reportTo() const = 0;

private:
    const QString m_receivingStepMessage;
    HMTransferProgress m_transferProgress;
    mutable std::mutex m_secondsMutex;
    qint64 m_secondsDifference = 0;
};
