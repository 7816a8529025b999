// The reachability monitor: its flag rules and texts, and the internet monitor following a veth
// interface in a private network namespace (the test runs itself again under "unshare -n").
#include "push/Utilities/Reachability.h"

#include "NetworkNamespace.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/network/NetworkReachability.h"
#include "platform/network/NetworkState.h"


#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

using platform::DispatchQueue;

namespace {

constexpr char kInNamespace[] = "HM_REACHABILITY_NETNS";


} // namespace

TEST(Reachability, FlagRulesAndTexts)
{
    EXPECT_FALSE(Reachability::isReachableWithFlags(0));
    EXPECT_FALSE(Reachability::isReachableWithFlags(7));
    EXPECT_TRUE(Reachability::isReachableWithFlags(3));
    EXPECT_TRUE(Reachability::isReachableWithFlags(6));
    EXPECT_EQ(Reachability::flagsText(2), QStringLiteral("XR -------"));
    EXPECT_EQ(Reachability::flagsText(0x3003F), QStringLiteral("XR ctiCDld"));
    EXPECT_EQ(Reachability::reachabilityWithHostname(QString()), nullptr);
    EXPECT_EQ(Reachability::reachabilityWithHostname(QStringLiteral("bad host")), nullptr);
    // Stopping a notifier that never ran is harmless; a running one keeps its monitor alive.
    auto monitor = Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(monitor);
    monitor->stopNotifier();
    EXPECT_FALSE(monitor->reachabilityObject());
    ASSERT_TRUE(monitor->startNotifier());
    EXPECT_EQ(monitor->reachabilityObject(), monitor);
    monitor->stopNotifier();
    EXPECT_FALSE(monitor->reachabilityObject());
    EXPECT_FALSE(monitor->reachabilitySerialQueue());
}

TEST(Reachability, LoopbackHostIsLocalAndDirect)
{
    platform::net::NetworkState state;
    ASSERT_TRUE(platform::net::readNetworkState(&state));
    const QByteArray loopback("\x7f\x00\x00\x01", 4);
    if (!state.isLocalAddress(AF_INET, loopback))
        GTEST_SKIP() << "no active loopback interface";
    const std::uint32_t flags = platform::net::NetworkReachabilityTarget::flagsForAddress(state, AF_INET, loopback);
    EXPECT_EQ(flags & 0x30002U, 0x30002U);
}

// Runs only inside the private namespace the next test makes.
TEST(ReachabilityInNamespace, InternetMonitorFollowsTheLink)
{
    if (qEnvironmentVariableIsEmpty(kInNamespace))
        GTEST_SKIP() << "runs inside a private network namespace only";
    ASSERT_TRUE(looptest::ip(QStringLiteral("link add hm0 type veth peer name hm1")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm1 up")));
    auto monitor = Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->currentReachabilityStatus(), NotReachable);
    EXPECT_EQ(monitor->currentReachabilityString(), QStringLiteral("No Connection"));
    std::atomic<int> notifications{0};
    std::atomic<bool> offMainThread{false};
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(kReachabilityChangedNotification), monitor.get(), [&](const platform::Notification &) {
            offMainThread = offMainThread || !DispatchQueue::isMainThread();
            ++notifications;
        });
    std::atomic<int> reachableCalls{0};
    monitor->setReachableBlock([&](Reachability *) { ++reachableCalls; });
    ASSERT_TRUE(monitor->startNotifier());

    ASSERT_TRUE(looptest::ip(QStringLiteral("addr add 10.9.0.2/24 dev hm0")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm0 up")));
    ASSERT_TRUE(looptest::ip(QStringLiteral("route add default via 10.9.0.1 dev hm0")));
    const auto limit = std::chrono::milliseconds(1000);
    EXPECT_TRUE(DispatchQueue::runMainQueueUntil(
        [&] { return monitor->currentReachabilityStatus() == ReachableViaWiFi && notifications > 0; }, limit));
    EXPECT_EQ(monitor->currentReachabilityString(), QStringLiteral("WiFi"));
    EXPECT_EQ(monitor->currentReachabilityFlags(), QStringLiteral("XR -------"));
    EXPECT_GE(reachableCalls.load(), 1);

    const int before = notifications;
    ASSERT_TRUE(looptest::ip(QStringLiteral("link set hm0 down")));
    EXPECT_TRUE(DispatchQueue::runMainQueueUntil([&] { return notifications > before; }, limit));
    EXPECT_EQ(monitor->currentReachabilityStatus(), NotReachable);
    EXPECT_FALSE(offMainThread.load());
    monitor->stopNotifier();
}

TEST(Reachability, FollowsTheLinkInAPrivateNamespace)
{
    if (looptest::isInPrivateNamespace(kInNamespace))
        GTEST_SKIP();
    looptest::runInPrivateNamespace(kInNamespace, QStringLiteral("ReachabilityInNamespace.*"));
}
