#pragma once

// The machine's network state from rtnetlink: interfaces, their addresses and the routes of both
// families; and a watch that becomes readable when any of them changes. The one reader of interface
// state: the reachability monitors and the HTTP client's observer both ask it.

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace platform::net {

struct NetworkLink
{
    int index = 0;
    bool isUp = false;      // administratively up
    bool isRunning = false; // has a carrier
    bool isLoopback = false;
};

struct NetworkAddress
{
    int family = 0;
    int linkIndex = 0;
    QByteArray address; // 4 or 16 bytes, network order
};

struct NetworkRoute
{
    int family = 0;
    int linkIndex = 0;
    int prefixLength = 0;
    QByteArray destination; // empty for the default route
    bool hasGateway = false;
};

struct NetworkState
{
    std::vector<NetworkLink> links;
    std::vector<NetworkAddress> addresses;
    std::vector<NetworkRoute> routes;

    const NetworkLink *link(int index) const;
    bool isLinkActive(int index) const;
    // An active interface other than loopback holds an address.
    bool hasActiveNonLoopbackAddress() const;
    bool hasDefaultRoute() const;
    // The most specific route over an active interface covering the address; null when none.
    const NetworkRoute *routeTo(int family, const QByteArray &address) const;
    bool isLocalAddress(int family, const QByteArray &address) const;
};

// The state now; false when rtnetlink cannot be asked.
bool readNetworkState(NetworkState *state);

// A netlink socket subscribed to changes of links, addresses and routes of both families.
class NetworkStateWatch final
{
public:
    NetworkStateWatch();
    ~NetworkStateWatch();
    NetworkStateWatch(const NetworkStateWatch &) = delete;
    NetworkStateWatch &operator=(const NetworkStateWatch &) = delete;

    bool isValid() const { return m_fd != -1; }
    int fd() const { return m_fd; }
    // Reads every waiting message (their content is not needed: the state is read again).
    void drain();

private:
    int m_fd = -1;
};

} // namespace platform::net
