#include "DnsmasqServer.h"

#include "LoopbackPorts.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

DnsmasqServer::DnsmasqServer(const QStringList &srvHosts, const QStringList &localDomains)
{
    // The port is probed, then freed for dnsmasq, which also takes it for TCP: another process may take
    // it between, so a dnsmasq that exits is started again on a new port.
    for (int attempt = 0; attempt < 5 && !m_isStarted; ++attempt) {
        m_isStarted = startOnFreePort(srvHosts, localDomains);
        if (!m_isStarted) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    if (!m_isStarted)
        ADD_FAILURE() << "dnsmasq did not start: " << m_process.readAllStandardError().toStdString();
}

DnsmasqServer::~DnsmasqServer()
{
    m_process.kill();
    m_process.waitForFinished();
}

QString DnsmasqServer::server() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

bool DnsmasqServer::startOnFreePort(const QStringList &srvHosts, const QStringList &localDomains)
{
    m_port = looptest::probeUdpPort();
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
    m_process.start(QStringLiteral("/usr/sbin/dnsmasq"), arguments);
    if (!m_process.waitForStarted())
        return false;
    // Up once the port is taken; given up on when dnsmasq exits, or after ten seconds.
    for (int i = 0; i < 1000 && m_process.state() == QProcess::Running; ++i) {
        if (looptest::isUdpPortTaken(m_port))
            return true;
        m_process.waitForFinished(10);
    }
    return false;
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
    for (auto it = query.globalMatch(text); it.hasNext();)
        names.append(it.next().captured(1));
    return names;
}
