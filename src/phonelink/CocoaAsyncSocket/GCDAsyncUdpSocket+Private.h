#pragma once

// What the files of GCDAsyncUdpSocket share and nothing else includes: the send queue's packets, the
// state flags and the socket address helpers that serve both address families through one path.

#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cstddef>
#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>

// One operation of the send queue: a datagram or a connect request.
class GCDAsyncUdpPacket
{
public:
    virtual ~GCDAsyncUdpPacket() = default;

    bool resolveInProgress = false;
};

// One datagram waiting to be sent.
class GCDAsyncUdpSendPacket final : public GCDAsyncUdpPacket
{
public:
    GCDAsyncUdpSendPacket(QByteArray data, double timeout, long tag)
        : buffer(std::move(data)), timeout(timeout), tag(tag)
    {
    }

    const QByteArray buffer;
    const double timeout;
    const long tag;
    bool filterInProgress = false;
    QList<QByteArray> resolvedAddresses;
    platform::PlatformError resolveError;
    QByteArray address;
    int addressFamily = 0;
};

// A connect request, queued with the datagrams so that connects and sends happen in the order asked.
class GCDAsyncUdpSpecialPacket final : public GCDAsyncUdpPacket
{
public:
    QList<QByteArray> addresses;
    platform::PlatformError error;
};

template <typename Block>
void GCDAsyncUdpSocket::setFilter(Filter<Block> GCDAsyncUdpSocket::*filter, Block block,
                                  std::shared_ptr<platform::DispatchQueue> queue, bool isAsynchronous)
{
    HM_ASSERT(!block || queue, QStringLiteral("Must provide a dispatch_queue in which to run the filter block."));
    if (!block)
        queue.reset();
    queueOnSocketQueue([filter, replacement = Filter<Block>{std::move(block), std::move(queue), isAsynchronous}](
                           GCDAsyncUdpSocket &socket) { socket.*filter = replacement; });
}

namespace udpsocket {

// The socket's state (m_flags). What belongs to one family's descriptor lives in its FamilySocket.
enum : std::uint32_t {
    kDidCreateSockets = 1 << 0,
    kDidBind = 1 << 1,
    kConnecting = 1 << 2,
    kDidConnect = 1 << 3,
    kReceiveOnce = 1 << 4,
    kReceiveContinuous = 1 << 5,
    kIPv4Deactivated = 1 << 6,
    kIPv6Deactivated = 1 << 7,
    kCloseAfterSends = 1 << 15,
    kFlipFlop = 1 << 16,
};

// The configuration (m_config), besides the family bits of AsyncSocketBase.
enum : std::uint16_t {
    kPreferIPv4 = 1 << 2,
    kPreferIPv6 = 1 << 3,
};

// The two families, in the order every loop over them takes.
inline constexpr std::array<int, 2> kFamilies{AF_INET, AF_INET6};

inline int otherFamily(int family)
{
    return family == AF_INET ? AF_INET6 : AF_INET;
}

// "IPv4" or "IPv6", as the error messages name a family.
QString familyName(int family);
std::uint32_t deactivatedFlag(int family);
std::uint16_t preferredFlag(int family);

// The address helpers both asynchronous sockets share.
using namespace platform::net;

} // namespace udpsocket
