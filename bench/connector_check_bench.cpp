// The main thread while the cloud service stalls the account requests of the windows: the event loop's
// latency (a zero-delay timer's round trip, 2,000 samples) while a connector check waits, as the window
// makes it (the credentials check and the connector list on fresh account transports, sent before the
// samples), on a cloud peer program that holds every "/account.php" answer, against the same loop idle
// in the same run. Prints the 50th and 99th
// percentiles of both and the ratio of the 99th, the median of three rounds. No request may block the
// window: the ratio stays near 1.
#include "cloud/HMQuillnestSync.h"
#include "platform/restkit/RKClient.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"

#include <httplib.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kSamples = 2000;

struct Peer
{
    QProcess process;
    int httpsPort = 0;
    int httpPort = 0;
    QString caFile;

    bool control(const char *path, const QJsonObject &body) const
    {
        httplib::Client client("127.0.0.1", httpPort);
        return bool(client.Post(path, QJsonDocument(body).toJson().toStdString(), "application/json"));
    }
};

bool startPeer(Peer &peer, const QString &folder)
{
    peer.process.start(QStringLiteral(HM_CLOUD_PEER_PATH), {QStringLiteral("--certificates"), folder});
    if (!peer.process.waitForReadyRead(20000))
        return false;
    for (const QString &part : QString::fromUtf8(peer.process.readLine()).trimmed().split(u' ')) {
        if (part.startsWith(QLatin1String("https-port=")))
            peer.httpsPort = part.section(u'=', 1).toInt();
        else if (part.startsWith(QLatin1String("http-port=")))
            peer.httpPort = part.section(u'=', 1).toInt();
        else if (part.startsWith(QLatin1String("ca=")))
            peer.caFile = part.section(u'=', 1);
    }
    return peer.httpsPort > 0 && peer.httpPort > 0;
}

struct Percentiles
{
    double p50Us = 0;
    double p99Us = 0;
};

// The loop's latency; with a configuration, while a connector check waits for its answers.
Percentiles measure(const std::shared_ptr<HMSyncControllerConfigurationProtocol> &configuration)
{
    std::vector<qint64> samples;
    std::vector<std::unique_ptr<HMQuillnestSync>> transports;
    QElapsedTimer clock;
    if (configuration) {
        transports.push_back(HMQuillnestSync::initWithConfiguration(configuration));
        transports.back()->validateConfigurationWithSilentNotification();
        transports.push_back(HMQuillnestSync::initWithConfiguration(configuration));
        transports.back()->checkConnectorStatus();
        // Both requests are out and held before the samples begin.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    for (int index = 0; index < kSamples; ++index) {
        bool hasRun = false;
        clock.start();
        QTimer::singleShot(0, [&hasRun] { hasRun = true; });
        while (!hasRun)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        samples.push_back(clock.nsecsElapsed());
    }
    std::sort(samples.begin(), samples.end());
    return {double(samples[samples.size() / 2]) / 1000.0, double(samples[samples.size() * 99 / 100]) / 1000.0};
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    QApplication application(argc, argv);
    Peer peer;
    if (!startPeer(peer, home.filePath(QStringLiteral("certificates")))) {
        std::fprintf(stderr, "the cloud peer did not start\n");
        return 1;
    }
    qputenv("HM_QUILLNEST_HOST", QStringLiteral("127.0.0.1:%1").arg(peer.httpsPort).toUtf8());
    platform::RKClient::setDefaultExtraCACertificatesFile(peer.caFile);
    peer.control("/peer/account", {{QStringLiteral("Username"), QStringLiteral("u@x.com")},
                                   {QStringLiteral("Password"), QStringLiteral("secret")}});
    auto profile = std::make_shared<HMProfile>();
    profile->setDeviceType(HMDeviceType::Quillnest);
    profile->setHhUserId(QStringLiteral("u@x.com"));
    profile->setQuillnestPassword(QStringLiteral("secret"));
    const auto configuration = std::make_shared<HMDataConfigurationSource>(nullptr, profile);

    std::vector<double> ratios;
    for (int round = 0; round < 3; ++round) {
        const Percentiles idle = measure(nullptr);
        peer.control("/peer/switch", {{QStringLiteral("kind"), QStringLiteral("stall")},
                                      {QStringLiteral("path"), QStringLiteral("/v1/account.php")}});
        const Percentiles stalled = measure(configuration);
        peer.control("/peer/clear-switches", {});
        std::printf("round %d: idle p50 %.1f us p99 %.1f us; service stalling p50 %.1f us p99 %.1f us\n", round + 1,
                    idle.p50Us, idle.p99Us, stalled.p50Us, stalled.p99Us);
        ratios.push_back(stalled.p99Us / std::max(idle.p99Us, 1.0));
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("p99 latency ratio (stalling / idle), median of 3 rounds: %.2f\n", ratios[1]);
    peer.process.terminate();
    peer.process.waitForFinished(10000);
    return 0;
}
