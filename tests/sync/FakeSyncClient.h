#pragma once

#include "sync/HMSyncClient.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {
class DispatchQueue;
}

// The requests a transport receives.
enum class FakeCall { Setup, Logon, Purge, IdList, List, Update, Logoff, Cleanup };

// How the fake transport answers one kind of request.
enum class FakeAnswer {
    Succeed,     // replies with success
    RefuseCall,  // the call itself answers false (the request was not started)
    ReplyNo,     // replies with the NO form of the reply callback
    ReportError, // reports didErrorWithError with the script's code and text, then commandErroredStopProcessing
    Silent,      // never replies; a force cancel makes it report the cancel
};

// What the other side answers, request by request.
struct FakeTransportScript
{
    QHash<FakeCall, FakeAnswer> answers;
    quint64 errorCode = 6;
    QString errorText = QStringLiteral("The device refused the request.");
    QString cancelText = QStringLiteral("The request was cancelled.");
    QVariantMap logonReply;
    // Per conduit, the pages of records the list request returns (none: it just finishes).
    QMap<quint64, QList<QList<QVariantMap>>> listPages;
    // Per conduit, the ids the id-list request returns.
    QMap<quint64, QList<QVariantMap>> idLists;
    bool hasSetup = true;
    bool hasCleanup = true;
    bool hasIdList = true;
    // Update batches hold at most this many records, as the phone takes them.
    qsizetype updateBatchSize = 100;
    // The batch, counted from 1 within a conduit, whose reply is "FAIL"; 0 for none.
    int failingUpdateBatch = 0;
    // After a failed batch, go on with the remaining batches and end with a success, as the phone
    // transport once did; otherwise stop the conduit's batches there.
    bool continuesAfterFailedBatch = false;
    // Also report each assigned id at once with updateTempWiFiId, as the phone does for Outlook.
    bool reportsTemporaryIds = false;
    // After the contacts' last batch, ask for the photo step (as the cloud transport does) and end the
    // conduit's update only when the photos have been sent.
    bool asksForContactPhotos = false;
    // Runs on the run queue inside each request, after the transport reported that it is waiting for
    // the reply and before the reply is sent: the place to cancel a run in the middle of a stage.
    std::function<void(FakeCall call, quint64 conduit)> onCall;
};

// A transport that plays the other side from a script. It answers like a real one: the request is
// started on the run queue, the state callbacks follow it, and the reply arrives later from a thread
// of its own (a serial queue of the fake), never from the run queue.
class FakeSyncClient final : public HMSyncClient
{
public:
    explicit FakeSyncClient(FakeTransportScript script);
    ~FakeSyncClient() override;

    // Every request received, in order: "logon", "list A", "update D", ... Thread-safe.
    QStringList calls() const;
    int forceCancelCount() const;
    // Waits until every reply scheduled so far has been delivered.
    void drainReplies();

    bool verifyProfileIsValid(QString &message) override;
    bool logon() override;
    bool logoff() override;
    bool purge(quint64 conduit) override;
    bool listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince) override;
    QVariantMap getContactPhotos() override { return {}; }
    void clearContactPhotos() override {}
    bool sendPhoto(const QByteArray &) override { return false; }
    void sendContactPhotos() override;
    bool updateConduit(quint64 conduit, QList<HMSyncRecord> &records) override;
    void resetSyncRecordListPartialCount() override;
    void forceCancel() override;
    qint64 secondsDifference() const override { return 0; }
    void setSecondsDifference(qint64) override {}
    std::optional<bool> setup(QString &error) override;
    std::optional<bool> cleanup() override;
    std::optional<bool> idListForConduit(quint64 conduit) override;

    // The last "modified since" date of each conduit's list request.
    QDateTime listModifiedSince(quint64 conduit) const;
    // Every record sent with updateConduit, per conduit, in sending order, and the batch sizes.
    QList<HMSyncRecord> sentRecords(quint64 conduit) const;
    QList<qsizetype> updateBatchSizes(quint64 conduit) const;
    // The device ids the fake assigned to new records: temporary id to device id.
    QVariantMap assignedIds() const;
    // How often the controller asked for the contact photos to be sent.
    int contactPhotoRequests() const { return m_contactPhotoRequests; }

private:
    using Reply = std::function<void(HMSyncClientDelegate &delegate)>;
    // Records the call, reports the request's states, runs the script's hook and answers how the
    // script wants the request handled.
    FakeAnswer begin(FakeCall call, quint64 conduit, const QString &name);
    // Sends the reply from the fake's own thread; a cancelled request reports the cancel instead.
    // done, when given, runs after the reply whatever it was (a cancel report included).
    void reply(Reply success, Reply failure, std::function<void()> done = {});
    // Sends the next batch of the list and waits for its reply, as the phone transport does.
    bool sendUpdateBatch(quint64 conduit, const QList<HMSyncRecord> &records);
    void replyError();
    // Carries out the script's answer: success or refusal replies, an error report, silence, or a
    // call that answers false.
    bool answer(FakeAnswer answer, Reply success, Reply refusal);

    FakeTransportScript m_script;
    std::shared_ptr<platform::DispatchQueue> m_replyQueue;
    mutable std::mutex m_mutex;
    QStringList m_calls;
    QMap<quint64, QDateTime> m_listModifiedSince;
    int m_forceCancelCount = 0;
    QMap<quint64, QList<HMSyncRecord>> m_sentRecords;
    QMap<quint64, QList<qsizetype>> m_updateBatchSizes;
    QVariantMap m_assignedIds;
    qsizetype m_updatePosition = 0;
    int m_updateBatch = 0;
    std::atomic<bool> m_awaitsContactPhotos = false;
    std::atomic<int> m_contactPhotoRequests = 0;
    qint64 m_idsAssignedInConduit = 0;
    bool m_requestPending = false;
    bool m_replyScheduled = false;
    bool m_cancelled = false;
};
