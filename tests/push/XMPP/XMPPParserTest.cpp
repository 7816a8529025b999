// The stream parser, fed through a loopback TCP connection at many cut points: every cut must give the
// same events, and hostile streams must end in one clean failure with bounded memory.
#include "LoopbackFeed.h"
#include "ParserRecorder.h"

#include "push/XMPP/Core/XMPPMessage.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include <atomic>
#include <future>
#include <random>

using xmpptest::LoopbackFeed;
using xmpptest::ParserRecorder;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers bring allocators of their own: AddressSanitizer's quarantine holds freed memory, and
// ThreadSanitizer's per-thread caches ignore the arena setting the measurement relies on.
constexpr bool kMeasuresMemory = false;
#else
constexpr bool kMeasuresMemory = true;
#endif

const char kHeader[] = "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                       "xmlns:stream='http://etherx.jabber.org/streams' id='c2s_123' from='push.example.net' "
                       "version='1.0' xml:lang='en'>";

const char kExpectedRoot[] = "root <stream:stream xmlns=\"jabber:client\" "
                             "xmlns:stream=\"http://etherx.jabber.org/streams\" id=\"c2s_123\" "
                             "from=\"push.example.net\" version=\"1.0\" xml:lang=\"en\"/>";

// A stream as a server sends one: features, keep-alive white space between stanzas, references and
// CDATA, a stanza under the root's "stream" prefix, and the root's end.
QByteArray sampleStream()
{
    return QByteArray(kHeader) +
           "\n<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><mechanism>PLAIN</mechanism>"
           "<mechanism>DIGEST-MD5</mechanism></mechanisms></stream:features>\n \n"
           "<message from='a@b/c' to='d@e' type='chat' id='m&amp;1&#x41;'><body>Tom &amp; Jerry &lt;3 &#x263A; "
           "<![CDATA[<raw>]]></body></message>"
           "<message xml:lang='fr' to='d@e' x:note='\xc3\xa9t\xc3\xa9 &lt;&amp;&gt; &#x1D11E;' xmlns:x='urn:x'>"
           "<body>Long text over the sharing limit: \xc3\xa9t\xc3\xa9 \xe2\x98\xba \xf0\x9d\x84\x9e &amp; &#x263A; "
           "&lt;tag&gt; <![CDATA[& <raw> \xc3\xa9]]> and the end.</body></message>"
           "<iq type='result' id='bind_1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'>"
           "<jid>user@push.example.net/Desk</jid></bind></iq> <presence/>\r\n"
           "<stream:error><conflict xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
           "<text xmlns='urn:ietf:params:xml:ns:xmpp-streams' xml:lang='en'>Replaced by new connection</text>"
           "</stream:error></stream:stream>";
}

QStringList sampleEvents()
{
    return {
        QString::fromLatin1(kExpectedRoot),
        QStringLiteral("element <stream:features xmlns:stream=\"http://etherx.jabber.org/streams\">"
                       "<mechanisms xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"><mechanism>PLAIN</mechanism>"
                       "<mechanism>DIGEST-MD5</mechanism></mechanisms></stream:features>"),
        QStringLiteral("element <message xmlns=\"jabber:client\" from=\"a@b/c\" to=\"d@e\" type=\"chat\" "
                       "id=\"m&amp;1A\"><body>Tom &amp; Jerry &lt;3 \u263A &lt;raw&gt;</body></message>"),
        QStringLiteral("element <message xmlns:x=\"urn:x\" xmlns=\"jabber:client\" xml:lang=\"fr\" to=\"d@e\" "
                       "x:note=\"\u00e9t\u00e9 &lt;&amp;&gt; \U0001D11E\"><body>Long text over the sharing limit: "
                       "\u00e9t\u00e9 \u263A \U0001D11E &amp; \u263A &lt;tag&gt; &amp; &lt;raw&gt; \u00e9 and the "
                       "end.</body></message>"),
        QStringLiteral("element <iq xmlns=\"jabber:client\" type=\"result\" id=\"bind_1\">"
                       "<bind xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\"><jid>user@push.example.net/Desk</jid>"
                       "</bind></iq>"),
        QStringLiteral("element <presence xmlns=\"jabber:client\"/>"),
        QStringLiteral("element <stream:error xmlns:stream=\"http://etherx.jabber.org/streams\">"
                       "<conflict xmlns=\"urn:ietf:params:xml:ns:xmpp-streams\"/>"
                       "<text xmlns=\"urn:ietf:params:xml:ns:xmpp-streams\" xml:lang=\"en\">Replaced by new "
                       "connection</text></stream:error>"),
        QStringLiteral("end"),
    };
}

// Feeds the stream through loopback cut at the points, one chunk parsed before the next is sent.
QStringList eventsFor(const QByteArray &stream, const std::vector<qsizetype> &cuts)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    int chunks = 0;
    const bool carried = LoopbackFeed::carry(stream, cuts, [&](const QByteArray &piece) {
        parser->parseData(piece);
        return recorder.waitForChunks(++chunks) && !recorder.hasFailed();
    });
    EXPECT_TRUE(carried);
    if (!recorder.hasFailed()) {
        EXPECT_EQ(recorder.parsedOrFailedCount(), int(cuts.size()) + 1);
    }
    return recorder.eventsWithoutParsed();
}

qint64 statusKilobytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Carries the source's pieces into a parser until it fails; answers the failure line.
QString failureWhileFeeding(const LoopbackFeed::Source &source, ParserRecorder &recorder, XMPPParser &parser)
{
    int chunks = 0;
    LoopbackFeed::carry(source, [&](const QByteArray &piece) {
        parser.parseData(piece);
        if (!recorder.waitForChunks(++chunks))
            return false;
        return !recorder.events().last().startsWith(QLatin1String("fail"));
    });
    const QStringList events = recorder.events();
    return events.isEmpty() ? QString() : events.last();
}

// A source of the header followed by repeats of the piece, up to the total.
LoopbackFeed::Source repeatingSource(const QByteArray &header, const QByteArray &piece, qint64 totalBytes)
{
    auto sent = std::make_shared<qint64>(0);
    return [=]() -> QByteArray {
        if (*sent >= totalBytes)
            return QByteArray();
        const QByteArray next = *sent == 0 ? header : piece;
        *sent += next.size();
        return next;
    };
}

} // namespace

TEST(XMPPParser, GivesTheSameEventsWhereverTheStreamIsCut)
{
    const QByteArray stream = sampleStream();
    const QStringList expected = sampleEvents();
    EXPECT_EQ(eventsFor(stream, {}), expected);
    EXPECT_EQ(eventsFor(stream, LoopbackFeed::everyByte(stream.size())), expected);
    std::mt19937 random(6620261208);
    for (int run = 0; run < 40; ++run) {
        const std::vector<qsizetype> cuts = LoopbackFeed::randomCuts(stream.size(), 2 + run % 12, random);
        QStringList cutText;
        for (const qsizetype cut : cuts)
            cutText << QString::number(cut);
        SCOPED_TRACE(cutText.join(QLatin1Char(',')).toStdString());
        EXPECT_EQ(eventsFor(stream, cuts), expected);
    }
}

// A stanza declares each namespace it uses once, where it comes into use: within the stanza an
// element's declarations hold for its descendants and end with it, and the root's are copied.
TEST(XMPPParser, DeclaresANamespaceWhereItComesIntoScopeInTheStanza)
{
    const QByteArray stream = QByteArray(kHeader) +
                              "<a><stream:b xmlns:stream='urn:other'/><stream:c/><d xmlns:p='urn:p'>"
                              "<p:e p:f='1' xml:lang='en'><p:g/></p:e></d><stream:h/></a>";
    const QString streams = QStringLiteral("xmlns:stream=\"http://etherx.jabber.org/streams\"");
    EXPECT_EQ(eventsFor(stream, {}),
              (QStringList{QString::fromLatin1(kExpectedRoot),
                           QStringLiteral("element <a xmlns=\"jabber:client\"><stream:b xmlns:stream=\"urn:other\"/>"
                                          "<stream:c %1/><d xmlns:p=\"urn:p\"><p:e p:f=\"1\" xml:lang=\"en\"><p:g/>"
                                          "</p:e></d><stream:h %1/></a>")
                               .arg(streams)}));
}

TEST(XMPPParser, ReportsTheRootOnceItsStartTagIsComplete)
{
    const QByteArray header(kHeader);
    const qsizetype inside = header.indexOf("xmlns:stream") + 5;
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    parser->parseData(header.left(inside));
    ASSERT_TRUE(recorder.waitForChunks(1));
    EXPECT_EQ(recorder.events(), QStringList{QStringLiteral("parsed")});
    parser->parseData(header.mid(inside) + "<a/><b xmlns='x'>t</b>");
    ASSERT_TRUE(recorder.waitForChunks(2));
    // Two stanzas of one chunk come in order, then one "parsed".
    EXPECT_EQ(recorder.events(),
              (QStringList{QStringLiteral("parsed"), QString::fromLatin1(kExpectedRoot),
                           QStringLiteral("element <a xmlns=\"jabber:client\"/>"),
                           QStringLiteral("element <b xmlns=\"x\">t</b>"), QStringLiteral("parsed")}));
}

TEST(XMPPParser, DeliversElementsThatAnswerAsStanzasWithoutACopy)
{
    ParserRecorder recorder;
    std::shared_ptr<platform::NSXMLElement> received;
    struct Keeper final : XMPPParserDelegate
    {
        std::shared_ptr<platform::NSXMLElement> *target;
        void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element) override
        {
            *target = element;
        }
    } keeper;
    keeper.target = &received;
    const auto parser = XMPPParser::create(&keeper, recorder.queue());
    parser->parseData(QByteArray(kHeader) + "<message type='chat' from='u@h/r'><body/></message>");
    ASSERT_TRUE(testsupport::waitUntil([&] {
        bool has = false;
        recorder.queue()->sync([&] { has = received != nullptr; });
        return has;
    }));
    const XMPPMessage message = XMPPMessage::messageFromElement(received);
    EXPECT_EQ(message.element().get(), received.get());
    EXPECT_TRUE(message.isChatMessageWithBody());
    EXPECT_EQ(message.from()->full(), QStringLiteral("u@h/r"));
    recorder.queue()->sync([] {});
}

// The parser shares the texts of equal short values between stanzas and frees delivered stanzas on its
// own queue: stanzas the delegate keeps must stay whole while later chunks are parsed, a change to one
// must not reach another that held an equal value, and values that fall in one slot of the parser's
// table must never be mistaken for each other.
TEST(XMPPParser, KeptStanzasStayWholeAndEqualValuesStayApart)
{
    struct Keeper final : XMPPParserDelegate
    {
        std::vector<std::shared_ptr<platform::NSXMLElement>> kept; // delegate queue only
        std::atomic<int> chunks{0};
        void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element) override
        {
            // The first stanza is changed in place; every later one read "chat" from the same text.
            if (kept.empty()) {
                element->attributeForName(QStringLiteral("type"))->setStringValue(QStringLiteral("changed"));
                element->elementsForName(QStringLiteral("body")).front()->setStringValue(QStringLiteral("new"));
            }
            kept.push_back(element);
        }
        void xmppParserDidParseData(XMPPParser *) override { ++chunks; }
    } keeper;
    const auto queue = platform::DispatchQueue::createSerial(QStringLiteral("test.keeper"));
    const auto parser = XMPPParser::create(&keeper, queue);
    // More distinct short values than the table has slots, each coming back, and long texts between.
    const auto to = [](int index) { return QByteArray("u") + QByteArray::number(index % 1500) + "@example.net"; };
    const auto body = [](int index) {
        return index % 7 == 0 ? QByteArray(300 + index % 50, char('a' + index % 26)) : QByteArray::number(index % 90);
    };
    constexpr int kStanzas = 6000;
    constexpr int kPerChunk = 200;
    parser->parseData(kHeader);
    for (int first = 0; first < kStanzas; first += kPerChunk) {
        QByteArray chunk;
        for (int index = first; index < first + kPerChunk; ++index)
            chunk += "<message type='chat' to='" + to(index) + "' id='m" + QByteArray::number(index) + "'><body>" +
                     body(index) + "</body></message>";
        parser->parseData(chunk);
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return keeper.chunks.load() == 1 + kStanzas / kPerChunk; },
                                       std::chrono::seconds(60)));
    queue->sync([&] {
        ASSERT_EQ(keeper.kept.size(), size_t(kStanzas));
        for (int index = 0; index < kStanzas; ++index) {
            const auto &element = *keeper.kept[size_t(index)];
            SCOPED_TRACE(index);
            EXPECT_EQ(element.attributeForName(QStringLiteral("type"))->stringValue(),
                      index == 0 ? QStringLiteral("changed") : QStringLiteral("chat"));
            EXPECT_EQ(element.attributeForName(QStringLiteral("to"))->stringValue(), QString::fromLatin1(to(index)));
            EXPECT_EQ(element.attributeForName(QStringLiteral("id"))->stringValue(),
                      QStringLiteral("m") + QString::number(index));
            EXPECT_EQ(element.stringValue(), index == 0 ? QStringLiteral("new") : QString::fromLatin1(body(index)));
        }
    });
}

namespace {

// Keeps every stanza it is given, on the delegate queue.
struct StanzaKeeper final : XMPPParserDelegate
{
    std::vector<std::shared_ptr<platform::NSXMLElement>> kept; // delegate queue only
    std::atomic<int> chunks{0};
    void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element) override
    {
        kept.push_back(element);
    }
    void xmppParserDidParseData(XMPPParser *) override { ++chunks; }
};

// Stanzas whose values are read as QString::fromUtf8 reads them (a byte order mark opening one left
// out), with texts short and long, now and then one longer than the parser's value buffers take.
struct ValueStanzas
{
    static constexpr int kCount = 3000;
    const QByteArray to = "j\xc3\xb6rg@\xe2\x82\xac.example/\xf0\x9f\x98\x80";
    const QByteArray bom = "\xef\xbb\xbf" "bom";
    static int threadLength(int index) { return index % 100 == 0 ? 5000 : index * 7 % 400; }

    QByteArray stream() const
    {
        QByteArray stream = kHeader;
        for (int index = 0; index < kCount; ++index)
            stream += "<message to='" + to + "' id='" + QByteArray::number(index) + "' type=''><body>" + bom +
                      "</body><thread>" + QByteArray(threadLength(index), 'x') + "</thread></message>";
        return stream;
    }
    // Checks the stanza's values, and that a copy changed in place leaves them as they were.
    void check(platform::NSXMLElement &element, int index) const
    {
        const QString id = *element.attributeValueForName(QStringLiteral("id"));
        ASSERT_EQ(id, QString::number(index));
        EXPECT_EQ(id.utf16()[id.size()], 0);
        EXPECT_EQ(*element.attributeValueForName(QStringLiteral("to")), QString::fromUtf8(to));
        EXPECT_TRUE(element.attributeValueForName(QStringLiteral("type"))->isEmpty());
        EXPECT_EQ(element.elementsForName(QStringLiteral("body")).front()->stringValue(), QString::fromUtf8(bom));
        EXPECT_EQ(element.elementsForName(QStringLiteral("thread")).front()->stringValue(),
                  QString(threadLength(index), QLatin1Char('x')));
        QString changed = id;
        changed.append(QStringLiteral("-changed"));
        changed[0] = QLatin1Char('#');
        EXPECT_EQ(*element.attributeValueForName(QStringLiteral("id")), QString::number(index));
        EXPECT_EQ(*element.attributeValueForName(QStringLiteral("type")), QString());
    }
};

} // namespace

// Values share buffers: each must read as its own text, stay terminated, change alone and outlive
// the parser, its stanza and its neighbours, on whichever thread it is let go.
TEST(XMPPParser, ValuesChangeAloneAndOutliveTheirStanzas)
{
    StanzaKeeper keeper;
    const ValueStanzas stanzas;
    const auto queue = platform::DispatchQueue::createSerial(QStringLiteral("test.values"));
    auto parser = XMPPParser::create(&keeper, queue);
    parser->parseData(stanzas.stream());
    ASSERT_TRUE(testsupport::waitUntil([&] { return keeper.chunks.load() == 1; }, std::chrono::seconds(60)));
    parser.reset();
    std::vector<QString> ids;
    queue->sync([&] {
        ASSERT_EQ(keeper.kept.size(), size_t(ValueStanzas::kCount));
        for (int index = 0; index < ValueStanzas::kCount; ++index) {
            SCOPED_TRACE(index);
            stanzas.check(*keeper.kept[size_t(index)], index);
            ids.push_back(*keeper.kept[size_t(index)]->attributeValueForName(QStringLiteral("id")));
        }
        keeper.kept.clear();
    });
    // Every stanza is gone: the values alone hold their buffers, and each can still grow and change.
    for (int index = 0; index < ValueStanzas::kCount; ++index) {
        QString id = ids[size_t(index)];
        id.prepend(QLatin1Char('<'));
        id.append(QStringLiteral(">"));
        ASSERT_EQ(id, QLatin1Char('<') + QString::number(index) + QLatin1Char('>'));
        ASSERT_EQ(ids[size_t(index)], QString::number(index));
    }
    // The last value left of its buffer is that buffer's only holder, and grows where it lies.
    QString last = std::move(ids.back());
    ids.clear();
    last.prepend(QLatin1Char('<'));
    last.append(QString(5000, QLatin1Char('y')));
    EXPECT_EQ(last, QLatin1Char('<') + QString::number(ValueStanzas::kCount - 1) + QString(5000, QLatin1Char('y')));
}

// Names, prefixes and namespace URIs are kept by the parser in caches with bounds: a stream that keeps
// inventing them runs past every bound, and each stanza must still come out with its own names.
TEST(XMPPParser, StanzasWithEverNewNamesKeepTheirNames)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    constexpr int kStanzas = 6000;
    constexpr int kPerChunk = 500;
    const auto stanza = [](int index) {
        const QByteArray n = QByteArray::number(index);
        return "<n" + n + " xmlns:p" + n + "='urn:x:" + n + "' p" + n + ":a" + n + "='" + n + "' b" + n + "='v'><c" +
               n + ">t" + n + "</c" + n + "></n" + n + ">";
    };
    const auto expected = [](int index) {
        const QString n = QString::number(index);
        return QStringLiteral("element <n%1 xmlns:p%1=\"urn:x:%1\" xmlns=\"jabber:client\" p%1:a%1=\"%1\" b%1=\"v\">"
                              "<c%1>t%1</c%1></n%1>")
            .arg(n);
    };
    parser->parseData(kHeader);
    int chunks = 1;
    for (int first = 0; first < kStanzas; first += kPerChunk) {
        QByteArray chunk;
        for (int index = first; index < first + kPerChunk; ++index)
            chunk += stanza(index);
        parser->parseData(chunk);
        ASSERT_TRUE(recorder.waitForChunks(++chunks));
    }
    const QStringList events = recorder.eventsWithoutParsed();
    ASSERT_EQ(events.size(), 1 + kStanzas);
    for (int index = 0; index < kStanzas; ++index)
        ASSERT_EQ(events[1 + index].toStdString(), expected(index).toStdString()) << index;
}

TEST(XMPPParser, FailsOnceOnMalformedXmlWithLibxmlsCode)
{
    struct Row
    {
        const char *name;
        QByteArray tail;
        QString expectedStart;
    };
    const Row rows[] = {
        {"mismatched end tag", "<message><body></message>", QStringLiteral("fail libxmlErrorDomain 76 ")},
        {"bad attribute", "<message to=x/>", QStringLiteral("fail libxmlErrorDomain 73 ")},
        {"undeclared entity", "<message>&nbsp;</message>", QStringLiteral("fail libxmlErrorDomain 26 ")},
        {"stray byte", QByteArray("<message>\xff</message>"), QStringLiteral("fail libxmlErrorDomain 9 ")},
        {"instruction", "<?evil x?>", QStringLiteral("fail libxmlErrorDomain 1004 ")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ParserRecorder recorder;
        const auto parser = recorder.makeParser();
        parser->parseData(QByteArray(kHeader) + row.tail);
        ASSERT_TRUE(recorder.waitForChunks(1));
        // Nothing follows a failure, whatever comes next.
        parser->parseData("<presence/></stream:stream>");
        recorder.queue()->sync([] {});
        parser->parserQueue()->sync([] {});
        recorder.queue()->sync([] {});
        const QStringList events = recorder.events();
        ASSERT_EQ(events.size(), 2) << events.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(events[1].startsWith(row.expectedStart)) << events[1].toStdString();
        EXPECT_GT(events[1].size(), row.expectedStart.size()); // libxml2's text is kept
    }
}

// A stream in UTF-16 (its byte-order mark) whose next unit is a lone surrogate: libxml2's decoder
// cannot convert it, prints its complaint through its generic error function and halts the parser
// only at the next chunk. The parser must fail at once, after
// the root it read, with libxml2's text, and the server's bytes must provoke nothing on stderr.
TEST(XMPPParser, BytesTheDecoderCannotConvertFailAtOnceAndPrintNothing)
{
    const QByteArray stream("\xff\xfe<\0a\0>\0\x00\xd8\x41\x00", 12);
    fflush(stderr);
    QTemporaryFile captured;
    ASSERT_TRUE(captured.open());
    const int savedStderr = dup(STDERR_FILENO);
    ASSERT_GE(savedStderr, 0);
    ASSERT_GE(dup2(captured.handle(), STDERR_FILENO), 0);
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    parser->parseData(stream);
    const bool answered = recorder.waitForChunks(1, std::chrono::seconds(10));
    fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    ASSERT_TRUE(answered);
    EXPECT_TRUE(captured.readAll().isEmpty());
    const QStringList events = recorder.events();
    ASSERT_EQ(events.size(), 2) << events.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(events[0].toStdString(), "root <a/>");
    const QString failure = QStringLiteral("fail libxmlErrorDomain ");
    EXPECT_TRUE(events[1].startsWith(failure)) << events[1].toStdString();
    EXPECT_GT(events[1].size(), failure.size() + 6); // the code and libxml2's text
}

TEST(XMPPParser, RefusesDocumentTypesSoNoEntityExpands)
{
    const QByteArray laughs = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'>"
                              "<!ENTITY lol2 '&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;'>"
                              "<!ENTITY lol3 '&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;'>"
                              "<!ENTITY lol9 '&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;'>]>"
                              "<stream:stream xmlns:stream='s'><m>&lol9;</m></stream:stream>";
    const std::vector<std::vector<qsizetype>> cutsToTry = {{}, LoopbackFeed::everyByte(laughs.size())};
    for (const auto &cuts : cutsToTry) {
        const QStringList events = eventsFor(laughs, cuts);
        ASSERT_EQ(events.size(), 1);
        EXPECT_TRUE(events[0].startsWith(QLatin1String("fail libxmlErrorDomain 1004 "))) << events[0].toStdString();
    }
}

TEST(XMPPParser, FailsAStanzaOverTheLimitWithMemoryFlat)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    const qint64 before = statusKilobytes("VmRSS:");
    const QByteArray text(64 * 1024, 'x');
    const QString failure = failureWhileFeeding(
        repeatingSource(QByteArray(kHeader) + "<message><body>", text, qint64(100) << 20), recorder, *parser);
    EXPECT_TRUE(failure.startsWith(QLatin1String("fail libxmlErrorDomain 1002 "))) << failure.toStdString();
    if (kMeasuresMemory) {
        EXPECT_LT(statusKilobytes("VmRSS:") - before, 24 * 1024);
    }
    // A start tag that never ends is bounded the same way.
    ParserRecorder tagRecorder;
    const auto tagParser = tagRecorder.makeParser();
    const QString tagFailure = failureWhileFeeding(
        repeatingSource(QByteArray(kHeader) + "<message a='", text, qint64(100) << 20), tagRecorder, *tagParser);
    EXPECT_TRUE(tagFailure.startsWith(QLatin1String("fail libxmlErrorDomain"))) << tagFailure.toStdString();
}

TEST(XMPPParser, TheStanzaLimitIsASetting)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    parser->setMaxStanzaBytes(300);
    parser->parseData(QByteArray(kHeader) + "<message><body>" + QByteArray(100, 'a') + "</body></message>");
    ASSERT_TRUE(recorder.waitForChunks(1));
    parser->parseData("<message><body>" + QByteArray(400, 'a') + "</body></message>");
    ASSERT_TRUE(recorder.waitForChunks(2));
    const QStringList events = recorder.eventsWithoutParsed();
    ASSERT_EQ(events.size(), 3) << events.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(events[1].startsWith(QLatin1String("element <message")));
    EXPECT_TRUE(events[2].startsWith(QLatin1String("fail libxmlErrorDomain 1002 ")));
}

TEST(XMPPParser, FailsDeepNestingCleanly)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    const QString failure =
        failureWhileFeeding(repeatingSource(QByteArray(kHeader), "<a><b><c><d>", 400000), recorder, *parser);
    EXPECT_TRUE(failure.startsWith(QLatin1String("fail libxmlErrorDomain 1003 "))) << failure.toStdString();
    // Just under the limit is accepted.
    ParserRecorder deepRecorder;
    const auto deepParser = deepRecorder.makeParser();
    QByteArray deep = QByteArray(kHeader);
    for (int level = 2; level <= XMPPParser::kMaxDepth; ++level)
        deep += "<e>";
    for (int level = 2; level <= XMPPParser::kMaxDepth; ++level)
        deep += "</e>";
    deepParser->parseData(deep);
    ASSERT_TRUE(deepRecorder.waitForChunks(1));
    EXPECT_EQ(deepRecorder.eventsWithoutParsed().size(), 2);
    EXPECT_EQ(deepRecorder.elementCount(), 1);
}

TEST(XMPPParser, KeepsNoTextBetweenStanzas)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    const qint64 before = statusKilobytes("VmRSS:");
    const QByteArray blanks(64 * 1024, ' ');
    int chunks = 0;
    LoopbackFeed::carry(repeatingSource(QByteArray(kHeader), blanks, qint64(64) << 20), [&](const QByteArray &piece) {
        parser->parseData(piece);
        return recorder.waitForChunks(++chunks);
    });
    parser->parseData("<presence/>");
    ASSERT_TRUE(recorder.waitForChunks(++chunks));
    EXPECT_EQ(recorder.eventsWithoutParsed(),
              (QStringList{QString::fromLatin1(kExpectedRoot),
                           QStringLiteral("element <presence xmlns=\"jabber:client\"/>")}));
    if (kMeasuresMemory) {
        EXPECT_LT(statusKilobytes("VmRSS:") - before, 16 * 1024);
    }
}

TEST(XMPPParser, MemoryStaysFlatOverManyStanzas)
{
    // The bench runs a million; this keeps the test quick. One malloc arena for every thread, so the
    // figures measure the parser and not which worker thread the queues happened to run on.
    mallopt(M_ARENA_MAX, 1);
    constexpr int kStanzas = 200000;
    constexpr int kPerChunk = 500;
    ParserRecorder recorder;
    recorder.setCountsElementsOnly(true);
    const auto parser = recorder.makeParser();
    parser->parseData(kHeader);
    int chunks = 1;
    qint64 peakAfterFirst = 0;
    for (int stanza = 0; stanza < kStanzas; stanza += kPerChunk) {
        QByteArray chunk;
        for (int index = stanza; index < stanza + kPerChunk; ++index)
            chunk += "<message to='user@example.net/r' id='" + QByteArray::number(index) +
                     "' type='chat'><body>Changed record " + QByteArray::number(index * 7919) + "</body></message>";
        parser->parseData(chunk);
        ASSERT_TRUE(recorder.waitForChunks(++chunks));
        if (stanza + kPerChunk == 10000)
            peakAfterFirst = statusKilobytes("VmHWM:");
    }
    EXPECT_EQ(recorder.elementCount(), kStanzas);
    EXPECT_EQ(recorder.events().size(), 1); // the root
    if (kMeasuresMemory) {
        EXPECT_LE(statusKilobytes("VmHWM:"), peakAfterFirst + peakAfterFirst / 10);
    }
}

// Chunks queued behind a busy parser queue: every event arrives, in order, one "parsed" a chunk, and
// none reaches a delegate set after it happened.
TEST(XMPPParser, ChunksQueuedBehindABusyParserKeepEveryEventInOrder)
{
    ParserRecorder recorder;
    ParserRecorder later;
    const auto parserQueue = platform::DispatchQueue::createSerial(QStringLiteral("test.parser"));
    const auto parser = XMPPParser::create(&recorder, recorder.queue(), parserQueue);
    std::promise<void> release;
    parserQueue->async([held = release.get_future().share()] { held.wait(); });
    parser->parseData(kHeader);
    QStringList expected;
    for (int index = 0; index < 40; ++index) {
        parser->parseData("<m id='" + QByteArray::number(index) + "'/><n/>");
        expected << QStringLiteral("element <m xmlns=\"jabber:client\" id=\"%1\"/>").arg(index)
                 << QStringLiteral("element <n xmlns=\"jabber:client\"/>") << QStringLiteral("parsed");
    }
    release.set_value();
    ASSERT_TRUE(recorder.waitForChunks(41));
    const QStringList events = recorder.events();
    ASSERT_EQ(events.size(), 2 + expected.size());
    EXPECT_TRUE(events[0].startsWith(QLatin1String("root <stream:stream")));
    EXPECT_EQ(events[1], QLatin1String("parsed"));
    EXPECT_EQ(events.mid(2), expected);

    // A delegate set while chunks wait gets the events of the chunks after it, and only those.
    std::promise<void> releaseAgain;
    parserQueue->async([held = releaseAgain.get_future().share()] { held.wait(); });
    for (int index = 0; index < 12; ++index)
        parser->parseData("<o/>");
    parser->setDelegate(&later, later.queue());
    parser->parseData("<p/>");
    parser->parseData("<q/>");
    releaseAgain.set_value();
    ASSERT_TRUE(later.waitForChunks(2));
    parserQueue->sync([] {});
    recorder.queue()->sync([] {});
    later.queue()->sync([] {});
    EXPECT_EQ(later.events(), (QStringList{QStringLiteral("element <p xmlns=\"jabber:client\"/>"), QStringLiteral("parsed"),
                                           QStringLiteral("element <q xmlns=\"jabber:client\"/>"), QStringLiteral("parsed")}));
    EXPECT_FALSE(recorder.events().contains(QStringLiteral("element <p xmlns=\"jabber:client\"/>")));
}

TEST(XMPPParser, SendsNothingWithoutADelegateQueueOrAfterTheDelegateIsCleared)
{
    ParserRecorder recorder;
    const auto parser = recorder.makeParser();
    parser->setDelegate(&recorder, nullptr);
    parser->parseData(QByteArray(kHeader) + "<a/>");
    parser->setDelegate(&recorder, recorder.queue());
    parser->parseData("<c/>");
    ASSERT_TRUE(recorder.waitForChunks(1));
    parser->setDelegate(nullptr, recorder.queue());
    parser->parseData("<d/>");
    parser->parserQueue()->sync([] {});
    recorder.queue()->sync([] {});
    EXPECT_EQ(recorder.events(),
              (QStringList{QStringLiteral("element <c xmlns=\"jabber:client\"/>"), QStringLiteral("parsed")}));

    // A failure without a delegate queue is not reported, and the parser stays stopped.
    ParserRecorder failing;
    const auto failed = failing.makeParser();
    failed->setDelegate(&failing, nullptr);
    failed->parseData(QByteArray(kHeader) + "<b></c>");
    failed->setDelegate(&failing, failing.queue());
    failed->parseData("<c/>");
    failed->parserQueue()->sync([] {});
    failing.queue()->sync([] {});
    EXPECT_EQ(failing.events(), QStringList());
}
