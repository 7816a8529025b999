// The stream's negotiation and traffic against a scripted server on loopback: DIGEST-MD5 with its
// rspauth step, the older login of a "0.9" server, binding with conflicts, filter chains, receipts, the
// 501 answer, keep-alive on the virtual clock, and hostile input (malformed XML, a 100 MB stanza).

#include "StreamTestSupport.h"

#include "ScriptedXmppServer.h"
#include "VirtualClockGuard.h"

#include "platform/dispatch/VirtualClock.h"
#include "push/XMPP/Authentication/XMPPSASLAuthentication.h"
#include "push/XMPP/Core/XMPPElementReceipt.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "push/XMPP/Core/XMPPPresence.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"
#include "sync/HMSyncController.h"
#include "sync/NSData+Encrypt.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include <thread>

using platform::NSXMLElement;
using Step = ScriptedXmppServer::Step;
using streamtest::StreamRecorder;

namespace {

const QByteArray kSASL = "urn:ietf:params:xml:ns:xmpp-sasl";
const QByteArray kBindFeature = "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>";
const QByteArray kSessionFeature = "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'/>";

QByteArray features(const QByteArray &inner)
{
    return "<stream:features>" + inner + "</stream:features>";
}

QByteArray mechanisms(const QList<QByteArray> &names)
{
    QByteArray text = "<mechanisms xmlns='" + kSASL + "'>";
    for (const QByteArray &name : names)
        text += "<mechanism>" + name + "</mechanism>";
    return text + "</mechanisms>";
}

QByteArray saslChallenge(const QByteArray &text)
{
    return "<challenge xmlns='" + kSASL + "'>" + base64Encoded(text).toLatin1() + "</challenge>";
}

// The id of the last iq the client sent (the scripted replies answer by id).
QByteArray lastIqId(const QByteArray &received)
{
    const QRegularExpression pattern(QStringLiteral("<iq[^>]*id=[\"']([^\"']+)[\"']"));
    QString last;
    auto matches = pattern.globalMatch(QString::fromUtf8(received));
    while (matches.hasNext())
        last = matches.next().captured(1);
    return last.toUtf8();
}

struct Connected
{
    std::shared_ptr<XMPPStream> stream;
    std::shared_ptr<StreamRecorder> recorder;
};

// A stream to the server; the delegates given come first, each on a queue of its own, then the recorder.
Connected connectTo(const ScriptedXmppServer &server, const QString &jid = QStringLiteral("bob@localhost/Profile1"),
                    const std::vector<std::shared_ptr<XMPPStreamDelegate>> &delegatesFirst = {})
{
    Connected result{XMPPStream::init(), std::make_shared<StreamRecorder>(nullptr, true)};
    for (const auto &delegate : delegatesFirst)
        result.stream->addDelegate(delegate, platform::DispatchQueue::createSerial(QStringLiteral("delegate")));
    result.stream->addDelegate(result.recorder, result.recorder->queue());
    result.stream->setMyJID(XMPPJID::jidWithString(jid));
    result.stream->setHostName(QStringLiteral("127.0.0.1"));
    result.stream->setHostPort(server.port());
    EXPECT_TRUE(result.stream->connect());
    return result;
}

qint64 residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    }
    return 0;
}

} // namespace

TEST(XMPPStreamNegotiation, DigestMD5IsChosenOverPlainAndTheStreamRestartsBindsAndStartsItsSession)
{
    ScriptedXmppServer server({
        {"<stream:stream", ScriptedXmppServer::streamHeader() +
                               features(mechanisms({"PLAIN", "DIGEST-MD5"}))},
        {"DIGEST-MD5", saslChallenge("realm=\"localhost\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",charset=utf-8,"
                                     "algorithm=md5-sess")},
        {"</response>", saslChallenge("rspauth=ea40f60335c427b5527b84dbabcdfffd")},
        {"<response", "<success xmlns='" + kSASL + "'/>"},
        {"<stream:stream", ScriptedXmppServer::streamHeader("c2s-2") + features(kBindFeature + kSessionFeature)},
    });
    auto [stream, recorder] = connectTo(server);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didConnect")));
    EXPECT_EQ(stream->state(), XMPPStreamStateConnected);
    EXPECT_EQ(stream->supportedAuthenticationMechanisms(), QStringList({"PLAIN", "DIGEST-MD5"}));
    ASSERT_TRUE(stream->authenticateWithPassword(QStringLiteral("secret")));
    ASSERT_TRUE(server.waitForReceived("<bind"));
    // The bind request carries the client's resource; the server answers with the full address.
    const QByteArray received = server.received();
    ASSERT_TRUE(server.send("<iq type='result' id='" + lastIqId(received) +
                            "'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>bob@localhost/Profile1</jid></bind></iq>"));
    ASSERT_TRUE(server.waitForReceived("<session"));
    ASSERT_TRUE(server.send("<iq type='result' id='" + lastIqId(server.received()) + "'/>"));
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didAuthenticate")));
    EXPECT_TRUE(stream->isAuthenticated());
    EXPECT_EQ(stream->myJID()->full(), QStringLiteral("bob@localhost/Profile1"));

    const QByteArray all = server.received();
    // The declaration once, then the header byte for byte; the restart sends the header alone.
    const QByteArray header =
        "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' version='1.0' "
        "to='localhost'>";
    EXPECT_TRUE(all.startsWith("<?xml version='1.0'?>" + header)) << all.left(200).toStdString();
    EXPECT_EQ(all.count("<?xml"), 1);
    EXPECT_EQ(all.count(header), 2);
    // The response: the fields in their order, the digest computed from them.
    const QRegularExpression responsePattern(QStringLiteral("<response[^>]*>([^<]+)</response>"));
    const QString response =
        QString::fromUtf8(base64Decoded(responsePattern.match(QString::fromUtf8(all)).captured(1).toLatin1()));
    const QRegularExpression fields(QStringLiteral(
        "^username=\"bob\",realm=\"localhost\",nonce=\"OA6MG9tEQGm2hh\",cnonce=\"([^\"]+)\",nc=00000001,qop=auth,"
        "digest-uri=\"xmpp/localhost\",response=([0-9a-f]{32}),charset=utf-8$"));
    const auto match = fields.match(response);
    ASSERT_TRUE(match.hasMatch()) << response.toStdString();
    XMPPDigestMD5Authentication expected(nullptr, QStringLiteral("secret"));
    expected.username = QStringLiteral("bob");
    expected.realm = QStringLiteral("localhost");
    expected.nonce = QStringLiteral("OA6MG9tEQGm2hh");
    expected.cnonce = match.captured(1);
    expected.digestURI = QStringLiteral("xmpp/localhost");
    EXPECT_EQ(match.captured(2), expected.responseDigest());
    // The rspauth step is answered with an empty response.
    EXPECT_TRUE(all.contains("<response xmlns=\"" + kSASL + "\"/>") || all.contains("<response xmlns='" + kSASL + "'/>"))
        << all.toStdString();
    EXPECT_EQ(stream->numberOfBytesSent(), std::uint64_t(all.size()));
    // No PLAIN on a stream that is not secure.
    EXPECT_FALSE(all.contains("mechanism=\"PLAIN\"") || all.contains("mechanism='PLAIN'"));
}

TEST(XMPPStreamNegotiation, PlainIsRefusedOnAStreamThatIsNotSecure)
{
    ScriptedXmppServer server({{"<stream:stream", ScriptedXmppServer::streamHeader() + features(mechanisms({"PLAIN"}))}});
    auto [stream, recorder] = connectTo(server);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didConnect")));
    platform::PlatformError error;
    EXPECT_FALSE(stream->authenticateWithPassword(QStringLiteral("secret"), &error));
    EXPECT_EQ(error.code(), XMPPStreamUnsupportedAction);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("No suitable authentication method found"));
    EXPECT_FALSE(stream->authenticate(std::make_shared<XMPPPlainAuthentication>(stream, QStringLiteral("secret")), &error));
    EXPECT_EQ(stream->state(), XMPPStreamStateConnected);
    EXPECT_FALSE(server.received().contains("<auth"));
}

TEST(XMPPStreamNegotiation, ALegacyServerGetsTheFieldQueryAndTheDigestLoginWithAGeneratedResource)
{
    ScriptedXmppServer server({
        {"<stream:stream", ScriptedXmppServer::streamHeader("3EE948B0", "0.9")},
        {"jabber:iq:auth", "<iq type='result'><query xmlns='jabber:iq:auth'><username/><password/><digest/>"
                           "<resource/></query></iq>"},
        {"</iq>", {}},
        {"</iq>", "<iq type='result'/>"},
    });
    auto [stream, recorder] = connectTo(server, QStringLiteral("bob@localhost"));
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didConnect")));
    EXPECT_TRUE(stream->supportsDeprecatedDigestAuthentication());
    EXPECT_TRUE(stream->supportsDeprecatedPlainAuthentication());
    ASSERT_TRUE(stream->authenticateWithPassword(QStringLiteral("Calli0pe")));
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didAuthenticate")));
    const QByteArray all = server.received();
    EXPECT_TRUE(all.contains("<digest>48fc78be9ec8f86d8ce1c39c320c97c21d62334d</digest>")) << all.toStdString();
    EXPECT_FALSE(all.contains("<password>"));
    const QRegularExpression resource(QStringLiteral("<resource>([0-9A-Fa-f-]{36})</resource>"));
    EXPECT_TRUE(resource.match(QString::fromUtf8(all)).hasMatch()) << all.toStdString();
    // No reopening after the older login.
    EXPECT_EQ(all.count("<stream:stream"), 1);
    EXPECT_EQ(stream->state(), XMPPStreamStateConnected);
}

TEST(XMPPStreamNegotiation, ABindConflictTakesTheLastAlternativeResourceGiven)
{
    const QByteArray conflict = "<iq type='error'><error type='cancel'><conflict "
                                "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>";
    ScriptedXmppServer server({
        {"<stream:stream", ScriptedXmppServer::streamHeader() + features(kBindFeature)},
        {"</iq>", conflict},
        {"</iq>", conflict},
    });
    // Held here: the stream holds its delegates weakly.
    const auto answersA = std::make_shared<streamtest::AlternativeResource>(QStringLiteral("a"));
    const auto answersNothing = std::make_shared<streamtest::AlternativeResource>(QString());
    const Connected connected = connectTo(server, QStringLiteral("bob@localhost/Profile1"), {answersA, answersNothing});
    ASSERT_TRUE(server.waitForReceived("</iq>", 3));
    const QByteArray all = server.received();
    EXPECT_EQ(all.count("<resource>Profile1</resource>"), 1);
    EXPECT_EQ(all.count("<resource>a</resource>"), 2) << all.toStdString();
    EXPECT_EQ(connected.stream->state(), XMPPStreamStateBinding);
    EXPECT_EQ(connected.stream->myJID()->resource(), QStringLiteral("a"));
}

TEST(XMPPStreamTraffic, ChainsReceiptsTheUnclaimedRequestAndStanzasWhileASyncRuns)
{
    class Chain final : public XMPPStreamDelegate
    {
    public:
        explicit Chain(QString attribute) : XMPPStreamDelegate({XMPPStreamWillSendPresenceOp, XMPPStreamWillSendMessageOp}), m_attribute(std::move(attribute)) {}
        std::shared_ptr<XMPPPresence> xmppStreamWillSendPresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &presence) override
        {
            addAttributeWithName(**presence, m_attribute, QStringLiteral("1"));
            return presence;
        }
        // A message is dropped by its first link.
        std::shared_ptr<XMPPMessage> xmppStreamWillSendMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &) override
        {
            ++dropped;
            return nullptr;
        }
        std::atomic<int> dropped{0};

    private:
        QString m_attribute;
    };
    ScriptedXmppServer server({{"<stream:stream", ScriptedXmppServer::streamHeader() + features({})}});
    const auto first = std::make_shared<Chain>(QStringLiteral("x-first"));
    const auto second = std::make_shared<Chain>(QStringLiteral("x-second"));
    const Connected connected = connectTo(server, QStringLiteral("bob@localhost/Profile1"), {first, second});
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didConnect")));
    const auto &stream = connected.stream;

    // A dropped message fails its own receipt; the presence after it succeeds with its own.
    std::shared_ptr<XMPPElementReceipt> messageReceipt;
    stream->sendElement(NSXMLElement::elementWithName(QStringLiteral("message")), &messageReceipt);
    std::shared_ptr<XMPPElementReceipt> presenceReceipt;
    stream->sendElement(NSXMLElement::elementWithName(QStringLiteral("presence")), &presenceReceipt);
    ASSERT_TRUE(messageReceipt && presenceReceipt);
    EXPECT_FALSE(messageReceipt->wait(10));
    EXPECT_TRUE(presenceReceipt->wait(10));
    EXPECT_EQ(first->dropped.load(), 1);
    EXPECT_EQ(second->dropped.load(), 0);
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didSendPresence")));
    // Sent is not yet received: the server's side of the loopback may still be reading.
    ASSERT_TRUE(server.waitForReceived("<presence x-first")) << server.received().toStdString();
    const QByteArray sent = server.received();
    EXPECT_FALSE(sent.contains("<message"));
    EXPECT_TRUE(sent.contains("<presence x-first=\"1\" x-second=\"1\"/>") ||
                sent.contains("<presence x-first='1' x-second='1'/>"))
        << sent.toStdString();
    ASSERT_TRUE(stream->myPresence());
    // The broadcast presence is sent again on request; an injected message reaches the delegates.
    stream->resendMyPresence();
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didSendPresence"), 2));
    ASSERT_TRUE(server.waitForReceived("<presence x-first", 2));
    stream->injectElement(platform::NSXMLElement::elementWithXMLString(
                              QStringLiteral("<message type='chat'><body>injected</body></message>"))
                              .value());
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didReceiveMessage")));
    EXPECT_TRUE(connected.recorder->events().filter(QStringLiteral("didReceiveMessage")).front().contains(
        QStringLiteral("injected")));

    // An IQ request nobody claims gets the 501 error carrying a copy of its child.
    const QByteArray beforeRequest = server.received();
    ASSERT_TRUE(server.send("<iq type='get' id='q1' from='alice@localhost/x'><query xmlns='jabber:iq:version'/></iq>"));
    ASSERT_TRUE(server.waitForReceived("feature-not-implemented"));
    const QByteArray reply = server.received().mid(beforeRequest.size());
    EXPECT_EQ(QString::fromUtf8(reply),
              QStringLiteral("<iq type=\"error\" to=\"alice@localhost/x\" id=\"q1\"><query xmlns=\"jabber:iq:version\"/>"
                             "<error type=\"cancel\" code=\"501\"><feature-not-implemented "
                             "xmlns=\"urn:ietf:params:xml:ns:xmpp-stanzas\"/></error></iq>"));

    // While a sync runs, the server's stanzas are dropped.
    HMSyncController::setIsSynchronizing(true);
    ASSERT_TRUE(server.send("<message type='chat'><body>during</body></message>"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    HMSyncController::setIsSynchronizing(false);
    ASSERT_TRUE(server.send("<message type='chat'><body>after</body></message>"));
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didReceiveMessage"), 2));
    EXPECT_EQ(connected.recorder->countOf(QStringLiteral("didReceiveMessage")), 2);
    EXPECT_TRUE(connected.recorder->events().filter(QStringLiteral("didReceiveMessage")).back().contains(QStringLiteral("after")));

    // A receipt asked for after the stream closed is none; one pending at the close fails.
    stream->disconnect();
    ASSERT_TRUE(connected.recorder->waitFor(QStringLiteral("didDisconnect")));
    std::shared_ptr<XMPPElementReceipt> late;
    stream->sendElement(NSXMLElement::elementWithName(QStringLiteral("presence")), &late);
    EXPECT_FALSE(late);
}

TEST(XMPPStreamTraffic, AnIdleStreamSendsItsWhitespaceAfterTheIntervalOnTheVirtualClock)
{
    ScriptedXmppServer server({{"<stream:stream", ScriptedXmppServer::streamHeader() + features({})}});
    const looptest::VirtualClockGuard clock;
    auto [stream, recorder] = connectTo(server);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didConnect")));
    const qsizetype before = server.received().size();
    const std::uint64_t sentBefore = stream->numberOfBytesSent();
    // Ticks come every quarter interval; nothing goes before the interval has passed idle.
    for (int i = 0; i < 3; ++i)
        platform::VirtualClock::advance(75.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.received().size(), before);
    const int spaces = int(server.received().count(" "));
    platform::VirtualClock::advance(75.0);
    ASSERT_TRUE(server.waitForReceived(" ", spaces + 1, std::chrono::seconds(5)));
    EXPECT_EQ(server.received().mid(before), QByteArray(" "));
    EXPECT_EQ(stream->numberOfBytesSent(), sentBefore + 1);
    // The interval's rules: at least 10 s, 0 switches off, only whitespace characters.
    stream->setKeepAliveInterval(5);
    EXPECT_EQ(stream->keepAliveInterval(), 10.0);
    stream->setKeepAliveWhitespaceCharacter(u'x');
    EXPECT_EQ(stream->keepAliveWhitespaceCharacter(), QChar(u' '));
    stream->setKeepAliveWhitespaceCharacter(u'\t');
    EXPECT_EQ(stream->keepAliveWhitespaceCharacter(), QChar(u'\t'));
    stream->setKeepAliveInterval(0);
    for (int i = 0; i < 8; ++i)
        platform::VirtualClock::advance(75.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.received().mid(before), QByteArray(" "));
    stream->disconnect();
}

TEST(XMPPStreamHostile, MalformedXmlAndAHundredMegabyteStanzaEndTheStreamWithTheParsersError)
{
    {
        ScriptedXmppServer server({{"<stream:stream", ScriptedXmppServer::streamHeader() + features({}) + "<message><</message>"}});
        auto [stream, recorder] = connectTo(server);
        ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect")));
        EXPECT_EQ(recorder->errors().back().domain(), QString::fromLatin1(XMPPParserErrorDomain));
    }
    const qint64 before = residentKilobytes();
    ScriptedXmppServer server({{"<stream:stream", ScriptedXmppServer::streamHeader() + features({}),
                                [](const ScriptedXmppServer::Writer &write) {
                                    const QByteArray chunk(1 << 20, 'a');
                                    if (!write("<message type='chat'><body>"))
                                        return;
                                    for (int i = 0; i < 100 && write(chunk); ++i) {
                                    }
                                }}});
    auto [stream, recorder] = connectTo(server);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect")));
    const platform::PlatformError error = recorder->errors().back();
    EXPECT_EQ(error.domain(), QString::fromLatin1(XMPPParserErrorDomain));
    EXPECT_EQ(error.code(), XMPPParserErrorStanzaTooLarge);
    EXPECT_LT(residentKilobytes() - before, 64 * 1024);
    EXPECT_EQ(recorder->countOf(QStringLiteral("didReceiveMessage")), 0);
}

TEST(XMPPStreamHostile, AServerThatOpensNothingTimesOutAndOneThatClosesEndsTheStream)
{
    ScriptedXmppServer silent(std::vector<Step>{Step{"<stream:stream", {}}});
    auto [stream, recorder] = connectTo(silent);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didDisconnect"), 1, std::chrono::seconds(30)));
    EXPECT_EQ(recorder->errors().back().domain(), QStringLiteral("GCDAsyncSocketErrorDomain"));

    ScriptedXmppServer closing({{"<stream:stream", ScriptedXmppServer::streamHeader() + features({}) + "</stream:stream>"}});
    auto [stream2, recorder2] = connectTo(closing);
    ASSERT_TRUE(recorder2->waitFor(QStringLiteral("didDisconnect")));
    EXPECT_EQ(stream2->state(), XMPPStreamStateDisconnected);
}
