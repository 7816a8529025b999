#pragma once

#include "OutlookHandlers.h"
#include "OutlookStore.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace outlookpeer {

// Ways the simulated Outlook misbehaves, set by the "switches" control message.
struct PeerSwitches
{
    int refuseNth = 0;          // refuse the n-th script after the switch was set (0: none)
    QString refuseKind;         // refuse every script of this kind ("delete", "ids", ...)
    int refuseNumber = -10000;  // the error number of a refusal
    bool answerEmpty = false;   // every script answers an empty list
    bool stall = false;         // scripts get no answer at all
    int stallNth = 0;           // from the n-th script after the switch was set on, as `stall` (0: none)
    bool killMidReply = false;  // the next script's reply stops halfway and the process kills itself
    int killMidReplyNth = 0;    // the same for the n-th script after the switch was set (0: none)
    qint64 claimBytes = 0;      // the next reply claims this many bytes and sends none
    QString versionText;        // what "version" answers
    QHash<QString, QString> versionTextFor; // what "version" answers when told under this reference
    bool lockDatabase = false;  // another connection holds the database locked
    bool reimportNewIds = true; // a re-imported record gets a new id
    bool listsOccurrences = false; // "every calendar event" takes in the modified occurrences too
    QString refuseContactWrite; // refuse every contact write whose script or imported file holds this text
    QJsonArray exchangeAccounts; // [{"id", "name", "folders": [folder ids]}]: the Exchange accounts
    bool unreadableAddressBooks = false; // the address books' properties fail with -2753
    QString refuseEventWrite;   // refuse every event write whose script holds this text
    bool importGivesNewId = false; // "import ics" of an event Outlook holds (same UID) answers a new id
};

// The simulated Outlook: it listens on the Unix socket of each of its application references (see
// README.md), answers the scripts it knows byte for byte from its store, refuses any other text with
// -2741, answers handler-call events, and takes control messages (seed, dump, user edits, clock,
// switches). Serves connections on worker threads of its own; requests are answered one at a time.
class OutlookPeer final
{
public:
    struct Options
    {
        QString home;        // the user's home: where the store and record files live
        QString runtimeDir;  // where the "apple-events" socket folder is made
        QStringList references{QStringLiteral("Microsoft Outlook")};
        OutlookStore::Version version = OutlookStore::Version::Outlook15;
        QString versionText; // empty: "16.78" as version 15, "14.7.7" as version 14
        QString datePattern; // empty: the system's
    };

    static std::unique_ptr<OutlookPeer> start(const Options &options, QString *problem);
    ~OutlookPeer();
    OutlookPeer(const OutlookPeer &) = delete;
    OutlookPeer &operator=(const OutlookPeer &) = delete;

    QStringList socketPaths() const { return m_socketPaths; }
    QString databasePath() const;

    // One request payload in, the reply payload out; empty when the peer is told not to answer.
    QByteArray handle(const QByteArray &request);
    QJsonObject control(const QJsonObject &command);

    static QString socketPath(const QString &runtimeDir, const QString &reference);

private:
    explicit OutlookPeer(const Options &options);
    bool listen(QString *problem);
    void acceptLoop();
    void serve(int fd);
    void workerLoop();
    struct Answer
    {
        QString kind;
        QByteArray reply;
        bool isError = false;
    };
    static constexpr qsizetype kMaxCachedAnswers = 64;

    QByteArray answerScriptRequest(const QByteArray &request);
    Answer answerRequest(const QByteArray &request);
    QJsonObject applyControl(const QJsonObject &command);
    QJsonObject applyRecordEdit(const QString &op, const QJsonObject &command);
    QJsonObject applySwitches(const QJsonObject &command);
    QDateTime now() const;

    Options m_options;
    std::unique_ptr<OutlookStore> m_store;
    std::mutex m_mutex; // guards everything below but the sockets
    PeerSwitches m_switches;
    int m_scriptCount = 0;
    // Event writes that set a recurrence or end one ("recurrence:" or "is recurring:").
    int m_recurrenceScripts = 0;
    int m_refuseCountBase = 0;
    QDateTime m_fixedNow;
    QHash<QByteArray, Answer> m_answers; // replies of reading scripts since the last change
    HandlerCalls m_handlerCalls;         // the automation script's handlers, their log and kept texts
    QStringList m_socketPaths;
    std::vector<int> m_listeners;
    int m_wakePipe[2] = {-1, -1};
    std::thread m_acceptThread;
    // Connections wait in m_pending for a worker; a worker that serves one never blocks another, as
    // a new worker starts whenever more connections wait than workers are idle.
    std::mutex m_connectionsMutex;
    std::condition_variable m_connectionWaiting;
    std::deque<int> m_pending;
    std::set<int> m_active;
    std::vector<std::thread> m_workers;
    int m_idleWorkers = 0;
    std::atomic<bool> m_stopping{false};
};

} // namespace outlookpeer
