#include "platform/foundation/TextClasses.h"

#include "platform/foundation/Locale.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <string_view>

namespace platform {

namespace {

enum ClassBit : unsigned {
    kWhitespaceBit = 1u << 0,
    kNewlineBit = 1u << 1,
    kAlphanumericBit = 1u << 2,
    kLetterBit = 1u << 3,
    kDecimalDigitBit = 1u << 4,
    kPunctuationBit = 1u << 5,
    kSymbolBit = 1u << 6,
};

bool isNewline(char32_t codePoint)
{
    return (codePoint >= 0x0A && codePoint <= 0x0D) || codePoint == 0x85 || codePoint == 0x2028 || codePoint == 0x2029;
}

// The classes of an ASCII character, known without ICU's tables: the common case of scanned texts.
unsigned asciiClasses(char32_t codePoint)
{
    static constexpr char kPunctuation[] = "!\"#%&'()*,-./:;?@[\\]_{}";
    static constexpr char kSymbols[] = "$+<=>^`|~";
    const auto character = char(codePoint);
    if ((character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z'))
        return kAlphanumericBit | kLetterBit;
    if (character >= '0' && character <= '9')
        return kAlphanumericBit | kDecimalDigitBit;
    if (character == ' ' || character == '\t')
        return kWhitespaceBit;
    if (isNewline(codePoint))
        return kNewlineBit;
    if (character != 0 && std::string_view(kPunctuation).find(character) != std::string_view::npos)
        return kPunctuationBit;
    if (character != 0 && std::string_view(kSymbols).find(character) != std::string_view::npos)
        return kSymbolBit;
    return 0;
}

bool isInClasses(char32_t codePoint, unsigned classes)
{
    if (codePoint < 0x80)
        return (asciiClasses(codePoint) & classes) != 0;
    const auto character = static_cast<UChar32>(codePoint);
    const uint32_t category = U_GET_GC_MASK(character);
    if ((classes & kWhitespaceBit) && (codePoint == 0x09 || (category & U_GC_ZS_MASK)))
        return true;
    if ((classes & kNewlineBit) && isNewline(codePoint))
        return true;
    if ((classes & kAlphanumericBit) && (category & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)))
        return true;
    if ((classes & kLetterBit) && (category & (U_GC_L_MASK | U_GC_M_MASK)))
        return true;
    if ((classes & kDecimalDigitBit) && (category & U_GC_ND_MASK))
        return true;
    if ((classes & kPunctuationBit) && (category & U_GC_P_MASK))
        return true;
    return (classes & kSymbolBit) && (category & U_GC_S_MASK);
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar character) { return character.unicode() < 0x80; });
}

char16_t foldAscii(char16_t unit)
{
    return (unit >= u'A' && unit <= u'Z') ? char16_t(unit + (u'a' - u'A')) : unit;
}

// ASCII text has no combining marks and no canonical variants, so only letter case is left to fold.
std::weak_ordering compareAscii(const QString &left, const QString &right, Qt::CaseSensitivity caseSensitivity)
{
    const qsizetype common = std::min(left.size(), right.size());
    for (qsizetype index = 0; index < common; ++index) {
        char16_t a = left.at(index).unicode();
        char16_t b = right.at(index).unicode();
        if (caseSensitivity == Qt::CaseInsensitive) {
            a = foldAscii(a);
            b = foldAscii(b);
        }
        if (a != b)
            return a < b ? std::weak_ordering::less : std::weak_ordering::greater;
    }
    return left.size() <=> right.size();
}

icu::UnicodeString decomposed(const icu::UnicodeString &text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status) || nfd == nullptr)
        return text;
    icu::UnicodeString result = nfd->normalize(text, status);
    return U_FAILURE(status) ? text : result;
}

icu::UnicodeString withoutNonSpacingMarks(const icu::UnicodeString &text)
{
    icu::UnicodeString result;
    for (int32_t index = 0; index < text.length();) {
        const UChar32 character = text.char32At(index);
        if (u_charType(character) != U_NON_SPACING_MARK)
            result.append(character);
        index = text.moveIndex32(index, 1);
    }
    return result;
}

icu::UnicodeString comparisonKey(const QString &text, Qt::CaseSensitivity caseSensitivity, Diacritics diacritics)
{
    icu::UnicodeString key = decomposed(toUnicodeString(text));
    if (caseSensitivity == Qt::CaseInsensitive) {
        key.foldCase(U_FOLD_CASE_DEFAULT);
        key = decomposed(key);
    }
    if (diacritics == Diacritics::Ignore)
        key = withoutNonSpacingMarks(key);
    return key;
}

} // namespace

CharacterSet CharacterSet::whitespaces()
{
    return CharacterSet(kWhitespaceBit);
}

CharacterSet CharacterSet::newlines()
{
    return CharacterSet(kNewlineBit);
}

CharacterSet CharacterSet::whitespacesAndNewlines()
{
    return CharacterSet(kWhitespaceBit | kNewlineBit);
}

CharacterSet CharacterSet::alphanumerics()
{
    return CharacterSet(kAlphanumericBit);
}

CharacterSet CharacterSet::letters()
{
    return CharacterSet(kLetterBit);
}

CharacterSet CharacterSet::decimalDigits()
{
    return CharacterSet(kDecimalDigitBit);
}

CharacterSet CharacterSet::punctuation()
{
    return CharacterSet(kPunctuationBit);
}

CharacterSet CharacterSet::symbols()
{
    return CharacterSet(kSymbolBit);
}

CharacterSet CharacterSet::fromCharacters(const QString &characters)
{
    CharacterSet set;
    for (qsizetype index = 0; index < characters.size();) {
        qsizetype length = 1;
        set.m_characters.append(codePointAt(characters, index, &length));
        index += length;
    }
    std::sort(set.m_characters.begin(), set.m_characters.end());
    set.m_characters.erase(std::unique(set.m_characters.begin(), set.m_characters.end()), set.m_characters.end());
    return set;
}

CharacterSet CharacterSet::united(const CharacterSet &other) const
{
    CharacterSet set(m_classes | other.m_classes);
    set.m_characters = m_characters + other.m_characters;
    std::sort(set.m_characters.begin(), set.m_characters.end());
    set.m_characters.erase(std::unique(set.m_characters.begin(), set.m_characters.end()), set.m_characters.end());
    return set;
}

bool CharacterSet::contains(char32_t codePoint) const
{
    if (m_classes != 0 && isInClasses(codePoint, m_classes))
        return true;
    return std::binary_search(m_characters.cbegin(), m_characters.cend(), codePoint);
}

char32_t codePointAt(QStringView text, qsizetype index, qsizetype *length)
{
    Q_ASSERT(index >= 0 && index < text.size());
    const QChar unit = text.at(index);
    if (unit.isHighSurrogate() && index + 1 < text.size() && text.at(index + 1).isLowSurrogate()) {
        *length = 2;
        return QChar::surrogateToUcs4(unit, text.at(index + 1));
    }
    *length = 1;
    return unit.unicode();
}

qsizetype indexAfterCharacters(QStringView text, qsizetype from, const CharacterSet &set)
{
    qsizetype index = std::max<qsizetype>(from, 0);
    if (set.isEmpty())
        return std::min(index, text.size());
    while (index < text.size()) {
        qsizetype length = 1;
        if (!set.contains(codePointAt(text, index, &length)))
            break;
        index += length;
    }
    return std::min(index, text.size());
}

std::weak_ordering compareText(const QString &left, const QString &right, Qt::CaseSensitivity caseSensitivity,
                               Diacritics diacritics)
{
    if (isAscii(left) && isAscii(right))
        return compareAscii(left, right, caseSensitivity);
    const int8_t order =
        comparisonKey(left, caseSensitivity, diacritics).compare(comparisonKey(right, caseSensitivity, diacritics));
    return order <=> 0;
}

bool textEquals(const QString &left, const QString &right, Qt::CaseSensitivity caseSensitivity, Diacritics diacritics)
{
    return compareText(left, right, caseSensitivity, diacritics) == 0;
}

} // namespace platform
