#pragma once

#include "app/zip/ZZStreamStatus.h"
#include "platform/foundation/PlatformError.h"

#include <QtGlobal>

// A sink of bytes written in pieces: what a new entry's stream callback writes its content into.
// A write answers the count of bytes taken or -1 on a failure, after which streamError() says what
// failed. One thread at a time.
class ZZOutputStream
{
public:
    virtual ~ZZOutputStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;
    virtual qint64 write(const uchar *buffer, qint64 length) = 0;
    virtual ZZStreamStatus streamStatus() const = 0;
    virtual platform::PlatformError streamError() const = 0;
    virtual bool hasSpaceAvailable() const { return true; }
};
