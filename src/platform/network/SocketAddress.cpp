#include "platform/network/SocketAddress.h"

#include "platform/network/SocketErrors.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

namespace {

// Where a family's host bytes and port stand in its socket address.
struct AddressLayout
{
    int family;
    std::size_t size;
    std::size_t hostOffset;
    std::size_t hostSize;
    std::size_t portOffset;
};

constexpr std::array<AddressLayout, 2> kLayouts{{
    {AF_INET, sizeof(sockaddr_in), offsetof(sockaddr_in, sin_addr), sizeof(in_addr), offsetof(sockaddr_in, sin_port)},
    {AF_INET6, sizeof(sockaddr_in6), offsetof(sockaddr_in6, sin6_addr), sizeof(in6_addr),
     offsetof(sockaddr_in6, sin6_port)},
}};

const AddressLayout *layoutOf(int family)
{
    for (const AddressLayout &layout : kLayouts) {
        if (layout.family == family)
            return &layout;
    }
    return nullptr;
}

// The layout of a whole socket address of a known family; null for anything else.
const AddressLayout *layoutOfAddress(const QByteArray &address)
{
    sa_family_t family = AF_UNSPEC;
    if (address.size() < qsizetype(sizeof(sockaddr_in)))
        return nullptr;
    std::memcpy(&family, address.constData() + offsetof(sockaddr, sa_family), sizeof family);
    const AddressLayout *layout = layoutOf(family);
    return layout != nullptr && address.size() >= qsizetype(layout->size) ? layout : nullptr;
}

quint16 portIn(const QByteArray &address, const AddressLayout &layout)
{
    quint16 port = 0;
    std::memcpy(&port, address.constData() + layout.portOffset, sizeof port);
    return ntohs(port);
}

// The socket address of an interface's entry when the entry is of the family and the description
// names it (by interface name or by its host text), with the port set; empty otherwise.
QByteArray interfaceAddress(const ifaddrs &entry, int family, const QString &description, quint16 port)
{
    if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != family)
        return {};
    const QByteArray address(reinterpret_cast<const char *>(entry.ifa_addr), qsizetype(addressSize(family)));
    QString host;
    getHost(&host, nullptr, nullptr, address);
    const bool isNamed = QString::fromLocal8Bit(entry.ifa_name) == description || host == description;
    return isNamed ? withPort(address, port) : QByteArray();
}

using NameQuery = int (*)(int, sockaddr *, socklen_t *);

QByteArray endpointOf(int fd, NameQuery query)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (query(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return {};
    const std::size_t size = addressSize(storage.ss_family);
    if (size == 0 || length < size)
        return {};
    return QByteArray(reinterpret_cast<const char *>(&storage), qsizetype(size));
}

} // namespace

std::size_t addressSize(int family)
{
    const AddressLayout *layout = layoutOf(family);
    return layout != nullptr ? layout->size : 0;
}

QByteArray socketAddress(int family, const void *hostBytes, quint16 port)
{
    const AddressLayout *layout = layoutOf(family);
    if (layout == nullptr)
        return {};
    QByteArray address(qsizetype(layout->size), '\0');
    const sa_family_t addressFamily = sa_family_t(family);
    std::memcpy(address.data() + offsetof(sockaddr, sa_family), &addressFamily, sizeof addressFamily);
    std::memcpy(address.data() + layout->hostOffset, hostBytes, layout->hostSize);
    return withPort(address, port);
}

QByteArray anyAddress(int family, quint16 port)
{
    // Both wildcard addresses are all zero bits.
    const in6_addr any = in6addr_any;
    return socketAddress(family, &any, port);
}

QByteArray loopbackAddress(int family, quint16 port)
{
    const in_addr loopback4{htonl(INADDR_LOOPBACK)};
    const in6_addr loopback6 = in6addr_loopback;
    return family == AF_INET ? socketAddress(family, &loopback4, port) : socketAddress(family, &loopback6, port);
}

QByteArray withPort(const QByteArray &address, quint16 port)
{
    const AddressLayout *layout = layoutOfAddress(address);
    if (layout == nullptr)
        return address;
    QByteArray changed = address;
    const quint16 networkPort = htons(port);
    std::memcpy(changed.data() + layout->portOffset, &networkPort, sizeof networkPort);
    return changed;
}

QByteArray hostBytesOf(const QByteArray &address)
{
    const AddressLayout *layout = layoutOfAddress(address);
    return layout != nullptr ? address.mid(qsizetype(layout->hostOffset), qsizetype(layout->hostSize)) : QByteArray();
}

bool isSameEndpoint(const QByteArray &a, const QByteArray &b)
{
    const AddressLayout *layout = layoutOfAddress(a);
    return layout != nullptr && layout == layoutOfAddress(b) && hostBytesOf(a) == hostBytesOf(b) &&
           portIn(a, *layout) == portIn(b, *layout);
}

QString hostText(int family, const void *hostBytes)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(family, hostBytes, text, sizeof text) == nullptr)
        return QString(QLatin1String(""));
    return QString::fromLatin1(text);
}

QString hostFromSockaddr4(const sockaddr_in *pSockaddr4)
{
    return hostText(AF_INET, &pSockaddr4->sin_addr);
}

QString hostFromSockaddr6(const sockaddr_in6 *pSockaddr6)
{
    return hostText(AF_INET6, &pSockaddr6->sin6_addr);
}

quint16 portFromSockaddr4(const sockaddr_in *pSockaddr4)
{
    return ntohs(pSockaddr4->sin_port);
}

quint16 portFromSockaddr6(const sockaddr_in6 *pSockaddr6)
{
    return ntohs(pSockaddr6->sin6_port);
}

bool getHost(QString *hostPtr, quint16 *portPtr, int *afPtr, const QByteArray &address)
{
    const AddressLayout *layout = layoutOfAddress(address);
    if (hostPtr != nullptr)
        *hostPtr = layout != nullptr ? hostText(layout->family, address.constData() + layout->hostOffset) : QString();
    if (portPtr != nullptr)
        *portPtr = layout != nullptr ? portIn(address, *layout) : 0;
    if (afPtr != nullptr)
        *afPtr = layout != nullptr ? layout->family : 0;
    return layout != nullptr;
}

QByteArray localAddressOf(int fd)
{
    return endpointOf(fd, ::getsockname);
}

QByteArray peerAddressOf(int fd)
{
    return endpointOf(fd, ::getpeername);
}

QList<QByteArray> resolvedAddresses(const QString &host, quint16 port, int socketType, int protocol, int flags,
                                    int *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    hints.ai_flags = flags;
    addrinfo *results = nullptr;
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    *error = ::getaddrinfo(hostBytes.constData(), service.constData(), &hints, &results);
    QList<QByteArray> addresses;
    if (*error != 0)
        return addresses;
    for (const addrinfo *cursor = results; cursor != nullptr; cursor = cursor->ai_next) {
        const std::size_t size = addressSize(cursor->ai_family);
        if (size == 0 || cursor->ai_addrlen < size)
            continue;
        const QByteArray address(reinterpret_cast<const char *>(cursor->ai_addr), qsizetype(size));
        quint16 foundPort = 0;
        getHost(nullptr, &foundPort, nullptr, address);
        addresses.append(cursor->ai_family == AF_INET6 && foundPort == 0 ? withPort(address, port) : address);
    }
    ::freeaddrinfo(results);
    return addresses;
}

void firstOfEachFamily(const QList<QByteArray> &addresses, QByteArray *addr4Ptr, QByteArray *addr6Ptr)
{
    for (const QByteArray &address : addresses) {
        int family = 0;
        getHost(nullptr, nullptr, &family, address);
        QByteArray *slot = family == AF_INET ? addr4Ptr : family == AF_INET6 ? addr6Ptr : nullptr;
        if (slot != nullptr && slot->isEmpty())
            *slot = address;
    }
}

void interfaceAddresses(const QString &description, quint16 port, QByteArray *interfaceAddr4Ptr,
                        QByteArray *interfaceAddr6Ptr)
{
    QByteArray addr4;
    QByteArray addr6;
    const bool isLoopback = description == QLatin1String("localhost") || description == QLatin1String("loopback");
    ifaddrs *interfaces = nullptr;
    if (description.isNull() || isLoopback) {
        addr4 = isLoopback ? loopbackAddress(AF_INET, port) : anyAddress(AF_INET, port);
        addr6 = isLoopback ? loopbackAddress(AF_INET6, port) : anyAddress(AF_INET6, port);
    } else if (::getifaddrs(&interfaces) == 0) {
        for (const ifaddrs *cursor = interfaces; cursor != nullptr; cursor = cursor->ifa_next) {
            if (addr4.isEmpty())
                addr4 = interfaceAddress(*cursor, AF_INET, description, port);
            if (addr6.isEmpty())
                addr6 = interfaceAddress(*cursor, AF_INET6, description, port);
        }
        ::freeifaddrs(interfaces);
    }
    if (interfaceAddr4Ptr != nullptr)
        *interfaceAddr4Ptr = addr4;
    if (interfaceAddr6Ptr != nullptr)
        *interfaceAddr6Ptr = addr6;
}

int setIntOption(int fd, int level, int option, int value)
{
    return ::setsockopt(fd, level, option, &value, sizeof value);
}

bool setNonBlocking(int fd)
{
    const int statusFlags = ::fcntl(fd, F_GETFL, 0);
    return statusFlags != -1 && ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) != -1;
}

int openLocalSocket(int family, int type, const char *v6OnlyReason, PlatformError *errPtr)
{
    const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in socket() function"));
        return -1;
    }
    if (!setNonBlocking(fd))
        return failSocketSetup(fd, "Error enabling non-blocking IO on socket (fcntl)", errPtr);
    if (setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1) == -1)
        return failSocketSetup(fd, "Error enabling address reuse (setsockopt)", errPtr);
    if (family == AF_INET6 && setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) == -1)
        return failSocketSetup(fd, v6OnlyReason, errPtr);
    return fd;
}

int failSocketSetup(int fd, const char *reason, PlatformError *errPtr)
{
    *errPtr = errnoErrorWithReason(errno, QString::fromLatin1(reason));
    ::close(fd);
    return -1;
}

DescriptorCloser::~DescriptorCloser()
{
    ::close(m_fd);
}

bool isWouldBlock(int errorNumber)
{
    return errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == EINTR;
}

} // namespace platform::net
