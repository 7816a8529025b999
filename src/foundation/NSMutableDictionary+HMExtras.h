#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

// Writers of record dictionaries. Stateless; the caller owns the dictionary and serialises access to it.

// Stores the boolean as a number.
void setBool(QVariantMap &dictionary, bool value, const QString &key);

// No value (an invalid QVariant) stores the empty text and keeps the key present; text is stored trimmed
// of white space and line breaks at both ends; a number is stored as its decimal text; anything else
// (a date, a list, data) is stored unchanged.
void setHMValueAsString(QVariantMap &dictionary, const QVariant &value, const QString &key);

// No value removes the key; any other value is stored unchanged.
void setHMValue(QVariantMap &dictionary, const QVariant &value, const QString &key);
