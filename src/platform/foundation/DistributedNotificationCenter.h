#pragma once

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

namespace platform {

// What a distributed notification carries: a name, a text object and a property-list user info.
struct DistributedNotification
{
    QString name;
    QString object;
    QVariantMap userInfo;
};

// The broadcast centre for notices meant for other programs as well as this one. Only this process
// listens, so a post reaches this process's observers, synchronously on the posting thread, like the
// application centre. Its contents are restricted to what can cross a process boundary: a text object
// and a user info made only of property-list values (text, boolean, integer, real, date, data, list,
// dictionary). Thread-safe; the default centre lives for the whole process.
class DistributedNotificationCenter final
{
public:
    using Handler = std::function<void(const DistributedNotification &notification)>;

    DistributedNotificationCenter();

    static DistributedNotificationCenter &defaultCenter();

    // Registers a handler for the name (an empty name: every notification) and, when object is not
    // empty, only for notifications posted with an equal object text.
    [[nodiscard]] ObserverToken addObserver(const QString &name, const QString &object, Handler handler);

    // Delivers the notification to every matching observer. A user info holding a value that is not
    // a property-list value is refused whole (nothing is delivered) with the offending key named.
    Status postNotificationName(const QString &name, const QString &object = {}, const QVariantMap &userInfo = {});

    // Whether a value can travel in a distributed user info; when it cannot, the error names the path
    // to the offending value ("HMSyncDidFinishErrorCode", "records[2].photo").
    static Status checkPropertyListValue(const QVariant &value, const QString &path);

private:
    std::shared_ptr<detail::ObserverRegistry> m_registry;
};

} // namespace platform
