#include "ProfileTestSupport.h"

#include "foundation/LogCapture.h"
#include "platform/foundation/FileSystem.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

ScopedDataHome::ScopedDataHome()
{
    EXPECT_TRUE(m_home.isValid());
    if (qEnvironmentVariableIsSet("XDG_DATA_HOME"))
        m_previousDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", (m_home.path() + QStringLiteral("/data")).toLocal8Bit());
    EXPECT_TRUE(platform::FileSystem::createFolder(dataFolder()).ok());
}

ScopedDataHome::~ScopedDataHome()
{
    if (m_previousDataHome)
        qputenv("XDG_DATA_HOME", *m_previousDataHome);
    else
        qunsetenv("XDG_DATA_HOME");
}

QString ScopedDataHome::dataFolder() const
{
    return platform::FileSystem::dataFolderPath();
}

bool logContains(LogCapture &log, const QString &text)
{
    for (const QString &line : log.lines()) {
        if (line.contains(text))
            return true;
    }
    return false;
}

QMap<QString, FileState> snapshotFolder(const QString &folder)
{
    QMap<QString, FileState> state;
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        state.insert(path, FileState{readFile(path), QFileInfo(path).lastModified().toUTC()});
    }
    return state;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

std::optional<QByteArray> runProgram(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        ADD_FAILURE() << program.toStdString() << " did not start: " << process.errorString().toStdString();
        return std::nullopt;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " failed: " << process.readAllStandardError().toStdString();
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}
