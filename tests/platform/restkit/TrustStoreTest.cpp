// The trusted certificates of TLS connections: from a certificate folder holding them under their
// hashed names only what a chain needs is read, as it is verified; a folder without hashed names
// falls back to the bundle file, so that no system trusts less than OpenSSL's default paths give it.
// Real chains (a test CA and the server certificate it signed) are verified against each store.

#include "platform/restkit/TrustStore.h"

#include "TestCertificates.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace platform;

namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Store = std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)>;

Certificate readCertificate(const QString &path)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "r");
    X509 *certificate = file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file != nullptr)
        std::fclose(file);
    return {certificate, &X509_free};
}

// OpenSSL's verdict on the certificate's chain against the store (X509_V_OK when trusted).
int verify(X509_STORE *store, const QString &certificateFile)
{
    const Certificate certificate = readCertificate(certificateFile);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(), &X509_STORE_CTX_free);
    if (!certificate || !context || X509_STORE_CTX_init(context.get(), store, certificate.get(), nullptr) != 1)
        return -1;
    X509_verify_cert(context.get());
    return X509_STORE_CTX_get_error(context.get());
}

int certificatesHeld(X509_STORE *store)
{
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
}

// The name a certificate folder gives the certificate: its subject's hash, then ".0".
QString hashedName(const QString &certificateFile)
{
    const Certificate certificate = readCertificate(certificateFile);
    const unsigned long hash = X509_NAME_hash_ex(X509_get_subject_name(certificate.get()), nullptr, nullptr, nullptr);
    return QStringLiteral("%1.0").arg(hash, 8, 16, QLatin1Char('0'));
}

// Two CAs, each with a server certificate it signed, and folders and bundles of their certificates.
class TrustStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString error;
        ASSERT_TRUE(peertls::makeTestCertificates(m_dir.path(), {}, m_first, error)) << error.toStdString();
        peertls::CertificateOptions other;
        other.caName = "Harrowmere Other Test CA";
        ASSERT_TRUE(peertls::makeTestCertificates(m_dir.path(), other, m_second, error, QStringLiteral("other-")))
            << error.toStdString();
    }

    // A folder holding the certificates under the names given.
    QString folderWith(const QString &name, const QList<std::pair<QString, QString>> &files)
    {
        const QString folder = m_dir.filePath(name);
        EXPECT_TRUE(QDir().mkpath(folder));
        for (const auto &[file, as] : files)
            EXPECT_TRUE(QFile::copy(file, folder + u'/' + as));
        return folder;
    }

    // A store built with SSL_CERT_DIR and SSL_CERT_FILE as given (an empty file: unset).
    Store storeWith(const QString &folders, const QString &file, const QString &extraCaFile = {})
    {
        qputenv("SSL_CERT_DIR", QFile::encodeName(folders));
        if (file.isEmpty())
            qunsetenv("SSL_CERT_FILE");
        else
            qputenv("SSL_CERT_FILE", QFile::encodeName(file));
        return {newTrustStore(extraCaFile), &X509_STORE_free};
    }

    QTemporaryDir m_dir;
    testsupport::SavedEnvironment m_environment{{"SSL_CERT_DIR", "SSL_CERT_FILE"}};
    peertls::CertificateFiles m_first;
    peertls::CertificateFiles m_second;
};

TEST_F(TrustStoreTest, AHashedFolderIsReadOnlyForTheIssuersAChainNeeds)
{
    const QString hashed = folderWith(QStringLiteral("hashed"), {{m_first.caFile, hashedName(m_first.caFile)}});
    const Store store = storeWith(hashed, {});
    ASSERT_TRUE(store);
    EXPECT_EQ(certificatesHeld(store.get()), 0); // nothing read before a chain asks for it
    EXPECT_EQ(verify(store.get(), m_first.certFile), X509_V_OK);
    EXPECT_EQ(certificatesHeld(store.get()), 1);
    EXPECT_EQ(verify(store.get(), m_second.certFile), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);

    // A folder among others in the list counts; the extra file and a bundle named in the environment
    // are trusted beside it.
    const Store listed = storeWith(m_dir.filePath(QStringLiteral("missing")) + u':' + hashed, {});
    EXPECT_EQ(verify(listed.get(), m_first.certFile), X509_V_OK);
    const Store extra = storeWith(hashed, {}, m_second.caFile);
    EXPECT_EQ(verify(extra.get(), m_second.certFile), X509_V_OK);
    const Store bundled = storeWith(hashed, m_second.caFile);
    EXPECT_EQ(verify(bundled.get(), m_first.certFile), X509_V_OK);
    EXPECT_EQ(verify(bundled.get(), m_second.certFile), X509_V_OK);
    EXPECT_TRUE(storeWith(hashed, m_dir.filePath(QStringLiteral("no-bundle.pem"))));
    // The system's own bundle, named in the environment, is not read beside the folder.
    const Store system = storeWith(hashed, QString::fromLocal8Bit(X509_get_default_cert_file()));
    EXPECT_EQ(certificatesHeld(system.get()), 0);
    EXPECT_EQ(verify(system.get(), m_first.certFile), X509_V_OK);
}

TEST_F(TrustStoreTest, AFolderWithoutHashedNamesFallsBackToTheBundleFile)
{
    const QString plain = folderWith(QStringLiteral("plain"), {{m_second.caFile, QStringLiteral("ca.pem")},
                                                               {m_second.caFile, QStringLiteral("0123abcd.pem")}});
    const Store store = storeWith(plain, m_first.caFile);
    ASSERT_TRUE(store);
    EXPECT_EQ(certificatesHeld(store.get()), 1); // the bundle, read whole
    EXPECT_EQ(verify(store.get(), m_first.certFile), X509_V_OK);
    EXPECT_EQ(verify(store.get(), m_second.certFile), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);

    // An extra file that cannot be read makes no store: its connections fail rather than trust less.
    EXPECT_FALSE(storeWith(plain, m_first.caFile, m_dir.filePath(QStringLiteral("missing.pem"))));
}

} // namespace
