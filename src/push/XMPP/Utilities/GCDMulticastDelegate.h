#pragma once

#include "platform/dispatch/DispatchQueue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

// An operation of a delegate protocol, by its slot: each protocol numbers its operations below 64.
using GCDSelector = std::uint32_t;

// What every delegate reached through a GCDMulticastDelegate is: an object that answers which
// operations of its protocols it implements. The default answer comes from the operations given at
// construction; a delegate may answer otherwise by overriding implements().
class GCDDelegate
{
public:
    GCDDelegate() = default;
    explicit GCDDelegate(std::initializer_list<GCDSelector> implemented);
    virtual ~GCDDelegate();

    virtual bool implements(GCDSelector operation) const;

protected:
    void setImplemented(std::initializer_list<GCDSelector> implemented);

private:
    std::uint64_t m_implemented = 0;
};

// A lock for a few instructions that are almost never contended: a node's pointers are read on every
// forwarded message, and a mutex there costs more than the rest of the read.
class GCDSpinLock final
{
public:
    void lock()
    {
        while (m_flag.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void unlock() { m_flag.clear(std::memory_order_release); }

private:
    std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

// One delegate with its queue. The delegate is held weakly (it reads null once destroyed), or unowned
// for owners that are not shared: such an owner removes itself before it is destroyed. The pointers
// are read under a lock, so enumerators may read a node on another queue while its owner clears it.
class GCDMulticastDelegateNode final
{
public:
    GCDMulticastDelegateNode(const std::weak_ptr<GCDDelegate> &delegate,
                             std::shared_ptr<platform::DispatchQueue> queue);
    GCDMulticastDelegateNode(GCDDelegate *unsafeDelegate, std::shared_ptr<platform::DispatchQueue> queue);
    GCDMulticastDelegateNode(const GCDMulticastDelegateNode &) = delete;
    GCDMulticastDelegateNode &operator=(const GCDMulticastDelegateNode &) = delete;

    std::shared_ptr<GCDDelegate> delegate() const;
    void setDelegate(const std::weak_ptr<GCDDelegate> &delegate);
    GCDDelegate *unsafeDelegate() const;
    void setUnsafeDelegate(GCDDelegate *delegate);
    const std::shared_ptr<platform::DispatchQueue> &delegateQueue() const { return m_delegateQueue; }

    // The delegate the operations use: the weak one, or the unowned one (as a pointer that owns
    // nothing). Null for a dead node.
    std::shared_ptr<GCDDelegate> effectiveDelegate() const;
    // Whether the effective delegate is that very object.
    bool holds(const GCDDelegate *delegate) const;
    void clear();

private:
    mutable GCDSpinLock m_lock;
    std::weak_ptr<GCDDelegate> m_delegate;
    GCDDelegate *m_unsafeDelegate = nullptr;
    const std::shared_ptr<platform::DispatchQueue> m_delegateQueue;
};

using GCDMulticastDelegateNodes = std::vector<std::shared_ptr<GCDMulticastDelegateNode>>;

// A snapshot of a multicast delegate's nodes, stepped by one owner on any queue: later additions and
// removals do not show, a delegate destroyed meanwhile reads as dead and is skipped.
class GCDMulticastDelegateEnumerator final
{
public:
    explicit GCDMulticastDelegateEnumerator(GCDMulticastDelegateNodes delegateNodes);

    std::uint64_t count() const { return m_numNodes; }
    template <typename T> std::uint64_t countOfClass() const;
    std::uint64_t countForSelector(GCDSelector operation) const;

    // The next live node (of the class, or implementing the operation); each place is written only on
    // success and only when given. Every node examined is used up, passing or not.
    bool getNextDelegate(std::shared_ptr<GCDDelegate> *delPtr, std::shared_ptr<platform::DispatchQueue> *dqPtr);
    template <typename T>
    bool getNextDelegateOfClass(std::shared_ptr<T> *delPtr, std::shared_ptr<platform::DispatchQueue> *dqPtr);
    bool getNextDelegate(std::shared_ptr<GCDDelegate> *delPtr, std::shared_ptr<platform::DispatchQueue> *dqPtr,
                         GCDSelector operation);

private:
    bool getNext(const std::function<bool(const GCDDelegate &)> &test, std::shared_ptr<GCDDelegate> *delPtr,
                 std::shared_ptr<platform::DispatchQueue> *dqPtr);

    std::uint64_t m_numNodes;
    std::uint64_t m_currentNodeIndex = 0;
    const GCDMulticastDelegateNodes m_delegateNodes;
};

// One owner reporting to any number of delegates, each on its own queue. A forwarded operation is
// posted, as a copy owning its arguments and holding the delegate, to every delegate that implements
// it; the owner never waits and gets no answer (operations with answers go through the enumerator).
// No lock: every operation runs on the owner's queue. Owned by one owner (not copyable).
class GCDMulticastDelegate final
{
public:
    GCDMulticastDelegate() = default;
    ~GCDMulticastDelegate();
    GCDMulticastDelegate(const GCDMulticastDelegate &) = delete;
    GCDMulticastDelegate &operator=(const GCDMulticastDelegate &) = delete;

    // Held weakly. Nothing when either is null; the same pair added twice gets two nodes.
    void addDelegate(const std::shared_ptr<GCDDelegate> &delegate, std::shared_ptr<platform::DispatchQueue> queue);
    // Held unowned: for owners that are not shared, which remove themselves before they are destroyed.
    void addUnownedDelegate(GCDDelegate *delegate, std::shared_ptr<platform::DispatchQueue> queue);
    // Every node of that very delegate (on that very queue when one is given), last to first.
    void removeDelegate(const GCDDelegate *delegate, const platform::DispatchQueue *queue);
    void removeDelegate(const GCDDelegate *delegate) { removeDelegate(delegate, nullptr); }
    void removeAllDelegates();

    std::uint64_t count() const { return m_delegateNodes.size(); }
    template <typename T> std::uint64_t countOfClass() const;
    std::uint64_t countForSelector(GCDSelector operation) const;
    bool hasDelegateThatRespondsToSelector(GCDSelector operation) const;
    std::unique_ptr<GCDMulticastDelegateEnumerator> delegateEnumerator() const;

    // Posts the call to every delegate that implements the operation, on its queue; then sweeps the
    // dead nodes met. The call gets the delegate; it owns copies of its arguments. A template, so
    // that each post is one queued block holding the delegate and the call.
    template <typename Call> void forward(GCDSelector operation, const Call &call);
    // The same for delegates of protocol D; a delegate that is not a D does not implement it.
    template <typename D, typename Call> void invoke(GCDSelector operation, Call call)
    {
        forward(operation, [call = std::move(call)](GCDDelegate &delegate) {
            if (auto *typed = dynamic_cast<D *>(&delegate))
                call(*typed);
        });
    }

private:
    void sweepDeadNodes();

    GCDMulticastDelegateNodes m_delegateNodes;
};

template <typename Call> void GCDMulticastDelegate::forward(GCDSelector operation, const Call &call)
{
    bool foundNilDelegate = false;
    for (const auto &node : m_delegateNodes) {
        std::shared_ptr<GCDDelegate> delegate = node->effectiveDelegate();
        if (!delegate) {
            foundNilDelegate = true;
            continue;
        }
        if (!delegate->implements(operation))
            continue;
        // The posted copy owns the call's arguments and keeps the delegate alive until it has run.
        node->delegateQueue()->async([delegate = std::move(delegate), call] { call(*delegate); });
    }
    if (foundNilDelegate)
        sweepDeadNodes();
}

template <typename T> std::uint64_t GCDMulticastDelegate::countOfClass() const
{
    return GCDMulticastDelegateEnumerator(m_delegateNodes).countOfClass<T>();
}

template <typename T> std::uint64_t GCDMulticastDelegateEnumerator::countOfClass() const
{
    std::uint64_t result = 0;
    for (const auto &node : m_delegateNodes) {
        if (dynamic_cast<T *>(node->effectiveDelegate().get()) != nullptr)
            ++result;
    }
    return result;
}

template <typename T>
bool GCDMulticastDelegateEnumerator::getNextDelegateOfClass(std::shared_ptr<T> *delPtr,
                                                            std::shared_ptr<platform::DispatchQueue> *dqPtr)
{
    std::shared_ptr<GCDDelegate> found;
    const bool isFound =
        getNext([](const GCDDelegate &d) { return dynamic_cast<const T *>(&d) != nullptr; }, &found, dqPtr);
    if (isFound && delPtr != nullptr)
        *delPtr = std::dynamic_pointer_cast<T>(found);
    return isFound;
}
