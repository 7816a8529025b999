#pragma once

#include <functional>

// The calendar and reminder stores' entity types and access states, numbered as the stores number them.
enum class HMCalendarEntityType { Event = 0, Reminder = 1 };
enum class HMAuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// What the main window asks of the calendar and reminder stores before a sync of a profile that uses
// them: whether access was decided, and for access where it was not. The calendar store implements
// it; main thread only, and the answer of a request may arrive on any thread.
class HMCalendarAccess
{
public:
    virtual ~HMCalendarAccess() = default;

    virtual HMAuthorizationStatus authorizationStatusForEntityType(HMCalendarEntityType type) const = 0;
    virtual void requestAccessToEntityType(HMCalendarEntityType type, std::function<void(bool granted)> completion) = 0;
};

// The access of stores that ask nobody: the desktop's calendar folders belong to the user who runs
// the application, so access is always granted and never needs asking.
class HMGrantedCalendarAccess final : public HMCalendarAccess
{
public:
    HMAuthorizationStatus authorizationStatusForEntityType(HMCalendarEntityType type) const override;
    void requestAccessToEntityType(HMCalendarEntityType type, std::function<void(bool granted)> completion) override;
};
