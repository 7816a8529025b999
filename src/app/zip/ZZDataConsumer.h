#pragma once

#include <cstddef>

class ZZOutputStream;

// A consumer of bytes handed to a new entry's consumer callback: everything put into it goes into the
// entry's output stream. Valid only during the callback.
class ZZDataConsumer final
{
public:
    explicit ZZDataConsumer(ZZOutputStream &stream) : m_stream(stream) {}

    // Writes the bytes and answers how many the stream took (fewer than count after a failure).
    std::size_t putBytes(const void *buffer, std::size_t count);

private:
    ZZOutputStream &m_stream;
};
