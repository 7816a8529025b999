#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace testsupport {

// Pumps the Qt event loop (when a QCoreApplication exists) until the condition holds or the deadline
// passes; answers whether the condition held. A failing test names what it awaited.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Points HOME and the XDG data, config and state folders at a folder, so that what a test saves
// never reaches the real home.
void pointHomeAt(const QString &folder);

// Keeps the named environment variables as they are when made and puts them back (or unsets them)
// when it goes, so that a test which changes them leaves them as it found them for the tests and the
// programs that come after it in the same process.
class SavedEnvironment final
{
public:
    explicit SavedEnvironment(const std::vector<const char *> &names);
    ~SavedEnvironment();
    SavedEnvironment(const SavedEnvironment &) = delete;
    SavedEnvironment &operator=(const SavedEnvironment &) = delete;

private:
    std::vector<std::pair<const char *, std::optional<QByteArray>>> m_saved;
};

// pointHomeAt for as long as it lives, and the variables as they were afterwards: programs that a
// later test starts do not find their settings in a folder an earlier test left.
class ScopedHome final
{
public:
    explicit ScopedHome(const QString &folder);

private:
    SavedEnvironment m_saved;
};

// The project's source folder (for sample files and peers) and build folder.
QString sourceDir();
QString binaryDir();

// Runs the function with the size of the files this process writes capped, as a full disk would
// cap them: a write that crosses the cap is cut short there and the next one fails (EFBIG, its
// signal ignored meanwhile).
void runWithFileSizeLimit(quint64 maximumBytes, const std::function<void()> &run);

// Counts, from when it is made, the notices of a folder's watch (inotify events of the mask) that
// name a file ending in the suffix; a watch that overflows fails the test.
class FolderNotices final
{
public:
    FolderNotices(const QString &folder, quint32 mask, const QByteArray &suffix);
    ~FolderNotices();
    FolderNotices(const FolderNotices &) = delete;
    FolderNotices &operator=(const FolderNotices &) = delete;

    // The notices counted so far, those queued since the last call read now.
    int count();

private:
    int m_descriptor = -1;
    QByteArray m_suffix;
    int m_count = 0;
};

} // namespace testsupport
