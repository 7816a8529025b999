#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformError.h"
#include "push/XMPP/Core/XMPPParserDelegate.h"
#include "push/XMPP/Core/XMPPTreeConversion.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

typedef struct _xmlParserCtxt xmlParserCtxt;
typedef unsigned char xmlChar;

// The error domain of the parser's failures.
inline constexpr char XMPPParserErrorDomain[] = "libxmlErrorDomain";

// The parser's own failure codes, beside libxml2's codes in the same domain.
enum XMPPParserErrorCode : int {
    XMPPParserErrorOutOfMemory = 1001,
    XMPPParserErrorStanzaTooLarge = 1002,
    XMPPParserErrorTooDeep = 1003,
    XMPPParserErrorDeclarationRefused = 1004,
};

// Turns the bytes of an XMPP stream (one XML document whose root's children are the stanzas) into
// events for its delegate: the root once it is open, each complete child of the root, the end of the
// root, and failures. It runs libxml2's push parser on a serial parser queue, one chunk at a time in
// the order parseData was called, and delivers every event asynchronously on the delegate queue, in
// order. Each stanza is built as an element tree while it is read and handed over once complete, so a
// stream that lives for days holds only the stanza being read and, until the next chunk, the parser's
// references to the last chunk's stanzas (freed on the parser queue, see keepForRelease).
// Outside input is bounded: a stanza larger than maxStanzaBytes, elements nested deeper than
// kMaxDepth, and document type declarations, entity declarations and processing instructions fail the
// parser; text between stanzas (keep-alive white space) is dropped. After a failure, or once the root
// has closed, data is ignored and no event follows. A parser serves one stream opening.
// Created with create(); public operations may be called from any thread.
class XMPPParser final : public std::enable_shared_from_this<XMPPParser>
{
    struct PrivateTag
    {
    };

public:
    static constexpr qsizetype kDefaultMaxStanzaBytes = qsizetype(1) << 20;
    // Element depth counted from the root (1); deeper elements fail the parser.
    static constexpr int kMaxDepth = 128;

    // A parser queue of nullptr means a new serial queue labelled "xmpp.parser". Without a delegate
    // queue no event is delivered.
    static std::shared_ptr<XMPPParser> create(XMPPParserDelegate *delegate,
                                              std::shared_ptr<platform::DispatchQueue> delegateQueue,
                                              std::shared_ptr<platform::DispatchQueue> parserQueue = {});
    XMPPParser(PrivateTag, XMPPParserDelegate *delegate, std::shared_ptr<platform::DispatchQueue> delegateQueue,
               std::shared_ptr<platform::DispatchQueue> parserQueue);
    ~XMPPParser();
    XMPPParser(const XMPPParser &) = delete;
    XMPPParser &operator=(const XMPPParser &) = delete;

    // Run on the parser queue: at once when called there, else queued.
    void setDelegate(XMPPParserDelegate *delegate, std::shared_ptr<platform::DispatchQueue> delegateQueue);
    void parseData(const QByteArray &data);
    // The largest stanza accepted, in bytes of the stream (default 1 MiB). Also bounds the bytes libxml2
    // may hold unparsed, such as an unfinished start tag.
    void setMaxStanzaBytes(qsizetype maxStanzaBytes);

    const std::shared_ptr<platform::DispatchQueue> &parserQueue() const { return m_parserQueue; }

private:
    struct LibxmlCallbacks;

    void onParserQueue(std::function<void(XMPPParser &)> work);
    void parseChunk(const QByteArray &data);
    bool feedSlice(const char *bytes, int length);
    qint64 unparsedBytes() const;
    qint64 bytesHeld() const;
    void markStanzaBoundary();
    bool stopAtStanzaLimit();

    // SAX events, on the parser queue while libxml2 parses.
    void startElement(const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri, int namespaceCount,
                      const xmlChar **namespaces, int attributeCount, const xmlChar **attributes);
    void characters(const xmlChar *text, int length);
    void endElement();
    void refuseDeclaration();

    // Stops libxml2 and keeps the error to report once the chunk returns.
    void stopWithError(int code, const QString &description);
    void fail(const platform::PlatformError &error);

    enum class EventKind { DidReadRoot, DidReadElement, DidEnd, DidFail, DidParseData };
    struct Event
    {
        EventKind kind;
        std::shared_ptr<platform::NSXMLElement> element;
        platform::PlatformError error;

        void deliver(XMPPParserDelegate &delegate, XMPPParser *sender) const;
    };
    // Keeps an event for the delegate; deliverEvents sends those of a chunk once it is parsed.
    void notify(Event event);
    void deliverEvents();
    // Stanzas delivered to the delegate, freed on the parser queue (see keepForRelease).
    void keepForRelease(std::vector<Event> events);
    void takeDelivered();
    void releaseOneDelivered();

    std::atomic<XMPPParserDelegate *> m_delegate;
    std::shared_ptr<platform::DispatchQueue> m_delegateQueue; // parser queue only
    const std::shared_ptr<platform::DispatchQueue> m_parserQueue;

    // Parser queue only.
    xmlParserCtxt *m_context = nullptr;
    int m_depth = 0;
    bool m_hasReportedRoot = false;
    bool m_hasFailed = false;
    bool m_hasEnded = false;
    std::optional<platform::PlatformError> m_pendingError;
    std::vector<Event> m_pendingEvents;
    qsizetype m_maxStanzaBytes = kDefaultMaxStanzaBytes;
    qint64 m_bytesFed = 0;
    qint64 m_stanzaStart = 0;
    XMPPTreeConversion m_conversion;

    std::mutex m_deliveredMutex;
    std::vector<Event> m_delivered; // under m_deliveredMutex
    // Parser queue only: the delivered batch being freed, one stanza at a time, and how far.
    std::vector<Event> m_releasing;
    size_t m_released = 0;
};
