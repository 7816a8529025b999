#pragma once

#include "ChildProcess.h"

#include <QStringList>
#include <QTemporaryDir>

// dnsmasq on loopback answering only from the records it is given (NXDOMAIN for other names of the
// local domains), with its queries logged to a file of its own. Started by the constructor and killed
// by the destructor; started() tells whether it came up.
class DnsmasqServer
{
public:
    // srvHosts are dnsmasq's --srv-host values ("name,target,port,priority,weight"); localDomains
    // the domains answered only from these records.
    explicit DnsmasqServer(const QStringList &srvHosts,
                           const QStringList &localDomains = {QStringLiteral("example.test")});
    ~DnsmasqServer();
    DnsmasqServer(const DnsmasqServer &) = delete;
    DnsmasqServer &operator=(const DnsmasqServer &) = delete;

    bool started() const { return m_isStarted; }
    // "127.0.0.1:<port>", as the SRV resolver takes its servers.
    QString server() const;
    // The names asked so far, from the query log.
    QStringList queriedNames() const;

private:
    bool startOnFreePort(const QStringList &srvHosts, const QStringList &localDomains);
    bool answersQueries() const;

    QTemporaryDir m_folder;
    looptest::ChildProcess m_process;
    quint16 m_port = 0;
    bool m_isStarted = false;
};
