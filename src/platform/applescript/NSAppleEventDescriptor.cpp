#include "platform/applescript/NSAppleEventDescriptor.h"

#include "platform/applescript/LongDateTime.h"

#include <QtEndian>

#include <cstring>

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
std::optional<T> valueOf(const QByteArray &bytes)
{
    if (bytes.size() != qsizetype(sizeof(T)))
        return std::nullopt;
    T value;
    std::memcpy(&value, bytes.constData(), sizeof(T));
    return value;
}

QString textOfUtf16(const QByteArray &bytes)
{
    // A byte-order mark, when a writer put one, is not part of the text.
    const qsizetype units = bytes.size() / 2;
    QString text(units, Qt::Uninitialized);
    std::memcpy(text.data(), bytes.constData(), size_t(units) * 2);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

bool isKeyedKind(NSAppleEventDescriptor::Kind kind)
{
    return kind == NSAppleEventDescriptor::Kind::Keyed || kind == NSAppleEventDescriptor::Kind::Event;
}

} // namespace

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

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorWithDescriptorType(DescType type, const QByteArray &data)
{
    NSAppleEventDescriptor descriptor = make(Kind::Atomic, type);
    descriptor.m_data = data;
    return descriptor;
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
    m_eventClass = eventClass;
    m_eventID = eventID;
    m_returnID = returnID;
    m_transactionID = transactionID;
    m_target = std::make_shared<const NSAppleEventDescriptor>(target);
}

NSAppleEventDescriptor NSAppleEventDescriptor::target() const
{
    return m_target ? *m_target : NSAppleEventDescriptor();
}

QString NSAppleEventDescriptor::stringValue() const
{
    switch (m_type) {
    case DescriptorType::UnicodeText:
        return textOfUtf16(m_data);
    case DescriptorType::UTF8Text:
    case DescriptorType::Char:
        return QString::fromUtf8(m_data);
    case DescriptorType::SInt32:
        return int32Value() ? QString::number(*int32Value()) : QString();
    case DescriptorType::SInt64: {
        const auto value = valueOf<qint64>(m_data);
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

std::optional<qint32> NSAppleEventDescriptor::int32Value() const
{
    if (m_type == DescriptorType::SInt32)
        return valueOf<qint32>(m_data);
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
        return valueOf<double>(m_data);
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
    if (m_type == DescriptorType::Boolean && m_data.size() == 1)
        return m_data.at(0) != 0;
    return std::nullopt;
}

std::optional<DescType> NSAppleEventDescriptor::enumCodeValue() const
{
    if (m_type == DescriptorType::Enumerated || m_type == DescriptorType::Type)
        return valueOf<DescType>(m_data);
    return std::nullopt;
}

std::optional<qint64> NSAppleEventDescriptor::longDateTimeValue() const
{
    if (m_type != DescriptorType::LongDateTime)
        return std::nullopt;
    return valueOf<qint64>(m_data);
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
    return m_items[size_t(index - 1)];
}

void NSAppleEventDescriptor::insertDescriptor(const NSAppleEventDescriptor &descriptor, qint64 index)
{
    if (m_kind != Kind::List)
        return;
    if (index < 1 || index > numberOfItems())
        m_items.push_back(descriptor);
    else
        m_items.insert(m_items.begin() + (index - 1), descriptor);
}

void NSAppleEventDescriptor::appendDescriptor(NSAppleEventDescriptor &&descriptor)
{
    if (m_kind == Kind::List)
        m_items.push_back(std::move(descriptor));
}

void NSAppleEventDescriptor::reserveItems(quint32 count)
{
    m_items.reserve(count);
}

AEKeyword NSAppleEventDescriptor::keywordForDescriptorAtIndex(qint64 index) const
{
    if (!isKeyedKind(m_kind) || index < 1 || index > qint64(m_keys.size()))
        return 0;
    return m_keys[size_t(index - 1)];
}

NSAppleEventDescriptor NSAppleEventDescriptor::descriptorForKeyword(AEKeyword keyword) const
{
    for (size_t i = 0; i < m_keys.size(); ++i) {
        if (m_keys[i] == keyword)
            return m_items[i];
    }
    return {};
}

void NSAppleEventDescriptor::setDescriptor(const NSAppleEventDescriptor &descriptor, AEKeyword keyword)
{
    if (!isKeyedKind(m_kind))
        return;
    for (size_t i = 0; i < m_keys.size(); ++i) {
        if (m_keys[i] == keyword) {
            m_items[i] = descriptor;
            return;
        }
    }
    m_keys.push_back(keyword);
    m_items.push_back(descriptor);
}

bool NSAppleEventDescriptor::operator==(const NSAppleEventDescriptor &other) const
{
    if (m_kind != other.m_kind || m_type != other.m_type || m_data != other.m_data || m_items != other.m_items
        || m_keys != other.m_keys)
        return false;
    if (m_kind != Kind::Event)
        return true;
    return m_eventClass == other.m_eventClass && m_eventID == other.m_eventID && m_returnID == other.m_returnID
        && m_transactionID == other.m_transactionID && target() == other.target();
}

} // namespace platform
