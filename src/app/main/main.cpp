// The harrowmere program: makes the application object and its delegate and runs the application.
#include "app/HMAppDelegate.h"
#include "app/stores/HMSyncRegistration.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/ProcessInfo.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    platform::ProcessInfo::keepHeapCompact();
    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Harrowmere"));
    QApplication::setDesktopFileName(QStringLiteral("com.harrowmere.Harrowmere"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/harrowmere-256.png")));
    // Closing the main window leaves the application running in its status items.
    QApplication::setQuitOnLastWindowClosed(false);
    // The phone transports and the desktop stores every profile of the desktop's own apps syncs with.
    HMSyncRegistration::registerPhoneTransports();
    HMSyncRegistration::registerDesktopStores();
    platform::Application application(QApplication::arguments());
    HMAppDelegate delegate;
    application.setDelegate(&delegate);
    return application.run();
}
