#pragma once

#include <QDateTime>

// A record's change date against the date a sync began. Change dates are often whole seconds (REV,
// LAST-MODIFIED), sync dates milliseconds: a change in the very second a sync began may have come
// after it, so it counts as later; otherwise it would never be sent.
namespace hmchangedates {

// The latest change time, in milliseconds since 1970, that is not later than the sync date.
inline qint64 lastUnchangedMs(const QDateTime &syncDate)
{
    const qint64 syncMs = syncDate.toMSecsSinceEpoch();
    const qint64 partOfSecond = ((syncMs % 1000) + 1000) % 1000;
    return partOfSecond == 0 ? syncMs : syncMs - partOfSecond - 1;
}

inline bool isChangedAfter(const QDateTime &changed, const QDateTime &syncDate)
{
    return changed.isValid() && changed.toMSecsSinceEpoch() > lastUnchangedMs(syncDate);
}

} // namespace hmchangedates
