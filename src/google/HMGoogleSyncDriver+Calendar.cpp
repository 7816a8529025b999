// The read side of the calendar conduit: the events of each chosen Google calendar, page by page,
// one request at a time, turned into records and handed to the run once the last page is in.
//
// A page is judged by its status before its body: a refused page is not parsed, asks for no next page
// or calendar and moves no date, so the next sync reads it again.
#include "google/HMGoogleSyncDriver.h"

#include "datasources/calendar/HMCalendarData.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleWrittenEntries.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/restkit/RKClient.h"
#include "platform/restkit/RKRequest.h"
#include "sync/HMProfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

namespace {

constexpr qsizetype kMaxEventPageItems = 1000;
constexpr int kRepeatedTokenLimit = 5;

// 2015-12-29 00:00 UTC: the list date of a calendar never listed.
const QDateTime kFirstListDate = QDateTime(QDate(2015, 12, 29), QTime(0, 0), Qt::UTC);

// A page as parsed from its bytes: an object whose "items", when present, is a list of at most 1,000.
std::optional<QJsonObject> eventPageObject(const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        DDLogError(QStringLiteral("Error parsing json"));
        return std::nullopt;
    }
    const QJsonValue items = document.object().value(QLatin1String("items"));
    if (!items.isUndefined() && (!items.isArray() || items.toArray().size() > kMaxEventPageItems))
        return std::nullopt;
    return document.object();
}

} // namespace

GoogleWrittenEntries &HMGoogleSyncDriver::writtenEvents()
{
    return GoogleWrittenEntries::ofConduit(m_writtenEvents, Conduit::Calendar);
}

void HMGoogleSyncDriver::listEventsForCalendars(const QStringList &calendarIds)
{
    if (stopsForCancel())
        return;
    const QDateTime stored = googlelistdate::storedByListing(HMOutlookDatFileHelper::Conduit::Calendar);
    DDLogInfo(QStringLiteral("listEventsForCalendars %1").arg(calendarIds.size()));
    m_eventListing = googleeventlist::Listing();
    m_eventListing.mostRecent = stored.isValid() ? stored : kFirstListDate;
    m_eventListing.storedListDate = stored;
    m_mutableCalendars = calendarIds;
    m_eventListingIncomplete = false;
    if (calendarIds.isEmpty()) {
        if (m_delegate != nullptr)
            m_delegate->endSyncWithError(
                QStringLiteral("No calendars selected. Please select at least one Google calendar to synchronize"));
        return;
    }
    prepareEventPages(stored);
    listEventsForCalendarId(calendarIds.first(), QString());
}

// What every page of the listing is asked and read against, settled once when the listing starts:
// the map and the file of our own writes are not read again for each page.
void HMGoogleSyncDriver::prepareEventPages(const QDateTime &stored)
{
    const bool rereads = m_profile && m_profile->rereadDeviceOnNextSync();
    m_eventPageContext = googleeventlist::PageContext();
    m_eventPageContext.listDate = rereads ? QDateTime() : stored;
    m_eventPageContext.outlookEmailAccounts = GlobalVariables::getAllOutlookEmailAccounts();
    m_eventPageContext.now = QDateTime::currentDateTimeUtc();
    m_eventPageContext.ownWrites = writtenEvents().load();
    m_eventsUpdatedMin = rereads ? QDateTime() : stored;
    if (rereads) {
        if (const auto calendar = std::dynamic_pointer_cast<HMCalendarData>(m_calendarData))
            calendar->removeDeletedOutlookIdsFromDatFile();
        return;
    }
    DDLogVerbose(QStringLiteral("Not rereading Google!"));
    if (stored.isValid() && !googleeventlist::listDateIsRecent(stored, m_eventPageContext.now)) {
        DDLogInfo(QStringLiteral("Rereading, since Google doesn't support this last modified date"));
        m_eventsUpdatedMin = QDateTime();
    }
}

void HMGoogleSyncDriver::listEventsForCalendarId(const QString &calendarId, const QString &pageToken)
{
    if (stopsForCancel())
        return;
    const QString id = calendarId.isEmpty() ? QStringLiteral("primary") : calendarId;
    const QString escapedToken = pageToken.isEmpty() ? QString() : googleeventlist::escapedPageToken(pageToken);
    DDLogVerbose(QStringLiteral("listEventsForCalendarId:usingNextSyncToken: %1 %2").arg(id, escapedToken));
    DDLogVerbose(QStringLiteral("Querying Calendar: %1").arg(m_calendarNamesAndIds.value(id, QStringLiteral("primary"))));
    showProgress(pageToken.isEmpty() ? QStringLiteral("Requesting events from Google")
                                     : QStringLiteral("Requesting more events from Google"),
                 pageToken.isEmpty() ? 0.55 : 0.52);
    makeClient(googlehosts::apiHost());
    const QString path = googleeventlist::eventListPath(id, escapedToken, m_eventsUpdatedMin);
    DDLogVerbose(QStringLiteral("Requesting events from %1").arg(path));
    sendPageRequest(path.mid(1), QStringLiteral("D"), googlehosts::kMaxPageReplyBytes,
                    [id](HMGoogleSyncDriver &driver, int status, const QByteArray &body) {
                        driver.eventPageReturned(id, status, body);
                    });
}

void HMGoogleSyncDriver::eventPageReturned(const QString &calendarId, int status, const QByteArray &body)
{
    DDLogVerbose(QStringLiteral("response.statusCode[D] %1").arg(status));
    if (const QString failure = listingStatusText(status, true); !failure.isEmpty()) {
        cancelSyncWithError(failure);
        return;
    }
    QJsonObject page;
    if (status != 404) {
        const std::optional<QJsonObject> read = eventPageObject(body);
        // No empty last page: read as one it would end the listing and date events never read.
        if (!read) {
            cancelSyncWithError(QStringLiteral("Google's list of events could not be read; nothing was changed for it."));
            return;
        }
        page = *read;
    }
    DDLogVerbose(QStringLiteral("received event list response"));
    QVariantMap response;
    for (auto value = page.constBegin(); value != page.constEnd(); ++value) {
        if (value.key() != QLatin1String("items"))
            response.insert(value.key(), value.value().toVariant());
    }
    response.insert(QStringLiteral("googleCalendarId"), calendarId);
    if (m_calendarNamesAndIds.contains(calendarId))
        response.insert(QStringLiteral("calendarCategoryIdentifier"), m_calendarNamesAndIds.value(calendarId));
    parseEventListResponse(response, page.value(QLatin1String("items")).toArray());
}

void HMGoogleSyncDriver::parseEventListResponse(const QVariantMap &response, const QJsonArray &items)
{
    if (stopsForCancel())
        return;
    DDLogVerbose(QStringLiteral("parseEventListResponse"));
    const qint64 before = m_eventListing.recordCounter;
    googleeventlist::readItems(items, response, m_eventPageContext, m_eventListing);
    if (m_eventListing.recordCounter != before)
        if (const auto sheet = GlobalVariables::getCurrentSyncProgressController(); sheet && !m_shouldCancel->load())
            sheet->setUserMessageDirectly(QStringLiteral("Reading Google calendar events %1").arg(m_eventListing.recordCounter));

    const QString token = response.value(QStringLiteral("nextPageToken")).toString();
    if (!token.isEmpty()) {
        if (m_lastPageToken.isEmpty())
            m_lastPageToken = token;
        else if (m_lastPageToken == token)
            ++m_googleInfiniteLoopBugCounter;
        else
            m_lastPageToken = token;
    }
    if (m_googleInfiniteLoopBugCounter < kRepeatedTokenLimit && !token.isEmpty()) {
        listEventsForCalendarId(m_mutableCalendars.value(0), token);
        return;
    }
    if (!token.isEmpty()) {
        DDLogWarn(QStringLiteral("Google caught in an infinite loop. Terminating page list."));
        // Pages were left unread: the date stays, so the next sync asks for them again.
        m_eventListingIncomplete = true;
    }
    if (m_mutableCalendars.size() > 1) {
        m_mutableCalendars.removeFirst();
        listEventsForCalendarId(m_mutableCalendars.first(), QString());
        return;
    }
    finishEventListing();
}

// The date goes with the records: the run writes it once every record is in Outlook. A date the map
// keeps already (Google had nothing later) goes nowhere: writing it again would rewrite the map and
// the date's file at every sync with nothing new.
void HMGoogleSyncDriver::finishEventListing()
{
    QDateTime listDate;
    if (m_eventListing.returnedAtLeastOneEvent && !m_eventListingIncomplete &&
        m_eventListing.mostRecent != m_eventListing.storedListDate) {
        listDate = m_eventListing.mostRecent;
        DDLogVerbose(QStringLiteral("mostRecentCalendarModifiedOnGoogle %1").arg(googleeventlist::updatedText(listDate)));
    }
    for (const QString &uid : std::as_const(m_eventListing.changedUids))
        addIdToExclude(uid);
    const QList<QVariantMap> records = googleeventlist::finishListing(m_eventListing);
    DDLogVerbose(QStringLiteral("allGoogleEvents.count %1").arg(records.size()));
    if (m_delegate != nullptr)
        m_delegate->syncDriverEventListCommandReturnedWithDictionaries(records, listDate);
}
