#include "sync/HMIdentifierGraphFlatText.h"

#include <QString>

namespace {

bool isAscii(QByteArrayView utf8)
{
    // Without a test per byte, so that the loop runs over many bytes at once.
    uchar highBits = 0;
    for (const char byte : utf8)
        highBits |= uchar(byte);
    return (highBits & 0x80) == 0;
}

} // namespace

bool HMIdentifierGraphFlatText::isStorableText(QByteArrayView utf8)
{
    return !utf8.contains('\0') && utf8.isValidUtf8();
}

bool HMIdentifierGraphFlatText::isKeyBefore(QByteArrayView first, QByteArrayView second)
{
    if (isAscii(first) && isAscii(second))
        return first.compare(second) < 0;
    return QString::fromUtf8(first) < QString::fromUtf8(second);
}

std::optional<QByteArrayView> HMIdentifierGraphFlatText::KeyTexts::utf8Of(const HMIdentifierGraphEntry::FlatPair &pair)
{
    if (pair.keyNumber == 0)
        return pair.inlineKey;
    if (pair.keyNumber >= m_keys.size())
        m_keys.resize(size_t(pair.keyNumber) + 1);
    // A QByteArray keeps its bytes where they are when the list grows and moves it.
    std::optional<QByteArray> &known = m_keys[pair.keyNumber];
    if (!known) {
        const std::optional<QString> text = HMIdentifierGraphEntry::keyText(pair.keyNumber);
        if (!text || !QStringView(*text).isValidUtf16())
            return std::nullopt;
        known = text->toUtf8();
    }
    return QByteArrayView(*known);
}
