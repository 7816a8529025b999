#include "platform/eventkit/CalCalendarItem.h"

#include "platform/eventkit/CalCalendar.h"
#include "platform/eventkit/EKCalendarItem.h"

#include <cmath>

namespace platform {

namespace {

EKAlarm ekAlarmFrom(const CalAlarm &alarm)
{
    return alarm.absoluteTrigger().isValid() ? EKAlarm::alarmWithAbsoluteDate(alarm.absoluteTrigger())
                                             : EKAlarm::alarmWithRelativeOffset(alarm.relativeTrigger());
}

CalAlarm calAlarmFrom(const EKAlarm &alarm)
{
    CalAlarm result;
    if (alarm.absoluteDate().isValid())
        result.setAbsoluteTrigger(alarm.absoluteDate());
    else
        result.setRelativeTrigger(alarm.relativeOffset());
    return result;
}

} // namespace

QString CalCalendarItem::uid() const
{
    return item().calendarItemIdentifier();
}

QString CalCalendarItem::title() const
{
    return item().title();
}

void CalCalendarItem::setTitle(const QString &title)
{
    item().setTitle(title);
}

QString CalCalendarItem::notes() const
{
    return item().notes();
}

void CalCalendarItem::setNotes(const QString &notes)
{
    item().setNotes(notes);
}

std::shared_ptr<CalCalendar> CalCalendarItem::calendar() const
{
    return item().calendar() ? std::make_shared<CalCalendar>(item().calendar()) : nullptr;
}

void CalCalendarItem::setCalendar(const std::shared_ptr<CalCalendar> &calendar)
{
    item().setCalendar(calendar ? calendar->ekCalendar() : nullptr);
}

QDateTime CalCalendarItem::dateStamp() const
{
    return item().lastModifiedDate();
}

QList<CalAlarm> CalCalendarItem::alarms() const
{
    QList<CalAlarm> result;
    for (const EKAlarm &alarm : item().alarms())
        result.append(calAlarmFrom(alarm));
    return result;
}

void CalCalendarItem::setAlarms(const QList<CalAlarm> &alarms)
{
    QList<EKAlarm> converted;
    for (const CalAlarm &alarm : alarms)
        converted.append(ekAlarmFrom(alarm));
    item().setAlarms(converted);
}

void CalCalendarItem::addAlarm(const CalAlarm &alarm)
{
    item().addAlarm(ekAlarmFrom(alarm));
}

void CalCalendarItem::removeAllAlarms()
{
    item().setAlarms({});
}

bool CalCalendarItem::hasAlarm() const
{
    return item().hasAlarms();
}

QDateTime CalCalendarItem::nextAlarmDate() const
{
    const QDateTime reference = alarmReferenceDate();
    QDateTime next;
    for (const EKAlarm &alarm : item().alarms()) {
        const QDateTime fires = alarm.absoluteDate().isValid()
                                    ? alarm.absoluteDate()
                                    : reference.addMSecs(qint64(std::llround(alarm.relativeOffset() * 1000)));
        if (fires.isValid() && (!next.isValid() || fires < next))
            next = fires;
    }
    return next;
}

} // namespace platform
