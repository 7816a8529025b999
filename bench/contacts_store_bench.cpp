// contacts_store_bench: the headless driver (hm_sync_once, a program of its own) syncing 10,000
// contacts from the phone peer (in this process, on loopback) into an empty vCard folder, then a
// sync without changes; then the same with the driver's memory store, for comparison. Prints, for
// each run, the driver's wall time, processor time (user and system), peak memory and how many card
// files it wrote, then the vCard folder's figures over the memory store's.
#include "PhonePeer.h"
#include "PhoneStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr int kContactCount = 10000;

struct RunFigures
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakMegabytes = 0;
    int exitCode = -1;
};

// Runs the driver with its own home folder and waits for it, taking its resource use.
RunFigures runDriver(const QString &home, const QStringList &arguments)
{
    QList<QByteArray> environment;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray text(*entry);
        if (!text.startsWith("HOME=") && !text.startsWith("XDG_"))
            environment.append(text);
    }
    environment << "HOME=" + home.toUtf8() << "XDG_CONFIG_HOME=" + home.toUtf8() + "/config"
                << "XDG_DATA_HOME=" + home.toUtf8() + "/data" << "XDG_STATE_HOME=" + home.toUtf8() + "/state";
    QList<QByteArray> argumentBytes{QByteArray(HM_SYNC_ONCE_PATH)};
    for (const QString &argument : arguments)
        argumentBytes.append(argument.toUtf8());
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (QByteArray &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    RunFigures figures;
    QElapsedTimer timer;
    timer.start();
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return figures;
    int status = 0;
    struct rusage usage = {};
    // The peer answers on its own threads while this thread waits.
    wait4(child, &status, 0, &usage);
    figures.wallSeconds = double(timer.nsecsElapsed()) / 1e9;
    figures.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                         + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    figures.peakMegabytes = double(usage.ru_maxrss) / 1024.0;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return figures;
}

QHash<QString, qint64> cardTimes(const QString &folder)
{
    QHash<QString, qint64> times;
    for (const QFileInfo &file : QDir(folder).entryInfoList({QStringLiteral("*.vcf")}, QDir::Files))
        times.insert(file.fileName(), file.lastModified().toMSecsSinceEpoch());
    return times;
}

int writtenSince(const QHash<QString, qint64> &before, const QHash<QString, qint64> &after)
{
    int written = 0;
    for (auto it = after.constBegin(); it != after.constEnd(); ++it)
        written += before.value(it.key(), -1) != it.value() ? 1 : 0;
    return written;
}

// The phone's records, written to the file the peer loads at start.
bool writePhoneRecords(const QString &path)
{
    phonepeer::PhoneStore store;
    for (int index = 0; index < kContactCount; ++index) {
        store.addRecord(phonepeer::Conduit::Contacts,
                            {{QStringLiteral("NEWFNAME"), QStringLiteral("Given%1").arg(index)},
                             {QStringLiteral("NEWLNAME"), QStringLiteral("Family%1").arg(index)},
                             {QStringLiteral("COMPANY"), QStringLiteral("Company %1").arg(index % 97)},
                             {QStringLiteral("CELLPHONE"), QStringLiteral("+1 555 %1").arg(index, 6, 10, QLatin1Char('0'))},
                             {QStringLiteral("WORKPHONE"), QStringLiteral("+1 556 %1").arg(index, 6, 10, QLatin1Char('0'))},
                             {QStringLiteral("EMAIL"), QStringLiteral("person%1@example.com").arg(index)},
                             {QStringLiteral("ADDRESS1"), QStringLiteral("%1 Main Street").arg(index)},
                             {QStringLiteral("CITY"), QStringLiteral("Springfield")},
                             {QStringLiteral("NOTE"), QStringLiteral("Met at event %1\nsecond line & more").arg(index)},
                             {QStringLiteral("CATEGORY"), index % 3 == 0 ? QStringLiteral("Work") : QStringLiteral("Friends")}});
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(store.toJson()) > 0;
}

constexpr const char *kRunNames[] = {"first sync", "no-change sync"};

// Runs the first sync and the sync without changes with one contacts store, in a home of its own;
// answers their figures, none when the peer did not start.
QList<RunFigures> benchStore(const char *store)
{
    QTemporaryDir home;
    // HM_BENCH_KEEP=1 keeps the folder (the phone's records in phone.json) to look at or run again.
    home.setAutoRemove(qEnvironmentVariableIsEmpty("HM_BENCH_KEEP"));
    const QString folder = home.filePath(QStringLiteral("Contacts"));
    phonepeer::PhonePeer::Options options;
    options.port = 0;
    options.dataFile = home.filePath(QStringLiteral("phone.json"));
    phonepeer::PhonePeer peer(options);
    QString problem;
    if (!writePhoneRecords(options.dataFile) || !peer.start(problem)) {
        std::fprintf(stderr, "the phone peer did not start: %s\n", qPrintable(problem));
        return {};
    }
    const QStringList arguments = {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), peer.deviceId(),
                                   QStringLiteral("--port"), QString::number(peer.port()),
                                   QStringLiteral("--contacts-store"), QLatin1String(store),
                                   QStringLiteral("--contacts-folder"), folder, QStringLiteral("--logon-pause-ms"),
                                   QStringLiteral("0")};
    QList<RunFigures> runs;
    for (const char *name : kRunNames) {
        const QHash<QString, qint64> before = cardTimes(folder);
        const RunFigures figures = runDriver(home.path(), arguments);
        const int written = writtenSince(before, cardTimes(folder));
        std::printf("%-8s %-16s %10.2f %10.2f %10.1f %10d%s\n", store, name, figures.wallSeconds, figures.cpuSeconds,
                    figures.peakMegabytes, written, figures.exitCode == 0 ? "" : "  (the driver failed)");
        runs.append(figures);
    }
    peer.stop();
    return runs;
}

// What the vCard folder costs over the driver's memory store, run by run.
void printRatios(const QList<RunFigures> &vcard, const QList<RunFigures> &memory)
{
    for (qsizetype run = 0; run < qMin(vcard.size(), memory.size()); ++run) {
        const RunFigures &folder = vcard.at(run);
        const RunFigures &held = memory.at(run);
        std::printf("%-8s %-16s %10.2f %10.2f %10.2f\n", "ratio", kRunNames[run], folder.wallSeconds / held.wallSeconds,
                    folder.cpuSeconds / held.cpuSeconds, folder.peakMegabytes / held.peakMegabytes);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    std::printf("%d contacts, phone peer in process, driver hm_sync_once\n", kContactCount);
    std::printf("%-8s %-16s %10s %10s %10s %10s\n", "store", "run", "wall s", "CPU s", "peak MB", "written");
    // "vcard" or "memory" as the argument runs that store alone (for profiling one of them).
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QList<RunFigures> vcard = only.isEmpty() || only == QLatin1String("vcard") ? benchStore("vcard") : QList<RunFigures>();
    const QList<RunFigures> memory = only.isEmpty() || only == QLatin1String("memory") ? benchStore("memory") : QList<RunFigures>();
    printRatios(vcard, memory);
    return 0;
}
