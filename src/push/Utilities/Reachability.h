#pragma once

// Whether a network target can be reached now, and, while the notifier runs, every change reported
// through the blocks and the notification "kReachabilityChangedNotification" (posted on the main
// thread with the monitor as object).

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include <netinet/in.h>

namespace platform {
class DispatchQueue;
namespace net {
class NetworkReachabilityTarget;
}
} // namespace platform

inline constexpr char kReachabilityChangedNotification[] = "kReachabilityChangedNotification";

enum NetworkStatus { NotReachable = 0, ReachableViaWiFi = 2 };

class Reachability final : public std::enable_shared_from_this<Reachability>
{
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    using NetworkReachable = std::function<void(Reachability *reachability)>;
    using NetworkUnreachable = std::function<void(Reachability *reachability)>;

    // Null when no target can be made of the name.
    static std::shared_ptr<Reachability> reachabilityWithHostname(const QString &hostname);
    static std::shared_ptr<Reachability> reachabilityWithAddress(const sockaddr_in &hostAddress);
    static std::shared_ptr<Reachability> reachabilityForInternetConnection();
    static std::shared_ptr<Reachability> reachabilityForLocalWiFi();
    Reachability(PrivateTag, std::shared_ptr<platform::net::NetworkReachabilityTarget> ref);
    ~Reachability();
    Reachability(const Reachability &) = delete;
    Reachability &operator=(const Reachability &) = delete;

    bool startNotifier();
    void stopNotifier();

    static bool isReachableWithFlags(std::uint32_t flags);
    bool isReachable() const;
    bool isReachableViaWWAN() const { return false; }
    bool isReachableViaWiFi() const;
    bool connectionRequired() const;
    bool isConnectionRequired() const { return connectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    NetworkStatus currentReachabilityStatus() const;
    std::uint32_t reachabilityFlags() const;
    QString currentReachabilityString() const;
    QString currentReachabilityFlags() const;
    static QString flagsText(std::uint32_t flags);
    // A change to the flags: the matching block on the monitor's queue, then the notification.
    void reachabilityChanged(std::uint32_t flags);
    QString description() const;

    bool reachableOnWWAN() const { return m_reachableOnWWAN; }
    void setReachableOnWWAN(bool value) { m_reachableOnWWAN = value; }
    NetworkReachable reachableBlock() const { return m_reachableBlock; }
    void setReachableBlock(NetworkReachable block) { m_reachableBlock = std::move(block); }
    NetworkUnreachable unreachableBlock() const { return m_unreachableBlock; }
    void setUnreachableBlock(NetworkUnreachable block) { m_unreachableBlock = std::move(block); }
    std::shared_ptr<platform::DispatchQueue> reachabilitySerialQueue() const { return m_reachabilitySerialQueue; }
    std::shared_ptr<Reachability> reachabilityObject() const { return m_reachabilityObject; }

private:
    bool readFlags(std::uint32_t *flags) const;

    bool m_reachableOnWWAN = true;
    std::shared_ptr<platform::net::NetworkReachabilityTarget> m_reachabilityRef;
    std::shared_ptr<platform::DispatchQueue> m_reachabilitySerialQueue;
    NetworkReachable m_reachableBlock;
    NetworkUnreachable m_unreachableBlock;
    std::shared_ptr<Reachability> m_reachabilityObject;
};
