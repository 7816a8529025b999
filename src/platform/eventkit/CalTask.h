#pragma once

#include "platform/eventkit/CalCalendarItem.h"

namespace platform {

class EKReminder;

// The priorities of CalendarStore tasks, as iCalendar numbers them.
enum CalPriority : int {
    CalPriorityNone = 0,
    CalPriorityHigh = 1,
    CalPriorityMedium = 5,
    CalPriorityLow = 9,
};

// A CalendarStore task: a view of the event store's reminder (a VTODO) underneath. Used on the queue
// of its store.
class CalTask final : public CalCalendarItem
{
public:
    static std::shared_ptr<CalTask> task();
    explicit CalTask(std::shared_ptr<EKReminder> reminder);

    // Invalid without a due date.
    QDateTime dueDate() const;
    void setDueDate(const QDateTime &date);
    int priority() const;
    void setPriority(int priority);
    bool isCompleted() const;
    void setIsCompleted(bool completed);
    QDateTime completedDate() const;
    void setCompletedDate(const QDateTime &date);

    EKCalendarItem &item() const override;
    std::shared_ptr<EKReminder> reminder() const { return m_reminder; }

protected:
    QDateTime alarmReferenceDate() const override;

private:
    std::shared_ptr<EKReminder> m_reminder;
};

} // namespace platform
