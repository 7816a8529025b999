#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/RunLoopTimer.h"

#include "support/TestSupport.h"

#include "DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <vector>

using namespace platform;
using namespace dispatchtest;
using namespace std::chrono_literals;

namespace {

// Delayed blocks queued out of order, each recording its delay when it runs on the main thread.
struct DelayedBlocks
{
    std::vector<int> order;
    bool wereAllOnMainThread = true;
    DispatchDuration drift{};

    void schedule()
    {
        const DispatchTime start = DispatchClock::now();
        for (const int delayMs : {40, 10, 30, 0, 20}) {
            DispatchQueue::main()->after(delayMs / 1000.0, [this, delayMs] {
                order.push_back(delayMs);
                wereAllOnMainThread =
                    wereAllOnMainThread && DispatchQueue::isMainThread() && DispatchQueue::main()->isCurrent();
            });
        }
        drift = DispatchClock::now() - start;
    }

    void expectAllRanInTimeOrder() const
    {
        std::vector<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<int>{0, 10, 20, 30, 40}));
        EXPECT_TRUE(ranInDeadlineOrder(order, drift));
        EXPECT_TRUE(wereAllOnMainThread);
    }
};

} // namespace

TEST(MainQueue, AfterBlocksRunInTimeOrderWhenThePumpRuns)
{
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    DelayedBlocks blocks;
    blocks.schedule();
    // Nothing runs on the main queue until it is pumped.
    EXPECT_TRUE(blocks.order.empty());
    ASSERT_TRUE(DispatchQueue::runMainQueueUntil([&] { return blocks.order.size() == 5; }, kPatience));
    blocks.expectAllRanInTimeOrder();
}

TEST(MainQueue, AfterBlocksRunInTimeOrderOnTheQtEventLoop)
{
    int argc = 1;
    char name[] = "dispatch-test";
    char *argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    DelayedBlocks blocks;
    blocks.schedule();
    QEventLoop loop;
    DispatchQueue::main()->after(0.060, [&] { loop.quit(); });
    QTimer::singleShot(kPatience, &loop, [&] { loop.exit(1); });
    ASSERT_EQ(loop.exec(), 0) << "the main queue did not run on the event loop";
    blocks.expectAllRanInTimeOrder();

    // Work handed over from a worker thread reaches the event loop too, and a repeating timer on the
    // main queue rides on it.
    std::atomic<bool> wasOnMain = false;
    DispatchQueue::global()->async(
        [&] { DispatchQueue::main()->async([&] { wasOnMain = DispatchQueue::isMainThread(); }); });
    int ticks = 0;
    const auto timer = DispatchTimer::create(DispatchQueue::main());
    timer->setEventHandler([&] {
        if (++ticks >= 3 && wasOnMain.load())
            loop.quit();
    });
    timer->schedule(0.005, 0.005);
    timer->resume();
    ASSERT_EQ(loop.exec(), 0) << "the repeating timer fired " << ticks << " times; hand-over on main: " << wasOnMain;
    timer->cancel();
}

// A block left waiting when one application object goes away runs on the next one's event loop.
TEST(MainQueue, ANewApplicationObjectRunsWhatTheOldOneLeft)
{
    int argc = 1;
    char name[] = "dispatch-test";
    char *argv[] = {name, nullptr};
    int ran = 0;
    for (int round = 0; round < 2; ++round) {
        QCoreApplication application(argc, argv);
        DispatchQueue::main()->async([&] { ++ran; });
        if (round == 0)
            continue;
        EXPECT_TRUE(testsupport::waitUntil([&] { return ran == 2; })) << ran << " blocks ran";
    }
}

TEST(MainQueue, PumpStopsAtItsTimeLimitAndRunsWhatIsWaiting)
{
    int ran = 0;
    DispatchQueue::main()->async([&] { ++ran; });
    DispatchQueue::main()->async([&] { DispatchQueue::main()->async([&] { ++ran; }); });
    EXPECT_EQ(DispatchQueue::runMainQueueUntilEmpty(), 3);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(DispatchQueue::runMainQueueUntilEmpty(), 0);

    const DispatchTime start = DispatchClock::now();
    EXPECT_FALSE(DispatchQueue::runMainQueueUntil([] { return false; }, 20ms));
    EXPECT_GE(DispatchClock::now() - start, 20ms);
}

TEST(MainQueue, APumpForAConditionChangedThroughTheQueueLooksAtItOnlyAfterBlocks)
{
    // A worker sets the flag a while after the pump started, then queues a block to say so: the pump
    // sleeps until the block, instead of looking at the flag every few milliseconds meanwhile.
    std::atomic<bool> isDone = false;
    int looks = 0;
    DispatchQueue::runMainQueueUntilEmpty();
    DispatchQueue::global()->after(DispatchDuration(150ms), [&] {
        isDone = true;
        DispatchQueue::main()->async([] {});
    });
    const DispatchTime start = DispatchClock::now();
    ASSERT_TRUE(DispatchQueue::runMainQueueUntil([&] { return ++looks, isDone.load(); }, kPatience,
                                                 DispatchQueue::ConditionChange::ThroughMainQueue));
    EXPECT_GE(DispatchClock::now() - start, 150ms);
    EXPECT_EQ(looks, 2);

    // Without a block the pump still ends at its time limit, having looked only when it started and
    // when the time was up.
    looks = 0;
    EXPECT_FALSE(DispatchQueue::runMainQueueUntil([&] { return ++looks, false; }, 300ms,
                                                  DispatchQueue::ConditionChange::ThroughMainQueue));
    EXPECT_EQ(looks, 2);
}

TEST(MainQueue, SyncFromAWorkerWaitsForTheMainThreadAndSyncOnItRunsAtOnce)
{
    std::atomic<bool> workerDone = false;
    bool ranOnMain = false;
    DispatchQueue::global()->async([&] {
        DispatchQueue::main()->sync([&] { ranOnMain = DispatchQueue::isMainThread(); });
        workerDone = true;
    });
    ASSERT_TRUE(DispatchQueue::runMainQueueUntil([&] { return workerDone.load(); }, kPatience));
    EXPECT_TRUE(ranOnMain);

    bool ranInline = false;
    DispatchQueue::main()->sync([&] { ranInline = DispatchQueue::main()->isCurrent(); });
    EXPECT_TRUE(ranInline);
}

TEST(RunLoopTimer, FiresOnTheMainThreadUntilInvalidatedAndLivesWhileValid)
{
    constexpr double kIntervalSeconds = 0.003;
    const DispatchDuration interval = durationFromSeconds(kIntervalSeconds);
    std::vector<const RunLoopTimer *> firedTimers;
    bool wereAllOnMainThread = true;
    const RunLoopTimer *repeatingAddress = nullptr;
    int repeatingFires = 0;
    // Each fire comes no sooner than the fire date announced before it, and each announced date is
    // at least an interval after the one before. The delay between fires is up to the machine.
    DispatchTime announced;
    {
        // No reference is kept: the run loop holds a valid timer.
        const DispatchTime before = DispatchClock::now();
        const auto repeating =
            RunLoopTimer::scheduled(kIntervalSeconds, RunLoopTimer::Repeats::Yes, [&](RunLoopTimer &timer) {
                firedTimers.push_back(&timer);
                wereAllOnMainThread = wereAllOnMainThread && DispatchQueue::isMainThread();
                EXPECT_GE(DispatchClock::now(), announced) << "fire " << repeatingFires << " came early";
                const DispatchTime next = timer.fireDate();
                EXPECT_GE(next, announced + interval) << "fire " << repeatingFires;
                announced = next;
                if (++repeatingFires == 3)
                    timer.invalidate();
            });
        const DispatchTime after = DispatchClock::now();
        repeatingAddress = repeating.get();
        EXPECT_TRUE(repeating->repeats());
        announced = repeating->fireDate();
        EXPECT_GE(announced, before + interval);
        EXPECT_LE(announced, after + interval);
    }
    const auto oneShot = RunLoopTimer::scheduled(0.001, RunLoopTimer::Repeats::No,
                                                 [&](RunLoopTimer &timer) { firedTimers.push_back(&timer); });
    EXPECT_TRUE(oneShot->isValid());

    ASSERT_TRUE(DispatchQueue::runMainQueueUntil([&] { return firedTimers.size() == 4; }, kPatience))
        << firedTimers.size() << " fires";
    // Both have stopped: more intervals pass without a fire.
    EXPECT_FALSE(DispatchQueue::runMainQueueUntil([&] { return firedTimers.size() > 4; }, 20ms));
    EXPECT_EQ(firedTimers.size(), 4u);
    EXPECT_EQ(std::count(firedTimers.begin(), firedTimers.end(), repeatingAddress), 3);
    EXPECT_EQ(std::count(firedTimers.begin(), firedTimers.end(), oneShot.get()), 1);
    EXPECT_FALSE(oneShot->isValid());
    EXPECT_TRUE(wereAllOnMainThread);
}
