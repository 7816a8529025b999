#include "platform/restkit/RKReachabilityObserver.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace platform {

RKReachabilityObserver::RKReachabilityObserver(QString host, quint16 port) : m_host(std::move(host)), m_port(port) {}

bool RKReachabilityObserver::isLoopbackHost() const
{
    if (m_host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(m_host);
    return !address.isNull() && address.isLoopback();
}

bool RKReachabilityObserver::isNetworkReachable() const
{
    const bool wantLoopback = isLoopbackHost();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning))
            continue;
        if (flags.testFlag(QNetworkInterface::IsLoopBack) != wantLoopback)
            continue;
        if (!interface.addressEntries().isEmpty())
            return true;
    }
    return false;
}

bool RKReachabilityObserver::checkHostReachable(std::chrono::milliseconds timeout)
{
    QTcpSocket socket;
    socket.connectToHost(m_host, m_port);
    const bool connected = socket.waitForConnected(int(std::clamp<qint64>(timeout.count(), 1, 600000)));
    socket.abort();
    m_lastHostCheck.store(connected);
    return connected;
}

} // namespace platform
