#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QVariant>

class GCDAsyncUdpSocket;

// What a GCDAsyncUdpSocket tells its owner. Every operation is optional (empty by default). The socket
// holds its delegate as a non-owning pointer and calls it only on the delegate queue; an owner that
// goes away first clears the delegate (synchronouslySetDelegate(nullptr) from the delegate queue), after
// which no callback reaches it. Callbacks may call back into the socket.
class GCDAsyncUdpSocketDelegate
{
public:
    virtual ~GCDAsyncUdpSocketDelegate();

    // A connect succeeded; the address is the peer's socket address.
    virtual void udpSocketDidConnectToAddress(GCDAsyncUdpSocket *sock, const QByteArray &address);
    virtual void udpSocketDidNotConnect(GCDAsyncUdpSocket *sock, const platform::PlatformError &error);
    // The datagram was handed to the system, or dropped by the send filter.
    virtual void udpSocketDidSendDataWithTag(GCDAsyncUdpSocket *sock, long tag);
    virtual void udpSocketDidNotSendDataWithTag(GCDAsyncUdpSocket *sock, long tag,
                                                const platform::PlatformError &error);
    // One datagram: its bytes, the sender's socket address, and the receive filter's context (invalid
    // when there is none).
    virtual void udpSocketDidReceiveData(GCDAsyncUdpSocket *sock, const QByteArray &data, const QByteArray &address,
                                         const QVariant &filterContext);
    // The sockets were closed; a null error for a plain close.
    virtual void udpSocketDidClose(GCDAsyncUdpSocket *sock, const platform::PlatformError &error);
};
