#pragma once

#include "platform/foundation/CallbackGuard.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKRequestDelegate.h"
#include "sync/HMSyncClient.h"

#include <QDateTime>
#include <QTimeZone>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class HMDateUtilities;
class HMSyncControllerConfigurationProtocol;

namespace platform {
class RKClient;
class RunLoopTimer;
} // namespace platform

class HMQuillnestSync;

// The session's intervals; tests shorten them.
struct HMQuillnestTiming
{
    double keepAliveIntervalSeconds = 600.0;
    int keepAliveMaxTicks = 15;
    double logonTimeoutSeconds = 60.0; // the logon and the change poll
    double logoffTimeoutSeconds = 60.0;
    double purgeTimeoutSeconds = 60.0;
    double pingTimeoutSeconds = 15.0;
};

// An optional observer of a transport made with initWithDelegate.
class HMQuillnestSyncDelegate
{
public:
    virtual ~HMQuillnestSyncDelegate() = default;
    virtual void HMQuillnestSyncDidInit(HMQuillnestSync &sync) { Q_UNUSED(sync); }
};

// The transport of cloud profiles (sync method 4): JSON bodies posted over HTTPS to the cloud
// service's "/v1/" pages, JSON replies. One object serves one sync run (the sync controller owns it
// and is its delegate) or one account operation.
//
// Threads: the controller calls it on the run's serial queue; every request goes out at once and its
// reply, failure and progress arrive on the REST framework's thread, from where the transport calls
// the controller. The keep-alive timer runs on the main run loop and stops with the run: at a logoff,
// at any failure, at a force cancel and when the transport goes. The destructor ends every request
// without further callbacks, so it may run on any thread but the REST framework's.
class HMQuillnestSync : public HMSyncClient, public platform::RKRequestDelegate
{
public:
    using Timing = HMQuillnestTiming;

    // The service's host; the environment variable HM_QUILLNEST_HOST ("host:port") replaces it.
    static constexpr char kDefaultHost[] = "sync.quillnest.com";
    static QString serviceHost();
    // "https://<host>/v1", or "http://<host>/v1" when the user default "quillnestUseUnsecureHttp" is
    // set; each request appends its path ("/login.php").
    static QString baseURLString();
    // The largest reply taken: a page of 512 records with long notes stays well below it.
    static constexpr qint64 kMaxReplyBytes = 16 * 1024 * 1024;

    // No usable object comes from a bare construction.
    static std::unique_ptr<HMQuillnestSync> init() { return nullptr; }
    // A bare transport that reads no configuration; the observer is kept.
    static std::unique_ptr<HMQuillnestSync> initWithDelegate(HMQuillnestSyncDelegate *observer);
    // The transport every caller uses: credentials (settings 15, 16), the device id (17) and the
    // server (18) of device types 1, 2, 3 and 5.
    static std::unique_ptr<HMQuillnestSync> initWithConfiguration(
        const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration, Timing timing = {});
    // A transport that goes while its logout is on its way lets that logout finish; a program that ends
    // right after a run waits for them here (at most the time given). False when one is still out.
    static bool waitForLogoutsUnderWay(std::chrono::milliseconds timeout);
    // Makes the sync controller build this transport for cloud profiles (sync method 4).
    static void registerTransport(Timing timing = {});

    explicit HMQuillnestSync(Timing timing = {});
    ~HMQuillnestSync() override;
    HMQuillnestSync(const HMQuillnestSync &) = delete;
    HMQuillnestSync &operator=(const HMQuillnestSync &) = delete;

    // The transport protocol.
    bool verifyProfileIsValid(QString &message) override;
    std::optional<bool> setup(QString &error) override;
    bool logon() override;
    bool logoff() override;
    bool purge(quint64 conduit) override;
    // The record listing, updates and photos are not part of this transport yet: they fail the command
    // at once (code 6), so a run with a conduit on ends in error and changes nothing.
    bool listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince) override;
    bool updateConduit(quint64 conduit, QList<HMSyncRecord> &records) override;
    QVariantMap getContactPhotos() override { return {}; }
    void clearContactPhotos() override {}
    bool sendPhoto(const QByteArray &photo) override
    {
        Q_UNUSED(photo);
        return false;
    }
    void sendContactPhotos() override {}
    void resetSyncRecordListPartialCount() override;
    void forceCancel() override;
    qint64 secondsDifference() const override;
    void setSecondsDifference(qint64 seconds) override;

    // Polls the account's change dates outside a sync: posts "kHMQuillnestLastModified" with them
    // (the notification's object points at the dates), then logs off. A failure posts nothing.
    bool autosyncCheckForChanges();
    void startFireDateTimer();
    void stopRepeatingTimer();
    bool isKeepAliveRunning() const;

    // Does nothing; the main window sends it to a fresh transport.
    void doNothing() {}

    // "Username" and "Password" (the password's MD5 digest in upper-case hexadecimal), each the empty
    // text when unset.
    QVariantMap postParameterDictionary() const;
    // The request bodies.
    QVariantMap logonBody() const;
    QVariantMap logoffBody() const;
    QVariantMap purgeBody(quint64 conduit) const;
    QVariantMap keepAliveBody() const;
    static QString jsonStringFromDictionary(const QVariantMap &dictionary);
    // The parsed JSON object of the text, or nothing when it is no JSON object.
    static std::optional<QVariantMap> dictionaryForJsonString(const QString &text);
    // The JSON text as a log line may show it: the password's digest is the password to the service.
    static QString loggableJson(const QVariantMap &body);
    // The platform's version as "%d.%d.%d".
    static QString operatingSystemString();
    // The logon's result dictionary from a login reply (see logonCommandReturned).
    QVariantMap logonResultDictionary(const QVariantMap &reply);

    const QString &serverUrl() const { return m_serverUrl; }
    const QString &username() const { return m_username; }
    const QString &deviceId() const { return m_deviceId; }
    QString sessionIdentifier() const;

    // The record format.
    void prepareKeyMappingDictionaries();
    const QList<QVariantMap> &conduitHMSyncFieldToQuillnestKeyMappingDictionaries() const { return m_toCloudMaps; }
    const QList<QVariantMap> &conduitQuillnestToHMSyncFieldKeyMappingDictionaries() const { return m_toEngineMaps; }
    // Only the members the map names, renamed.
    static QVariantMap dictionaryWithKeysRenamed(const QVariantMap &record, const QVariantMap &map);
    // A record's values into the cloud's forms, before its keys are mapped; and a mapped cloud record's
    // values into the record's. Both need setup() to have run.
    void prepareForQuillnestDictionary(QVariantMap &record, quint64 conduit);
    void prepareForEngineDictionary(QVariantMap &record, quint64 conduit);

    // The request delegate: progress and cancel reports.
    void requestDidStartLoad(platform::RKRequest &request) override;
    void requestDidSendBodyData(platform::RKRequest &request, qint64 bytesWritten, qint64 totalBytesWritten,
                                qint64 totalBytesExpectedToWrite) override;
    void requestDidReceiveData(platform::RKRequest &request, qint64 bytesReceived, qint64 totalBytesReceived,
                               qint64 totalBytesExpectedToReceive) override;
    void requestDidCancelLoad(platform::RKRequest &request) override;

private:
    using ReplyHandler = std::function<void(const QString &body)>;
    using FailureHandler = std::function<void(const platform::PlatformError &error)>;

    // The request frame: a POST of the JSON body to the path, the reply text or the failure (a reply
    // whose status is not 2xx is a failure) to the handlers, on the framework's thread.
    bool sendRequest(const QString &path, double timeoutSeconds, const QVariantMap &body, ReplyHandler onReply,
                     FailureHandler onFailure);
    void noteFailure(const QString &path, const platform::PlatformError &error);
    void handleRKError(const platform::PlatformError &error);
    HMSyncClientDelegate *reportTo() const;
    void beginLogon();

    void handleLogonReply(const QString &body);
    void handleChangePollReply(const QString &body);
    void handleLogoffReply(const QString &body);
    void prepareDatesForQuillnest(QVariantMap &record, quint64 conduit);
    void prepareCalendarForQuillnest(QVariantMap &record);
    void prepareCalendarForEngine(QVariantMap &record);
    void prepareListsForEngine(QVariantMap &record);
    void prepareTaskForEngine(QVariantMap &record);
    void prepareContactForEngine(QVariantMap &record);
    QDateTime localDay(const QString &text);
    QString syncDateList(const QVariant &list, bool keepsTexts);

    const Timing m_timing;
    std::shared_ptr<HMSyncControllerConfigurationProtocol> m_configuration;
    HMQuillnestSyncDelegate *m_qnsDelegate = nullptr;
    QString m_serverUrl;
    QString m_username;
    QString m_password;
    QString m_deviceId;
    std::unique_ptr<HMDateUtilities> m_dateUtilities;
    QList<QVariantMap> m_toCloudMaps;
    QList<QVariantMap> m_toEngineMaps;

    // Guards the fields below, which the run queue, the framework's thread and the main run loop share.
    mutable std::mutex m_mutex;
    std::shared_ptr<platform::RKClient> m_client;
    std::shared_ptr<platform::RKRequest> m_request;
    QList<std::weak_ptr<platform::RKRequest>> m_liveRequests;
    std::shared_ptr<platform::RunLoopTimer> m_repeatingTimer;
    QString m_sessionIdentifier;
    qint64 m_commandTries = 0;
    qint64 m_connectionTries = 0;
    qint64 m_secondsDifference = 0;
    qint64 m_offset = 0;
    qint64 m_syncRecordListPartialCount = 0;
    bool m_sendingData = false;
    bool m_receivingData = false;
    bool m_isShuttingDown = false;

    platform::CallbackGuard m_callbacks;
};
