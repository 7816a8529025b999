#pragma once

#include <QString>

#include <optional>

class HMProfile;

namespace hmsync {

class MemoryStore;

// Where the driver keeps the desktop's events and tasks: the calendar store's iCalendar folders (the
// default), or the memory store that holds the other conduits.
// Outlook: the events of the simulated Outlook (with --contacts-store outlook), the tasks in memory.
enum class CalendarStore { ICalendarFolders, Memory, Outlook };

// "ical", "memory" or "outlook"; nullopt for anything else.
std::optional<CalendarStore> calendarStoreFromName(const QString &name);

// Makes the calendar and tasks conduits of an Apple profile use the iCalendar folders under the root
// folder given (empty: the user default or its default): registers their data sources after the
// memory store's registration and, where the profile names no calendar or reminder list that
// exists, chooses the first writable one (made when there is none) to read and to write. Answers
// whether the profile changed, so the caller saves it. Holds a calendar store open for the rest of
// the run, so the stores the sync opens share what it read. Main thread, before the first sync.
bool useCalendarStore(CalendarStore store, HMProfile &profile, const QString &folder);

// Before each sync: hands the profile's chosen calendars to the reminder helper and starts the
// fetch of the reminders, as the application does before a run.
void prepareCalendarSync(CalendarStore store, const HMProfile &profile);

// Where the profile's events and tasks are in the folders (after useCalendarStore): adds that many
// sample events and reminders, and counts the records of conduit 2 or 3 (from the folders'
// descriptions as the run last saw and wrote them, a file's events by their reach). Otherwise the memory store's
// conduits serve for both.
bool addSampleEventsAndTasks(CalendarStore store, const HMProfile &profile, int count, QString &problem);
qsizetype calendarRecordCount(CalendarStore store, const HMProfile &profile, quint64 conduit,
                              const MemoryStore &memoryStore);

} // namespace hmsync
