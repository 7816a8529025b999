#include "platform/foundation/DateFormatter.h"

#include <unicode/dtfmtsym.h>
#include <unicode/smpdtfmt.h>

#include <algorithm>
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

// The patterns whose texts are read digit by digit: the sync texts, which every listed row carries.
bool isFixedPattern(const QString &pattern)
{
    static const QLatin1StringView kFixedPatterns[] = {
        QLatin1StringView("yyyyMMdd"), QLatin1StringView("HH:mm:ss"), QLatin1StringView("yyyyMMdd HH:mm:ss"),
        QLatin1StringView("yyyy-MM-dd"), QLatin1StringView("yyyy-MM-dd HH:mm:ss")};
    return std::find(std::begin(kFixedPatterns), std::end(kFixedPatterns), pattern) != std::end(kFixedPatterns);
}

bool isFixedFieldLetter(char16_t letter)
{
    return letter == u'y' || letter == u'M' || letter == u'd' || letter == u'H' || letter == u'm' || letter == u's';
}

// Sets the calendar field that a letter of a fixed pattern names, as ICU's parser sets it.
void setFixedField(icu::Calendar &calendar, char16_t letter, int32_t value)
{
    switch (letter) {
    case u'y':
        calendar.set(UCAL_YEAR, value);
        break;
    case u'M':
        calendar.set(UCAL_MONTH, value - 1);
        break;
    case u'd':
        calendar.set(UCAL_DATE, value);
        break;
    case u'H':
        calendar.set(UCAL_HOUR_OF_DAY, value);
        break;
    case u'm':
        calendar.set(UCAL_MINUTE, value);
        break;
    default:
        calendar.set(UCAL_SECOND, value);
        break;
    }
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
    if (m_format && locale == m_locale)
        return;
    m_locale = locale;
    rebuild();
}

void DateFormatter::setTimeZone(const TimeZone &zone)
{
    m_zone = zone;
    if (m_format)
        m_format->setTimeZone(zone.icuTimeZone());
    if (m_fixedCalendar)
        m_fixedCalendar->setTimeZone(zone.icuTimeZone());
}

void DateFormatter::rebuild()
{
    rebuildFormat();
    rebuildFixedReader();
}

void DateFormatter::rebuildFixedReader()
{
    m_fixedCalendar.reset();
    if (m_format && !m_isStyled && isFixedPattern(m_pattern))
        m_fixedCalendar.reset(m_format->getCalendar()->clone());
}

void DateFormatter::rebuildFormat()
{
    const icu::Locale locale = formattingLocale(m_locale, m_isStyled);
    m_format.reset();
    if (m_isStyled) {
        std::unique_ptr<icu::DateFormat> styled(
            icu::DateFormat::createDateTimeInstance(icuStyle(m_dateStyle), icuStyle(m_timeStyle), locale));
        if (auto *simple = dynamic_cast<icu::SimpleDateFormat *>(styled.get())) {
            styled.release();
            m_format.reset(simple);
            icu::UnicodeString pattern;
            m_pattern = fromUnicodeString(m_format->toPattern(pattern));
        } else {
            // Both styles None: the platform formats every date as an empty text.
            m_pattern.clear();
        }
    }
    if (!m_format) {
        if (unknownPatternLetter(m_pattern))
            return;
        UErrorCode status = U_ZERO_ERROR;
        auto format = std::make_unique<icu::SimpleDateFormat>(toUnicodeString(m_pattern), locale, status);
        if (U_FAILURE(status))
            return;
        m_format = std::move(format);
    }
    m_format->setLenient(false);
    m_format->setTimeZone(m_zone.icuTimeZone());
}

QString DateFormatter::format(const QDateTime &date) const
{
    const std::optional<UDate> moment = toIcuDate(date);
    if (!m_format || !moment)
        return QString();
    icu::UnicodeString text;
    icu::FieldPosition position;
    UErrorCode status = U_ZERO_ERROR;
    m_format->format(*moment, text, position, status);
    if (U_FAILURE(status))
        return QString();
    return fromUnicodeString(text);
}

Result<QDateTime> DateFormatter::parse(const QString &text) const
{
    if (const std::optional<UDate> moment = readFixedPattern(text)) {
        const QDateTime date = fromIcuDate(*moment);
        if (date.isValid())
            return date;
    }
    return parseWithGeneralParser(text);
}

std::optional<UDate> DateFormatter::readFixedPattern(const QString &text) const
{
    if (!m_fixedCalendar || text.size() != m_pattern.size())
        return std::nullopt;
    icu::Calendar &calendar = *m_fixedCalendar;
    calendar.clear();
    int32_t value = 0;
    for (qsizetype index = 0; index < text.size(); ++index) {
        const char16_t letter = m_pattern.at(index).unicode();
        const char16_t character = text.at(index).unicode();
        if (!isFixedFieldLetter(letter)) {
            if (character != letter)
                return std::nullopt;
            continue;
        }
        if (character < u'0' || character > u'9')
            return std::nullopt;
        value = value * 10 + (character - u'0');
        if (index + 1 == text.size() || m_pattern.at(index + 1).unicode() != letter) {
            setFixedField(calendar, letter, value);
            value = 0;
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const UDate moment = calendar.getTime(status);
    if (U_FAILURE(status))
        return std::nullopt;
    return moment;
}

Result<QDateTime> DateFormatter::parseWithGeneralParser(const QString &text) const
{
    if (!m_format) {
        const std::optional<QChar> letter = unknownPatternLetter(m_pattern);
        return Error(ErrorCode::DataOther,
                     QStringLiteral("the date pattern \"%1\" is not usable%2")
                         .arg(m_pattern, letter ? QStringLiteral(": '%1' names no field").arg(*letter) : QString()));
    }
    const icu::UnicodeString input = toUnicodeString(text);
    icu::ParsePosition position(0);
    const UDate moment = m_format->parse(input, position);
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
    if (!m_format)
        return QString();
    int32_t count = 0;
    const icu::UnicodeString *symbols = m_format->getDateFormatSymbols()->getAmPmStrings(count);
    return index < count ? fromUnicodeString(symbols[index]) : QString();
}

} // namespace platform
