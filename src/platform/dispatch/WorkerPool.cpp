#include "platform/dispatch/WorkerPool.h"

#include "platform/dispatch/DispatchLog.h"
#include "platform/dispatch/EventMonitor.h"
#include "platform/dispatch/SpinWait.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include <pthread.h>

namespace platform {

namespace {

// Far above what the sync core needs (one thread per blocked block); reaching it means runaway
// blocking, and further tasks then wait for a thread to come free instead of exhausting the process.
constexpr int kMaxThreads = 512;
constexpr auto kDefaultIdleRetirement = std::chrono::seconds(5);
// How long a task queued by a running task may wait for that task to finish before another thread is
// woken for it (see WorkerPool::submit); between one and two of these.
constexpr auto kDeferredWakeLimit = std::chrono::milliseconds(1);
// How long a worker that has just finished a task spins for the next one before it sleeps, and how
// many workers may spin at once (see spinForWork).
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
constexpr int kMaxSpinningWorkers = 2;
// After this many spins in a row that found no work, workers spin only once in kSpinProbeInterval
// chances, until a spin finds work again (see spinForWork).
constexpr int kFruitlessSpinLimit = 4;
constexpr unsigned kSpinProbeInterval = 8;

} // namespace

struct WorkerPool::State
{
    std::mutex mutex;
    std::condition_variable workAvailable;
    // Notified whenever a thread goes idle or retires (see WorkerPool::waitUntilIdle).
    std::condition_variable threadWentIdle;
    std::deque<DispatchBlock> highTasks;
    std::deque<DispatchBlock> tasks;
    int threadCount = 0;
    int idleCount = 0;
    DispatchDuration idleRetirement = kDefaultIdleRetirement;
    bool hasWarnedOfLimit = false;
    // Wake-ups owed for tasks queued by running tasks, by the watchdog round they were queued in: the
    // current round's, and the previous round's, which the watchdog pays when it fires.
    std::uint64_t deferralRound = 0;
    int deferredNow = 0;
    int deferredBefore = 0;
    bool isWatchdogArmed = false;
    // Idle workers spinning for work (counted in idleCount too), and the queued task count as they
    // read it without the mutex.
    int spinningCount = 0;
    // Spins in a row that found no work, and the chances to spin passed up since they became many.
    int fruitlessSpins = 0;
    unsigned skippedSpins = 0;
    // Whether an idle worker keeps the event monitor's clock (see waitKeepingClock).
    bool hasClockKeeper = false;
    std::atomic<size_t> queuedHint{0};

    size_t queuedCount() const { return highTasks.size() + tasks.size(); }

    void push(DispatchBlock task, QueuePriority priority)
    {
        (priority == QueuePriority::High ? highTasks : tasks).push_back(std::move(task));
        queuedHint.store(queuedCount(), std::memory_order_release);
    }
    bool isIdle() const { return queuedCount() == 0 && idleCount == threadCount; }

    DispatchBlock takeTask()
    {
        std::deque<DispatchBlock> &from = highTasks.empty() ? tasks : highTasks;
        DispatchBlock task = std::move(from.front());
        from.pop_front();
        queuedHint.store(queuedCount(), std::memory_order_relaxed);
        return task;
    }
};

namespace {

struct ThreadStart
{
    std::shared_ptr<WorkerPool::State> state;
};

// The pool a worker thread belongs to, and the wake-ups it owes for tasks its running task queued.
struct WorkerContext
{
    WorkerPool::State *state = nullptr;
    int deferredCount = 0;
    std::uint64_t deferralRound = 0;
};

thread_local WorkerContext t_worker;

bool startWorker(const std::shared_ptr<WorkerPool::State> &state);

// Sees that a thread will run one more queued task: an idle one is woken, or a new one started while
// every thread is busy. Called with the mutex held; it may release it.
void provideThread(const std::shared_ptr<WorkerPool::State> &state, std::unique_lock<std::mutex> &lock)
{
    const bool needsThread = state->queuedCount() > size_t(state->idleCount);
    if (!needsThread || state->threadCount >= kMaxThreads) {
        if (needsThread && !state->hasWarnedOfLimit) {
            state->hasWarnedOfLimit = true;
            logDispatchProblem(QStringLiteral("worker pool reached %1 threads; further blocks wait").arg(kMaxThreads));
        }
        // A spinning worker takes the task without being woken.
        if (state->queuedCount() > size_t(state->spinningCount))
            state->workAvailable.notify_one();
        return;
    }
    ++state->threadCount;
    if (startWorker(state))
        return;
    --state->threadCount;
    const bool hasNoThread = state->threadCount == 0;
    lock.unlock();
    logDispatchProblem(hasNoThread ? QStringLiteral("cannot start a worker thread; blocks wait for one")
                                   : QStringLiteral("cannot start another worker thread"));
    state->workAvailable.notify_one();
    lock.lock();
}

// The calling worker's owed wake-ups are settled: taken off the pool's account, and answered how
// many still stand (those of a round the watchdog has not paid yet). Called with the mutex held.
int takeDeferredWakes(WorkerPool::State &state)
{
    const int count = t_worker.deferredCount;
    t_worker.deferredCount = 0;
    if (count == 0)
        return 0;
    if (t_worker.deferralRound == state.deferralRound) {
        state.deferredNow -= count;
        return count;
    }
    if (t_worker.deferralRound + 1 == state.deferralRound) {
        state.deferredBefore -= count;
        return count;
    }
    return 0;
}

void watchdogFired(const std::shared_ptr<WorkerPool::State> &state);

// Records that the calling worker owes one wake-up, in the current round. Called with the mutex held
// and no debt of an earlier round standing; answers whether the caller must arm the watchdog after
// releasing the mutex.
bool recordDeferral(WorkerPool::State &state)
{
    t_worker.deferralRound = state.deferralRound;
    ++t_worker.deferredCount;
    ++state.deferredNow;
    if (state.isWatchdogArmed)
        return false;
    state.isWatchdogArmed = true;
    return true;
}

// Asks the event monitor to look at the owed wake-ups once the limit has passed.
void armWatchdog(const std::shared_ptr<WorkerPool::State> &state)
{
    EventMonitor::shared().addTimer(deadlineAfter(kDeferredWakeLimit), [state] { watchdogFired(state); });
}

// After a task: the worker takes one queued task itself, and wakes threads for the others it queued.
void settleAfterTask(const std::shared_ptr<WorkerPool::State> &state, std::unique_lock<std::mutex> &lock)
{
    const int owed = takeDeferredWakes(*state);
    for (int extra = std::min<int>(owed, int(state->queuedCount())) - 1; extra > 0; --extra)
        provideThread(state, lock);
}

// Wake-ups owed since before the last round are paid now: their tasks have waited at least the limit,
// so the task that queued them runs long or blocks.
void watchdogFired(const std::shared_ptr<WorkerPool::State> &state)
{
    std::unique_lock lock(state->mutex);
    int overdue = std::min<int>(state->deferredBefore, int(state->queuedCount()));
    state->deferredBefore = state->deferredNow;
    state->deferredNow = 0;
    ++state->deferralRound;
    for (; overdue > 0; --overdue)
        provideThread(state, lock);
    const bool mustArm = state->deferredBefore > 0;
    state->isWatchdogArmed = mustArm;
    lock.unlock();
    if (mustArm)
        armWatchdog(state);
}

// Sleeps until work comes or the retirement. One idle worker at a time also keeps the event monitor's
// clock: it sleeps no later than the earliest timer and runs the timers due when it wakes, so that a
// delayed block wakes only the worker that runs it (not the monitor thread, then a worker); one
// already due runs without any sleep. The blocks those timers queue come to this worker without
// waking another: it counts as spinning while it runs them, as a spinning worker would take them.
// Called with the mutex held, the worker counted idle.
void waitKeepingClock(WorkerPool::State &state, std::unique_lock<std::mutex> &lock, DispatchTime retirement)
{
    const DispatchTime due = state.hasClockKeeper ? DispatchTime::max() : EventMonitor::keepClock();
    if (due == DispatchTime::max()) {
        state.workAvailable.wait_until(lock, retirement);
        return;
    }
    state.hasClockKeeper = true;
    if (due > DispatchClock::now())
        state.workAvailable.wait_until(lock, std::min(retirement, due));
    state.hasClockKeeper = false;
    ++state.spinningCount;
    lock.unlock();
    WorkerPool::State *const pool = std::exchange(t_worker.state, nullptr);
    EventMonitor::releaseClock();
    t_worker.state = pool;
    lock.lock();
    --state.spinningCount;
}

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
        waitKeepingClock(state, lock, retirement);
    }
}

// A worker that has just finished a task spins a little before it sleeps: work often comes right
// back (the next block of a request and its reply), and a spinning worker takes it without the cost
// of a wake-up. While it spins it also handles descriptor events the kernel has reported, so that a
// reply that arrives meanwhile needs no wake-up of the event monitor either. Only after a task, so
// that an idle program does not spin; at most kMaxSpinningWorkers at a time, which bounds the cost.
// Where work comes back only milliseconds later (a request whose reply crosses a network, a step
// paced by a timer) every spin is lost processor time: once several in a row found nothing, workers
// spin only now and then, to notice when work comes back quickly again.
bool shouldSpin(WorkerPool::State &state)
{
    if (state.spinningCount >= kMaxSpinningWorkers)
        return false;
    return state.fruitlessSpins < kFruitlessSpinLimit || ++state.skippedSpins % kSpinProbeInterval == 0;
}

// The spin, where shouldSpin allows it. Called with the mutex held, the worker counted idle.
void spinForWork(WorkerPool::State &state, std::unique_lock<std::mutex> &lock)
{
    if (!shouldSpin(state))
        return;
    ++state.spinningCount;
    lock.unlock();
    unsigned looks = 0;
    const bool hasFoundWork = spinUntil(
        [&state, &looks] {
            // A look at the kernel's reports is a system call: one in every 4 looks. The work its
            // callbacks queue is submitted as from outside the pool (this worker runs no task, so
            // it owes no wake-ups): this worker takes one task, and any others wake threads at once.
            if (++looks % 4 == 0) {
                WorkerPool::State *const pool = std::exchange(t_worker.state, nullptr);
                EventMonitor::handleReportedDescriptors();
                t_worker.state = pool;
            }
            return state.queuedHint.load(std::memory_order_acquire) > 0;
        },
        spinLimit(kWorkerSpin));
    lock.lock();
    --state.spinningCount;
    state.fruitlessSpins = hasFoundWork ? 0 : std::min(state.fruitlessSpins + 1, kFruitlessSpinLimit);
}

void runWorker(const std::shared_ptr<WorkerPool::State> &state)
{
    t_worker.state = state.get();
    std::unique_lock lock(state->mutex);
    bool hasJustWorked = false;
    for (;;) {
        if (state->queuedCount() > 0) {
            DispatchBlock task = state->takeTask();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            settleAfterTask(state, lock);
            hasJustWorked = true;
            continue;
        }
        ++state->idleCount;
        state->threadWentIdle.notify_all();
        if (std::exchange(hasJustWorked, false)) {
            spinForWork(*state, lock);
            if (state->queuedCount() > 0) {
                --state->idleCount;
                continue;
            }
        }
        const bool hasWork = waitForWork(*state, lock);
        --state->idleCount;
        if (!hasWork) {
            --state->threadCount;
            state->threadWentIdle.notify_all();
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
    m_state->push(std::move(task), priority);
    if (t_worker.state != m_state.get()) {
        provideThread(m_state, lock);
        return;
    }
    // Queued by a running task: the thread running it takes the task itself when it finishes (one
    // queue handing work to the next, as a socket's queue and its delegate's do, then costs no
    // wake-up at all), unless that task runs past the limit or waits (see beforeBlocking).
    if (t_worker.deferredCount > 0 && t_worker.deferralRound != m_state->deferralRound) {
        // Owed since an earlier round: paid now, so that a task queueing work again and again cannot
        // keep its first debt from the watchdog.
        for (int owed = takeDeferredWakes(*m_state); owed > 0; --owed)
            provideThread(m_state, lock);
    }
    const bool mustArm = recordDeferral(*m_state);
    lock.unlock();
    if (mustArm)
        armWatchdog(m_state);
}

void WorkerPool::beforeBlocking()
{
    if (t_worker.state == nullptr || t_worker.deferredCount == 0)
        return;
    const std::shared_ptr<State> &state = shared().m_state;
    std::unique_lock lock(state->mutex);
    for (int owed = takeDeferredWakes(*state); owed > 0; --owed)
        provideThread(state, lock);
}

void WorkerPool::setIdleRetirement(DispatchDuration idleTime)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->idleRetirement = idleTime;
    }
    m_state->workAvailable.notify_all();
}

bool WorkerPool::waitUntilIdle(DispatchDuration timeLimit)
{
    if (t_worker.state == m_state.get())
        return false;
    std::unique_lock lock(m_state->mutex);
    return m_state->threadWentIdle.wait_for(lock, timeLimit, [this] { return m_state->isIdle(); });
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
