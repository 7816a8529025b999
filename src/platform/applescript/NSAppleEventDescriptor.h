#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>
#include <span>

namespace platform {

// A four-character code: 'ldt ' is the characters in order, the first in the high byte.
using DescType = quint32;
using AEKeyword = quint32;

constexpr DescType fourCharCode(const char (&code)[5])
{
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) | (quint32(quint8(code[2])) << 8)
        | quint32(quint8(code[3]));
}

// The code's four characters ("ldt "); characters outside printable ASCII as '?'.
QString fourCharCodeText(DescType code);

namespace DescriptorType {
constexpr DescType Null = fourCharCode("null");
constexpr DescType UnicodeText = fourCharCode("utxt");
constexpr DescType UTF8Text = fourCharCode("utf8");
constexpr DescType Char = fourCharCode("TEXT");
constexpr DescType SInt32 = fourCharCode("long");
constexpr DescType SInt64 = fourCharCode("comp");
constexpr DescType Float64 = fourCharCode("doub");
constexpr DescType Boolean = fourCharCode("bool");
constexpr DescType True = fourCharCode("true");
constexpr DescType False = fourCharCode("fals");
constexpr DescType LongDateTime = fourCharCode("ldt ");
constexpr DescType List = fourCharCode("list");
constexpr DescType Record = fourCharCode("reco");
constexpr DescType ObjectSpecifier = fourCharCode("obj ");
constexpr DescType Enumerated = fourCharCode("enum");
constexpr DescType Type = fourCharCode("type");
constexpr DescType Data = fourCharCode("tdta");
constexpr DescType ProcessSerialNumber = fourCharCode("psn ");
constexpr DescType AppleEvent = fourCharCode("aevt");
} // namespace DescriptorType

namespace Keyword {
constexpr AEKeyword DirectObject = fourCharCode("----");
constexpr AEKeyword SubroutineName = fourCharCode("snam");
constexpr AEKeyword KeyData = fourCharCode("seld");
constexpr AEKeyword DesiredClass = fourCharCode("want");
constexpr AEKeyword KeyForm = fourCharCode("form");
constexpr AEKeyword Container = fourCharCode("from");
constexpr AEKeyword Name = fourCharCode("pnam");
constexpr AEKeyword ID = fourCharCode("ID  ");
} // namespace Keyword

constexpr DescType kASAppleScriptSuite = fourCharCode("ascr");
constexpr DescType kASSubroutineEvent = fourCharCode("psbr");
constexpr qint16 kAutoGenerateReturnID = -1;
constexpr qint32 kAnyTransactionID = 0;

// An Apple-event descriptor: a typed value that is atomic (text, numbers, dates, data...), a list, a
// keyed record (records, object specifiers) or an Apple event (keyed parameters plus the event's
// class, ID, target and ids). A default-made descriptor is "nil": what the platform answers as no
// object, for a missing keyword or an index past the end. A plain value: copy freely, use from one
// thread at a time.
class NSAppleEventDescriptor final
{
public:
    enum class Kind { Nil, Atomic, List, Keyed, Event };

    NSAppleEventDescriptor() = default;

    static NSAppleEventDescriptor nullDescriptor();
    static NSAppleEventDescriptor descriptorWithDescriptorType(DescType type, QByteArrayView data);
    // Text as UTF-16 in the machine's byte order ('utxt').
    static NSAppleEventDescriptor descriptorWithString(const QString &text);
    static NSAppleEventDescriptor descriptorWithInt32(qint32 value);
    static NSAppleEventDescriptor descriptorWithDouble(double value);
    static NSAppleEventDescriptor descriptorWithBoolean(bool value);
    static NSAppleEventDescriptor descriptorWithEnumCode(DescType code);
    static NSAppleEventDescriptor descriptorWithLongDateTime(qint64 secondsSince1904);
    static NSAppleEventDescriptor descriptorWithDate(const QDateTime &date);
    static NSAppleEventDescriptor listDescriptor();
    static NSAppleEventDescriptor recordDescriptor();
    // An object specifier 'obj ': the class wanted, the key form, the key data ('seld') and the
    // container (nil: the application, written as a null descriptor).
    static NSAppleEventDescriptor objectSpecifier(DescType desiredClass, DescType keyForm,
                                                  const NSAppleEventDescriptor &keyData,
                                                  const NSAppleEventDescriptor &container);
    // The process serial number of this process ('psn ', high word 0 then low word 2).
    static NSAppleEventDescriptor currentProcessDescriptor();
    static NSAppleEventDescriptor appleEventWithEventClass(DescType eventClass, DescType eventID,
                                                           const NSAppleEventDescriptor &target, qint16 returnID,
                                                           qint32 transactionID);

    Kind kind() const { return m_kind; }
    bool isNil() const { return m_kind == Kind::Nil; }
    DescType descriptorType() const { return m_type; }
    // The atomic value's bytes; empty for lists, records and events.
    QByteArray data() const { return bytes().toByteArray(); }

    // The value as text, coerced as the platform coerces: texts, numbers, booleans, enumerations
    // (their four characters), a date (ISO 8601 UTC); a null QString for anything else.
    QString stringValue() const;
    // Appends stringValue() to `text` without making it first (a long UTF-16 text is appended from
    // the descriptor's bytes): for readers joining long texts. The length appended, in UTF-16
    // units; nothing, appending nothing, when stringValue() would be a null QString.
    std::optional<qsizetype> appendStringValue(QString &text) const;
    std::optional<qint32> int32Value() const;
    std::optional<double> doubleValue() const;
    std::optional<bool> booleanValue() const;
    std::optional<DescType> enumCodeValue() const;
    // A 'ldt ' descriptor's instant; nothing for other types or a wrong data size.
    std::optional<qint64> longDateTimeValue() const;
    std::optional<QDateTime> dateValue() const;

    // Lists and keyed descriptors: items counted from 1; nil past the end.
    qint64 numberOfItems() const;
    NSAppleEventDescriptor descriptorAtIndex(qint64 index) const;
    // Inserts at a position from 1 (0 or past the end appends); no effect on atomic descriptors.
    void insertDescriptor(const NSAppleEventDescriptor &descriptor, qint64 index = 0);
    AEKeyword keywordForDescriptorAtIndex(qint64 index) const;
    // For readers building long lists in place: appends `count` nil items at once (one allocation)
    // to be filled through the span, and makes a descriptor atomic with the given type and data. On a
    // descriptor without items (atomic, nil) appendItems does nothing.
    std::span<NSAppleEventDescriptor> appendItems(quint32 count);
    void setAtomic(DescType type, QByteArrayView data);

    // Keyed descriptors and event parameters: nil when the keyword is absent.
    NSAppleEventDescriptor descriptorForKeyword(AEKeyword keyword) const;
    void setDescriptor(const NSAppleEventDescriptor &descriptor, AEKeyword keyword);
    NSAppleEventDescriptor paramDescriptorForKeyword(AEKeyword keyword) const { return descriptorForKeyword(keyword); }
    void setParamDescriptor(const NSAppleEventDescriptor &descriptor, AEKeyword keyword)
    {
        setDescriptor(descriptor, keyword);
    }

    // Apple events only.
    DescType eventClass() const;
    DescType eventID() const;
    qint16 returnID() const;
    qint32 transactionID() const;
    NSAppleEventDescriptor target() const;

    // Makes a descriptor of any kind; the wire reader builds trees with it.
    static NSAppleEventDescriptor make(Kind kind, DescType type);
    void setEventAttributes(DescType eventClass, DescType eventID, qint16 returnID, qint32 transactionID,
                            const NSAppleEventDescriptor &target);

    bool operator==(const NSAppleEventDescriptor &other) const;

private:
    QByteArrayView bytes() const;
    void setData(QByteArrayView data);

    // Atomic data of up to 8 bytes (numbers, dates, codes: nearly all of a long reply) is kept in
    // place, sparing an allocation per item; longer data lives in m_data.
    static constexpr qsizetype kInlineBytes = 8;

    Kind m_kind = Kind::Nil;
    DescType m_type = 0;
    qint8 m_inlineSize = 0;
    char m_inline[kInlineBytes] = {};
    QByteArray m_data;
    // The items of lists, records and events and an event's attributes, shared by copies until one
    // of them changes; absent for atomic descriptors, which keeps those (most of a reply) small.
    struct Children;
    const Children &children() const;
    Children &mutableChildren();
    std::shared_ptr<Children> m_children;
};

} // namespace platform
