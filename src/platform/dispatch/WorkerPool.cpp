#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/DispatchLog.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include <pthread.h>

namespace platform {

namespace {

// Far above what the sync core needs (one thread per blocked block); reaching it means runaway
// blocking, and further tasks then wait for a thread to come free instead of exhausting the process.
constexpr int kMaxThreads = 512;
constexpr auto kDefaultIdleRetirement = std::chrono::seconds(5);

} // namespace

struct WorkerPool::State
{
    std::mutex mutex;
    std::condition_variable workAvailable;
    std::deque<DispatchBlock> highTasks;
    std::deque<DispatchBlock> tasks;
    int threadCount = 0;
    int idleCount = 0;
    DispatchDuration idleRetirement = kDefaultIdleRetirement;
    bool hasWarnedOfLimit = false;

    size_t queuedCount() const { return highTasks.size() + tasks.size(); }

    DispatchBlock takeTask()
    {
        std::deque<DispatchBlock> &from = highTasks.empty() ? tasks : highTasks;
        DispatchBlock task = std::move(from.front());
        from.pop_front();
        return task;
    }
};

namespace {

struct ThreadStart
{
    std::shared_ptr<WorkerPool::State> state;
};

// Waits while idle; answers false when the idle time ran out with no work. The limit is re-read
// after every wake, so a changed limit applies to threads already waiting.
bool waitForWork(WorkerPool::State &state, std::unique_lock<std::mutex> &lock)
{
    const DispatchTime idleSince = DispatchClock::now();
    for (;;) {
        if (state.queuedCount() > 0)
            return true;
        const DispatchTime retirement = deadlineAfter(state.idleRetirement, idleSince);
        if (DispatchClock::now() >= retirement)
            return false;
        state.workAvailable.wait_until(lock, retirement);
    }
}

void runWorker(const std::shared_ptr<WorkerPool::State> &state)
{
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->queuedCount() > 0) {
            DispatchBlock task = state->takeTask();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            continue;
        }
        ++state->idleCount;
        const bool hasWork = waitForWork(*state, lock);
        --state->idleCount;
        if (!hasWork) {
            --state->threadCount;
            return;
        }
    }
}

void *workerEntry(void *argument)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(argument));
    pthread_setname_np(pthread_self(), "hm-dispatch");
    runWorker(start->state);
    return nullptr;
}

// Starts one detached worker; answers false when the system refuses a thread.
bool startWorker(const std::shared_ptr<WorkerPool::State> &state)
{
    auto start = std::make_unique<ThreadStart>(ThreadStart{state});
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int failure = pthread_create(&thread, &attributes, workerEntry, start.get());
    pthread_attr_destroy(&attributes);
    if (failure != 0)
        return false;
    start.release();
    return true;
}

} // namespace

WorkerPool::WorkerPool() : m_state(std::make_shared<State>()) {}

WorkerPool &WorkerPool::shared()
{
    static WorkerPool pool;
    return pool;
}

void WorkerPool::submit(DispatchBlock task, QueuePriority priority)
{
    std::unique_lock lock(m_state->mutex);
    (priority == QueuePriority::High ? m_state->highTasks : m_state->tasks).push_back(std::move(task));
    const bool needsThread = m_state->queuedCount() > size_t(m_state->idleCount);
    if (!needsThread || m_state->threadCount >= kMaxThreads) {
        if (needsThread && !m_state->hasWarnedOfLimit) {
            m_state->hasWarnedOfLimit = true;
            logDispatchProblem(QStringLiteral("worker pool reached %1 threads; further blocks wait").arg(kMaxThreads));
        }
        lock.unlock();
        m_state->workAvailable.notify_one();
        return;
    }
    ++m_state->threadCount;
    if (startWorker(m_state))
        return;
    --m_state->threadCount;
    const bool hasNoThread = m_state->threadCount == 0;
    lock.unlock();
    logDispatchProblem(hasNoThread ? QStringLiteral("cannot start a worker thread; blocks wait for one")
                                   : QStringLiteral("cannot start another worker thread"));
    m_state->workAvailable.notify_one();
}

void WorkerPool::setIdleRetirement(DispatchDuration idleTime)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->idleRetirement = idleTime;
    }
    m_state->workAvailable.notify_all();
}

int WorkerPool::threadCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->threadCount;
}

int WorkerPool::idleThreadCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->idleCount;
}

} // namespace platform
