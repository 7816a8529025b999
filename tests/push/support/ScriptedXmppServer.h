#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A scripted XMPP server on a loopback port, written from the protocol documents alone: for what the
// real server of the tests does not offer (DIGEST-MD5 with its rspauth step, a "0.9" root with the
// older login, malformed XML, huge stanzas, silence). It serves one connection at a time and plays
// its script on each: every step waits until the bytes received since the step before hold the
// expected text, then writes its reply (or runs its action with a writer). After the last step it
// keeps reading until the client closes. Everything received is kept.
class ScriptedXmppServer
{
public:
    using Writer = std::function<bool(const QByteArray &bytes)>;
    struct Step
    {
        QByteArray expect;
        QByteArray reply;
        std::function<void(const Writer &write)> action = {};
        // Closes the connection after the reply (FIN).
        bool close = false;
    };

    explicit ScriptedXmppServer(std::vector<Step> steps);
    ~ScriptedXmppServer();
    ScriptedXmppServer(const ScriptedXmppServer &) = delete;
    ScriptedXmppServer &operator=(const ScriptedXmppServer &) = delete;

    quint16 port() const { return m_port; }
    QByteArray received() const;
    // Waits until the received bytes hold the text count times.
    bool waitForReceived(const QByteArray &text, int count = 1,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // Writes to the current connection, if any.
    bool send(const QByteArray &bytes);
    int connections() const { return m_connections; }

    // The opening a version 1.0 server answers with, with the id given.
    static QByteArray streamHeader(const QByteArray &id = "c2s-1", const QByteArray &version = "1.0");

private:
    void serve();
    void play(int fd);
    bool readUntil(int fd, const QByteArray &expect, qsizetype &from);
    bool writeAll(int fd, const QByteArray &bytes);

    const std::vector<Step> m_steps;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QByteArray m_received;
    int m_clientFd = -1;
    std::thread m_thread;
};
