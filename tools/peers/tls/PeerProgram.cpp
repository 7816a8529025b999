#include "PeerProgram.h"

#include <QDir>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace peertls {

namespace {

int s_signalPipe[2] = {-1, -1};

// Only a write is safe in a signal handler: the waiting thread reads the byte.
void onSignal(int)
{
    const char byte = 1;
    (void)!::write(s_signalPipe[1], &byte, 1);
}

} // namespace

int fail(const char *program, const QString &problem)
{
    std::fprintf(stderr, "%s: %s\n", program, qPrintable(problem));
    return 2;
}

void addCommonOptions(QCommandLineParser &parser, const QString &description, const QString &stateHelp,
                      const QString &certificatesHelp)
{
    parser.setApplicationDescription(description);
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("state"), stateHelp, QStringLiteral("file")},
        {QStringLiteral("certificates"), certificatesHelp, QStringLiteral("folder")},
        {QStringLiteral("cert"), QStringLiteral("The HTTPS certificate (PEM), instead of --certificates."),
         QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("The HTTPS certificate's key (PEM)."), QStringLiteral("file")},
    });
}

bool serverCertificateFromOptions(const QCommandLineParser &parser, CertificateFiles &files, QString &error)
{
    if (parser.isSet(QStringLiteral("certificates"))) {
        const QString folder = parser.value(QStringLiteral("certificates"));
        if (!QDir().mkpath(folder) || !makeTestCertificates(folder, {}, files, error)) {
            if (error.isEmpty())
                error = QStringLiteral("cannot make %1").arg(folder);
            return false;
        }
        return true;
    }
    files.certFile = parser.value(QStringLiteral("cert"));
    files.keyFile = parser.value(QStringLiteral("key"));
    if (files.certFile.isEmpty() || files.keyFile.isEmpty()) {
        error = QStringLiteral("give --certificates, or --cert and --key");
        return false;
    }
    return true;
}

bool waitForTerminationSignal()
{
    if (::pipe(s_signalPipe) != 0)
        return false;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    char byte = 0;
    while (::read(s_signalPipe[0], &byte, 1) < 0) {
    }
    return true;
}

int serveUntilTerminated(const char *program, const std::function<void()> &stopPeer)
{
    std::fflush(stdout);
    if (!waitForTerminationSignal())
        return fail(program, QStringLiteral("cannot make a pipe"));
    stopPeer();
    return 0;
}

} // namespace peertls
