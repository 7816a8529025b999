#include "platform/dispatch/DispatchQueue.h"

#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/DispatchLog.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/EventMonitor.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/WorkerPool.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <thread>

namespace platform {

namespace {

// The queues whose blocks the calling thread is inside, innermost last (a sync that runs inline on
// the caller's thread nests one queue inside another).
thread_local std::vector<const DispatchQueue *> t_runningQueues;

// Static initialisation runs on the thread that starts the process.
const std::thread::id s_processMainThread = std::this_thread::get_id();

class RunningQueueScope final
{
public:
    explicit RunningQueueScope(const DispatchQueue *queue) { t_runningQueues.push_back(queue); }
    ~RunningQueueScope() { t_runningQueues.pop_back(); }
    RunningQueueScope(const RunningQueueScope &) = delete;
    RunningQueueScope &operator=(const RunningQueueScope &) = delete;
};

std::shared_ptr<DispatchQueue> makeGlobal(QueuePriority priority, const char *label)
{
    return std::make_shared<ConcurrentQueue>(QString::fromLatin1(label), priority, ConcurrentQueue::Global::Yes);
}

} // namespace

DispatchDuration durationFromSeconds(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0)
        return DispatchDuration::zero();
    // Beyond a century is "never" for every caller; clamping keeps the conversion from overflowing.
    constexpr double kLongestSeconds = 100.0 * 365 * 24 * 3600;
    const std::chrono::duration<double> clamped(std::min(seconds, kLongestSeconds));
    return std::chrono::duration_cast<DispatchDuration>(clamped);
}

DispatchTime deadlineAfter(DispatchDuration delay, DispatchTime start)
{
    if (delay <= DispatchDuration::zero())
        return start;
    if (delay >= DispatchTime::max() - start)
        return DispatchTime::max();
    return start + delay;
}

DispatchQueue::DispatchQueue(QString label, QueueKind kind, QueuePriority priority, bool isGlobal)
    : m_label(std::move(label)), m_kind(kind), m_priority(priority), m_isGlobal(isGlobal)
{
}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const QString &label)
{
    return std::make_shared<SerialQueue>(label);
}

std::shared_ptr<DispatchQueue> DispatchQueue::createConcurrent(const QString &label)
{
    return std::make_shared<ConcurrentQueue>(label, QueuePriority::Default, ConcurrentQueue::Global::No);
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QueuePriority priority)
{
    static const std::shared_ptr<DispatchQueue> low = makeGlobal(QueuePriority::Low, "global.low");
    static const std::shared_ptr<DispatchQueue> normal = makeGlobal(QueuePriority::Default, "global.default");
    static const std::shared_ptr<DispatchQueue> high = makeGlobal(QueuePriority::High, "global.high");
    switch (priority) {
    case QueuePriority::Low:
        return low;
    case QueuePriority::High:
        return high;
    case QueuePriority::Default:
        break;
    }
    return normal;
}

std::shared_ptr<DispatchQueue> DispatchQueue::main()
{
    return MainQueue::shared();
}

void DispatchQueue::barrierAsync(DispatchBlock block)
{
    async(std::move(block));
}

void DispatchQueue::after(double seconds, DispatchBlock block)
{
    after(durationFromSeconds(seconds), std::move(block));
}

void DispatchQueue::after(DispatchDuration delay, DispatchBlock block)
{
    const DispatchTime deadline = deadlineAfter(delay);
    EventMonitor::shared().addTimer(
        deadline, [queue = shared_from_this(), block = std::move(block)]() mutable { queue->async(std::move(block)); });
}

bool DispatchQueue::isCurrent() const
{
    return !t_runningQueues.empty() && t_runningQueues.back() == this;
}

void DispatchQueue::setSpecific(const QueueSpecificKey &key, const void *value)
{
    std::lock_guard lock(m_specificsMutex);
    const auto existing = std::find_if(m_specifics.begin(), m_specifics.end(),
                                       [&key](const Specific &specific) { return specific.key == &key; });
    if (existing != m_specifics.end()) {
        if (value == nullptr)
            m_specifics.erase(existing);
        else
            existing->value = value;
        return;
    }
    if (value != nullptr)
        m_specifics.push_back(Specific{&key, value});
}

const void *DispatchQueue::specific(const QueueSpecificKey &key) const
{
    std::lock_guard lock(m_specificsMutex);
    for (const Specific &specific : m_specifics) {
        if (specific.key == &key)
            return specific.value;
    }
    return nullptr;
}

const void *DispatchQueue::currentSpecific(const QueueSpecificKey &key)
{
    return t_runningQueues.empty() ? nullptr : t_runningQueues.back()->specific(key);
}

QString DispatchQueue::currentLabel()
{
    return t_runningQueues.empty() ? QString() : t_runningQueues.back()->label();
}

bool DispatchQueue::isMainThread()
{
    if (const QCoreApplication *application = QCoreApplication::instance())
        return QThread::currentThread() == application->thread();
    return std::this_thread::get_id() == s_processMainThread;
}

int DispatchQueue::runMainQueueUntilEmpty()
{
    return MainQueue::shared()->runUntilEmpty();
}

bool DispatchQueue::runMainQueueUntil(const std::function<bool()> &condition, DispatchDuration timeLimit,
                                      ConditionChange change)
{
    return MainQueue::shared()->runUntil(condition, deadlineAfter(timeLimit), change);
}

void DispatchQueue::runBlock(const DispatchBlock &block)
{
    const RunningQueueScope scope(this);
    try {
        block();
    } catch (...) {
        logDispatchProblem(QStringLiteral("a block on queue \"%1\" threw an exception; it was abandoned").arg(m_label));
    }
}

bool DispatchQueue::isHeldByCurrentThread() const
{
    return std::find(t_runningQueues.begin(), t_runningQueues.end(), this) != t_runningQueues.end();
}

void DispatchQueue::syncThroughQueue(const DispatchBlock &block)
{
    DispatchSemaphore completion(0);
    async([&block, &completion] {
        // Runs inside this queue's runBlock, so a throwing block is caught there; the guard still
        // releases the caller.
        struct Release
        {
            DispatchSemaphore &completion;
            ~Release() { completion.signal(); }
        } release{completion};
        block();
    });
    completion.wait();
}

void DispatchQueue::reportSelfSync() const
{
    logDispatchProblem(QStringLiteral("sync onto queue \"%1\" from a block already running on it; "
                                      "the block runs at once instead of waiting for itself")
                           .arg(m_label));
}

} // namespace platform
