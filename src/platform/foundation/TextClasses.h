#pragma once

#include <QList>
#include <QString>

#include <compare>

namespace platform {

// A set of Unicode characters, made from the platform's named classes and from single characters.
// Membership is decided per code point, so a character outside the Basic Multilingual Plane (a
// surrogate pair in the UTF-16 text) belongs to a class as a whole; a lone surrogate belongs to no
// class. A plain value: copy it freely, use it from any thread.
class CharacterSet final
{
public:
    // The empty set.
    CharacterSet() = default;

    // Space separators and TAB (no line ends).
    static CharacterSet whitespaces();
    // LF, VT, FF, CR, NEL, the line separator and the paragraph separator.
    static CharacterSet newlines();
    // The union of the two above: what a scanner skips by default.
    static CharacterSet whitespacesAndNewlines();
    // Letters, marks and numbers of every script.
    static CharacterSet alphanumerics();
    // Letters and marks.
    static CharacterSet letters();
    // Decimal digits of every script.
    static CharacterSet decimalDigits();
    // Connector, dash, open, close, quote and other punctuation.
    static CharacterSet punctuation();
    // Mathematical, currency, modifier and other symbols.
    static CharacterSet symbols();
    // Exactly the characters of the text.
    static CharacterSet fromCharacters(const QString &characters);

    CharacterSet united(const CharacterSet &other) const;
    bool contains(char32_t codePoint) const;
    bool isEmpty() const { return m_classes == 0 && m_characters.isEmpty(); }

private:
    explicit CharacterSet(unsigned classes) : m_classes(classes) {}

    unsigned m_classes = 0;
    QList<char32_t> m_characters; // sorted, without duplicates
};

// The code point that starts at index of the text, and how many UTF-16 units it takes (1 or 2). A
// lone surrogate is answered as itself with length 1. The index must lie inside the text.
char32_t codePointAt(QStringView text, qsizetype index, qsizetype *length);

// The index of the first character at or after from that is not in the set (the text's length when
// there is none).
qsizetype indexAfterCharacters(QStringView text, qsizetype from, const CharacterSet &set);

enum class Diacritics { Respect, Ignore };

// Orders two texts as the platform's non-literal comparison does: canonically equivalent texts are
// equal (a precomposed letter equals the letter followed by its combining mark), and case and accents
// count or not as asked. Thread-safe.
std::weak_ordering compareText(const QString &left, const QString &right, Qt::CaseSensitivity caseSensitivity,
                               Diacritics diacritics);

// Whether two texts are equal under the same rules.
bool textEquals(const QString &left, const QString &right, Qt::CaseSensitivity caseSensitivity, Diacritics diacritics);

} // namespace platform
