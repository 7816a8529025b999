// Times the XMPP stream parser and address preparation against the libraries under them, in one run:
//   xmpp_bench parser    a 50 MB stream of 100,000 stanzas through XMPPParser (events to a delegate
//                        queue) against libxml2's push parser without callbacks, same 16 KiB chunks
//   xmpp_bench jid       1,000,000 addresses through XMPPJID::jidWithString against stringprep on
//                        the same parts
//   xmpp_bench memory    1,000,000 stanzas through one parser: peak memory after 10,000 and after all
// Each timed pair runs alternately seven times; the medians and their ratio are printed.
// For timing whole processes from outside, one side at a time over the same stream in a file:
//   xmpp_bench write-stream FILE    writes the parser bench's stream to FILE
//   xmpp_bench parse-ours FILE      reads FILE and parses it once with XMPPParser
//   xmpp_bench parse-libxml FILE    reads FILE and parses it once with libxml2 alone
#include "platform/dispatch/DispatchQueue.h"
#include "push/XMPP/Core/XMPPJID.h"
#include "push/XMPP/Core/XMPPParser.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <libxml/parser.h>
#include <stringprep.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>

namespace {

constexpr int kRepetitions = 7;
constexpr qsizetype kChunkBytes = 16 * 1024;

const char kHeader[] = "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                       "xmlns:stream='http://etherx.jabber.org/streams' id='c2s_123' from='push.example.net' "
                       "version='1.0' xml:lang='en'>";

// Stanzas of the kinds a push channel carries, with varied lengths, ids, texts and escapes.
QByteArray stanza(int index, std::mt19937 &random)
{
    const QByteArray id = QByteArray::number(index, 36);
    const QByteArray text = QByteArray(int(random() % 1700), 'a' + char(index % 26)).replace(7, 1, "&amp;");
    switch (index % 4) {
    case 0:
        return "<message from='sync@push.example.net/server' to='user" + QByteArray::number(index % 977) +
               "@push.example.net/Desk' type='chat' id='" + id + "'><body>changed records: " + text +
               "</body><thread>t" + id + "</thread></message>";
    case 1:
        return "<iq type='result' id='" + id + "' from='push.example.net'><query xmlns='jabber:iq:roster'>"
               "<item jid='friend" + QByteArray::number(index % 97) + "@push.example.net' name='Friend &lt;" + id +
               "&gt;' subscription='both'><group>Work</group></item></query></iq>";
    case 2:
        return "<presence from='device" + QByteArray::number(index % 31) +
               "@push.example.net/Phone'><show>away</show><status>" + text.left(120) +
               "</status><priority>5</priority></presence>";
    default:
        return "<message type='headline' id='" + id + "'><event xmlns='http://jabber.org/protocol/pubsub#event'>"
               "<items node='changes'><item id='" + id + "'><entry xmlns='urn:example:sync'><![CDATA[" +
               text.left(300) + "]]></entry></item></items></event></message>";
    }
}

QByteArray makeStream(int stanzas)
{
    std::mt19937 random(20261208);
    QByteArray stream(kHeader);
    stream.reserve(qsizetype(stanzas) * 520);
    for (int index = 0; index < stanzas; ++index)
        stream += stanza(index, random) + (index % 10 == 0 ? " " : "");
    return stream;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The processor time of every thread of the process, user and system.
double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall seconds of the work; its processor seconds are added to the list.
template <typename Work>
double secondsOf(Work work, std::vector<double> &processor)
{
    const double processorStart = processorSeconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    processor.push_back(processorSeconds() - processorStart);
    return wall;
}

void printPair(const char *what, const char *ours, const std::vector<double> &oursSeconds, const char *theirs,
               const std::vector<double> &theirsSeconds)
{
    std::vector<double> ratios;
    for (size_t index = 0; index < oursSeconds.size(); ++index)
        ratios.push_back(oursSeconds[index] / theirsSeconds[index]);
    std::printf("%s: %s median %.3f s, %s median %.3f s, paired ratio median %.2f (min %.2f, max %.2f)\n", what, ours,
                median(oursSeconds), theirs, median(theirsSeconds), median(ratios),
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
}

// Counts events and wakes the bench when a given number of chunks were parsed.
class CountingDelegate final : public XMPPParserDelegate
{
public:
    void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &) override
    {
        ++m_elements;
    }
    void xmppParserDidFail(XMPPParser *, const platform::PlatformError &error) override
    {
        std::fprintf(stderr, "parser failed: %s\n", qPrintable(error.localizedDescription()));
        std::abort();
    }
    // The waiting thread is woken once, when the last chunk is parsed: waking it for every chunk timed
    // the bench's own thread switches (thousands a run, on the parser's processors) rather than the parser.
    void xmppParserDidParseData(XMPPParser *) override
    {
        if (++m_chunks < m_awaitedChunks.load())
            return;
        const std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }
    void waitForChunks(qint64 chunks)
    {
        std::unique_lock lock(m_mutex);
        m_awaitedChunks.store(chunks);
        m_changed.wait(lock, [&] { return m_chunks.load() >= chunks; });
    }
    qint64 elements() const { return m_elements; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<qint64> m_chunks{0};
    // Until the bench says how many chunks it waits for, every chunk wakes it.
    std::atomic<qint64> m_awaitedChunks{0};
    qint64 m_elements = 0; // delegate queue only
};

void parseWithXmppParser(const QByteArray &stream, qint64 expectedElements)
{
    CountingDelegate delegate;
    const auto queue = platform::DispatchQueue::createSerial(QStringLiteral("bench.delegate"));
    const auto parser = XMPPParser::create(&delegate, queue);
    qint64 chunks = 0;
    // The chunks are views of the stream, as libxml2's side reads it in place: copying 50 MB into
    // queued chunks would time the bench's own copies (and their page faults) rather than the parser.
    for (qsizetype offset = 0; offset < stream.size(); offset += kChunkBytes, ++chunks)
        parser->parseData(QByteArray::fromRawData(stream.constData() + offset,
                                                  std::min(kChunkBytes, stream.size() - offset)));
    delegate.waitForChunks(chunks);
    queue->sync([] {});
    if (delegate.elements() != expectedElements) {
        std::fprintf(stderr, "expected %lld stanzas, got %lld\n", expectedElements, delegate.elements());
        std::abort();
    }
}

void parseWithLibxml(const QByteArray &stream)
{
    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr);
    for (qsizetype offset = 0; offset < stream.size(); offset += kChunkBytes) {
        const int length = int(std::min(kChunkBytes, stream.size() - offset));
        if (xmlParseChunk(context, stream.constData() + offset, length, 0) != 0)
            std::abort();
    }
    xmlFreeParserCtxt(context);
}

constexpr int kParserStanzas = 100000;

int benchParser()
{
    constexpr int kStanzas = kParserStanzas;
    const QByteArray stream = makeStream(kStanzas);
    std::printf("stream: %.1f MB, %d stanzas, %lld-byte chunks\n", double(stream.size()) / 1e6, kStanzas,
                qint64(kChunkBytes));
    std::vector<double> ours;
    std::vector<double> theirs;
    std::vector<double> oursProcessor;
    std::vector<double> theirsProcessor;
    for (int run = 0; run < kRepetitions; ++run) {
        ours.push_back(secondsOf([&] { parseWithXmppParser(stream, kStanzas); }, oursProcessor));
        theirs.push_back(secondsOf([&] { parseWithLibxml(stream); }, theirsProcessor));
    }
    printPair("parser, wall", "XMPPParser", ours, "libxml2 push parser without callbacks", theirs);
    printPair("parser, processor", "XMPPParser", oursProcessor, "libxml2 push parser without callbacks",
              theirsProcessor);
    return 0;
}

struct AddressParts
{
    QByteArray user;
    QByteArray domain;
    QByteArray resource;
};

int benchJid()
{
    constexpr int kAddresses = 1000000;
    std::mt19937 random(7);
    const QStringList users = {QStringLiteral("User"), QStringLiteral("jos\u00e9.mart\u00edn"), QStringLiteral("sync"),
                               QStringLiteral("Stra\u00dfe"), QStringLiteral("device")};
    const QStringList domains = {QStringLiteral("push.example.net"), QStringLiteral("Chat.Example.ORG"),
                                 QStringLiteral("b\u00fccher.example")};
    QStringList texts;
    std::vector<AddressParts> parts;
    for (int index = 0; index < kAddresses; ++index) {
        const QString user = users[int(random() % users.size())] + QString::number(index % 5000);
        const QString domain = domains[int(random() % domains.size())];
        const QString resource = QStringLiteral("Desk-") + QString::number(random() % 100);
        texts << user + QLatin1Char('@') + domain + QLatin1Char('/') + resource;
        parts.push_back({user.toUtf8(), domain.toUtf8(), resource.toUtf8()});
    }
    std::vector<double> ours;
    std::vector<double> theirs;
    std::vector<double> processor;
    qint64 made = 0;
    for (int run = 0; run < kRepetitions; ++run) {
        ours.push_back(secondsOf([&] {
            for (const QString &text : texts)
                made += XMPPJID::jidWithString(text) ? 1 : 0;
        }, processor));
        theirs.push_back(secondsOf([&] {
            std::array<char, 1024> buffer;
            for (const AddressParts &address : parts) {
                for (const auto &[part, profile] : {std::pair{&address.user, stringprep_xmpp_nodeprep},
                                                    std::pair{&address.domain, stringprep_nameprep},
                                                    std::pair{&address.resource, stringprep_xmpp_resourceprep}}) {
                    std::memcpy(buffer.data(), part->constData(), size_t(part->size()) + 1);
                    made += stringprep(buffer.data(), buffer.size(), Stringprep_profile_flags(0), profile) == 0;
                }
            }
        }, processor));
    }
    std::printf("addresses: %d per run (%lld preparations passed)\n", kAddresses, made);
    printPair("addresses", "XMPPJID::jidWithString", ours, "stringprep on the same parts", theirs);
    return 0;
}

qint64 peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int benchMemory()
{
    // One malloc arena for every thread, so the figures measure the parser and not which worker
    // threads the queues happened to run on (each thread's arena keeps freed memory of its own).
    mallopt(M_ARENA_MAX, 1);
    constexpr int kStanzas = 1000000;
    constexpr int kPerChunk = 100;
    CountingDelegate delegate;
    const auto queue = platform::DispatchQueue::createSerial(QStringLiteral("bench.delegate"));
    const auto parser = XMPPParser::create(&delegate, queue);
    std::mt19937 random(11);
    parser->parseData(kHeader);
    qint64 chunks = 1;
    qint64 afterFirst = 0;
    for (int first = 0; first < kStanzas; first += kPerChunk) {
        QByteArray chunk;
        for (int index = first; index < first + kPerChunk; ++index)
            chunk += stanza(index, random);
        parser->parseData(chunk);
        delegate.waitForChunks(++chunks);
        if (first + kPerChunk == 10000)
            afterFirst = peakKilobytes();
        if ((first + kPerChunk) % 100000 == 0)
            std::printf("  after %d stanzas: peak %lld kB\n", first + kPerChunk, peakKilobytes());
    }
    queue->sync([] {});
    const qint64 afterAll = peakKilobytes();
    std::printf("memory: peak %lld kB after 10,000 stanzas, %lld kB after %d (%+.1f%%), %lld stanzas delivered\n",
                afterFirst, afterAll, kStanzas, 100.0 * double(afterAll - afterFirst) / double(afterFirst),
                delegate.elements());
    return 0;
}

int writeStream(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(makeStream(kParserStanzas)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

// Parses the stream in FILE once, by one of the two ways.
int parseStreamFile(const QString &path, bool ours)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    const QByteArray stream = file.readAll();
    if (ours)
        parseWithXmppParser(stream, kParserStanzas);
    else
        parseWithLibxml(stream);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (argc > 2 && mode == "write-stream")
        return writeStream(QString::fromLocal8Bit(argv[2]));
    if (argc > 2 && (mode == "parse-ours" || mode == "parse-libxml"))
        return parseStreamFile(QString::fromLocal8Bit(argv[2]), mode == "parse-ours");
    if (mode == "parser")
        return benchParser();
    if (mode == "jid")
        return benchJid();
    if (mode == "memory")
        return benchMemory();
    std::fprintf(stderr, "usage: xmpp_bench parser|jid|memory|write-stream FILE|parse-ours FILE|parse-libxml FILE\n");
    return 2;
}
