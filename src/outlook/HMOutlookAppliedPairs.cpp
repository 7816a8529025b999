#include "outlook/HMOutlookAppliedPairs.h"

#include <algorithm>

void HMOutlookAppliedPairs::insert(const QString &deviceId, const QString &outlookId)
{
    const auto old = m_pairs.constFind(deviceId);
    if (old != m_pairs.constEnd()) {
        if (old.value() == outlookId)
            return;
        forgetReverse(deviceId, old.value());
    }
    m_pairs.insert(deviceId, outlookId);
    QStringList &deviceIds = m_deviceIdsByOutlookId[outlookId];
    deviceIds.insert(std::lower_bound(deviceIds.begin(), deviceIds.end(), deviceId) - deviceIds.begin(), deviceId);
}

void HMOutlookAppliedPairs::remove(const QString &deviceId)
{
    const auto old = m_pairs.constFind(deviceId);
    if (old == m_pairs.constEnd())
        return;
    forgetReverse(deviceId, old.value());
    m_pairs.remove(deviceId);
}

void HMOutlookAppliedPairs::forgetReverse(const QString &deviceId, const QString &outlookId)
{
    const auto entry = m_deviceIdsByOutlookId.find(outlookId);
    if (entry == m_deviceIdsByOutlookId.end())
        return;
    entry->removeOne(deviceId);
    if (entry->isEmpty())
        m_deviceIdsByOutlookId.erase(entry);
}

// The keys starting with a text follow each other in key order, from the first key not before it.
QString HMOutlookAppliedPairs::firstDeviceIdStartingWith(const QString &prefix) const
{
    const auto first = m_pairs.lowerBound(prefix);
    return first != m_pairs.constEnd() && first.key().startsWith(prefix) ? first.key() : QString();
}

QString HMOutlookAppliedPairs::deviceIdForOutlookId(const QString &outlookId) const
{
    const QStringList deviceIds = m_deviceIdsByOutlookId.value(outlookId);
    return deviceIds.isEmpty() ? QString() : deviceIds.first();
}
