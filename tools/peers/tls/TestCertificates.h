#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace peertls {

// What a test peer serves HTTPS with: a certificate authority made for the test and a server
// certificate it signed, as PEM files in a folder of the test's own. Made at test time, so nothing
// checked in ever expires; the client under test trusts the CA only when it is given explicitly.
struct CertificateFiles
{
    QString caFile;   // the CA's certificate: what the client is told to trust
    QString certFile; // the server's certificate
    QString keyFile;  // the server's private key (0600)
};

struct CertificateOptions
{
    // The names the server certificate holds; the loopback address and "localhost" by default.
    QStringList dnsNames{QStringLiteral("localhost")};
    QStringList ipAddresses{QStringLiteral("127.0.0.1")};
    // Its validity, in seconds from now: an expired certificate ends before now.
    qint64 validFromSeconds = -3600;
    qint64 validUntilSeconds = 7 * 24 * 3600;
    // The CA's common name: CAs of other names are told apart by their subjects' hashes.
    QByteArray caName = "Harrowmere Test CA";
};

// Writes "ca.pem", "server.pem" and "server-key.pem" (under the prefix, when given) into the folder,
// which must exist. False, with a reason, when OpenSSL fails.
bool makeTestCertificates(const QString &folder, const CertificateOptions &options, CertificateFiles &files,
                          QString &error, const QString &prefix = {});

} // namespace peertls
