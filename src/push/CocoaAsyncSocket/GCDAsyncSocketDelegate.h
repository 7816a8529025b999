#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>

class GCDAsyncSocket;

namespace platform {
class DispatchQueue;
}

// What a GCDAsyncSocket tells its owner. Every operation is optional (empty by default; the questions
// answer as a delegate without them would: no queue, no extension). The socket holds its delegate as a
// non-owning pointer and calls it only on the delegate queue; an owner that goes away first clears
// the delegate (synchronouslySetDelegate(nullptr)), after which no callback reaches it. Callbacks may
// call back into the socket.
class GCDAsyncSocketDelegate
{
public:
    virtual ~GCDAsyncSocketDelegate();

    // Before an accepted connection gets its socket: the serial queue the new socket should run on
    // (none: it makes its own). The address is the peer's socket address.
    virtual std::shared_ptr<platform::DispatchQueue> newSocketQueueForConnectionFromAddress(const QByteArray &address,
                                                                                             GCDAsyncSocket *sock);
    // A connection was accepted; the delegate keeps newSocket alive for as long as it wants it.
    virtual void socketDidAcceptNewSocket(GCDAsyncSocket *sock, const std::shared_ptr<GCDAsyncSocket> &newSocket);
    virtual void socketDidConnectToHost(GCDAsyncSocket *sock, const QString &host, quint16 port);
    virtual void socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long tag);
    virtual void socketDidReadPartialDataOfLength(GCDAsyncSocket *sock, std::size_t partialLength, long tag);
    virtual void socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag);
    virtual void socketDidWritePartialDataOfLength(GCDAsyncSocket *sock, std::size_t partialLength, long tag);
    // A read or write timed out: answers the seconds to add (0 or less lets it time out). Elapsed is
    // the time allowed so far, bytesDone what the read or write has moved.
    virtual double socketShouldTimeoutReadWithTag(GCDAsyncSocket *sock, long tag, double elapsed,
                                                  std::size_t bytesDone);
    virtual double socketShouldTimeoutWriteWithTag(GCDAsyncSocket *sock, long tag, double elapsed,
                                                   std::size_t bytesDone);
    // The peer closed its side; the socket stays open for writing (half-duplex).
    virtual void socketDidCloseReadStream(GCDAsyncSocket *sock);
    // A started socket closed; a null error for an orderly close.
    virtual void socketDidDisconnect(GCDAsyncSocket *sock, const platform::PlatformError &err);
    virtual void socketDidSecure(GCDAsyncSocket *sock);
};
