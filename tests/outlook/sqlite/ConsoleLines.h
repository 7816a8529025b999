#pragma once

#include <QStringList>
#include <QTemporaryFile>

// Collects the console lines the SQLite layer writes while it lives, and sends later lines back where
// they went before. One at a time, on the test's thread.
class ConsoleLines final
{
public:
    ConsoleLines();
    ~ConsoleLines();
    ConsoleLines(const ConsoleLines &) = delete;
    ConsoleLines &operator=(const ConsoleLines &) = delete;

    // The messages so far, each without the console's time and process prefix.
    QStringList messages() const;
    // How many messages are exactly the text.
    qsizetype count(const QString &message) const { return messages().count(message); }

private:
    QTemporaryFile m_file;
    int m_previousDescriptor = -1;
};
