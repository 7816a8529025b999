#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

class HMGoogleSyncDriver;
class HMProfile;
namespace platform {
class RKClient;
} // namespace platform

// How the purge reports to the sync driver; every call arrives on the run's queue.
class HMGoogleSyncPurgeDelegate
{
public:
    virtual ~HMGoogleSyncPurgeDelegate() = default;
    // "Contacts", "Calendar" or "Tasks": that conduit is empty on Google and its map cleared.
    virtual void purgeDidFinishForConduit(const QString &conduitName) = 0;
    // Cancelled by the user: nothing more was sent.
    virtual void purgeDidCancel() = 0;
    // The conduit could not be emptied (a listing refused, failed or unreadable, a deletion refused):
    // the text for the user. Google may be half emptied; only a new purge may follow.
    virtual void purgeDidFailWithError(const QString &message) = 0;
};

// Empties the Google side of a conduit before a sync that was asked to purge it: every contact group
// but Google's system groups and every contact; every event of the calendars the profile syncs and
// of the calendar it writes to; every task of every task list. The matching Outlook identifier map
// is cleared (contacts and calendar before their listing, tasks after the last deletion), so
// Outlook's records all go to Google again afterwards.
//
// The purge is a chain of single requests, each step running in the reply of the one before, on the
// run's queue. Requests are made by the sync driver's request pattern (a new client per step, the
// bearer header, 30 s, one at a time); the sync driver owns the purge driver.
//
// A purge finishes only when every listing was read whole and every deletion answered 2xx (or 404
// or 410: already gone). Anything else reports purgeDidFailWithError and sends nothing more: the
// profile keeps its purge flag and the next sync purges again.
class HMGoogleSyncPurgeDriver final : public std::enable_shared_from_this<HMGoogleSyncPurgeDriver>
{
public:
    // Observes "kHMGoogleDirectSyncCancelSync" (any sender) on the default centre.
    explicit HMGoogleSyncPurgeDriver(std::weak_ptr<HMGoogleSyncDriver> requests);
    ~HMGoogleSyncPurgeDriver();
    HMGoogleSyncPurgeDriver(const HMGoogleSyncPurgeDriver &) = delete;
    HMGoogleSyncPurgeDriver &operator=(const HMGoogleSyncPurgeDriver &) = delete;

    void setUserEmail(const QString &email) { m_userEmail = email; }
    // Not owned: the sync driver owns the purge driver.
    void setGoogleSyncPurgeDelegate(HMGoogleSyncPurgeDelegate *delegate) { m_delegate = delegate; }
    // Without one, the profile selected in the main window is taken.
    void setProfile(std::shared_ptr<HMProfile> profile) { m_profile = std::move(profile); }
    // Contacts a page; 100 when not set.
    void setBatchSize(qint64 size) { m_batchSize = size; }
    void setCancel() { m_shouldCancel->store(true); }
    bool shouldCancel() const { return m_shouldCancel->load(); }

    void purgeContacts();
    void purgeCalendar();
    void purgeTasks();
    // Logs, cancels the open request and reports purgeDidCancel.
    void cancel();

    qint64 deletedContactsCounter() const { return m_deletedContactsCounter; }
    qint64 deletedEventsCounter() const { return m_deletedEventsCounter; }
    qint64 deletedTasksCounter() const { return m_deletedTasksCounter; }
    qint64 numberOfGroupsDeleted() const { return m_numberOfGroupsDeleted; }

    // The request texts (resource paths below the host, no leading "/").
    static QString groupListPath(const QString &email);
    static QString groupDeletionPath(const QString &email, const QString &groupId);
    static QString contactsPagePath(const QString &email, qint64 startIndex, qint64 batchSize);
    static QString contactDeletionPath(const QString &contactId);
    static QString eventListPath(const QString &calendarId, const QString &pageToken);
    static QString eventDeletionPath(const QString &calendarId, const QString &eventId);
    static QString taskListsPath(const QString &pageToken);
    static QString tasksPath(const QString &taskListId, const QString &pageToken);
    static QString taskDeletionPath(const QString &taskListId, const QString &taskId);

private:
    using ReplyHandler = void (HMGoogleSyncPurgeDriver::*)(int status, const QByteArray &body);

    // Contacts.
    void getListOfContactGroups();
    void groupsReturned(int status, const QByteArray &body);
    void parseGroupsResponseDictionary(const QVariantMap &feed);
    void purgeGroups();
    void handlePurgeGroupResponse(int status, const QByteArray &body);
    void listGoogleContacts();
    void contactsPageReturned(int status, const QByteArray &body);
    void parseContactsResponseDictionary(const QVariantMap &feed);
    void purgeGoogleContacts();
    void handlePurgeContactsResponse(int status, const QByteArray &body);
    std::shared_ptr<platform::RKClient> makeContactsClient();
    void setContactDeletionHeaders();
    // Calendar.
    void listEventsForCalendarId(const QString &calendarId, const QString &pageToken);
    void eventPageReturned(int status, const QByteArray &body);
    void parseEventListResponse(const QVariantMap &response);
    void purgeNextEvent();
    void handleDeleteEventResponse(int status, const QByteArray &body);
    // Tasks.
    void listGoogleTaskLists(const QString &pageToken);
    void taskListsReturned(int status, const QByteArray &body);
    void listGoogleTasksForTaskListId(const QString &taskListId, const QString &pageToken);
    void tasksReturned(int status, const QByteArray &body);
    void sendTaskDeletion();
    void handleTaskDeletionResponse(int status, const QByteArray &body);
    void checkForEndTaskDeletes();

    // Shared steps.
    std::shared_ptr<platform::RKClient> makeClient(const QString &baseUrl);
    void send(const QString &path, int method, ReplyHandler handler, qint64 maxBytes);
    // True (and cancelled) when the flag is set.
    bool stopsForCancel();
    void fail(const QString &message);
    // The JSON object of a listing reply judged by its status first; nothing (the purge failed) when
    // it is refused or unreadable. 404 is an empty listing.
    std::optional<QVariantMap> jsonListing(int status, const QByteArray &body, const QString &what);
    // A deletion's reply: true when the item is gone (2xx, 404, 410); else the purge failed.
    bool deletionTaken(int status, const QString &what);
    // A page token already followed in this listing, or too many items gathered: the purge failed.
    bool isEndlessListing(const QString &pageToken, qsizetype gathered);
    void clearMap(const QString &conduitName);
    void finishConduit(const QString &conduitName, const QString &logText);
    std::shared_ptr<HMProfile> profile();

    std::weak_ptr<HMGoogleSyncDriver> m_requests;
    HMGoogleSyncPurgeDelegate *m_delegate = nullptr;
    platform::ObserverToken m_cancelObserver;
    // Shared with the cancel observer, which may still run on the posting thread as the driver goes.
    const std::shared_ptr<std::atomic<bool>> m_shouldCancel = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<platform::RKClient> m_client;
    std::shared_ptr<HMProfile> m_profile;
    QString m_userEmail;
    bool m_ended = false;

    QList<std::pair<QString, QString>> m_groupNamesAndIds; // group entry id, title
    qint64 m_numberOfGroupsDeleted = 0;
    qint64 m_contactsStartingIndex = 0;
    qint64 m_batchSize = 0;
    QStringList m_contactsToPurge;
    QSet<QString> m_contactsSeen;
    qint64 m_deletionsCounter = 0;
    qint64 m_deletedContactsCounter = 0;

    QStringList m_mutableCalendars;
    QStringList m_allGoogleEvents;
    qint64 m_deletedEventsCounter = 0;

    QStringList m_taskListIds;
    QHash<QString, QString> m_taskListTitles;
    QString m_currentTaskList;
    QList<std::pair<QString, QString>> m_allGoogleTasks; // task id, task list id
    qint64 m_deletedTasksCounter = 0;

    QSet<QString> m_pageTokensFollowed;
};
