// Reading rtnetlink: one dump per kind (links, addresses, routes), each message and attribute
// length-checked as it is parsed.
#include "platform/network/NetworkState.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {
namespace {

constexpr std::size_t kReceiveBytes = 64 * 1024;
// A dump larger than this is cut off: no machine has that many interfaces and routes.
constexpr int kMaxMessages = 100000;

void parseLink(const nlmsghdr *header, NetworkState *state)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return;
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(header));
    NetworkLink link;
    link.index = info->ifi_index;
    link.isUp = (info->ifi_flags & IFF_UP) != 0;
    link.isRunning = (info->ifi_flags & IFF_RUNNING) != 0;
    link.isLoopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
    state->links.push_back(link);
}

void parseAddress(const nlmsghdr *header, NetworkState *state)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return;
    const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(header));
    int length = int(header->nlmsg_len - NLMSG_LENGTH(sizeof(ifaddrmsg)));
    QByteArray address;
    for (const rtattr *attribute = IFA_RTA(info); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == IFA_LOCAL || (attribute->rta_type == IFA_ADDRESS && address.isEmpty()))
            address = QByteArray(static_cast<const char *>(RTA_DATA(attribute)), qsizetype(RTA_PAYLOAD(attribute)));
    }
    const qsizetype expected = info->ifa_family == AF_INET ? 4 : 16;
    if (address.size() == expected)
        state->addresses.push_back({info->ifa_family, int(info->ifa_index), address});
}

void parseRoute(const nlmsghdr *header, NetworkState *state)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return;
    const auto *info = static_cast<const rtmsg *>(NLMSG_DATA(header));
    if (info->rtm_table != RT_TABLE_MAIN || info->rtm_type != RTN_UNICAST)
        return;
    NetworkRoute route;
    route.family = info->rtm_family;
    route.prefixLength = info->rtm_dst_len;
    int length = int(header->nlmsg_len - NLMSG_LENGTH(sizeof(rtmsg)));
    for (const rtattr *attribute = RTM_RTA(info); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        const auto *data = static_cast<const char *>(RTA_DATA(attribute));
        if (attribute->rta_type == RTA_DST)
            route.destination = QByteArray(data, qsizetype(RTA_PAYLOAD(attribute)));
        else if (attribute->rta_type == RTA_GATEWAY)
            route.hasGateway = true;
        else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int))
            std::memcpy(&route.linkIndex, data, sizeof(int));
    }
    state->routes.push_back(route);
}

// One dump request and its replies; false on a socket failure.
bool dump(int fd, std::uint16_t type, int family, NetworkState *state)
{
    struct
    {
        nlmsghdr header;
        rtgenmsg message;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.message.rtgen_family = static_cast<unsigned char>(family);
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0)
        return false;
    std::vector<char> buffer(kReceiveBytes);
    for (int messages = 0; messages < kMaxMessages;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            return errno == EINTR ? true : false;
        int length = int(got);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer.data()); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length), ++messages) {
            if (header->nlmsg_type == NLMSG_DONE)
                return true;
            if (header->nlmsg_type == NLMSG_ERROR)
                return false;
            if (header->nlmsg_type == RTM_NEWLINK)
                parseLink(header, state);
            else if (header->nlmsg_type == RTM_NEWADDR)
                parseAddress(header, state);
            else if (header->nlmsg_type == RTM_NEWROUTE)
                parseRoute(header, state);
        }
    }
    return true;
}

bool prefixMatches(const QByteArray &address, const QByteArray &network, int prefixLength)
{
    if (prefixLength == 0)
        return true;
    if (network.size() != address.size() || prefixLength > address.size() * 8)
        return false;
    const int wholeBytes = prefixLength / 8;
    if (std::memcmp(address.constData(), network.constData(), std::size_t(wholeBytes)) != 0)
        return false;
    const int bits = prefixLength % 8;
    if (bits == 0)
        return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - bits));
    return (static_cast<unsigned char>(address[wholeBytes]) & mask) ==
           (static_cast<unsigned char>(network[wholeBytes]) & mask);
}

} // namespace

const NetworkLink *NetworkState::link(int index) const
{
    const auto found = std::find_if(links.begin(), links.end(), [index](const NetworkLink &l) { return l.index == index; });
    return found == links.end() ? nullptr : &*found;
}

bool NetworkState::isLinkActive(int index) const
{
    const NetworkLink *found = link(index);
    return found != nullptr && found->isUp && found->isRunning;
}

bool NetworkState::hasActiveNonLoopbackAddress() const
{
    return std::any_of(addresses.begin(), addresses.end(), [this](const NetworkAddress &a) {
        const NetworkLink *l = link(a.linkIndex);
        return l != nullptr && !l->isLoopback && isLinkActive(a.linkIndex);
    });
}

bool NetworkState::hasDefaultRoute() const
{
    return std::any_of(routes.begin(), routes.end(), [this](const NetworkRoute &r) {
        return r.prefixLength == 0 && isLinkActive(r.linkIndex);
    });
}

const NetworkRoute *NetworkState::routeTo(int family, const QByteArray &address) const
{
    const NetworkRoute *best = nullptr;
    for (const NetworkRoute &route : routes) {
        if (route.family != family || !isLinkActive(route.linkIndex))
            continue;
        if (!prefixMatches(address, route.destination, route.prefixLength))
            continue;
        if (best == nullptr || route.prefixLength > best->prefixLength)
            best = &route;
    }
    return best;
}

bool NetworkState::isLocalAddress(int family, const QByteArray &address) const
{
    return std::any_of(addresses.begin(), addresses.end(), [&](const NetworkAddress &a) {
        return a.family == family && a.address == address && isLinkActive(a.linkIndex);
    });
}

bool readNetworkState(NetworkState *state)
{
    *state = NetworkState();
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd == -1)
        return false;
    const bool ok = dump(fd, RTM_GETLINK, AF_UNSPEC, state) && dump(fd, RTM_GETADDR, AF_UNSPEC, state) &&
                    dump(fd, RTM_GETROUTE, AF_UNSPEC, state);
    ::close(fd);
    return ok;
}

NetworkStateWatch::NetworkStateWatch()
{
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_fd == -1)
        return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

NetworkStateWatch::~NetworkStateWatch()
{
    if (m_fd != -1)
        ::close(m_fd);
}

void NetworkStateWatch::drain()
{
    std::vector<char> buffer(kReceiveBytes);
    for (int i = 0; i < 1000 && ::recv(m_fd, buffer.data(), buffer.size(), 0) > 0; ++i) {
    }
}

} // namespace platform::net
