// XMPPStream: the registry of extension modules and the delegates handed to modules by class.

#include "push/XMPP/Core/XMPPModule.h"
#include "push/XMPP/Core/XMPPStream+Private.h"

#include <algorithm>

using platform::DispatchQueue;

namespace {

// Gives the module every delegate of the multicast delegate, each with its queue.
void addDelegates(XMPPModule &module, const GCDMulticastDelegate &delegates)
{
    const auto enumerator = delegates.delegateEnumerator();
    std::shared_ptr<GCDDelegate> delegate;
    std::shared_ptr<DispatchQueue> queue;
    while (enumerator->getNextDelegate(&delegate, &queue))
        module.addDelegate(delegate, queue);
}

void removeDelegates(XMPPModule &module, const GCDMulticastDelegate &delegates)
{
    const auto enumerator = delegates.delegateEnumerator();
    std::shared_ptr<GCDDelegate> delegate;
    std::shared_ptr<DispatchQueue> queue;
    while (enumerator->getNextDelegate(&delegate, &queue))
        module.removeDelegate(delegate.get(), queue.get(), false);
}

} // namespace

void XMPPStream::registerModule(const std::shared_ptr<XMPPModule> &module)
{
    if (!module)
        return;
    postOnXmppQueue([module](XMPPStream &stream) {
        stream.m_registeredModules.push_back(module);
        if (const auto entry = stream.m_autoDelegateDict.value(module->moduleName()))
            addDelegates(*module, *entry);
        notifyModule(stream, XMPPStreamDidRegisterModuleOp, module);
    });
}

void XMPPStream::notifyModule(XMPPStream &stream, XMPPStreamDelegateOperation operation,
                              const std::shared_ptr<XMPPModule> &module)
{
    stream.notifyDelegates(operation, [module, operation](XMPPStreamDelegate &d, XMPPStream *s) {
        if (operation == XMPPStreamDidRegisterModuleOp)
            d.xmppStreamDidRegisterModule(s, module.get());
        else
            d.xmppStreamWillUnregisterModule(s, module.get());
    });
}

void XMPPStream::unregisterModule(const std::shared_ptr<XMPPModule> &module)
{
    if (!module)
        return;
    runOnXmppQueue([&] {
        notifyModule(*this, XMPPStreamWillUnregisterModuleOp, module);
        if (const auto entry = m_autoDelegateDict.value(module->moduleName()))
            removeDelegates(*module, *entry);
        std::erase(m_registeredModules, module);
    });
}

void XMPPStream::autoAddDelegate(const std::shared_ptr<GCDDelegate> &delegate,
                                 std::shared_ptr<DispatchQueue> delegateQueue, const XMPPModuleClass &aClass)
{
    if (!delegate || !aClass.isKindOf)
        return;
    postOnXmppQueue([delegate, delegateQueue, aClass](XMPPStream &stream) {
        for (const auto &module : stream.m_registeredModules) {
            if (aClass.isKindOf(*module))
                module->addDelegate(delegate, delegateQueue);
        }
        auto &entry = stream.m_autoDelegateDict[aClass.name];
        if (!entry)
            entry = std::make_shared<GCDMulticastDelegate>();
        entry->addDelegate(delegate, delegateQueue);
    });
}

void XMPPStream::removeAutoDelegate(const GCDDelegate *delegate, const DispatchQueue *delegateQueue,
                                    const XMPPModuleClass &aClass)
{
    if (delegate == nullptr)
        return;
    runOnXmppQueue([&] {
        if (!aClass.isKindOf) {
            for (const auto &module : m_registeredModules)
                module->removeDelegate(delegate, delegateQueue, false);
            for (const auto &entry : std::as_const(m_autoDelegateDict))
                entry->removeDelegate(delegate, delegateQueue);
            return;
        }
        for (const auto &module : m_registeredModules) {
            if (aClass.isKindOf(*module))
                module->removeDelegate(delegate, delegateQueue, false);
        }
        const auto entry = m_autoDelegateDict.value(aClass.name);
        if (!entry)
            return;
        entry->removeDelegate(delegate, delegateQueue);
        if (entry->count() == 0)
            m_autoDelegateDict.remove(aClass.name);
    });
}

void XMPPStream::enumerateModulesWithBlock(
    const std::function<void(XMPPModule *module, std::size_t idx, bool *stop)> &block)
{
    if (!block)
        return;
    runOnXmppQueue([&] {
        // A copy: the block may register or unregister modules.
        const auto modules = m_registeredModules;
        bool stop = false;
        for (std::size_t i = 0; i < modules.size() && !stop; ++i)
            block(modules[i].get(), i, &stop);
    });
}
