#pragma once

#include "platform/foundation/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QVariant>
#include <QtEndian>

#include <functional>
#include <memory>
#include <optional>
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
    Shape shapeOf(quint64 object) const;
    // The value of a leaf as parse gives it; a reference reads as a PropertyListUid.
    Result<QVariant> leafAt(quint64 object) const;
    // The whole value of any object, containers built with everything in them once the references
    // below them are checked.
    Result<QVariant> valueAt(quint64 object) const;
    // The number an archive reference holds; nullopt for any other object.
    std::optional<quint64> uidAt(quint64 object) const;
    // The bytes of a text kept one byte per character, all of them ASCII, read in place (valid while
    // the document lives): they are the text's UTF-8 too. Nullopt for any other object.
    std::optional<QByteArrayView> asciiTextAt(quint64 object) const;
    // The objects an array names, or a dictionary's values, read in place; valid while the
    // document lives. The numbers are as the file holds them: a call given one the file lacks fails.
    class Elements final
    {
    public:
        quint64 size() const { return m_count; }
        // The object at a position below size().
        quint64 at(quint64 position) const { return readBigEndian(m_first + position * quint64(m_width), m_width); }

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
    std::optional<Elements> arrayElementsOf(quint64 object) const;
    // A dictionary's key objects and value objects, slot by slot, read in place with one look at
    // the dictionary; nullopt for any other object.
    struct Slots
    {
        Elements keys;
        Elements values;
    };
    std::optional<Slots> slotsOf(quint64 dictionary) const;
    // Whether the object is a text equal to the given one, compared in place.
    bool isText(quint64 object, const QString &text) const;
    // The value of a dictionary under a key; nullopt when it has none or is no dictionary.
    std::optional<quint64> valueForKey(quint64 dictionary, const QString &key) const;
    // The same, for a reader that asks many dictionaries for one key: knownKey names an object
    // found before to hold the key's text (or no object at all), and a slot naming that object
    // matches without comparing texts. A match found by its text is kept there.
    std::optional<quint64> valueForKey(quint64 dictionary, const QString &key, quint64 &knownKey) const;

private:
    class Layout;
    class Walker;
    class Builder;

    Document() = default;
    Status readTrailer();
    Elements elementsAt(quint64 firstReference, quint64 keyCount, quint64 referenceCount) const;

    QByteArray m_bytes;
    quint64 m_topObject = 0;
    quint64 m_objectCount = 0;
    quint64 m_offsetTable = 0;
    int m_offsetWidth = 0;
    int m_referenceWidth = 0;
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

    Result<quint64> writeValue(const QVariant &value);
    Result<quint64> writeText(const QString &text);
    // A text the caller knows to equal no other text written through this encoder, before or after:
    // written without looking it up or keeping it.
    Result<quint64> writeDistinctText(const QString &text);
    // The same for a text given as its UTF-8 bytes, which must be valid UTF-8: an ASCII text is
    // copied as it stands, with no text built.
    Result<quint64> writeDistinctUtf8(QByteArrayView utf8);
    quint64 writeUid(quint64 value);
    quint64 writeArray(const std::vector<quint64> &references);
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
