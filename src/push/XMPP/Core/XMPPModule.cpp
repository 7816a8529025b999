#include "push/XMPP/Core/XMPPModule.h"

#include "platform/foundation/ConsoleLog.h"
#include "push/Utilities/QueueHops.h"
#include "push/XMPP/Core/XMPPStream.h"

#include <QStringBuilder>

using platform::DispatchQueue;

XMPPModule::XMPPModule(std::shared_ptr<DispatchQueue> queue) : m_moduleQueue(std::move(queue)) {}

XMPPModule::~XMPPModule() = default;

QString XMPPModule::moduleName() const
{
    return xmppClassName(typeid(*this));
}

const std::shared_ptr<DispatchQueue> &XMPPModule::moduleQueue() const
{
    // Made on first use: the class name is known only once the module is fully built.
    std::call_once(m_queueOnce, [this] {
        if (!m_moduleQueue)
            m_moduleQueue = DispatchQueue::createSerial(moduleName());
    });
    return m_moduleQueue;
}

void XMPPModule::runOnModuleQueue(const std::function<void()> &block) const
{
    queuehops::runSync(*moduleQueue(), block);
}

bool XMPPModule::activate(const std::shared_ptr<XMPPStream> &aXmppStream)
{
    bool result = false;
    runOnModuleQueue([&] {
        if (m_xmppStream || !aXmppStream)
            return;
        m_xmppStream = aXmppStream;
        m_xmppStream->addDelegate(std::static_pointer_cast<XMPPStreamDelegate>(shared_from_this()), moduleQueue());
        m_xmppStream->registerModule(shared_from_this());
        result = true;
    });
    return result;
}

void XMPPModule::deactivate()
{
    runOnModuleQueue([this] {
        if (!m_xmppStream)
            return;
        m_xmppStream->removeDelegate(this, moduleQueue().get());
        m_xmppStream->unregisterModule(shared_from_this());
        m_xmppStream.reset();
    });
}

std::shared_ptr<XMPPStream> XMPPModule::xmppStream() const
{
    std::shared_ptr<XMPPStream> result;
    runOnModuleQueue([&] { result = m_xmppStream; });
    platform::consoleLog(QStringLiteral("In XMPP STREAM!"));
    platform::consoleLog(
        QStringLiteral("RETURNING: ") %
        (result ? QStringLiteral("<XMPPStream: %1>").arg(quintptr(result.get()), 0, 16) : QStringLiteral("(null)")));
    return result;
}

void XMPPModule::addDelegate(const std::shared_ptr<GCDDelegate> &delegate, std::shared_ptr<DispatchQueue> delegateQueue)
{
    queuehops::runOrPost<XMPPModule>(*moduleQueue(), *this, [delegate, delegateQueue](XMPPModule &module) {
        module.m_multicastDelegate.addDelegate(delegate, delegateQueue);
    });
}

void XMPPModule::removeDelegate(const GCDDelegate *delegate, const DispatchQueue *delegateQueue, bool synchronously)
{
    if (synchronously) {
        runOnModuleQueue([&] { m_multicastDelegate.removeDelegate(delegate, delegateQueue); });
        return;
    }
    // The queue is compared by identity only, so its address is enough here.
    queuehops::runOrPost<XMPPModule>(*moduleQueue(), *this, [delegate, delegateQueue](XMPPModule &module) {
        module.m_multicastDelegate.removeDelegate(delegate, delegateQueue);
    });
}
