#pragma once

#include "platform/eventkit/EKCalendarItem.h"

namespace platform {

class EKEventStore;

// A reminder (a VTODO): due date, priority (0 none, 1 highest to 9 lowest) and completion. Used on
// the queue of the store that gave it out.
class EKReminder final : public EKCalendarItem
{
public:
    static std::shared_ptr<EKReminder> reminderWithEventStore(const std::shared_ptr<EKEventStore> &store);

    // Invalid when the reminder has no due date. A date-only due date is midnight of its day.
    QDateTime dueDate() const { return m_dueDate; }
    bool isDueDateAllDay() const { return m_dueDateAllDay; }
    void setDueDate(const QDateTime &date, bool allDay = false);
    int priority() const { return m_priority; }
    void setPriority(int priority);
    bool isCompleted() const { return m_completed; }
    // Completing stamps the completion date with now; un-completing clears it.
    void setCompleted(bool completed);
    QDateTime completionDate() const { return m_completionDate; }
    void setCompletionDate(const QDateTime &date);

private:
    QDateTime m_dueDate;
    bool m_dueDateAllDay = false;
    int m_priority = 0;
    bool m_completed = false;
    QDateTime m_completionDate;
};

} // namespace platform
