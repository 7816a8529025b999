#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {

// The queue of the main thread. When a Qt application object exists, every block queued here asks the
// application's event loop (by a queued call) to run the waiting blocks, so they interleave with
// window and timer events. Without one, blocks wait until the main thread pumps the queue
// (DispatchQueue::runMainQueueUntilEmpty / runMainQueueUntil). Delayed blocks (after) and timer
// sources on this queue therefore fire on the main thread, in deadline order. One instance; thread-safe.
class MainQueue final : public DispatchQueue
{
public:
    static std::shared_ptr<MainQueue> shared();

    MainQueue();

    void async(DispatchBlock block) override;
    // From the main thread the block runs at once (waiting would deadlock); elsewhere it waits for
    // the main thread to run it.
    void sync(const DispatchBlock &block) override;

    int runUntilEmpty();
    bool runUntil(const std::function<bool()> &condition, DispatchTime deadline,
                  ConditionChange change = ConditionChange::Anywhere);

private:
    void postToEventLoop();
    void forgetApplication();
    void runPostedBatch();
    bool runOne();

    std::mutex m_mutex;
    std::condition_variable m_blockQueued;
    std::deque<DispatchBlock> m_pending;
    // The application object that has been asked to run the queue and has not done so yet. An
    // application object that goes away drops the request, so its end clears this (the next one,
    // perhaps at the same address, is asked again).
    const void *m_postedTo = nullptr;
    // The application object whose end is being watched.
    const void *m_watchedApplication = nullptr;
};

} // namespace platform
