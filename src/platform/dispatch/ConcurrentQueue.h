#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <deque>
#include <mutex>

namespace platform {

// A queue whose blocks run at the same time, each on a worker of the shared pool, which grows while
// blocks wait. A barrier block waits until every earlier block has finished, runs alone, and holds
// every later block until it is done; the global queues ignore barriers, as they are shared by all.
// Made by DispatchQueue::createConcurrent and DispatchQueue::global; thread-safe.
class ConcurrentQueue final : public DispatchQueue
{
public:
    enum class Global { No, Yes };

    ConcurrentQueue(const QString &label, QueuePriority priority, Global global);

    void async(DispatchBlock block) override;
    void sync(const DispatchBlock &block) override;
    void barrierAsync(DispatchBlock block) override;

private:
    struct Item
    {
        DispatchBlock block;
        bool isBarrier = false;
    };

    void enqueue(Item item);
    // Hands to the pool every waiting block that may start now. Called with the mutex held; the
    // blocks to start are collected and submitted after it is released.
    std::vector<Item> takeStartable();
    void start(std::vector<Item> items);
    void finished(bool wasBarrier);

    std::mutex m_mutex;
    std::deque<Item> m_pending;
    int m_runningCount = 0;
    bool m_isBarrierRunning = false;
};

} // namespace platform
