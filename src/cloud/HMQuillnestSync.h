#pragma once

#include "platform/foundation/CallbackGuard.h"
#include "platform/restkit/RKRequest.h"
#include "platform/restkit/RKResponse.h"
#include "sync/HMLiveRequests.h"
#include "sync/HMRestSyncClient.h"

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
class HMQuillnestSync : public HMRestSyncClient
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
    // Reads the picture of an Outlook contact for the upload; empty when there is none.
    using PhotoReader = std::function<QByteArray(const QString &outlookContactId)>;
    // Makes the sync controller build this transport for cloud profiles (sync method 4); each
    // transport reads the photos it uploads with the reader given.
    static void registerTransport(Timing timing = {}, PhotoReader photoReader = {});

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
    // The record listing (one page a call) and the updates (one batch of five a call): each call
    // returns once its reply is handled (HMQuillnestSync+Records.cpp).
    bool listRecordsForConduit(quint64 conduit, const QDateTime &modifiedSince) override;
    bool updateConduit(quint64 conduit, QList<HMSyncRecord> &records) override;
    // Contact photos (HMQuillnestSync+Photos.cpp): record id to the JPEG file fetched in this run.
    QVariantMap getContactPhotos() override;
    void clearContactPhotos() override;
    // The phone's form of a photo upload; the cloud takes photos by contact (sendPhotoForContactId).
    bool sendPhoto(const QByteArray &photo) override;
    void sendContactPhotos() override;
    void resetSyncRecordListPartialCount() override;
    void forceCancel() override;

    // Polls the account's change dates outside a sync: posts "kHMQuillnestLastModified" with them
    // (the notification's object points at the dates), then logs off. A failure posts nothing.
    bool autosyncCheckForChanges();
    void startFireDateTimer();
    void stopRepeatingTimer();
    bool isKeepAliveRunning() const;

    // Photos: fetches the pictures of the ids the last listed contacts page noted, one after the
    // other, and tells picturesDictionaryUpdated when done; the page's pictures replace the last
    // page's. With withUnset (a run's first contacts page of an Outlook profile), also those whose
    // files are still in the photo folder: pictures Outlook did not take, asked for again. Nothing
    // when the run was cancelled meanwhile; otherwise the number of the page's pictures the cloud did
    // not hand over (no answer, or an answer in error).
    std::optional<qsizetype> getContactPhotosForUniqueIds(bool withUnset = false);
    // One upload pass of at most five contacts; and the upload of one photo (JPEG bytes) for the
    // device contact id, answered on the framework's thread.
    void sendMoreContactPhotos();
    bool sendPhotoForContactId(const QByteArray &photo, const QString &contactId, const QString &outlookId = {});
    // The photo timer's action: the next pass once the last pass is answered, or the stage's end.
    void isSendingPhotos();
    void startPhotoSyncTimer();
    void stopRPhotoSyncTimer();
    void setPhotoReader(PhotoReader reader);
    // Whether the cloud took an uploaded photo: HTTP 2xx, and no "Result" other than 0.
    static bool photoUploadWasTaken(const platform::RKResponse &response);
    // The ids noted for download by the last contacts page (tests).
    QStringList contactsWithUpdatedPhotosInQuillnest() const;
    void setContactsWithUpdatedPhotosInQuillnest(const QStringList &ids);

    // Does nothing; the main window sends it to a fresh transport.
    void doNothing() {}

    // Account operations (HMQuillnestSync+Accounts.cpp), for the windows, on a transport made with
    // initWithConfiguration and no delegate. Each posts its answer on the default centre from the REST
    // framework's thread; a failed request posts nothing. The object of each notification points at
    // its value (a QVariantMap, a QString, or nothing for nil) while the post delivers it, and the
    // user info holds a copy under "object" for observers that hand it to another thread.
    static constexpr char kCreateQuillnestUser[] = "kCreateQuillnestUser";
    static constexpr char kValidateQuillnestCredentials[] = "kValidateQuillnestCredentials";
    static constexpr char kValidateQuillnestCredentialsSilent[] = "kValidateQuillnestCredentialsSilent";
    static constexpr char kValidateQuillnestConnectorStatus[] = "kValidateQuillnestConnectorStatus";
    static constexpr char kCreateConnectorResponseRecieved[] = "kCreateConnectorResponseRecieved";
    static constexpr double kAccountTimeoutSeconds = 30.0;
    static constexpr double kConnectorTimeoutSeconds = 15.0;
    // The credential operations check the credentials first and return the error text without sending
    // anything; otherwise they send and return "OK\nUsername:<name>\nmd5Password:<digest>".
    QString createNewUser();
    QString validateConfiguration();
    QString validateConfigurationWithSilentNotification();
    // Asks for the account's connectors; the reply's text is posted as it came.
    void checkConnectorStatus();
    // Creates or updates the account's Google connector with the refresh token and the e-mail address,
    // for the conduits GlobalVariables holds; the reply's text is posted as it came.
    void makeNewQuillnestConnector(const QString &token, const QString &email);
    // The body of an account request: "Username", "Password" (the lower-case digest), "Action".
    QVariantMap accountBody(const QString &action) const;
    // "HMM <short version>.<build>".
    static QString connectorSourceString();
    // At least one character before the first "@" and after it.
    static bool isUsernameFormatValid(const QString &username);
    // The password's MD5 digest in lower-case hexadecimal; the empty text for no password.
    static QString accountPasswordDigest(const QString &password);
    // The user name and password digest of a credential check's "OK" answer; a marker the answer lacks
    // leaves its field unset.
    struct CheckedCredentials
    {
        std::optional<QString> username;
        std::optional<QString> passwordDigest;
    };
    static CheckedCredentials credentialsOfAnswer(const QString &answer);
    // What a window says to each refusal of the credential check (validateConfiguration's texts other
    // than "OK…"); `other` answers any text that is no known refusal.
    struct CredentialRefusalTexts
    {
        QString noPassword;
        QString noUsername;
        QString invalidUsernameFormat;
        QString other;
    };
    static QString refusalText(const QString &answer, const CredentialRefusalTexts &texts);

    // "Username" and "Password" (the password's MD5 digest in upper-case hexadecimal), each the empty
    // text when unset.
    QVariantMap postParameterDictionary() const;
    // The request bodies.
    QVariantMap logonBody() const;
    QVariantMap logoffBody() const;
    QVariantMap purgeBody(quint64 conduit) const;
    QVariantMap keepAliveBody() const;
    // Listing and update bodies and replies.
    static constexpr qint32 kListLimit = 512;
    static constexpr qsizetype kUpdateBatchSize = 5;
    // The largest photo taken from the cloud, and the largest picture decoded (in pixels).
    static constexpr qint64 kMaxPhotoBytes = 16 * 1024 * 1024;
    static constexpr qint64 kMaxPhotoPixels = 40'000'000;
    static constexpr char kPhotoBoundary[] = "---------------------------7d81b516112482";
    // "Contacts", "Calendar", "Tasks" or "Notes" for conduits 1 to 4; empty otherwise.
    static QString tableForConduit(quint64 conduit);
    QVariantMap listBody(quint64 conduit, const QDateTime &modifiedSince, qint32 limit, qint64 offset) const;
    // The body of the records from first up to last; new records get their temporary ids noted.
    QVariantMap updateBody(quint64 conduit, QList<HMSyncRecord> &records, qsizetype first, qsizetype last);
    // The detailed results of an update reply: inserts, then updates, then deletes.
    static QList<QVariantMap> detailedResultsForReply(const QVariantMap &reply);
    static QByteArray photoUploadBody(const QString &session, const QString &contactId, const QByteArray &photo);
    // Whether a cloud id may name a file: not empty, no "/", no NUL, not "." or "..", at most 200
    // characters.
    static bool isSafeFileId(const QString &id);
    // "temp" in the data folder, where fetched photos are written.
    static QString photoFolderPath();
    // The ids of the pictures whose files are still in the photo folder (a picture is removed once
    // Outlook took it), at most a thousand, skipping those in the given list.
    static QStringList unsetPhotoIds(const QString &folder, const QStringList &listed);
    // The photos the cloud did not take, kept for the next sync of the same account.
    static QString failedPhotoUploadsPath();
    QVariantMap loadFailedPhotoUploads() const;
    void saveFailedPhotoUploads();
    // Decodes the picture (bounded) and writes it as JPEG at full quality; false when it is no
    // picture or cannot be written.
    static bool writePhotoAsJpeg(const QByteArray &bytes, const QString &path, QString &problem);

    // The parsed JSON object of the text, or nothing when it is no JSON object.
    static std::optional<QVariantMap> dictionaryForJsonString(const QString &text);
    // The JSON text as a log line may show it: "Password" (its digest is the password to the service)
    // and "Token" (a Google refresh token) read "<hidden>".
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

    // The request delegate: the cancel report (the progress reports are the base's).
    void requestDidCancelLoad(platform::RKRequest &request) override;

private:
    using ReplyHandler = std::function<void(const QString &body)>;
    using FailureHandler = std::function<void(const platform::PlatformError &error)>;

    // The error domain of requests that got no usable answer from the service: a reply whose HTTP
    // status is not 2xx (code the status, text "HTTP <status>"), or no client to send with (code 0).
    inline static const QString kHttpStatusErrorDomain = QStringLiteral("HMQuillnestHTTPStatus");
    static platform::PlatformError httpStatusError(int status);

    // The request frame: a POST of the JSON body to the path, the reply text or the failure (a reply
    // whose status is not 2xx is a failure) to the handlers, on the framework's thread.
    bool sendRequest(const QString &path, double timeoutSeconds, const QVariantMap &body, ReplyHandler onReply,
                     FailureHandler onFailure);
    void noteFailure(const QString &path, const platform::PlatformError &error);
    void handleRKError(const platform::PlatformError &error);
    HMSyncClientDelegate *reportTo() const override;
    // The logon request, for the session's start or the change poll, with its handlers: the listing
    // starts again from its first page.
    bool sendLogon(ReplyHandler onReply, FailureHandler onFailure);

    // The client to send with: none before the set-up, or once the transport is going (then isGoing).
    std::shared_ptr<platform::RKClient> clientUnlessGoing(bool *isGoing = nullptr) const;
    // A POST to the path on the client, with its time limit and the longest reply it reads.
    static std::shared_ptr<platform::RKRequest> newPost(platform::RKClient &client, const QString &path,
                                                        double timeoutSeconds, qint64 maxReplyBytes);
    // Keeps the request among the live ones, which the destructor cancels, unless the transport began
    // to go since its client was taken (another thread may destroy it meanwhile): the going flag is
    // read again under the same lock that keeps the request, so no request the destructor did not see
    // is sent. A request not kept has its callbacks cleared and must not be sent. A command request
    // also becomes the one forceCancel cancels.
    bool keepUnlessGoing(const std::shared_ptr<platform::RKRequest> &request, bool isCommand);

    // A request sent and waited for on the calling thread (never the framework's): the reply of a
    // 2xx status, or the failure (a status outside 2xx is one), or a cancel.
    platform::RKRequestOutcome sendAndWait(const QString &path, double timeoutSeconds, const QByteArray &body,
                                           const QString &contentType, qint64 maxReplyBytes);
    struct ListedPage;
    std::optional<QVariantMap> fetchListPage(quint64 conduit, const QDateTime &since, qint64 offset, qint32 &limit);
    ListedPage readListedPage(quint64 conduit, const QVariantMap &reply, qint32 limit, const QStringList *recoveryIds);
    void answerListedPage(HMSyncClientDelegate &target, quint64 conduit, qsizetype batchSize, qint32 limit,
                          bool inRecovery);
    struct BatchAnswers;
    BatchAnswers readUpdateReply(const QVariantMap &reply, const QStringList &insertIds, const QStringList &sentIds);
    void handleUpdateOutcome(HMSyncClientDelegate &target, quint64 conduit, const QVariantMap &body,
                             const platform::RKRequestOutcome &outcome, bool isLastBatch);
    void answerUpdateStage(HMSyncClientDelegate &target, quint64 conduit, bool isLastBatch);
    enum class PhotoFetch { Stored, Skipped, NotHandedOver, Cancelled };
    PhotoFetch fetchOnePhoto(const QString &id, const QString &folder);
    // One download with the progress shown; nullopt when the run was cancelled.
    std::optional<PhotoFetch> fetchPhotoShowingProgress(HMSyncClientDelegate &target, const QString &id,
                                                        const QString &folder);
    void endListingForMissingPhotos(HMSyncClientDelegate &target, qsizetype missing);
    void endPhotoStage();
    void noteStatusSynchronizing();
    void installTimer(std::shared_ptr<platform::RunLoopTimer> HMQuillnestSync::*slot,
                      std::shared_ptr<platform::RunLoopTimer> timer);

    QString validateAndSend(const QString &notificationName);
    void sendAccountRequest(const QVariantMap &body, double timeoutSeconds, ReplyHandler onReply);

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
    HMLiveRequests m_liveRequests;
    std::shared_ptr<platform::RunLoopTimer> m_repeatingTimer;
    QString m_sessionIdentifier;
    qint64 m_commandTries = 0;
    qint64 m_connectionTries = 0;
    qint64 m_offset = 0;
    qint64 m_syncRecordListPartialCount = 0;
    quint64 m_lastConduitUsedInListMethod = 0;
    QStringList m_contactsWithUpdatedPhotos;
    QVariantMap m_contactPhotos;
    // Records of this conduit's update the cloud refused or never answered.
    qsizetype m_unsettledRecords = 0;
    // The photo upload.
    PhotoReader m_photoReader;
    QVariantMap m_contactIdsWithPhotos;
    std::shared_ptr<platform::RunLoopTimer> m_photoSyncTimer;
    bool m_sendContactPhotosCalled = false;
    qint64 m_numberOfPhotosSent = 0;
    qint64 m_numberOfPhotoResponsesReceived = 0;
    // Uploads of this stage the cloud refused or never answered (device id to Outlook id): each counts as
    // a refused contact, and is kept for the next sync.
    QVariantMap m_failedPhotoUploads;
    // The photos of this stage that an earlier run's cloud did not take.
    QVariantMap m_photosSentAgain;
    qint64 m_totalNumberOfPhotosToSend = 0;
    bool m_isShuttingDown = false;

    platform::CallbackGuard m_callbacks;
};
