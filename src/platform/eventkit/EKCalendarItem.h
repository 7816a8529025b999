#pragma once

#include "platform/eventkit/EKAlarm.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

namespace platform {

class EKCalendar;

// What events and reminders share: the calendar they sit in, their texts, alarms and dates. The item's
// identifier is the UID of its iCalendar component; a new item made by the store has it at once, one
// made without the store gets it when it is first saved. Items are
// copies of what was on disk when they were read: changing one changes nothing until it is saved.
// Used on the queue of the store that gave it out.
class EKCalendarItem
{
public:
    virtual ~EKCalendarItem() = default;

    QString calendarItemIdentifier() const { return m_uid; }
    std::shared_ptr<EKCalendar> calendar() const { return m_calendar; }
    void setCalendar(std::shared_ptr<EKCalendar> calendar) { m_calendar = std::move(calendar); }
    // A null text when the item has none.
    QString title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    QString notes() const { return m_notes; }
    void setNotes(const QString &notes) { m_notes = notes; }
    QString location() const { return m_location; }
    void setLocation(const QString &location) { m_location = location; }

    QList<EKAlarm> alarms() const { return m_alarms; }
    void setAlarms(const QList<EKAlarm> &alarms) { m_alarms = alarms; }
    void addAlarm(const EKAlarm &alarm) { m_alarms.append(alarm); }
    void removeAlarm(const EKAlarm &alarm);
    bool hasAlarms() const { return !m_alarms.isEmpty(); }

    // CREATED and LAST-MODIFIED; invalid when the file holds none.
    QDateTime creationDate() const { return m_creationDate; }
    QDateTime lastModifiedDate() const { return m_lastModifiedDate; }

    // The store's side. A new item made by the store has its identifier before it is first saved.
    void setCalendarItemIdentifier(const QString &uid) { m_uid = uid; }
    bool isNew() const { return m_isNew; }
    void setIsNew(bool isNew) { m_isNew = isNew; }
    void setCreationDate(const QDateTime &date) { m_creationDate = date; }
    void setLastModifiedDate(const QDateTime &date) { m_lastModifiedDate = date; }

private:
    QString m_uid;
    bool m_isNew = false;
    std::shared_ptr<EKCalendar> m_calendar;
    QString m_title;
    QString m_notes;
    QString m_location;
    QList<EKAlarm> m_alarms;
    QDateTime m_creationDate;
    QDateTime m_lastModifiedDate;
};

} // namespace platform
