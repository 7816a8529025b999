// The purge of the calendar: every event of the calendars the profile syncs and of the calendar it
// writes to, gathered page by page, then deleted one at a time. Cancelled events are gone already.
#include "google/HMGoogleSyncPurgeDriver.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleHosts.h"
#include "google/GoogleQueueStep.h"
#include "google/HMGoogleSyncDriver.h"
#include "sync/HMProfile.h"

// The calendar written to is listed after the synced ones, once: listed twice, each of its events
// would be gathered and deleted twice.
void HMGoogleSyncPurgeDriver::purgeCalendar()
{
    m_ended = false;
    clearMap(QStringLiteral("Calendar"));
    const std::shared_ptr<HMProfile> current = profile();
    const QStringList synced = current ? current->googleCalendarIdentifiersToSync() : QStringList();
    m_mutableCalendars = synced.isEmpty() ? QStringList{QStringLiteral("primary")} : synced;
    const QString writeTo = current ? current->googleCalendarIdentifierToWriteTo() : QString();
    const QString defaultCalendar = writeTo.isEmpty() ? QStringLiteral("primary") : writeTo;
    GlobalVariables::setDefaultGoogleCalendatIdentifier(defaultCalendar);
    if (!m_mutableCalendars.contains(defaultCalendar))
        m_mutableCalendars << defaultCalendar;
    m_allGoogleEvents.clear();
    m_pageTokensFollowed.clear();
    listEventsForCalendarId(m_mutableCalendars.first(), QString());
}

void HMGoogleSyncPurgeDriver::listEventsForCalendarId(const QString &calendarId, const QString &pageToken)
{
    if (stopsForCancel())
        return;
    const QString id = calendarId.isEmpty() ? QStringLiteral("primary") : calendarId;
    DDLogInfo(QStringLiteral("Purge driver querying Calendar: %1").arg(id));
    if (pageToken.isEmpty())
        HMGoogleSyncDriver::showProgress(QStringLiteral("Getting Google calendar events to purge"), 0.2);
    else
        HMGoogleSyncDriver::showProgress(
            QStringLiteral("Getting Google calendar events to purge %1").arg(m_allGoogleEvents.size()), 0.14);
    makeClient(googlehosts::apiHost());
    send(eventListPath(id, pageToken), 0, &HMGoogleSyncPurgeDriver::eventPageReturned, googlehosts::kMaxPageReplyBytes);
}

void HMGoogleSyncPurgeDriver::eventPageReturned(int status, const QByteArray &body)
{
    std::optional<QVariantMap> response = jsonListing(status, body, QStringLiteral("events"));
    if (!response)
        return;
    const QString calendarId = m_mutableCalendars.value(0);
    response->insert(QStringLiteral("googleCalendarId"), calendarId.isEmpty() ? QStringLiteral("primary") : calendarId);
    parseEventListResponse(*response);
}

void HMGoogleSyncPurgeDriver::parseEventListResponse(const QVariantMap &response)
{
    if (stopsForCancel())
        return;
    const QString calendarId = response.value(QStringLiteral("googleCalendarId")).toString();
    for (const QVariant &value : response.value(QStringLiteral("items")).toList()) {
        const QVariantMap item = value.toMap();
        const QString id = item.value(QStringLiteral("id")).toString();
        if (!id.isEmpty() && item.value(QStringLiteral("status")).toString() != QLatin1String("cancelled"))
            m_allGoogleEvents << id + u'@' + calendarId;
    }
    const QString token = response.value(QStringLiteral("nextPageToken")).toString();
    if (!token.isEmpty()) {
        if (!isEndlessListing(token, m_allGoogleEvents.size()))
            listEventsForCalendarId(calendarId, token);
        return;
    }
    m_pageTokensFollowed.clear();
    if (m_mutableCalendars.size() < 2) {
        purgeNextEvent();
        return;
    }
    m_mutableCalendars.removeFirst();
    listEventsForCalendarId(m_mutableCalendars.first(), QString());
}

void HMGoogleSyncPurgeDriver::purgeNextEvent()
{
    const auto finish = [this] {
        finishConduit(QStringLiteral("Calendar"), QStringLiteral("DONE WITH CALENDAR!!!!!"));
    };
    if (!googlequeue::hasNextEntry(stopsForCancel(), m_allGoogleEvents, finish))
        return;
    const QString key = m_allGoogleEvents.first();
    const qsizetype at = key.indexOf(u'@');
    const QString eventId = at < 0 ? key : key.left(at);
    const QString calendarId = at < 0 ? GlobalVariables::getDefaultGoogleCalendatIdentifier() : key.mid(at + 1);
    makeClient(googlehosts::apiHost());
    send(eventDeletionPath(calendarId, eventId), 3, &HMGoogleSyncPurgeDriver::handleDeleteEventResponse,
         googlehosts::kMaxDeletionReplyBytes);
}

void HMGoogleSyncPurgeDriver::handleDeleteEventResponse(int status, const QByteArray &)
{
    if (!deletionTaken(status, QStringLiteral("an event")))
        return;
    ++m_deletionsCounter;
    ++m_deletedEventsCounter;
    HMGoogleSyncDriver::showProgress(QStringLiteral("Deleting events on Google %1").arg(m_deletedEventsCounter), 0.16);
    m_allGoogleEvents.removeFirst();
    purgeNextEvent();
}
