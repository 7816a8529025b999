#pragma once

#include "platform/foundation/PlatformError.h"

#include <QByteArrayView>

// Where a rewrite of an archive writes its bytes: a file or a block of memory. Offsets are 32-bit, as
// the zip format has no room for more. One thread at a time.
class ZZChannelOutput
{
public:
    virtual ~ZZChannelOutput() = default;

    virtual quint32 offset() const = 0;
    virtual bool seekToOffset(quint32 offset, platform::PlatformError *error) = 0;
    virtual bool writeData(QByteArrayView data, platform::PlatformError *error) = 0;
    virtual bool truncateAtOffset(quint32 offset, platform::PlatformError *error) = 0;
    virtual void close() = 0;
};
