#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

// Text operations of the sync paths: the phone-text encoding of field values, the parser of the phone's
// tab-separated record lists, markup stripping, MD5 texts and new identifier texts. Stateless; any
// thread may call them.

// Field values travel on the phone link inside form fields ("&") and list columns (TAB), so those are
// replaced: "&" by U+0007, TAB by U+0006, and every line break (CR LF, LF, CR) leaves as one CR.
QString hmWiFiEncodedString(const QString &text);

// The inverse: U+0007 to "&", U+0006 to TAB, CR to LF.
QString hmWiFiDecodedString(const QString &text);

// One dictionary per data line of a tab-separated list reply (a header line of column names, then one
// line per record), in line order. A "List=" line before the header is skipped. A line of fewer than
// two items ends the list; a line whose item count differs from the header's is logged as an error and
// ends the list; rows read before either stop are kept. Never fails.
QList<QVariantMap> dictionaryListFromDelimittedList(const QString &text);

// The MD5 digest (RFC 1321) of the text's UTF-8 bytes up to the first zero byte, as 32 upper-case
// hexadecimal digits; a null text for a null text.
QString md5(const QString &text);

// A new random UUID as 36 characters: lower-case hexadecimal digits in groups 8-4-4-4-12 joined by
// hyphens.
QString uidString();

// The character data of the text read as markup: tags, comments and CDATA sections give nothing, entity
// references come out literally, and a markup error ends the text at the point it was met. Nothing is
// ever loaded from outside the text, and inputs built to exhaust a parser (deep nesting, entity bombs)
// end early with what was gathered.
QString stripHtml(const QString &text);
