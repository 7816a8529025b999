#pragma once

#include "platform/foundation/ConsoleLog.h"

#include <QString>

#include <cstdlib>

// HM_ASSERT(condition, message) checks one of our own invariants in debug builds: when the condition
// is false it writes "Assertion failure in <function>, <file>:<line>: <message> (<condition>)" to the
// console and aborts. Release builds (NDEBUG) neither evaluate the condition nor the message. Never use
// it on outside input: bad input is an error to report, not a broken invariant.

namespace platform {

[[noreturn]] inline void assertionFailed(const char *condition, const QString &message, const char *function,
                                         const char *file, int line)
{
    consoleLogError(QStringLiteral("Assertion failure in %1, %2:%3: %4 (%5)")
                        .arg(QString::fromUtf8(function), QString::fromUtf8(file))
                        .arg(line)
                        .arg(message, QString::fromUtf8(condition)));
    std::abort();
}

} // namespace platform

#ifdef NDEBUG
#define HM_ASSERT(condition, message) static_cast<void>(sizeof(static_cast<bool>(condition)))
#else
#define HM_ASSERT(condition, message)                                                                                  \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            ::platform::assertionFailed(#condition, QString(message), static_cast<const char *>(__func__), __FILE__,   \
                                        __LINE__);                                                                     \
    } while (false)
#endif
