#pragma once

// A TLS session over OpenSSL whose encrypted bytes pass through two callbacks of the owner's: the
// owner feeds the session from its own descriptor and buffers and may answer that it would block.
// Statuses follow the secure-transport convention (0 success, negative codes below); OpenSSL's own
// failures are mapped onto them (see mapFailure in SecureTransport.cpp for the table). One thread at a
// time; the callbacks run inside handshake(), read(), write() and close().

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::crypto {

using OSStatus = std::int32_t;

// The error domain the statuses are reported in.
inline constexpr char kSSLErrorDomain[] = "kCFStreamErrorDomainSSL";

enum : OSStatus {
    noErr = 0,
    errSSLParam = -50,
    errSSLProtocol = -9800,
    errSSLNegotiation = -9801,
    errSSLFatalAlert = -9802,
    errSSLWouldBlock = -9803,
    errSSLClosedGraceful = -9805,
    errSSLClosedAbort = -9806,
    errSSLXCertChainInvalid = -9807,
    errSSLBadCert = -9808,
    errSSLCrypto = -9809,
    errSSLInternal = -9810,
    errSSLUnknownRootCert = -9812,
    errSSLNoRootCert = -9813,
    errSSLCertExpired = -9814,
    errSSLPeerHandshakeFail = -9824,
    errSSLHostNameMismatch = -9843,
    errSSLBadConfiguration = -9848,
};

enum class SSLProtocolSide { Server, Client };

enum SSLProtocol { kSSLProtocol2 = 1, kSSLProtocol3 = 2, kTLSProtocol1 = 4, kSSLProtocolAll = 6 };

// The owner's I/O: *dataLength asks for (or offers) that many bytes and reports how many moved.
using SSLReadFunc = OSStatus (*)(void *connection, void *data, std::size_t *dataLength);
using SSLWriteFunc = OSStatus (*)(void *connection, const void *data, std::size_t *dataLength);

class SSLContext final
{
public:
    // Null when OpenSSL cannot make a context.
    static std::unique_ptr<SSLContext> create(SSLProtocolSide side);
    ~SSLContext();
    SSLContext(const SSLContext &) = delete;
    SSLContext &operator=(const SSLContext &) = delete;

    OSStatus setIOFuncs(SSLReadFunc readFunc, SSLWriteFunc writeFunc);
    OSStatus setConnection(void *connection);
    // The peer's host name: sent as SNI and checked against its certificate.
    OSStatus setPeerDomainName(const QByteArray &name);
    OSStatus setAllowsAnyRoot(bool allow);
    OSStatus setAllowsExpiredRoots(bool allow);
    OSStatus setEnableCertVerify(bool verify);
    OSStatus setAllowsExpiredCerts(bool allow);
    // PEM certificates trusted besides the system's store.
    OSStatus setTrustedCAFile(const QString &path);
    // PEM texts: the identity (private key and certificate) first, then further chain certificates.
    OSStatus setCertificate(const QVariantList &chain);
    OSStatus setProtocolVersionEnabled(SSLProtocol protocol, bool enable);
    // TLS cipher-suite codes; every one must be known to the library.
    OSStatus setEnabledCiphers(const std::vector<std::uint16_t> &codes);
    // Diffie-Hellman parameters in PEM or DER.
    OSStatus setDiffieHellmanParams(const QByteArray &params);

    OSStatus handshake();
    OSStatus read(void *data, std::size_t length, std::size_t *processed);
    // A write that would block keeps its bytes (reporting none written) and sends them on the next
    // call, which may carry no new bytes.
    OSStatus write(const void *data, std::size_t length, std::size_t *processed);
    // Decrypted bytes held for the next read.
    std::size_t bufferedReadSize() const;
    OSStatus close();

    // The library's text for the last failure (for logs).
    QString lastFailureText() const { return m_failureText; }

    // The session's state (public only so that the BIO callbacks in the source file reach it).
    struct Private;

private:
    explicit SSLContext(std::unique_ptr<Private> d);
    OSStatus mapFailure(int ret);
    OSStatus applyVersions();

    std::unique_ptr<Private> d;
    QString m_failureText;
};

} // namespace platform::crypto
