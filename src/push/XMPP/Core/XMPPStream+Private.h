#pragma once

// What the stream's files share: its callback object for the socket and the SRV resolver, its utility
// run loop and the delegate posting helper.

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/Utilities/XMPPSRVResolver.h"
#include "push/XMPP/Core/XMPPStream.h"

#include <condition_variable>
#include <deque>

// The bits of the stream's flags and config.
enum : std::uint8_t {
    kP2PInitiator = 1 << 0,
    kIsSecure = 1 << 1,
    kIsAuthenticated = 1 << 2,
    kDidStartNegotiation = 1 << 3,
};

enum : std::uint8_t {
    kP2PMode = 1 << 0,
    kResetByteCountPerConnection = 1 << 1,
};

// The socket's and the SRV resolver's delegate. Both hold their delegate as a plain pointer and call it
// on xmppQueue; this object reaches the stream only while the stream still lives.
class XMPPStream::Callbacks final : public GCDAsyncSocketDelegate, public XMPPSRVResolverDelegate
{
public:
    explicit Callbacks(std::weak_ptr<XMPPStream> stream) : m_stream(std::move(stream)) {}

    void socketDidConnectToHost(GCDAsyncSocket *sock, const QString &host, quint16 port) override;
    void socketDidDisconnect(GCDAsyncSocket *sock, const platform::PlatformError &err) override;
    void srvResolverDidResolveRecords(XMPPSRVResolver *sender, const std::vector<XMPPSRVRecord> &records) override;
    void srvResolverDidNotResolveDueToError(XMPPSRVResolver *sender, const platform::PlatformError &error) override;

private:
    const std::weak_ptr<XMPPStream> m_stream;
};

// The run loop of the stream's utility thread: runs the blocks performed on it, in order, until it is
// stopped. It keeps no reference to the stream. Thread-safe.
class XMPPStream::UtilityRunLoop final
{
public:
    void perform(std::function<void()> block);
    // Ends the loop once the blocks before it have run.
    void stop();
    // The thread's body.
    void run();

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_blocks;
    bool m_isCancelled = false;
};

template <typename Call> void XMPPStream::notifyDelegates(XMPPStreamDelegateOperation operation, Call call)
{
    // The posted calls keep the stream alive until they have run.
    m_multicastDelegate.invoke<XMPPStreamDelegate>(
        operation, [self = shared_from_this(), call = std::move(call)](XMPPStreamDelegate &delegate) {
            call(delegate, self.get());
        });
}
