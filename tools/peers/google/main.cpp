// google_peer: Google's account services for tests, as a program. See README.md.
#include "GooglePeer.h"
#include "PeerProgram.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

int fail(const QString &problem)
{
    std::fprintf(stderr, "google_peer: %s\n", qPrintable(problem));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Google's account services for tests: HTTPS on 127.0.0.1."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("state"), QStringLiteral("The state file (accounts, tokens, calendars)."), QStringLiteral("file")},
        {QStringLiteral("certificates"),
         QStringLiteral("A folder to make a test CA and a loopback certificate in."), QStringLiteral("folder")},
        {QStringLiteral("cert"), QStringLiteral("The HTTPS certificate (PEM), instead of --certificates."),
         QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("The HTTPS certificate's key (PEM)."), QStringLiteral("file")},
        {QStringLiteral("port"), QStringLiteral("The HTTPS port; default: a free one."), QStringLiteral("port"),
         QStringLiteral("0")},
        {QStringLiteral("account"), QStringLiteral("An account as email:refresh-token."), QStringLiteral("account")},
        {QStringLiteral("keep-connections"),
         QStringLiteral("Keeps connections open for further requests (default: one request a connection).")},
    });
    parser.process(application);

    googlepeer::Options options;
    options.stateFile = parser.value(QStringLiteral("state"));
    options.port = parser.value(QStringLiteral("port")).toInt();
    options.keepsConnections = parser.isSet(QStringLiteral("keep-connections"));
    peertls::CertificateFiles certificate;
    QString problem;
    if (!peertls::serverCertificateFromOptions(parser, certificate, problem))
        return fail(problem);
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;

    googlepeer::GooglePeer peer(options);
    QString error;
    if (!peer.start(error))
        return fail(error);
    if (parser.isSet(QStringLiteral("account"))) {
        const QString account = parser.value(QStringLiteral("account"));
        const qsizetype colon = account.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            return fail(QStringLiteral("--account takes email:refresh-token"));
        peer.addAccount(account.left(colon), account.mid(colon + 1));
    }
    std::printf("https-port=%d ca=%s\n", peer.port(), qPrintable(certificate.caFile));
    std::fflush(stdout);

    if (!peertls::waitForTerminationSignal())
        return fail(QStringLiteral("cannot make a pipe"));
    peer.stop();
    return 0;
}
