#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/DistributedNotificationCenter.h"

#include <QDateTime>
#include <QUrl>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;

TEST(NotificationCenter, DeliversByNameAndSenderSynchronouslyUntilTheTokenGoes)
{
    NotificationCenter center;
    const int syncController = 0;
    const int otherSender = 0;
    QStringList received;

    ObserverToken anySender =
        center.addObserver(QStringLiteral("kHMCleanUpAfterSync"), nullptr, [&](const Notification &notification) {
            received.append(QStringLiteral("any:") + notification.userInfo.value(QStringLiteral("run")).toString());
        });
    ObserverToken oneSender = center.addObserver(QStringLiteral("kHMCleanUpAfterSync"), &syncController,
                                                 [&](const Notification &notification) {
                                                     EXPECT_EQ(notification.object, &syncController);
                                                     received.append(QStringLiteral("controller"));
                                                 });
    ObserverToken everything = center.addObserver(QString(), nullptr, [&](const Notification &notification) {
        received.append(QStringLiteral("all:") + notification.name);
    });

    center.postNotificationName(QStringLiteral("kHMCleanUpAfterSync"), &syncController, {{QStringLiteral("run"), 1}});
    // Delivered before the post returns, in registration order.
    EXPECT_EQ(received, QStringList({QStringLiteral("any:1"), QStringLiteral("controller"),
                                     QStringLiteral("all:kHMCleanUpAfterSync")}));

    received.clear();
    center.postNotificationName(QStringLiteral("kHMCleanUpAfterSync"), &otherSender, {{QStringLiteral("run"), 2}});
    center.postNotificationName(QStringLiteral("kSynchronizationDidFinish"));
    EXPECT_EQ(received, QStringList({QStringLiteral("any:2"), QStringLiteral("all:kHMCleanUpAfterSync"),
                                     QStringLiteral("all:kSynchronizationDidFinish")}));

    received.clear();
    anySender.reset();
    {
        ObserverToken moved = std::move(oneSender);
    }
    EXPECT_FALSE(oneSender.isActive());
    center.postNotificationName(QStringLiteral("kHMCleanUpAfterSync"), &syncController);
    EXPECT_EQ(received, QStringList({QStringLiteral("all:kHMCleanUpAfterSync")}));
}

TEST(NotificationCenter, ObserversMayRemoveThemselvesAndOthersWhileBeingCalled)
{
    NotificationCenter center;
    const QString name = QStringLiteral("kSynchronizationDidFinish");
    QStringList calls;
    std::optional<ObserverToken> first;
    std::optional<ObserverToken> second;
    std::optional<ObserverToken> third;
    std::optional<ObserverToken> late;

    first = center.addObserver(name, nullptr, [&](const Notification &) {
        calls.append(QStringLiteral("first"));
        first.reset(); // itself: its handler (this lambda) must survive until it returns
        third.reset(); // a later one: it must not be called in this post
        calls.append(QStringLiteral("first still running"));
    });
    second = center.addObserver(name, nullptr, [&](const Notification &) {
        calls.append(QStringLiteral("second"));
        // Registering during delivery takes effect from the next post on.
        if (!late)
            late =
                center.addObserver(name, nullptr, [&](const Notification &) { calls.append(QStringLiteral("late")); });
    });
    third = center.addObserver(name, nullptr, [&](const Notification &) { calls.append(QStringLiteral("third")); });

    center.postNotificationName(name);
    EXPECT_EQ(calls,
              QStringList({QStringLiteral("first"), QStringLiteral("first still running"), QStringLiteral("second")}));
    calls.clear();
    center.postNotificationName(name);
    EXPECT_EQ(calls, QStringList({QStringLiteral("second"), QStringLiteral("late")}));
}

TEST(NotificationCenter, TokensOutlivingTheirCentreAreHarmless)
{
    ObserverToken token;
    {
        NotificationCenter center;
        token = center.addObserver(QStringLiteral("x"), nullptr, [](const Notification &) {});
        EXPECT_TRUE(token.isActive());
    }
    token.reset();
    EXPECT_FALSE(token.isActive());
}

TEST(NotificationCenter, PostsFromSeveralThreadsWhileObserversComeAndGo)
{
    NotificationCenter center;
    const QString name = QStringLiteral("kHMCleanUpAfterSync");
    std::atomic<int> delivered{0};
    const ObserverToken counter = center.addObserver(name, nullptr, [&](const Notification &notification) {
        delivered += notification.userInfo.value(QStringLiteral("weight")).toInt();
    });

    constexpr int kThreads = 4;
    constexpr int kPostsPerThread = 2000;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&center, &name] {
            for (int post = 0; post < kPostsPerThread; ++post)
                center.postNotificationName(name, nullptr, {{QStringLiteral("weight"), 1}});
        });
    }
    // Meanwhile observers register and unregister on another thread.
    threads.emplace_back([&center, &name] {
        for (int round = 0; round < kPostsPerThread; ++round) {
            ObserverToken transient = center.addObserver(name, nullptr, [](const Notification &) {});
        }
    });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(delivered.load(), kThreads * kPostsPerThread);
}

TEST(DistributedNotificationCenter, BroadcastsNameTextObjectAndPropertyListUserInfo)
{
    DistributedNotificationCenter center;
    std::vector<DistributedNotification> started;
    std::vector<DistributedNotification> finished;
    const ObserverToken startObserver =
        center.addObserver(QStringLiteral("HMSyncDidStartNotification"), QString(),
                           [&](const DistributedNotification &notification) { started.push_back(notification); });
    const ObserverToken finishObserver =
        center.addObserver(QStringLiteral("HMSyncDidFinishNotification"), QStringLiteral("HMSyncDidFinishNotification"),
                           [&](const DistributedNotification &notification) { finished.push_back(notification); });

    ASSERT_TRUE(center.postNotificationName(QStringLiteral("HMSyncDidStartNotification")).ok());
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(started.front().object.isEmpty());

    const QVariantMap userInfo{{QStringLiteral("HMSyncDidFinishErrorCode"), qint64(3)},
                               {QStringLiteral("HMSyncDidFinishErrorDescription"), QStringLiteral("timed out")},
                               {QStringLiteral("when"), QDateTime::fromSecsSinceEpoch(0, Qt::UTC)},
                               {QStringLiteral("conduits"), QVariantList{QVariantMap{{QStringLiteral("id"), 1}}}}};
    ASSERT_TRUE(center
                    .postNotificationName(QStringLiteral("HMSyncDidFinishNotification"),
                                          QStringLiteral("HMSyncDidFinishNotification"), userInfo)
                    .ok());
    // Another object text does not reach the filtered observer.
    ASSERT_TRUE(
        center.postNotificationName(QStringLiteral("HMSyncDidFinishNotification"), QStringLiteral("other")).ok());
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished.front().userInfo, userInfo);

    // What cannot cross a process boundary is refused whole, naming where it sits.
    const Status refused = center.postNotificationName(
        QStringLiteral("HMSyncDidFinishNotification"), QStringLiteral("HMSyncDidFinishNotification"),
        {{QStringLiteral("conduits"),
          QVariantList{1, QVariant::fromValue(QUrl(QStringLiteral("http://127.0.0.1/")))}}});
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().message().contains(QStringLiteral("conduits[1]")))
        << refused.error().message().toStdString();
    EXPECT_EQ(finished.size(), 1u);
}
