#pragma once

#include "platform/applescript/AppleEventWire.h"
#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSAppleScriptError.h"
#include "platform/foundation/Result.h"

#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace platform {

// A user script of the application's Application Scripts folder, run for one Apple event. The script
// file stands for the script: its first line names the application it drives ("Microsoft Outlook"
// when the line is empty), and the handler-call event goes to that application's socket. The
// completion handler runs on a thread of the task's own; the task waits for that thread when it is
// destroyed. One execution per task.
class NSUserAppleScriptTask final
{
public:
    using CompletionHandler =
        std::function<void(const NSAppleEventDescriptor &result, const std::optional<NSAppleScriptError> &error)>;

    // "<data folder>/Application Scripts", created (0700) when missing.
    static Result<QString> applicationScriptsDirectory();
    // The same path, neither made nor looked at; empty when there is no data folder.
    static QString applicationScriptsPath();

    // A task for the script file; an error when it is missing, not a regular file or not a script.
    static Result<std::unique_ptr<NSUserAppleScriptTask>> initWithURL(const QString &scriptPath);

    ~NSUserAppleScriptTask();
    NSUserAppleScriptTask(const NSUserAppleScriptTask &) = delete;
    NSUserAppleScriptTask &operator=(const NSUserAppleScriptTask &) = delete;

    const QString &applicationReference() const { return m_applicationReference; }

    // Sends the event and returns at once; the handler gets the result or the error. A second call
    // answers its handler with an error at once.
    void executeWithAppleEvent(const NSAppleEventDescriptor &event, CompletionHandler completionHandler);
    // Sends the event and waits on the calling thread for the result or the error, at most the
    // Apple-event timeout on platform::Clock: no thread of the task's own is made. It is the task's
    // one execution, as executeWithAppleEvent is.
    // `eventAhead` may name, from the reply's length and first bytes, the event the caller will run
    // next against the same application; it is then sent ahead (see AppleEventSocket::exchange).
    using EventAhead =
        std::function<std::optional<NSAppleEventDescriptor>(quint32 replyLength, QByteArrayView replyHead)>;
    AppleEventWire::Reply executeAndWaitWithAppleEvent(const NSAppleEventDescriptor &event,
                                                       const EventAhead &eventAhead = {});

private:
    explicit NSUserAppleScriptTask(QString applicationReference);

    AppleEventWire::Reply alreadyRun() const;

    QString m_applicationReference;
    bool m_hasRun = false;
    std::thread m_thread;
};

} // namespace platform
