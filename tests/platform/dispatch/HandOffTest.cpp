// Hand-offs between threads: a waiter that spins before it sleeps, and an idle worker that takes the
// kernel's descriptor reports itself. Each must keep what the sleeping paths promise (every signal
// taken once, a source's handler on its queue and never twice at once, timers in order) and must
// stop spinning when nothing more comes.
#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"

#include "DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

using namespace platform;
using namespace dispatchtest;
using namespace std::chrono_literals;

namespace {

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A connected pair of datagram sockets; closed on destruction.
struct DatagramPair
{
    DatagramPair() { ok = socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0; }
    ~DatagramPair()
    {
        close(fds[0]);
        close(fds[1]);
    }
    DatagramPair(const DatagramPair &) = delete;
    DatagramPair &operator=(const DatagramPair &) = delete;

    int fds[2] = {-1, -1};
    bool ok = false;
};

// Cancels the source and waits for its cancel handler: no handler of it runs after that.
void cancelAndWait(const std::shared_ptr<DispatchSource> &source)
{
    const auto cancelled = DispatchSemaphore::create(0);
    source->setCancelHandler([cancelled] { cancelled->signal(); });
    source->cancel();
    ASSERT_TRUE(cancelled->wait(kPatience));
}

// A source that drains its socket and, while isEchoing holds, sends itself another datagram: hand-offs
// without end, so that workers keep spinning and taking descriptor reports.
std::shared_ptr<DispatchFdSource> startEchoing(const DatagramPair &pair, const std::atomic<bool> &isEchoing)
{
    auto source = *DispatchFdSource::createRead(pair.fds[0], DispatchQueue::createSerial(QStringLiteral("org.example.echo")));
    source->setEventHandler([&pair, &isEchoing] {
        char byte = 0;
        while (recv(pair.fds[0], &byte, 1, 0) == 1) {
        }
        if (isEchoing)
            (void)send(pair.fds[1], "x", 1, 0);
    });
    source->resume();
    (void)send(pair.fds[1], "x", 1, 0);
    return source;
}

} // namespace

TEST(HandOff, EverySignalIsTakenOnceBySpinningAndSleepingWaiters)
{
    // Waiters that arrive while others spin or sleep: each signal lets exactly one through.
    const auto semaphore = DispatchSemaphore::create(0);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int index = 0; index < 6; ++index) {
        waiters.emplace_back([&] {
            if (semaphore->wait(kPatience))
                ++passed;
        });
    }
    for (int index = 0; index < 4; ++index) {
        semaphore->signal();
        std::this_thread::sleep_for(index % 2 == 0 ? 10us : 2ms);
    }
    const DispatchTime until = deadlineAfter(kPatience);
    while (passed.load() < 4 && DispatchClock::now() < until)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(passed.load(), 4);
    semaphore->signal();
    semaphore->signal();
    for (std::thread &waiter : waiters)
        waiter.join();
    EXPECT_EQ(passed.load(), 6);
    // A wait with a limit and no signal still times out, spin or not.
    EXPECT_FALSE(semaphore->wait(3ms));
    EXPECT_FALSE(semaphore->waitUntil(DispatchClock::now() - 1ms));
}

TEST(HandOff, SourceHandlersStayOnTheirQueueOneAtATimeWhenWorkersTakeReports)
{
    // Datagrams sent in quick bursts, so that replies often reach a worker still spinning after the
    // last handler: every one is read, on the source's queue, never by two handlers at once.
    DatagramPair pair;
    ASSERT_TRUE(pair.ok);
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.handoff"));
    const auto done = DispatchSemaphore::create(0);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> offQueue{false};
    int received = 0;
    constexpr int kDatagrams = 2000;
    auto source = *DispatchFdSource::createRead(pair.fds[0], queue);
    source->setEventHandler([&] {
        overlapped = overlapped || running.fetch_add(1) != 0;
        offQueue = offQueue || !queue->isCurrent();
        char byte = 0;
        while (recv(pair.fds[0], &byte, 1, 0) == 1) {
            if (++received == kDatagrams)
                done->signal();
        }
        running.fetch_sub(1);
    });
    source->resume();
    for (int index = 0; index < kDatagrams; ++index) {
        // A full socket buffer is waited out: the reader is a worker that may be slow to come.
        const DispatchTime until = deadlineAfter(kPatience);
        while (send(pair.fds[1], "x", 1, 0) != 1) {
            ASSERT_EQ(errno, EAGAIN);
            ASSERT_LT(DispatchClock::now(), until);
            std::this_thread::sleep_for(100us);
        }
        if (index % 50 == 49)
            std::this_thread::sleep_for(30us);
    }
    ASSERT_TRUE(done->wait(kPatience)) << received << " of " << kDatagrams;
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(offQueue.load());
    cancelAndWait(source);
}

TEST(HandOff, TimersKeepTheirOrderWhileWorkersTakeDescriptorReports)
{
    // Replies keep workers spinning and taking descriptor reports while timers fall due: the
    // timers still run in deadline order.
    DatagramPair pair;
    ASSERT_TRUE(pair.ok);
    std::atomic<bool> isEchoing{true};
    const auto source = startEchoing(pair, isEchoing);
    const auto timerQueue = DispatchQueue::createSerial(QStringLiteral("org.example.timers"));
    std::mutex mutex;
    std::vector<int> order;
    const auto allFired = DispatchSemaphore::create(0);
    const std::vector<int> delaysMs = {45, 15, 35, 5, 25, 10, 40, 20, 30};
    std::vector<std::shared_ptr<DispatchTimer>> timers;
    const DispatchTime start = DispatchClock::now();
    for (const int delay : delaysMs) {
        auto timer = DispatchTimer::create(timerQueue);
        timer->setEventHandler([&, delay] {
            std::lock_guard lock(mutex);
            order.push_back(delay);
            if (order.size() == delaysMs.size())
                allFired->signal();
        });
        timer->schedule(delay / 1000.0, 0);
        timer->resume();
        timers.push_back(timer);
    }
    const DispatchDuration drift = DispatchClock::now() - start;
    ASSERT_TRUE(allFired->wait(kPatience));
    isEchoing = false;
    std::lock_guard lock(mutex);
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{5, 10, 15, 20, 25, 30, 35, 40, 45}));
    EXPECT_TRUE(ranInDeadlineOrder(order, drift));
    cancelAndWait(source);
    for (const auto &timer : timers)
        timer->cancel();
}

TEST(HandOff, NothingSpinsOnceTheHandOffsStop)
{
    // A burst of hand-offs, then quiet: within a few milliseconds the process stops using the
    // processor (spinning is bounded to tens of microseconds after the last hand-off).
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.burst"));
    const auto done = DispatchSemaphore::create(0);
    for (int index = 0; index < 2000; ++index) {
        queue->async([done] { done->signal(); });
        ASSERT_TRUE(done->wait(kPatience));
    }
    std::this_thread::sleep_for(20ms);
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    const double used = processCpuSeconds() - before;
    EXPECT_LT(used, 0.03) << "the idle process used " << used << " s of processor time in 0.3 s";
}
