// cloud_peer: the cloud service for tests, as a program. See README.md.
#include "CloudPeer.h"
#include "PeerProgram.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// The name that starts each line the program writes to the error stream.
constexpr char kProgram[] = "cloud_peer";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    peertls::addCommonOptions(parser, QStringLiteral("The cloud service for tests: HTTPS and HTTP on 127.0.0.1."),
                              QStringLiteral("The state file (accounts, sessions)."),
                              QStringLiteral("A folder to make a test CA and a loopback certificate in (ca.pem, "
                                             "server.pem, server-key.pem)."));
    parser.addOptions({
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
        return peertls::fail(kProgram, problem);
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;

    cloudpeer::CloudPeer peer(options);
    QString error;
    if (!peer.start(error))
        return peertls::fail(kProgram, error);
    std::printf("https-port=%d http-port=%d ca=%s\n", peer.httpsPort(), peer.httpPort(), qPrintable(certificate.caFile));
    return peertls::serveUntilTerminated(kProgram, [&peer] { peer.stop(); });
}
