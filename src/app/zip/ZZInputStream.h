#pragma once

#include "app/zip/ZZStream.h"

#include <QtGlobal>

// A source of bytes read in pieces: the library's entry content streams. A read answers the count of
// bytes given (0 at the end) or -1 on a failure, after which streamError() says what failed.
class ZZInputStream : public ZZStream
{
public:
    virtual qint64 read(uchar *buffer, qint64 maxLength) = 0;
    virtual bool hasBytesAvailable() const { return true; }
};
