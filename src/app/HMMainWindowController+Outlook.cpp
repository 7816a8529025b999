// The main window's side of Outlook: what the detection of the running Outlook reads of the window,
// and the automation script's pieces, which nothing in the application starts.
#include "app/HMMainWindowController.h"

#include "app/HMOutlookAccess.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMAppleScripter.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "sync/HMProfile.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>

#include <cstdio>

std::shared_ptr<HMOutlookAccess> HMMainWindowController::makeOutlookDetection()
{
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    return std::make_shared<HMOutlookDetection>([lifetime] {
        HMOutlookDetection::WindowChoices choices;
        const auto window = lifetime.lock();
        const std::shared_ptr<HMProfile> profile = window ? (*window)->selectedProfile() : nullptr;
        if (!profile)
            return choices;
        choices.useCustomOutlookApplicationPath = profile->useCustomOutlookApplicationPath();
        choices.outlookApplicationPathSetting = profile->outlookApplicationPathSetting();
        choices.contactManagerTitle = contactManagerTitle(profile->contactManager());
        return choices;
    });
}

namespace {

const QString kScriptName = QStringLiteral("automation.scpt");

// Copies the file over the destination through a new file beside it, so that a failed copy leaves
// the old script whole.
bool replaceFile(const QString &source, const QString &destination)
{
    const QString partial = destination + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(source, partial))
        return false;
    QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (::rename(QFile::encodeName(partial).constData(), QFile::encodeName(destination).constData()) != 0) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

} // namespace

void HMMainWindowController::installScriptFile()
{
    const platform::Result<QString> folder = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
    if (!folder) {
        DDLogError(QStringLiteral("No Application Scripts folder: %1").arg(folder.error().message()));
        return;
    }
    const QString prompt = QStringLiteral("Install Script File");
    const QString message = QStringLiteral("Please select the User > Library > Application Scripts > Harrowmere folder");
    const QString chosen = m_scriptFolderChooser ? m_scriptFolderChooser(*folder, prompt, message)
                                                 : QFileDialog::getExistingDirectory(window(), message, *folder);
    if (chosen.isEmpty() || QDir::cleanPath(chosen) != QDir::cleanPath(*folder))
        return;
    const QString source = platform::Bundle::resourcePath() + u'/' + kScriptName;
    if (!replaceFile(source, QDir(*folder).filePath(kScriptName))) {
        DDLogError(QStringLiteral("Could not install %1 into %2").arg(source, *folder));
        return;
    }
    platform::Alert alert;
    alert.setMessageText(QStringLiteral("Script Installed"));
    alert.setInformativeText(QStringLiteral("The Automation script was installed succcessfully."));
    alert.runModal();
}

void HMMainWindowController::showScriptFolderMessage()
{
    runAlert(QStringLiteral("Harrowmere needs to install the file \"automation.scpt\". Please click \"Install Script "
                            "File\" on the next screen."));
}

std::unique_ptr<platform::NSUserAppleScriptTask> HMMainWindowController::initializeNewScript()
{
    const platform::Result<QString> folder = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
    if (!folder) {
        DDLogError(QStringLiteral("%1 no Application Scripts folder error = %2")
                       .arg(QLatin1String(Q_FUNC_INFO), folder.error().message()));
        return nullptr;
    }
    platform::Result<std::unique_ptr<platform::NSUserAppleScriptTask>> task =
        platform::NSUserAppleScriptTask::initWithURL(QDir(*folder).filePath(QStringLiteral("doStuff.scpt")));
    if (!task) {
        DDLogError(QStringLiteral("%1 no AppleScript task error = %2").arg(QLatin1String(Q_FUNC_INFO), task.error().message()));
        return nullptr;
    }
    return std::move(*task);
}

platform::NSAppleEventDescriptor HMMainWindowController::makeNewContactEventWithProperties(const QString &properties)
{
    return HMAppleScripter::handlerCallEvent(QStringLiteral("doStuff"), {properties});
}

void HMMainWindowController::executeScriptTaskFromEvent(const platform::NSAppleEventDescriptor &event)
{
    std::shared_ptr<platform::NSUserAppleScriptTask> task = initializeNewScript();
    if (!task)
        return;
    // The task lives until its completion has run; it waits for its thread when it goes, so it is
    // released on the main queue, never on its own thread.
    task->executeWithAppleEvent(event, [task](const platform::NSAppleEventDescriptor &,
                                              const std::optional<platform::NSAppleScriptError> &error) mutable {
        if (error)
            DDLogError(QStringLiteral("%1 AppleScript task error = %2").arg(QLatin1String(Q_FUNC_INFO), error->message));
        platform::DispatchQueue::main()->async([task = std::move(task)] {});
    });
}

void HMMainWindowController::scriptReturned(const platform::NSAppleEventDescriptor &event, const QString &identifier)
{
    DDLogInfo(QStringLiteral("scriptReturned %1: %2 items").arg(identifier).arg(event.numberOfItems()));
}
