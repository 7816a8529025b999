#pragma once

#include "TestCertificates.h"

#include <QCommandLineParser>
#include <QString>

namespace peertls {

// What the HTTPS peer programs share around their servers.

// The certificate a peer program serves with: made in the folder its --certificates option names
// (caFile then says what the client must trust), or the files of its --cert and --key options. False,
// with a reason, when neither gives a certificate and its key.
bool serverCertificateFromOptions(const QCommandLineParser &parser, CertificateFiles &files, QString &error);

// Waits until the program is asked to end (SIGTERM or SIGINT). False when the wait cannot be set up.
bool waitForTerminationSignal();

} // namespace peertls
