// Reachability flags from the network state: the zero address stands for "any network", the
// link-local network for the local Wi-Fi, a host name for its resolved addresses.
#include "platform/network/NetworkReachability.h"

#include "platform/dispatch/DispatchFdSource.h"
#include "platform/network/NetworkState.h"

#include <cstring>

#include <netdb.h>

namespace platform::net {
namespace {

bool isZero(const QByteArray &address)
{
    return address == QByteArray(4, '\0');
}

bool isLinkLocalNetwork(const QByteArray &address)
{
    return address.size() == 4 && static_cast<unsigned char>(address[0]) == 169 &&
           static_cast<unsigned char>(address[1]) == 254;
}

bool isHostName(const QByteArray &name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '/' || c == '\\')
            return false;
    }
    return true;
}

} // namespace

std::shared_ptr<NetworkReachabilityTarget> NetworkReachabilityTarget::createWithAddress(const sockaddr_in &address)
{
    if (address.sin_family != AF_INET)
        return nullptr;
    std::shared_ptr<NetworkReachabilityTarget> target(new NetworkReachabilityTarget());
    target->m_address4 = QByteArray(reinterpret_cast<const char *>(&address.sin_addr), 4);
    return target;
}

std::shared_ptr<NetworkReachabilityTarget> NetworkReachabilityTarget::createWithName(const QByteArray &name)
{
    if (!isHostName(name))
        return nullptr;
    std::shared_ptr<NetworkReachabilityTarget> target(new NetworkReachabilityTarget());
    target->m_hostName = name;
    return target;
}

NetworkReachabilityTarget::~NetworkReachabilityTarget()
{
    unschedule();
}

// The zero address: reachable when an interface other than loopback is active with an address and a
// default route exists. 169.254/16: reachable (and direct) when an active interface holds a link-local
// address. Any other address: reachable when a route over an active interface covers it; local when
// it is one of ours; direct when its route has no gateway.
std::uint32_t NetworkReachabilityTarget::flagsForAddress(const NetworkState &state, int family,
                                                         const QByteArray &address)
{
    if (family == AF_INET && isZero(address))
        return state.hasActiveNonLoopbackAddress() && state.hasDefaultRoute() ? std::uint32_t(kReachabilityFlagsReachable) : 0U;
    if (family == AF_INET && address.size() == 4 && isLinkLocalNetwork(address) &&
        static_cast<unsigned char>(address[2]) == 0 && static_cast<unsigned char>(address[3]) == 0) {
        for (const NetworkAddress &own : state.addresses) {
            if (own.family == AF_INET && isLinkLocalNetwork(own.address) && state.isLinkActive(own.linkIndex))
                return kReachabilityFlagsReachable | kReachabilityFlagsIsDirect;
        }
        return 0;
    }
    std::uint32_t flags = 0;
    if (state.isLocalAddress(family, address))
        flags |= kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
    if (const NetworkRoute *route = state.routeTo(family, address)) {
        flags |= kReachabilityFlagsReachable;
        if (!route->hasGateway)
            flags |= kReachabilityFlagsIsDirect;
    }
    return flags;
}

bool NetworkReachabilityTarget::getFlags(std::uint32_t *flags) const
{
    NetworkState state;
    if (!readNetworkState(&state))
        return false;
    if (m_hostName.isEmpty()) {
        *flags = flagsForAddress(state, AF_INET, m_address4);
        return true;
    }
    // A name that does not resolve is not reachable; the flags are still known.
    *flags = 0;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *results = nullptr;
    if (::getaddrinfo(m_hostName.constData(), nullptr, &hints, &results) != 0)
        return true;
    for (const addrinfo *entry = results; entry != nullptr && *flags == 0; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
            *flags = flagsForAddress(state, AF_INET, QByteArray(reinterpret_cast<const char *>(&in->sin_addr), 4));
        } else if (entry->ai_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr);
            *flags = flagsForAddress(state, AF_INET6, QByteArray(reinterpret_cast<const char *>(&in6->sin6_addr), 16));
        }
    }
    ::freeaddrinfo(results);
    return true;
}

// The watch calls back on its queue while the owner may set or clear the callback on another thread.
void NetworkReachabilityTarget::setCallback(Callback callback)
{
    const std::lock_guard lock(m_callbackMutex);
    m_callback = std::move(callback);
}

bool NetworkReachabilityTarget::scheduleWithQueue(std::shared_ptr<DispatchQueue> queue)
{
    unschedule();
    auto watch = std::make_shared<NetworkStateWatch>();
    if (!watch->isValid())
        return false;
    auto source = DispatchFdSource::createRead(watch->fd(), std::move(queue));
    if (!source)
        return false;
    m_source = *source;
    std::uint32_t flags = 0;
    m_lastFlags = getFlags(&flags) ? flags : 0xFFFFFFFFU;
    m_source->setEventHandler([weak = weak_from_this(), watch](std::int64_t) {
        watch->drain();
        if (const auto self = weak.lock())
            self->onNetworkChange();
    });
    // The descriptor closes only once the source is done with it.
    m_source->setCancelHandler([watch] {});
    m_source->resume();
    return true;
}

void NetworkReachabilityTarget::unschedule()
{
    if (m_source) {
        m_source->cancel();
        m_source.reset();
    }
}

void NetworkReachabilityTarget::onNetworkChange()
{
    std::uint32_t flags = 0;
    if (!getFlags(&flags) || flags == m_lastFlags)
        return;
    m_lastFlags = flags;
    Callback callback;
    {
        const std::lock_guard lock(m_callbackMutex);
        callback = m_callback;
    }
    if (callback)
        callback(flags);
}

} // namespace platform::net
