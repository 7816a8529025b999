#pragma once

#include "platform/eventkit/CalAlarm.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

namespace platform {

class CalCalendar;
class EKCalendarItem;

// What CalendarStore events and tasks share, as a view of the event store's item underneath: the
// item's UID, texts, calendar, alarms and change date. Used on the queue of its store.
class CalCalendarItem
{
public:
    virtual ~CalCalendarItem() = default;

    QString uid() const;
    QString title() const;
    void setTitle(const QString &title);
    QString notes() const;
    void setNotes(const QString &notes);
    std::shared_ptr<CalCalendar> calendar() const;
    void setCalendar(const std::shared_ptr<CalCalendar> &calendar);
    // LAST-MODIFIED of the item.
    QDateTime dateStamp() const;

    QList<CalAlarm> alarms() const;
    void setAlarms(const QList<CalAlarm> &alarms);
    void addAlarm(const CalAlarm &alarm);
    void removeAllAlarms();
    bool hasAlarm() const;
    // The first time one of the item's alarms fires after its reference date (the start of an event,
    // now for a task); invalid without alarms.
    QDateTime nextAlarmDate() const;

    virtual EKCalendarItem &item() const = 0;

protected:
    virtual QDateTime alarmReferenceDate() const = 0;
};

} // namespace platform
