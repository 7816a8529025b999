#pragma once

#include "platform/foundation/NSXMLElement.h"
#include "platform/foundation/PlatformError.h"

#include <memory>

class XMPPParser;

// What an XMPPParser reports. Every operation is optional (empty by default). The parser holds its
// delegate as a non-owning pointer and calls it only on the delegate queue; an owner that goes away
// first clears the delegate (setDelegate(nullptr, ...)) and waits for the parser queue, after which no
// call reaches it. The elements handed over are new and belong to the receiver.
class XMPPParserDelegate
{
public:
    virtual ~XMPPParserDelegate();

    // The root element opened: its name, namespaces and attributes, no children.
    virtual void xmppParserDidReadRoot(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &root);
    // One child of the root is complete.
    virtual void xmppParserDidReadElement(XMPPParser *sender, const std::shared_ptr<platform::NSXMLElement> &element);
    // The root element closed.
    virtual void xmppParserDidEnd(XMPPParser *sender);
    // Parsing failed; no event follows.
    virtual void xmppParserDidFail(XMPPParser *sender, const platform::PlatformError &error);
    // One chunk was parsed without error.
    virtual void xmppParserDidParseData(XMPPParser *sender);
};
