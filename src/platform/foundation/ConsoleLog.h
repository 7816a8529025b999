#pragma once

#include <QString>

namespace platform {

// Writes one line to the console (standard error unless redirected), as the platform's system log
// call does: "yyyy-MM-dd HH:mm:ss.zzz <process>[<pid>:<thread>] <message>" in local time, ended by
// LF. The whole line goes out in one write, and lines of several threads never interleave. A message
// that ends with LF gets no second one. Thread-safe.
void consoleLog(const QString &message);

// Sends later console lines to another open descriptor (a test's pipe or file) and answers the
// previous one. The caller keeps the descriptor open while it is in use. Thread-safe.
int setConsoleLogDescriptor(int descriptor);

} // namespace platform
