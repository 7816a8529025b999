#pragma once

#include "platform/eventkit/CalCalendarItem.h"
#include "platform/eventkit/CalRecurrenceRule.h"

#include <optional>

namespace platform {

class EKEvent;

// A CalendarStore event, or one occurrence of a series (its occurrence is the start the rule gave it).
// A view of the event store's event underneath. Used on the queue of its store.
class CalEvent final : public CalCalendarItem
{
public:
    // A new event, not yet saved.
    static std::shared_ptr<CalEvent> event();
    explicit CalEvent(std::shared_ptr<EKEvent> event);

    QDateTime startDate() const;
    void setStartDate(const QDateTime &date);
    QDateTime endDate() const;
    void setEndDate(const QDateTime &date);
    bool isAllDay() const;
    void setIsAllDay(bool allDay);
    QString location() const;
    void setLocation(const QString &location);
    QDateTime occurrence() const;
    bool isDetached() const;
    // The first rule of the series; none for a single event. Setting none makes it a single event.
    std::optional<CalRecurrenceRule> recurrenceRule() const;
    void setRecurrenceRule(const std::optional<CalRecurrenceRule> &rule);

    EKCalendarItem &item() const override;
    std::shared_ptr<EKEvent> ekEvent() const { return m_event; }

protected:
    QDateTime alarmReferenceDate() const override;

private:
    std::shared_ptr<EKEvent> m_event;
};

} // namespace platform
