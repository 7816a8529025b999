#include "platform/eventkit/RecurrenceRuleParts.h"

#include <QTimeZone>
#include <QVarLengthArray>

#include <array>
#include <charconv>

namespace platform {

namespace {

// The text is made as Latin-1 bytes in a buffer on the stack, numbers written in place, and made a
// string once at the end: a listing describes the rule of every series it meets, and each part
// appended to a string on its own cost a call and a conversion, more than the rest of the text.
using RuleText = QVarLengthArray<char, 128>;

void appendLatin1(RuleText &text, QLatin1StringView part)
{
    text.append(part.data(), part.size());
}

void appendNumber(RuleText &text, int number)
{
    std::array<char, 16> digits{};
    const char *const end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
    text.append(digits.data(), end - digits.data());
}

// The time in UTC as yyyyMMdd'T'HHmmss'Z'; years of other than four digits as QDateTime writes them.
void appendUtcTime(RuleText &text, const QDateTime &time)
{
    const QDateTime utc = time.toTimeZone(QTimeZone::utc());
    const QDate date = utc.date();
    const QTime clock = utc.time();
    if (date.year() < 1 || date.year() > 9999) {
        const QByteArray written = utc.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
        text.append(written.constData(), written.size());
        return;
    }
    std::array<char, 16> digits{};
    const auto put = [&digits](qsizetype at, int value, int width) {
        for (qsizetype place = at + width - 1; place >= at; --place, value /= 10)
            digits[place] = char('0' + value % 10);
    };
    put(0, date.year(), 4);
    put(4, date.month(), 2);
    put(6, date.day(), 2);
    digits[8] = 'T';
    put(9, clock.hour(), 2);
    put(11, clock.minute(), 2);
    put(13, clock.second(), 2);
    digits[15] = 'Z';
    text.append(digits.data(), qsizetype(digits.size()));
}

void appendList(RuleText &text, const char *name, const QList<int> &numbers)
{
    if (numbers.isEmpty())
        return;
    text.append(';');
    appendLatin1(text, QLatin1StringView(name));
    text.append('=');
    for (qsizetype at = 0; at < numbers.size(); ++at) {
        if (at > 0)
            text.append(',');
        appendNumber(text, numbers.at(at));
    }
}

// "SU" for 1 to "SA" for 7; empty for any other number.
QLatin1StringView weekdayCodeOf(int dayOfTheWeek)
{
    static const char *const codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    return dayOfTheWeek < 1 || dayOfTheWeek > 7 ? QLatin1StringView() : QLatin1StringView(codes[dayOfTheWeek - 1]);
}

void appendByDay(RuleText &text, const QList<RecurrenceWeekday> &weekdays)
{
    bool isFirst = true;
    for (const RecurrenceWeekday &weekday : weekdays) {
        const QLatin1StringView code = weekdayCodeOf(weekday.dayOfTheWeek);
        if (code.isEmpty())
            continue;
        appendLatin1(text, isFirst ? QLatin1StringView(";BYDAY=") : QLatin1StringView(","));
        isFirst = false;
        if (weekday.weekNumber != 0)
            appendNumber(text, weekday.weekNumber);
        appendLatin1(text, code);
    }
}

} // namespace

QString RecurrenceRuleParts::weekdayCode(int dayOfTheWeek)
{
    return weekdayCodeOf(dayOfTheWeek);
}

QString RecurrenceRuleParts::toText(QLatin1StringView prefix) const
{
    static const char *const frequencyNames[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
    RuleText text;
    appendLatin1(text, prefix);
    appendLatin1(text, QLatin1StringView("FREQ="));
    appendLatin1(text, QLatin1StringView(frequencyNames[frequency >= 0 && frequency <= 3 ? frequency : 0]));
    // RFC 5545 allows only positive intervals; a readable rule beats a faithful copy of a zero.
    appendLatin1(text, QLatin1StringView(";INTERVAL="));
    appendNumber(text, interval < 1 ? 1 : interval);
    if (until.isValid()) {
        // RFC 5545 wants UNTIL in UTC when the series has a zoned start, which every stored event has.
        appendLatin1(text, QLatin1StringView(";UNTIL="));
        appendUtcTime(text, until);
    } else if (count > 0) {
        appendLatin1(text, QLatin1StringView(";COUNT="));
        appendNumber(text, count);
    }
    appendByDay(text, byDay);
    appendList(text, "BYMONTHDAY", byMonthDay);
    appendList(text, "BYMONTH", byMonth);
    appendList(text, "BYWEEKNO", byWeekNo);
    appendList(text, "BYYEARDAY", byYearDay);
    appendList(text, "BYSETPOS", bySetPos);
    return QString::fromLatin1(text.constData(), text.size());
}

} // namespace platform
