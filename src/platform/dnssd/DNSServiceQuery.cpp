// The record query over c-ares: its sockets and its retry timer gathered behind one epoll
// descriptor, and the answers split into records.
#include "platform/dnssd/DNSServiceQuery.h"

#include <ares.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform::dnssd {

struct DNSServiceQuery::Private
{
    ares_channel channel = nullptr;
    int epollFd = -1;
    int timerFd = -1;
    std::uint16_t rrtype = 0;
    std::uint16_t rrclass = 0;
    Callback callback;
    // The c-ares sockets in the epoll set, so that each is added once and modified afterwards.
    std::vector<int> watchedSockets;
    // Set while the channel is destroyed: its sockets leave with the epoll descriptor, one by one
    // would cost a system call each.
    bool isClosing = false;

    ~Private()
    {
        callback = nullptr;
        isClosing = true;
        if (channel != nullptr)
            ares_destroy(channel);
        if (timerFd != -1)
            ::close(timerFd);
        if (epollFd != -1)
            ::close(epollFd);
    }
};

namespace {

void onSocketState(void *data, ares_socket_t fd, int readable, int writable)
{
    auto *d = static_cast<DNSServiceQuery::Private *>(data);
    if (d->isClosing)
        return;
    epoll_event event{};
    event.data.fd = fd;
    event.events = (readable != 0 ? EPOLLIN : 0U) | (writable != 0 ? EPOLLOUT : 0U);
    const auto watched = std::find(d->watchedSockets.begin(), d->watchedSockets.end(), fd);
    if (readable == 0 && writable == 0) {
        if (watched != d->watchedSockets.end())
            d->watchedSockets.erase(watched);
        ::epoll_ctl(d->epollFd, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    // The other operation only when the first fails: a socket number reused unseen.
    const bool isWatched = watched != d->watchedSockets.end();
    if (::epoll_ctl(d->epollFd, isWatched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0)
        ::epoll_ctl(d->epollFd, isWatched ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
    if (!isWatched)
        d->watchedSockets.push_back(fd);
}

// Arms the timer descriptor for c-ares' next retry, or disarms it.
void armTimer(DNSServiceQuery::Private *d)
{
    timeval buffer{};
    const timeval *next = ares_timeout(d->channel, nullptr, &buffer);
    itimerspec deadline{};
    if (next != nullptr) {
        deadline.it_value.tv_sec = next->tv_sec;
        deadline.it_value.tv_nsec = long(next->tv_usec) * 1000;
        if (deadline.it_value.tv_sec == 0 && deadline.it_value.tv_nsec == 0)
            deadline.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(d->timerFd, 0, &deadline, nullptr);
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

void onAnswer(void *arg, int status, int, unsigned char *reply, int replyLength)
{
    auto *d = static_cast<DNSServiceQuery::Private *>(arg);
    if (!d->callback)
        return;
    std::vector<QByteArray> records;
    DNSServiceErrorType error = DNSServiceQuery::errorForAresStatus(status);
    if (status == ARES_SUCCESS) {
        if (replyLength < 0 || std::size_t(replyLength) > kMaxAnswerBytes ||
            !DNSServiceQuery::answerRecords(reply, std::size_t(replyLength), d->rrtype, d->rrclass, &records))
            error = kDNSServiceErr_Unknown;
        else if (records.empty())
            error = kDNSServiceErr_NoSuchRecord;
    }
    if (error != kDNSServiceErr_NoError) {
        d->callback(kDNSServiceFlagsAdd, error, d->rrtype, d->rrclass, QByteArray());
        return;
    }
    // The callback may cancel the query (clearing it) between records.
    for (std::size_t i = 0; i < records.size() && d->callback; ++i) {
        const DNSServiceFlags flags = kDNSServiceFlagsAdd | (i + 1 < records.size() ? DNSServiceFlags(kDNSServiceFlagsMoreComing) : 0U);
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

DNSServiceQuery::DNSServiceQuery(std::unique_ptr<Private> p) : d(std::move(p)) {}

DNSServiceQuery::~DNSServiceQuery() = default;

std::unique_ptr<DNSServiceQuery> DNSServiceQuery::start(const QByteArray &asciiName, std::uint16_t rrtype,
                                                        std::uint16_t rrclass, const QString &servers,
                                                        Callback callback, DNSServiceErrorType *error)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    auto p = std::make_unique<Private>();
    p->rrtype = rrtype;
    p->rrclass = rrclass;
    p->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    p->timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    *error = kDNSServiceErr_NoError;
    if (p->epollFd == -1 || p->timerFd == -1) {
        *error = kDNSServiceErr_NoMemory;
        return nullptr;
    }
    epoll_event timerEvent{};
    timerEvent.events = EPOLLIN;
    timerEvent.data.fd = p->timerFd;
    ::epoll_ctl(p->epollFd, EPOLL_CTL_ADD, p->timerFd, &timerEvent);
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
    armTimer(p.get());
    return std::unique_ptr<DNSServiceQuery>(new DNSServiceQuery(std::move(p)));
}

void DNSServiceQuery::cancel()
{
    d->callback = nullptr;
}

int DNSServiceQuery::fd() const
{
    return d->epollFd;
}

DNSServiceErrorType DNSServiceQuery::processResult()
{
    epoll_event events[16];
    const int count = ::epoll_wait(d->epollFd, events, 16, 0);
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == d->timerFd) {
            std::uint64_t expirations = 0;
            (void)::read(d->timerFd, &expirations, sizeof expirations);
            ares_process_fd(d->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        } else {
            ares_process_fd(d->channel, (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0 ? fd : ARES_SOCKET_BAD,
                            (events[i].events & EPOLLOUT) != 0 ? fd : ARES_SOCKET_BAD);
        }
    }
    if (d->channel != nullptr)
        armTimer(d.get());
    return kDNSServiceErr_NoError;
}

} // namespace platform::dnssd
