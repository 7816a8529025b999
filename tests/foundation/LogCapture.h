#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

// Everything written so far to the open file behind the descriptor, read from its start.
QByteArray readCapturedFile(int descriptor);

// Captures the log lines written while it lives, at the given log level, and restores the level and the
// log's destination when it goes. One at a time, on the test's thread.
class LogCapture final
{
public:
    explicit LogCapture(int32_t level);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The lines logged so far.
    QStringList lines();

private:
    int32_t m_savedLevel = 0;
    int m_savedStderr = -1;
    int m_captureFile = -1;
};
