#pragma once

#include "push/XMPP/Core/XMPPParser.h"

#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace xmpptest {

// A parser delegate that writes every event down as a line of text, in order: "root <xml>",
// "element <xml>" (compact XML), "end", "fail <domain> <code> <description>" and "parsed". Events
// arrive on the delegate queue; the test thread reads them and waits for them.
class ParserRecorder final : public XMPPParserDelegate
{
public:
    ParserRecorder();
    ~ParserRecorder() override;

    const std::shared_ptr<platform::DispatchQueue> &queue() const { return m_queue; }
    // A parser that reports to this recorder.
    std::shared_ptr<XMPPParser> makeParser();

    QStringList events() const;
    // The events without the "parsed" lines, which depend on how the stream was cut.
    QStringList eventsWithoutParsed() const;
    int parsedOrFailedCount() const;
    bool hasFailed() const;
    // Waits until as many chunks as given were parsed or a failure came; false after the deadline.
    bool waitForChunks(int count, std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;
    // Keeps only a count of elements instead of their text (for long streams).
    void setCountsElementsOnly(bool countsOnly) { m_countsElementsOnly = countsOnly; }
    qint64 elementCount() const;

    void xmppParserDidReadRoot(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &root) override;
    void xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &element) override;
    void xmppParserDidEnd(XMPPParser *) override;
    void xmppParserDidFail(XMPPParser *, const platform::PlatformError &error) override;
    void xmppParserDidParseData(XMPPParser *) override;

private:
    void record(const QString &event, bool isChunkDone, bool isFailure = false);

    std::shared_ptr<platform::DispatchQueue> m_queue;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QStringList m_events;
    int m_chunksDone = 0;
    bool m_hasFailed = false;
    qint64 m_elements = 0;
    std::atomic<bool> m_countsElementsOnly{false};
};

} // namespace xmpptest
