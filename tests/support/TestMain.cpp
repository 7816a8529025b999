// The main function of every test executable: fixes the time zone and locale so that results do not
// depend on the machine, then runs the tests.
#include "platform/dispatch/WorkerPool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv)
{
    setenv("TZ", "UTC", 1);
    setenv("LANG", "C.UTF-8", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    tzset();
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Blocks a test left running (a socket or parser torn down on its queue after the test) end
    // before the libraries' exit-time cleanup runs.
    if (!platform::WorkerPool::shared().waitUntilIdle(std::chrono::seconds(2)))
        std::fputs("note: dispatch work was still running 2 s after the tests ended\n", stderr);
    return result;
}
