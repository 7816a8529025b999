// The start of the contacts reading: the account's contact groups, then the pages of contacts.
#include "google/HMGoogleSyncDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/XMLDictionaryParser.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"

#include "datasources/contacts/HMContactData.h"
#include "google/GoogleContactFeed.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMProfile.h"

#include <QTimeZone>
#include <QUrl>

#include <utility>

namespace {

// A listing reply is at most what the parser reads.
constexpr qint64 kMaxListReplyBytes = XMLDictionaryParser::kDefaultMaxInputBytes;

} // namespace

QString HMGoogleSyncDriver::listingStatusText(int status, bool names403)
{
    if (status == 401)
        return QStringLiteral("HTTP 401: Unauthorized.\nGoogle has not authorized access to this account.");
    if (status == 400)
        return QStringLiteral("HTTP 400: Unknown error.");
    if (status == 403 && names403)
        return QStringLiteral("HTTP 403: Server error.\nSomething is wrong on the server. Try again in a few minutes.");
    if (status >= 500)
        return QStringLiteral("HTTP 500: Server error.\nSomething is wrong on the server. Try again in a few minutes.");
    if ((status < 200 || status > 299) && status != 404)
        return QStringLiteral("HTTP %1: Unknown error.").arg(status);
    return {};
}

void HMGoogleSyncDriver::begin()
{
    DDLogInfo(QStringLiteral("begin"));
    listContactGroups();
}

QMap<QString, QString> HMGoogleSyncDriver::groupNamesAndIds() const
{
    const std::lock_guard lock(m_mutex);
    return m_groupNamesAndIds;
}

void HMGoogleSyncDriver::listContactGroups()
{
    if (stopsForCancel())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_groupNamesAndIds.clear();
    }
    // The address goes into the path: anything but "@" that could end or split the path is encoded.
    const QString email = QString::fromLatin1(QUrl::toPercentEncoding(m_userEmail, "@"));
    const QString path = QStringLiteral("m8/feeds/groups/%1/full?max-results=50000").arg(email);
    showProgress(QStringLiteral("Reading Google contact groups."), 0.22);
    makeContactsClient();
    sendListRequest(path, QStringLiteral("CG"), &HMGoogleSyncDriver::contactGroupsReturned);
}

// A contacts listing GET: its reply to the handler, a failure (no reply) ends the run with its description.
void HMGoogleSyncDriver::sendListRequest(const QString &path, const QString &tag,
                                         void (HMGoogleSyncDriver::*handler)(int, const QByteArray &))
{
    sendPageRequest(path, tag, kMaxListReplyBytes, handler);
}

// The status is judged before the body: a refused listing ends the run with nothing parsed and no
// request after it.
void HMGoogleSyncDriver::contactGroupsReturned(int status, const QByteArray &body)
{
    DDLogVerbose(QStringLiteral("response.statusCode[CG] %1").arg(status));
    if (const QString failure = listingStatusText(status, false); !failure.isEmpty()) {
        cancelSyncWithError(failure);
        return;
    }
    const std::optional<QVariantMap> feed = xmldictionary::dictionaryWithXMLData(body);
    if (feed)
        parseGroupsResponseDictionary(*feed);
    else
        DDLogError(QStringLiteral("responseDict is not a dicitonary object %1").arg(QString::fromUtf8(body.left(200))));
    if (std::exchange(m_listsGroupsBeforeSending, false))
        pairSentContactInserts();
    else
        listGoogleContacts();
}

void HMGoogleSyncDriver::parseGroupsResponseDictionary(const QVariantMap &feed)
{
    const QVariantList entries = googlecontactfeed::entriesOf(feed);
    const std::lock_guard lock(m_mutex);
    for (const QVariant &value : entries) {
        const QVariantMap entry = value.toMap();
        if (!entry.contains(QStringLiteral("title")) || !entry.contains(QStringLiteral("id")))
            continue;
        m_groupNamesAndIds.insert(googlecontactfeed::nodeText(entry.value(QStringLiteral("id"))),
                                  googlecontactfeed::nodeText(entry.value(QStringLiteral("title"))));
    }
}


std::shared_ptr<platform::RKClient> HMGoogleSyncDriver::makeContactsClient()
{
    const std::shared_ptr<platform::RKClient> client = makeClient(googlehosts::contactsHost());
    client->setValueForHTTPHeaderField("3.0", "GData-Version");
    return client;
}

GoogleWrittenEntries &HMGoogleSyncDriver::writtenEntries()
{
    return GoogleWrittenEntries::ofConduit(m_writtenEntries, Conduit::Contacts);
}

// The latest "updated" an earlier listing read, as the map keeps it; never the map's Outlook date, which
// a run that read nothing of Google's (a send-only profile made two-way later) moved all the same.
QDateTime HMGoogleSyncDriver::storedContactListDate()
{
    const std::optional<QVariantMap> map = HMOutlookDatFileHelper().dictionaryForContactDatFile();
    return map ? map->value(QStringLiteral("ListCommandDate")).toDateTime() : QDateTime();
}

const HMGoogleSyncDriver::ListingBasis &HMGoogleSyncDriver::contactListing()
{
    if (!m_contactListing)
        m_contactListing = ListingBasis{storedContactListDate(), writtenEntries().load()};
    return *m_contactListing;
}

QString HMGoogleSyncDriver::contactsPagePath(const QDateTime &lowerBound) const
{
    const QByteArray email = QUrl::toPercentEncoding(m_userEmail, "@");
    const QString address = QString::fromLatin1(email);
    if (lowerBound.isValid())
        return QStringLiteral("m8/feeds/contacts/%1/full?updated-min=%2&showdeleted=true&quotaUser=%3&start-index=%4&"
                              "max-results=%5")
            .arg(address, googlecontactfeed::updatedText(lowerBound), address, QString::number(m_contactsStartingIndex),
                 QString::number(m_batchSize));
    return QStringLiteral("m8/feeds/contacts/%1/full?quotaUser=%2&start-index=%3&max-results=%4")
        .arg(address, address, QString::number(m_contactsStartingIndex), QString::number(m_batchSize));
}

void HMGoogleSyncDriver::listGoogleContacts()
{
    if (stopsForCancel())
        return;
    // Google's contacts were emptied in this run: there is nothing to read.
    if (m_purgeContacts) {
        m_purgeContacts = false;
        if (m_delegate != nullptr)
            m_delegate->syncDriverContactListCommandReturnedWithDictionaries({}, {}, false, QDateTime());
        return;
    }
    if (m_contactsStartingIndex == 0) {
        m_contactsStartingIndex = 1;
        m_idsListedThisListing.clear();
        m_contactListing.reset();
    }
    QDateTime lastListDate = contactListing().storedDate;
    const bool rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    if (rereads) {
        if (const auto contacts = std::dynamic_pointer_cast<HMContactData>(m_contactData))
            contacts->removeDeletedOutlookIdsFromDatFile();
        lastListDate = QDateTime();
    } else {
        DDLogVerbose(QStringLiteral("Not rereading Google!"));
    }
    showProgress(m_contactsStartingIndex < 2 ? QStringLiteral("Requesting contacts from Google")
                                             : QStringLiteral("Requesting more contacts from Google"),
                 0.25);
    if (m_batchSize <= 0)
        m_batchSize = 100;
    // The stored date is the latest "updated" read; Google's lower bound includes it.
    QDateTime lowerBound = lastListDate;
    if (rereads)
        lowerBound = QDateTime(QDate(2012, 1, 1), QTime(0, 0), QTimeZone::systemTimeZone());
    makeContactsClient()->setValueForHTTPHeaderField("*", "If-Match");
    sendListRequest(contactsPagePath(lowerBound), QStringLiteral("C"), &HMGoogleSyncDriver::contactsPageReturned);
}

// A reply that is no feed (cut, garbage, a refused document) is no empty last page: read as one, it
// would end the listing and move the date past contacts never read.
std::optional<googlecontactfeed::Page> HMGoogleSyncDriver::acceptedContactFeed(const char *tag, int status,
                                                                               const QByteArray &body,
                                                                               const googlecontactfeed::Context &context,
                                                                               const QString &unreadable)
{
    DDLogVerbose(QStringLiteral("response.statusCode[%1] %2").arg(QLatin1String(tag)).arg(status));
    if (const QString failure = listingStatusText(status, false); !failure.isEmpty()) {
        cancelSyncWithError(failure);
        return std::nullopt;
    }
    std::optional<googlecontactfeed::Page> page = googlecontactfeed::readFeed(body, context);
    if (!page) {
        DDLogError(QStringLiteral("responseDict is not a dicitonary object %1").arg(QString::fromUtf8(body.left(200))));
        cancelSyncWithError(unreadable);
    }
    return page;
}

googlecontactfeed::Context HMGoogleSyncDriver::contactPageContext()
{
    const QDateTime lastListDate = googlelistdate::refine(contactListing().storedDate);
    const bool rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    googlecontactfeed::Context context;
    context.groups = groupNamesAndIds();
    context.comparisonDate = rereads || !lastListDate.isValid() ? QDateTime() : lastListDate;
    context.mostRecent = m_contactsStartingIndex > 1 && m_mostRecentContactModifiedOnGoogle.isValid()
                             ? m_mostRecentContactModifiedOnGoogle
                             : lastListDate;
    context.allowDeletesFromGoogle = m_allowDeletesFromGoogle;
    context.ownWrites = contactListing().ownWrites;
    return context;
}

void HMGoogleSyncDriver::contactsPageReturned(int status, const QByteArray &body)
{
    if (const std::optional<googlecontactfeed::Page> page = acceptedContactFeed(
            "C", status, body, contactPageContext(),
            QStringLiteral("Google's list of contacts could not be read; nothing was changed for it.")))
        parseContactsResponseDictionary(*page);
}

void HMGoogleSyncDriver::parseContactsResponseDictionary(const googlecontactfeed::Page &page)
{
    if (stopsForCancel())
        return;
    m_mostRecentContactModifiedOnGoogle = page.mostRecent;
    if (isRepeatedContactPage(page))
        return;
    for (const QString &id : page.changedIds)
        addIdToExclude(id);
    for (const QString &id : page.photoIds) {
        if (!m_googleContactsWithPhotos.contains(id))
            m_googleContactsWithPhotos << id;
    }
    m_contactsStartingIndex += m_batchSize;
    const bool isLast = page.entryCount == 0 || page.entryCount % m_batchSize != 0;
    DDLogVerbose(isLast ? QStringLiteral("remainOnConduit:NO") : QStringLiteral("remainOnConduit:YES"));
    if (isLast) {
        m_contactsStartingIndex = 0;
        m_contactListing.reset();
    }
    if (m_delegate != nullptr)
        m_delegate->syncDriverContactListCommandReturnedWithDictionaries(
            page.records, page.deletions, !isLast, isLast ? m_mostRecentContactModifiedOnGoogle : QDateTime());
}

// A server that answers the same entries for every start index would never end the listing: such a
// page ends the run. Whether it did.
bool HMGoogleSyncDriver::isRepeatedContactPage(const googlecontactfeed::Page &page)
{
    bool isRepeat = page.entryCount > 0;
    for (const QString &id : page.entryIds) {
        isRepeat = isRepeat && m_idsListedThisListing.contains(id);
        m_idsListedThisListing.insert(id);
    }
    if (isRepeat)
        cancelSyncWithError(QStringLiteral("Google listed the same contacts again; the sync was stopped."));
    return isRepeat;
}

QString HMGoogleSyncDriver::getSubstringFromXML(const QString &xml, const QString &fieldName)
{
    const QString open = QStringLiteral("<%1>").arg(fieldName);
    const qsizetype start = xml.indexOf(open);
    if (start < 0)
        return {};
    const qsizetype end = xml.indexOf(QStringLiteral("</%1>").arg(fieldName), start + open.size());
    if (end < 0)
        return {};
    return xml.mid(start + open.size(), end - start - open.size());
}
