#include "phonelink/CocoaAsyncSocket/GCDAsyncUdpSocketDelegate.h"

GCDAsyncUdpSocketDelegate::~GCDAsyncUdpSocketDelegate() = default;

void GCDAsyncUdpSocketDelegate::udpSocketDidConnectToAddress(GCDAsyncUdpSocket *, const QByteArray &) {}

void GCDAsyncUdpSocketDelegate::udpSocketDidNotConnect(GCDAsyncUdpSocket *, const platform::PlatformError &) {}

void GCDAsyncUdpSocketDelegate::udpSocketDidSendDataWithTag(GCDAsyncUdpSocket *, long) {}

void GCDAsyncUdpSocketDelegate::udpSocketDidNotSendDataWithTag(GCDAsyncUdpSocket *, long,
                                                               const platform::PlatformError &)
{
}

void GCDAsyncUdpSocketDelegate::udpSocketDidReceiveData(GCDAsyncUdpSocket *, const QByteArray &, const QByteArray &,
                                                        const QVariant &)
{
}

void GCDAsyncUdpSocketDelegate::udpSocketDidClose(GCDAsyncUdpSocket *, const platform::PlatformError &) {}
