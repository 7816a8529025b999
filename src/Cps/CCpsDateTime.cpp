#include "Cps/CCpsDateTime.h"

#include "Cps/CpsNumbers.h"

#include <climits>
#include <cstring>

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr int kMonthCount = 12;
constexpr int kWeekdayCount = 7;
constexpr int kWeekdayStyles = 4;

// The process-wide name tables, empty until the application fills them.
struct NameTables
{
    CCpsString months[kMonthCount];
    CCpsString weekdays[kWeekdayStyles][kWeekdayCount];
    CCpsString am;
    CCpsString pm;
};

NameTables &nameTables()
{
    static NameTables tables;
    return tables;
}

int weekdayStyleIndex(int style)
{
    return (style >= 1 && style <= 3) ? style : 0;
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[kMonthCount] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > kMonthCount)
        return 31;
    return (month == 2 && isLeapYear(year)) ? 29 : kDays[month - 1];
}

std::int64_t elapsedSeconds(const CCpsDateTimeSpan &span)
{
    return static_cast<std::int64_t>(span.GetHours()) * 3600 + static_cast<std::int64_t>(span.GetMinutes()) * 60 +
           span.GetSeconds();
}

} // namespace

CCpsDateTime::CCpsDateTime(const char *text)
{
    if (!text || strnlen(text, 8) < 8)
        return;
    parseDate(CCpsString(text));
}

CCpsDateTime::CCpsDateTime(int year, int month, int day, int hour, int minute, int second)
    : m_year(static_cast<std::uint16_t>(year)), m_month(static_cast<std::uint8_t>(month)),
      m_day(static_cast<std::uint8_t>(day)), m_hour(static_cast<std::uint8_t>(hour)),
      m_minute(static_cast<std::uint8_t>(minute)), m_second(static_cast<std::uint8_t>(second))
{
}

// "20240305 14:07:09" is compact; otherwise the fifth byte separates year, month and day, and a space
// separates the date from the time of day.
void CCpsDateTime::parseDate(const CCpsString &text)
{
    const char *bytes = text.GetString();
    CCpsString timeOfDay;
    if (bytes[4] >= '0' && bytes[4] <= '9') {
        m_year = static_cast<std::uint16_t>(cps::leadingDecimal(bytes, 4));
        m_month = static_cast<std::uint8_t>(cps::leadingDecimal(bytes + 4, 2));
        m_day = static_cast<std::uint8_t>(cps::leadingDecimal(bytes + 6, 2));
        timeOfDay = text.Mid(8);
        timeOfDay.Trim();
    } else {
        const char separator[2] = {bytes[4], '\0'};
        timeOfDay = text;
        m_year = static_cast<std::uint16_t>(cps::leadingDecimal(timeOfDay.SplitAtNoCase(separator).GetString()));
        m_month = static_cast<std::uint8_t>(cps::leadingDecimal(timeOfDay.SplitAtNoCase(separator).GetString()));
        m_day = static_cast<std::uint8_t>(cps::leadingDecimal(timeOfDay.SplitAtNoCase(" ").GetString()));
    }
    parseTimeOfDay(timeOfDay);
}

// "H:M" reads a 12-hour clock ("p" anywhere means afternoon, otherwise 12 is midnight); "H:M:S" is
// a 24-hour clock.
void CCpsDateTime::parseTimeOfDay(CCpsString text)
{
    if (text.GetLength() < 5)
        return;
    int hour = cps::leadingDecimal(text.SplitAtNoCase(":").GetString());
    if (text.Find(':') == CCpsString::kNotFound) {
        m_minute = static_cast<std::uint8_t>(cps::leadingDecimal(text.GetString()));
        text.MakeLower();
        if (text.Find('p') != CCpsString::kNotFound) {
            hour += hour < 12 ? 12 : 0;
        } else if (hour == 12) {
            hour = 0;
        }
    } else {
        m_minute = static_cast<std::uint8_t>(cps::leadingDecimal(text.SplitAtNoCase(":").GetString()));
        m_second = static_cast<std::uint8_t>(cps::leadingDecimal(text.SplitAtNoCase(" ").GetString()));
    }
    m_hour = static_cast<std::uint8_t>(hour);
}

// The C library decides whether daylight saving applies to the fields.
std::tm CCpsDateTime::fieldParts() const
{
    std::tm parts{};
    parts.tm_year = m_year - 1900;
    parts.tm_mon = m_month - 1;
    parts.tm_mday = m_day;
    parts.tm_hour = m_hour;
    parts.tm_min = m_minute;
    parts.tm_sec = m_second;
    parts.tm_isdst = -1;
    return parts;
}

std::time_t CCpsDateTime::GetTime() const
{
    std::tm parts = fieldParts();
    return std::mktime(&parts);
}

std::tm CCpsDateTime::brokenDown() const
{
    const std::time_t time = GetTime();
    std::tm parts{};
    localtime_r(&time, &parts);
    return parts;
}

int CCpsDateTime::GetDayOfWeek() const
{
    return brokenDown().tm_wday + 1;
}

bool CCpsDateTime::IsValid() const
{
    return GetTime() != static_cast<std::time_t>(-1);
}

CCpsDateTime CCpsDateTime::fromCalendarTime(std::time_t time)
{
    std::tm parts{};
    if (!localtime_r(&time, &parts))
        return CCpsDateTime();
    return CCpsDateTime(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                        parts.tm_sec);
}

CCpsDateTime CCpsDateTime::GetCurrentTime(CCpsDateTime &date)
{
    date = fromCalendarTime(std::time(nullptr));
    return date;
}

CCpsString CCpsDateTime::GetCurrentTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[64] = "";
    if (localtime_r(&now, &parts))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return CCpsString(text);
}

void CCpsDateTime::AddMonths(int count)
{
    std::int64_t month = static_cast<std::int64_t>(m_month) + count;
    std::int64_t year = m_year;
    if (count >= 1) {
        year += (month - 1) / kMonthCount;
        month = (month - 1) % kMonthCount + 1;
    } else if (month < 1) {
        const std::int64_t borrowed = (12 - month) / kMonthCount;
        year -= borrowed;
        month += borrowed * kMonthCount;
    }
    m_year = static_cast<std::uint16_t>(year);
    m_month = static_cast<std::uint8_t>(month);
    const int lastDay = daysInMonth(m_year, m_month);
    if (m_day >= 29 && m_day > lastDay)
        m_day = static_cast<std::uint8_t>(lastDay);
}

// Days go through the calendar so that a day across a change of daylight saving keeps the time of
// day; the rest is added as elapsed seconds.
CCpsDateTime CCpsDateTime::movedBy(int days, std::int64_t seconds) const
{
    std::tm parts = fieldParts();
    const std::int64_t dayOfMonth = static_cast<std::int64_t>(parts.tm_mday) + days;
    if (dayOfMonth > INT_MAX || dayOfMonth < INT_MIN)
        return *this;
    parts.tm_mday = static_cast<int>(dayOfMonth);
    const std::time_t moved = std::mktime(&parts);
    if (moved == static_cast<std::time_t>(-1))
        return *this;
    return fromCalendarTime(moved + seconds);
}

CCpsDateTime CCpsDateTime::operator+(const CCpsDateTimeSpan &span) const
{
    return movedBy(span.GetDays(), elapsedSeconds(span));
}

CCpsDateTime CCpsDateTime::operator-(const CCpsDateTimeSpan &span) const
{
    if (span.GetDays() == INT_MIN)
        return *this;
    return movedBy(-span.GetDays(), -elapsedSeconds(span));
}

CCpsDateTimeSpan CCpsDateTime::operator-(const CCpsDateTime &other) const
{
    const std::time_t first = GetTime();
    const std::time_t second = other.GetTime();
    if (first == static_cast<std::time_t>(-1) || second == static_cast<std::time_t>(-1))
        return CCpsDateTimeSpan();
    // Whole days by the wall clock, then one step back when the elapsed rest points the other way.
    std::tm firstParts = brokenDown();
    std::tm secondParts = other.brokenDown();
    std::int64_t days = (static_cast<std::int64_t>(timegm(&firstParts)) - timegm(&secondParts)) / kSecondsPerDay;
    std::int64_t rest = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        rest = static_cast<std::int64_t>(first) - other.movedBy(static_cast<int>(days), 0).GetTime();
        if (days > 0 && rest < 0) {
            --days;
        } else if (days < 0 && rest > 0) {
            ++days;
        } else {
            break;
        }
    }
    return CCpsDateTimeSpan(static_cast<int>(days), static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60),
                            static_cast<int>(rest % 60));
}

bool CCpsDateTime::operator==(const CCpsDateTime &other) const
{
    return m_year == other.m_year && m_month == other.m_month && m_day == other.m_day && m_hour == other.m_hour &&
           m_minute == other.m_minute && m_second == other.m_second;
}

bool CCpsDateTime::operator!=(const CCpsDateTime &other) const
{
    return !(*this == other);
}

bool CCpsDateTime::operator<(const CCpsDateTime &other) const
{
    const auto fields = [](const CCpsDateTime &date) {
        return std::uint64_t(date.m_year) << 40 | std::uint64_t(date.m_month) << 32 | std::uint64_t(date.m_day) << 24 |
               std::uint64_t(date.m_hour) << 16 | std::uint64_t(date.m_minute) << 8 | date.m_second;
    };
    return fields(*this) < fields(other);
}

bool CCpsDateTime::operator<=(const CCpsDateTime &other) const
{
    return !(other < *this);
}

bool CCpsDateTime::operator>(const CCpsDateTime &other) const
{
    return other < *this;
}

bool CCpsDateTime::operator>=(const CCpsDateTime &other) const
{
    return !(*this < other);
}

CCpsString CCpsDateTime::GetMonthName(int month)
{
    if (month < 1 || month > kMonthCount)
        return CCpsString("");
    return nameTables().months[month - 1];
}

CCpsString CCpsDateTime::GetDayName(int weekday, int style)
{
    if (weekday < 1 || weekday > kWeekdayCount)
        return CCpsString("");
    return nameTables().weekdays[weekdayStyleIndex(style)][weekday - 1];
}

CCpsString CCpsDateTime::GetAmPmText(const char *text)
{
    return CCpsString::CompareNoCase(text, "am") == 0 && text ? nameTables().am : nameTables().pm;
}

void CCpsDateTime::SetMonthName(int month, const char *name)
{
    if (month >= 1 && month <= kMonthCount)
        nameTables().months[month - 1] = CCpsString(name ? name : "");
}

void CCpsDateTime::SetDayName(int weekday, int style, const char *name)
{
    if (weekday >= 1 && weekday <= kWeekdayCount)
        nameTables().weekdays[weekdayStyleIndex(style)][weekday - 1] = CCpsString(name ? name : "");
}

void CCpsDateTime::SetAmPmText(const char *amText, const char *pmText)
{
    nameTables().am = CCpsString(amText ? amText : "");
    nameTables().pm = CCpsString(pmText ? pmText : "");
}
