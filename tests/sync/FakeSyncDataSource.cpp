#include "FakeSyncDataSource.h"

#include "sync/HMIdentifierGraph.h"

QStringList FakeSyncDataSource::calls() const
{
    const std::lock_guard lock(m_mutex);
    return m_calls;
}

void FakeSyncDataSource::note(const QString &call)
{
    const std::lock_guard lock(m_mutex);
    m_calls.append(call);
}

std::optional<QList<HMSyncRecord>> FakeSyncDataSource::syncRecordObjectsModifiedAfter(const QDateTime &date,
                                                                                     bool includeDeletes,
                                                                                     const QSet<QString> &excludedHmUids)
{
    note(QStringLiteral("changes since %1%2").arg(date.isValid() ? date.toString(Qt::ISODate) : QStringLiteral("ever"),
                                                  includeDeletes ? QStringLiteral(" with deletions") : QString()));
    QList<HMSyncRecord> changed;
    for (const HMSyncRecord &record : m_macRecords) {
        if (excludedHmUids.contains(record.hmxUid()))
            continue;
        if (record.isDelete() && !includeDeletes)
            continue;
        if (!date.isValid() || record.lastModifiedDate() > date)
            changed.append(record);
    }
    return changed;
}

void FakeSyncDataSource::deleteUidRecords(const QStringList &hmUids)
{
    QStringList sorted = hmUids;
    sorted.sort();
    note(QStringLiteral("delete %1").arg(sorted.join(QLatin1Char(','))));
    for (const QString &hmUid : hmUids) {
        if (const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph())
            graph->removeDictionaryForHarrowmereUid(hmUid);
    }
}

void FakeSyncDataSource::cleanUpAfterSync()
{
    note(QStringLiteral("cleanUpAfterSync"));
    if (m_cleanUpHook)
        m_cleanUpHook();
}
