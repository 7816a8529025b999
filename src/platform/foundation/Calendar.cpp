#include "platform/foundation/Calendar.h"

#include <limits>

namespace platform {

namespace {

constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kMsPerMinute = 60 * kMsPerSecond;
constexpr qint64 kMsPerHour = 60 * kMsPerMinute;

std::unique_ptr<icu::GregorianCalendar> makeCalendar(const TimeZone &zone)
{
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(zone.icuTimeZone(), icu::Locale("en_US"), status);
    if (U_FAILURE(status)) {
        // Only an allocation failure gets here; a calendar in GMT at least keeps the arithmetic right.
        status = U_ZERO_ERROR;
        calendar = std::make_unique<icu::GregorianCalendar>(status);
    }
    calendar->setFirstDayOfWeek(UCAL_SUNDAY);
    calendar->setMinimalDaysInFirstWeek(1);
    calendar->setLenient(true);
    return calendar;
}

// The ICU field of a unit that the calendar can count or move by; std::nullopt for the others.
std::optional<UCalendarDateFields> calendarField(CalendarUnit unit)
{
    switch (unit) {
    case CalendarUnit::Year:
        return UCAL_YEAR;
    case CalendarUnit::Month:
        return UCAL_MONTH;
    case CalendarUnit::Day:
        return UCAL_DATE;
    default:
        return std::nullopt;
    }
}

// The length of a unit of elapsed time; std::nullopt for calendar units.
std::optional<qint64> elapsedUnitMs(CalendarUnit unit)
{
    switch (unit) {
    case CalendarUnit::Hour:
        return kMsPerHour;
    case CalendarUnit::Minute:
        return kMsPerMinute;
    case CalendarUnit::Second:
        return kMsPerSecond;
    default:
        return std::nullopt;
    }
}

void setIfPresent(icu::Calendar &calendar, UCalendarDateFields field, const std::optional<int> &value, int offset = 0)
{
    if (value)
        calendar.set(field, *value + offset);
}

} // namespace

Calendar::Calendar() : Calendar(TimeZone::defaultTimeZone()) {}

Calendar::Calendar(const TimeZone &zone) : m_zone(zone), m_calendar(makeCalendar(zone)) {}

Calendar::Calendar(const Calendar &other) : m_zone(other.m_zone), m_calendar(makeCalendar(other.m_zone)) {}

Calendar &Calendar::operator=(const Calendar &other)
{
    if (this != &other) {
        m_zone = other.m_zone;
        m_calendar = makeCalendar(other.m_zone);
    }
    return *this;
}

Calendar::~Calendar() = default;

void Calendar::setTimeZone(const TimeZone &zone)
{
    m_zone = zone;
    m_calendar->setTimeZone(zone.icuTimeZone());
}

std::unique_ptr<icu::Calendar> Calendar::icuCalendarAt(UDate moment) const
{
    std::unique_ptr<icu::Calendar> calendar(m_calendar->clone());
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(moment, status);
    if (U_FAILURE(status))
        return nullptr;
    return calendar;
}

DateComponents Calendar::components(const QDateTime &date) const
{
    const std::optional<UDate> moment = toIcuDate(date);
    if (!moment)
        return {};
    const std::unique_ptr<icu::Calendar> calendar = icuCalendarAt(*moment);
    if (!calendar)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    DateComponents parts;
    parts.year = calendar->get(UCAL_YEAR, status);
    parts.month = calendar->get(UCAL_MONTH, status) + 1;
    parts.day = calendar->get(UCAL_DATE, status);
    parts.hour = calendar->get(UCAL_HOUR_OF_DAY, status);
    parts.minute = calendar->get(UCAL_MINUTE, status);
    parts.second = calendar->get(UCAL_SECOND, status);
    parts.weekday = calendar->get(UCAL_DAY_OF_WEEK, status);
    parts.weekdayOrdinal = calendar->get(UCAL_DAY_OF_WEEK_IN_MONTH, status);
    parts.weekOfMonth = calendar->get(UCAL_WEEK_OF_MONTH, status);
    if (U_FAILURE(status))
        return {};
    return parts;
}

std::optional<int> Calendar::component(CalendarUnit unit, const QDateTime &date) const
{
    const DateComponents parts = components(date);
    switch (unit) {
    case CalendarUnit::Year:
        return parts.year;
    case CalendarUnit::Month:
        return parts.month;
    case CalendarUnit::Day:
        return parts.day;
    case CalendarUnit::Hour:
        return parts.hour;
    case CalendarUnit::Minute:
        return parts.minute;
    case CalendarUnit::Second:
        return parts.second;
    case CalendarUnit::Weekday:
        return parts.weekday;
    case CalendarUnit::WeekdayOrdinal:
        return parts.weekdayOrdinal;
    case CalendarUnit::WeekOfMonth:
        return parts.weekOfMonth;
    }
    return std::nullopt;
}

QDateTime Calendar::date(const DateComponents &components) const
{
    std::unique_ptr<icu::Calendar> calendar(m_calendar->clone());
    calendar->clear();
    calendar->set(UCAL_YEAR, components.year.value_or(1));
    calendar->set(UCAL_MONTH, components.month.value_or(1) - 1);
    // ICU resolves the day from the fields set last, so the weekday fields go first and an explicit
    // day wins over them.
    if (components.weekday && (components.weekdayOrdinal || components.weekOfMonth) && !components.day) {
        calendar->set(UCAL_DAY_OF_WEEK, *components.weekday);
        setIfPresent(*calendar, UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal);
        if (!components.weekdayOrdinal)
            setIfPresent(*calendar, UCAL_WEEK_OF_MONTH, components.weekOfMonth);
    } else {
        calendar->set(UCAL_DATE, components.day.value_or(1));
    }
    calendar->set(UCAL_HOUR_OF_DAY, components.hour.value_or(0));
    calendar->set(UCAL_MINUTE, components.minute.value_or(0));
    calendar->set(UCAL_SECOND, components.second.value_or(0));
    UErrorCode status = U_ZERO_ERROR;
    const UDate moment = calendar->getTime(status);
    if (U_FAILURE(status))
        return QDateTime();
    return fromIcuDate(moment);
}

QDateTime Calendar::adding(qint64 amount, CalendarUnit unit, const QDateTime &date) const
{
    if (!date.isValid())
        return QDateTime();
    if (const std::optional<qint64> unitMs = elapsedUnitMs(unit)) {
        qint64 deltaMs = 0;
        qint64 resultMs = 0;
        if (__builtin_mul_overflow(amount, *unitMs, &deltaMs) ||
            __builtin_add_overflow(date.toMSecsSinceEpoch(), deltaMs, &resultMs))
            return QDateTime();
        return QDateTime::fromMSecsSinceEpoch(resultMs, Qt::UTC);
    }
    const std::optional<UCalendarDateFields> field = calendarField(unit);
    if (!field || amount < std::numeric_limits<int32_t>::min() || amount > std::numeric_limits<int32_t>::max())
        return QDateTime();
    const std::unique_ptr<icu::Calendar> calendar = icuCalendarAt(*toIcuDate(date));
    if (!calendar)
        return QDateTime();
    UErrorCode status = U_ZERO_ERROR;
    calendar->add(*field, int32_t(amount), status);
    const UDate moment = calendar->getTime(status);
    if (U_FAILURE(status))
        return QDateTime();
    return fromIcuDate(moment);
}

std::optional<qint64> Calendar::unitsBetween(CalendarUnit unit, const QDateTime &from, const QDateTime &to) const
{
    if (!from.isValid() || !to.isValid())
        return std::nullopt;
    if (const std::optional<qint64> unitMs = elapsedUnitMs(unit)) {
        qint64 spanMs = 0;
        if (__builtin_sub_overflow(to.toMSecsSinceEpoch(), from.toMSecsSinceEpoch(), &spanMs))
            return std::nullopt;
        // Division in C++ truncates toward zero, as the count must.
        return spanMs / *unitMs;
    }
    const std::optional<UCalendarDateFields> field = calendarField(unit);
    if (!field)
        return std::nullopt;
    const std::unique_ptr<icu::Calendar> calendar = icuCalendarAt(*toIcuDate(from));
    if (!calendar)
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t count = calendar->fieldDifference(*toIcuDate(to), *field, status);
    if (U_FAILURE(status))
        return std::nullopt;
    return count;
}

} // namespace platform
