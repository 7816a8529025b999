#pragma once

#include <QSet>
#include <QString>

#include <optional>

namespace platform {

// Whether a take reads the kernel's queued notices first, or a take of another watch has just read
// them (the watches share one queue) within the same store call.
enum class ReadNotices { First, AlreadyRead };

// Tells which names of one folder changed since it was last armed, from the kernel's notices of
// what any program did in the folder: files created, written, their status changed, renamed in or
// out, removed. Names beginning with a dot are left out. It cannot tell when notices were lost (too many at once), when the folder itself
// went or moved, or when the kernel gives no watch: the caller then looks at the whole folder.
// The watches of a process share one notice queue, which takes a lock of its own; a watch is used
// by its folder, under the stores' lock.
class ICalendarFolderWatch final
{
public:
    ICalendarFolderWatch() = default;
    ~ICalendarFolderWatch();
    ICalendarFolderWatch(const ICalendarFolderWatch &) = delete;
    ICalendarFolderWatch &operator=(const ICalendarFolderWatch &) = delete;

    // Watches the folder from now on (again, when the watch was lost) and forgets what it noted
    // before: to be called before a whole look at the folder, which sees every earlier change.
    void arm(const QString &path);
    // The names changed since the last arm or take; nothing when the watch cannot tell.
    std::optional<QSet<QString>> takeChanges(ReadNotices read = ReadNotices::First);
    // The folder's owner has just created the file by this name itself and knows what it holds: the
    // one notice of its creation is not told. Any other notice of the name still is.
    void expectOwnCreation(const QString &name);
    // Whether the kernel gave a watch at the last arm (it may since have ended: takeChanges tells).
    bool isArmed() const { return m_descriptor >= 0; }

    // Whether arming sets up the kernel's watch (by default it does). A process that runs one sync
    // and ends turns this off before its first store call: adding a watch makes the kernel mark every
    // name in the folder, and each later change in it queues notices, all for a process that reads
    // them only to spare looks it can take by the folder's time. Its watches then tell nothing, and
    // their folders are looked at as where the kernel gives no watch. Turning it off lets the
    // watches already set up go at their next use.
    static void setKernelWatches(bool isOn);
    static bool hasKernelWatches();

private:
    void letGoIfTurnedOff();

    int m_descriptor = -1;
};

} // namespace platform
