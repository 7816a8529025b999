#include "push/XMPP/Core/XMPPStreamDelegate.h"

XMPPStreamDelegate::~XMPPStreamDelegate() = default;

void XMPPStreamDelegate::xmppStreamWillConnect(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamSocketDidConnect(XMPPStream *, GCDAsyncSocket *) {}
void XMPPStreamDelegate::xmppStreamDidStartNegotiation(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamWillSecureWithSettings(XMPPStream *, QVariantMap &) {}
void XMPPStreamDelegate::xmppStreamDidSecure(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamDidConnect(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamDidRegister(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamDidNotRegister(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &) {}
void XMPPStreamDelegate::xmppStreamDidAuthenticate(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamDidNotAuthenticate(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &) {}
QString XMPPStreamDelegate::xmppStreamAlternativeResourceForConflictingResource(XMPPStream *, const QString &)
{
    return QString();
}
std::shared_ptr<XMPPIQ> XMPPStreamDelegate::xmppStreamWillReceiveIQ(XMPPStream *, const std::shared_ptr<XMPPIQ> &iq)
{
    return iq;
}
std::shared_ptr<XMPPMessage>
XMPPStreamDelegate::xmppStreamWillReceiveMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &message)
{
    return message;
}
std::shared_ptr<XMPPPresence>
XMPPStreamDelegate::xmppStreamWillReceivePresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &presence)
{
    return presence;
}
bool XMPPStreamDelegate::xmppStreamDidReceiveIQ(XMPPStream *, const std::shared_ptr<XMPPIQ> &)
{
    return false;
}
void XMPPStreamDelegate::xmppStreamDidReceiveMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &) {}
void XMPPStreamDelegate::xmppStreamDidReceivePresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &) {}
void XMPPStreamDelegate::xmppStreamDidReceiveError(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &) {}
std::shared_ptr<XMPPIQ> XMPPStreamDelegate::xmppStreamWillSendIQ(XMPPStream *, const std::shared_ptr<XMPPIQ> &iq)
{
    return iq;
}
std::shared_ptr<XMPPMessage> XMPPStreamDelegate::xmppStreamWillSendMessage(XMPPStream *,
                                                                           const std::shared_ptr<XMPPMessage> &message)
{
    return message;
}
std::shared_ptr<XMPPPresence>
XMPPStreamDelegate::xmppStreamWillSendPresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &presence)
{
    return presence;
}
void XMPPStreamDelegate::xmppStreamDidSendIQ(XMPPStream *, const std::shared_ptr<XMPPIQ> &) {}
void XMPPStreamDelegate::xmppStreamDidSendMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &) {}
void XMPPStreamDelegate::xmppStreamDidSendPresence(XMPPStream *, const std::shared_ptr<XMPPPresence> &) {}
void XMPPStreamDelegate::xmppStreamWasToldToDisconnect(XMPPStream *) {}
void XMPPStreamDelegate::xmppStreamDidDisconnect(XMPPStream *, const platform::PlatformError &) {}
void XMPPStreamDelegate::xmppStreamDidReceiveP2PFeatures(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &)
{
}
void XMPPStreamDelegate::xmppStreamWillSendP2PFeatures(XMPPStream *, const std::shared_ptr<platform::NSXMLElement> &) {}
void XMPPStreamDelegate::xmppStreamDidRegisterModule(XMPPStream *, XMPPModule *) {}
void XMPPStreamDelegate::xmppStreamWillUnregisterModule(XMPPStream *, XMPPModule *) {}
