// The host check opens a TCP connection through Qt Network. It lives apart from the rest of the
// observer so that a program which never checks a host (the sync driver) never links Qt Network, and
// so never loads it and the libraries it brings at start-up.
#include "platform/restkit/RKReachabilityObserver.h"

#include <QTcpSocket>

#include <algorithm>

namespace platform {

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
