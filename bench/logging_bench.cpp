// Measures what logging costs the code that logs: an asynchronous info line at level 7 with the file
// logger attached, the lines per second the logger sustains to disk, and a log site that the level
// filters out. Prints its figures; run it from a Release build.

#include "foundation/Lumberjack/DDFileLogger.h"
#include "foundation/Lumberjack/DDLog.h"
#include "foundation/Lumberjack/DDLogFileManagerDefault.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using BenchClock = std::chrono::steady_clock;

double nanosecondsPer(BenchClock::duration elapsed, long count)
{
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / double(count);
}

QString sampleLine(int counter)
{
    return QStringLiteral("Updated record %1 of conduit %2 in %3").arg(counter).arg(2).arg(QStringLiteral("Calendar"));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The caller's cost per asynchronous info line while the backlog has room: bursts of `lines`, each
// flushed to disk before the next, so no call waits for the logger.
void measureBurstCost(long lines, int rounds)
{
    std::vector<double> callCosts;
    int counter = 0;
    for (int round = 0; round < rounds; ++round) {
        const BenchClock::time_point start = BenchClock::now();
        for (long index = 0; index < lines; ++index)
            DDLogInfo(sampleLine(++counter));
        callCosts.push_back(nanosecondsPer(BenchClock::now() - start, lines));
        DDLog::flushLog();
    }
    std::printf("async info line, file logger attached, backlog not full: %.0f ns per call "
                "(median of %d bursts of %ld)\n",
                median(callCosts), rounds, lines);
}

// Lines per second from the first call until the last line is on disk, and the caller's cost per
// line while the backlog is full and calls wait for the logger.
void measureSustainedRate(long lines, int rounds)
{
    std::vector<double> callCosts;
    std::vector<double> linesPerSecond;
    int counter = 0;
    for (int round = 0; round < rounds; ++round) {
        const BenchClock::time_point start = BenchClock::now();
        for (long index = 0; index < lines; ++index)
            DDLogInfo(sampleLine(++counter));
        const BenchClock::time_point queued = BenchClock::now();
        DDLog::flushLog();
        const BenchClock::time_point flushed = BenchClock::now();
        callCosts.push_back(nanosecondsPer(queued - start, lines));
        linesPerSecond.push_back(double(lines) / std::chrono::duration<double>(flushed - start).count());
    }
    std::printf("sustained to disk: %.0f lines per second; %.0f ns per call with the backlog full "
                "(median of %d rounds of %ld)\n",
                median(linesPerSecond), median(callCosts), rounds, lines);
}

void measureFilteredSite(long calls)
{
    long evaluations = 0;
    const BenchClock::time_point start = BenchClock::now();
    for (long index = 0; index < calls; ++index)
        DDLogVerbose((++evaluations, QStringLiteral("never built %1").arg(index)));
    const BenchClock::duration elapsed = BenchClock::now() - start;
    std::printf("verbose site filtered out at level 7: %.2f ns per call, message built %ld times\n",
                nanosecondsPer(elapsed, calls), evaluations);
}

} // namespace

int main()
{
    QTemporaryDir folder;
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    ddLogLevel = LOG_LEVEL_INFO;
    const auto manager = std::make_shared<DDLogFileManagerDefault>(folder.path());
    manager->setMaximumNumberOfLogFiles(4);
    const auto logger = std::make_shared<DDFileLogger>(manager);
    logger->setMaximumFileSize(20971520);
    logger->setRollingFrequency(86400);
    DDLog::addLogger(logger);

    measureBurstCost(500, 41);
    measureSustainedRate(20000, 7);
    measureFilteredSite(10000000);

    DDLog::removeAllLoggers();
    DDLog::flushLog();
    return 0;
}
