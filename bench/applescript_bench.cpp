// applescript_bench: a script's round trip through the script bridge to the simulated Outlook, against
// a loopback HTTP request to the phone peer carrying the same bytes, in the same run. Two cases: the
// ids of an address book holding one contact, and of one holding 5,000. Each exchange is timed on its
// own; the bench prints the medians, the 90th percentiles and the ratio of the medians (bridge over
// phone request; at most 1 is the target), for a repeated script and for one following a change.
#include "platform/applescript/AppleEventWire.h"
#include "platform/applescript/NSAppleScript.h"

#include "OutlookPeer.h"
#include "PhonePeer.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QTemporaryDir>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// HM_BENCH_ROUNDS overrides the number of timed exchanges per case (for profiling).
const int kRounds = qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("HM_BENCH_ROUNDS") : 400;

using Clock = std::chrono::steady_clock;

struct Figures
{
    double medianUs = 0;
    double p90Us = 0;
};

template <typename Work>
Figures time(Work work, const std::function<void()> &prepare = {})
{
    std::vector<double> samples;
    samples.reserve(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        if (prepare)
            prepare();
        const auto start = Clock::now();
        work();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

void print(const char *name, size_t bytes, const Figures &bridge, const Figures &request)
{
    std::printf("%-22s bytes %8zu  bridge median %8.1f us p90 %8.1f us  phone request median %8.1f us p90 %8.1f us  ratio %.2f\n",
                name, bytes, bridge.medianUs, bridge.p90Us, request.medianUs, request.p90Us, bridge.medianUs / request.medianUs);
}

QJsonArray contacts(int count)
{
    QJsonArray records;
    for (int i = 0; i < count; ++i)
        records.append(QJsonObject{{QStringLiteral("folder"), 1},
                                   {QStringLiteral("modified"), QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).addSecs(i * 37).toString(Qt::ISODate)},
                                   {QStringLiteral("name"), QStringLiteral("Contact %1").arg(i)}});
    return records;
}

bool runCase(const char *name, int contactCount, outlookpeer::OutlookPeer &outlook, phonepeer::PhonePeer &phone)
{
    const QJsonArray folders{QJsonObject{{QStringLiteral("id"), 1}, {QStringLiteral("kind"), QStringLiteral("address book")},
                                         {QStringLiteral("name"), QStringLiteral("Address Book")}}};
    outlook.control({{QStringLiteral("op"), QStringLiteral("seed")},
                     {QStringLiteral("state"), QJsonObject{{QStringLiteral("folders"), folders}, {QStringLiteral("contacts"), contacts(contactCount)}}}});
    const QString source = QStringLiteral("tell application \"Microsoft Outlook\"\nset theContacts to the id of every contact in folder id 1\n"
                                          "return theContacts\nend tell");
    std::optional<platform::NSAppleScriptError> error;
    const platform::NSAppleEventDescriptor result = platform::NSAppleScript(source).executeAndReturnError(&error);
    if (error || result.numberOfItems() != contactCount) {
        std::fprintf(stderr, "%s: the script failed: %s\n", name, error ? qPrintable(error->message) : "wrong count");
        return false;
    }
    // The phone request carries what the bridge's exchange carries: the request and the reply.
    const std::string body = (platform::AppleEventWire::scriptRequest(source) + platform::AppleEventWire::descriptorReply(result)).toStdString();
    const Figures bridge = time([&] { (void)platform::NSAppleScript(source).executeAndReturnError(&error); });
    const Figures request = time([&] {
        httplib::Client client("127.0.0.1", phone.port());
        (void)client.Post("/hmx_getdeviceinfo", body, "text/plain");
    });
    print(name, body.size(), bridge, request);
    // The peer answers a repeated reading script from memory; after a change it reads its database again.
    const Figures afterChange = time([&] { (void)platform::NSAppleScript(source).executeAndReturnError(&error); },
                                     [&] { outlook.control({{QStringLiteral("op"), QStringLiteral("clock")}, {QStringLiteral("advance"), 1}}); });
    print("  after a change", body.size(), afterChange, request);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    QDir().mkpath(folder.path() + QStringLiteral("/run"));
    qputenv("XDG_RUNTIME_DIR", (folder.path() + QStringLiteral("/run")).toUtf8());
    outlookpeer::OutlookPeer::Options options;
    options.home = folder.path() + QStringLiteral("/home");
    options.runtimeDir = folder.path() + QStringLiteral("/run");
    QString problem;
    const std::unique_ptr<outlookpeer::OutlookPeer> outlook = outlookpeer::OutlookPeer::start(options, &problem);
    phonepeer::PhonePeer::Options phoneOptions;
    phoneOptions.port = 0;
    phonepeer::PhonePeer phone(phoneOptions);
    if (!outlook || !phone.start(problem)) {
        std::fprintf(stderr, "applescript_bench: %s\n", qPrintable(problem));
        return 1;
    }
    const bool ran = runCase("one contact", 1, *outlook, phone) && runCase("5,000 contact ids", 5000, *outlook, phone);
    phone.stop();
    return ran ? 0 : 1;
}
