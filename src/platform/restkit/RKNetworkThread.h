#pragma once

#include <functional>

class QObject;

namespace platform {

// The framework's own thread: a QThread with its own event loop on which every request's exchange
// runs and every request callback is made. Started on first use; it needs a QCoreApplication (or QApplication), and it is stopped
// when that application object is destroyed. Thread-safe.
class RKNetworkThread final
{
public:
    // Runs the work on the framework's thread, after work posted before it. Answers false, and runs
    // nothing, when there is no application object.
    static bool post(std::function<void()> work);
    static bool isCurrentThread();
    // The parent of the exchanges under way, which go with the thread; framework thread only.
    static QObject &context();
};

} // namespace platform
