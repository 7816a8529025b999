#include "platform/appkit/Workspace.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace platform {

Workspace &Workspace::sharedWorkspace()
{
    static Workspace *const s_workspace = new Workspace;
    return *s_workspace;
}

bool Workspace::selectFile(const QString &path, const QString &rootPath)
{
    static_cast<void>(rootPath);
    if (path.isEmpty())
        return false;
    const QUrl url = QUrl::fromLocalFile(path);
    if (m_opener)
        return m_opener(RequestKind::SelectFile, url);
    return showInFileManager(url);
}

bool Workspace::openURL(const QUrl &url)
{
    if (!url.isValid())
        return false;
    if (m_opener)
        return m_opener(RequestKind::OpenUrl, url);
    return QDesktopServices::openUrl(url);
}

bool Workspace::showInFileManager(const QUrl &url)
{
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(url.toLocalFile()).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return QDesktopServices::openUrl(folder);
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << QStringList{url.toString()} << QString();
    // The file manager may take its time to start; the answer is awaited off the main thread's path,
    // and a desktop without the service gets the folder opened instead.
    auto *const watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [folder](QDBusPendingCallWatcher *finished) {
        if (finished->isError())
            QDesktopServices::openUrl(folder);
        finished->deleteLater();
    });
    return true;
}

void Workspace::observeSleepAndWake()
{
    if (m_isObservingSleep)
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    m_isObservingSleep = bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                     QStringLiteral("org.freedesktop.login1.Manager"),
                                     QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

void Workspace::prepareForSleep(bool isGoingToSleep)
{
    if (isGoingToSleep) {
        m_notificationCenter.postNotificationName(QLatin1String(NSWorkspaceWillSleepNotification));
        m_notificationCenter.postNotificationName(QLatin1String(NSWorkspaceScreensDidSleepNotification));
        return;
    }
    m_notificationCenter.postNotificationName(QLatin1String(NSWorkspaceScreensDidWakeNotification));
}

} // namespace platform
