#include "platform/applescript/NSUserAppleScriptTask.h"

#include "platform/applescript/AppleEventSocket.h"
#include "platform/foundation/FileSystem.h"

#include <QFile>
#include <QFileInfo>

namespace platform {

namespace {

// The first line is all a task needs of the script file.
constexpr qint64 kMaxFirstLineBytes = 4096;
const QString kDefaultApplication = QStringLiteral("Microsoft Outlook");

Result<QString> readFirstLine(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such script").arg(path));
    if (info.isSymLink() || !info.isFile())
        return Error(ErrorCode::DataMalformed, QStringLiteral("%1: not a regular file").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: %2").arg(path, file.errorString()));
    const QByteArray head = file.read(kMaxFirstLineBytes);
    const QByteArray line = head.left(head.indexOf('\n') < 0 ? head.size() : head.indexOf('\n'));
    const QString text = QString::fromUtf8(line).trimmed();
    if (line.contains('\0') || text.contains(QChar::ReplacementCharacter))
        return Error(ErrorCode::DataMalformed, QStringLiteral("%1: not a script").arg(path));
    return text;
}

// One exchange with the application; errors carry the application's name.
AppleEventWire::Reply exchangeWith(const QString &reference, const QByteArray &request)
{
    AppleEventWire::Reply reply = AppleEventSocket::exchange(reference, request);
    if (auto *error = std::get_if<NSAppleScriptError>(&reply); error && error->appName.isEmpty())
        error->appName = AppleEventSocket::applicationName(reference);
    return reply;
}

} // namespace

Result<QString> NSUserAppleScriptTask::applicationScriptsDirectory()
{
    const QString data = FileSystem::dataFolderPath();
    if (data.isEmpty())
        return Error(ErrorCode::IoNotFound, QStringLiteral("no data folder"));
    const QString folder = data + QStringLiteral("/Application Scripts");
    if (const Status made = FileSystem::createPrivateFolder(folder); !made)
        return made.error();
    return folder;
}

Result<std::unique_ptr<NSUserAppleScriptTask>> NSUserAppleScriptTask::initWithURL(const QString &scriptPath)
{
    const Result<QString> line = readFirstLine(scriptPath);
    if (!line)
        return line.error();
    const QString reference = line->isEmpty() ? kDefaultApplication : *line;
    return std::unique_ptr<NSUserAppleScriptTask>(new NSUserAppleScriptTask(reference));
}

NSUserAppleScriptTask::NSUserAppleScriptTask(QString applicationReference)
    : m_applicationReference(std::move(applicationReference))
{
}

NSUserAppleScriptTask::~NSUserAppleScriptTask()
{
    if (m_thread.joinable())
        m_thread.join();
}

AppleEventWire::Reply NSUserAppleScriptTask::alreadyRun() const
{
    const QString message = QStringLiteral("The script task has already run.");
    return NSAppleScriptError{-1, message, message, m_applicationReference};
}

void NSUserAppleScriptTask::executeWithAppleEvent(const NSAppleEventDescriptor &event,
                                                  CompletionHandler completionHandler)
{
    if (m_hasRun) {
        completionHandler({}, std::get<NSAppleScriptError>(alreadyRun()));
        return;
    }
    m_hasRun = true;
    const QByteArray request = AppleEventWire::eventRequest(event);
    m_thread = std::thread([reference = m_applicationReference, request, handler = std::move(completionHandler)] {
        const AppleEventWire::Reply reply = exchangeWith(reference, request);
        if (const auto *error = std::get_if<NSAppleScriptError>(&reply))
            handler({}, *error);
        else
            handler(std::get<NSAppleEventDescriptor>(reply), std::nullopt);
    });
}

AppleEventWire::Reply NSUserAppleScriptTask::executeAndWaitWithAppleEvent(const NSAppleEventDescriptor &event)
{
    if (m_hasRun)
        return alreadyRun();
    m_hasRun = true;
    return exchangeWith(m_applicationReference, AppleEventWire::eventRequest(event));
}

} // namespace platform
