#pragma once

#include <QString>

namespace platform {

// Writes one line to the console, as the platform's system log call does: to the system log (the
// journal, which stamps it), or once redirected to a descriptor as "yyyy-MM-dd HH:mm:ss.zzz
// <process>[<pid>:<thread>] <message>" in local time, ended by LF. Standard error stays for warnings
// and errors. The whole line goes out in one write, and lines of several threads never interleave. A
// message that ends with LF gets no second one. Thread-safe.
void consoleLog(const QString &message);
// The same for an error: while the console is the system log, the line also goes to standard error.
void consoleLogError(const QString &message);

// Sends later console lines to another open descriptor (a test's pipe or file) and answers the
// previous one (-1: the system log, where they go at first). The caller keeps the descriptor open
// while it is in use. Thread-safe.
int setConsoleLogDescriptor(int descriptor);

} // namespace platform
