#include "TestCertificates.h"

#include <QFile>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {
namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

void addExtension(X509 *cert, X509 *issuer, int nid, const QByteArray &value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData());
    ASSERT_NE(ext, nullptr);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

CertPtr makeCert(EVP_PKEY *key, const char *commonName, X509 *issuer, long serial)
{
    CertPtr cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    return cert;
}

QByteArray pemOf(X509 *cert, EVP_PKEY *key)
{
    BIO *out = BIO_new(BIO_s_mem());
    if (key != nullptr)
        PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    if (cert != nullptr)
        PEM_write_bio_X509(out, cert);
    char *data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    QByteArray result(data, qsizetype(length));
    BIO_free(out);
    return result;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

TestPki makeTestPki(const QString &folder, const QStringList &dnsNames)
{
    TestPki pki;
    KeyPtr caKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    KeyPtr serverKey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    EXPECT_TRUE(caKey && serverKey);
    if (!caKey || !serverKey)
        return pki;
    CertPtr ca = makeCert(caKey.get(), "Harrowmere Test CA", nullptr, 1);
    addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    X509_sign(ca.get(), caKey.get(), EVP_sha256());
    CertPtr server = makeCert(serverKey.get(), "Harrowmere Test Server", ca.get(), 2);
    QByteArray names = "IP:127.0.0.1,IP:::1";
    for (const QString &dns : dnsNames)
        names += ",DNS:" + dns.toUtf8();
    addExtension(server.get(), ca.get(), NID_subject_alt_name, names);
    addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    X509_sign(server.get(), caKey.get(), EVP_sha256());
    pki.caCertPem = pemOf(ca.get(), nullptr);
    pki.serverCertPem = pemOf(server.get(), nullptr);
    pki.serverIdentityPem = pemOf(server.get(), serverKey.get());
    pki.caCertFile = folder + QStringLiteral("/test-ca.pem");
    pki.serverCertFile = folder + QStringLiteral("/server-cert.pem");
    pki.serverKeyFile = folder + QStringLiteral("/server-key.pem");
    writeFile(pki.caCertFile, pki.caCertPem);
    writeFile(pki.serverCertFile, pki.serverCertPem);
    writeFile(pki.serverKeyFile, pemOf(nullptr, serverKey.get()));
    return pki;
}

} // namespace testsupport
