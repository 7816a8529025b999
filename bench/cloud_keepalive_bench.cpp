// The cloud transport's HTTPS cost: 1,000 keep-alive requests of the cloud session sent by the REST
// client (libcurl, a connection of its own per request, chain and host name verified) against the curl
// program sending the same 1,000 in one invocation, each on its own connection, to the same cloud peer
// in the same run. Prints the client CPU time of each (user + system) and their ratio, the median of
// three rounds.
#include "TestCertificates.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequestSerialization.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRequests = 1000;
const QByteArray kBody =
    "{\"Limit\":\"0\",\"Modified\":\"2100-01-01 00:00:00\",\"Offset\":\"0\",\"Password\":"
    "\"5EBE2294ECD0E0F08EAB7690D2A6EE69\",\"Session\":\"0\",\"Table\":\"Contacts\",\"Username\":\"u@x.com\"}";

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The client's CPU seconds for the 1,000 requests; -1 when one failed.
double ourClient(const QString &baseUrl, const QString &caFile)
{
    const std::shared_ptr<platform::RKClient> client = platform::RKClient::clientWithBaseURL(baseUrl);
    client->setExtraCACertificatesFile(caFile);
    client->requestQueue().setConcurrentRequestsLimit(1);
    const double before = cpuSeconds(RUSAGE_SELF);
    for (int index = 0; index < kRequests; ++index) {
        const std::shared_ptr<platform::RKRequest> request = client->requestWithResourcePath(QStringLiteral("/getdata.php"));
        request->setMethod(platform::RKRequestMethod::POST);
        request->setTimeoutInterval(15);
        request->setParams(platform::RKRequestSerialization(kBody, QString::fromLatin1(platform::RKMIMETypeJSON)));
        if (!request->sendSynchronously().isLoaded())
            return -1;
    }
    return cpuSeconds(RUSAGE_SELF) - before;
}

double curlProgram(const QString &url, const QString &caFile, const QString &folder)
{
    QFile config(QDir(folder).filePath(QStringLiteral("curl.config")));
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    for (int index = 0; index < kRequests; ++index)
        config.write(("url = \"" + url + "\"\n").toUtf8());
    config.close();
    QFile body(QDir(folder).filePath(QStringLiteral("body.json")));
    if (!body.open(QIODevice::WriteOnly))
        return -1;
    body.write(kBody);
    body.close();
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("--fail"), QStringLiteral("--cacert"), caFile,
                QStringLiteral("-H"), QStringLiteral("Content-Type: application/json"), QStringLiteral("-H"),
                QStringLiteral("Connection: close"), QStringLiteral("--data-binary"), QStringLiteral("@") + body.fileName(),
                QStringLiteral("--config"), config.fileName()});
    if (!curl.waitForFinished(300000) || curl.exitCode() != 0)
        return -1;
    return cpuSeconds(RUSAGE_CHILDREN) - before;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    peertls::CertificateFiles files;
    QString error;
    if (!peertls::makeTestCertificates(folder.path(), {}, files, error)) {
        std::fprintf(stderr, "cloud_keepalive_bench: %s\n", qPrintable(error));
        return 2;
    }
    QProcess peer;
    peer.start(QStringLiteral(HM_CLOUD_PEER_PATH), {QStringLiteral("--cert"), files.certFile, QStringLiteral("--key"),
                                                     files.keyFile});
    if (!peer.waitForReadyRead(20000))
        return 2;
    const QString line = QString::fromUtf8(peer.readLine());
    const QString port = line.section(QStringLiteral("https-port="), 1).section(u' ', 0, 0);
    const QString baseUrl = QStringLiteral("https://127.0.0.1:%1/v1").arg(port);

    QList<double> ours;
    QList<double> theirs;
    for (int round = 0; round < 3; ++round) {
        ours << ourClient(baseUrl, files.caFile);
        theirs << curlProgram(baseUrl + QStringLiteral("/getdata.php"), files.caFile, folder.path());
        std::printf("round %d: REST client %.3f s CPU, curl %.3f s CPU\n", round + 1, ours.last(), theirs.last());
    }
    peer.terminate();
    peer.waitForFinished(10000);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    std::printf("%d keep-alive requests over TLS, a connection each: REST client %.3f s, curl %.3f s, ratio %.2f "
                "(medians of 3)\n",
                kRequests, ours.at(1), theirs.at(1), ours.at(1) / theirs.at(1));
    return 0;
}
