// applescript_paging_bench: the automation script's long answers read in pieces through the script
// bridge (a 1 MB contact text in pages of 32,000 characters, 20,000 event dates in batches of 2,000)
// against one unpaged reply of the same data through the same bridge, in the same run, with the
// simulated Outlook in process. The paged and unpaged reads alternate; the bench prints the medians
// and their ratio (paged over unpaged; at most 1.5 is the target).
//
// What decides the ratio is the cost of each exchange, and that depends on where the two threads run.
// On a busy machine the scheduler keeps them on one core and a hand-off is a plain switch; on a quiet
// one each runs on its own idle core and every hand-off wakes a halted core. To see the quiet-machine
// figures on a busy machine, give the bench two cores and let its wakes preempt at once:
//   taskset -c 6,7 chrt -f 10 bench/applescript_paging_bench
#include "outlook/HMAppleScripter.h"

#include "platform/applescript/NSAppleScript.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/foundation/ConsoleLog.h"

#include "OutlookPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <vector>

namespace {

const int kRounds = qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") : 30;
constexpr qint64 kWholeRange = std::numeric_limits<qint32>::max();

using SteadyClock = std::chrono::steady_clock;

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double processCpuMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

struct Samples
{
    std::vector<double> wallMs;
    std::vector<double> cpuMs;

    template <typename Read>
    qsizetype take(const Read &read)
    {
        const auto start = SteadyClock::now();
        const double cpuStart = processCpuMs();
        const qsizetype size = read();
        cpuMs.push_back(processCpuMs() - cpuStart);
        wallMs.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
        return size;
    }
};

// Times the two reads alternately, so that load on the machine falls on both alike. The CPU time is
// the whole process's: the scripter and the simulated Outlook in it.
void compare(const char *name, const std::function<qsizetype()> &paged, const std::function<qsizetype()> &unpaged)
{
    // HM_BENCH_ONLY=<start of a name> times that comparison alone (for profiling one of them).
    if (const QByteArray only = qgetenv("HM_BENCH_ONLY"); !only.isEmpty() && !QByteArray(name).startsWith(only))
        return;
    Samples pagedSamples;
    Samples unpagedSamples;
    qsizetype pagedSize = paged();
    const qsizetype unpagedSize = unpaged();
    for (int i = 0; i < kRounds; ++i) {
        pagedSize = pagedSamples.take(paged);
        (void)unpagedSamples.take(unpaged);
    }
    const double wallRatio = median(pagedSamples.wallMs) / median(unpagedSamples.wallMs);
    const double cpuRatio = median(pagedSamples.cpuMs) / median(unpagedSamples.cpuMs);
    std::printf("%-24s size %7lld  paged median %7.2f ms (cpu %7.2f)  unpaged median %7.2f ms (cpu %7.2f)  ratio %.2f (cpu %.2f)%s\n",
                name, qint64(pagedSize), median(pagedSamples.wallMs), median(pagedSamples.cpuMs), median(unpagedSamples.wallMs),
                median(unpagedSamples.cpuMs), wallRatio, cpuRatio, pagedSize == unpagedSize ? "" : "  SIZES DIFFER");
}

// Contact text as a real card holds it: lines of names, addresses, notes, some beyond ASCII.
QString realisticCard(qsizetype length)
{
    static const char *const lines[] = {
        "N:Ødegård;Ingrid;Marie;;", "ADR;TYPE=WORK:;;Kungsgatan 12;Göteborg;;411 19;Sweden",
        "NOTE:Met at the Lyon fair\\, asked about the spring catalogue.", "TEL;TYPE=CELL:+46 70 123 45 67",
        "EMAIL;TYPE=INTERNET:ingrid.odegard@example.se", "X-NOTE:会議は火曜日に移動しました 😀", "ORG:Nordlys Handel AB;Inköp"};
    QString card;
    QRandomGenerator random(20261209);
    while (card.size() < length)
        card += QString::fromUtf8(lines[random.bounded(int(std::size(lines)))]) + QStringLiteral("\r\n");
    card.truncate(length);
    return card;
}

QJsonArray events(int count)
{
    QJsonArray records;
    QRandomGenerator random(7);
    const QDateTime base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < count; ++i) {
        records.append(QJsonObject{{QStringLiteral("folder"), 2},
                                   {QStringLiteral("modified"), base.addSecs(random.bounded(90000000)).toString(Qt::ISODate)},
                                   {QStringLiteral("subject"), QStringLiteral("Meeting %1").arg(i)}});
    }
    return records;
}

bool prepare(const QString &root, std::unique_ptr<outlookpeer::OutlookPeer> &peer)
{
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/run")));
    qputenv("HOME", QFile::encodeName(root + QStringLiteral("/home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
    QDir().mkpath(root + QStringLiteral("/run"));
    QFile::setPermissions(root + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    outlookpeer::OutlookPeer::Options options;
    options.home = root + QStringLiteral("/peer");
    options.runtimeDir = root + QStringLiteral("/run");
    QString problem;
    peer = outlookpeer::OutlookPeer::start(options, &problem);
    const platform::Result<QString> scripts = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
    QFile script(scripts ? *scripts + QStringLiteral("/automation.scpt") : QString());
    if (!peer || !scripts || !script.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "applescript_paging_bench: %s\n", qPrintable(problem));
        return false;
    }
    script.write("Microsoft Outlook\n");
    const QJsonArray folders{QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("kind"), QStringLiteral("address book")}, {QStringLiteral("name"), QStringLiteral("Contacts")}},
                             QJsonObject{{QStringLiteral("id"), 2}, {QStringLiteral("kind"), QStringLiteral("calendar")}, {QStringLiteral("name"), QStringLiteral("Calendar")}}};
    const QJsonArray contacts{QJsonObject{{QStringLiteral("id"), 10}, {QStringLiteral("folder"), 1}, {QStringLiteral("properties"), realisticCard(1000000)}}};
    const QJsonObject seeded = peer->control({{QStringLiteral("op"), QStringLiteral("seed")},
                                              {QStringLiteral("state"), QJsonObject{{QStringLiteral("folders"), folders},
                                                                                     {QStringLiteral("contacts"), contacts},
                                                                                     {QStringLiteral("events"), events(20000)}}}});
    return seeded.value(QStringLiteral("ok")).toBool();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The scripter's console lines would otherwise fill the system log.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    platform::setConsoleLogDescriptor(devNull);
    QTemporaryDir folder;
    std::unique_ptr<outlookpeer::OutlookPeer> peer;
    if (!prepare(folder.path(), peer))
        return 1;
    HMAppleScripter scripter;
    const QString contactId = QStringLiteral("10");
    if (qEnvironmentVariableIsSet("HM_BENCH_SMALL")) {
        compare("a short answer", [&] { return scripter.executeScriptSynchronously(scripter.getOutlookVersionEvent()).stringValue().size(); },
                [&] { return platform::NSAppleScript(QStringLiteral("tell application \"Microsoft Outlook\"\nset outlookVersion to version\nreturn outlookVersion\nend tell")).executeAndReturnError().stringValue().size(); });
        if (qEnvironmentVariable("HM_BENCH_SMALL") == u"only")
            return 0;
    }
    compare("1 MB text by pages", [&] { return scripter.propertiesText(HMAppleScripter::Conduit::Contacts, {contactId}).size(); },
            [&] {
                return scripter.executeScriptSynchronously(scripter.propertiesRangeEvent(HMAppleScripter::Conduit::Contacts, {contactId}, 1, kWholeRange))
                    .stringValue()
                    .size();
            });
    compare("20,000 dates by batches", [&] { return qsizetype(scripter.getLastModifiedDateForOutlookCalendar(QString()).isValid() ? 20000 : 0); },
            [&] {
                const platform::NSAppleEventDescriptor dates =
                    scripter.executeScriptSynchronously(scripter.batchEvent(HMAppleScripter::Conduit::CalendarEvents, HMAppleScripter::BatchItems::ModificationDates, 1, kWholeRange, QString()));
                QDateTime latest = HMAppleScripter::distantPast();
                for (qint64 i = 1; i <= dates.numberOfItems(); ++i)
                    latest = std::max(latest, HMAppleScripter::dateFromEventDescriptor(dates.descriptorAtIndex(i)).value_or(latest));
                return qsizetype(latest.isValid() ? dates.numberOfItems() : 0);
            });
    compare("20,000 ids after a date", [&] { return qsizetype(scripter.idsModifiedAfter(HMAppleScripter::Conduit::CalendarEvents, QDateTime(), QString()).size()); },
            [&] {
                // The same work on the one reply: every date converted, every id taken, paired.
                const platform::NSAppleEventDescriptor dates =
                    scripter.executeScriptSynchronously(scripter.batchEvent(HMAppleScripter::Conduit::CalendarEvents, HMAppleScripter::BatchItems::ModificationDates, 1, kWholeRange, QString()));
                const platform::NSAppleEventDescriptor ids =
                    scripter.executeScriptSynchronously(scripter.batchEvent(HMAppleScripter::Conduit::CalendarEvents, HMAppleScripter::BatchItems::Identifiers, 1, kWholeRange, QString()));
                qsizetype paired = 0;
                for (qint64 i = 1; i <= dates.numberOfItems() && i <= ids.numberOfItems(); ++i)
                    paired += HMAppleScripter::dateFromEventDescriptor(dates.descriptorAtIndex(i)) && !ids.descriptorAtIndex(i).stringValue().isNull();
                return paired;
            });
    platform::setConsoleLogDescriptor(-1);
    ::close(devNull);
    return 0;
}
