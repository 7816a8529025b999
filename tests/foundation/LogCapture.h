#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class LogRecorder;

// Everything written so far to the open file behind the descriptor, read from its start.
QByteArray readCapturedFile(int descriptor);

// Captures the log lines written while it lives, at the given log level, through a logger registered
// with the dispatcher; restores the level and removes the logger when it goes. One at a time, on the
// test's thread.
class LogCapture final
{
public:
    explicit LogCapture(int32_t level);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The lines logged so far (a message of several lines gives each of them).
    QStringList lines();

private:
    int32_t m_savedLevel = 0;
    std::shared_ptr<LogRecorder> m_recorder;
};
