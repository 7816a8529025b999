#pragma once

// What the TCP socket's tests share: a delegate that records every callback, and the plain POSIX end
// of the connection the socket talks to.

#include "push/CocoaAsyncSocket/GCDAsyncSocket.h"
#include "platform/dispatch/DispatchQueue.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sockettest {

// Records every callback in order for the test thread to read. Timeout questions are answered from
// a script (0 once it runs out); accepted sockets are kept alive.
class RecordingDelegate final : public GCDAsyncSocketDelegate
{
public:
    struct Read
    {
        QByteArray data;
        long tag = 0;
    };

    void socketDidAcceptNewSocket(GCDAsyncSocket *sock, const std::shared_ptr<GCDAsyncSocket> &newSocket) override;
    void socketDidConnectToHost(GCDAsyncSocket *sock, const QString &host, quint16 port) override;
    void socketDidReadData(GCDAsyncSocket *sock, const QByteArray &data, long tag) override;
    void socketDidReadPartialDataOfLength(GCDAsyncSocket *sock, std::size_t partialLength, long tag) override;
    void socketDidWriteDataWithTag(GCDAsyncSocket *sock, long tag) override;
    void socketDidWritePartialDataOfLength(GCDAsyncSocket *sock, std::size_t partialLength, long tag) override;
    double socketShouldTimeoutReadWithTag(GCDAsyncSocket *sock, long tag, double elapsed,
                                          std::size_t bytesDone) override;
    double socketShouldTimeoutWriteWithTag(GCDAsyncSocket *sock, long tag, double elapsed,
                                           std::size_t bytesDone) override;
    void socketDidCloseReadStream(GCDAsyncSocket *sock) override;
    void socketDidDisconnect(GCDAsyncSocket *sock, const platform::PlatformError &err) override;
    void socketDidSecure(GCDAsyncSocket *sock) override;

    // What to do with each read as it completes (on the delegate queue); none by default.
    void setOnRead(std::function<void(GCDAsyncSocket *, const QByteArray &, long)> onRead);
    void setOnWrite(std::function<void(GCDAsyncSocket *, long)> onWrite);
    // When set, reads are counted but not kept (long transfers).
    void setCountsOnly(bool countsOnly);
    void scriptTimeoutAnswers(std::vector<double> answers);

    QStringList events() const;
    std::vector<Read> reads() const;
    std::vector<platform::PlatformError> disconnects() const;
    std::vector<std::shared_ptr<GCDAsyncSocket>> accepted() const;
    // Elapsed times of the timeout questions, and bytesDone of each.
    std::vector<double> timeoutElapsed() const;
    std::vector<std::size_t> timeoutBytesDone() const;
    std::size_t bytesRead() const;
    QString connectedHost() const;
    quint16 connectedPort() const;
    bool hasEvent(const QString &event) const;

private:
    void record(const QString &event);
    double answerTimeout(double elapsed, std::size_t bytesDone);

    mutable std::mutex m_mutex;
    QStringList m_events;
    std::vector<Read> m_reads;
    std::vector<platform::PlatformError> m_disconnects;
    std::vector<std::shared_ptr<GCDAsyncSocket>> m_accepted;
    std::deque<double> m_timeoutAnswers;
    std::vector<double> m_timeoutElapsed;
    std::vector<std::size_t> m_timeoutBytesDone;
    std::size_t m_bytesRead = 0;
    bool m_countsOnly = false;
    QString m_connectedHost;
    quint16 m_connectedPort = 0;
    std::function<void(GCDAsyncSocket *, const QByteArray &, long)> m_onRead;
    std::function<void(GCDAsyncSocket *, long)> m_onWrite;
};

// A plain descriptor that closes itself.
class Fd final
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    int get() const { return m_fd; }
    int release();
    void reset();

private:
    int m_fd = -1;
};

// "127.0.0.1" or "::1" as the family's loopback host.
QString loopbackHost(int family);
// A plain listening socket on the family's loopback address with a port the system picks.
Fd listenPlain(int family, quint16 *port, int backlog = 16);
// A plain blocking connect to the family's loopback address; -1 on failure.
Fd connectPlain(int family, quint16 port);
// Accepts one connection, waiting at most the given milliseconds; -1 when none came.
Fd acceptPlain(int listener, int timeoutMs = 10000);
bool writeAllPlain(int fd, const QByteArray &data);
// Reads until count bytes came, the peer closed or the time ran out.
QByteArray readPlain(int fd, std::size_t count, int timeoutMs = 10000);
// The host and port of a descriptor's own end.
QString localHostOf(int fd);
quint16 localPortOf(int fd);
// Open descriptors of this process.
int openDescriptorCount();
// The resident memory of this process, in bytes.
std::size_t residentBytes();

// What a test needs for one socket: its delegate, the delegate queue and the socket.
struct SocketUnderTest
{
    SocketUnderTest();
    ~SocketUnderTest();

    RecordingDelegate delegate;
    std::shared_ptr<platform::DispatchQueue> delegateQueue;
    std::shared_ptr<GCDAsyncSocket> socket;
};

// Waits (pumping nothing; callbacks come on the delegate queue) until the condition holds.
bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000);

} // namespace sockettest
