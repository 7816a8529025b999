#pragma once

#include <QString>

class DDLogMessage;

// Turns a message into the text a logger writes. Called on the logger's queue.
class DDLogFormatter
{
public:
    virtual ~DDLogFormatter() = default;

    // The text to write, or a null QString to drop the message.
    virtual QString formatLogMessage(const DDLogMessage &logMessage) = 0;
};
