// Feeds arbitrary bytes to the XMPP stream parser, once whole and once cut at points chosen by the
// input's first bytes. Both runs must end cleanly (sanitizers watch memory), report the root at most
// once and first, send nothing after a failure or after the root's end, and, when neither failed,
// report the same events: where a stream is cut must not change what it says.
#include "platform/dispatch/DispatchQueue.h"
#include "push/XMPP/Core/XMPPParser.h"
#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <random>

namespace {

// Runs only on the one queue of a run, so it needs no lock.
class Recorder final : public XMPPParserDelegate
{
public:
    void xmppParserDidReadRoot(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &root) override
    {
        if (!events.isEmpty() || isOver)
            std::abort();
        events << QStringLiteral("root ") + compactXMLString(*root);
    }
    void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element) override
    {
        if (events.isEmpty() || isOver)
            std::abort();
        events << QStringLiteral("element ") + compactXMLString(*element);
    }
    void xmppParserDidEnd(XMPPParser *) override
    {
        if (events.isEmpty() || isOver)
            std::abort();
        events << QStringLiteral("end");
        isOver = true;
    }
    void xmppParserDidFail(XMPPParser *, const platform::PlatformError &error) override
    {
        if (hasFailed || error.domain() != QLatin1String(XMPPParserErrorDomain))
            std::abort();
        hasFailed = true;
        isOver = true;
    }

    QStringList events;
    bool hasFailed = false;
    bool isOver = false;
};

Recorder parse(const QByteArray &stream, const std::vector<qsizetype> &cuts)
{
    Recorder recorder;
    const auto queue = platform::DispatchQueue::createSerial(QStringLiteral("fuzz.xmpp"));
    const auto parser = XMPPParser::create(&recorder, queue, queue);
    parser->setMaxStanzaBytes(4096);
    qsizetype start = 0;
    for (size_t index = 0; index <= cuts.size(); ++index) {
        const qsizetype end = index < cuts.size() ? cuts[index] : stream.size();
        parser->parseData(stream.mid(start, end - start));
        start = end;
    }
    // The parse blocks, then the event blocks they queued, have all run after two round trips.
    queue->sync([] {});
    queue->sync([] {});
    return recorder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    std::seed_seq seed{data[0], data[1]};
    std::mt19937 random(seed);
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    std::vector<qsizetype> cuts;
    if (stream.size() > 1) {
        std::uniform_int_distribution<qsizetype> point(1, stream.size() - 1);
        for (int count = data[0] % 16; count > 0; --count)
            cuts.push_back(point(random));
        std::sort(cuts.begin(), cuts.end());
    }
    const Recorder whole = parse(stream, {});
    const Recorder cut = parse(stream, cuts);
    if (!whole.hasFailed && !cut.hasFailed && whole.events != cut.events)
        std::abort();
    return 0;
}
