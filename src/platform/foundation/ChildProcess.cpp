#include "platform/foundation/ChildProcess.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <limits>

namespace platform {

namespace {

// How long a killed program gets to be reaped.
constexpr int kReapTimeoutMs = 5000;

QString describeCommand(const QString &programPath, const QStringList &arguments)
{
    return arguments.isEmpty() ? programPath : programPath + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
}

Error startFailure(const QString &programPath, const QString &command, const QString &reason)
{
    const QFileInfo program(programPath);
    if (!program.exists())
        return Error(ErrorCode::IoNotFound, QStringLiteral("%1: cannot start: no such program").arg(command));
    if (!program.isExecutable() || program.isDir())
        return Error(ErrorCode::IoPermission,
                     QStringLiteral("%1: cannot start: not an executable program").arg(command));
    return Error(ErrorCode::IoOther, QStringLiteral("%1: cannot start: %2").arg(command, reason));
}

int remainingMs(const QDeadlineTimer &deadline)
{
    if (deadline.isForever())
        return -1;
    return int(std::clamp<qint64>(deadline.remainingTime(), 1, std::numeric_limits<int>::max()));
}

} // namespace

Result<ChildProcessOutput> ChildProcess::run(const QString &programPath, const QStringList &arguments,
                                             std::chrono::milliseconds timeLimit)
{
    const QString command = describeCommand(programPath, arguments);
    const QDeadlineTimer deadline(timeLimit);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProgram(programPath);
    process.setArguments(arguments);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(remainingMs(deadline)))
        return startFailure(programPath, command, process.errorString());

    // While it waits, QProcess drains the output pipe into its own buffer, so a program writing more
    // than a pipe holds never stalls on a full pipe.
    if (!process.waitForFinished(remainingMs(deadline)) && process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(kReapTimeoutMs);
        return Error(ErrorCode::Cancelled, QStringLiteral("%1: stopped after running past its time limit of %2 ms")
                                               .arg(command, QString::number(timeLimit.count())));
    }
    QByteArray standardOutput = process.readAllStandardOutput();
    ChildProcessOutput output;
    output.standardOutput = std::move(standardOutput);
    output.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    output.exitCode = output.exitedNormally ? process.exitCode() : -1;
    return output;
}

} // namespace platform
