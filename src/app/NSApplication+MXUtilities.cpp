#include "app/NSApplication+MXUtilities.h"

#include "platform/appkit/Application.h"
#include "platform/foundation/ConsoleLog.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

QString applicationPath()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
}

bool isApplicationProgram(const QString &programPath)
{
    const QFileInfo program(programPath);
    return program.exists() && program.canonicalFilePath() == applicationPath();
}

} // namespace

std::optional<platform::LoginItem> loginItem(const platform::Application &, const platform::LoginItems &loginItems)
{
    const platform::Result<QList<platform::LoginItem>> items = loginItems.snapshot();
    if (!items)
        return std::nullopt;
    for (const platform::LoginItem &item : *items) {
        if (isApplicationProgram(item.programPath))
            return item;
    }
    return std::nullopt;
}

bool launchAtLogin(const platform::Application &application, const platform::LoginItems &loginItems)
{
    return loginItem(application, loginItems).has_value();
}

void setLaunchAtLogin(const platform::Application &application, bool shouldLaunch, platform::LoginItems loginItems)
{
    if (launchAtLogin(application, loginItems) == shouldLaunch)
        return;
    platform::consoleLog(QStringLiteral("loginItemsRef %1").arg(loginItems.folder()));
    platform::consoleLog(QStringLiteral("appPath %1").arg(applicationPath()));
    if (!shouldLaunch) {
        if (const std::optional<platform::LoginItem> item = loginItem(application, loginItems)) {
            if (const platform::Status removed = loginItems.removeItem(*item); !removed)
                platform::consoleLog(removed.error().message());
        }
        return;
    }
    const platform::Result<QList<platform::LoginItem>> items = loginItems.snapshot();
    if (!items) {
        platform::consoleLog(items.error().message());
        return;
    }
    // Entries of other copies of the application go, so that only this copy starts at login.
    for (const platform::LoginItem &item : *items) {
        if (!item.programPath.contains(QLatin1String("harrowmere"), Qt::CaseInsensitive))
            continue;
        if (const platform::Status removed = loginItems.removeItem(item); !removed)
            platform::consoleLog(removed.error().message());
    }
    const platform::Result<platform::LoginItem> added =
        loginItems.insertItem(QLatin1String(kLoginItemDesktopId), QStringLiteral("Harrowmere"), applicationPath(),
                              {QLatin1String(platform::kLaunchedAtLoginArgument)});
    if (!added)
        platform::consoleLog(added.error().message());
}
