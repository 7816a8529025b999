#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

namespace looptest {

// A program the tests start (servers, command-line tools), started with posix_spawn. QProcess is not
// used for these: Qt starts its children with clone(CLONE_VM|CLONE_VFORK), and ThreadSanitizer's
// clone interceptor then runs its after-fork bookkeeping inside the child, in memory the child still
// shares with the test process. That leaves the test process flagged as forked (it dies at its next
// thread) and its sanitizer state disturbed, so every test that started a server failed under
// ThreadSanitizer. posix_spawn makes its child inside the C library, where no interceptor runs.
//
// Standard input is /dev/null; standard output (and standard error, unless kept apart) goes to a
// file, the one named or one of the object's own, and output() reads it back.
class ChildProcess
{
public:
    struct Options
    {
        QString outputFile;                 // appended to; empty: a file of the object's own
        bool mergeStandardError = true;     // false: standard error stays the test's
        QStringList environment;            // "NAME=value" entries added to the test's environment
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts the program (looked up on PATH); whether it started. A running child is killed first.
    bool start(const QString &program, const QStringList &arguments, const Options &options);
    bool start(const QString &program, const QStringList &arguments) { return start(program, arguments, Options()); }
    // Waits up to the time limit (negative: without limit) for the child to end; whether it ended.
    bool waitForFinished(int timeLimitMs = 30000);
    bool isRunning();
    // Sends a signal to a running child.
    void signal(int signalNumber);
    // The exit status once ended: 0..255 for an exit, -1 for a signal or while running.
    int exitCode() const { return m_exitCode; }
    // What the child wrote, at most the first 4 MiB.
    QByteArray output() const;

    // Runs the program to its end; its exit code, or -1 (killed at the time limit, or not started).
    static int run(const QString &program, const QStringList &arguments, int timeLimitMs = 30000,
                   QByteArray *output = nullptr);

private:
    void reap(int status);

    QTemporaryDir m_folder;
    QString m_outputFile;
    pid_t m_pid = -1;
    int m_exitCode = -1;
};

} // namespace looptest
