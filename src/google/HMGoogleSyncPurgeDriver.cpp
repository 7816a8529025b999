// The purge's shared steps, its request texts and the contacts: every group but Google's system
// groups, then every contact, gathered page by page before the first is deleted (a deletion while
// paging would move the later pages' start).
#include "google/HMGoogleSyncPurgeDriver.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleContactFeed.h"
#include "google/GoogleEventList.h"
#include "google/GoogleHosts.h"
#include "google/GoogleQueueStep.h"
#include "google/GoogleWrittenEntries.h"
#include "google/HMGoogleSyncDriver.h"
#include "google/XMLDictionaryParser.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"

#include <QFile>
#include <QUrl>

namespace {

constexpr qint64 kMaxListReplyBytes = XMLDictionaryParser::kDefaultMaxInputBytes;
// More ids than any account holds: a listing past it is taken as endless.
constexpr qsizetype kMaxGathered = 1000000;
const QString kNotEmptied = QStringLiteral(" Google was not emptied and nothing was sent; the next sync tries again.");

QString percentEncoded(const QString &text, const QByteArray &kept = {})
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text, kept));
}

} // namespace

HMGoogleSyncPurgeDriver::HMGoogleSyncPurgeDriver(std::weak_ptr<HMGoogleSyncDriver> requests)
    : m_requests(std::move(requests))
{
    m_cancelObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMGoogleDirectSyncCancelSync"), nullptr,
        [flag = m_shouldCancel](const platform::Notification &) { flag->store(true); });
}

HMGoogleSyncPurgeDriver::~HMGoogleSyncPurgeDriver()
{
    m_cancelObserver.reset();
}

// ---- Request texts -------------------------------------------------------------------------------

QString HMGoogleSyncPurgeDriver::groupListPath(const QString &email)
{
    return QStringLiteral("m8/feeds/groups/%1/full?max-results=50000").arg(percentEncoded(email, "@"));
}

QString HMGoogleSyncPurgeDriver::groupDeletionPath(const QString &email, const QString &groupId)
{
    return QStringLiteral("m8/feeds/groups/%1/full/%2").arg(percentEncoded(email, "@"), percentEncoded(groupId));
}

QString HMGoogleSyncPurgeDriver::contactsPagePath(const QString &email, qint64 startIndex, qint64 batchSize)
{
    const QString address = percentEncoded(email, "@");
    return QStringLiteral("m8/feeds/contacts/%1/full?quotaUser=%2&start-index=%3&max-results=%4")
        .arg(address, address, QString::number(startIndex), QString::number(batchSize));
}

QString HMGoogleSyncPurgeDriver::contactDeletionPath(const QString &contactId)
{
    return QStringLiteral("m8/feeds/contacts/default/full/%1").arg(percentEncoded(contactId));
}

QString HMGoogleSyncPurgeDriver::eventListPath(const QString &calendarId, const QString &pageToken)
{
    QString path = QStringLiteral("calendar/v3/calendars/%1/events?maxResults=1000&showDeleted=false")
                       .arg(googleeventlist::calendarIdForPath(calendarId));
    if (!pageToken.isEmpty())
        path += QStringLiteral("&pageToken=") + googleeventlist::escapedPageToken(pageToken);
    return path;
}

QString HMGoogleSyncPurgeDriver::eventDeletionPath(const QString &calendarId, const QString &eventId)
{
    return QStringLiteral("calendar/v3/calendars/%1/events/%2")
        .arg(googleeventlist::calendarIdForPath(calendarId), percentEncoded(eventId));
}

QString HMGoogleSyncPurgeDriver::taskListsPath(const QString &pageToken)
{
    QString path = QStringLiteral("tasks/v1/users/@me/lists");
    if (!pageToken.isEmpty())
        path += QStringLiteral("?pageToken=") + googleeventlist::escapedPageToken(pageToken);
    return path;
}

QString HMGoogleSyncPurgeDriver::tasksPath(const QString &taskListId, const QString &pageToken)
{
    QString path = QStringLiteral("tasks/v1/lists/%1/tasks?maxResults=100000").arg(percentEncoded(taskListId));
    if (!pageToken.isEmpty())
        path += QStringLiteral("&pageToken=") + googleeventlist::escapedPageToken(pageToken);
    return path;
}

QString HMGoogleSyncPurgeDriver::taskDeletionPath(const QString &taskListId, const QString &taskId)
{
    return QStringLiteral("tasks/v1/lists/%1/tasks/%2").arg(percentEncoded(taskListId), percentEncoded(taskId));
}

// ---- Shared steps --------------------------------------------------------------------------------

std::shared_ptr<platform::RKClient> HMGoogleSyncPurgeDriver::makeClient(const QString &baseUrl)
{
    const std::shared_ptr<HMGoogleSyncDriver> requests = m_requests.lock();
    m_client = requests ? requests->makeClient(baseUrl) : nullptr;
    return m_client;
}

// One request on the current client; its reply goes to the handler, a failure (no reply) ends the
// purge. Nothing is sent once the sync driver is gone.
void HMGoogleSyncPurgeDriver::send(const QString &path, int method, ReplyHandler handler, qint64 maxBytes)
{
    const std::shared_ptr<HMGoogleSyncDriver> requests = m_requests.lock();
    if (!requests || !m_client)
        return;
    const std::weak_ptr<HMGoogleSyncPurgeDriver> weak = weak_from_this();
    const auto request = requests->makeRequest(
        path, method,
        [weak, handler](int status, const QByteArray &body) {
            if (const std::shared_ptr<HMGoogleSyncPurgeDriver> purge = weak.lock())
                ((*purge).*handler)(status, body);
        },
        [weak](const QString &description) {
            DDLogError(QStringLiteral("ERROR: %1").arg(description));
            if (const std::shared_ptr<HMGoogleSyncPurgeDriver> purge = weak.lock())
                purge->fail(QStringLiteral("ERROR: %1").arg(description));
        });
    request->setMaxResponseBytes(maxBytes);
    request->send();
}

bool HMGoogleSyncPurgeDriver::stopsForCancel()
{
    if (!m_shouldCancel->load())
        return false;
    cancel();
    return true;
}

void HMGoogleSyncPurgeDriver::cancel()
{
    DDLogInfo(QStringLiteral("purgeDriver cancel"));
    if (m_ended)
        return;
    m_ended = true;
    if (const std::shared_ptr<HMGoogleSyncDriver> requests = m_requests.lock())
        requests->cancelRequests();
    if (m_delegate != nullptr)
        m_delegate->purgeDidCancel();
}

void HMGoogleSyncPurgeDriver::fail(const QString &message)
{
    if (m_ended)
        return;
    m_ended = true;
    DDLogError(QStringLiteral("The purge stopped: %1").arg(message));
    if (const std::shared_ptr<HMGoogleSyncDriver> requests = m_requests.lock())
        requests->cancelRequests();
    if (m_delegate != nullptr)
        m_delegate->purgeDidFailWithError(message);
}

std::optional<QVariantMap> HMGoogleSyncPurgeDriver::jsonListing(int status, const QByteArray &body, const QString &what)
{
    if (const QString failure = HMGoogleSyncDriver::listingStatusText(status, true); !failure.isEmpty()) {
        fail(failure);
        return std::nullopt;
    }
    if (status == 404)
        return QVariantMap();
    const std::optional<QVariant> value = HMGoogleSyncDriver::dictionaryForJsonString(QString::fromUtf8(body));
    const bool isObject = value && value->typeId() == QMetaType::QVariantMap;
    const QVariant items = isObject ? value->toMap().value(QStringLiteral("items")) : QVariant();
    if (!isObject || (items.isValid() && items.typeId() != QMetaType::QVariantList)) {
        fail(QStringLiteral("Google's list of %1 could not be read.").arg(what) + kNotEmptied);
        return std::nullopt;
    }
    return value->toMap();
}

bool HMGoogleSyncPurgeDriver::deletionTaken(int status, const QString &what)
{
    DDLogVerbose(QStringLiteral("purge deletion of %1: %2").arg(what).arg(status));
    if ((status >= 200 && status <= 299) || status == 404 || status == 410)
        return true;
    fail(QStringLiteral("Google refused to delete %1 (HTTP %2).").arg(what).arg(status) + kNotEmptied);
    return false;
}

bool HMGoogleSyncPurgeDriver::isEndlessListing(const QString &pageToken, qsizetype gathered)
{
    const bool repeated = !pageToken.isEmpty() && m_pageTokensFollowed.contains(pageToken);
    if (!repeated && gathered <= kMaxGathered) {
        if (!pageToken.isEmpty())
            m_pageTokensFollowed.insert(pageToken);
        return false;
    }
    fail(QStringLiteral("Google's list did not end.") + kNotEmptied);
    return true;
}

// The conduit's map and everything kept beside it that pairs with Google's side: the list date, the
// answers to our writes, the ids of inserts not yet answered, the pairs confirmed by a run killed
// before its commit and the records sent as new. Each names an item the purge deletes: merged or sent
// again afterwards, it would pair an Outlook record with a deleted item and the record would never
// reach Google again.
// The conduit is emptied on Google: logged, and the delegate told.
void HMGoogleSyncPurgeDriver::finishConduit(const QString &conduitName, const QString &logText)
{
    DDLogInfo(logText);
    if (m_delegate != nullptr)
        m_delegate->purgeDidFinishForConduit(conduitName);
}

void HMGoogleSyncPurgeDriver::clearMap(const QString &conduitName)
{
    HMOutlookDatFileHelper helper;
    if (!helper.clearDatFile(conduitName))
        DDLogError(QStringLiteral("The %1 map could not be cleared").arg(conduitName));
    const std::optional<HMOutlookDatFileHelper::Conduit> conduit = HMOutlookDatFileHelper::conduitForName(conduitName);
    if (!conduit)
        return;
    const QString map = helper.filePath(*conduit);
    for (const QString &file :
         {googlelistdate::path(*conduit), map + QStringLiteral(".google-written"), map + QStringLiteral(".google-sent"),
          map + QStringLiteral(".confirmed"), map + QStringLiteral(".sent")}) {
        if (QFile::exists(file) && !QFile::remove(file))
            DDLogError(QStringLiteral("%1 could not be removed").arg(file));
    }
}

std::shared_ptr<HMProfile> HMGoogleSyncPurgeDriver::profile()
{
    if (!m_profile)
        m_profile = HMGoogleSyncDriver::selectedProfile();
    return m_profile;
}

// ---- Contacts ------------------------------------------------------------------------------------

void HMGoogleSyncPurgeDriver::purgeContacts()
{
    m_ended = false;
    getListOfContactGroups();
}

std::shared_ptr<platform::RKClient> HMGoogleSyncPurgeDriver::makeContactsClient()
{
    const std::shared_ptr<platform::RKClient> client = makeClient(googlehosts::contactsHost());
    if (client)
        client->setValueForHTTPHeaderField("3.0", "GData-Version");
    return client;
}

// The deletions go on the client of the listing before them, with the headers of a write.
void HMGoogleSyncPurgeDriver::setContactDeletionHeaders()
{
    if (!m_client)
        return;
    m_client->setValueForHTTPHeaderField("application/atom+xml", "Content-Type");
    m_client->setValueForHTTPHeaderField("*", "If-Match");
}

void HMGoogleSyncPurgeDriver::getListOfContactGroups()
{
    if (stopsForCancel())
        return;
    m_groupNamesAndIds.clear();
    HMGoogleSyncDriver::showText(QStringLiteral("Reading Google contact groups."));
    makeContactsClient();
    send(groupListPath(m_userEmail), 0, &HMGoogleSyncPurgeDriver::groupsReturned, kMaxListReplyBytes);
}

void HMGoogleSyncPurgeDriver::groupsReturned(int status, const QByteArray &body)
{
    if (const QString failure = HMGoogleSyncDriver::listingStatusText(status, true); !failure.isEmpty()) {
        fail(failure);
        return;
    }
    if (status != 404) {
        const std::optional<QVariantMap> feed = googlecontactfeed::parseFeed(body);
        if (!feed || !googlecontactfeed::isFeed(*feed)) {
            fail(QStringLiteral("Google's list of contact groups could not be read.") + kNotEmptied);
            return;
        }
        parseGroupsResponseDictionary(*feed);
    }
    DDLogInfo(QStringLiteral("groupNamesAndIds.count %1").arg(m_groupNamesAndIds.size()));
    setContactDeletionHeaders();
    purgeGroups();
}

void HMGoogleSyncPurgeDriver::parseGroupsResponseDictionary(const QVariantMap &feed)
{
    QSet<QString> ids;
    for (const QVariant &value : googlecontactfeed::entriesOf(feed)) {
        const QVariantMap entry = value.toMap();
        if (!entry.contains(QStringLiteral("title")) || !entry.contains(QStringLiteral("id")))
            continue;
        const QString id = googlecontactfeed::nodeText(entry.value(QStringLiteral("id")));
        const QString title = googlecontactfeed::nodeText(entry.value(QStringLiteral("title")));
        if (title.startsWith(QLatin1String("System Group: ")) || ids.contains(id))
            continue;
        ids.insert(id);
        m_groupNamesAndIds.append({id, title});
    }
}

void HMGoogleSyncPurgeDriver::purgeGroups()
{
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_groupNamesAndIds, [this] { listGoogleContacts(); }))
        return;
    const QString groupId = m_groupNamesAndIds.first().first.section(u'/', -1);
    send(groupDeletionPath(m_userEmail, groupId), 3, &HMGoogleSyncPurgeDriver::handlePurgeGroupResponse,
         googlehosts::kMaxDeletionReplyBytes);
}

void HMGoogleSyncPurgeDriver::handlePurgeGroupResponse(int status, const QByteArray &)
{
    if (!deletionTaken(status, QStringLiteral("the contact group \"%1\"").arg(m_groupNamesAndIds.first().second)))
        return;
    ++m_numberOfGroupsDeleted;
    HMGoogleSyncDriver::showText(QStringLiteral("Deleting groups on Google %1").arg(m_numberOfGroupsDeleted));
    m_groupNamesAndIds.removeFirst();
    purgeGroups();
}

void HMGoogleSyncPurgeDriver::listGoogleContacts()
{
    if (stopsForCancel())
        return;
    if (m_batchSize <= 0)
        m_batchSize = 100;
    if (m_contactsStartingIndex <= 0) {
        m_contactsStartingIndex = 1;
        m_contactsToPurge.clear();
        m_contactsSeen.clear();
    }
    clearMap(QStringLiteral("Contacts"));
    if (m_contactsStartingIndex >= m_batchSize)
        HMGoogleSyncDriver::showProgress(
            QStringLiteral("Getting Google contacts to purge %1").arg(m_contactsToPurge.size()), 0.1);
    else
        HMGoogleSyncDriver::showProgress(QStringLiteral("Getting Google contacts to purge"), 0.2);
    makeContactsClient();
    send(contactsPagePath(m_userEmail, m_contactsStartingIndex, m_batchSize), 0,
         &HMGoogleSyncPurgeDriver::contactsPageReturned, kMaxListReplyBytes);
}

void HMGoogleSyncPurgeDriver::contactsPageReturned(int status, const QByteArray &body)
{
    if (const QString failure = HMGoogleSyncDriver::listingStatusText(status, true); !failure.isEmpty()) {
        fail(failure);
        return;
    }
    std::optional<QVariantMap> feed = QVariantMap{{QStringLiteral("__name"), QStringLiteral("feed")}};
    if (status != 404)
        feed = googlecontactfeed::parseFeed(body);
    if (!feed || !googlecontactfeed::isFeed(*feed)) {
        fail(QStringLiteral("Google's list of contacts could not be read.") + kNotEmptied);
        return;
    }
    parseContactsResponseDictionary(*feed);
}

// A page that brings only ids listed before would never end the listing.
void HMGoogleSyncPurgeDriver::parseContactsResponseDictionary(const QVariantMap &feed)
{
    HMGoogleSyncDriver::showProgress(QStringLiteral("Purging contacts on Google"), 0.12);
    const QVariantList entries = googlecontactfeed::entriesOf(feed);
    bool isRepeat = !entries.isEmpty();
    for (const QVariant &entry : entries) {
        const QString id = googlecontactfeed::nodeText(entry.toMap().value(QStringLiteral("id")));
        if (id.isEmpty())
            continue;
        isRepeat = isRepeat && m_contactsSeen.contains(id);
        if (!m_contactsSeen.contains(id))
            m_contactsToPurge << id;
        m_contactsSeen.insert(id);
    }
    if (isRepeat) {
        fail(QStringLiteral("Google listed the same contacts again.") + kNotEmptied);
        return;
    }
    if (isEndlessListing(QString(), m_contactsToPurge.size()))
        return;
    m_contactsStartingIndex += m_batchSize;
    if (!entries.isEmpty() && entries.size() % m_batchSize == 0) {
        listGoogleContacts();
        return;
    }
    m_contactsStartingIndex = 0;
    setContactDeletionHeaders();
    purgeGoogleContacts();
}

void HMGoogleSyncPurgeDriver::purgeGoogleContacts()
{
    const auto finish = [this] { finishConduit(QStringLiteral("Contacts"), QStringLiteral("DONE!!!!!!!!")); };
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_contactsToPurge, finish))
        return;
    const QString contactId = m_contactsToPurge.first().section(u'/', -1);
    send(contactDeletionPath(contactId), 3, &HMGoogleSyncPurgeDriver::handlePurgeContactsResponse,
         googlehosts::kMaxDeletionReplyBytes);
}

void HMGoogleSyncPurgeDriver::handlePurgeContactsResponse(int status, const QByteArray &)
{
    if (!deletionTaken(status, QStringLiteral("a contact")))
        return;
    ++m_deletionsCounter;
    ++m_deletedContactsCounter;
    HMGoogleSyncDriver::showText(QStringLiteral("Deleting Google contacts %1").arg(m_deletedContactsCounter));
    m_contactsToPurge.removeFirst();
    purgeGoogleContacts();
}
