#pragma once

#include "TestCertificates.h"

#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <functional>

namespace peertls {

// What the HTTPS peer programs share around their servers.

// Writes "program: problem" to the error stream; returns the exit code of a peer program that failed.
int fail(const char *program, const QString &problem);

// The options every HTTPS peer program takes, with their help texts: the program's description,
// --help, --state, and the options that choose the certificate (--certificates, --cert and --key).
void addCommonOptions(QCommandLineParser &parser, const QString &description, const QString &stateHelp,
                      const QString &certificatesHelp);

// The certificate a peer program serves with: made in the folder its --certificates option names
// (caFile then says what the client must trust), or the files of its --cert and --key options. False,
// with a reason, when neither gives a certificate and its key.
bool serverCertificateFromOptions(const QCommandLineParser &parser, CertificateFiles &files, QString &error);

// Waits until the program is asked to end (SIGTERM or SIGINT). False when the wait cannot be set up.
bool waitForTerminationSignal();

// Once the peer listens and the program said where: flushes that, waits until the program is asked to
// end, then stops the peer. The program's exit code.
int serveUntilTerminated(const char *program, const std::function<void()> &stopPeer);

} // namespace peertls
