#pragma once

#include "outlook/HMAppendedLinesFile.h"
#include "outlook/HMOutlookDatFileHelper.h"

#include <QDateTime>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

class HMOutlookSQLiteHelper;

// The id-map bookkeeping of the conduits of an Outlook sync: which device ids
// Outlook no longer has, which the device no longer has, the pairs of a sync kept once the device has
// taken its records, and Outlook records removed for the device.
//
// Pairs the device confirmed (its permanent id for a record sent as new) are appended to a small file
// beside the id map as they arrive and merged into the map with one write at the commit, or by the
// next run when this one was killed first: a record the device holds is never sent as new again.
class HMOutlookIdBookkeeping final
{
public:
    using Conduit = HMOutlookDatFileHelper::Conduit;

    // Without the Outlook reader (null) only the map's own work is done: nothing is listed or deleted.
    HMOutlookIdBookkeeping(Conduit conduit, std::shared_ptr<HMOutlookDatFileHelper> map,
                           std::shared_ptr<HMOutlookSQLiteHelper> outlook);

    // "Calendar", "Tasks", "Memos".
    QString conduitName() const;
    QString confirmedPairsPath() const;
    // The map's pairs, device id by Outlook id (the first device id of an Outlook id wins).
    QHash<QString, QString> deviceIdsByOutlookId() const;
    // Device ids of mapped records Outlook no longer lists; nullopt when Outlook's ids cannot be read
    // (an unreadable listing is no empty one: read as one, every mapped record would be deleted).
    std::optional<QStringList> deviceIdsGoneFromOutlook();
    // Removes the stale pairs with one write; nothing when Outlook's ids cannot be read.
    void removeDeletedOutlookIdsFromDatFile();
    // The mapped device ids missing from the device's ids, in map order.
    QStringList findDeletes(const QStringList &deviceIds) const;
    bool appendConfirmedPair(const QString &deviceId, const QString &outlookId);
    // The confirmed-pairs file, the given pairs and removals and the dates (invalid: kept) with one
    // write; the file goes only once the map holds them.
    bool commit(const QVariantMap &pairs, const QStringList &removals, const QDateTime &lastModified,
                const QDateTime &listCommandDate);
    // The commit at a sync's end. Successful: the new pairs, the removals of the sent deletions and,
    // with a valid read stamp, the read's date and the list command's (now when invalid). Not
    // successful: only the pairs the other side confirmed; the rest waits for the next read.
    bool commitSync(bool wasSuccessful, const QVariantMap &pairs, const QVariantList &removals,
                    const QDateTime &readStamp, const QDateTime &listCommandReturned);
    // The dates of a sync that read nothing from Outlook: modified now, the list command's date (now
    // when invalid).
    bool commitDatesWithoutRead(const QDateTime &listCommandReturned);

private:
    Conduit m_conduit;
    std::shared_ptr<HMOutlookDatFileHelper> m_map;
    std::shared_ptr<HMOutlookSQLiteHelper> m_outlook;
    HMAppendedLinesFile m_confirmedPairs;
};
