// Events from the device into an empty calendar folder through the EventKit apply, then the first
// listing (every event sent) and a listing with nothing new. Prints wall time, CPU time and peak
// memory of each phase. Usage: calendar_store_bench [events] (default 2000; a tenth recur weekly).
#include "datasources/calendar/HMCalendarData.h"
#include "datasources/calendar/HMTaskEventKitHelper.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/EKEventStore.h"
#include "platform/foundation/UserDefaults.h"
#include "sync/HMIdentifierGraph.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cstdio>
#include <ctime>

#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

long peakKilobytes()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void report(const char *phase, const QElapsedTimer &wall, double cpuStart, qsizetype records)
{
    std::printf("%-22s %7.2f s wall %7.2f s CPU %8ld KiB peak, %lld records\n", phase, wall.elapsed() / 1000.0,
                cpuSeconds() - cpuStart, peakKilobytes(), static_cast<long long>(records));
}

QVariantMap deviceRecord(int index, const QDateTime &start)
{
    QVariantMap record{{"UID", QStringLiteral("device-%1").arg(index)},
                       {"SUBJECT", QStringLiteral("Event %1").arg(index)},
                       {"NOTE", "notes with\nlines & marks"},
                       {"TYPENUMBER", "0"},
                       {"NSDATESTARTDATE", start},
                       {"NSDATEENDDATE", start.addSecs(3600)},
                       {"NSNUMBERALARMTIME", "15"},
                       {"LASTMODIFIED", "2026-01-01 10:00:00"}};
    if (index % 10 == 0) {
        record.insert("REPEAT", "2");
        record.insert("INTERVAL", "1");
        record.insert("DAYMASK", "42");
    }
    return record;
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? QString::fromLatin1(argv[1]).toInt() : 2000;
    ddLogLevel.store(0);
    QTemporaryDir root;
    const QString folder = root.path() + QStringLiteral("/Calendars/bench");
    QDir().mkpath(folder);
    platform::UserDefaults::standardUserDefaults().setObject(root.path() + QStringLiteral("/Calendars"),
                                                             platform::EKEventStore::kCalendarsFolderKey);
    HMTaskEventKitHelper::setEventCalendarIdentifiersToSync({QStringLiteral("bench")});
    auto graph = std::make_shared<HMIdentifierGraph>();
    HMCalendarData data;
    data.setIdentifierGraph(graph);
    data.setCategoryIdentifierToWriteTo(QStringLiteral("bench"));

    const QDateTime first = QDateTime(QDate::currentDate().addDays(1), QTime(8, 0), QTimeZone::utc());
    QElapsedTimer wall;
    wall.start();
    double cpu = cpuSeconds();
    for (int index = 0; index < count; ++index)
        data.EKCommandAction(1, 1, 0, deviceRecord(index, first.addSecs(qint64(index) * 5400)), 0);
    report("apply", wall, cpu, count);

    wall.restart();
    cpu = cpuSeconds();
    const auto sent = data.syncEventKitRecordObjectsModifiedAfter(QDateTime(), true, {});
    report("first listing", wall, cpu, sent ? sent->size() : 0);
    graph->setLastSyncDate(QDateTime::currentDateTimeUtc().addSecs(60));

    wall.restart();
    cpu = cpuSeconds();
    const auto again = data.syncEventKitRecordObjectsModifiedAfter(graph->lastSyncDate(), true, {});
    report("no-change listing", wall, cpu, again ? again->size() : 0);
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(platform::EKEventStore::kCalendarsFolderKey);
    return 0;
}
