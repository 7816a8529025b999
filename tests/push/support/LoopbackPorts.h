#pragma once

#include <QtGlobal>

// Loopback ports for the test servers: a port the system picks (freed again for the server that is to
// take it), and whether a UDP port is taken.
namespace looptest {

quint16 probeUdpPort();
quint16 probeTcpPort();
// A port free for both UDP and TCP (a DNS server takes both).
quint16 probeUdpAndTcpPort();
bool isUdpPortTaken(quint16 port);
// A listening TCP socket on a loopback port the system picks: its descriptor goes to fd (-1 on
// failure) and its port is the result (0 on failure).
quint16 listenOnLoopback(int &fd);

} // namespace looptest
