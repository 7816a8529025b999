#include "platform/applescript/NSUserAppleScriptTask.h"

#include "platform/applescript/AppleEventSocket.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <ctime>
#include <mutex>

namespace platform {

namespace {

// The first line is all a task needs of the script file.
constexpr qint64 kMaxFirstLineBytes = 4096;
const QString kDefaultApplication = QStringLiteral("Microsoft Outlook");

// Read when the script is new or changed: one open, one status and one read; a link
// at the name, a folder or a FIFO is refused without being followed or waited on.
Result<QString> readFirstLine(const QString &path)
{
    const Result<QByteArray> head = readFileHeadWithoutFollowing(path, kMaxFirstLineBytes);
    if (!head) {
        if (head.error().code() == ErrorCode::IoNotFound)
            return Error(ErrorCode::IoNotFound, QStringLiteral("%1: no such script").arg(path));
        return head.error();
    }
    const qsizetype lineEnd = head->indexOf('\n');
    const QByteArray line = head->left(lineEnd < 0 ? head->size() : lineEnd);
    const QString text = QString::fromUtf8(line).trimmed();
    if (line.contains('\0') || text.contains(QChar::ReplacementCharacter))
        return Error(ErrorCode::DataMalformed, QStringLiteral("%1: not a script").arg(path));
    return text;
}

// A file whose last change is this recent may change again within the same tick of the file
// system's clock, leaving its stamp as it was: its line is read anew each time.
constexpr qint64 kSettledSeconds = 2;

bool isSettled(const FileStamp &stamp)
{
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now); // file times are real times, not the injectable clock's
    constexpr qint64 kNanoseconds = 1000000000;
    return stamp.changed / kNanoseconds + kSettledSeconds < qint64(now.tv_sec);
}

// The script is looked at before every task, which for a script answered in pages or batches is
// once per page. Its first line is kept with the file's stamp: while a look (one status, no open)
// finds the same file unchanged, the line kept is the line. Any write, replacement or removal shows
// in the stamp, and a file changed just now is not kept.
Result<QString> firstLineOfScript(const QString &path)
{
    struct Kept
    {
        QString path;
        FileStamp stamp;
        QString line;
    };
    static std::mutex mutex;
    static Kept kept;
    const std::optional<FileStamp> stamp = fileStampOf(path);
    {
        const std::lock_guard lock(mutex);
        if (stamp && kept.path == path && kept.stamp == *stamp)
            return kept.line;
    }
    Result<QString> line = readFirstLine(path);
    if (line && stamp && isSettled(*stamp)) {
        const std::lock_guard lock(mutex);
        kept = Kept{path, *stamp, *line};
    }
    return line;
}

// One exchange with the application; errors carry the application's name.
AppleEventWire::Reply exchangeWith(const QString &reference, const QByteArray &request,
                                   const AppleEventSocket::RequestAhead &requestAhead = {})
{
    AppleEventWire::Reply reply = AppleEventSocket::exchange(reference, request, kAppleEventTimeout, requestAhead);
    if (auto *error = std::get_if<NSAppleScriptError>(&reply); error && error->appName.isEmpty())
        error->appName = AppleEventSocket::applicationName(reference);
    return reply;
}

} // namespace

QString NSUserAppleScriptTask::applicationScriptsPath()
{
    const QString data = FileSystem::dataFolderPath();
    return data.isEmpty() ? QString() : data + QStringLiteral("/Application Scripts");
}

Result<QString> NSUserAppleScriptTask::applicationScriptsDirectory()
{
    const QString folder = applicationScriptsPath();
    if (folder.isEmpty())
        return Error(ErrorCode::IoNotFound, QStringLiteral("no data folder"));
    if (const Status made = FileSystem::createPrivateFolder(folder); !made)
        return made.error();
    return folder;
}

Result<std::unique_ptr<NSUserAppleScriptTask>> NSUserAppleScriptTask::initWithURL(const QString &scriptPath)
{
    const Result<QString> line = firstLineOfScript(scriptPath);
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

AppleEventWire::Reply NSUserAppleScriptTask::executeAndWaitWithAppleEvent(const NSAppleEventDescriptor &event,
                                                                          const EventAhead &eventAhead)
{
    if (m_hasRun)
        return alreadyRun();
    m_hasRun = true;
    if (!eventAhead)
        return exchangeWith(m_applicationReference, AppleEventWire::eventRequest(event));
    return exchangeWith(m_applicationReference, AppleEventWire::eventRequest(event),
                        [&](quint32 replyLength, QByteArrayView replyHead) -> std::optional<QByteArray> {
                            const std::optional<NSAppleEventDescriptor> next = eventAhead(replyLength, replyHead);
                            if (!next)
                                return std::nullopt;
                            return AppleEventWire::eventRequest(*next);
                        });
}

} // namespace platform
