#include "platform/dispatch/DispatchFdSource.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"

#include "DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;
using namespace dispatchtest;
using namespace std::chrono_literals;

namespace {

// A UDP socket bound to 127.0.0.1 on a port of the system's choosing; closed on destruction.
class LoopbackUdpSocket final
{
public:
    LoopbackUdpSocket()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof m_address;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&m_address), &length);
    }
    ~LoopbackUdpSocket() { close(m_fd); }
    LoopbackUdpSocket(const LoopbackUdpSocket &) = delete;
    LoopbackUdpSocket &operator=(const LoopbackUdpSocket &) = delete;

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0 && m_address.sin_port != 0; }

    ssize_t sendTo(const LoopbackUdpSocket &peer, const QByteArray &payload) const
    {
        return sendto(m_fd, payload.constData(), size_t(payload.size()), 0,
                      reinterpret_cast<const sockaddr *>(&peer.m_address), sizeof peer.m_address);
    }

private:
    int m_fd = -1;
    sockaddr_in m_address{};
};

} // namespace

TEST(DispatchTimer, RepeatingTimerFiresInOrderAndStopsOnCancel)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.timer"));
    const auto timer = DispatchTimer::create(queue);
    std::vector<DispatchTime> fires;
    std::atomic<bool> wasOnQueue = true;
    const auto cancelled = DispatchSemaphore::create(0);
    timer->setEventHandler([&] {
        fires.push_back(DispatchClock::now());
        wasOnQueue = wasOnQueue && queue->isCurrent();
        if (fires.size() == 5)
            timer->cancel();
    });
    timer->setCancelHandler([&] { cancelled->signal(); });
    const DispatchTime start = DispatchClock::now();
    timer->schedule(0.004, 0.003, 0.001);
    timer->resume();
    ASSERT_TRUE(cancelled->wait(kPatience));

    // After the cancel, a block queued behind several more intervals finds no further fire.
    const auto settled = DispatchSemaphore::create(0);
    queue->after(0.020, [&] { settled->signal(); });
    ASSERT_TRUE(settled->wait(kPatience));
    size_t fireCount = 0;
    queue->sync([&] { fireCount = fires.size(); });
    ASSERT_EQ(fireCount, 5u);
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_TRUE(wasOnQueue.load());
    // Never early: fire n comes no sooner than start + 4 ms + n * 3 ms, and each after the one before.
    for (size_t index = 0; index < fires.size(); ++index) {
        EXPECT_GE(fires[index] - start, 4ms + index * 3ms) << "fire " << index;
        if (index > 0) {
            EXPECT_GT(fires[index], fires[index - 1]);
        }
    }
}

TEST(DispatchTimer, OneShotFiresOnceAndSuspensionHoldsItUntilResume)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.oneshot"));
    const auto timer = DispatchTimer::create(queue);
    std::atomic<int> fires = 0;
    const auto fired = DispatchSemaphore::create(0);
    timer->setEventHandler([&] {
        ++fires;
        fired->signal();
    });
    timer->schedule(0.005, 0);
    // Made suspended: nothing fires before the first resume.
    EXPECT_FALSE(fired->wait(20ms));
    timer->resume();
    ASSERT_TRUE(fired->wait(kPatience));

    // Re-scheduled and suspended before it can deliver (its queue is held busy until then, however
    // long the test thread is paused): the fire waits for resume and comes once.
    const auto release = DispatchSemaphore::create(0);
    queue->async([&] { release->wait(kPatience); });
    timer->schedule(0.002, 0);
    timer->suspend();
    release->signal();
    EXPECT_FALSE(fired->wait(20ms));
    EXPECT_EQ(fires.load(), 1);
    timer->resume();
    ASSERT_TRUE(fired->wait(kPatience));
    EXPECT_FALSE(fired->wait(20ms));
    EXPECT_EQ(fires.load(), 2);
}

// Timers share the monitor's one clock descriptor, set for the earliest deadline: every timer must
// still fire, none early, however timers before and after it are cancelled, and after the clock has
// had nothing left to wait for.
TEST(DispatchTimer, TimersKeepTheirDeadlinesWhileEarlierOnesAreCancelled)
{
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.deadlines"));
    const auto makeTimer = [&queue](const std::shared_ptr<DispatchSemaphore> &fired) {
        const auto timer = DispatchTimer::create(queue);
        timer->setEventHandler([fired] { fired->signal(); });
        return timer;
    };
    const auto cancelledFired = DispatchSemaphore::create(0);
    const auto laterFired = DispatchSemaphore::create(0);
    const auto lastFired = DispatchSemaphore::create(0);
    const auto cancelled = makeTimer(cancelledFired);
    const auto later = makeTimer(laterFired);
    const auto last = makeTimer(lastFired);

    const DispatchTime start = DispatchClock::now();
    cancelled->schedule(0.005, 0);
    cancelled->resume();
    later->schedule(0.040, 0);
    later->resume();
    cancelled->cancel();
    ASSERT_TRUE(laterFired->wait(kPatience));
    EXPECT_GE(DispatchClock::now() - start, 40ms);
    EXPECT_FALSE(cancelledFired->wait(10ms));

    // Nothing is left on the clock now; a timer made afterwards still fires, and one far away that
    // is cancelled does not hold back a nearer one made after it.
    const auto far = makeTimer(cancelledFired);
    far->schedule(30.0, 0);
    far->resume();
    far->cancel();
    const DispatchTime restart = DispatchClock::now();
    last->schedule(0.010, 0);
    last->resume();
    ASSERT_TRUE(lastFired->wait(kPatience));
    EXPECT_GE(DispatchClock::now() - restart, 10ms);
    EXPECT_FALSE(cancelledFired->wait(10ms));
}

// A handler that takes no count fires like one that does: on readiness, and again after it
// returns while the descriptor stays readable.
TEST(DispatchFdSource, HandlerWithoutCountFiresWhileReadable)
{
    LoopbackUdpSocket receiver;
    LoopbackUdpSocket sender;
    ASSERT_TRUE(receiver.isOpen() && sender.isOpen());
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.nocount"));
    auto created = DispatchFdSource::createRead(receiver.fd(), queue);
    ASSERT_TRUE(created.ok()) << created.error().message().toStdString();
    const std::shared_ptr<DispatchFdSource> source = *created;
    std::atomic<int> fires = 0;
    const auto fired = DispatchSemaphore::create(0);
    const auto cancelled = DispatchSemaphore::create(0);
    source->setEventHandler([&] {
        // The datagram stays unread for two rounds, then is taken and the source cancelled.
        if (++fires == 3) {
            char buffer[16];
            EXPECT_EQ(recv(receiver.fd(), buffer, sizeof buffer, 0), 5);
            source->cancel();
        }
        fired->signal();
    });
    source->setCancelHandler([&] { cancelled->signal(); });
    source->resume();
    ASSERT_EQ(sender.sendTo(receiver, QByteArrayLiteral("hello")), 5);
    for (int round = 0; round < 3; ++round)
        ASSERT_TRUE(fired->wait(kPatience)) << "round " << round;
    ASSERT_TRUE(cancelled->wait(kPatience));
    EXPECT_EQ(fires.load(), 3);
}

TEST(DispatchFdSource, ReadSourceFiresForADatagramWithItsSize)
{
    LoopbackUdpSocket receiver;
    LoopbackUdpSocket sender;
    ASSERT_TRUE(receiver.isOpen());
    ASSERT_TRUE(sender.isOpen());

    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.socket"));
    auto created = DispatchFdSource::createRead(receiver.fd(), queue);
    ASSERT_TRUE(created.ok()) << created.error().message().toStdString();
    const std::shared_ptr<DispatchFdSource> source = *created;

    std::mutex mutex;
    std::vector<std::int64_t> reportedSizes;
    std::vector<QByteArray> payloads;
    const auto received = DispatchSemaphore::create(0);
    source->setEventHandler([&](std::int64_t bytesAvailable) {
        char buffer[2048];
        const ssize_t length = recv(receiver.fd(), buffer, sizeof buffer, 0);
        std::lock_guard lock(mutex);
        reportedSizes.push_back(bytesAvailable);
        payloads.push_back(QByteArray(buffer, int(std::max<ssize_t>(length, 0))));
        received->signal();
    });
    const auto cancelled = DispatchSemaphore::create(0);
    source->setCancelHandler([&] { cancelled->signal(); });
    source->resume();

    const QByteArray first("SYNC 1 hello");
    const QByteArray second(1200, 'x');
    ASSERT_EQ(sender.sendTo(receiver, first), first.size());
    ASSERT_TRUE(received->wait(kPatience));
    ASSERT_EQ(sender.sendTo(receiver, second), second.size());
    ASSERT_TRUE(received->wait(kPatience));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(reportedSizes, (std::vector<std::int64_t>{first.size(), second.size()}));
        EXPECT_EQ(payloads, (std::vector<QByteArray>{first, second}));
    }

    // Suspended, a datagram waits; resumed, it is reported.
    source->suspend();
    ASSERT_EQ(sender.sendTo(receiver, first), first.size());
    EXPECT_FALSE(received->wait(20ms));
    source->resume();
    ASSERT_TRUE(received->wait(kPatience));

    // Cancelled, nothing more is reported, and the cancel handler runs.
    source->cancel();
    ASSERT_TRUE(cancelled->wait(kPatience));
    ASSERT_EQ(sender.sendTo(receiver, first), first.size());
    EXPECT_FALSE(received->wait(20ms));
}

TEST(DispatchFdSource, WriteSourceReportsRoomAndUnwatchableDescriptorsAreRefused)
{
    LoopbackUdpSocket socket;
    ASSERT_TRUE(socket.isOpen());
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.writer"));
    auto created = DispatchFdSource::createWrite(socket.fd(), queue);
    ASSERT_TRUE(created.ok()) << created.error().message().toStdString();
    const std::shared_ptr<DispatchFdSource> source = *created;
    std::atomic<std::int64_t> room = -1;
    const auto writable = DispatchSemaphore::create(0);
    source->setEventHandler([&](std::int64_t bytesAvailable) {
        room = bytesAvailable;
        source->cancel();
        writable->signal();
    });
    source->resume();
    ASSERT_TRUE(writable->wait(kPatience));
    EXPECT_GT(room.load(), 1000);

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray path = folder.filePath(QStringLiteral("plain.txt")).toLocal8Bit();
    const int fileFd = open(path.constData(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fileFd, 0);
    const auto refused = DispatchFdSource::createRead(fileFd, queue);
    close(fileFd);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message().indexOf(QStringLiteral("cannot be watched")), -1);
}

namespace {

// A write source that records the room it was told of and suspends itself after each fire, so that
// an always-writable socket does not keep the queue busy; resume() asks for the next fire.
struct SelfSuspendingWriter
{
    std::shared_ptr<DispatchFdSource> source;
    std::shared_ptr<DispatchSemaphore> writable = DispatchSemaphore::create(0);
    std::shared_ptr<DispatchSemaphore> cancelled = DispatchSemaphore::create(0);
    std::atomic<std::int64_t> room = -1;

    void start(std::shared_ptr<DispatchFdSource> created)
    {
        source = std::move(created);
        DispatchFdSource *const raw = source.get();
        source->setEventHandler([this, raw](std::int64_t bytesAvailable) {
            room = bytesAvailable;
            raw->suspend();
            writable->signal();
        });
        source->setCancelHandler([this] { cancelled->signal(); });
        source->resume();
    }
};

} // namespace

TEST(DispatchFdSource, ReadAndWriteSourcesShareOneSocketAndOutliveEachOther)
{
    LoopbackUdpSocket receiver;
    LoopbackUdpSocket sender;
    ASSERT_TRUE(receiver.isOpen());
    ASSERT_TRUE(sender.isOpen());
    const auto queue = DispatchQueue::createSerial(QStringLiteral("org.example.duplex"));

    auto createdReader = DispatchFdSource::createRead(receiver.fd(), queue);
    ASSERT_TRUE(createdReader.ok()) << createdReader.error().message().toStdString();
    auto createdWriter = DispatchFdSource::createWrite(receiver.fd(), queue);
    ASSERT_TRUE(createdWriter.ok()) << createdWriter.error().message().toStdString();
    const std::shared_ptr<DispatchFdSource> reader = *createdReader;

    std::mutex mutex;
    std::vector<QByteArray> payloads;
    const auto received = DispatchSemaphore::create(0);
    reader->setEventHandler([&](std::int64_t) {
        char buffer[2048];
        const ssize_t length = recv(receiver.fd(), buffer, sizeof buffer, 0);
        std::lock_guard lock(mutex);
        payloads.push_back(QByteArray(buffer, int(std::max<ssize_t>(length, 0))));
        received->signal();
    });
    const auto readerCancelled = DispatchSemaphore::create(0);
    reader->setCancelHandler([&] { readerCancelled->signal(); });
    reader->resume();
    SelfSuspendingWriter writer;
    writer.start(*createdWriter);

    // Both interests are watched at once: the idle socket is writable, and a datagram is readable.
    ASSERT_TRUE(writer.writable->wait(kPatience));
    EXPECT_GT(writer.room.load(), 1000);
    ASSERT_EQ(sender.sendTo(receiver, "one"), 3);
    ASSERT_TRUE(received->wait(kPatience));
    // The write interest comes back while the read interest waits for the next datagram.
    writer.source->resume();
    ASSERT_TRUE(writer.writable->wait(kPatience));
    ASSERT_EQ(sender.sendTo(receiver, "two"), 3);
    ASSERT_TRUE(received->wait(kPatience));

    // Cancelling the writer leaves the reader watching.
    writer.source->cancel();
    ASSERT_TRUE(writer.cancelled->wait(kPatience));
    ASSERT_EQ(sender.sendTo(receiver, "three"), 5);
    ASSERT_TRUE(received->wait(kPatience));

    // A new writer joins the reader; then cancelling the reader leaves the writer watching.
    auto createdSecondWriter = DispatchFdSource::createWrite(receiver.fd(), queue);
    ASSERT_TRUE(createdSecondWriter.ok()) << createdSecondWriter.error().message().toStdString();
    SelfSuspendingWriter secondWriter;
    secondWriter.start(*createdSecondWriter);
    ASSERT_TRUE(secondWriter.writable->wait(kPatience));
    reader->cancel();
    ASSERT_TRUE(readerCancelled->wait(kPatience));
    ASSERT_EQ(sender.sendTo(receiver, "four"), 4);
    secondWriter.source->resume();
    ASSERT_TRUE(secondWriter.writable->wait(kPatience));
    EXPECT_FALSE(received->wait(20ms));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(payloads, (std::vector<QByteArray>{"one", "two", "three"}));
    }

    // With every source gone the descriptor is free again: a fresh reader finds the waiting datagram.
    secondWriter.source->cancel();
    ASSERT_TRUE(secondWriter.cancelled->wait(kPatience));
    auto createdSecondReader = DispatchFdSource::createRead(receiver.fd(), queue);
    ASSERT_TRUE(createdSecondReader.ok()) << createdSecondReader.error().message().toStdString();
    const std::shared_ptr<DispatchFdSource> secondReader = *createdSecondReader;
    QByteArray late;
    secondReader->setEventHandler([&](std::int64_t bytesAvailable) {
        QByteArray buffer(int(bytesAvailable), '\0');
        const ssize_t length = recv(receiver.fd(), buffer.data(), size_t(buffer.size()), 0);
        late = buffer.left(int(std::max<ssize_t>(length, 0)));
        secondReader->cancel();
        received->signal();
    });
    secondReader->resume();
    ASSERT_TRUE(received->wait(kPatience));
    queue->sync([] {});
    EXPECT_EQ(late, QByteArray("four"));
}

// The thread that waits for events runs the work of what it took. Here every such handler blocks
// the way the dispatch layer cannot see (a plain condition variable, no semaphore of its own) until
// a later event's handler, on another queue, or a timer lets it go: events and timers must still be
// watched while the thread that took the first one is stuck. Rounds repeat the hand-over.
TEST(DispatchFdSource, EventsAndTimersArriveWhileTheThreadThatTookOneBlocks)
{
    LoopbackUdpSocket first;
    LoopbackUdpSocket second;
    LoopbackUdpSocket sender;
    ASSERT_TRUE(first.isOpen() && second.isOpen() && sender.isOpen());
    std::mutex mutex;
    std::condition_variable released;
    int releases = 0;
    const auto release = [&] {
        std::lock_guard lock(mutex);
        ++releases;
        released.notify_all();
    };
    const auto blockedHandlerDone = DispatchSemaphore::create(0);
    const auto cancelled = DispatchSemaphore::create(0);
    auto firstSource = *DispatchFdSource::createRead(first.fd(), DispatchQueue::createSerial(QStringLiteral("org.example.stuck")));
    auto secondSource = *DispatchFdSource::createRead(second.fd(), DispatchQueue::createSerial(QStringLiteral("org.example.free")));
    int expected = 0;
    firstSource->setEventHandler([&] {
        char buffer[16];
        recv(first.fd(), buffer, sizeof buffer, 0);
        {
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return releases >= expected; });
        }
        // Last: after this the test may end and its locals with it.
        blockedHandlerDone->signal();
    });
    secondSource->setEventHandler([&] {
        char buffer[16];
        recv(second.fd(), buffer, sizeof buffer, 0);
        release();
    });
    firstSource->resume();
    secondSource->resume();
    for (int round = 0; round < 20; ++round) {
        {
            std::lock_guard lock(mutex);
            expected = 2 * round + 1;
        }
        ASSERT_EQ(sender.sendTo(first, QByteArrayLiteral("x")), 1);
        // Taken by the first source's handler, which now waits for the second's event.
        ASSERT_EQ(sender.sendTo(second, QByteArrayLiteral("y")), 1);
        ASSERT_TRUE(blockedHandlerDone->wait(kPatience)) << "event lost, round " << round;

        {
            std::lock_guard lock(mutex);
            expected = 2 * round + 2;
        }
        ASSERT_EQ(sender.sendTo(first, QByteArrayLiteral("x")), 1);
        const auto timer = DispatchTimer::create(DispatchQueue::createSerial(QStringLiteral("org.example.timer")));
        timer->setEventHandler([&] { release(); });
        timer->schedule(0.002, 0);
        timer->resume();
        ASSERT_TRUE(blockedHandlerDone->wait(kPatience)) << "timer lost, round " << round;
        timer->setCancelHandler([cancelled] { cancelled->signal(); });
        timer->cancel();
        ASSERT_TRUE(cancelled->wait(kPatience));
    }
    // Each cancel handler runs after its source's last handler: nothing touches the locals after.
    for (const auto &source : {firstSource, secondSource}) {
        source->setCancelHandler([cancelled] { cancelled->signal(); });
        source->cancel();
    }
    ASSERT_TRUE(cancelled->wait(kPatience));
    ASSERT_TRUE(cancelled->wait(kPatience));
}
