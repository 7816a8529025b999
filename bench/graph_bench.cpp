// Times an identifier graph of 10,000 and 20,000 entries shaped like a contacts conduit's (a date,
// a checksum and both identifiers per entry): saving it (archive, write) and loading it (read,
// decode, index on the first lookup, destroy); then journaling one entry in a hundred changed, in
// ten pages, and loading the graph with its journal replayed ("replay"). Each measure runs in a
// fresh process of its own, so its peak resident size less the size before the work is the work's
// own memory peak; a load also gives what the loaded and indexed graph itself holds.
// Usage: graph_bench            runs every measure
//        graph_bench save|load|journal|replay <entries> <folder>   one measure in this process
//        graph_bench cold <profile-file-name> <data-folder>   one cold load of a kept profile's
//                     contacts and calendar graphs (conduits A and D) in this process
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

const QString kConduit = QStringLiteral("A");
constexpr int kRounds = 5;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

long peakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long residentKb()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

HMProfile benchProfile()
{
    HMProfile profile;
    profile.setFilename(QStringLiteral("bench-profile"));
    return profile;
}

void fill(HMIdentifierGraph &graph, int entries)
{
    const QDateTime written = QDateTime::fromSecsSinceEpoch(1'780'000'000, Qt::UTC);
        for (int index = 0; index < entries; ++index) {
        graph.appendDictionary(
            {{QStringLiteral("WrittenModificationDate"), written.addSecs(index)},
             {QStringLiteral("crcValue"), QString::number(qint32(quint32(index) * 2654435761U))},
             {QStringLiteral("hmUid"), QStringLiteral("D%1").arg(index, 6, 10, QLatin1Char('0'))},
             {QStringLiteral("nativeId"),
              QStringLiteral("%1-5B1C-4C3E-9A7D-0E2F4A6B8C0D:ABPerson").arg(index, 8, 16, QLatin1Char('0'))}});
    }
    graph.setLastSyncDate(written);
}

// Changes one entry in a hundred of the saved graph, a tenth of them per page, each page journaled.
bool journalChanges(const HMProfile &profile, int entries)
{
    std::shared_ptr<HMIdentifierGraph> graph = HMProfileManager::identifierGraphForProfile(profile, kConduit);
    if (!graph)
        return false;
    for (int page = 0; page < 10; ++page) {
        for (int index = page; index < entries; index += 1000) {
            const QString hmUid = QStringLiteral("D%1").arg(index, 6, 10, QLatin1Char('0'));
            std::optional<QVariantMap> changed = graph->dictionaryForHarrowmereUid(hmUid);
            if (!changed)
                return false;
            changed->insert(QStringLiteral("crcValue"), QStringLiteral("changed %1").arg(page));
            graph->replaceDictionaryForHarrowmereUid(hmUid, changed);
        }
        if (!HMProfileManager::journalIdentifier(*graph, profile, kConduit))
            return false;
    }
    return true;
}

// One measure: CPU per round and the peak above the resident size before the first round.
int measure(const QString &what, int entries)
{
    if (what == QLatin1String("journal")) {
        const double start = cpuSeconds();
        if (!journalChanges(benchProfile(), entries))
            return 1;
        std::printf("%-7s %6d entries   cpu %7.1f ms for ten pages\n", qPrintable(what), entries,
                    (cpuSeconds() - start) * 1000.0);
        return 0;
    }
    const HMProfile profile = benchProfile();
    HMIdentifierGraph source;
    if (what == QLatin1String("save"))
        fill(source, entries);
    const long before = residentKb();
    long held = 0;
    const double start = cpuSeconds();
    for (int round = 0; round < kRounds; ++round) {
        if (what == QLatin1String("save")) {
            if (!HMProfileManager::saveIdentifier(source, profile, kConduit))
                return 1;
            continue;
        }
        std::shared_ptr<HMIdentifierGraph> graph = HMProfileManager::identifierGraphForProfile(profile, kConduit);
        if (!graph || graph->count() != entries || graph->nativeIdForHarrowmereUid(QStringLiteral("D000001")).isEmpty())
            return 1;
        if (round == 0)
            held = residentKb() - before;
    }
    std::printf("%-7s %6d entries   cpu %7.1f ms/round   peak +%6ld KB", qPrintable(what), entries,
                (cpuSeconds() - start) * 1000.0 / kRounds, peakKb() - before);
    if (held > 0)
        std::printf("   loaded graph %6ld KB", held);
    std::printf("\n");
    return 0;
}

// One load of each of a kept profile's two large graphs, as a sync's first look at them.
int coldLoad(const QString &profileFileName)
{
    HMProfile profile;
    profile.setFilename(profileFileName);
    const long faultsBefore = minorFaults();
    const double start = cpuSeconds();
    qsizetype entries = 0;
    for (const QString &conduit : {QStringLiteral("A"), QStringLiteral("D")}) {
        const std::shared_ptr<HMIdentifierGraph> graph = HMProfileManager::identifierGraphForProfile(profile, conduit);
        if (!graph)
            return 1;
        entries += graph->count();
    }
    const double cpu = (cpuSeconds() - start) * 1000.0;
    std::printf("cold   %6lld entries   cpu %7.2f ms   page faults %5ld\n", qlonglong(entries), cpu,
                minorFaults() - faultsBefore);
    return 0;
}

int runChild(const QString &program, const QString &what, int entries, const QString &folder)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(program, {what, QString::number(entries), folder});
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 4) {
        qputenv("XDG_DATA_HOME", arguments.at(3).toLocal8Bit());
        if (arguments.at(1) == QLatin1String("cold"))
            return coldLoad(arguments.at(2));
        return measure(arguments.at(1), arguments.at(2).toInt());
    }
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    for (const int entries : {10000, 20000}) {
        for (const char *what : {"save", "load", "journal", "replay"}) {
            if (runChild(application.applicationFilePath(), QLatin1String(what), entries, home.path()) != 0) {
                std::fprintf(stderr, "%s of %d entries failed\n", what, entries);
                return 1;
            }
        }
    }
    return 0;
}
