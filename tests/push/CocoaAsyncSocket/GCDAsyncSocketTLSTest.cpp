// TLS on the socket: two sockets on loopback, the server's certificate signed by a CA made for the
// test; the plain bytes before the handshake, certificate checks, the settings, large writes through
// a congested connection, a peer leaving mid-handshake, and OpenSSL's own server as the other end.
#include "SocketTestSupport.h"

#include "ChildProcess.h"
#include "TestCertificates.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>

using namespace sockettest;

namespace {

// The test CA and the server's certificate, with the server's identity (key, then certificate) as PEM.
struct TestPki
{
    QString caCertFile;
    QString serverCertFile;
    QString serverKeyFile;
    QByteArray serverIdentityPem;
};

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TestPki makeTestPki(const QString &folder)
{
    peertls::CertificateFiles files;
    QString error;
    EXPECT_TRUE(peertls::makeTestCertificates(folder, peertls::CertificateOptions(), files, error))
        << error.toStdString();
    return {files.caFile, files.certFile, files.keyFile, fileBytes(files.keyFile) + fileBytes(files.certFile)};
}

QString key(const char *name)
{
    return QString::fromLatin1(name);
}

// A listening socket under test and a client socket under test, connected.
struct TLSPair
{
    TLSPair()
    {
        pki = makeTestPki(dir.path());
        EXPECT_TRUE(server.socket->acceptOnInterface(QStringLiteral("127.0.0.1"), 0, nullptr));
        EXPECT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), server.socket->localPort(), nullptr));
        EXPECT_TRUE(waitFor([&] { return !server.delegate.accepted().empty() && client.socket->isConnected(); }));
        accepted = server.delegate.accepted().empty() ? nullptr : server.delegate.accepted().front();
    }

    QVariantMap serverSettings() const
    {
        return {{key(kCFStreamSSLIsServer), true},
                {key(kCFStreamSSLCertificates), QVariantList{pki.serverIdentityPem}}};
    }
    QVariantMap clientSettings(const QString &peerName = QStringLiteral("localhost")) const
    {
        return {{key(kCFStreamSSLPeerName), peerName}, {key(HMStreamSSLTrustedCAFile), pki.caCertFile}};
    }
    void startBoth(const QVariantMap &clientTLS, const QVariantMap &serverTLS)
    {
        client.socket->startTLS(clientTLS);
        accepted->startTLS(serverTLS);
    }
    bool bothSecured()
    {
        return waitFor([&] {
            return client.delegate.hasEvent(QStringLiteral("secured")) &&
                   server.delegate.hasEvent(QStringLiteral("secured"));
        });
    }
    // The client's error once it closed.
    platform::PlatformError clientError()
    {
        EXPECT_TRUE(waitFor([&] { return !client.delegate.disconnects().empty(); }));
        return client.delegate.disconnects().empty() ? platform::PlatformError() : client.delegate.disconnects().front();
    }

    QTemporaryDir dir;
    TestPki pki;
    SocketUnderTest server;
    SocketUnderTest client;
    std::shared_ptr<GCDAsyncSocket> accepted;
};

} // namespace

TEST(GCDAsyncSocketTLS, PlainBytesFirstThenBothSidesSecureAndTalk)
{
    TLSPair pair;
    ASSERT_TRUE(pair.accepted);
    // The client: a plain write and a plain 10-byte read queued before TLS.
    pair.client.socket->writeData(QByteArrayLiteral("STARTTLS\n"), -1, 1);
    pair.client.socket->readDataToLength(10, -1, 2);
    pair.client.socket->startTLS(pair.clientSettings());
    EXPECT_FALSE(pair.client.socket->isSecure());
    // The ClientHello is sent only after the 10 plain bytes were read; it then lands behind the
    // server's plain line, in the same arrival, before the server asks for the line.
    pair.accepted->writeData(QByteArrayLiteral("0123456789"), -1, 3);
    ASSERT_TRUE(waitFor([&] { return pair.client.delegate.reads().size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pair.accepted->readDataToData(QByteArrayLiteral("\n"), -1, 4);
    pair.accepted->startTLS(pair.serverSettings());
    ASSERT_TRUE(pair.bothSecured());
    EXPECT_EQ(pair.client.delegate.reads().at(0).data, QByteArrayLiteral("0123456789"));
    EXPECT_EQ(pair.server.delegate.reads().at(0).data, QByteArrayLiteral("STARTTLS\n"));
    EXPECT_TRUE(pair.client.socket->isSecure());
    EXPECT_TRUE(pair.accepted->isSecure());

    // A second request does nothing: no second handshake, the stream goes on.
    pair.client.socket->startTLS(pair.clientSettings());
    pair.client.socket->writeData(QByteArrayLiteral("secret one\n"), -1, 5);
    pair.accepted->readDataToData(QByteArrayLiteral("\n"), -1, 6);
    pair.accepted->writeData(QByteArrayLiteral("secret two"), -1, 7);
    pair.client.socket->readDataToLength(10, -1, 8);
    ASSERT_TRUE(waitFor([&] { return pair.server.delegate.reads().size() == 2 && pair.client.delegate.reads().size() == 2; }));
    EXPECT_EQ(pair.server.delegate.reads().at(1).data, QByteArrayLiteral("secret one\n"));
    EXPECT_EQ(pair.client.delegate.reads().at(1).data, QByteArrayLiteral("secret two"));
    EXPECT_EQ(pair.client.delegate.events().count(QStringLiteral("secured")), 1);

    // The server's orderly close reaches the client as the end of the stream.
    pair.accepted->disconnect();
    pair.client.socket->readDataWithTimeout(-1, 9);
    const platform::PlatformError error = pair.clientError();
    EXPECT_EQ(error.domain(), QString::fromLatin1(GCDAsyncSocketErrorDomain));
    EXPECT_EQ(error.code(), GCDAsyncSocketClosedError);
}

TEST(GCDAsyncSocketTLS, CertificateChecksRefuseWrongNameAndUnknownCA)
{
    {
        TLSPair pair;
        ASSERT_TRUE(pair.accepted);
        pair.startBoth(pair.clientSettings(QStringLiteral("other.example")), pair.serverSettings());
        const platform::PlatformError error = pair.clientError();
        EXPECT_EQ(error.domain(), QStringLiteral("kCFStreamErrorDomainSSL"));
        EXPECT_EQ(error.code(), -9843);
        EXPECT_FALSE(pair.client.delegate.hasEvent(QStringLiteral("secured")));
    }
    {
        TLSPair pair;
        ASSERT_TRUE(pair.accepted);
        pair.startBoth({{key(kCFStreamSSLPeerName), QStringLiteral("localhost")}}, pair.serverSettings());
        const platform::PlatformError error = pair.clientError();
        EXPECT_EQ(error.domain(), QStringLiteral("kCFStreamErrorDomainSSL"));
        EXPECT_EQ(error.code(), -9813);
        EXPECT_FALSE(pair.client.delegate.hasEvent(QStringLiteral("secured")));
    }
}

TEST(GCDAsyncSocketTLS, LooseningKeysAreHonoured)
{
    // The socket's contract, shown once: any root with no name (the null object) checks nothing.
    TLSPair pair;
    ASSERT_TRUE(pair.accepted);
    pair.startBoth({{key(kCFStreamSSLAllowsAnyRoot), true}, {key(kCFStreamSSLPeerName), QVariant()}},
                   pair.serverSettings());
    EXPECT_TRUE(pair.bothSecured());
    TLSPair unverified;
    ASSERT_TRUE(unverified.accepted);
    unverified.startBoth({{key(kCFStreamSSLValidatesCertificateChain), false}}, unverified.serverSettings());
    EXPECT_TRUE(unverified.bothSecured());
}

TEST(GCDAsyncSocketTLS, SettingsFailuresCloseWithTheirTexts)
{
    const std::vector<std::pair<QVariantMap, QString>> cases = {
        {{{key(kCFStreamSSLLevel), key(kCFStreamSocketSecurityLevelSSLv3)}},
         QStringLiteral("Error in SSLSetProtocolVersionEnabled")},
        {{{key(kCFStreamSSLLevel), key(kCFStreamSocketSecurityLevelSSLv2)}},
         QStringLiteral("Error in SSLSetProtocolVersionEnabled")},
        {{{key(GCDAsyncSocketSSLCipherSuites), QVariantList{0xC02B, 0xFFFE}}}, QStringLiteral("Error in SSLSetEnabledCiphers")},
        {{{key(kCFStreamSSLCertificates), QVariantList{QByteArrayLiteral("not a certificate")}}},
         QStringLiteral("Error in SSLSetCertificate")},
        {{{key(GCDAsyncSocketSSLDiffieHellmanParameters), QByteArrayLiteral("junk")}},
         QStringLiteral("Error in SSLSetDiffieHellmanParams")},
    };
    for (const auto &[settings, text] : cases) {
        TLSPair pair;
        ASSERT_TRUE(pair.accepted);
        QVariantMap clientTLS = pair.clientSettings();
        clientTLS.insert(settings);
        pair.client.socket->startTLS(clientTLS);
        const platform::PlatformError error = pair.clientError();
        EXPECT_EQ(error.code(), GCDAsyncSocketOtherError) << text.toStdString();
        EXPECT_EQ(error.localizedDescription(), text);
    }
}

TEST(GCDAsyncSocketTLS, CipherCodesAreUnsignedAndLevelsApply)
{
    {
        // 0xC02B lies above 0x7FFF; unknown level texts change nothing.
        TLSPair pair;
        ASSERT_TRUE(pair.accepted);
        QVariantMap clientTLS = pair.clientSettings();
        clientTLS.insert(key(GCDAsyncSocketSSLCipherSuites), QVariantList{0xC02B});
        clientTLS.insert(key(kCFStreamSSLLevel), QStringLiteral("no such level"));
        pair.startBoth(clientTLS, pair.serverSettings());
        EXPECT_TRUE(pair.bothSecured());
    }
    {
        // TLS 1.0 alone is below the library's security level: the handshake fails.
        TLSPair pair;
        ASSERT_TRUE(pair.accepted);
        QVariantMap clientTLS = pair.clientSettings();
        clientTLS.insert(key(kCFStreamSSLLevel), key(kCFStreamSocketSecurityLevelTLSv1));
        pair.startBoth(clientTLS, pair.serverSettings());
        const platform::PlatformError error = pair.clientError();
        EXPECT_EQ(error.domain(), QStringLiteral("kCFStreamErrorDomainSSL"));
        EXPECT_FALSE(pair.client.delegate.hasEvent(QStringLiteral("secured")));
    }
}

TEST(GCDAsyncSocketTLS, LargeWriteArrivesWhole)
{
    TLSPair pair;
    ASSERT_TRUE(pair.accepted);
    pair.startBoth(pair.clientSettings(), pair.serverSettings());
    ASSERT_TRUE(pair.bothSecured());
    QByteArray payload(100000, '\0');
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char((i * 7919) % 251);
    pair.accepted->readDataToLength(std::size_t(payload.size()), -1, 2);
    pair.client.socket->writeData(payload, -1, 1);
    ASSERT_TRUE(waitFor([&] { return pair.server.delegate.reads().size() == 1; }));
    EXPECT_TRUE(pair.server.delegate.reads().at(0).data == payload);
    EXPECT_TRUE(waitFor([&] { return pair.client.delegate.hasEvent(QStringLiteral("wrote 1")); }));
}

TEST(GCDAsyncSocketTLS, LargeWriteThroughCongestedConnectionArrivesWhole)
{
    TLSPair pair;
    ASSERT_TRUE(pair.accepted);
    pair.startBoth(pair.clientSettings(), pair.serverSettings());
    ASSERT_TRUE(pair.bothSecured());
    // Small buffers on both ends: the second piece blocks until the reader starts.
    pair.client.socket->performBlock([&] {
        const int size = 4096;
        ::setsockopt(pair.client.socket->socketFD(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    });
    pair.accepted->performBlock([&] {
        const int size = 4096;
        ::setsockopt(pair.accepted->socketFD(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    });
    QByteArray payload(100000, '\0');
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char((i * 7919) % 251);
    pair.client.socket->writeData(payload, -1, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(pair.client.delegate.hasEvent(QStringLiteral("wrote 1")));
    pair.accepted->readDataToLength(std::size_t(payload.size()), -1, 2);
    ASSERT_TRUE(waitFor([&] { return pair.server.delegate.reads().size() == 1; }))
        << pair.server.delegate.events().join(QLatin1Char(',')).toStdString() << " / "
        << pair.client.delegate.events().join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(pair.server.delegate.reads().at(0).data == payload);
    EXPECT_TRUE(waitFor([&] { return pair.client.delegate.hasEvent(QStringLiteral("wrote 1")); }));
}

TEST(GCDAsyncSocketTLS, PeerLeavingMidHandshakeAborts)
{
    QTemporaryDir dir;
    const TestPki pki = makeTestPki(dir.path());
    quint16 port = 0;
    Fd listener = listenPlain(AF_INET, &port);
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    Fd peer = acceptPlain(listener.get());
    ASSERT_NE(peer.get(), -1);
    client.socket->startTLS({{key(kCFStreamSSLPeerName), QStringLiteral("localhost")},
                             {key(HMStreamSSLTrustedCAFile), pki.caCertFile}});
    // The ClientHello arrives; the peer goes away without answering.
    EXPECT_FALSE(readPlain(peer.get(), 5, 5000).isEmpty());
    peer.reset();
    ASSERT_TRUE(waitFor([&] { return !client.delegate.disconnects().empty(); }));
    EXPECT_EQ(client.delegate.disconnects().front().domain(), QStringLiteral("kCFStreamErrorDomainSSL"));
    EXPECT_EQ(client.delegate.disconnects().front().code(), -9806);
    EXPECT_FALSE(client.delegate.hasEvent(QStringLiteral("secured")));
}

TEST(GCDAsyncSocketTLS, OpenSSLServerAsTheOtherEnd)
{
    QTemporaryDir dir;
    const TestPki pki = makeTestPki(dir.path());
    quint16 port = 0;
    {
        Fd probe = listenPlain(AF_INET, &port);
    }
    looptest::ChildProcess server;
    ASSERT_TRUE(server.start(QStringLiteral("openssl"), {QStringLiteral("s_server"), QStringLiteral("-accept"),
                                                         QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("-cert"),
                                                         pki.serverCertFile, QStringLiteral("-key"), pki.serverKeyFile,
                                                         QStringLiteral("-naccept"), QStringLiteral("1"),
                                                         QStringLiteral("-rev")}));
    // The server says ACCEPT once it listens.
    ASSERT_TRUE(waitFor([&] { return server.output().contains("ACCEPT") || !server.isRunning(); }));
    ASSERT_TRUE(server.output().contains("ACCEPT")) << server.output().toStdString();
    SocketUnderTest client;
    ASSERT_TRUE(client.socket->connectToHost(QStringLiteral("127.0.0.1"), port, nullptr));
    client.socket->startTLS({{key(kCFStreamSSLPeerName), QStringLiteral("localhost")},
                             {key(HMStreamSSLTrustedCAFile), pki.caCertFile}});
    client.socket->writeData(QByteArrayLiteral("harrowmere\n"), -1, 1);
    client.socket->readDataToData(QByteArrayLiteral("\n"), 10, 2);
    ASSERT_TRUE(waitFor([&] { return !client.delegate.reads().empty() || !client.delegate.disconnects().empty(); }));
    EXPECT_TRUE(client.delegate.hasEvent(QStringLiteral("secured")));
    ASSERT_FALSE(client.delegate.reads().empty());
    EXPECT_EQ(client.delegate.reads().front().data, QByteArrayLiteral("eremworrah\n"));
    client.socket->disconnect();
}
