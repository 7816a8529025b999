#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace detail {

quint64 ObserverRegistry::add(const QString &name, Delivery delivery)
{
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->delivery = std::move(delivery);
    const std::lock_guard lock(m_mutex);
    entry->id = m_nextId++;
    m_entries.push_back(entry);
    return entry->id;
}

void ObserverRegistry::remove(quint64 id)
{
    std::shared_ptr<Entry> removed; // released after the lock, so a handler's captures never die under it
    {
        const std::lock_guard lock(m_mutex);
        const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                        [id](const std::shared_ptr<Entry> &entry) { return entry->id == id; });
        if (found == m_entries.end())
            return;
        removed = std::move(*found);
        removed->isActive = false;
        m_entries.erase(found);
    }
}

void ObserverRegistry::deliver(const QString &name, const void *notification)
{
    // A snapshot keeps every matching entry (and its handler) alive while it runs, even when the
    // handler removes itself; the flag keeps observers removed meanwhile from being called.
    std::vector<std::shared_ptr<Entry>> matching;
    {
        const std::lock_guard lock(m_mutex);
        for (const std::shared_ptr<Entry> &entry : m_entries) {
            if (entry->name.isEmpty() || entry->name == name)
                matching.push_back(entry);
        }
    }
    for (const std::shared_ptr<Entry> &entry : matching) {
        if (entry->isActive)
            entry->delivery(notification);
    }
}

} // namespace detail

ObserverToken::ObserverToken(std::weak_ptr<detail::ObserverRegistry> registry, quint64 id)
    : m_registry(std::move(registry)), m_id(id)
{
}

ObserverToken::~ObserverToken()
{
    reset();
}

ObserverToken::ObserverToken(ObserverToken &&other) noexcept
    : m_registry(std::move(other.m_registry)), m_id(std::exchange(other.m_id, 0))
{
}

ObserverToken &ObserverToken::operator=(ObserverToken &&other) noexcept
{
    if (this != &other) {
        reset();
        m_registry = std::move(other.m_registry);
        m_id = std::exchange(other.m_id, 0);
    }
    return *this;
}

void ObserverToken::reset()
{
    const quint64 id = std::exchange(m_id, 0);
    if (id == 0)
        return;
    if (const std::shared_ptr<detail::ObserverRegistry> registry = m_registry.lock())
        registry->remove(id);
    m_registry.reset();
}

NotificationCenter::NotificationCenter() : m_registry(std::make_shared<detail::ObserverRegistry>()) {}

NotificationCenter &NotificationCenter::defaultCenter()
{
    // Never destroyed: worker threads may still post while the process runs its static destructors.
    static auto *s_defaultCenter = new NotificationCenter;
    return *s_defaultCenter;
}

ObserverToken NotificationCenter::addObserver(const QString &name, const void *object, Handler handler)
{
    auto delivery = [object, handler = std::move(handler)](const void *payload) {
        const auto &notification = *static_cast<const Notification *>(payload);
        if (object == nullptr || object == notification.object)
            handler(notification);
    };
    return ObserverToken(m_registry, m_registry->add(name, std::move(delivery)));
}

void NotificationCenter::postNotificationName(const QString &name, const void *object, const QVariantMap &userInfo)
{
    postNotification(Notification{name, object, userInfo});
}

void NotificationCenter::postNotification(const Notification &notification)
{
    m_registry->deliver(notification.name, &notification);
}

} // namespace platform
