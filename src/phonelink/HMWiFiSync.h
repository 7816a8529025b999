#pragma once

#include "sync/HMLiveRequests.h"
#include "sync/HMRestSyncClient.h"
#include "platform/restkit/RKRequest.h"
#include "platform/foundation/CallbackGuard.h"
#include "platform/foundation/Result.h"
#include "phonelink/PhoneListReply.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVarLengthArray>
#include <QVariantMap>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class HMDateUtilities;
class HMSyncControllerConfigurationProtocol;

namespace platform {
class RKClient;
class RunLoopTimer;
} // namespace platform

// How a failed request is retried: at once, after 0.2 s, or after 1 s.
enum class HMForceQuillpadMode : quint64 {
    BruteForce = 0,
    PassiveForce = 1,
    Wait = 2,
};

// The transport of Wi-Fi profiles: it speaks the phone app's sync protocol (HTTP POST with form or
// plain-text bodies, plain-text replies) to the phone's sync server on TCP port 8090. One object serves
// one sync run; the sync controller that owns it is its delegate.
//
// Threads: the controller calls it on the run's serial queue. logon, logoff, purge and the id list
// return at once and report later from other threads (the REST framework's thread or a worker of the
// global queue). listRecordsForConduit and updateConduit block the calling queue until their page or
// batch has been answered and report from the calling thread, before they return; their resends happen
// inside that wait, so every command ends with exactly one outcome reported to the delegate. The
// keep-alive ping runs on the main run loop. The destructor ends every request of the transport
// without further callbacks and waits for its workers, so it may run on any thread but the REST
// framework's.
class HMWiFiSync : public HMRestSyncClient
{
public:
    // The phone as the transport reaches it.
    struct ConnectionSettings
    {
        qint64 deviceType = 0; // 1 ios, 2 android; other types have no phone to reach
        QString ipAddress;
        QString deviceName;
        QString password;
    };

    // The protocol's intervals; tests shorten them.
    struct Timing
    {
        std::chrono::milliseconds logonPause{2000};           // after the cancel logoff that precedes a logon
        std::chrono::milliseconds connectionTryWindow{5000};  // connection failures are retried this long
        std::chrono::milliseconds passiveRetryDelay{200};     // HMForceQuillpadMode::PassiveForce
        std::chrono::milliseconds waitRetryDelay{1000};       // HMForceQuillpadMode::Wait
        std::chrono::milliseconds idListRetryPause{1000};     // before an id list is sent again
        double keepAliveIntervalSeconds = 15.0;
        double logonTimeoutSeconds = 10.0;
        double logoffTimeoutSeconds = 60.0;
        double cancelTimeoutSeconds = 30.0;
        double commandTimeoutSeconds = 60.0;
        double pingTimeoutSeconds = 15.0;
    };

    static constexpr qint64 kDefaultServerPort = 8090;
    static constexpr qint64 kListPageSize = 512;
    static constexpr qsizetype kUpdateBatchSize = 100;
    // Called on the transport's thread each time the phone's answer to an update batch is read,
    // before any of it is reported; the kill tests use it to end the process at that moment.
    static void setBatchAnsweredHook(std::function<void()> hook);
    // The most ids an id list may hold, and the most bytes any reply may have: a page of 512 records
    // with long notes stays well below it, an endless or hostile reply does not grow the process.
    static constexpr qsizetype kMaxIdListRows = 200000;
    static constexpr qint64 kMaxReplyBytes = 8 * 1024 * 1024;
    // How much of a reply a log line or error text quotes.
    static constexpr qsizetype kLoggedReplyChars = 200;

    // The transport for the configuration's profile: its device type and the settings 19 (device
    // name), 20 (password) and 21 (phone address).
    static std::unique_ptr<HMWiFiSync> initWithConfiguration(
        const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration);
    static std::unique_ptr<HMWiFiSync> initWithConfiguration(
        const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration, Timing timing);

    // Makes the sync controller build this transport for Wi-Fi profiles (sync method 1), on the
    // given port (8090 for a real phone) with the given intervals.
    static void registerTransport(qint64 serverPort, Timing timing);
    // The connection settings a profile's configuration names; none without a configuration.
    static std::optional<ConnectionSettings>
    settingsFromConfiguration(const HMSyncControllerConfigurationProtocol *configuration);

    explicit HMWiFiSync(ConnectionSettings settings);
    HMWiFiSync(ConnectionSettings settings, Timing timing);
    ~HMWiFiSync() override;
    HMWiFiSync(const HMWiFiSync &) = delete;
    HMWiFiSync &operator=(const HMWiFiSync &) = delete;

    // The transport protocol.
    bool verifyProfileIsValid(QString &message) override;
    std::optional<bool> setup(QString &error) override;
    bool logon() override;
    bool logoff() override;
    bool purge(quint64 conduit) override;
    std::optional<bool> idListForConduit(quint64 conduit) override;
    bool listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince) override;
    bool updateConduit(quint64 conduit, QList<HMSyncRecord> &records) override;
    bool sendPhoto(const QByteArray &photo) override;
    // The phone link fetches no contact pictures; these do nothing.
    QVariantMap getContactPhotos() override { return {}; }
    void clearContactPhotos() override {}
    void sendContactPhotos() override {}
    void resetSyncRecordListPartialCount() override {}
    void forceCancel() override;

    // Sends the cancel logoff ("canceled"=1); its reply is only logged.
    bool cancelSync();

    // The phone's address; the port is 8090 unless changed before setup().
    const QString &serverIp() const { return m_settings.ipAddress; }
    qint64 serverPort() const { return m_serverPort; }
    void setServerPort(qint64 port) { m_serverPort = port; }
    QString serverUrl() const;

    // The credential fields of the commands: "password" holds the device name and "Username" the
    // password, each the empty text when unset.
    QVariantMap postParameterDictionary() const;
    static QString stringForHMForceQuillpadMode(quint64 mode);
    // The record count of a list reply: its "add", "update" and "delete" rows, in any letter case.
    static qint64 countRecordsInList(const QString &list);
    // YES when the Outlook version in use begins with 14, 15 or 16.
    static bool isOutlookSync();

    // The key maps of conduits 0 to 4: record key to phone key, and phone key to record key.
    const QList<QVariantMap> &conduitHMSyncFieldToDeviceKeyMappingDictionaries() const { return m_toDeviceMaps; }
    const QList<QVariantMap> &conduitDeviceToHMSyncFieldKeyMappingDictionaries() const { return m_toEngineMaps; }
    // A re-keyed phone row's values into record values, and a record's values into the phone's texts,
    // in place. Both need setup() to have run; they use the calling queue's date formatters.
    void prepareForEngineDictionary(QVariantMap &record, quint64 conduit);
    void prepareForWiFiDeviceDictionary(QVariantMap &record, quint64 conduit);

    // The request delegate: the reply log and the cancel report (the progress reports are the base's).
    void requestDidLoadResponse(platform::RKRequest &request, const platform::RKResponse &response) override;
    void requestDidCancelLoad(platform::RKRequest &request) override;

protected:
    // The USB transport answers an empty logon reply as a phone that does not respond.
    virtual bool reportsEmptyLogonAsUnresponsiveDevice() const { return false; }
    const Timing &timing() const { return m_timing; }

private:
    enum class FailureAction { Retry, GiveUp };
    enum class RetryScope { AnyConnectionFailure, CannotConnectOnly };

    // Counts one worker at work inside the transport; the destructor waits until none is left.
    class WorkScope final
    {
    public:
        explicit WorkScope(HMWiFiSync &sync);
        ~WorkScope();
        WorkScope(const WorkScope &) = delete;
        WorkScope &operator=(const WorkScope &) = delete;

    private:
        HMWiFiSync &m_sync;
    };

    void prepareKeyMappingDictionaries();
    std::shared_ptr<platform::RKRequest> makeRequest(const QString &resourcePath, double timeoutSeconds);
    std::shared_ptr<platform::RKRequest> makeTextRequest(const QString &resourcePath, const QVariantMap &parameters);
    static void setTextBody(platform::RKRequest &request, const QString &body);
    // Sends the request and waits for its end; worker threads and the run queue only.
    platform::RKRequestOutcome sendAndWait(const std::shared_ptr<platform::RKRequest> &request);
    // A request's end with the delegate to report it to.
    struct ReportedOutcome
    {
        platform::RKRequestOutcome outcome;
        HMSyncClientDelegate *target;
    };
    // Sends the request and waits for its end, as sendAndWait; nothing when it was cancelled or nobody
    // is left to report to.
    std::optional<ReportedOutcome> sendForReport(const std::shared_ptr<platform::RKRequest> &request);
    void sendAsync(const std::shared_ptr<platform::RKRequest> &request, bool remember);
    void forgetRequest(const platform::RKRequest *request);

    FailureAction judgeRequestFailure(const platform::PlatformError &error, const QString &resourcePath,
                                      RetryScope scope);
    // An empty reply is resent while the connection window lasts; answers whether to resend.
    bool shouldResendAfterEmptyReply();
    void clearConnectionTries();
    // Waits the retry mode's delay plus the extra pause; false when the transport is going away or
    // the sync was force cancelled meanwhile (the cancel is then reported).
    bool pauseBeforeRetry(std::chrono::milliseconds extraPause = std::chrono::milliseconds(0));
    bool isShuttingDown() const;
    void handleRKError(const platform::PlatformError &error);
    QString failureReason(const QString &body) const;

    // Sends the command's reply to onResponse, and its failure (a short reply or one whose status is
    // not 2xx is one) to onFailure, unless the transport is going; the command's tries count from zero.
    void routeCommandOutcome(platform::RKRequest &request, void (HMWiFiSync::*onResponse)(const platform::RKResponse &),
                             void (HMWiFiSync::*onFailure)(const platform::PlatformError &));
    // Writes the reply or the failure of a request whose outcome changes nothing to the console.
    static void logOutcomeToConsole(platform::RKRequest &request);
    void handleLogonResponse(const platform::RKResponse &response);
    void handleLogonFailure(const platform::PlatformError &error);
    void reportLogonRefusal(HMSyncClientDelegate &target, const QString &body, const QString &status);
    void handleLogoffResponse(const platform::RKResponse &response);
    void handleLogoffFailure(const platform::PlatformError &error);

    void runPurge(quint64 conduit);
    void runIdList(quint64 conduit);
    // A failed id list, then an answered one: each answers whether the list is asked for again, and
    // reports the command's end when it is not.
    bool resendsIdListAfterFailure(const platform::PlatformError &error, const QString &path,
                                   HMSyncClientDelegate &target);
    bool resendsIdListAfterReply(const QString &body, quint64 conduit, HMSyncClientDelegate &target);
    bool reportIdList(HMSyncClientDelegate &target, const QString &body, quint64 conduit);
    phonelist::ReadRules listRules(quint64 conduit, bool isPage) const;
    // Reads the rows of a list page, re-keyed and decoded for the conduit; nothing when it has no list part.
    platform::Result<QList<QVariantMap>> pageRows(const QString &body, quint64 conduit);
    void finishListPage(quint64 conduit, bool wasSuccessful, const QList<QVariantMap> &rows);
    // The list command's fields for the next page of the conduit; moves the page offset on.
    QVariantMap listPageParameters(quint64 conduit, const QDateTime &modifiedSince);
    // A failed page, then an answered one: each answers whether the page is sent again, and ends the
    // page (or reports the cancel) when it is not.
    bool resendsListAfterFailure(const platform::PlatformError &error, const QString &path, quint64 conduit,
                                 HMSyncClientDelegate &target);
    bool resendsListAfterReply(const QString &body, quint64 conduit, HMSyncClientDelegate &target);
    // A lost connection is resent twice in a row at most.
    bool mayResendAfterLostConnection();

    QString updateLineForRecord(HMSyncRecord &record, quint64 conduit);
    // A hash of a record's content under the phone's keys: its non-empty fields but its id, action and
    // stamp, in key order, so what was sent and its listing unchanged hash alike.
    static QString phoneContentHash(const QVariantMap &phoneRecord);
    using PhoneField = std::pair<QString, QString>;
    using PhoneFields = QVarLengthArray<PhoneField, 48>;
    static QString listedContentHash(const QVariantMap &record, const QHash<QString, QString> &phoneNames);
    static QString contentHashOf(const PhoneFields &fields);
    // The phone's name of each transport key that has one (a text in the conduit's map).
    static QHash<QString, QString> phoneNamesOf(const QVariantMap &toPhoneKeys);
    // The batch's records by the ids they are sent under, with the hashes of what is sent.
    QMap<QString, QString> sentContents() const;
    static void reportBatchAnswered();
    // How sending one update batch ended: answered (with the reply), failed (reported), cancelled or
    // the transport going away.
    enum class BatchEnd { Answered, Failed, Cancelled, Gone };
    BatchEnd sendUpdateBatch(const QString &body, QString &reply);
    // The body of the batch of records first to last: the credential header, then a line a record.
    QString updateBatchBody(HMSyncClientDelegate &target, quint64 conduit, QList<HMSyncRecord> &records,
                            qsizetype first, qsizetype last);
    // Reports the phone's answers to a batch and whether more batches follow; false when the
    // transport is going away.
    bool reportAnsweredBatch(quint64 conduit, qsizetype recordCount, const QVariantMap &batchIdentifiers);
    // "Command=login&", the credential fields and "Percent=100": the first line of updates and photos.
    QString credentialHeader() const;
    // Reads the temporary-to-permanent id lines of an update reply; answers whether it ended in "OK".
    bool parseUpdateReply(const QString &reply, QVariantMap &identifiers);
    static QVariantMap answersForNewRecords(const QList<HMSyncRecord> &records, qsizetype first, qsizetype last,
                                            const QVariantMap &reply);
    static void setWifiSyncInProgress(bool inProgress);
    void finishUpdateBatches(bool wasSuccessful);

    void startFireDateTimer();
    void stopRepeatingTimer();
    void postUserNotification(const QString &text) const;
    HMSyncClientDelegate *reportTo() const override;

    const ConnectionSettings m_settings;
    const Timing m_timing;
    qint64 m_serverPort = 0;
    std::shared_ptr<platform::RKClient> m_wifiSyncClient;
    std::unique_ptr<HMDateUtilities> m_dateUtilities; // used on the calling queue of each command
    QList<QVariantMap> m_toDeviceMaps;
    QList<QVariantMap> m_toEngineMaps;

    // Guards every field below, which the run queue, workers and the framework's thread share.
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_isShuttingDown = false;
    bool m_isForceCancelled = false;
    int m_activeWorkers = 0;
    std::shared_ptr<platform::RKRequest> m_request;
    HMLiveRequests m_liveRequests;
    std::shared_ptr<platform::RunLoopTimer> m_repeatingTimer;

    qint64 m_commandTries = 0;
    qint64 m_connectionTries = 0;
    QDateTime m_connectionTryTimeoutDate;
    bool m_forceQuillpad = true;
    quint64 m_forceQuillpadMode = quint64(HMForceQuillpadMode::PassiveForce);

    qint64 m_offset = 0;
    quint64 m_lastConduitUsedInListMethod = 0;
    qint64 m_totalRecordRead = 0;
    qint64 m_numberOfRecordsInList[5] = {0, 0, 0, 0, 0};
    int m_connectionWasLostRetryCounter = 0;

    qint64 m_syncRecordListPartialCount = 0;
    QVariantMap m_updateDictionary;
    // The current batch's records by the id they were sent under, with the hashes of their content.
    QMap<QString, QString> m_batchContents;
    QString m_lastConduitUsed;
    qint64 m_userMessageRecordCounter = 0;

    // The request blocks and the workers of purge and the id list run through this guard: the
    // destructor closes it, so none of them reaches the transport once it is going away.
    platform::CallbackGuard m_callbacks;
};
