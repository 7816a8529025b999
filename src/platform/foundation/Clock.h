#pragma once

#include <QDateTime>

#include <functional>

namespace platform {

// The process's clock. Everything that asks for the current moment asks here, so that tests can fix
// it. Thread-safe.
class Clock final
{
public:
    using Source = std::function<QDateTime()>;

    // The current moment in UTC, to the millisecond: the source's answer when one is set, otherwise
    // the system clock's.
    static QDateTime now();

    // Replaces the clock for the whole process; an empty source restores the system clock. The source
    // is called without any lock held and may be called from any thread.
    static void setSource(Source source);
};

} // namespace platform
