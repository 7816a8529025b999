#include "TestCertificates.h"

#include <QDir>
#include <QFile>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace peertls {

namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertificatePointer = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPointer newKey()
{
    return KeyPointer(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const QByteArray &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData());
    if (extension == nullptr)
        return false;
    const bool isAdded = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return isAdded;
}

void setCommonName(X509_NAME *name, const QByteArray &commonName)
{
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("Harrowmere tests"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(commonName.constData()), -1, -1, 0);
}

// A certificate for the key, named commonName, signed by the issuer (itself when there is none).
CertificatePointer newCertificate(EVP_PKEY *key, const QByteArray &commonName, X509 *issuer, EVP_PKEY *issuerKey,
                                  const CertificateOptions &options)
{
    CertificatePointer certificate(X509_new(), &X509_free);
    X509 *const made = certificate.get();
    X509_set_version(made, 2);
    BIGNUM *serial = BN_new();
    BN_rand(serial, 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(made));
    BN_free(serial);
    X509_gmtime_adj(X509_getm_notBefore(made), long(options.validFromSeconds));
    X509_gmtime_adj(X509_getm_notAfter(made), long(options.validUntilSeconds));
    X509_set_pubkey(made, key);
    setCommonName(X509_get_subject_name(made), commonName);
    X509_set_issuer_name(made, X509_get_subject_name(issuer != nullptr ? issuer : made));
    X509 *const signer = issuer != nullptr ? issuer : made;
    bool isMade = true;
    if (issuer == nullptr) {
        isMade = addExtension(made, signer, NID_basic_constraints, "critical,CA:TRUE") &&
                 addExtension(made, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                 addExtension(made, signer, NID_subject_key_identifier, "hash");
    } else {
        QStringList names;
        for (const QString &name : options.dnsNames)
            names << QStringLiteral("DNS:") + name;
        for (const QString &address : options.ipAddresses)
            names << QStringLiteral("IP:") + address;
        isMade = addExtension(made, signer, NID_basic_constraints, "critical,CA:FALSE") &&
                 addExtension(made, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
                 addExtension(made, signer, NID_ext_key_usage, "serverAuth") &&
                 (names.isEmpty() || addExtension(made, signer, NID_subject_alt_name, names.join(u',').toLatin1()));
    }
    if (!isMade || X509_sign(made, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
        return CertificatePointer(nullptr, &X509_free);
    return certificate;
}

bool writePem(const QString &path, const std::function<int(BIO *)> &write)
{
    BIO *bio = BIO_new(BIO_s_mem());
    const bool isWritten = write(bio) == 1;
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const QByteArray pem(data, int(size));
    BIO_free(bio);
    QFile file(path);
    if (!isWritten || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(pem) == pem.size() && file.flush();
}

} // namespace

bool makeTestCertificates(const QString &folder, const CertificateOptions &options, CertificateFiles &files,
                          QString &error, const QString &prefix)
{
    const KeyPointer caKey = newKey();
    const KeyPointer serverKey = newKey();
    if (!caKey || !serverKey) {
        error = QStringLiteral("cannot make keys");
        return false;
    }
    CertificateOptions caOptions;
    caOptions.validFromSeconds = -7200;
    caOptions.validUntilSeconds = 30 * 24 * 3600;
    const CertificatePointer ca = newCertificate(caKey.get(), options.caName, nullptr, nullptr, caOptions);
    if (!ca) {
        error = QStringLiteral("cannot make the CA certificate");
        return false;
    }
    const CertificatePointer server = newCertificate(serverKey.get(), "Harrowmere test peer", ca.get(), caKey.get(), options);
    if (!server) {
        error = QStringLiteral("cannot make the server certificate");
        return false;
    }
    const QDir dir(folder);
    files.caFile = dir.filePath(prefix + QStringLiteral("ca.pem"));
    files.certFile = dir.filePath(prefix + QStringLiteral("server.pem"));
    files.keyFile = dir.filePath(prefix + QStringLiteral("server-key.pem"));
    const bool isWritten =
        writePem(files.caFile, [&](BIO *bio) { return PEM_write_bio_X509(bio, ca.get()); }) &&
        writePem(files.certFile, [&](BIO *bio) { return PEM_write_bio_X509(bio, server.get()); }) &&
        writePem(files.keyFile, [&](BIO *bio) {
            return PEM_write_bio_PrivateKey(bio, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        });
    if (!isWritten)
        error = QStringLiteral("cannot write the certificates into %1").arg(folder);
    return isWritten;
}

} // namespace peertls
