// The harrowmere program: answers --help and --version, hands a second start over to the running
// instance, and otherwise makes the application object and its delegate and runs the application.
#include "app/HMAppDelegate.h"
#include "app/stores/HMSyncRegistration.h"
#include "cloud/HMQuillnestSync.h"
#include "datasources/contacts/HMContactData.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/SingleInstance.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/FileHandle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/ProcessInfo.h"
#include "ui/accounts/HMAccountSheets.h"
#include "ui/settings/HMSettingsWindows.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const char kApplicationIdentifier[] = "com.harrowmere.Harrowmere";
// The request of a second start: show the main window; a start at login asks for nothing to show.
const QByteArray kShowRequest = QByteArrayLiteral("show");
const QByteArray kLoginRequest = QByteArrayLiteral("login");
constexpr int kHandOverTimeoutMilliseconds = 10000;
// The console file is started afresh (the previous one kept once) when it grew past this.
constexpr qint64 kMaxConsoleFileBytes = 1 << 20;

const char kUsage[] = "Usage: harrowmere [--launched-at-login]\n"
                      "Synchronizes contacts, calendars, tasks and notes with a phone or a cloud account.\n"
                      "\n"
                      "  --launched-at-login  start with the window hidden, in the status area only\n"
                      "  -h, --help           show this help and exit\n"
                      "  --version            show the version and exit\n"
                      "\n"
                      "While Harrowmere runs, starting it again brings its window forward.\n";

bool hasArgument(int argc, char **argv, const char *argument)
{
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], argument) == 0)
            return true;
    }
    return false;
}

// The exit code when the arguments only ask for the help or the version, which are printed without
// starting the application.
std::optional<int> answerInformationOnly(int argc, char **argv)
{
    if (hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (hasArgument(argc, argv, "--version")) {
        std::printf("harrowmere %s (%s)\n", qPrintable(platform::Bundle::shortVersion()),
                    qPrintable(platform::Bundle::buildVersion()));
        return 0;
    }
    return std::nullopt;
}

int handOverToRunningInstance(platform::SingleInstance &instance, bool isLoginLaunch)
{
    if (instance.handOver(isLoginLaunch ? kLoginRequest : kShowRequest, kHandOverTimeoutMilliseconds))
        return 0;
    std::fprintf(stderr, "harrowmere: Harrowmere is already running, but %s\n", qPrintable(instance.errorString()));
    return 1;
}

void configureQtApplication()
{
    QApplication::setApplicationName(QStringLiteral("Harrowmere"));
    QApplication::setDesktopFileName(QString::fromLatin1(kApplicationIdentifier));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/harrowmere-256.png")));
    // Closing the main window leaves the application running in its status items.
    QApplication::setQuitOnLastWindowClosed(false);
}

// The console lines (the steps of each start and sync) are for support, not for the terminal or the
// session's error log: they go to "console.log" in the log folder, 0600, appended. Standard error
// keeps warnings and errors only. When the file cannot be opened the lines stay on standard error.
void sendConsoleToLogFolder()
{
    const QString folder = platform::FileSystem::logFolderPath();
    if (!QDir().mkpath(folder))
        return;
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString path = folder + QStringLiteral("/console.log");
    const QString previous = folder + QStringLiteral("/console.1.log");
    if (QFileInfo(path).size() > kMaxConsoleFileBytes) {
        QFile::remove(previous);
        QFile::rename(path, previous);
    }
    platform::Result<std::unique_ptr<platform::FileHandle>> opened =
        platform::FileHandle::openForAppending(path, platform::FileHandle::WhenMissing::CreateOwnerOnly);
    // Kept open for the life of the process.
    if (opened)
        platform::setConsoleLogDescriptor((*opened)->releaseDescriptor());
}

// A later start asked to see the application: its main window comes forward, as a click on the
// status item brings it.
void serveLaterStarts(platform::SingleInstance &instance, HMAppDelegate &delegate)
{
    if (!instance.listen())
        std::fprintf(stderr, "harrowmere: warning: later starts cannot reach this one: %s\n",
                     qPrintable(instance.errorString()));
    QObject::connect(&instance, &platform::SingleInstance::requestReceived, &instance,
                     [&delegate](const QByteArray &request) {
                         if (request == kShowRequest)
                             delegate.showInterface();
                     });
}

} // namespace

int main(int argc, char **argv)
{
    if (const std::optional<int> exitCode = answerInformationOnly(argc, argv))
        return *exitCode;
    platform::SingleInstance instance(QString::fromLatin1(kApplicationIdentifier));
    if (!instance.claim())
        return handOverToRunningInstance(instance, hasArgument(argc, argv, platform::kLaunchedAtLoginArgument));
    platform::ProcessInfo::keepHeapCompact();
    QApplication qtApplication(argc, argv);
    configureQtApplication();
    sendConsoleToLogFolder();
    // The phone transports and the desktop stores every profile of the desktop's own apps syncs with.
    HMSyncRegistration::registerPhoneTransports();
    HMSyncRegistration::registerCloudTransport(HMQuillnestTiming{});
    HMSyncRegistration::registerDesktopStores();
    // A large deletion of a cloud sync asks for the user's attention: the windows' taskbar entries
    // are marked until the application is activated. Deleting goes on meanwhile, on its own thread.
    HMContactData::setAttentionRequester(&platform::Application::requestCriticalUserAttention);
    // The settings and account sheets the main window and the main settings sheet open.
    HMAccountSheets::registerWithMainWindow();
    HMSettingsWindows::registerWithMainWindow();
    platform::Application application(QApplication::arguments());
    HMAppDelegate delegate;
    application.setDelegate(&delegate);
    serveLaterStarts(instance, delegate);
    return application.run();
}
