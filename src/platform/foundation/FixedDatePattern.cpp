#include "platform/foundation/FixedDatePattern.h"

#include "platform/foundation/GregorianArithmetic.h"

#include <QMutex>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <utility>
#include <cstdint>

namespace platform {

namespace {

using gregorian::WallFields;

int *fieldOfLetter(WallFields &fields, char16_t letter)
{
    static constexpr std::pair<char16_t, int WallFields::*> kFields[] = {
        {u'y', &WallFields::year},       {u'M', &WallFields::month},  {u'd', &WallFields::day},
        {u'H', &WallFields::hour},       {u'm', &WallFields::minute}, {u's', &WallFields::second},
        {u'S', &WallFields::millisecond}};
    for (const auto &[fieldLetter, member] : kFields) {
        if (fieldLetter == letter)
            return &(fields.*member);
    }
    return nullptr;
}

// The letters of the fields handled here and the counts of each.
struct FieldRule
{
    char16_t letter;
    int fewest;
    int most;
};
constexpr FieldRule kFieldRules[] = {{u'y', 4, 4}, {u'M', 1, 2}, {u'd', 1, 2}, {u'H', 1, 2},
                                     {u'm', 1, 2}, {u's', 1, 2}, {u'S', 3, 3}, {u'Z', 1, 3}};

bool isHandledField(char16_t letter, int count)
{
    return std::any_of(std::begin(kFieldRules), std::end(kFieldRules), [letter, count](const FieldRule &rule) {
        return rule.letter == letter && count >= rule.fewest && count <= rule.most;
    });
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
    if (offsetMs % gregorian::kMsPerMinute != 0)
        return false;
    const int minutes = std::abs(offsetMs) / int(gregorian::kMsPerMinute);
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
    if (!(std::fabs(utcMs) < gregorian::kMaxAbsoluteMs))
        return std::nullopt;
    const std::optional<int32_t> offsetMs = zone.offsetMsAt(utcMs);
    if (!offsetMs)
        return std::nullopt;
    std::optional<WallFields> fields = gregorian::plainFieldsOfWallTime(qint64(std::floor(utcMs)) + *offsetMs);
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
    const std::optional<qint64> wallMs = position == text.size() ? gregorian::wallTimeOfFields(fields) : std::nullopt;
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

namespace platform {

QDateTime FixedDatePattern::readUtc(const QString &text, const QString &pattern)
{
    // The few patterns the sync reads this way, each made once for the process; entries are never
    // taken out, so a pointer to one stays good after the lock.
    static QMutex mutex;
    static std::map<QString, std::optional<FixedDatePattern>> patterns;
    const std::optional<FixedDatePattern> *fixed = nullptr;
    {
        const QMutexLocker lock(&mutex);
        auto found = patterns.find(pattern);
        if (found == patterns.end())
            found = patterns.emplace(pattern, FixedDatePattern::of(pattern)).first;
        fixed = &found->second;
    }
    static const TimeZone utc = TimeZone::gmt();
    if (*fixed)
        if (const std::optional<double> moment = (*fixed)->read(text, utc))
            return QDateTime::fromMSecsSinceEpoch(qint64(*moment), QTimeZone::utc());
    QDateTime date = QDateTime::fromString(text, pattern);
    if (date.isValid())
        date.setTimeZone(QTimeZone::utc());
    return date;
}

} // namespace platform
