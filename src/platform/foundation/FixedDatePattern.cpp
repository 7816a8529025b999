#include "platform/foundation/FixedDatePattern.h"

#include <cmath>
#include <cstdint>

namespace platform {

namespace {

constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kMsPerMinute = 60 * kMsPerSecond;
constexpr qint64 kMsPerHour = 60 * kMsPerMinute;
constexpr qint64 kMsPerDay = 24 * kMsPerHour;
// The years handled here: well after the Julian calendar's end, and four digits.
constexpr int kFirstYear = 1600;
constexpr int kLastYear = 9999;
// Beyond any date of those years, so that the arithmetic below stays far from overflow.
constexpr double kMaxAbsoluteMs = 1.0e15;

// The fields of a local wall-clock time.
struct WallFields
{
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

qint64 floorDivide(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (years count from 0 here).
qint64 daysFromCivil(qint64 year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const qint64 era = floorDivide(year, 400);
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void setDateOfDays(WallFields &fields, qint64 days)
{
    days += 719468;
    const qint64 era = floorDivide(days, 146097);
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    fields.day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    fields.month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    fields.year = int(yearOfEra + era * 400 + (fields.month <= 2 ? 1 : 0));
}

// The fields of a wall-clock time in milliseconds since 1970; std::nullopt outside the years handled.
std::optional<WallFields> fieldsOfWallTime(qint64 wallMs)
{
    const qint64 days = floorDivide(wallMs, kMsPerDay);
    qint64 msOfDay = wallMs - days * kMsPerDay;
    WallFields fields;
    setDateOfDays(fields, days);
    if (fields.year < kFirstYear || fields.year > kLastYear)
        return std::nullopt;
    fields.hour = int(msOfDay / kMsPerHour);
    msOfDay %= kMsPerHour;
    fields.minute = int(msOfDay / kMsPerMinute);
    msOfDay %= kMsPerMinute;
    fields.second = int(msOfDay / kMsPerSecond);
    fields.millisecond = int(msOfDay % kMsPerSecond);
    return fields;
}

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// The wall-clock time of the fields; std::nullopt for fields that name no time of the years handled.
std::optional<qint64> wallTimeOfFields(const WallFields &fields)
{
    if (fields.year < kFirstYear || fields.year > kLastYear || fields.month < 1 || fields.month > 12 ||
        fields.day < 1 || fields.day > daysInMonth(fields.year, fields.month) || fields.hour > 23 ||
        fields.minute > 59 || fields.second > 59)
        return std::nullopt;
    return daysFromCivil(fields.year, fields.month, fields.day) * kMsPerDay + fields.hour * kMsPerHour +
           fields.minute * kMsPerMinute + fields.second * kMsPerSecond + fields.millisecond;
}

int *fieldOfLetter(WallFields &fields, char16_t letter)
{
    switch (letter) {
    case u'y':
        return &fields.year;
    case u'M':
        return &fields.month;
    case u'd':
        return &fields.day;
    case u'H':
        return &fields.hour;
    case u'm':
        return &fields.minute;
    case u's':
        return &fields.second;
    case u'S':
        return &fields.millisecond;
    default:
        return nullptr;
    }
}

// The letters and counts of the fields handled here; for reading, only the full widths.
bool isHandledField(char16_t letter, int count)
{
    switch (letter) {
    case u'y':
        return count == 4;
    case u'M':
    case u'd':
    case u'H':
    case u'm':
    case u's':
        return count == 1 || count == 2;
    case u'S':
        return count == 3;
    case u'Z':
        return count >= 1 && count <= 3;
    default:
        return false;
    }
}

bool isFullWidthField(char16_t letter, int count)
{
    return letter != u'Z' && (count >= 2 || letter == u'S');
}

bool isAsciiLetter(char16_t character)
{
    return (character >= u'a' && character <= u'z') || (character >= u'A' && character <= u'Z');
}

// The text of a quoted run starting at the quote at index, with index moved past its closing quote;
// std::nullopt when the quote is never closed. Two quotes in a row, inside a run or not, stand for one.
std::optional<QString> readQuoted(const QString &pattern, qsizetype &index)
{
    if (index + 1 < pattern.size() && pattern.at(index + 1) == u'\'') {
        index += 2;
        return QStringLiteral("'");
    }
    QString text;
    for (qsizetype at = index + 1; at < pattern.size(); ++at) {
        if (pattern.at(at) != u'\'') {
            text += pattern.at(at);
        } else if (at + 1 < pattern.size() && pattern.at(at + 1) == u'\'') {
            text += u'\'';
            ++at;
        } else {
            index = at + 1;
            return text;
        }
    }
    return std::nullopt;
}

void appendNumber(QString &text, int value, int width)
{
    char16_t digits[8];
    int length = 0;
    do {
        digits[length++] = char16_t(u'0' + value % 10);
        value /= 10;
    } while (value > 0 && length < 8);
    for (int pad = length; pad < width; ++pad)
        text += u'0';
    while (length > 0)
        text += QChar(digits[--length]);
}

// "+0100", "-0330", "+0000"; false for an offset in seconds, which ICU writes otherwise.
bool appendOffset(QString &text, int32_t offsetMs)
{
    if (offsetMs % kMsPerMinute != 0)
        return false;
    const int minutes = std::abs(offsetMs) / int(kMsPerMinute);
    text += offsetMs < 0 ? u'-' : u'+';
    appendNumber(text, minutes / 60, 2);
    appendNumber(text, minutes % 60, 2);
    return true;
}

// The value of count ASCII digits at position; std::nullopt when any is not one.
std::optional<int> readDigits(const QString &text, qsizetype position, int count)
{
    if (position + count > text.size())
        return std::nullopt;
    int value = 0;
    for (int index = 0; index < count; ++index) {
        const char16_t character = text.at(position + index).unicode();
        if (character < u'0' || character > u'9')
            return std::nullopt;
        value = value * 10 + (character - u'0');
    }
    return value;
}

} // namespace

std::optional<FixedDatePattern> FixedDatePattern::of(const QString &pattern)
{
    FixedDatePattern result;
    QString seenLetters;
    for (qsizetype index = 0; index < pattern.size();) {
        const char16_t character = pattern.at(index).unicode();
        if (character == u'\'') {
            const std::optional<QString> quoted = readQuoted(pattern, index);
            if (!quoted)
                return std::nullopt;
            result.m_pieces.push_back({0, 0, *quoted});
            continue;
        }
        if (character >= 0x80 || character < 0x20)
            return std::nullopt;
        qsizetype count = 1;
        while (index + count < pattern.size() && pattern.at(index + count) == QChar(character))
            ++count;
        if (!isAsciiLetter(character)) {
            result.m_pieces.push_back({0, 0, pattern.mid(index, count)});
        } else {
            if (!isHandledField(character, int(count)) || seenLetters.contains(QChar(character)))
                return std::nullopt;
            seenLetters += QChar(character);
            result.m_pieces.push_back({character, int(count), QString()});
        }
        index += count;
    }
    return result;
}

std::optional<QString> FixedDatePattern::format(double utcMs, const TimeZone &zone) const
{
    if (!(std::fabs(utcMs) < kMaxAbsoluteMs))
        return std::nullopt;
    const std::optional<int32_t> offsetMs = zone.offsetMsAt(utcMs);
    if (!offsetMs)
        return std::nullopt;
    std::optional<WallFields> fields = fieldsOfWallTime(qint64(std::floor(utcMs)) + *offsetMs);
    if (!fields)
        return std::nullopt;
    QString text;
    text.reserve(32);
    for (const Piece &piece : m_pieces) {
        if (piece.letter == 0)
            text += piece.literal;
        else if (piece.letter != u'Z')
            appendNumber(text, *fieldOfLetter(*fields, piece.letter), piece.count);
        else if (!appendOffset(text, *offsetMs))
            return std::nullopt;
    }
    return text;
}

std::optional<double> FixedDatePattern::read(const QString &text, const TimeZone &zone) const
{
    WallFields fields;
    qsizetype position = 0;
    for (const Piece &piece : m_pieces) {
        if (piece.letter == 0) {
            if (QStringView(text).mid(position, piece.literal.size()) != piece.literal)
                return std::nullopt;
            position += piece.literal.size();
            continue;
        }
        if (!isFullWidthField(piece.letter, piece.count))
            return std::nullopt;
        const std::optional<int> value = readDigits(text, position, piece.count);
        if (!value)
            return std::nullopt;
        *fieldOfLetter(fields, piece.letter) = *value;
        position += piece.count;
    }
    const std::optional<qint64> wallMs = position == text.size() ? wallTimeOfFields(fields) : std::nullopt;
    if (!wallMs)
        return std::nullopt;
    const std::optional<int32_t> offsetMs = zone.offsetMsForWallTime(double(*wallMs));
    if (!offsetMs)
        return std::nullopt;
    const qint64 utcMs = *wallMs - *offsetMs;
    // A wall-clock time that a change of offset skips reads back as another time: ICU refuses it.
    if (zone.offsetMsAt(double(utcMs)) != offsetMs)
        return std::nullopt;
    return double(utcMs);
}

} // namespace platform
