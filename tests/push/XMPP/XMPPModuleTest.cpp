// Modules on a stream (activation, the registry, delegates handed to modules by class) and the ID
// tracker's entries and timers.

#include "StreamTestSupport.h"

#include "platform/foundation/ConsoleLog.h"
#include "push/XMPP/Core/XMPPElement.h"
#include "push/XMPP/Core/XMPPIDTracker.h"
#include "push/XMPP/Core/XMPPIQ.h"
#include "push/XMPP/Core/XMPPModule.h"

#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <fcntl.h>
#include <unistd.h>

using platform::DispatchQueue;
using streamtest::StreamRecorder;

namespace {

// A module whose delegates the test can count, on its queue.
class CountingModule : public XMPPModule
{
public:
    std::uint64_t delegateCount()
    {
        std::uint64_t result = 0;
        runOnModuleQueue([&] { result = multicastDelegate().count(); });
        return result;
    }
};

class BaseModule : public CountingModule
{
};

class SubModule final : public BaseModule
{
};

class OtherModule final : public CountingModule
{
};

// A delegate of a module's own protocol.
class ModuleListener final : public GCDDelegate
{
};

void settle(const XMPPStream &stream, const std::vector<std::shared_ptr<XMPPModule>> &modules)
{
    stream.state();
    for (const auto &module : modules)
        module->moduleQueue()->sync([] {});
}

} // namespace

TEST(XMPPModule, ActivatesOnceAndDeactivates)
{
    auto stream = XMPPStream::init();
    auto other = XMPPStream::init();
    auto recorder = std::make_shared<StreamRecorder>();
    stream->addDelegate(recorder, recorder->queue());
    auto module = std::make_shared<BaseModule>();
    EXPECT_EQ(module->moduleQueue()->label(), module->moduleName());
    EXPECT_TRUE(module->moduleName().endsWith(QStringLiteral("BaseModule")));

    EXPECT_TRUE(module->activate(stream));
    EXPECT_FALSE(module->activate(other));
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("didRegisterModule")));

    // The console lines of the stream getter.
    QTemporaryFile log;
    ASSERT_TRUE(log.open());
    const int previous = platform::setConsoleLogDescriptor(log.handle());
    EXPECT_EQ(module->xmppStream(), stream);
    platform::setConsoleLogDescriptor(previous);
    QFile written(log.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray lines = written.readAll();
    EXPECT_TRUE(lines.contains("In XMPP STREAM!\n")) << lines.toStdString();
    EXPECT_TRUE(lines.contains("RETURNING: <XMPPStream: ")) << lines.toStdString();

    std::vector<XMPPModule *> seen;
    stream->enumerateModulesWithBlock([&](XMPPModule *m, std::size_t, bool *) { seen.push_back(m); });
    EXPECT_EQ(seen, std::vector<XMPPModule *>{module.get()});

    module->deactivate();
    module->deactivate();
    EXPECT_EQ(module->xmppStream(), nullptr);
    ASSERT_TRUE(recorder->waitFor(QStringLiteral("willUnregisterModule")));
    seen.clear();
    stream->enumerateModulesWithBlock([&](XMPPModule *m, std::size_t, bool *) { seen.push_back(m); });
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(module->activate(other));
    module->deactivate();
}

TEST(XMPPModule, EnumerationStopsAtTheFlag)
{
    auto stream = XMPPStream::init();
    std::vector<std::shared_ptr<XMPPModule>> modules{std::make_shared<BaseModule>(), std::make_shared<OtherModule>(),
                                                     std::make_shared<SubModule>()};
    for (const auto &module : modules)
        ASSERT_TRUE(module->activate(stream));
    std::vector<std::size_t> indexes;
    stream->enumerateModulesWithBlock([&](XMPPModule *, std::size_t idx, bool *) { indexes.push_back(idx); });
    EXPECT_EQ(indexes, (std::vector<std::size_t>{0, 1, 2}));
    int calls = 0;
    stream->enumerateModulesWithBlock([&](XMPPModule *, std::size_t, bool *stop) {
        ++calls;
        *stop = true;
    });
    EXPECT_EQ(calls, 1);
    stream->enumerateModulesWithBlock({});
    for (const auto &module : modules)
        module->deactivate();
}

TEST(XMPPModule, AutoDelegatesReachRegisteredSubclassesButNotLaterOnes)
{
    auto stream = XMPPStream::init();
    auto queue = DispatchQueue::createSerial(QStringLiteral("auto delegate"));
    auto listener = std::make_shared<ModuleListener>();
    auto base = std::make_shared<BaseModule>();
    auto earlySub = std::make_shared<SubModule>();
    auto unrelated = std::make_shared<OtherModule>();
    ASSERT_TRUE(base->activate(stream));
    ASSERT_TRUE(earlySub->activate(stream));
    ASSERT_TRUE(unrelated->activate(stream));

    stream->autoAddDelegate(listener, queue, XMPPModuleClass::of<BaseModule>());
    auto laterSub = std::make_shared<SubModule>();
    auto laterBase = std::make_shared<BaseModule>();
    ASSERT_TRUE(laterSub->activate(stream));
    ASSERT_TRUE(laterBase->activate(stream));
    settle(*stream, {base, earlySub, unrelated, laterSub, laterBase});
    EXPECT_EQ(base->delegateCount(), 1U);
    EXPECT_EQ(earlySub->delegateCount(), 1U);
    EXPECT_EQ(unrelated->delegateCount(), 0U);
    EXPECT_EQ(laterSub->delegateCount(), 0U);
    EXPECT_EQ(laterBase->delegateCount(), 1U);

    // Unregistering takes the class's auto delegates back from the module.
    laterBase->deactivate();
    settle(*stream, {laterBase});
    EXPECT_EQ(laterBase->delegateCount(), 0U);

    // Removing with a class drops its entry once empty: a later module of the class gets nothing.
    stream->removeAutoDelegate(listener.get(), nullptr, XMPPModuleClass::of<BaseModule>());
    settle(*stream, {base, earlySub});
    EXPECT_EQ(base->delegateCount(), 0U);
    EXPECT_EQ(earlySub->delegateCount(), 0U);
    auto afterRemoval = std::make_shared<BaseModule>();
    ASSERT_TRUE(afterRemoval->activate(stream));
    settle(*stream, {afterRemoval});
    EXPECT_EQ(afterRemoval->delegateCount(), 0U);

    // Without a class the delegate leaves every module; the emptied entry stays, harmlessly.
    stream->autoAddDelegate(listener, queue, XMPPModuleClass::of<OtherModule>());
    settle(*stream, {unrelated});
    EXPECT_EQ(unrelated->delegateCount(), 1U);
    stream->removeAutoDelegate(listener.get(), nullptr, XMPPModuleClass());
    settle(*stream, {unrelated});
    EXPECT_EQ(unrelated->delegateCount(), 0U);
    stream->autoAddDelegate(nullptr, queue, XMPPModuleClass::of<OtherModule>());
    stream->removeAutoDelegate(nullptr, nullptr, XMPPModuleClass());
    for (const auto &module :
         std::vector<std::shared_ptr<XMPPModule>>{base, earlySub, unrelated, laterSub, afterRemoval})
        module->deactivate();
}

TEST(XMPPIDTracker, InvokesRemovesAndTimesOut)
{
    auto queue = DispatchQueue::createSerial(QStringLiteral("tracker"));
    std::unique_ptr<XMPPIDTracker> tracker;
    queue->sync([&] { tracker = std::make_unique<XMPPIDTracker>(queue); });
    std::mutex mutex;
    QStringList calls;
    const auto record = [&](const QString &name) {
        return [&, name](const std::shared_ptr<XMPPElement> &obj, XMPPTrackingInfo *info) {
            const std::lock_guard lock(mutex);
            calls.append(QStringLiteral("%1:%2:%3")
                             .arg(name, info->elementID(), obj ? QStringLiteral("reply") : QStringLiteral("timeout")));
        };
    };
    const std::shared_ptr<XMPPElement> reply = std::make_shared<XMPPIQ>(XMPPIQ::iqWithType(QStringLiteral("result")));

    queue->sync([&] {
        tracker->addID(QStringLiteral("never"), record(QStringLiteral("a")), 0);
        tracker->addID(QStringLiteral("soon"), record(QStringLiteral("b")), 0.05);
        tracker->addID(QStringLiteral("answered"), record(QStringLiteral("c")), 0.05);
        EXPECT_TRUE(tracker->invokeForID(QStringLiteral("answered"), reply));
        EXPECT_FALSE(tracker->invokeForID(QStringLiteral("answered"), reply));
        EXPECT_FALSE(tracker->invokeForID(QStringLiteral("unknown"), reply));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    queue->sync([&] {
        // The timed-out entry stays until removed; the one without a timeout never fired.
        EXPECT_TRUE(tracker->invokeForID(QStringLiteral("soon"), reply));
        tracker->removeID(QStringLiteral("never"));
        EXPECT_FALSE(tracker->invokeForID(QStringLiteral("never"), reply));
    });
    const std::lock_guard lock(mutex);
    EXPECT_EQ(calls, (QStringList{QStringLiteral("c:answered:reply"), QStringLiteral("b:soon:timeout"),
                                  QStringLiteral("b:soon:reply")}));
    queue->sync([&] { tracker.reset(); });
}

TEST(XMPPIDTracker, TargetAndSelectorFormOwnsItsTarget)
{
    struct Target
    {
        void didReceive(const std::shared_ptr<XMPPElement> &obj, XMPPTrackingInfo *info)
        {
            received.append(info->elementID() + (obj ? QStringLiteral("+") : QStringLiteral("-")));
        }
        QStringList received;
    };
    auto queue = DispatchQueue::createSerial(QStringLiteral("tracker target"));
    auto target = std::make_shared<Target>();
    std::weak_ptr<Target> weakTarget = target;
    queue->sync([&] {
        XMPPIDTracker tracker(queue);
        tracker.addID(QStringLiteral("x1"), target, &Target::didReceive, 10);
        tracker.addID(QStringLiteral("x2"), target, &Target::didReceive, 10);
        target.reset();
        EXPECT_FALSE(weakTarget.expired());
        EXPECT_TRUE(tracker.invokeForID(QStringLiteral("x1"), nullptr));
        EXPECT_EQ(weakTarget.lock()->received, QStringList{QStringLiteral("x1-")});
        tracker.removeAllIDs();
    });
    EXPECT_TRUE(weakTarget.expired());
}

TEST(XMPPStreamQueues, CallsFromTheStreamsQueueRunAtOnce)
{
    auto stream = XMPPStream::init();
    auto module = std::make_shared<BaseModule>();
    ASSERT_TRUE(module->activate(stream));
    auto recorder = std::make_shared<StreamRecorder>();
    bool ranOnStreamQueue = false;
    // The block runs on xmppQueue while this thread waits: every getter, setter and removal called
    // there must run at once rather than wait for the queue it already holds.
    stream->enumerateModulesWithBlock([&](XMPPModule *, std::size_t, bool *) {
        ranOnStreamQueue = stream->xmppQueue()->isCurrent();
        stream->setHostName(QStringLiteral("xmpp.example.test"));
        stream->setHostPort(5269);
        EXPECT_EQ(stream->hostName(), QStringLiteral("xmpp.example.test"));
        EXPECT_EQ(stream->hostPort(), 5269);
        stream->addDelegate(recorder, recorder->queue());
        stream->removeDelegate(recorder.get(), recorder->queue().get());
        stream->setDidStartNegotiation(true);
        EXPECT_TRUE(stream->didStartNegotiation());
        stream->setDidStartNegotiation(false);
        EXPECT_EQ(stream->state(), XMPPStreamStateDisconnected);
        EXPECT_EQ(stream->rootElement(), nullptr);
        stream->disconnect();
    });
    EXPECT_TRUE(ranOnStreamQueue);
    EXPECT_EQ(stream->hostPort(), 5269);
    module->deactivate();
}

TEST(XMPPStreamQueues, DefaultsAndLabels)
{
    auto stream = XMPPStream::init();
    EXPECT_EQ(stream->xmppQueue()->label(), QStringLiteral("xmpp"));
    EXPECT_EQ(stream->hostPort(), 5222);
    EXPECT_EQ(stream->keepAliveInterval(), 300.0);
    EXPECT_EQ(stream->keepAliveWhitespaceCharacter(), QChar(u' '));
    stream->setKeepAliveWhitespaceCharacter(QChar(u'x'));
    EXPECT_EQ(stream->keepAliveWhitespaceCharacter(), QChar(u' '));
    stream->setKeepAliveWhitespaceCharacter(QChar(u'\t'));
    EXPECT_EQ(stream->keepAliveWhitespaceCharacter(), QChar(u'\t'));
    stream->setKeepAliveInterval(5);
    EXPECT_EQ(stream->keepAliveInterval(), 10.0);
    stream->setKeepAliveInterval(0);
    EXPECT_EQ(stream->keepAliveInterval(), 0.0);
    EXPECT_FALSE(stream->isP2P());
    EXPECT_FALSE(stream->isP2PInitiator());
    EXPECT_FALSE(stream->isP2PRecipient());
    EXPECT_FALSE(stream->isSecure());
    stream->setIsAuthenticated(true);
    EXPECT_TRUE(stream->isAuthenticated());
    EXPECT_EQ(stream->serverXmppStreamVersionNumber(), 0.0F);
    EXPECT_TRUE(stream->isDisconnected());
    EXPECT_FALSE(stream->isConnected());
    stream->setTag(QStringLiteral("mine"));
    EXPECT_EQ(stream->tag(), QVariant(QStringLiteral("mine")));
    const QString uuid = XMPPStream::generateUUID();
    EXPECT_EQ(uuid.size(), 36);
    EXPECT_NE(uuid, XMPPStream::generateUUID());
    EXPECT_NE(stream->xmppUtilityThread(), std::this_thread::get_id());
    std::atomic<bool> ran{false};
    std::atomic<bool> onUtilityThread{false};
    stream->performOnUtilityThread([&] {
        onUtilityThread = std::this_thread::get_id() == stream->xmppUtilityThread();
        ran = true;
    });
    for (int i = 0; i < 500 && !ran; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(onUtilityThread.load());
}

#ifndef NDEBUG
using XMPPAssertionDeathTest = ::testing::Test;

TEST_F(XMPPAssertionDeathTest, MisuseFailsWithTheAssertionTexts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = DispatchQueue::createSerial(QStringLiteral("tracker death"));
    EXPECT_DEATH(XMPPIDTracker tracker(nullptr), "aQueue != NULL");
    EXPECT_DEATH(
        {
            XMPPIDTracker tracker(queue);
            tracker.removeID(QStringLiteral("x"));
        },
        "Invoked on incorrect queue");
    EXPECT_DEATH(
        {
            auto info = std::make_shared<XMPPBasicTrackingInfo>([](const auto &, auto *) {}, 1);
            info->createTimerWithDispatchQueue(queue);
            info->createTimerWithDispatchQueue(queue);
        },
        "Method invoked multiple times");
    EXPECT_DEATH(XMPPBasicTrackingInfo(XMPPBasicTrackingInfo::Block(), 1), "aBlock");
    EXPECT_DEATH(XMPPStream::init()->didStartNegotiation(), "Invoked on incorrect queue");
}
#endif
