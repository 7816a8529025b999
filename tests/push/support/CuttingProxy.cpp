#include "CuttingProxy.h"

#include "LoopbackPorts.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

void closeWith(int fd, CuttingProxy::Cut cut)
{
    if (cut == CuttingProxy::Cut::Reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(fd);
}

bool sendAll(int fd, const char *bytes, ssize_t count)
{
    while (count > 0) {
        const ssize_t sent = ::send(fd, bytes, std::size_t(count), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        count -= sent;
    }
    return true;
}

} // namespace

CuttingProxy::CuttingProxy(quint16 targetPort) : m_targetPort(targetPort)
{
    m_port = looptest::listenOnLoopback(m_listenFd);
    if (m_port != 0)
        m_thread = std::thread([this] { serve(); });
}

CuttingProxy::~CuttingProxy()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listenFd);
}

void CuttingProxy::serve()
{
    while (!m_stop) {
        pollfd listening{m_listenFd, POLLIN, 0};
        if (::poll(&listening, 1, 50) <= 0)
            continue;
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++m_connections;
        relay(client);
    }
}

// One connection at a time: the push client keeps one.
void CuttingProxy::relay(int client)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = loopback(m_targetPort);
    if (::connect(server, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
        ::close(server);
        closeWith(client, Cut::Reset);
        return;
    }
    char buffer[65536];
    while (!m_stop) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, 50) <= 0)
            continue;
        if ((ends[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t count = ::read(client, buffer, sizeof buffer);
            if (count <= 0 || !sendAll(server, buffer, count))
                break;
        }
        if ((ends[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t count = ::read(server, buffer, sizeof buffer);
            if (count <= 0)
                break;
            const Cut cut = m_cut.exchange(Cut::None);
            if (cut != Cut::None) {
                sendAll(client, buffer, std::max<ssize_t>(1, count / 2));
                ++m_cuts;
                closeWith(client, cut);
                closeWith(server, cut);
                return;
            }
            if (!sendAll(client, buffer, count))
                break;
        }
    }
    ::close(client);
    ::close(server);
}
