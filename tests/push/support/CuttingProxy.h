#pragma once

#include <QtGlobal>

#include <atomic>
#include <thread>

// A TCP proxy on a loopback port to a loopback target, for connection trials: it passes bytes both
// ways until told to cut. A cut takes effect at the next bytes from the server: it forwards half of
// them (so the client is left inside a stanza) and then closes both sides, with a reset (RST) or an
// orderly close (FIN). After a cut it accepts new connections and passes them again.
class CuttingProxy
{
public:
    enum class Cut { None, Reset, Close };

    explicit CuttingProxy(quint16 targetPort);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy &) = delete;
    CuttingProxy &operator=(const CuttingProxy &) = delete;

    quint16 port() const { return m_port; }
    void cutAtNextServerBytes(Cut cut) { m_cut = cut; }
    int cuts() const { return m_cuts; }
    int connections() const { return m_connections; }

private:
    void serve();
    void relay(int client);

    const quint16 m_targetPort;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<Cut> m_cut{Cut::None};
    std::atomic<int> m_cuts{0};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
