#include "phonelink/HMWiFiSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMDateUtilities.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/Scanner.h"
#include "platform/foundation/TextClasses.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/LockedField.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMSyncClientDelegate.h"
#include "sync/HMSyncController.h"
#include "sync/HMSyncControllerConfigurationProtocol.h"

#include <QRegularExpression>

using platform::localized;
using platform::PlatformError;
using platform::RKRequest;
using platform::RKRequestOutcome;
using platform::RKResponse;

namespace {

// The hand-built "name=value&" bodies are not URL-encoded (values keep their spaces, line breaks and
// "@"), so they are not sent as a form: servers limit and reject malformed form bodies.
const QString kTextBodyType = QStringLiteral("text/plain; charset=utf-8");

// The product code the phone expects: "HMMAC" and the first digit of the version, then "0" (1.0.0
// gives "HMMAC10"). The digit is appended, not formatted: "%10" would read as placeholder 10.
QString productCode()
{
    const QString version = platform::Bundle::shortVersion();
    if (version.isEmpty())
        return QStringLiteral("HMMAC60");
    return QStringLiteral("HMMAC") + version.at(0) + QLatin1Char('0');
}

// Only phones (ios, android) have a sync server to reach; other device types get no address and port 0.
bool isPhone(qint64 deviceType)
{
    return deviceType == 1 || deviceType == 2;
}

bool isURLLoadingError(const PlatformError &error)
{
    return error.domain() != QLatin1String(platform::RKErrorDomain);
}

// A reply the transport must not read as the phone's answer: one shorter than its announced length
// (the connection was lost mid-reply, even when the network layer let the short body through), or
// one with a status other than 2xx. The phone's server never redirects; a 3xx reply may come from
// something else on the address, and an "OK" body under an error status is no success either.
std::optional<PlatformError> problemWith(const RKResponse &response)
{
    const std::shared_ptr<RKRequest> request = response.request();
    const QString url = request ? request->URLString() : QString();
    bool hasLength = false;
    const qint64 announced = response.headerValue("Content-Length").toLongLong(&hasLength);
    if (hasLength && response.body().size() < announced)
        return platform::urlLoadingError(platform::NSURLErrorNetworkConnectionLost, url);
    if (response.isSuccessful())
        return std::nullopt;
    return PlatformError::withDescription(
        QStringLiteral("HMWiFiSyncErrorDomain"), response.statusCode(),
        QStringLiteral("The phone answered %1 with HTTP status %2.").arg(url, QString::number(response.statusCode())));
}

} // namespace

void HMWiFiSync::setWifiSyncInProgress(bool inProgress)
{
    platform::UserDefaults &defaults = platform::UserDefaults::standardUserDefaults();
    defaults.setBool(inProgress, QStringLiteral("wifi_sync_in_progress"));
    if (!defaults.synchronize())
        DDLogError(QStringLiteral("Could not write the user default wifi_sync_in_progress"));
}

HMWiFiSync::WorkScope::WorkScope(HMWiFiSync &sync) : m_sync(sync)
{
    const std::lock_guard lock(m_sync.m_mutex);
    ++m_sync.m_activeWorkers;
}

HMWiFiSync::WorkScope::~WorkScope()
{
    const std::lock_guard lock(m_sync.m_mutex);
    --m_sync.m_activeWorkers;
    m_sync.m_wakeUp.notify_all();
}

std::unique_ptr<HMWiFiSync>
HMWiFiSync::initWithConfiguration(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
{
    return initWithConfiguration(configuration, Timing());
}

std::unique_ptr<HMWiFiSync>
HMWiFiSync::initWithConfiguration(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration,
                                  Timing timing)
{
    std::optional<ConnectionSettings> settings = settingsFromConfiguration(configuration.get());
    return settings ? std::make_unique<HMWiFiSync>(std::move(*settings), timing) : nullptr;
}

std::optional<HMWiFiSync::ConnectionSettings>
HMWiFiSync::settingsFromConfiguration(const HMSyncControllerConfigurationProtocol *configuration)
{
    if (configuration == nullptr)
        return std::nullopt;
    ConnectionSettings settings;
    settings.deviceType = qint64(configuration->deviceType());
    settings.deviceName = configuration->stringValueForSetting(19);
    settings.password = configuration->stringValueForSetting(20);
    settings.ipAddress = configuration->stringValueForSetting(21);
    return settings;
}

void HMWiFiSync::registerTransport(qint64 serverPort, Timing timing)
{
    HMSyncController::registerTransportClass<HMWiFiSync>(1, timing, [serverPort](HMWiFiSync &sync) {
        if (sync.serverPort() != 0)
            sync.setServerPort(serverPort);
    });
}

HMWiFiSync::HMWiFiSync(ConnectionSettings settings) : HMWiFiSync(std::move(settings), Timing()) {}

HMWiFiSync::HMWiFiSync(ConnectionSettings settings, Timing timing)
    : HMRestSyncClient(QString()),
      m_settings(isPhone(settings.deviceType) ? std::move(settings)
                                              : ConnectionSettings{settings.deviceType, {}, {}, {}}),
      m_timing(timing), m_serverPort(isPhone(m_settings.deviceType) ? kDefaultServerPort : 0)
{
    GlobalVariables::setQuillnestErrorStatus(false);
}

HMWiFiSync::~HMWiFiSync()
{
    std::vector<std::shared_ptr<RKRequest>> requests;
    {
        std::unique_lock lock(m_mutex);
        m_isShuttingDown = true;
        requests = m_liveRequests.alive();
    }
    m_wakeUp.notify_all();
    // Once the delegate and blocks are cleared no callback into this object is under way or will
    // come; the cancel then releases any worker waiting for its request.
    for (const std::shared_ptr<RKRequest> &request : requests) {
        request->clearCallbacks();
        request->cancel();
    }
    stopRepeatingTimer();
    // Waits for the workers of purge and the id list, which end now that their requests are
    // cancelled; queued ones will not start. Then for the commands running on the calling queue.
    m_callbacks.close();
    std::unique_lock lock(m_mutex);
    m_wakeUp.wait(lock, [this] { return m_activeWorkers == 0; });
}

bool HMWiFiSync::verifyProfileIsValid(QString &message)
{
    QString noted;
    if (m_settings.ipAddress.isEmpty())
        noted += QStringLiteral("No IP Address is entered.\n");
    if (m_settings.deviceName.isEmpty())
        noted += QStringLiteral("No Device Name entered.\n");
    if (noted.isEmpty())
        return true;
    message = localized("no_ip_or_device_name");
    return false;
}

QString HMWiFiSync::serverUrl() const
{
    return QStringLiteral("http://%1:%2").arg(m_settings.ipAddress, QString::number(m_serverPort));
}

std::optional<bool> HMWiFiSync::setup(QString &error)
{
    Q_UNUSED(error);
    std::shared_ptr<platform::RKClient> client = serialClientWithBaseURL(serverUrl());
    {
        const std::lock_guard lock(m_mutex);
        m_wifiSyncClient = std::move(client);
    }
    m_dateUtilities = std::make_unique<HMDateUtilities>();
    prepareKeyMappingDictionaries();
    return true;
}

QVariantMap HMWiFiSync::postParameterDictionary() const
{
    // The names cross over: the phone reads the device name from "password" and the password from
    // "Username". Over Wi-Fi both carry the same text.
    return QVariantMap{{QStringLiteral("password"), m_settings.deviceName},
                       {QStringLiteral("Username"), m_settings.password}};
}

QString HMWiFiSync::stringForHMForceQuillpadMode(quint64 mode)
{
    switch (mode) {
    case 0:
        return QStringLiteral("HMForceQuillpadModeBruteForce");
    case 1:
        return QStringLiteral("HMForceQuillpadModePassiveForce");
    case 2:
        return QStringLiteral("HMForceQuillpadModeWait");
    default:
        return QString();
    }
}

bool HMWiFiSync::isOutlookSync()
{
    const QString version = GlobalVariables::getOutlookVersionNumber();
    return version.startsWith(QLatin1String("14")) || version.startsWith(QLatin1String("15")) ||
           version.startsWith(QLatin1String("16"));
}

HMSyncClientDelegate *HMWiFiSync::reportTo() const
{
    return isShuttingDown() ? nullptr : delegate();
}

bool HMWiFiSync::isShuttingDown() const
{
    return platform::lockedCopy(m_mutex, m_isShuttingDown);
}

void HMWiFiSync::postUserNotification(const QString &text) const
{
    GlobalVariables::showSyncUserMessage(text);
}

// Requests -------------------------------------------------------------------------------------------

std::shared_ptr<RKRequest> HMWiFiSync::makeRequest(const QString &resourcePath, double timeoutSeconds)
{
    std::shared_ptr<platform::RKClient> client;
    {
        const std::lock_guard lock(m_mutex);
        client = m_wifiSyncClient;
    }
    if (!client)
        return nullptr;
    std::shared_ptr<RKRequest> request = client->requestWithResourcePath(resourcePath);
    request->setMethod(platform::RKRequestMethod::POST);
    request->setTimeoutInterval(timeoutSeconds);
    request->setCachePolicy(platform::RKRequestCachePolicy::None);
    request->setMaxResponseBytes(kMaxReplyBytes);
    request->setDelegate(this);
    const std::lock_guard lock(m_mutex);
    m_liveRequests.remember(request);
    return request;
}

std::shared_ptr<RKRequest> HMWiFiSync::makeTextRequest(const QString &resourcePath, const QVariantMap &parameters)
{
    std::shared_ptr<RKRequest> request = makeRequest(resourcePath, m_timing.commandTimeoutSeconds);
    if (!request)
        return nullptr;
    // The phone reads these bodies as "name=value&" pairs without any escaping.
    QString body;
    for (auto it = parameters.constBegin(); it != parameters.constEnd(); ++it)
        body += QStringLiteral("%1=%2&").arg(it.key(), it.value().toString());
    setTextBody(*request, body);
    return request;
}

void HMWiFiSync::setTextBody(RKRequest &request, const QString &body)
{
    request.setHTTPBody(body.toUtf8(), kTextBodyType);
}

RKRequestOutcome HMWiFiSync::sendAndWait(const std::shared_ptr<RKRequest> &request)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_isShuttingDown)
            return RKRequestOutcome::cancelled();
        m_request = request;
        m_commandTries = 0;
    }
    RKRequestOutcome outcome = request->sendSynchronously();
    forgetRequest(request.get());
    if (outcome.isLoaded()) {
        if (const std::optional<PlatformError> problem = problemWith(outcome.response()))
            return RKRequestOutcome::failed(*problem);
    }
    return outcome;
}

std::optional<HMWiFiSync::ReportedOutcome> HMWiFiSync::sendForReport(const std::shared_ptr<RKRequest> &request)
{
    RKRequestOutcome outcome = sendAndWait(request);
    if (outcome.kind() == RKRequestOutcome::Kind::Cancelled)
        return std::nullopt;
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return std::nullopt;
    return ReportedOutcome{std::move(outcome), target};
}

void HMWiFiSync::sendAsync(const std::shared_ptr<RKRequest> &request, bool remember)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_isShuttingDown)
            return;
        if (remember)
            m_request = request;
    }
    request->send();
}

void HMWiFiSync::forgetRequest(const RKRequest *request)
{
    const std::lock_guard lock(m_mutex);
    if (m_request.get() == request)
        m_request.reset();
}

// Retry policy ---------------------------------------------------------------------------------------

HMWiFiSync::FailureAction HMWiFiSync::judgeRequestFailure(const PlatformError &error, const QString &resourcePath,
                                                          RetryScope scope)
{
    const qint64 code = error.code();
    {
        const std::lock_guard lock(m_mutex);
        ++m_commandTries;
        const bool cannotConnect = isURLLoadingError(error) && code == platform::NSURLErrorCannotConnectToHost;
        const bool connectionLost = isURLLoadingError(error) && code == platform::NSURLErrorNetworkConnectionLost;
        const bool isRetryableKind = cannotConnect || (connectionLost && scope == RetryScope::AnyConnectionFailure);
        if (cannotConnect || connectionLost)
            ++m_connectionTries;
        if (isRetryableKind) {
            const QDateTime now = platform::Clock::now();
            bool isInsideWindow = true;
            if (!m_connectionTryTimeoutDate.isValid())
                m_connectionTryTimeoutDate = now.addMSecs(m_timing.connectionTryWindow.count());
            else
                isInsideWindow = m_connectionTryTimeoutDate > now;
            if (isInsideWindow && m_forceQuillpad)
                --m_commandTries;
        }
    }
    DDLogError(QStringLiteral("Error From: '%1'").arg(resourcePath));
    DDLogError(QStringLiteral("ERROR (%1): %2").arg(code).arg(error.localizedDescription()));
    const std::lock_guard lock(m_mutex);
    if (m_commandTries < 1)
        return FailureAction::Retry;
    DDLogVerbose(QStringLiteral("Command Tries: %1").arg(m_commandTries));
    DDLogVerbose(QStringLiteral("Connection Tries: %1").arg(m_connectionTries));
    m_connectionTryTimeoutDate = QDateTime();
    m_connectionTries = 0;
    return FailureAction::GiveUp;
}

bool HMWiFiSync::shouldResendAfterEmptyReply()
{
    const std::lock_guard lock(m_mutex);
    ++m_connectionTries;
    const QDateTime now = platform::Clock::now();
    if (!m_connectionTryTimeoutDate.isValid()) {
        m_connectionTryTimeoutDate = now.addMSecs(m_timing.connectionTryWindow.count());
        return true;
    }
    if (m_connectionTryTimeoutDate > now)
        return true;
    m_connectionTryTimeoutDate = QDateTime();
    m_connectionTries = 0;
    return false;
}

void HMWiFiSync::clearConnectionTries()
{
    const std::lock_guard lock(m_mutex);
    m_connectionTryTimeoutDate = QDateTime();
    m_connectionTries = 0;
}

bool HMWiFiSync::pauseBeforeRetry(std::chrono::milliseconds extraPause)
{
    std::chrono::milliseconds delay = extraPause;
    quint64 mode = 0;
    {
        const std::lock_guard lock(m_mutex);
        mode = m_forceQuillpadMode;
    }
    DDLogInfo(QStringLiteral("Retrying With Mode: %1").arg(stringForHMForceQuillpadMode(mode)));
    if (mode == quint64(HMForceQuillpadMode::PassiveForce))
        delay += m_timing.passiveRetryDelay;
    else if (mode == quint64(HMForceQuillpadMode::Wait))
        delay += m_timing.waitRetryDelay;
    bool wasForceCancelled = false;
    {
        std::unique_lock lock(m_mutex);
        m_wakeUp.wait_for(lock, delay, [this] { return m_isShuttingDown || m_isForceCancelled; });
        if (m_isShuttingDown)
            return false;
        wasForceCancelled = m_isForceCancelled;
    }
    if (!wasForceCancelled)
        return true;
    // No request was in flight to carry the cancel, so the pause reports it.
    if (HMSyncClientDelegate *target = reportTo())
        reportForceCancelled(*target);
    return false;
}

void HMWiFiSync::handleRKError(const PlatformError &error)
{
    stopRepeatingTimer();
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    const qint64 code = error.code();
    if (!isURLLoadingError(error)) {
        reportRequestFailure(*target, code);
        return;
    }
    switch (code) {
    case platform::NSURLErrorCannotConnectToHost:
    case platform::NSURLErrorTimedOut:
        target->didErrorWithError(3, QString());
        break;
    case platform::NSURLErrorCannotFindHost:
        target->didErrorWithError(6, QStringLiteral("Invalid Server"));
        break;
    case platform::NSURLErrorBadURL:
        target->didErrorWithError(6, QStringLiteral("Invalid URL"));
        break;
    default:
        target->didErrorWithError(6, error.localizedDescription());
        break;
    }
}

QString HMWiFiSync::failureReason(const QString &body) const
{
    // The reason is the line after "FAIL"; a missing one gives no text, so the controller's own is used.
    const QStringList lines = body.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    if (lines.size() < 2 || lines.at(1).isEmpty())
        return QString();
    if (lines.at(1) == QLatin1String("Invalid Device ID"))
        return localized("invalid_deviceid");
    return lines.at(1);
}

// Logon, logoff, keep-alive --------------------------------------------------------------------------

void HMWiFiSync::routeCommandOutcome(RKRequest &request, void (HMWiFiSync::*onResponse)(const RKResponse &),
                                     void (HMWiFiSync::*onFailure)(const PlatformError &))
{
    request.setOnDidLoadResponse(m_callbacks.wrap([this, onResponse, onFailure](const RKResponse &response) {
        if (const std::optional<PlatformError> problem = problemWith(response))
            (this->*onFailure)(*problem);
        else
            (this->*onResponse)(response);
    }));
    request.setOnDidFailLoadWithError(
        m_callbacks.wrap([this, onFailure](const PlatformError &error) { (this->*onFailure)(error); }));
    const std::lock_guard lock(m_mutex);
    m_commandTries = 0;
}

void HMWiFiSync::logOutcomeToConsole(RKRequest &request)
{
    request.setOnDidLoadResponse([](const RKResponse &response) {
        platform::consoleLog(QStringLiteral("Response From: '%1'").arg(response.bodyAsString()));
    });
    request.setOnDidFailLoadWithError([](const PlatformError &error) {
        platform::consoleLog(QStringLiteral("Error: %1").arg(error.localizedDescription()));
    });
}

bool HMWiFiSync::cancelSync()
{
    std::shared_ptr<RKRequest> request = makeRequest(QStringLiteral("/hmx_logoff"), m_timing.cancelTimeoutSeconds);
    if (!request)
        return false;
    // "canceled" with one l: the phone tells the cancel from the normal logoff by this name.
    request->setParams(QVariantMap{{QStringLiteral("canceled"), QStringLiteral("1")}});
    request->setOnDidLoadResponse([](const RKResponse &response) {
        DDLogVerbose(QStringLiteral("Logoff Response From: '%1'")
                         .arg(response.request() ? response.request()->URLString() : QString()));
        DDLogVerbose(QStringLiteral("Logoff Response: '%1'").arg(response.bodyAsString()));
    });
    const QString path = request->resourcePath();
    request->setOnDidFailLoadWithError(
        [path](const PlatformError &) { DDLogError(QStringLiteral("Logoff Error From: '%1'").arg(path)); });
    sendAsync(request, true);
    return true;
}

bool HMWiFiSync::logon()
{
    cancelSync();
    {
        // The phone needs a moment after the cancel; a force cancel or the end of the transport
        // cuts the pause short.
        std::unique_lock lock(m_mutex);
        m_isForceCancelled = false;
        m_wakeUp.wait_for(lock, m_timing.logonPause, [this] { return m_isShuttingDown || m_isForceCancelled; });
        m_offset = 0;
        m_syncRecordListPartialCount = 0;
    }
    GlobalVariables::setQuillnestErrorStatus(false);
    stopRepeatingTimer();

    std::shared_ptr<RKRequest> request = makeRequest(QStringLiteral("/hmx_logon"), m_timing.logonTimeoutSeconds);
    if (!request)
        return false;
    request->setParams(QVariantMap{{QStringLiteral("logging"), QStringLiteral("1")},
                                   {QStringLiteral("build"), QStringLiteral("0001")},
                                   {QStringLiteral("source"), QStringLiteral("apple")},
                                   {QStringLiteral("hmproductcode"), productCode()}});
    routeCommandOutcome(*request, &HMWiFiSync::handleLogonResponse, &HMWiFiSync::handleLogonFailure);
    startFireDateTimer();
    sendAsync(request, true);
    return true;
}

void HMWiFiSync::handleLogonResponse(const RKResponse &response)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    const QString text = response.bodyAsString();
    // White space before the status is skipped. The status line runs to LF: a reply written with
    // CR LF keeps its CR and is not "OK".
    qsizetype statusStart = 0;
    while (statusStart < text.size() && text.at(statusStart).isSpace())
        ++statusStart;
    const QString body = text.mid(statusStart);
    const qsizetype lineEnd = body.indexOf(QLatin1Char('\n'));
    const QString status = lineEnd < 0 ? body : body.left(lineEnd);
    if (status == QLatin1String("FAIL")) {
        DDLogError(QStringLiteral("Logon Failed\n%1").arg(body.left(kLoggedReplyChars)));
        const QStringList lines = body.split(QLatin1Char('\n'));
        const QString reason = lines.size() > 1 ? lines.at(1) : QString();
        const QString message =
            reason.isEmpty() ? localized("qpd_logon_error") : QStringLiteral("Quillpad Error: %1").arg(reason);
        target->didErrorWithError(6, message);
        target->commandErroredStopProcessing();
        return;
    }
    if (status != QLatin1String("OK")) {
        reportLogonRefusal(*target, body, status);
        return;
    }
    static const QStringList kKnownKeys = {QStringLiteral("WifiVersion"), QStringLiteral("DeviceID"),
                                           QStringLiteral("QPDVersion"),  QStringLiteral("OSVersion"),
                                           QStringLiteral("OS"),          QStringLiteral("DeviceTime")};
    QVariantMap reply;
    platform::Scanner scanner(body.mid(lineEnd + 1));
    // Every pass consumes at least the "=" or the rest of the text, so the loop ends.
    while (!scanner.isAtEnd()) {
        const QString key = scanner.scanUpToString(QStringLiteral("=")).value_or(QString());
        if (!scanner.scanString(QStringLiteral("=")))
            break;
        const QString value = scanner.scanUpToString(QStringLiteral("\n")).value_or(QString());
        if (kKnownKeys.contains(key)) {
            reply.insert(key, value);
        } else {
            DDLogWarn(QStringLiteral("Unknown Key/Value in Logon Result"));
            DDLogWarn(QStringLiteral("Key: '%1' Value: '%2'").arg(key, value));
        }
    }
    target->logonCommandReturned(true, reply);
}

void HMWiFiSync::reportLogonRefusal(HMSyncClientDelegate &target, const QString &body, const QString &status)
{
    DDLogError(QStringLiteral("Logon Failed\n%1").arg(body.left(kLoggedReplyChars)));
    if (body.isEmpty() && reportsEmptyLogonAsUnresponsiveDevice()) {
        target.didErrorWithError(6, localized("adb_device_not_responding"));
        target.commandErroredStopProcessing();
        return;
    }
    // A phone that is busy, or answers nothing usable, refused the sync: the run ends in error with
    // what the phone said.
    const QString said = status.trimmed().left(kLoggedReplyChars);
    QString message = QStringLiteral("Quillpad Error: %1").arg(said);
    if (said.isEmpty())
        message = QStringLiteral("The phone gave no logon reply.");
    else if (said == QLatin1String("OK"))
        message = QStringLiteral("The phone's logon reply is malformed (its status line ends in CR LF).");
    target.didErrorWithError(6, message);
    target.logonCommandReturned(false, QVariantMap());
}

void HMWiFiSync::handleLogonFailure(const PlatformError &error)
{
    {
        const std::lock_guard lock(m_mutex);
        ++m_commandTries;
    }
    DDLogError(QStringLiteral("Error From: '%1'").arg(QStringLiteral("/hmx_logon")));
    handleRKError(error);
    if (HMSyncClientDelegate *target = reportTo())
        target->logonCommandReturned(false, QVariantMap());
}

bool HMWiFiSync::logoff()
{
    std::shared_ptr<RKRequest> request = makeRequest(QStringLiteral("/hmx_logoff"), m_timing.logoffTimeoutSeconds);
    if (!request)
        return false;
    request->setParams(QVariantMap{{QStringLiteral("cancelled"), QStringLiteral("0")}});
    routeCommandOutcome(*request, &HMWiFiSync::handleLogoffResponse, &HMWiFiSync::handleLogoffFailure);
    sendAsync(request, true);
    stopRepeatingTimer();
    setWifiSyncInProgress(false);
    return true;
}

void HMWiFiSync::handleLogoffResponse(const RKResponse &response)
{
    const QString body = response.bodyAsString();
    DDLogVerbose(QStringLiteral("Logoff Response From: '%1'").arg(QStringLiteral("/hmx_logoff")));
    DDLogVerbose(QStringLiteral("Logoff Response: '%1'").arg(body));
    if (isShuttingDown())
        return;
    if (body.contains(QLatin1String("fail"), Qt::CaseInsensitive)) {
        // The phone refused to end the sync: abandon it there and end the run as failed, rather than
        // leaving the run waiting for a logoff result that would never come.
        GlobalVariables::setQuillnestErrorStatus(true);
        cancelSync();
        if (HMSyncClientDelegate *target = reportTo()) {
            target->didErrorWithError(6, QStringLiteral("Quillpad Error: %1").arg(body.trimmed()));
            target->logoffCommandReturned(false);
        }
        return;
    }
    GlobalVariables::setQuillnestErrorStatus(false);
    if (HMSyncClientDelegate *target = reportTo())
        target->logoffCommandReturned(true);
}

void HMWiFiSync::handleLogoffFailure(const PlatformError &error)
{
    GlobalVariables::setQuillnestErrorStatus(true);
    {
        const std::lock_guard lock(m_mutex);
        ++m_commandTries;
    }
    DDLogError(QStringLiteral("Logoff Error From: '%1'").arg(QStringLiteral("/hmx_logoff")));
    handleRKError(error);
    if (HMSyncClientDelegate *target = reportTo())
        target->logoffCommandReturned(false);
}

void HMWiFiSync::forceCancel()
{
    std::shared_ptr<RKRequest> request;
    {
        const std::lock_guard lock(m_mutex);
        m_isForceCancelled = true;
        request = m_request;
    }
    m_wakeUp.notify_all();
    // The framework reports the cancel through requestDidCancelLoad.
    if (request)
        request->cancel();
    stopRepeatingTimer();
}

void HMWiFiSync::startFireDateTimer()
{
    std::weak_ptr<platform::RKClient> weakClient;
    {
        const std::lock_guard lock(m_mutex);
        weakClient = m_wifiSyncClient;
    }
    const QString deviceName = m_settings.deviceName;
    const QString password = m_settings.password;
    const double timeoutSeconds = m_timing.pingTimeoutSeconds;
    // The ping reaches the client only through a weak link: the timer may fire on the main thread
    // while the transport is being destroyed elsewhere.
    auto ping = [weakClient, deviceName, password, timeoutSeconds](platform::RunLoopTimer &) {
        const std::shared_ptr<platform::RKClient> client = weakClient.lock();
        if (!client)
            return;
        std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/hmx_getdeviceinfo"));
        request->setMethod(platform::RKRequestMethod::POST);
        request->setTimeoutInterval(timeoutSeconds);
        const QString json = jsonStringFromDictionary(
            QVariantMap{{QStringLiteral("Username"), deviceName}, {QStringLiteral("password"), password}});
        request->setParams(
            platform::RKRequestSerialization(json.toUtf8(), QString::fromLatin1(platform::RKMIMETypeJSON)));
        logOutcomeToConsole(*request);
        request->send();
    };
    std::shared_ptr<platform::RunLoopTimer> timer = platform::RunLoopTimer::scheduled(
        m_timing.keepAliveIntervalSeconds, platform::RunLoopTimer::Repeats::Yes, std::move(ping));
    std::shared_ptr<platform::RunLoopTimer> previous;
    {
        const std::lock_guard lock(m_mutex);
        previous = std::exchange(m_repeatingTimer, std::move(timer));
    }
    if (previous)
        previous->invalidate();
}

void HMWiFiSync::stopRepeatingTimer()
{
    std::shared_ptr<platform::RunLoopTimer> timer;
    {
        const std::lock_guard lock(m_mutex);
        timer = std::move(m_repeatingTimer);
        m_repeatingTimer.reset();
    }
    if (timer)
        timer->invalidate();
}

// Request delegate -----------------------------------------------------------------------------------

void HMWiFiSync::requestDidLoadResponse(RKRequest &request, const RKResponse &response)
{
    DDLogVerbose(
        QStringLiteral("Response From: '%1' (%2 bytes)").arg(request.resourcePath()).arg(response.body().size()));
}

void HMWiFiSync::requestDidCancelLoad(RKRequest &request)
{
    Q_UNUSED(request);
    if (HMSyncClientDelegate *target = reportTo())
        reportForceCancelled(*target);
}
