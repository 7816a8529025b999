#pragma once

#include "platform/foundation/Result.h"

#include <QList>
#include <QString>

namespace platform {

// One entry of the user's login items: an XDG autostart desktop entry and the program its Exec line
// starts (the first word of that line, unquoted).
struct LoginItem
{
    QString entryPath;
    QString programPath;
};

// The user's login items: the desktop entries in the XDG autostart folder
// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart), which every desktop starts at login. Only
// regular files ending in ".desktop" count; each is read up to a small limit, and one that does not
// parse is passed over. Entries are written whole (temporary file, then rename), never through a link.
// Not thread-safe: one user at a time, on the main thread.
class LoginItems final
{
public:
    // The user's autostart folder.
    LoginItems();
    explicit LoginItems(QString folder);

    static QString defaultFolder();
    const QString &folder() const { return m_folder; }

    // The entries now in the folder, in file-name order. A missing folder holds none; a folder that
    // cannot be listed fails.
    Result<QList<LoginItem>> snapshot() const;
    // Writes the entry "<desktopId>.desktop" that starts the program with the arguments, replacing
    // an entry of that name; the folder is made when missing.
    Result<LoginItem> insertItem(const QString &desktopId, const QString &displayName, const QString &programPath,
                                 const QStringList &arguments);
    // Removes the entry's file.
    Status removeItem(const LoginItem &item);

    // The program of an Exec line: its first word, with the desktop entry's quoting undone.
    static QString programOfExecLine(const QString &exec);

private:
    QString m_folder;
};

} // namespace platform
