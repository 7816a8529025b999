#pragma once

#include "app/zip/ZZStreamStatus.h"
#include "platform/foundation/PlatformError.h"

#include <QtGlobal>

// A source of bytes read in pieces: the library's entry content streams. Open before reading and
// close when done. A read answers the count of bytes given (0 at the end) or -1 on a failure, after
// which streamError() says what failed. One thread at a time.
class ZZInputStream
{
public:
    virtual ~ZZInputStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;
    virtual qint64 read(uchar *buffer, qint64 maxLength) = 0;
    virtual ZZStreamStatus streamStatus() const = 0;
    virtual platform::PlatformError streamError() const = 0;
    virtual bool hasBytesAvailable() const { return true; }
};
