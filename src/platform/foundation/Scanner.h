#pragma once

#include "platform/foundation/TextClasses.h"

#include <QString>

#include <optional>

namespace platform {

// Reads a text piece by piece with the platform scanner's rules. Before every scan the characters to
// be skipped (white space and line ends unless changed) are passed over; only leading ones are
// skipped, so a scanned piece keeps what trails it ("OK\r" scanned up to LF stays "OK\r"). Matching
// ignores letter case unless told otherwise. A scan that fails leaves the location where it was.
// Locations are UTF-16 indexes into the text. A scanner is used by one thread at a time.
class Scanner final
{
public:
    explicit Scanner(QString text);

    const QString &string() const { return m_text; }

    qsizetype scanLocation() const { return m_location; }
    // Moves to a location; one outside the text is brought to its nearest end.
    void setScanLocation(qsizetype location);

    const CharacterSet &charactersToBeSkipped() const { return m_skipped; }
    void setCharactersToBeSkipped(const CharacterSet &skipped) { m_skipped = skipped; }

    Qt::CaseSensitivity caseSensitivity() const { return m_caseSensitivity; }
    void setCaseSensitivity(Qt::CaseSensitivity caseSensitivity) { m_caseSensitivity = caseSensitivity; }

    // The text from the location up to the next occurrence of the target (or to the end when there is
    // none); nothing when the target stands at the location or nothing but skipped characters remain.
    // An empty target never matches, so it scans to the end.
    std::optional<QString> scanUpToString(const QString &target);

    // The target as it stands in the text, when the text continues with it.
    std::optional<QString> scanString(const QString &target);

    // A decimal integer with an optional sign. Digits beyond the range are read and give the limit.
    std::optional<int> scanInt();
    std::optional<qint64> scanInteger();

    // Whether only characters to be skipped remain.
    bool isAtEnd() const;

private:
    qsizetype locationAfterSkipping(qsizetype from) const;

    QString m_text;
    qsizetype m_location = 0;
    CharacterSet m_skipped = CharacterSet::whitespacesAndNewlines();
    Qt::CaseSensitivity m_caseSensitivity = Qt::CaseInsensitive;
};

} // namespace platform
