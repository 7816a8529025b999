#pragma once

#include <QString>

// Tests that change the machine's network (links, addresses, well-known ports) run in a private
// network namespace: the test binary runs itself again under "unshare -n" with only the named tests
// and the marker variable set, and those tests skip themselves anywhere else.
namespace looptest {

// Whether this process is the re-run inside the namespace (the marker variable is set).
bool isInPrivateNamespace(const char *marker);
// Runs the filter's tests in a private namespace and checks that exactly one ran and passed; skips the
// calling test where namespaces cannot be made or the test skipped itself there. Call from a gtest test body; the re-run may take up to
// the time limit.
void runInPrivateNamespace(const char *marker, const QString &gtestFilter, int timeLimitSeconds = 60);
// Runs "ip" with the arguments (separated by blanks); whether it succeeded.
bool ip(const QString &arguments);
// Runs "nft" (nftables) with the arguments (separated by blanks); whether it succeeded.
bool nft(const QString &arguments);

} // namespace looptest
