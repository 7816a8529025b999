#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// A unit of work handed to a queue. It runs exactly once; an exception that escapes it is caught by
// the queue and logged to standard error.
using DispatchBlock = std::function<void()>;

// Dispatch time is the process's monotonic clock.
using DispatchClock = std::chrono::steady_clock;
using DispatchDuration = DispatchClock::duration;
using DispatchTime = DispatchClock::time_point;

// Fractional seconds as a duration; a negative or non-finite value becomes zero.
DispatchDuration durationFromSeconds(double seconds);
// The time the given delay after the start (now by default): a negative delay counts as zero, and a
// delay past the clock's range gives the farthest time instead of overflowing.
DispatchTime deadlineAfter(DispatchDuration delay, DispatchTime start = DispatchClock::now());

enum class QueuePriority { Low, Default, High };

enum class QueueKind { Serial, Concurrent, Main };

// The identity of a queue-specific value. Code that must know whether it runs on a queue sets a key
// on that queue and later asks for the current queue's value under it. The key is identified by its
// address, so it must outlive every queue that holds it (a static or a member of the queue's owner).
class QueueSpecificKey final
{
public:
    QueueSpecificKey() = default;
    QueueSpecificKey(const QueueSpecificKey &) = delete;
    QueueSpecificKey &operator=(const QueueSpecificKey &) = delete;
};

// A queue of blocks. Serial queues run one block at a time in order; concurrent queues run their
// blocks at once, except barrier blocks, which run alone. Queues share one pool of worker threads that
// grows whenever every thread is busy (so a block that waits never starves the blocks queued behind
// it) and shrinks when threads stay idle; an idle serial queue holds no thread. The main queue runs
// on the thread of the Qt application object when one exists, otherwise where it is pumped.
// Queues are shared objects (std::shared_ptr); a queue lives while it has blocks to run. Thread-safe.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue>
{
public:
    static std::shared_ptr<DispatchQueue> createSerial(const QString &label);
    static std::shared_ptr<DispatchQueue> createConcurrent(const QString &label);
    // The process-wide concurrent queues; barriers on them behave as plain blocks.
    static std::shared_ptr<DispatchQueue> global(QueuePriority priority = QueuePriority::Default);
    static std::shared_ptr<DispatchQueue> main();

    virtual ~DispatchQueue();
    DispatchQueue(const DispatchQueue &) = delete;
    DispatchQueue &operator=(const DispatchQueue &) = delete;

    const QString &label() const { return m_label; }
    QueueKind kind() const { return m_kind; }
    bool isGlobal() const { return m_isGlobal; }
    QueuePriority priority() const { return m_priority; }

    // Queues the block and returns at once.
    virtual void async(DispatchBlock block) = 0;
    // Runs the block on this queue and returns when it has finished. A sync onto a serial queue (or the
    // main queue) that the calling thread is already running would wait for itself forever; instead
    // the block runs at once on the calling thread, which already holds the queue exclusively, and
    // the mistake is logged to standard error. This covers nested syncs on one thread (A, then B, then
    // A again); two threads that each sync onto the queue the other one holds still deadlock.
    virtual void sync(const DispatchBlock &block) = 0;
    // On a concurrent queue made with createConcurrent: waits for every earlier block, runs alone,
    // and holds every later block until it has finished. Elsewhere the same as async.
    virtual void barrierAsync(DispatchBlock block);
    // Queues the block once the delay has passed on the monotonic clock.
    void after(double seconds, DispatchBlock block);
    void after(DispatchDuration delay, DispatchBlock block);

    // Whether the calling code runs on this queue (the innermost queue when syncs nest).
    bool isCurrent() const;
    // Attaches a value to this queue under the key; a null value removes it. The value is not owned.
    void setSpecific(const QueueSpecificKey &key, const void *value);
    const void *specific(const QueueSpecificKey &key) const;
    // The value under the key of the queue the calling code runs on, or null off every queue.
    static const void *currentSpecific(const QueueSpecificKey &key);
    // The label of the queue the calling code runs on, or an empty text.
    static QString currentLabel();

    // Whether the calling thread is the main thread: the Qt application's thread when one exists,
    // otherwise the thread that started the process.
    static bool isMainThread();
    // Pumping the main queue where no Qt event loop runs it (tools and tests). Both run blocks on the
    // calling thread, which should be the main thread. runMainQueueUntilEmpty runs blocks until none
    // is waiting (blocks queued meanwhile included) and answers how many ran. runMainQueueUntil runs
    // blocks as they come until the condition holds (answers true) or the time limit passes (false).
    // A condition that may change on another thread without a block being queued here is looked at
    // again now and then; one that changes only through blocks of the main queue
    // (ConditionChange::ThroughMainQueue) is looked at only after blocks ran, the thread sleeping
    // between them.
    enum class ConditionChange { Anywhere, ThroughMainQueue };
    static int runMainQueueUntilEmpty();
    static bool runMainQueueUntil(const std::function<bool()> &condition, DispatchDuration timeLimit,
                                  ConditionChange change = ConditionChange::Anywhere);

protected:
    DispatchQueue(QString label, QueueKind kind, QueuePriority priority, bool isGlobal);

    // Runs one block as this queue's: marks the queue current on the calling thread for its duration
    // and catches whatever it throws.
    void runBlock(const DispatchBlock &block);
    // Whether the calling thread is inside a block of this queue, at any depth of nested syncs.
    bool isHeldByCurrentThread() const;
    // Waits on the calling thread until the block, queued with async, has run.
    void syncThroughQueue(const DispatchBlock &block);
    void reportSelfSync() const;

private:
    struct Specific
    {
        const QueueSpecificKey *key = nullptr;
        const void *value = nullptr;
    };

    const QString m_label;
    const QueueKind m_kind;
    const QueuePriority m_priority;
    const bool m_isGlobal;
    mutable std::mutex m_specificsMutex;
    std::vector<Specific> m_specifics;
};

} // namespace platform
