// TLS: the request queued behind earlier reads and writes, the handshake once both queues reach it,
// and the callbacks through which the TLS layer reads and writes the socket's encrypted bytes.
#include "push/CocoaAsyncSocket/GCDAsyncSocket+Private.h"

#include "push/CocoaAsyncSocket/GCDAsyncReadPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncSpecialPacket.h"
#include "push/CocoaAsyncSocket/GCDAsyncWritePacket.h"
#include "platform/crypto/SecureTransport.h"
#include "platform/foundation/Assert.h"
#include "platform/network/SocketAddress.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

using platform::PlatformError;
using namespace platform::crypto;
using namespace tcpsocket;

PlatformError GCDAsyncSocket::sslError(std::int32_t ssl_error)
{
    QVariantMap userInfo;
    userInfo.insert(QStringLiteral("NSLocalizedRecoverySuggestion"),
                    QStringLiteral("Error code definition can be found in Apple's SecureTransport.h"));
    return PlatformError(QString::fromLatin1(kSSLErrorDomain), ssl_error, userInfo);
}

QVariantMap GCDAsyncSocket::defaultTLSSettings()
{
    QVariantMap settings;
    const QByteArray caFile = qgetenv("HM_TLS_CA_FILE");
    if (!caFile.isEmpty())
        settings.insert(QString::fromLatin1(HMStreamSSLTrustedCAFile), QString::fromLocal8Bit(caFile));
    return settings;
}

void GCDAsyncSocket::startTLS(const QVariantMap &tlsSettings)
{
    auto special = std::make_shared<const GCDAsyncSpecialPacket>(tlsSettings);
    queueOnSocketQueue([special = std::move(special)](GCDAsyncSocket &socket) {
        if ((socket.m_flags & kSocketStarted) == 0 || (socket.m_flags & kQueuedTLS) != 0 ||
            (socket.m_flags & kForbidReadsWrites) != 0)
            return;
        auto readMark = std::make_shared<GCDAsyncReadPacket>(nullptr, 0, 0, -1.0, 0, QByteArray(), 0);
        readMark->special = special;
        auto writeMark = std::make_shared<GCDAsyncWritePacket>(QByteArray(), -1.0, 0);
        writeMark->special = special;
        socket.m_readQueue.push_back(std::move(readMark));
        socket.m_writeQueue.push_back(std::move(writeMark));
        socket.m_flags |= kQueuedTLS;
        socket.maybeDequeueRead();
        socket.maybeDequeueWrite();
    });
}

bool GCDAsyncSocket::isSecure() const
{
    bool result = false;
    runOnSocketQueue([&] { result = (m_flags & kSocketSecure) != 0; });
    return result;
}

void GCDAsyncSocket::maybeStartTLS()
{
    if ((m_flags & kStartingReadTLS) != 0 && (m_flags & kStartingWriteTLS) != 0)
        ssl_startTLS();
}

void GCDAsyncSocket::ssl_startTLS()
{
    const QVariantMap settings = m_currentRead->special->tlsSettings;
    const bool isServer = settings.value(QString::fromLatin1(kCFStreamSSLIsServer)).toBool();
    m_sslContext = SSLContext::create(isServer ? SSLProtocolSide::Server : SSLProtocolSide::Client);
    if (!m_sslContext) {
        closeWithError(otherError(QStringLiteral("Error in SSLNewContext")));
        return;
    }
    if (m_sslContext->setIOFuncs(&SSLReadFunction, &SSLWriteFunction) != noErr) {
        closeWithError(otherError(QStringLiteral("Error in SSLSetIOFuncs")));
        return;
    }
    if (m_sslContext->setConnection(this) != noErr) {
        closeWithError(otherError(QStringLiteral("Error in SSLSetConnection")));
        return;
    }
    if (!applyTLSSettings(settings))
        return;
    // Bytes that arrived behind the last plain read belong to the TLS stream.
    m_sslPreBuffer = std::make_unique<GCDAsyncSocketPreBuffer>(4096);
    const std::size_t held = m_preBuffer.availableBytes();
    m_sslPreBuffer->ensureCapacityForWrite(held);
    std::memcpy(m_sslPreBuffer->writeBuffer(), m_preBuffer.readBuffer(), held);
    m_sslPreBuffer->didWrite(held);
    m_preBuffer.didRead(held);
    m_sslErrCode = 0;
    ssl_continueSSLHandshake();
}

namespace {

struct TLSSetting
{
    const char *key;
    const char *failure;
    std::function<OSStatus(SSLContext &, const QVariant &)> apply;
};

bool isBoolean(const QVariant &value)
{
    return value.metaType().id() == QMetaType::Bool;
}

OSStatus applyLevel(SSLContext &context, const QVariant &value)
{
    const QString level = value.toString();
    const auto only = [&context](std::initializer_list<SSLProtocol> protocols) {
        OSStatus status = context.setProtocolVersionEnabled(kSSLProtocolAll, false);
        for (const SSLProtocol protocol : protocols) {
            if (status == noErr)
                status = context.setProtocolVersionEnabled(protocol, true);
        }
        return status;
    };
    if (level == QLatin1String(kCFStreamSocketSecurityLevelSSLv2))
        return only({kSSLProtocol2});
    if (level == QLatin1String(kCFStreamSocketSecurityLevelSSLv3))
        return only({kSSLProtocol2, kSSLProtocol3});
    if (level == QLatin1String(kCFStreamSocketSecurityLevelTLSv1))
        return only({kTLSProtocol1});
    if (level == QLatin1String(kCFStreamSocketSecurityLevelNegotiatedSSL))
        return context.setProtocolVersionEnabled(kSSLProtocolAll, true);
    return noErr;
}

OSStatus applyCiphers(SSLContext &context, const QVariant &value)
{
    std::vector<std::uint16_t> codes;
    for (const QVariant &code : value.toList())
        codes.push_back(static_cast<std::uint16_t>(code.toUInt()));
    return context.setEnabledCiphers(codes);
}

// The settings in the order they are applied; a boolean key with another kind of value is skipped.
const std::vector<TLSSetting> &tlsSettingsTable()
{
    static const std::vector<TLSSetting> table = {
        {kCFStreamSSLPeerName, "Error in SSLSetPeerDomainName",
         [](SSLContext &c, const QVariant &v) {
             return v.metaType().id() == QMetaType::QString ? c.setPeerDomainName(v.toString().toUtf8()) : noErr;
         }},
        {kCFStreamSSLAllowsAnyRoot, "Error in SSLSetAllowsAnyRoot",
         [](SSLContext &c, const QVariant &v) { return isBoolean(v) ? c.setAllowsAnyRoot(v.toBool()) : noErr; }},
        {kCFStreamSSLAllowsExpiredRoots, "Error in SSLSetAllowsExpiredRoots",
         [](SSLContext &c, const QVariant &v) { return isBoolean(v) ? c.setAllowsExpiredRoots(v.toBool()) : noErr; }},
        {kCFStreamSSLValidatesCertificateChain, "Error in SSLSetEnableCertVerify",
         [](SSLContext &c, const QVariant &v) { return isBoolean(v) ? c.setEnableCertVerify(v.toBool()) : noErr; }},
        {kCFStreamSSLAllowsExpiredCertificates, "Error in SSLSetAllowsExpiredCerts",
         [](SSLContext &c, const QVariant &v) { return isBoolean(v) ? c.setAllowsExpiredCerts(v.toBool()) : noErr; }},
        {HMStreamSSLTrustedCAFile, "Error in SSLSetTrustedRoots",
         [](SSLContext &c, const QVariant &v) { return c.setTrustedCAFile(v.toString()); }},
        {kCFStreamSSLCertificates, "Error in SSLSetCertificate",
         [](SSLContext &c, const QVariant &v) { return c.setCertificate(v.toList()); }},
        {kCFStreamSSLLevel, "Error in SSLSetProtocolVersionEnabled", applyLevel},
        {GCDAsyncSocketSSLCipherSuites, "Error in SSLSetEnabledCiphers", applyCiphers},
        {GCDAsyncSocketSSLDiffieHellmanParameters, "Error in SSLSetDiffieHellmanParams",
         [](SSLContext &c, const QVariant &v) { return c.setDiffieHellmanParams(v.toByteArray()); }},
    };
    return table;
}

} // namespace

bool GCDAsyncSocket::applyTLSSettings(const QVariantMap &tlsSettings)
{
    for (const TLSSetting &setting : tlsSettingsTable()) {
        const auto found = tlsSettings.constFind(QString::fromLatin1(setting.key));
        if (found == tlsSettings.constEnd())
            continue;
        if (setting.apply(*m_sslContext, found.value()) != noErr) {
            closeWithError(otherError(QString::fromLatin1(setting.failure)));
            return false;
        }
    }
    return true;
}

void GCDAsyncSocket::ssl_continueSSLHandshake()
{
    const OSStatus status = m_sslContext->handshake();
    if (status == errSSLWouldBlock)
        return;
    if (status != noErr) {
        closeWithError(sslError(status));
        return;
    }
    m_flags &= ~(kStartingReadTLS | kStartingWriteTLS);
    m_flags |= kSocketSecure;
    notifyDelegate([](GCDAsyncSocketDelegate &delegate, GCDAsyncSocket *sock) { delegate.socketDidSecure(sock); });
    endCurrent(kReadHalf);
    endCurrent(kWriteHalf);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void GCDAsyncSocket::flushSSLBuffers()
{
    HM_ASSERT((m_flags & kSocketSecure) != 0, QStringLiteral("Cannot flush ssl buffers on non-secure socket"));
    // Decrypted bytes go to the pre-buffer only while it is empty: it would grow without bound.
    if (m_preBuffer.availableBytes() > 0)
        return;
    std::size_t estimate =
        std::size_t(m_socketFDBytesAvailable) + m_sslPreBuffer->availableBytes() + m_sslContext->bufferedReadSize();
    while (estimate > 0) {
        m_preBuffer.ensureCapacityForWrite(estimate);
        std::size_t bytesRead = 0;
        const OSStatus status = m_sslContext->read(m_preBuffer.writeBuffer(), estimate, &bytesRead);
        m_preBuffer.didWrite(bytesRead);
        if (status != noErr) {
            if (status == errSSLClosedGraceful || status == errSSLClosedAbort)
                m_sslErrCode = status;
            break;
        }
        estimate = std::size_t(m_socketFDBytesAvailable) + m_sslPreBuffer->availableBytes() +
                   m_sslContext->bufferedReadSize();
    }
}

std::int32_t GCDAsyncSocket::SSLReadFunction(void *connection, void *data, std::size_t *dataLength)
{
    auto *socket = static_cast<GCDAsyncSocket *>(connection);
    HM_ASSERT(socket->isOnSocketQueue(), QStringLiteral("What the deuce?"));
    return socket->sslReadWithBuffer(data, dataLength);
}

std::int32_t GCDAsyncSocket::SSLWriteFunction(void *connection, const void *data, std::size_t *dataLength)
{
    auto *socket = static_cast<GCDAsyncSocket *>(connection);
    HM_ASSERT(socket->isOnSocketQueue(), QStringLiteral("What the deuce?"));
    return socket->sslWriteWithBuffer(data, dataLength);
}

std::int32_t GCDAsyncSocket::sslReadWithBuffer(void *buffer, std::size_t *bufferLength)
{
    const std::size_t asked = *bufferLength;
    if (m_socketFDBytesAvailable == 0 && m_sslPreBuffer->availableBytes() == 0) {
        resumeReadSource();
        *bufferLength = 0;
        return errSSLWouldBlock;
    }
    auto *target = static_cast<char *>(buffer);
    std::size_t delivered = std::min(asked, m_sslPreBuffer->availableBytes());
    std::memcpy(target, m_sslPreBuffer->readBuffer(), delivered);
    m_sslPreBuffer->didRead(delivered);
    bool socketError = false;
    if (delivered < asked && m_socketFDBytesAvailable > 0) {
        const std::size_t wanted = asked - delivered;
        const bool viaPreBuffer = m_socketFDBytesAvailable > wanted;
        const std::size_t toRead = viaPreBuffer ? std::size_t(m_socketFDBytesAvailable) : wanted;
        char *into = target + delivered;
        if (viaPreBuffer) {
            m_sslPreBuffer->ensureCapacityForWrite(toRead);
            into = m_sslPreBuffer->writeBuffer();
        }
        const ssize_t result = ::read(m_socket6FD != -1 ? m_socket6FD : m_socket4FD, into, toRead);
        if (result <= 0) {
            socketError = result == 0 || !platform::net::isWouldBlock(errno);
            m_socketFDBytesAvailable = 0;
        } else {
            m_socketFDBytesAvailable -= std::min<std::uint64_t>(m_socketFDBytesAvailable, std::uint64_t(result));
            if (viaPreBuffer) {
                m_sslPreBuffer->didWrite(std::size_t(result));
                const std::size_t take = std::min(wanted, std::size_t(result));
                std::memcpy(target + delivered, m_sslPreBuffer->readBuffer(), take);
                m_sslPreBuffer->didRead(take);
                delivered += take;
            } else {
                delivered += std::size_t(result);
            }
        }
    }
    *bufferLength = delivered;
    if (delivered == asked)
        return noErr;
    return socketError ? errSSLClosedAbort : errSSLWouldBlock;
}

std::int32_t GCDAsyncSocket::sslWriteWithBuffer(const void *buffer, std::size_t *bufferLength)
{
    if ((m_flags & kSocketCanAcceptBytes) == 0) {
        resumeWriteSource();
        *bufferLength = 0;
        return errSSLWouldBlock;
    }
    const std::size_t asked = *bufferLength;
    const ssize_t result =
        ::send(m_socket4FD != -1 ? m_socket4FD : m_socket6FD, buffer, asked, MSG_NOSIGNAL);
    if (result <= 0) {
        m_flags &= ~kSocketCanAcceptBytes;
        resumeWriteSource();
        *bufferLength = 0;
        return result == 0 || platform::net::isWouldBlock(errno) ? errSSLWouldBlock : errSSLClosedAbort;
    }
    *bufferLength = std::size_t(result);
    return std::size_t(result) == asked ? noErr : errSSLWouldBlock;
}

void GCDAsyncSocket::disposeSSL()
{
    if (m_sslContext) {
        m_sslContext->close();
        m_sslContext.reset();
    }
    if (m_sslPreBuffer)
        m_sslPreBuffer->reset();
    m_sslWriteCachedLength = 0;
    m_sslErrCode = 0;
}
