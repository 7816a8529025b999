#pragma once

#include "platform/dispatch/DispatchSemaphore.h"

#include <atomic>
#include <cstdint>
#include <memory>

// Tells a waiting thread whether one element sent with sendElement(element, &receipt) was written to
// the socket. The stream signals it once: success when its element's write completes, failure when the
// element was dropped (a filter chain, the stream leaving the connected state) or the stream
// disconnected or went away first. Thread-safe; serves one waiter.
class XMPPElementReceipt final
{
public:
    XMPPElementReceipt();

    void signalSuccess();
    void signalFailure();
    // Whether the element was written: waits up to the timeout in seconds (below 0: without limit);
    // false on a timeout or a failure.
    bool wait(double timeout_seconds);

private:
    std::atomic<std::uint32_t> m_atomicFlags{0};
    const std::shared_ptr<platform::DispatchSemaphore> m_semaphore;
};
