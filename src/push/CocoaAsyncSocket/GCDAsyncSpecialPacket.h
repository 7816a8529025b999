#pragma once

#include <QVariantMap>

// The TLS request of a GCDAsyncSocket: its settings, copied when it is made. It takes a place in both
// queues, so that TLS starts once every read and write queued before it has finished.
class GCDAsyncSpecialPacket final
{
public:
    explicit GCDAsyncSpecialPacket(QVariantMap settings) : tlsSettings(std::move(settings)) {}

    const QVariantMap tlsSettings;
};
