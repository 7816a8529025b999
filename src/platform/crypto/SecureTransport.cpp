// The TLS session over OpenSSL: a BIO whose read and write call the owner's callbacks, the settings,
// and the mapping of OpenSSL's results onto secure-transport statuses.
#include "platform/crypto/SecureTransport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace platform::crypto {

struct SSLContext::Private
{
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    bool isServer = false;
    SSLReadFunc readFunc = nullptr;
    SSLWriteFunc writeFunc = nullptr;
    void *connection = nullptr;
    // The close status the read callback reported, when it reported one.
    OSStatus ioStatus = noErr;
    bool allowsAnyRoot = false;
    bool allowsExpiredRoots = false;
    bool allowsExpiredCerts = false;
    bool verify = true;
    int minVersion = 0;
    int maxVersion = 0;
    bool noVersion = false;
    bool versionsApplied = false;
    QByteArray heldWrite;

    ~Private()
    {
        if (ssl != nullptr)
            SSL_free(ssl);
        if (ctx != nullptr)
            SSL_CTX_free(ctx);
    }
};

namespace {

SSLContext::Private *owner(BIO *bio)
{
    return static_cast<SSLContext::Private *>(BIO_get_data(bio));
}

// Moves bytes through the connection's read or write callback. A callback that moved nothing and
// would block (or reported nothing) asks OpenSSL to retry in the given direction; any other status
// is kept for the caller and answers `failed`.
template <typename Transfer>
int bioTransfer(BIO *bio, int length, int retryDirection, int failed, Transfer transfer)
{
    BIO_clear_retry_flags(bio);
    SSLContext::Private *d = owner(bio);
    std::size_t moved = std::size_t(length);
    const OSStatus status = transfer(*d, &moved);
    if (moved > 0)
        return int(moved);
    if (status == errSSLWouldBlock || status == noErr) {
        BIO_set_flags(bio, retryDirection | BIO_FLAGS_SHOULD_RETRY);
        return -1;
    }
    d->ioStatus = status;
    return failed;
}

int bioWrite(BIO *bio, const char *data, int length)
{
    return bioTransfer(bio, length, BIO_FLAGS_WRITE, -1, [data](SSLContext::Private &d, std::size_t *moved) {
        return d.writeFunc(d.connection, data, moved);
    });
}

// A failed read answers 0, the end of the stream, so that OpenSSL reports the connection closed.
int bioRead(BIO *bio, char *data, int length)
{
    return bioTransfer(bio, length, BIO_FLAGS_READ, 0, [data](SSLContext::Private &d, std::size_t *moved) {
        return d.readFunc(d.connection, data, moved);
    });
}

long bioCtrl(BIO *, int cmd, long, void *)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD *bioMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "hm secure transport");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, [](BIO *bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

bool isRootProblem(int error)
{
    return error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
           error == X509_V_ERR_CERT_UNTRUSTED || error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

// Loosens the chain check where the settings allow it; the host-name check is never loosened.
int verifyCallback(int ok, X509_STORE_CTX *store)
{
    if (ok == 1)
        return 1;
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto *d = static_cast<const SSLContext::Private *>(SSL_get_app_data(ssl));
    const int error = X509_STORE_CTX_get_error(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    const bool isTop = depth > 0 && depth == int(sk_X509_num(X509_STORE_CTX_get0_chain(store))) - 1;
    bool allow = false;
    if (d->allowsAnyRoot && isRootProblem(error))
        allow = true;
    if (error == X509_V_ERR_CERT_HAS_EXPIRED)
        allow = isTop ? d->allowsExpiredRoots : d->allowsExpiredCerts;
    if (allow)
        X509_STORE_CTX_set_error(store, X509_V_OK);
    return allow ? 1 : 0;
}

// Verification failures: the chain's reason as a status.
OSStatus statusForVerifyResult(long result)
{
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return errSSLHostNameMismatch;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return errSSLCertExpired;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return errSSLUnknownRootCert;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return errSSLNoRootCert;
    default:
        return errSSLXCertChainInvalid;
    }
}

} // namespace

SSLContext::SSLContext(std::unique_ptr<Private> p) : d(std::move(p)) {}

SSLContext::~SSLContext() = default;

std::unique_ptr<SSLContext> SSLContext::create(SSLProtocolSide side)
{
    auto p = std::make_unique<Private>();
    p->isServer = side == SSLProtocolSide::Server;
    p->ctx = SSL_CTX_new(p->isServer ? TLS_server_method() : TLS_client_method());
    if (p->ctx == nullptr || SSL_CTX_set_default_verify_paths(p->ctx) != 1)
        return nullptr;
    p->ssl = SSL_new(p->ctx);
    BIO *bio = p->ssl != nullptr ? BIO_new(bioMethod()) : nullptr;
    if (bio == nullptr)
        return nullptr;
    BIO_set_data(bio, p.get());
    SSL_set_bio(p->ssl, bio, bio);
    SSL_set_app_data(p->ssl, p.get());
    SSL_set_mode(p->ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (p->isServer)
        SSL_set_accept_state(p->ssl);
    else
        SSL_set_connect_state(p->ssl);
    return std::unique_ptr<SSLContext>(new SSLContext(std::move(p)));
}

OSStatus SSLContext::setIOFuncs(SSLReadFunc readFunc, SSLWriteFunc writeFunc)
{
    if (readFunc == nullptr || writeFunc == nullptr)
        return errSSLParam;
    d->readFunc = readFunc;
    d->writeFunc = writeFunc;
    return noErr;
}

OSStatus SSLContext::setConnection(void *connection)
{
    d->connection = connection;
    return noErr;
}

OSStatus SSLContext::setPeerDomainName(const QByteArray &name)
{
    if (name.isEmpty())
        return noErr;
    if (!d->isServer && SSL_set_tlsext_host_name(d->ssl, name.constData()) != 1)
        return errSSLParam;
    return SSL_set1_host(d->ssl, name.constData()) == 1 ? noErr : errSSLParam;
}

OSStatus SSLContext::setAllowsAnyRoot(bool allow)
{
    d->allowsAnyRoot = allow;
    return noErr;
}

OSStatus SSLContext::setAllowsExpiredRoots(bool allow)
{
    d->allowsExpiredRoots = allow;
    return noErr;
}

OSStatus SSLContext::setEnableCertVerify(bool verify)
{
    d->verify = verify;
    return noErr;
}

OSStatus SSLContext::setAllowsExpiredCerts(bool allow)
{
    d->allowsExpiredCerts = allow;
    return noErr;
}

OSStatus SSLContext::setTrustedCAFile(const QString &path)
{
    const QByteArray file = path.toLocal8Bit();
    return SSL_CTX_load_verify_locations(d->ctx, file.constData(), nullptr) == 1 ? noErr : errSSLBadCert;
}

OSStatus SSLContext::setCertificate(const QVariantList &chain)
{
    if (chain.isEmpty())
        return errSSLParam;
    const QByteArray identity = chain.first().toByteArray();
    BIO *in = BIO_new_mem_buf(identity.constData(), int(identity.size()));
    EVP_PKEY *key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    (void)BIO_reset(in);
    X509 *cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    const bool ok = key != nullptr && cert != nullptr && SSL_use_certificate(d->ssl, cert) == 1 &&
                    SSL_use_PrivateKey(d->ssl, key) == 1 && SSL_check_private_key(d->ssl) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    if (!ok)
        return errSSLBadCert;
    for (qsizetype i = 1; i < chain.size(); ++i) {
        const QByteArray pem = chain.at(i).toByteArray();
        BIO *certIn = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        X509 *extra = PEM_read_bio_X509(certIn, nullptr, nullptr, nullptr);
        BIO_free(certIn);
        const bool added = extra != nullptr && SSL_add1_chain_cert(d->ssl, extra) == 1;
        X509_free(extra);
        if (!added)
            return errSSLBadCert;
    }
    return noErr;
}

// SSL 2 and 3 are not in the library: asking for them fails. TLS 1.0 alone is accepted here but
// refused by the library's default security level at the handshake.
OSStatus SSLContext::setProtocolVersionEnabled(SSLProtocol protocol, bool enable)
{
    if (!enable) {
        if (protocol == kSSLProtocolAll)
            d->noVersion = true;
        return noErr;
    }
    switch (protocol) {
    case kTLSProtocol1:
        d->minVersion = d->noVersion ? TLS1_VERSION : d->minVersion;
        d->maxVersion = TLS1_VERSION;
        d->noVersion = false;
        return noErr;
    case kSSLProtocolAll:
        d->minVersion = 0;
        d->maxVersion = 0;
        d->noVersion = false;
        return noErr;
    default:
        return errSSLParam;
    }
}

OSStatus SSLContext::setEnabledCiphers(const std::vector<std::uint16_t> &codes)
{
    QByteArray classic;
    QByteArray tls13;
    for (const std::uint16_t code : codes) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code)};
        const SSL_CIPHER *cipher = SSL_CIPHER_find(d->ssl, bytes);
        if (cipher == nullptr)
            return errSSLParam;
        QByteArray &list = (code >> 8) == 0x13 ? tls13 : classic;
        if (!list.isEmpty())
            list += ':';
        list += SSL_CIPHER_get_name(cipher);
    }
    if (SSL_set_ciphersuites(d->ssl, tls13.constData()) != 1)
        return errSSLParam;
    if (classic.isEmpty()) {
        d->minVersion = TLS1_3_VERSION;
        return noErr;
    }
    if (tls13.isEmpty())
        d->maxVersion = TLS1_2_VERSION;
    return SSL_set_cipher_list(d->ssl, classic.constData()) == 1 ? noErr : errSSLParam;
}

OSStatus SSLContext::setDiffieHellmanParams(const QByteArray &params)
{
    BIO *in = BIO_new_mem_buf(params.constData(), int(params.size()));
    EVP_PKEY *dh = PEM_read_bio_Parameters(in, nullptr);
    if (dh == nullptr) {
        (void)BIO_reset(in);
        dh = d2i_KeyParams_bio(EVP_PKEY_DH, nullptr, in);
    }
    BIO_free(in);
    if (dh == nullptr)
        return errSSLParam;
    if (SSL_set0_tmp_dh_pkey(d->ssl, dh) != 1) {
        EVP_PKEY_free(dh);
        return errSSLParam;
    }
    return noErr;
}

OSStatus SSLContext::applyVersions()
{
    if (d->versionsApplied)
        return noErr;
    d->versionsApplied = true;
    if (d->noVersion)
        return errSSLBadConfiguration;
    SSL_set_verify(d->ssl, d->verify && !d->isServer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, verifyCallback);
    if (SSL_set_min_proto_version(d->ssl, d->minVersion) != 1 ||
        SSL_set_max_proto_version(d->ssl, d->maxVersion) != 1)
        return errSSLBadConfiguration;
    return noErr;
}

// The table of OpenSSL results to statuses:
//   wants to read or write                  -> errSSLWouldBlock (-9803)
//   the callback reported a close           -> that status (-9805, -9806); during the handshake -9806
//   orderly close_notify                    -> errSSLClosedGraceful (-9805)
//   end of stream without close_notify      -> errSSLClosedAbort (-9806)
//   certificate check failed                -> by its reason: -9843 host name, -9814 expired,
//                                              -9812 untrusted self-signed root, -9813 no root found,
//                                              -9807 any other chain fault
//   an alert from the peer                  -> errSSLPeerHandshakeFail (-9824)
//   no common protocol or cipher            -> errSSLNegotiation (-9801)
//   any other protocol failure              -> errSSLProtocol (-9800)
OSStatus SSLContext::mapFailure(int ret)
{
    const int error = SSL_get_error(d->ssl, ret);
    const unsigned long queued = ERR_peek_error();
    char text[256] = {};
    ERR_error_string_n(queued, text, sizeof text);
    m_failureText = QString::fromLatin1(text);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return errSSLWouldBlock;
    const bool handshaking = SSL_is_init_finished(d->ssl) == 0;
    if (d->ioStatus != noErr)
        return handshaking ? errSSLClosedAbort : d->ioStatus;
    const long verifyResult = SSL_get_verify_result(d->ssl);
    if (handshaking && verifyResult != X509_V_OK)
        return statusForVerifyResult(verifyResult);
    if (error == SSL_ERROR_ZERO_RETURN)
        return handshaking ? errSSLClosedAbort : errSSLClosedGraceful;
    if (error == SSL_ERROR_SYSCALL)
        return errSSLClosedAbort;
    const int reason = ERR_GET_REASON(queued);
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256)
        return errSSLPeerHandshakeFail;
    if (reason == SSL_R_NO_SHARED_CIPHER || reason == SSL_R_UNSUPPORTED_PROTOCOL ||
        reason == SSL_R_NO_PROTOCOLS_AVAILABLE || reason == SSL_R_NO_CIPHERS_AVAILABLE)
        return errSSLNegotiation;
    return errSSLProtocol;
}

OSStatus SSLContext::handshake()
{
    if (d->readFunc == nullptr)
        return errSSLBadConfiguration;
    if (const OSStatus status = applyVersions(); status != noErr)
        return status;
    ERR_clear_error();
    const int ret = SSL_do_handshake(d->ssl);
    return ret == 1 ? noErr : mapFailure(ret);
}

OSStatus SSLContext::read(void *data, std::size_t length, std::size_t *processed)
{
    *processed = 0;
    if (length == 0)
        return noErr;
    ERR_clear_error();
    const int ret = SSL_read_ex(d->ssl, data, length, processed);
    return ret == 1 ? noErr : mapFailure(ret);
}

OSStatus SSLContext::write(const void *data, std::size_t length, std::size_t *processed)
{
    *processed = 0;
    ERR_clear_error();
    if (!d->heldWrite.isEmpty()) {
        std::size_t written = 0;
        const int ret = SSL_write_ex(d->ssl, d->heldWrite.constData(), std::size_t(d->heldWrite.size()), &written);
        if (ret != 1)
            return mapFailure(ret);
        d->heldWrite.clear();
    }
    if (length == 0)
        return noErr;
    std::size_t written = 0;
    const int ret = SSL_write_ex(d->ssl, data, length, &written);
    if (ret == 1) {
        *processed = written;
        return noErr;
    }
    const OSStatus status = mapFailure(ret);
    if (status == errSSLWouldBlock)
        d->heldWrite = QByteArray(static_cast<const char *>(data), qsizetype(length));
    return status;
}

std::size_t SSLContext::bufferedReadSize() const
{
    const int pending = SSL_pending(d->ssl);
    return pending > 0 ? std::size_t(pending) : 0;
}

OSStatus SSLContext::close()
{
    if (SSL_is_init_finished(d->ssl) != 0) {
        ERR_clear_error();
        SSL_shutdown(d->ssl);
        ERR_clear_error();
    }
    return noErr;
}

} // namespace platform::crypto
