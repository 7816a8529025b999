// The script runners against the simulated Outlook as its own process, and against nothing: each way
// an application can be gone, and a refusal passed through.
#include "OutlookPeerProcess.h"

#include "platform/applescript/AppleEventSocket.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/foundation/Clock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace platform;

namespace {

const QString kIdsScript = QStringLiteral(
    "tell application \"Microsoft Outlook\"\nset theContacts to the id of every contact of application \"Microsoft Outlook\"\n"
    "return theContacts\nend tell");

struct Outcome
{
    NSAppleEventDescriptor result;
    std::optional<NSAppleScriptError> error;
    qint64 elapsedMs = 0;
};

Outcome run(const QString &source)
{
    QElapsedTimer timer;
    timer.start();
    Outcome outcome;
    outcome.result = NSAppleScript(source).executeAndReturnError(&outcome.error);
    outcome.elapsedMs = timer.elapsed();
    return outcome;
}

// Moves the process clock by a minute at every reading, so that the Apple-event timeout passes in a
// few polls of real time.
class RacingClock final
{
public:
    RacingClock()
    {
        Clock::setSource([this] {
            const std::lock_guard lock(m_mutex);
            m_now = m_now.addSecs(60);
            return m_now;
        });
    }
    ~RacingClock() { Clock::setSource({}); }

private:
    std::mutex m_mutex;
    QDateTime m_now = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
};

// An application that answers each request on its one connection after a pause: "late" to the first,
// then it closes the connection without answering the second. It records when it sent the answer.
class SlowApplication final
{
public:
    SlowApplication(const QString &reference, std::chrono::milliseconds pause) : m_pause(pause)
    {
        const QString folder = AppleEventSocket::socketFolder();
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
        const QByteArray path = QFile::encodeName(AppleEventSocket::socketPathForReference(reference));
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_ready = ::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0
            && ::listen(m_listener, 4) == 0;
        if (m_ready)
            m_thread = std::thread([this] { serve(); });
    }
    ~SlowApplication()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (const int connection = m_connection.load(); connection >= 0)
            ::shutdown(connection, SHUT_RDWR); // a reader still waiting for a request ends
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_connection.load());
        ::close(m_listener);
    }
    bool isReady() const { return m_ready; }
    std::chrono::steady_clock::time_point answeredAt() const { return m_answeredAt.load(); }

private:
    static bool readFrame(int fd)
    {
        char header[4];
        if (::recv(fd, header, 4, MSG_WAITALL) != 4)
            return false;
        QByteArray payload(qsizetype(qFromBigEndian<quint32>(header)), '\0');
        return payload.isEmpty() || ::recv(fd, payload.data(), size_t(payload.size()), MSG_WAITALL) == payload.size();
    }
    void serve()
    {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        m_connection = fd;
        if (readFrame(fd)) {
            std::this_thread::sleep_for(m_pause);
            const QByteArray reply = AppleEventWire::frame(AppleEventWire::descriptorReply(
                NSAppleEventDescriptor::descriptorWithString(QStringLiteral("late"))));
            m_answeredAt = std::chrono::steady_clock::now();
            (void)::send(fd, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
        }
        if (readFrame(fd))
            std::this_thread::sleep_for(m_pause);
        ::shutdown(fd, SHUT_RDWR);
    }

    std::chrono::milliseconds m_pause;
    int m_listener = -1;
    bool m_ready = false;
    std::atomic<int> m_connection{-1};
    std::atomic<std::chrono::steady_clock::time_point> m_answeredAt{};
    std::thread m_thread;
};

// Gives the peer `count` contacts in the address book.
bool seedContacts(const OutlookPeerProcess &peer, int count)
{
    QJsonArray contacts;
    for (int i = 0; i < count; ++i)
        contacts.append(QJsonObject{{QStringLiteral("folder"), 1}, {QStringLiteral("modified"), QStringLiteral("2026-01-01T00:00:00Z")}});
    return peer.seed({{QStringLiteral("contacts"), contacts}}).value(QStringLiteral("ok")).toBool();
}

double threadCpuMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

} // namespace

TEST(NSAppleScript, ASlowApplicationIsWaitedForAsleepAndItsAnswerOrItsEndIsSeenAtOnce)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const QString reference = QStringLiteral("Slow Application");
    SlowApplication application(reference, std::chrono::milliseconds(400));
    ASSERT_TRUE(application.isReady());
    const QString script = QStringLiteral("tell application \"Slow Application\"\nreturn version\nend tell");
    const double cpuBefore = threadCpuMs();
    const Outcome answered = run(script);
    const auto returnedAt = std::chrono::steady_clock::now();
    const double cpuMs = threadCpuMs() - cpuBefore;
    ASSERT_FALSE(answered.error) << answered.error->message.toStdString();
    EXPECT_EQ(answered.result.stringValue(), QStringLiteral("late"));
    EXPECT_GE(answered.elapsedMs, 400);
    // The wait before the answer is spent asleep: the short spin before it is bounded, so the
    // caller's thread uses a small part of the 400 ms.
    EXPECT_LT(cpuMs, 40.0);
    // The answer is taken as it comes, not at the end of a slice of sleep or spin.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - application.answeredAt()).count(), 100);

    // The same connection, closed by the application after a pause without an answer: gone at once.
    const Outcome closed = run(script);
    ASSERT_TRUE(closed.error);
    EXPECT_EQ(closed.error->number, -609);
    EXPECT_GE(closed.elapsedMs, 400);
    EXPECT_LT(closed.elapsedMs, 1400);
}

TEST(NSAppleScript, NoApplicationIsMinus600AtOnceAndAMissingBundleMinus10814)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const Outcome byName = run(kIdsScript);
    ASSERT_TRUE(byName.error);
    EXPECT_EQ(byName.error->number, -600);
    EXPECT_EQ(byName.error->message, QStringLiteral("Application isn't running."));
    EXPECT_EQ(byName.error->appName, QStringLiteral("Microsoft Outlook"));
    EXPECT_TRUE(byName.error->isApplicationGone());
    EXPECT_TRUE(byName.result.isNil());
    EXPECT_LT(byName.elapsedMs, 1000);

    const Outcome byPath = run(QStringLiteral("tell application \"/Applications/Microsoft Outlook.app\"\nset outlookVersion to "
                                              "version\nreturn outlookVersion\nend tell"));
    ASSERT_TRUE(byPath.error);
    EXPECT_EQ(byPath.error->number, -10814);
    EXPECT_EQ(byPath.error->appName, QStringLiteral("Microsoft Outlook"));
}

TEST(NSAppleScript, AnswersTheScriptingCheckItselfAndRefusesTextNamingNoApplication)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const Outcome check = run(QStringLiteral("set timeStr to time string of (current date)\nreturn timeStr"));
    EXPECT_FALSE(check.error);
    EXPECT_TRUE(check.result.stringValue().contains(u':')) << check.result.stringValue().toStdString();
    const Outcome stray = run(QStringLiteral("do shell script \"touch x\""));
    ASSERT_TRUE(stray.error);
    EXPECT_EQ(stray.error->number, -2741);
    EXPECT_FALSE(stray.error->isApplicationGone());
}

TEST(NSAppleScript, AnApplicationKilledMidReplyIsMinus609AtOnce)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(seedContacts(peer, 300));
    ASSERT_TRUE(peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("killMidReply"), true}})
                    .value(QStringLiteral("ok")).toBool());
    const Outcome outcome = run(kIdsScript);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->number, -609);
    EXPECT_TRUE(outcome.error->isApplicationGone());
    EXPECT_LT(outcome.elapsedMs, 2000);
    ASSERT_TRUE(peer.process().waitForFinished(5000));
    EXPECT_EQ(peer.process().exitStatus(), QProcess::CrashExit);
}

// The sockets among a process's open descriptors, by inode.
static QSet<QString> openSockets(qint64 pid)
{
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    QSet<QString> sockets;
    for (const QString &entry : QDir(folder).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(folder + u'/' + entry);
        if (target.contains(QStringLiteral("socket:")))
            sockets.insert(target);
    }
    return sockets;
}

TEST(NSAppleScript, ConnectionsAreKeptBetweenExchangesAndDroppedWhenTheApplicationRestarts)
{
    QTemporaryDir folder;
    OutlookPeerProcess::Options options;
    options.folder = folder.path();
    auto peer = std::make_unique<OutlookPeerProcess>(options);
    ASSERT_TRUE(peer->isReady());
    const QSet<QString> before = openSockets(::getpid());
    ASSERT_FALSE(run(kIdsScript).error);
    const QSet<QString> ours = openSockets(::getpid());
    EXPECT_EQ((ours - before).size(), 1); // the connection the exchange left open
    const QSet<QString> theirs = openSockets(peer->pid());
    for (int i = 0; i < 100; ++i)
        ASSERT_FALSE(run(kIdsScript).error) << i;
    // A hundred exchanges in a row go over that same connection.
    EXPECT_EQ(openSockets(::getpid()), ours);
    EXPECT_EQ(openSockets(peer->pid()), theirs);

    peer->process().kill();
    ASSERT_TRUE(peer->process().waitForFinished(5000));
    peer = std::make_unique<OutlookPeerProcess>(options);
    ASSERT_TRUE(peer->isReady());
    // The kept connection to the killed process is noticed as closed and replaced, not reported lost.
    const Outcome afterRestart = run(kIdsScript);
    EXPECT_FALSE(afterRestart.error) << afterRestart.error->message.toStdString();
    EXPECT_EQ(openSockets(::getpid()).size(), ours.size());
}

// A request sent ahead waits on its connection for the exchange of the very same bytes: a different
// request meanwhile gets its own reply on another connection, and a peer killed with the request
// ahead is a broken connection at once.
TEST(AppleEventSocket, ARequestSentAheadIsReadOnlyByTheSameRequestAndRepliesStayInOrder)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    ASSERT_TRUE(seedContacts(peer, 3));
    const QString reference = QStringLiteral("Microsoft Outlook");
    const QByteArray ids = AppleEventWire::scriptRequest(kIdsScript);
    const QByteArray version = AppleEventWire::scriptRequest(
        QStringLiteral("tell application \"Microsoft Outlook\"\nset outlookVersion to version\nreturn outlookVersion\nend tell"));
    std::optional<AppleEventWire::ReplyHead> seen;
    const auto first = AppleEventSocket::exchange(reference, ids, kAppleEventTimeout,
                                                  [&](quint32 length, QByteArrayView head) -> std::optional<QByteArray> {
                                                      seen = AppleEventWire::replyHead(length, head);
                                                      return version;
                                                  });
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->kind, NSAppleEventDescriptor::Kind::List);
    EXPECT_EQ(seen->size, 3u);
    ASSERT_TRUE(std::holds_alternative<NSAppleEventDescriptor>(first));
    EXPECT_EQ(std::get<NSAppleEventDescriptor>(first).numberOfItems(), 3);

    const auto other = AppleEventSocket::exchange(reference, ids);
    ASSERT_TRUE(std::holds_alternative<NSAppleEventDescriptor>(other));
    EXPECT_EQ(std::get<NSAppleEventDescriptor>(other).numberOfItems(), 3);
    const auto ahead = AppleEventSocket::exchange(reference, version);
    ASSERT_TRUE(std::holds_alternative<NSAppleEventDescriptor>(ahead));
    EXPECT_EQ(std::get<NSAppleEventDescriptor>(ahead).kind(), NSAppleEventDescriptor::Kind::Atomic);
    EXPECT_FALSE(std::get<NSAppleEventDescriptor>(ahead).stringValue().isEmpty());

    // The peer dies halfway through the reply to the request sent ahead.
    ASSERT_TRUE(peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("killMidReplyNth"), 2}})
                    .value(QStringLiteral("ok")).toBool());
    const auto beforeKill = AppleEventSocket::exchange(reference, ids, kAppleEventTimeout,
                                                       [&](quint32, QByteArrayView) -> std::optional<QByteArray> { return version; });
    EXPECT_TRUE(std::holds_alternative<NSAppleEventDescriptor>(beforeKill));
    ASSERT_TRUE(peer.process().waitForFinished(5000));
    QElapsedTimer timer;
    timer.start();
    const auto killed = AppleEventSocket::exchange(reference, version);
    ASSERT_TRUE(std::holds_alternative<NSAppleScriptError>(killed));
    EXPECT_EQ(std::get<NSAppleScriptError>(killed).number, -609);
    EXPECT_LT(timer.elapsed(), 2000);
}

TEST(NSAppleScript, AStalledApplicationIsMinus1712AtTheVirtualTimeout)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("stall"), true}});
    RacingClock clock;
    const Outcome outcome = run(kIdsScript);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->number, -1712);
    EXPECT_TRUE(outcome.error->isApplicationGone());
    EXPECT_LT(outcome.elapsedMs, 5000);
}

TEST(NSAppleScript, AReplyClaimingTwoGigabytesIsAnErrorWithoutTheMemory)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("claimBytes"), qint64(0x80000000)}});
    const Outcome outcome = run(kIdsScript);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->number, -1702);
    EXPECT_TRUE(outcome.error->message.contains(QStringLiteral("exceeds the limit"))) << outcome.error->message.toStdString();
    EXPECT_LT(outcome.elapsedMs, 2000);
}

TEST(NSAppleScript, ARefusalPassesThroughAndIsNotAGoneApplication)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QStringLiteral("ids")},
                  {QStringLiteral("refuseNumber"), -1728}});
    const Outcome refused = run(kIdsScript);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->number, -1728);
    EXPECT_FALSE(refused.error->isApplicationGone());
    EXPECT_EQ(refused.error->appName, QStringLiteral("Microsoft Outlook"));
    // The n-th script counts from when the switch is set.
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("refuseKind"), QString()},
                  {QStringLiteral("refuseNth"), 2}, {QStringLiteral("refuseNumber"), -10000}});
    EXPECT_FALSE(run(kIdsScript).error);
    EXPECT_EQ(run(kIdsScript).error.value_or(NSAppleScriptError()).number, -10000);
    EXPECT_FALSE(run(kIdsScript).error);
}

TEST(NSAppleScript, ABundlePathReachesItsApplicationOnlyWhileTheBundleExistsAndLongPathsAreHashed)
{
    QTemporaryDir root;
    const QByteArray oldRoot = qgetenv("HM_SYSTEM_ROOT");
    qputenv("HM_SYSTEM_ROOT", root.path().toUtf8());
    const QString reference = QStringLiteral("/Applications/") + QString(120, u'x') + QStringLiteral("/Microsoft Outlook.app");
    OutlookPeerProcess::Options options;
    options.arguments = {QStringLiteral("--reference"), reference};
    OutlookPeerProcess peer(options);
    ASSERT_TRUE(peer.isReady());
    EXPECT_TRUE(AppleEventSocket::socketPathForReference(reference).contains(QStringLiteral("/ref-")));
    const QString script = QStringLiteral("tell application \"%1\"\nset outlookVersion to version\nreturn outlookVersion\nend tell").arg(reference);
    const Outcome missing = run(script);
    ASSERT_TRUE(missing.error) << "the application listens, but its bundle is not on disk";
    EXPECT_EQ(missing.error->number, -10814);
    ASSERT_TRUE(QDir().mkpath(root.path() + reference));
    const Outcome outcome = run(script);
    qputenv("HM_SYSTEM_ROOT", oldRoot);
    ASSERT_FALSE(outcome.error) << outcome.error->message.toStdString();
    EXPECT_EQ(outcome.result.stringValue(), QStringLiteral("16.78"));
}

TEST(NSUserAppleScriptTask, SendsTheHandlerCallToTheApplicationItsScriptNames)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    QTemporaryDir data;
    testsupport::pointHomeAt(data.path());
    const Result<QString> folder = NSUserAppleScriptTask::applicationScriptsDirectory();
    ASSERT_TRUE(folder.ok());
    EXPECT_EQ(QFileInfo(*folder).fileName(), QStringLiteral("Application Scripts"));
    const QString script = *folder + QStringLiteral("/automation.scpt");
    EXPECT_EQ(NSUserAppleScriptTask::initWithURL(script).error().code(), ErrorCode::IoNotFound);
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\n-- the handlers of the automation script\n");
    file.close();

    const Result<std::unique_ptr<NSUserAppleScriptTask>> task = NSUserAppleScriptTask::initWithURL(script);
    ASSERT_TRUE(task.ok());
    EXPECT_EQ((*task)->applicationReference(), QStringLiteral("Microsoft Outlook"));
    NSAppleEventDescriptor arguments = NSAppleEventDescriptor::listDescriptor();
    arguments.insertDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("Microsoft Outlook")));
    NSAppleEventDescriptor event = NSAppleEventDescriptor::appleEventWithEventClass(
        kASAppleScriptSuite, kASSubroutineEvent, NSAppleEventDescriptor::currentProcessDescriptor(), -1, 0);
    event.setParamDescriptor(NSAppleEventDescriptor::descriptorWithString(QStringLiteral("getAddressBookFolders")),
                             Keyword::SubroutineName);
    event.setParamDescriptor(arguments, Keyword::DirectObject);

    std::mutex mutex;
    std::condition_variable finished;
    std::optional<NSAppleEventDescriptor> result;
    std::thread::id handlerThread;
    (*task)->executeWithAppleEvent(event, [&](const NSAppleEventDescriptor &reply, const std::optional<NSAppleScriptError> &) {
        const std::lock_guard lock(mutex);
        result = reply;
        handlerThread = std::this_thread::get_id();
        finished.notify_all();
    });
    std::unique_lock lock(mutex);
    ASSERT_TRUE(finished.wait_for(lock, std::chrono::seconds(10), [&] { return result.has_value(); }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());
    ASSERT_EQ(result->numberOfItems(), 1);
    EXPECT_EQ(result->descriptorAtIndex(1).descriptorForKeyword(Keyword::Name).stringValue(), QStringLiteral("Address Book"));
    EXPECT_EQ(result->descriptorAtIndex(1).descriptorForKeyword(Keyword::ID).stringValue(), QStringLiteral("1"));
    lock.unlock();

    // A task runs once; a run on the calling thread gets the same answer from a new task.
    const AppleEventWire::Reply again = (*task)->executeAndWaitWithAppleEvent(event);
    ASSERT_TRUE(std::holds_alternative<NSAppleScriptError>(again));
    EXPECT_EQ(std::get<NSAppleScriptError>(again).message, QStringLiteral("The script task has already run."));
    const Result<std::unique_ptr<NSUserAppleScriptTask>> second = NSUserAppleScriptTask::initWithURL(script);
    ASSERT_TRUE(second.ok());
    const AppleEventWire::Reply reply = (*second)->executeAndWaitWithAppleEvent(event);
    ASSERT_TRUE(std::holds_alternative<NSAppleEventDescriptor>(reply));
    EXPECT_EQ(std::get<NSAppleEventDescriptor>(reply), *result);
}

TEST(NSUserAppleScriptTask, OnlyARegularFileAtTheNameIsAScriptAndOnlyItsFirstLineIsRead)
{
    QTemporaryDir folder;
    const QString script = folder.path() + QStringLiteral("/automation.scpt");
    const QString real = folder.path() + QStringLiteral("/elsewhere.scpt");
    QFile file(real);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // A compiled script is long and binary after its first line: only the line is read.
    file.write("  Microsoft Outlook  \n" + QByteArray(100000, '\0'));
    file.close();
    const Result<std::unique_ptr<NSUserAppleScriptTask>> regular = NSUserAppleScriptTask::initWithURL(real);
    ASSERT_TRUE(regular.ok()) << regular.error().message().toStdString();
    EXPECT_EQ((*regular)->applicationReference(), QStringLiteral("Microsoft Outlook"));

    // A link at the name is not followed, a folder is no script, and a FIFO is refused at once
    // rather than waited on for a writer.
    ASSERT_TRUE(QFile::link(real, script));
    const Result<std::unique_ptr<NSUserAppleScriptTask>> linked = NSUserAppleScriptTask::initWithURL(script);
    ASSERT_FALSE(linked.ok());
    EXPECT_NE(linked.error().code(), ErrorCode::IoNotFound);
    ASSERT_TRUE(QFile::remove(script));
    ASSERT_TRUE(QDir().mkdir(script));
    EXPECT_EQ(NSUserAppleScriptTask::initWithURL(script).error().code(), ErrorCode::DataMalformed);
    ASSERT_TRUE(QDir().rmdir(script));
    ASSERT_EQ(::mkfifo(QFile::encodeName(script).constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(NSUserAppleScriptTask::initWithURL(script).error().code(), ErrorCode::DataMalformed);
    EXPECT_LT(timer.elapsed(), 5000);
    ASSERT_TRUE(QFile::remove(script));

    // A first line that is not text is no script; a line alone without its end is one.
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray("Microsoft\0Outlook\n", 18));
    file.close();
    EXPECT_EQ(NSUserAppleScriptTask::initWithURL(real).error().code(), ErrorCode::DataMalformed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(5000, 'x'));
    file.close();
    const Result<std::unique_ptr<NSUserAppleScriptTask>> longLine = NSUserAppleScriptTask::initWithURL(real);
    ASSERT_TRUE(longLine.ok());
    EXPECT_EQ((*longLine)->applicationReference(), QString(4096, u'x'));
}

// The script is looked at before every task, as a paged read makes one task per page; a script left
// unchanged is not read again, so every way of changing it must still show at the next task.
TEST(NSUserAppleScriptTask, EveryChangeToAScriptLeftAloneIsSeenByTheNextTask)
{
    QTemporaryDir folder;
    const QString script = folder.path() + QStringLiteral("/automation.scpt");
    auto write = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    };
    auto reference = [&] {
        const Result<std::unique_ptr<NSUserAppleScriptTask>> task = NSUserAppleScriptTask::initWithURL(script);
        return task ? (*task)->applicationReference() : QStringLiteral("error %1").arg(int(task.error().code()));
    };
    ASSERT_TRUE(write(script, "Outlook One\n"));
    EXPECT_EQ(reference(), QStringLiteral("Outlook One"));
    // Left alone long enough for its stamp to be trusted, then read twice: kept.
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    EXPECT_EQ(reference(), QStringLiteral("Outlook One"));
    EXPECT_EQ(reference(), QStringLiteral("Outlook One"));
    // Rewritten in place at once, with the same length.
    ASSERT_TRUE(write(script, "Outlook Two\n"));
    EXPECT_EQ(reference(), QStringLiteral("Outlook Two"));
    // Replaced by another file of the same length.
    const QString other = folder.path() + QStringLiteral("/other.scpt");
    ASSERT_TRUE(write(other, "Outlook Six\n"));
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(script).constData()), 0);
    EXPECT_EQ(reference(), QStringLiteral("Outlook Six"));
    // Replaced by a link, then gone.
    ASSERT_TRUE(write(other, "Outlook Ten\n"));
    ASSERT_TRUE(QFile::remove(script));
    ASSERT_TRUE(QFile::link(other, script));
    EXPECT_NE(reference(), QStringLiteral("Outlook Ten"));
    EXPECT_NE(reference(), QStringLiteral("Outlook Six"));
    ASSERT_TRUE(QFile::remove(script));
    EXPECT_EQ(reference(), QStringLiteral("error %1").arg(int(ErrorCode::IoNotFound)));
}

TEST(NSUserAppleScriptTask, AStalledScriptEndsAtTheTimeoutAndLeavesNoThreadWaiting)
{
    OutlookPeerProcess peer;
    ASSERT_TRUE(peer.isReady());
    peer.control({{QStringLiteral("op"), QStringLiteral("switches")}, {QStringLiteral("stall"), true}});
    QTemporaryDir data;
    const QString script = data.path() + QStringLiteral("/automation.scpt");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("Microsoft Outlook\n");
    file.close();
    RacingClock clock;
    std::optional<NSAppleScriptError> error;
    {
        const Result<std::unique_ptr<NSUserAppleScriptTask>> task = NSUserAppleScriptTask::initWithURL(script);
        ASSERT_TRUE(task.ok());
        (*task)->executeWithAppleEvent(NSAppleEventDescriptor::appleEventWithEventClass(
                                           kASAppleScriptSuite, kASSubroutineEvent,
                                           NSAppleEventDescriptor::currentProcessDescriptor(), -1, 0),
                                       [&](const NSAppleEventDescriptor &, const std::optional<NSAppleScriptError> &failure) {
                                           error = failure;
                                       });
    } // the task waits for its thread here: once it is gone, nothing of it is left running
    ASSERT_TRUE(error);
    EXPECT_EQ(error->number, -1712);
}

TEST(OutlookPeer, AChangeAnsweredIsKeptWhenThePeerIsKilledAndIdsAreNeverReused)
{
    QTemporaryDir folder;
    OutlookPeerProcess::Options options;
    options.folder = folder.path();
    qint64 highest = 0;
    {
        OutlookPeerProcess peer(options);
        ASSERT_TRUE(peer.isReady());
        const QJsonObject added = peer.control({{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                                                {QStringLiteral("record"), QJsonObject{{QStringLiteral("folder"), 1}}}});
        highest = added.value(QStringLiteral("id")).toInteger();
        std::optional<NSAppleScriptError> error;
        NSAppleScript(QStringLiteral("tell application \"Microsoft Outlook\"\ndelete contact id \"%1\"\nend tell").arg(highest))
            .executeAndReturnError(&error);
        ASSERT_FALSE(error);
        peer.process().kill(); // SIGKILL right after the answer
        ASSERT_TRUE(peer.process().waitForFinished(5000));
    }
    OutlookPeerProcess again(options);
    ASSERT_TRUE(again.isReady());
    EXPECT_TRUE(again.dump().value(QStringLiteral("contacts")).toArray().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(again.home() + QStringLiteral("/Library/Group Containers/Office/Outlook/Main Profile/Data/Contacts/%1.olk15Contact").arg(highest)));
    const QJsonObject added = again.control({{QStringLiteral("op"), QStringLiteral("add")}, {QStringLiteral("kind"), QStringLiteral("contact")},
                                             {QStringLiteral("record"), QJsonObject{{QStringLiteral("folder"), 1}}}});
    EXPECT_GT(added.value(QStringLiteral("id")).toInteger(), highest);
}
