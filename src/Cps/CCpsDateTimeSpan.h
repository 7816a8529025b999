#pragma once

// A duration in days, hours, minutes and seconds, each signed. One thread at a time.
class CCpsDateTimeSpan
{
public:
    CCpsDateTimeSpan() = default;
    CCpsDateTimeSpan(const CCpsDateTimeSpan &other) = default;
    // "H:M:S" (hours before the first ":", minutes before the next, seconds before a space or the
    // end); a null text or one shorter than 5 bytes gives the zero span. Days stay 0.
    explicit CCpsDateTimeSpan(const char *text);
    CCpsDateTimeSpan(int days, int hours, int minutes, int seconds);
    virtual ~CCpsDateTimeSpan() = default;
    CCpsDateTimeSpan &operator=(const CCpsDateTimeSpan &other) = default;

    int GetDays() const { return m_days; }
    int GetHours() const { return m_hours; }
    int GetMinutes() const { return m_minutes; }
    int GetSeconds() const { return m_seconds; }

private:
    int m_days = 0;
    int m_hours = 0;
    int m_minutes = 0;
    int m_seconds = 0;
};
