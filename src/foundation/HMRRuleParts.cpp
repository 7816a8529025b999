#include "foundation/HMRRuleParts.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/eventkit/RecurrenceRuleParts.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"

#include <QRegularExpression>
#include <QStringList>

#include <limits>

namespace {

// A rule text has a handful of parts; more than this is damage, and the rest is not read.
constexpr qsizetype kMaxParts = 64;
// The widest week number RFC 5545 allows (the nth weekday of a year).
constexpr qint64 kMaxWeekNumber = 53;

std::optional<int> frequencyNamed(const QString &value)
{
    if (value == QLatin1String("DAILY"))
        return 0;
    if (value == QLatin1String("WEEKLY"))
        return 1;
    if (value == QLatin1String("MONTHLY"))
        return 2;
    if (value == QLatin1String("YEARLY"))
        return 3;
    return std::nullopt;
}

bool isInRange(qint64 value, qint64 lowest, qint64 highest)
{
    return value >= lowest && value <= highest;
}

void readInterval(HMRRuleParts &parts, const QString &value)
{
    const std::optional<qint64> interval = HMRRuleParts::leadingInteger(value);
    if (!interval && value.contains(QRegularExpression(QStringLiteral("^\\s*[-+]?[0-9]")))) {
        DDLogError(QStringLiteral("Recurrence rule INTERVAL '%1' is out of range; the rule is not used.").arg(value));
        parts.isUsable = false;
        return;
    }
    if (!interval) {
        DDLogError(QStringLiteral("Recurrence rule INTERVAL '%1' is not a number; using 1.").arg(value));
        parts.interval = 1;
        return;
    }
    if (*interval > HMRRuleParts::kMaxInterval) {
        DDLogError(QStringLiteral("Recurrence rule INTERVAL '%1' is larger than %2; the rule is not used.")
                       .arg(value, QString::number(HMRRuleParts::kMaxInterval)));
        parts.isUsable = false;
        return;
    }
    parts.interval = *interval < 1 ? 1 : int(*interval);
}

// BYDAY=2TU or BYDAY=MO,WE: a single weekday may carry a week number in front; a list may not.
void readWeekdays(HMRRuleParts &parts, const QString &value, int &weekNumber)
{
    if (!value.contains(QLatin1Char(',')) && value.size() >= 3) {
        const std::optional<qint64> number = HMRRuleParts::leadingInteger(QStringView(value).chopped(2));
        if (number && isInRange(*number, -kMaxWeekNumber, kMaxWeekNumber)) {
            weekNumber = int(*number);
        } else {
            DDLogError(QStringLiteral("Recurrence rule BYDAY '%1' has no usable week number.").arg(value));
            weekNumber = 0;
        }
    }
    bool foundDay = false;
    for (int day = 1; day <= 7; ++day) {
        if (!value.contains(platform::RecurrenceRuleParts::weekdayCode(day)))
            continue;
        parts.weekdays.append({day, weekNumber});
        foundDay = true;
    }
    if (!foundDay)
        DDLogError(QStringLiteral("Recurrence rule BYDAY '%1' names no weekday; ignored.").arg(value));
}

// BYMONTHDAY and BYSETPOS: a nonzero number counted from either end, at most `limit` away from zero,
// goes to the list; anything else is logged (as not being `what`) and ignored.
void readSignedOrdinal(QList<int> &list, const QString &value, qint64 limit, const char *part, const char *what)
{
    const std::optional<qint64> ordinal = HMRRuleParts::leadingInteger(value);
    if (!ordinal || *ordinal == 0 || !isInRange(*ordinal, -limit, limit)) {
        DDLogError(QStringLiteral("Recurrence rule %1 '%2' is not %3; ignored.")
                       .arg(QLatin1String(part), value, QLatin1String(what)));
        return;
    }
    list.append(int(*ordinal));
}

void readDayOfTheMonth(HMRRuleParts &parts, const QString &value)
{
    readSignedOrdinal(parts.daysOfTheMonth, value, 31, "BYMONTHDAY", "a day of the month");
}

void readSetPosition(HMRRuleParts &parts, const QString &value)
{
    readSignedOrdinal(parts.setPositions, value, 366, "BYSETPOS", "a set position");
}

void readCount(HMRRuleParts &parts, const QString &value)
{
    if (parts.count > 0)
        return; // the first COUNT part counts
    const std::optional<qint64> count = HMRRuleParts::leadingInteger(value);
    if (!count || *count < 1) {
        DDLogError(QStringLiteral("Recurrence rule COUNT '%1' is not a number of occurrences; ignored.").arg(value));
        return;
    }
    if (*count > std::numeric_limits<int>::max()) {
        DDLogError(QStringLiteral("Recurrence rule COUNT '%1' is out of range; the rule is not used.").arg(value));
        parts.isUsable = false;
        return;
    }
    parts.count = int(*count);
}

// UNTIL=20240301T000000Z or UNTIL=20240301: the date of its first eight characters, at midnight in the
// local zone. The time is not read; a value that is not a date ends the series at the current moment.
void readUntil(HMRRuleParts &parts, const QString &value)
{
    const QString dateText = value.left(8);
    bool isDigits = dateText.size() == 8;
    for (const QChar character : dateText)
        isDigits = isDigits && character >= QLatin1Char('0') && character <= QLatin1Char('9');
    if (isDigits) {
        const platform::Result<QDateTime> date = platform::DateFormatter(QStringLiteral("yyyyMMdd")).parse(dateText);
        if (date) {
            parts.until = *date;
            return;
        }
    }
    DDLogError(QStringLiteral("Recurrence rule UNTIL '%1' is not a date; the series ends now.").arg(value));
    parts.until = platform::Clock::now();
}

} // namespace

std::optional<qint64> HMRRuleParts::leadingInteger(QStringView text)
{
    qsizetype index = 0;
    while (index < text.size() && text.at(index).isSpace())
        ++index;
    bool isNegative = false;
    if (index < text.size() && (text.at(index) == QLatin1Char('-') || text.at(index) == QLatin1Char('+'))) {
        isNegative = text.at(index) == QLatin1Char('-');
        ++index;
    }
    const qsizetype firstDigit = index;
    qint64 magnitude = 0;
    for (; index < text.size() && text.at(index) >= QLatin1Char('0') && text.at(index) <= QLatin1Char('9'); ++index) {
        const int digit = text.at(index).unicode() - '0';
        if (magnitude > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (index == firstDigit)
        return std::nullopt;
    return isNegative ? -magnitude : magnitude;
}

HMRRuleParts HMRRuleParts::read(const QString &text, Road road)
{
    HMRRuleParts parts;
    QStringView body(text);
    if (road == Road::EventKit) {
        while (body.endsWith(QLatin1Char(';')))
            body.chop(1);
    }
    QList<QStringView> pieces = body.split(QLatin1Char(';'));
    if (pieces.size() > kMaxParts) {
        DDLogError(QStringLiteral("Recurrence rule has %1 parts; only the first %2 are read.")
                       .arg(pieces.size())
                       .arg(kMaxParts));
        pieces.resize(kMaxParts);
    }
    int weekNumber = 0;
    for (const QStringView piece : pieces) {
        const QStringView trimmed = piece.trimmed();
        if (trimmed.isEmpty())
            continue;
        const qsizetype equals = trimmed.indexOf(QLatin1Char('='));
        if (equals < 0) {
            DDLogError(QStringLiteral("Recurrence rule part '%1' has no '='; ignored.").arg(trimmed));
            continue;
        }
        // A "RRULE:" prefix stays part of the first name; names are matched by what they contain.
        const QString name = trimmed.left(equals).toString().toUpper();
        const QString value = trimmed.mid(equals + 1).trimmed().toString().toUpper();
        if (name.contains(QLatin1String("FREQ"))) {
            const std::optional<int> frequency = frequencyNamed(value);
            if (frequency)
                parts.frequency = frequency;
            else
                DDLogError(QStringLiteral("Recurrence rule FREQ '%1' is not supported; ignored.").arg(value));
        } else if (name.contains(QLatin1String("INTERVAL"))) {
            readInterval(parts, value);
        } else if (name.contains(QLatin1String("BYDAY"))) {
            readWeekdays(parts, value, weekNumber);
        } else if (name.contains(QLatin1String("BYMONTHDAY"))) {
            readDayOfTheMonth(parts, value);
        } else if (name.contains(QLatin1String("UNTIL"))) {
            readUntil(parts, value);
        } else if (name.contains(QLatin1String("BYSETPOS"))) {
            if (road == Road::EventKit)
                readSetPosition(parts, value);
        } else if (name.contains(QLatin1String("COUNT"))) {
            readCount(parts, value);
        }
    }
    if (!parts.frequency && !body.trimmed().isEmpty())
        DDLogError(QStringLiteral("Recurrence rule '%1' has no frequency of DAILY, WEEKLY, MONTHLY or YEARLY.")
                       .arg(body.left(200)));
    return parts;
}
