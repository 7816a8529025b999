#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>

namespace platform {

// What a finished child process left: its whole standard output and how it ended.
struct ChildProcessOutput
{
    QByteArray standardOutput;
    int exitCode = 0;
    // False when a signal ended the program (exitCode then means nothing).
    bool exitedNormally = true;
};

// Runs a program and collects its standard output. Its standard input is closed at once and its
// standard error goes to this process's standard error.
class ChildProcess final
{
public:
    ChildProcess() = delete;

    static constexpr std::chrono::milliseconds kDefaultTimeLimit{60'000};
    // The tools we run answer in a few kilobytes; a program printing without end is stopped here.
    static constexpr qint64 kDefaultMaxOutputBytes = 4LL * 1024 * 1024;

    // Starts the program at programPath with the arguments (no shell is involved), reads its standard
    // output to the end and waits for it to exit. Fails when the program cannot be started (missing,
    // not executable), when it runs past the time limit and when it prints more than maxOutputBytes; in
    // the last two cases it is killed and what it printed is dropped. Blocks the calling thread, so it
    // must not run on the main thread; any other thread may call it.
    static Result<ChildProcessOutput> run(const QString &programPath, const QStringList &arguments,
                                          std::chrono::milliseconds timeLimit = kDefaultTimeLimit,
                                          qint64 maxOutputBytes = kDefaultMaxOutputBytes);
};

} // namespace platform
