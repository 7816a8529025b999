#pragma once

#include "platform/foundation/FixedDatePattern.h"
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
// Patterns of numeric fields only (the sync texts "yyyyMMdd", "HH:mm:ss", "yyyyMMdd HH:mm:ss",
// "yyyy-MM-dd HH:mm:ss", the log lines' "yyyy-MM-dd HH:mm:ss:SSS", ...) are formatted and read without
// ICU (FixedDatePattern), with exactly ICU's texts and moments; ICU's formatter is built only when a
// pattern, a style, a date or a text needs it. A text the fixed reader does not take (another shape,
// a field out of range, a wall-clock time a zone skips) goes to ICU's general parser, which decides
// and says why.
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
    void buildStyledFormat();
    // ICU's formatter, built at the first call; null when ICU refused the pattern.
    icu::SimpleDateFormat *icuFormat() const;
    std::unique_ptr<icu::SimpleDateFormat> makePatternFormat() const;
    void applyFormatSettings() const;
    // The symbol of the morning (0) or the afternoon (1).
    QString amPmSymbol(int32_t index) const;

    QString m_pattern;
    Locale m_locale;
    TimeZone m_zone;
    DateStyle m_dateStyle = DateStyle::None;
    DateStyle m_timeStyle = DateStyle::None;
    bool m_isStyled = false;
    // The pattern's own formatter and reader when it is made of numeric fields only.
    std::optional<FixedDatePattern> m_fixed;
    // Null until built, and when ICU refused the pattern; format() and parse() then say so.
    mutable std::unique_ptr<icu::SimpleDateFormat> m_format;
    mutable bool m_isFormatBuilt = false;
};

} // namespace platform
