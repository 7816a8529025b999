#include "platform/eventkit/EKCalendar.h"

namespace platform {

std::shared_ptr<EKCalendar> EKCalendar::calendarForEntityType(EKEntityType entityType)
{
    auto calendar = std::make_shared<EKCalendar>();
    calendar->setAllowedEntityTypes(entityType == EKEntityType::Event ? EKEntityMaskEvent : EKEntityMaskReminder);
    return calendar;
}

void EKCalendar::setFolder(const QString &identifier, const QString &folderPath)
{
    m_calendarIdentifier = identifier;
    m_folderPath = folderPath;
}

} // namespace platform
