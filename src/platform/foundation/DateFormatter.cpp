#include "platform/foundation/DateFormatter.h"

#include <unicode/dtfmtsym.h>
#include <unicode/smpdtfmt.h>

#include <iterator>

namespace platform {

namespace {

// Enough of a refused text for a log line to show what came in, without copying a whole record.
constexpr qsizetype kMaxQuotedTextLength = 64;

icu::DateFormat::EStyle icuStyle(DateStyle style)
{
    switch (style) {
    case DateStyle::None:
        return icu::DateFormat::kNone;
    case DateStyle::Short:
        return icu::DateFormat::kShort;
    case DateStyle::Medium:
        return icu::DateFormat::kMedium;
    case DateStyle::Long:
        return icu::DateFormat::kLong;
    case DateStyle::Full:
        return icu::DateFormat::kFull;
    }
    return icu::DateFormat::kNone;
}

// The locale with the Gregorian calendar: the sync texts and the calendar arithmetic know no other,
// and a user of a locale with another calendar would otherwise send years such as 2567. Patterns
// given by the program also get ASCII digits, as the programs that read them expect.
icu::Locale formattingLocale(const Locale &locale, bool isStyled)
{
    icu::Locale adjusted = locale.icuLocale();
    UErrorCode status = U_ZERO_ERROR;
    adjusted.setKeywordValue("calendar", "gregorian", status);
    if (!isStyled)
        adjusted.setKeywordValue("numbers", "latn", status);
    return U_SUCCESS(status) ? adjusted : locale.icuLocale();
}

// The letters that name fields of a Unicode date pattern. ICU silently drops any other unquoted
// letter when formatting, which would write texts that can never be read back.
constexpr char16_t kPatternLetters[] = u"GyMdkHmsSEDFwWahKzYeugAZvcLQqVUOXxrbB";

// The first unquoted letter of the pattern that names no field; std::nullopt when there is none.
std::optional<QChar> unknownPatternLetter(const QString &pattern)
{
    const QStringView fieldLetters(kPatternLetters);
    bool isQuoted = false;
    for (const QChar character : pattern) {
        if (character == QLatin1Char('\''))
            isQuoted = !isQuoted;
        else if (!isQuoted && character.isLetter() && character.unicode() < 0x80 && !fieldLetters.contains(character))
            return character;
    }
    return std::nullopt;
}

QString quotedForLog(const QString &text)
{
    if (text.size() <= kMaxQuotedTextLength)
        return QLatin1Char('"') + text + QLatin1Char('"');
    return QLatin1Char('"') + text.left(kMaxQuotedTextLength) + QStringLiteral("\"...");
}

} // namespace

DateFormatter::DateFormatter(const QString &pattern)
    : DateFormatter(pattern, Locale::current(), TimeZone::defaultTimeZone())
{
}

DateFormatter::DateFormatter(const QString &pattern, const Locale &locale, const TimeZone &zone)
    : m_pattern(pattern), m_locale(locale), m_zone(zone)
{
    rebuild();
}

DateFormatter::DateFormatter(DateStyle dateStyle, DateStyle timeStyle, const Locale &locale, const TimeZone &zone)
    : m_locale(locale), m_zone(zone), m_dateStyle(dateStyle), m_timeStyle(timeStyle), m_isStyled(true)
{
    rebuild();
}

DateFormatter::DateFormatter(DateFormatter &&other) noexcept = default;
DateFormatter &DateFormatter::operator=(DateFormatter &&other) noexcept = default;
DateFormatter::~DateFormatter() = default;

void DateFormatter::setPattern(const QString &pattern)
{
    m_pattern = pattern;
    m_isStyled = false;
    rebuild();
}

void DateFormatter::setLocale(const Locale &locale)
{
    // Callers set the locale before every parse; building the ICU formatter again costs far more than
    // the parse itself, so an unchanged locale keeps the one already built.
    if (locale == m_locale)
        return;
    m_locale = locale;
    rebuild();
}

void DateFormatter::setTimeZone(const TimeZone &zone)
{
    m_zone = zone;
    if (m_format)
        m_format->setTimeZone(zone.icuTimeZone());
}

void DateFormatter::rebuild()
{
    m_format.reset();
    m_isFormatBuilt = false;
    m_fixed.reset();
    if (m_isStyled)
        buildStyledFormat();
    else
        m_fixed = FixedDatePattern::of(m_pattern);
}

void DateFormatter::buildStyledFormat()
{
    m_isFormatBuilt = true;
    std::unique_ptr<icu::DateFormat> styled(icu::DateFormat::createDateTimeInstance(
        icuStyle(m_dateStyle), icuStyle(m_timeStyle), formattingLocale(m_locale, true)));
    if (auto *simple = dynamic_cast<icu::SimpleDateFormat *>(styled.get())) {
        styled.release();
        m_format.reset(simple);
        icu::UnicodeString pattern;
        m_pattern = fromUnicodeString(m_format->toPattern(pattern));
        applyFormatSettings();
        return;
    }
    // Both styles None: the platform formats every date as an empty text.
    m_pattern.clear();
    m_format = makePatternFormat();
    applyFormatSettings();
}

std::unique_ptr<icu::SimpleDateFormat> DateFormatter::makePatternFormat() const
{
    if (unknownPatternLetter(m_pattern))
        return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(toUnicodeString(m_pattern),
                                                          formattingLocale(m_locale, m_isStyled), status);
    if (U_FAILURE(status))
        return nullptr;
    return format;
}

void DateFormatter::applyFormatSettings() const
{
    if (!m_format)
        return;
    m_format->setLenient(false);
    m_format->setTimeZone(m_zone.icuTimeZone());
}

icu::SimpleDateFormat *DateFormatter::icuFormat() const
{
    if (!m_isFormatBuilt) {
        m_isFormatBuilt = true;
        m_format = makePatternFormat();
        applyFormatSettings();
    }
    return m_format.get();
}

QString DateFormatter::format(const QDateTime &date) const
{
    const std::optional<UDate> moment = toIcuDate(date);
    if (!moment)
        return QString();
    if (m_fixed) {
        if (std::optional<QString> text = m_fixed->format(*moment, m_zone))
            return *std::move(text);
    }
    icu::SimpleDateFormat *format = icuFormat();
    if (!format)
        return QString();
    icu::UnicodeString text;
    icu::FieldPosition position;
    UErrorCode status = U_ZERO_ERROR;
    format->format(*moment, text, position, status);
    if (U_FAILURE(status))
        return QString();
    return fromUnicodeString(text);
}

Result<QDateTime> DateFormatter::parse(const QString &text) const
{
    if (m_fixed) {
        if (const std::optional<UDate> moment = m_fixed->read(text, m_zone)) {
            const QDateTime date = fromIcuDate(*moment);
            if (date.isValid())
                return date;
        }
    }
    return parseWithGeneralParser(text);
}

Result<QDateTime> DateFormatter::parseWithGeneralParser(const QString &text) const
{
    icu::SimpleDateFormat *format = icuFormat();
    if (!format) {
        const std::optional<QChar> letter = unknownPatternLetter(m_pattern);
        return Error(ErrorCode::DataOther,
                     QStringLiteral("the date pattern \"%1\" is not usable%2")
                         .arg(m_pattern, letter ? QStringLiteral(": '%1' names no field").arg(*letter) : QString()));
    }
    const icu::UnicodeString input = toUnicodeString(text);
    icu::ParsePosition position(0);
    const UDate moment = format->parse(input, position);
    // An empty text names no date, although ICU reports matching it whole.
    const bool isWhollyMatched = position.getErrorIndex() < 0 && position.getIndex() > 0 &&
                                 position.getIndex() == input.length() && input.length() == text.size();
    if (isWhollyMatched) {
        const QDateTime date = fromIcuDate(moment);
        if (date.isValid())
            return date;
    }
    const int32_t stop = position.getErrorIndex() >= 0 ? position.getErrorIndex() : position.getIndex();
    return Error(ErrorCode::DataMalformed, QStringLiteral("%1 does not match the date pattern \"%2\" at character %3")
                                               .arg(quotedForLog(text), m_pattern, QString::number(stop + 1)));
}

QString DateFormatter::amSymbol() const
{
    return amPmSymbol(0);
}

QString DateFormatter::pmSymbol() const
{
    return amPmSymbol(1);
}

QString DateFormatter::amPmSymbol(int32_t index) const
{
    const icu::SimpleDateFormat *format = icuFormat();
    if (!format)
        return QString();
    int32_t count = 0;
    const icu::UnicodeString *symbols = format->getDateFormatSymbols()->getAmPmStrings(count);
    return index < count ? fromUnicodeString(symbols[index]) : QString();
}

} // namespace platform
