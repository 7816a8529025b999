#include "datasources/tasks/OutlookDuplicateIndex.h"

#include <algorithm>

QString OutlookDuplicateIndex::keyOf(const QStringList &values)
{
    QString key;
    for (const QString &value : values) {
        const QString folded = value.toCaseFolded();
        key += QString::number(folded.size()) + u':' + folded;
    }
    return key;
}

QString OutlookDuplicateIndex::dateValue(const QDateTime &date)
{
    return date.isValid() ? QString::number(date.toMSecsSinceEpoch()) : QString();
}

void OutlookDuplicateIndex::insert(const QString &outlookId, const QStringList &keys)
{
    remove(outlookId);
    m_keysOfItem.insert(outlookId, keys);
    for (const QString &key : keys) {
        QStringList &ids = m_itemsOfKey[key];
        ids.insert(std::lower_bound(ids.begin(), ids.end(), outlookId), outlookId);
    }
}

QString OutlookDuplicateIndex::take(const QString &key)
{
    const auto found = m_itemsOfKey.constFind(key);
    if (found == m_itemsOfKey.constEnd() || found->isEmpty())
        return QString();
    const QString id = found->constFirst();
    remove(id);
    return id;
}

void OutlookDuplicateIndex::remove(const QString &outlookId)
{
    const auto found = m_keysOfItem.find(outlookId);
    if (found == m_keysOfItem.end())
        return;
    for (const QString &key : std::as_const(*found)) {
        const auto ids = m_itemsOfKey.find(key);
        if (ids == m_itemsOfKey.end())
            continue;
        ids->removeOne(outlookId);
        if (ids->isEmpty())
            m_itemsOfKey.erase(ids);
    }
    m_keysOfItem.erase(found);
}

QVariantMap OutlookDuplicateIndex::idMap() const
{
    QVariantMap ids;
    for (auto it = m_keysOfItem.constBegin(); it != m_keysOfItem.constEnd(); ++it)
        ids.insert(it.key(), true);
    return ids;
}

void OutlookDuplicateIndex::keepOnly(const QVariantMap &ids)
{
    const QStringList filed = m_keysOfItem.keys();
    for (const QString &id : filed) {
        if (!ids.contains(id))
            remove(id);
    }
}
