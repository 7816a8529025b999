#include "push/XMPP/Core/XMPPParser.h"

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/XmlChunk.h"
#include "push/Utilities/QueueHops.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <iterator>
#include <utility>
#include <vector>

using platform::NSXMLElement;
using platform::NSXMLNode;
using platform::PlatformError;

namespace {

// libxml2 is fed at most this much at a time, so that the limits are checked while a large chunk
// is parsed rather than after all of it sits in libxml2's buffers.
constexpr int kSliceBytes = 64 * 1024;

} // namespace

// The SAX2 callbacks: the user data is the parser.
struct XMPPParser::LibxmlCallbacks
{
    static XMPPParser &of(void *context) { return *static_cast<XMPPParser *>(context); }

    static void start(void *context, const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri,
                      int namespaceCount, const xmlChar **namespaces, int attributeCount, int,
                      const xmlChar **attributes)
    {
        of(context).startElement(localName, prefix, uri, namespaceCount, namespaces, attributeCount, attributes);
    }
    static void end(void *context, const xmlChar *, const xmlChar *, const xmlChar *) { of(context).endElement(); }
    static void characters(void *context, const xmlChar *text, int length) { of(context).characters(text, length); }
    static void declaration(void *context, const xmlChar *, const xmlChar *, const xmlChar *)
    {
        of(context).refuseDeclaration();
    }
    static void entity(void *context, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
    {
        of(context).refuseDeclaration();
    }
    static void instruction(void *context, const xmlChar *, const xmlChar *) { of(context).refuseDeclaration(); }
    // libxml2 keeps the last error in the context; nothing is printed.
    static void error(void *, xmlErrorPtr) {}

    static xmlSAXHandler handler()
    {
        xmlSAXHandler handler{};
        handler.initialized = XML_SAX2_MAGIC;
        handler.startElementNs = start;
        handler.endElementNs = end;
        handler.characters = characters;
        // RFC 6120 forbids these in a stream; refusing them means no entity is ever declared or expanded.
        handler.internalSubset = declaration;
        handler.entityDecl = entity;
        handler.processingInstruction = instruction;
        handler.serror = error;
        return handler;
    }
};

std::shared_ptr<XMPPParser> XMPPParser::create(XMPPParserDelegate *delegate,
                                               std::shared_ptr<platform::DispatchQueue> delegateQueue,
                                               std::shared_ptr<platform::DispatchQueue> parserQueue)
{
    return std::make_shared<XMPPParser>(PrivateTag(), delegate, std::move(delegateQueue), std::move(parserQueue));
}

XMPPParser::XMPPParser(PrivateTag, XMPPParserDelegate *delegate,
                       std::shared_ptr<platform::DispatchQueue> delegateQueue,
                       std::shared_ptr<platform::DispatchQueue> parserQueue)
    : m_delegate(delegate), m_delegateQueue(std::move(delegateQueue)),
      m_parserQueue(parserQueue ? std::move(parserQueue)
                                : platform::DispatchQueue::createSerial(QStringLiteral("xmpp.parser")))
{
    xmlSAXHandler handler = LibxmlCallbacks::handler();
    m_context = platform::createXmlPushParser(handler, this, XML_PARSE_NONET | XML_PARSE_IGNORE_ENC);
    if (m_context == nullptr) {
        m_pendingError = PlatformError::withDescription(QLatin1String(XMPPParserErrorDomain),
                                                        XMPPParserErrorOutOfMemory,
                                                        QStringLiteral("Unable to allocate memory in xmpp parser"));
        return;
    }
    m_context->_private = this;
}

XMPPParser::~XMPPParser()
{
    if (m_context != nullptr)
        xmlFreeParserCtxt(m_context);
}

void XMPPParser::onParserQueue(std::function<void(XMPPParser &)> work)
{
    queuehops::runOrPost(*m_parserQueue, *this, std::move(work));
}

void XMPPParser::setDelegate(XMPPParserDelegate *delegate, std::shared_ptr<platform::DispatchQueue> delegateQueue)
{
    onParserQueue([delegate, delegateQueue = std::move(delegateQueue)](XMPPParser &self) mutable {
        self.m_delegate.store(delegate);
        self.m_delegateQueue = std::move(delegateQueue);
    });
}

void XMPPParser::setMaxStanzaBytes(qsizetype maxStanzaBytes)
{
    onParserQueue([maxStanzaBytes](XMPPParser &self) { self.m_maxStanzaBytes = std::max<qsizetype>(1, maxStanzaBytes); });
}

void XMPPParser::parseData(const QByteArray &data)
{
    onParserQueue([data](XMPPParser &self) {
        self.parseChunk(data);
        self.deliverEvents();
    });
}

void XMPPParser::parseChunk(const QByteArray &data)
{
    takeDelivered();
    if (m_hasFailed || m_hasEnded)
        return;
    if (m_context == nullptr) {
        fail(*m_pendingError);
        return;
    }
    for (qsizetype offset = 0; offset < data.size(); offset += kSliceBytes) {
        const int length = int(std::min<qsizetype>(kSliceBytes, data.size() - offset));
        if (!feedSlice(data.constData() + offset, length))
            return;
        if (m_hasEnded)
            break;
    }
    notify({EventKind::DidParseData});
}

// Feeds one slice; answers false once the parser has failed.
bool XMPPParser::feedSlice(const char *bytes, int length)
{
    m_bytesFed += length;
    const int result = platform::parseXmlChunk(m_context, bytes, length, false);
    // Once the root has closed the stream is over: what follows it is not looked at.
    if (m_hasEnded && !m_pendingError)
        return true;
    if (!m_pendingError && result == 0 && bytesHeld() > m_maxStanzaBytes)
        stopWithError(XMPPParserErrorStanzaTooLarge,
                      QStringLiteral("A stanza exceeds the limit of %1 bytes").arg(m_maxStanzaBytes));
    if (m_pendingError) {
        fail(*m_pendingError);
        return false;
    }
    if (result != 0) {
        // A decoding failure is the thread's error, not the context's.
        const xmlError *error = xmlCtxtGetLastError(m_context);
        if (error == nullptr || error->code == 0)
            error = xmlGetLastError();
        const int code = error != nullptr && error->code != 0 ? error->code : result;
        QVariantMap userInfo;
        if (error != nullptr && error->message != nullptr)
            userInfo.insert(QLatin1String(platform::NSLocalizedDescriptionKey), QString::fromUtf8(error->message));
        fail(PlatformError(QLatin1String(XMPPParserErrorDomain), code, userInfo));
        return false;
    }
    return true;
}

qint64 XMPPParser::unparsedBytes() const
{
    const xmlParserInput *const input = m_context->input;
    return input != nullptr && input->cur != nullptr ? qint64(input->end - input->cur) : 0;
}

// The bytes of the stream held for the stanza being read: what libxml2 has not parsed yet, and what
// it has parsed since the stanza began.
qint64 XMPPParser::bytesHeld() const
{
    const qint64 unparsed = unparsedBytes();
    const qint64 parsedOfStanza = m_depth >= 2 ? (m_bytesFed - unparsed) - m_stanzaStart : 0;
    return unparsed + parsedOfStanza;
}

// Marks where the next stanza begins: after the root's start tag, a stanza, or text between stanzas.
void XMPPParser::markStanzaBoundary()
{
    m_stanzaStart = m_bytesFed - unparsedBytes();
}

// Stops the parser when the stanza being read has grown past the limit; answers whether it did.
bool XMPPParser::stopAtStanzaLimit()
{
    if (m_depth < 2 || (m_bytesFed - unparsedBytes()) - m_stanzaStart <= m_maxStanzaBytes)
        return false;
    stopWithError(XMPPParserErrorStanzaTooLarge,
                  QStringLiteral("A stanza exceeds the limit of %1 bytes").arg(m_maxStanzaBytes));
    return true;
}

void XMPPParser::startElement(const xmlChar *localName, const xmlChar *prefix, const xmlChar *uri,
                              int namespaceCount, const xmlChar **namespaces, int attributeCount,
                              const xmlChar **attributes)
{
    if (m_pendingError)
        return;
    if (m_depth >= kMaxDepth) {
        stopWithError(XMPPParserErrorTooDeep, QStringLiteral("Elements are nested deeper than %1").arg(kMaxDepth));
        return;
    }
    m_conversion.openElement(localName, prefix, uri, namespaceCount, namespaces, attributeCount, attributes);
    const int previousDepth = m_depth++;
    if (previousDepth == 0)
        markStanzaBoundary();
    if (previousDepth == 1)
        releaseOneDelivered();
    if (stopAtStanzaLimit())
        return;
    if (previousDepth == 0 && !m_hasReportedRoot) {
        notify({EventKind::DidReadRoot, m_conversion.root()});
        m_hasReportedRoot = true;
    }
}

void XMPPParser::characters(const xmlChar *text, int length)
{
    // Text between stanzas is keep-alive white space; keeping it would let a server fill the memory.
    if (m_pendingError || m_depth == 0)
        return;
    if (m_depth < 2) {
        markStanzaBoundary();
        return;
    }
    if (stopAtStanzaLimit())
        return;
    m_conversion.addText(text, length);
}

void XMPPParser::endElement()
{
    if (m_pendingError || m_depth == 0)
        return;
    std::shared_ptr<NSXMLElement> element = m_conversion.closeElement();
    const int previousDepth = m_depth--;
    if (previousDepth == 1) {
        m_hasEnded = true;
        notify({EventKind::DidEnd});
        return;
    }
    if (previousDepth != 2)
        return;
    // Checked with the stanza's own depth still counted, then the next stanza starts here.
    ++m_depth;
    const bool isTooLarge = stopAtStanzaLimit();
    --m_depth;
    markStanzaBoundary();
    if (isTooLarge)
        return;
    notify({EventKind::DidReadElement, std::move(element)});
}

void XMPPParser::refuseDeclaration()
{
    stopWithError(XMPPParserErrorDeclarationRefused,
                  QStringLiteral("Document type declarations, entity declarations and processing instructions "
                                 "are not allowed in a stream"));
}

void XMPPParser::stopWithError(int code, const QString &description)
{
    if (!m_pendingError)
        m_pendingError = PlatformError::withDescription(QLatin1String(XMPPParserErrorDomain), code, description);
    xmlStopParser(m_context);
}

void XMPPParser::fail(const PlatformError &error)
{
    m_hasFailed = true;
    notify({EventKind::DidFail, nullptr, error});
}

void XMPPParser::notify(Event event)
{
    if (m_delegate.load() == nullptr || !m_delegateQueue)
        return;
    m_pendingEvents.push_back(std::move(event));
}

void XMPPParser::Event::deliver(XMPPParserDelegate &delegate, XMPPParser *sender) const
{
    switch (kind) {
    case EventKind::DidReadRoot: delegate.xmppParserDidReadRoot(sender, element); break;
    case EventKind::DidReadElement: delegate.xmppParserDidReadElement(sender, element); break;
    case EventKind::DidEnd: delegate.xmppParserDidEnd(sender); break;
    case EventKind::DidFail: delegate.xmppParserDidFail(sender, error); break;
    case EventKind::DidParseData: delegate.xmppParserDidParseData(sender); break;
    }
}

// Hands the events of a chunk to the delegate queue in one block: they still arrive one call at a
// time and in order, but a stream of small stanzas does not wake the delegate queue once per stanza.
void XMPPParser::deliverEvents()
{
    XMPPParserDelegate *const delegate = m_delegate.load();
    if (m_pendingEvents.empty() || delegate == nullptr || !m_delegateQueue) {
        m_pendingEvents.clear();
        return;
    }
    // The next chunk most likely brings as many events: room for them is made once.
    const size_t eventCount = m_pendingEvents.size();
    // The delegate is checked again before each call: an owner that cleared it before going away must
    // not be called afterwards.
    m_delegateQueue->async([self = shared_from_this(), delegate, events = std::move(m_pendingEvents)]() mutable {
        for (const Event &event : events) {
            if (self->m_delegate.load() != delegate)
                break;
            event.deliver(*delegate, self.get());
        }
        self->keepForRelease(std::move(events));
    });
    m_pendingEvents.clear();
    m_pendingEvents.reserve(eventCount);
}

// The stanzas the delegate did not keep are freed on the parser queue, which made them: freeing them
// on the delegate's thread made the two threads take turns on the parser thread's malloc arena lock
// for every node, which cost more than the parsing itself under a steady stream. They are freed one
// as each new stanza begins, so that its nodes reuse the memory just freed through the allocator's
// per-thread cache; what is left of a batch when the next one arrives is freed at once, so at most
// about one chunk's stanzas wait.
void XMPPParser::keepForRelease(std::vector<Event> events)
{
    const std::lock_guard lock(m_deliveredMutex);
    std::move(events.begin(), events.end(), std::back_inserter(m_delivered));
}

void XMPPParser::takeDelivered()
{
    std::vector<Event> earlier;
    const std::lock_guard lock(m_deliveredMutex);
    if (m_delivered.empty())
        return;
    earlier.swap(m_releasing);
    m_releasing.swap(m_delivered);
    m_released = 0;
}

void XMPPParser::releaseOneDelivered()
{
    if (m_released < m_releasing.size())
        m_releasing[m_released++].element.reset();
}
