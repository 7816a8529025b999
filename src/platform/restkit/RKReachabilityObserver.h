#pragma once

#include <QString>

#include <atomic>
#include <chrono>

namespace platform {

// Answers whether a client's host can be reached. The local answer (isNetworkReachable) looks at the
// machine's network interfaces: a loopback host needs a running loopback interface, any other host a
// running interface that is not loopback and has an address. It is determined from the start.
// checkHostReachable goes further and opens a TCP connection to the host. Thread-safe.
class RKReachabilityObserver final
{
public:
    RKReachabilityObserver(QString host, quint16 port);

    const QString &host() const { return m_host; }
    quint16 port() const { return m_port; }

    bool isReachabilityDetermined() const { return true; }
    bool isNetworkReachable() const;
    // Connects to the host and port and closes again at once; answers whether that succeeded within
    // the time-out. Blocks the caller up to the time-out: call it from a worker thread, never from the
    // main thread. The answer is kept (lastHostCheckSucceeded).
    bool checkHostReachable(std::chrono::milliseconds timeout);
    bool lastHostCheckSucceeded() const { return m_lastHostCheck.load(); }

    // Whether the host is "localhost" or a loopback address: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped
    // into IPv6.
    static bool isLoopbackHost(const QString &host);

private:
    const QString m_host;
    const quint16 m_port;
    std::atomic<bool> m_lastHostCheck = false;
};

} // namespace platform
