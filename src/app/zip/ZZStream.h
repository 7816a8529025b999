#pragma once

#include "app/zip/ZZStreamStatus.h"
#include "platform/foundation/PlatformError.h"

// What every stream of the library has, whichever way its bytes go: it is opened before use and
// closed when done, and tells where it stands and, after a failure, what failed. One thread at a time.
class ZZStream
{
public:
    virtual ~ZZStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;
    virtual ZZStreamStatus streamStatus() const = 0;
    virtual platform::PlatformError streamError() const = 0;
};
