#pragma once

#include "app/zip/ZZStream.h"

#include <QtGlobal>

// A sink of bytes written in pieces: what a new entry's stream callback writes its content into.
// A write answers the count of bytes taken or -1 on a failure, after which streamError() says what
// failed.
class ZZOutputStream : public ZZStream
{
public:
    virtual qint64 write(const uchar *buffer, qint64 length) = 0;
    virtual bool hasSpaceAvailable() const { return true; }
};
