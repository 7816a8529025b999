#include "SqliteShell.h"

namespace {

constexpr int kShellDeadlineMs = 10000;

} // namespace

QStringList runSqliteShell(const QString &databasePath, const QString &sql)
{
    QProcess shell;
    shell.start(QStringLiteral("sqlite3"), {databasePath, sql});
    if (!shell.waitForFinished(kShellDeadlineMs))
        return {QStringLiteral("sqlite3 did not finish")};
    const QString output = QString::fromUtf8(shell.readAllStandardOutput());
    return output.split(u'\n', Qt::SkipEmptyParts);
}

ShellLock::ShellLock(const QString &databasePath)
{
    m_shell.start(QStringLiteral("sqlite3"), {databasePath});
    if (!m_shell.waitForStarted(kShellDeadlineMs))
        return;
    m_shell.write("BEGIN EXCLUSIVE;\n.print locked\n");
    // The shell prints only once the lock is held; wait for that line under a deadline.
    while (!m_shell.canReadLine() && m_shell.waitForReadyRead(kShellDeadlineMs)) {
    }
    m_isHolding = m_shell.readLine().trimmed() == "locked";
}

ShellLock::~ShellLock()
{
    release();
}

void ShellLock::release()
{
    if (m_shell.state() == QProcess::NotRunning)
        return;
    m_shell.write("COMMIT;\n");
    m_shell.closeWriteChannel();
    m_shell.waitForFinished(kShellDeadlineMs);
    m_isHolding = false;
}
