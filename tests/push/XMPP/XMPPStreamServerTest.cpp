// The stream against a real XMPP server (Prosody on loopback, encryption required, a test CA): killed
// under a connected stream and started again; STARTTLS with and without the CA; PLAIN over TLS;
// registration; a refused password; a bind conflict.

#include "StreamTestSupport.h"

#include "ProsodyServer.h"

#include <gtest/gtest.h>

#include <QStandardPaths>

#include <cerrno>

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/NSData+Encrypt.h"

using platform::PlatformError;
using streamtest::StreamRecorder;

TEST(XMPPStreamServer, KilledServerEndsTheStreamWithTheSocketsErrorAndARestartConnectsAgain)
{
    if (QStandardPaths::findExecutable(QStringLiteral("prosody")).isEmpty())
        GTEST_SKIP() << "prosody is not installed (scripts/install-deps.sh installs it)";
    ProsodyServer server;
    ASSERT_TRUE(server.isReady()) << server.error().toStdString();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(server.createAccount(QStringLiteral("alice"), QStringLiteral("secret")));

    auto stream = XMPPStream::init();
    auto recorder = std::make_shared<StreamRecorder>();
    stream->addDelegate(recorder, recorder->queue());
    stream->setMyJID(XMPPJID::jidWithString(QStringLiteral("alice@localhost")));
    stream->setHostName(QStringLiteral("127.0.0.1"));
    stream->setHostPort(server.port());
    ASSERT_TRUE(stream->connect());
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("socketDidConnect")));

    server.kill();
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect")));
    const PlatformError error = recorder->errors().front();
    EXPECT_FALSE(error.isNull());
    // The kill comes while the stream negotiates: the socket's close, the TLS layer's abort, or a write
    // that meets the closed connection.
    const bool isSocketClose = error.domain() == QStringLiteral("GCDAsyncSocketErrorDomain") && error.code() == 7;
    const bool isTLSAbort = error.domain() == QStringLiteral("kCFStreamErrorDomainSSL");
    const bool isWriteRefused = error.domain() == QStringLiteral("NSPOSIXErrorDomain") &&
                                (error.code() == EPIPE || error.code() == ECONNRESET);
    EXPECT_TRUE(isSocketClose || isTLSAbort || isWriteRefused) << error.description().toStdString();
    EXPECT_EQ(stream->state(), XMPPStreamStateDisconnected);

    // While the server is down the connect starts and is refused.
    ASSERT_TRUE(stream->connect());
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect"), 2));
    EXPECT_EQ(recorder->errors().back().code(), ECONNREFUSED);

    ASSERT_TRUE(server.start());
    ASSERT_TRUE(stream->connect());
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("socketDidConnect"), 2));
    EXPECT_GE(stream->state(), XMPPStreamStateConnecting);
    stream->disconnect();
    EXPECT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect"), 3));
}

namespace {

const QString kUser = QStringLiteral("bob#example.com");
const QString kPassword = hexStringValue(md5Digest("secret"));

struct ProsodyStream
{
    std::shared_ptr<XMPPStream> stream = XMPPStream::init();
    std::shared_ptr<StreamRecorder> recorder = std::make_shared<StreamRecorder>(nullptr, true);
};

// A stream to the server under the account's address, trusting the test CA unless told otherwise.
ProsodyStream connectToProsody(const ProsodyServer &server, const QString &resource, bool trustsTheCA = true)
{
    ProsodyStream result;
    if (trustsTheCA) {
        result.recorder->setTLSSettings({{QString::fromLatin1(HMStreamSSLTrustedCAFile), server.caFile()},
                                         {QString::fromLatin1(kCFStreamSSLPeerName), QStringLiteral("localhost")}});
    }
    result.stream->addDelegate(result.recorder, result.recorder->queue());
    result.stream->setMyJID(XMPPJID::jidWithString(kUser + QStringLiteral("@localhost"), resource));
    result.stream->setHostName(QStringLiteral("127.0.0.1"));
    result.stream->setHostPort(server.port());
    EXPECT_TRUE(result.stream->connect());
    return result;
}

#define REQUIRE_PROSODY(server)                                                                                        \
    if (QStandardPaths::findExecutable(QStringLiteral("prosody")).isEmpty())                                           \
        GTEST_SKIP() << "prosody is not installed (scripts/install-deps.sh installs it)";                             \
    ProsodyServer server;                                                                                              \
    ASSERT_TRUE(server.isReady()) << server.error().toStdString();                                                     \
    ASSERT_TRUE(server.start())

} // namespace

TEST(XMPPStreamServer, LogsInOverVerifiedTLSWithPlainBindsAndSendsPresence)
{
    REQUIRE_PROSODY(server);
    ASSERT_TRUE(server.createAccount(kUser, kPassword));
    ProsodyStream client = connectToProsody(server, QStringLiteral("Profile1"));
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didConnect")));
    EXPECT_TRUE(client.stream->isSecure());
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didSecure")), 1);
    EXPECT_TRUE(client.stream->supportsPlainAuthentication());
    ASSERT_TRUE(client.stream->authenticateWithPassword(kPassword));
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didAuthenticate"))) << client.recorder->events().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(client.stream->myJID()->full(), QStringLiteral("bob#example.com@localhost/Profile1"));
    client.stream->sendElement(platform::NSXMLElement::elementWithName(QStringLiteral("presence")));
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didSendPresence")));
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didConnect")), 1);
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didDisconnect")), 0);
    client.stream->disconnect();
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
}

TEST(XMPPStreamServer, WithoutTheTestCATheHandshakeFailsAndNothingIsSent)
{
    REQUIRE_PROSODY(server);
    ASSERT_TRUE(server.createAccount(kUser, kPassword));
    ProsodyStream client = connectToProsody(server, QStringLiteral("Profile1"), false);
    ASSERT_TRUE(client.recorder->waitFor(QStringLiteral("didDisconnect")));
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didConnect")), 0);
    EXPECT_EQ(client.recorder->countOf(QStringLiteral("didSecure")), 0);
    EXPECT_FALSE(client.stream->isAuthenticated());
    EXPECT_FALSE(server.logText().contains(QStringLiteral("Authenticated as")));
}

TEST(XMPPStreamServer, RegistersThenRefusesAWrongPasswordAndResolvesABindConflict)
{
    REQUIRE_PROSODY(server);
    ProsodyStream first = connectToProsody(server, QStringLiteral("Profile1"));
    ASSERT_TRUE(first.recorder->waitFor(QStringLiteral("didConnect")));
    ASSERT_TRUE(first.stream->supportsInBandRegistration());
    ASSERT_TRUE(first.stream->registerWithPassword(kPassword));
    ASSERT_TRUE(first.recorder->waitFor(QStringLiteral("didRegister")));
    ASSERT_TRUE(first.stream->authenticateWithPassword(QStringLiteral("wrong")));
    ASSERT_TRUE(first.recorder->waitFor(QStringLiteral("didNotAuthenticate")));
    EXPECT_EQ(first.stream->state(), XMPPStreamStateConnected);
    EXPECT_FALSE(first.stream->isAuthenticated());
    first.stream->disconnect();

    // A second session under the same resource: the server refuses the bind; the delegates answer "a"
    // and then nothing, and "a" is used.
    ProsodyStream held = connectToProsody(server, QStringLiteral("Profile1"));
    ASSERT_TRUE(held.recorder->waitFor(QStringLiteral("didConnect")));
    ASSERT_TRUE(held.stream->authenticateWithPassword(kPassword));
    ASSERT_TRUE(held.recorder->waitFor(QStringLiteral("didAuthenticate")));
    ProsodyStream second;
    const auto answersA = std::make_shared<streamtest::AlternativeResource>(QStringLiteral("a"));
    const auto answersNothing = std::make_shared<streamtest::AlternativeResource>(QString());
    second.stream->addDelegate(answersA, platform::DispatchQueue::createSerial(QStringLiteral("a")));
    second.stream->addDelegate(answersNothing, platform::DispatchQueue::createSerial(QStringLiteral("nil")));
    second.recorder->setTLSSettings({{QString::fromLatin1(HMStreamSSLTrustedCAFile), server.caFile()},
                                     {QString::fromLatin1(kCFStreamSSLPeerName), QStringLiteral("localhost")}});
    second.stream->addDelegate(second.recorder, second.recorder->queue());
    second.stream->setMyJID(XMPPJID::jidWithString(kUser + QStringLiteral("@localhost"), QStringLiteral("Profile1")));
    second.stream->setHostName(QStringLiteral("127.0.0.1"));
    second.stream->setHostPort(server.port());
    ASSERT_TRUE(second.stream->connect());
    ASSERT_TRUE(second.recorder->waitFor(QStringLiteral("didConnect")));
    ASSERT_TRUE(second.stream->authenticateWithPassword(kPassword));
    ASSERT_TRUE(second.recorder->waitFor(QStringLiteral("didAuthenticate")));
    EXPECT_EQ(second.stream->myJID()->full(), QStringLiteral("bob#example.com@localhost/a"));
    EXPECT_EQ(held.recorder->countOf(QStringLiteral("didDisconnect")), 0);
}
