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

} // namespace looptest
