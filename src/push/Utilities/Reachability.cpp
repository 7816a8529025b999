// The reachability monitor over the machine's network state.
#include "push/Utilities/Reachability.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/network/NetworkReachability.h"

#include <arpa/inet.h>

using namespace platform::net;

std::shared_ptr<Reachability> Reachability::reachabilityWithHostname(const QString &hostname)
{
    auto ref = NetworkReachabilityTarget::createWithName(hostname.toUtf8());
    return ref ? std::make_shared<Reachability>(PrivateTag(), std::move(ref)) : nullptr;
}

std::shared_ptr<Reachability> Reachability::reachabilityWithAddress(const sockaddr_in &hostAddress)
{
    auto ref = NetworkReachabilityTarget::createWithAddress(hostAddress);
    return ref ? std::make_shared<Reachability>(PrivateTag(), std::move(ref)) : nullptr;
}

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection()
{
    sockaddr_in zeroAddress{};
    zeroAddress.sin_family = AF_INET;
    return reachabilityWithAddress(zeroAddress);
}

std::shared_ptr<Reachability> Reachability::reachabilityForLocalWiFi()
{
    sockaddr_in localWifiAddress{};
    localWifiAddress.sin_family = AF_INET;
    localWifiAddress.sin_addr.s_addr = htonl(0xA9FE0000); // 169.254.0.0
    return reachabilityWithAddress(localWifiAddress);
}

Reachability::Reachability(PrivateTag, std::shared_ptr<NetworkReachabilityTarget> ref)
    : m_reachabilityRef(std::move(ref))
{
}

Reachability::~Reachability()
{
    stopNotifier();
    m_reachabilityRef.reset();
    m_reachableBlock = nullptr;
    m_unreachableBlock = nullptr;
}

bool Reachability::startNotifier()
{
    m_reachabilityObject = shared_from_this();
    m_reachabilitySerialQueue = platform::DispatchQueue::createSerial(QStringLiteral("Reachability"));
    const std::weak_ptr<Reachability> weak = m_reachabilityObject;
    m_reachabilityRef->setCallback([weak](std::uint32_t flags) {
        if (const auto self = weak.lock())
            self->reachabilityChanged(flags);
    });
    if (m_reachabilityRef->scheduleWithQueue(m_reachabilitySerialQueue))
        return true;
    m_reachabilityRef->setCallback(nullptr);
    m_reachabilitySerialQueue.reset();
    m_reachabilityObject.reset();
    return false;
}

void Reachability::stopNotifier()
{
    if (m_reachabilityRef) {
        m_reachabilityRef->setCallback(nullptr);
        m_reachabilityRef->unschedule();
    }
    m_reachabilitySerialQueue.reset();
    m_reachabilityObject.reset();
}

bool Reachability::isReachableWithFlags(std::uint32_t flags)
{
    if ((flags & kReachabilityFlagsReachable) == 0)
        return false;
    const std::uint32_t transientRequired = kReachabilityFlagsConnectionRequired | kReachabilityFlagsTransientConnection;
    return (flags & transientRequired) != transientRequired;
}

bool Reachability::readFlags(std::uint32_t *flags) const
{
    return m_reachabilityRef && m_reachabilityRef->getFlags(flags);
}

bool Reachability::isReachable() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) && isReachableWithFlags(flags);
}

bool Reachability::isReachableViaWiFi() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) && (flags & kReachabilityFlagsReachable) != 0;
}

bool Reachability::connectionRequired() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) && (flags & kReachabilityFlagsConnectionRequired) != 0;
}

bool Reachability::isConnectionOnDemand() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) && (flags & kReachabilityFlagsConnectionRequired) != 0 &&
           (flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand)) != 0;
}

bool Reachability::isInterventionRequired() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) && (flags & kReachabilityFlagsConnectionRequired) != 0 &&
           (flags & kReachabilityFlagsInterventionRequired) != 0;
}

NetworkStatus Reachability::currentReachabilityStatus() const
{
    return isReachable() && isReachableViaWiFi() ? ReachableViaWiFi : NotReachable;
}

std::uint32_t Reachability::reachabilityFlags() const
{
    std::uint32_t flags = 0;
    return readFlags(&flags) ? flags : 0;
}

QString Reachability::currentReachabilityString() const
{
    return currentReachabilityStatus() == ReachableViaWiFi
               ? platform::Bundle::localizedString(QStringLiteral("WiFi"), QStringLiteral("WiFi"))
               : platform::Bundle::localizedString(QStringLiteral("No Connection"), QStringLiteral("No Connection"));
}

QString Reachability::flagsText(std::uint32_t flags)
{
    const auto mark = [flags](std::uint32_t flag, char c) { return QChar::fromLatin1((flags & flag) != 0 ? c : '-'); };
    QString text;
    text += QLatin1Char('X');
    text += mark(kReachabilityFlagsReachable, 'R');
    text += QLatin1Char(' ');
    text += mark(kReachabilityFlagsConnectionRequired, 'c');
    text += mark(kReachabilityFlagsTransientConnection, 't');
    text += mark(kReachabilityFlagsInterventionRequired, 'i');
    text += mark(kReachabilityFlagsConnectionOnTraffic, 'C');
    text += mark(kReachabilityFlagsConnectionOnDemand, 'D');
    text += mark(kReachabilityFlagsIsLocalAddress, 'l');
    text += mark(kReachabilityFlagsIsDirect, 'd');
    return text;
}

QString Reachability::currentReachabilityFlags() const
{
    return flagsText(reachabilityFlags());
}

void Reachability::reachabilityChanged(std::uint32_t flags)
{
    const NetworkReachable &block = isReachableWithFlags(flags) ? m_reachableBlock : m_unreachableBlock;
    if (block)
        block(this);
    platform::DispatchQueue::main()->async([self = shared_from_this()] {
        platform::NotificationCenter::defaultCenter().postNotificationName(
            QString::fromLatin1(kReachabilityChangedNotification), self.get());
    });
}

QString Reachability::description() const
{
    return QStringLiteral("<Reachability: %1>").arg(QStringLiteral("0x%1").arg(quintptr(this), 0, 16));
}
