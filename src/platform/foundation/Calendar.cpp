#include "platform/foundation/Calendar.h"

#include "platform/foundation/GregorianArithmetic.h"

#include <algorithm>
#include <array>
#include <limits>

namespace platform {

namespace {

using gregorian::kMsPerHour;
using gregorian::kMsPerMinute;
using gregorian::kMsPerSecond;
using gregorian::WallFields;

// Far more units than the plain years hold; beyond it ICU decides.
constexpr qint64 kMaxPlainAmount = 10000000;

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

// Each unit with the ICU field that holds it and its place among a date's components.
struct UnitField
{
    CalendarUnit unit;
    UCalendarDateFields field;
    std::optional<int> DateComponents::*part;
};

constexpr std::array<UnitField, 9> kUnitFields{{
    {CalendarUnit::Year, UCAL_YEAR, &DateComponents::year},
    {CalendarUnit::Month, UCAL_MONTH, &DateComponents::month},
    {CalendarUnit::Day, UCAL_DATE, &DateComponents::day},
    {CalendarUnit::Hour, UCAL_HOUR_OF_DAY, &DateComponents::hour},
    {CalendarUnit::Minute, UCAL_MINUTE, &DateComponents::minute},
    {CalendarUnit::Second, UCAL_SECOND, &DateComponents::second},
    {CalendarUnit::Weekday, UCAL_DAY_OF_WEEK, &DateComponents::weekday},
    {CalendarUnit::WeekdayOrdinal, UCAL_DAY_OF_WEEK_IN_MONTH, &DateComponents::weekdayOrdinal},
    {CalendarUnit::WeekOfMonth, UCAL_WEEK_OF_MONTH, &DateComponents::weekOfMonth},
}};

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

DateComponents componentsOfFields(const WallFields &fields)
{
    const qint64 days = gregorian::daysFromCivil(fields.year, fields.month, fields.day);
    const int weekdayOfFirst = gregorian::weekdayOfDays(days - (fields.day - 1));
    // Weeks start on Sunday and the first week is the one holding the 1st.
    return DateComponents{fields.year,
                          fields.month,
                          fields.day,
                          fields.hour,
                          fields.minute,
                          fields.second,
                          gregorian::weekdayOfDays(days),
                          (fields.day - 1) / 7 + 1,
                          (fields.day - 1 + weekdayOfFirst - 1) / 7 + 1};
}

// The moment of the components where the arithmetic is plain: fields in range, the day given or no
// weekday to pick it, a wall-clock time the zone has once.
std::optional<qint64> plainMomentOfComponents(const DateComponents &components, const TimeZone &zone)
{
    if (!components.day && components.weekday && (components.weekdayOrdinal || components.weekOfMonth))
        return std::nullopt;
    const WallFields fields{components.year.value_or(1), components.month.value_or(1),  components.day.value_or(1),
                            components.hour.value_or(0), components.minute.value_or(0), components.second.value_or(0)};
    const std::optional<qint64> wallMs = gregorian::wallTimeOfFields(fields);
    return wallMs ? gregorian::plainMomentOfWallTime(*wallMs, zone) : std::nullopt;
}

// The moment moved by whole days, months or years keeping the wall-clock time, where that is plain;
// a day missing from the target month gives the month's last day.
std::optional<qint64> plainAdding(qint64 amount, CalendarUnit unit, qint64 moment, const TimeZone &zone)
{
    std::optional<WallFields> fields = gregorian::plainFieldsAt(moment, zone);
    if (!fields || amount < -kMaxPlainAmount || amount > kMaxPlainAmount)
        return std::nullopt;
    if (unit == CalendarUnit::Day) {
        const qint64 days = gregorian::daysFromCivil(fields->year, fields->month, fields->day) + amount;
        const qint64 msOfDay = fields->hour * kMsPerHour + fields->minute * kMsPerMinute +
                               fields->second * kMsPerSecond + fields->millisecond;
        const qint64 wallMs = days * gregorian::kMsPerDay + msOfDay;
        const std::optional<qint64> reached =
            gregorian::plainFieldsOfWallTime(wallMs) ? gregorian::plainMomentOfWallTime(wallMs, zone) : std::nullopt;
        // ICU moves by whole days of elapsed time and then corrects by the change of offset taken
        // modulo a day: a zone that changed its offset by a day or more (across the date line) is
        // left to it.
        if (!reached ||
            std::abs(*zone.offsetMsAt(double(*reached)) - *zone.offsetMsAt(double(moment))) >= gregorian::kMsPerDay)
            return std::nullopt;
        return reached;
    }
    const qint64 months =
        fields->year * qint64(12) + (fields->month - 1) + (unit == CalendarUnit::Year ? amount * 12 : amount);
    fields->year = int(gregorian::floorDivide(months, 12));
    fields->month = int(months - qint64(fields->year) * 12) + 1;
    fields->day = std::min(fields->day, gregorian::daysInMonth(fields->year, fields->month));
    const std::optional<qint64> wallMs = gregorian::wallTimeOfFields(*fields);
    return wallMs ? gregorian::plainMomentOfWallTime(*wallMs, zone) : std::nullopt;
}

qint64 monthIndex(const WallFields &fields)
{
    return fields.year * qint64(12) + fields.month - 1;
}

// Whole days, months or years from one moment to another where the arithmetic is plain: the most
// units that, added to the first moment, do not pass the second.
std::optional<qint64> plainUnitsBetween(CalendarUnit unit, qint64 from, qint64 to, const TimeZone &zone)
{
    const std::optional<WallFields> start = gregorian::plainFieldsAt(from, zone);
    const std::optional<WallFields> end = gregorian::plainFieldsAt(to, zone);
    if (!start || !end)
        return std::nullopt;
    const qint64 estimate = unit == CalendarUnit::Day
                                ? gregorian::daysFromCivil(end->year, end->month, end->day) -
                                      gregorian::daysFromCivil(start->year, start->month, start->day)
                                : (monthIndex(*end) - monthIndex(*start)) / (unit == CalendarUnit::Year ? 12 : 1);
    const qint64 direction = to >= from ? 1 : -1;
    // The count lies within two units of the calendar difference; try from beyond it back toward it.
    for (qint64 count = estimate + 2 * direction; count != estimate - 3 * direction; count -= direction) {
        const std::optional<qint64> reached = plainAdding(count, unit, from, zone);
        if (!reached)
            return std::nullopt;
        if (direction > 0 ? *reached <= to : *reached >= to)
            return count;
    }
    return std::nullopt;
}

void setIfPresent(icu::Calendar &calendar, UCalendarDateFields field, const std::optional<int> &value, int offset = 0)
{
    if (value)
        calendar.set(field, *value + offset);
}

} // namespace

Calendar::Calendar() : Calendar(TimeZone::defaultTimeZone()) {}

Calendar::Calendar(const TimeZone &zone) : m_zone(zone) {}

Calendar::Calendar(const Calendar &other) : m_zone(other.m_zone) {}

Calendar &Calendar::operator=(const Calendar &other)
{
    if (this != &other) {
        const std::lock_guard lock(m_buildMutex);
        m_zone = other.m_zone;
        m_calendar.reset();
    }
    return *this;
}

Calendar::~Calendar() = default;

void Calendar::setTimeZone(const TimeZone &zone)
{
    const std::lock_guard lock(m_buildMutex);
    m_zone = zone;
    if (m_calendar)
        m_calendar->setTimeZone(zone.icuTimeZone());
}

std::unique_ptr<icu::Calendar> Calendar::icuCalendarCopy() const
{
    const std::lock_guard lock(m_buildMutex);
    if (!m_calendar)
        m_calendar = makeCalendar(m_zone);
    return std::unique_ptr<icu::Calendar>(m_calendar->clone());
}

std::unique_ptr<icu::Calendar> Calendar::icuCalendarAt(UDate moment) const
{
    std::unique_ptr<icu::Calendar> calendar = icuCalendarCopy();
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
    if (const std::optional<WallFields> fields = gregorian::plainFieldsAt(qint64(*moment), m_zone))
        return componentsOfFields(*fields);
    const std::unique_ptr<icu::Calendar> calendar = icuCalendarAt(*moment);
    if (!calendar)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    DateComponents parts;
    for (const UnitField &entry : kUnitFields)
        parts.*entry.part = calendar->get(entry.field, status);
    if (U_FAILURE(status))
        return {};
    // ICU counts months from 0.
    *parts.month += 1;
    return parts;
}

std::optional<int> Calendar::component(CalendarUnit unit, const QDateTime &date) const
{
    for (const UnitField &entry : kUnitFields) {
        if (entry.unit == unit)
            return components(date).*entry.part;
    }
    return std::nullopt;
}

QDateTime Calendar::date(const DateComponents &components) const
{
    if (const std::optional<qint64> moment = plainMomentOfComponents(components, m_zone))
        return fromIcuDate(UDate(*moment));
    const std::unique_ptr<icu::Calendar> calendar = icuCalendarCopy();
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
    if (const std::optional<qint64> moment = plainAdding(amount, unit, date.toMSecsSinceEpoch(), m_zone))
        return fromIcuDate(UDate(*moment));
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
    if (const std::optional<qint64> count =
            plainUnitsBetween(unit, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch(), m_zone))
        return count;
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
