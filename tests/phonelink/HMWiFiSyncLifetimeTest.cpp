// The Wi-Fi transport destroyed while its replies and workers are still pending: nothing reaches it or
// its delegate afterwards (run under the sanitizers in CI).

#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using phonepeer::Fault;
using phonepeer::FaultKind;

TEST(HMWiFiSyncLifetime, ATransportDestroyedWithRepliesAndWorkersPendingIsNeverCalledBack)
{
    PeerHarness harness;
    ASSERT_TRUE(harness.logOn());
    harness.delegate().clear();
    for (const QString &path : {QStringLiteral("/hmx_logoff"), QStringLiteral("/hmx_purge"), QStringLiteral("/hmx_list")}) {
        Fault slow;
        slow.kind = FaultKind::Delay;
        slow.path = path;
        slow.delayMs = 300;
        harness.peer().addFault(slow);
    }
    harness.sync().logoff();
    harness.sync().purge(1);
    harness.sync().idListForConduit(1);
    harness.sync().purge(2);
    harness.destroySync();
    // Past the phone's late replies: none of them reaches the gone transport or its delegate.
    testsupport::waitUntil([] { return false; }, std::chrono::milliseconds(600));
    EXPECT_EQ(harness.delegate().endings(), QStringList());
}
