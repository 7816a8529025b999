#include "platform/eventkit/RecurrenceRuleParts.h"

#include <QTimeZone>

#include <array>
#include <charconv>

namespace platform {

namespace {

// The text is made in one string, numbers written in place: a listing describes the rule of every
// series it meets, and a list of parts joined at the end cost more than the rest of the description.
void appendNumber(QString &text, int number)
{
    std::array<char, 16> digits{};
    const char *const end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
    text += QLatin1StringView(digits.data(), end - digits.data());
}

// The time in UTC as yyyyMMdd'T'HHmmss'Z'; years of other than four digits as QDateTime writes them.
void appendUtcTime(QString &text, const QDateTime &time)
{
    const QDateTime utc = time.toTimeZone(QTimeZone::utc());
    const QDate date = utc.date();
    const QTime clock = utc.time();
    if (date.year() < 1 || date.year() > 9999) {
        text += utc.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
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
    text += QLatin1StringView(digits.data(), digits.size());
}

void appendList(QString &text, const char *name, const QList<int> &numbers)
{
    if (numbers.isEmpty())
        return;
    text += QLatin1Char(';') + QLatin1StringView(name) + QLatin1Char('=');
    for (qsizetype at = 0; at < numbers.size(); ++at) {
        if (at > 0)
            text += QLatin1Char(',');
        appendNumber(text, numbers.at(at));
    }
}

// "SU" for 1 to "SA" for 7; empty for any other number.
QLatin1StringView weekdayCodeOf(int dayOfTheWeek)
{
    static const char *const codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    return dayOfTheWeek < 1 || dayOfTheWeek > 7 ? QLatin1StringView() : QLatin1StringView(codes[dayOfTheWeek - 1]);
}

void appendByDay(QString &text, const QList<RecurrenceWeekday> &weekdays)
{
    bool isFirst = true;
    for (const RecurrenceWeekday &weekday : weekdays) {
        const QLatin1StringView code = weekdayCodeOf(weekday.dayOfTheWeek);
        if (code.isEmpty())
            continue;
        text += isFirst ? QLatin1StringView(";BYDAY=") : QLatin1StringView(",");
        isFirst = false;
        if (weekday.weekNumber != 0)
            appendNumber(text, weekday.weekNumber);
        text += code;
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
    QString text;
    text.reserve(prefix.size() + 64);
    text += prefix;
    text += QLatin1StringView("FREQ=");
    text += QLatin1StringView(frequencyNames[frequency >= 0 && frequency <= 3 ? frequency : 0]);
    // RFC 5545 allows only positive intervals; a readable rule beats a faithful copy of a zero.
    text += QLatin1StringView(";INTERVAL=");
    appendNumber(text, interval < 1 ? 1 : interval);
    if (until.isValid()) {
        // RFC 5545 wants UNTIL in UTC when the series has a zoned start, which every stored event has.
        text += QLatin1StringView(";UNTIL=");
        appendUtcTime(text, until);
    } else if (count > 0) {
        text += QLatin1StringView(";COUNT=");
        appendNumber(text, count);
    }
    appendByDay(text, byDay);
    appendList(text, "BYMONTHDAY", byMonthDay);
    appendList(text, "BYMONTH", byMonth);
    appendList(text, "BYWEEKNO", byWeekNo);
    appendList(text, "BYYEARDAY", byYearDay);
    appendList(text, "BYSETPOS", bySetPos);
    return text;
}

} // namespace platform
