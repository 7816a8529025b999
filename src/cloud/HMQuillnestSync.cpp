#include "cloud/HMQuillnestSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMDateUtilities.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/NSString+stripHtml.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"

#include <QTimeZone>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

using platform::localized;
using platform::PlatformError;
using platform::RKRequest;
using platform::RKResponse;

namespace {

const QString kUnsecureHttpKey = QStringLiteral("quillnestUseUnsecureHttp");
const QString kLastModifiedNotification = QStringLiteral("kHMQuillnestLastModified");

bool isDeviceTypeWithCredentials(quint64 deviceType)
{
    return deviceType == 1 || deviceType == 2 || deviceType == 3 || deviceType == 5;
}

// Every logout sent is let finish before the program ends, even where its transport goes only after
// the program's last wait began: each is held here, with the client that carries it, from the moment
// it is sent until it ends.
class Farewells final
{
public:
    static Farewells &instance()
    {
        static Farewells farewells;
        return farewells;
    }

    void add(const std::shared_ptr<platform::RKClient> &client, const std::shared_ptr<RKRequest> &request)
    {
        const std::lock_guard lock(m_mutex);
        // Ended logouts are let go here, never on the framework's thread inside their own request.
        std::erase_if(m_pending, [](const Pending &pending) { return !isUnderWay(*pending.request); });
        m_pending.push_back({client, request});
    }

    bool waitUntilEnded(std::chrono::milliseconds timeout)
    {
        // The requests report their end to their own callbacks, which belong to the transport; the
        // wait reads their state instead, at the program's end only.
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::vector<Pending> released;
            {
                const std::lock_guard lock(m_mutex);
                const auto ended = std::partition(m_pending.begin(), m_pending.end(),
                                                  [](const Pending &pending) { return isUnderWay(*pending.request); });
                released.assign(std::make_move_iterator(ended), std::make_move_iterator(m_pending.end()));
                m_pending.erase(ended, m_pending.end());
                if (m_pending.empty())
                    return true;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    static bool isUnderWay(const RKRequest &request) { return request.isWaiting() || request.isLoading(); }

    struct Pending
    {
        std::shared_ptr<platform::RKClient> client;
        std::shared_ptr<RKRequest> request;
    };
    std::mutex m_mutex;
    std::vector<Pending> m_pending;
};

} // namespace

bool HMQuillnestSync::waitForLogoutsUnderWay(std::chrono::milliseconds timeout)
{
    return Farewells::instance().waitUntilEnded(timeout);
}

QString HMQuillnestSync::serviceHost()
{
    const QString host = qEnvironmentVariable("HM_QUILLNEST_HOST");
    return host.isEmpty() ? QString::fromLatin1(kDefaultHost) : host;
}

QString HMQuillnestSync::baseURLString()
{
    const bool unsecure = platform::UserDefaults::standardUserDefaults().boolForKey(kUnsecureHttpKey);
    return (unsecure ? QStringLiteral("http://") : QStringLiteral("https://")) + serviceHost() + QStringLiteral("/v1");
}

std::unique_ptr<HMQuillnestSync> HMQuillnestSync::initWithDelegate(HMQuillnestSyncDelegate *observer)
{
    auto sync = std::make_unique<HMQuillnestSync>();
    sync->m_qnsDelegate = observer;
    return sync;
}

std::unique_ptr<HMQuillnestSync>
HMQuillnestSync::initWithConfiguration(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration,
                                       Timing timing)
{
    auto sync = std::make_unique<HMQuillnestSync>(timing);
    sync->m_configuration = configuration;
    if (configuration && isDeviceTypeWithCredentials(configuration->deviceType())) {
        sync->m_serverUrl = configuration->stringValueForSetting(18);
        sync->m_username = configuration->stringValueForSetting(15);
        sync->m_password = configuration->stringValueForSetting(16);
        sync->m_deviceId = configuration->stringValueForSetting(17);
        GlobalVariables::setQuillnestUserName(sync->m_username);
    }
    if (sync->m_serverUrl.isEmpty())
        sync->m_serverUrl = baseURLString();
    return sync;
}

void HMQuillnestSync::registerTransport(Timing timing, PhotoReader photoReader)
{
    HMSyncController::registerTransportClass<HMQuillnestSync>(
        4, timing, [photoReader](HMQuillnestSync &sync) { sync.setPhotoReader(photoReader); });
}

HMQuillnestSync::HMQuillnestSync(Timing timing)
    : HMRestSyncClient(QStringLiteral("Sending to Device...")), m_timing(timing)
{
    GlobalVariables::setQuillnestErrorStatus(false);
}

HMQuillnestSync::~HMQuillnestSync()
{
    std::vector<std::shared_ptr<RKRequest>> requests;
    {
        const std::lock_guard lock(m_mutex);
        m_isShuttingDown = true;
        requests = m_liveRequests.alive();
    }
    // With the delegate and blocks cleared no callback into this object is under way or will come. A
    // logout on its way is let finish (it is held since it was sent): the service closes the session
    // it ends.
    for (const std::shared_ptr<RKRequest> &request : requests) {
        request->clearCallbacks();
        if (request->resourcePath() != QLatin1String("/logout.php"))
            request->cancel();
    }
    stopRepeatingTimer();
    stopRPhotoSyncTimer();
    m_callbacks.close();
}

bool HMQuillnestSync::verifyProfileIsValid(QString &message)
{
    QString noted;
    if (m_username.isEmpty())
        noted += QStringLiteral("No username entered.\n");
    if (m_password.isEmpty())
        noted += QStringLiteral("No password entered.\n");
    if (noted.isEmpty())
        return true;
    message = localized("no_username_or_password");
    return false;
}

std::optional<bool> HMQuillnestSync::setup(QString &error)
{
    Q_UNUSED(error);
    m_serverUrl = baseURLString();
    DDLogVerbose(QStringLiteral("Creating RKClient with URL: '%1'").arg(m_serverUrl));
    std::shared_ptr<platform::RKClient> client = serialClientWithBaseURL(m_serverUrl);
    {
        const std::lock_guard lock(m_mutex);
        m_client = std::move(client);
    }
    m_dateUtilities = std::make_unique<HMDateUtilities>();
    prepareKeyMappingDictionaries();
    return true;
}

void HMQuillnestSync::resetSyncRecordListPartialCount()
{
    DDLogVerbose(QStringLiteral("Resetting count!"));
    const std::lock_guard lock(m_mutex);
    m_syncRecordListPartialCount = 0;
}

QString HMQuillnestSync::sessionIdentifier() const
{
    return platform::lockedCopy(m_mutex, m_sessionIdentifier);
}

HMSyncClientDelegate *HMQuillnestSync::reportTo() const
{
    const std::lock_guard lock(m_mutex);
    return m_isShuttingDown ? nullptr : delegate();
}

// Bodies and JSON --------------------------------------------------------------------------------------

QVariantMap HMQuillnestSync::postParameterDictionary() const
{
    return QVariantMap{{QStringLiteral("Username"), m_username},
                       {QStringLiteral("Password"), m_password.isEmpty() ? QString() : md5(m_password)}};
}

QString HMQuillnestSync::operatingSystemString()
{
    const platform::OperatingSystemVersion version = platform::ProcessInfo::operatingSystemVersion();
    return QStringLiteral("%1.%2.%3").arg(version.majorVersion).arg(version.minorVersion).arg(version.patchVersion);
}

QVariantMap HMQuillnestSync::logonBody() const
{
    QVariantMap body = postParameterDictionary();
    body.insert(QStringLiteral("Build"), platform::Bundle::buildVersion());
    body.insert(QStringLiteral("Version"), operatingSystemString());
    body.insert(QStringLiteral("DeviceId"), m_deviceId);
    body.insert(QStringLiteral("Platform"), QStringLiteral("2"));
    return body;
}

QVariantMap HMQuillnestSync::logoffBody() const
{
    QString session = sessionIdentifier();
    if (session.isEmpty()) {
        DDLogVerbose(QStringLiteral("No logoff session identifier provided"));
        session = QStringLiteral("0");
    }
    QVariantMap body = postParameterDictionary();
    body.insert(QStringLiteral("Session"), session);
    return body;
}

QVariantMap HMQuillnestSync::purgeBody(quint64 conduit) const
{
    static const QStringList tables{QStringLiteral("Contacts"), QStringLiteral("Calendar"), QStringLiteral("Tasks"),
                                    QStringLiteral("Notes")};
    QVariantList tableList;
    if (conduit >= 1 && conduit <= 4)
        tableList.append(QVariantMap{{QStringLiteral("Table"), tables.at(qsizetype(conduit - 1))}});
    const QString session = sessionIdentifier();
    QVariantMap body = postParameterDictionary();
    body.insert(QStringLiteral("Session"), session.isEmpty() ? QStringLiteral("0") : session);
    body.insert(QStringLiteral("Tables"), tableList);
    return body;
}

QVariantMap HMQuillnestSync::keepAliveBody() const
{
    const QString session = sessionIdentifier();
    QVariantMap body = postParameterDictionary();
    body.insert(QStringLiteral("Table"), QStringLiteral("Contacts"));
    body.insert(QStringLiteral("Modified"), QStringLiteral("2100-01-01 00:00:00"));
    body.insert(QStringLiteral("Session"), session.isEmpty() ? QStringLiteral("0") : session);
    body.insert(QStringLiteral("Limit"), QStringLiteral("0"));
    body.insert(QStringLiteral("Offset"), QStringLiteral("0"));
    return body;
}

std::optional<QVariantMap> HMQuillnestSync::dictionaryForJsonString(const QString &text)
{
    const platform::RKParser *parser =
        platform::RKParserRegistry::sharedRegistry().parserForMIMEType(QString::fromLatin1(platform::RKMIMETypeJSON));
    PlatformError error;
    const QVariant object = parser != nullptr ? parser->objectFromString(text, &error) : QVariant();
    if (!error.isNull() || object.typeId() != QMetaType::QVariantMap) {
        DDLogError(QStringLiteral("Error parsing json"));
        return std::nullopt;
    }
    return object.toMap();
}

QString HMQuillnestSync::loggableJson(const QVariantMap &body)
{
    QVariantMap shown = body;
    for (const QString &secret : {QStringLiteral("Password"), QStringLiteral("Token")}) {
        if (shown.contains(secret))
            shown.insert(secret, QStringLiteral("<hidden>"));
    }
    return jsonStringFromDictionary(shown);
}

// The request frame ------------------------------------------------------------------------------------

bool HMQuillnestSync::sendRequest(const QString &path, double timeoutSeconds, const QVariantMap &body,
                                  ReplyHandler onReply, FailureHandler onFailure)
{
    const std::shared_ptr<platform::RKClient> client = clientUnlessGoing();
    if (!client)
        return false;
    std::shared_ptr<RKRequest> request = newPost(*client, path, timeoutSeconds, kMaxReplyBytes);
    request->setDelegate(this);
    request->setParams(platform::RKRequestSerialization(jsonStringFromDictionary(body).toUtf8(),
                                                        QString::fromLatin1(platform::RKMIMETypeJSON)));
    const auto fail = m_callbacks.wrap([this, path, onFailure](const PlatformError &error) {
        noteFailure(path, error);
        onFailure(error);
    });
    request->setOnDidLoadResponse(m_callbacks.wrap([path, onReply, fail](const RKResponse &response) {
        const int status = response.statusCode();
        if (status >= 200 && status <= 299) {
            onReply(response.bodyAsString());
            return;
        }
        // An error page is no answer: the status fails the request.
        fail(httpStatusError(status));
    }));
    request->setOnDidFailLoadWithError(fail);
    if (!keepUnlessGoing(request, true))
        return false;
    request->send();
    if (path == QLatin1String("/logout.php"))
        Farewells::instance().add(client, request);
    return true;
}

std::shared_ptr<platform::RKClient> HMQuillnestSync::clientUnlessGoing(bool *isGoing) const
{
    const std::lock_guard lock(m_mutex);
    if (isGoing)
        *isGoing = m_isShuttingDown;
    return m_isShuttingDown ? nullptr : m_client;
}

std::shared_ptr<RKRequest> HMQuillnestSync::newPost(platform::RKClient &client, const QString &path,
                                                    double timeoutSeconds, qint64 maxReplyBytes)
{
    std::shared_ptr<RKRequest> request = client.requestWithResourcePath(path);
    request->setMethod(platform::RKRequestMethod::POST);
    request->setTimeoutInterval(timeoutSeconds);
    request->setMaxResponseBytes(maxReplyBytes);
    return request;
}

bool HMQuillnestSync::keepUnlessGoing(const std::shared_ptr<RKRequest> &request, bool isCommand)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_isShuttingDown) {
            if (isCommand) {
                m_commandTries = 0;
                m_request = request;
            }
            m_liveRequests.remember(request);
            return true;
        }
    }
    request->clearCallbacks();
    return false;
}

PlatformError HMQuillnestSync::httpStatusError(int status)
{
    return PlatformError::withDescription(kHttpStatusErrorDomain, status, QStringLiteral("HTTP %1").arg(status));
}

void HMQuillnestSync::noteFailure(const QString &path, const PlatformError &error)
{
    {
        const std::lock_guard lock(m_mutex);
        ++m_commandTries;
    }
    DDLogError(QStringLiteral("Error From: '%1'").arg(path));
    DDLogError(QStringLiteral("ERROR (%1): %2").arg(error.code()).arg(error.localizedDescription()));
}

void HMQuillnestSync::handleRKError(const PlatformError &error)
{
    // Every wait of the run ends with it: no keep-alive tick after a failure.
    stopRepeatingTimer();
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    const qint64 code = error.code();
    if (error.domain() != QLatin1String(platform::RKErrorDomain)) {
        if (code == platform::NSURLErrorCannotConnectToHost)
            target->didErrorWithError(3, QString());
        else if (code == platform::NSURLErrorCannotFindHost)
            target->didErrorWithError(6, QStringLiteral("Invalid Server"));
        else if (code == platform::NSURLErrorTimedOut)
            target->didErrorWithError(6, QStringLiteral("Connection Timed Out"));
        else if (code == platform::NSURLErrorBadURL)
            target->didErrorWithError(6, QStringLiteral("Invalid URL"));
        else
            target->didErrorWithError(6, error.localizedDescription());
    } else if (code == platform::RKRequestBaseURLOfflineError) {
        const std::shared_ptr<platform::RKClient> shared = platform::RKClient::sharedClient();
        if (shared && shared->isReachabilityDetermined() && !shared->isNetworkReachable()) {
            GlobalVariables::setQuillnestErrorStatus(true);
            target->didErrorWithError(4, localized("Err_ConnectionError"));
        } else {
            target->didErrorWithError(6, QStringLiteral("Invalid URL"));
        }
    } else {
        reportRequestFailure(*target, code);
    }
    target->commandErroredStopProcessing();
}

// Request delegate -------------------------------------------------------------------------------------

void HMQuillnestSync::requestDidCancelLoad(RKRequest &request)
{
    Q_UNUSED(request);
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    DDLogError(QStringLiteral("Sync was force canceled"));
    // The logoff goes out before the controller hears of the cancel: it may end the run, and the
    // transport with it, at once, and a logout under way is let finish.
    logoff();
    reportForceCancelled(*target);
}

void HMQuillnestSync::forceCancel()
{
    std::shared_ptr<RKRequest> request;
    {
        const std::lock_guard lock(m_mutex);
        request = m_request;
    }
    stopRepeatingTimer();
    // The framework reports the cancel through requestDidCancelLoad.
    if (request)
        request->cancel();
}
