// The records an Outlook sync sends to the device as new, matched with the device's copies after a
// run that ended before their pairs were kept (see HMOutlookSentAdds). The identity of what was sent
// is the one the store roads match their unconfirmed adds by (sentIdentityOfRecord).

#include "sync/HMData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMOutlookSentAdds.h"
#include "sync/HMSyncRecord.h"

#include <algorithm>
#include <utility>

bool HMData::keepOutlookAddsAboutToBeSent(const QList<HMSyncRecord> &records, quint64 conduit)
{
    const QString path = outlookSentAddsPath();
    if (path.isEmpty())
        return true;
    QList<HMOutlookSentAdds::Entry> entries;
    for (const HMSyncRecord &record : records) {
        const QString outlookId = record.isNew() ? uniqueIdsDictionary().value(record.hmxUid()).toString() : QString();
        if (!outlookId.isEmpty() && !record.hmxUid().isEmpty())
            entries.append({record.hmxUid(), outlookId, sentIdentityOfRecord(record.dictionary(), conduit)});
    }
    return HMOutlookSentAdds(path).write(entries);
}

bool HMData::loadUnsettledOutlookAdds()
{
    m_unsettledOutlookAdds.clear();
    m_unsettledOutlookAddsByIdentity.clear();
    m_unsettledOutlookAddsByLooseIdentity.clear();
    const QString path = outlookSentAddsPath();
    const std::optional<QList<HMOutlookSentAdds::Entry>> kept =
        path.isEmpty() ? QList<HMOutlookSentAdds::Entry>() : HMOutlookSentAdds(path).read();
    // A list that cannot be read is taken as one that holds something: the device is read whole.
    if (!kept)
        return true;
    if (kept->isEmpty())
        return false;
    const QHash<QString, QString> paired = outlookPairs();
    m_outlookPairedDeviceIds.emplace(paired.cbegin(), paired.cend());
    for (const HMOutlookSentAdds::Entry &entry : *kept) {
        if (paired.contains(entry.outlookId) || m_unsettledOutlookAdds.contains(entry.temporaryId))
            continue;
        m_unsettledOutlookAdds.insert(entry.temporaryId, {entry.outlookId, entry.identity});
        if (entry.identity.isEmpty())
            continue;
        m_unsettledOutlookAddsByIdentity.insert(entry.identity, entry.temporaryId);
        for (const QString &loose : looseIdentities(entry.identity))
            m_unsettledOutlookAddsByLooseIdentity.insert(loose, entry.temporaryId);
    }
    if (m_unsettledOutlookAdds.size() != kept->size()) {
        DDLogInfo(QStringLiteral("%1 records sent as new were paired after all").arg(kept->size() - m_unsettledOutlookAdds.size()));
        keepUnsettledOutlookAdds();
    }
    return !m_unsettledOutlookAdds.isEmpty();
}

bool HMData::keepUnsettledOutlookAdds()
{
    QList<HMOutlookSentAdds::Entry> entries;
    for (auto it = m_unsettledOutlookAdds.constBegin(); it != m_unsettledOutlookAdds.constEnd(); ++it)
        entries.append({it.key(), it.value().first, it.value().second});
    return HMOutlookSentAdds(outlookSentAddsPath()).write(entries);
}

bool HMData::adoptUnconfirmedOutlookAdd(const QVariantMap &deviceRecord, quint64 conduit)
{
    const QString deviceId = deviceRecord.value(QStringLiteral("UID")).toString();
    if (m_unsettledOutlookAddsByIdentity.isEmpty() || deviceId.isEmpty())
        return false;
    const QString identity = sentIdentityOfRecord(deviceRecord, conduit);
    const auto found = m_unsettledOutlookAddsByIdentity.constFind(identity);
    // A device record the map pairs already is that Outlook record's, whatever it resembles.
    if (identity.isEmpty() || found == m_unsettledOutlookAddsByIdentity.constEnd() || isPairedWithOutlook(deviceId))
        return false;
    const QString temporaryId = found.value();
    m_unsettledOutlookAddsByIdentity.remove(identity, temporaryId);
    const QString outlookId = m_unsettledOutlookAdds.take(temporaryId).first;
    DDLogInfo(QStringLiteral("The device holds Outlook record '%1', sent as '%2', under its own id '%3'")
                  .arg(outlookId, temporaryId, deviceId));
    m_adoptedOutlookPairs.insert(deviceId, outlookId);
    return true;
}

bool HMData::defersLooseOutlookMatch(const QVariantMap &deviceRecord, qint32 action, quint64 conduit)
{
    const QString deviceId = deviceRecord.value(QStringLiteral("UID")).toString();
    if (!m_isDeviceReread || m_unsettledOutlookAdds.isEmpty() || deviceId.isEmpty() || isPairedWithOutlook(deviceId))
        return false;
    return defersOnLooseIdentity(deviceRecord, action, conduit, m_unsettledOutlookAddsByLooseIdentity,
                                 QStringLiteral("a record sent as new that"));
}

QList<HMData::DeferredDeviceRecord> HMData::settleDeferredOutlookRecords(quint64 conduit, qint32 changeAction)
{
    QList<DeferredDeviceRecord> deferred = std::exchange(m_deferredDeviceRecords, {});
    const auto unsettledOfForm = [this](const QString &form) {
        QSet<QString> unsettled;
        for (auto it = m_unsettledOutlookAddsByLooseIdentity.constFind(form);
             it != m_unsettledOutlookAddsByLooseIdentity.constEnd() && it.key() == form; ++it) {
            // A record adopted whole in the listing is settled already.
            if (m_unsettledOutlookAdds.contains(it.value()))
                unsettled.insert(it.value());
        }
        return unsettled;
    };
    settleOneToOneLooseMatches(deferred, conduit, changeAction, unsettledOfForm,
                               [this](const QString &temporaryId, const QString &deviceId) {
                                   const auto [outlookId, identity] = m_unsettledOutlookAdds.take(temporaryId);
                                   m_unsettledOutlookAddsByIdentity.remove(identity, temporaryId);
                                   DDLogInfo(QStringLiteral("The device holds Outlook record '%1', sent as '%2', edited "
                                                            "under its own id '%3'")
                                                 .arg(outlookId, temporaryId, deviceId));
                                   m_adoptedOutlookPairs.insert(deviceId, outlookId);
                               });
    return deferred;
}

bool HMData::commitAdoptedOutlookPairs()
{
    if (m_adoptedOutlookPairs.isEmpty())
        return true;
    // The map first: a run ending before the list is rewritten finds these pairs in the map and
    // forgets their records at its next start.
    if (!keepOutlookPairs(m_adoptedOutlookPairs))
        return false;
    for (auto it = m_adoptedOutlookPairs.constBegin(); m_outlookPairedDeviceIds && it != m_adoptedOutlookPairs.constEnd();
         ++it)
        m_outlookPairedDeviceIds->insert(it.key());
    m_adoptedOutlookPairs.clear();
    if (!keepUnsettledOutlookAdds())
        DDLogError(QStringLiteral("The records sent as new that the device holds could not be struck from their list"));
    return true;
}

bool HMData::isPairedWithOutlook(const QString &deviceId)
{
    if (!m_outlookPairedDeviceIds) {
        const QHash<QString, QString> paired = outlookPairs();
        m_outlookPairedDeviceIds.emplace(paired.cbegin(), paired.cend());
    }
    return m_outlookPairedDeviceIds->contains(deviceId) || m_adoptedOutlookPairs.contains(deviceId);
}

QString HMData::outlookSentAddsPath()
{
    return {};
}

QHash<QString, QString> HMData::outlookPairs()
{
    return {};
}

bool HMData::keepOutlookPairs(const QVariantMap &)
{
    return false;
}

bool HMData::forgetOutlookPairs(const QStringList &)
{
    return false;
}
