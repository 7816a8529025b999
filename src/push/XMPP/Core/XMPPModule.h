#pragma once

#include "platform/dispatch/DispatchQueue.h"
#include "push/XMPP/Core/XMPPStreamDelegate.h"
#include "push/XMPP/Utilities/GCDMulticastDelegate.h"

#include <QString>

#include <memory>
#include <mutex>

class XMPPStream;

// The base of a stream extension: attaches to one stream at a time, listens to it as a delegate on
// its own serial queue and reports to delegates of its own. Its state and delegates belong to the
// module queue; the operations hop onto it. Shared (std::shared_ptr, made with std::make_shared), as
// the stream holds it weakly as a delegate. While attached it owns its stream, and the stream's
// registry owns it, until deactivate().
class XMPPModule : public XMPPStreamDelegate, public std::enable_shared_from_this<XMPPModule>
{
public:
    // Without a queue the module makes a serial queue labelled with its class name.
    explicit XMPPModule(std::shared_ptr<platform::DispatchQueue> queue = {});
    ~XMPPModule() override;
    XMPPModule(const XMPPModule &) = delete;
    XMPPModule &operator=(const XMPPModule &) = delete;

    // The class name of the module.
    QString moduleName() const;
    const std::shared_ptr<platform::DispatchQueue> &moduleQueue() const;

    // Attaches the module; false (and nothing changes) when it is already attached.
    bool activate(const std::shared_ptr<XMPPStream> &aXmppStream);
    void deactivate();
    // Also writes "In XMPP STREAM!" and "RETURNING: <stream>" to the console.
    std::shared_ptr<XMPPStream> xmppStream() const;

    // Asynchronous; the delegate is held weakly.
    void addDelegate(const std::shared_ptr<GCDDelegate> &delegate,
                     std::shared_ptr<platform::DispatchQueue> delegateQueue);
    // A null queue removes the delegate from every queue.
    void removeDelegate(const GCDDelegate *delegate, const platform::DispatchQueue *delegateQueue, bool synchronously);
    void removeDelegate(const GCDDelegate *delegate, const platform::DispatchQueue *delegateQueue)
    {
        removeDelegate(delegate, delegateQueue, true);
    }
    void removeDelegate(const GCDDelegate *delegate) { removeDelegate(delegate, nullptr, true); }

protected:
    // On the module queue only.
    GCDMulticastDelegate &multicastDelegate() { return m_multicastDelegate; }
    void runOnModuleQueue(const std::function<void()> &block) const;

private:
    mutable std::once_flag m_queueOnce;
    mutable std::shared_ptr<platform::DispatchQueue> m_moduleQueue;
    std::shared_ptr<XMPPStream> m_xmppStream;
    GCDMulticastDelegate m_multicastDelegate;
};
