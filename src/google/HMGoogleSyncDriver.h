#pragma once

#include "google/GoogleContactFeed.h"
#include "google/GoogleEventList.h"
#include "google/GoogleTaskList.h"
#include "google/HMGoogleSyncDelegate.h"
#include "google/HMGoogleSyncPurgeDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/foundation/NotificationCenter.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class HMData;
class HMSyncRecord;
class HMProfile;
class GoogleWrittenEntries;
namespace platform {
class RKClient;
class RKRequest;
class DispatchQueue;
} // namespace platform

// The network side of one Google run: its tokens and deletion rule, the purge stage and the way every
// Google request is made. It reports to its delegate (the run) on the run's serial queue. The conduit
// readers and writers build on the request pattern here.
class HMGoogleSyncDriver final : public HMGoogleSyncPurgeDelegate,
                                 public std::enable_shared_from_this<HMGoogleSyncDriver>
{
public:
    // Observes "kHMGoogleDirectSyncCancelSync" (any sender) on the default centre.
    HMGoogleSyncDriver();
    ~HMGoogleSyncDriver() override;
    HMGoogleSyncDriver(const HMGoogleSyncDriver &) = delete;
    HMGoogleSyncDriver &operator=(const HMGoogleSyncDriver &) = delete;

    // The profile selected in the current profile controller, which a run without a profile takes.
    static std::shared_ptr<HMProfile> selectedProfile();

    // Not owned: the run owns the driver.
    void setGoogleSyncDelegate(HMGoogleSyncDelegate *delegate) { m_delegate = delegate; }
    // The queue on which replies are handed back (the run's).
    void setQueue(std::shared_ptr<platform::DispatchQueue> queue) { m_queue = std::move(queue); }

    QString accessToken() const;
    void setAccessToken(const QString &token);
    QString refreshToken() const { return m_refreshToken; }
    void setRefreshToken(const QString &token) { m_refreshToken = token; }
    QString serverUrl() const { return m_serverUrl; }
    void setServerUrl(const QString &url) { m_serverUrl = url; }
    QString userEmail() const { return m_userEmail; }
    void setUserEmail(const QString &email) { m_userEmail = email; }
    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }

    bool allowDeletesFromGoogle() const { return m_allowDeletesFromGoogle; }
    void setAllowDeletesFromGoogle(bool allow) { m_allowDeletesFromGoogle = allow; }
    bool allowDeletesFromOutlook() const { return m_allowDeletesFromOutlook; }
    void setAllowDeletesFromOutlook(bool allow) { m_allowDeletesFromOutlook = allow; }
    bool purgeContacts() const { return m_purgeContacts; }
    void setPurgeContacts(bool purge) { m_purgeContacts = purge; }
    bool purgeCalendar() const { return m_purgeCalendar; }
    void setPurgeCalendar(bool purge) { m_purgeCalendar = purge; }
    bool purgeTasks() const { return m_purgeTasks; }
    void setPurgeTasks(bool purge) { m_purgeTasks = purge; }
    QMap<QString, QString> calendarNamesAndIds() const { return m_calendarNamesAndIds; }
    void setCalendarNamesAndIds(const QMap<QString, QString> &names) { m_calendarNamesAndIds = names; }
    QSet<QString> idsToExclude() const;
    void addIdToExclude(const QString &googleId);

    bool shouldCancel() const { return m_shouldCancel->load(); }
    void setCancel();
    // Cancels the requests of the current client, then tells the delegate "Synchronization Canceled".
    void cancelSync();
    // True (and the sync cancelled) when the user asked to stop: the check every step makes first.
    bool stopsForCancel();
    // Cancels every request of the current client; nothing is reported.
    void cancelRequests();
    // The common exit of a failed Google request: cancels the client's requests, logs, and ends the
    // run with the message.
    void cancelSyncWithError(const QString &message);

    // The stage "purge": conduits flagged for a purge are emptied on Google one after the other, then
    // doneWithPurge. A purge that does not finish ends the run with an error before any Outlook
    // record is sent; the profile keeps the purge flags of the conduits not emptied.
    bool purge();
    // HMGoogleSyncPurgeDelegate.
    void purgeDidFinishForConduit(const QString &conduitName) override;
    void purgeDidCancel() override;
    void purgeDidFailWithError(const QString &message) override;
    std::shared_ptr<HMGoogleSyncPurgeDriver> purgeDriver() const { return m_purgeDriver; }
    // Clears the profile's purge-on-next-sync flags and tells the delegate endConduit.
    void doneWithPurge();

    // The stage "readGoogleContacts": logs "begin" and lists the contact groups, then the contacts.
    void begin();
    // Lists the account's contact groups from the Contacts host into groupNamesAndIds, then the contacts.
    void listContactGroups();
    // Every entry of the feed with a title and an id: its title under its id.
    void parseGroupsResponseDictionary(const QVariantMap &feed);
    // Group id (the entry's id text) to group title.
    QMap<QString, QString> groupNamesAndIds() const;
    // One page of contacts; a run that emptied Google's contacts gets an empty last page at once.
    void listGoogleContacts();
    // Reports one page's records and deletions to the delegate.
    void parseContactsResponseDictionary(const googlecontactfeed::Page &page);
    // The text between the first "<name>" and the first "</name>" after it; empty when there is none.
    static QString getSubstringFromXML(const QString &xml, const QString &fieldName);
    // The Outlook contacts data source of the run (conduit 1).
    void setContactData(std::shared_ptr<HMData> data) { m_contactData = std::move(data); }
    void setBatchSize(qint64 size) { m_batchSize = size; }

    // The stage "readGoogleContactPhotos": the photos of the changed Google contacts, one at a time,
    // handed to Outlook at once.
    void readGoogleContactPhotos();
    QStringList googleContactsWithPhotos() const { return m_googleContactsWithPhotos; }

    // The stage "readOutlookContacts": Outlook's changed contacts to Google, then their photos. A run
    // that did not read Google's contacts first (send-only) lists the contact groups first, and pairs
    // the inserts of an earlier run whose answers never came with the copies Google holds.
    void listOutlookContacts();
    // False when the sync was cancelled.
    bool updateGoogleContactsWithSyncRecordList(const QList<HMSyncRecord> &records);
    void sendContactPhotos();

    // The stage "readGoogleCalendar": every page of every chosen calendar, one request at a time, then
    // the records handed to the run at once.
    void listEventsForCalendars(const QStringList &calendarIds);
    // One page; an empty id is "primary", an empty token the first page.
    void listEventsForCalendarId(const QString &calendarId, const QString &pageToken);
    // Turns one page into records, then asks for the next page or calendar, or hands the listing on.
    void parseEventListResponse(const QVariantMap &response, const QJsonArray &items);
    // The Outlook calendar data source of the run (conduit 2).
    void setCalendarData(std::shared_ptr<HMData> data) { m_calendarData = std::move(data); }

    // The stage "readOutlookCalendar": Outlook's changed events to Google.
    void listOutlookEvents();
    // False when the sync was cancelled. The conduit name is not read: events are written.
    bool updateConduit(const QString &conduit, const QList<HMSyncRecord> &records);
    // Polls every 1.0 s until every event write is answered, then commits and ends the conduit.
    void checkForEndConduit();
    // The JSON body of an event ("Calendar") or task ("Tasks") for an "insert" or "update".
    static QVariantMap makeParameterDictionary(const QVariantMap &record, const QString &updateType,
                                               const QString &conduit);
    // "TZ_DATA" (standard minutes, tab, daylight minutes) as seconds east of UTC, and as "+HH:MM".
    static qint64 offsetSecondsFromTzData(const QString &tzData);
    static QString timeZoneOffsetStringFromTzData(const QString &tzData);

    // The stages "readGoogleTasks" (YES) and "readOutlookTasks" (NO): the account's task lists, once a
    // run; then the tasks of the lists changed since the last sync, or Outlook's changed tasks.
    void listGoogleTaskListsAndReadGoogleTasks(bool readGoogleTasks);
    // The lists Google changed since the last sync; none: two empty lists to the run at once.
    void evaluateModifiedDatesForTaskLists();
    // Every page of one list; the tasks go to the run after the last page of the last list.
    void listGoogleTasksForTaskListId(const QString &listId, const QString &pageToken = QString());
    // The Outlook tasks changed since the last sync, sent to Google.
    void listOutlookTasks();
    // False when the sync was cancelled. Inserts, then updates, then deletions, one request each.
    bool updateGoogleTasksWithSyncRecordList(const QList<HMSyncRecord> &records);
    // Polls every 1.0 s until every task write is answered, then commits and ends the conduit.
    void checkForEndTaskUpdates();
    // Logs only.
    void doneWithTasks();
    // The list of a task record by its categories (the last match), empty when none matches.
    QString getTaskListIdFromTaskDictionary(const QVariantMap &record) const;
    QString defaultTaskListId() const { return m_defaultTaskListId; }
    QList<googletasklist::TaskList> taskLists() const { return m_taskLists; }
    // The Outlook tasks data source of the run (conduit 3).
    void setTaskData(std::shared_ptr<HMData> data) { m_taskData = std::move(data); }

    // Helpers shared by the readers, the writers and the purge.
    // The progress sheet's user message and bar, when there is a sheet.
    static void showProgress(const QString &text, double progress);
    bool showsOutlookReading(bool reachable, const QString &what, double progress);
    // The records Outlook changed in a store since the last sync (all of them when the profile asks for
    // a reread), less those to exclude. Nothing, with the run ended, when the store cannot be read.
    std::optional<QList<HMSyncRecord>> outlookChangesToSend(HMData &data, const QString &storeName);
    // The progress sheet's user message alone.
    static void showText(const QString &text);
    // The failure text of a listing reply, empty for a status taken as a page (2xx, and 404: nothing
    // to list); 403 has a text of its own when names403.
    static QString listingStatusText(int status, bool names403);
    // Undoes iCalendar text escapes; the empty text for a value that is not text.
    static QString correctedString(const QVariant &value);
    // JSON text to its value (nothing when it is no JSON) and back (the empty text when it cannot be
    // written).
    static std::optional<QVariant> dictionaryForJsonString(const QString &text);
    static QString jsonStringFromDictionary(const QVariantMap &dictionary);
    // A fresh client on the Google API host.
    void initializeRKSyncClient();
    // Polls every 1.0 s until every contact write is answered, then uploads the photos.
    void checkForEndContactUpdates();
    qint64 responseCounter() const { return m_responseCounter; }
    // What this run's writes left undone, for the end of the run: empty when Google took every write
    // it was sent, else a sentence naming the changes of each conduit it did not take.
    QString writesNotTakenText() const;

    // The request pattern: a new client on the base address, no caching, one request at a time, UTF-8,
    // with the bearer header; it becomes the current client.
    std::shared_ptr<platform::RKClient> makeClient(const QString &baseUrl);
    // A request of the current client: method, 30 s, no caching. The reply and failure blocks run on
    // the run's queue while the driver lives.
    std::shared_ptr<platform::RKRequest> makeRequest(const QString &resourcePath, int method,
                                                     std::function<void(int status, const QByteArray &body)> onReply,
                                                     std::function<void(const QString &description)> onFailure);
    // A listing GET of the current client, its reply capped at maxBytes: the reply goes to the handler
    // while the driver lives; a failure (no reply) is logged under the tag and ends the run with its
    // description.
    void sendPageRequest(const QString &path, const QString &tag, qint64 maxBytes,
                         std::function<void(HMGoogleSyncDriver &, int status, const QByteArray &body)> onReply);

    // One pending write of the contacts conduit.
    struct ContactWrite
    {
        enum class Kind { Insert, Update, Delete } kind = Kind::Insert;
        QVariantMap record;
        QString outlookId;
        QString hmxUid;   // the record's id: temporary for an insert, Google's for the others
    };

private:
    // The writes of one conduit's batch Google did not take (refused, or never answered): how many,
    // the Outlook records to send again, and the device ids kept out of the commit (an insert's
    // temporary id, a deletion's id). See +UnansweredWrites.
    struct WritesNotTaken
    {
        qint64 count = 0;
        QSet<QString> outlookIds;
        QSet<QString> deviceIds;
        std::optional<QVariantMap> pairs; // the map as the first write without its Outlook id found it
    };
    using Conduit = HMOutlookDatFileHelper::Conduit;
    WritesNotTaken &writesNotTaken(Conduit conduit);
    bool batchTaken(Conduit conduit) const;
    bool startsBatch(Conduit conduit);
    bool finishEmptyBatch(HMData &data, Conduit conduit);
    void noteWriteNotTaken(Conduit conduit, const QString &outlookId, const QString &deviceId);
    void commitWrites(HMData &data, Conduit conduit);
    void noteGroupNotMade(const QString &name);

    std::shared_ptr<platform::RKClient> currentClient();
    void onQueue(std::function<void(HMGoogleSyncDriver &)> work);
    void after(double seconds, std::function<void(HMGoogleSyncDriver &)> work);
    void sendListRequest(const QString &path, const QString &tag,
                         void (HMGoogleSyncDriver::*handler)(int, const QByteArray &));
    void contactGroupsReturned(int status, const QByteArray &body);
    void contactsPageReturned(int status, const QByteArray &body);
    QString contactsPagePath(const QDateTime &lowerBound) const;
    static QDateTime storedContactListDate();
    // What every page of one contacts or tasks listing compares against: the map's list date and the
    // answers to our own writes. Read once when the listing starts (nothing changes them until it
    // ends), not per page: the date sits in the whole map, and a parse of it per page made the listing
    // grow with the square of the store.
    struct ListingBasis
    {
        QDateTime storedDate;
        QHash<QString, QString> ownWrites;
    };
    const ListingBasis &contactListing();
    std::shared_ptr<platform::RKClient> makeContactsClient();
    GoogleWrittenEntries &writtenEntries();
    // An update answered 404 or 410 names an entry Google no longer holds; see the definition.
    static bool forgetsPairGoneFromGoogle(HMData &data, const QString &deviceId, int status);
    // Photos.
    void getPhotoForNextGoogleContact();
    void parsePhotoResponse(const QByteArray &bytes, const QString &googleId);
    void handOverPhotos();
    void handleImageReponse(bool answered, const QString &outlookId);
    // Writes.
    void fileContactWrite(const HMSyncRecord &record);
    void createNewGroupsAsNeeded();
    void createNewGroup(const QString &name);
    void parseAddNewGroupResponse(const QVariantMap &reply);
    void continueAddingGroups();
    void sendContactUpdates();
    void writeSendContactUpdateStatusMessage();
    void sendContactWrite(const ContactWrite &write);
    void contactWriteReturned(const ContactWrite &write, int status, const QByteArray &body);
    void contactWriteFailed(const ContactWrite &write, const QString &description);
    // The answers to contact writes land here on the network thread; the run's queue takes them in the
    // step that sends the next write, or in a step of their own when none is due, so that a write and
    // its answer cost the run's queue one wake-up, not two.
    struct ContactWriteAnswer
    {
        ContactWrite write;
        int status = 0;
        QByteArray body;
        std::optional<QString> failure; // the description of a request that got no answer
    };
    void landContactWriteAnswer(ContactWriteAnswer answer);
    void takeContactWriteAnswers();
    // A request of the current client: method, 30 s, no caching; no callbacks yet.
    std::shared_ptr<platform::RKRequest> newRequest(const QString &resourcePath, int method);
    void finishContactConduit();
    void readOutlookContactsToSend();
    // Send-only runs: the inserts sent but never answered (see +UnansweredInserts).
    static bool keepInsertsAboutToBeSent(HMData &data, HMOutlookDatFileHelper::Conduit conduit,
                                         const QList<HMSyncRecord> &records);
    static bool forgetSentInserts(HMData &data, HMOutlookDatFileHelper::Conduit conduit);
    static bool forgetInsertsLeftBySendOnlyRun(HMData &data, HMOutlookDatFileHelper::Conduit conduit);
    static bool hasUnansweredInserts(HMData &data, HMOutlookDatFileHelper::Conduit conduit);
    bool readsGoogleContactsFirst() const;
    void pairSentContactInserts();
    void sentContactsPageReturned(int status, const QByteArray &body);
    void finishPairingSentContacts();
    bool isRepeatedContactPage(const googlecontactfeed::Page &page);
    // What a page of the contact listing is read against.
    googlecontactfeed::Context contactPageContext();

    // Calendar.
    void eventPageReturned(const QString &calendarId, int status, const QByteArray &body);
    void finishEventListing();
    void prepareEventPages(const QDateTime &stored);
    GoogleWrittenEntries &writtenEvents();
    struct EventWrite;
    EventWrite eventWriteOfRecord(const HMSyncRecord &record, int kind) const;
    QList<EventWrite> eventWritesOfRecords(const QList<HMSyncRecord> &records) const;
    static void attachOccurrencesToNewSeries(QList<EventWrite> &inserts, QList<EventWrite> &others);
    void sendEventWrite(const EventWrite &write);
    static bool marksWriteUnanswered(const EventWrite &write);
    void sendOccurrencesOfSeries(const EventWrite &series, bool seriesHeld);
    void eventWriteReturned(const EventWrite &write, int status, const QByteArray &body);
    bool keepEventWriteAnswer(const EventWrite &write, int status, const QByteArray &body);

    // Tasks. One write of a batch: an insert, an update or a deletion of one task in one list.
    struct TaskWrite
    {
        int kind = 0;   // 0 insert, 1 update, 2 deletion
        QVariantMap record;
        QString outlookId;
        QString hmxUid;   // temporary for an insert, Google's task id for the others
        QString listId;
        // Sent again to the list a look-up found the task in: a second 404 starts no second look.
        bool lookedUp = false;
    };
    void sendTaskListsRequest(const QString &pageToken, bool readGoogleTasks);
    std::optional<QVariantMap> acceptedTaskPage(const char *tag, int status, const QByteArray &body);
    // A page of Google's contact feed that answered 2xx and reads as a feed, read against the context;
    // otherwise the run ends with the listing's status text or `unreadable`, and there is none.
    std::optional<googlecontactfeed::Page> acceptedContactFeed(const char *tag, int status, const QByteArray &body,
                                                               const googlecontactfeed::Context &context,
                                                               const QString &unreadable);
    std::optional<QString> nextTaskPageToken(const QVariantMap &page);
    void taskListsReturned(bool readGoogleTasks, int status, const QByteArray &body);
    void taskPageReturned(const QString &listId, int status, const QByteArray &body);
    void readTaskPage(const QString &listId, const QVariantMap &page);
    void finishTaskReading();
    GoogleWrittenEntries &writtenTasks();
    const ListingBasis &taskListing();
    // Google task id to the id of the list it was last seen in, beside the task map.
    GoogleWrittenEntries taskListsOfTasks() const;
    QList<TaskWrite> taskWritesOfRecords(const QList<HMSyncRecord> &records) const;
    void sendTaskUpdates(const QList<TaskWrite> &writes);
    void sendTaskWrite(const TaskWrite &write);
    void taskWriteReturned(const TaskWrite &write, int status, const QByteArray &body);
    void parseTaskUpdateResponseDictionary(const TaskWrite &write, const QVariantMap &reply);
    // A task update or deletion answered 404 in the list it was sent to (+TaskLookup).
    void lookUpTaskElsewhere(const TaskWrite &write);
    void lookUpNextTask();
    void requestTaskInNextList();
    void taskLookupReturned(int status, const QByteArray &body);
    void taskFoundInList(const QString &listId, bool deleted);
    void taskNotFoundAnywhere();
    void finishTaskLookup(bool taken);
    void resendTaskWrites();
    void readOutlookTasksToSend();
    bool readsGoogleTasksFirst() const;
    void sendTaskPageRequest(const QString &path, const QString &tag,
                             std::function<void(HMGoogleSyncDriver &, int, const QByteArray &)> onReply);
    void pairSentTaskInserts();
    void requestSentTasksPage(const QString &pageToken);
    void sentTasksPageReturned(int status, const QByteArray &body);
    void finishPairingSentTasks();

    std::shared_ptr<HMData> m_taskData;
    std::shared_ptr<GoogleWrittenEntries> m_writtenTasks;
    bool m_taskListsRead = false;
    QList<googletasklist::TaskList> m_taskLists;
    QString m_defaultTaskListId;
    QStringList m_arrayOfModifiedTaskLists;
    googletasklist::Reading m_taskReading;
    std::optional<ListingBasis> m_taskListing;
    QSet<QString> m_taskPageTokensSeen;
    qint64 m_taskPagesRead = 0;
    qint64 m_taskResponseCounter = 0;
    // Writes answered 404 to be looked for in the other lists, the lists left for the first of them,
    // and the writes to send again to the lists their tasks were found in.
    QList<TaskWrite> m_taskWritesToLookUp;
    QStringList m_taskListsToLook;
    QList<TaskWrite> m_taskWritesToResend;
    // A send-only run's look for its unanswered inserts: the lists left and the lower bound.
    QStringList m_taskListsToPair;
    QDateTime m_sentTasksSince;

    std::shared_ptr<HMData> m_calendarData;
    std::shared_ptr<GoogleWrittenEntries> m_writtenEvents;
    QStringList m_mutableCalendars;
    googleeventlist::Listing m_eventListing;
    // Settled once a listing: what its pages are read against, and the "updatedMin" they ask for.
    googleeventlist::PageContext m_eventPageContext;
    QDateTime m_eventsUpdatedMin;
    QString m_lastPageToken;
    int m_googleInfiniteLoopBugCounter = 0;
    bool m_eventListingIncomplete = false;
    qint64 m_recordCounter = 0;
    qint64 m_deletionsCounter = 0;

    std::shared_ptr<HMData> m_contactData;
    std::shared_ptr<GoogleWrittenEntries> m_writtenEntries;
    qint64 m_contactsStartingIndex = 0;
    qint64 m_batchSize = 0;
    QDateTime m_mostRecentContactModifiedOnGoogle;
    QSet<QString> m_idsListedThisListing;
    std::optional<ListingBasis> m_contactListing;
    QStringList m_googleContactsWithPhotos;
    QVariantMap m_googleContactPhotosDictionary;
    QList<ContactWrite> m_contactInserts;
    QList<ContactWrite> m_contactUpdates;
    QList<ContactWrite> m_contactDeletes;
    QStringList m_groupsToCreate;
    QHash<QString, QString> m_googleIdByOutlookId;
    qint64 m_contactInsertCounter = 0;
    qint64 m_responseCounter = 0;
    qint64 m_contactImagesSent = 0;
    bool m_writeStatusBeforeSendingNextUpdate = false;
    std::mutex m_contactAnswersMutex;
    QList<ContactWriteAnswer> m_contactAnswers;
    bool m_contactAnswersAwaited = false; // a step on the run's queue will take them
    // By conduit: contacts (photos and groups too), events, tasks.
    std::array<WritesNotTaken, 3> m_writesNotTaken;
    // The groups were listed for a send-only run, whose pairing listing comes next.
    bool m_listsGroupsBeforeSending = false;
    // The lower bound of that pairing listing (invalid: every contact).
    QDateTime m_sentContactsSince;

    HMGoogleSyncDelegate *m_delegate = nullptr;
    std::shared_ptr<platform::DispatchQueue> m_queue;
    platform::ObserverToken m_cancelObserver;
    mutable std::mutex m_mutex;
    std::shared_ptr<platform::RKClient> m_client;
    QString m_accessToken;
    QString m_refreshToken;
    QString m_serverUrl;
    QString m_userEmail;
    std::shared_ptr<HMProfile> m_profile;
    // Shared with the cancel observer, which may still be running on the posting thread as the driver goes.
    const std::shared_ptr<std::atomic<bool>> m_shouldCancel = std::make_shared<std::atomic<bool>>(false);
    bool m_allowDeletesFromGoogle = true;
    bool m_allowDeletesFromOutlook = true;
    bool m_purgeContacts = false;
    bool m_purgeCalendar = false;
    bool m_purgeTasks = false;
    QMap<QString, QString> m_calendarNamesAndIds;
    QSet<QString> m_idsToExclude;
    QMap<QString, QString> m_groupNamesAndIds;
    std::shared_ptr<HMGoogleSyncPurgeDriver> m_purgeDriver;
};
