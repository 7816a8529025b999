#pragma once

// A reachability target (an address or a host name) judged from the machine's network state: its
// flag word, and a callback with the new flags whenever a change of links, addresses or routes
// changes them, on the queue it is scheduled on.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <netinet/in.h>

namespace platform {
class DispatchQueue;
class DispatchFdSource;
}

namespace platform::net {

class NetworkStateWatch;
struct NetworkState;

enum : std::uint32_t {
    kReachabilityFlagsTransientConnection = 1,
    kReachabilityFlagsReachable = 2,
    kReachabilityFlagsConnectionRequired = 4,
    kReachabilityFlagsConnectionOnTraffic = 8,
    kReachabilityFlagsInterventionRequired = 16,
    kReachabilityFlagsConnectionOnDemand = 32,
    kReachabilityFlagsIsLocalAddress = 0x10000,
    kReachabilityFlagsIsDirect = 0x20000,
};

class NetworkReachabilityTarget final : public std::enable_shared_from_this<NetworkReachabilityTarget>
{
public:
    using Callback = std::function<void(std::uint32_t flags)>;

    static std::shared_ptr<NetworkReachabilityTarget> createWithAddress(const sockaddr_in &address);
    // Null for an empty name or one that is not a host name.
    static std::shared_ptr<NetworkReachabilityTarget> createWithName(const QByteArray &name);
    ~NetworkReachabilityTarget();

    // The flags now; false when the network state cannot be read.
    bool getFlags(std::uint32_t *flags) const;
    void setCallback(Callback callback);
    // Watches the network state on the queue; false when no watch can be made.
    bool scheduleWithQueue(std::shared_ptr<DispatchQueue> queue);
    void unschedule();

    // The flags of an address in the state (exposed for tests of the rules).
    static std::uint32_t flagsForAddress(const NetworkState &state, int family, const QByteArray &address);

private:
    NetworkReachabilityTarget() = default;
    void onNetworkChange();

    QByteArray m_address4; // for an address target
    QByteArray m_hostName; // for a name target
    std::mutex m_callbackMutex;
    Callback m_callback; // guarded by m_callbackMutex
    std::shared_ptr<DispatchFdSource> m_source;
    std::uint32_t m_lastFlags = 0xFFFFFFFFU;
};

} // namespace platform::net
