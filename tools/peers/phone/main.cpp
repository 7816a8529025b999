// phone_peer: plays the phone app's sync server on a loopback port, for tests and for trying the
// desktop by hand. Stops on SIGINT or SIGTERM.
#include "Announcement.h"
#include "PhonePeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstdio>

using namespace phonepeer;

namespace {

bool addFaultOption(const QCommandLineParser &parser, const QString &option, const char *kind, int times,
                    QList<Fault> &faults, QString &problem)
{
    if (!parser.isSet(option))
        return true;
    Pairs fields{{QStringLiteral("fault"), QString::fromLatin1(kind)},
                 {QStringLiteral("path"), parser.value(option)},
                 {QStringLiteral("times"), QString::number(times)}};
    if (parser.isSet(QStringLiteral("fail-reason")))
        fields.append({QStringLiteral("reason"), parser.value(QStringLiteral("fail-reason"))});
    Fault fault;
    if (!faultFromFields(fields, fault, problem))
        return false;
    faults.append(fault);
    return true;
}

// A switch that spoils every n-th add of the updates.
bool addEveryOption(const QCommandLineParser &parser, const QString &option, const char *kind, int times,
                    QList<Fault> &faults, QString &problem)
{
    if (!parser.isSet(option))
        return true;
    const Pairs fields{{QStringLiteral("fault"), QString::fromLatin1(kind)},
                       {QStringLiteral("path"), QStringLiteral("/hmx_update")},
                       {QStringLiteral("times"), QString::number(times)},
                       {QStringLiteral("every"), parser.value(option)}};
    Fault fault;
    if (!faultFromFields(fields, fault, problem))
        return false;
    faults.append(fault);
    return true;
}

} // namespace

// Sends the announcement to "address:port" (an IPv6 address in brackets); false after reporting why not.
bool announce(const PhonePeer &peer, const QString &target)
{
    const qsizetype colon = target.lastIndexOf(u':');
    bool isPortOk = false;
    const uint port = colon > 0 ? target.mid(colon + 1).toUInt(&isPortOk) : 0;
    QString host = target.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    QString problem;
    if (!isPortOk || port == 0 || port > 65535) {
        std::fprintf(stderr, "phone_peer: --announce-to needs address:port, not %s\n", qPrintable(target));
        return false;
    }
    if (!sendAnnouncement(peer.deviceId(), host, quint16(port), problem)) {
        std::fprintf(stderr, "phone_peer: %s\n", qPrintable(problem));
        return false;
    }
    std::printf("phone_peer announced itself to %s\n", qPrintable(target));
    std::fflush(stdout);
    return true;
}

namespace {

// The readings of list replies the switches ask for; false for an unknown --count.
bool readListReadings(const QCommandLineParser &parser, ListReadings &readings)
{
    static const std::pair<const char *, ListReadings::Count> kCountReadings[] = {
        {"page", ListReadings::Count::PageRows},
        {"total", ListReadings::Count::ListingTotal},
        {"none", ListReadings::Count::Absent}};
    const QString count = parser.value(QStringLiteral("count"));
    const auto reading = std::find_if(std::begin(kCountReadings), std::end(kCountReadings),
                                      [&count](const auto &entry) { return count == QLatin1String(entry.first); });
    if (reading == std::end(kCountReadings))
        return false;
    readings.count = reading->second;
    readings.listNumber = parser.isSet(QStringLiteral("list-number"));
    readings.listsOwnWrites = parser.isSet(QStringLiteral("list-own-writes"));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the phone app's sync server on a loopback port."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("host"), QStringLiteral("Address to listen on."), QStringLiteral("address"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Port to listen on; 0 picks a free one."), QStringLiteral("port"),
         QStringLiteral("8090")},
        {QStringLiteral("data"),
         QStringLiteral("JSON file of the records, loaded at start; each answer that changes them adds a line to "
                        "FILE.journal, and the whole file is written again when the journal outgrows it and on "
                        "stopping."),
         QStringLiteral("file")},
        {QStringLiteral("device-id"), QStringLiteral("The phone's device id, which requests must carry."),
         QStringLiteral("id"), QStringLiteral("QP-PEER-0001")},
        {QStringLiteral("delay-ms"), QStringLiteral("Answer every request (or those of --delay-path) this late."),
         QStringLiteral("ms")},
        {QStringLiteral("delay-path"), QStringLiteral("The path --delay-ms applies to."), QStringLiteral("path")},
        {QStringLiteral("fail"), QStringLiteral("Answer FAIL on this path."), QStringLiteral("path")},
        {QStringLiteral("fail-reason"), QStringLiteral("The reason line of --fail replies."), QStringLiteral("text")},
        {QStringLiteral("empty"), QStringLiteral("Answer an empty body on this path."), QStringLiteral("path")},
        {QStringLiteral("drop"), QStringLiteral("Hang up halfway through replies on this path."),
         QStringLiteral("path")},
        {QStringLiteral("malformed-rows"), QStringLiteral("Put a row with a wrong field count into list replies.")},
        {QStringLiteral("drop-before"), QStringLiteral("Hang up before doing the work on this path."),
         QStringLiteral("path")},
        {QStringLiteral("refuse-adds"), QStringLiteral("Answer every n-th add of an update FAIL."),
         QStringLiteral("n")},
        {QStringLiteral("omit-adds"), QStringLiteral("Store every n-th add but leave it out of the reply."),
         QStringLiteral("n")},
        {QStringLiteral("cut-id-list"), QStringLiteral("Stop id lists halfway through their rows.")},
        {QStringLiteral("busy"), QStringLiteral("Answer every logon BUSY.")},
        {QStringLiteral("count"),
         QStringLiteral("What the Count= line of list replies holds: page (the reply's rows), total (the rows of "
                        "the whole listing) or none (no such line)."),
         QStringLiteral("reading"), QStringLiteral("page")},
        {QStringLiteral("list-number"),
         QStringLiteral("Follow List= with the reply's rows instead of the list's name.")},
        {QStringLiteral("list-own-writes"),
         QStringLiteral("List the desktop's edits as changes in the syncs after the one that made them.")},
        {QStringLiteral("announce-to"),
         QStringLiteral("Once listening, send the phone's sync announcement datagram to this address and port."),
         QStringLiteral("address:port")},
        {QStringLiteral("times"), QStringLiteral("How many replies each switch spoils; 0 means all."),
         QStringLiteral("count"), QStringLiteral("0")},
    });
    parser.process(application);

    PhonePeer::Options options;
    options.host = parser.value(QStringLiteral("host"));
    options.dataFile = parser.value(QStringLiteral("data"));
    options.deviceId = parser.value(QStringLiteral("device-id"));
    bool portOk = false;
    options.port = parser.value(QStringLiteral("port")).toInt(&portOk);
    bool timesOk = false;
    const int times = parser.value(QStringLiteral("times")).toInt(&timesOk);
    if (!portOk || options.port < 0 || options.port > 65535 || !timesOk || times < 0) {
        std::fprintf(stderr, "phone_peer: --port takes 0 to 65535 and --times a count of at least 0\n");
        return 2;
    }
    if (!readListReadings(parser, options.readings)) {
        std::fprintf(stderr, "phone_peer: --count takes page, total or none\n");
        return 2;
    }
    QString problem;
    const bool faultsOk = addFaultOption(parser, QStringLiteral("fail"), "fail", times, options.faults, problem) &&
                          addFaultOption(parser, QStringLiteral("empty"), "empty", times, options.faults, problem) &&
                          addFaultOption(parser, QStringLiteral("drop"), "drop", times, options.faults, problem) &&
                          addFaultOption(parser, QStringLiteral("drop-before"), "drop_before", times, options.faults,
                                         problem) &&
                          addEveryOption(parser, QStringLiteral("refuse-adds"), "refuse_adds", times, options.faults,
                                         problem) &&
                          addEveryOption(parser, QStringLiteral("omit-adds"), "omit_adds", times, options.faults,
                                         problem);
    if (faultsOk && parser.isSet(QStringLiteral("delay-ms"))) {
        Fault fault;
        const Pairs fields{{QStringLiteral("fault"), QStringLiteral("delay")},
                           {QStringLiteral("delay_ms"), parser.value(QStringLiteral("delay-ms"))},
                           {QStringLiteral("path"), parser.value(QStringLiteral("delay-path"))},
                           {QStringLiteral("times"), QString::number(times)}};
        if (!faultFromFields(fields, fault, problem)) {
            std::fprintf(stderr, "phone_peer: %s\n", qPrintable(problem));
            return 2;
        }
        options.faults.append(fault);
    }
    if (!faultsOk) {
        std::fprintf(stderr, "phone_peer: %s\n", qPrintable(problem));
        return 2;
    }
    if (parser.isSet(QStringLiteral("malformed-rows")))
        options.faults.append(Fault{FaultKind::MalformedRows, QStringLiteral("/hmx_list"), times, 0, {}});
    if (parser.isSet(QStringLiteral("cut-id-list")))
        options.faults.append(Fault{FaultKind::CutIdList, QStringLiteral("/hmx_list"), times, 0, {}});
    if (parser.isSet(QStringLiteral("busy")))
        options.faults.append(Fault{FaultKind::Busy, QStringLiteral("/hmx_logon"), times, 0, {}});

    // The signals are taken by sigwait below, so they are blocked before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    PhonePeer peer(options);
    if (!peer.start(problem)) {
        std::fprintf(stderr, "phone_peer: %s\n", qPrintable(problem));
        return 1;
    }
    std::printf("phone_peer listening on %s:%d\n", qPrintable(options.host), peer.port());
    std::fflush(stdout);
    if (parser.isSet(QStringLiteral("announce-to")) && !announce(peer, parser.value(QStringLiteral("announce-to"))))
        return 1;
    int received = 0;
    sigwait(&stopSignals, &received);
    peer.stop();
    return 0;
}
