#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchSemaphore.h"

#include "DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace platform;
using namespace dispatchtest;
using namespace std::chrono_literals;

TEST(DispatchGroup, NotifyRunsAfterEveryBlockOfTheGroup)
{
    const auto group = DispatchGroup::create();
    const auto concurrent = DispatchQueue::createConcurrent(QStringLiteral("workers"));
    const auto serial = DispatchQueue::createSerial(QStringLiteral("serial"));
    const auto gate = DispatchSemaphore::create(0);
    std::atomic<int> finished = 0;
    for (int index = 0; index < 20; ++index) {
        group->async(index % 2 == 0 ? concurrent : serial, [&] {
            gate->wait();
            ++finished;
        });
    }
    group->enter();

    int finishedAtNotify = -1;
    const auto notified = DispatchSemaphore::create(0);
    group->notify(serial, [&] {
        finishedAtNotify = finished.load();
        notified->signal();
    });
    // Still held by the blocks and by the explicit enter.
    EXPECT_FALSE(group->wait(20ms));
    for (int index = 0; index < 20; ++index)
        gate->signal();
    EXPECT_FALSE(notified->wait(20ms));
    group->leave();

    ASSERT_TRUE(notified->wait(kPatience));
    EXPECT_EQ(finishedAtNotify, 20);
    EXPECT_TRUE(group->wait(0ms));
    EXPECT_TRUE(group->wait(DispatchDuration::max()));
    group->wait();

    // A notify on an empty group runs at once; a surplus leave is refused, not counted.
    const auto again = DispatchSemaphore::create(0);
    testing::internal::CaptureStderr();
    group->leave();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("group left more often than entered"), std::string::npos) << log;
    group->notify(concurrent, [&] { again->signal(); });
    EXPECT_TRUE(again->wait(kPatience));
    EXPECT_TRUE(group->wait(0ms));
}

TEST(DispatchGroup, AThrowingBlockStillLeavesTheGroup)
{
    const auto group = DispatchGroup::create();
    testing::internal::CaptureStderr();
    group->async(DispatchQueue::global(), [] { throw 1; });
    const bool emptied = group->wait(kPatience);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(emptied);
}

TEST(DispatchSemaphore, CountsSignalsAndWaitsWithOrWithoutALimit)
{
    const auto semaphore = DispatchSemaphore::create(2);
    EXPECT_TRUE(semaphore->wait(0ms));
    semaphore->wait();
    const DispatchTime start = DispatchClock::now();
    EXPECT_FALSE(semaphore->wait(15ms));
    EXPECT_GE(DispatchClock::now() - start, 15ms);

    EXPECT_FALSE(semaphore->signal()) << "no thread was waiting";
    EXPECT_TRUE(semaphore->wait(DispatchDuration::max()));

    // A waiter on another queue is woken by a signal given before or after it started waiting.
    const auto woken = DispatchSemaphore::create(0);
    DispatchQueue::global()->async([&] {
        semaphore->wait();
        woken->signal();
    });
    semaphore->signal();
    EXPECT_TRUE(woken->wait(kPatience));
}
