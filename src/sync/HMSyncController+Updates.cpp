// The stages that act on the other side: the purge (stage 4), the update (stage 7), which sends the
// Mac's records changed since the last sync in batches and joins the Mac's record ids to the device's,
// and the contact-photo work around the update. Everything runs on the run queue, except the photo
// step (main thread) and the callbacks marked as running on the transport's thread.

#include "sync/HMSyncController.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/LockedField.h"
#include "sync/HMData.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncClient.h"
#include "sync/HMSyncConduitData.h"
#include "sync/HMSyncController+Normalization.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"
#include "sync/HMSyncTypes.h"

#include <algorithm>
#include <chrono>

namespace {

// The transport is asked again this long after the photo step was requested.
constexpr double kContactPhotosDelaySeconds = 1.0;
// How long the update loop waits for the transport to finish sending contact photos.
constexpr double kTransportWaitLimitSeconds = 900.0;
// While it waits for the transport, the run queue looks at the run's state this often.
constexpr std::chrono::milliseconds kTransportPollInterval{100};

bool sendsMacRecords(quint64 direction)
{
    return direction == quint64(HMSyncDirection::TwoWay) || direction == quint64(HMSyncDirection::MacToDevice);
}

QString letterOf(quint64 conduit)
{
    return conduitShortIdentifierString(HMSyncConduit(conduit));
}

} // namespace

// ---- Purge --------------------------------------------------------------------------------------

void HMSyncController::sendPurgeCommand()
{
    HMSyncConduitData *const stageData = beginDirectedStage("purge command", "Purge Command", sendsMacRecords);
    if (stageData == nullptr)
        return;
    HMSyncConduitData &data = *stageData;
    if (!data.purgeOnNextSync()) {
        DDLogInfo(QStringLiteral("Skipping Purge Command due to no flag found."));
        scheduleProcess();
        return;
    }
    if (!m_syncClient->purge(data.conduit())) {
        DDLogError(QStringLiteral("The purge request could not be sent."));
        setStageErrored();
        scheduleProcess();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_didPurgeTheseConduits += letterOf(data.conduit());
    }
    m_run.didPurge.store(true);
    // This run's list and update read everything.
    data.setLastSyncDate(QDateTime());
}

void HMSyncController::finishPurging()
{
    const quint64 conduit = currentConduit();
    if (!isSyncConduit(conduit)) {
        DDLogWarn(QStringLiteral("No Conduit to clear identifiers for."));
        return;
    }
    if (const std::shared_ptr<HMData> dataSource = m_conduits[conduit]->conduitData())
        dataSource->clearIdTable();
}

// ---- Update -------------------------------------------------------------------------------------

void HMSyncController::sendUpdates()
{
    if (!isRunQueueCurrent()) {
        failOffRunQueue();
        return;
    }
    const quint64 conduit = currentConduit();
    noteRecordStage(conduit);
    if (!isSyncConduit(conduit)) {
        DDLogInfo(QStringLiteral("Not Running Update Command because no records were found to update."));
        process();
        return;
    }
    HMSyncConduitData &data = *m_conduits[conduit];
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource) {
        failWithoutDataSource(data);
        return;
    }
    const bool isOutlook = isOutlookProfile();
    if (data.syncDirection() == quint64(HMSyncDirection::DeviceToMac)) {
        DDLogInfo(QStringLiteral("Skipping List Command due to sync direction."));
        if (isOutlook) {
            DDLogInfo(QStringLiteral("Update dat files"));
            dataSource->saveOutlookChanges();
        }
        process();
        return;
    }

    if (!isOutlook && conduit == quint64(HMSyncConduit::Contacts) && dataSource->addressBookIsInaccessible()) {
        addressBookNotAccessible();
        return;
    }
    const QDateTime startPoint = updateStartPoint(data, *dataSource, conduit);
    const bool deletionsTravel = sendsMacRecords(data.syncDeletions());
    const bool includeDeletes = deletionsTravel && (isOutlook || data.lastSyncDate().isValid());

    // The entries as they were before the listing changes them, kept for holding back what the
    // device has not taken yet.
    const std::shared_ptr<HMIdentifierGraph> graph = dataSource->identifierGraph();
    const HMIdentifierGraph::Entries before = graph ? graph->entries() : HMIdentifierGraph::Entries();
    std::optional<QList<HMSyncRecord>> records =
        macRecordsToSend(data, *dataSource, startPoint, includeDeletes);
    if (!records) {
        // A data source that could not read its store says why: the conduit ends in error before the
        // logoff, with nothing sent and nothing deleted.
        if (const QString failure = dataSource->saveFailure(); !failure.isEmpty()) {
            endUpdateLoopInError(
                QStringLiteral("The %1 records could not be read: %2").arg(data.conduitIdentifierString(), failure));
            return;
        }
        DDLogInfo(QStringLiteral("Not Running Update Command because no records were found to update."));
        process();
        return;
    }
    DDLogVerbose(QStringLiteral("pppList.count %1").arg(records->size()));
    sendListedRecords(data, *dataSource, *records, before);
}

// The Mac's changes are read from the last sync on, or from Outlook's own last change; from the
// beginning when everything is to be read again or the device was emptied.
QDateTime HMSyncController::updateStartPoint(const HMSyncConduitData &data, HMData &dataSource, quint64 conduit)
{
    if (!isOutlookProfile())
        return data.rereadAppleOnNextSync() ? QDateTime() : data.lastSyncDate();
    QDateTime startPoint = dataSource.getOutlookLastModifiedDate();
    if (didPurgeTheseConduits().contains(letterOf(conduit))) {
        // The device was emptied: every Outlook record counts as changed.
        dataSource.clearOutlookDatFile(conduitName(HMSyncConduit(conduit)));
        startPoint = QDateTime();
    }
    return data.rereadAppleOnNextSync() ? QDateTime() : startPoint;
}

void HMSyncController::sendListedRecords(HMSyncConduitData &data, HMData &dataSource, QList<HMSyncRecord> &records,
                                         const HMIdentifierGraph::Entries &before)
{
    const quint64 conduit = data.conduit();
    dataSource.dropRecordsWithUnstorableIds(records);
    dataSource.markAddsUnconfirmed(records, conduit);
    // The deleted records' entries already left the graph: the device held them and the rest.
    const qsizetype deletions =
        std::count_if(records.cbegin(), records.cend(), [](const HMSyncRecord &record) { return record.isDelete(); });
    if (!massDeletionAllowed(data, deletions, dataSource.syncedRecordCount() + deletions, QStringLiteral("device"))) {
        scheduleProcess();
        return;
    }
    // The temporary ids of the records about to go out as new are saved before the first batch: a
    // run that ends before their answers leaves them marked as unconfirmed, never as unknown. The
    // entries of changes and deletions keep what they were until every batch is answered: a run that
    // ends first sends them again.
    dataSource.holdBackSentChanges(records, before);
    // Outlook keeps its pairs in maps of its own and has no graph: the records going out as new are
    // listed on disk instead, so that a run ending before their pairs are kept lets the next listing
    // adopt the device's copies instead of sending them again. Once every batch is answered, those
    // the map pairs leave the list.
    if (isOutlookProfile() && !dataSource.keepOutlookAddsAboutToBeSent(records, conduit)) {
        endUpdateLoopInError(QStringLiteral("The %1 records about to be sent as new could not be listed on disk.")
                                 .arg(data.conduitIdentifierString()));
        return;
    }
    if (!m_configuration->saveProgressForConduitData(data)) {
        endUpdateLoopInError(
            QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString()));
        return;
    }
    if (!runUpdateLoop(conduit, records))
        return;
    dataSource.commitSentChanges();
    if (isOutlookProfile())
        dataSource.loadUnsettledOutlookAdds();
    if (!m_configuration->saveProgressForConduitData(data))
        endUpdateLoopInError(
            QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString()));
}

// The Mac's records changed after the start point, less those the device itself changed in this run,
// normalised for sending. The store is open only while they are read.
std::optional<QList<HMSyncRecord>> HMSyncController::macRecordsToSend(HMSyncConduitData &data, HMData &dataSource,
                                                                       const QDateTime &startPoint, bool includeDeletes)
{
    const QSet<QString> changedByDevice = data.hmUidsModifiedByDevice();
    dataSource.prepareForUseOnThread();
    std::optional<QList<HMSyncRecord>> records;
    if (isOutlookProfile()) {
        DDLogVerbose(QStringLiteral("Generating pppList"));
        records = dataSource.syncOutlookRecordObjectsModifiedAfter(startPoint, includeDeletes, changedByDevice);
        DDLogVerbose(QStringLiteral("saveOutlookChanges"));
        dataSource.saveOutlookChanges();
    } else {
        records = dataSource.syncRecordObjectsModifiedAfter(startPoint, includeDeletes, changedByDevice);
    }
    if (records) {
        const std::lock_guard lock(m_mutex);
        for (const HMSyncRecord &record : std::as_const(*records)) {
            if (!record.outlookUid().isEmpty())
                m_olmIdsForContactsSentToDevice.insert(record.outlookUid());
        }
    }
    GlobalVariables::setCanSyncTasks(false);
    if (records) {
        for (HMSyncRecord &record : *records)
            normalizeDictionary(record.dictionary(), data.conduit());
    }
    dataSource.stopUsingOnThread();
    return records;
}

// Hands the list to the transport until it has sent its last batch. Each call sends the next batch
// and returns when that batch is answered. The loop stops early, and the run ends, when a batch
// failed, the run was cancelled or ended meanwhile, or the transport keeps asking for calls past
// one per record.
bool HMSyncController::runUpdateLoop(quint64 conduit, QList<HMSyncRecord> &records)
{
    const qsizetype callLimit = records.size() + 2;
    qsizetype calls = 0;
    while (m_run.remainOnUpdateConduit.load() || conduit != m_lastConduitUsed) {
        if (updatesMustStop()) {
            endUpdateLoopInError(QString());
            return false;
        }
        if (conduit != m_lastConduitUsed) {
            DDLogVerbose(QStringLiteral("resetSyncRecordListPartialCount"));
            m_syncClient->resetSyncRecordListPartialCount();
        }
        m_lastConduitUsed = conduit;
        if (m_run.updatePhotosStage.load()) {
            if (!runPhotoStep()) {
                endUpdateLoopInError(QString());
                return false;
            }
            continue;
        }
        if (++calls > callLimit) {
            endUpdateLoopInError(QStringLiteral("The device kept asking for more updates."));
            return false;
        }
        if (!m_syncClient->updateConduit(conduit, records)) {
            DDLogError(QStringLiteral("The update request could not be sent."));
            endUpdateLoopInError(QString());
            return false;
        }
        if (m_run.updateBatchFailed.load()) {
            // The failed reply ends the run when it reaches the run queue; no further batch is sent.
            DDLogError(QStringLiteral("An update batch failed; the conduit's remaining batches are not sent"));
            m_run.remainOnUpdateConduit.store(false);
            return false;
        }
    }
    return !updatesMustStop();
}

QSet<QString> HMSyncController::olmIdsForContactsSentToDevice() const
{
    return platform::lockedCopy(m_mutex, m_olmIdsForContactsSentToDevice);
}

bool HMSyncController::updatesMustStop() const
{
    return m_run.shouldForceCancel.load() || syncStage() == HMSyncStage::Errored || m_run.updateBatchFailed.load();
}

void HMSyncController::endUpdateLoopInError(const QString &message)
{
    m_run.remainOnUpdateConduit.store(false);
    if (!message.isEmpty())
        recordError(HMSyncError::Other, message);
    setStageErrored();
    scheduleProcess();
}

// The transport wants the contact photos sent: the main thread asks it (once), and the run queue waits
// until the transport says the photos are done.
bool HMSyncController::runPhotoStep()
{
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    platform::DispatchQueue::main()->sync([self] { self->updatePhotos(); });
    return waitForTransport([this] { return !m_run.updatePhotosStage.load(); }, kTransportWaitLimitSeconds);
}

// ---- Update replies -----------------------------------------------------------------------------

void HMSyncController::updateTempWiFiId(const QString &temporaryId, const QString &permanentId)
{
    if (!acceptsCallback("updateTempWiFiId:withPermanentWiFiId:"))
        return;
    if (const std::shared_ptr<HMData> dataSource = currentConduitData().conduitData())
        dataSource->replaceTempId(temporaryId, permanentId);
}

void HMSyncController::updateCommandReturnedSuccessful(bool wasSuccessful)
{
    if (!acceptsCallback("updateCommandReturnedSuccessful:"))
        return;
    // Noted on the transport's thread, so that the update loop waiting on the run queue sends no
    // further batch. A run whose update failed reports that once and never a success after it.
    if (!wasSuccessful) {
        if (m_run.updateBatchFailed.exchange(true)) {
            DDLogInfo(QStringLiteral("updateCommandReturnedSuccessful - NO again; already reported"));
            return;
        }
        wakeTransportWait();
    } else if (m_run.updateBatchFailed.load()) {
        DDLogInfo(QStringLiteral("updateCommandReturnedSuccessful - YES after a failed batch; ignored"));
        return;
    }
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->async([self, wasSuccessful] {
        if (!self->acceptsCallback("updateCommandReturnedSuccessful:"))
            return;
        if (!wasSuccessful) {
            DDLogInfo(QStringLiteral("updateCommandReturnedSuccessful - NO"));
            self->setStageErrored();
        }
        if (const std::shared_ptr<HMData> dataSource = self->currentConduitData().conduitData()) {
            dataSource->commitUniqueIds(wasSuccessful);
            if (!dataSource->saveFailure().isEmpty()) {
                self->recordError(HMSyncError::Other, QStringLiteral("The %1 records could not be saved: %2")
                                                          .arg(self->currentConduitData().conduitIdentifierString(),
                                                               dataSource->saveFailure()));
                self->setStageErrored();
            }
        }
        self->process();
    });
}

HMSyncConduitData *HMSyncController::updateReplyConduit(bool hasIds)
{
    if (!isRunQueueCurrent()) {
        failOffRunQueue();
        return nullptr;
    }
    if (!hasIds) {
        DDLogInfo(QStringLiteral("No id dictionary returned for update command."));
        return nullptr;
    }
    return &currentConduitData();
}

void HMSyncController::parseUpdateReturnedDictionary(const QVariantMap &ids)
{
    HMSyncConduitData *const replyData = updateReplyConduit(!ids.isEmpty());
    if (replyData == nullptr)
        return;
    HMSyncConduitData &data = *replyData;
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (data.conduitIdentifierString().isEmpty() || !dataSource) {
        DDLogInfo(QStringLiteral("Unable to update!"));
        return;
    }
    dataSource->updateUidToDeviceIds(ids);
    if (!m_configuration->saveProgressForConduitData(data)) {
        recordError(HMSyncError::Other,
                    QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString()));
        setStageErrored();
        scheduleProcess();
    }
}

void HMSyncController::parseUpdateReturnedDictionary(const QVariantMap &ids, quint64 conduit)
{
    if (ids.isEmpty()) {
        DDLogInfo(QStringLiteral("No id dictionary returned for update command."));
        return;
    }
    if (conduit >= m_conduits.size())
        return;
    HMSyncConduitData &data = *m_conduits[conduit];
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (data.conduitIdentifierString().isEmpty() || !dataSource) {
        DDLogInfo(QStringLiteral("Unable to update!!"));
        return;
    }
    dataSource->updateUidToDeviceIdsUsingNewMethod(ids);
    if (m_configuration->saveProgressForConduitData(data))
        return;
    // The device has the batch but the Mac could not keep its ids: no further batch goes, and the run
    // ends in error before the logoff.
    recordError(HMSyncError::Other,
                QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString()));
    m_run.updateBatchFailed.store(true);
    wakeTransportWait();
    onRunQueue([](HMSyncController &self) {
        self.setStageErrored();
        self.process();
    });
}

void HMSyncController::parseUpdateReturnedDetailedDictionaryList(const QList<QVariantMap> &results)
{
    HMSyncConduitData *const replyData = updateReplyConduit(!results.isEmpty());
    if (replyData == nullptr)
        return;
    HMSyncConduitData &data = *replyData;
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource)
        return;
    dataSource->prepareForUseOnThread();
    DDLogVerbose(QStringLiteral("processDetailedUpdateCommandDictionaries"));
    dataSource->processDetailedUpdateCommandDictionaries(results);
    const bool saved = saveConduitChanges(data, *dataSource);
    dataSource->stopUsingOnThread();
    if (!saved)
        scheduleProcess();
}

// ---- Contact photos -----------------------------------------------------------------------------

void HMSyncController::updatePhotos()
{
    if (m_run.didSendContactPhotos.load())
        return;
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Sending contact photos..."));
    m_run.didSendContactPhotos.store(true);
    const std::weak_ptr<HMSyncController> weakSelf = weak_from_this();
    platform::DispatchQueue::main()->after(kContactPhotosDelaySeconds, [weakSelf] {
        if (const std::shared_ptr<HMSyncController> self = weakSelf.lock())
            self->stuff();
    });
}

void HMSyncController::stuff()
{
    if (m_syncClient)
        m_syncClient->sendContactPhotos();
}

void HMSyncController::sendWifiPhotos()
{
    {
        const std::lock_guard lock(m_mutex);
        m_syncState = HMSyncState::Sending;
    }
    if (const std::shared_ptr<HMData> contacts = HMDataConfigurationSource::makeDataSourceOfClass(
            QStringLiteral("HMContactData"))) {
        QSet<QString> outlookIds;
        {
            const std::lock_guard lock(m_mutex);
            outlookIds = m_olmIdsForContactsSentToDevice;
        }
        for (const QString &outlookId : std::as_const(outlookIds)) {
            const QByteArray photo = contacts->wifiFormattedPhotoForOutlookContact(outlookId);
            if (!photo.isEmpty())
                m_syncClient->sendPhoto(photo);
        }
    }
    // The stage has no reply to wait for: the machine goes on at once.
    setNextStage();
    scheduleProcess();
}

// ---- Waiting for the transport ------------------------------------------------------------------

// The run queue waits here for something only the transport can bring (pictures received, photos
// sent). The wait ends when it came, and also when the run is force cancelled, an error is recorded,
// the run is errored, or the time limit passes; only the first counts as success. A time limit that
// passes records a timeout.
bool HMSyncController::waitForTransport(const std::function<bool()> &hasArrived, double limitSeconds)
{
    const QDateTime deadline = platform::Clock::now().addMSecs(qint64(limitSeconds * 1000.0));
    for (;;) {
        {
            // Checked under the wait's lock: a wake that comes after the check finds the wait begun.
            std::unique_lock lock(m_transportWaitMutex);
            if (hasArrived())
                return true;
            if (m_run.shouldForceCancel.load() || syncStage() == HMSyncStage::Errored
                || syncError() != HMSyncError::None)
                return false;
            if (platform::Clock::now() < deadline) {
                m_transportWait.wait_for(lock, kTransportPollInterval);
                continue;
            }
        }
        DDLogError(QStringLiteral("Waited %1 s for the device in vain").arg(limitSeconds));
        didErrorWithError(quint64(HMSyncError::Timeout), QString());
        return false;
    }
}

void HMSyncController::wakeTransportWait()
{
    {
        const std::lock_guard lock(m_transportWaitMutex);
    }
    m_transportWait.notify_all();
}
