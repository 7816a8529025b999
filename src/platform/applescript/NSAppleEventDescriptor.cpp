#include "platform/applescript/NSAppleEventDescriptor.h"

#include "platform/applescript/LongDateTime.h"

#include <QtEndian>

#include <cstring>
#include <vector>

namespace platform {

namespace {

template <typename T>
QByteArray bytesOf(T value)
{
    QByteArray bytes(qsizetype(sizeof(T)), Qt::Uninitialized);
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <typename T>
std::optional<T> valueOf(QByteArrayView bytes)
{
    if (bytes.size() != qsizetype(sizeof(T)))
        return std::nullopt;
    T value;
    std::memcpy(&value, bytes.constData(), sizeof(T));
    return value;
}

// The UTF-16 text in the bytes, in the machine's byte order; a byte-order mark, when a writer put
// one, is not part of the text.
void appendUtf16(QString &text, QByteArrayView bytes)
{
    qsizetype units = bytes.size() / 2;
    const char *from = bytes.constData();
    char16_t first = 0;
    if (units > 0)
        std::memcpy(&first, from, 2);
    if (first == 0xFEFF) {
        from += 2;
        --units;
    }
    const qsizetype start = text.size();
    text.resize(start + units);
    std::memcpy(text.data() + start, from, size_t(units) * 2);
}

QString textOfUtf16(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size() / 2);
    appendUtf16(text, bytes);
    return text;
}

bool isKeyedKind(NSAppleEventDescriptor::Kind kind)
{
    return kind == NSAppleEventDescriptor::Kind::Keyed || kind == NSAppleEventDescriptor::Kind::Event;
}

} // namespace

struct NSAppleEventDescriptor::Children
{
    std::vector<NSAppleEventDescriptor> items;
    std::vector<AEKeyword> keys; // keyed kinds: the keyword of each item
    DescType eventClass = 0;
    DescType eventID = 0;
    qint16 returnID = 0;
    qint32 transactionID = 0;
    std::vector<NSAppleEventDescriptor> target; // events: one item
};

const NSAppleEventDescriptor::Children &NSAppleEventDescriptor::children() const
{
    static const Children none;
    return m_children ? *m_children : none;
}

NSAppleEventDescriptor::Children &NSAppleEventDescriptor::mutableChildren()
{
    if (!m_children)
        m_children = std::make_shared<Children>();
    else if (m_children.use_count() > 1)
        m_children = std::make_shared<Children>(*m_children);
    return *m_children;
}

qint64 NSAppleEventDescriptor::numberOfItems() const
{
    return m_children ? qint64(m_children->items.size()) : 0;
}

DescType NSAppleEventDescriptor::eventClass() const
{
    return children().eventClass;
}

DescType NSAppleEventDescriptor::eventID() const
{
    return children().eventID;
}

qint16 NSAppleEventDescriptor::returnID() const
{
    return children().returnID;
}

qint32 NSAppleEventDescriptor::transactionID() const
{
    return children().transactionID;
}

QString fourCharCodeText(DescType code)
{
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char character = char((code >> shift) & 0xFF);
        text += (character >= 0x20 && character < 0x7F) ? QChar::fromLatin1(character) : QChar(u'?');
    }
    return text;
}

NSAppleEventDescriptor NSAppleEventDescriptor::make(Kind kind, DescType type)
{
    NSAppleEventDescriptor descriptor;
    descriptor.m_kind = kind;
    descriptor.m_type = type;
    return descriptor;
}

NSAppleEventDescriptor NSAppleEventDescriptor::nullDescriptor()
{
    return make(Kind::Atomic, DescriptorType::Null);
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithDescriptorType(DescType type, QByteArrayView data)
{
    NSAppleEventDescriptor descriptor;
    descriptor.setAtomic(type, data);
    return descriptor;
}

void NSAppleEventDescriptor::setData(QByteArrayView data)
{
    if (data.size() <= kInlineBytes) {
        std::memcpy(m_inline, data.data(), size_t(data.size()));
        m_inlineSize = qint8(data.size());
        if (!m_data.isNull())
            m_data.clear();
        return;
    }
    m_inlineSize = -1;
    m_data = data.toByteArray();
}

QByteArrayView NSAppleEventDescriptor::bytes() const
{
    return m_inlineSize >= 0 ? QByteArrayView(m_inline, m_inlineSize) : QByteArrayView(m_data);
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithString(const QString &text)
{
    return descriptorWithDescriptorType(
        DescriptorType::UnicodeText,
        QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithInt32(qint32 value)
{
    return descriptorWithDescriptorType(DescriptorType::SInt32, bytesOf(value));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithDouble(double value)
{
    return descriptorWithDescriptorType(DescriptorType::Float64, bytesOf(value));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithBoolean(bool value)
{
    return descriptorWithDescriptorType(DescriptorType::Boolean, bytesOf(quint8(value ? 1 : 0)));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithEnumCode(DescType code)
{
    return descriptorWithDescriptorType(DescriptorType::Enumerated, bytesOf(code));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithLongDateTime(qint64 secondsSince1904)
{
    return descriptorWithDescriptorType(DescriptorType::LongDateTime, bytesOf(secondsSince1904));
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithDate(const QDateTime &date)
{
    return descriptorWithLongDateTime(longDateTimeFromDate(date));
}

NSAppleEventDescriptor NSAppleEventDescriptor::listDescriptor()
{
    return make(Kind::List, DescriptorType::List);
}

NSAppleEventDescriptor NSAppleEventDescriptor::recordDescriptor()
{
    return make(Kind::Keyed, DescriptorType::Record);
}

NSAppleEventDescriptor NSAppleEventDescriptor::objectSpecifier(DescType desiredClass, DescType keyForm,
                                                               const NSAppleEventDescriptor &keyData,
                                                               const NSAppleEventDescriptor &container)
{
    NSAppleEventDescriptor specifier = make(Kind::Keyed, DescriptorType::ObjectSpecifier);
    specifier.setDescriptor(descriptorWithDescriptorType(DescriptorType::Type, bytesOf(desiredClass)),
                            Keyword::DesiredClass);
    specifier.setDescriptor(descriptorWithEnumCode(keyForm), Keyword::KeyForm);
    specifier.setDescriptor(keyData, Keyword::KeyData);
    specifier.setDescriptor(container.isNil() ? nullDescriptor() : container, Keyword::Container);
    return specifier;
}

NSAppleEventDescriptor NSAppleEventDescriptor::currentProcessDescriptor()
{
    const quint32 words[2] = {0, 2};
    return descriptorWithDescriptorType(DescriptorType::ProcessSerialNumber,
                                        QByteArray(reinterpret_cast<const char *>(words), sizeof(words)));
}

NSAppleEventDescriptor NSAppleEventDescriptor::appleEventWithEventClass(DescType eventClass, DescType eventID,
                                                                        const NSAppleEventDescriptor &target,
                                                                        qint16 returnID, qint32 transactionID)
{
    NSAppleEventDescriptor event = make(Kind::Event, DescriptorType::AppleEvent);
    event.setEventAttributes(eventClass, eventID, returnID, transactionID, target);
    return event;
}

void NSAppleEventDescriptor::setEventAttributes(DescType eventClass, DescType eventID, qint16 returnID,
                                                qint32 transactionID, const NSAppleEventDescriptor &target)
{
    Children &children = mutableChildren();
    children.eventClass = eventClass;
    children.eventID = eventID;
    children.returnID = returnID;
    children.transactionID = transactionID;
    children.target = {target};
}

NSAppleEventDescriptor NSAppleEventDescriptor::target() const
{
    return children().target.empty() ? NSAppleEventDescriptor() : children().target.front();
}

QString NSAppleEventDescriptor::stringValue() const
{
    switch (m_type) {
    case DescriptorType::UnicodeText:
        return textOfUtf16(bytes());
    case DescriptorType::UTF8Text:
    case DescriptorType::Char:
        return QString::fromUtf8(bytes());
    case DescriptorType::SInt32:
        return int32Value() ? QString::number(*int32Value()) : QString();
    case DescriptorType::SInt64: {
        const auto value = valueOf<qint64>(bytes());
        return value ? QString::number(*value) : QString();
    }
    case DescriptorType::Float64:
        return doubleValue() ? QString::number(*doubleValue(), 'g', 17) : QString();
    case DescriptorType::Boolean:
    case DescriptorType::True:
    case DescriptorType::False:
        return booleanValue() ? (*booleanValue() ? QStringLiteral("true") : QStringLiteral("false")) : QString();
    case DescriptorType::Enumerated:
    case DescriptorType::Type:
        return enumCodeValue() ? fourCharCodeText(*enumCodeValue()) : QString();
    case DescriptorType::LongDateTime:
        return dateValue() ? dateValue()->toString(Qt::ISODate) : QString();
    default:
        return QString();
    }
}

std::optional<qsizetype> NSAppleEventDescriptor::appendStringValue(QString &text) const
{
    const qsizetype start = text.size();
    if (m_type == DescriptorType::UnicodeText) {
        appendUtf16(text, bytes());
        return text.size() - start;
    }
    const QString value = stringValue();
    if (value.isNull())
        return std::nullopt;
    text += value;
    return text.size() - start;
}

std::optional<qint32> NSAppleEventDescriptor::int32Value() const
{
    if (m_type == DescriptorType::SInt32)
        return valueOf<qint32>(bytes());
    if (m_type == DescriptorType::UnicodeText || m_type == DescriptorType::UTF8Text) {
        bool isNumber = false;
        const int value = stringValue().trimmed().toInt(&isNumber);
        return isNumber ? std::optional<qint32>(value) : std::nullopt;
    }
    return std::nullopt;
}

std::optional<double> NSAppleEventDescriptor::doubleValue() const
{
    if (m_type == DescriptorType::Float64)
        return valueOf<double>(bytes());
    if (const auto integer = int32Value())
        return double(*integer);
    return std::nullopt;
}

std::optional<bool> NSAppleEventDescriptor::booleanValue() const
{
    if (m_type == DescriptorType::True)
        return true;
    if (m_type == DescriptorType::False)
        return false;
    if (m_type == DescriptorType::Boolean && bytes().size() == 1)
        return bytes().at(0) != 0;
    return std::nullopt;
}

std::optional<DescType> NSAppleEventDescriptor::enumCodeValue() const
{
    if (m_type == DescriptorType::Enumerated || m_type == DescriptorType::Type)
        return valueOf<DescType>(bytes());
    return std::nullopt;
}

std::optional<qint64> NSAppleEventDescriptor::longDateTimeValue() const
{
    if (m_type != DescriptorType::LongDateTime)
        return std::nullopt;
    return valueOf<qint64>(bytes());
}

std::optional<QDateTime> NSAppleEventDescriptor::dateValue() const
{
    const auto seconds = longDateTimeValue();
    return seconds ? dateFromLongDateTime(*seconds) : std::nullopt;
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorAtIndex(qint64 index) const
{
    if (index < 1 || index > numberOfItems())
        return {};
    return children().items[size_t(index - 1)];
}

void NSAppleEventDescriptor::insertDescriptor(const NSAppleEventDescriptor &descriptor, qint64 index)
{
    if (m_kind != Kind::List)
        return;
    std::vector<NSAppleEventDescriptor> &items = mutableChildren().items;
    if (index < 1 || index > qint64(items.size()))
        items.push_back(descriptor);
    else
        items.insert(items.begin() + (index - 1), descriptor);
}

std::span<NSAppleEventDescriptor> NSAppleEventDescriptor::appendItems(quint32 count)
{
    if (m_kind == Kind::Atomic || m_kind == Kind::Nil)
        return {};
    std::vector<NSAppleEventDescriptor> &items = mutableChildren().items;
    const size_t first = items.size();
    items.resize(first + count);
    return std::span<NSAppleEventDescriptor>(items).subspan(first);
}

void NSAppleEventDescriptor::setAtomic(DescType type, QByteArrayView data)
{
    m_kind = Kind::Atomic;
    m_type = type;
    m_children.reset();
    setData(data);
}

AEKeyword NSAppleEventDescriptor::keywordForDescriptorAtIndex(qint64 index) const
{
    const std::vector<AEKeyword> &keys = children().keys;
    if (!isKeyedKind(m_kind) || index < 1 || index > qint64(keys.size()))
        return 0;
    return keys[size_t(index - 1)];
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorForKeyword(AEKeyword keyword) const
{
    const Children &children = this->children();
    for (size_t i = 0; i < children.keys.size(); ++i) {
        if (children.keys[i] == keyword)
            return children.items[i];
    }
    return {};
}

void NSAppleEventDescriptor::setDescriptor(const NSAppleEventDescriptor &descriptor, AEKeyword keyword)
{
    if (!isKeyedKind(m_kind))
        return;
    Children &children = mutableChildren();
    for (size_t i = 0; i < children.keys.size(); ++i) {
        if (children.keys[i] == keyword) {
            children.items[i] = descriptor;
            return;
        }
    }
    children.keys.push_back(keyword);
    children.items.push_back(descriptor);
}

bool NSAppleEventDescriptor::operator==(const NSAppleEventDescriptor &other) const
{
    if (m_kind != other.m_kind || m_type != other.m_type || bytes() != other.bytes())
        return false;
    const Children &mine = children();
    const Children &theirs = other.children();
    return mine.items == theirs.items && mine.keys == theirs.keys && mine.eventClass == theirs.eventClass
        && mine.eventID == theirs.eventID && mine.returnID == theirs.returnID
        && mine.transactionID == theirs.transactionID && mine.target == theirs.target;
}

} // namespace platform
