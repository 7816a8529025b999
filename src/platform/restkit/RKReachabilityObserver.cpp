#include "platform/restkit/RKReachabilityObserver.h"

#include "platform/network/NetworkState.h"

#include <algorithm>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace platform {

namespace {

// Whether the text is a loopback address. Read with the C library rather than Qt Network, so that
// programs which only sync over HTTP never load Qt Network and the libraries it brings at start-up.
bool isLoopbackAddressText(const QString &text)
{
    const QByteArray bytes = text.trimmed().toLatin1();
    in_addr ipv4 = {};
    if (::inet_pton(AF_INET, bytes.constData(), &ipv4) == 1)
        return (ntohl(ipv4.s_addr) >> 24) == 127;
    in6_addr ipv6 = {};
    if (::inet_pton(AF_INET6, bytes.constData(), &ipv6) != 1)
        return false;
    if (IN6_IS_ADDR_LOOPBACK(&ipv6))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127;
}

} // namespace

RKReachabilityObserver::RKReachabilityObserver(QString host, quint16 port) : m_host(std::move(host)), m_port(port) {}

bool RKReachabilityObserver::isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    return isLoopbackAddressText(host);
}

bool RKReachabilityObserver::isNetworkReachable() const
{
    // The same reading of the interfaces as the reachability monitors'.
    const bool wantLoopback = isLoopbackHost(m_host);
    net::NetworkState state;
    if (!net::readNetworkState(&state))
        return false;
    return std::any_of(state.addresses.begin(), state.addresses.end(), [&](const net::NetworkAddress &address) {
        const net::NetworkLink *link = state.link(address.linkIndex);
        return link != nullptr && link->isLoopback == wantLoopback && state.isLinkActive(address.linkIndex);
    });
}

} // namespace platform
