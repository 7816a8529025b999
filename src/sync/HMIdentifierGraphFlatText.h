#pragma once

#include "sync/HMIdentifierGraphEntry.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// The texts of an entry's flat pairs as the writers of property lists made straight from entries
// take them: as UTF-8, each standing for the very text a dictionary built from the entry holds.
namespace hmflattext {

// A text a property list holds as itself: no NUL, and UTF-8 that reads back as itself.
inline bool isStorableText(QByteArrayView utf8)
{
    return !utf8.contains('\0') && utf8.isValidUtf8();
}

// Whether a dictionary built from entries lists the key first before the other: texts in the
// order of their UTF-16 units, which UTF-8 bytes keep for ASCII.
inline bool isKeyBefore(QByteArrayView first, QByteArrayView second)
{
    const auto isAscii = [](QByteArrayView utf8) {
        uchar highBits = 0;
        for (const char byte : utf8)
            highBits |= uchar(byte);
        return (highBits & 0x80) == 0;
    };
    if (isAscii(first) && isAscii(second))
        return first.compare(second) < 0;
    return QString::fromUtf8(first) < QString::fromUtf8(second);
}

// The UTF-8 of the pairs' keys. A numbered key's is made once, and kept while this lives; nullopt
// for a key whose text UTF-8 cannot carry or the table does not hold.
class KeyTexts final
{
public:
    std::optional<QByteArrayView> utf8Of(const HMIdentifierGraphEntry::FlatPair &pair)
    {
        if (pair.keyNumber == 0)
            return pair.inlineKey;
        if (pair.keyNumber >= m_keys.size())
            m_keys.resize(size_t(pair.keyNumber) + 1);
        std::optional<QByteArray> &known = m_keys[pair.keyNumber];
        if (!known) {
            const std::optional<QString> text = HMIdentifierGraphEntry::keyText(pair.keyNumber);
            if (!text || !QStringView(*text).isValidUtf16())
                return std::nullopt;
            known = text->toUtf8();
        }
        return QByteArrayView(*known);
    }

private:
    // By key number; the table holds at most a thousand or so.
    std::vector<std::optional<QByteArray>> m_keys;
};

} // namespace hmflattext
