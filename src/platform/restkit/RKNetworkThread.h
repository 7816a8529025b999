#pragma once

#include <functional>

class QNetworkAccessManager;

namespace platform {

// The framework's own thread: a QThread with its own event loop that owns the one
// QNetworkAccessManager of the process. Every request loads there and every request callback is
// made there. Started on first use; it needs a QCoreApplication (or QApplication), and it is stopped
// when that application object is destroyed. Thread-safe.
class RKNetworkThread final
{
public:
    // Runs the work on the framework's thread, after work posted before it. Answers false, and runs
    // nothing, when there is no application object.
    static bool post(std::function<void()> work);
    static bool isCurrentThread();
    // The manager; framework thread only.
    static QNetworkAccessManager &manager();
};

} // namespace platform
