#include "platform/foundation/ChildProcess.h"

#include "platform/foundation/FileIO.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <thread>

#include <gtest/gtest.h>

using namespace platform;
using namespace std::chrono_literals;

namespace {

QString writeScript(const QTemporaryDir &dir, const QString &name, const QByteArray &body)
{
    const QString path = dir.filePath(name);
    EXPECT_TRUE(writeFileAtomically(path, "#!/bin/sh\n" + body).ok());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

TEST(ChildProcess, ReadsTheWholeStandardOutputOfAProgram)
{
    const Result<ChildProcessOutput> echoed =
        ChildProcess::run(QStringLiteral("/bin/echo"), {QStringLiteral("start-server")});
    ASSERT_TRUE(echoed.ok()) << echoed.error().message().toStdString();
    EXPECT_EQ(echoed->standardOutput, QByteArray("start-server\n"));
    EXPECT_EQ(echoed->exitCode, 0);

    // A stand-in for adb: prints a device list in pieces, more than a pipe holds, to standard error
    // too, and fails; the whole output arrives all the same.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString adb = writeScript(dir, QStringLiteral("adb"),
                                    "printf 'List of devices attached \\n'\n"
                                    "echo warning >&2\n"
                                    "printf 'R58M123\\tdevice\\n\\n'\n"
                                    "head -c 200000 /dev/zero | tr '\\0' x\n"
                                    "exit 3\n");
    const Result<ChildProcessOutput> devices = ChildProcess::run(adb, {QStringLiteral("devices")});
    ASSERT_TRUE(devices.ok()) << devices.error().message().toStdString();
    EXPECT_TRUE(devices->standardOutput.startsWith("List of devices attached \nR58M123\tdevice\n\n"));
    EXPECT_EQ(devices->standardOutput.size(), 26 + 16 + 200000);
    EXPECT_EQ(devices->exitCode, 3);
    EXPECT_TRUE(devices->exitedNormally);

    // Arguments reach the program as they are, with no shell in between.
    const Result<ChildProcessOutput> shell = ChildProcess::run(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s|' \"$@\""), QStringLiteral("sh"),
                                    QStringLiteral("a b"), QStringLiteral("$HOME;")});
    ASSERT_TRUE(shell.ok());
    EXPECT_EQ(shell->standardOutput, QByteArray("a b|$HOME;|"));

    // A program reading standard input sees its end at once.
    const Result<ChildProcessOutput> reader = ChildProcess::run(QStringLiteral("/bin/cat"), {}, 10s);
    ASSERT_TRUE(reader.ok());
    EXPECT_TRUE(reader->standardOutput.isEmpty());
}

TEST(ChildProcess, ReportsProgramsThatCannotStartAndStopsHangingOnes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    const Result<ChildProcessOutput> missing =
        ChildProcess::run(dir.filePath(QStringLiteral("adb")), {QStringLiteral("devices")});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code(), ErrorCode::IoNotFound);
    EXPECT_TRUE(missing.error().message().contains(QStringLiteral("adb devices")))
        << missing.error().message().toStdString();

    const QString notExecutable = dir.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(writeFileAtomically(notExecutable, "#!/bin/sh\necho no\n").ok());
    const Result<ChildProcessOutput> refused = ChildProcess::run(notExecutable, {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code(), ErrorCode::IoPermission);

    // A program that would run for ten minutes is killed at the time limit.
    const QString hanging = writeScript(dir, QStringLiteral("hang"), "echo started\nexec sleep 600\n");
    QElapsedTimer timer;
    timer.start();
    const Result<ChildProcessOutput> stopped = ChildProcess::run(hanging, {}, 50ms);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().code(), ErrorCode::Cancelled);
    EXPECT_TRUE(stopped.error().message().contains(QStringLiteral("50 ms"))) << stopped.error().message().toStdString();
    EXPECT_LT(timer.elapsed(), 30'000);
}

TEST(ChildProcess, RunsFromSeveralThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<QByteArray> outputs(4);
    for (size_t index = 0; index < outputs.size(); ++index) {
        threads.emplace_back([index, &outputs] {
            const Result<ChildProcessOutput> output =
                ChildProcess::run(QStringLiteral("/bin/echo"), {QString::number(index)});
            if (output)
                outputs[index] = output->standardOutput;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (size_t index = 0; index < outputs.size(); ++index)
        EXPECT_EQ(outputs[index], QByteArray::number(qulonglong(index)) + '\n');
}

TEST(ChildProcess, StopsAProgramThatPrintsPastTheOutputLimit)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A runaway stand-in for adb that would print without end.
    const QString runaway =
        writeScript(dir, QStringLiteral("adb"), "printf 'List of devices attached\\n'\nexec cat /dev/zero\n");
    const Result<ChildProcessOutput> stopped =
        ChildProcess::run(runaway, {QStringLiteral("devices")}, 30s, 1024 * 1024);
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().code(), ErrorCode::DataMalformed);
    EXPECT_EQ(stopped.error().message(),
              QStringLiteral("%1 devices: stopped after running past its output limit of 1048576 bytes").arg(runaway));

    // Output up to the limit is whole; a program that closes its output and runs on is waited for.
    const QString exact = writeScript(dir, QStringLiteral("exact"), "head -c 4096 /dev/zero\nexec >&-\nsleep 0.2\n");
    const Result<ChildProcessOutput> full = ChildProcess::run(exact, {}, 30s, 4096);
    ASSERT_TRUE(full.ok()) << full.error().message().toStdString();
    EXPECT_EQ(full->standardOutput, QByteArray(4096, '\0'));
    const Result<ChildProcessOutput> over = ChildProcess::run(exact, {}, 30s, 4095);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error().code(), ErrorCode::DataMalformed);
}
