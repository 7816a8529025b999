// Socket options beyond sending and receiving: broadcast, port reuse and multicast membership.
#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocket+Private.h"

#include <cerrno>
#include <cstring>

using platform::PlatformError;
using namespace udpsocket;

bool GCDAsyncUdpSocket::prepareOption(PlatformError *errPtr)
{
    return preOp(errPtr) && ((m_flags & kDidCreateSockets) != 0 || createSockets(errPtr));
}

bool GCDAsyncUdpSocket::enableBroadcast(bool flag, PlatformError *errPtr)
{
    // Broadcast is an IPv4 matter: without an IPv4 socket there is nothing to set, and no error.
    return attempt(errPtr, [&](PlatformError *error) {
        if (!prepareOption(error) || m_socket4.fd == -1)
            return false;
        if (setIntOption(m_socket4.fd, SOL_SOCKET, SO_BROADCAST, flag ? 1 : 0) != 0) {
            *error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
            return false;
        }
        return true;
    });
}

bool GCDAsyncUdpSocket::enableReusePort(bool flag, PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) {
        if (!prepareOption(error))
            return false;
        for (const int family : kFamilies) {
            const int fd = familySocket(family).fd;
            if (fd != -1 && setIntOption(fd, SOL_SOCKET, SO_REUSEPORT, flag ? 1 : 0) != 0) {
                *error = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
                return false;
            }
        }
        return true;
    });
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const QString &group, PlatformError *errPtr)
{
    return joinMulticastGroup(group, QString(), errPtr);
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const QString &group, const QString &interface, PlatformError *errPtr)
{
    return performMulticastRequest(true, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const QString &group, PlatformError *errPtr)
{
    return leaveMulticastGroup(group, QString(), errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const QString &group, const QString &interface, PlatformError *errPtr)
{
    return performMulticastRequest(false, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::performMulticastRequest(bool isJoin, const QString &group, const QString &interface,
                                                PlatformError *errPtr)
{
    return attempt(errPtr, [&](PlatformError *error) {
        if (!preJoin(error))
            return false;
        QByteArray group4;
        QByteArray group6;
        convertNumericHost(group, 0, &group4, &group6);
        if (group4.isEmpty() && group6.isEmpty()) {
            *error = badParamError(QStringLiteral("Unknown group. Specify valid group IP address."));
            return false;
        }
        QByteArray interface4;
        QByteArray interface6;
        convertIntefaceDescription(interface, 0, &interface4, &interface6);
        if (interface4.isEmpty() && interface6.isEmpty()) {
            *error = badParamError(
                QStringLiteral("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."));
            return false;
        }
        // The first family holding the group, the interface and an open socket carries the request.
        for (const int family : kFamilies) {
            const QByteArray &familyGroup = family == AF_INET ? group4 : group6;
            const QByteArray &familyInterface = family == AF_INET ? interface4 : interface6;
            if (!familyGroup.isEmpty() && !familyInterface.isEmpty() && familySocket(family).fd != -1)
                return requestMembership(family, isJoin, familyGroup, familyInterface, error);
        }
        *error = badParamError(QStringLiteral("Socket, group, and interface do not have matching IP versions"));
        return false;
    });
}

bool GCDAsyncUdpSocket::requestMembership(int family, bool isJoin, const QByteArray &group, const QByteArray &interface,
                                          PlatformError *errPtr)
{
    const int fd = familySocket(family).fd;
    const QByteArray groupHost = hostBytesOf(group);
    int result = 0;
    if (family == AF_INET) {
        ip_mreq request{};
        std::memcpy(&request.imr_multiaddr, groupHost.constData(), sizeof request.imr_multiaddr);
        std::memcpy(&request.imr_interface, hostBytesOf(interface).constData(), sizeof request.imr_interface);
        result =
            ::setsockopt(fd, IPPROTO_IP, isJoin ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request, sizeof request);
    } else {
        ipv6_mreq request{};
        std::memcpy(&request.ipv6mr_multiaddr, groupHost.constData(), sizeof request.ipv6mr_multiaddr);
        request.ipv6mr_interface = indexOfInterfaceAddr(interface);
        result = ::setsockopt(fd, IPPROTO_IPV6, isJoin ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &request,
                              sizeof request);
    }
    if (result != 0) {
        *errPtr = errnoErrorWithReason(errno, QStringLiteral("Error in setsockopt() function"));
        return false;
    }
    // Membership ties the socket to this family from now on.
    closeSocket(otherFamily(family));
    m_flags |= deactivatedFlag(otherFamily(family));
    return true;
}
