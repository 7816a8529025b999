#include "push/XMPP/Core/XMPPParserDelegate.h"

XMPPParserDelegate::~XMPPParserDelegate() = default;

void XMPPParserDelegate::xmppParserDidReadRoot(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &) {}

void XMPPParserDelegate::xmppParserDidReadElement(XMPPParser *, const std::shared_ptr<platform::NSXMLElement> &) {}

void XMPPParserDelegate::xmppParserDidEnd(XMPPParser *) {}

void XMPPParserDelegate::xmppParserDidFail(XMPPParser *, const platform::PlatformError &) {}

void XMPPParserDelegate::xmppParserDidParseData(XMPPParser *) {}
