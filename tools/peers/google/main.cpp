// google_peer: Google's account services for tests, as a program. See README.md.
#include "GooglePeer.h"
#include "PeerProgram.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// The name that starts each line the program writes to the error stream.
constexpr char kProgram[] = "google_peer";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    peertls::addCommonOptions(parser, QStringLiteral("Google's account services for tests: HTTPS on 127.0.0.1."),
                              QStringLiteral("The state file (accounts, tokens, calendars)."),
                              QStringLiteral("A folder to make a test CA and a loopback certificate in."));
    parser.addOptions({
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
        return peertls::fail(kProgram, problem);
    options.certFile = certificate.certFile;
    options.keyFile = certificate.keyFile;

    googlepeer::GooglePeer peer(options);
    QString error;
    if (!peer.start(error))
        return peertls::fail(kProgram, error);
    if (parser.isSet(QStringLiteral("account"))) {
        const QString account = parser.value(QStringLiteral("account"));
        const qsizetype colon = account.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            return peertls::fail(kProgram, QStringLiteral("--account takes email:refresh-token"));
        peer.addAccount(account.left(colon), account.mid(colon + 1));
    }
    std::printf("https-port=%d ca=%s\n", peer.port(), qPrintable(certificate.caFile));
    return peertls::serveUntilTerminated(kProgram, [&peer] { peer.stop(); });
}
