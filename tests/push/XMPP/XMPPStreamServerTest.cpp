// The stream against a real XMPP server (Prosody on loopback): killed under a connected stream and
// started again.

#include "StreamTestSupport.h"

#include "ProsodyServer.h"

#include <gtest/gtest.h>

#include <QStandardPaths>

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
    EXPECT_EQ(error.domain(), QStringLiteral("GCDAsyncSocketErrorDomain")) << error.description().toStdString();
    EXPECT_EQ(error.code(), 7) << error.description().toStdString();
    EXPECT_EQ(stream->state(), XMPPStreamStateDisconnected);

    // While the server is down the connect starts and is refused.
    ASSERT_TRUE(stream->connect());
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect"), 2));
    EXPECT_EQ(recorder->errors().back().code(), ECONNREFUSED);

    ASSERT_TRUE(server.start());
    ASSERT_TRUE(stream->connect());
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("socketDidConnect"), 2));
    EXPECT_EQ(stream->state(), XMPPStreamStateConnecting);
    stream->disconnect();
    EXPECT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect"), 3));
}
