#pragma once

#include "platform/foundation/Result.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace platform {

// What the file system says of one file.
struct FileAttributes
{
    qint64 size = 0;
    bool isDirectory = false;
    QDateTime modificationDate;
    // The birth time where the file system records one, else the last change of the file's metadata
    // (the oldest time that is always known).
    QDateTime creationDate;
};

// The application's well-known folders and the small file operations its subsystems share.
// Every folder comes from the environment at each call ($HOME, $XDG_DATA_HOME, $XDG_STATE_HOME,
// $TMPDIR), so tests point them at a temporary folder. Thread-safe.
class FileSystem final
{
public:
    FileSystem() = delete;

    // $XDG_DATA_HOME/<bundle identifier> (by default ~/.local/share/com.harrowmere.Harrowmere).
    static QString dataFolderPath();
    // $XDG_STATE_HOME/<process name>/Logs (by default ~/.local/state/Harrowmere/Logs).
    static QString logFolderPath();
    // $TMPDIR when it names a folder, else /tmp.
    static QString temporaryFolderPath();
    // Where the system's own folders ("/Applications", ...) lie: $HM_SYSTEM_ROOT when it names an
    // absolute folder (tests give each run a root of its own), else "/".
    static QString systemRootPath();
    // The absolute path under the system root: "/Applications/X.app" becomes
    // "<root>/Applications/X.app"; unchanged when the root is "/" and for paths in the user's home.
    static QString systemPath(const QString &absolutePath);

    // Creates the folder with every missing parent; an existing folder is success.
    static Status createFolder(const QString &path);
    // Creates the folder like createFolder, but for its owner only (0700), whatever the umask; an
    // existing folder of the owner's is narrowed to 0700. A link at its name is refused.
    static Status createPrivateFolder(const QString &path);
    // The names of the folder's top-level entries, hidden ones (leading dot) left out, in no order.
    static Result<QStringList> listFolder(const QString &path);

    static bool fileExists(const QString &path);
    static Result<FileAttributes> attributesOfItem(const QString &path);
    // Removes a file (or an empty folder); a missing one fails with IoNotFound.
    static Status removeItem(const QString &path);
};

} // namespace platform
