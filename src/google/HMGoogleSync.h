#pragma once

#include "google/HMGoogleSyncDelegate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class HMData;
class HMGoogleSyncDriver;
class HMGoogleCalendarExceptions;
class HMProfile;
class HMProfileManager;
namespace platform {
class DispatchQueue;
class DispatchTimer;
class RKClient;
} // namespace platform

// One sync of a Google-direct profile between Outlook and one Google account, run as a chain of named
// stages: "start", "retrieveTokens", "purge", "readGoogleContacts", "readGoogleContactPhotos",
// "readOutlookContacts", "readGoogleCalendar", "readOutlookCalendar", "readGoogleTasks",
// "readOutlookTasks", "endSync"; a failed run ends in "Error". The network work of each stage is the
// driver's; the records it reads come back through HMGoogleSyncDelegate and are applied to Outlook
// through the data sources.
//
// Threads: every stage, every reply handed on by the driver and every Outlook call runs on the run's
// own serial queue, never on the HTTP client's thread or the main thread; the two 1.0 s steps at the
// end are timers of that queue (dispatch timers, so tests move them with the virtual clock). The
// account operations of the sign-in sheet (hasTokens to getCalendarList) are synchronous and run on
// the caller's worker thread. Owned through std::shared_ptr; GlobalVariables keeps the last run.
class HMGoogleSync final : public HMGoogleSyncDelegate, public std::enable_shared_from_this<HMGoogleSync>
{
public:
    // Makes the Outlook data source of a conduit (1 contacts, 2 calendar, 3 tasks) on first use.
    using DataSourceFactory = std::function<std::shared_ptr<HMData>(int conduit)>;
    // Shows an error to the user with the application's standard alert (any thread).
    using ErrorPresenter = std::function<void(const QString &description)>;
    // Told each stage as the run enters it (for logs and tests).
    using StageObserver = std::function<void(const QString &stage)>;

    static std::shared_ptr<HMGoogleSync> create();
    ~HMGoogleSync() override;
    HMGoogleSync(const HMGoogleSync &) = delete;
    HMGoogleSync &operator=(const HMGoogleSync &) = delete;

    // The run: starts on the run's queue and returns at once.
    void synchronize();
    // Logs "Cancel!!!" and sets the flag; the next stage change ends the run.
    void cancelSynchronization();

    // Without a profile, the selected profile of the current profile controller is taken.
    void setProfile(std::shared_ptr<HMProfile> profile);
    std::shared_ptr<HMProfile> profile();
    // Where the profile is saved at the end of a run; without one the profile is not written.
    void setProfileManager(std::shared_ptr<HMProfileManager> manager) { m_profileManager = std::move(manager); }
    void setDataSourceFactory(DataSourceFactory factory) { m_dataSourceFactory = std::move(factory); }
    void setErrorPresenter(ErrorPresenter presenter) { m_errorPresenter = std::move(presenter); }
    void setStageObserver(StageObserver observer) { m_stageObserver = std::move(observer); }
    // Told (on the run's queue) when the run has ended, either way: the main window's date label.
    void setFinishObserver(std::function<void()> observer) { m_finishObserver = std::move(observer); }
    // Told (on the run's queue) once isFinished() holds, so that a caller waiting for it can sleep
    // until then instead of looking again and again.
    void setEndObserver(std::function<void()> observer) { m_endObserver = std::move(observer); }
    void setGoogleSyncControllerDelegate(GoogleSyncControllerDelegate *delegate) { m_controllerDelegate = delegate; }

    QString syncStage() const;
    QString lastErrorMessageString() const;
    bool isFinished() const { return m_isFinished.load(); }
    std::shared_ptr<HMGoogleSyncDriver> syncDriver() const { return m_syncDriver; }
    const std::shared_ptr<platform::DispatchQueue> &queue() const { return m_queue; }
    bool allowDeletesFromGoogle() const { return m_allowDeletesFromGoogle; }
    bool allowDeletesFromOutlook() const { return m_allowDeletesFromOutlook; }
    QStringList calendarIdsToRead() const { return m_calendarIdsToRead; }
    QString accessToken() const;
    void setAccessToken(const QString &token);
    QString refreshToken() const { return m_refreshToken; }
    void setRefreshToken(const QString &token) { m_refreshToken = token; }

    // The stage machine (the run's queue).
    void initialize();
    void setNextStage();
    void skipThisStage();
    void process();

    // Account services.
    bool hasTokens();
    void setTokens();
    void doStuff();
    void getNewOauthToken();
    void getUserInfo();
    void getUserImage(const QString &address);
    void getCalendarList();
    void parseDictionaryForGoogleCalendars(const QVariantMap &reply);
    // The calendar entries offered to the sign-in sheet, without Google's weather and birthdays ones.
    static QVariantList calendarEntriesOfReply(const QVariantMap &reply);
    static std::optional<QVariant> dictionaryForJsonString(const QByteArray &text);
    static QString jsonStringFromDictionary(const QVariantMap &dictionary);
    // The access token in a token reply: the text after the first `access_token": "` up to the next
    // double quote (or the end); nothing when the key is not there in that form.
    static std::optional<QString> accessTokenOfReply(const QByteArray &body);
    // The refresh form, in its order.
    static QByteArray refreshBody(const QString &refreshToken);

    // HMGoogleSyncDelegate (the run's queue).
    void syncDriverContactListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                              const QStringList &deletions, bool remainOnConduit,
                                                              const QDateTime &listDate) override;
    void syncDriverContactPhotosCommandReturned() override;
    void syncDriverEventListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                            const QDateTime &listDate) override;
    void syncDriverTaskListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                           const QStringList &deletions,
                                                           const QDateTime &listDate) override;
    void endSync() override;
    void endConduit() override;
    void endSyncWithError(const QString &message) override;
    void syncDriverUpdateCommandReturnedSuccessful(bool successful) override;
    void syncDriverWriteRemainOnCurrentConduit(bool remain) override;


private:
    struct PrivateTag
    {
    };

public:
    explicit HMGoogleSync(PrivateTag);

private:
    void startRun();
    void copyProfileSettings(HMProfile &profile);
    bool stageRuns(const QString &stage) const;
    void runStage(const QString &stage);
    void handleTokenReply(int status, const QByteArray &body);
    struct EventSort;
    EventSort sortEventRecords(const QList<QVariantMap> &records, HMGoogleCalendarExceptions *exceptions);
    void cancelAllRequests();
    void afterOnQueue(double seconds, std::function<void()> step);
    void finishProfile(HMProfile &profile);
    bool afterApplies(HMData &data, const QDateTime &listDate, int conduit, bool allApplied);
    void keepListDate(const QDateTime &listDate, int conduit);
    bool applyListedPage(int conduit, const QString &unreachable, const QList<QVariantMap> &records,
                         const QStringList &deletions, const QDateTime &listDate);
    std::shared_ptr<HMData> dataSource(int conduit);
    bool applyRecords(HMData &data, const QList<QVariantMap> &records);
    static bool keepAppliedPairs(HMData &data);
    void presentUnwritableAlertIfNeeded();
    void storeIdMapCounts(HMProfile &profile);
    void saveProfile();
    void notifyFinished();
    void markFinished();
    std::optional<QByteArray> synchronousGet(const QString &address, bool withToken, qint64 maxBytes);

    const std::shared_ptr<platform::DispatchQueue> m_queue;
    std::shared_ptr<HMGoogleSyncDriver> m_syncDriver;
    std::shared_ptr<platform::RKClient> m_wifiSyncClient;
    std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<HMProfileManager> m_profileManager;
    DataSourceFactory m_dataSourceFactory;
    ErrorPresenter m_errorPresenter;
    StageObserver m_stageObserver;
    std::function<void()> m_finishObserver;
    std::function<void()> m_endObserver;
    GoogleSyncControllerDelegate *m_controllerDelegate = nullptr;
    std::shared_ptr<HMData> m_contactData;
    std::shared_ptr<HMData> m_calendarData;
    std::shared_ptr<HMData> m_taskData;
    // The one-shot timers of the end (the run's queue only).
    std::vector<std::shared_ptr<platform::DispatchTimer>> m_endTimers;

    mutable std::mutex m_mutex;
    QString m_syncStage = QStringLiteral("start");
    QString m_lastErrorMessageString;
    QString m_accessToken;
    QString m_refreshToken;
    QString m_serverUrl;
    QStringList m_calendarIdsToRead;
    std::atomic<bool> m_shouldCancel = false;
    std::atomic<bool> m_isFinished = false;
    bool m_remainOnCurrentConduit = false;
    bool m_contactSyncEnabled = false;
    bool m_calendarSyncEnabled = false;
    bool m_tasksSyncEnabled = false;
    bool m_isContactsPurge = false;
    bool m_isCalendarPurge = false;
    bool m_isTasksPurge = false;
    bool m_allowDeletesFromGoogle = true;
    bool m_allowDeletesFromOutlook = true;
    int m_contactsSyncDirection = 0;
    int m_calendarSyncDirection = 0;
    int m_tasksSyncDirection = 0;
};

// The Outlook calendar's handling of Google's recurring-event exceptions, offered by the calendar data
// source of a Google run.
class HMGoogleCalendarExceptions
{
public:
    virtual ~HMGoogleCalendarExceptions() = default;
    // Applies deleted occurrences; false when one could not be applied.
    virtual bool handleGoogleDeletedExceptionRecords(const QList<QVariantMap> &records) = 0;
    // Applies a changed occurrence; the Outlook event id it wrote, empty when it wrote none.
    virtual QString handleGoogleUpdateException(const QVariantMap &record) = 0;
    // The Outlook event paired with a record's "UID", and the key ("<id>@<calendar>") of a Google
    // event in the calendar map; empty when unpaired. Both count the pairs a killed run kept aside.
    // By default read from the map file.
    virtual QString outlookIdForUid(const QString &uid);
    virtual QString keyOfGoogleEvent(const QString &googleEventId);
    // Pairs the Outlook event written for an occurrence with its record's "UID"; false when the pair
    // could not be kept. By default written to the calendar map at once.
    virtual bool keepOccurrencePair(const QString &outlookId, const QString &uid);
};
