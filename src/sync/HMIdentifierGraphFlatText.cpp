#include "sync/HMIdentifierGraphFlatText.h"

#include <QString>

#include <cstring>

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

QByteArray HMIdentifierGraphFlatText::keyOf(const QString &text)
{
    if (QStringView(text).isValidUtf16())
        return text.toUtf8();
    QByteArray key(1, char(0xFF));
    key.append(reinterpret_cast<const char *>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
    return key;
}

QString HMIdentifierGraphFlatText::textOf(QByteArrayView key)
{
    if (!isWide(key))
        return QString::fromUtf8(key);
    // Copied rather than read in place: the units need not stand at an even address.
    QString text((key.size() - 1) / 2, Qt::Uninitialized);
    std::memcpy(text.data(), key.data() + 1, size_t(text.size()) * sizeof(char16_t));
    return text;
}

bool HMIdentifierGraphFlatText::holdsNul(QByteArrayView key)
{
    return isWide(key) ? textOf(key).contains(QChar(u'\0')) : key.contains('\0');
}

std::optional<QByteArray> HMIdentifierGraphFlatText::keyOfUtf8(QByteArrayView utf8)
{
    if (isAscii(utf8) || utf8.isValidUtf8())
        return std::nullopt;
    return keyOf(QString::fromUtf8(utf8));
}

bool HMIdentifierGraphFlatText::isKeyBefore(QByteArrayView first, QByteArrayView second)
{
    if (isAscii(first) && isAscii(second))
        return first.compare(second) < 0;
    return QString::fromUtf8(first) < QString::fromUtf8(second);
}

bool HMIdentifierGraphFlatText::areKeysInOrder(const HMIdentifierGraphEntry::FlatPair &dictionary)
{
    std::optional<QByteArrayView> lastKey;
    bool isInOrder = true;
    const bool isWhole = HMIdentifierGraphEntry::visitFlatItems(dictionary, [&](const HMIdentifierGraphEntry::FlatPair &item) {
        isInOrder = isInOrder && (!lastKey || isKeyBefore(*lastKey, item.inlineKey));
        lastKey = item.inlineKey;
    });
    return isWhole && isInOrder;
}

std::optional<QByteArrayView> HMIdentifierGraphFlatText::KeyTexts::keyOf(const HMIdentifierGraphEntry::FlatPair &pair)
{
    if (pair.keyNumber == 0)
        return pair.inlineKey;
    if (pair.keyNumber >= m_keys.size())
        m_keys.resize(size_t(pair.keyNumber) + 1);
    // A QByteArray keeps its bytes where they are when the list grows and moves it.
    std::optional<QByteArray> &known = m_keys[pair.keyNumber];
    if (!known) {
        const std::optional<QString> text = HMIdentifierGraphEntry::keyText(pair.keyNumber);
        if (!text)
            return std::nullopt;
        known = HMIdentifierGraphFlatText::keyOf(*text);
    }
    return QByteArrayView(*known);
}
