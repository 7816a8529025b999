#pragma once

namespace platform {

// The kinds of item a calendar store holds.
enum class EKEntityType {
    Event = 0,
    Reminder = 1,
};

// The entity mask a store is opened with: which kinds of item it gives access to.
enum EKEntityMask : unsigned {
    EKEntityMaskEvent = 1,
    EKEntityMaskReminder = 2,
};

// How far a change to one occurrence of a series reaches.
enum class EKSpan {
    ThisEvent = 0,
    FutureEvents = 1,
};

// What kind of calendar a folder is: a writable folder is a local calendar, a read-only one a
// subscription, and a folder of vCards (a birthdays calendar of the address book) a birthday calendar.
enum class EKCalendarType {
    Local = 0,
    CalDAV = 1,
    Exchange = 2,
    Subscription = 3,
    Birthday = 4,
};

enum class EKAuthorizationStatus {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    Authorized = 3,
};

} // namespace platform
