#pragma once

// What the stream's tests share: a delegate recording every report it gets, and plain loopback
// listeners for the stream to connect to.

#include "push/XMPP/Core/XMPPStream.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace streamtest {

// Records the stream's reports as short words ("willConnect", "socketDidConnect:<port>",
// "wasToldToDisconnect", "didDisconnect", "didDisconnect:<domain>:<code>", ...), with the queue
// each ran on checked against its own.
class StreamRecorder final : public XMPPStreamDelegate
{
public:
    // Without recordsTraffic only the connecting reports are implemented (the first six above).
    explicit StreamRecorder(std::shared_ptr<platform::DispatchQueue> queue = {}, bool recordsTraffic = false);

    const std::shared_ptr<platform::DispatchQueue> &queue() const { return m_queue; }

    void xmppStreamWillConnect(XMPPStream *sender) override;
    void xmppStreamSocketDidConnect(XMPPStream *sender, GCDAsyncSocket *socket) override;
    void xmppStreamWasToldToDisconnect(XMPPStream *sender) override;
    void xmppStreamDidDisconnect(XMPPStream *sender, const platform::PlatformError &error) override;
    void xmppStreamDidRegisterModule(XMPPStream *sender, XMPPModule *module) override;
    void xmppStreamWillUnregisterModule(XMPPStream *sender, XMPPModule *module) override;
    // The negotiation and the traffic: "didStartNegotiation", "didSecure", "didConnect", "didRegister",
    // "didNotRegister", "didAuthenticate", "didNotAuthenticate:<name>", "didReceiveError:<xml>",
    // "didReceiveMessage:<xml>", "didReceiveIQ:<xml>", "didReceivePresence:<xml>", "didSendPresence".
    void xmppStreamDidStartNegotiation(XMPPStream *sender) override;
    void xmppStreamWillSecureWithSettings(XMPPStream *sender, QVariantMap &settings) override;
    void xmppStreamDidSecure(XMPPStream *sender) override;
    void xmppStreamDidConnect(XMPPStream *sender) override;
    void xmppStreamDidRegister(XMPPStream *sender) override;
    void xmppStreamDidNotRegister(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error) override;
    void xmppStreamDidAuthenticate(XMPPStream *sender) override;
    void xmppStreamDidNotAuthenticate(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error) override;
    void xmppStreamDidReceiveError(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error) override;
    bool xmppStreamDidReceiveIQ(XMPPStream *sender, const std::shared_ptr<XMPPIQ> &iq) override;
    void xmppStreamDidReceiveMessage(XMPPStream *sender, const std::shared_ptr<XMPPMessage> &message) override;
    void xmppStreamDidReceivePresence(XMPPStream *sender, const std::shared_ptr<XMPPPresence> &presence) override;
    void xmppStreamDidSendPresence(XMPPStream *sender, const std::shared_ptr<XMPPPresence> &presence) override;

    // The TLS settings the recorder hands the stream (none by default: the stream's own defaults).
    void setTLSSettings(const QVariantMap &settings);

    QStringList events() const;
    std::vector<platform::PlatformError> errors() const;
    bool ranOffItsQueue() const { return m_ranOffItsQueue; }
    // Waits until an event starts with the prefix (at least count of them); false after the limit.
    bool waitFor(const QString &prefix, int count = 1, std::chrono::milliseconds limit = std::chrono::seconds(20));
    int countOf(const QString &prefix) const;
    void clear();

    void record(const QString &event);

private:
    std::shared_ptr<platform::DispatchQueue> m_queue;
    QVariantMap m_tlsSettings;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_events;
    std::vector<platform::PlatformError> m_errors;
    std::atomic<bool> m_ranOffItsQueue{false};
};

// Answers a bind conflict with a fixed resource (a null text: no answer).
class AlternativeResource final : public XMPPStreamDelegate
{
public:
    explicit AlternativeResource(QString answer)
        : XMPPStreamDelegate({XMPPStreamAlternativeResourceForConflictingResourceOp}), m_answer(std::move(answer))
    {
    }
    QString xmppStreamAlternativeResourceForConflictingResource(XMPPStream *, const QString &) override
    {
        return m_answer;
    }

private:
    QString m_answer;
};

// A loopback TCP listener that accepts each connection and holds it until the peer closes it,
// keeping what the peer sent. close() stops it; refusedPort() gives a port nothing listens on.
class Listener
{
public:
    Listener();
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    quint16 port() const { return m_port; }
    int accepted() const { return m_accepted; }
    // Waits until at least count connections were accepted.
    bool waitForAccepted(int count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    QByteArray received() const;
    bool waitForReceived(int bytes, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    static quint16 refusedPort();

private:
    void serve();

    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};

// Open descriptors and threads of this process.
int openDescriptorCount();
int threadCount();

} // namespace streamtest
