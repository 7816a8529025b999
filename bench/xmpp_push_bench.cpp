// The push channel's client side against an independent client (Debian's slixmpp) through the same
// Prosody on loopback, in the same run:
// - 100 logins (connect, STARTTLS with the test CA, PLAIN, bind, session, presence, disconnect) of
//   XMPPStream, against slixmpp logging in and out 100 times;
// - 10,000 chat messages received by a logged-in XMPPStream, against a logged-in slixmpp client
//   receiving the same 10,000 from the same sender (slixmpp), timed from the first to the last.
// Prints the medians of the rounds (wall and CPU seconds) and their ratios.
#include "ProsodyServer.h"

#include "platform/dispatch/DispatchSemaphore.h"
#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "push/XMPP/Core/XMPPMessage.h"
#include "push/XMPP/Core/XMPPStream.h"
#include "sync/NSData+Encrypt.h"

#include <QProcess>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

using namespace platform;

namespace {

constexpr int kLogins = 100;
constexpr int kMessages = 10000;
constexpr int kRounds = 5;

struct Cost
{
    double wall = 0;
    double cpu = 0;
};

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class Waiter final : public XMPPStreamDelegate
{
public:
    explicit Waiter(QVariantMap tls)
        : XMPPStreamDelegate({XMPPStreamDidConnectOp, XMPPStreamDidAuthenticateOp, XMPPStreamDidNotAuthenticateOp,
                              XMPPStreamDidDisconnectOp, XMPPStreamWillSecureWithSettingsOp,
                              XMPPStreamDidReceiveMessageOp}),
          m_tls(std::move(tls))
    {
    }
    void xmppStreamWillSecureWithSettings(XMPPStream *, QVariantMap &settings) override { settings = m_tls; }
    void xmppStreamDidConnect(XMPPStream *sender) override { sender->authenticateWithPassword(password); }
    void xmppStreamDidAuthenticate(XMPPStream *sender) override
    {
        sender->sendElement(NSXMLElement::elementWithName(QStringLiteral("presence")));
        event->signal();
    }
    void xmppStreamDidNotAuthenticate(XMPPStream *, const std::shared_ptr<NSXMLElement> &) override { event->signal(); }
    void xmppStreamDidDisconnect(XMPPStream *, const PlatformError &) override { event->signal(); }
    void xmppStreamDidReceiveMessage(XMPPStream *, const std::shared_ptr<XMPPMessage> &) override
    {
        if (received.fetch_add(1) == 0)
            firstAt = {std::chrono::steady_clock::now(), processCpuSeconds()};
        if (received.load() == kMessages) {
            lastAt = {std::chrono::steady_clock::now(), processCpuSeconds()};
            event->signal();
        }
    }

    QString password;
    std::shared_ptr<DispatchSemaphore> event = DispatchSemaphore::create(0);
    std::atomic<int> received{0};
    std::pair<std::chrono::steady_clock::time_point, double> firstAt, lastAt;

private:
    QVariantMap m_tls;
};

std::shared_ptr<XMPPStream> loggedInStream(const ProsodyServer &server, const std::shared_ptr<Waiter> &waiter,
                                           const QString &user, const QString &resource)
{
    auto stream = XMPPStream::init();
    stream->addDelegate(waiter, DispatchQueue::createSerial(QStringLiteral("bench")));
    stream->setMyJID(XMPPJID::jidWithString(user + QStringLiteral("@localhost"), resource));
    stream->setHostName(QStringLiteral("127.0.0.1"));
    stream->setHostPort(server.port());
    stream->connect();
    waiter->event->wait(std::chrono::seconds(30));
    return stream;
}

Cost ourLogins(const ProsodyServer &server, const QVariantMap &tls)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpu = processCpuSeconds();
    for (int i = 0; i < kLogins; ++i) {
        auto waiter = std::make_shared<Waiter>(tls);
        waiter->password = QStringLiteral("secret");
        auto stream = loggedInStream(server, waiter, QStringLiteral("bob"), QStringLiteral("bench"));
        stream->disconnect();
        waiter->event->wait(std::chrono::seconds(30));
    }
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), processCpuSeconds() - cpu};
}

QProcess *startClient(const ProsodyServer &server, const QString &jid, const QStringList &actions)
{
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral("/usr/bin/python3"),
                   QStringList{QStringLiteral(HM_XMPP_SENDER), QStringLiteral("127.0.0.1"), QString::number(server.port()),
                               jid, QStringLiteral("secret"), server.caFile()} +
                       actions);
    return process;
}

Cost readCost(QProcess *process, const QByteArray &skipLine = {})
{
    process->waitForFinished(600000);
    Cost cost;
    for (const QByteArray &line : process->readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() == 2 && line != skipLine) {
            cost.wall = fields[0].toDouble();
            cost.cpu = fields[1].toDouble();
        }
    }
    delete process;
    return cost;
}

Cost theirLogins(const ProsodyServer &server)
{
    return readCost(startClient(server, QStringLiteral("carol@localhost/bench"), {QStringLiteral("logins:%1").arg(kLogins)}));
}

void sendMessages(const ProsodyServer &server, const QString &to)
{
    readCost(startClient(server, QStringLiteral("alice@localhost/sender"),
                         {QStringLiteral("many:%1:%2").arg(to).arg(kMessages)}));
}

Cost ourMessages(const ProsodyServer &server, const QVariantMap &tls)
{
    auto waiter = std::make_shared<Waiter>(tls);
    waiter->password = QStringLiteral("secret");
    auto stream = loggedInStream(server, waiter, QStringLiteral("bob"), QStringLiteral("receiver"));
    sendMessages(server, QStringLiteral("bob@localhost/receiver"));
    waiter->event->wait(std::chrono::seconds(120));
    stream->disconnect();
    return {std::chrono::duration<double>(waiter->lastAt.first - waiter->firstAt.first).count(),
            waiter->lastAt.second - waiter->firstAt.second};
}

Cost theirMessages(const ProsodyServer &server)
{
    QProcess *receiver =
        startClient(server, QStringLiteral("carol@localhost/receiver"), {QStringLiteral("receive:%1").arg(kMessages)});
    receiver->waitForReadyRead(30000);
    sendMessages(server, QStringLiteral("carol@localhost/receiver"));
    return readCost(receiver);
}

void report(const char *name, const std::vector<Cost> &ours, const std::vector<Cost> &theirs)
{
    std::vector<double> ourWall, ourCpu, theirWall, theirCpu;
    for (const Cost &cost : ours) {
        ourWall.push_back(cost.wall);
        ourCpu.push_back(cost.cpu);
    }
    for (const Cost &cost : theirs) {
        theirWall.push_back(cost.wall);
        theirCpu.push_back(cost.cpu);
    }
    std::printf("%s: ours %.3f s (CPU %.3f s), slixmpp %.3f s (CPU %.3f s); ratio %.2f, CPU ratio %.2f\n", name,
                median(ourWall), median(ourCpu), median(theirWall), median(theirCpu),
                median(ourWall) / median(theirWall), median(ourCpu) / median(theirCpu));
}

} // namespace

int main()
{
    ProsodyServer server;
    if (!server.isReady() || !server.start())
        return 1;
    for (const char *user : {"bob", "carol", "alice"})
        server.createAccount(QString::fromLatin1(user), QStringLiteral("secret"));
    const QVariantMap tls{{QString::fromLatin1(HMStreamSSLTrustedCAFile), server.caFile()},
                          {QString::fromLatin1(kCFStreamSSLPeerName), QStringLiteral("127.0.0.1")}};
    std::vector<Cost> ours, theirs;
    for (int round = 0; round < kRounds; ++round) {
        ours.push_back(ourLogins(server, tls));
        theirs.push_back(theirLogins(server));
    }
    report("100 logins", ours, theirs);
    ours.clear();
    theirs.clear();
    for (int round = 0; round < kRounds; ++round) {
        ours.push_back(ourMessages(server, tls));
        theirs.push_back(theirMessages(server));
    }
    report("10,000 messages received", ours, theirs);
    return 0;
}
