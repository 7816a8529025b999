#include "platform/restkit/RKReachabilityObserver.h"

#include "platform/network/NetworkState.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace platform {

RKReachabilityObserver::RKReachabilityObserver(QString host, quint16 port) : m_host(std::move(host)), m_port(port) {}

bool RKReachabilityObserver::isLoopbackHost() const
{
    if (m_host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(m_host);
    return !address.isNull() && address.isLoopback();
}

bool RKReachabilityObserver::isNetworkReachable() const
{
    // The same reading of the interfaces as the reachability monitors'.
    const bool wantLoopback = isLoopbackHost();
    net::NetworkState state;
    if (!net::readNetworkState(&state))
        return false;
    return std::any_of(state.addresses.begin(), state.addresses.end(), [&](const net::NetworkAddress &address) {
        const net::NetworkLink *link = state.link(address.linkIndex);
        return link != nullptr && link->isLoopback == wantLoopback && state.isLinkActive(address.linkIndex);
    });
}

bool RKReachabilityObserver::checkHostReachable(std::chrono::milliseconds timeout)
{
    QTcpSocket socket;
    socket.connectToHost(m_host, m_port);
    const bool connected = socket.waitForConnected(int(std::clamp<qint64>(timeout.count(), 1, 600000)));
    socket.abort();
    m_lastHostCheck.store(connected);
    return connected;
}

} // namespace platform
