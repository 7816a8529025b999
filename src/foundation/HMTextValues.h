#pragma once

#include <QString>
#include <QVariant>

// The text of an escaped iCalendar-style value as the Outlook and Google writers take it: a value
// that is not a text gives the empty text; otherwise one trailing "\n" is dropped and "\;", "\,"
// and "\\" are unescaped. Each writer then turns the remaining line-break escapes into line breaks
// its own way. Safe on any thread.
QString unescapedTextValue(const QVariant &value);
