#pragma once

#include "sync/HMIdentifierGraphEntry.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The texts of entries' flat pairs as the writers of property lists made straight from entries take
// them: each by its key, a byte string that stands for exactly one text. A text's key is its UTF-8;
// a text that UTF-8 cannot carry (a lone surrogate) is keyed by a 0xFF byte, which no UTF-8 holds,
// followed by its UTF-16 units. The writers' tables of texts go by these keys. The texts an entry
// holds as UTF-8 (texts, inline keys, the keys of nested dictionaries) are raw bytes, nearly always
// their own key: keyOfUtf8 tells when they are not.
class HMIdentifierGraphFlatText final
{
public:
    HMIdentifierGraphFlatText() = delete;

    static QByteArray keyOf(const QString &text);
    static QString textOf(QByteArrayView key);
    // Whether the key is one of a text that UTF-8 cannot carry.
    static bool isWide(QByteArrayView key) { return !key.isEmpty() && uchar(key.front()) == 0xFF; }
    // Whether the text a key stands for holds a NUL, which no property list holds.
    static bool holdsNul(QByteArrayView key);
    // The key of a text an entry holds as UTF-8 when the bytes are not that key already (UTF-8
    // that is not valid, read as the entry reads it); nullopt for bytes that are their own key.
    static std::optional<QByteArray> keyOfUtf8(QByteArrayView utf8);
    // Whether a dictionary built from entries lists the first key before the second, both given as
    // an entry holds them: texts in the order of their UTF-16 units, which UTF-8 keeps for ASCII.
    static bool isKeyBefore(QByteArrayView first, QByteArrayView second);

    // Whether a Dictionary pair's keys stand in the order a dictionary built from it lists them,
    // each once. Entries pack them so; packed bytes made elsewhere need not, and such a dictionary
    // is written from the QVariant it reads as.
    static bool areKeysInOrder(const HMIdentifierGraphEntry::FlatPair &dictionary);

    // The keys of pairs' key texts. A numbered key's is made once, and kept (in place) while this
    // lives.
    class KeyTexts final
    {
    public:
        // Nullopt for a key number the table does not hold. An inline key (number 0) is given as
        // the entry holds it.
        std::optional<QByteArrayView> keyOf(const HMIdentifierGraphEntry::FlatPair &pair);

    private:
        // By key number; the table holds at most a thousand or so.
        std::vector<std::optional<QByteArray>> m_keys;
    };
};
