#pragma once

#include <QString>

// The push client's process-wide status text, which the cloud transport sets while it lists and sends
// records. Only the status is here: the push connection itself is not part of this library.
class HMXMPPClient final
{
public:
    HMXMPPClient() = delete;

    // Stores the text every thread reads with currentStatus.
    static void setStatus(const QString &status);
    static QString currentStatus();
};
