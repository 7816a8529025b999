// Contact and task inserts of a send-only run (Outlook to Google) whose answers never came.
//
// Google gives a new contact or task its id in the answer to the insert. A run that never read that
// answer (the connection cut after Google stored the record, the program killed) has no pair for it;
// a two-way run finds the copy in its Google listing and pairs it there, but a send-only run reads
// nothing of Google's and would send the record a second time. So before a send-only batch, the
// records about to go as new are listed beside the conduit's map (their temporary id, Outlook id and
// what was sent, in "<map>.sent") with the time of sending ("<map>.google-sent"). The next send-only
// run, when that list still holds records without a pair, reads what Google changed since the
// earliest send and pairs the records that match what was sent; it applies nothing to Outlook and
// moves no list date. The rest never reached Google and go again as new. Events need none of this:
// their inserts carry an id of ours.
//
// The task half of the listing is with the task reading (+Tasks).
#include "google/HMGoogleSyncDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleContactFeed.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"
#include "sync/HMSyncTypes.h"

#include <QFile>

namespace {

constexpr auto kContacts = quint64(HMSyncConduit::Contacts);
constexpr auto kContactMap = HMOutlookDatFileHelper::Conduit::Contacts;

quint64 syncConduit(HMOutlookDatFileHelper::Conduit conduit)
{
    return conduit == kContactMap ? kContacts : quint64(HMSyncConduit::Tasks);
}

} // namespace

// The send times first: a list of records without them is read against every record Google holds,
// which pairs them too, only slower.
bool HMGoogleSyncDriver::keepInsertsAboutToBeSent(HMData &data, HMOutlookDatFileHelper::Conduit conduit,
                                                  const QList<HMSyncRecord> &records)
{
    QStringList outlookIds;
    for (const HMSyncRecord &record : records) {
        if (record.isNew() && !record.isDelete())
            outlookIds << data.uniqueIdsDictionary().value(record.hmxUid()).toString();
    }
    if (outlookIds.isEmpty())
        return true;
    return googlesenttimes::keep(conduit, outlookIds, QDateTime::currentDateTimeUtc()) &&
           data.keepOutlookAddsAboutToBeSent(records, syncConduit(conduit));
}

bool HMGoogleSyncDriver::forgetSentInserts(HMData &data, HMOutlookDatFileHelper::Conduit conduit)
{
    // The list of records first: send times without it are never read.
    return data.keepOutlookAddsAboutToBeSent({}, syncConduit(conduit)) && googlesenttimes::file(conduit).clear();
}

// A run that read Google's records first paired whatever an earlier send-only run left unanswered:
// its lists go. Without send times no send-only run left any (the list of records is then another
// road's, and stays).
bool HMGoogleSyncDriver::forgetInsertsLeftBySendOnlyRun(HMData &data, HMOutlookDatFileHelper::Conduit conduit)
{
    return !QFile::exists(googlesenttimes::file(conduit).path()) || forgetSentInserts(data, conduit);
}

// Nothing Google holds is left unpaired: the send times go too.
bool HMGoogleSyncDriver::hasUnansweredInserts(HMData &data, HMOutlookDatFileHelper::Conduit conduit)
{
    if (data.loadUnsettledOutlookAdds())
        return true;
    if (!googlesenttimes::file(conduit).clear())
        DDLogError(QStringLiteral("The send times of records sent to Google could not be emptied"));
    return false;
}

// Google's contacts were listed earlier in this run (two-way and Google-to-Outlook profiles).
bool HMGoogleSyncDriver::readsGoogleContactsFirst() const
{
    return !m_profile || m_profile->contactSyncDirection() != HMSyncDirection::MacToDevice;
}

// After the groups: the listing of what Google changed since the earliest unanswered insert, or the
// Outlook read at once when every insert was answered.
void HMGoogleSyncDriver::pairSentContactInserts()
{
    if (stopsForCancel())
        return;
    if (!hasUnansweredInserts(*m_contactData, kContactMap)) {
        readOutlookContactsToSend();
        return;
    }
    DDLogInfo(QStringLiteral("Some contacts sent to Google as new were never answered: Google's copies are looked for"));
    showProgress(QStringLiteral("Looking for contacts Google holds already"), 0.3);
    m_sentContactsSince = googlesenttimes::listingBound(kContactMap);
    m_contactsStartingIndex = 1;
    m_idsListedThisListing.clear();
    if (m_batchSize <= 0)
        m_batchSize = 100;
    sendListRequest(contactsPagePath(m_sentContactsSince), QStringLiteral("CS"), &HMGoogleSyncDriver::sentContactsPageReturned);
}

// Each listed contact that matches an unanswered insert is paired with its Outlook contact; nothing
// goes to Outlook. A refused or unreadable page ends the run before anything is sent.
void HMGoogleSyncDriver::sentContactsPageReturned(int status, const QByteArray &body)
{
    googlecontactfeed::Context context;
    context.groups = groupNamesAndIds();
    context.allowDeletesFromGoogle = false;
    const std::optional<googlecontactfeed::Page> page = acceptedContactFeed(
        "CS", status, body, context, QStringLiteral("Google's list of contacts could not be read; nothing was sent to Google."));
    if (!page || isRepeatedContactPage(*page))
        return;
    for (const QVariantMap &record : page->records)
        m_contactData->adoptUnconfirmedOutlookAdd(record, kContacts);
    m_contactsStartingIndex += m_batchSize;
    if (page->entryCount == 0 || page->entryCount % m_batchSize != 0)
        finishPairingSentContacts();
    else
        sendListRequest(contactsPagePath(m_sentContactsSince), QStringLiteral("CS"),
                        &HMGoogleSyncDriver::sentContactsPageReturned);
}

// The pairs found join the map; the inserts Google does not hold never reached it, and this run's
// Outlook read lists them as new again (the Outlook date did not move past them).
void HMGoogleSyncDriver::finishPairingSentContacts()
{
    m_contactsStartingIndex = 0;
    if (!m_contactData->commitAdoptedOutlookPairs()) {
        cancelSyncWithError(
            QStringLiteral("The contacts Google holds already could not be paired; nothing was sent to Google."));
        return;
    }
    if (!forgetSentInserts(*m_contactData, kContactMap)) {
        cancelSyncWithError(QStringLiteral("The list of contacts sent to Google as new could not be emptied; "
                                           "nothing was sent to Google."));
        return;
    }
    readOutlookContactsToSend();
}
