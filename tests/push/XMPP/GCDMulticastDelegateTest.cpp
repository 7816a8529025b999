// The multicast delegate and the pointer list: delivery on the delegates' own queues, removal, the
// sweep of destroyed delegates, the snapshot enumerator, and the list's operations.

#include "push/XMPP/Utilities/DDList.h"
#include "push/XMPP/Utilities/GCDMulticastDelegate.h"

#include <gtest/gtest.h>

#include <QString>

#include <atomic>
#include <mutex>
#include <vector>

using platform::DispatchQueue;

namespace {

enum : GCDSelector { kPing = 1, kPong = 2 };

class PingDelegate : public GCDDelegate
{
public:
    explicit PingDelegate(std::initializer_list<GCDSelector> implemented = {kPing}) : GCDDelegate(implemented) {}
    ~PingDelegate() override
    {
        if (destroyed != nullptr)
            *destroyed = true;
    }

    void ping(int value, const std::shared_ptr<DispatchQueue> &expectedQueue)
    {
        const std::lock_guard lock(mutex);
        values.push_back(value);
        if (!expectedQueue->isCurrent())
            wrongQueue = true;
    }
    std::vector<int> received() const
    {
        const std::lock_guard lock(mutex);
        return values;
    }

    mutable std::mutex mutex;
    std::vector<int> values;
    bool wrongQueue = false;
    std::atomic<bool> *destroyed = nullptr;
};

class OtherDelegate final : public PingDelegate
{
};

struct Fixture
{
    std::shared_ptr<DispatchQueue> queueA = DispatchQueue::createSerial(QStringLiteral("multicast A"));
    std::shared_ptr<DispatchQueue> queueB = DispatchQueue::createSerial(QStringLiteral("multicast B"));
    GCDMulticastDelegate multicast;

    void ping(int value)
    {
        multicast.forward(kPing, [value](GCDDelegate &d) {
            auto &delegate = dynamic_cast<PingDelegate &>(d);
            const std::lock_guard lock(delegate.mutex);
            delegate.values.push_back(value);
        });
    }
    void drain() const
    {
        queueA->sync([] {});
        queueB->sync([] {});
    }
};

} // namespace

TEST(GCDMulticastDelegate, DelegateAddedTwiceHearsTwiceAndOneRemovalTakesBoth)
{
    Fixture f;
    auto delegate = std::make_shared<PingDelegate>();
    f.multicast.addDelegate(delegate, f.queueA);
    f.multicast.addDelegate(delegate, f.queueA);
    f.multicast.addDelegate(delegate, f.queueB);
    EXPECT_EQ(f.multicast.count(), 3U);
    f.ping(1);
    f.drain();
    EXPECT_EQ(delegate->received(), (std::vector<int>{1, 1, 1}));

    f.multicast.removeDelegate(delegate.get(), f.queueA.get());
    EXPECT_EQ(f.multicast.count(), 1U);
    f.ping(2);
    f.drain();
    EXPECT_EQ(delegate->received().size(), 4U);

    f.multicast.addDelegate(delegate, f.queueA);
    f.multicast.removeDelegate(delegate.get());
    EXPECT_EQ(f.multicast.count(), 0U);
    f.ping(3);
    f.drain();
    EXPECT_EQ(delegate->received().size(), 4U);
}

TEST(GCDMulticastDelegate, CallsRunOnEachDelegatesQueueInOrder)
{
    Fixture f;
    auto onA = std::make_shared<PingDelegate>();
    auto onB = std::make_shared<PingDelegate>();
    f.multicast.addDelegate(onA, f.queueA);
    f.multicast.addDelegate(onB, f.queueB);
    for (int i = 0; i < 100; ++i) {
        f.multicast.invoke<PingDelegate>(
            kPing, [i, a = onA.get(), qa = f.queueA, qb = f.queueB](PingDelegate &d) { d.ping(i, &d == a ? qa : qb); });
    }
    f.drain();
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i)
        expected[std::size_t(i)] = i;
    EXPECT_EQ(onA->received(), expected);
    EXPECT_EQ(onB->received(), expected);
    EXPECT_FALSE(onA->wrongQueue);
    EXPECT_FALSE(onB->wrongQueue);
}

TEST(GCDMulticastDelegate, DestroyedDelegateIsSweptByTheNextMessageAndNeverCalled)
{
    Fixture f;
    std::atomic<bool> destroyed{false};
    auto doomed = std::make_shared<PingDelegate>();
    doomed->destroyed = &destroyed;
    auto survivor = std::make_shared<PingDelegate>();
    f.multicast.addDelegate(doomed, f.queueA);
    f.multicast.addDelegate(survivor, f.queueB);
    doomed.reset();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(f.multicast.count(), 2U);
    EXPECT_EQ(f.multicast.countForSelector(kPing), 1U);
    f.ping(7);
    f.drain();
    EXPECT_EQ(f.multicast.count(), 1U);
    EXPECT_EQ(survivor->received(), std::vector<int>{7});
}

TEST(GCDMulticastDelegate, PostedCallKeepsItsDelegateAliveUntilItRan)
{
    Fixture f;
    std::atomic<bool> destroyed{false};
    auto delegate = std::make_shared<PingDelegate>();
    delegate->destroyed = &destroyed;
    f.multicast.addDelegate(delegate, f.queueA);
    std::mutex gate;
    gate.lock();
    f.queueA->async([&gate] { const std::lock_guard wait(gate); });
    f.ping(1);
    delegate.reset();
    EXPECT_FALSE(destroyed.load());
    gate.unlock();
    f.drain();
    EXPECT_TRUE(destroyed.load());
}

TEST(GCDMulticastDelegate, UnimplementedOrUndeliverableMessagesDoNothing)
{
    Fixture f;
    f.ping(1); // no node at all
    auto delegate = std::make_shared<PingDelegate>();
    f.multicast.addDelegate(delegate, f.queueA);
    bool called = false;
    f.multicast.forward(kPong, [&called](GCDDelegate &) { called = true; });
    f.multicast.addDelegate(nullptr, f.queueA);
    f.multicast.addDelegate(delegate, nullptr);
    f.multicast.removeDelegate(nullptr);
    f.drain();
    EXPECT_FALSE(called);
    EXPECT_EQ(f.multicast.count(), 1U);
    EXPECT_FALSE(f.multicast.hasDelegateThatRespondsToSelector(kPong));
    EXPECT_TRUE(f.multicast.hasDelegateThatRespondsToSelector(kPing));
}

TEST(GCDMulticastDelegate, CountsByClassAndSelector)
{
    Fixture f;
    auto plain = std::make_shared<PingDelegate>();
    auto other = std::make_shared<OtherDelegate>();
    auto both = std::make_shared<PingDelegate>(std::initializer_list<GCDSelector>{kPing, kPong});
    f.multicast.addDelegate(plain, f.queueA);
    f.multicast.addDelegate(other, f.queueA);
    f.multicast.addDelegate(both, f.queueB);
    EXPECT_EQ(f.multicast.countOfClass<PingDelegate>(), 3U);
    EXPECT_EQ(f.multicast.countOfClass<OtherDelegate>(), 1U);
    EXPECT_EQ(f.multicast.countForSelector(kPong), 1U);
    // Only the delegates of a protocol's class are called through invoke.
    std::atomic<int> calls{0};
    f.multicast.invoke<OtherDelegate>(kPing, [&calls](OtherDelegate &) { ++calls; });
    f.drain();
    EXPECT_EQ(calls.load(), 1);
}

TEST(GCDMulticastDelegate, UnownedDelegateIsFoundByIdentity)
{
    Fixture f;
    PingDelegate window;
    f.multicast.addUnownedDelegate(&window, f.queueA);
    f.multicast.addUnownedDelegate(&window, f.queueB);
    f.ping(5);
    f.drain();
    EXPECT_EQ(window.received(), (std::vector<int>{5, 5}));
    f.multicast.removeDelegate(&window, f.queueB.get());
    EXPECT_EQ(f.multicast.count(), 1U);
    f.multicast.removeDelegate(&window);
    EXPECT_EQ(f.multicast.count(), 0U);
}

TEST(GCDMulticastDelegateEnumerator, SnapshotIgnoresAdditionsAndSkipsDestroyedDelegates)
{
    Fixture f;
    auto first = std::make_shared<PingDelegate>();
    auto second = std::make_shared<PingDelegate>(std::initializer_list<GCDSelector>{kPing, kPong});
    auto third = std::make_shared<OtherDelegate>();
    f.multicast.addDelegate(first, f.queueA);
    f.multicast.addDelegate(second, f.queueB);
    f.multicast.addDelegate(third, f.queueA);
    auto enumerator = f.multicast.delegateEnumerator();
    f.multicast.addDelegate(std::make_shared<PingDelegate>(), f.queueA);
    first.reset();
    EXPECT_EQ(enumerator->count(), 3U);

    std::shared_ptr<GCDDelegate> delegate;
    std::shared_ptr<DispatchQueue> queue;
    ASSERT_TRUE(enumerator->getNextDelegate(&delegate, &queue));
    EXPECT_EQ(delegate.get(), second.get());
    EXPECT_EQ(queue, f.queueB);
    ASSERT_TRUE(enumerator->getNextDelegate(&delegate, nullptr));
    EXPECT_EQ(delegate.get(), third.get());
    // Used up: the places stay as they were.
    EXPECT_FALSE(enumerator->getNextDelegate(&delegate, &queue));
    EXPECT_EQ(delegate.get(), third.get());
    EXPECT_EQ(queue, f.queueB);

    auto bySelector = f.multicast.delegateEnumerator();
    ASSERT_TRUE(bySelector->getNextDelegate(&delegate, &queue, kPong));
    EXPECT_EQ(delegate.get(), second.get());
    EXPECT_FALSE(bySelector->getNextDelegate(&delegate, &queue, kPong));

    auto byClass = f.multicast.delegateEnumerator();
    std::shared_ptr<OtherDelegate> other;
    ASSERT_TRUE(byClass->getNextDelegateOfClass<OtherDelegate>(&other, &queue));
    EXPECT_EQ(other, third);
    EXPECT_FALSE(byClass->getNextDelegateOfClass<OtherDelegate>(&other, &queue));
}

TEST(DDList, AddRemoveAndEnumerate)
{
    int a = 1;
    int b = 2;
    int c = 3;
    DDList list;
    list.add(nullptr);
    EXPECT_EQ(list.count(), 0U);
    EXPECT_EQ(list.listEnumerator()->numTotal(), 0U);
    EXPECT_EQ(list.listEnumerator()->nextElement(), nullptr);
    for (void *p : {static_cast<void *>(&a), static_cast<void *>(&b), static_cast<void *>(&a), static_cast<void *>(&c),
                    static_cast<void *>(&a)})
        list.add(p);
    EXPECT_EQ(list.count(), 5U);
    EXPECT_TRUE(list.contains(&c));

    auto before = list.listEnumerator();
    list.remove(&a); // only the oldest
    std::vector<void *> inOrder(list.begin(), list.end());
    EXPECT_EQ(inOrder, (std::vector<void *>{&b, &a, &c, &a}));
    EXPECT_EQ(before->numTotal(), 5U);
    EXPECT_EQ(before->nextElement(), &a);

    list.removeAll(&a);
    inOrder.assign(list.begin(), list.end());
    EXPECT_EQ(inOrder, (std::vector<void *>{&b, &c}));
    list.add(&a);
    auto reverse = list.reverseListEnumerator();
    EXPECT_EQ(reverse->nextElement(), &a);
    EXPECT_EQ(reverse->nextElement(), &c);
    EXPECT_EQ(reverse->numLeft(), 1U);
    EXPECT_EQ(reverse->nextElement(), &b);
    EXPECT_EQ(reverse->nextElement(), nullptr);
    EXPECT_EQ(reverse->numLeft(), 0U);

    list.remove(nullptr);
    list.removeAll(&b);
    inOrder.assign(list.begin(), list.end());
    EXPECT_EQ(inOrder, (std::vector<void *>{&c, &a}));
    list.removeAllElements();
    EXPECT_EQ(list.count(), 0U);
    EXPECT_FALSE(list.contains(&c));
    list.add(&b);
    EXPECT_EQ(list.count(), 1U);
}
