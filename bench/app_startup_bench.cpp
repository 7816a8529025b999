// Starts the harrowmere program again and again in a fresh private home and measures the time from
// starting the process to its first window shown (the start-up trace's first "showWindow called")
// and to the end of the launch sequence ("returning"). Prints the median and the slowest run.
// The display is the environment's (QT_QPA_PLATFORM), offscreen when none is named.
#include "platform/foundation/PropertyList.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int kRuns = 15;
constexpr qint64 kTimeoutMs = 20000;

struct Timing
{
    double firstWindowMs = 0;
    double launchedMs = 0;
};

bool traceContains(const QString &path, const QString &entry)
{
    const platform::Result<QVariantMap> trace = platform::readPropertyListDictionary(path);
    if (!trace)
        return false;
    for (auto it = trace->cbegin(); it != trace->cend(); ++it) {
        if (it.value().toString() == entry)
            return true;
    }
    return false;
}

std::optional<Timing> measureOneStart(const QString &program)
{
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home.path() + QStringLiteral("/state"));
    if (!environment.contains(QStringLiteral("QT_QPA_PLATFORM")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString trace = home.path() + QStringLiteral("/data/com.harrowmere.Harrowmere/startuplog.plist");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, {});
    Timing timing;
    while (clock.elapsed() < kTimeoutMs && process.state() != QProcess::NotRunning) {
        if (timing.firstWindowMs == 0 && traceContains(trace, QStringLiteral("showWindow called")))
            timing.firstWindowMs = double(clock.nsecsElapsed()) / 1e6;
        if (traceContains(trace, QStringLiteral("returning"))) {
            timing.launchedMs = double(clock.nsecsElapsed()) / 1e6;
            break;
        }
        QThread::usleep(200);
    }
    process.kill();
    process.waitForFinished(5000);
    if (timing.launchedMs == 0)
        return std::nullopt;
    return timing;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QString program = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(HM_HARROWMERE_PATH);
    std::vector<double> firstWindow;
    std::vector<double> launched;
    for (int run = 0; run < kRuns; ++run) {
        const std::optional<Timing> timing = measureOneStart(program);
        if (!timing) {
            std::fprintf(stderr, "app_startup_bench: run %d did not finish its start-up\n", run + 1);
            return 1;
        }
        firstWindow.push_back(timing->firstWindowMs);
        launched.push_back(timing->launchedMs);
    }
    std::printf("harrowmere start-up over %d runs (%s)\n", kRuns,
                qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("offscreen"))));
    std::printf("  start to first window shown: median %.1f ms, slowest %.1f ms\n", median(firstWindow),
                *std::max_element(firstWindow.begin(), firstWindow.end()));
    std::printf("  start to launch finished:    median %.1f ms, slowest %.1f ms\n", median(launched),
                *std::max_element(launched.begin(), launched.end()));
    return 0;
}
