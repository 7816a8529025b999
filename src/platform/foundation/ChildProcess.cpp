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

// Takes the output as it comes, so that QProcess's own buffer never holds more than a pipe's worth
// beyond what is kept here, until the program exits. Fails with Cancelled past the deadline and with
// DataMalformed past the byte limit; the caller then kills the program.
Result<QByteArray> collectOutput(QProcess &process, const QDeadlineTimer &deadline, qint64 maxOutputBytes)
{
    QByteArray output;
    while (true) {
        output += process.readAllStandardOutput();
        if (output.size() > maxOutputBytes)
            return Error(ErrorCode::DataMalformed, QStringLiteral("output limit"));
        if (process.state() == QProcess::NotRunning)
            break;
        if (deadline.hasExpired())
            return Error(ErrorCode::Cancelled, QStringLiteral("time limit"));
        if (process.waitForReadyRead(remainingMs(deadline)) || process.state() == QProcess::NotRunning)
            continue;
        // The program closed its output and runs on: nothing more can come but its end.
        if (!deadline.hasExpired() && !process.waitForFinished(remainingMs(deadline)) &&
            process.state() != QProcess::NotRunning)
            return Error(ErrorCode::Cancelled, QStringLiteral("time limit"));
    }
    output += process.readAllStandardOutput();
    if (output.size() > maxOutputBytes)
        return Error(ErrorCode::DataMalformed, QStringLiteral("output limit"));
    return output;
}

} // namespace

Result<ChildProcessOutput> ChildProcess::run(const QString &programPath, const QStringList &arguments,
                                             std::chrono::milliseconds timeLimit, qint64 maxOutputBytes)
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

    Result<QByteArray> standardOutput = collectOutput(process, deadline, maxOutputBytes);
    if (!standardOutput) {
        process.kill();
        process.waitForFinished(kReapTimeoutMs);
        const QString limit = standardOutput.error().code() == ErrorCode::Cancelled
                                  ? QStringLiteral("its time limit of %1 ms").arg(timeLimit.count())
                                  : QStringLiteral("its output limit of %1 bytes").arg(maxOutputBytes);
        return Error(standardOutput.error().code(),
                     QStringLiteral("%1: stopped after running past %2").arg(command, limit));
    }
    ChildProcessOutput output;
    output.standardOutput = std::move(standardOutput).value();
    output.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    output.exitCode = output.exitedNormally ? process.exitCode() : -1;
    return output;
}

} // namespace platform
