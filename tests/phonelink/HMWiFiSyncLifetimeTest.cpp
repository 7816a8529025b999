// The Wi-Fi transport destroyed while its replies and workers are still pending: nothing reaches it or
// its delegate afterwards (run under the sanitizers in CI).

#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

using phonepeer::Fault;
using phonepeer::FaultKind;

TEST(HMWiFiSyncLifetime, ATransportDestroyedWithRepliesAndWorkersPendingIsNeverCalledBack)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    harness.delegate().clear();
    // The replies are held long enough that the transport is surely gone before the first comes, even
    // on a loaded machine (held for 300 ms, a logoff was now and then answered before the destroy).
    constexpr std::chrono::milliseconds kHeld(3000);
    for (const QString &path : {QStringLiteral("/hmx_logoff"), QStringLiteral("/hmx_purge"), QStringLiteral("/hmx_list")}) {
        Fault slow;
        slow.kind = FaultKind::Delay;
        slow.path = path;
        slow.delayMs = int(kHeld.count());
        harness.peer().addFault(slow);
    }
    const auto sent = std::chrono::steady_clock::now();
    harness.sync().logoff();
    harness.sync().purge(1);
    harness.sync().idListForConduit(1);
    harness.sync().purge(2);
    harness.destroySync();
    // Past the phone's late replies: none of them reaches the gone transport or its delegate.
    const auto pastReplies = sent + kHeld + std::chrono::milliseconds(600);
    testsupport::waitUntil([pastReplies] { return std::chrono::steady_clock::now() >= pastReplies; },
                           kHeld + std::chrono::seconds(2));
    EXPECT_EQ(harness.delegate().endings(), QStringList());
}
