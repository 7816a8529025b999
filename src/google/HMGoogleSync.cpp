// The stage machine of a Google run and its two ends.
#include "google/HMGoogleSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/HMGoogleSyncDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKObjectManager.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

namespace {

const QString kStages[] = {QStringLiteral("start"),
                           QStringLiteral("retrieveTokens"),
                           QStringLiteral("purge"),
                           QStringLiteral("readGoogleContacts"),
                           QStringLiteral("readGoogleContactPhotos"),
                           QStringLiteral("readOutlookContacts"),
                           QStringLiteral("readGoogleCalendar"),
                           QStringLiteral("readOutlookCalendar"),
                           QStringLiteral("readGoogleTasks"),
                           QStringLiteral("readOutlookTasks"),
                           QStringLiteral("endSync")};

const QString kCanceledText = QStringLiteral("Synchronization Canceled");
const QString kUnwritableText = QStringLiteral("Some records were not synchronized.\n\nOutlook appears to be in an "
                                               "unwritable state. Please quit and restart Outlook, then try the sync "
                                               "again.");
constexpr double kEndStepSeconds = 1.0;


void postLocally(const QString &name)
{
    platform::NotificationCenter::defaultCenter().postNotificationName(name);
}

void postDistributedFinish()
{
    const QString name = QStringLiteral("HMSyncDidFinishNotification");
    const platform::Status posted =
        platform::DistributedNotificationCenter::defaultCenter().postNotificationName(name, name, QVariantMap());
    if (!posted)
        DDLogError(posted.error().message());
}

} // namespace

std::shared_ptr<HMGoogleSync> HMGoogleSync::create()
{
    return std::make_shared<HMGoogleSync>(PrivateTag());
}

HMGoogleSync::HMGoogleSync(PrivateTag) : m_queue(platform::DispatchQueue::createSerial(QStringLiteral("google.sync")))
{
}

HMGoogleSync::~HMGoogleSync()
{
    for (const std::shared_ptr<platform::DispatchTimer> &timer : m_endTimers)
        timer->cancel();
}

void HMGoogleSync::setProfile(std::shared_ptr<HMProfile> profile)
{
    const std::lock_guard lock(m_mutex);
    m_profile = std::move(profile);
}

std::shared_ptr<HMProfile> HMGoogleSync::profile()
{
    const std::lock_guard lock(m_mutex);
    if (!m_profile)
        m_profile = HMGoogleSyncDriver::selectedProfile();
    return m_profile;
}

QString HMGoogleSync::syncStage() const
{
    const std::lock_guard lock(m_mutex);
    return m_syncStage;
}

QString HMGoogleSync::lastErrorMessageString() const
{
    const std::lock_guard lock(m_mutex);
    return m_lastErrorMessageString;
}

QString HMGoogleSync::accessToken() const
{
    return platform::lockedCopy(m_mutex, m_accessToken);
}

void HMGoogleSync::setAccessToken(const QString &token)
{
    platform::lockedAssign(m_mutex, m_accessToken, token);
}

void HMGoogleSync::synchronize()
{
    const std::shared_ptr<HMGoogleSync> self = shared_from_this();
    m_queue->async([self] { self->startRun(); });
}

void HMGoogleSync::cancelSynchronization()
{
    DDLogInfo(QStringLiteral("Cancel!!!"));
    m_shouldCancel.store(true);
}

void HMGoogleSync::startRun()
{
    {
        const std::lock_guard lock(m_mutex);
        m_lastErrorMessageString.clear();
    }
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->setUserMessageDirectly(QStringLiteral("Connecting to Google"), 0.1);
    GlobalVariables::setIsSynchronizing(true);
    GlobalVariables::resetContactAddUpdateCountsThisSync();
    initialize();
    setNextStage();
    process();
}

void HMGoogleSync::initialize()
{
    GlobalVariables::setGoogleDirectSyncControllerController(shared_from_this());
    m_serverUrl = googlehosts::apiHost();
    m_wifiSyncClient = platform::RKClient::clientWithBaseURL(m_serverUrl);
    m_wifiSyncClient->setCachePolicy(platform::RKRequestCachePolicy::None);
    m_wifiSyncClient->requestQueue().setConcurrentRequestsLimit(1);
    m_syncDriver = std::make_shared<HMGoogleSyncDriver>();
    m_syncDriver->setServerUrl(m_serverUrl);
    m_syncDriver->setRefreshToken(m_refreshToken);
    m_syncDriver->setAccessToken(accessToken());
    m_syncDriver->setGoogleSyncDelegate(this);
    m_syncDriver->setQueue(m_queue);
    {
        const std::lock_guard lock(m_mutex);
        m_syncStage = kStages[0];
    }
    m_calendarIdsToRead = {QStringLiteral("primary")};
    const std::shared_ptr<HMProfile> current = profile();
    if (current) {
        m_syncDriver->setProfile(current);
        copyProfileSettings(*current);
    }
    if (m_contactSyncEnabled)
        m_syncDriver->setContactData(dataSource(1));
    if (m_calendarSyncEnabled)
        m_syncDriver->setCalendarData(dataSource(2));
    if (m_tasksSyncEnabled)
        m_syncDriver->setTaskData(dataSource(3));
}

// Steps 6 to 12 of the start: what the run and its driver take from the profile.
void HMGoogleSync::copyProfileSettings(HMProfile &profile)
{
    if (!profile.googleCalendarIdentifiersToSync().isEmpty())
        m_calendarIdsToRead = profile.googleCalendarIdentifiersToSync();
    const QString writeTo = profile.googleCalendarIdentifierToWriteTo();
    GlobalVariables::setDefaultGoogleCalendatIdentifier(writeTo.isEmpty() ? QStringLiteral("primary") : writeTo);
    const QString deletions = profile.syncDeletionsName();
    m_allowDeletesFromGoogle = true;
    m_allowDeletesFromOutlook = true;
    if (deletions.contains(QLatin1String("from Outlook will be deleted")))
        m_allowDeletesFromGoogle = false;
    else if (deletions.contains(QLatin1String("from Google will be deleted")))
        m_allowDeletesFromOutlook = false;
    m_syncDriver->setAllowDeletesFromGoogle(m_allowDeletesFromGoogle);
    m_syncDriver->setAllowDeletesFromOutlook(m_allowDeletesFromOutlook);
    m_contactSyncEnabled = profile.contactSyncEnabled();
    m_calendarSyncEnabled = profile.calendarSyncEnabled();
    m_tasksSyncEnabled = profile.taskSyncEnabled();
    m_calendarSyncDirection = int(profile.calendarSyncDirection());
    m_contactsSyncDirection = int(profile.contactSyncDirection());
    m_tasksSyncDirection = int(profile.taskSyncDirection());
    const QString email = profile.googleDirectUsername();
    m_syncDriver->setUserEmail(email.isEmpty() ? QStringLiteral("default") : email);
    m_isContactsPurge = profile.purgeContactsOnNextSync();
    m_isCalendarPurge = profile.purgeCalendarOnNextSync();
    m_isTasksPurge = profile.purgeTasksOnNextSync();
    m_syncDriver->setPurgeContacts(m_isContactsPurge);
    m_syncDriver->setPurgeCalendar(m_isCalendarPurge);
    m_syncDriver->setPurgeTasks(m_isTasksPurge);
    QMap<QString, QString> names;
    for (const QString &calendarId : std::as_const(m_calendarIdsToRead)) {
        for (const QVariant &entry : profile.allGoogleCalendars()) {
            const QVariantMap calendar = entry.toMap();
            if (calendar.value(QStringLiteral("id")).toString() == calendarId &&
                !calendar.value(QStringLiteral("primary")).toBool())
                names.insert(calendarId, calendar.value(QStringLiteral("name")).toString());
        }
    }
    m_syncDriver->setCalendarNamesAndIds(names);
}

void HMGoogleSync::setNextStage()
{
    const std::lock_guard lock(m_mutex);
    const auto found = std::find(std::begin(kStages), std::end(kStages), m_syncStage);
    const bool isLast = found == std::end(kStages) || found + 1 == std::end(kStages) ||
                        *found == QLatin1String("readOutlookTasks");
    m_syncStage = isLast ? QStringLiteral("endSync") : *(found + 1);
}

void HMGoogleSync::skipThisStage()
{
    DDLogVerbose(QStringLiteral("skipThisStage %1").arg(syncStage()));
    setNextStage();
    process();
}

void HMGoogleSync::endConduit()
{
    DDLogVerbose(QStringLiteral("endConduit %1").arg(syncStage()));
    setNextStage();
    process();
}

bool HMGoogleSync::stageRuns(const QString &stage) const
{
    if (stage == QLatin1String("readGoogleContacts") || stage == QLatin1String("readGoogleContactPhotos"))
        return m_contactSyncEnabled && m_contactsSyncDirection != 1 && !m_isContactsPurge;
    if (stage == QLatin1String("readOutlookContacts"))
        return m_contactSyncEnabled && m_contactsSyncDirection != 2;
    if (stage == QLatin1String("readGoogleCalendar"))
        return m_calendarSyncEnabled && m_calendarSyncDirection != 1 && !m_isCalendarPurge;
    if (stage == QLatin1String("readOutlookCalendar"))
        return m_calendarSyncEnabled && m_calendarSyncDirection != 2;
    if (stage == QLatin1String("readGoogleTasks"))
        return m_tasksSyncEnabled && m_tasksSyncDirection != 1 && !m_isTasksPurge;
    if (stage == QLatin1String("readOutlookTasks"))
        return m_tasksSyncEnabled && m_tasksSyncDirection != 2;
    return true;
}

void HMGoogleSync::process()
{
    if (m_shouldCancel.load()) {
        endSyncWithError(kCanceledText);
        return;
    }
    const QString stage = syncStage();
    DDLogInfo(QStringLiteral("Google sync stage %1").arg(stage));
    if (!stageRuns(stage)) {
        skipThisStage();
        return;
    }
    if (m_stageObserver && stage != QLatin1String("start") && stage != QLatin1String("Error"))
        m_stageObserver(stage);
    runStage(stage);
}

void HMGoogleSync::runStage(const QString &stage)
{
    if (stage == QLatin1String("retrieveTokens")) {
        getNewOauthToken();
    } else if (stage == QLatin1String("purge")) {
        m_syncDriver->purge();
    } else if (stage == QLatin1String("readGoogleContacts")) {
        m_syncDriver->begin();
    } else if (stage == QLatin1String("readGoogleContactPhotos")) {
        m_syncDriver->readGoogleContactPhotos();
    } else if (stage == QLatin1String("readOutlookContacts")) {
        m_syncDriver->listOutlookContacts();
    } else if (stage == QLatin1String("readGoogleCalendar")) {
        m_syncDriver->listEventsForCalendars(m_calendarIdsToRead);
    } else if (stage == QLatin1String("readOutlookCalendar")) {
        m_syncDriver->listOutlookEvents();
    } else if (stage == QLatin1String("readGoogleTasks")) {
        m_syncDriver->listGoogleTaskListsAndReadGoogleTasks(true);
    } else if (stage == QLatin1String("readOutlookTasks")) {
        m_syncDriver->listGoogleTaskListsAndReadGoogleTasks(false);
    } else if (stage == QLatin1String("endSync")) {
        endSync();
    } else if (stage != QLatin1String("start") && stage != QLatin1String("Error")) {
        // A stage of no known name ends the run rather than leave it waiting.
        m_syncDriver->cancelSyncWithError(QStringLiteral("The stage %1 is not available in this version of "
                                                         "Harrowmere.").arg(stage));
    }
}

void HMGoogleSync::syncDriverContactPhotosCommandReturned()
{
    setNextStage();
    process();
}

void HMGoogleSync::syncDriverUpdateCommandReturnedSuccessful(bool)
{
    DDLogVerbose(QStringLiteral("syncDriverUpdateCommandReturnedSuccessful"));
    setNextStage();
    process();
}

void HMGoogleSync::syncDriverWriteRemainOnCurrentConduit(bool remain)
{
    m_remainOnCurrentConduit = remain;
}

// ---- The ends ----------------------------------------------------------------------------------

// A run whose writes Google did not all take ends as not finished, with what it did kept.
void HMGoogleSync::endSync()
{
    if (const QString notTaken = m_syncDriver ? m_syncDriver->writesNotTakenText() : QString(); !notTaken.isEmpty()) {
        DDLogError(notTaken);
        const std::lock_guard lock(m_mutex);
        if (m_lastErrorMessageString.isEmpty())
            m_lastErrorMessageString = notTaken;
    }
    GlobalVariables::setIsSynchronizing(false);
    postLocally(QStringLiteral("kSynchronizationDidFinish"));
    postLocally(QStringLiteral("HMSyncDidFinishNotification"));
    const std::shared_ptr<HMGoogleSync> self = shared_from_this();
    afterOnQueue(kEndStepSeconds, [self] {
        if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
            sheet->syncCompleted(self->lastErrorMessageString());
        self->markFinished();
    });
    presentUnwritableAlertIfNeeded();
    postDistributedFinish();
    if (const std::shared_ptr<HMProfile> current = profile())
        finishProfile(*current);
    saveProfile();
    if (const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController())
        sheet->syncCompleted(lastErrorMessageString());
    notifyFinished();
}

// A one-shot timer of the run's queue (dispatch timers follow the tests' virtual clock).
void HMGoogleSync::afterOnQueue(double seconds, std::function<void()> step)
{
    const std::shared_ptr<platform::DispatchTimer> timer = platform::DispatchTimer::create(m_queue);
    // The step (which may hold the run) is let go once it has run, so nothing stays held after the fire.
    auto pending = std::make_shared<std::function<void()>>(std::move(step));
    timer->setEventHandler([pending] {
        if (!*pending)
            return;
        const std::function<void()> run = std::move(*pending);
        *pending = nullptr;
        run();
    });
    timer->schedule(seconds, 0);
    timer->resume();
    m_endTimers.push_back(timer);
}

// The dates of the conduits that ran, the flags of the next run cleared, the id-map counts.
void HMGoogleSync::finishProfile(HMProfile &profile)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (m_contactSyncEnabled)
        profile.setContactLastSyncDate(now);
    if (m_calendarSyncEnabled)
        profile.setCalendarLastSyncDate(now);
    if (m_tasksSyncEnabled)
        profile.setTaskLastSyncDate(now);
    profile.setRereadAppleOnNextSync(false);
    profile.setRereadDeviceOnNextSync(false);
    profile.setPurgeContactsOnNextSync(false);
    profile.setPurgeCalendarOnNextSync(false);
    profile.setPurgeTasksOnNextSync(false);
    storeIdMapCounts(profile);
}

void HMGoogleSync::presentUnwritableAlertIfNeeded()
{
    const qint64 tried = GlobalVariables::getContactAddUpdatesThisSync();
    const qint64 failed = GlobalVariables::getContactAddUpdateFailuresThisSync();
    if (!GlobalVariables::getIsOutlookSync() || tried < 6 || 2 * failed <= tried)
        return;
    DDLogError(QStringLiteral("error domain 200: %1").arg(kUnwritableText));
    if (m_errorPresenter)
        m_errorPresenter(kUnwritableText);
}

void HMGoogleSync::storeIdMapCounts(HMProfile &profile)
{
    HMOutlookDatFileHelper helper;
    profile.setContactCount(helper.countRecordsForConduit(QStringLiteral("Contacts")));
    profile.setEventCount(helper.countRecordsForConduit(QStringLiteral("Calendar")));
    profile.setTaskCount(helper.countRecordsForConduit(QStringLiteral("Tasks")));
}

// The profile's dates and flags reach its file at the end of every run: a purge flag kept only in
// memory would survive a restart and empty Google again.
void HMGoogleSync::saveProfile()
{
    const std::shared_ptr<HMProfile> current = profile();
    if (current && m_profileManager && !m_profileManager->saveProfile(*current))
        DDLogError(QStringLiteral("The profile could not be saved at the end of the Google sync"));
}

// The main window's date label follows the end of the run.
void HMGoogleSync::notifyFinished()
{
    if (m_finishObserver)
        m_finishObserver();
}

void HMGoogleSync::markFinished()
{
    m_isFinished.store(true);
    if (m_endObserver)
        m_endObserver();
}

// Every request of the shared object manager, of the token client and of the driver's client.
void HMGoogleSync::cancelAllRequests()
{
    if (const std::shared_ptr<platform::RKObjectManager> manager = platform::RKObjectManager::sharedManager())
        manager->cancelAllRequests();
    if (m_wifiSyncClient)
        m_wifiSyncClient->requestQueue().cancelAllRequests();
    if (m_syncDriver)
        m_syncDriver->cancelRequests();
}

void HMGoogleSync::endSyncWithError(const QString &message)
{
    if (syncStage() == QLatin1String("Error") || m_isFinished.load()) {
        DDLogInfo(QStringLiteral("endSyncWithError after the end: %1").arg(message));
        return;
    }
    cancelAllRequests();
    {
        const std::lock_guard lock(m_mutex);
        m_lastErrorMessageString = message;
        m_syncStage = QStringLiteral("Error");
    }
    GlobalVariables::setIsSynchronizing(false);
    postLocally(QStringLiteral("kSynchronizationDidFinish"));
    postLocally(QStringLiteral("HMSyncDidFinishNotification"));
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (sheet)
        sheet->setUserMessageDirectly(message, 1.0);
    postDistributedFinish();
    if (const std::shared_ptr<HMProfile> current = profile(); current) {
        storeIdMapCounts(*current);
        saveProfile();
    }
    if (sheet && message.contains(QLatin1String("reauthorize"))) {
        // The buttons are shown on the main thread, which the sheet's own operations expect there.
        platform::DispatchQueue::main()->async([sheet, message] {
            sheet->displayReauthorizationButtons();
            sheet->syncCompleted(message);
        });
    } else if (sheet) {
        sheet->syncCompleted(message);
    }
    notifyFinished();
    const std::shared_ptr<HMGoogleSync> self = shared_from_this();
    afterOnQueue(kEndStepSeconds, [self] {
        self->cancelAllRequests();
        self->markFinished();
    });
}
