#pragma once

#include <QString>

namespace platform {

// The error numbers the script bridge reports itself; every other number comes from the application.
namespace AppleScriptErrorNumber {
constexpr int ApplicationNotRunning = -600; // nothing listens for the application
constexpr int ConnectionInvalid = -609;     // the application went away mid-exchange
constexpr int CorruptData = -1702;          // the application's reply could not be read
constexpr int TimedOut = -1712;             // no reply within the Apple-event timeout
constexpr int SyntaxError = -2741;          // the script could not be read
constexpr int ApplicationNotFound = -10814; // the bundle path names no application
} // namespace AppleScriptErrorNumber

// What a failed script reports, as the platform's error information holds it: the number, the message,
// the brief message and the application's name.
struct NSAppleScriptError
{
    int number = 0;
    QString message;
    QString briefMessage;
    QString appName;

    // True when the application is gone (not running, not found, connection lost, no answer in time);
    // false when it answered and refused.
    bool isApplicationGone() const;
};

} // namespace platform
