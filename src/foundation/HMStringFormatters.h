#pragma once

#include <QString>

// English ordinals and month names for the recurrence display texts. The words go through the
// application's localisation table with the English word as key. Class operations only, no state: safe
// on any thread.
class HMStringFormatters final
{
public:
    HMStringFormatters() = delete;

    // 1 "first", 2 "other", 3 "third", 4 "fourth", 5 "fifth"; any other number with "th" (6th, 0th).
    static QString ordinalWordForInteger(qint64 number);
    // 0 the empty text; otherwise the number with its English suffix: 1st, 2nd, 3rd, 4th, 11th, 12th,
    // 13th, 21st, 22nd, 23rd, 101st.
    static QString ordinalForInteger(qint64 number);
    // 1 "January" to 12 "December"; any other number "<month error>".
    static QString monthNameForInteger(qint64 number);

    // The localised text of an English word; the word itself when the table has no entry.
    static QString localizedWord(const QString &englishWord);
};
