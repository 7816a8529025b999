#pragma once

#include "platform/foundation/Locale.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/TimeZone.h"

#include <QDateTime>
#include <QString>

#include <unicode/smpdtfmt.h>

#include <memory>
#include <optional>

namespace platform {

// How much of a date or a time a styled formatter shows, in the locale's own way.
enum class DateStyle { None, Short, Medium, Long, Full };

// Turns dates into texts and back with a Unicode date pattern ("yyyy-MM-dd HH:mm:ss", "yyyyMMdd",
// "yyyy-MM-dd'T'HH:mm:ssZZZ", "hh", "a", "c", ...) or with the date and time styles of a locale, in a
// time zone and a locale. Dates are always of the Gregorian calendar. Texts of an explicit pattern use
// ASCII digits whatever the locale, since they travel to programs; styled texts use the locale's.
//
// Parsing is strict: the whole text must match the pattern, and the fields must name a real date
// ("20240230" is refused). A zone in the text ("+0100") decides the moment; otherwise the formatter's
// zone does.
//
// The fixed numeric patterns of the sync texts ("yyyyMMdd", "HH:mm:ss", "yyyyMMdd HH:mm:ss", "yyyy-MM-dd"
// and "yyyy-MM-dd HH:mm:ss") are read without ICU's general parser, which builds a number parser for
// every field: a text of exactly the pattern's shape has its digits read here and its fields resolved
// by the formatter's own ICU calendar, so time zones, DST gaps and overlaps and the refusal of dates
// that do not exist come out as ICU gives them. Any other text takes the general parser.
//
// One thread at a time: an instance keeps ICU state that formatting and parsing change.
class DateFormatter final
{
public:
    // A formatter of the pattern, in the current locale and the default time zone.
    explicit DateFormatter(const QString &pattern);
    DateFormatter(const QString &pattern, const Locale &locale, const TimeZone &zone);
    // A formatter of the locale's date style and time style; DateStyle::None leaves that half out.
    DateFormatter(DateStyle dateStyle, DateStyle timeStyle, const Locale &locale = Locale::current(),
                  const TimeZone &zone = TimeZone::defaultTimeZone());
    DateFormatter(DateFormatter &&other) noexcept;
    DateFormatter &operator=(DateFormatter &&other) noexcept;
    ~DateFormatter();

    // The pattern in use; for a styled formatter, the one its locale gives the styles.
    const QString &pattern() const { return m_pattern; }
    // Replaces the pattern; a styled formatter then keeps to the pattern.
    void setPattern(const QString &pattern);

    const Locale &locale() const { return m_locale; }
    // Changes the locale; a styled formatter takes the new locale's pattern for its styles.
    void setLocale(const Locale &locale);

    const TimeZone &timeZone() const { return m_zone; }
    void setTimeZone(const TimeZone &zone);

    // The text of the date; a null QString for an invalid date or an unusable pattern.
    QString format(const QDateTime &date) const;

    // The date the whole text names, in UTC, or an error saying where the text stops matching. The
    // error's message suits a log line: "\"1200\" does not match the date pattern \"HH:mm:ss\" at
    // character 3".
    Result<QDateTime> parse(const QString &text) const;
    // The same as parse(), always through ICU's general parser: slower; the fixed-pattern reader is
    // checked against it.
    Result<QDateTime> parseWithGeneralParser(const QString &text) const;

    // The locale's names of the two halves of a 12-hour day.
    QString amSymbol() const;
    QString pmSymbol() const;

private:
    void rebuild();
    void rebuildFormat();
    void rebuildFixedReader();
    // The moment a text of exactly a fixed pattern's shape names; std::nullopt for any other text and
    // for fields that name no moment (the general parser then says why).
    std::optional<UDate> readFixedPattern(const QString &text) const;
    // The symbol of the morning (0) or the afternoon (1).
    QString amPmSymbol(int32_t index) const;

    QString m_pattern;
    Locale m_locale;
    TimeZone m_zone;
    DateStyle m_dateStyle = DateStyle::None;
    DateStyle m_timeStyle = DateStyle::None;
    bool m_isStyled = false;
    // Null when ICU refused the pattern; format() and parse() then say so.
    std::unique_ptr<icu::SimpleDateFormat> m_format;
    // For a fixed numeric pattern, a copy of the formatter's calendar that resolves the fields read;
    // null for other patterns.
    mutable std::unique_ptr<icu::Calendar> m_fixedCalendar;
};

} // namespace platform
