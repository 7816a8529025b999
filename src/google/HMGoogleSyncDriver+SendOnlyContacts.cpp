// Contact inserts of a send-only run (Outlook to Google) whose answers never came.
//
// Google gives a new contact its id in the answer to the insert. A run that never read that answer
// (the connection cut after Google stored the contact, the program killed) has no pair for it; a
// two-way run finds the copy in its Google listing and pairs it there, but a send-only run reads
// nothing of Google's and would send the contact a second time. So before a send-only batch, the
// records about to go as new are listed beside the contact map (their temporary id, Outlook id and
// what was sent, in "<map>.sent") with the time of sending ("<map>.google-sent", one "Outlook id TAB
// time" line each). The next send-only run, when that list still holds records without a pair, reads
// the contacts Google changed since the earliest send and pairs the ones that match what was sent;
// it applies nothing to Outlook and moves no list date. The rest never reached Google and go again
// as new.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleContactFeed.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"
#include "sync/HMSyncRecord.h"
#include "sync/HMSyncTypes.h"

#include <algorithm>

namespace {

constexpr auto kContacts = quint64(HMSyncConduit::Contacts);
// Google's "updated" is Google's clock and the send time ours: the listing reaches back a day before
// the earliest send, so that a clock ahead of Google's by less than that loses no copy.
constexpr qint64 kClockMarginSeconds = 24 * 60 * 60;

GoogleWrittenEntries sendTimes()
{
    return GoogleWrittenEntries(HMOutlookDatFileHelper().contactFilePath() + QStringLiteral(".google-sent"));
}

// The earliest send kept; invalid when none is readable (the listing then reads every contact).
QDateTime earliestSend()
{
    QDateTime earliest;
    const QHash<QString, QString> kept = sendTimes().load();
    for (const QString &text : kept) {
        const QDateTime sent = googlecontactfeed::dateOfUpdated(text);
        if (sent.isValid() && (!earliest.isValid() || sent < earliest))
            earliest = sent;
    }
    return earliest;
}

} // namespace

// Google's contacts were listed earlier in this run (two-way and Google-to-Outlook profiles).
bool HMGoogleSyncDriver::readsGoogleContactsFirst() const
{
    return !m_profile || m_profile->contactSyncDirection() != HMSyncDirection::MacToDevice;
}

// The send times first: a list of records without them is read against every contact Google holds,
// which pairs them too, only slower.
bool HMGoogleSyncDriver::keepContactInsertsAboutToBeSent(const QList<HMSyncRecord> &records)
{
    if (readsGoogleContactsFirst())
        return true;
    const QString now = googlecontactfeed::updatedText(QDateTime::currentDateTimeUtc());
    QList<std::pair<QString, QString>> times;
    for (const ContactWrite &write : std::as_const(m_contactInserts)) {
        if (!write.outlookId.contains(u'\t') && !write.outlookId.contains(u'\n'))
            times.append({write.outlookId, now});
    }
    return sendTimes().append(times) && m_contactData->keepOutlookAddsAboutToBeSent(records, kContacts);
}

bool HMGoogleSyncDriver::forgetSentContactInserts()
{
    // The list of records first: send times without it are never read.
    return m_contactData->keepOutlookAddsAboutToBeSent({}, kContacts) && sendTimes().clear();
}

// After the groups: the listing of what Google changed since the earliest unanswered insert, or the
// Outlook read at once when every insert was answered.
void HMGoogleSyncDriver::pairSentContactInserts()
{
    if (m_shouldCancel->load()) {
        cancelSync();
        return;
    }
    if (!m_contactData->loadUnsettledOutlookAdds()) {
        if (!sendTimes().clear())
            DDLogError(QStringLiteral("The send times of contacts sent to Google could not be emptied"));
        readOutlookContactsToSend();
        return;
    }
    DDLogInfo(QStringLiteral("Some contacts sent to Google as new were never answered: Google's copies are looked for"));
    showProgress(QStringLiteral("Looking for contacts Google holds already"), 0.3);
    const QDateTime earliest = earliestSend();
    m_sentContactsSince = earliest.isValid() ? earliest.addSecs(-kClockMarginSeconds) : QDateTime();
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
    DDLogVerbose(QStringLiteral("response.statusCode[CS] %1").arg(status));
    if (const QString failure = listingStatusText(status, false); !failure.isEmpty()) {
        cancelSyncWithError(failure);
        return;
    }
    const std::optional<QVariantMap> feed = googlecontactfeed::parseFeed(body);
    if (!feed || !googlecontactfeed::isFeed(*feed)) {
        cancelSyncWithError(QStringLiteral("Google's list of contacts could not be read; nothing was sent to Google."));
        return;
    }
    googlecontactfeed::Context context;
    context.groups = groupNamesAndIds();
    context.allowDeletesFromGoogle = false;
    const googlecontactfeed::Page page = googlecontactfeed::readPage(*feed, context);
    if (isRepeatedContactPage(*feed, page.entryCount))
        return;
    for (const QVariantMap &record : page.records)
        m_contactData->adoptUnconfirmedOutlookAdd(record, kContacts);
    m_contactsStartingIndex += m_batchSize;
    if (page.entryCount == 0 || page.entryCount % m_batchSize != 0)
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
    if (!forgetSentContactInserts()) {
        cancelSyncWithError(QStringLiteral("The list of contacts sent to Google as new could not be emptied; "
                                           "nothing was sent to Google."));
        return;
    }
    readOutlookContactsToSend();
}
