#pragma once

#include <QString>
#include <QVariantMap>

// Safe readers of record dictionaries and the key-map helpers of the transports. Stateless; any thread
// may call them, as long as no other thread changes the dictionary meanwhile.

// The value under the key when it is text. A missing key gives the empty text silently; a value that
// is present but not text (a number, a date, a list) also gives the empty text and logs a warning. A
// number is never turned into its text here.
QString stringForKey(const QVariantMap &dictionary, const QString &key);

// True for a non-zero number and for the text "1" exactly; false for every other text, any other value
// and a missing key.
bool boolForKey(const QVariantMap &dictionary, const QString &key);

// Every value becomes a key that maps to the key it stood under. When several keys share one value only
// one of them survives. Values that cannot be a key (neither text nor a number) are left out.
QVariantMap dictionaryWithKeyValuesSwapped(const QVariantMap &dictionary);

// The receiver's values under their new names, for every key that has an entry (a text) in the renaming
// map; keys without an entry are left out.
QVariantMap mutableDictionaryWithKeysRenamedUsingDictionary(const QVariantMap &dictionary,
                                                             const QVariantMap &renamingMap);
