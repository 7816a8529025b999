// A data object that goes while its clean-up notification is being delivered on another thread.

#include "sync/HMData.h"

#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

std::atomic<bool> cleanUpEntered{false};
std::atomic<int> cleanUpsFinished{0};

// Its clean-up takes a while and keeps how far it got outside the object, which may be going.
class SlowCleanUpData final : public HMData
{
public:
    void cleanUpAfterSync() override
    {
        cleanUpEntered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ++cleanUpsFinished;
    }
};

} // namespace

TEST(HMDataLifetime, DestroyingDuringACleanUpDeliveryWaitsForItAndHearsNoMore)
{
    auto data = std::make_shared<SlowCleanUpData>();
    std::thread poster([] {
        platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    });
    while (!cleanUpEntered)
        std::this_thread::yield();
    data.reset();
    EXPECT_EQ(cleanUpsFinished, 1); // the destructor returned only after the delivery under way ended
    poster.join();
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    EXPECT_EQ(cleanUpsFinished, 1);
}
