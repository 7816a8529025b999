// The end of a conduit's batch of writes to Google, when Google did not take all of them (a write
// refused, or its answer never came: the connection cut, the reply lost).
//
// The read's date moves all the same, with the pairs of the inserts Google took and the deletions it
// took, so the next sync does not send again everything changed since the last whole batch (Google's
// own records applied to Outlook in this run among them). The records whose writes were not taken are
// listed beside the map first (outlookunanswered): the next Outlook read lists them whatever their
// dates. An insert not taken leaves no pair: sent again as new, it is paired with a copy Google
// already holds the way every lost insert is (the Google listing of a two-way run, the look of a
// send-only run, an event's own id answered 409). A deletion not taken stays in the map, so Outlook's
// deletion is found again. The run then ends as not finished, keeping what was done.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookUnansweredIds.h"
#include "sync/HMData.h"

namespace {

QString counted(qint64 count, const char *noun)
{
    return QStringLiteral("%1 %2 change%3").arg(count).arg(QLatin1String(noun)).arg(count == 1 ? "" : "s");
}

} // namespace

HMGoogleSyncDriver::WritesNotTaken &HMGoogleSyncDriver::writesNotTaken(Conduit conduit)
{
    return m_writesNotTaken.at(std::size_t(conduit));
}

bool HMGoogleSyncDriver::batchTaken(Conduit conduit) const
{
    return m_writesNotTaken.at(std::size_t(conduit)).count == 0;
}

// A batch starts with no write not taken; none starts once the user has asked to stop.
bool HMGoogleSyncDriver::startsBatch(Conduit conduit)
{
    if (stopsForCancel())
        return false;
    writesNotTaken(conduit) = {};
    return true;
}

// A batch with nothing to send: the read's date is kept at once, and the delegate hears that the
// conduit is done without an update sent.
bool HMGoogleSyncDriver::finishEmptyBatch(HMData &data, Conduit conduit)
{
    commitWrites(data, conduit);
    if (m_delegate != nullptr) {
        m_delegate->syncDriverWriteRemainOnCurrentConduit(false);
        m_delegate->syncDriverUpdateCommandReturnedSuccessful(false);
    }
    return true;
}

// A record that does not carry its Outlook id (an update of some conduits) is found by its pair; the
// map is read once a batch, at the first such write, before any pair of the batch is forgotten.
void HMGoogleSyncDriver::noteWriteNotTaken(Conduit conduit, const QString &outlookId, const QString &deviceId)
{
    WritesNotTaken &notTaken = writesNotTaken(conduit);
    ++notTaken.count;
    QString found = outlookId;
    if (found.isEmpty() && !deviceId.isEmpty()) {
        if (!notTaken.pairs)
            notTaken.pairs = HMOutlookDatFileHelper().dictionaryForDatFile(conduit).value_or(QVariantMap());
        found = notTaken.pairs->value(deviceId).toString();
    }
    if (!found.isEmpty())
        notTaken.outlookIds.insert(found);
    if (!deviceId.isEmpty())
        notTaken.deviceIds.insert(deviceId);
}

// The contacts of a category whose group Google did not make went without it: they go again.
void HMGoogleSyncDriver::noteGroupNotMade(const QString &name)
{
    WritesNotTaken &notTaken = writesNotTaken(Conduit::Contacts);
    ++notTaken.count;
    for (const QList<ContactWrite> *writes : {&m_contactInserts, &m_contactUpdates}) {
        for (const ContactWrite &write : *writes) {
            if (!write.outlookId.isEmpty() &&
                write.record.value(QStringLiteral("NSARRAYCATEGORIES")).toList().contains(QVariant(name)))
                notTaken.outlookIds.insert(write.outlookId);
        }
    }
}

// The list of records to send again replaces the last one before the date moves: a run killed in
// between lists them with everything since the old date. A list that cannot be written keeps the old
// date, as a whole batch not taken would.
void HMGoogleSyncDriver::commitWrites(HMData &data, Conduit conduit)
{
    const WritesNotTaken &notTaken = writesNotTaken(conduit);
    if (!outlookunanswered::keep(conduit, QStringList(notTaken.outlookIds.cbegin(), notTaken.outlookIds.cend()))) {
        DDLogError(QStringLiteral("The records Google did not take could not be listed; the next sync sends "
                                  "everything changed since the last whole one"));
        data.commitUniqueIds(false);
        return;
    }
    if (notTaken.count > 0) {
        DDLogError(QStringLiteral("Google did not take %1 writes; %2 records are sent again at the next sync")
                       .arg(notTaken.count)
                       .arg(notTaken.outlookIds.size()));
        QVariantMap pairs = data.uniqueIdsDictionary();
        for (const QString &deviceId : notTaken.deviceIds)
            pairs.remove(deviceId);
        QVariantList removals;
        for (const QVariant &deviceId : data.idsToDeleteArray()) {
            if (!notTaken.deviceIds.contains(deviceId.toString()))
                removals.append(deviceId);
        }
        data.setUniqueIdsDictionary(pairs);
        data.setIdsToDeleteArray(removals);
    }
    data.commitUniqueIds(true);
}

QString HMGoogleSyncDriver::writesNotTakenText() const
{
    static const char *const nouns[] = {"contact", "event", "task"};
    QStringList parts;
    for (std::size_t conduit = 0; conduit < m_writesNotTaken.size(); ++conduit) {
        if (m_writesNotTaken.at(conduit).count > 0)
            parts << counted(m_writesNotTaken.at(conduit).count, nouns[conduit]);
    }
    if (parts.isEmpty())
        return {};
    const QString last = parts.takeLast();
    const QString all = parts.isEmpty() ? last : parts.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    return QStringLiteral("Google did not take %1; the rest was synced, and these are sent again at the next sync.")
        .arg(all);
}
