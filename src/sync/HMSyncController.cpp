#include "sync/HMSyncController.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/TimeZone.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMData.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncClient.h"
#include "sync/HMSyncConduitData.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"
#include "sync/HMSyncControllerDelegate.h"

#include <QHash>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <optional>

namespace {

std::atomic<bool> s_isSynchronizing = false;
std::atomic<bool> s_inSendUpdates = false;

struct TransportRegistry
{
    std::mutex mutex;
    QHash<quint64, HMSyncController::TransportFactory> factories;
};

TransportRegistry &transportRegistry()
{
    // Never destroyed: a sync still running on its queue may make a transport while the process exits.
    static auto &registry = *new TransportRegistry;
    return registry;
}

const QString kCancelledText = QStringLiteral("Synchronization Cancelled");
const QString kForceCancelledText = QStringLiteral("Synchronization Force Cancelled... Duplication Might Occur");
const QString kUnknownErrorText = QStringLiteral("Unknown Error");
const QString kAddressBookText = QStringLiteral(
    "Address book access is denied.\nPlease enable access in OS X Privacy Settings. Click below for more info.");
constexpr double kLastSyncDelaySeconds = 3.0;
constexpr quint64 kCloudSyncMethod = 4;

bool isPerConduitStage(HMSyncStage stage)
{
    switch (stage) {
    case HMSyncStage::PrepareConduits:
    case HMSyncStage::Purge:
    case HMSyncStage::IdList:
    case HMSyncStage::List:
    case HMSyncStage::Update:
    case HMSyncStage::UpdatePhotos:
    case HMSyncStage::CleanupConduits:
        return true;
    default:
        return quint64(stage) > quint64(HMSyncStage::Errored);
    }
}

// The stages of a run in the order they run.
constexpr std::array kRunStages = {
    HMSyncStage::PrepareConduits,
    HMSyncStage::PrepareController,
    HMSyncStage::Logon,
    HMSyncStage::Purge,
    HMSyncStage::IdList,
    HMSyncStage::List,
    HMSyncStage::Update,
    HMSyncStage::Logoff,
    HMSyncStage::CleanupController,
    HMSyncStage::CleanupConduits,
    HMSyncStage::Finished,
};

// The stage a run goes on to from the stage; none for a stage outside the run's order or its last.
// The photo upload is part of the update stage.
std::optional<HMSyncStage> stageAfter(HMSyncStage stage)
{
    if (stage == HMSyncStage::UpdatePhotos)
        stage = HMSyncStage::Update;
    const auto at = std::find(kRunStages.begin(), kRunStages.end(), stage);
    if (at == kRunStages.end() || at + 1 == kRunStages.end())
        return std::nullopt;
    return *(at + 1);
}

// Fills each "%@" of a localised format with the next argument, in order.
QString fillFormat(const QString &format, const QStringList &arguments)
{
    QString result;
    qsizetype from = 0;
    for (const QString &argument : arguments) {
        const qsizetype at = format.indexOf(QLatin1String("%@"), from);
        if (at < 0)
            break;
        result += QStringView(format).mid(from, at - from);
        result += argument;
        from = at + 2;
    }
    result += QStringView(format).mid(from);
    return result;
}

qint64 secondsFromGmtOfPacificTime(const QDateTime &at)
{
    const platform::Result<platform::TimeZone> pacific = platform::TimeZone::named(QStringLiteral("US/Pacific"));
    return pacific ? pacific.value().secondsFromGmt(at) : 0;
}

std::shared_ptr<HMProfile> selectedProfile()
{
    const std::shared_ptr<HMProfilesController> profiles = GlobalVariables::getCurrentProfileController();
    if (!profiles)
        return nullptr;
    const std::vector<std::shared_ptr<HMProfile>> arranged = profiles->arrangedObjects();
    const qsizetype index = profiles->selectionIndex();
    if (index < 0 || index >= qsizetype(arranged.size()))
        return nullptr;
    return arranged[size_t(index)];
}

QString conduitDescription(const HMSyncConduitData &data)
{
    return QStringLiteral("%1: enabled %2, direction %3, conflict %4, deletions %5, purge %6")
        .arg(HMSyncController::stringForConduit(data.conduit()))
        .arg(int(data.syncEnabled()))
        .arg(data.syncDirection())
        .arg(data.conflictSetting())
        .arg(data.syncDeletions())
        .arg(int(data.purgeOnNextSync()));
}

} // namespace

// ---- Construction -------------------------------------------------------------------------------

std::shared_ptr<HMSyncController> HMSyncController::initWithConfiguration(
    std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration)
{
    if (!configuration)
        return nullptr;
    std::shared_ptr<HMSyncController> controller(new HMSyncController(std::move(configuration)));
    const std::weak_ptr<HMSyncController> weakController = controller;
    controller->m_addressBookObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMAddressBookInaccessible"), nullptr, [weakController](const platform::Notification &) {
            if (const std::shared_ptr<HMSyncController> strong = weakController.lock())
                strong->addressBookNotAccessible();
        });
    return controller;
}

HMSyncController::HMSyncController(std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration)
    : m_configuration(std::move(configuration))
{
    for (quint64 conduit = 0; conduit < m_conduits.size(); ++conduit)
        m_conduits[conduit] = std::make_shared<HMSyncConduitData>(conduit);

    const quint64 syncMethod = m_configuration->syncMethod();
    if (syncMethod == quint64(HMSyncMethod::WiFi) || syncMethod == quint64(HMSyncMethod::Adb))
        GlobalVariables::setIsWiFiSync(true);
    else if (syncMethod == quint64(HMSyncMethod::Quillnest))
        GlobalVariables::setIsWiFiSync(false);

    TransportFactory factory;
    {
        const std::lock_guard lock(transportRegistry().mutex);
        factory = transportRegistry().factories.value(syncMethod);
    }
    if (factory)
        m_syncClient = factory(m_configuration);
    if (m_syncClient)
        m_syncClient->setDelegate(this);
}

HMSyncController::~HMSyncController()
{
    m_addressBookObserver.reset();
    if (m_syncClient)
        m_syncClient->setDelegate(nullptr);
}

void HMSyncController::registerTransport(quint64 syncMethod, TransportFactory factory)
{
    const std::lock_guard lock(transportRegistry().mutex);
    if (factory)
        transportRegistry().factories.insert(syncMethod, std::move(factory));
    else
        transportRegistry().factories.remove(syncMethod);
}

// ---- Start --------------------------------------------------------------------------------------

void HMSyncController::startProcessing()
{
    if (m_run.hasStarted.load()) {
        DDLogWarn(QStringLiteral("A sync controller serves one run only; start ignored"));
        return;
    }
    bool wasSynchronizing = false;
    if (!s_isSynchronizing.compare_exchange_strong(wasSynchronizing, true)) {
        DDLogInfo(QStringLiteral("A sync is already running; start ignored"));
        return;
    }
    m_run.hasStarted.store(true);
    GlobalVariables::setIsSynchronizing(true);
    GlobalVariables::resetContactAddUpdateCountsThisSync();
    {
        const std::lock_guard lock(m_mutex);
        m_didPurgeTheseConduits = QString(QLatin1String(""));
    }
    postSyncDidStartNotification();
    if (const std::shared_ptr<HMSyncControllerDelegate> owner = delegate().lock())
        owner->syncDidStartForController(*this);

    runData().setRereadAppleOnNextSync(m_configuration->rereadAppleOnNextSync());
    runData().setRereadDeviceOnNextSync(m_configuration->rereadDeviceOnNextSync());
    for (const HMSyncConduit conduit : kHMSyncConduits)
        m_configuration->startProcessingSyncForConduitData(*m_conduits[quint64(conduit)]);

    m_syncQueue = platform::DispatchQueue::createSerial(QStringLiteral("com.harrowmere.synctaskqueue"));
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->async([self] { self->beginOnRunQueue(); });
}

void HMSyncController::beginOnRunQueue()
{
    runData().setSyncStartDate(platform::Clock::now());
    logConduitSettings();

    setSyncStage(HMSyncStage::PrepareConduits);
    QString message;
    const bool isValid = m_syncClient && m_syncClient->verifyProfileIsValid(message);
    if (!isValid) {
        const std::lock_guard lock(m_mutex);
        m_syncError = HMSyncError::InvalidProfile;
        m_syncErrorDescription = message.isEmpty() ? kUnknownErrorText : message;
        setStageErrored();
    }
    process();
}

void HMSyncController::logConduitSettings()
{
    for (const HMSyncConduit conduit : kHMSyncConduits) {
        HMSyncConduitData &data = *m_conduits[quint64(conduit)];
        // The number always follows the stored name, whatever the log level.
        if (const std::optional<HMSyncDirection> deletions = syncDirectionForName(data.syncDeletionsName()))
            data.setSyncDeletions(quint64(*deletions));
        if (data.syncEnabled())
            ++m_activeConduitCount;
        DDLogInfo(conduitDescription(data));
    }
}

// ---- The machine --------------------------------------------------------------------------------

void HMSyncController::process()
{
    Q_ASSERT(isRunQueueCurrent());
    if (m_run.hasEnded.load()) {
        DDLogInfo(QStringLiteral("process ignored: the run has ended"));
        return;
    }
    DDLogVerbose(QStringLiteral("process %1").arg(stringForSyncStage(quint64(syncStage()))));
    s_inSendUpdates.store(syncStage() == HMSyncStage::Update);

    for (;;) {
        if (m_run.remainOnCurrentConduit.load()) {
            // The same stage runs again for the same conduit.
        } else if (isPerConduitStage(syncStage())) {
            if (!setNextConduit() && !setNextStage())
                return;
        } else if (m_run.shouldSafelyCancel.load()) {
            setStageErrored();
            recordError(HMSyncError::Cancelled, QString());
        }

        if (m_run.shouldForceCancel.load()) {
            setStageErrored();
            const std::lock_guard lock(m_mutex);
            m_syncError = HMSyncError::ForceCancelled;
        }
        const HMSyncStage stage = syncStage();
        if (stage == HMSyncStage::Errored) {
            GlobalVariables::setQuillnestErrorStatus(true);
            finishProcessesAfterError();
            return;
        }

        postStateChangeNotificationWithMessage(stringForSyncStage(quint64(stage)));
        const QString overallText =
            stage == HMSyncStage::Logoff
                ? fillFormat(localizedText(QStringLiteral("updating_%@_in_%@")),
                             {QStringLiteral("records"), localizedText(QStringLiteral("quillpad"))})
                : userMessageForSyncStage(quint64(stage), currentConduit());
        postOverallSyncNotificationWithMessage(overallText, double(quint64(stage)) / 12.0);

        // A stage that continues at the loop head may have ended the run (stage 13): the next pass
        // then takes the errored end, so the run never stops without one.
        if (!runStageAction(stage))
            return;
    }
}

void HMSyncController::erroredUnlessSent(bool sent, const char *command)
{
    if (sent)
        return;
    DDLogError(QStringLiteral("Error with %1 command.").arg(QLatin1String(command)));
    setStageErrored();
    scheduleProcess();
}

bool HMSyncController::runStageAction(HMSyncStage stage)
{
    switch (stage) {
    case HMSyncStage::PrepareConduits:
        prepareConduit();
        return true;
    case HMSyncStage::PrepareController:
        prepareController();
        return true;
    case HMSyncStage::Logon:
        erroredUnlessSent(m_syncClient && m_syncClient->logon(), "logon");
        return false;
    case HMSyncStage::Purge:
        sendPurgeCommand();
        return false;
    case HMSyncStage::IdList:
        DDLogVerbose(QStringLiteral("Sending IdListCommand"));
        sendIdListCommand();
        return false;
    case HMSyncStage::List:
        sendListCommand();
        return false;
    case HMSyncStage::Update:
        sendUpdates();
        return false;
    case HMSyncStage::UpdatePhotos:
        sendWifiPhotos();
        return false;
    case HMSyncStage::Logoff:
        erroredUnlessSent(m_syncClient && m_syncClient->logoff(), "logoff");
        return false;
    case HMSyncStage::CleanupConduits:
        cleanupConduit();
        return true;
    case HMSyncStage::CleanupController:
        cleanupController();
        return true;
    case HMSyncStage::Finished:
        finishProcessing();
        return false;
    default:
        DDLogError(QStringLiteral("Unkown Sync Stage: %1. Erroring Out").arg(quint64(stage)));
        GlobalVariables::setQuillnestErrorStatus(true);
        finishProcessesAfterError();
        return false;
    }
}

bool HMSyncController::setNextConduit()
{
    const quint64 conduitNow = currentConduit();
    if (const std::shared_ptr<HMData> leaving = isSyncConduit(conduitNow) ? m_conduits[conduitNow]->conduitData() : nullptr)
        leaving->conduitStageDidEnd();
    // The conduit's data source let go of what it read of its store: the pages that freed go back to
    // the system now, so that the next conduit's reads do not come on top of them.
    ::malloc_trim(0);
    if (!GlobalVariables::getIsOutlookSync()) {
        const QString appName = localizedText(QStringLiteral("Harrowmere"));
        const bool eventKit = isEventKitSystem(platform::ProcessInfo::operatingSystemVersion());
        // On EventKit the flag tells of the events' folder only: its reminders have a flag of their own.
        if (GlobalVariables::getunwritableCalendar() && (!eventKit || conduitNow == 2)) {
            setStageErrored();
            const std::lock_guard lock(m_mutex);
            if (conduitNow == 2)
                m_syncErrorDescription = QStringLiteral("Could not write to Apple calendar. Make sure you have a valid "
                                                        "Apple calendar selected in %1 Advanced Settings.")
                                             .arg(appName);
            else if (conduitNow == 3)
                m_syncErrorDescription = QStringLiteral("Could not write to Apple tasks calendar. Make sure you have "
                                                        "a valid Apple tasks calendar selected in %1 Advanced Settings.")
                                             .arg(appName);
        } else if (eventKit && GlobalVariables::getunwritableEKCalendar()) {
            setStageErrored();
            const std::lock_guard lock(m_mutex);
            m_syncErrorDescription = QStringLiteral("Could not write to Apple reminders calendar. Make sure you have a "
                                                    "valid Apple reminders calendar selected in %1 Advanced Settings.")
                                         .arg(appName);
        }
    }

    quint64 conduit = conduitNow;
    bool wrapped = false;
    for (;;) {
        conduit = conduit >= quint64(HMSyncConduit::Memos) ? quint64(HMSyncConduit::None) : conduit + 1;
        m_run.currentConduit.store(conduit);
        if (conduit == quint64(HMSyncConduit::None)) {
            DDLogVerbose(QStringLiteral("HMSyncConduitNotes!"));
            wrapped = true;
            break;
        }
        if (m_conduits[conduit]->syncEnabled())
            break;
    }
    return !(m_run.shouldSafelyCancel.load() || wrapped);
}

bool HMSyncController::setNextStage()
{
    const HMSyncStage stage = syncStage();
    if (stage == HMSyncStage::Finished || stage == HMSyncStage::Errored) {
        commandErroredStopProcessing();
        platform::UserDefaults &defaults = platform::UserDefaults::standardUserDefaults();
        defaults.setObject(platform::Clock::now().addMSecs(qint64(kLastSyncDelaySeconds * 1000)), QStringLiteral("LastSync"));
        if (!defaults.synchronize())
            DDLogError(QStringLiteral("The user defaults could not be saved"));
        return false;
    }
    const std::optional<HMSyncStage> next = stageAfter(stage);
    if (!next)
        return true;
    // Each conduit's update stage builds again the lookups it makes, and holds no other conduit's
    // tables from the listing meanwhile.
    if (stage == HMSyncStage::List)
        releaseGraphLookups();
    setSyncStage(*next);
    if (m_run.shouldSafelyCancel.load()) {
        setStageErrored();
        recordError(HMSyncError::Cancelled, QString());
    }
    return true;
}

void HMSyncController::prepareConduit()
{
    const quint64 conduit = currentConduit();
    if (!isSyncConduit(conduit))
        return;
    HMSyncConduitData &data = *m_conduits[conduit];
    m_configuration->prepareConduitDataForProcessing(data);
    if (!data.conduitData()) {
        // Without a data source every later stage of the conduit would have nothing to work on.
        setStageErrored();
        recordError(HMSyncError::Other,
                    QStringLiteral("The %1 data source could not be opened.").arg(data.conduitIdentifierString()));
    }
}

void HMSyncController::prepareController()
{
    QString error;
    const std::optional<bool> prepared = m_syncClient ? m_syncClient->setup(error) : std::optional<bool>(false);
    if (prepared.has_value() && !*prepared) {
        DDLogError(QStringLiteral("Error while preparing controller: %1").arg(error));
        setStageErrored();
        recordError(HMSyncError::Other, error);
        scheduleProcess();
        return;
    }
    setNextStage();
}

void HMSyncController::cleanupController()
{
    if (m_syncClient)
        (void)m_syncClient->cleanup();
    // The record stages are over: no graph is looked up again, and each is written next, which
    // needs room of its own while every graph is still held.
    releaseGraphLookups();
    setNextStage();
}

void HMSyncController::releaseGraphLookups()
{
    for (const HMSyncConduit conduit : kHMSyncConduits) {
        const std::shared_ptr<HMData> dataSource = m_conduits[quint64(conduit)]->conduitData();
        if (const std::shared_ptr<HMIdentifierGraph> graph = dataSource ? dataSource->identifierGraph() : nullptr)
            graph->releaseLookups();
    }
}

void HMSyncController::cleanupConduit()
{
    const quint64 conduit = currentConduit();
    if (!isSyncConduit(conduit)) {
        DDLogVerbose(QStringLiteral("cleanupConduit nothing"));
        return;
    }
    // Once for every enabled conduit: the data sources release their per-run store objects.
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    HMSyncConduitData &data = *m_conduits[conduit];
    // The conduit's start date becomes its last-sync date. Only the list stage sets it, so a conduit
    // whose record stages ran without listing (Mac to device, or nothing new on the device) takes the
    // run's start, and one whose record stages never ran keeps its previous date: either way the next
    // run reads every change it has not yet exchanged.
    if (!data.syncStartDate().isValid())
        data.setSyncStartDate(m_recordStagesRan[conduit] ? runData().syncStartDate() : data.lastSyncDate());
    m_configuration->cleanupConduitDataAfterProcessing(data);
}

// ---- The end ------------------------------------------------------------------------------------

void HMSyncController::finishProcessing()
{
    if (m_run.hasEnded.exchange(true)) {
        DDLogInfo(QStringLiteral("finishProcessing ignored: the run has already ended"));
        return;
    }
    const QDateTime now = platform::Clock::now();
    runData().setSyncFinishDate(now);
    GlobalVariables::setLastSyncEndDate(now);
    if (const std::shared_ptr<HMProfile> shown = selectedProfile())
        shown->setLastSyncDateWorkaround(now);

    DDLogInfo(QStringLiteral("------------ Synchronization Finished ------------"));
    DDLogInfo(QStringLiteral("Start Time: %1").arg(m_dateUtilities.localDateTimeStringFromDate(runData().syncStartDate())));
    DDLogInfo(QStringLiteral("Finish Time: %1").arg(m_dateUtilities.localDateTimeStringFromDate(now)));
    for (const HMSyncConduit conduit : kHMSyncConduits) {
        const HMSyncConduitData &data = *m_conduits[quint64(conduit)];
        if (!data.syncEnabled())
            continue;
        DDLogInfo(QStringLiteral("%1: device records %2, Apple records %3, device adds %4 updates %5 deletes %6, "
                                 "Apple adds %7 updates %8 deletes %9")
                      .arg(stringForConduit(quint64(conduit)))
                      .arg(data.deviceRecordCount())
                      .arg(data.appleRecordCount())
                      .arg(data.deviceAdds())
                      .arg(data.deviceUpdates())
                      .arg(data.deviceDeletes())
                      .arg(data.appleAdds())
                      .arg(data.appleUpdates())
                      .arg(data.appleDeletes()));
    }

    if (m_conduits[quint64(HMSyncConduit::Contacts)]->rereadAppleOnNextSync())
        m_configuration->setRereadAppleOnNextSync(false);
    m_configuration->setRereadDeviceOnNextSync(false);
    for (const HMSyncConduit conduit : kHMSyncConduits)
        m_configuration->finishedProcessingSyncForConduitData(*m_conduits[quint64(conduit)]);
    if (!m_configuration->saveConfigurationChanges())
        DDLogError(QStringLiteral("The profile could not be saved at the end of the sync"));

    setSyncState(HMSyncState::Idle);
    postSyncDidFinishNotification();
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    platform::DispatchQueue::main()->async([self] {
        if (const std::shared_ptr<HMSyncControllerDelegate> owner = self->delegate().lock())
            owner->syncDidFinishForController(*self);
    });

    DDLogVerbose(QStringLiteral("Setting isSynchronizing to NO"));
    s_isSynchronizing.store(false);
    GlobalVariables::setIsSynchronizing(false);
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kSynchronizationDidFinish"));
}

void HMSyncController::settleErrorText()
{
    const std::lock_guard lock(m_mutex);
    if (m_syncErrorDescription.isEmpty()) {
        if (m_syncError == HMSyncError::Cancelled) {
            m_syncErrorDescription = kCancelledText;
        } else if (m_syncError == HMSyncError::ForceCancelled) {
            m_syncErrorDescription = kForceCancelledText;
        } else {
            m_syncError = HMSyncError::Other;
            m_syncErrorDescription = kUnknownErrorText;
        }
    }
    if (m_syncError == HMSyncError::None)
        m_syncError = HMSyncError::Other;
}

void HMSyncController::finishProcessesAfterError()
{
    if (m_run.hasEnded.exchange(true)) {
        DDLogInfo(QStringLiteral("finishProcessesAfterError ignored: the run has already ended"));
        return;
    }
    DDLogInfo(QStringLiteral("finishProcessesAfterError"));
    settleErrorText();
    if (!m_configuration->saveConfigurationChanges())
        DDLogError(QStringLiteral("The profile could not be saved at the end of the sync"));
    setSyncState(HMSyncState::Idle);
    postSyncDidFinishNotification();

    const std::shared_ptr<HMSyncController> self = shared_from_this();
    const std::shared_ptr<platform::DispatchQueue> main = platform::DispatchQueue::main();
    main->async([self, main] {
        main->async([self] {
            if (const std::shared_ptr<HMSyncControllerDelegate> owner = self->delegate().lock())
                owner->syncDidFinishForController(*self);
            if (!GlobalVariables::getQuillnestErrorStatus())
                self->m_syncQueue->sync([] {});
            s_isSynchronizing.store(false);
            GlobalVariables::setIsSynchronizing(false);
            platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kSynchronizationDidFinish"));
        });
    });
}

// ---- Cancel and errors --------------------------------------------------------------------------

void HMSyncController::safelyCancelSync()
{
    DDLogInfo(QStringLiteral("safelyCancelSync"));
    m_run.shouldSafelyCancel.store(true);
}

void HMSyncController::forceCancelSync()
{
    DDLogInfo(QStringLiteral("forceCancelSync"));
    m_run.shouldForceCancel.store(true);
    wakeTransportWait();
    const HMSyncState state = syncState();
    if (state == HMSyncState::Idle || state == HMSyncState::Processing || !m_syncClient || m_run.hasEnded.load())
        return;
    m_syncClient->forceCancel();
}

void HMSyncController::recordError(HMSyncError error, const QString &message)
{
    didErrorWithError(quint64(error), message);
}

void HMSyncController::didErrorWithError(quint64 errorCode, const QString &errorMessage)
{
    DDLogError(QStringLiteral("didErrorWithError: '%1' andErrorMessage: '%2'").arg(stringForSyncError(errorCode), errorMessage));
    setSyncState(HMSyncState::Processing);
    QString text = errorMessage;
    if (text.isNull()) {
        switch (errorCode) {
        case 1:
            text = kCancelledText;
            break;
        case 2:
            text = kForceCancelledText;
            break;
        case 3:
            text = localizedText(syncStage() == HMSyncStage::Logon ? QStringLiteral("synchronization_timeout")
                                                                   : QStringLiteral("synchronization_timeout_midsync"));
            break;
        default:
            break;
        }
    }
    if (text.isNull())
        text = kUnknownErrorText;
    {
        const std::lock_guard lock(m_mutex);
        m_syncError = HMSyncError(errorCode);
        m_syncErrorDescription = text;
    }
    wakeTransportWait();
}

void HMSyncController::commandErroredStopProcessing()
{
    if (!acceptsCallback("commandErroredStopProcessing"))
        return;
    setStageErrored();
    wakeTransportWait();
    onRunQueue([](HMSyncController &self) { self.process(); });
}

void HMSyncController::commandWasForceCancelled()
{
    if (!acceptsCallback("commandWasForceCancelled"))
        return;
    scheduleProcess();
    DDLogInfo(QStringLiteral("commandWasForceCancelled"));
}

void HMSyncController::addressBookNotAccessible()
{
    if (!acceptsCallback("addressBookNotAccessible:"))
        return;
    setStageErrored();
    recordError(HMSyncError::Other, kAddressBookText);
    onRunQueue([](HMSyncController &self) { self.process(); });
}

void HMSyncController::setStageErrored()
{
    setSyncStage(HMSyncStage::Errored);
}

// ---- Run-queue helpers --------------------------------------------------------------------------

bool HMSyncController::isRunQueueCurrent() const
{
    return m_syncQueue && m_syncQueue->isCurrent();
}

void HMSyncController::scheduleProcess()
{
    if (!m_syncQueue)
        return;
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->async([self] { self->process(); });
}

void HMSyncController::hopToRunQueue(const char *callback, std::function<void(HMSyncController &)> block)
{
    if (!acceptsCallback(callback))
        return;
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->async([self, callback, block = std::move(block)] {
        // The run may have ended while the block waited its turn.
        if (self->acceptsCallback(callback))
            block(*self);
    });
}

void HMSyncController::onRunQueue(std::function<void(HMSyncController &)> block)
{
    if (!m_syncQueue)
        return;
    if (isRunQueueCurrent()) {
        block(*this);
        return;
    }
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->async([self, block = std::move(block)] { block(*self); });
}

bool HMSyncController::acceptsCallback(const char *callback) const
{
    if (!m_run.hasEnded.load() && m_syncQueue)
        return true;
    DDLogInfo(QStringLiteral("%1 ignored: the run is not active").arg(QLatin1String(callback)));
    return false;
}

HMSyncConduitData &HMSyncController::currentConduitData() const
{
    const quint64 conduit = currentConduit();
    return conduit < m_conduits.size() ? *m_conduits[conduit] : runData();
}

QString HMSyncController::localizedText(const QString &key) const
{
    return platform::Bundle::localizedString(key);
}

// ---- State, notifications and the sheet ---------------------------------------------------------

HMSyncState HMSyncController::syncState() const
{
    return platform::lockedCopy(m_mutex, m_syncState);
}

void HMSyncController::setSyncState(HMSyncState state)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_syncState == state)
            return;
        m_syncState = state;
    }
    postStateChangeNotificationWithMessage(stringForSyncState(quint64(state)));
    if (state != HMSyncState::Waiting)
        return;
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Working..."));
}

HMSyncError HMSyncController::syncError() const
{
    return platform::lockedCopy(m_mutex, m_syncError);
}

QString HMSyncController::syncErrorDescription() const
{
    return platform::lockedCopy(m_mutex, m_syncErrorDescription);
}

std::weak_ptr<HMSyncControllerDelegate> HMSyncController::delegate() const
{
    return platform::lockedCopy(m_mutex, m_delegate);
}

void HMSyncController::setDelegate(std::weak_ptr<HMSyncControllerDelegate> delegate)
{
    platform::lockedAssign(m_mutex, m_delegate, std::move(delegate));
}

std::shared_ptr<platform::DispatchQueue> HMSyncController::syncQueue() const
{
    return m_syncQueue;
}

QString HMSyncController::didPurgeTheseConduits() const
{
    return platform::lockedCopy(m_mutex, m_didPurgeTheseConduits);
}

QStringList HMSyncController::allContactsOnTheDevice() const
{
    return platform::lockedCopy(m_mutex, m_allContactsOnTheDevice);
}

QStringList HMSyncController::allEventsOnTheDevice() const
{
    return platform::lockedCopy(m_mutex, m_allEventsOnTheDevice);
}

QStringList HMSyncController::allTasksOnTheDevice() const
{
    return platform::lockedCopy(m_mutex, m_allTasksOnTheDevice);
}

QStringList HMSyncController::allMemosOnTheDevice() const
{
    return platform::lockedCopy(m_mutex, m_allMemosOnTheDevice);
}

bool HMSyncController::getIsSynchronizing()
{
    return s_isSynchronizing.load();
}

void HMSyncController::setIsSynchronizing(bool isSynchronizing)
{
    s_isSynchronizing.store(isSynchronizing);
}

bool HMSyncController::getInSendUpdates()
{
    return s_inSendUpdates.load();
}

void HMSyncController::setInSendUpdates(bool inSendUpdates)
{
    s_inSendUpdates.store(inSendUpdates);
}

void HMSyncController::postSyncDidStartNotification()
{
    const platform::Status posted =
        platform::DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("HMSyncDidStartNotification"));
    if (!posted)
        DDLogError(posted.error().message());
}

void HMSyncController::postSyncDidFinishNotification()
{
    QVariantMap userInfo;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_syncErrorDescription.isEmpty()) {
            userInfo.insert(QStringLiteral("HMSyncDidFinishErrorCode"), qint64(m_syncError));
            userInfo.insert(QStringLiteral("HMSyncDidFinishErrorDescription"), m_syncErrorDescription);
        }
    }
    const qint64 tried = GlobalVariables::getContactAddUpdatesThisSync();
    const qint64 failed = GlobalVariables::getContactAddUpdateFailuresThisSync();
    if (GlobalVariables::getIsOutlookSync() && tried >= 6 && double(failed) > 0.5 * double(tried))
        DDLogError(QStringLiteral("Some records were not synchronized.\n\nOutlook appears to be in an unwritable state. "
                                  "Please quit and restart Outlook, then try the sync again."));
    const QString name = QStringLiteral("HMSyncDidFinishNotification");
    const platform::Status posted =
        platform::DistributedNotificationCenter::defaultCenter().postNotificationName(name, name, userInfo);
    if (!posted)
        DDLogError(posted.error().message());
}

void HMSyncController::postStateChangeNotificationWithMessage(const QString &message)
{
    const platform::Status posted = platform::DistributedNotificationCenter::defaultCenter().postNotificationName(
        QStringLiteral("HMSyncProgressStateNotification"), message);
    if (!posted)
        DDLogError(posted.error().message());
}

void HMSyncController::postOverallSyncNotificationWithMessage(const QString &message, double progress)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    // A run that finishes carrying an error (a refused logon that still logged off) says so.
    if (syncStage() == HMSyncStage::Finished)
        sheet->syncCompleted(syncErrorDescription());
    else
        sheet->setOverallMessageDirectly(message, progress);
}

void HMSyncController::postStepNotificationWithMessage(const QString &message, std::optional<double> progress)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setOverallMessageDirectly(QString(QLatin1String("")), progress.value_or(0.0));
    sheet->setUserMessageDirectly(message);
}

void HMSyncController::postCustomNotification(const QString &text, qint64 recordCount)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setUserMessageDirectly(recordCount < 0 ? text : QStringLiteral("%1 %2").arg(text).arg(recordCount));
}

// ---- Names --------------------------------------------------------------------------------------

QString HMSyncController::stringForSyncState(quint64 state)
{
    switch (state) {
    case 0:
        return QStringLiteral("HMSyncStateIdle");
    case 2:
        return QStringLiteral("HMSyncStateSending");
    case 3:
        return QStringLiteral("HMSyncStateReceiving");
    case 4:
        return QStringLiteral("HMSyncStateWaiting");
    case 5:
        return QStringLiteral("HMSyncStateProcessing");
    default:
        return QStringLiteral("HMSyncState %1 (Ask Programmer)").arg(state);
    }
}

QString HMSyncController::stringForSyncStage(quint64 stage)
{
    static const char *const names[] = {"HMSyncStageNotStarted",        "HMSyncStagePrepareConduits",
                                        "HMSyncStagePrepareController", "HMSyncStageLogon",
                                        "HMSyncStagePurge",             "HMSyncStageIdList",
                                        "HMSyncStageList",              "HMSyncStageUpdate",
                                        "Processing photos",            "HMSyncStageLogoff",
                                        "HMSyncStageCleanupConduits",   "HMSyncStageCleanupController",
                                        "HMSyncStageFinished",          "HMSyncStageErrored"};
    if (stage < std::size(names))
        return QLatin1String(names[stage]);
    return QStringLiteral("%1 (Ask Programmer)").arg(stage);
}

QString HMSyncController::stringForConduit(quint64 conduit)
{
    static const char *const names[] = {"HMSyncConduitNone", "HMSyncConduitContacts", "HMSyncConduitCalendar",
                                        "HMSyncConduitTasks", "HMSyncConduitNotes"};
    if (conduit < std::size(names))
        return QLatin1String(names[conduit]);
    return QStringLiteral("%1 (Ask Programmer)").arg(conduit);
}

QString HMSyncController::stringForSyncError(quint64 error)
{
    static const char *const names[] = {"HMSyncErrorNone",          "HMSyncErrorCancelled",
                                        "HMSyncErrorForceCancelled", "HMSyncErrorTimeout",
                                        "HMSyncErrorNoNetworkConnection", "HMSyncErrorInvalidProfile",
                                        "HMSyncErrorOther"};
    if (error < std::size(names))
        return QLatin1String(names[error]);
    if (error == 8)
        return QStringLiteral("HMSyncErrorInvalidUsernamePassword");
    return QStringLiteral("%1 (Ask Programmer)").arg(error);
}

QString HMSyncController::userMessageForSyncStage(quint64 stage, quint64 conduit)
{
    const auto text = [](const char *key) { return platform::Bundle::localizedString(QLatin1String(key)); };
    const QString quillpad = text("quillpad");
    const auto which = HMSyncConduit(conduit);
    QString storeName;
    if (which == HMSyncConduit::Contacts)
        storeName = text("addressbook");
    else if (which == HMSyncConduit::Calendar || which == HMSyncConduit::Tasks)
        storeName = text("apple_calendar");
    else
        storeName = stringForConduit(conduit);
    QString recordsWord = QStringLiteral("records");
    if (which == HMSyncConduit::Contacts)
        recordsWord = text("contacts");
    else if (which == HMSyncConduit::Calendar)
        recordsWord = text("events");
    else if (which == HMSyncConduit::Tasks)
        recordsWord = text("tasks");

    switch (stage) {
    case 1:
        return fillFormat(text("preparing_%@"), {storeName});
    case 2:
        return fillFormat(text("preparing_%@"), {quillpad});
    case 3:
        return fillFormat(text("logging_onto_%@"), {quillpad});
    case 4:
        return fillFormat(text("purging_%@_in_%@"), {recordsWord, quillpad});
    case 5:
        return fillFormat(text("reading_%@_from_%@"), {recordsWord, quillpad});
    case 6:
        return fillFormat(text("processing_%@_changes_from_%@"), {recordsWord, quillpad});
    case 7:
        return fillFormat(text("updating_%@_in_%@"), {recordsWord, quillpad});
    case 9:
        return fillFormat(text("logging_off_of_%@"), {quillpad});
    case 10:
        return fillFormat(text("cleaning_up_%@"), {storeName});
    case 11:
        return fillFormat(text("cleaning_up_%@"), {quillpad});
    case 12:
        return text("sync_finished");
    case 13:
        return text("sync_errored");
    default:
        return stringForSyncStage(stage);
    }
}

bool HMSyncController::isEventKitSystem(const platform::OperatingSystemVersion &version)
{
    return std::pair(version.majorVersion, version.minorVersion) >= std::pair(10, 8);
}

// ---- Transport callbacks ------------------------------------------------------------------------

void HMSyncController::logonCommandReturned(bool wasSuccessful, const QVariantMap &reply)
{
    hopToRunQueue("logonCommandReturned:withDictionary:", [wasSuccessful, reply](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        if (wasSuccessful) {
            self.parseLogonDictionary(reply);
            self.setNextStage();
        } else {
            DDLogInfo(QStringLiteral("logoffCommandReturned - NO"));
            const HMSyncError error = self.syncError();
            if (error == HMSyncError::Timeout || error == HMSyncError::NoNetworkConnection) {
                self.setStageErrored();
            } else {
                // The run still logs off and ends through clean-up; a refusal without a reason must
                // not end it looking like a success.
                if (error == HMSyncError::None)
                    self.recordError(HMSyncError::Other, QString());
                self.setSyncStage(HMSyncStage::Logoff);
            }
        }
        self.process();
    });
}

void HMSyncController::parseLogonDictionary(const QVariantMap &reply)
{
    const QVariant deviceTimeValue = reply.value(QStringLiteral("DeviceTime"));
    QDateTime deviceTime;
    if (deviceTimeValue.metaType().id() == QMetaType::QString)
        deviceTime = m_dateUtilities.dateFromLocalDateTimeString(deviceTimeValue.toString());
    else if (deviceTimeValue.metaType().id() == QMetaType::QDateTime)
        deviceTime = deviceTimeValue.toDateTime();

    QDateTime now = platform::Clock::now();
    if (deviceTime.isValid())
        GlobalVariables::setSyncControllerSecondsDifference(now.secsTo(deviceTime));
    if (m_configuration->syncMethod() == kCloudSyncMethod) {
        const qint64 pacific = secondsFromGmtOfPacificTime(now);
        const qint64 local = platform::TimeZone::systemTimeZone().secondsFromGmt(now);
        now = now.addSecs(pacific);
        if (deviceTime.isValid())
            deviceTime = deviceTime.addSecs(pacific - local);
    }
    GlobalVariables::setSyncControllerSecondsDifference(
        m_dateUtilities.componentsOf(platform::CalendarUnit::Second, now, deviceTime));

    // "ContactsLastModified", "CalendarLastModified", ...
    for (const HMSyncConduit conduit : kHMSyncConduits) {
        const QVariant value = reply.value(conduitName(conduit) + QLatin1String("LastModified"));
        if (!value.isValid())
            continue;
        const QDateTime date = value.metaType().id() == QMetaType::QDateTime
                                   ? value.toDateTime()
                                   : m_dateUtilities.dateFromLocalDateTimeString(value.toString());
        m_conduits[quint64(conduit)]->setSyncDriverLastModifiedDate(date);
    }
}

void HMSyncController::logoffCommandReturned(bool wasSuccessful)
{
    if (!acceptsCallback("logoffCommandReturned:"))
        return;
    DDLogVerbose(QStringLiteral("wasSuccessful %1").arg(int(wasSuccessful)));
    if (!wasSuccessful) {
        commandErroredStopProcessing();
        return;
    }
    if (GlobalVariables::getQuillnestErrorStatus())
        return;
    const std::shared_ptr<HMSyncController> self = shared_from_this();
    m_syncQueue->sync([self] {
        if (!self->acceptsCallback("logoffCommandReturned:"))
            return;
        self->setSyncState(HMSyncState::Processing);
        self->setNextStage();
        self->process();
    });
}

void HMSyncController::purgeCommandReturned(bool wasSuccessful)
{
    hopToRunQueue("purgeCommandReturned:", [wasSuccessful](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        if (wasSuccessful) {
            DDLogInfo(QStringLiteral("Purge Command Successful"));
            self.finishPurging();
        } else {
            DDLogInfo(QStringLiteral("purgeCommandReturned - NO"));
            self.setStageErrored();
        }
        self.process();
    });
}

void HMSyncController::setIdsForNonDeletedWiFiRecords(const QStringList &recordIds, const QString &conduitLetter)
{
    const std::lock_guard lock(m_mutex);
    if (conduitLetter == QLatin1String("A"))
        m_allContactsOnTheDevice = recordIds;
    else if (conduitLetter == QLatin1String("D"))
        m_allEventsOnTheDevice = recordIds;
    else if (conduitLetter == QLatin1String("T"))
        m_allTasksOnTheDevice = recordIds;
    else if (conduitLetter == QLatin1String("M"))
        m_allMemosOnTheDevice = recordIds;
    else
        return;
    if (const std::optional<HMSyncConduit> conduit = conduitForShortIdentifier(conduitLetter))
        m_deviceIdsReported[size_t(*conduit)] = true;
}

void HMSyncController::idListCommandReturnedWithDictionaries(const QStringList &deviceIds)
{
    hopToRunQueue("idListCommandReturnedWithDictionaries:", [deviceIds](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        self.parseIdListData(deviceIds);
    });
}

void HMSyncController::idListCommandFinishedSuccessful(bool wasSuccessful)
{
    hopToRunQueue("idListCommandFinishedSuccessful:", [wasSuccessful](HMSyncController &self) {
        if (!wasSuccessful) {
            DDLogInfo(QStringLiteral("idListCommandReturnedSuccessful - NO"));
            self.setStageErrored();
        }
        self.process();
    });
}

void HMSyncController::picturesDictionaryUpdated()
{
    m_run.picturesUpdated.store(true);
    wakeTransportWait();
}

void HMSyncController::setReceivingPhotosStatus(bool isReceiving)
{
    m_run.isReceivingPhotos.store(isReceiving);
}

void HMSyncController::listCommandReturnedWithDictionaries(const QList<QVariantMap> &records)
{
    hopToRunQueue("listCommandReturnedWithDictionaries:", [records](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        DDLogVerbose(QStringLiteral("Parsing list dictionaries"));
        self.parseListDictionaries(records);
    });
}

void HMSyncController::listCommandFinishedSuccessful(bool wasSuccessful)
{
    if (!acceptsCallback("listCommandFinishedSuccessful:"))
        return;
    if (const std::shared_ptr<HMData> dataSource = currentConduitData().conduitData())
        dataSource->writeConduitListReturned();
    hopToRunQueue("listCommandFinishedSuccessful:", [wasSuccessful](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        if (!wasSuccessful) {
            DDLogInfo(QStringLiteral("listCommandReturnedSuccessful - NO"));
            self.setStageErrored();
        } else if (!self.m_run.remainOnCurrentConduit.load() && self.syncStage() == HMSyncStage::List) {
            self.finishDeviceListing();
        }
        self.process();
    });
}

void HMSyncController::writeRemainOnCurrentConduit(bool remain)
{
    m_run.remainOnCurrentConduit.store(remain);
}

void HMSyncController::writeRemainOnUpdateConduit(bool remain)
{
    m_run.remainOnUpdateConduit.store(remain);
    wakeTransportWait();
}

void HMSyncController::writeUpdatePhotosStage(bool photosStage)
{
    m_run.updatePhotosStage.store(photosStage);
    wakeTransportWait();
}

bool HMSyncController::returnUpdatePhotosStage()
{
    return m_run.updatePhotosStage.load();
}

void HMSyncController::updateCommandReturnedWithDetailedDictionaries(const QList<QVariantMap> &results)
{
    hopToRunQueue("updateCommandReturnedWithDetailedDictionaries:", [results](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        self.parseUpdateReturnedDetailedDictionaryList(results);
    });
}

void HMSyncController::updateCommandReturnedWithDictionary(const QVariantMap &ids)
{
    hopToRunQueue("updateCommandReturnedWithDictionary:", [ids](HMSyncController &self) {
        self.setSyncState(HMSyncState::Processing);
        self.parseUpdateReturnedDictionary(ids);
    });
}

void HMSyncController::updateCommandReturnedWithDictionary(const QVariantMap &ids, quint64 conduit)
{
    if (!acceptsCallback("updateCommandReturnedWithDictionary:forConduit:"))
        return;
    setSyncState(HMSyncState::Processing);
    parseUpdateReturnedDictionary(ids, conduit);
}

// Kept beside the record's ids in its identifier dictionary, and saved before the batch goes when a
// known record's hash changed; Outlook profiles keep their id maps in Outlook and match the phone's
// listings there.
bool HMSyncController::contentsAboutToBeSentForConduit(const QMap<QString, QString> &contentById, quint64 conduit)
{
    if (!acceptsCallback("contentsAboutToBeSentForConduit:") || isOutlookProfile() || conduit >= m_conduits.size())
        return true;
    HMSyncConduitData &data = *m_conduits[conduit];
    const std::shared_ptr<HMData> dataSource = data.conduitData();
    if (!dataSource || !dataSource->noteContentsAboutToBeSent(contentById) ||
        m_configuration->saveProgressForConduitData(data))
        return true;
    recordError(HMSyncError::Other,
                QStringLiteral("The %1 identifier graph could not be saved.").arg(data.conduitIdentifierString()));
    return false;
}

void HMSyncController::didStartConnecting()
{
    setSyncState(HMSyncState::Connecting);
}

void HMSyncController::didStartSending()
{
    setSyncState(HMSyncState::Sending);
}

void HMSyncController::didFinishSending()
{
    setSyncState(HMSyncState::Waiting);
}

void HMSyncController::didStartReceiving()
{
    setSyncState(HMSyncState::Receiving);
}

void HMSyncController::didFinishReceiving()
{
    setSyncState(HMSyncState::Idle);
}

void HMSyncController::writeCurrentConduit(quint64 conduit)
{
    if (conduit < m_conduits.size())
        m_run.currentConduit.store(conduit);
}

// ---- Record stages ------------------------------------------------------------------------------

void HMSyncController::noteRecordStage(quint64 conduit)
{
    if (isSyncConduit(conduit))
        m_recordStagesRan[conduit] = true;
}

HMSyncConduitData *HMSyncController::beginRecordStage(const char *command)
{
    const quint64 conduit = currentConduit();
    noteRecordStage(conduit);
    if (conduit == quint64(HMSyncConduit::None)) {
        DDLogWarn(QStringLiteral("No Conduit sent to %1.").arg(QLatin1String(command)));
        scheduleProcess();
        return nullptr;
    }
    return isSyncConduit(conduit) ? m_conduits[conduit].get() : nullptr;
}

HMSyncConduitData *HMSyncController::beginDirectedStage(const char *command, const char *skippedCommand,
                                                        bool (*takesPart)(quint64 direction))
{
    HMSyncConduitData *const data = beginRecordStage(command);
    if (data == nullptr || takesPart(data->syncDirection()))
        return data;
    DDLogInfo(QStringLiteral("Skipping %1 due to sync direction.").arg(QLatin1String(skippedCommand)));
    scheduleProcess();
    return nullptr;
}
