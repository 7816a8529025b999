// Alarm mapping: a record carries one alarm (minutes before an event's start, or a task's fire date);
// the stores keep lists of relative and absolute alarms.
#include "datasources/calendar/HMBaseCalendarData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/CalEvent.h"
#include "platform/eventkit/CalTask.h"
#include "platform/eventkit/EKEvent.h"
#include "sync/HMSyncFields.h"

namespace {

const QString kAlarmTimeKey = QString(kHMSyncFieldNSNumberAlarmTime);
const QString kAlarmDateKey = QString(kHMSyncFieldNSDateAlarmDate);
const QString kHasAlarmKey = QString(kHMSyncFieldHasAlarm);

// The alarm a record asks for: relative (offset seconds) for an event, absolute for a task.
struct WantedAlarm
{
    bool isRelative = true;
    double offset = 0;
    QDateTime fireDate;
};

qint64 integerValue(const QVariant &value)
{
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    return ok ? number : qint64(value.toDouble());
}

// The alarm a record asks of a CalendarStore item: minutes before an event's start, a task's date.
WantedAlarm wantedAlarm(const platform::CalCalendarItem &item, const QVariantMap &dictionary,
                        HMDateUtilities &utilities)
{
    WantedAlarm wanted;
    if (const auto *event = dynamic_cast<const platform::CalEvent *>(&item)) {
        const qint64 minutes = integerValue(dictionary.value(kAlarmTimeKey));
        wanted.fireDate = utilities.dateByAdding(-minutes, platform::CalendarUnit::Minute, event->startDate());
        wanted.offset = -60.0 * double(minutes);
        DDLogVerbose(QStringLiteral("Alarm is for an Event, and fires on %1 or %2 seconds before the event")
                         .arg(utilities.localDateTimeStringFromDate(wanted.fireDate))
                         .arg(wanted.offset, 0, 'f', 6));
        return wanted;
    }
    wanted.isRelative = false;
    wanted.fireDate = dictionary.value(kAlarmDateKey).toDateTime();
    DDLogVerbose(QStringLiteral("Alarm is for a Task, and fires on %1")
                     .arg(utilities.localDateTimeStringFromDate(wanted.fireDate)));
    return wanted;
}

} // namespace

void HMBaseCalendarData::updateCalendarItem(platform::CalCalendarItem &item, const QVariantMap &dictionary)
{
    if (!dictionary.contains(kAlarmTimeKey) && !dictionary.contains(kAlarmDateKey)) {
        item.removeAllAlarms();
        return;
    }
    DDLogVerbose(QStringLiteral("Updating Calendar Item '%1' Alarm.").arg(item.title()));
    const WantedAlarm wanted = wantedAlarm(item, dictionary, dateUtilities());
    DDLogVerbose(QStringLiteral("Checking Alarms for a matching alarm"));
    const QList<platform::CalAlarm> alarms = item.alarms();
    for (const platform::CalAlarm &alarm : alarms) {
        if (wanted.isRelative && !alarm.absoluteTrigger().isValid()) {
            DDLogVerbose(QStringLiteral("-- Checking Alarm for match against %1 interval")
                             .arg(alarm.relativeTrigger(), 0, 'f', 6));
            if (alarm.relativeTrigger() == wanted.offset)
                return;
        }
        if (alarm.absoluteTrigger().isValid()) {
            DDLogVerbose(QStringLiteral("-- Checking Alarm for match against %1 fire date")
                             .arg(dateUtilities().localDateTimeStringFromDate(alarm.absoluteTrigger())));
            if (alarm.absoluteTrigger() == wanted.fireDate)
                return;
        }
    }
    DDLogVerbose(QStringLiteral("Did not find a match, replacing Apple Alarm(s) with device alarm."));
    platform::CalAlarm replacement = alarms.isEmpty() ? platform::CalAlarm::alarm() : alarms.first();
    DDLogVerbose(alarms.isEmpty() ? QStringLiteral("Creating a new alarm for the apple record.")
                                  : QStringLiteral("Using an existing Apple Alarm as the template for the new alarm."));
    if (wanted.isRelative)
        replacement.setRelativeTrigger(wanted.offset);
    else
        replacement.setAbsoluteTrigger(wanted.fireDate);
    item.setAlarms({replacement});
}

void HMBaseCalendarData::updateEKCalendarItem(platform::EKEvent &item, const QVariantMap &dictionary)
{
    // The keys only: the values are the user's data and stay out of the console.
    for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry)
        DDLogVerbose(QStringLiteral("KEY %1").arg(entry.key()));
    if (!dictionary.contains(kAlarmTimeKey) && !dictionary.contains(kAlarmDateKey)) {
        for (const platform::EKAlarm &alarm : item.alarms())
            item.removeAlarm(alarm);
        DDLogVerbose(QStringLiteral("returning early because no alarm"));
        return;
    }
    DDLogVerbose(QStringLiteral("Updating Calendar Item '%1' Alarm.").arg(item.title()));
    const qint64 minutes = integerValue(dictionary.value(kAlarmTimeKey));
    const QDateTime fireDate = dateUtilities().dateByAdding(-minutes, platform::CalendarUnit::Minute, item.startDate());
    const double offset = -60.0 * double(minutes);
    DDLogVerbose(QStringLiteral("Alarm is for an Event, and fires on %1 or %2 seconds before the event")
                     .arg(dateUtilities().localDateTimeStringFromDate(fireDate))
                     .arg(offset, 0, 'f', 6));
    DDLogVerbose(QStringLiteral("Checking Alarms for a matching alarm"));
    const QList<platform::EKAlarm> alarms = item.alarms();
    for (const platform::EKAlarm &alarm : alarms) {
        if (!alarm.absoluteDate().isValid()) {
            DDLogVerbose(QStringLiteral("-- Checking Alarm for match against %1 interval")
                             .arg(alarm.relativeOffset(), 0, 'f', 6));
            if (alarm.relativeOffset() == offset)
                return;
        } else {
            DDLogVerbose(QStringLiteral("-- Checking Alarm for match against %1 fire date")
                             .arg(dateUtilities().localDateTimeStringFromDate(alarm.absoluteDate())));
            if (alarm.absoluteDate() == fireDate)
                return;
        }
    }
    DDLogVerbose(QStringLiteral("Did not find a match, replacing Apple Alarm(s) with device alarm."));
    platform::EKAlarm replacement =
        alarms.isEmpty() ? platform::EKAlarm::alarmWithRelativeOffset(offset) : alarms.first();
    DDLogVerbose(alarms.isEmpty() ? QStringLiteral("Creating a new alarm for the apple record.")
                                  : QStringLiteral("Using an existing Apple Alarm as the template for the new alarm."));
    replacement.setRelativeOffset(offset);
    item.setAlarms({replacement});
}

void HMBaseCalendarData::updateCalendarDictionary(QVariantMap &dictionary, const platform::CalCalendarItem &item)
{
    const auto *event = dynamic_cast<const platform::CalEvent *>(&item);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime reference = event ? event->startDate() : now;
    if (!item.hasAlarm())
        return;
    const QDateTime fireDate = item.nextAlarmDate();
    if (event && (!fireDate.isValid() || fireDate > reference)) {
        DDLogInfo(QStringLiteral("Ignoring Apple Alarm, because the fire date is after the start date"));
        return;
    }
    if (!event && (!fireDate.isValid() || fireDate < now)) {
        DDLogInfo(QStringLiteral("Ignoring Apple Alarm, because the fire date is before today"));
        return;
    }
    const qint64 minutes = dateUtilities().minutesFromDate(fireDate, reference);
    if (event) {
        DDLogInfo(QStringLiteral("Setting device alarm to %1 minutes before event.").arg(minutes));
        dictionary.insert(kAlarmTimeKey, minutes);
    } else {
        DDLogInfo(QStringLiteral("Setting device alarm to %1 for task.")
                      .arg(dateUtilities().localDateTimeStringFromDate(fireDate)));
        dictionary.insert(kAlarmDateKey, fireDate);
    }
}

void HMBaseCalendarData::updateEKCalendarDictionary(QVariantMap &dictionary, const platform::EKEvent &item)
{
    const QDateTime start = item.startDate();
    if (!item.hasAlarms())
        return;
    const QList<platform::EKAlarm> alarms = item.alarms();
    DDLogVerbose(QStringLiteral("[aCalendarItem.alarms count] %1").arg(alarms.size()));
    const double offset = alarms.first().relativeOffset();
    DDLogVerbose(QStringLiteral("[alarm relativeOffset] %1").arg(offset, 0, 'f', 6));
    const QDateTime fireDate = start.addMSecs(qint64(offset * 1000));
    DDLogVerbose(QStringLiteral("nextAlarmDate %1").arg(fireDate.toString(Qt::ISODate)));
    DDLogVerbose(QStringLiteral("calendarItemDate %1").arg(start.toString(Qt::ISODate)));
    if (!fireDate.isValid() || fireDate > start) {
        DDLogInfo(QStringLiteral("Ignoring Apple Alarm, because the fire date is after the start date"));
        return;
    }
    const qint64 minutes = dateUtilities().minutesFromDate(fireDate, start);
    DDLogInfo(QStringLiteral("Setting device alarm to %1 minutes before event.").arg(minutes));
    dictionary.insert(kAlarmTimeKey, minutes);
    dictionary.insert(kHasAlarmKey, 1);
}
