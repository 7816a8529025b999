#include "platform/foundation/Assert.h"

#include <gtest/gtest.h>

#ifndef NDEBUG

TEST(AssertDeathTest, StopsOnABrokenInvariantNamingIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int queueCount = 2;
    EXPECT_DEATH(
        HM_ASSERT(queueCount == 1, QStringLiteral("Must be dispatched on socketQueue")),
        "Assertion failure in .*AssertTest.cpp:[0-9]+: Must be dispatched on socketQueue \\(queueCount == 1\\)");
    HM_ASSERT(queueCount == 2, "holds, so nothing happens");
}

#else

TEST(Assert, IsCompiledOutOfReleaseBuilds)
{
    int evaluations = 0;
    HM_ASSERT(++evaluations == 5, "never evaluated");
    EXPECT_EQ(evaluations, 0);
}

#endif
