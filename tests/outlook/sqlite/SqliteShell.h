#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The sqlite3 shell as an independent reader and as a second process that holds a database locked.

// The shell's output lines for the SQL run on the database file ("|" between columns).
QStringList runSqliteShell(const QString &databasePath, const QString &sql);

// A shell process that holds an exclusive lock on the database from construction until release() or
// destruction.
class ShellLock final
{
public:
    explicit ShellLock(const QString &databasePath);
    ~ShellLock();
    ShellLock(const ShellLock &) = delete;
    ShellLock &operator=(const ShellLock &) = delete;

    // Whether the shell reported that it holds the lock.
    bool isHolding() const { return m_isHolding; }
    // Ends the transaction and waits for the shell to finish.
    void release();

private:
    QProcess m_shell;
    bool m_isHolding = false;
};
