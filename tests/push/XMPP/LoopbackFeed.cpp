#include "LoopbackFeed.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace xmpptest {

namespace {

class Descriptor final
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    void adopt(int fd)
    {
        reset();
        m_fd = fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// A connected pair of TCP sockets on loopback: the sending and the receiving end.
bool connectPair(Descriptor &sending, Descriptor &receiving)
{
    Descriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener.get() < 0 || ::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    Descriptor client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (client.get() < 0 || ::connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        return false;
    Descriptor accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (accepted.get() < 0)
        return false;
    const int on = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sending.adopt(::dup(client.get()));
    receiving.adopt(::dup(accepted.get()));
    return sending.get() >= 0 && receiving.get() >= 0;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        sent += written;
    }
    return true;
}

bool receiveAll(int fd, QByteArray &bytes)
{
    qsizetype received = 0;
    while (received < bytes.size()) {
        const ssize_t read = ::recv(fd, bytes.data() + received, size_t(bytes.size() - received), MSG_WAITALL);
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            return false;
        received += read;
    }
    return true;
}

// The lengths of the pieces sent, for the receiving side; nullopt marks the end.
class LengthQueue final
{
public:
    void push(std::optional<qsizetype> length)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_lengths.push_back(length);
        }
        m_changed.notify_one();
    }
    std::optional<qsizetype> pop()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_lengths.empty(); });
        const std::optional<qsizetype> length = m_lengths.front();
        m_lengths.pop_front();
        return length;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::optional<qsizetype>> m_lengths;
};

} // namespace

bool LoopbackFeed::carry(const Source &source, const Consumer &consumer)
{
    Descriptor sending;
    Descriptor receiving;
    if (!connectPair(sending, receiving))
        return false;
    LengthQueue lengths;
    bool sentAll = false;
    std::thread writer([&] {
        for (QByteArray piece = source(); !piece.isEmpty(); piece = source()) {
            lengths.push(piece.size());
            if (!sendAll(sending.get(), piece)) {
                lengths.push(std::nullopt);
                return;
            }
        }
        sentAll = true;
        lengths.push(std::nullopt);
    });
    bool isIntact = true;
    bool stopped = false;
    for (std::optional<qsizetype> length = lengths.pop(); length; length = lengths.pop()) {
        if (stopped)
            continue; // drains the lengths until the writer has noticed
        QByteArray piece(*length, Qt::Uninitialized);
        if (!receiveAll(receiving.get(), piece)) {
            isIntact = false;
            stopped = true;
        } else if (!consumer(piece)) {
            stopped = true;
        }
        if (stopped)
            receiving.reset(); // unread data makes the close a reset, which stops the writer
    }
    writer.join();
    return stopped ? isIntact : sentAll;
}

bool LoopbackFeed::carry(const QByteArray &stream, const std::vector<qsizetype> &cuts, const Consumer &consumer)
{
    size_t nextCut = 0;
    qsizetype position = 0;
    const Source source = [&]() -> QByteArray {
        if (position >= stream.size())
            return QByteArray();
        const qsizetype end = nextCut < cuts.size() ? cuts[nextCut++] : stream.size();
        const QByteArray piece = stream.mid(position, end - position);
        position = end;
        return piece;
    };
    return carry(source, consumer);
}

std::vector<qsizetype> LoopbackFeed::randomCuts(qsizetype size, int pieces, std::mt19937 &random)
{
    if (size < 2)
        return {};
    std::uniform_int_distribution<qsizetype> point(1, size - 1);
    std::set<qsizetype> cuts;
    for (int index = 0; index + 1 < pieces; ++index)
        cuts.insert(point(random));
    return std::vector<qsizetype>(cuts.begin(), cuts.end());
}

std::vector<qsizetype> LoopbackFeed::everyByte(qsizetype size)
{
    std::vector<qsizetype> cuts;
    for (qsizetype position = 1; position < size; ++position)
        cuts.push_back(position);
    return cuts;
}

} // namespace xmpptest
