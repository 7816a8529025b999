#pragma once

#include "platform/foundation/PlatformError.h"
#include "push/XMPP/Utilities/GCDMulticastDelegate.h"

#include <QString>
#include <QVariantMap>

#include <memory>

class GCDAsyncSocket;
class XMPPIQ;
class XMPPMessage;
class XMPPModule;
class XMPPPresence;
class XMPPStream;

namespace platform {
class NSXMLElement;
}

// The operations of XMPPStreamDelegate by slot, as a delegate names those it implements.
enum XMPPStreamDelegateOperation : GCDSelector {
    XMPPStreamWillConnectOp = 1,
    XMPPStreamSocketDidConnectOp,
    XMPPStreamDidStartNegotiationOp,
    XMPPStreamWillSecureWithSettingsOp,
    XMPPStreamDidSecureOp,
    XMPPStreamDidConnectOp,
    XMPPStreamDidRegisterOp,
    XMPPStreamDidNotRegisterOp,
    XMPPStreamDidAuthenticateOp,
    XMPPStreamDidNotAuthenticateOp,
    XMPPStreamAlternativeResourceForConflictingResourceOp,
    XMPPStreamWillReceiveIQOp,
    XMPPStreamWillReceiveMessageOp,
    XMPPStreamWillReceivePresenceOp,
    XMPPStreamDidReceiveIQOp,
    XMPPStreamDidReceiveMessageOp,
    XMPPStreamDidReceivePresenceOp,
    XMPPStreamDidReceiveErrorOp,
    XMPPStreamWillSendIQOp,
    XMPPStreamWillSendMessageOp,
    XMPPStreamWillSendPresenceOp,
    XMPPStreamDidSendIQOp,
    XMPPStreamDidSendMessageOp,
    XMPPStreamDidSendPresenceOp,
    XMPPStreamWasToldToDisconnectOp,
    XMPPStreamDidDisconnectOp,
    XMPPStreamDidReceiveP2PFeaturesOp,
    XMPPStreamWillSendP2PFeaturesOp,
    XMPPStreamDidRegisterModuleOp,
    XMPPStreamWillUnregisterModuleOp,
};

// What an XMPPStream tells its delegates, each on the delegate's own queue. Every operation is
// optional: a delegate names those it implements (GCDDelegate), and only those are called. Elements
// are the stream's own objects, not copies. The stream is kept alive until each call has run.
class XMPPStreamDelegate : public GCDDelegate
{
public:
    using GCDDelegate::GCDDelegate;
    ~XMPPStreamDelegate() override;

    virtual void xmppStreamWillConnect(XMPPStream *sender);
    virtual void xmppStreamSocketDidConnect(XMPPStream *sender, GCDAsyncSocket *socket);
    virtual void xmppStreamDidStartNegotiation(XMPPStream *sender);
    virtual void xmppStreamWillSecureWithSettings(XMPPStream *sender, QVariantMap &settings);
    virtual void xmppStreamDidSecure(XMPPStream *sender);
    virtual void xmppStreamDidConnect(XMPPStream *sender);
    virtual void xmppStreamDidRegister(XMPPStream *sender);
    virtual void xmppStreamDidNotRegister(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error);
    virtual void xmppStreamDidAuthenticate(XMPPStream *sender);
    virtual void xmppStreamDidNotAuthenticate(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error);
    virtual QString xmppStreamAlternativeResourceForConflictingResource(XMPPStream *sender,
                                                                        const QString &conflictingResource);
    virtual std::shared_ptr<XMPPIQ> xmppStreamWillReceiveIQ(XMPPStream *sender, const std::shared_ptr<XMPPIQ> &iq);
    virtual std::shared_ptr<XMPPMessage> xmppStreamWillReceiveMessage(XMPPStream *sender,
                                                                      const std::shared_ptr<XMPPMessage> &message);
    virtual std::shared_ptr<XMPPPresence> xmppStreamWillReceivePresence(XMPPStream *sender,
                                                                        const std::shared_ptr<XMPPPresence> &presence);
    virtual bool xmppStreamDidReceiveIQ(XMPPStream *sender, const std::shared_ptr<XMPPIQ> &iq);
    virtual void xmppStreamDidReceiveMessage(XMPPStream *sender, const std::shared_ptr<XMPPMessage> &message);
    virtual void xmppStreamDidReceivePresence(XMPPStream *sender, const std::shared_ptr<XMPPPresence> &presence);
    virtual void xmppStreamDidReceiveError(XMPPStream *sender, const std::shared_ptr<platform::NSXMLElement> &error);
    virtual std::shared_ptr<XMPPIQ> xmppStreamWillSendIQ(XMPPStream *sender, const std::shared_ptr<XMPPIQ> &iq);
    virtual std::shared_ptr<XMPPMessage> xmppStreamWillSendMessage(XMPPStream *sender,
                                                                   const std::shared_ptr<XMPPMessage> &message);
    virtual std::shared_ptr<XMPPPresence> xmppStreamWillSendPresence(XMPPStream *sender,
                                                                     const std::shared_ptr<XMPPPresence> &presence);
    virtual void xmppStreamDidSendIQ(XMPPStream *sender, const std::shared_ptr<XMPPIQ> &iq);
    virtual void xmppStreamDidSendMessage(XMPPStream *sender, const std::shared_ptr<XMPPMessage> &message);
    virtual void xmppStreamDidSendPresence(XMPPStream *sender, const std::shared_ptr<XMPPPresence> &presence);
    virtual void xmppStreamWasToldToDisconnect(XMPPStream *sender);
    virtual void xmppStreamDidDisconnect(XMPPStream *sender, const platform::PlatformError &error);
    virtual void xmppStreamDidReceiveP2PFeatures(XMPPStream *sender,
                                                 const std::shared_ptr<platform::NSXMLElement> &streamFeatures);
    virtual void xmppStreamWillSendP2PFeatures(XMPPStream *sender,
                                               const std::shared_ptr<platform::NSXMLElement> &streamFeatures);
    virtual void xmppStreamDidRegisterModule(XMPPStream *sender, XMPPModule *module);
    virtual void xmppStreamWillUnregisterModule(XMPPStream *sender, XMPPModule *module);
};
