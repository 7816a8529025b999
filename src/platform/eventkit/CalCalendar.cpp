#include "platform/eventkit/CalCalendar.h"

#include "platform/eventkit/EKCalendar.h"

namespace platform {

std::shared_ptr<CalCalendar> CalCalendar::calendar()
{
    auto calendar = std::make_shared<EKCalendar>();
    calendar->setAllowedEntityTypes(EKEntityMaskEvent | EKEntityMaskReminder);
    return std::make_shared<CalCalendar>(std::move(calendar));
}

CalCalendar::CalCalendar(std::shared_ptr<EKCalendar> calendar) : m_calendar(std::move(calendar)) {}

QString CalCalendar::uid() const
{
    return m_calendar->calendarIdentifier();
}

QString CalCalendar::title() const
{
    return m_calendar->title();
}

void CalCalendar::setTitle(const QString &title)
{
    m_calendar->setTitle(title);
}

QString CalCalendar::type() const
{
    switch (m_calendar->type()) {
    case EKCalendarType::Local:
        return CalCalendarTypeLocal;
    case EKCalendarType::CalDAV:
        return CalCalendarTypeCalDAV;
    case EKCalendarType::Exchange:
        return CalCalendarTypeExchange;
    case EKCalendarType::Subscription:
        return CalCalendarTypeSubscription;
    case EKCalendarType::Birthday:
        return CalCalendarTypeBirthday;
    }
    return CalCalendarTypeLocal;
}

bool CalCalendar::isEditable() const
{
    return m_calendar->allowsContentModifications();
}

} // namespace platform
