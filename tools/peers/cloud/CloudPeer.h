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
#include <set>
#include <thread>
#include <utility>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace peerjournal {
class StateJournal;
} // namespace peerjournal

namespace cloudpeer {

using peerjournal::StateJournal;

// Ways the peer misbehaves, as a real service or the network between can.
enum class SwitchKind {
    CutBefore,      // hangs up after the reply's head, before doing any work
    CutAfter,       // does the work (state committed), then hangs up after the reply's head
    Stall,          // answers only after stallMs (0: until the switch is cleared or the peer stops)
    Garbage,        // answers 200 with a body that is no JSON
    Html500,        // answers HTTP 500 with an HTML error page, doing nothing
    Oversize,       // answers 200 announcing oversizeBytes, and sends them
    Endless,        // answers 200 with chunks that never end
    Result1,        // a login answers "Result" 1 (user name or password wrong)
    Result2,        // a login answers "Result" 2 (redirect)
    LogoutRefused,  // a logout answers "Result" 1 and keeps the session
    SessionExpired, // a request with a session answers "Result" 3 and drops the session
    // Switches of the record pages; they stay until cleared and act on every n-th record ("every").
    RefuseInsert,  // every n-th insert is answered "Result" 0 and not stored
    BadUpdate,     // every n-th update is answered "bad" and not stored
    OmitRecords,   // every n-th record of an update is stored but left out of the reply
    NoList,        // a listing page without its table's list member
    ExtraRows,     // a listing page ignores "Limit" and sends every row from "Offset" on
};

// One switch: its kind, the path it applies to ("/v1/login.php"; empty: every "/v1/" path) and how
// many replies it spoils (0: every one until cleared).
struct Switch
{
    SwitchKind kind = SwitchKind::Garbage;
    QString path;
    int times = 0;
    int stallMs = 0;
    qint64 oversizeBytes = 100LL * 1024 * 1024;
    int every = 1;
};

// A record as the peer keeps it: the members the client sent (without "Id", "Modified", "Deleted"),
// its change time as the service writes it (US/Pacific wall clock), the device that wrote it last,
// its place in the table's stable order, whether it is deleted, and its photo.
struct StoredRecord
{
    QJsonObject fields;
    QString modified;
    QString writer;
    qint64 sequence = 0;
    bool deleted = false;
    QByteArray photo;
};

// A request as the peer received it, kept for tests.
struct ReceivedRequest
{
    QString path;
    QByteArray body;
    bool isSecure = false;
};

// A connector of an account as the peer keeps it (the members of "updateConnector"), and when the
// service last ran it ("0000-00-00 00:00:00" for never).
struct Connector
{
    QString id;
    QString type;
    QString email;
    QString lastSync;
    QString conduits;
    QString source;
    QString token;
};

struct Options
{
    QString stateFile;  // the peer's accounts, sessions and records, kept before each answer (a snapshot
                        // and a journal of changes beside it, "<file>.journal")
    QString certFile;   // the HTTPS server's certificate (PEM) and key
    QString keyFile;
    int httpsPort = 0;  // 0: a free port
    int httpPort = 0;
    // Whether a connection stays open for further requests, as web servers keep them (idle for 5 s
    // at most); false answers one request per connection.
    bool keepsConnections = true;
};

// The cloud service as the sync client sees it: JSON posted to "/v1/login.php", "/v1/logout.php",
// "/v1/purge.php" and "/v1/getdata.php" (the keep-alive), over HTTPS on 127.0.0.1 and over plain HTTP
// on a second port. Passwords are kept as the MD5 digests the client sends. The clock is settable.
// "/peer/..." paths control a peer run as a program (see README.md). Links nothing of src/.
class CloudPeer final : public peerjournal::PeerControls<Switch, ReceivedRequest>
{
public:
    explicit CloudPeer(Options options);
    ~CloudPeer();
    CloudPeer(const CloudPeer &) = delete;
    CloudPeer &operator=(const CloudPeer &) = delete;

    // Loads the state file, binds both ports and serves; false, with the reason, when it cannot.
    bool start(QString &error);
    void stop();
    int httpsPort() const { return m_httpsPort; }
    int httpPort() const { return m_httpPort; }

    void addAccount(const QString &username, const QString &password);
    // The account's last change of a conduit ('A' contacts, 'D' calendar, 'T' tasks, 'M' memos).
    void setChangeDate(const QString &username, QChar conduit, const QDateTime &date);
    // The clock, the switches and the requests received: see PeerControls.

    // While refusing, the HTTPS port accepts no connection.
    bool setRefusing(bool refusing);

    // The account's connectors, in the order they were made; and the whole list replaced.
    QList<Connector> connectors(const QString &username) const;
    void setConnectors(const QString &username, const QList<Connector> &connectors);

    QStringList sessions(const QString &username) const;
    QStringList purgedTables(const QString &username) const;

    // The account's records of a table ("Contacts", "Calendar", "Tasks", "Notes") by id, deleted ones
    // included; and changes made on the service's side (by another device: writer "web").
    QMap<QString, StoredRecord> records(const QString &username, const QString &table) const;
    void putRecord(const QString &username, const QString &table, const QString &id, const QJsonObject &fields,
                   const QString &writer = QStringLiteral("web"));
    // Many records at once, the state written once.
    void putRecords(const QString &username, const QString &table, const QList<std::pair<QString, QJsonObject>> &records,
                    const QString &writer = QStringLiteral("web"));
    void deleteRecord(const QString &username, const QString &table, const QString &id,
                      const QString &writer = QStringLiteral("web"));
    void setPhoto(const QString &username, const QString &id, const QByteArray &photo);
    // The listed form of a record: its members with "Id", "Modified", "Deleted" and, for contacts, "Photo".
    static QJsonObject listedForm(const QString &id, const StoredRecord &record, bool isContact);

private:
    struct Account
    {
        QString passwordDigest;
        QStringList sessions;
        QJsonObject changeDates; // conduit letter to "yyyy-MM-dd HH:mm:ss" in GMT
        QStringList purged;
        QMap<QString, QString> sessionDevices; // session to the "DeviceId" of its login
        QMap<QString, QMap<QString, StoredRecord>> tables;
        qint64 nextSequence = 1;
        // What changed since the state was last kept: tables emptied by a purge, and records (table, id).
        QStringList droppedTables;
        std::set<std::pair<QString, QString>> changedRecords;
    };

    void route(httplib::Server &server, bool isSecure);
    void handle(const httplib::Request &request, httplib::Response &response, bool isSecure);
    bool handleControl(const httplib::Request &request, httplib::Response &response);
    QJsonArray recordsReply(const QJsonObject &body) const;
    // The switch that spoils this reply, counted; nothing when none applies.
    std::optional<Switch> takeSwitch(const QString &path);
    // Answers through a switch; false when the switch leaves the answer to the normal road.
    bool answerThroughSwitch(const Switch &change, const QString &path, const QJsonObject &body,
                             httplib::Response &response);
    void stall(const Switch &change);
    void stream(const Switch &change, httplib::Response &response);
    QJsonObject work(const QString &path, const QJsonObject &body, const std::optional<Switch> &change);
    // "/v1/account.php" (CloudPeerAccounts.cpp): the answer's compact JSON text, its members in the
    // service's order.
    QByteArray account(const QJsonObject &body);
    QByteArray createAccount(const QString &username, const QString &digest);
    QByteArray updateConnector(const QString &username, const QJsonObject &body);
    QByteArray deleteConnector(const QString &username, const QString &connectorId);
    QJsonObject connectorsControl(const QJsonObject &body);
    QJsonObject login(const QJsonObject &body, const std::optional<Switch> &change);
    QJsonObject logout(const QJsonObject &body, const std::optional<Switch> &change);
    QJsonObject purge(const QJsonObject &body);
    QJsonObject getData(const QJsonObject &body);
    QJsonObject update(const QJsonObject &body);
    void applyInserts(Account &account, const QString &table, const QJsonArray &inserts, const QString &device,
                             QJsonArray &answers);
    void applyUpdates(Account &account, const QString &table, const QJsonArray &updates, const QString &device,
                      QJsonObject &answers);
    void applyDeletes(Account &account, const QString &table, const QJsonArray &deletes, const QString &device,
                      QJsonArray &answers);
    void store(Account &account, const QString &table, const QString &id, const QJsonObject &fields,
               const QString &device);
    void noteTableChanged(Account &account, const QString &table);
    // Whether the n-th counted record under a record switch of the kind is hit (and counts it).
    bool hits(SwitchKind kind);
    int everyOf(SwitchKind kind) const;
    void getPhoto(const httplib::Request &request, httplib::Response &response);
    void updatePhoto(const httplib::Request &request, const QMap<QString, QByteArray> &parts, httplib::Response &response,
                     bool isSecure);
    // The account a session belongs to, or an empty text.
    QString accountOfSession(const QString &session) const;
    bool loadState(QString &error);
    // Keeps what changed since the last call (one journal line), and now and then the whole state.
    void saveState();
    void noteRecordChanged(Account &account, const QString &table, const QString &id);
    QJsonObject wholeState() const;
    QJsonObject changesSinceSaved();
    void applyChange(const QJsonObject &change);
    bool listenHttps(QString &error);

    const Options m_options;
    std::unique_ptr<StateJournal> m_journal;
    std::unique_ptr<httplib::Server> m_https;
    std::unique_ptr<httplib::Server> m_http;
    std::thread m_httpsThread;
    std::thread m_httpThread;
    int m_httpsPort = 0;
    int m_httpPort = 0;

    std::atomic<bool> m_isStopping = false;
    QMap<QString, Account> m_accounts;
    QMap<QString, QList<Connector>> m_connectors; // by user name; not kept in the state file
    qint64 m_nextConnectorId = 1;
    QMap<int, qint64> m_switchCounts; // records counted per record switch kind
};

// "yyyy-MM-dd HH:mm:ss" of the date in GMT.
QString gmtText(const QDateTime &date);
// The date's wall-clock text in US/Pacific, "yyyy-MM-dd HH:mm:ss": how the service writes record dates.
QString pacificText(const QDateTime &date);
std::optional<SwitchKind> switchKindFromName(const QString &name);

} // namespace cloudpeer
