#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/VirtualClock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

using platform::DispatchQueue;
using platform::DispatchTimer;
using platform::VirtualClock;

namespace {

// Installs the virtual clock for one test and removes it after.
class VirtualClockScope final
{
public:
    VirtualClockScope() { VirtualClock::install(); }
    ~VirtualClockScope() { VirtualClock::uninstall(); }
};

} // namespace

TEST(VirtualClock, TimersFireOnlyWhenTheClockIsMovedAndInDeadlineOrder)
{
    const VirtualClockScope scope;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("virtual clock test"));
    std::mutex mutex;
    std::vector<int> fired;
    std::vector<std::shared_ptr<DispatchTimer>> timers;
    for (const int seconds : {30, 10, 20}) {
        auto timer = DispatchTimer::create(queue);
        timer->setEventHandler([&, seconds] {
            const std::lock_guard lock(mutex);
            fired.push_back(seconds);
        });
        timer->schedule(double(seconds), 0);
        timer->resume();
        timers.push_back(timer);
    }
    VirtualClock::advance(9.9);
    queue->sync([] {});
    EXPECT_TRUE(fired.empty());
    VirtualClock::advance(20.1);
    queue->sync([] {});
    EXPECT_EQ(fired, (std::vector<int>{10, 20, 30}));

    // A repeating timer fires once per interval reached; a cancelled one never again.
    std::atomic<int> ticks{0};
    const auto repeating = DispatchTimer::create(queue);
    repeating->setEventHandler([&] { ++ticks; });
    repeating->schedule(1.0, 1.0);
    repeating->resume();
    for (int step = 0; step < 3; ++step) {
        VirtualClock::advance(1.0);
        queue->sync([] {});
    }
    EXPECT_EQ(ticks, 3);
    repeating->cancel();
    VirtualClock::advance(5.0);
    queue->sync([] {});
    EXPECT_EQ(ticks, 3);
}

TEST(VirtualClock, RescheduledTimerCountsFromTheVirtualPresent)
{
    const VirtualClockScope scope;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("virtual clock test"));
    std::atomic<int> fires{0};
    const auto timer = DispatchTimer::create(queue);
    timer->setEventHandler([&] { ++fires; });
    timer->schedule(10.0, 0);
    timer->resume();
    VirtualClock::advance(8.0);
    timer->schedule(5.0, 0);
    VirtualClock::advance(4.0);
    queue->sync([] {});
    EXPECT_EQ(fires, 0);
    VirtualClock::advance(1.0);
    queue->sync([] {});
    EXPECT_EQ(fires, 1);
}
