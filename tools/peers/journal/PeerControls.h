#pragma once

#include <QDateTime>
#include <QList>
#include <QStringList>

#include <condition_variable>
#include <mutex>

namespace peerjournal {

// What a test sets and reads on an HTTP peer: its clock, its switches (the ways it misbehaves) and
// the requests it received. The peer guards its own state with the same mutex, and waits for a
// switch to clear on the same condition.
template <typename Switch, typename Request> class PeerControls
{
public:
    void setClock(const QDateTime &now) // an invalid date: the system's clock
    {
        const std::lock_guard lock(m_mutex);
        m_clock = now;
    }
    QDateTime now() const
    {
        const std::lock_guard lock(m_mutex);
        return m_clock.isValid() ? m_clock : QDateTime::currentDateTimeUtc();
    }

    void addSwitch(const Switch &change)
    {
        const std::lock_guard lock(m_mutex);
        m_switches.append(change);
    }
    void clearSwitches()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_switches.clear();
        }
        m_wake.notify_all();
    }

    QList<Request> requests() const
    {
        const std::lock_guard lock(m_mutex);
        return m_requests;
    }
    QStringList requestPaths() const
    {
        QStringList paths;
        for (const Request &request : requests())
            paths << request.path;
        return paths;
    }
    void clearRequests()
    {
        const std::lock_guard lock(m_mutex);
        m_requests.clear();
    }

protected:
    PeerControls() = default;
    ~PeerControls() = default;
    PeerControls(const PeerControls &) = delete;
    PeerControls &operator=(const PeerControls &) = delete;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    QDateTime m_clock;
    QList<Switch> m_switches;
    QList<Request> m_requests;
};

} // namespace peerjournal
