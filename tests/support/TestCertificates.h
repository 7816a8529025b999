#pragma once

// A certificate authority and a server certificate made when a test runs (nothing that expires is
// checked in): PEM texts and files in a folder of the test's.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

struct TestPki
{
    QByteArray caCertPem;
    // The server's private key followed by its certificate.
    QByteArray serverIdentityPem;
    QByteArray serverCertPem;
    QString caCertFile;
    QString serverKeyFile;
    QString serverCertFile;
};

// A CA and a server certificate it signed for the DNS names (and 127.0.0.1 and ::1), valid from an
// hour ago for a day, written into folder. Fails the calling test when OpenSSL refuses.
TestPki makeTestPki(const QString &folder, const QStringList &dnsNames = {QStringLiteral("localhost")});

} // namespace testsupport
