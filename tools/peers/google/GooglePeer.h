#pragma once

#include "PeerControls.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>
#include <random>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace peerjournal {
class StateJournal;
} // namespace peerjournal

namespace googlepeer {

// Ways the peer misbehaves, as Google or the network between can.
enum class SwitchKind {
    Expired401,       // HTTP 401, as for an access token that expired
    Forbidden403,     // HTTP 403
    RateLimited429,   // HTTP 429 with Retry-After
    Error500,         // HTTP 500
    SmallPages,       // lists answer two items per page
    RepeatedPageToken, // every page of a list names the same next page
    Slow,             // answers after slowMs
    CutBefore,        // hangs up before doing any work
    CutAfter,         // does the work (state committed), then hangs up
    Garbage,          // 200 with a body that is no JSON
    Oversize,         // 200 announcing and sending oversizeBytes
    CompactToken,     // the token reply written without blanks: {"access_token":"..."}
    InvalidGrant,     // the token reply {"error": "invalid_grant"} with HTTP 400
    DeletedElement,   // contacts listed as deleted carry a <gd:deleted/> element, not a deleted membership
    PrefixedReply,    // a contact write is answered with the entry's elements under the atom: prefix
    XmlBomb,          // 200 with a document of nested entity definitions
    GoogleSpacedToken, // the sign-in token reply as Google spaces it: {"access_token": "..."}
    NoRefreshToken,   // the token reply carries an access token only
    BareCancelled,    // cancelled events are listed with their id, status and series place only
};

// How a token reply is written: a blank on each side of the colon (the sign-in endpoint's default),
// a blank after it (as Google writes it; the refresh endpoint's default), or none.
enum class TokenStyle { SpacedBothSides, GoogleSpaced, Compact };

struct Switch
{
    SwitchKind kind = SwitchKind::Garbage;
    QString path;   // the path it applies to; empty: every service path
    int times = 0;  // replies it spoils; 0: every one until cleared
    int slowMs = 2000;
    qint64 oversizeBytes = 100LL * 1024 * 1024;
    int skip = 0;   // matching requests let through untouched before it applies
    double chance = 0; // above 0 and below 1: applies to a matching request with this chance only
    QString method;    // empty: every method; "write": every method but GET; else that method only
};

// A request as the peer received it, kept for tests.
struct ReceivedRequest
{
    QString method;
    QString path;
    QByteArray body;
    QByteArray authorization;
    QString target;      // the path with its query, as sent
    QByteArray ifMatch;  // the "If-Match" header
    QByteArray contentType;
    QByteArray gdataVersion; // the "GData-Version" header
};

struct Options
{
    QString stateFile; // accounts, tokens, codes, calendars and records; each change kept before its answer
    QString certFile;  // the HTTPS certificate (PEM) and key
    QString keyFile;
    int port = 0;      // 0: a free port
    // Connections kept open for further requests, as Google keeps them; false: each one is closed
    // after its answer, so that every request comes on a connection of its own.
    bool keepsConnections = false;
};

// Google's account services as the sync client sees them, over HTTPS on 127.0.0.1: the token endpoint
// ("/oauth2/v4/token": the refresh grant, and the code grant with PKCE of a browser sign-in; the
// sign-in sheet's "/o/oauth2/token"), the authorization page ("/o/oauth2/v2/auth", which redirects to
// the loopback address it is given with a code; "/o/oauth2/auth", a page whose Allow and Deny links a
// plain HTTP client can follow), user info ("/oauth2/v1/userinfo"), the account's picture ("/picture.png") and the calendar
// list ("/calendar/v3/users/me/calendarList", with Google's weather and birthdays calendars among the
// account's own) and the contact groups ("/m8/feeds/groups/<e-mail>/full", Atom, with "My Contacts"). "/peer/..." paths control a peer run as a program (see README.md). Links nothing of
// src/.
class GooglePeer final : public peerjournal::PeerControls<Switch, ReceivedRequest>
{
public:
    explicit GooglePeer(Options options);
    ~GooglePeer();
    GooglePeer(const GooglePeer &) = delete;
    GooglePeer &operator=(const GooglePeer &) = delete;

    bool start(QString &error);
    void stop();
    int port() const { return m_port; }
    QString baseUrl() const;

    // An account with its refresh token; the access tokens it hands out are "ya29." and a counter.
    void addAccount(const QString &email, const QString &refreshToken);
    void setNextAccessToken(const QString &token); // the next refresh answers this token
    void addCalendar(const QString &email, const QJsonObject &calendar);
    // The clock, the switches and the requests received: see PeerControls.
    // "updated" of a user edit: the clock in milliseconds, "yyyy-MM-ddTHH:mm:ss.zzzZ".
    QString updatedStamp() const;

    QJsonObject dump() const;
    bool seed(const QJsonObject &state, QString &error);
    // A user's edits on Google: the entry text (an Atom entry as a client sends it) as a new contact
    // (its short id answered) or over an existing one; a deletion; a photo.
    QString userAddContact(const QString &email, const QByteArray &entry);
    bool userEditContact(const QString &email, const QString &id, const QByteArray &entry);
    bool userDeleteContact(const QString &email, const QString &id);
    bool userSetPhoto(const QString &email, const QString &id, const QByteArray &photo);
    // A user's event on Google (its "id" given), new or over an existing one, stamped "updated".
    bool userPutEvent(const QString &email, const QString &calendarId, QJsonObject event);
    // A task list (a new id when none is given), and a user's task edit on Google: the fields over the
    // task of that "id" (new without one), stamped. Answers the task's id, empty for an unknown list.
    QJsonObject addTaskList(const QString &email, const QString &title, QString id);
    QString userPutTask(const QString &email, const QString &listId, const QJsonObject &fields);
    bool userMoveTask(const QString &email, const QString &taskId, const QString &from, const QString &to);

private:
    void route(httplib::Server &server);
    void handle(const httplib::Request &request, httplib::Response &response);
    bool handleControl(const httplib::Request &request, httplib::Response &response);
    std::optional<Switch> takeSwitch(const QString &path, const QString &method);
    bool answerThroughSwitch(const Switch &change, const httplib::Request &request, httplib::Response &response);
    void work(const httplib::Request &request, httplib::Response &response, const std::optional<Switch> &change);
    void token(const httplib::Request &request, httplib::Response &response, TokenStyle style, bool withRefresh = true);
    void authorize(const httplib::Request &request, httplib::Response &response);
    // The sign-in page of "/o/oauth2/auth" and its Allow and Deny links ("/o/oauth2/approval").
    void signInPage(const httplib::Request &request, httplib::Response &response);
    void approval(const httplib::Request &request, httplib::Response &response);
    void userInfo(const QString &email, httplib::Response &response);
    void calendarList(const QString &email, const httplib::Request &request, httplib::Response &response,
                      const std::optional<Switch> &change);
    // The account an Authorization header's bearer token belongs to; empty when none.
    void contactGroups(const QString &email, httplib::Response &response);
    // The Contacts data feed (GooglePeerContacts.cpp).
    bool contactsService(const QString &email, const httplib::Request &request, httplib::Response &response,
                         const std::optional<Switch> &change);
    void contactFeed(const QString &email, const httplib::Request &request, httplib::Response &response,
                     const std::optional<Switch> &change);
    void writeContact(const QString &email, const QString &id, const httplib::Request &request,
                      httplib::Response &response, const std::optional<Switch> &change);
    void deleteContact(const QString &email, const QString &id, httplib::Response &response);
    void deleteGroup(const QString &email, const QString &id, httplib::Response &response);
    void contactPhoto(const QString &email, const QString &id, const httplib::Request &request,
                      httplib::Response &response);
    void createGroup(const QString &email, const httplib::Request &request, httplib::Response &response);
    QJsonObject contactsOf(const QString &email) const;
    void storeContact(const QString &email, const QString &id, const QJsonObject &contact);
    QString entryText(const QString &email, const QString &id, const QJsonObject &contact, bool deletedElement,
                      bool prefixed) const;
    // Calendar v3 events (GooglePeerEvents.cpp).
    bool eventsService(const QString &email, const httplib::Request &request, httplib::Response &response,
                       const std::optional<Switch> &change);
    void listEvents(const QString &email, const QString &calendarId, const httplib::Request &request,
                    httplib::Response &response, const std::optional<Switch> &change);
    void writeEvent(const QString &email, const QString &calendarId, const QString &eventId,
                    const httplib::Request &request, httplib::Response &response);
    void deleteEvent(const QString &email, const QString &calendarId, const QString &eventId, httplib::Response &response);
    QJsonObject eventsOf(const QString &email, const QString &calendarId) const;
    QString calendarTimeZone(const QString &email, const QJsonObject &calendar) const;
    QList<QJsonObject> listedEvents(const QString &email, const QString &calendarId, const QDateTime &updatedMin,
                                    bool showDeleted, QJsonObject &calendar) const;
    void storeEvent(const QString &email, const QString &calendarId, const QJsonObject &event);
    QString nextEventStamp();
    QString calendarOfPath(const QString &email, const QString &segment) const;
    // Tasks v1 (GooglePeerTasks.cpp).
    bool tasksService(const QString &email, const httplib::Request &request, httplib::Response &response,
                      const std::optional<Switch> &change);
    void listTaskLists(const QString &email, const httplib::Request &request, httplib::Response &response,
                       const std::optional<Switch> &change);
    void insertTaskList(const QString &email, const httplib::Request &request, httplib::Response &response);
    void listTasks(const QString &email, const QString &listId, const httplib::Request &request,
                   httplib::Response &response, const std::optional<Switch> &change);
    void getTask(const QString &email, const QString &listId, const QString &taskId, httplib::Response &response);
    void writeTask(const QString &email, const QString &listId, const QString &taskId, const httplib::Request &request,
                   httplib::Response &response);
    void deleteTask(const QString &email, const QString &listId, const QString &taskId, httplib::Response &response);
    QJsonArray taskListsOf(const QString &email);
    QString taskListOfPath(const QString &email, const QString &segment);
    QJsonObject tasksOf(const QString &email, const QString &listId) const;
    void storeTask(const QString &email, const QString &listId, const QJsonObject &task);
    QJsonObject mergedTask(QJsonObject task, const QJsonObject &fields);
    QString accountOfBearer(const std::string &header) const;
    // An account's part of the state (empty for an unknown address), and its replacement; with the
    // lock held.
    QJsonObject accountOf(const QString &email) const;
    void putAccount(const QString &email, const QJsonObject &account);
    // The state file (GooglePeerState.cpp): a snapshot and a journal of changes beside it.
    bool loadState(QString &error);
    void applyJournalLine(const QJsonObject &line);
    // A record under "accounts" (e-mail, collection, ids) to go into the next journal line.
    void noteRecordChanged(QStringList path);
    // Keeps the small parts of the state and the records noted since the last call: one journal line.
    void saveState();

    const Options m_options;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;

    std::atomic<bool> m_isStopping = false;
    QJsonObject m_state; // "accounts": email -> {refreshToken, accessTokens, calendars, groups}, "codes", "counter"
    std::unique_ptr<peerjournal::StateJournal> m_journal; // none without a state file
    QList<QStringList> m_changedRecords;                  // noted since the last journal line
    QString m_nextAccessToken;
    std::mt19937 m_chances{1}; // draws of the switches with a chance; seeded by "/peer/switch" {"seed"}
    int m_spoiled = 0;         // replies a switch took, since the start

};

std::optional<SwitchKind> switchKindFromName(const QString &name);

// An error answer as Google's JSON services write it.
void sendError(httplib::Response &response, int status, const QString &reason);

} // namespace googlepeer
