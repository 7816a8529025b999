// Measures the dispatch layer's basic costs and prints the median of several rounds:
// - one async block on a serial queue (queued from one thread, run on the queue's worker);
// - one sync hop from a block on one serial queue onto another, idle serial queue;
// - one sync hop onto an idle concurrent queue;
// - one hand-off to another thread and back: async onto an idle serial queue, wait for its signal.
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using namespace platform;

namespace {

constexpr int kRounds = 15;

double nanosecondsPerOperation(DispatchDuration elapsed, int operations)
{
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / operations;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs one round per call of the measurement and answers the median nanoseconds per operation.
double medianOverRounds(const std::function<double()> &round)
{
    std::vector<double> figures;
    round(); // warm-up: threads started, caches filled
    for (int index = 0; index < kRounds; ++index)
        figures.push_back(round());
    return median(figures);
}

double serialAsyncRound()
{
    constexpr int kBlocks = 100000;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("bench.serial"));
    const auto done = DispatchSemaphore::create(0);
    long counter = 0;
    const DispatchTime start = DispatchClock::now();
    for (int index = 0; index < kBlocks; ++index)
        queue->async([&counter] { ++counter; });
    queue->async([&done] { done->signal(); });
    done->wait();
    return nanosecondsPerOperation(DispatchClock::now() - start, kBlocks);
}

double syncHopRound(const std::shared_ptr<DispatchQueue> &target, int hops)
{
    const auto source = DispatchQueue::createSerial(QStringLiteral("bench.source"));
    long counter = 0;
    DispatchDuration elapsed{};
    source->sync([&] {
        const DispatchTime start = DispatchClock::now();
        for (int index = 0; index < hops; ++index)
            target->sync([&counter] { ++counter; });
        elapsed = DispatchClock::now() - start;
    });
    return nanosecondsPerOperation(elapsed, hops);
}

double handOffRound()
{
    constexpr int kHandOffs = 20000;
    const auto queue = DispatchQueue::createSerial(QStringLiteral("bench.handoff"));
    const auto done = DispatchSemaphore::create(0);
    const DispatchTime start = DispatchClock::now();
    for (int index = 0; index < kHandOffs; ++index) {
        queue->async([&done] { done->signal(); });
        done->wait();
    }
    return nanosecondsPerOperation(DispatchClock::now() - start, kHandOffs);
}

} // namespace

int main()
{
    const double asyncCost = medianOverRounds(serialAsyncRound);
    const auto serialTarget = DispatchQueue::createSerial(QStringLiteral("bench.target"));
    const double serialHop = medianOverRounds([&] { return syncHopRound(serialTarget, 200000); });
    const auto concurrentTarget = DispatchQueue::createConcurrent(QStringLiteral("bench.concurrent"));
    const double concurrentHop = medianOverRounds([&] { return syncHopRound(concurrentTarget, 20000); });

    const double handOff = medianOverRounds(handOffRound);

    std::printf("dispatch: median of %d rounds\n", kRounds);
    std::printf("  async block on a serial queue:           %8.1f ns\n", asyncCost);
    std::printf("  sync hop serial queue -> serial queue:   %8.1f ns\n", serialHop);
    std::printf("  sync hop serial queue -> concurrent queue: %6.1f ns\n", concurrentHop);
    std::printf("  async hand-off to a worker and back:     %8.1f ns\n", handOff);
    return 0;
}
