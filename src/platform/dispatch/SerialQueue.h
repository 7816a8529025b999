#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <deque>
#include <mutex>

namespace platform {

// A queue that runs its blocks one at a time in the order they came. It holds no thread while idle:
// when blocks arrive it hands one drain task to the worker pool, which runs the blocks and gives the
// thread back when the queue is empty (or after a batch, so that busy queues take turns).
// Made by DispatchQueue::createSerial; thread-safe.
class SerialQueue final : public DispatchQueue
{
public:
    explicit SerialQueue(const QString &label);

    void async(DispatchBlock block) override;
    // When the queue is idle the block runs on the calling thread with the queue held, which is both
    // what the caller waits for and much cheaper than a thread hop.
    void sync(const DispatchBlock &block) override;

private:
    void scheduleDrain();
    void drain();
    void releaseAfterInlineRun();

    std::mutex m_mutex;
    std::deque<DispatchBlock> m_pending;
    // True from the moment a drain is scheduled (or a sync runs inline) until the queue is idle again.
    bool m_isActive = false;
};

} // namespace platform
