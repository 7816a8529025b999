#pragma once

#include <cstddef>
#include <functional>
#include <memory>

class ZZInputStream;

// A sequential provider of an entry's content: bytes are handed out in order from a stream that the
// provider makes on first use and makes afresh after a rewind. Errors of the stream end the content
// early. One thread at a time; the provider must not outlive the archive's entry it came from.
class ZZDataProvider final
{
public:
    // Makes a new, unopened stream over the content; nullptr when it cannot.
    using StreamBlock = std::function<std::unique_ptr<ZZInputStream>()>;

    explicit ZZDataProvider(StreamBlock streamBlock);
    ~ZZDataProvider();
    ZZDataProvider(const ZZDataProvider &) = delete;
    ZZDataProvider &operator=(const ZZDataProvider &) = delete;

    // Fills the buffer with the next bytes; answers how many (fewer only at the end or on a failure).
    std::size_t getBytes(void *buffer, std::size_t count);
    // Passes over the next bytes; answers how many were passed over (0 for a non-positive count).
    long long skipForward(long long count);
    // Starts the content over at the next access.
    void rewind();

private:
    bool ensureStream();

    StreamBlock m_streamBlock;
    std::unique_ptr<ZZInputStream> m_stream;
};
