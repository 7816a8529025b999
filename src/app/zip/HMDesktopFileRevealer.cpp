#include "app/zip/HMDesktopFileRevealer.h"

#include "platform/foundation/ConsoleLog.h"

#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {

// The path and URL reach the script as positional parameters, never as script text.
constexpr char kRevealScript[] =
    "dbus-send --session --print-reply --dest=org.freedesktop.FileManager1 --type=method_call "
    "/org/freedesktop/FileManager1 org.freedesktop.FileManager1.ShowItems array:string:\"$1\" string:\"\" "
    ">/dev/null 2>&1 || exec xdg-open \"$2\"";

} // namespace

void HMDesktopFileRevealer::revealFile(const QString &path)
{
    const QFileInfo file(path);
    const QStringList arguments{QStringLiteral("-c"), QString::fromLatin1(kRevealScript), QStringLiteral("reveal"),
                                QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded),
                                file.absolutePath()};
    if (!QProcess::startDetached(QStringLiteral("/bin/sh"), arguments))
        platform::consoleLog(QStringLiteral("%1: the file manager could not be asked to show it").arg(path));
}
