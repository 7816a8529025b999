#pragma once

#include "sync/HMIdentifierGraphEntry.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>
#include <vector>

// The texts of entries' flat pairs as the writers of property lists made straight from entries take
// them: as UTF-8, each standing for the very text a dictionary built from the entry holds.
class HMIdentifierGraphFlatText final
{
public:
    HMIdentifierGraphFlatText() = delete;

    // A text a property list holds as itself: no NUL, and UTF-8 that reads back as itself.
    static bool isStorableText(QByteArrayView utf8);
    // Whether a dictionary built from entries lists the first key before the second: texts in the
    // order of their UTF-16 units, which UTF-8 bytes keep for ASCII.
    static bool isKeyBefore(QByteArrayView first, QByteArrayView second);

    // The UTF-8 of pairs' keys. A numbered key's is made once, and kept (in place) while this lives.
    class KeyTexts final
    {
    public:
        // Nullopt for a key whose text UTF-8 cannot carry or the table does not hold.
        std::optional<QByteArrayView> utf8Of(const HMIdentifierGraphEntry::FlatPair &pair);

    private:
        // By key number; the table holds at most a thousand or so.
        std::vector<std::optional<QByteArray>> m_keys;
    };
};
