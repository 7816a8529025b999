#include "datasources/calendar/HMCalendarData.h"

#include "datasources/calendar/HMCalendarDataKeys.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/CalCalendarStore.h"
#include "platform/eventkit/EKEvent.h"
#include "platform/eventkit/EKEventStore.h"
#include "sync/HMIdentifierGraph.h"

HMCalendarData::HMCalendarData(qint64 dataSourceType) : HMOutlookConduitForwards(dataSourceType) {}

HMCalendarData::~HMCalendarData() = default;

// The chain is built from the end, so each series' first position is its earliest.
void HMCalendarData::setEkEventsArray(const QList<std::shared_ptr<platform::EKEvent>> &events)
{
    m_ekEventsArray = events;
    m_firstPositionBySeries.clear();
    m_firstPositionBySeries.reserve(events.size());
    m_nextPositionInSeries = QList<qsizetype>(events.size(), -1);
    for (qsizetype index = events.size() - 1; index >= 0; --index) {
        const QString seriesId = events[index]->calendarItemIdentifier();
        const auto first = m_firstPositionBySeries.find(seriesId);
        if (first == m_firstPositionBySeries.end()) {
            m_firstPositionBySeries.insert(seriesId, index);
        } else {
            m_nextPositionInSeries[index] = *first;
            *first = index;
        }
    }
}

void HMCalendarData::appendEkEvent(const std::shared_ptr<platform::EKEvent> &event)
{
    const qsizetype position = m_ekEventsArray.size();
    m_ekEventsArray.append(event);
    m_nextPositionInSeries.append(-1);
    const QString seriesId = event->calendarItemIdentifier();
    qsizetype last = m_firstPositionBySeries.value(seriesId, -1);
    if (last < 0) {
        m_firstPositionBySeries.insert(seriesId, position);
        return;
    }
    while (m_nextPositionInSeries.at(last) >= 0)
        last = m_nextPositionInSeries.at(last);
    m_nextPositionInSeries[last] = position;
}

// The events last read of one series, in their order there.
QList<std::shared_ptr<platform::EKEvent>> HMCalendarData::eventsOfSeries(const QString &seriesId) const
{
    QList<std::shared_ptr<platform::EKEvent>> events;
    visitEventsOfSeries(seriesId, [&events](const std::shared_ptr<platform::EKEvent> &event) {
        events.append(event);
        return true;
    });
    return events;
}

QString HMCalendarData::className() const
{
    return QStringLiteral("HMCalendarData");
}

qint64 HMCalendarData::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                     const QVariantMap &record, qint64 timeDifference)
{
    if (isEventKitSystem())
        return EKCommandAction(action, syncMethod, conflictSetting, record, timeDifference);
    return calendarStoreCommandAction(action, syncMethod, conflictSetting, record, timeDifference);
}

void HMCalendarData::deleteUidRecords(const QStringList &hmUids)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    deleteUidRecordsFromStore(hmUids, isEventKitSystem());
}

void HMCalendarData::deleteEventKitUidRecords(const QStringList &hmUids)
{
    deleteUidRecordsFromStore(hmUids, true);
}

void HMCalendarData::deleteCalendarStoreUidRecords(const QStringList &hmUids)
{
    deleteUidRecordsFromStore(hmUids, false);
}

void HMCalendarData::deleteUidRecordsFromStore(const QStringList &hmUids, bool eventKit)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    DDLogInfo(QStringLiteral("-------- Deleting %1 Records from Apple Calendar ----------").arg(hmUids.size()));
    qint64 position = 0;
    for (const QString &hmUid : hmUids) {
        ++position;
        DDLogInfo(QStringLiteral("Deleting hmUid '%1' from apple.").arg(hmUid));
        reportDeletionProgress(position, hmUids.size(), eventKit);
        const std::optional<QVariantMap> dictionary = graph ? graph->dictionaryForHarrowmereUid(hmUid) : std::nullopt;
        if (!dictionary) {
            DDLogInfo(QStringLiteral("hmUid not found in identifier list."));
            continue;
        }
        const QString nativeId = dictionary->value(hmcalendar::kNativeIdKey).toString();
        if (!nativeId.isEmpty()) {
            DDLogInfo(QStringLiteral("Loading native record '%1'").arg(nativeId));
            if (eventKit)
                removeEventKitEvent(nativeId);
            else
                removeCalendarStoreEvent(nativeId);
        } else {
            DDLogInfo(QStringLiteral("Native Event not found, so we can't delete it."));
        }
        graph->removeDictionary(*dictionary);
    }
}

void HMCalendarData::reportDeletionProgress(qint64 position, qint64 total, bool eventKit) const
{
    const std::shared_ptr<HMSyncProgressReporting> progress = GlobalVariables::getCurrentSyncProgressController();
    if (!progress)
        return;
    progress->setOverallMessageDirectly(QString(), double(position) / double(total));
    const QString format = eventKit ? QStringLiteral("Deleting %1 of %2 Apple Events.")
                                    : QStringLiteral("Deleting %1 of %2 Calendar Events.");
    progress->setUserMessageDirectly(format.arg(position).arg(total));
}

// A repeating series goes whole ("future events" from its first occurrence): removing only its
// first occurrence would leave the rest of a series the device deleted.
void HMCalendarData::removeEventKitEvent(const QString &nativeId)
{
    if (!storeForEkEvents())
        setStoreForEkEvents(platform::EKEventStore::create(platform::EKEntityMaskEvent));
    const std::shared_ptr<platform::EKEventStore> store = storeForEkEvents();
    forgetSeriesOfRecord();
    const std::shared_ptr<platform::EKEvent> event = store->eventWithIdentifier(nativeId);
    if (!event) {
        DDLogInfo(QStringLiteral("Native Event not found, so we can't delete it."));
        return;
    }
    const bool wholeSeries = event->hasRecurrenceRules() && !event->isDetached();
    const platform::Status removed =
        store->removeEvent(event, wholeSeries ? platform::EKSpan::FutureEvents : platform::EKSpan::ThisEvent, false);
    if (!removed) {
        DDLogError(QStringLiteral("ERROR: Error deleting event %1 from apple calendar.").arg(nativeId));
        DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(removed.error().message()));
    }
}

void HMCalendarData::removeCalendarStoreEvent(const QString &nativeId)
{
    const std::shared_ptr<platform::CalCalendarStore> store = calendarStore();
    const std::shared_ptr<platform::CalEvent> event = store->eventWithUID(nativeId, QDateTime());
    if (!event) {
        DDLogInfo(QStringLiteral("Native Event not found, so we can't delete it."));
        return;
    }
    const bool wholeSeries = event->recurrenceRule().has_value() && !event->isDetached();
    const platform::Status removed =
        store->removeEvent(event, wholeSeries ? platform::CalSpan::AllEvents : platform::CalSpan::ThisEvent);
    if (!removed) {
        DDLogError(QStringLiteral("ERROR: Error deleting event %1 from apple calendar.").arg(nativeId));
        DDLogError(QStringLiteral("ERROR INFORMATION: %1").arg(removed.error().message()));
    }
}
