#pragma once

// What the asynchronous sockets (UDP and TCP) share about socket addresses: a socket address travels
// as a byte array holding a whole sockaddr_in or sockaddr_in6, and these helpers read, make and look
// up such addresses for both families through one path. Any thread.

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>

#include <netinet/in.h>

namespace platform::net {

// The size of the family's whole socket address; 0 for any other family.
std::size_t addressSize(int family);
// The family's socket address for a host given as its network-order bytes (as many as the family's
// host address holds) and a port.
QByteArray socketAddress(int family, const void *hostBytes, quint16 port);
// The family's wildcard ("any") and loopback addresses on a port.
QByteArray anyAddress(int family, quint16 port);
QByteArray loopbackAddress(int family, quint16 port);
// The same socket address with another port; an address of no known family comes back unchanged.
QByteArray withPort(const QByteArray &address, quint16 port);
// The host bytes of a whole socket address (in_addr or in6_addr); empty for anything else.
QByteArray hostBytesOf(const QByteArray &address);
// Whether two whole socket addresses name one host and port of one family.
bool isSameEndpoint(const QByteArray &a, const QByteArray &b);
// The numeric host text of a family's host bytes; empty when they cannot be written.
QString hostText(int family, const void *hostBytes);

QString hostFromSockaddr4(const sockaddr_in *pSockaddr4);
QString hostFromSockaddr6(const sockaddr_in6 *pSockaddr6);
quint16 portFromSockaddr4(const sockaddr_in *pSockaddr4);
quint16 portFromSockaddr6(const sockaddr_in6 *pSockaddr6);
// A usable address (at least as long as its family's socket address) gives its host text, port and
// family (AF_INET or AF_INET6) and answers true; anything else gives an empty text, 0 and 0. Each
// out-parameter may be null.
bool getHost(QString *hostPtr, quint16 *portPtr, int *afPtr, const QByteArray &address);
// The socket address of a descriptor's own end (getsockname) or of its peer (getpeername); empty when
// the system does not say or the family is neither IPv4 nor IPv6.
QByteArray localAddressOf(int fd);
QByteArray peerAddressOf(int fd);

// The socket addresses the resolver gives for a host and port, of both families in the resolver's
// order, for the socket type and protocol, with the given resolver flags; error is the resolver's
// code (0 when it answered). A port the resolver leaves out of an IPv6 address is set.
QList<QByteArray> resolvedAddresses(const QString &host, quint16 port, int socketType, int protocol, int flags,
                                    int *error);
// The first IPv4 and the first IPv6 address among the given ones; either may stay empty.
void firstOfEachFamily(const QList<QByteArray> &addresses, QByteArray *addr4Ptr, QByteArray *addr6Ptr);

// The local addresses an interface description names, with the port: a null description gives the
// wildcard addresses, "localhost" and "loopback" the loopback addresses, anything else the first
// address of each family whose interface name or numeric host text equals the description. Either
// address may be missing (empty). Each out-parameter may be null.
void interfaceAddresses(const QString &description, quint16 port, QByteArray *interfaceAddr4Ptr,
                        QByteArray *interfaceAddr6Ptr);

int setIntOption(int fd, int level, int option, int value);
// Sets O_NONBLOCK on the descriptor; false (errno set) when the system refuses.
bool setNonBlocking(int fd);
// A new socket of the family and type for a local end (to bind, then listen or receive on): closed on
// exec, non-blocking, its address reusable at once and, for IPv6, taking IPv6 traffic only, so that
// an IPv4 socket can hold the same port beside it. When the system refuses a step the descriptor is
// closed and the answer is -1, with *errPtr the step's failure; v6OnlyReason names a refused IPv6-only
// switch.
int openLocalSocket(int family, int type, const char *v6OnlyReason, PlatformError *errPtr);
// A refused step of setting a socket up: *errPtr becomes the failed call's error (errno) with the
// reason, the descriptor is closed, and the answer is -1.
int failSocketSetup(int fd, const char *reason, PlatformError *errPtr);
// Whether a failed call only means "not now": the call would block or was interrupted.
bool isWouldBlock(int errorNumber);

} // namespace platform::net

namespace platform::net {

// Closes a socket descriptor when the last holder lets go of it: the readiness sources of one
// descriptor each hold it from their cancel handlers, so the descriptor closes only after every
// source has stopped watching it.
class DescriptorCloser final
{
public:
    explicit DescriptorCloser(int fd) : m_fd(fd) {}
    ~DescriptorCloser();
    DescriptorCloser(const DescriptorCloser &) = delete;
    DescriptorCloser &operator=(const DescriptorCloser &) = delete;

private:
    const int m_fd;
};

} // namespace platform::net
