#pragma once

#include "foundation/Lumberjack/DDLogFormatter.h"

#include <memory>
#include <mutex>

namespace platform {
class DateFormatter;
}

// The line of the log files: the message's moment as "yyyy/MM/dd HH:mm:ss:SSS" in the system time
// zone, two spaces and the text. Thread-safe.
class DDLogFileFormatterDefault final : public DDLogFormatter
{
public:
    DDLogFileFormatterDefault();
    ~DDLogFileFormatterDefault() override;

    // Never null.
    QString formatLogMessage(const DDLogMessage &logMessage) override;

private:
    std::mutex m_mutex;
    std::unique_ptr<platform::DateFormatter> m_dateFormatter; // guarded by m_mutex
};
