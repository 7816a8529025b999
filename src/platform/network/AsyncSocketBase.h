#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/network/SocketAddress.h"

#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::net {

// What the asynchronous sockets (UDP and TCP) share about their queues: every field of a socket
// lives on its own serial socket queue, and every report reaches its delegate on the delegate queue.
// This base holds the delegate (non-owning, as the platform holds delegates), both queues, the
// caller's user data and the configuration bits, and gives the socket its hops onto the socket queue
// and its delegate calls.
// Getters wait for the socket queue; plain setters are queued; the synchronously forms wait; on the
// socket queue all act at once. Socket is the class deriving from it; thread-safe.
template <typename Socket, typename Delegate>
class AsyncSocketBase : public std::enable_shared_from_this<Socket>
{
protected:
    // Keeps the socket's constructor to create().
    struct PrivateTag
    {
        explicit PrivateTag() = default;
    };

public:
    AsyncSocketBase(const AsyncSocketBase &) = delete;
    AsyncSocketBase &operator=(const AsyncSocketBase &) = delete;

    // Without a socket queue the socket makes its own serial queue, named after its class; a given
    // socket queue must be serial.
    static std::shared_ptr<Socket> create(Delegate *delegate = nullptr,
                                          std::shared_ptr<DispatchQueue> delegateQueue = {},
                                          std::shared_ptr<DispatchQueue> socketQueue = {})
    {
        return std::make_shared<Socket>(PrivateTag(), delegate, std::move(delegateQueue), std::move(socketQueue));
    }

    Delegate *delegate() const
    {
        Delegate *result = nullptr;
        runOnSocketQueue([&] { result = m_delegate.load(); });
        return result;
    }
    void setDelegate(Delegate *delegate)
    {
        queueOnSocketQueue([delegate](Socket &socket) { socket.m_delegate = delegate; });
    }
    void synchronouslySetDelegate(Delegate *delegate)
    {
        runOnSocketQueue([&] { m_delegate = delegate; });
    }
    std::shared_ptr<DispatchQueue> delegateQueue() const
    {
        return onSocketQueue<std::shared_ptr<DispatchQueue>>([this] { return m_delegateQueue; });
    }
    void setDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue)
    {
        queueOnSocketQueue([delegateQueue](Socket &socket) { socket.m_delegateQueue = delegateQueue; });
    }
    void synchronouslySetDelegateQueue(std::shared_ptr<DispatchQueue> delegateQueue)
    {
        runOnSocketQueue([&] { m_delegateQueue = std::move(delegateQueue); });
    }
    void getDelegate(Delegate **delegatePtr, std::shared_ptr<DispatchQueue> *delegateQueuePtr) const
    {
        runOnSocketQueue([&] {
            if (delegatePtr != nullptr)
                *delegatePtr = m_delegate.load();
            if (delegateQueuePtr != nullptr)
                *delegateQueuePtr = m_delegateQueue;
        });
    }
    void setDelegate(Delegate *delegate, std::shared_ptr<DispatchQueue> delegateQueue)
    {
        queueOnSocketQueue([delegate, delegateQueue](Socket &socket) {
            socket.m_delegate = delegate;
            socket.m_delegateQueue = delegateQueue;
        });
    }
    void synchronouslySetDelegate(Delegate *delegate, std::shared_ptr<DispatchQueue> delegateQueue)
    {
        runOnSocketQueue([&] {
            m_delegate = delegate;
            m_delegateQueue = std::move(delegateQueue);
        });
    }

    // The caller's own value; the socket never looks at it.
    QVariant userData() const
    {
        return onSocketQueue<QVariant>([this] { return m_userData; });
    }
    void setUserData(const QVariant &userData)
    {
        queueOnSocketQueue([userData](Socket &socket) { socket.m_userData = userData; });
    }

    // Address helpers; any thread. A usable address (a whole sockaddr_in or sockaddr_in6) gives its
    // host text, port and family (AF_INET or AF_INET6) and answers true; anything else gives an empty
    // text, 0 and 0. Each out-parameter may be null.
    static QString hostFromSockaddr4(const sockaddr_in *pSockaddr4) { return net::hostFromSockaddr4(pSockaddr4); }
    static QString hostFromSockaddr6(const sockaddr_in6 *pSockaddr6) { return net::hostFromSockaddr6(pSockaddr6); }
    static quint16 portFromSockaddr4(const sockaddr_in *pSockaddr4) { return net::portFromSockaddr4(pSockaddr4); }
    static quint16 portFromSockaddr6(const sockaddr_in6 *pSockaddr6) { return net::portFromSockaddr6(pSockaddr6); }
    static bool getHost(QString *hostPtr, quint16 *portPtr, int *afPtr, const QByteArray &address)
    {
        return net::getHost(hostPtr, portPtr, afPtr, address);
    }
    static bool getHost(QString *hostPtr, quint16 *portPtr, const QByteArray &address)
    {
        return net::getHost(hostPtr, portPtr, nullptr, address);
    }
    static QString hostFromAddress(const QByteArray &address)
    {
        QString host;
        net::getHost(&host, nullptr, nullptr, address);
        return host;
    }
    static quint16 portFromAddress(const QByteArray &address)
    {
        quint16 port = 0;
        net::getHost(nullptr, &port, nullptr, address);
        return port;
    }
    static int familyFromAddress(const QByteArray &address)
    {
        int family = 0;
        net::getHost(nullptr, nullptr, &family, address);
        return family;
    }
    static bool isIPv4Address(const QByteArray &address) { return familyFromAddress(address) == AF_INET; }
    static bool isIPv6Address(const QByteArray &address) { return familyFromAddress(address) == AF_INET6; }

    // Whether the socket uses a family; kept in the configuration. Getters wait; setters are queued.
    bool isIPv4Enabled() const { return !hasConfigBit(kIPv4Disabled); }
    void setIPv4Enabled(bool flag) { setConfigBit(kIPv4Disabled, !flag); }
    bool isIPv6Enabled() const { return !hasConfigBit(kIPv6Disabled); }
    void setIPv6Enabled(bool flag) { setConfigBit(kIPv6Disabled, !flag); }

protected:
    // The configuration bits (m_config) both sockets have; each numbers its own from 1 << 2 up.
    enum : std::uint16_t {
        kIPv4Disabled = 1 << 0,
        kIPv6Disabled = 1 << 1,
    };
    static std::uint16_t disabledFlag(int family) { return family == AF_INET ? kIPv4Disabled : kIPv6Disabled; }

    // Without a socket queue the socket makes its own serial queue with the label; a given socket
    // queue must be serial (the derived socket checks it).
    AsyncSocketBase(Delegate *delegate, std::shared_ptr<DispatchQueue> delegateQueue,
                    std::shared_ptr<DispatchQueue> socketQueue, const QString &label)
        : m_delegate(delegate), m_delegateQueue(std::move(delegateQueue)),
          m_socketQueue(socketQueue ? std::move(socketQueue) : DispatchQueue::createSerial(label))
    {
        m_socketQueue->setSpecific(m_isOnSocketQueueKey, queueMark());
    }
    ~AsyncSocketBase() { m_socketQueue->setSpecific(m_isOnSocketQueueKey, nullptr); }

    // The value that marks the socket queue (and queues the socket treats as its own) with this socket.
    const void *queueMark() const { return this; }
    bool isOnSocketQueue() const { return DispatchQueue::currentSpecific(m_isOnSocketQueueKey) == queueMark(); }
    void runOnSocketQueue(const std::function<void()> &block) const
    {
        if (isOnSocketQueue())
            block();
        else
            m_socketQueue->sync(block);
    }
    // Runs the read on the socket queue and answers its value.
    template <typename T>
    T onSocketQueue(const std::function<T()> &read) const
    {
        T result{};
        runOnSocketQueue([&] { result = read(); });
        return result;
    }
    // Runs the block on the socket queue while the socket lives: at once there, else queued.
    void queueOnSocketQueue(std::function<void(Socket &)> block)
    {
        if (isOnSocketQueue()) {
            block(static_cast<Socket &>(*this));
            return;
        }
        postToSocketQueue(std::move(block));
    }
    // Queues the block on the socket queue, to run if the socket still lives then.
    void postToSocketQueue(std::function<void(Socket &)> block) const
    {
        m_socketQueue->async([weak = this->weak_from_this(), block = std::move(block)] {
            if (const auto socket = std::const_pointer_cast<Socket>(weak.lock()))
                block(*socket);
        });
    }
    bool hasConfigBit(std::uint16_t bit) const
    {
        return onSocketQueue<bool>([this, bit] { return (m_config & bit) != 0; });
    }
    void setConfigBit(std::uint16_t bit, bool isSet)
    {
        queueOnSocketQueue([bit, isSet](Socket &socket) {
            if (isSet)
                socket.m_config |= bit;
            else
                socket.m_config &= std::uint16_t(~bit);
        });
    }

    // Queues the call on the delegate queue with the delegate of this moment; nothing without a
    // delegate or a delegate queue. The delegate is checked again where the call runs: an owner that
    // cleared it before going away must not be called afterwards.
    void notifyDelegate(std::function<void(Delegate &, Socket *)> call)
    {
        Delegate *const theDelegate = m_delegate.load();
        const auto self = this->weak_from_this().lock();
        if (theDelegate == nullptr || !m_delegateQueue || !self)
            return;
        m_delegateQueue->async([self, theDelegate, call = std::move(call)] {
            if (self->m_delegate.load() == theDelegate)
                call(*theDelegate, self.get());
        });
    }

    std::atomic<Delegate *> m_delegate{nullptr};
    std::shared_ptr<DispatchQueue> m_delegateQueue;
    const std::shared_ptr<DispatchQueue> m_socketQueue;
    QueueSpecificKey m_isOnSocketQueueKey;
    QVariant m_userData;
    // Kept across connections; the bits above and the socket's own.
    std::uint16_t m_config = 0;
};

} // namespace platform::net
