#include "FakeSyncClient.h"

#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "sync/HMSyncClientDelegate.h"

namespace {

QString letterOf(quint64 conduit)
{
    static const char *const letters[] = {"-", "A", "D", "T", "M"};
    return QLatin1String(conduit <= 4 ? letters[conduit] : "?");
}

} // namespace

FakeSyncClient::FakeSyncClient(FakeTransportScript script)
    : m_script(std::move(script)), m_replyQueue(platform::DispatchQueue::createSerial(QStringLiteral("fake.transport")))
{
}

FakeSyncClient::~FakeSyncClient()
{
    // Replies still queued refer to this transport.
    drainReplies();
}

QStringList FakeSyncClient::calls() const
{
    const std::lock_guard lock(m_mutex);
    return m_calls;
}

int FakeSyncClient::forceCancelCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_forceCancelCount;
}

QDateTime FakeSyncClient::listModifiedSince(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_listModifiedSince.value(conduit);
}

void FakeSyncClient::drainReplies()
{
    m_replyQueue->sync([] {});
}

FakeAnswer FakeSyncClient::begin(FakeCall call, quint64 conduit, const QString &name)
{
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(name);
        m_requestPending = true;
        m_cancelled = false;
    }
    const FakeAnswer answer = m_script.answers.value(call, FakeAnswer::Succeed);
    if (answer != FakeAnswer::RefuseCall && delegate()) {
        delegate()->didStartConnecting();
        delegate()->didStartSending();
        delegate()->didFinishSending();
    }
    if (m_script.onCall)
        m_script.onCall(call, conduit);
    return answer;
}

void FakeSyncClient::reply(Reply success, Reply failure, std::function<void()> done)
{
    {
        const std::lock_guard lock(m_mutex);
        m_replyScheduled = true;
    }
    m_replyQueue->async([this, success = std::move(success), failure = std::move(failure), done = std::move(done)] {
        struct AfterReply
        {
            const std::function<void()> &done;
            ~AfterReply()
            {
                if (done)
                    done();
            }
        } afterReply{done};
        bool cancelled = false;
        {
            const std::lock_guard lock(m_mutex);
            // A request answers once: the cancel report of a force cancel replaces its reply.
            if (!m_requestPending)
                return;
            cancelled = m_cancelled;
            m_requestPending = false;
            m_replyScheduled = false;
        }
        HMSyncClientDelegate *receiver = delegate();
        if (!receiver)
            return;
        receiver->didStartReceiving();
        receiver->didFinishReceiving();
        if (cancelled) {
            receiver->didErrorWithError(2, m_script.cancelText);
            receiver->commandWasForceCancelled();
            return;
        }
        if (success)
            success(*receiver);
        else
            failure(*receiver);
    });
}

void FakeSyncClient::replyError()
{
    const quint64 code = m_script.errorCode;
    const QString text = m_script.errorText;
    reply(nullptr, [code, text](HMSyncClientDelegate &receiver) {
        GlobalVariables::setQuillnestErrorStatus(true);
        receiver.didErrorWithError(code, text);
        receiver.commandErroredStopProcessing();
    });
}

bool FakeSyncClient::verifyProfileIsValid(QString &)
{
    return true;
}

std::optional<bool> FakeSyncClient::setup(QString &error)
{
    if (!m_script.hasSetup)
        return std::nullopt;
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(QStringLiteral("setup"));
    }
    GlobalVariables::setQuillnestErrorStatus(false);
    if (m_script.onCall)
        m_script.onCall(FakeCall::Setup, 0);
    const FakeAnswer answer = m_script.answers.value(FakeCall::Setup, FakeAnswer::Succeed);
    if (answer == FakeAnswer::Succeed)
        return true;
    error = m_script.errorText;
    return false;
}

bool FakeSyncClient::answer(FakeAnswer answer, Reply success, Reply refusal)
{
    switch (answer) {
    case FakeAnswer::RefuseCall:
        return false;
    case FakeAnswer::Silent:
        return true;
    case FakeAnswer::ReportError:
        replyError();
        return true;
    case FakeAnswer::ReplyNo:
        reply(nullptr, std::move(refusal));
        return true;
    case FakeAnswer::Succeed:
        reply(std::move(success), nullptr);
        return true;
    }
    return false;
}

bool FakeSyncClient::logon()
{
    GlobalVariables::setQuillnestErrorStatus(false);
    const QVariantMap logonReply = m_script.logonReply;
    return answer(
        begin(FakeCall::Logon, 0, QStringLiteral("logon")),
        [logonReply](HMSyncClientDelegate &receiver) { receiver.logonCommandReturned(true, logonReply); },
        [](HMSyncClientDelegate &receiver) { receiver.logonCommandReturned(false, {}); });
}

bool FakeSyncClient::logoff()
{
    return answer(
        begin(FakeCall::Logoff, 0, QStringLiteral("logoff")),
        [](HMSyncClientDelegate &receiver) {
            GlobalVariables::setQuillnestErrorStatus(false);
            receiver.logoffCommandReturned(true);
        },
        [](HMSyncClientDelegate &receiver) {
            GlobalVariables::setQuillnestErrorStatus(true);
            receiver.logoffCommandReturned(false);
        });
}

bool FakeSyncClient::purge(quint64 conduit)
{
    return answer(
        begin(FakeCall::Purge, conduit, QStringLiteral("purge ") + letterOf(conduit)),
        [](HMSyncClientDelegate &receiver) { receiver.purgeCommandReturned(true); },
        [](HMSyncClientDelegate &receiver) { receiver.purgeCommandReturned(false); });
}

std::optional<bool> FakeSyncClient::idListForConduit(quint64 conduit)
{
    if (!m_script.hasIdList)
        return std::nullopt;
    const QList<QVariantMap> ids = m_script.idLists.value(conduit);
    const QString letter = letterOf(conduit);
    return answer(
        begin(FakeCall::IdList, conduit, QStringLiteral("idlist ") + letter),
        [ids, letter](HMSyncClientDelegate &receiver) {
            QStringList uids;
            for (const QVariantMap &entry : ids)
                uids.append(entry.value(QStringLiteral("UID")).toString());
            receiver.setIdsForNonDeletedWiFiRecords(uids, letter);
            receiver.idListCommandReturnedWithDictionaries(uids);
            receiver.listCommandFinishedSuccessful(true);
        },
        [](HMSyncClientDelegate &receiver) { receiver.idListCommandFinishedSuccessful(false); });
}

bool FakeSyncClient::listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince)
{
    QList<QVariantMap> page;
    bool morePages = false;
    {
        const std::lock_guard lock(m_mutex);
        m_listModifiedSince.insert(conduit, modifiedSince);
        QList<QList<QVariantMap>> &pages = m_script.listPages[conduit];
        if (!pages.isEmpty())
            page = pages.takeFirst();
        morePages = !pages.isEmpty();
    }
    return answer(
        begin(FakeCall::List, conduit, QStringLiteral("list ") + letterOf(conduit)),
        [page, morePages](HMSyncClientDelegate &receiver) {
            receiver.writeRemainOnCurrentConduit(morePages);
            if (!page.isEmpty())
                receiver.listCommandReturnedWithDictionaries(page);
            receiver.listCommandFinishedSuccessful(true);
        },
        [](HMSyncClientDelegate &receiver) { receiver.listCommandFinishedSuccessful(false); });
}

bool FakeSyncClient::updateConduit(quint64 conduit, QList<HMSyncRecord> &records)
{
    const FakeAnswer planned = begin(FakeCall::Update, conduit, QStringLiteral("update ") + letterOf(conduit));
    if (planned == FakeAnswer::Succeed && !records.isEmpty())
        return sendUpdateBatch(conduit, records);
    // The whole list goes in one batch; the call returns once the batch is answered.
    if (delegate())
        delegate()->writeRemainOnUpdateConduit(false);
    return answer(
        planned, [](HMSyncClientDelegate &receiver) { receiver.updateCommandReturnedSuccessful(true); },
        [](HMSyncClientDelegate &receiver) { receiver.updateCommandReturnedSuccessful(false); });
}

bool FakeSyncClient::sendUpdateBatch(quint64 conduit, const QList<HMSyncRecord> &records)
{
    HMSyncClientDelegate *receiver = delegate();
    if (!receiver)
        return false;
    const qsizetype start = std::min(m_updatePosition, records.size());
    const qsizetype end = std::min(start + std::max<qsizetype>(m_script.updateBatchSize, 1), records.size());
    const bool fails = ++m_updateBatch == m_script.failingUpdateBatch;
    QVariantMap ids;
    QStringList temporaryIds;
    qint64 batchStart = 0;
    {
        const std::lock_guard lock(m_mutex);
        m_updateBatchSizes[conduit].append(end - start);
        for (qsizetype index = start; index < end; ++index) {
            const HMSyncRecord &record = records.at(index);
            m_sentRecords[conduit].append(record);
            if (!record.isNew())
                continue;
            const QString deviceId = QStringLiteral("%1-dev-%2").arg(letterOf(conduit)).arg(m_assignedIds.size() + 1);
            ids.insert(record.hmxUid(), deviceId);
            temporaryIds.append(record.hmxUid());
            if (!fails)
                m_assignedIds.insert(record.hmxUid(), deviceId);
        }
        batchStart = m_idsAssignedInConduit;
        m_idsAssignedInConduit += ids.size();
    }
    const bool reportsTemporaryIds = m_script.reportsTemporaryIds;
    const auto answered = platform::DispatchSemaphore::create(0);
    if (fails) {
        reply(nullptr, [](HMSyncClientDelegate &delegate) { delegate.updateCommandReturnedSuccessful(false); },
              [answered] { answered->signal(); });
    } else {
        reply([ids, temporaryIds, conduit, batchStart, reportsTemporaryIds](HMSyncClientDelegate &delegate) {
            if (reportsTemporaryIds) {
                for (const QString &temporaryId : temporaryIds)
                    delegate.updateTempWiFiId(temporaryId, ids.value(temporaryId).toString());
            }
            GlobalVariables::setCurrentWifiBatchStartingPosition(batchStart);
            delegate.updateCommandReturnedWithDictionary(ids, conduit);
        }, nullptr, [answered] { answered->signal(); });
    }
    // The call returns only once its batch has been answered.
    if (!answered->wait(std::chrono::seconds(30)))
        return false;

    if (fails && !m_script.continuesAfterFailedBatch) {
        m_updatePosition = 0;
        m_updateBatch = 0;
        m_idsAssignedInConduit = 0;
        receiver->writeRemainOnUpdateConduit(false);
        return true;
    }
    m_updatePosition = end;
    if (end < records.size()) {
        receiver->writeRemainOnUpdateConduit(true);
        return true;
    }
    m_updatePosition = 0;
    m_updateBatch = 0;
    m_idsAssignedInConduit = 0;
    if (m_script.asksForContactPhotos && conduit == 1) {
        m_awaitsContactPhotos = true;
        receiver->writeUpdatePhotosStage(true);
        receiver->writeRemainOnUpdateConduit(true);
        return true;
    }
    receiver->writeRemainOnUpdateConduit(false);
    receiver->updateCommandReturnedSuccessful(true);
    return true;
}

void FakeSyncClient::sendContactPhotos()
{
    ++m_contactPhotoRequests;
    HMSyncClientDelegate *receiver = delegate();
    if (!receiver || !m_awaitsContactPhotos.exchange(false))
        return;
    receiver->writeUpdatePhotosStage(false);
    receiver->writeRemainOnUpdateConduit(false);
    receiver->updateCommandReturnedSuccessful(true);
}

QList<HMSyncRecord> FakeSyncClient::sentRecords(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_sentRecords.value(conduit);
}

QList<qsizetype> FakeSyncClient::updateBatchSizes(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    return m_updateBatchSizes.value(conduit);
}

QVariantMap FakeSyncClient::assignedIds() const
{
    const std::lock_guard lock(m_mutex);
    return m_assignedIds;
}

void FakeSyncClient::resetSyncRecordListPartialCount()
{
    const std::lock_guard lock(m_mutex);
    m_calls.append(QStringLiteral("reset"));
    m_updatePosition = 0;
    m_updateBatch = 0;
    m_idsAssignedInConduit = 0;
}

void FakeSyncClient::forceCancel()
{
    bool wasPending = false;
    bool replyScheduled = false;
    {
        const std::lock_guard lock(m_mutex);
        ++m_forceCancelCount;
        wasPending = m_requestPending;
        replyScheduled = m_replyScheduled;
        m_cancelled = true;
    }
    // A request that would never have been answered reports its cancel now; one whose reply is on
    // its way reports it in place of that reply.
    if (wasPending && !replyScheduled)
        reply(nullptr, [](HMSyncClientDelegate &) {});
}

std::optional<bool> FakeSyncClient::cleanup()
{
    if (!m_script.hasCleanup)
        return std::nullopt;
    {
        const std::lock_guard lock(m_mutex);
        m_calls.append(QStringLiteral("cleanup"));
    }
    if (m_script.onCall)
        m_script.onCall(FakeCall::Cleanup, 0);
    return true;
}
