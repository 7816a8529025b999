#include "ChildProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char **environ;

namespace looptest {

namespace {

// The test's environment with the entries added (an added name replaces the test's own).
std::vector<QByteArray> environmentWith(const QStringList &additions)
{
    std::vector<QByteArray> entries;
    auto isReplaced = [&](const QByteArray &entry) {
        for (const QString &addition : additions)
            if (entry.startsWith(addition.section(QLatin1Char('='), 0, 0).toLocal8Bit() + '='))
                return true;
        return false;
    };
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (!isReplaced(QByteArray(*entry)))
            entries.emplace_back(*entry);
    for (const QString &addition : additions)
        entries.push_back(addition.toLocal8Bit());
    return entries;
}

// Pointers to the texts, ended by a null pointer, as exec takes them.
std::vector<char *> pointersTo(std::vector<QByteArray> &texts)
{
    std::vector<char *> pointers;
    for (QByteArray &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ChildProcess::~ChildProcess()
{
    signal(SIGKILL);
    waitForFinished(-1);
}

bool ChildProcess::start(const QString &program, const QStringList &arguments, const Options &options)
{
    signal(SIGKILL);
    waitForFinished(-1);
    m_outputFile = options.outputFile.isEmpty() ? m_folder.filePath(QStringLiteral("output")) : options.outputFile;
    const QByteArray outputPath = QFile::encodeName(m_outputFile);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.constData(),
                                     O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
    if (options.mergeStandardError)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<QByteArray> argumentTexts{program.toLocal8Bit()};
    for (const QString &argument : arguments)
        argumentTexts.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> environmentTexts = environmentWith(options.environment);
    std::vector<char *> argv = pointersTo(argumentTexts);
    std::vector<char *> envp = pointersTo(environmentTexts);
    const int failure = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    m_exitCode = -1;
    if (failure != 0)
        m_pid = -1;
    return failure == 0;
}

void ChildProcess::reap(int status)
{
    m_pid = -1;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::waitForFinished(int timeLimitMs)
{
    QElapsedTimer waited;
    waited.start();
    while (m_pid > 0) {
        int status = 0;
        const pid_t ended = ::waitpid(m_pid, &status, timeLimitMs < 0 ? 0 : WNOHANG);
        if (ended == m_pid || (ended < 0 && errno != EINTR)) {
            reap(ended == m_pid ? status : 0);
            break;
        }
        if (timeLimitMs >= 0 && waited.elapsed() >= timeLimitMs)
            return false;
        if (ended == 0)
            QThread::msleep(5);
    }
    return true;
}

bool ChildProcess::isRunning()
{
    return !waitForFinished(0);
}

void ChildProcess::signal(int signalNumber)
{
    if (m_pid > 0)
        ::kill(m_pid, signalNumber);
}

QByteArray ChildProcess::output() const
{
    QFile file(m_outputFile);
    if (m_outputFile.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4 * 1024 * 1024);
}

int ChildProcess::run(const QString &program, const QStringList &arguments, int timeLimitMs, QByteArray *output)
{
    ChildProcess child;
    if (!child.start(program, arguments))
        return -1;
    const bool ended = child.waitForFinished(timeLimitMs);
    if (output != nullptr)
        *output = child.output();
    return ended ? child.exitCode() : -1;
}

} // namespace looptest
