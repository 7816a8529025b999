#include "push/CocoaAsyncSocket/GCDAsyncSocketDelegate.h"

#include "platform/dispatch/DispatchQueue.h"

GCDAsyncSocketDelegate::~GCDAsyncSocketDelegate() = default;

std::shared_ptr<platform::DispatchQueue> GCDAsyncSocketDelegate::newSocketQueueForConnectionFromAddress(
    const QByteArray &, GCDAsyncSocket *)
{
    return {};
}

void GCDAsyncSocketDelegate::socketDidAcceptNewSocket(GCDAsyncSocket *, const std::shared_ptr<GCDAsyncSocket> &) {}

void GCDAsyncSocketDelegate::socketDidConnectToHost(GCDAsyncSocket *, const QString &, quint16) {}

void GCDAsyncSocketDelegate::socketDidReadData(GCDAsyncSocket *, const QByteArray &, long) {}

void GCDAsyncSocketDelegate::socketDidReadPartialDataOfLength(GCDAsyncSocket *, std::size_t, long) {}

void GCDAsyncSocketDelegate::socketDidWriteDataWithTag(GCDAsyncSocket *, long) {}

void GCDAsyncSocketDelegate::socketDidWritePartialDataOfLength(GCDAsyncSocket *, std::size_t, long) {}

double GCDAsyncSocketDelegate::socketShouldTimeoutReadWithTag(GCDAsyncSocket *, long, double, std::size_t)
{
    return 0;
}

double GCDAsyncSocketDelegate::socketShouldTimeoutWriteWithTag(GCDAsyncSocket *, long, double, std::size_t)
{
    return 0;
}

void GCDAsyncSocketDelegate::socketDidCloseReadStream(GCDAsyncSocket *) {}

void GCDAsyncSocketDelegate::socketDidDisconnect(GCDAsyncSocket *, const platform::PlatformError &) {}

void GCDAsyncSocketDelegate::socketDidSecure(GCDAsyncSocket *) {}
