#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/WorkerPool.h"

#include "support/TestSupport.h"

#include "DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace platform;
using namespace dispatchtest;
using namespace std::chrono_literals;

TEST(DispatchQueue, SerialQueueRunsBlocksOneAtATimeInOrderUnderItsLabel)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.serial"));
    EXPECT_EQ(queue->label(), QStringLiteral("org.example.serial"));
    EXPECT_EQ(queue->kind(), QueueKind::Serial);

    std::vector<int> order;
    std::atomic<int> running = 0;
    std::atomic<int> overlaps = 0;
    QString labelSeen;
    const auto done = DispatchSemaphore::create(0);
    for (int index = 0; index < 500; ++index) {
        queue->async([&, index] {
            if (running.fetch_add(1) != 0)
                ++overlaps;
            order.push_back(index);
            labelSeen = DispatchQueue::currentLabel();
            running.fetch_sub(1);
        });
    }
    queue->async([&] { done->signal(); });
    ASSERT_TRUE(done->wait(kPatience));

    ASSERT_EQ(order.size(), 500u);
    for (int index = 0; index < 500; ++index)
        ASSERT_EQ(order[size_t(index)], index);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(labelSeen, QStringLiteral("org.example.serial"));
    EXPECT_EQ(DispatchQueue::currentLabel(), QString());
}

// The sync core parks blocks on semaphores inside a concurrent queue; the block that releases them
// must still get a thread, however many are parked.
TEST(DispatchQueue, ConcurrentQueueRunsANewBlockWhileSixtyFourBlocksWait)
{
    const auto queue = DispatchQueue::createConcurrent(QStringLiteral("org.example.concurrent"));
    const auto gate = DispatchSemaphore::create(0);
    const auto allReleased = DispatchSemaphore::create(0);
    std::atomic<int> waiting = 0;
    std::atomic<int> released = 0;
    constexpr int kWaiters = 64;
    for (int index = 0; index < kWaiters; ++index) {
        queue->async([&] {
            ++waiting;
            gate->wait();
            if (++released == kWaiters)
                allReleased->signal();
        });
    }
    queue->async([&] {
        for (int index = 0; index < kWaiters; ++index)
            gate->signal();
    });
    ASSERT_TRUE(allReleased->wait(kPatience)) << "waiting " << waiting.load() << ", released " << released.load();
    EXPECT_EQ(released.load(), kWaiters);
}

TEST(DispatchQueue, GlobalQueuesAreSharedAndRunBlocksAtOnce)
{
    EXPECT_EQ(DispatchQueue::global(), DispatchQueue::global(QueuePriority::Default));
    EXPECT_NE(DispatchQueue::global(QueuePriority::High), DispatchQueue::global());
    EXPECT_TRUE(DispatchQueue::global()->isGlobal());
    EXPECT_EQ(DispatchQueue::global(QueuePriority::High)->kind(), QueueKind::Concurrent);

    // Two blocks that each wait for the other can only finish when they run at the same time.
    const auto first = DispatchSemaphore::create(0);
    const auto second = DispatchSemaphore::create(0);
    const auto done = DispatchSemaphore::create(0);
    for (const auto priority : {QueuePriority::Default, QueuePriority::High}) {
        DispatchQueue::global(priority)->async([&] {
            first->signal();
            if (second->wait(kPatience))
                done->signal();
        });
        DispatchQueue::global(priority)->async([&] {
            second->signal();
            if (first->wait(kPatience))
                done->signal();
        });
        EXPECT_TRUE(done->wait(kPatience));
        EXPECT_TRUE(done->wait(kPatience));
    }
}

TEST(DispatchQueue, SyncFromASerialQueueOntoAnotherQueueReturnsAfterTheBlock)
{
    const auto outer = DispatchQueue::createSerial(QStringLiteral("outer"));
    const auto inner = DispatchQueue::createSerial(QStringLiteral("inner"));
    const auto concurrent = DispatchQueue::createConcurrent(QStringLiteral("pool"));
    // Keep the inner queue busy so the sync has to wait for its turn rather than run inline.
    const auto innerGate = DispatchSemaphore::create(0);
    inner->async([&] { innerGate->wait(); });

    std::vector<QString> trace;
    const auto done = DispatchSemaphore::create(0);
    outer->async([&] {
        innerGate->signal();
        inner->sync([&] { trace.push_back(DispatchQueue::currentLabel()); });
        trace.push_back(DispatchQueue::currentLabel());
        inner->sync([&] { trace.push_back(DispatchQueue::currentLabel()); });
        concurrent->sync([&] { trace.push_back(DispatchQueue::currentLabel()); });
        DispatchQueue::global()->sync([&] { trace.push_back(DispatchQueue::currentLabel()); });
        trace.push_back(DispatchQueue::currentLabel());
        done->signal();
    });
    ASSERT_TRUE(done->wait(kPatience));
    const std::vector<QString> expected = {QStringLiteral("inner"),          QStringLiteral("outer"),
                                           QStringLiteral("inner"),          QStringLiteral("pool"),
                                           QStringLiteral("global.default"), QStringLiteral("outer")};
    EXPECT_EQ(trace, expected);
}

// A sync onto the serial queue the caller runs on would wait for itself forever; it runs the block
// at once and says so on standard error instead.
TEST(DispatchQueue, SyncOntoTheCurrentSerialQueueRunsAtOnceAndIsReported)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.reentrant"));
    const auto other = DispatchQueue::createSerial(QStringLiteral("org.example.other"));
    std::vector<int> trace;
    const auto done = DispatchSemaphore::create(0);

    testing::internal::CaptureStderr();
    queue->async([&] {
        trace.push_back(1);
        queue->sync([&] { trace.push_back(2); });
        // Nested one queue deeper, the outer queue is still held by this thread.
        other->sync([&] { queue->sync([&] { trace.push_back(3); }); });
        trace.push_back(4);
        done->signal();
    });
    const bool finished = done->wait(kPatience);
    const std::string log = testing::internal::GetCapturedStderr();

    ASSERT_TRUE(finished) << "the reentrant sync deadlocked";
    EXPECT_EQ(trace, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_NE(log.find("sync onto queue \"org.example.reentrant\" from a block already running on it"),
              std::string::npos)
        << log;
}

TEST(DispatchQueue, QueueSpecificKeyTellsBlocksOnTheQueueFromOthers)
{
    static const QueueSpecificKey key;
    static const QueueSpecificKey unusedKey;
    const auto marked = DispatchQueue::createSerial(QStringLiteral("marked"));
    const auto unmarked = DispatchQueue::createSerial(QStringLiteral("unmarked"));
    const int owner = 42;
    marked->setSpecific(key, &owner);
    EXPECT_EQ(marked->specific(key), &owner);

    struct Sighting
    {
        const void *value = nullptr;
        bool isCurrent = false;
    };
    Sighting onMarked, onUnmarked, nestedInMarked, unusedOnMarked;
    marked->sync([&] {
        onMarked = {DispatchQueue::currentSpecific(key), marked->isCurrent()};
        unusedOnMarked = {DispatchQueue::currentSpecific(unusedKey), unmarked->isCurrent()};
        unmarked->sync([&] { nestedInMarked = {DispatchQueue::currentSpecific(key), marked->isCurrent()}; });
    });
    unmarked->sync([&] { onUnmarked = {DispatchQueue::currentSpecific(key), marked->isCurrent()}; });

    EXPECT_EQ(onMarked.value, &owner);
    EXPECT_TRUE(onMarked.isCurrent);
    EXPECT_EQ(unusedOnMarked.value, nullptr);
    EXPECT_FALSE(unusedOnMarked.isCurrent);
    EXPECT_EQ(onUnmarked.value, nullptr);
    EXPECT_FALSE(onUnmarked.isCurrent);
    // Inside a sync onto another queue, the innermost queue is the current one.
    EXPECT_EQ(nestedInMarked.value, nullptr);
    EXPECT_FALSE(nestedInMarked.isCurrent);
    EXPECT_EQ(DispatchQueue::currentSpecific(key), nullptr);

    marked->setSpecific(key, nullptr);
    const void *afterRemoval = &owner;
    marked->sync([&] { afterRemoval = DispatchQueue::currentSpecific(key); });
    EXPECT_EQ(afterRemoval, nullptr);
}

TEST(DispatchQueue, BarrierWaitsForEarlierBlocksAndHoldsLaterOnes)
{
    const auto queue = DispatchQueue::createConcurrent(QStringLiteral("org.example.barrier"));
    std::mutex mutex;
    std::vector<QString> events;
    const auto record = [&](const QString &event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    };
    const auto earlierGate = DispatchSemaphore::create(0);
    const auto earlierStarted = DispatchSemaphore::create(0);
    for (int index = 0; index < 3; ++index) {
        queue->async([&, index] {
            earlierStarted->signal();
            earlierGate->wait();
            record(QStringLiteral("earlier %1").arg(index));
        });
    }
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(earlierStarted->wait(kPatience));
    queue->barrierAsync([&] { record(QStringLiteral("barrier")); });
    const auto laterDone = DispatchSemaphore::create(0);
    for (int index = 0; index < 3; ++index) {
        queue->async([&] {
            record(QStringLiteral("later"));
            laterDone->signal();
        });
    }
    // A sync from elsewhere queues behind the barrier like any later block.
    DispatchQueue::global()->async([&] {
        queue->sync([&] { record(QStringLiteral("later")); });
        laterDone->signal();
    });
    // Nothing behind the barrier may run while the earlier blocks are still held.
    EXPECT_FALSE(laterDone->wait(50ms));
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(events.empty());
    }
    for (int index = 0; index < 3; ++index)
        earlierGate->signal();
    for (int index = 0; index < 4; ++index)
        ASSERT_TRUE(laterDone->wait(kPatience));

    std::lock_guard lock(mutex);
    ASSERT_EQ(events.size(), 8u);
    for (size_t index = 0; index < 3; ++index)
        EXPECT_TRUE(events[index].startsWith(QStringLiteral("earlier"))) << events[index].toStdString();
    EXPECT_EQ(events[3], QStringLiteral("barrier"));
    for (size_t index = 4; index < 8; ++index)
        EXPECT_EQ(events[index], QStringLiteral("later"));
}

TEST(DispatchQueue, AfterRunsBlocksOnAWorkerQueueInDeadlineOrder)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.after"));
    std::vector<int> order;
    const auto ran = DispatchSemaphore::create(0);
    const DispatchTime start = DispatchClock::now();
    DispatchTime lastRun;
    queue->after(0.030, [&] {
        order.push_back(30);
        lastRun = DispatchClock::now();
        ran->signal();
    });
    queue->after(0.010, [&] {
        order.push_back(10);
        ran->signal();
    });
    queue->after(std::chrono::milliseconds(20), [&] {
        order.push_back(20);
        ran->signal();
    });
    queue->after(-1.0, [&] {
        order.push_back(0);
        ran->signal();
    });
    // "Never" in either form neither overflows the clock nor disturbs the other deadlines.
    queue->after(DispatchDuration::max(), [&] { order.push_back(-1); });
    queue->after(1e300, [&] { order.push_back(-2); });
    const DispatchDuration drift = DispatchClock::now() - start;
    for (int index = 0; index < 4; ++index)
        ASSERT_TRUE(ran->wait(kPatience));
    queue->sync([] {});
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{0, 10, 20, 30}));
    EXPECT_TRUE(ranInDeadlineOrder(order, drift));
    EXPECT_GE(lastRun - start, 30ms);
}

// An idle worker sleeps toward the earliest deadline in place of the monitor thread. A deadline added
// meanwhile for earlier, and one left behind by a worker that retires while it waits, still fire on
// time; none fires early.
TEST(DispatchQueue, DelayedBlocksFireOnTimeWhileIdleWorkersSleepTowardTheirDeadlines)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.kept-clock"));
    const auto ran = DispatchSemaphore::create(0);
    std::mutex mutex;
    std::vector<std::pair<int, DispatchTime>> runs;
    const auto record = [&](int label) {
        const std::lock_guard lock(mutex);
        runs.emplace_back(label, DispatchClock::now());
        ran->signal();
    };
    const DispatchTime start = DispatchClock::now();
    // Set from a block: its worker, going idle right after, sleeps toward the 400 ms deadline.
    queue->async([&] { queue->after(0.400, [&] { record(400); }); });
    std::this_thread::sleep_for(30ms);
    const DispatchTime early = DispatchClock::now();
    queue->after(0.020, [&] { record(20); });
    ASSERT_TRUE(ran->wait(kPatience));
    WorkerPool::shared().setIdleRetirement(50ms); // the sleeping workers retire before 400 ms
    queue->after(0.150, [&] { record(150); });
    ASSERT_TRUE(ran->wait(kPatience));
    ASSERT_TRUE(ran->wait(kPatience));
    WorkerPool::shared().setIdleRetirement(5s);

    const std::lock_guard lock(mutex);
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[0].first, 20);
    EXPECT_GE(runs[0].second - early, 20ms);
    EXPECT_LT(runs[0].second - early, 300ms);
    EXPECT_EQ(runs[1].first, 150);
    EXPECT_EQ(runs[2].first, 400);
    EXPECT_GE(runs[2].second - start, 400ms);
}

TEST(DispatchQueue, ABlockThatThrowsIsLoggedAndTheQueueGoesOn)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.throwing"));
    const auto done = DispatchSemaphore::create(0);
    testing::internal::CaptureStderr();
    queue->async([] { throw std::runtime_error("broken block"); });
    bool syncReturned = false;
    queue->async([&] { done->signal(); });
    const bool finished = done->wait(kPatience);
    queue->sync([] { throw 7; });
    syncReturned = true;
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(finished);
    EXPECT_TRUE(syncReturned);
    EXPECT_NE(log.find("a block on queue \"org.example.throwing\" threw an exception"), std::string::npos) << log;
}

// Every sync controller run makes its own serial queue; queues that are idle must give their thread
// back, so a long series of them does not pile up threads.
TEST(DispatchQueue, ManySerialQueuesShareAFewThreads)
{
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    const auto done = DispatchSemaphore::create(0);
    for (int index = 0; index < 300; ++index) {
        queues.push_back(DispatchQueue::createSerial(QStringLiteral("run %1").arg(index)));
        queues.back()->async([&] { done->signal(); });
        ASSERT_TRUE(done->wait(kPatience));
    }
    // Threads parked by other tests' leftover blocks count too; 300 pinned threads would be far above.
    EXPECT_LT(WorkerPool::shared().threadCount(), 150);
}

// Threads that a burst of waiting blocks called up go away again once idle.
TEST(DispatchQueue, IdleWorkerThreadsRetire)
{
    const auto queue = DispatchQueue::createConcurrent(QStringLiteral("org.example.burst"));
    const auto gate = DispatchSemaphore::create(0);
    const auto done = DispatchSemaphore::create(0);
    for (int index = 0; index < 20; ++index) {
        queue->async([&] {
            gate->wait();
            done->signal();
        });
    }
    for (int index = 0; index < 20; ++index)
        gate->signal();
    for (int index = 0; index < 20; ++index)
        ASSERT_TRUE(done->wait(kPatience));
    EXPECT_GE(WorkerPool::shared().threadCount(), 20);

    WorkerPool::shared().setIdleRetirement(5ms);
    const bool retired = testsupport::waitUntil([] { return WorkerPool::shared().threadCount() == 0; });
    WorkerPool::shared().setIdleRetirement(5s);
    EXPECT_TRUE(retired) << WorkerPool::shared().threadCount() << " threads left";

    // The pool starts threads again on demand.
    queue->async([&] { done->signal(); });
    EXPECT_TRUE(done->wait(kPatience));
}

// Before a program exits it waits for the pool: the wait gives up at its limit while a block is held,
// and returns once that block and the one it queued have run; asked from a worker it answers at once.
TEST(DispatchQueue, WaitingUntilIdleWaitsForRunningAndQueuedBlocksUpToItsLimit)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.idle"));
    const auto gate = DispatchSemaphore::create(0);
    std::atomic<int> ran{0};
    queue->async([&] {
        gate->wait();
        std::this_thread::sleep_for(50ms);
        ++ran;
        queue->async([&] {
            std::this_thread::sleep_for(50ms);
            ++ran;
        });
    });
    EXPECT_FALSE(WorkerPool::shared().waitUntilIdle(100ms));
    EXPECT_EQ(ran.load(), 0);
    gate->signal();
    EXPECT_TRUE(WorkerPool::shared().waitUntilIdle(kPatience));
    EXPECT_EQ(ran.load(), 2);

    std::atomic<int> fromWorker{-1};
    DispatchQueue::global()->async([&] {
        fromWorker = WorkerPool::shared().waitUntilIdle(kPatience) ? 1 : 0;
        gate->signal();
    });
    ASSERT_TRUE(gate->wait(kPatience));
    EXPECT_EQ(fromWorker.load(), 0);
}

// A block queued by a running block waits for that block's thread only while the running block is
// short: one that then blocks outside the dispatch layer (a lock, a blocking call) or runs long gets
// its queued work started elsewhere soon after, and one that waits through the dispatch layer at once.
TEST(DispatchQueue, WorkQueuedByARunningBlockRunsWhileThatBlockWaits)
{
    const auto source = DispatchQueue::createSerial(QStringLiteral("org.example.feeder"));
    const auto target = DispatchQueue::createSerial(QStringLiteral("org.example.fed"));
    // Waiting on a plain condition variable: only the pool's own watch can start the queued block.
    std::mutex mutex;
    std::condition_variable changed;
    bool hasRun = false;
    bool sawRun = false;
    const auto done = DispatchSemaphore::create(0);
    source->async([&] {
        target->async([&] {
            std::lock_guard lock(mutex);
            hasRun = true;
            changed.notify_all();
        });
        std::unique_lock lock(mutex);
        sawRun = changed.wait_for(lock, kPatience, [&] { return hasRun; });
        done->signal();
    });
    ASSERT_TRUE(done->wait(kPatience));
    EXPECT_TRUE(sawRun);

    // Waiting on a semaphore, and on a sync through a busy queue, from inside a block.
    const auto signalled = DispatchSemaphore::create(0);
    bool waited = false;
    source->async([&] {
        target->async([&] { signalled->signal(); });
        waited = signalled->wait(kPatience);
        std::atomic<bool> release = false;
        target->async([&] {
            while (!release)
                std::this_thread::sleep_for(1ms);
        });
        DispatchQueue::global()->async([&] { release = true; });
        target->sync([] {});
        done->signal();
    });
    ASSERT_TRUE(done->wait(kPatience));
    EXPECT_TRUE(waited);
}

// Blocks fanned out by one block run side by side: eight that each wait for all the others finish.
TEST(DispatchQueue, BlocksFannedOutByABlockRunSideBySide)
{
    constexpr int kBlocks = 8;
    const auto fanning = DispatchQueue::createSerial(QStringLiteral("org.example.fan"));
    const auto workers = DispatchQueue::createConcurrent(QStringLiteral("org.example.fanned"));
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0;
    std::atomic<int> metAll = 0;
    const auto done = DispatchSemaphore::create(0);
    fanning->async([&] {
        for (int index = 0; index < kBlocks; ++index) {
            workers->async([&] {
                {
                    std::unique_lock lock(mutex);
                    ++arrived;
                    changed.notify_all();
                    if (changed.wait_for(lock, kPatience, [&] { return arrived == kBlocks; }))
                        ++metAll;
                }
                done->signal();
            });
        }
        // The fanning block stays busy well past the pool's limit for queued work.
        std::this_thread::sleep_for(50ms);
    });
    for (int index = 0; index < kBlocks; ++index)
        ASSERT_TRUE(done->wait(2 * kPatience));
    EXPECT_EQ(metAll.load(), kBlocks);
}

// Two queues feeding each other, as a socket's queue and its delegate's do: every block runs, in
// order on each queue, and the pool needs no more than a few threads for it.
TEST(DispatchQueue, QueuesFeedingEachOtherRunEveryBlockInOrder)
{
    constexpr int kRounds = 20000;
    const auto first = DispatchQueue::createSerial(QStringLiteral("org.example.ping"));
    const auto second = DispatchQueue::createSerial(QStringLiteral("org.example.pong"));
    const auto done = DispatchSemaphore::create(0);
    std::vector<int> seen;
    std::function<void(int)> ping;
    ping = [&](int round) {
        first->async([&, round] {
            seen.push_back(round);
            second->async([&, round] {
                if (round + 1 == kRounds)
                    done->signal();
                else
                    ping(round + 1);
            });
        });
    };
    ping(0);
    ASSERT_TRUE(done->wait(kPatience));
    ASSERT_EQ(seen.size(), size_t(kRounds));
    for (int round = 0; round < kRounds; ++round)
        ASSERT_EQ(seen[size_t(round)], round);
}
