// Times the calendar side of a sync with nothing new on a kept profile, each part many times in one
// process: reading a calendar folder's index (a run's first look at the folder, less the status of
// each file), and the whole listing of the events against the profile's calendar graph (every event
// found unchanged). HOME and the XDG folders name the kept data, as for a sync of it.
// Usage: calendar_listing_bench <profile-file-name> <calendar folder> [rounds [index|listing]]
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/eventkit/ICalendarFolderIndex.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

template <typename Work> void timeRounds(const char *name, int rounds, const Work &work)
{
    std::vector<double> times;
    qsizetype result = 0;
    for (int round = 0; round < rounds; ++round) {
        const double start = cpuMs();
        result = work();
        times.push_back(cpuMs() - start);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-8s median %7.3f ms  min %7.3f ms  (%lld)\n", name, times[times.size() / 2], times.front(),
                qlonglong(result));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: calendar_listing_bench <profile-file-name> <calendar folder> [rounds [index|listing]]\n");
        return 2;
    }
    ddLogLevel.store(0);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    const QString calendar = QFileInfo(folder).fileName();
    const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 30;
    const QByteArray only = argc > 4 ? QByteArray(argv[4]) : QByteArray();
    timeRounds("index", only == "listing" ? 1 : rounds, [&] {
        const std::optional<platform::icalindex::LoadedIndex> index = platform::icalindex::loadIndex(folder);
        return index ? index->files.size() : -1;
    });

    HMProfile profile;
    profile.setFilename(QString::fromLocal8Bit(argv[1]));
    const std::shared_ptr<HMIdentifierGraph> graph = HMProfileManager::identifierGraphForProfile(profile, "D");
    if (!graph) {
        std::fprintf(stderr, "no calendar graph\n");
        return 1;
    }
    HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({calendar});
    timeRounds("listing", only == "index" ? 1 : rounds, [&] {
        HMCalendarData data;
        data.setIdentifierGraph(graph);
        const std::optional<QList<HMSyncRecord>> records =
            data.syncRecordObjectsModifiedAfter(graph->lastSyncDate(), true, {});
        return records ? records->size() : -1;
    });
    return 0;
}
