// The stages that bring the other side's changes to the Mac: the id list (stage 5), which deletes on
// the Mac the records that vanished from the device, and the list (stage 6), which applies the device's
// changed records page by page under the profile's conflict rule. Everything here runs on the run queue.

#include "sync/HMSyncController.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/TimeZone.h"
#include "platform/foundation/Values.h"
#include "sync/HMData.h"
#include "sync/HMDeletionGuard.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncClient.h"
#include "sync/HMSyncConduitData.h"
#include "sync/HMSyncController+Normalization.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"
#include "sync/HMSyncFields.h"
#include "sync/HMSyncTypes.h"

namespace {

// The side a mass deletion from the device would empty, as the deletion question names it.
const QString kMacSide = QStringLiteral("Mac");

constexpr qint32 kActionAdd = 1;
constexpr qint32 kActionUpdate = 2;
constexpr qint32 kActionDelete = 3;
// A data source answers 2 or more when it wrote the Mac record from the device's, 3 when it made a
// new Mac record for it.
constexpr qint64 kWrittenFromDevice = 2;
constexpr qint64 kCreatedFromDevice = 3;
// Device records are applied as the phone transport's sync method, whatever the transport.
constexpr quint64 kApplySyncMethod = 1;
// How long the run waits for the cloud's contact pictures before it gives up. Fetching them is a
// request per picture, each with its own time limit, so only a transport that lost its way takes
// this long.
constexpr double kContactPictureWaitLimitSeconds = 900.0;

bool takesDeviceRecords(quint64 direction)
{
    return direction == quint64(HMSyncDirection::TwoWay) || direction == quint64(HMSyncDirection::DeviceToMac);
}

bool takesDeviceDeletions(quint64 deletions)
{
    return deletions == quint64(HMSyncDirection::TwoWay) || deletions == quint64(HMSyncDirection::DeviceToMac);
}

QString letterOf(quint64 conduit)
{
    return conduitShortIdentifierString(HMSyncConduit(conduit));
}

qint64 secondsFromGmtOfPacificTime(const QDateTime &at)
{
    const platform::Result<platform::TimeZone> pacific = platform::TimeZone::named(QStringLiteral("US/Pacific"));
    return pacific ? pacific.value().secondsFromGmt(at) : 0;
}

} // namespace

// ---- Shared by the record stages ----------------------------------------------------------------

bool HMSyncController::isOutlookProfile() const
{
    const quint64 contactManager = m_configuration->contactManager();
    return contactManager == quint64(HMContactManager::Outlook14) || contactManager == quint64(HMContactManager::Outlook15);
}

void HMSyncController::failOffRunQueue()
{
    DDLogError(QStringLiteral("Record work was called off the run queue; the sync ends"));
    onRunQueue([](HMSyncController &self) {
        self.setStageErrored();
        self.process();
    });
}

void HMSyncController::failWithoutDataSource(const HMSyncConduitData &data)
{
    setStageErrored();
    recordError(HMSyncError::Other,
                QStringLiteral("The %1 data source is not available.").arg(data.conduitIdentifierString()));
    scheduleProcess();
}

QStringList *HMSyncController::deviceIdList(quint64 conduit)
{
    QStringList *const lists[] = {&m_allContactsOnTheDevice, &m_allEventsOnTheDevice, &m_allTasksOnTheDevice,
                                  &m_allMemosOnTheDevice};
    return isSyncConduit(conduit) ? lists[conduit - quint64(HMSyncConduit::Contacts)] : nullptr;
}

std::optional<QStringList> HMSyncController::deviceRecordIds(quint64 conduit) const
{
    const std::lock_guard lock(m_mutex);
    const QStringList *const list = deviceIdList(conduit);
    if (!list || !m_deviceIdsReported[conduit])
        return std::nullopt;
    return *list;
}

// Only an Outlook profile tells its deletions from a conduit's whole id list (deleteVanishedRecords):
// other profiles let the phone's list go once it is read, rather than hold it to the run's end.
void HMSyncController::forgetDeviceRecordIds(quint64 conduit)
{
    if (isOutlookProfile())
        return;
    const std::lock_guard lock(m_mutex);
    if (QStringList *const list = deviceIdList(conduit)) {
        *list = QStringList();
        m_deviceIdsReported[conduit] = false;
    }
}

// ---- Id list ------------------------------------------------------------------------------------

void HMSyncController::sendIdListCommand()
{
    HMSyncConduitData *const stageData = beginRecordStage("ID List Command");
    if (stageData == nullptr)
        return;
    const HMSyncConduitData &data = *stageData;
    const quint64 conduit = data.conduit();
    if (!takesDeviceRecords(data.syncDirection()) || !takesDeviceDeletions(data.syncDeletions())) {
        DDLogInfo(QStringLiteral("Skipping ID List Command due to not syncing deletes and sync direction."));
        scheduleProcess();
        return;
    }
    const std::optional<bool> started = m_syncClient->idListForConduit(conduit);
    if (!started.has_value()) {
        scheduleProcess();
        return;
    }
    if (!*started) {
        DDLogError(QStringLiteral("The id list request could not be sent."));
        setStageErrored();
        scheduleProcess();
    }
}

void HMSyncController::parseIdListData(const QStringList &deviceIds)
{
    if (!isRunQueueCurrent()) {
        failOffRunQueue();
        return;
    }
    postStepNotificationWithMessage(QStringLiteral("Reading Device ID List ..."), std::nullopt);
    forgetDeviceRecordIds(currentConduit());
    HMSyncConduitData &data = currentConduitData();
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource)
        return;
    // Only ids the device confirmed can vanish from it: a temporary id of a record whose add was
    // never answered is not the device's, and its record is sent again instead of deleted.
    const QStringList vanished = dataSource->deviceConfirmedHmUidsMissingFrom(deviceIds);
    data.setDeviceRecordCount(-qint64(vanished.size()));
    if (vanished.isEmpty() || !takesDeviceDeletions(data.syncDeletions()))
        return;
    if (!massDeletionAllowed(data, vanished.size(), dataSource->syncedRecordCount(), kMacSide)) {
        scheduleProcess();
        return;
    }
    dataSource->prepareForUseOnThread();
    data.setAppleDeletes(vanished.size());
    dataSource->deleteUidRecords(vanished);
    // The page lists these deletions again: they are neither deleted nor counted a second time.
    data.noteDeletedByIdList(vanished);
    const bool saved = saveConduitChanges(data, *dataSource);
    // Every opening of the store is matched by a closing, so the list stage finds it as usual.
    dataSource->stopUsingOnThread();
    if (!saved)
        scheduleProcess();
}

bool HMSyncController::saveConduitChanges(HMSyncConduitData &data, HMData &dataSource)
{
    // What the page already wrote to the store reaches the disk before the graph names it; when it
    // cannot, the graph keeps the page unnamed and the device keeps its changes for the next run.
    const platform::Status synced = dataSource.syncAppliedChangesToDisk();
    QString failure = synced ? QString()
                             : QStringLiteral("The %1 records could not be saved: %2")
                                   .arg(data.conduitIdentifierString(), synced.error().message());
    // Then the mapping: a store saved without it would hold records the next run takes for new.
    if (failure.isEmpty() && !m_configuration->saveProgressForConduitData(data))
        failure = QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString());
    // A page that changed nothing in the store leaves it unwritten.
    if (synced && dataSource.hasUnsavedChanges())
        dataSource.saveChanges();
    if (failure.isEmpty() && !dataSource.saveFailure().isEmpty())
        failure = QStringLiteral("The %1 records could not be saved: %2")
                      .arg(data.conduitIdentifierString(), dataSource.saveFailure());
    if (failure.isEmpty())
        return true;
    failPage(failure);
    return false;
}

void HMSyncController::failPage(const QString &failure)
{
    DDLogError(failure);
    recordError(HMSyncError::Other, failure);
    writeRemainOnCurrentConduit(false);
    setStageErrored();
}

// ---- List ---------------------------------------------------------------------------------------

// Whether an earlier run's writes of the conduit were refused by Outlook (its error log, taken in at
// the start of this run); takes the conduit out of the error recovery. No listing of the device's
// changes holds those records again, so the device is read whole, as after unanswered adds: pairs
// the device left unchanged are passed over, and what Outlook lacks is written. The cloud lists its
// own recovery.
bool HMSyncController::takeOutlookRefusals(quint64 conduit) const
{
    if (!isOutlookProfile() || m_configuration->syncMethod() == quint64(HMSyncMethod::Quillnest))
        return false;
    QString recovering = GlobalVariables::getErrorRecoverySyncConduits();
    if (!recovering.contains(letterOf(conduit)))
        return false;
    // Read whole once: the error log was taken in for this run only.
    GlobalVariables::setErrorRecoverySyncConduits(recovering.remove(letterOf(conduit)));
    DDLogInfo(QStringLiteral("Reading every device record: Outlook refused some of the last writes"));
    return true;
}

// The date the device's changes are asked from: the last sync (or for Outlook the Outlook side's last
// change) moved into the device's clock; null to ask for every record.
QDateTime HMSyncController::listStartPoint(HMSyncConduitData &data, HMData &dataSource) const
{
    const auto inDeviceTime = [this](QDateTime date) {
        if (m_configuration->syncMethod() == quint64(HMSyncMethod::Quillnest))
            date = date.addSecs(secondsFromGmtOfPacificTime(date));
        return date.addSecs(GlobalVariables::getSyncControllerSecondsDifference());
    };
    // Outlook lists the records it sent as new on disk until their pairs are kept.
    const bool hasUnsettledOutlookAdds = isOutlookProfile() && dataSource.loadUnsettledOutlookAdds();
    const bool outlookRefusedWrites = takeOutlookRefusals(data.conduit());
    if (hasUnsettledOutlookAdds || dataSource.hasUnconfirmedRecords() || outlookRefusedWrites) {
        // An earlier run ended before the device answered its adds: the device may hold them under
        // ids the Mac never learnt, so everything is read and matched before anything is sent again.
        DDLogInfo(QStringLiteral("Reading every device record: some adds were never confirmed"));
        dataSource.setIsDeviceReread(true);
        if (isOutlookProfile() && !data.rereadDeviceOnNextSync()) {
            const QDateTime outlookChange = dataSource.getOutlookLastModifiedDate();
            dataSource.setOutlookRecoveryListingSince(outlookChange.isValid() ? inDeviceTime(outlookChange)
                                                                               : QDateTime());
        }
        return {};
    }
    if (isOutlookProfile()) {
        if (data.rereadDeviceOnNextSync()) {
            dataSource.setIsDeviceReread(true);
            return {};
        }
        dataSource.setIsDeviceReread(false);
        const QDateTime outlookChange = dataSource.getOutlookLastModifiedDate();
        return outlookChange.isValid() ? inDeviceTime(outlookChange) : QDateTime();
    }
    if (data.rereadDeviceOnNextSync() || !data.lastSyncDate().isValid())
        return {};
    return inDeviceTime(data.lastSyncDate());
}

void HMSyncController::sendListCommand()
{
    HMSyncConduitData *const stageData = beginDirectedStage("list command", "List Command", takesDeviceRecords);
    if (stageData == nullptr)
        return;
    HMSyncConduitData &data = *stageData;
    const quint64 conduit = data.conduit();
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource) {
        failWithoutDataSource(data);
        return;
    }
    data.setSyncStartDate(platform::Clock::now());
    const QDateTime startPoint = listStartPoint(data, *dataSource);

    const bool inRecovery = GlobalVariables::getErrorRecoverySyncConduits().contains(letterOf(conduit));
    const QDateTime deviceChanged = data.syncDriverLastModifiedDate();
    if (startPoint.isValid() && !inRecovery && deviceChanged.isValid() && startPoint >= deviceChanged) {
        writeRemainOnCurrentConduit(false);
        DDLogInfo(QStringLiteral("Not sending list command due to device not having changes."));
        scheduleProcess();
        return;
    }
    // Each page's pictures are waited for on their own.
    m_run.picturesUpdated.store(false);
    if (!m_syncClient->listRecordsForConduit(conduit, startPoint)) {
        DDLogError(QStringLiteral("The list request could not be sent."));
        writeRemainOnCurrentConduit(false);
        setStageErrored();
        scheduleProcess();
    }
}

// ---- Applying a page ----------------------------------------------------------------------------

bool HMSyncController::applyListedPage(const QList<QVariantMap> &records, HMSyncConduitData &data,
                                       HMData &dataSource)
{
    QStringList idsToDelete;
    QSet<QString> writtenFromDevice;
    for (const QVariantMap &record : records)
        applyDeviceRecord(record, data, dataSource, idsToDelete, writtenFromDevice);
    if (!writtenFromDevice.isEmpty())
        data.addHmUidsModifiedByDevice(writtenFromDevice);
    if (!dataSource.commitAdoptedOutlookPairs())
        return false;
    deleteVanishedRecords(data, dataSource, idsToDelete);
    return true;
}

bool HMSyncController::receiveContactPictures(quint64 conduit, HMData &dataSource)
{
    if (conduit != quint64(HMSyncConduit::Contacts) || !isOutlookProfile()
        || m_configuration->syncMethod() != quint64(HMSyncMethod::Quillnest))
        return true;
    if (!waitForContactPictures())
        return false;
    saveContactPictures(dataSource);
    return true;
}

void HMSyncController::parseListDictionaries(const QList<QVariantMap> &records)
{
    if (!isRunQueueCurrent()) {
        failOffRunQueue();
        return;
    }
    const quint64 conduit = currentConduit();
    HMSyncConduitData &data = currentConduitData();
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource) {
        writeRemainOnCurrentConduit(false);
        failWithoutDataSource(data);
        return;
    }
    postStepNotificationWithMessage(QStringLiteral("Reading Device Change List ..."), std::nullopt);
    dataSource->prepareForUseOnThread();
    if (conduit == quint64(HMSyncConduit::Contacts) && dataSource->addressBookIsInaccessible()) {
        dataSource->stopUsingOnThread();
        writeRemainOnCurrentConduit(false);
        addressBookNotAccessible();
        return;
    }

    if (!applyListedPage(records, data, *dataSource)) {
        dataSource->stopUsingOnThread();
        failPage(QStringLiteral("The %1 map could not keep the records the device already held.")
                     .arg(data.conduitIdentifierString()));
        scheduleProcess();
        return;
    }
    const bool picturesArrived = receiveContactPictures(conduit, *dataSource);

    // What was applied is saved even when the pictures never came, so the store and the identifier
    // graph agree.
    postStepNotificationWithMessage(QStringLiteral("Saving Changes ..."), std::nullopt);
    const bool saved = saveConduitChanges(data, *dataSource);
    dataSource->stopUsingOnThread();
    if (!saved) {
        scheduleProcess();
        return;
    }

    DDLogInfo(QStringLiteral("Contact adds and updates this sync %1, failures %2")
                  .arg(GlobalVariables::getContactAddUpdatesThisSync())
                  .arg(GlobalVariables::getContactAddUpdateFailuresThisSync()));
    GlobalVariables::setCanSyncTasks(true);

    if (!picturesArrived) {
        writeRemainOnCurrentConduit(false);
        setStageErrored();
        scheduleProcess();
    }
}

namespace {

// Whether a record was listed by the cloud, whose records carry no action (a phone's without one
// is a deletion by its "DELETED" flag, which counts nothing).
bool isCloudRecord(qint32 action, const HMSyncControllerConfigurationProtocol &configuration)
{
    return action == 0 && configuration.syncMethod() == quint64(HMSyncMethod::Quillnest);
}

// Whether a deletion without an action (the cloud's) names a record the Mac holds: a full listing
// also returns records deleted long ago, which the summary must not count.
bool isMappedOnMac(HMData &dataSource, const QString &uid)
{
    const std::shared_ptr<HMIdentifierGraph> graph = dataSource.identifierGraph();
    return !uid.isEmpty() && graph && graph->dictionaryForHarrowmereUid(uid).has_value();
}

} // namespace

// One record of a page: a deletion is collected, anything else is normalised and written into the
// Mac store; the id of a record the store took from the device is collected, so that the update stage
// does not send it back.
void HMSyncController::applyDeviceRecord(const QVariantMap &record, HMSyncConduitData &data, HMData &dataSource,
                                         QStringList &idsToDelete, QSet<QString> &writtenFromDevice)
{
    const QVariant actionValue = record.value(QString(kHMSyncFieldAction));
    const QString uid = stringForKey(record, kHMSyncFieldUid);
    // The phone may list what this client wrote to it as changes of its own: applied, they would undo
    // whatever the desktop changed since, a deletion above all.
    if (dataSource.isOwnWriteListedBack(uid, record.value(kHMListedContentKey).toString())) {
        DDLogVerbose(QStringLiteral("Skipping '%1': the device listed back what this client wrote").arg(uid));
        return;
    }
    qint32 action = 0;
    bool isDeletion = false;
    if (platform::isNumber(actionValue)) {
        action = platform::intValue(actionValue);
        isDeletion = action == kActionDelete;
        // A record the id list already deleted in this run is done with.
        if (isDeletion && !uid.isEmpty() && data.wasDeletedByIdList(uid))
            return;
    } else {
        isDeletion = boolForKey(record, kHMSyncFieldDeleted);
    }

    if (const QString reason = HMData::unstorableIdReason(uid); !reason.isEmpty()) {
        DDLogError(QStringLiteral("Skipping a device record: %1").arg(reason));
        return;
    }
    if (isDeletion) {
        if (action == kActionDelete || (isCloudRecord(action, *m_configuration) && isMappedOnMac(dataSource, uid)))
            data.setAppleDeletes(data.appleDeletes() + 1);
        DDLogVerbose(QStringLiteral("actionIndex %1").arg(kActionDelete));
        if (!uid.isEmpty())
            idsToDelete.append(uid);
        return;
    }
    DDLogVerbose(QStringLiteral("actionIndex %1").arg(action));
    QVariantMap normalized = record;
    normalized.remove(kHMListedContentKey);
    normalizeDictionary(normalized, data.conduit());
    if (isOutlookProfile() && (dataSource.adoptUnconfirmedOutlookAdd(normalized, data.conduit()) ||
                               isUnchangedOutlookPairInRecovery(dataSource, normalized, uid) ||
                               dataSource.defersLooseOutlookMatch(normalized, action, data.conduit())))
        return;
    if (!isOutlookProfile() && isDeviceCopyOfMacChange(dataSource, normalized, uid, data))
        return;
    if (!isOutlookProfile() && dataSource.defersLooseMatch(normalized, action, data.conduit()))
        return;
    applyToMacStore(action, normalized, data, dataSource, writtenFromDevice);
}

// Writes a normalised device record into the Mac store under the conflict rule, and counts it.
void HMSyncController::applyToMacStore(qint32 action, const QVariantMap &normalized, HMSyncConduitData &data,
                                       HMData &dataSource, QSet<QString> &writtenFromDevice)
{
    const QString uid = stringForKey(normalized, kHMSyncFieldUid);
    const qint64 secondsDifference = GlobalVariables::getSyncControllerSecondsDifference();
    const qint64 result =
        isOutlookProfile()
            ? dataSource.outlookCommandAction(action, kApplySyncMethod, data.conflictSetting(), normalized,
                                              secondsDifference)
            : dataSource.commandAction(action, kApplySyncMethod, data.conflictSetting(), normalized, secondsDifference);
    if (result < kWrittenFromDevice)
        return;
    // The summary counts what the store took: a record it refused is no change on the Mac. A record
    // without an action (the cloud's) is an add when the store made a new record for it.
    const bool isAdd = action == kActionAdd || (isCloudRecord(action, *m_configuration) && result >= kCreatedFromDevice);
    if (isAdd)
        data.setAppleAdds(data.appleAdds() + 1);
    else if (action == kActionUpdate || isCloudRecord(action, *m_configuration))
        data.setAppleUpdates(data.appleUpdates() + 1);
    if (!uid.isEmpty())
        writtenFromDevice.insert(uid);
}

void HMSyncController::finishDeviceListing()
{
    HMSyncConduitData &data = currentConduitData();
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource)
        return;
    const QList<HMData::DeferredDeviceRecord> deferred =
        isOutlookProfile() ? dataSource->settleDeferredOutlookRecords(data.conduit(), kActionUpdate)
                           : dataSource->settleDeferredDeviceRecords(data.conduit(), kActionUpdate);
    if (deferred.isEmpty())
        return;
    dataSource->prepareForUseOnThread();
    // Outlook: the settled pairs reach the id map first, so that each edited copy is applied to the
    // Outlook record it was sent from.
    if (!dataSource->commitAdoptedOutlookPairs()) {
        dataSource->stopUsingOnThread();
        failPage(QStringLiteral("The %1 map could not keep the records the device already held.")
                     .arg(data.conduitIdentifierString()));
        return;
    }
    QSet<QString> writtenFromDevice;
    for (const HMData::DeferredDeviceRecord &kept : deferred)
        applyToMacStore(kept.action, kept.record, data, *dataSource, writtenFromDevice);
    if (!writtenFromDevice.isEmpty())
        data.addHmUidsModifiedByDevice(writtenFromDevice);
    (void)saveConduitChanges(data, *dataSource);
    dataSource->stopUsingOnThread();
}

// The device's copy of a record this Mac sent in a run that ended before the answer: its entry now
// names it, and there is nothing to apply (a desktop edit made since goes in this run's updates, a
// desktop deletion since deletes it on the device). Or the device's copy of a record this Mac deleted,
// whose deletion goes again in this run, or goes in this run for the first time.
bool HMSyncController::isDeviceCopyOfMacChange(HMData &dataSource, const QVariantMap &normalized, const QString &uid,
                                               const HMSyncConduitData &data) const
{
    if (dataSource.adoptUnconfirmedAdd(normalized, data.conduit()))
        return true;
    if (dataSource.isDeletionSent(uid)) {
        DDLogInfo(QStringLiteral("Not applying '%1': it was deleted on this Mac and the deletion goes again").arg(uid));
        return true;
    }
    if (uid.isEmpty() || !data.lastSyncDate().isValid())
        return false;
    // A record without a time of its own tells nothing in a listing of changes, which the device
    // listed it in; in the whole listing after a run whose adds were never answered it tells of no
    // change since the last sync.
    if (isChangedOnDeviceSinceLastSync(dataSource, normalized, data).value_or(!dataSource.isDeviceReread()))
        return false;
    if (dataSource.isMappedItemGone(uid)) {
        DDLogInfo(QStringLiteral("Not applying '%1': it was deleted on this Mac since the last sync").arg(uid));
        return true;
    }
    if (!isUnchangedCopyInRecoveryListing(dataSource, uid))
        return false;
    DDLogInfo(QStringLiteral("Not applying '%1': the device has not changed it since the last sync").arg(uid));
    return true;
}

// In the whole listing that follows a run ended before its Outlook pairs were kept, a record the map
// pairs that the device has not changed since the map's last change (or that carries no time) is left
// alone: a listing of changes would not have held it, and applying it would write Outlook's copy over
// for nothing, an edit made there since included.
bool HMSyncController::isUnchangedOutlookPairInRecovery(HMData &dataSource, const QVariantMap &normalized,
                                                        const QString &uid)
{
    const QDateTime since = dataSource.outlookRecoveryListingSince();
    if (!since.isValid() || uid.isEmpty() || !dataSource.isPairedWithOutlook(uid))
        return false;
    const QString changedText = stringForKey(normalized, kHMSyncFieldLastModified);
    const QDateTime changed =
        changedText.isEmpty() ? QDateTime() : dataSource.dateUtilities().dateFromLocalDateTimeString(changedText);
    if (changed.isValid() && changed >= since)
        return false;
    DDLogVerbose(QStringLiteral("Not applying '%1': the device has not changed it since the last sync").arg(uid));
    return true;
}

std::optional<bool> HMSyncController::isChangedOnDeviceSinceLastSync(HMData &dataSource, const QVariantMap &normalized,
                                                                     const HMSyncConduitData &data)
{
    // Times are whole seconds on the device. A phone may keep none for what the desktop wrote to it.
    const QString changedText = stringForKey(normalized, kHMSyncFieldLastModified);
    HMDateUtilities &dates = dataSource.dateUtilities();
    const QDateTime changed = changedText.isEmpty() ? QDateTime() : dates.dateFromLocalDateTimeString(changedText);
    if (!changed.isValid())
        return std::nullopt;
    const QDateTime lastSync = data.lastSyncDate();
    const QDateTime onMacClock = dates.dateByAdding(-GlobalVariables::getSyncControllerSecondsDifference(),
                                                    platform::CalendarUnit::Second, changed);
    return onMacClock >= lastSync.addMSecs(-lastSync.time().msec());
}

bool HMSyncController::isUnchangedCopyInRecoveryListing(HMData &dataSource, const QString &uid)
{
    // Only the whole listing that follows a run which ended before its adds were answered: a reread
    // the user asked for takes the device's records as they are.
    if (!dataSource.isDeviceReread())
        return false;
    const std::shared_ptr<HMIdentifierGraph> graph = dataSource.identifierGraph();
    const std::optional<HMIdentifierGraphEntry> entry = graph ? graph->entryForHarrowmereUid(uid) : std::nullopt;
    return entry && !entry->isUnconfirmedAdd();
}

void HMSyncController::deleteVanishedRecords(HMSyncConduitData &data, HMData &dataSource, QStringList idsToDelete)
{
    const quint64 conduit = data.conduit();
    if (isOutlookProfile() && GlobalVariables::getIsWiFiSync() && takesDeviceDeletions(data.syncDeletions())) {
        // The device listed every record it still has: whatever the Outlook side knows beyond those
        // was deleted there. Without such a list nothing can be told apart, and nothing is deleted
        // but what the page itself deleted.
        if (const std::optional<QStringList> onDevice = deviceRecordIds(conduit))
            idsToDelete = dataSource.findDeletes(*onDevice);
        else
            DDLogWarn(QStringLiteral("The device listed no record ids; deletions are taken from the page only"));
    }
    DDLogVerbose(QStringLiteral("idsToDelete.count %1").arg(idsToDelete.size()));
    if (idsToDelete.isEmpty())
        return;
    // With the Mac as the primary database the settings promise that records deleted on the device
    // are ignored: the page's deletions must not remove the Mac's records either.
    if (!takesDeviceDeletions(data.syncDeletions())) {
        DDLogInfo(QStringLiteral("Ignoring %1 deletions from the device due to the deletion setting")
                      .arg(idsToDelete.size()));
        // Nothing was deleted on the Mac, and the run's summary must not say otherwise.
        const qint64 deletesLeft = data.appleDeletes() - idsToDelete.size();
        data.setAppleDeletes(deletesLeft > 0 ? deletesLeft : 0);
        return;
    }
    if (!massDeletionAllowed(data, idsToDelete.size(), dataSource.syncedRecordCount(), kMacSide))
        return;
    if (!isOutlookProfile()) {
        dataSource.deleteUidRecords(idsToDelete);
        return;
    }
    if (didPurgeTheseConduits().contains(letterOf(conduit))) {
        // The device was emptied in this run: its missing records say nothing about the Mac's.
        DDLogVerbose(QStringLiteral("readDeletes %1").arg(0));
        return;
    }
    dataSource.deleteOutlookUidRecords(idsToDelete);
}

bool HMSyncController::massDeletionAllowed(HMSyncConduitData &data, qsizetype deletions, qsizetype records,
                                           const QString &side)
{
    if (!deletionguard::needsQuestion(deletions, records))
        return true;
    const QString question = deletionguard::questionText(deletions, records, data.conduit(), side);
    if (deletionguard::askToDelete(
            question, [this] { return m_run.shouldSafelyCancel.load() || m_run.shouldForceCancel.load(); }))
        return true;
    const QString failure = QStringLiteral("Deletion declined: the %1 of %2 %3 on the %4 were kept.")
                                .arg(deletions)
                                .arg(records)
                                .arg(deletionguard::recordsNoun(data.conduit()), side);
    DDLogError(failure);
    recordError(HMSyncError::Other, failure);
    writeRemainOnCurrentConduit(false);
    setStageErrored();
    return false;
}

// ---- Cloud contact pictures ---------------------------------------------------------------------

bool HMSyncController::waitForContactPictures()
{
    const auto arrived = [this] { return m_run.picturesUpdated.load(); };
    if (waitForTransport(arrived, kContactPictureWaitLimitSeconds))
        return true;
    DDLogError(QStringLiteral("The contact pictures did not arrive; the sync ends"));
    return false;
}

void HMSyncController::saveContactPictures(HMData &dataSource)
{
    const QVariantMap pictures = m_syncClient->getContactPhotos();
    if (!pictures.isEmpty())
        postStepNotificationWithMessage(QStringLiteral("Reading Contact Photos"), std::nullopt);
    dataSource.savePicturesFromQuillnestSync(pictures);
    // Set, or kept to be asked for again: the next page's pictures must not set them once more.
    m_syncClient->clearContactPhotos();
    dataSource.saveChanges();
}
