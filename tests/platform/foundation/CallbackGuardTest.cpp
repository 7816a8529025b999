// Callbacks wrapped by a guard: they run while their owner lives, and an owner that goes while one is
// pending or running neither crashes nor gets called afterwards (run under the sanitizers in CI).

#include "platform/foundation/CallbackGuard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace {

// An owner whose callback writes into the owner itself: reached after the owner is freed, the sanitizer
// reports the write.
struct Owner
{
    int calls = 0;
    platform::CallbackGuard guard;
    std::function<void(int)> callback() { return guard.wrap([this](int amount) { calls += amount; }); }
};

} // namespace

TEST(CallbackGuard, AWrappedCallbackRunsUntilItsOwnerGoes)
{
    auto owner = std::make_unique<Owner>();
    const std::function<void(int)> pending = owner->callback();
    pending(2);
    EXPECT_EQ(owner->calls, 2);
    owner.reset();
    pending(3); // the owner is gone: nothing happens
}

TEST(CallbackGuard, CloseWaitsForTheCallUnderWayAndStopsLaterOnes)
{
    platform::CallbackGuard guard;
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    const std::function<void()> slow = guard.wrap([&] {
        ++calls;
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished = true;
    });
    std::thread caller(slow);
    while (!entered)
        std::this_thread::yield();
    guard.close();
    EXPECT_TRUE(finished); // close returned only after the running call ended
    slow();
    EXPECT_EQ(calls, 1);
    caller.join();
}

TEST(CallbackGuard, ACallbackThatDestroysItsOwnerDoesNotWaitForItself)
{
    auto owner = std::make_unique<Owner>();
    const std::function<void()> destroyOwner = owner->guard.wrap([&owner] { owner.reset(); });
    destroyOwner();
    EXPECT_EQ(owner, nullptr);
    destroyOwner(); // the guard is gone with its owner: nothing happens
}
