#pragma once

#include "sync/HMSyncRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <QtGlobal>

#include <optional>

class HMSyncClientDelegate;

// A transport: the object through which one sync run talks to the other side (the phone over Wi-Fi or
// USB, or the cloud service). The sync controller builds one per run, makes itself its delegate and
// calls it on the run's serial queue, one stage at a time; the transport starts each request and
// reports the outcome later through its delegate, from a thread of its own. Conduits are numbered 1
// contacts, 2 calendar, 3 tasks, 4 memos.
//
// Operations that a transport may lack answer std::nullopt from their default bodies: the controller
// then skips what they would do.
class HMSyncClient
{
public:
    virtual ~HMSyncClient() = default;

    // The controller that receives every reply; not owned. Set before the run starts and kept for the
    // transport's life, which ends with its controller.
    HMSyncClientDelegate *delegate() const { return m_delegate; }
    void setDelegate(HMSyncClientDelegate *delegate) { m_delegate = delegate; }

    // Whether the profile can be used at all; on false, message says why (it may stay empty).
    virtual bool verifyProfileIsValid(QString &message) = 0;
    // Each starts a request and answers whether it was started; the reply comes through the delegate:
    // logonCommandReturned, logoffCommandReturned, purgeCommandReturned, and the list pages with
    // listCommandReturnedWithDictionaries ended by listCommandFinishedSuccessful. A null date asks
    // for every record.
    virtual bool logon() = 0;
    virtual bool logoff() = 0;
    virtual bool purge(quint64 conduit) = 0;
    virtual bool listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince) = 0;
    // Record id to picture file path of the contact pictures fetched in this run.
    virtual QVariantMap getContactPhotos() = 0;
    virtual void clearContactPhotos() = 0;
    virtual bool sendPhoto(const QByteArray &photo) = 0;
    virtual void sendContactPhotos() = 0;
    // Sends the next batch of the list and returns only when that batch has been answered; while
    // batches remain it tells its delegate writeRemainOnUpdateConduit(true). Called on the run queue.
    virtual bool updateConduit(quint64 conduit, QList<HMSyncRecord> &records) = 0;
    virtual void resetSyncRecordListPartialCount() = 0;
    // Abandons the request in flight; the transport then reports didErrorWithError(2, ...) and
    // commandWasForceCancelled.
    virtual void forceCancel() = 0;
    virtual qint64 secondsDifference() const = 0;
    virtual void setSecondsDifference(qint64 seconds) = 0;

    // Prepares the transport; on false, error says why. std::nullopt: the transport needs no set-up.
    virtual std::optional<bool> setup(QString &error)
    {
        Q_UNUSED(error);
        return std::nullopt;
    }
    // Releases what set-up took; the controller ignores the answer. std::nullopt: nothing to release.
    virtual std::optional<bool> cleanup() { return std::nullopt; }
    // Starts reading the ids of every record of the conduit on the other side; they come through
    // setIdsForNonDeletedWiFiRecords and idListCommandReturnedWithDictionaries, the end through
    // listCommandFinishedSuccessful or idListCommandFinishedSuccessful(false). std::nullopt: the
    // transport cannot list ids, and the id-list stage passes.
    virtual std::optional<bool> idListForConduit(quint64 conduit)
    {
        Q_UNUSED(conduit);
        return std::nullopt;
    }

private:
    HMSyncClientDelegate *m_delegate = nullptr;
};
