#pragma once

#include "foundation/HMDateUtilities.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncRecord.h"
#include "sync/HMSyncTypes.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {
class DispatchQueue;
struct OperatingSystemVersion;
} // namespace platform

class HMData;
class HMIdentifierGraphEntry;
class HMSyncClient;
class HMSyncConduitData;
class HMSyncControllerConfigurationProtocol;
class HMSyncControllerDelegate;

// The stages of a run, in the order 1, 2, 3, 4, 5, 6, 7, 9, 11, 10, 12; any stage may jump to 13.
enum class HMSyncStage : quint64 {
    NotStarted = 0,
    PrepareConduits = 1,
    PrepareController = 2,
    Logon = 3,
    Purge = 4,
    IdList = 5,
    List = 6,
    Update = 7,
    UpdatePhotos = 8,
    Logoff = 9,
    CleanupConduits = 10,
    CleanupController = 11,
    Finished = 12,
    Errored = 13,
};

// What the transport is doing.
enum class HMSyncState : quint64 {
    Idle = 0,
    Connecting = 1,
    Sending = 2,
    Receiving = 3,
    Waiting = 4,
    Processing = 5,
};

// Why a run ended in error.
enum class HMSyncError : quint64 {
    None = 0,
    Cancelled = 1,
    ForceCancelled = 2,
    Timeout = 3,
    NoNetworkConnection = 4,
    InvalidProfile = 5,
    Other = 6,
    InvalidUsernamePassword = 8,
};

// Runs one sync of one profile: prepares the enabled conduits, prepares the transport and logs on,
// then purges, lists ids, lists and applies the other side's changes, and sends the Mac's changes for
// each enabled conduit in the order contacts, calendar, tasks, memos; then logs off, cleans up and
// writes the results into the profile. It is the transport's delegate: the transport's replies hop
// onto the run's own serial queue, where every stage runs, and continue the machine.
//
// A controller serves one run and is not restarted. Its owner keeps it in a std::shared_ptr (made by
// initWithConfiguration) until its delegate hears syncDidFinishForController. Only one run may be
// active in the process: a second startProcessing while one runs is refused.
// Thread rules: startProcessing, the cancels and the readers may be called from any thread; the
// stages run on the run queue; the transport calls its callbacks from its own threads.
class HMSyncController final : public HMSyncClientDelegate, public std::enable_shared_from_this<HMSyncController>
{
public:
    using TransportFactory = std::function<std::unique_ptr<HMSyncClient>(
        const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)>;

    // A controller for the configuration, with the transport registered for its sync method; null
    // without a configuration.
    static std::shared_ptr<HMSyncController> initWithConfiguration(
        std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration);
    ~HMSyncController() override;
    HMSyncController(const HMSyncController &) = delete;
    HMSyncController &operator=(const HMSyncController &) = delete;

    // Registers (or, with an empty factory, removes) the transport of a sync method (1 Wi-Fi, 2 USB,
    // 4 cloud). The transport libraries register theirs at start-up. Thread-safe.
    static void registerTransport(quint64 syncMethod, TransportFactory factory);
    // Registers a transport class for a sync method: each run's transport is the class's
    // initWithConfiguration(configuration, timing), handed to `adjust` before the run gets it (a null
    // one is passed on as it is).
    template <typename Transport, typename Timing, typename Adjust>
    static void registerTransportClass(quint64 syncMethod, Timing timing, Adjust adjust);

    // Starts the run and returns at once; the run continues on the run queue. Does nothing while any
    // run of the process is active.
    void startProcessing();
    // Ends the run at the next stage change, after the request in flight.
    void safelyCancelSync();
    // Ends the run at once: the request in flight is abandoned.
    void forceCancelSync();

    HMSyncState syncState() const;
    HMSyncStage syncStage() const { return m_run.stage.load(); }
    void setSyncStage(HMSyncStage stage) { m_run.stage.store(stage); }
    HMSyncError syncError() const;
    QString syncErrorDescription() const;
    std::weak_ptr<HMSyncControllerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<HMSyncControllerDelegate> delegate);
    std::shared_ptr<platform::DispatchQueue> syncQueue() const;
    quint64 currentConduit() const { return m_run.currentConduit.load(); }
    // Index = conduit number (HMSyncConduit): the run's own dates under None, then the four conduits.
    const std::array<std::shared_ptr<HMSyncConduitData>, 5> &conduitSyncDataObjects() const { return m_conduits; }
    qint64 activeConduitCount() const { return m_activeConduitCount; }
    std::shared_ptr<HMSyncControllerConfigurationProtocol> controllerConfiguration() const { return m_configuration; }
    HMDateUtilities &dateUtilities() { return m_dateUtilities; }
    HMSyncClient *syncClient() const { return m_syncClient.get(); }

    bool remainOnCurrentConduit() const { return m_run.remainOnCurrentConduit; }
    bool remainOnUpdateConduit() const { return m_run.remainOnUpdateConduit; }
    bool updatePhotosStage() const { return m_run.updatePhotosStage; }
    bool didPurge() const { return m_run.didPurge; }
    bool didSendContactPhotos() const { return m_run.didSendContactPhotos; }
    bool picturesUpdated() const { return m_run.picturesUpdated; }
    bool isReceivingPhotos() const { return m_run.isReceivingPhotos; }
    quint64 lastConduitUsed() const { return m_lastConduitUsed; }
    QString didPurgeTheseConduits() const;
    QStringList allContactsOnTheDevice() const;
    QStringList allEventsOnTheDevice() const;
    QStringList allTasksOnTheDevice() const;
    QStringList allMemosOnTheDevice() const;
    // Outlook ids of the records sent to the device in this run, of every conduit.
    QSet<QString> olmIdsForContactsSentToDevice() const;

    static bool getIsSynchronizing();
    static void setIsSynchronizing(bool isSynchronizing);
    static bool getInSendUpdates();
    static void setInSendUpdates(bool inSendUpdates);

    static QString stringForSyncState(quint64 state);
    static QString stringForSyncStage(quint64 stage);
    static QString stringForConduit(quint64 conduit);
    static QString stringForSyncError(quint64 error);
    // The step text the progress sheet shows for a stage and conduit.
    static QString userMessageForSyncStage(quint64 stage, quint64 conduit);
    // Whether a system of this version has the event store that replaced the calendar store: 10.8 or
    // later, the major and minor parts compared as a pair.
    static bool isEventKitSystem(const platform::OperatingSystemVersion &version);

    // HMSyncClientDelegate.
    void logonCommandReturned(bool wasSuccessful, const QVariantMap &reply) override;
    void logoffCommandReturned(bool wasSuccessful) override;
    void purgeCommandReturned(bool wasSuccessful) override;
    void setIdsForNonDeletedWiFiRecords(const QStringList &recordIds, const QString &conduitLetter) override;
    void idListCommandReturnedWithDictionaries(const QStringList &deviceIds) override;
    void idListCommandFinishedSuccessful(bool wasSuccessful) override;
    void picturesDictionaryUpdated() override;
    void setReceivingPhotosStatus(bool isReceiving) override;
    void listCommandReturnedWithDictionaries(const QList<QVariantMap> &records) override;
    void listCommandFinishedSuccessful(bool wasSuccessful) override;
    void writeRemainOnCurrentConduit(bool remain) override;
    void writeRemainOnUpdateConduit(bool remain) override;
    void writeUpdatePhotosStage(bool photosStage) override;
    bool returnUpdatePhotosStage() override;
    void updateCommandReturnedWithDetailedDictionaries(const QList<QVariantMap> &results) override;
    void updateCommandReturnedWithDictionary(const QVariantMap &ids) override;
    void updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit) override;
    bool contentsAboutToBeSentForConduit(const QMap<QString, QString> &contentById, quint64 conduit) override;
    void updateCommandReturnedSuccessful(bool wasSuccessful) override;
    void postCustomNotification(const QString &text, qint64 recordCount) override;
    void updateTempWiFiId(const QString &temporaryId, const QString &permanentId) override;
    void commandErroredStopProcessing() override;
    void commandWasForceCancelled() override;
    void didStartConnecting() override;
    void didStartSending() override;
    void didFinishSending() override;
    void didStartReceiving() override;
    void didFinishReceiving() override;
    void didErrorWithError(quint64 errorCode, const QString &errorMessage) override;
    void postOverallSyncNotificationWithMessage(const QString &message, double progress) override;
    void postStateChangeNotificationWithMessage(const QString &message) override;
    void postStepNotificationWithMessage(const QString &message, std::optional<double> progress) override;
    void writeCurrentConduit(quint64 conduit) override;

    // Ends the run with error 6 and the address-book text; also the observer of
    // "kHMAddressBookInaccessible".
    void addressBookNotAccessible();
    void postSyncDidStartNotification();
    void postSyncDidFinishNotification();

private:
    explicit HMSyncController(std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration);

    // The stage machine; on the run queue.
    void process();
    bool setNextConduit();
    bool setNextStage();
    bool runStageAction(HMSyncStage stage);
    // Ends the run in error where the logon or logoff command could not be sent; its answer moves a
    // sent one on.
    void erroredUnlessSent(bool sent, const char *command);
    void prepareConduit();
    void prepareController();
    void cleanupConduit();
    void cleanupController();
    // Lets every conduit's graph go of its lookup tables.
    void releaseGraphLookups();
    void finishProcessing();
    void finishProcessesAfterError();
    void setSyncState(HMSyncState state);
    void beginOnRunQueue();
    void parseLogonDictionary(const QVariantMap &reply);
    void logConduitSettings();

    // The record stages. Each asks the transport and waits for its reply.
    void sendPurgeCommand();
    void finishPurging();
    void sendIdListCommand();
    void sendListCommand();
    void sendUpdates();
    void sendWifiPhotos();
    // Working on the records of the other side's replies.
    // Takes the ids of the other side's id list (each row's UID, in order).
    void parseIdListData(const QStringList &deviceIds);
    void parseListDictionaries(const QList<QVariantMap> &records);
    void parseUpdateReturnedDictionary(const QVariantMap &ids);
    void parseUpdateReturnedDictionary(const QVariantMap &ids, quint64 conduit);
    void parseUpdateReturnedDetailedDictionaryList(const QList<QVariantMap> &results);
    // Helpers of the record stages (HMSyncController+Listing.cpp, HMSyncController+Updates.cpp).
    bool isOutlookProfile() const;
    // A record stage called off the run queue does no work and ends the run there.
    void failOffRunQueue();
    void failWithoutDataSource(const HMSyncConduitData &data);
    // Saves the conduit's identifier graph, then its store. A failure records the error and errors the
    // stage, so the run ends before the logoff tells the device its changes arrived.
    bool saveConduitChanges(HMSyncConduitData &data, HMData &dataSource);
    // Ends the conduit's page in error: logged, recorded, the stage errored.
    void failPage(const QString &failure);
    static bool isUnchangedOutlookPairInRecovery(HMData &dataSource, const QVariantMap &normalized,
                                                 const QString &uid);
    QDateTime listStartPoint(HMSyncConduitData &data, HMData &dataSource) const;
    bool takeOutlookRefusals(quint64 conduit) const;
    void applyDeviceRecord(const QVariantMap &record, HMSyncConduitData &data, HMData &dataSource,
                           QStringList &idsToDelete, QSet<QString> &writtenFromDevice);
    void applyToMacStore(qint32 action, const QVariantMap &normalized, HMSyncConduitData &data, HMData &dataSource,
                         QSet<QString> &writtenFromDevice);
    // Once the conduit's last page is applied: the device records kept aside for matching with
    // unconfirmed adds are settled and applied, and saved.
    void finishDeviceListing();
    void deleteVanishedRecords(HMSyncConduitData &data, HMData &dataSource, QStringList idsToDelete);
    bool isDeviceCopyOfMacChange(HMData &dataSource, const QVariantMap &normalized, const QString &uid,
                                 const HMSyncConduitData &data) const;
    // Whether the device changed its record since the conduit's last sync, by the record's own time;
    // nullopt when the record carries no time.
    static std::optional<bool> isChangedOnDeviceSinceLastSync(HMData &dataSource, const QVariantMap &normalized,
                                                              const HMSyncConduitData &data);
    // Whether a record the device has not changed since the last sync is a mapped one read again by
    // the whole listing that follows a run ended before its adds were answered: such a listing carries
    // every device record, and applying the unchanged ones would undo the desktop's edits since. (A
    // device copy of a record deleted here since is never applied, whatever the listing:
    // HMData::isMappedItemGone.) The desktop's changes go in this run's updates.
    static bool isUnchangedCopyInRecoveryListing(HMData &dataSource, const QString &uid);
    // Whether deleting that many of the side's records of the conduit may go ahead: a mass deletion
    // asks first (HMDeletionGuard.h), and a No ends the run in error with nothing deleted.
    bool massDeletionAllowed(HMSyncConduitData &data, qsizetype deletions, qsizetype records, const QString &side);
    // The ids the device reported for the conduit; none when it reported nothing.
    std::optional<QStringList> deviceRecordIds(quint64 conduit) const;
    void forgetDeviceRecordIds(quint64 conduit);
    // The conduit's list of the ids the device reported (under m_mutex); nullptr for no such conduit.
    QStringList *deviceIdList(quint64 conduit);
    const QStringList *deviceIdList(quint64 conduit) const
    {
        return const_cast<HMSyncController *>(this)->deviceIdList(conduit);
    }
    // Applies a page of device records to the Mac store and deletes the records that vanished from
    // the device; false, with nothing deleted, when the records the device already held could not be kept.
    bool applyListedPage(const QList<QVariantMap> &records, HMSyncConduitData &data, HMData &dataSource);
    // Whether the cloud's contact pictures came, where an Outlook contacts page awaits them (true where
    // none are awaited); those that came are saved.
    bool receiveContactPictures(quint64 conduit, HMData &dataSource);
    bool waitForContactPictures();
    void saveContactPictures(HMData &dataSource);
    std::optional<QList<HMSyncRecord>> macRecordsToSend(HMSyncConduitData &data, HMData &dataSource,
                                                        const QDateTime &startPoint, bool includeDeletes);
    // Answers whether every batch was sent and answered.
    bool runUpdateLoop(quint64 conduit, QList<HMSyncRecord> &records);
    // The listed records' way to the device: checked, marked, held back, saved, sent, then committed.
    QDateTime updateStartPoint(const HMSyncConduitData &data, HMData &dataSource, quint64 conduit);
    void sendListedRecords(HMSyncConduitData &data, HMData &dataSource, QList<HMSyncRecord> &records,
                           const QList<HMIdentifierGraphEntry> &before);
    bool updatesMustStop() const;
    void endUpdateLoopInError(const QString &message);
    bool runPhotoStep();
    // The photo step: on the main thread, asks the transport once, a second later, to send the photos.
    void updatePhotos();
    void stuff();
    // Blocks the run queue until the transport brought what it waits for (true), or the run was
    // cancelled, errored or timed out (false).
    bool waitForTransport(const std::function<bool()> &hasArrived, double limitSeconds);
    void wakeTransportWait();
    // Remembers that a record stage (purge, id list, list, update) ran for the conduit.
    void noteRecordStage(quint64 conduit);
    // The start of the purge, id list and list commands: notes the stage and gives the current
    // conduit's data, or nullptr when there is none (logged, naming the command, and the run goes on)
    // or the current conduit is not one of the four.
    HMSyncConduitData *beginRecordStage(const char *command);
    // The same for a command the conduit's sync direction may leave out (takesPart answers for the
    // direction): where it does, the run moves on (logged, naming skippedCommand) and the answer is
    // nullptr.
    HMSyncConduitData *beginDirectedStage(const char *command, const char *skippedCommand,
                                          bool (*takesPart)(quint64 direction));
    // The current conduit's data for an update reply; nullptr where the reply arrived off the run
    // queue (the run then fails) or holds no ids (logged).
    HMSyncConduitData *updateReplyConduit(bool hasIds);

    // Records the error code and its text for the user.
    void recordError(HMSyncError error, const QString &message);
    void scheduleProcess();
    // Runs the block on the run queue: at once when already there, otherwise queued. The block holds
    // the controller alive.
    void onRunQueue(std::function<void(HMSyncController &)> block);
    // The work of a transport callback, queued on the run queue; dropped, logged, once the run has
    // ended (checked now and again when the block runs).
    void hopToRunQueue(const char *callback, std::function<void(HMSyncController &)> block);
    // Whether a transport callback may still act; false, logged, once the run has ended.
    bool acceptsCallback(const char *callback) const;
    HMSyncConduitData &currentConduitData() const;
    // The run's own settings and dates, kept apart from the four conduits'.
    HMSyncConduitData &runData() const { return *m_conduits[quint64(HMSyncConduit::None)]; }
    bool isRunQueueCurrent() const;
    // The text an errored end carries when nothing more precise was recorded.
    void settleErrorText();
    void setStageErrored();
    QString localizedText(const QString &key) const;

    std::shared_ptr<HMSyncControllerConfigurationProtocol> m_configuration;
    std::unique_ptr<HMSyncClient> m_syncClient;
    std::array<std::shared_ptr<HMSyncConduitData>, 5> m_conduits;
    std::weak_ptr<HMSyncControllerDelegate> m_delegate;
    HMDateUtilities m_dateUtilities;
    std::shared_ptr<platform::DispatchQueue> m_syncQueue;
    platform::ObserverToken m_addressBookObserver;

    // Wakes the run queue's waits for the transport (pictures, photos) when anything they watch changes.
    std::mutex m_transportWaitMutex;
    std::condition_variable m_transportWait;
    // The run's state, each part read and set from the run queue, the transport's threads and the
    // window as it is: one run per controller, so nothing here is ever reset.
    struct RunState
    {
        std::atomic<bool> hasStarted = false;
        // Set once by whichever end (finished or errored) comes first; nothing acts after it.
        std::atomic<bool> hasEnded = false;
        std::atomic<HMSyncStage> stage = HMSyncStage::NotStarted;
        // The conduit number (HMSyncConduit) the run is on.
        std::atomic<quint64> currentConduit = 0;
        // Asked for by the window: end after the conduit under way, or at once.
        std::atomic<bool> shouldSafelyCancel = false;
        std::atomic<bool> shouldForceCancel = false;
        // Set by the transport: stay on the conduit or in its update loop for more pages.
        std::atomic<bool> remainOnCurrentConduit = false;
        std::atomic<bool> remainOnUpdateConduit = true;
        std::atomic<bool> updatePhotosStage = false;
        std::atomic<bool> didPurge = false;
        std::atomic<bool> didSendContactPhotos = false;
        std::atomic<bool> picturesUpdated = false;
        std::atomic<bool> isReceivingPhotos = false;
        // An update batch of this run failed: no further batch is sent and no later success counts.
        std::atomic<bool> updateBatchFailed = false;
    };
    RunState m_run;
    quint64 m_lastConduitUsed = 0;
    // Which conduits reached a record stage; used on the run queue only.
    std::array<bool, 5> m_recordStagesRan{};
    qint64 m_activeConduitCount = 0;

    // Guards the state, the error and the texts and lists below.
    mutable std::recursive_mutex m_mutex;
    HMSyncState m_syncState = HMSyncState::Idle;
    HMSyncError m_syncError = HMSyncError::None;
    QString m_syncErrorDescription;
    QString m_didPurgeTheseConduits;
    QStringList m_allContactsOnTheDevice;
    QStringList m_allEventsOnTheDevice;
    QStringList m_allTasksOnTheDevice;
    QStringList m_allMemosOnTheDevice;
    // Which conduits' device-id lists the transport reported, index = conduit.
    std::array<bool, 5> m_deviceIdsReported{};
    QSet<QString> m_olmIdsForContactsSentToDevice;
};

template <typename Transport, typename Timing, typename Adjust>
void HMSyncController::registerTransportClass(quint64 syncMethod, Timing timing, Adjust adjust)
{
    registerTransport(syncMethod,
                      [timing, adjust](const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
                          -> std::unique_ptr<HMSyncClient> {
                          std::unique_ptr<Transport> sync = Transport::initWithConfiguration(configuration, timing);
                          if (sync)
                              adjust(*sync);
                          return sync;
                      });
}
