#pragma once

#include "platform/foundation/TimeZone.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace platform {

// A date pattern made only of numeric fields of the Gregorian calendar ("yyyy", "MM", "M", "dd", "d",
// "HH", "H", "mm", "m", "ss", "s", "SSS"), zone offsets ("Z" to "ZZZ": "+0100") and literal text
// (punctuation, spaces, quoted text such as 'T'), formatted and read here without ICU. The texts are
// exactly ICU's for these patterns, whatever the locale, since pattern formatters use ASCII digits and
// the Gregorian calendar: the sync texts and the log lines are made of such patterns, and building
// ICU's formatter for them costs more memory and time than the whole run needs otherwise.
//
// The work is done here only where it is plain: dates from 1600 to 9999 in a zone whose offsets come
// from the system's zone data, and offsets in whole minutes. Everywhere else the caller is told to ask
// ICU (std::nullopt).
class FixedDatePattern final
{
public:
    // The pattern's pieces; std::nullopt for a pattern with any other field or an open quote.
    static std::optional<FixedDatePattern> of(const QString &pattern);

    // The text of the moment (milliseconds since 1970 UTC) in the zone.
    std::optional<QString> format(double utcMs, const TimeZone &zone) const;

    // The moment a text of exactly the pattern's shape names in the zone: every field of its full
    // width in ASCII digits, every literal as it stands, fields naming a real date and a wall-clock
    // time the zone has. Fields the pattern lacks count from 1970-01-01 00:00:00.000.
    std::optional<double> read(const QString &text, const TimeZone &zone) const;

    // The date and time a text of the pattern names as UTC wall-clock time: read here where it can,
    // by Qt's parser of the same pattern otherwise (dates before 1600); invalid for any other text.
    // Qt's pattern parser costs tens of thousands of instructions a date.
    static QDateTime readUtc(const QString &text, const QString &pattern);

private:
    struct Piece
    {
        // The field's letter, or 0 for literal text.
        char16_t letter = 0;
        int count = 0;
        QString literal;
    };

    std::vector<Piece> m_pieces;
};

} // namespace platform
