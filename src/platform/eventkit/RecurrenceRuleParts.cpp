#include "platform/eventkit/RecurrenceRuleParts.h"

#include <QStringList>
#include <QTimeZone>

namespace platform {

namespace {

QString joinNumbers(const QList<int> &numbers)
{
    QStringList texts;
    texts.reserve(numbers.size());
    for (const int number : numbers)
        texts.append(QString::number(number));
    return texts.join(QLatin1Char(','));
}

void appendList(QStringList &parts, const char *name, const QList<int> &numbers)
{
    if (!numbers.isEmpty())
        parts.append(QLatin1String(name) + QLatin1Char('=') + joinNumbers(numbers));
}

QString byDayText(const QList<RecurrenceWeekday> &weekdays)
{
    QStringList texts;
    for (const RecurrenceWeekday &weekday : weekdays) {
        const QString code = RecurrenceRuleParts::weekdayCode(weekday.dayOfTheWeek);
        if (code.isEmpty())
            continue;
        texts.append(weekday.weekNumber == 0 ? code : QString::number(weekday.weekNumber) + code);
    }
    return texts.join(QLatin1Char(','));
}

} // namespace

QString RecurrenceRuleParts::weekdayCode(int dayOfTheWeek)
{
    static const char *const codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    if (dayOfTheWeek < 1 || dayOfTheWeek > 7)
        return QString();
    return QLatin1String(codes[dayOfTheWeek - 1]);
}

QString RecurrenceRuleParts::toText() const
{
    QStringList parts;
    static const char *const frequencyNames[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
    parts.append(QStringLiteral("FREQ=") +
                 QLatin1String(frequencyNames[frequency >= 0 && frequency <= 3 ? frequency : 0]));
    // RFC 5545 allows only positive intervals; a readable rule beats a faithful copy of a zero.
    parts.append(QStringLiteral("INTERVAL=") + QString::number(interval < 1 ? 1 : interval));
    if (until.isValid()) {
        // RFC 5545 wants UNTIL in UTC when the series has a zoned start, which every stored event has.
        parts.append(QStringLiteral("UNTIL=") +
                     until.toTimeZone(QTimeZone::utc()).toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
    } else if (count > 0) {
        parts.append(QStringLiteral("COUNT=") + QString::number(count));
    }
    const QString days = byDayText(byDay);
    if (!days.isEmpty())
        parts.append(QStringLiteral("BYDAY=") + days);
    appendList(parts, "BYMONTHDAY", byMonthDay);
    appendList(parts, "BYMONTH", byMonth);
    appendList(parts, "BYWEEKNO", byWeekNo);
    appendList(parts, "BYYEARDAY", byYearDay);
    appendList(parts, "BYSETPOS", bySetPos);
    return parts.join(QLatin1Char(';'));
}

} // namespace platform
