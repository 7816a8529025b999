#include "platform/foundation/DistributedNotificationCenter.h"

#include <QDateTime>

#include <utility>

namespace platform {

namespace {

// Nesting deeper than this is refused rather than followed, so a self-built cycle of copies or an
// absurd structure cannot exhaust the stack.
constexpr int kMaxNestingDepth = 64;

Status checkValue(const QVariant &value, const QString &path, int depth)
{
    if (depth > kMaxNestingDepth)
        return Error(ErrorCode::DataMalformed,
                     QStringLiteral("%1: nested more than %2 levels deep").arg(path, QString::number(kMaxNestingDepth)));
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QByteArray:
        return success();
    case QMetaType::QDateTime:
        if (!value.toDateTime().isValid())
            return Error(ErrorCode::DataMalformed, QStringLiteral("%1: an invalid date").arg(path));
        return success();
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        for (qsizetype index = 0; index < list.size(); ++index) {
            const Status status = checkValue(list.at(index), QStringLiteral("%1[%2]").arg(path, QString::number(index)), depth + 1);
            if (!status)
                return status;
        }
        return success();
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString childPath = path.isEmpty() ? it.key() : path + QLatin1Char('.') + it.key();
            const Status status = checkValue(it.value(), childPath, depth + 1);
            if (!status)
                return status;
        }
        return success();
    }
    default:
        break;
    }
    const char *typeName = value.isValid() ? value.typeName() : "nothing";
    return Error(ErrorCode::DataMalformed,
                 QStringLiteral("%1: a %2 is not a property-list value").arg(path, QLatin1String(typeName)));
}

} // namespace

DistributedNotificationCenter::DistributedNotificationCenter()
    : m_registry(std::make_shared<detail::ObserverRegistry>())
{
}

DistributedNotificationCenter &DistributedNotificationCenter::defaultCenter()
{
    // Never destroyed: worker threads may still post while the process runs its static destructors.
    static auto *s_defaultCenter = new DistributedNotificationCenter;
    return *s_defaultCenter;
}

ObserverToken DistributedNotificationCenter::addObserver(const QString &name, const QString &object, Handler handler)
{
    auto delivery = [object, handler = std::move(handler)](const void *payload) {
        const auto &notification = *static_cast<const DistributedNotification *>(payload);
        if (object.isEmpty() || object == notification.object)
            handler(notification);
    };
    return ObserverToken(m_registry, m_registry->add(name, std::move(delivery)));
}

Status DistributedNotificationCenter::postNotificationName(const QString &name, const QString &object,
                                                           const QVariantMap &userInfo)
{
    const Status status = checkPropertyListValue(userInfo, QString());
    if (!status)
        return status.error().withContext(name);
    const DistributedNotification notification{name, object, userInfo};
    m_registry->deliver(name, &notification);
    return success();
}

Status DistributedNotificationCenter::checkPropertyListValue(const QVariant &value, const QString &path)
{
    return checkValue(value, path, 0);
}

} // namespace platform
