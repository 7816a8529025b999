#include "platform/eventkit/EKReminder.h"

#include "platform/eventkit/EKEventStore.h"

namespace platform {

std::shared_ptr<EKReminder> EKReminder::reminderWithEventStore(const std::shared_ptr<EKEventStore> &store)
{
    auto reminder = std::make_shared<EKReminder>();
    if (store)
        reminder->setCalendar(store->defaultCalendarForNewReminders());
    return reminder;
}

void EKReminder::setDueDate(const QDateTime &date, bool allDay)
{
    m_dueDate = date.toUTC();
    m_dueDateAllDay = allDay && date.isValid();
}

// Priorities outside the iCalendar range 0 to 9 are brought into it rather than written as given.
void EKReminder::setPriority(int priority)
{
    m_priority = priority < 0 ? 0 : (priority > 9 ? 9 : priority);
}

void EKReminder::setCompleted(bool completed)
{
    m_completed = completed;
    m_completionDate = completed ? QDateTime::currentDateTimeUtc() : QDateTime();
}

void EKReminder::setCompletionDate(const QDateTime &date)
{
    m_completionDate = date.toUTC();
    m_completed = date.isValid();
}

} // namespace platform
