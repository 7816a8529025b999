// The record query over c-ares: its sockets watched by dispatch sources on the owner's queue, its
// retry deadline on the event monitor's clock, and the answers split into records.
#include "platform/dnssd/DNSServiceQuery.h"

#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/EventMonitor.h"

#include <ares.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::dnssd {

// Everything but the channel is guarded by the mutex, because cancel() may come from another thread
// than the queue's; the channel is used on the queue only (and destroyed where the last reference
// goes, when nothing can use it any more). Handlers hold weak references.
struct DNSServiceQuery::Private : std::enable_shared_from_this<DNSServiceQuery::Private>
{
    struct SocketWatch
    {
        int fd = -1;
        std::shared_ptr<DispatchFdSource> read;
        std::shared_ptr<DispatchFdSource> write;
    };

    std::mutex mutex;
    ares_channel channel = nullptr;
    std::shared_ptr<DispatchQueue> queue;
    std::uint16_t rrtype = 0;
    std::uint16_t rrclass = 0;
    Callback callback;
    std::vector<SocketWatch> sockets;
    EventMonitor::Id retryTimerId = 0;
    DispatchTime retryDeadline = DispatchTime::max();
    std::atomic<bool> isCancelled{false};
    // c-ares reports some failures (a bad name, no server) from inside ares_query: start() answers them.
    bool isStarting = true;
    bool hasStartAnswer = false;
    int startStatus = ARES_SUCCESS;

    ~Private()
    {
        stopWatching();
        if (channel != nullptr)
            ares_destroy(channel);
    }

    void stopWatching();
    void watchSocket(int fd, bool readable, bool writable);
    void updateSource(std::shared_ptr<DispatchFdSource> &source, bool isWanted, int fd,
                      DispatchFdSource::Direction direction);
    void process(ares_socket_t readable, ares_socket_t writable);
    void armRetry();
    void onRetryDue(DispatchTime deadline);
};

void DNSServiceQuery::Private::stopWatching()
{
    std::vector<SocketWatch> dropped;
    EventMonitor::Id timer = 0;
    {
        std::lock_guard lock(mutex);
        isCancelled = true;
        dropped.swap(sockets);
        timer = std::exchange(retryTimerId, 0);
    }
    // Cancelled sources leave the monitor at once, so the sockets may close right after.
    for (const SocketWatch &watch : dropped) {
        if (watch.read)
            watch.read->cancel();
        if (watch.write)
            watch.write->cancel();
    }
    if (timer != 0)
        EventMonitor::shared().cancelTimer(timer);
}

void DNSServiceQuery::Private::watchSocket(int fd, bool readable, bool writable)
{
    std::lock_guard lock(mutex);
    if (isCancelled)
        return;
    auto watch = std::find_if(sockets.begin(), sockets.end(), [fd](const SocketWatch &w) { return w.fd == fd; });
    if (watch == sockets.end()) {
        if (!readable && !writable)
            return;
        watch = sockets.insert(sockets.end(), SocketWatch{fd, nullptr, nullptr});
    }
    updateSource(watch->read, readable, fd, DispatchFdSource::Direction::Read);
    updateSource(watch->write, writable, fd, DispatchFdSource::Direction::Write);
    if (!watch->read && !watch->write)
        sockets.erase(watch);
}

// A source made or cancelled as c-ares wants the direction watched. A socket the monitor refuses
// stays unwatched: its query then ends at c-ares' retry deadline with a time-out.
void DNSServiceQuery::Private::updateSource(std::shared_ptr<DispatchFdSource> &source, bool isWanted, int fd,
                                            DispatchFdSource::Direction direction)
{
    if (!isWanted) {
        if (source)
            std::exchange(source, nullptr)->cancel();
        return;
    }
    if (source)
        return;
    const bool isRead = direction == DispatchFdSource::Direction::Read;
    auto created = isRead ? DispatchFdSource::createRead(fd, queue) : DispatchFdSource::createWrite(fd, queue);
    if (!created)
        return;
    source = *created;
    source->setEventHandler(DispatchBlock([weak = weak_from_this(), fd, isRead] {
        if (const auto d = weak.lock())
            d->process(isRead ? fd : ARES_SOCKET_BAD, isRead ? ARES_SOCKET_BAD : fd);
    }));
    source->resume();
}

void DNSServiceQuery::Private::process(ares_socket_t readable, ares_socket_t writable)
{
    if (isCancelled)
        return;
    ares_process_fd(channel, readable, writable);
    armRetry();
}

// c-ares keeps one fixed deadline per attempt, so a timer already due no later than it (give or
// take a millisecond of rounding) is kept; one that comes early finds nothing due and re-arms.
void DNSServiceQuery::Private::armRetry()
{
    timeval buffer{};
    const timeval *next = ares_timeout(channel, nullptr, &buffer);
    if (next == nullptr)
        return;
    const DispatchTime deadline =
        deadlineAfter(std::chrono::seconds(next->tv_sec) + std::chrono::microseconds(next->tv_usec));
    EventMonitor::Id replaced = 0;
    {
        std::lock_guard lock(mutex);
        if (isCancelled || (retryTimerId != 0 && retryDeadline <= deadline + std::chrono::milliseconds(1)))
            return;
        replaced = retryTimerId;
        retryDeadline = deadline;
        // The monitor thread only hands the retry to the queue.
        retryTimerId = EventMonitor::shared().addTimer(deadline, [weak = weak_from_this(), queue = queue, deadline] {
            queue->async([weak, deadline] {
                if (const auto d = weak.lock())
                    d->onRetryDue(deadline);
            });
        });
    }
    if (replaced != 0)
        EventMonitor::shared().cancelTimer(replaced);
}

void DNSServiceQuery::Private::onRetryDue(DispatchTime deadline)
{
    {
        // A timer replaced after it fired leaves its successor in place.
        std::lock_guard lock(mutex);
        if (deadline == retryDeadline) {
            retryTimerId = 0;
            retryDeadline = DispatchTime::max();
        }
    }
    process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

namespace {

void onSocketState(void *data, ares_socket_t fd, int readable, int writable)
{
    static_cast<DNSServiceQuery::Private *>(data)->watchSocket(fd, readable != 0, writable != 0);
}

std::uint16_t read16(const unsigned char *p)
{
    return std::uint16_t((p[0] << 8) | p[1]);
}

// The offset after the name at offset, or 0 when the name runs past the end or is malformed.
std::size_t skipName(const unsigned char *reply, std::size_t length, std::size_t offset)
{
    for (int labels = 0; labels < 128; ++labels) {
        if (offset >= length)
            return 0;
        const unsigned char size = reply[offset];
        if ((size & 0xC0) == 0xC0)
            return offset + 2 <= length ? offset + 2 : 0;
        if ((size & 0xC0) != 0)
            return 0;
        offset += 1 + size;
        if (size == 0)
            return offset;
    }
    return 0;
}

// The error an answer ends with, and its records when there is none.
DNSServiceErrorType splitAnswer(const DNSServiceQuery::Private &d, int status, const unsigned char *reply,
                                int replyLength, std::vector<QByteArray> *records)
{
    if (status != ARES_SUCCESS)
        return DNSServiceQuery::errorForAresStatus(status);
    if (replyLength < 0 || std::size_t(replyLength) > kMaxAnswerBytes ||
        !DNSServiceQuery::answerRecords(reply, std::size_t(replyLength), d.rrtype, d.rrclass, records))
        return kDNSServiceErr_Unknown;
    return records->empty() ? kDNSServiceErr_NoSuchRecord : kDNSServiceErr_NoError;
}

void onAnswer(void *arg, int status, int, unsigned char *reply, int replyLength)
{
    auto *d = static_cast<DNSServiceQuery::Private *>(arg);
    if (d->isStarting) {
        d->hasStartAnswer = true;
        d->startStatus = status;
        return;
    }
    if (d->isCancelled)
        return;
    std::vector<QByteArray> records;
    const DNSServiceErrorType error = splitAnswer(*d, status, reply, replyLength, &records);
    if (error != kDNSServiceErr_NoError) {
        d->callback(kDNSServiceFlagsAdd, error, d->rrtype, d->rrclass, QByteArray());
        return;
    }
    // The callback may cancel the query between records.
    for (std::size_t i = 0; i < records.size() && !d->isCancelled; ++i) {
        const DNSServiceFlags flags =
            kDNSServiceFlagsAdd | (i + 1 < records.size() ? DNSServiceFlags(kDNSServiceFlagsMoreComing) : 0U);
        d->callback(flags, kDNSServiceErr_NoError, d->rrtype, d->rrclass, records[i]);
    }
}

} // namespace

// c-ares statuses as error codes:
//   ARES_ENOTFOUND (NXDOMAIN)                        -> kDNSServiceErr_NoSuchName (-65538)
//   ARES_ENODATA, an answer without such records     -> kDNSServiceErr_NoSuchRecord (-65554)
//   ARES_EREFUSED                                    -> kDNSServiceErr_Refused (-65553)
//   ARES_ECONNREFUSED (no server listening)          -> kDNSServiceErr_ServiceNotRunning (-65563)
//   ARES_ETIMEOUT                                    -> kDNSServiceErr_Timeout (-65568)
//   ARES_ENOMEM                                      -> kDNSServiceErr_NoMemory (-65539)
//   ARES_EBADNAME, ARES_EBADQUERY, ARES_EBADSTR      -> kDNSServiceErr_BadParam (-65540)
//   ARES_ECANCELLED, ARES_EDESTRUCTION               -> kDNSServiceErr_BadState (-65542)
//   anything else (bad or failed replies)            -> kDNSServiceErr_Unknown (-65537)
DNSServiceErrorType DNSServiceQuery::errorForAresStatus(int status)
{
    switch (status) {
    case ARES_SUCCESS:
        return kDNSServiceErr_NoError;
    case ARES_ENOTFOUND:
        return kDNSServiceErr_NoSuchName;
    case ARES_ENODATA:
        return kDNSServiceErr_NoSuchRecord;
    case ARES_EREFUSED:
        return kDNSServiceErr_Refused;
    case ARES_ECONNREFUSED:
        return kDNSServiceErr_ServiceNotRunning;
    case ARES_ETIMEOUT:
        return kDNSServiceErr_Timeout;
    case ARES_ENOMEM:
        return kDNSServiceErr_NoMemory;
    case ARES_EBADNAME:
    case ARES_EBADQUERY:
    case ARES_EBADSTR:
        return kDNSServiceErr_BadParam;
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
        return kDNSServiceErr_BadState;
    default:
        return kDNSServiceErr_Unknown;
    }
}

bool DNSServiceQuery::answerRecords(const unsigned char *reply, std::size_t length, std::uint16_t rrtype,
                                    std::uint16_t rrclass, std::vector<QByteArray> *records)
{
    if (length < 12)
        return false;
    const unsigned questions = read16(reply + 4);
    const unsigned answers = read16(reply + 6);
    std::size_t offset = 12;
    for (unsigned i = 0; i < questions; ++i) {
        offset = skipName(reply, length, offset);
        if (offset == 0 || offset + 4 > length)
            return false;
        offset += 4;
    }
    for (unsigned i = 0; i < answers; ++i) {
        offset = skipName(reply, length, offset);
        if (offset == 0 || offset + 10 > length)
            return false;
        const std::uint16_t type = read16(reply + offset);
        const std::uint16_t klass = read16(reply + offset + 2);
        const std::size_t dataLength = read16(reply + offset + 8);
        offset += 10;
        if (offset + dataLength > length)
            return false;
        if (type == rrtype && klass == rrclass)
            records->push_back(QByteArray(reinterpret_cast<const char *>(reply + offset), qsizetype(dataLength)));
        offset += dataLength;
    }
    return true;
}

DNSServiceQuery::DNSServiceQuery(std::shared_ptr<Private> p) : d(std::move(p)) {}

DNSServiceQuery::~DNSServiceQuery()
{
    // A handler of the query running now holds its own reference: the channel outlives its call.
    cancel();
}

std::unique_ptr<DNSServiceQuery> DNSServiceQuery::start(const QByteArray &asciiName, std::uint16_t rrtype,
                                                        std::uint16_t rrclass, const QString &servers,
                                                        std::shared_ptr<DispatchQueue> queue, Callback callback,
                                                        DNSServiceErrorType *error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    auto p = std::make_shared<Private>();
    p->queue = std::move(queue);
    p->rrtype = rrtype;
    p->rrclass = rrclass;
    ares_options options{};
    options.sock_state_cb = onSocketState;
    options.sock_state_cb_data = p.get();
    int status = ares_init_options(&p->channel, &options, ARES_OPT_SOCK_STATE_CB);
    if (status == ARES_SUCCESS && !servers.isEmpty())
        status = ares_set_servers_ports_csv(p->channel, servers.toLatin1().constData());
    if (status != ARES_SUCCESS) {
        *error = status == ARES_ENOMEM ? kDNSServiceErr_NoMemory : kDNSServiceErr_BadParam;
        return nullptr;
    }
    p->callback = std::move(callback);
    ares_query(p->channel, asciiName.constData(), rrclass, rrtype, onAnswer, p.get());
    p->isStarting = false;
    if (p->hasStartAnswer) {
        const DNSServiceErrorType code = errorForAresStatus(p->startStatus);
        *error = code != kDNSServiceErr_NoError ? code : kDNSServiceErr_Unknown;
        return nullptr;
    }
    *error = kDNSServiceErr_NoError;
    p->armRetry();
    return std::unique_ptr<DNSServiceQuery>(new DNSServiceQuery(std::move(p)));
}

void DNSServiceQuery::cancel()
{
    d->stopWatching();
}

} // namespace platform::dnssd
