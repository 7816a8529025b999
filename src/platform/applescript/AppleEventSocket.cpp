#include "platform/applescript/AppleEventSocket.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/FileSystem.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <unordered_map>
#include <utility>
#include <vector>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// Waits are cut into short slices so that a moved clock is seen promptly.
constexpr int kPollSliceMs = 20;

// How long the caller keeps checking for the reply before it sleeps in poll. A short answer (a page,
// a batch) is often back within this time; a thread asleep in poll is then woken on a core that has
// gone idle, which on an otherwise quiet machine costs more than the whole answer. The spin ends at
// once when the reply, an end or an error is there, yields the core to anything waiting for it, and
// is measured on the steady clock: the deadline stays with poll and platform::Clock.
constexpr std::chrono::microseconds kReplySpin{50};

NSAppleScriptError makeError(int number, const QString &message, const QString &reference)
{
    NSAppleScriptError error;
    error.number = number;
    error.message = message;
    error.briefMessage = message;
    error.appName = AppleEventSocket::applicationName(reference);
    return error;
}

// Owns a socket descriptor.
class Descriptor final
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int fd() const { return m_fd; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// Connections kept open between exchanges, per socket path, so that a script answered in pages or
// batches pays for one connect instead of one per exchange. Only a connection whose last exchange
// ended cleanly is kept; one the application has closed since (it quit, or was restarted) reads as
// ready at once and is dropped before use. A few per path are kept, for callers on several threads.
// A connection may hold a request sent ahead: it is handed only to an exchange of the same request,
// whose reply it is, and is the first dropped when the path has too many.
class IdleConnections final
{
public:
    static IdleConnections &shared()
    {
        static IdleConnections *const connections = new IdleConnections; // used until the process ends
        return *connections;
    }

    struct Taken
    {
        int fd = -1;
        bool requestSent = false;
    };

    Taken take(const QByteArray &path, const QByteArray &request)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_idle.find(path.toStdString());
        if (found == m_idle.end())
            return {};
        std::vector<Idle> &idle = found->second;
        const auto ahead = std::find_if(idle.begin(), idle.end(), [&](const Idle &kept) { return kept.ahead == request; });
        if (ahead != idle.end()) {
            const int fd = ahead->fd;
            idle.erase(ahead);
            return {fd, true};
        }
        return takeQuiet(idle);
    }

    void keep(const QByteArray &path, int fd, const QByteArray &ahead)
    {
        const std::lock_guard lock(m_mutex);
        std::vector<Idle> &idle = m_idle[path.toStdString()];
        if (idle.size() >= kKeptPerPath) {
            // A quiet connection costs only a connect to make again; one with a request ahead, the request.
            const auto quiet = std::find_if(idle.begin(), idle.end(), [](const Idle &kept) { return kept.ahead.isEmpty(); });
            const auto dropped = quiet != idle.end() ? quiet : idle.begin();
            ::close(dropped->fd);
            idle.erase(dropped);
        }
        idle.push_back({fd, ahead});
    }

private:
    struct Idle
    {
        int fd;
        QByteArray ahead; // the request sent ahead on it, or empty
    };

    static Taken takeQuiet(std::vector<Idle> &idle)
    {
        for (auto kept = idle.rbegin(); kept != idle.rend();) {
            if (!kept->ahead.isEmpty()) {
                ++kept;
                continue;
            }
            const int fd = kept->fd;
            kept = decltype(kept)(idle.erase(std::next(kept).base()));
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 0) == 0)
                return {fd, false};
            ::close(fd); // closed by the other side, or holding bytes nobody asked for
        }
        return {};
    }

    static constexpr size_t kKeptPerPath = 4;
    std::mutex m_mutex;
    std::unordered_map<std::string, std::vector<Idle>> m_idle;
};

enum class Wait { Ready, TimedOut, Failed };

Wait waitFor(int fd, short events, const QDateTime &deadline)
{
    for (;;) {
        if (Clock::now() >= deadline)
            return Wait::TimedOut;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, kPollSliceMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Wait::Failed;
        if (ready > 0)
            return Wait::Ready;
    }
}

// A private folder: ours, a real folder, nobody else may enter. Anything else is not trusted.
bool isPrivateFolder(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::getuid() && (status.st_mode & 077) == 0;
}

class Exchange final
{
public:
    Exchange(const QString &reference, std::chrono::seconds timeout)
        : m_reference(reference), m_deadline(Clock::now().addSecs(timeout.count()))
    {
    }

    AppleEventWire::Reply run(const QByteArray &payload, const AppleEventSocket::RequestAhead &requestAhead)
    {
        if (const auto refused = connectSocket(payload))
            return *refused;
        AppleEventWire::Reply reply = exchangeFrames(payload, requestAhead);
        if (m_completed) // a whole reply was read, even one carrying the script's error
            IdleConnections::shared().keep(m_path, m_socket.release(), m_sentAhead);
        return reply;
    }

private:
    AppleEventWire::Reply exchangeFrames(const QByteArray &payload, const AppleEventSocket::RequestAhead &requestAhead)
    {
        if (!m_requestSent) {
            if (const auto failed = sendAll(AppleEventWire::frame(payload)))
                return *failed;
        }
        // The answer takes the peer's time: wait for it, reading its header as soon as it comes.
        QByteArray header(4, Qt::Uninitialized);
        if (const auto failed = receiveHeader(header))
            return *failed;
        const Result<quint32> length = AppleEventWire::payloadLength(header);
        if (!length)
            return makeError(AppleScriptErrorNumber::CorruptData, length.error().message(), m_reference);
        // The length was checked against the frame cap, so this buffer is bounded.
        QByteArray body(qsizetype(*length), Qt::Uninitialized);
        qsizetype received = 0;
        if (requestAhead) {
            if (const auto failed = sendAheadAfterHead(body, received, requestAhead))
                return *failed;
        }
        if (const auto failed = fill(body, received))
            return *failed;
        Result<AppleEventWire::Reply> reply = AppleEventWire::decodeReply(body);
        if (!reply)
            return makeError(AppleScriptErrorNumber::CorruptData, reply.error().message(), m_reference);
        m_completed = !m_sendFailed;
        return std::move(reply).value();
    }

    std::optional<NSAppleScriptError> connectSocket(const QByteArray &payload);
    std::optional<NSAppleScriptError> sendAll(const QByteArray &bytes);
    std::optional<NSAppleScriptError> sendAheadAfterHead(QByteArray &body, qsizetype &received,
                                                         const AppleEventSocket::RequestAhead &requestAhead);
    // Reads until `into` holds `until` bytes (all of it by default), `received` bytes being there already.
    std::optional<NSAppleScriptError> fill(QByteArray &into, qsizetype received, qsizetype until = -1);
    // Calls the transfer (a send or receive of up to the given count at the given offset) until
    // `done` reaches `end`, waiting for the events whenever it moves nothing.
    template <typename Transfer>
    std::optional<NSAppleScriptError> transferAll(qsizetype done, qsizetype end, short events, Transfer transfer);
    // After a send or receive that moved nothing: lost when the peer closed or failed, else waits
    // until the socket is ready (or the deadline passes).
    std::optional<NSAppleScriptError> waitAfter(ssize_t result, short events);
    std::optional<NSAppleScriptError> waitReady(short events);
    std::optional<NSAppleScriptError> receiveHeader(QByteArray &header);
    qsizetype headerBytesWithinSpin(QByteArray &header) const;
    NSAppleScriptError lost() const
    {
        return makeError(AppleScriptErrorNumber::ConnectionInvalid, QStringLiteral("Connection is invalid."),
                         m_reference);
    }
    NSAppleScriptError timedOut() const
    {
        return makeError(AppleScriptErrorNumber::TimedOut, QStringLiteral("AppleEvent timed out."), m_reference);
    }

    QString m_reference;
    QByteArray m_path{QFile::encodeName(AppleEventSocket::socketPathForReference(m_reference))};
    QDateTime m_deadline;
    Descriptor m_socket;
    bool m_requestSent = false; // the request was sent ahead by the exchange before
    QByteArray m_sentAhead;     // the next request, sent ahead by this exchange
    bool m_sendFailed = false;  // a request ahead was not sent whole: the connection is not kept
    bool m_completed = false;
};

std::optional<NSAppleScriptError> Exchange::connectSocket(const QByteArray &payload)
{
    // A bundle path names an application only while its bundle is on disk, as the system finds
    // applications by their bundles: a listener left under a removed bundle's name is not reached.
    const bool isBundlePath = m_reference.startsWith(u'/');
    if (isBundlePath && !QFileInfo(FileSystem::systemPath(m_reference)).isDir())
        return makeError(AppleScriptErrorNumber::ApplicationNotFound,
                         QStringLiteral("The application \"%1\" can't be found.").arg(m_reference), m_reference);
    const IdleConnections::Taken taken = IdleConnections::shared().take(m_path, payload);
    m_socket.reset(taken.fd);
    m_requestSent = taken.requestSent;
    if (m_socket.fd() >= 0)
        return std::nullopt;
    m_socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const QString folder = AppleEventSocket::socketFolder();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const bool fits = m_path.size() < qsizetype(sizeof(address.sun_path));
    if (fits)
        std::memcpy(address.sun_path, m_path.constData(), size_t(m_path.size()));
    if (m_socket.fd() >= 0 && fits && isPrivateFolder(folder)
        && ::connect(m_socket.fd(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0)
        return std::nullopt;
    return makeError(AppleScriptErrorNumber::ApplicationNotRunning, QStringLiteral("Application isn't running."),
                     m_reference);
}

// Sends and receives go first and wait only when the socket would block: a reply that is already
// there costs no poll.
template <typename Transfer>
std::optional<NSAppleScriptError> Exchange::transferAll(qsizetype done, qsizetype end, short events, Transfer transfer)
{
    while (done < end) {
        const ssize_t count = transfer(done, size_t(end - done));
        if (count > 0) {
            done += count;
            continue;
        }
        if (const auto failed = waitAfter(count, events))
            return failed;
    }
    return std::nullopt;
}

std::optional<NSAppleScriptError> Exchange::sendAll(const QByteArray &bytes)
{
    return transferAll(0, bytes.size(), POLLOUT, [this, &bytes](qsizetype offset, size_t count) {
        return ::send(m_socket.fd(), bytes.constData() + offset, count, MSG_NOSIGNAL);
    });
}

// The reply's first bytes are read on their own, and the request they show will come next is sent
// before the rest: the application works on it while this reply is read and decoded. A request that
// could not be sent whole leaves this reply to be read, but the connection is then not kept.
std::optional<NSAppleScriptError> Exchange::sendAheadAfterHead(QByteArray &body, qsizetype &received,
                                                               const AppleEventSocket::RequestAhead &requestAhead)
{
    const qsizetype headBytes = std::min(body.size(), AppleEventWire::kReplyHeadBytes);
    if (const auto failed = fill(body, 0, headBytes))
        return failed;
    received = headBytes;
    const std::optional<QByteArray> next = requestAhead(quint32(body.size()), QByteArrayView(body.constData(), headBytes));
    if (!next)
        return std::nullopt;
    if (sendAll(AppleEventWire::frame(*next)))
        m_sendFailed = true;
    else
        m_sentAhead = *next;
    return std::nullopt;
}

std::optional<NSAppleScriptError> Exchange::fill(QByteArray &into, qsizetype received, qsizetype until)
{
    const qsizetype end = until < 0 ? into.size() : until;
    return transferAll(received, end, POLLIN, [this, &into](qsizetype offset, size_t count) {
        return ::recv(m_socket.fd(), into.data() + offset, count, 0);
    });
}

std::optional<NSAppleScriptError> Exchange::waitAfter(ssize_t result, short events)
{
    if (result == 0 || (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return lost();
    if (result < 0 && errno == EINTR)
        return std::nullopt;
    return waitReady(events);
}

std::optional<NSAppleScriptError> Exchange::waitReady(short events)
{
    const Wait wait = waitFor(m_socket.fd(), events, m_deadline);
    if (wait == Wait::TimedOut)
        return timedOut();
    if (wait == Wait::Failed)
        return lost();
    return std::nullopt;
}

// The spin reads the header itself, so that a reply already there costs no separate look at the
// socket. When the spin ends with nothing read, the socket is waited on before the next read; a
// closed or failed socket is told by the read that follows.
std::optional<NSAppleScriptError> Exchange::receiveHeader(QByteArray &header)
{
    const qsizetype received = headerBytesWithinSpin(header);
    if (received < 0) {
        if (const auto failed = waitReady(POLLIN))
            return failed;
    }
    return fill(header, std::max<qsizetype>(received, 0));
}

// Reads the header's bytes that arrive within the spin's time: all four or some (the rest follows at
// once); 0 when the socket was closed or failed (the next read tells which), -1 when the time passed.
qsizetype Exchange::headerBytesWithinSpin(QByteArray &header) const
{
    const auto until = std::chrono::steady_clock::now() + kReplySpin;
    do {
        const ssize_t count = ::recv(m_socket.fd(), header.data(), size_t(header.size()), MSG_DONTWAIT);
        if (count > 0)
            return qsizetype(count);
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return 0;
        ::sched_yield();
    } while (std::chrono::steady_clock::now() < until);
    return -1;
}

} // namespace

QString AppleEventSocket::socketFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/apple-events");
}

QString AppleEventSocket::socketPathForReference(const QString &reference)
{
    const QString folder = socketFolder();
    const QString named = folder + u'/' + QString::fromLatin1(QUrl::toPercentEncoding(reference)) + QStringLiteral(".sock");
    if (QFile::encodeName(named).size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return named;
    const QByteArray digest = QCryptographicHash::hash(reference.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return folder + QStringLiteral("/ref-") + QString::fromLatin1(digest) + QStringLiteral(".sock");
}

AppleEventWire::Reply AppleEventSocket::exchange(const QString &reference, const QByteArray &requestPayload,
                                                 std::chrono::seconds timeout, const RequestAhead &requestAhead)
{
    Exchange exchange(reference, timeout);
    return exchange.run(requestPayload, requestAhead);
}

QString AppleEventSocket::applicationName(const QString &reference)
{
    if (!reference.startsWith(u'/'))
        return reference;
    QString name = QFileInfo(reference).fileName();
    if (name.endsWith(QStringLiteral(".app")))
        name.chop(4);
    return name;
}

} // namespace platform
