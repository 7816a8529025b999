// A data object that goes while its clean-up notification is being delivered on another thread.

#include "sync/HMData.h"

#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

// Its clean-up takes a while; how far it got is kept outside the object, which may be gone.
class SlowCleanUpData final : public HMData
{
public:
    SlowCleanUpData(std::atomic<bool> &entered, std::atomic<int> &finished) : m_entered(entered), m_finished(finished) {}
    void cleanUpAfterSync() override
    {
        m_entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ++m_finished;
    }

private:
    std::atomic<bool> &m_entered;
    std::atomic<int> &m_finished;
};

} // namespace

TEST(HMDataLifetime, DestroyingDuringACleanUpDeliveryWaitsForItAndHearsNoMore)
{
    std::atomic<bool> entered{false};
    std::atomic<int> finished{0};
    auto data = std::make_shared<SlowCleanUpData>(entered, finished);
    std::thread poster([] {
        platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    });
    while (!entered)
        std::this_thread::yield();
    data.reset();
    EXPECT_EQ(finished, 1); // the destructor returned only after the delivery under way ended
    poster.join();
    platform::NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("kHMCleanUpAfterSync"));
    EXPECT_EQ(finished, 1);
}
