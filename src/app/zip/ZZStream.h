#pragma once

#include "platform/foundation/PlatformError.h"

// Where a stream of the library stands, with the platform's stream status numbers.
enum class ZZStreamStatus {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

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
