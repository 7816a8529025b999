#pragma once

#include <QString>

// Text put between double quotes in a script: backslashes doubled and quotation marks escaped,
// except that a run of backslashes directly before a quotation mark becomes one backslash and a
// run of backslashes directly before a line feed disappears. Whatever the text holds, it stays one
// string literal: it can never end the literal and run as script.
QString escapedString(const QString &text);
