#pragma once

#include "Cps/CCpsDateTimeSpan.h"
#include "Cps/CCpsString.h"

#include <cstdint>
#include <ctime>

// A local date and time of day to the second, with parsing from text, an extended format function,
// comparisons, month arithmetic and conversion to and from the C library's calendar time (local time
// zone, daylight saving decided by the C library). A default date has every field 0. The name tables
// for months, weekdays and the halves of the day are process-wide and start empty; fill them with the
// Set...Name operations before formatting names. One thread at a time; no locks.
class CCpsDateTime
{
public:
    CCpsDateTime() = default;
    CCpsDateTime(const CCpsDateTime &other) = default;
    // Parses "YYYYMMDD[ time]" or "YYYY<sep>M<sep>D[ time]"; a text shorter than 8 bytes (or null)
    // leaves every field 0.
    explicit CCpsDateTime(const char *text);
    CCpsDateTime(int year, int month, int day, int hour, int minute, int second);
    virtual ~CCpsDateTime() = default;
    CCpsDateTime &operator=(const CCpsDateTime &other) = default;

    virtual int GetYear() const { return m_year; }
    virtual int GetMonth() const { return m_month; }
    virtual int GetDay() const { return m_day; }
    // The setters store the low 8 bits of the value unchecked.
    virtual void SetDay(int day) { m_day = static_cast<std::uint8_t>(day); }
    virtual int GetHour() const { return m_hour; }
    virtual void SetHour(int hour) { m_hour = static_cast<std::uint8_t>(hour); }
    virtual int GetMinute() const { return m_minute; }
    virtual void SetMinute(int minute) { m_minute = static_cast<std::uint8_t>(minute); }
    virtual int GetSecond() const { return m_second; }

    // The calendar time of the fields in the local zone; -1 when they cannot be converted.
    std::time_t GetTime() const;
    // 1 Sunday to 7 Saturday.
    int GetDayOfWeek() const;
    bool IsValid() const;
    // The current local time, stored into date and answered.
    static CCpsDateTime GetCurrentTime(CCpsDateTime &date);
    // The current local time as "%Y-%m-%d %H:%M:%S".
    static CCpsString GetCurrentTimeText();

    // strftime-like formatting with modifiers; see the .cpp for the conversions.
    CCpsString Format(const char *format) const;
    void AddMonths(int count);

    // Days move the calendar date and keep the time of day; hours, minutes and seconds are elapsed
    // time. Dates that cannot be converted stay as they are.
    CCpsDateTime operator+(const CCpsDateTimeSpan &span) const;
    CCpsDateTime operator-(const CCpsDateTimeSpan &span) const;
    // The span that added to other gives this date: whole calendar days, then elapsed time, every
    // field with the same sign; all zero when either date cannot be converted.
    CCpsDateTimeSpan operator-(const CCpsDateTime &other) const;

    bool operator==(const CCpsDateTime &other) const;
    bool operator!=(const CCpsDateTime &other) const;
    bool operator<(const CCpsDateTime &other) const;
    bool operator<=(const CCpsDateTime &other) const;
    bool operator>(const CCpsDateTime &other) const;
    bool operator>=(const CCpsDateTime &other) const;

    // The name tables; out-of-range numbers answer "" and are ignored by the setters. Weekdays are
    // 1 (Sunday) to 7; styles 1, 2 and 3 select the second to fourth weekday table, others the first.
    static CCpsString GetMonthName(int month);
    static CCpsString GetDayName(int weekday, int style);
    // The "am" text when text is "am" without regard to case, otherwise the "pm" text.
    static CCpsString GetAmPmText(const char *text);
    static void SetMonthName(int month, const char *name);
    static void SetDayName(int weekday, int style, const char *name);
    static void SetAmPmText(const char *amText, const char *pmText);

private:
    static CCpsDateTime fromCalendarTime(std::time_t time);
    std::tm fieldParts() const;
    std::tm brokenDown() const;
    CCpsDateTime movedBy(int days, std::int64_t seconds) const;
    void parseDate(const CCpsString &text);
    void parseTimeOfDay(CCpsString text);

    std::uint16_t m_year = 0;
    std::uint8_t m_month = 0;
    std::uint8_t m_day = 0;
    std::uint8_t m_hour = 0;
    std::uint8_t m_minute = 0;
    std::uint8_t m_second = 0;
};
