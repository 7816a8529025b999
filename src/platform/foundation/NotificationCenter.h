#pragma once

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace detail {

// The observer list behind both notification centres. Observers are matched by name (an empty name
// matches every name); the centre wraps each handler in a function that applies its own object filter
// and casts the payload back to its notification type. Thread-safe.
class ObserverRegistry final
{
public:
    using Delivery = std::function<void(const void *notification)>;

    quint64 add(const QString &name, Delivery delivery);
    void remove(quint64 id);
    // Calls every observer of the name that is registered when the call starts and still registered
    // when its turn comes, on the calling thread, without holding the lock.
    void deliver(const QString &name, const void *notification);

private:
    struct Entry
    {
        quint64 id = 0;
        QString name;
        Delivery delivery;
        std::atomic<bool> isActive{true};
    };

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Entry>> m_entries; // guarded by m_mutex
    quint64 m_nextId = 1;                          // guarded by m_mutex
};

} // namespace detail

// Owns one observer registration: the observer is removed when the token is reset, reassigned or
// destroyed. A token may outlive its centre. Move-only; one thread at a time.
class ObserverToken final
{
public:
    ObserverToken() = default;
    ~ObserverToken();
    ObserverToken(ObserverToken &&other) noexcept;
    ObserverToken &operator=(ObserverToken &&other) noexcept;
    ObserverToken(const ObserverToken &) = delete;
    ObserverToken &operator=(const ObserverToken &) = delete;

    bool isActive() const { return m_id != 0; }

    // Removes the observer now. After it returns no new delivery reaches the observer; a delivery
    // already running on another thread finishes.
    void reset();

private:
    friend class NotificationCenter;
    friend class DistributedNotificationCenter;
    ObserverToken(std::weak_ptr<detail::ObserverRegistry> registry, quint64 id);

    std::weak_ptr<detail::ObserverRegistry> m_registry;
    quint64 m_id = 0;
};

// What an application notification carries. The object is the sender's identity only: it is compared,
// never dereferenced.
struct Notification
{
    QString name;
    const void *object = nullptr;
    QVariantMap userInfo;
};

// The application's notification centre: observers register for a name, optionally only for one
// sender, and a post calls every matching observer synchronously on the posting thread before it
// returns. Observers may add or remove observers (themselves included) while being called.
// Thread-safe; the default centre lives for the whole process.
class NotificationCenter final
{
public:
    using Handler = std::function<void(const Notification &notification)>;

    NotificationCenter();

    static NotificationCenter &defaultCenter();

    // Registers a handler for the name (an empty name: every notification) and, when object is not
    // null, only for notifications posted with that object. The registration lasts as long as the token.
    [[nodiscard]] ObserverToken addObserver(const QString &name, const void *object, Handler handler);

    void postNotificationName(const QString &name, const void *object = nullptr, const QVariantMap &userInfo = {});
    void postNotification(const Notification &notification);

private:
    std::shared_ptr<detail::ObserverRegistry> m_registry;
};

} // namespace platform
