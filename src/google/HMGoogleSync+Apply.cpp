// Applying the records Google listed to Outlook: the three list callbacks of the run.
#include "google/HMGoogleSync.h"

#include "datasources/calendar/HMCalendarData.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/GoogleWrittenEntries.h"
#include "google/HMGoogleSyncDriver.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMData.h"

namespace {

// Outlook command action 1, sync method 1, conflict setting 0 (last modified wins), no time difference.
constexpr qint32 kApplyAction = 1;
constexpr quint64 kApplySyncMethod = 1;
constexpr quint64 kLastModifiedWins = 0;
// A result below this means Outlook took nothing of the record.
constexpr qint64 kFirstWrittenResult = 0;

bool isMarkedDeleted(const QVariantMap &record)
{
    const QVariant deleted = record.value(QStringLiteral("DELETED"));
    return deleted.typeId() == QMetaType::Bool ? deleted.toBool() : deleted.toLongLong() == 1;
}

bool isRecurringException(const QVariantMap &record)
{
    return record.value(QStringLiteral("isRecurringException")).toBool();
}

HMOutlookDatFileHelper::Conduit datConduit(int conduit)
{
    return conduit == 1 ? HMOutlookDatFileHelper::Conduit::Contacts
           : conduit == 2 ? HMOutlookDatFileHelper::Conduit::Calendar
                          : HMOutlookDatFileHelper::Conduit::Tasks;
}

// The occurrence handling of the Outlook calendar data source.
class CalendarDataExceptions final : public HMGoogleCalendarExceptions
{
public:
    explicit CalendarDataExceptions(HMCalendarData &data) : m_data(data) {}
    bool handleGoogleDeletedExceptionRecords(const QList<QVariantMap> &records) override
    {
        QVariantList list;
        for (const QVariantMap &record : records)
            list << record;
        m_data.handleGoogleDeletedExceptionRecords(list);
        return m_data.saveFailure().isEmpty();
    }
    QString handleGoogleUpdateException(const QVariantMap &record) override
    {
        return m_data.handleGoogleUpdateException(record);
    }
    // The apply's pairs: the map with the pairs a killed run kept aside merged into it before the
    // first look-up, so an occurrence that run imported is not taken for a new one.
    QString outlookIdForUid(const QString &uid) override { return m_data.outlookIdForDeviceId(uid); }
    QString keyOfGoogleEvent(const QString &googleEventId) override
    {
        return m_data.deviceIdForGoogleEventId(googleEventId);
    }
    // Kept aside beside the map and joined to it with the stage's one write, as every applied pair.
    bool keepOccurrencePair(const QString &outlookId, const QString &uid) override
    {
        m_data.keepOutlookEventPair(outlookId, uid);
        return m_data.saveFailure().isEmpty();
    }

private:
    HMCalendarData &m_data;
};

} // namespace

QString HMGoogleCalendarExceptions::outlookIdForUid(const QString &uid)
{
    return HMOutlookDatFileHelper().getOutlookEventIdForDeviceEventId(uid);
}

QString HMGoogleCalendarExceptions::keyOfGoogleEvent(const QString &googleEventId)
{
    return HMOutlookDatFileHelper().getFullGoogleEventIdForGoogleEventIdBeginningWith(googleEventId);
}

bool HMGoogleCalendarExceptions::keepOccurrencePair(const QString &outlookId, const QString &uid)
{
    return HMOutlookDatFileHelper().writeOutlookEventIdForDeviceEventId(outlookId, uid);
}

std::shared_ptr<HMData> HMGoogleSync::dataSource(int conduit)
{
    std::shared_ptr<HMData> &slot = conduit == 1 ? m_contactData : conduit == 2 ? m_calendarData : m_taskData;
    if (!slot && m_dataSourceFactory)
        slot = m_dataSourceFactory(conduit);
    return slot;
}

// Every record not marked deleted goes to Outlook; false when one of them was refused.
bool HMGoogleSync::applyRecords(HMData &data, const QList<QVariantMap> &records)
{
    bool allApplied = true;
    for (const QVariantMap &record : records) {
        if (isMarkedDeleted(record))
            continue;
        if (data.outlookCommandAction(kApplyAction, kApplySyncMethod, kLastModifiedWins, record, 0) <
            kFirstWrittenResult) {
            DDLogError(QStringLiteral("Outlook refused a record read from Google"));
            allApplied = false;
        }
    }
    return allApplied;
}

// The pairs of the records applied go into the conduit's map; false when the disk did not take them.
bool HMGoogleSync::keepAppliedPairs(HMData &data)
{
    if (const platform::Status saved = data.syncAppliedChangesToDisk(); !saved) {
        DDLogError(saved.error().message());
        return false;
    }
    return true;
}

// The page's pairs join the conduit's map before the next page or the Outlook listing reads it. False
// when the sync ended because the data source could not save.
bool HMGoogleSync::afterApplies(HMData &data, const QDateTime &listDate, int conduit, bool allApplied)
{
    allApplied = keepAppliedPairs(data) && allApplied;
    if (!data.saveFailure().isEmpty()) {
        endSyncWithError(data.saveFailure());
        return false;
    }
    if (allApplied)
        keepListDate(listDate, conduit);
    return true;
}

// The list date moves only once what it covers is in Outlook; a refused record keeps the old one, so
// the next run reads the page again.
void HMGoogleSync::keepListDate(const QDateTime &listDate, int conduit)
{
    if (!listDate.isValid())
        return;
    HMOutlookDatFileHelper helper;
    if (!helper.writeLastListCommand(datConduit(conduit), listDate))
        DDLogError(QStringLiteral("The Google list date could not be written"));
    else if (!googlelistdate::write(listDate, datConduit(conduit)))
        DDLogError(QStringLiteral("The Google list date could not be kept to the millisecond"));
}

// A page of contacts or tasks goes to Outlook: its changes, then its deletions. False when the sync
// ended because the conduit's data source could not be reached or could not save.
bool HMGoogleSync::applyListedPage(int conduit, const QString &unreachable, const QList<QVariantMap> &records,
                                   const QStringList &deletions, const QDateTime &listDate)
{
    const std::shared_ptr<HMData> data = dataSource(conduit);
    if (!data) {
        endSyncWithError(unreachable);
        return false;
    }
    const bool allApplied = applyRecords(*data, records);
    if (!deletions.isEmpty())
        data->deleteOutlookUidRecords(deletions);
    return afterApplies(*data, listDate, conduit, allApplied);
}

void HMGoogleSync::syncDriverContactListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                        const QStringList &deletions,
                                                                        bool remainOnConduit,
                                                                        const QDateTime &listDate)
{
    if (!applyListedPage(1, QStringLiteral("Outlook's contacts cannot be reached."), records, deletions, listDate))
        return;
    if (remainOnConduit) {
        m_syncDriver->listGoogleContacts();
        return;
    }
    setNextStage();
    process();
}

// Google's event records sorted for Outlook: changes, deleted events and occurrences, and the
// occurrences whose series Outlook keeps (they go through the calendar's exception handling).
struct HMGoogleSync::EventSort
{
    QList<QVariantMap> changes;
    QList<QVariantMap> deletedOccurrences;
    QList<QVariantMap> changedOccurrences;
    QStringList deletedIds;
};

HMGoogleSync::EventSort HMGoogleSync::sortEventRecords(const QList<QVariantMap> &records,
                                                       HMGoogleCalendarExceptions *exceptions)
{
    EventSort sorted;
    for (const QVariantMap &record : records) {
        if (!isMarkedDeleted(record)) {
            sorted.changes << record;
        } else if (m_allowDeletesFromGoogle && record.contains(QStringLiteral("UID"))) {
            if (isRecurringException(record))
                sorted.deletedOccurrences << record;
            else
                sorted.deletedIds << record.value(QStringLiteral("UID")).toString();
        }
    }
    // From the last to the first: an occurrence without an Outlook event of its own is handled as an
    // exception of its series, which this run's Outlook listing then leaves out.
    for (qsizetype index = sorted.changes.size() - 1; index >= 0; --index) {
        const QVariantMap &record = sorted.changes.at(index);
        const QString uid = record.value(QStringLiteral("UID")).toString();
        if (!isRecurringException(record) ||
            (!uid.isEmpty() && exceptions != nullptr && !exceptions->outlookIdForUid(uid).isEmpty()))
            continue;
        const QString parent = record.value(QStringLiteral("parentEventId")).toString();
        if (!parent.isEmpty() && exceptions != nullptr) {
            const QString fullKey = exceptions->keyOfGoogleEvent(parent);
            if (!fullKey.isEmpty())
                m_syncDriver->addIdToExclude(fullKey);
        }
        sorted.changedOccurrences.prepend(sorted.changes.takeAt(index));
    }
    return sorted;
}

void HMGoogleSync::syncDriverEventListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                      const QDateTime &listDate)
{
    const std::shared_ptr<HMData> data = dataSource(2);
    if (!data) {
        endSyncWithError(QStringLiteral("Outlook's calendar cannot be reached."));
        return;
    }
    std::optional<CalendarDataExceptions> calendarExceptions;
    if (auto *const calendar = dynamic_cast<HMCalendarData *>(data.get()))
        calendarExceptions.emplace(*calendar);
    HMGoogleCalendarExceptions *const exceptions =
        calendarExceptions ? &*calendarExceptions : dynamic_cast<HMGoogleCalendarExceptions *>(data.get());
    const EventSort sorted = sortEventRecords(records, exceptions);
    bool allApplied = applyRecords(*data, sorted.changes);
    if (!sorted.deletedIds.isEmpty())
        data->deleteOutlookUidRecords(sorted.deletedIds);
    // The occurrences find their series' Outlook events through the map.
    allApplied = keepAppliedPairs(*data) && allApplied;
    if (!sorted.deletedOccurrences.isEmpty())
        allApplied = exceptions != nullptr && exceptions->handleGoogleDeletedExceptionRecords(sorted.deletedOccurrences) &&
                     allApplied;
    for (const QVariantMap &record : sorted.changedOccurrences) {
        const QString outlookId = exceptions != nullptr ? exceptions->handleGoogleUpdateException(record) : QString();
        const QString uid = record.value(QStringLiteral("UID")).toString();
        if (outlookId.isEmpty() || (!uid.isEmpty() && !exceptions->keepOccurrencePair(outlookId, uid)))
            allApplied = false;
    }
    if (!afterApplies(*data, listDate, 2, allApplied))
        return;
    setNextStage();
    process();
}

void HMGoogleSync::syncDriverTaskListCommandReturnedWithDictionaries(const QList<QVariantMap> &records,
                                                                     const QStringList &deletions,
                                                                     const QDateTime &listDate)
{
    if (!applyListedPage(3, QStringLiteral("Outlook's tasks cannot be reached."), records, deletions, listDate))
        return;
    setNextStage();
    process();
}
