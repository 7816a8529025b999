#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/LockedField.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "sync/HMProfile.h"

namespace {

const QString kCanceledText = QStringLiteral("Synchronization Canceled");


} // namespace

std::shared_ptr<HMProfile> HMGoogleSyncDriver::selectedProfile()
{
    const std::shared_ptr<HMProfilesController> controller = GlobalVariables::getCurrentProfileController();
    return controller ? controller->selectedProfile() : nullptr;
}

HMGoogleSyncDriver::HMGoogleSyncDriver()
{
    // The notification only sets the flag, on the posting thread.
    m_cancelObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMGoogleDirectSyncCancelSync"), nullptr, [flag = m_shouldCancel](const platform::Notification &) {
            DDLogInfo(QStringLiteral("Google driver: cancel requested"));
            flag->store(true);
        });
}

HMGoogleSyncDriver::~HMGoogleSyncDriver()
{
    m_cancelObserver.reset();
}

QString HMGoogleSyncDriver::accessToken() const
{
    return platform::lockedCopy(m_mutex, m_accessToken);
}

void HMGoogleSyncDriver::setAccessToken(const QString &token)
{
    platform::lockedAssign(m_mutex, m_accessToken, token);
}

QSet<QString> HMGoogleSyncDriver::idsToExclude() const
{
    const std::lock_guard lock(m_mutex);
    return m_idsToExclude;
}

void HMGoogleSyncDriver::addIdToExclude(const QString &googleId)
{
    const std::lock_guard lock(m_mutex);
    m_idsToExclude.insert(googleId);
}

void HMGoogleSyncDriver::setCancel()
{
    DDLogInfo(QStringLiteral("Google driver: cancel requested"));
    m_shouldCancel->store(true);
}

void HMGoogleSyncDriver::cancelRequests()
{
    std::shared_ptr<platform::RKClient> client;
    {
        const std::lock_guard lock(m_mutex);
        client = m_client;
    }
    if (client)
        client->requestQueue().cancelAllRequests();
}

bool HMGoogleSyncDriver::stopsForCancel()
{
    if (!m_shouldCancel->load())
        return false;
    cancelSync();
    return true;
}

void HMGoogleSyncDriver::cancelSync()
{
    cancelRequests();
    if (m_delegate != nullptr)
        m_delegate->endSyncWithError(kCanceledText);
}

void HMGoogleSyncDriver::cancelSyncWithError(const QString &message)
{
    cancelRequests();
    DDLogError(QStringLiteral("cancelSyncWithError: %1").arg(message));
    if (m_delegate != nullptr)
        m_delegate->endSyncWithError(message);
}

bool HMGoogleSyncDriver::purge()
{
    if (stopsForCancel())
        return true;
    if (!m_purgeContacts && !m_purgeCalendar && !m_purgeTasks) {
        doneWithPurge();
        return true;
    }
    if (!m_purgeDriver) {
        m_purgeDriver = std::make_shared<HMGoogleSyncPurgeDriver>(weak_from_this());
        m_purgeDriver->setUserEmail(m_userEmail);
        m_purgeDriver->setProfile(m_profile);
        m_purgeDriver->setGoogleSyncPurgeDelegate(this);
    }
    if (m_purgeContacts)
        m_purgeDriver->purgeContacts();
    else if (m_purgeCalendar)
        m_purgeDriver->purgeCalendar();
    else
        m_purgeDriver->purgeTasks();
    return true;
}

// Each conduit's flag is cleared in the profile as its purge finishes: a later failure keeps only the
// flags of the conduits not yet emptied.
void HMGoogleSyncDriver::purgeDidFinishForConduit(const QString &conduitName)
{
    if (stopsForCancel())
        return;
    if (!m_profile)
        m_profile = selectedProfile();
    bool more = false;
    if (conduitName == QLatin1String("Contacts")) {
        m_purgeContacts = false;
        more = m_purgeCalendar || m_purgeTasks;
        if (m_profile)
            m_profile->setPurgeContactsOnNextSync(false);
    } else if (conduitName == QLatin1String("Calendar")) {
        m_purgeCalendar = false;
        more = m_purgeTasks;
        if (m_profile)
            m_profile->setPurgeCalendarOnNextSync(false);
    } else {
        m_purgeTasks = false;
        if (m_profile)
            m_profile->setPurgeTasksOnNextSync(false);
    }
    if (more)
        purge();
    else
        doneWithPurge();
}

// Going on after a cancelled purge would send every Outlook record onto a half-emptied Google whose
// map was cleared, doubling what is left there: the run ends instead.
void HMGoogleSyncDriver::purgeDidCancel()
{
    DDLogInfo(QStringLiteral("purgeDidCancel"));
    cancelSync();
}

void HMGoogleSyncDriver::purgeDidFailWithError(const QString &message)
{
    cancelSyncWithError(message);
}

void HMGoogleSyncDriver::doneWithPurge()
{
    if (!m_profile)
        m_profile = selectedProfile();
    if (m_profile) {
        m_profile->setPurgeContactsOnNextSync(false);
        m_profile->setPurgeCalendarOnNextSync(false);
        m_profile->setPurgeTasksOnNextSync(false);
    }
    if (m_delegate != nullptr)
        m_delegate->endConduit();
}

std::shared_ptr<platform::RKClient> HMGoogleSyncDriver::makeClient(const QString &baseUrl)
{
    const std::shared_ptr<platform::RKClient> client = platform::RKClient::clientWithBaseURL(baseUrl);
    client->setCachePolicy(platform::RKRequestCachePolicy::None);
    client->requestQueue().setConcurrentRequestsLimit(1);
    client->setValueForHTTPHeaderField(googlehosts::bearerHeaderValue(accessToken()), "Authorization");
    const std::lock_guard lock(m_mutex);
    m_client = client;
    return client;
}

void HMGoogleSyncDriver::onQueue(std::function<void(HMGoogleSyncDriver &)> work)
{
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto run = [weak, work = std::move(work)] {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
            work(*driver);
    };
    if (m_queue)
        m_queue->async(run);
    else
        run();
}

std::shared_ptr<platform::RKClient> HMGoogleSyncDriver::currentClient()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_client)
            return m_client;
    }
    return makeClient(m_serverUrl);
}

// A delayed step on the run's queue while the driver lives.
void HMGoogleSyncDriver::after(double seconds, std::function<void(HMGoogleSyncDriver &)> work)
{
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto run = [weak, work = std::move(work)] {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
            work(*driver);
    };
    if (m_queue)
        m_queue->after(seconds, run);
    else
        run();
}

std::shared_ptr<platform::RKRequest> HMGoogleSyncDriver::newRequest(const QString &resourcePath, int method)
{
    const std::shared_ptr<platform::RKRequest> request = currentClient()->requestWithResourcePath(resourcePath);
    request->setMethod(platform::RKRequestMethod(method));
    request->setCachePolicy(platform::RKRequestCachePolicy::None);
    request->setTimeoutInterval(30.0);
    return request;
}

std::shared_ptr<platform::RKRequest> HMGoogleSyncDriver::makeRequest(
    const QString &resourcePath, int method, std::function<void(int status, const QByteArray &body)> onReply,
    std::function<void(const QString &description)> onFailure)
{
    const std::shared_ptr<platform::RKRequest> request = newRequest(resourcePath, method);
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    request->setOnDidLoadResponse([weak, onReply](const platform::RKResponse &response) {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock()) {
            driver->onQueue([status = response.statusCode(), body = response.body(), onReply](HMGoogleSyncDriver &) {
                onReply(status, body);
            });
        }
    });
    request->setOnDidFailLoadWithError([weak, onFailure](const platform::PlatformError &error) {
        if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
            driver->onQueue([text = error.localizedDescription(), onFailure](HMGoogleSyncDriver &) { onFailure(text); });
    });
    return request;
}

void HMGoogleSyncDriver::sendPageRequest(
    const QString &path, const QString &tag, qint64 maxBytes,
    std::function<void(HMGoogleSyncDriver &, int status, const QByteArray &body)> onReply)
{
    const std::weak_ptr<HMGoogleSyncDriver> weak = weak_from_this();
    const auto request = makeRequest(
        path, 0,
        [weak, onReply = std::move(onReply)](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                onReply(*driver, status, body);
        },
        [weak, tag](const QString &description) {
            DDLogError(QStringLiteral("ERROR[%1]: %2").arg(tag, description));
            if (const std::shared_ptr<HMGoogleSyncDriver> driver = weak.lock())
                driver->cancelSyncWithError(QStringLiteral("ERROR: %1").arg(description));
        });
    request->setMaxResponseBytes(maxBytes);
    request->send();
}
