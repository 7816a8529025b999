#include "push/XMPP/Utilities/GCDMulticastDelegate.h"

#include "platform/foundation/LockedField.h"

#include <algorithm>
#include <mutex>

using platform::DispatchQueue;

GCDDelegate::GCDDelegate(std::initializer_list<GCDSelector> implemented)
{
    setImplemented(implemented);
}

GCDDelegate::~GCDDelegate() = default;

bool GCDDelegate::implements(GCDSelector operation) const
{
    return operation < 64 && (m_implemented & (std::uint64_t(1) << operation)) != 0;
}

void GCDDelegate::setImplemented(std::initializer_list<GCDSelector> implemented)
{
    m_implemented = 0;
    for (const GCDSelector operation : implemented) {
        if (operation < 64)
            m_implemented |= std::uint64_t(1) << operation;
    }
}

// ---- GCDMulticastDelegateNode ----

GCDMulticastDelegateNode::GCDMulticastDelegateNode(const std::weak_ptr<GCDDelegate> &delegate,
                                                   std::shared_ptr<DispatchQueue> queue)
    : m_delegate(delegate), m_delegateQueue(std::move(queue))
{
}

GCDMulticastDelegateNode::GCDMulticastDelegateNode(GCDDelegate *unsafeDelegate, std::shared_ptr<DispatchQueue> queue)
    : m_unsafeDelegate(unsafeDelegate), m_delegateQueue(std::move(queue))
{
}

std::shared_ptr<GCDDelegate> GCDMulticastDelegateNode::delegate() const
{
    return platform::lockedCopy(m_lock, m_delegate).lock();
}

void GCDMulticastDelegateNode::setDelegate(const std::weak_ptr<GCDDelegate> &delegate)
{
    platform::lockedAssign(m_lock, m_delegate, delegate);
}

GCDDelegate *GCDMulticastDelegateNode::unsafeDelegate() const
{
    return platform::lockedCopy(m_lock, m_unsafeDelegate);
}

void GCDMulticastDelegateNode::setUnsafeDelegate(GCDDelegate *delegate)
{
    platform::lockedAssign(m_lock, m_unsafeDelegate, delegate);
}

std::shared_ptr<GCDDelegate> GCDMulticastDelegateNode::effectiveDelegate() const
{
    const std::lock_guard guard(m_lock);
    if (m_unsafeDelegate != nullptr)
        return std::shared_ptr<GCDDelegate>(std::shared_ptr<GCDDelegate>(), m_unsafeDelegate);
    return m_delegate.lock();
}

bool GCDMulticastDelegateNode::holds(const GCDDelegate *delegate) const
{
    return effectiveDelegate().get() == delegate;
}

void GCDMulticastDelegateNode::clear()
{
    const std::lock_guard guard(m_lock);
    m_delegate.reset();
    m_unsafeDelegate = nullptr;
}

// ---- GCDMulticastDelegateEnumerator ----

GCDMulticastDelegateEnumerator::GCDMulticastDelegateEnumerator(GCDMulticastDelegateNodes delegateNodes)
    : m_numNodes(delegateNodes.size()), m_delegateNodes(std::move(delegateNodes))
{
}

std::uint64_t GCDMulticastDelegateEnumerator::countForSelector(GCDSelector operation) const
{
    std::uint64_t result = 0;
    for (const auto &node : m_delegateNodes) {
        const auto delegate = node->effectiveDelegate();
        if (delegate && delegate->implements(operation))
            ++result;
    }
    return result;
}

bool GCDMulticastDelegateEnumerator::getNextDelegate(std::shared_ptr<GCDDelegate> *delPtr,
                                                     std::shared_ptr<DispatchQueue> *dqPtr)
{
    return getNext([](const GCDDelegate &) { return true; }, delPtr, dqPtr);
}

bool GCDMulticastDelegateEnumerator::getNextDelegate(std::shared_ptr<GCDDelegate> *delPtr,
                                                     std::shared_ptr<DispatchQueue> *dqPtr, GCDSelector operation)
{
    return getNext([operation](const GCDDelegate &d) { return d.implements(operation); }, delPtr, dqPtr);
}

bool GCDMulticastDelegateEnumerator::getNext(const std::function<bool(const GCDDelegate &)> &test,
                                             std::shared_ptr<GCDDelegate> *delPtr,
                                             std::shared_ptr<DispatchQueue> *dqPtr)
{
    while (m_currentNodeIndex < m_numNodes) {
        const auto &node = m_delegateNodes[std::size_t(m_currentNodeIndex)];
        ++m_currentNodeIndex;
        auto delegate = node->effectiveDelegate();
        if (!delegate || !test(*delegate))
            continue;
        if (delPtr != nullptr)
            *delPtr = std::move(delegate);
        if (dqPtr != nullptr)
            *dqPtr = node->delegateQueue();
        return true;
    }
    return false;
}

// ---- GCDMulticastDelegate ----

GCDMulticastDelegate::~GCDMulticastDelegate()
{
    removeAllDelegates();
}

void GCDMulticastDelegate::addDelegate(const std::shared_ptr<GCDDelegate> &delegate,
                                       std::shared_ptr<DispatchQueue> queue)
{
    if (!delegate || !queue)
        return;
    m_delegateNodes.push_back(std::make_shared<GCDMulticastDelegateNode>(delegate, std::move(queue)));
}

void GCDMulticastDelegate::addUnownedDelegate(GCDDelegate *delegate, std::shared_ptr<DispatchQueue> queue)
{
    if (delegate == nullptr || !queue)
        return;
    m_delegateNodes.push_back(std::make_shared<GCDMulticastDelegateNode>(delegate, std::move(queue)));
}

void GCDMulticastDelegate::removeDelegate(const GCDDelegate *delegate, const DispatchQueue *queue)
{
    if (delegate == nullptr)
        return;
    for (std::size_t i = m_delegateNodes.size(); i-- > 0;) {
        const auto &node = m_delegateNodes[i];
        if (!node->holds(delegate) || (queue != nullptr && node->delegateQueue().get() != queue))
            continue;
        node->clear();
        m_delegateNodes.erase(m_delegateNodes.begin() + std::ptrdiff_t(i));
    }
}

void GCDMulticastDelegate::removeAllDelegates()
{
    for (const auto &node : m_delegateNodes)
        node->clear();
    m_delegateNodes.clear();
}

std::uint64_t GCDMulticastDelegate::countForSelector(GCDSelector operation) const
{
    return GCDMulticastDelegateEnumerator(m_delegateNodes).countForSelector(operation);
}

bool GCDMulticastDelegate::hasDelegateThatRespondsToSelector(GCDSelector operation) const
{
    return std::any_of(m_delegateNodes.begin(), m_delegateNodes.end(), [operation](const auto &node) {
        const auto delegate = node->effectiveDelegate();
        return delegate && delegate->implements(operation);
    });
}

std::unique_ptr<GCDMulticastDelegateEnumerator> GCDMulticastDelegate::delegateEnumerator() const
{
    return std::make_unique<GCDMulticastDelegateEnumerator>(m_delegateNodes);
}

void GCDMulticastDelegate::sweepDeadNodes()
{
    std::erase_if(m_delegateNodes, [](const auto &node) { return !node->effectiveDelegate(); });
}
