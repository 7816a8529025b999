#include "platform/applescript/LongDateTime.h"

#include <QTimeZone>

#include <limits>

namespace platform {

namespace {

// About 292 billion years either way fits a qint64 of milliseconds; dates stay far inside it.
constexpr qint64 kMaxSeconds = std::numeric_limits<qint64>::max() / 1000 - kLongDateTimeEpochOffset;

} // namespace

qint64 longDateTimeFromDate(const QDateTime &date)
{
    // Sub-second parts are dropped toward the past, as whole-second clocks do.
    const qint64 ms = date.toMSecsSinceEpoch();
    const qint64 seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    return seconds + kLongDateTimeEpochOffset;
}

std::optional<QDateTime> dateFromLongDateTime(qint64 secondsSince1904)
{
    if (secondsSince1904 > kMaxSeconds || secondsSince1904 < -kMaxSeconds)
        return std::nullopt;
    const QDateTime date = QDateTime::fromSecsSinceEpoch(secondsSince1904 - kLongDateTimeEpochOffset, Qt::UTC);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

} // namespace platform
