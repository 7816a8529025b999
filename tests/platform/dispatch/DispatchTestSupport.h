#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace dispatchtest {

// Long enough for any healthy hand-off on a loaded machine, short enough to fail a hang quickly.
inline constexpr auto kPatience = std::chrono::seconds(10);

// Blocks handed their delays one after another get deadlines that drift apart by however long the
// handing-over took (a loaded machine may pause the test thread in between). Answers whether the
// blocks ran in an order their deadlines allow: each no later than the next one's delay plus that
// drift. Without drift this is exactly the order of the delays.
testing::AssertionResult ranInDeadlineOrder(const std::vector<int> &delaysMs, platform::DispatchDuration drift);

} // namespace dispatchtest
