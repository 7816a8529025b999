#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QVariant>
#include <QtEndian>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

// The binary encoding of property lists ("bplist00"), read and written without building any tree
// but the Qt values themselves: keyed archives of tens of thousands of records are read on every
// sync. Used by PropertyList.cpp; the mapping onto Qt values is the one PropertyList.h describes.
namespace platform::binaryplist {

// The limits shared with the XML side.
inline constexpr int kMaxNestingDepth = 512;
// One object may be referred to from many places; past this many nodes once every reference is
// followed, a list is refused rather than expanded.
inline constexpr quint64 kMaxExpandedObjects = quint64(1) << 23;

// A big-endian number of 1 to 8 bytes. References and offsets, read for every object, are nearly
// always one to four bytes wide: those widths are read at once.
inline quint64 readBigEndian(const uchar *bytes, int width)
{
    switch (width) {
    case 1:
        return bytes[0];
    case 2:
        return qFromBigEndian<quint16>(bytes);
    case 3:
        return (quint64(qFromBigEndian<quint16>(bytes)) << 8) | bytes[2];
    case 4:
        return qFromBigEndian<quint32>(bytes);
    default:
        break;
    }
    quint64 value = 0;
    for (int index = 0; index < width; ++index)
        value = (value << 8) | bytes[index];
    return value;
}

// The same, for a number with at least 8 bytes of the file from its start on: one load of 8 bytes
// and a shift, with no test of the width. Every offset, reference and length of a binary property
// list is such a number, the 32-byte trailer coming after them all.
inline quint64 readBigEndianFollowed(const uchar *bytes, int width)
{
    return qFromBigEndian<quint64>(bytes) >> (64 - 8 * width);
}

// The kinds of object, by the high half of an object's marker byte.
enum Kind : int {
    KindSimple = 0x0,
    KindInteger = 0x1,
    KindReal = 0x2,
    KindDate = 0x3,
    KindData = 0x4,
    KindAscii = 0x5,
    KindUtf16 = 0x6,
    KindUid = 0x8,
    KindArray = 0xA,
    KindSet = 0xC,
    KindDictionary = 0xD,
};

// Whether values of a Qt type are written as property-list integers.
bool isIntegerType(int typeId);

// Reads a binary property list. Offsets, references, lengths, nesting, cycles and expansion are all
// checked before anything is built, so damaged or hostile input fails cleanly.
Result<QVariant> parse(const QByteArray &bytes);

// A binary property list read object by object, so a reader that wants a few values of a large
// list reads and checks nothing else. Every call checks what it reads: an object's offset, its
// extent and its kind against the file; valueAt, which follows references, first checks every
// reference below the object as parse does (in the file, no cycle, bounded nesting and expansion).
// Objects are named by their number in the file. Holds a shared copy of the bytes; copies are cheap.
class Document final
{
public:
    enum class Shape { Leaf, Uid, Array, Dictionary };

    // Checks the header and the trailer.
    static Result<Document> open(const QByteArray &bytes);

    quint64 topObject() const { return m_topObject; }
    // A set reads as an array.
    Shape shapeOf(quint64 object) const
    {
        switch (area().kindAt(object)) {
        case KindUid:
            return Shape::Uid;
        case KindArray:
        case KindSet:
            return Shape::Array;
        case KindDictionary:
            return Shape::Dictionary;
        default:
            return Shape::Leaf;
        }
    }
    // The value of a leaf as parse gives it; a reference reads as a PropertyListUid.
    Result<QVariant> leafAt(quint64 object) const;
    // The whole value of any object, containers built with everything in them once the references
    // below them are checked.
    Result<QVariant> valueAt(quint64 object) const;
    // Checks the references below an object as valueAt does before it builds anything (each in the
    // file, no cycle, bounded nesting and expansion, dictionary keys texts without NULs), for a
    // reader that then walks the object itself.
    Status checkReferencesBelow(quint64 object) const;
    // The value of a real, as leafAt reads it, into the caller's number; false for any other object
    // and for a damaged one. Read for every date of an archive: an optional answer would be stored
    // piece by piece and read back whole, which stalls.
    bool readReal(quint64 object, double &real) const;
    // The number an archive reference holds; nullopt for any other object.
    std::optional<quint64> uidAt(quint64 object) const
    {
        const Area objects = area();
        const std::optional<quint64> offset = objects.offsetOf(object);
        return offset ? objects.uidAt(*offset) : std::nullopt;
    }
    // The bytes of a text kept one byte per character, all of them ASCII, read in place (valid while
    // the document lives): they are the text's UTF-8 too. Nullopt for any other object.
    std::optional<QByteArrayView> asciiTextAt(quint64 object) const
    {
        Area::Length units;
        quint64 unitWidth = 0;
        if (!area().readTextUnits(object, units, unitWidth) || unitWidth != 1)
            return std::nullopt;
        const QByteArrayView bytes(m_bytes.constData() + units.contentStart, qsizetype(units.count));
        // Without a test per byte, so that the loop runs over many bytes at once.
        uchar highBits = 0;
        for (const char byte : bytes)
            highBits |= uchar(byte);
        if ((highBits & 0x80) != 0)
            return std::nullopt;
        return bytes;
    }
    // The objects an array names, or a dictionary's values, read in place; valid while the
    // document lives. The numbers are as the file holds them: a call given one the file lacks fails.
    class Elements final
    {
    public:
        quint64 size() const { return m_count; }
        // The object at a position below size().
        quint64 at(quint64 position) const
        {
            return readBigEndianFollowed(m_first + position * quint64(m_width), m_width);
        }

    private:
        friend class Document;
        const uchar *m_first = nullptr;
        quint64 m_count = 0;
        int m_width = 1;
    };
    // None for a leaf.
    Elements elementsOf(quint64 container) const;
    // The objects an array or set names, with one look at it; nullopt for any other object, and for
    // an array whose references run past the object area.
    std::optional<Elements> arrayElementsOf(quint64 object) const
    {
        Area::Container found;
        // An array whose references run past the object area is damaged, not empty.
        if (!area().readContainer(object, found) || (found.kind != KindArray && found.kind != KindSet))
            return std::nullopt;
        return elementsAt(found.firstReference, found.keyCount, found.referenceCount);
    }
    // A dictionary's key objects and value objects, slot by slot, read in place with one look at
    // the dictionary; nullopt for any other object.
    struct Slots
    {
        Elements keys;
        Elements values;
    };
    std::optional<Slots> slotsOf(quint64 dictionary) const
    {
        Area::Container found;
        if (!area().readContainer(dictionary, found) || found.kind != KindDictionary)
            return std::nullopt;
        Slots result;
        result.keys = elementsAt(found.firstReference, 0, found.keyCount);
        result.values =
            elementsAt(found.firstReference + found.keyCount * quint64(m_trailer.referenceWidth), 0, found.keyCount);
        return result;
    }
    // Whether the object is a text equal to the given one, compared in place.
    bool isText(quint64 object, const QString &text) const;
    // The value of a dictionary under a key; nullopt when it has none or is no dictionary.
    std::optional<quint64> valueForKey(quint64 dictionary, const QString &key) const;
    // The same, for a reader that asks many dictionaries for one key: knownKey names an object
    // found before to hold the key's text (or no object at all), and a slot naming that object
    // matches without comparing texts. A match found by its text is kept there.
    std::optional<quint64> valueForKey(quint64 dictionary, const QString &key, quint64 &knownKey) const;

private:
    // What the trailer says of where objects lie: the widths of references and of offsets, the
    // number of objects and where their offset table starts.
    struct Trailer
    {
        int referenceWidth = 0;
        int offsetWidth = 0;
        quint64 objectCount = 0;
        quint64 offsetTable = 0;
    };

    // Where objects lie, every read checked against the object area: the reads every object goes
    // through, inline, and building no error (Layout, which reports errors, builds on them).
    struct Area
    {
        struct Length
        {
            quint64 count = 0;
            quint64 contentStart = 0;
        };
        struct Container
        {
            quint64 firstReference = 0;
            quint64 referenceCount = 0;
            // A dictionary's first references name its keys.
            quint64 keyCount = 0;
            int kind = 0;
        };

        // Where an object starts; nullopt when the file has no such object or it lies outside the
        // object area.
        std::optional<quint64> offsetOf(quint64 index) const
        {
            if (index >= m_trailer.objectCount)
                return std::nullopt;
            const int width = m_trailer.offsetWidth;
            const quint64 offset =
                readBigEndianFollowed(m_data + m_trailer.offsetTable + index * quint64(width), width);
            if (offset < 8 || offset >= m_trailer.offsetTable)
                return std::nullopt;
            return offset;
        }

        // The kind of the object's marker; -1 when the object cannot be found.
        int kindAt(quint64 index) const
        {
            const std::optional<quint64> offset = offsetOf(index);
            return offset ? m_data[*offset] >> 4 : -1;
        }

        // The element count in an object's marker, or in the integer that follows it when the
        // marker holds 15; false when that integer is damaged. The reads every object goes through
        // fill the caller's numbers rather than answer them wrapped: a wrapped answer is stored and
        // read back whole, which stalls when it was stored piece by piece.
        bool readLength(quint64 offset, Length &length) const
        {
            const quint64 count = m_data[offset] & 0x0F;
            const quint64 position = offset + 1;
            if (count != 0x0F) {
                length.count = count;
                length.contentStart = position;
                return true;
            }
            if (position >= m_trailer.offsetTable || (m_data[position] >> 4) != KindInteger)
                return false;
            const int width = 1 << (m_data[position] & 0x0F);
            if (width > 8 || position + 1 + quint64(width) > m_trailer.offsetTable)
                return false;
            length.count = readBigEndianFollowed(m_data + position + 1, width);
            length.contentStart = position + 1 + quint64(width);
            return true;
        }
        std::optional<Length> lengthOf(quint64 offset) const
        {
            Length length;
            return readLength(offset, length) ? std::optional(length) : std::nullopt;
        }

        // The length of an object whose elements take unitWidth bytes each, checked to end inside
        // the object area. Multiplied rather than divided.
        bool readExtent(quint64 offset, quint64 unitWidth, Length &length) const
        {
            quint64 bytes = 0;
            return readLength(offset, length) && !__builtin_mul_overflow(length.count, unitWidth, &bytes) &&
                   bytes <= m_trailer.offsetTable - length.contentStart;
        }
        std::optional<Length> extentOf(quint64 offset, quint64 unitWidth) const
        {
            Length length;
            return readExtent(offset, unitWidth, length) ? std::optional(length) : std::nullopt;
        }

        std::optional<quint64> uidAt(quint64 offset) const
        {
            const int width = (m_data[offset] & 0x0F) + 1;
            if ((m_data[offset] >> 4) != KindUid || width > 8 || offset + 1 + quint64(width) > m_trailer.offsetTable)
                return std::nullopt;
            return readBigEndianFollowed(m_data + offset + 1, width);
        }

        // Arrays, sets and dictionaries refer to other objects; everything else is a leaf (a
        // container of kind 0). False when the object cannot be found or its references run past
        // the object area.
        bool readContainer(quint64 index, Container &container) const
        {
            const std::optional<quint64> offset = offsetOf(index);
            if (!offset)
                return false;
            const int kind = m_data[*offset] >> 4;
            if (kind != KindArray && kind != KindSet && kind != KindDictionary) {
                container = Container{};
                return true;
            }
            const quint64 multiple = kind == KindDictionary ? 2 : 1;
            Length length;
            if (!readExtent(*offset, quint64(m_trailer.referenceWidth) * multiple, length))
                return false;
            container.firstReference = length.contentStart;
            container.referenceCount = length.count * multiple;
            container.keyCount = kind == KindDictionary ? length.count : 0;
            container.kind = kind;
            return true;
        }
        std::optional<Container> containerOf(quint64 index) const
        {
            Container container;
            return readContainer(index, container) ? std::optional(container) : std::nullopt;
        }

        // A text's units and their width, checked to lie inside the object area; false for any
        // other object.
        bool readTextUnits(quint64 index, Length &length, quint64 &unitWidth) const
        {
            const std::optional<quint64> offset = offsetOf(index);
            const int kind = offset ? m_data[*offset] >> 4 : -1;
            if (kind != KindAscii && kind != KindUtf16)
                return false;
            unitWidth = kind == KindUtf16 ? 2 : 1;
            return readExtent(*offset, unitWidth, length);
        }
        std::optional<std::pair<Length, quint64>> textUnitsAt(quint64 index) const
        {
            Length length;
            quint64 unitWidth = 0;
            return readTextUnits(index, length, unitWidth) ? std::optional(std::pair(length, unitWidth)) : std::nullopt;
        }

        const uchar *m_data = nullptr;
        Trailer m_trailer;
    };
    class Layout;
    class Walker;
    class Builder;

    Document() = default;
    Status readTrailer();
    Area area() const
    {
        return Area{reinterpret_cast<const uchar *>(m_bytes.constData()), m_trailer};
    }
    // The references of a container past its keys.
    Elements elementsAt(quint64 firstReference, quint64 keyCount, quint64 referenceCount) const
    {
        Elements elements;
        if (referenceCount == 0)
            return elements;
        elements.m_width = m_trailer.referenceWidth;
        elements.m_count = referenceCount - keyCount;
        elements.m_first = reinterpret_cast<const uchar *>(m_bytes.constData()) + firstReference +
                           keyCount * quint64(m_trailer.referenceWidth);
        return elements;
    }

    QByteArray m_bytes;
    quint64 m_topObject = 0;
    Trailer m_trailer;
};

// Encodes a value. Equal texts are written once; dictionaries keep their keys' order.
Result<QByteArray> serialize(const QVariant &root);

// Writes a binary property list object by object, for writers that keep their values in a form of
// their own; serialize writes through it too, so the same values give the same bytes either way.
// Objects are numbered in the order written, and a container names objects written before it.
class Encoder final
{
public:
    // Takes the list's bytes piece by piece, in order; answers false when it could not.
    using Sink = std::function<bool(const char *bytes, qsizetype count)>;

    // At least as many objects as will be written: it fixes the width of references.
    explicit Encoder(quint64 objectBound);
    ~Encoder();
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    // The objects a value is written as, at most (equal texts are written once).
    static quint64 objectsIn(const QVariant &value);
    // The width in bytes of the references of a list written for so many objects at most.
    static int referenceWidthFor(quint64 objectBound);

    Result<quint64> writeValue(const QVariant &value);
    Result<quint64> writeText(const QString &text);
    // A text the caller knows to equal no other text written through this encoder, before or after:
    // written without looking it up or keeping it.
    Result<quint64> writeDistinctText(const QString &text);
    // The same for a text given as its UTF-8 bytes, which must be valid UTF-8: an ASCII text is
    // copied as it stands, with no text built.
    Result<quint64> writeDistinctUtf8(QByteArrayView utf8);
    quint64 writeUid(quint64 value);
    // A UID for each value, then the array of those UIDs: the array's object.
    quint64 writeUidArray(std::span<const quint64> values);
    quint64 writeArray(const std::vector<quint64> &references);
    // The same for references that fit 32 bits, for a caller holding many of them.
    quint64 writeArray32(std::span<const quint32> references);
    // The keys' objects, then the values' objects in the same order.
    quint64 writeDictionary(const std::vector<quint64> &keysThenValues);
    // The whole list, with the given object at its top. Ends the encoder. After streamTo, the list
    // went to the sink instead and nothing is answered.
    QByteArray finish(quint64 topObject);
    // Sends the list to the sink a piece at a time as it is written, rather than keeping it whole;
    // called before anything else is written.
    void streamTo(Sink sink);
    // Whether the sink refused a piece: the list it holds is then not whole.
    bool hasSinkFailed() const;

private:
    class Writer;
    std::unique_ptr<Writer> m_writer;
};

} // namespace platform::binaryplist
