#include "DnsmasqServer.h"

#include "LoopbackPorts.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

DnsmasqServer::DnsmasqServer(const QStringList &srvHosts, const QStringList &localDomains)
{
    // The port is probed, then freed for dnsmasq, which also takes it for TCP: another process may take
    // it between, so a dnsmasq that exits is started again on a new port.
    for (int attempt = 0; attempt < 5 && !m_isStarted; ++attempt) {
        m_isStarted = startOnFreePort(srvHosts, localDomains);
        if (!m_isStarted) {
            m_process.signal(SIGKILL);
            m_process.waitForFinished(-1);
        }
    }
    if (!m_isStarted)
        ADD_FAILURE() << "dnsmasq did not start: " << m_process.output().toStdString();
}

DnsmasqServer::~DnsmasqServer()
{
    m_process.signal(SIGKILL);
    m_process.waitForFinished(-1);
}

QString DnsmasqServer::server() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

bool DnsmasqServer::startOnFreePort(const QStringList &srvHosts, const QStringList &localDomains)
{
    m_port = looptest::probeUdpAndTcpPort();
    QStringList arguments{QStringLiteral("--keep-in-foreground"),
                          QStringLiteral("--no-resolv"),
                          QStringLiteral("--no-hosts"),
                          QStringLiteral("--conf-file=/dev/null"),
                          QStringLiteral("--listen-address=127.0.0.1"),
                          QStringLiteral("--bind-interfaces"),
                          QStringLiteral("--port=%1").arg(m_port),
                          QStringLiteral("--pid-file="),
                          QStringLiteral("--log-queries"),
                          QStringLiteral("--log-facility=") + m_folder.filePath(QStringLiteral("queries.log"))};
    for (const QString &domain : localDomains)
        arguments.append(QStringLiteral("--local=/%1/").arg(domain));
    for (const QString &srv : srvHosts)
        arguments.append(QStringLiteral("--srv-host=") + srv);
    if (!m_process.start(QStringLiteral("/usr/sbin/dnsmasq"), arguments))
        return false;
    // Up once it answers: the port being taken is not enough, as another socket of this process (a
    // resolver's) may have taken the probed port first. Given up on when dnsmasq exits, or after ten
    // seconds.
    for (int i = 0; i < 100 && m_process.isRunning(); ++i) {
        if (looptest::isUdpPortTaken(m_port) && answersQueries())
            return true;
        m_process.waitForFinished(100);
    }
    return false;
}

namespace {

// The name of the readiness query, left out of the names the tests see.
constexpr char kReadinessName[] = "ready.dnsmasq.test";

} // namespace

bool DnsmasqServer::answersQueries() const
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    // A query for an A record of the readiness name: header (id 0x4242, recursion desired, one
    // question), then the name in labels, type 1, class 1.
    QByteArray query = QByteArray::fromHex("424201000001000000000000");
    for (const QByteArray &label : QByteArray(kReadinessName).split('.'))
        query.append(char(label.size())).append(label);
    query.append(QByteArray::fromHex("0000010001"));
    ::sendto(fd, query.constData(), std::size_t(query.size()), 0, reinterpret_cast<sockaddr *>(&address),
             sizeof address);
    pollfd poll{fd, POLLIN, 0};
    char reply[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const bool answered =
        ::poll(&poll, 1, 200) == 1 &&
        ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&from), &fromLength) >= 12 &&
        from.sin_port == address.sin_port && reply[0] == 0x42 && reply[1] == 0x42;
    ::close(fd);
    return answered;
}

QStringList DnsmasqServer::queriedNames() const
{
    QFile log(m_folder.filePath(QStringLiteral("queries.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    // Lines such as "dnsmasq[12]: query[SRV] _xmpp-client._tcp.example.test from 127.0.0.1".
    static const QRegularExpression query(QStringLiteral(R"(query\[\w+\] (\S+) from)"));
    QStringList names;
    const QString text = QString::fromUtf8(log.read(4 * 1024 * 1024));
    for (auto it = query.globalMatch(text); it.hasNext();) {
        const QString name = it.next().captured(1);
        if (name != QLatin1String(kReadinessName))
            names.append(name);
    }
    return names;
}
