#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace platform {

// The notifications of the workspace's centre. On Linux the system's sleep and wake come from
// logind's PrepareForSleep signal on the system bus: "will sleep" before the system sleeps (the
// screens go dark with it), "screens did wake" after it woke.
inline constexpr char NSWorkspaceWillSleepNotification[] = "NSWorkspaceWillSleepNotification";
inline constexpr char NSWorkspaceScreensDidSleepNotification[] = "NSWorkspaceScreensDidSleepNotification";
inline constexpr char NSWorkspaceScreensDidWakeNotification[] = "NSWorkspaceScreensDidWakeNotification";

// The user's desktop as the application reaches it: showing a file in the file manager, opening a
// web address in the default browser, and the sleep and wake notifications. Tests install an opener
// that records the requests instead of starting programs. Main thread only.
class Workspace final : public QObject
{
    Q_OBJECT

public:
    enum class RequestKind { SelectFile, OpenUrl };
    // Answers whether the request was handed on.
    using Opener = std::function<bool(RequestKind kind, const QUrl &url)>;

    static Workspace &sharedWorkspace();

    NotificationCenter &notificationCenter() { return m_notificationCenter; }

    // Shows the file or folder selected in the file manager (through the desktop's FileManager1
    // service, else by opening the folder that holds it). The root path is not used on Linux.
    bool selectFile(const QString &path, const QString &rootPath);
    bool openURL(const QUrl &url);

    // Replaces how requests are carried out; an empty opener restores the desktop's.
    void setOpener(Opener opener) { m_opener = std::move(opener); }

    // Starts listening for the system's sleep and wake when a system bus is there; harmless to repeat.
    void observeSleepAndWake();

private slots:
    void prepareForSleep(bool isGoingToSleep);

private:
    Workspace() = default;
    bool showInFileManager(const QUrl &url);

    NotificationCenter m_notificationCenter;
    Opener m_opener;
    bool m_isObservingSleep = false;
};

} // namespace platform
