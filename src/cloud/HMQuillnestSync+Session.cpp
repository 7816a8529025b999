// The cloud session: logon, the change poll, logoff, purge and the keep-alive timer.
#include "cloud/HMQuillnestSync.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMDateUtilities.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/RunLoopTimer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKParserRegistry.h"
#include "platform/restkit/RKRequestSerialization.h"
#include "sync/HMSyncClientDelegate.h"

#include <QTimeZone>

#include <atomic>

using platform::localized;
using platform::PlatformError;
using platform::RKRequest;
using platform::RKResponse;

namespace {

const QString kLastModifiedNotification = QStringLiteral("kHMQuillnestLastModified");

// "Result" as a number; nothing when it is missing or no number.
std::optional<int> resultOf(const QVariantMap &reply)
{
    const QVariant value = reply.value(QStringLiteral("Result"));
    bool isNumber = false;
    const int result = value.toInt(&isNumber);
    return value.isValid() && isNumber ? std::optional<int>(result) : std::nullopt;
}

} // namespace

// Logon ------------------------------------------------------------------------------------------------

bool HMQuillnestSync::sendLogon(ReplyHandler onReply, FailureHandler onFailure)
{
    {
        const std::lock_guard lock(m_mutex);
        m_offset = 0;
        m_syncRecordListPartialCount = 0;
    }
    GlobalVariables::setQuillnestErrorStatus(false);
    GlobalVariables::setQuillnestDeviceId(m_deviceId);
    const QVariantMap body = logonBody();
    DDLogVerbose(QStringLiteral("Logon request: %1").arg(loggableJson(body)));
    return sendRequest(QStringLiteral("/login.php"), m_timing.logonTimeoutSeconds, body, std::move(onReply),
                       std::move(onFailure));
}

bool HMQuillnestSync::logon()
{
    return sendLogon([this](const QString &reply) { handleLogonReply(reply); },
                     [this](const PlatformError &error) {
                         handleRKError(error);
                         if (HMSyncClientDelegate *target = reportTo())
                             target->logonCommandReturned(false, {});
                     });
}

void HMQuillnestSync::handleLogonReply(const QString &body)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    const std::optional<QVariantMap> reply = dictionaryForJsonString(body);
    const std::optional<int> result = reply ? resultOf(*reply) : std::nullopt;
    if (result == 1) {
        DDLogError(QStringLiteral("Invalid username or password"));
        target->didErrorWithError(8, localized("no_username_or_password"));
        target->commandErroredStopProcessing();
        return;
    }
    if (result == 2)
        DDLogError(QStringLiteral("Received unhandled redirect response"));
    // No JSON object, no number in "Result", or a result other than 0: the logon failed.
    if (result != 0) {
        stopRepeatingTimer();
        target->didErrorWithError(6, QString());
        target->commandErroredStopProcessing();
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_sessionIdentifier = reply->value(QStringLiteral("Session")).toString();
    }
    target->logonCommandReturned(true, logonResultDictionary(*reply));
}

QVariantMap HMQuillnestSync::logonResultDictionary(const QVariantMap &reply)
{
    if (!m_dateUtilities)
        m_dateUtilities = std::make_unique<HMDateUtilities>();
    HMDateUtilities &dates = *m_dateUtilities;
    QDateTime deviceTime = QDateTime::currentDateTimeUtc();
    const QDateTime serverTime = dates.dateFromMySqlDateTimeString(reply.value(QStringLiteral("Servertime")).toString());
    if (serverTime.isValid()) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The server's wall-clock time in the Mac's zone, read back as GMT.
        deviceTime = dates.dateFromGmtDateTimeString(dates.localDateTimeStringFromDate(serverTime));
        DDLogVerbose(QStringLiteral("Device Now: %1").arg(now.toString(Qt::ISODate)));
        DDLogVerbose(QStringLiteral("Server Now: %1").arg(serverTime.toString(Qt::ISODate)));
        DDLogVerbose(QStringLiteral("Server Converted: %1").arg(deviceTime.toString(Qt::ISODate)));
        DDLogVerbose(QStringLiteral("Time Difference %1").arg(now.secsTo(serverTime)));
    } else {
        DDLogVerbose(QStringLiteral("Could not parse server datetime, using current time instead"));
    }
    const auto changeDate = [&dates, &reply](const char *key) {
        const QDateTime date = dates.dateFromGmtDateTimeString(reply.value(QString::fromLatin1(key)).toString());
        return date.isValid() ? date : QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    };
    return QVariantMap{{QStringLiteral("DeviceTime"), QVariant(deviceTime)},
                       {QStringLiteral("ContactsLastModified"), changeDate("ModifiedA")},
                       {QStringLiteral("CalendarLastModified"), changeDate("ModifiedD")},
                       {QStringLiteral("TasksLastModified"), changeDate("ModifiedT")},
                       {QStringLiteral("MemosLastModified"), changeDate("ModifiedM")}};
}

// Change poll ------------------------------------------------------------------------------------------

bool HMQuillnestSync::autosyncCheckForChanges()
{
    QString error;
    setup(error);
    return sendLogon([this](const QString &reply) { handleChangePollReply(reply); }, [](const PlatformError &) {});
}

void HMQuillnestSync::handleChangePollReply(const QString &body)
{
    // A reply that is no JSON object reads as an empty one, whose "Result" is 0.
    const QVariantMap reply = dictionaryForJsonString(body).value_or(QVariantMap());
    const QVariant result = reply.value(QStringLiteral("Result"));
    if (result.isValid() && result.toInt() != 0)
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_sessionIdentifier = reply.value(QStringLiteral("Session")).toString();
    }
    const QVariantMap dates = logonResultDictionary(reply);
    platform::NotificationCenter::defaultCenter().postNotificationName(kLastModifiedNotification, &dates, dates);
    logoff();
}

// Logoff -----------------------------------------------------------------------------------------------

bool HMQuillnestSync::logoff()
{
    stopRepeatingTimer();
    return sendRequest(
        QStringLiteral("/logout.php"), m_timing.logoffTimeoutSeconds, logoffBody(),
        [this](const QString &reply) { handleLogoffReply(reply); },
        [this](const PlatformError &error) {
            handleRKError(error);
            if (HMSyncClientDelegate *target = reportTo())
                target->logoffCommandReturned(false);
        });
}

void HMQuillnestSync::handleLogoffReply(const QString &body)
{
    HMSyncClientDelegate *target = reportTo();
    if (target == nullptr)
        return;
    const std::optional<QVariantMap> reply = dictionaryForJsonString(body);
    if (!reply) {
        DDLogError(QStringLiteral("Unable to parse json response: '%1'").arg(body.left(200)));
        target->didErrorWithError(6, QString());
        target->logoffCommandReturned(false);
        return;
    }
    const std::optional<int> result = resultOf(*reply);
    DDLogVerbose(QStringLiteral("LogoffResult %1").arg(reply->value(QStringLiteral("Result")).toString()));
    if (result != 0) {
        DDLogWarn(QStringLiteral("Unkown response from logoff '%1'").arg(body.left(200)));
        target->didErrorWithError(6, QStringLiteral("Unable to process logoff."));
        target->logoffCommandReturned(false);
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_sessionIdentifier.clear();
    }
    target->logoffCommandReturned(true);
}

// Purge ------------------------------------------------------------------------------------------------

bool HMQuillnestSync::purge(quint64 conduit)
{
    DDLogVerbose(QStringLiteral("Purging conduit %1").arg(conduit));
    const QVariantMap body = purgeBody(conduit);
    const QString shownBody = loggableJson(body);
    return sendRequest(
        QStringLiteral("/purge.php"), m_timing.purgeTimeoutSeconds, body,
        [this, shownBody](const QString &reply) {
            DDLogVerbose(QStringLiteral("Request Body: %1").arg(shownBody));
            DDLogVerbose(QStringLiteral("Response From: '%1'").arg(QStringLiteral("/purge.php")));
            DDLogVerbose(QStringLiteral("Response Data:\n%1").arg(reply.left(2000)));
            {
                const std::lock_guard lock(m_mutex);
                m_connectionTries = 0;
            }
            if (HMSyncClientDelegate *target = reportTo())
                target->purgeCommandReturned(true);
        },
        [this](const PlatformError &error) {
            handleRKError(error);
            if (HMSyncClientDelegate *target = reportTo())
                target->purgeCommandReturned(false);
        });
}

// Keep-alive -------------------------------------------------------------------------------------------

void HMQuillnestSync::startFireDateTimer()
{
    std::weak_ptr<platform::RKClient> weakClient;
    {
        const std::lock_guard lock(m_mutex);
        weakClient = m_client;
    }
    const QByteArray json = jsonStringFromDictionary(keepAliveBody()).toUtf8();
    const double timeoutSeconds = m_timing.pingTimeoutSeconds;
    const int maxTicks = m_timing.keepAliveMaxTicks;
    auto ticks = std::make_shared<std::atomic<int>>(0);
    // The tick reaches the client only through a weak link, and holds everything else it sends: the
    // timer may fire on the main thread while the transport goes elsewhere.
    auto ping = [weakClient, json, timeoutSeconds, maxTicks, ticks](platform::RunLoopTimer &timer) {
        if (const std::shared_ptr<platform::RKClient> client = weakClient.lock()) {
            DDLogVerbose(QStringLiteral("Pinging server to keep connection alive"));
            std::shared_ptr<RKRequest> request = client->requestWithResourcePath(QStringLiteral("/getdata.php"));
            request->setMethod(platform::RKRequestMethod::POST);
            request->setTimeoutInterval(timeoutSeconds);
            request->setMaxResponseBytes(kMaxReplyBytes);
            request->setParams(platform::RKRequestSerialization(json, QString::fromLatin1(platform::RKMIMETypeJSON)));
            request->setOnDidLoadResponse([](const RKResponse &) { DDLogVerbose(QStringLiteral("Ping response!")); });
            request->setOnDidFailLoadWithError([](const PlatformError &error) {
                DDLogVerbose(QStringLiteral("Ping failed: %1").arg(error.localizedDescription()));
            });
            request->send();
        }
        if (ticks->fetch_add(1) + 1 >= maxTicks)
            timer.invalidate();
    };
    installTimer(&HMQuillnestSync::m_repeatingTimer,
                 platform::RunLoopTimer::scheduled(m_timing.keepAliveIntervalSeconds,
                                                   platform::RunLoopTimer::Repeats::Yes, std::move(ping)));
}

void HMQuillnestSync::stopRepeatingTimer()
{
    installTimer(&HMQuillnestSync::m_repeatingTimer, nullptr);
}

// Puts the timer (or none) in the slot and invalidates the one it replaces; once the transport is
// going, the new timer is invalidated at once instead.
void HMQuillnestSync::installTimer(std::shared_ptr<platform::RunLoopTimer> HMQuillnestSync::*slot,
                                   std::shared_ptr<platform::RunLoopTimer> timer)
{
    std::shared_ptr<platform::RunLoopTimer> previous;
    {
        const std::lock_guard lock(m_mutex);
        previous = m_isShuttingDown && timer ? std::move(timer) : std::exchange(this->*slot, std::move(timer));
    }
    if (previous)
        previous->invalidate();
}

bool HMQuillnestSync::isKeepAliveRunning() const
{
    const std::lock_guard lock(m_mutex);
    return m_repeatingTimer && m_repeatingTimer->isValid();
}
