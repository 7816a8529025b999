#include "platform/dispatch/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>

namespace platform {

namespace {

// While pumping without an event loop the condition is re-tested even when nothing is queued, since
// what it watches may change on another thread without queuing anything here: soon after a block
// ran, then less and less often while the queue stays idle (a sync of half a second would otherwise
// wake the main thread 500 times for nothing).
constexpr auto kConditionPollInterval = std::chrono::milliseconds(1);
constexpr auto kIdleConditionPollInterval = std::chrono::milliseconds(16);

} // namespace

std::shared_ptr<MainQueue> MainQueue::shared()
{
    static const std::shared_ptr<MainQueue> queue = std::make_shared<MainQueue>();
    return queue;
}

MainQueue::MainQueue() : DispatchQueue(QStringLiteral("main"), QueueKind::Main, QueuePriority::High, false) {}

void MainQueue::async(DispatchBlock block)
{
    {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(std::move(block));
    }
    m_blockQueued.notify_all();
    postToEventLoop();
}

void MainQueue::sync(const DispatchBlock &block)
{
    if (isHeldByCurrentThread() || isMainThread()) {
        if (isHeldByCurrentThread())
            reportSelfSync();
        runBlock(block);
        return;
    }
    syncThroughQueue(block);
}

void MainQueue::postToEventLoop()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (application == nullptr)
        return;
    bool shouldWatch = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_postedTo == application || m_pending.empty())
            return;
        m_postedTo = application;
        shouldWatch = m_watchedApplication != application;
        m_watchedApplication = application;
    }
    if (shouldWatch)
        QObject::connect(application, &QObject::destroyed, [] { shared()->forgetApplication(); });
    QMetaObject::invokeMethod(
        application, [] { shared()->runPostedBatch(); }, Qt::QueuedConnection);
}

void MainQueue::forgetApplication()
{
    std::lock_guard lock(m_mutex);
    m_postedTo = nullptr;
    m_watchedApplication = nullptr;
}

void MainQueue::runPostedBatch()
{
    size_t batch = 0;
    {
        std::lock_guard lock(m_mutex);
        m_postedTo = nullptr;
        batch = m_pending.size();
    }
    // Only the blocks that were waiting when the event loop got here: blocks they queue run on a later
    // turn, so a block that re-queues itself cannot starve the loop's other events.
    for (size_t index = 0; index < batch; ++index) {
        if (!runOne())
            break;
    }
}

bool MainQueue::runOne()
{
    DispatchBlock block;
    {
        std::lock_guard lock(m_mutex);
        if (m_pending.empty())
            return false;
        block = std::move(m_pending.front());
        m_pending.pop_front();
    }
    runBlock(block);
    return true;
}

int MainQueue::runUntilEmpty()
{
    int count = 0;
    while (runOne())
        ++count;
    return count;
}

bool MainQueue::runUntil(const std::function<bool()> &condition, DispatchTime deadline, ConditionChange change)
{
    const bool shouldPoll = change == ConditionChange::Anywhere;
    auto pollInterval = std::chrono::duration_cast<DispatchClock::duration>(kConditionPollInterval);
    for (;;) {
        if (runUntilEmpty() > 0)
            pollInterval = kConditionPollInterval;
        if (condition())
            return true;
        const DispatchTime now = DispatchClock::now();
        if (now >= deadline)
            return false;
        std::unique_lock lock(m_mutex);
        const DispatchTime wakeAt = shouldPoll ? std::min(deadline, now + pollInterval) : deadline;
        if (!m_blockQueued.wait_until(lock, wakeAt, [this] { return !m_pending.empty(); }))
            pollInterval = std::min<DispatchClock::duration>(pollInterval * 2, kIdleConditionPollInterval);
    }
}

} // namespace platform
