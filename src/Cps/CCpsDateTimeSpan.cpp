#include "Cps/CCpsDateTimeSpan.h"

#include "Cps/CCpsString.h"
#include "Cps/CpsNumbers.h"

#include <cstring>

CCpsDateTimeSpan::CCpsDateTimeSpan(const char *text)
{
    if (!text || strnlen(text, 5) < 5)
        return;
    CCpsString rest(text);
    m_hours = cps::leadingDecimal(rest.SplitAtNoCase(":").GetString());
    m_minutes = cps::leadingDecimal(rest.SplitAtNoCase(":").GetString());
    m_seconds = cps::leadingDecimal(rest.SplitAtNoCase(" ").GetString());
}

CCpsDateTimeSpan::CCpsDateTimeSpan(int days, int hours, int minutes, int seconds)
    : m_days(days), m_hours(hours), m_minutes(minutes), m_seconds(seconds)
{
}
