#include "ScriptedXmppServer.h"

#include "LoopbackPorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

ScriptedXmppServer::ScriptedXmppServer(std::vector<Step> steps) : m_steps(std::move(steps))
{
    m_port = looptest::listenOnLoopback(m_listenFd);
    if (m_port != 0)
        m_thread = std::thread([this] { serve(); });
}

ScriptedXmppServer::~ScriptedXmppServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listenFd);
}

QByteArray ScriptedXmppServer::streamHeader(const QByteArray &id, const QByteArray &version)
{
    return "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/"
           "streams' from='localhost' id='" +
           id + "' version='" + version + "'>";
}

void ScriptedXmppServer::serve()
{
    while (!m_stop) {
        pollfd listening{m_listenFd, POLLIN, 0};
        if (::poll(&listening, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_connections;
        {
            const std::lock_guard lock(m_mutex);
            m_clientFd = fd;
        }
        play(fd);
        {
            const std::lock_guard lock(m_mutex);
            m_clientFd = -1;
        }
        ::close(fd);
    }
}

void ScriptedXmppServer::play(int fd)
{
    qsizetype from = 0;
    {
        const std::lock_guard lock(m_mutex);
        from = m_received.size();
    }
    const Writer write = [this, fd](const QByteArray &bytes) { return writeAll(fd, bytes); };
    for (const Step &step : m_steps) {
        if (!readUntil(fd, step.expect, from))
            return;
        if (!step.reply.isEmpty() && !writeAll(fd, step.reply))
            return;
        if (step.action)
            step.action(write);
        if (step.close) {
            ::shutdown(fd, SHUT_WR);
            break;
        }
    }
    // Reads on until the client closes.
    readUntil(fd, QByteArray("\x01never\x01"), from);
}

bool ScriptedXmppServer::readUntil(int fd, const QByteArray &expect, qsizetype &from)
{
    char buffer[65536];
    while (!m_stop) {
        {
            const std::lock_guard lock(m_mutex);
            const qsizetype at = expect.isEmpty() ? from : m_received.indexOf(expect, from);
            if (at >= 0) {
                from = at + expect.size();
                return true;
            }
        }
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 50) <= 0)
            continue;
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0)
            return false;
        const std::lock_guard lock(m_mutex);
        m_received.append(buffer, count);
        m_changed.notify_all();
    }
    return false;
}

bool ScriptedXmppServer::writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size() && !m_stop) {
        const ssize_t count = ::send(fd, bytes.constData() + done, std::size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (count < 0)
            return false;
        done += count;
    }
    return done == bytes.size();
}

QByteArray ScriptedXmppServer::received() const
{
    const std::lock_guard lock(m_mutex);
    return m_received;
}

bool ScriptedXmppServer::waitForReceived(const QByteArray &text, int count, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_received.count(text) >= count; });
}

bool ScriptedXmppServer::send(const QByteArray &bytes)
{
    const std::lock_guard lock(m_mutex);
    return m_clientFd >= 0 && ::send(m_clientFd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}
