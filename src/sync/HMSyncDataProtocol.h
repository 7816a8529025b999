#pragma once

#include "sync/HMSyncRecord.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtGlobal>

#include <optional>

// What every Mac-side data source (contacts, calendar, tasks, memos) offers the sync controller. The
// operations run on the sync run's serial queue, between prepareForUseOnThread and stopUsingOnThread.
// HMData gives each a default.
class HMSyncDataProtocol
{
public:
    virtual ~HMSyncDataProtocol() = default;

    // Opens and closes the store for the run's queue.
    virtual void prepareForUseOnThread() = 0;
    virtual void stopUsingOnThread() = 0;
    // Forgets every identifier pairing of the conduit.
    virtual void clearIdTable() = 0;
    // The other side's ids of every record known as synchronised.
    virtual QSet<QString> setOfHmUids() = 0;
    virtual void saveChanges() = 0;
    // The Mac records changed after the date (a null date: all), deletions too when asked, leaving out
    // the given ids. std::nullopt when the data source has no answer at all, which is not the same as
    // an empty list.
    virtual std::optional<QList<HMSyncRecord>> syncRecordObjectsModifiedAfter(const QDateTime &date, bool includeDeletes,
                                                                             const QSet<QString> &excludedHmUids) = 0;
    // Writes one record of the other side into the Mac store (action 0, or 1 add, 2 update, 3 delete)
    // under the conflict setting. A result of 2 or more means the Mac record was written from it.
    virtual qint64 commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting, const QVariantMap &record,
                                 qint64 timeDifference) = 0;
    // The same for Outlook contact managers.
    virtual qint64 outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                        const QVariantMap &record, qint64 timeDifference) = 0;
    // Replaces the temporary ids of records sent as new by the ids the other side assigned.
    virtual void updateUidToDeviceIds(const QVariantMap &temporaryToDeviceIds) = 0;
    // Deletes the Mac records of the other side's ids.
    virtual void deleteUidRecords(const QStringList &hmUids) = 0;
};
