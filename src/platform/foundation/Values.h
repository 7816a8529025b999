#pragma once

#include <QString>
#include <QVariant>

namespace platform {

// Helpers over the value types that records and settings hold: text QString; number QVariant of bool,
// an integer type or double; date QDateTime (UTC); data QByteArray; list QVariantList (a QStringList
// counts as a list of texts); dictionary QVariantMap; nil an invalid QVariant. All are stateless and
// thread-safe.

bool isNil(const QVariant &value);
bool isText(const QVariant &value);
// A boolean is a number too, as the platform's boolean numbers are.
bool isNumber(const QVariant &value);
bool isBoolean(const QVariant &value);
bool isDate(const QVariant &value);
bool isList(const QVariant &value);
bool isDictionary(const QVariant &value);
bool isData(const QVariant &value);
// Whether a Qt type id is one of the signed integer types (char and short up to long long), one of
// the unsigned ones, or neither (bool is neither).
enum class IntegerKind { None, Signed, Unsigned };
IntegerKind integerKindOfType(int typeId);

// The platform's readings of numeric text: white space and line ends are skipped, then an optional
// sign and decimal digits are read and anything after them is ignored; text that does not start so
// gives 0, and a value beyond the type's range gives its limit.
int intValueOfText(const QString &text);
qint64 integerValueOfText(const QString &text);
// True when, after white space and an optional sign followed by zeros, the text goes on with Y, y, T,
// t or a digit 1 to 9: so "YES", "true", "1" and "-007" are true, and "0", "NO" and "" are false.
bool boolValueOfText(const QString &text);

// The same readings of any value: text as above; a number by its value, a fraction cut towards zero
// and a value beyond the range brought to its limit, any non-zero number being true; every other
// value (nil, date, list, dictionary, data) reads as 0 and false.
int intValue(const QVariant &value);
qint64 integerValue(const QVariant &value);
bool boolValue(const QVariant &value);

// The text the platform prints for a value: text as it is; a boolean as 1 or 0; an integer in decimal;
// a double in its shortest decimal form ("1.5", "2"); a date as "yyyy-MM-dd HH:mm:ss +0000" in UTC;
// data as hexadecimal in groups of four bytes between angle brackets; nil as "(null)"; lists and
// dictionaries in the old-style form, one entry a line, indented by four spaces a level, dictionary
// entries sorted by key, and texts quoted and escaped unless they are plain ASCII letters and digits.
QString description(const QVariant &value);

} // namespace platform
