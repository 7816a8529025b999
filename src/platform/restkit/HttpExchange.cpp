#include "platform/restkit/HttpExchange.h"

#include "platform/restkit/RKErrors.h"
#include "platform/restkit/RKNetworkThread.h"
#include "platform/restkit/TrustStore.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// Bounds on what a peer may send before its body: longer heads end the exchange.
constexpr qint64 kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kMaxChunkLineBytes = 1024;
constexpr long kLongestIdleSeconds = 4;
// Easy handles a transfer driver keeps between exchanges: as many as usually run side by side.
constexpr size_t kIdleHandlesKept = 8;

// The reports libcurl's callbacks make while a driver moves its transfers on (null at other times).
// They are made, in order, once libcurl has returned: a report may start or abort an exchange, which
// must not happen inside a libcurl call.
thread_local std::vector<std::function<void()>> *t_pendingReports = nullptr;

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

} // namespace platform

// libcurl brings GnuTLS into the process (through librtmp), and GnuTLS sets itself up as it loads:
// about 1 MB of memory in every process that links the HTTP client, though nothing here calls it
// (libcurl speaks only http and https here, over OpenSSL). Defining this function is GnuTLS's own
// switch for programs that skip that set-up (its GNUTLS_SKIP_GLOBAL_INIT); the linker exports it
// because GnuTLS defines it too. A library that does use GnuTLS calls gnutls_global_init itself.
extern "C" int _gnutls_global_init_skip(void); // NOLINT(bugprone-reserved-identifier)
extern "C" int _gnutls_global_init_skip(void) // NOLINT(bugprone-reserved-identifier)
{
    return 1;
}

namespace platform {

namespace {

// Connections and TLS sessions shared by the requests that trust the same certificates: a request
// to a server met before goes out on a connection another request left open, or else resumes its
// TLS session instead of a full handshake, as browsers and curl do. A connection is reused only once
// the reply before it was read whole; requests never overlap on one. Requests with other trust never
// meet these connections or sessions, which were verified against certificates they may not trust.
class SessionCaches final
{
public:
    static CURLSH *shareFor(const QString &caFile)
    {
        // Kept for the process (never destroyed): a transfer may still run while the process exits.
        static auto *const caches = new SessionCaches;
        const std::lock_guard lock(caches->m_mutex);
        std::unique_ptr<Cache> &cache = caches->m_caches[caFile];
        if (!cache)
            cache = std::make_unique<Cache>();
        return cache->share;
    }

private:
    struct Cache
    {
        Cache() : share(curl_share_init())
        {
            curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Cache::lock);
            curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Cache::unlock);
            curl_share_setopt(share, CURLSHOPT_USERDATA, this);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        }
        // One lock per kind of data: libcurl may hold the connections' while it takes the sessions'.
        static std::mutex &mutexFor(void *context, curl_lock_data data)
        {
            auto *cache = static_cast<Cache *>(context);
            return cache->mutexes[size_t(data) < cache->mutexes.size() ? size_t(data) : 0];
        }
        static void lock(CURL *, curl_lock_data data, curl_lock_access, void *context) { mutexFor(context, data).lock(); }
        static void unlock(CURL *, curl_lock_data data, void *context) { mutexFor(context, data).unlock(); }

        std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes;
        CURLSH *share; // kept for the process
    };

    std::mutex m_mutex;
    std::map<QString, std::unique_ptr<Cache>> m_caches;
};

// The certificates a TLS connection trusts: the system's, plus those of an extra PEM file. Built once
// per file (and per version of it) and shared by every connection, so a request does not read the
// system's certificates again.
class TrustStores final
{
public:
    static X509_STORE *storeFor(const QString &caFile)
    {
        static auto *const stores = new TrustStores; // kept for the process, as the caches are
        return stores->find(caFile);
    }

private:
    X509_STORE *find(const QString &caFile)
    {
        const QFileInfo info(caFile);
        const QString key = caFile.isEmpty() ? QString()
                                             : caFile + u'\n' + QString::number(info.lastModified().toMSecsSinceEpoch()) +
                                                   u'\n' + QString::number(info.size());
        const std::lock_guard lock(m_mutex);
        const auto found = m_stores.find(key);
        if (found != m_stores.end())
            return found->second;
        X509_STORE *store = newTrustStore(caFile);
        m_stores.emplace(key, store); // kept for the process: every later connection shares it
        return store;
    }

    std::mutex m_mutex;
    std::map<QString, X509_STORE *> m_stores;
};

// Takes one line (without its CR LF, or a bare LF) off the front of the buffer; false when no whole
// line is there yet.
bool takeLine(QByteArray &buffer, QByteArray &line)
{
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0)
        return false;
    line = buffer.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    buffer.remove(0, end + 1);
    return true;
}

qint64 codeForCurlResult(CURLcode result)
{
    switch (result) {
    case CURLE_URL_MALFORMAT:
        return NSURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
        return NSURLErrorBadServerResponse;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return NSURLErrorTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
        return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return NSURLErrorSecureConnectionFailed;
    case CURLE_FILESIZE_EXCEEDED:
        return NSURLErrorDataLengthExceedsMaximum;
    default:
        return NSURLErrorNetworkConnectionLost;
    }
}

} // namespace

// What the driver and the exchange share, both on the framework's thread. The driver lends the libcurl
// handle; libcurl's callbacks read the reply into it; the exchange (owner) hears of it through reports.
struct HttpExchange::Transfer : std::enable_shared_from_this<HttpExchange::Transfer>
{
    explicit Transfer(Request request) : request(std::move(request)) {}

    const Request request;
    HttpExchange *owner = nullptr; // framework thread only; cleared when the exchange ends or goes
    std::atomic<bool> isAborted = false;

    // A progress figure goes to the framework thread one report at a time: a callback that finds a
    // report still queued only moves the figure that report will carry. A reply read in many small
    // pieces (TLS records) was one posted report a piece.
    struct Progress
    {
        std::atomic<qint64> done = 0;
        std::atomic<qint64> total = 0;
        std::atomic<bool> isQueued = false;
    };
    Progress received;
    Progress sent;

    // The handle is the driver's, lent for this exchange.
    CURL *handle = nullptr;
    curl_slist *headerList = nullptr;
    int statusCode = 0;
    QList<RKResponse::Header> headers;
    qint64 headBytes = 0;
    bool inBody = false;
    bool isChunked = false;
    qint64 contentLength = -1;
    QByteArray body;
    QByteArray chunkBuffer;
    qint64 chunkRemaining = -1; // -1: a chunk-size line comes next
    bool chunksEnded = false;
    qint64 failure = 0; // set when a callback refuses the reply
    qint64 bytesSent = 0;
    int connectionsTried = 0;

    void begin(CURL *handle);
    void complete(const std::shared_ptr<Transfer> &self, CURLcode result);
    void configureHandle();
    void setTlsOptions(CURL *handle);
    curl_slist *makeHeaderList() const;
    void setBody(CURL *handle) const;
    void finishOnFrameworkThread(const std::shared_ptr<Transfer> &self, qint64 errorCode);
    void report(const std::shared_ptr<Transfer> &self, std::function<void(HttpExchange &)> work);
    void reportProgress(Progress &progress, qint64 done, qint64 total, void (HttpExchange::*signal)(qint64, qint64));

    bool exceedsLimit(qint64 bytes) const
    {
        return request.maxResponseBytes > 0 && bytes > request.maxResponseBytes;
    }
    bool takeHeaderLine(const QByteArray &line);
    bool beginBody();
    bool takeBody(const char *data, size_t size);
    bool takeChunks();

    static size_t onHeader(char *data, size_t size, size_t count, void *context);
    static size_t onBody(char *data, size_t size, size_t count, void *context);
    static int onProgress(void *context, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent);
    static CURLcode onSslContext(CURL *handle, void *sslContext, void *context);
    static int onPrerequest(void *context, char *, char *, int, int);

};

void HttpExchange::Transfer::report(const std::shared_ptr<Transfer> &self, std::function<void(HttpExchange &)> work)
{
    auto job = [self, work = std::move(work)] {
        if (self->owner != nullptr)
            work(*self->owner);
    };
    if (t_pendingReports != nullptr)
        t_pendingReports->push_back(std::move(job));
    else
        RKNetworkThread::post(std::move(job));
}

// The report clears its flag before it reads the figures: a callback that moves them
// after the read finds the flag clear and queues a report of its own, so the last figure always goes.
void HttpExchange::Transfer::reportProgress(Progress &progress, qint64 done, qint64 total,
                                            void (HttpExchange::*signal)(qint64, qint64))
{
    progress.done.store(done);
    progress.total.store(total);
    if (progress.isQueued.exchange(true))
        return;
    report(shared_from_this(), [&progress, signal](HttpExchange &exchange) {
        progress.isQueued.store(false);
        (exchange.*signal)(progress.done.load(), progress.total.load());
    });
}

// Sets every option of the exchange on its handle, which comes fresh or reset to libcurl's defaults.
void HttpExchange::Transfer::configureHandle()
{
    const QByteArray url = request.url.toEncoded(QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // A connection left open longer than this is not reused: servers close idle ones after a few
    // seconds, and a request sent as one closes would fail (it is never sent again, onPrerequest).
    curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, kLongestIdleSeconds);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &Transfer::onPrerequest);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // Chunks reach the body callback as they came, which reads their sizes itself: a chunk that
    // announces more than the limit ends the exchange before it is read.
    curl_easy_setopt(handle, CURLOPT_HTTP_TRANSFER_DECODING, 0L);
    setTlsOptions(handle);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    headerList = makeHeaderList();
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList);
    setBody(handle);
}

void HttpExchange::Transfer::setTlsOptions(CURL *handle)
{
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // The trusted certificates come from the shared store (onSslContext), not from a file per request.
    curl_easy_setopt(handle, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &Transfer::onSslContext);
    curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, this);
    curl_easy_setopt(handle, CURLOPT_SHARE, SessionCaches::shareFor(request.caFile));
}

curl_slist *HttpExchange::Transfer::makeHeaderList() const
{
    curl_slist *headerList = nullptr;
    bool hasType = false;
    for (const RKResponse::Header &header : request.headers) {
        hasType = hasType || header.first.compare("Content-Type", Qt::CaseInsensitive) == 0;
        headerList = curl_slist_append(headerList, (header.first + ": " + header.second).constData());
    }
    // No headers of libcurl's own beyond Host and the body's length.
    headerList = curl_slist_append(headerList, "Accept:");
    headerList = curl_slist_append(headerList, "Expect:");
    if (!hasType)
        headerList = curl_slist_append(headerList, "Content-Type:");
    return headerList;
}

void HttpExchange::Transfer::setBody(CURL *handle) const
{
    if (request.verb == "GET" && request.body.isEmpty()) {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        return;
    }
    // The body is lent from the request, which outlives the handle's use of it. libcurl writes a
    // body under 64 KiB with the head in one send: one TLS record and one segment a request, where a
    // body of its own read later costs another send and another wake-up of both ends. That send may
    // have carried the body: libcurl never sends it again on a connection of its own choosing
    // (onPrerequest).
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.constData());
    if (request.verb != "POST")
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.verb.constData());
}

// Takes the handle lent by the driver and sets the exchange's options on it.
void HttpExchange::Transfer::begin(CURL *lent)
{
    handle = lent;
    configureHandle();
}

// Ends the transfer with libcurl's result: lets go of its handle (the driver keeps it) and, unless
// aborted, reports the outcome.
void HttpExchange::Transfer::complete(const std::shared_ptr<Transfer> &self, CURLcode result)
{
    qint64 errorCode = failure;
    if (errorCode == 0 && result != CURLE_OK)
        errorCode = codeForCurlResult(result);
    // A head that never ended is a connection lost inside it.
    if (errorCode == 0 && !inBody)
        errorCode = NSURLErrorNetworkConnectionLost;
    if (errorCode == 0 && isChunked && !chunksEnded)
        errorCode = NSURLErrorNetworkConnectionLost;
    handle = nullptr;
    curl_slist_free_all(headerList);
    headerList = nullptr;
    if (!isAborted.load())
        finishOnFrameworkThread(self, errorCode);
}

namespace {

// Runs every exchange trusting the same certificates on one libcurl multi handle, on the framework's
// own thread: the thread's event loop watches the transfers' sockets and libcurl's timer, so a request
// costs no hand-off to another thread and back, and several exchanges run side by side. Exchanges with
// other trust run on a multi handle of their own, so that nothing libcurl keeps per multi handle (the
// certificates it loaded, connections waiting to close) reaches a request that does not trust what it
// was made with. Made on first use as a child of the framework thread's context, which goes with the
// thread. Easy handles go from one exchange to the next, reset to libcurl's defaults, instead of being
// made and freed for each: reset keeps nothing of an exchange's options, and what it does keep
// (connections, TLS sessions, resolved names) is this trust's alone.
class TransferDriver final : public QObject
{
public:
    using Transfer = HttpExchange::Transfer;

    // The thread's driver for the trust, made if needed; framework thread only.
    static TransferDriver &forTrust(const QString &caFile)
    {
        TransferDriver *&driver = drivers()[caFile];
        if (driver == nullptr)
            driver = new TransferDriver(caFile, &RKNetworkThread::context());
        return *driver;
    }

    // The thread's driver for the trust, or null when it has none (any more).
    static TransferDriver *existing(const QString &caFile)
    {
        const auto found = drivers().find(caFile);
        return found == drivers().end() ? nullptr : found->second;
    }

    ~TransferDriver() override
    {
        drivers().erase(m_caFile);
        m_isClosing = true;
        for (auto &[handle, transfer] : m_running) {
            curl_multi_remove_handle(m_multi, handle);
            transfer->isAborted.store(true);
            transfer->complete(transfer, CURLE_ABORTED_BY_CALLBACK);
            curl_easy_cleanup(handle);
        }
        for (CURL *handle : m_idleHandles)
            curl_easy_cleanup(handle);
        curl_multi_cleanup(m_multi);
        m_socketsReady.reset();
        close(m_sockets);
    }

    void add(const std::shared_ptr<Transfer> &transfer)
    {
        CURL *handle = lendHandle();
        if (handle != nullptr)
            transfer->begin(handle);
        if (handle == nullptr || curl_multi_add_handle(m_multi, handle) != CURLM_OK) {
            finishTransfer(transfer, CURLE_OUT_OF_MEMORY);
            return;
        }
        m_running.emplace(handle, transfer);
        // libcurl asks for a timer of zero to start the transfer; it starts here instead, without
        // another turn of the event loop. Never inside a libcurl call: exchanges start from reports,
        // which come after libcurl has returned. The outcome may come before start() returns.
        act(CURL_SOCKET_TIMEOUT, 0);
    }

    // Takes the transfer off the multi handle, which closes its connection mid-way.
    void remove(const std::shared_ptr<Transfer> &transfer)
    {
        const auto found = m_running.find(transfer->handle);
        if (transfer->handle == nullptr || found == m_running.end())
            return;
        const std::shared_ptr<Transfer> kept = found->second;
        m_running.erase(found);
        curl_multi_remove_handle(m_multi, kept->handle);
        finishTransfer(kept, CURLE_ABORTED_BY_CALLBACK);
    }

private:
    static std::map<QString, TransferDriver *> &drivers()
    {
        thread_local std::map<QString, TransferDriver *> t_drivers;
        return t_drivers;
    }

    TransferDriver(QString caFile, QObject *parent)
        : QObject(parent), m_caFile(std::move(caFile)), m_multi(curl_multi_init()), m_sockets(epoll_create1(EPOLL_CLOEXEC))
    {
        if (m_multi == nullptr || m_sockets < 0)
            qFatal("libcurl could not make its multi handle or its socket set");
        m_socketsReady = std::make_unique<QSocketNotifier>(qintptr(m_sockets), QSocketNotifier::Read);
        connect(m_socketsReady.get(), &QSocketNotifier::activated, this, [this] { actOnReadySockets(); });
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &TransferDriver::onSocket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &TransferDriver::onTimer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    }

    // libcurl asks for the socket to be watched for reading, writing, both, or no more. The sockets
    // sit in one epoll set, whose own descriptor is the only one the event loop watches: a connection
    // taken up again by the next request costs one epoll_ctl, where a socket notifier of its own was
    // made, enabled, disabled and deleted for each request (each a wake-up and a turn of the loop).
    static int onSocket(CURL *, curl_socket_t socket, int what, void *context, void *)
    {
        auto *driver = static_cast<TransferDriver *>(context);
        if (driver->m_isClosing)
            return 0;
        if (what == CURL_POLL_REMOVE) {
            if (driver->m_watched.erase(socket) > 0)
                epoll_ctl(driver->m_sockets, EPOLL_CTL_DEL, socket, nullptr);
            return 0;
        }
        const std::uint32_t events = (what == CURL_POLL_IN || what == CURL_POLL_INOUT ? EPOLLIN : 0u) |
                                     (what == CURL_POLL_OUT || what == CURL_POLL_INOUT ? EPOLLOUT : 0u);
        const auto [found, isNew] = driver->m_watched.try_emplace(socket, events);
        if (!isNew && found->second == events)
            return 0;
        found->second = events;
        epoll_event event{};
        event.events = events;
        event.data.fd = socket;
        // A set that already holds the socket, or no longer does, takes the other operation.
        if (epoll_ctl(driver->m_sockets, isNew ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event) == 0 ||
            epoll_ctl(driver->m_sockets, isNew ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) == 0)
            return 0;
        driver->m_watched.erase(socket);
        return -1; // libcurl fails the transfers rather than wait on a socket nobody watches
    }

    // Hands libcurl what the kernel reports for the watched sockets. A socket an earlier report in
    // the same batch took off the set is passed over.
    void actOnReadySockets()
    {
        epoll_event events[16];
        const int count = epoll_wait(m_sockets, events, 16, 0);
        for (int index = 0; index < count; ++index) {
            const curl_socket_t socket = events[index].data.fd;
            const std::uint32_t reported = events[index].events;
            if (m_watched.find(socket) == m_watched.end())
                continue;
            const int flags = ((reported & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 ? CURL_CSELECT_IN : 0) |
                              ((reported & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                              ((reported & EPOLLERR) != 0 ? CURL_CSELECT_ERR : 0);
            act(socket, flags);
        }
    }

    static int onTimer(CURLM *, long milliseconds, void *context)
    {
        auto *driver = static_cast<TransferDriver *>(context);
        if (milliseconds < 0)
            driver->m_timer.stop();
        else if (!driver->m_isClosing)
            driver->m_timer.start(int(qMin<long>(milliseconds, std::numeric_limits<int>::max())));
        return 0;
    }

    // Lets libcurl move the transfers on for what the socket (or the timer) has, then ends those that
    // are done and makes the reports gathered meanwhile, outside any libcurl call: a report may start
    // or abort an exchange.
    void act(curl_socket_t socket, int flags)
    {
        std::vector<std::function<void()>> reports;
        t_pendingReports = &reports;
        int running = 0;
        curl_multi_socket_action(m_multi, socket, flags, &running);
        completeDone();
        t_pendingReports = nullptr;
        for (const std::function<void()> &report : reports)
            report();
    }

    void completeDone()
    {
        int pending = 0;
        while (CURLMsg *message = curl_multi_info_read(m_multi, &pending)) {
            const auto found = m_running.find(message->easy_handle);
            if (message->msg != CURLMSG_DONE || found == m_running.end())
                continue;
            const CURLcode result = message->data.result;
            const std::shared_ptr<Transfer> transfer = std::move(found->second);
            m_running.erase(found);
            curl_multi_remove_handle(m_multi, transfer->handle);
            finishTransfer(transfer, result);
        }
    }

    // A handle an earlier exchange left, or a new one; null when libcurl has no memory for one.
    CURL *lendHandle()
    {
        if (m_idleHandles.empty())
            return curl_easy_init();
        CURL *handle = m_idleHandles.back();
        m_idleHandles.pop_back();
        return handle;
    }

    // The transfer ends: its handle, off the multi handle, is reset and kept for the next one.
    void finishTransfer(const std::shared_ptr<Transfer> &transfer, CURLcode result)
    {
        CURL *handle = transfer->handle;
        transfer->complete(transfer, result);
        if (handle == nullptr)
            return;
        curl_easy_reset(handle);
        if (m_idleHandles.size() < kIdleHandlesKept)
            m_idleHandles.push_back(handle);
        else
            curl_easy_cleanup(handle);
    }

    const QString m_caFile;
    CURLM *const m_multi;
    QTimer m_timer;
    bool m_isClosing = false;
    const int m_sockets; // the epoll set of the transfers' sockets
    std::unique_ptr<QSocketNotifier> m_socketsReady;
    std::map<curl_socket_t, std::uint32_t> m_watched; // the events each socket is watched for
    std::map<CURL *, std::shared_ptr<Transfer>> m_running;
    std::vector<CURL *> m_idleHandles;
};

} // namespace

void HttpExchange::Transfer::finishOnFrameworkThread(const std::shared_ptr<Transfer> &self, qint64 errorCode)
{
    report(self, [self, errorCode](HttpExchange &exchange) {
        exchange.m_statusCode = self->statusCode;
        exchange.m_headers = self->headers;
        exchange.m_body = errorCode == 0 ? self->body : QByteArray();
        exchange.finish(errorCode);
    });
}

bool HttpExchange::Transfer::takeHeaderLine(const QByteArray &line)
{
    if (line.startsWith("HTTP/")) {
        // "HTTP/1.1 200 OK": a new reply head, interim (100 Continue) or the real one.
        const QList<QByteArray> parts = line.split(' ');
        statusCode = parts.size() >= 2 ? parts.at(1).toInt() : 0;
        headers.clear();
        return statusCode >= 100 && statusCode <= 999;
    }
    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        return true;
    }
    return statusCode < 200 || beginBody();
}

bool HttpExchange::Transfer::beginBody()
{
    const RKResponse head(statusCode, headers, {});
    isChunked = head.headerValue("Transfer-Encoding").contains(QLatin1String("chunked"), Qt::CaseInsensitive);
    bool hasLength = false;
    const qint64 length = head.headerValue("Content-Length").toLongLong(&hasLength);
    contentLength = !isChunked && hasLength && length >= 0 ? length : -1;
    if (statusCode == 204 || statusCode == 304)
        contentLength = 0;
    inBody = true;
    if (contentLength >= 0 && exceedsLimit(contentLength)) {
        failure = NSURLErrorDataLengthExceedsMaximum;
        return false;
    }
    return true;
}

size_t HttpExchange::Transfer::onHeader(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    transfer->headBytes += qint64(bytes);
    QByteArray line(data, qsizetype(bytes));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (transfer->headBytes > kMaxHeadBytes || !transfer->takeHeaderLine(line)) {
        if (transfer->failure == 0)
            transfer->failure = NSURLErrorBadServerResponse;
        return 0;
    }
    if (transfer->inBody && line.isEmpty()) {
        const std::shared_ptr<Transfer> self = transfer->shared_from_this();
        transfer->report(self, [status = transfer->statusCode, headers = transfer->headers](HttpExchange &exchange) {
            exchange.m_statusCode = status;
            exchange.m_headers = headers;
            emit exchange.headersReceived();
        });
    }
    return bytes;
}

size_t HttpExchange::Transfer::onBody(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    if (!transfer->takeBody(data, bytes))
        return 0;
    transfer->reportProgress(transfer->received, transfer->body.size(), transfer->contentLength,
                             &HttpExchange::downloadProgress);
    return bytes;
}

// Takes a piece of the body as it came; false (with the failure noted) when the reply is refused.
bool HttpExchange::Transfer::takeBody(const char *data, size_t size)
{
    if (isChunked) {
        chunkBuffer.append(data, qsizetype(size));
        return takeChunks();
    }
    body.append(data, qsizetype(size));
    if (exceedsLimit(body.size()) || (contentLength >= 0 && body.size() > contentLength)) {
        failure = exceedsLimit(body.size()) ? NSURLErrorDataLengthExceedsMaximum : NSURLErrorBadServerResponse;
        return false;
    }
    return true;
}

// Reads the chunk sizes and data that have arrived; false when a size line is bad or past the limit.
bool HttpExchange::Transfer::takeChunks()
{
    QByteArray line;
    for (;;) {
        if (chunksEnded) {
            chunkBuffer.clear(); // the trailer: libcurl finds its end
            return true;
        }
        if (chunkRemaining < 0) {
            if (!takeLine(chunkBuffer, line)) {
                if (chunkBuffer.size() <= kMaxChunkLineBytes)
                    return true;
                failure = NSURLErrorBadServerResponse;
                return false;
            }
            bool isNumber = false;
            const qint64 chunkSize = line.split(';').first().trimmed().toLongLong(&isNumber, 16);
            if (!isNumber || chunkSize < 0 || exceedsLimit(body.size() + chunkSize)) {
                failure = isNumber && chunkSize >= 0 ? NSURLErrorDataLengthExceedsMaximum : NSURLErrorBadServerResponse;
                return false;
            }
            chunksEnded = chunkSize == 0;
            chunkRemaining = chunkSize == 0 ? -1 : chunkSize + 2; // the data and its CR LF
            continue;
        }
        const qsizetype taken = qsizetype(qMin<qint64>(chunkRemaining, chunkBuffer.size()));
        if (taken == 0)
            return true;
        body += chunkBuffer.left(qMin<qint64>(taken, qMax<qint64>(0, chunkRemaining - 2)));
        chunkBuffer.remove(0, taken);
        chunkRemaining -= taken;
        if (chunkRemaining == 0)
            chunkRemaining = -1;
    }
}

int HttpExchange::Transfer::onProgress(void *context, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent)
{
    auto *transfer = static_cast<Transfer *>(context);
    if (transfer->isAborted.load())
        return 1;
    if (total <= 0 || sent <= transfer->bytesSent)
        return 0;
    transfer->bytesSent = sent;
    transfer->reportProgress(transfer->sent, sent, total, &HttpExchange::uploadProgress);
    return 0;
}

// Called as the request is about to go out on a connection. libcurl tries a request again on a new
// connection when a reused one closed before any reply came; the peer may have read and stored it
// by then, so it goes again only when that changes nothing: a plain GET, which only reads. Any other
// request, whose head and body went in one send, fails as a lost connection instead.
int HttpExchange::Transfer::onPrerequest(void *context, char *, char *, int, int)
{
    auto *transfer = static_cast<Transfer *>(context);
    ++transfer->connectionsTried;
    const HttpExchange::Request &request = transfer->request;
    if (transfer->connectionsTried == 1 || (request.verb == "GET" && request.body.isEmpty()))
        return CURL_PREREQFUNC_OK;
    return CURL_PREREQFUNC_ABORT;
}

CURLcode HttpExchange::Transfer::onSslContext(CURL *, void *sslContext, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    X509_STORE *store = TrustStores::storeFor(transfer->request.caFile);
    if (store == nullptr)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX *const tls = static_cast<SSL_CTX *>(sslContext);
    SSL_CTX_set1_cert_store(tls, store);
    // libcurl has OpenSSL free a connection's read and write buffers (16 KiB each) whenever they
    // empty: on a connection kept open for a run's many small requests, that was three allocations
    // and frees of 16 KiB for each request. They stay with the connection instead, which is open for
    // a few seconds of idleness at most; the records sent and read are the same.
    SSL_CTX_clear_mode(tls, SSL_MODE_RELEASE_BUFFERS);
    return CURLE_OK;
}

HttpExchange::HttpExchange(Request request, QObject *parent) : QObject(parent), m_request(std::move(request)) {}

HttpExchange::~HttpExchange()
{
    if (!m_isFinished)
        abort();
}

void HttpExchange::start()
{
    initialiseCurlOnce();
    auto transfer = std::make_shared<Transfer>(m_request);
    transfer->owner = this;
    m_transfer = transfer;
    TransferDriver::forTrust(m_request.caFile).add(transfer);
}

void HttpExchange::abort()
{
    if (m_isFinished)
        return;
    finish(NSURLErrorCancelled);
}

void HttpExchange::finish(qint64 errorCode)
{
    if (m_isFinished)
        return;
    m_isFinished = true;
    m_errorCode = errorCode;
    if (m_transfer) {
        m_transfer->owner = nullptr;
        m_transfer->isAborted.store(true);
        if (TransferDriver *driver = TransferDriver::existing(m_request.caFile))
            driver->remove(m_transfer);
    }
    if (errorCode != 0)
        m_body.clear();
    emit finished();
}

} // namespace platform
