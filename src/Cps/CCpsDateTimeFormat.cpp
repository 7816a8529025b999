#include "Cps/CCpsDateTime.h"

#include "Cps/CpsNumbers.h"

#include <cstring>

// CCpsDateTime::Format: every "%" conversion may carry modifiers before its letter:
//   digits  the width (weekday style for names, cut length for texts)
//   "#"     no zero padding
//   "$"     ordinal suffixes for "t", "w" and "n"
//   "+N<u>" move the working date by N units (d days, H/I hours, M minutes, S seconds) for the rest
//           of the format; the unit letter is also the conversion letter
//   "!N"    the working date becomes the Sunday of this date's week, plus N days
namespace {

constexpr int kDefaultTextWidth = 30;
constexpr int kDefaultHalfDayWidth = 3;
constexpr int kMaxWidth = 1000;

struct Conversion
{
    int width = 0;
    bool isPadded = true;
    bool hasOrdinals = false;
};

CCpsString paddedNumber(int number, bool isPadded, const char *padding)
{
    const CCpsString digits(number);
    if (!isPadded)
        return digits;
    return (CCpsString(padding) + digits).Right(static_cast<int>(std::strlen(padding)));
}

const char *ordinalSuffix(int number)
{
    if (number % 100 >= 11 && number % 100 <= 13)
        return "th";
    switch (number % 10) {
    case 1:
        return "st";
    case 2:
        return "nd";
    case 3:
        return "rd";
    default:
        return "th";
    }
}

CCpsString withOrdinal(int number, bool hasOrdinals)
{
    CCpsString text(number);
    if (hasOrdinals)
        text += ordinalSuffix(number);
    return text;
}

CCpsString cutTo(const CCpsString &text, int width, int defaultWidth)
{
    return text.Left(width == 0 ? defaultWidth : width);
}

bool isDigit(char character)
{
    return character >= '0' && character <= '9';
}

// Reads the number after "+": digits with any "-" among them skipped, negative when the first of
// them is a "-"; 0 counts as 1.
const char *readMoveCount(const char *cursor, int &count)
{
    const bool isNegative = *cursor == '-';
    CCpsString digits("");
    for (; isDigit(*cursor) || *cursor == '-'; ++cursor) {
        if (isDigit(*cursor))
            digits += *cursor;
    }
    count = cps::leadingDecimal(digits.GetString());
    count = count == 0 ? 1 : (isNegative ? -count : count);
    return cursor;
}

void moveByUnit(CCpsDateTime &working, int count, char unit)
{
    switch (unit) {
    case 'd':
        working = working + CCpsDateTimeSpan(count, 0, 0, 0);
        break;
    case 'H':
    case 'I':
        working = working + CCpsDateTimeSpan(0, count, 0, 0);
        break;
    case 'M':
        working = working + CCpsDateTimeSpan(0, 0, count, 0);
        break;
    case 'S':
        working = working + CCpsDateTimeSpan(0, 0, 0, count);
        break;
    default:
        break;
    }
}

// Reads the modifiers after "%" and answers the position of the conversion letter (or of the
// terminator when the format ends inside the conversion).
const char *readModifiers(const char *cursor, Conversion &conversion, const CCpsDateTime &date, CCpsDateTime &working)
{
    for (;; ++cursor) {
        if (isDigit(*cursor)) {
            conversion.width = conversion.width >= kMaxWidth ? kMaxWidth : conversion.width * 10 + (*cursor - '0');
        } else if (*cursor == '#') {
            conversion.isPadded = false;
        } else if (*cursor == '$') {
            conversion.hasOrdinals = true;
        } else if (*cursor == '+') {
            int count = 0;
            cursor = readMoveCount(cursor + 1, count);
            moveByUnit(working, count, *cursor);
            return cursor;
        } else if (*cursor == '!') {
            ++cursor;
            const int days = cps::leadingDecimal(cursor);
            while (isDigit(*cursor))
                ++cursor;
            working = date - CCpsDateTimeSpan(date.GetDayOfWeek() - 1, 0, 0, 0);
            if (days != 0)
                working = working + CCpsDateTimeSpan(days, 0, 0, 0);
            return cursor;
        } else {
            return cursor;
        }
    }
}

CCpsString numberConversion(char letter, const Conversion &conversion, const CCpsDateTime &working)
{
    switch (letter) {
    case 'Y':
        return paddedNumber(working.GetYear(), conversion.isPadded, "0000");
    case 'y':
        return conversion.isPadded ? paddedNumber(working.GetYear(), true, "00")
                                   : CCpsString(working.GetYear()).Right(2);
    case 'm':
        return paddedNumber(working.GetMonth(), conversion.isPadded, "00");
    case 'd':
        return paddedNumber(working.GetDay(), conversion.isPadded, "00");
    case 'H':
        return paddedNumber(working.GetHour(), conversion.isPadded, "00");
    case 'M':
        return paddedNumber(working.GetMinute(), conversion.isPadded, "00");
    case 'S':
        return paddedNumber(working.GetSecond(), conversion.isPadded, "00");
    case 'I': {
        const int hour = working.GetHour();
        return paddedNumber(hour == 0 ? 12 : (hour > 12 ? hour - 12 : hour), conversion.isPadded, "00");
    }
    default:
        return CCpsString("");
    }
}

CCpsString textConversion(char letter, const Conversion &conversion, const CCpsDateTime &working)
{
    switch (letter) {
    case 'A':
    case 'a':
        return cutTo(CCpsDateTime::GetDayName(working.GetDayOfWeek(), conversion.width), conversion.width,
                     kDefaultTextWidth);
    case 'B':
    case 'b':
        return cutTo(CCpsDateTime::GetMonthName(working.GetMonth()), conversion.width, kDefaultTextWidth);
    case 'p':
        return cutTo(CCpsDateTime::GetAmPmText(working.GetHour() > 11 ? "pm" : "am"), conversion.width,
                     kDefaultHalfDayWidth);
    case 't':
        return withOrdinal(working.GetDay(), conversion.hasOrdinals);
    case 'w':
        return withOrdinal(working.GetDayOfWeek() - 1, conversion.hasOrdinals);
    case 'n': {
        const int week = (working.GetDay() + 6) / 7;
        return withOrdinal(week > 4 ? 4 : week, conversion.hasOrdinals);
    }
    case '%':
        return CCpsString("%");
    default:
        break;
    }
    if (letter != '\0' && std::strchr("UWXZcjx", letter)) {
        const char text[] = {'%', letter, '\0'};
        return CCpsString(text) + " not supported";
    }
    return numberConversion(letter, conversion, working);
}

} // namespace

CCpsString CCpsDateTime::Format(const char *format) const
{
    CCpsString result("");
    CCpsDateTime working(*this);
    for (const char *cursor = format; cursor && *cursor; ++cursor) {
        if (*cursor != '%') {
            result += *cursor;
            continue;
        }
        Conversion conversion;
        cursor = readModifiers(cursor + 1, conversion, *this, working);
        if (!*cursor)
            break;
        result += textConversion(*cursor, conversion, working);
    }
    return result;
}
