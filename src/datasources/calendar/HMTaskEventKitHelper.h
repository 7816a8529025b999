#pragma once

#include <QList>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>

namespace platform {
class EKReminder;
}

// The process-wide reminders of the coming sync, fetched once before it starts, and the reminder
// lists and event calendars chosen in the profile. No instances: class operations on process-wide
// values, all thread-safe (one lock guards them; the fetch's completion takes it too).
class HMTaskEventKitHelper final
{
public:
    HMTaskEventKitHelper() = delete;

    // Starts the fetch of the chosen reminder lists when task sync is on; returns at once.
    static void buildTasksArray();
    // The reminders as they stand: nullopt before a fetch began (or after clearTasksArray), an empty
    // list until the fetch completes.
    static std::optional<QList<std::shared_ptr<platform::EKReminder>>> getTasksArray();
    static void clearTasksArray();
    // Waits at most the timeout for the running fetch to complete; true when it did (or when no fetch
    // is running). A listing that gets false must not read a missing reminder as a deletion.
    static bool waitForTasksArray(std::chrono::milliseconds timeout);

    static void setTaskCalendarIdentifiersToSync(const QStringList &identifiers);
    static QStringList getTaskCalendarIdentifiersToSync();
    static void setEventCalendarIdentifiersToSync(const QStringList &identifiers);
    static QStringList getEventCalendarIdentifiersToSync();
};
