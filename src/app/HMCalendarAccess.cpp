#include "app/HMCalendarAccess.h"

HMAuthorizationStatus HMGrantedCalendarAccess::authorizationStatusForEntityType(HMCalendarEntityType) const
{
    return HMAuthorizationStatus::Authorized;
}

void HMGrantedCalendarAccess::requestAccessToEntityType(HMCalendarEntityType, std::function<void(bool granted)> completion)
{
    if (completion)
        completion(true);
}
