#include "ParserRecorder.h"

#include "push/XMPP/Utilities/NSXMLElement+XMPP.h"

namespace xmpptest {

ParserRecorder::ParserRecorder()
    : m_queue(platform::DispatchQueue::createSerial(QStringLiteral("test.parser.delegate")))
{
}

ParserRecorder::~ParserRecorder()
{
    // Lets every queued event run before the recorder goes away.
    m_queue->sync([] {});
}

std::shared_ptr<XMPPParser> ParserRecorder::makeParser()
{
    return XMPPParser::create(this, m_queue);
}

QStringList ParserRecorder::events() const
{
    const std::lock_guard lock(m_mutex);
    return m_events;
}

QStringList ParserRecorder::eventsWithoutParsed() const
{
    QStringList events = this->events();
    events.removeAll(QStringLiteral("parsed"));
    return events;
}

int ParserRecorder::parsedOrFailedCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_chunksDone;
}

bool ParserRecorder::hasFailed() const
{
    const std::lock_guard lock(m_mutex);
    return m_hasFailed;
}

qint64 ParserRecorder::elementCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_elements;
}

bool ParserRecorder::waitForChunks(int count, std::chrono::milliseconds deadline) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, deadline, [&] { return m_chunksDone >= count || m_hasFailed; });
}

void ParserRecorder::xmppParserDidReadRoot(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &root)
{
    record(QStringLiteral("root ") + compactXMLString(*root), false);
}

void ParserRecorder::xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element)
{
    if (m_countsElementsOnly) {
        const std::lock_guard lock(m_mutex);
        ++m_elements;
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        ++m_elements;
    }
    record(QStringLiteral("element ") + compactXMLString(*element), false);
}

void ParserRecorder::xmppParserDidEnd(XMPPParser *)
{
    record(QStringLiteral("end"), false);
}

// The failure and its event are recorded together: a waiter that sees the one sees the other.
void ParserRecorder::xmppParserDidFail(XMPPParser *, const platform::PlatformError &error)
{
    record(QStringLiteral("fail %1 %2 %3")
               .arg(error.domain())
               .arg(error.code())
               .arg(error.localizedDescription().trimmed()),
           true, true);
}

void ParserRecorder::xmppParserDidParseData(XMPPParser *)
{
    record(QStringLiteral("parsed"), true);
}

void ParserRecorder::record(const QString &event, bool isChunkDone, bool isFailure)
{
    {
        const std::lock_guard lock(m_mutex);
        m_hasFailed = m_hasFailed || isFailure;
        if (!m_countsElementsOnly || event != QLatin1String("parsed"))
            m_events.push_back(event);
        if (isChunkDone)
            ++m_chunksDone;
    }
    m_changed.notify_all();
}

} // namespace xmpptest
