#pragma once

#include "platform/applescript/AppleEventSocket.h"
#include "platform/applescript/NSAppleEventDescriptor.h"
#include "platform/applescript/NSAppleScriptError.h"

#include <QString>

#include <chrono>
#include <optional>

namespace platform {

// A script text run for its result. It interprets nothing: the whole source goes to the application
// its first tell line names (`tell application "<name or bundle path>"`, the first line or a later one, after lines that prepare values), over that application's socket
// (AppleEventSocket), and the application's answer is the result. The one script it answers itself
// is the scripting check "set timeStr to time string of (current date)\nreturn timeStr". Any other
// text that tells no application fails with -2741. Usable from any thread; execution blocks the
// caller until the reply, a failure or the Apple-event timeout.
class NSAppleScript final
{
public:
    explicit NSAppleScript(const QString &source) : m_source(source) {}

    const QString &source() const { return m_source; }
    // How long an execution waits for the application's answer (the Apple-event timeout unless set):
    // scripts run on the main thread set a few seconds, so that a stalled application cannot
    // freeze the windows.
    std::chrono::seconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::seconds timeout) { m_timeout = timeout; }

    // The result descriptor; on failure a nil descriptor, with the error put in errorInfo when given
    // (and errorInfo reset on success).
    NSAppleEventDescriptor executeAndReturnError(std::optional<NSAppleScriptError> *errorInfo = nullptr) const;

    // The application reference of the source's tell line; a null QString when it has none.
    static QString applicationReference(const QString &source);

private:
    QString m_source;
    std::chrono::seconds m_timeout = kAppleEventTimeout;
};

} // namespace platform
