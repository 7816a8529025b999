// cloud_peer: the cloud service for tests, as a program. See README.md.
#include "CloudPeer.h"
#include "PeerProgram.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

int fail(const QString &problem)
{
    std::fprintf(stderr, "cloud_peer: %s\n", qPrintable(problem));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The cloud service for tests: HTTPS and HTTP on 127.0.0.1."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("state"), QStringLiteral("The state file (accounts, sessions)."), QStringLiteral("file")},
        {QStringLiteral("certificates"),
         QStringLiteral("A folder to make a test CA and a loopback certificate in (ca.pem, server.pem, "
                        "server-key.pem)."),
         QStringLiteral("folder")},
        {QStringLiteral("cert"), QStringLiteral("The HTTPS certificate (PEM), instead of --certificates."),
         QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("The HTTPS certificate's key (PEM)."), QStringLiteral("file")},
        {QStringLiteral("https-port"), QStringLiteral("The HTTPS port; default: a free one."), QStringLiteral("port"),
         QStringLiteral("0")},
        {QStringLiteral("http-port"), QStringLiteral("The plain HTTP port; default: a free one."),
         QStringLiteral("port"), QStringLiteral("0")},
        {QStringLiteral("close-connections"), QStringLiteral("Answer one request per connection.")},
    });
    parser.process(application);

    cloudpeer::Options options;
    options.stateFile = parser.value(QStringLiteral("state"));
    options.httpsPort = parser.value(QStringLiteral("https-port")).toInt();
    options.httpPort = parser.value(QStringLiteral("http-port")).toInt();
    options.keepsConnections = !parser.isSet(QStringLiteral("close-connections"));
    peertls::CertificateFiles certificate;
    QString problem;
    if (!peertls::serverCertificateFromOptions(parser, certificate, problem))
        return fail(problem);
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;

    cloudpeer::CloudPeer peer(options);
    QString error;
    if (!peer.start(error))
        return fail(error);
    std::printf("https-port=%d http-port=%d ca=%s\n", peer.httpsPort(), peer.httpPort(), qPrintable(certificate.caFile));
    std::fflush(stdout);

    if (!peertls::waitForTerminationSignal())
        return fail(QStringLiteral("cannot make a pipe"));
    peer.stop();
    return 0;
}
