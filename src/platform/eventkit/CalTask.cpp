#include "platform/eventkit/CalTask.h"

#include "platform/eventkit/EKReminder.h"

namespace platform {

std::shared_ptr<CalTask> CalTask::task()
{
    return std::make_shared<CalTask>(std::make_shared<EKReminder>());
}

CalTask::CalTask(std::shared_ptr<EKReminder> reminder) : m_reminder(std::move(reminder)) {}

QDateTime CalTask::dueDate() const
{
    return m_reminder->dueDate();
}

void CalTask::setDueDate(const QDateTime &date)
{
    m_reminder->setDueDate(date, false);
}

int CalTask::priority() const
{
    return m_reminder->priority();
}

void CalTask::setPriority(int priority)
{
    m_reminder->setPriority(priority);
}

bool CalTask::isCompleted() const
{
    return m_reminder->isCompleted();
}

void CalTask::setIsCompleted(bool completed)
{
    m_reminder->setCompleted(completed);
}

QDateTime CalTask::completedDate() const
{
    return m_reminder->completionDate();
}

void CalTask::setCompletedDate(const QDateTime &date)
{
    m_reminder->setCompletionDate(date);
}

EKCalendarItem &CalTask::item() const
{
    return *m_reminder;
}

QDateTime CalTask::alarmReferenceDate() const
{
    return m_reminder->dueDate().isValid() ? m_reminder->dueDate() : QDateTime::currentDateTimeUtc();
}

} // namespace platform
