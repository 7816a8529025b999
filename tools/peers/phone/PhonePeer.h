#pragma once

#include "PhoneStore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace peerjournal {
class StateJournal;
} // namespace peerjournal

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace phonepeer {

// Ways the peer misbehaves, as real phones do.
enum class FaultKind {
    Delay,         // answers only after delayMs
    Fail,          // answers "FAIL" and the reason, doing nothing
    Empty,         // answers an empty body, doing nothing
    Drop,          // does the work, then hangs up halfway through the reply
    MalformedRows, // list replies carry a row with a wrong number of fields after their first row
    DropBefore,    // hangs up before doing any work
    RefuseAdds,    // answers every n-th add of an update "FAIL" and does not store it
    OmitAdds,      // stores every n-th add of an update but leaves its id out of the reply
    CutIdList,     // an id list stops halfway through its rows, looking complete
    Busy,          // answers a logon "BUSY"
};

// One switch: its kind, the path it applies to (empty: every "/hmx_" path) and how many replies it
// spoils (0: every one until cleared).
struct Fault
{
    FaultKind kind = FaultKind::Fail;
    QString path;
    int times = 0;
    int delayMs = 0;
    QString reason = QStringLiteral("Peer told to fail");
    int every = 1; // RefuseAdds and OmitAdds: which adds (every n-th) they spoil
};

// How the peer fills in the details of its list replies that phones fill in more than one way.
struct ListReadings
{
    enum class Count {
        PageRows,     // "Count=" holds the rows of the reply
        ListingTotal, // "Count=" holds the rows of the whole listing, across its pages
        Absent,       // no "Count=" line
    };
    Count count = Count::PageRows;
    bool listNumber = false;     // "List=" is followed by the reply's rows, not by the list's name
    bool listsOwnWrites = false; // the desktop's edits are listed as changes by the syncs after theirs
};

// Parses a fault from its control fields ("fault", "path", "times", "delay_ms", "reason", "every"); false,
// with the problem, for unknown or malformed values.
bool faultFromFields(const Pairs &fields, Fault &fault, QString &problem);

// The phone app's sync server: it answers the desktop's requests on "/hmx_logon", "/hmx_logoff",
// "/hmx_purge", "/hmx_list", "/hmx_update", "/hmx_updatepicture" and "/hmx_getdeviceinfo" from the
// records it keeps, and takes control requests on "/peer_control" (switches) and "/peer_records"
// (GET: the records as JSON; POST: a JSON edit made on the phone) and "/peer_requests" (GET: the
// request log, one path a line). Runs its server on threads of its own; every public operation is
// thread-safe.
class PhonePeer final
{
public:
    struct Options
    {
        QString host = QStringLiteral("127.0.0.1");
        int port = 8090;  // 0: any free port
        // Loaded at start when it exists; when set, each answer that changes the records appends a line
        // to its journal before it goes out, and the whole store is written back now and then and on
        // stopping (PhoneDataFile.h).
        QString dataFile;
        QString deviceId = QStringLiteral("QP-PEER-0001");
        QList<Fault> faults;
        ListReadings readings;
    };

    explicit PhonePeer(Options options);
    ~PhonePeer();
    PhonePeer(const PhonePeer &) = delete;
    PhonePeer &operator=(const PhonePeer &) = delete;

    // Loads the data file and starts answering; false, with the problem, when either fails.
    bool start(QString &problem);
    // Stops answering, ending any delayed reply, and writes the data file whole; also done by the
    // destructor.
    void stop();
    int port() const { return m_port; }
    const QString &deviceId() const { return m_options.deviceId; }

    void addFault(const Fault &fault);
    void clearFaults();
    // Answers the replies that wait on a delay now, and drops the delays still to come: a test holds
    // a request with a long delay for as long as it needs the sync to be running, then lets it go.
    void endDelays();
    void setListReadings(const ListReadings &readings);

    // Edits made on the phone, reported to the next sync.
    QString addPhoneRecord(Conduit conduit, const QMap<QString, QString> &fields, const QString &uid = {});
    // Many edits at once, written to the data file whole, once.
    void addPhoneRecords(Conduit conduit, const QList<QMap<QString, QString>> &records);
    bool updatePhoneRecord(Conduit conduit, const QString &uid, const QMap<QString, QString> &fields);
    bool deletePhoneRecord(Conduit conduit, const QString &uid);

    QList<PhoneRecord> records(Conduit conduit) const;
    bool hasChanges() const;
    bool isLoggedOn() const;
    // The paths of the requests received so far, in order of arrival.
    QStringList requestLog() const;
    QList<QByteArray> photos() const;

private:
    struct Reply
    {
        QByteArray body;
        bool shouldSave = false;
    };

    void route(const QString &path, const httplib::Request &request, httplib::Response &response);
    // Takes the faults that apply to one reply, counting them down, with the count of endDelays
    // calls at that moment.
    QList<Fault> takeFaults(const QString &path, quint64 &delaysEnded);
    // Waits the delay, or until the peer stops or endDelays is called after the faults were taken.
    void waitFor(int delayMs, quint64 endedBefore);
    // How the faults of one reply change the work behind it.
    struct Spoilers
    {
        bool malformedRows = false;
        bool cutIdList = false;
        bool busy = false;
        int refuseEvery = 0;
        int omitEvery = 0;
    };

    static Spoilers spoilersOf(const QList<Fault> &faults);
    Reply answer(const QString &path, const QByteArray &body, const Spoilers &spoilers);
    Reply logon(const QByteArray &body, bool busy);
    Reply logoff(const QByteArray &body);
    Reply purge(const Pairs &fields);
    Reply list(const Pairs &fields, const Spoilers &spoilers);
    Reply idList(Conduit conduit, bool cutShort) const;
    // The lines a list reply of these rows (of a listing of total rows) starts with, up to its header.
    QString listHead(Conduit conduit, qsizetype rows, qsizetype total) const;
    Reply update(const QByteArray &body, const Spoilers &spoilers);
    Reply updatePicture(const QByteArray &body);
    Reply deviceInfo() const;
    bool hasValidCredentials(const Pairs &fields) const;
    void control(const httplib::Request &request, httplib::Response &response);
    void recordsEndpoint(const httplib::Request &request, httplib::Response &response);
    bool loadData(QString &problem);
    // Keeps what changed since the last call in the data file's journal; false, with the problem, when
    // it cannot. Called with m_mutex held, before the answer goes out.
    bool saveLocked(QString &problem);
    // Writes the store whole as the data file, its journal starting anew. Called with m_mutex held.
    void writeSnapshotLocked();

    const Options m_options;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    PhoneStore m_store;
    std::unique_ptr<peerjournal::StateJournal> m_journal; // none without a data file
    QList<Fault> m_faults;
    ListReadings m_readings;
    bool m_isLoggedOn = false;
    bool m_isStopping = false;
    quint64 m_delaysEnded = 0; // counts the calls of endDelays
    QStringList m_requestLog;
    QList<QByteArray> m_photos;
    std::condition_variable m_stopping;
};

} // namespace phonepeer
