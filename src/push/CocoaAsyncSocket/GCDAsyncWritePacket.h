#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

class GCDAsyncSpecialPacket;

// One queued write of a GCDAsyncSocket. The data is shared with the caller (QByteArray shares its
// bytes); made on the caller's thread, then used only on the socket queue.
class GCDAsyncWritePacket final
{
public:
    GCDAsyncWritePacket(QByteArray data, double timeout, long tag) : buffer(std::move(data)), tag(tag), timeout(timeout)
    {
    }

    const QByteArray buffer;
    std::size_t bytesDone = 0;
    const long tag;
    double timeout;
    // Set on the TLS request's place in the queue (the same request sits in the read queue).
    std::shared_ptr<const GCDAsyncSpecialPacket> special;
};
