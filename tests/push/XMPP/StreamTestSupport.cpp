#include "StreamTestSupport.h"

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPMessage.h"
#include "push/XMPP/Core/XMPPModule.h"
#include "push/XMPP/Core/XMPPPresence.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::DispatchQueue;
using platform::PlatformError;

namespace streamtest {

StreamRecorder::StreamRecorder(std::shared_ptr<DispatchQueue> queue, bool recordsTraffic)
    : XMPPStreamDelegate({XMPPStreamWillConnectOp, XMPPStreamSocketDidConnectOp, XMPPStreamWasToldToDisconnectOp,
                          XMPPStreamDidDisconnectOp, XMPPStreamDidRegisterModuleOp, XMPPStreamWillUnregisterModuleOp}),
      m_queue(queue ? std::move(queue) : DispatchQueue::createSerial(QStringLiteral("stream recorder")))
{
    if (!recordsTraffic)
        return;
    setImplemented({XMPPStreamWillConnectOp, XMPPStreamSocketDidConnectOp, XMPPStreamWasToldToDisconnectOp,
                          XMPPStreamDidDisconnectOp, XMPPStreamDidRegisterModuleOp, XMPPStreamWillUnregisterModuleOp,
                          XMPPStreamDidStartNegotiationOp, XMPPStreamWillSecureWithSettingsOp, XMPPStreamDidSecureOp,
                          XMPPStreamDidConnectOp, XMPPStreamDidRegisterOp, XMPPStreamDidNotRegisterOp,
                          XMPPStreamDidAuthenticateOp, XMPPStreamDidNotAuthenticateOp, XMPPStreamDidReceiveErrorOp,
                          XMPPStreamDidReceiveIQOp, XMPPStreamDidReceiveMessageOp, XMPPStreamDidReceivePresenceOp,
                          XMPPStreamDidSendPresenceOp});
}

void StreamRecorder::record(const QString &event)
{
    if (!m_queue->isCurrent())
        m_ranOffItsQueue = true;
    const std::lock_guard lock(m_mutex);
    m_events.append(event);
    m_changed.notify_all();
}

void StreamRecorder::xmppStreamWillConnect(XMPPStream *)
{
    record(QStringLiteral("willConnect"));
}

void StreamRecorder::xmppStreamSocketDidConnect(XMPPStream *, GCDAsyncSocket *socket)
{
    record(QStringLiteral("socketDidConnect:%1").arg(socket->connectedPort()));
}

void StreamRecorder::xmppStreamWasToldToDisconnect(XMPPStream *)
{
    record(QStringLiteral("wasToldToDisconnect"));
}

void StreamRecorder::xmppStreamDidDisconnect(XMPPStream *, const PlatformError &error)
{
    {
        const std::lock_guard lock(m_mutex);
        m_errors.push_back(error);
    }
    record(error.isNull() ? QStringLiteral("didDisconnect")
                          : QStringLiteral("didDisconnect:%1:%2").arg(error.domain()).arg(error.code()));
}

void StreamRecorder::xmppStreamDidRegisterModule(XMPPStream *, XMPPModule *module)
{
    record(QStringLiteral("didRegisterModule:") + module->moduleName());
}

void StreamRecorder::xmppStreamWillUnregisterModule(XMPPStream *, XMPPModule *module)
{
    record(QStringLiteral("willUnregisterModule:") + module->moduleName());
}

void StreamRecorder::xmppStreamDidStartNegotiation(XMPPStream *)
{
    record(QStringLiteral("didStartNegotiation"));
}

void StreamRecorder::setTLSSettings(const QVariantMap &settings)
{
    const std::lock_guard lock(m_mutex);
    m_tlsSettings = settings;
}

void StreamRecorder::xmppStreamWillSecureWithSettings(XMPPStream *, QVariantMap &settings)
{
    const std::lock_guard lock(m_mutex);
    for (auto it = m_tlsSettings.begin(); it != m_tlsSettings.end(); ++it)
        settings.insert(it.key(), it.value());
}

void StreamRecorder::xmppStreamDidSecure(XMPPStream *)
{
    record(QStringLiteral("didSecure"));
}

void StreamRecorder::xmppStreamDidConnect(XMPPStream *)
{
    record(QStringLiteral("didConnect"));
}

void StreamRecorder::xmppStreamDidRegister(XMPPStream *)
{
    record(QStringLiteral("didRegister"));
}

void StreamRecorder::xmppStreamDidNotRegister(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &)
{
    record(QStringLiteral("didNotRegister"));
}

void StreamRecorder::xmppStreamDidAuthenticate(XMPPStream *)
{
    record(QStringLiteral("didAuthenticate"));
}

void StreamRecorder::xmppStreamDidNotAuthenticate(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &error)
{
    record(QStringLiteral("didNotAuthenticate:") + error->name() + QLatin1Char(':') + compactXMLString(*error));
}

void StreamRecorder::xmppStreamDidReceiveError(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &error)
{
    record(QStringLiteral("didReceiveError:") + compactXMLString(*error));
}

bool StreamRecorder::xmppStreamDidReceiveIQ(XMPPStream *, const std::shared_ptr<XMPPIQ> &iq)
{
    record(QStringLiteral("didReceiveIQ:") + compactXMLString(*iq->element()));
    return false;
}

void StreamRecorder::xmppStreamDidReceiveMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &message)
{
    record(QStringLiteral("didReceiveMessage:") + compactXMLString(*message->element()));
}

void StreamRecorder::xmppStreamDidReceivePresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &presence)
{
    record(QStringLiteral("didReceivePresence:") + compactXMLString(*presence->element()));
}

void StreamRecorder::xmppStreamDidSendPresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &)
{
    record(QStringLiteral("didSendPresence"));
}

QStringList StreamRecorder::events() const
{
    // A copy of its own, not one sharing the list's memory: Qt tests that sharing with a relaxed
    // load, so a caller reading its copy after the recorder grew the list in place on a delegate
    // queue is a data race to ThreadSanitizer.
    const std::lock_guard lock(m_mutex);
    return QStringList(m_events.cbegin(), m_events.cend());
}

std::vector<PlatformError> StreamRecorder::errors() const
{
    const std::lock_guard lock(m_mutex);
    return m_errors;
}

int StreamRecorder::countOf(const QString &prefix) const
{
    const std::lock_guard lock(m_mutex);
    int count = 0;
    for (const QString &event : m_events)
        count += event.startsWith(prefix) ? 1 : 0;
    return count;
}

bool StreamRecorder::waitFor(const QString &prefix, int count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] {
        int found = 0;
        for (const QString &event : m_events)
            found += event.startsWith(prefix) ? 1 : 0;
        return found >= count;
    });
}

void StreamRecorder::clear()
{
    const std::lock_guard lock(m_mutex);
    m_events.clear();
    m_errors.clear();
}

// ---- Listener ----

namespace {

int listeningSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

Listener::Listener()
{
    m_fd = listeningSocket(&m_port);
    m_thread = std::thread([this] { serve(); });
}

Listener::~Listener()
{
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
}

// One connection at a time: read it until the peer closes it, then take the next.
void Listener::serve()
{
    int client = -1;
    while (!m_stop) {
        pollfd poll{client >= 0 ? client : m_fd, POLLIN, 0};
        if (::poll(&poll, 1, 20) <= 0)
            continue;
        if (client < 0) {
            client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            m_accepted += client >= 0 ? 1 : 0;
            continue;
        }
        char buffer[4096];
        const ssize_t count = ::read(client, buffer, sizeof buffer);
        if (count <= 0) {
            ::close(client);
            client = -1;
            continue;
        }
        const std::lock_guard lock(m_mutex);
        m_received.append(buffer, count);
    }
    if (client >= 0)
        ::close(client);
}

QByteArray Listener::received() const
{
    const std::lock_guard lock(m_mutex);
    return m_received;
}

bool Listener::waitForReceived(int bytes, std::chrono::milliseconds limit) const
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (received().size() < bytes) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Listener::waitForAccepted(int count, std::chrono::milliseconds limit) const
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_accepted < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

quint16 Listener::refusedPort()
{
    quint16 port = 0;
    const int fd = listeningSocket(&port);
    ::close(fd);
    return port;
}

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace streamtest
