#pragma once

#include <functional>

// The calendar and reminder stores' entity types and access states, numbered as the stores number them.
enum class HMCalendarEntityType { Event = 0, Reminder = 1 };
enum class HMAuthorizationStatus { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// What the main window asks of the calendar and reminder stores before a sync of a profile that uses
// them: whether access was decided, and for access where it was not. Main thread only; the answer of
// a request may arrive on any thread.
class HMCalendarAccess
{
public:
    virtual ~HMCalendarAccess() = default;

    virtual HMAuthorizationStatus authorizationStatusForEntityType(HMCalendarEntityType type) const = 0;
    virtual void requestAccessToEntityType(HMCalendarEntityType type, std::function<void(bool granted)> completion) = 0;
};

// The access of the calendar store, whose calendars and reminder lists are folders under one root
// folder that belongs to the user who runs the application. Access is undecided until the root
// folder exists: the request makes it, and is refused when it cannot be made. Once it exists the
// store answers (refused when something other than a folder stands there).
class HMEventStoreCalendarAccess final : public HMCalendarAccess
{
public:
    HMAuthorizationStatus authorizationStatusForEntityType(HMCalendarEntityType type) const override;
    // Answers on the store's queue.
    void requestAccessToEntityType(HMCalendarEntityType type, std::function<void(bool granted)> completion) override;
};
