#include "platform/foundation/PropertyListBinary.h"

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TextNumbering.h"
#include "platform/foundation/Values.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace platform::binaryplist {

namespace {

constexpr qint64 kTrailerBytes = 32;
constexpr qint64 kHeaderBytes = 8;
constexpr qint64 kReferenceDateMs = kPropertyListReferenceDateMs;

Error malformed(const QString &message)
{
    return Error(ErrorCode::DataMalformed, message);
}

// The narrowest of 1, 2, 4 and 8 bytes that holds the value.
int widthFor(quint64 value)
{
    if (value <= 0xFF)
        return 1;
    if (value <= 0xFFFF)
        return 2;
    if (value <= 0xFFFFFFFFULL)
        return 4;
    return 8;
}

// Offsets and references take any width from 1 to 8 bytes.
int packedWidthFor(quint64 value)
{
    int width = 1;
    while (width < 8 && (value >> (8 * width)) != 0)
        ++width;
    return width;
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar character) { return character.unicode() < 0x80; });
}

} // namespace

// ---- Reading ----

// Where every object lies and what it holds. Every read is checked against the object area, so
// damaged or hostile input fails cleanly instead of reading past the bytes.
class Document::Layout final : public Document::Area
{
public:
    explicit Layout(const Document &document) : Area(document.area()) {}

    quint64 objectCount() const { return m_trailer.objectCount; }

    Error badObject(quint64 index, const char *problem) const
    {
        return malformed(QStringLiteral("binary property list object %1 %2").arg(index).arg(QLatin1String(problem)));
    }

    Result<Length> extentAt(quint64 index, quint64 offset, quint64 unitWidth) const
    {
        if (const std::optional<Length> length = extentOf(offset, unitWidth))
            return *length;
        return badObject(index, lengthOf(offset) ? "runs past the object area" : "has a bad length");
    }

    Result<quint64> objectOffset(quint64 index) const
    {
        if (const std::optional<quint64> offset = offsetOf(index))
            return *offset;
        if (index >= m_trailer.objectCount)
            return malformed(QStringLiteral("binary property list has no object %1").arg(index));
        return badObject(index, "lies outside the object area");
    }

    Result<Container> containerAt(quint64 index) const
    {
        if (const std::optional<Container> container = containerOf(index))
            return *container;
        const Result<quint64> offset = objectOffset(index);
        if (!offset)
            return offset.error();
        const quint64 multiple = (m_data[*offset] >> 4) == KindDictionary ? 2 : 1;
        return extentAt(index, *offset, quint64(m_trailer.referenceWidth) * multiple).error();
    }

    // Dictionary keys must be texts without a NUL inside.
    Status checkKey(quint64 index) const
    {
        const auto units = textUnitsAt(index);
        if (!units)
            return malformed(QStringLiteral("binary property list has a dictionary key that is not a text"));
        const auto &[length, unitWidth] = *units;
        for (quint64 unit = 0; unit < length.count; ++unit) {
            const uchar *bytes = m_data + length.contentStart + unit * unitWidth;
            if (bytes[0] == 0 && (unitWidth == 1 || bytes[1] == 0))
                return malformed(QStringLiteral("binary property list has a dictionary key with a NUL inside"));
        }
        return success();
    }

    // Whether the object is a text equal to the given one, compared in place.
    bool textEquals(quint64 index, const QString &text) const
    {
        const auto units = textUnitsAt(index);
        if (!units || units->first.count != quint64(text.size()))
            return false;
        const auto &[length, unitWidth] = *units;
        const uchar *bytes = m_data + length.contentStart;
        for (const QChar character : text) {
            const char16_t unit = unitWidth == 1 ? char16_t(bytes[0]) : char16_t((bytes[0] << 8) | bytes[1]);
            if (unit != character.unicode())
                return false;
            bytes += unitWidth;
        }
        return true;
    }

    quint64 referenceAt(const Container &container, quint64 slot) const
    {
        return readBigEndianFollowed(m_data + container.firstReference + slot * quint64(m_trailer.referenceWidth),
                                    m_trailer.referenceWidth);
    }

    Result<QVariant> integerAt(quint64 index, quint64 offset) const
    {
        const int exponent = m_data[offset] & 0x0F;
        if (exponent > 4)
            return badObject(index, "is an integer of unknown width");
        const int width = 1 << exponent;
        if (offset + 1 + quint64(width) > m_trailer.offsetTable)
            return badObject(index, "runs past the object area");
        // Sixteen-byte integers carry the value in their low half; widths below eight are unsigned.
        const int used = std::min(width, 8);
        return QVariant(qint64(readBigEndian(m_data + offset + 1 + (width - used), used)));
    }

    Result<double> realAt(quint64 index, quint64 offset) const
    {
        const int exponent = m_data[offset] & 0x0F;
        if (exponent != 2 && exponent != 3)
            return badObject(index, "is a real of unknown width");
        double real = 0;
        if (!readReal(offset, real))
            return badObject(index, "runs past the object area");
        return real;
    }

    // The real at the offset into the caller's number, with no error built; false when its width is
    // unknown or it runs past the object area.
    bool readReal(quint64 offset, double &real) const
    {
        const int exponent = m_data[offset] & 0x0F;
        if (exponent != 2 && exponent != 3)
            return false;
        const int width = 1 << exponent;
        if (offset + 1 + quint64(width) > m_trailer.offsetTable)
            return false;
        const quint64 bits = readBigEndian(m_data + offset + 1, width);
        if (width == 4) {
            float narrowReal = 0;
            const quint32 narrow = quint32(bits);
            std::memcpy(&narrowReal, &narrow, sizeof narrowReal);
            real = double(narrowReal);
            return true;
        }
        std::memcpy(&real, &bits, sizeof real);
        return true;
    }

    Result<QVariant> dateAt(quint64 index, quint64 offset) const
    {
        const Result<double> seconds = realAt(index, offset);
        if (!seconds)
            return seconds.error();
        const std::optional<qint64> msecs = msecsOfReferenceSeconds(*seconds);
        if (!msecs)
            return badObject(index, "is not a readable date");
        return QVariant(QDateTime::fromMSecsSinceEpoch(*msecs, Qt::UTC));
    }

    Result<QString> textAt(quint64 index, quint64 offset, int kind) const
    {
        const Result<Length> length = extentAt(index, offset, kind == KindUtf16 ? 2 : 1);
        if (!length)
            return length.error();
        const char *start = reinterpret_cast<const char *>(m_data + length->contentStart);
        if (kind == KindAscii)
            return QString::fromLatin1(start, qsizetype(length->count));
        QString text(qsizetype(length->count), Qt::Uninitialized);
        qFromBigEndian<quint16>(start, qsizetype(length->count), text.data());
        return text;
    }

    Result<QVariant> dataAt(quint64 index, quint64 offset) const
    {
        const Result<Length> length = extentAt(index, offset, 1);
        if (!length)
            return length.error();
        return QVariant(QByteArray(reinterpret_cast<const char *>(m_data + length->contentStart), qsizetype(length->count)));
    }

    Result<QVariant> simpleAt(quint64 index, quint64 offset) const
    {
        switch (m_data[offset]) {
        case 0x08:
            return QVariant(false);
        case 0x09:
            return QVariant(true);
        default:
            return badObject(index, "is of unknown type");
        }
    }

    Result<QVariant> leafAt(quint64 index) const
    {
        const Result<quint64> offset = objectOffset(index);
        if (!offset)
            return offset.error();
        switch (m_data[*offset] >> 4) {
        case KindSimple:
            return simpleAt(index, *offset);
        case KindInteger:
            return integerAt(index, *offset);
        case KindReal: {
            const Result<double> real = realAt(index, *offset);
            return real ? Result<QVariant>(QVariant(*real)) : Result<QVariant>(real.error());
        }
        case KindDate:
            return dateAt(index, *offset);
        case KindData:
            return dataAt(index, *offset);
        case KindAscii:
        case KindUtf16: {
            Result<QString> text = textAt(index, *offset, m_data[*offset] >> 4);
            return text ? Result<QVariant>(QVariant(std::move(text).value())) : Result<QVariant>(text.error());
        }
        case KindUid: {
            const std::optional<quint64> uid = uidAt(*offset);
            return uid ? Result<QVariant>(QVariant::fromValue(PropertyListUid{*uid}))
                       : Result<QVariant>(badObject(index, "is a reference of unknown width"));
        }
        default:
            return badObject(index, "is of unknown type");
        }
    }

};

// Checks the reference graph: every offset and reference lies inside the file, the graph has no
// cycle, nests no deeper than the limit and expands to a bounded number of nodes.
class Document::Walker final
{
public:
    explicit Walker(const Layout &layout)
        : m_layout(layout)
    {
    }

    // Depth-first over the reference graph with an explicit stack.
    Status walk(quint64 top)
    {
        m_state.assign(size_t(m_layout.objectCount()), Unseen);
        m_height.assign(size_t(m_layout.objectCount()), 0);
        m_expanded.assign(size_t(m_layout.objectCount()), 0);
        if (Status opened = open(top); !opened)
            return opened;
        while (!m_stack.empty()) {
            Frame &frame = m_stack.back();
            if (frame.nextSlot < frame.container.referenceCount) {
                if (Status descended = descend(frame); !descended)
                    return descended;
                continue;
            }
            if (Status closed = close(frame); !closed)
                return closed;
            m_stack.pop_back();
        }
        return success();
    }

private:
    enum : quint8 { Unseen, Open, Done };

    struct Frame final
    {
        quint64 index;
        Layout::Container container;
        quint64 nextSlot;
    };

    Status open(quint64 index)
    {
        const Result<Layout::Container> container = m_layout.containerAt(index);
        if (!container)
            return container.error();
        m_state[index] = Open;
        m_stack.push_back(Frame{index, *container, 0});
        return success();
    }

    // Takes the next child of the innermost open container: checks it and opens it when it is a
    // container not seen before.
    Status descend(Frame &frame)
    {
        const quint64 slot = frame.nextSlot++;
        const quint64 child = m_layout.referenceAt(frame.container, slot);
        if (child >= m_layout.objectCount())
            return malformed(QStringLiteral("binary property list refers to object %1 of %2").arg(child).arg(m_layout.objectCount()));
        if (slot < frame.container.keyCount) {
            if (Status key = m_layout.checkKey(child); !key)
                return key;
        }
        if (m_state[child] == Open)
            return malformed(QStringLiteral("binary property list object %1 contains itself").arg(child));
        if (m_state[child] == Done)
            return success();
        if (m_stack.size() >= size_t(kMaxNestingDepth))
            return malformed(QStringLiteral("binary property list nests deeper than %1 levels").arg(kMaxNestingDepth));
        return open(child);
    }

    // Closes a container whose children are all done: its height and expanded size follow from
    // theirs, so shared subtrees are measured once.
    Status close(const Frame &frame)
    {
        int childHeight = 0;
        quint64 total = 1;
        for (quint64 slot = 0; slot < frame.container.referenceCount; ++slot) {
            const quint64 child = m_layout.referenceAt(frame.container, slot);
            childHeight = std::max(childHeight, m_height[child]);
            total += m_expanded[child];
            if (total > kMaxExpandedObjects)
                return malformed(QStringLiteral("binary property list expands past %1 objects").arg(kMaxExpandedObjects));
        }
        if (childHeight + 1 > kMaxNestingDepth)
            return malformed(QStringLiteral("binary property list nests deeper than %1 levels").arg(kMaxNestingDepth));
        m_height[frame.index] = childHeight + 1;
        m_expanded[frame.index] = total;
        m_state[frame.index] = Done;
        return success();
    }

    const Layout &m_layout;
    std::vector<quint8> m_state;
    std::vector<int> m_height;
    std::vector<quint64> m_expanded;
    std::vector<Frame> m_stack;
};

// Builds whole values; the walk has checked every reference and the nesting, so its recursion is
// bounded.
class Document::Builder final
{
public:
    explicit Builder(const Layout &layout)
        : m_layout(layout)
    {
    }

    Result<QVariant> valueAt(quint64 index)
    {
        const Result<Layout::Container> container = m_layout.containerAt(index);
        if (!container)
            return container.error();
        if (container->kind == KindDictionary)
            return dictionaryAt(*container);
        if (container->kind == KindArray || container->kind == KindSet)
            return listAt(*container);
        return m_layout.leafAt(index);
    }

private:
    // Dictionary keys repeat in every record; each is decoded once and shared.
    Result<QString> keyAt(quint64 index)
    {
        if (m_keys.empty())
            m_keys.resize(size_t(m_layout.objectCount()));
        QString &cached = m_keys[size_t(index)];
        if (!cached.isNull())
            return cached;
        const quint64 offset = *m_layout.objectOffset(index);
        Result<QString> text = m_layout.textAt(index, offset, m_layout.kindAt(index));
        if (text)
            cached = *text;
        return text;
    }

    Result<QVariant> listAt(const Layout::Container &container)
    {
        QVariantList list;
        list.reserve(qsizetype(container.referenceCount));
        for (quint64 slot = 0; slot < container.referenceCount; ++slot) {
            Result<QVariant> item = valueAt(m_layout.referenceAt(container, slot));
            if (!item)
                return item;
            list.append(std::move(item).value());
        }
        return QVariant(std::move(list));
    }

    Result<QVariant> dictionaryAt(const Layout::Container &container)
    {
        QVariantMap map;
        for (quint64 slot = 0; slot < container.keyCount; ++slot) {
            const Result<QString> key = keyAt(m_layout.referenceAt(container, slot));
            if (!key)
                return key.error();
            Result<QVariant> value = valueAt(m_layout.referenceAt(container, slot + container.keyCount));
            if (!value)
                return value;
            // Writers store keys sorted, so the end is nearly always the right place.
            map.insert(map.cend(), *key, std::move(value).value());
        }
        return QVariant(std::move(map));
    }

    const Layout &m_layout;
    std::vector<QString> m_keys;
};

Result<Document> Document::open(const QByteArray &bytes)
{
    const qint64 length = bytes.size();
    if (length < kHeaderBytes + kTrailerBytes)
        return Error(ErrorCode::DataTruncated, QStringLiteral("binary property list of %1 bytes is too short").arg(length));
    if (std::memcmp(bytes.constData(), "bplist00", kHeaderBytes) != 0)
        return malformed(QStringLiteral("binary property list has an unknown header"));
    Document document;
    document.m_bytes = bytes;
    if (Status trailer = document.readTrailer(); !trailer)
        return trailer.error();
    return document;
}

Status Document::readTrailer()
{
    const uchar *trailer = reinterpret_cast<const uchar *>(m_bytes.constData()) + m_bytes.size() - kTrailerBytes;
    m_trailer.offsetWidth = trailer[6];
    m_trailer.referenceWidth = trailer[7];
    m_trailer.objectCount = readBigEndian(trailer + 8, 8);
    m_topObject = readBigEndian(trailer + 16, 8);
    m_trailer.offsetTable = readBigEndian(trailer + 24, 8);
    // Writers pick the narrowest width that holds the largest offset, so 3, 5, 6 and 7 occur too.
    const auto validWidth = [](int width) { return width >= 1 && width <= 8; };
    if (!validWidth(m_trailer.offsetWidth) || !validWidth(m_trailer.referenceWidth))
        return malformed(QStringLiteral("binary property list has invalid integer widths"));
    const quint64 tableLimit = quint64(m_bytes.size() - kTrailerBytes);
    if (m_trailer.objectCount == 0 || m_trailer.objectCount > tableLimit || m_topObject >= m_trailer.objectCount)
        return malformed(QStringLiteral("binary property list declares %1 objects").arg(m_trailer.objectCount));
    if (m_trailer.offsetTable < quint64(kHeaderBytes) || m_trailer.offsetTable > tableLimit ||
        m_trailer.objectCount > (tableLimit - m_trailer.offsetTable) / quint64(m_trailer.offsetWidth)) {
        return malformed(QStringLiteral("binary property list offset table lies outside the file"));
    }
    return success();
}

Result<QVariant> Document::leafAt(quint64 object) const
{
    return Layout(*this).leafAt(object);
}

Result<QVariant> Document::valueAt(quint64 object) const
{
    const Layout layout(*this);
    const int kind = layout.kindAt(object);
    if (kind != KindArray && kind != KindSet && kind != KindDictionary)
        return layout.leafAt(object);
    // The value is built by recursion over references: they are checked first, all of them.
    if (Status walked = checkReferencesBelow(object); !walked)
        return walked.error();
    return Builder(layout).valueAt(object);
}

Status Document::checkReferencesBelow(quint64 object) const
{
    return Walker(Layout(*this)).walk(object);
}

bool Document::readReal(quint64 object, double &real) const
{
    const Layout layout(*this);
    const std::optional<quint64> offset = layout.offsetOf(object);
    return offset && (layout.m_data[*offset] >> 4) == KindReal && layout.readReal(*offset, real);
}

Document::Elements Document::elementsOf(quint64 container) const
{
    const std::optional<Layout::Container> found = Layout(*this).containerOf(container);
    if (!found)
        return Elements();
    return elementsAt(found->firstReference, found->keyCount, found->referenceCount);
}

bool Document::isText(quint64 object, const QString &text) const
{
    return Layout(*this).textEquals(object, text);
}


std::optional<quint64> Document::valueForKey(quint64 dictionary, const QString &key) const
{
    quint64 noObject = std::numeric_limits<quint64>::max();
    return valueForKey(dictionary, key, noObject);
}

std::optional<quint64> Document::valueForKey(quint64 dictionary, const QString &key, quint64 &knownKey) const
{
    const Layout layout(*this);
    const std::optional<Layout::Container> found = layout.containerOf(dictionary);
    if (!found || found->kind != KindDictionary)
        return std::nullopt;
    for (quint64 slot = 0; slot < found->keyCount; ++slot) {
        const quint64 keyObject = layout.referenceAt(*found, slot);
        if (keyObject == knownKey)
            return layout.referenceAt(*found, slot + found->keyCount);
        if (layout.textEquals(keyObject, key)) {
            knownKey = keyObject;
            return layout.referenceAt(*found, slot + found->keyCount);
        }
    }
    return std::nullopt;
}

namespace {

// ---- Writing ----

template <typename T>
const T &held(const QVariant &value)
{
    return *static_cast<const T *>(value.constData());
}

// The bytes being written, grown by half again and filled in place: a long list is written a few
// bytes at a time hundreds of thousands of times, and a QByteArray append per piece costs more
// than the piece.
class OutputBuffer final
{
public:
    qint64 size() const { return m_passed + m_used; }
    // From now on the bytes go to the sink whenever a piece of them is ready, and are not kept.
    void streamTo(Encoder::Sink sink)
    {
        m_sink = std::move(sink);
        noteRoom();
    }
    bool hasSinkFailed() const { return m_hasSinkFailed; }
    // Room for exactly count more bytes, where the writer knows all that is left to write and keeps
    // the list whole; a streamed list passes its pieces on instead.
    void reserveRest(qsizetype count)
    {
        if (!m_sink && m_used + count > m_bytes.size())
            m_bytes.resize(m_used + count);
        noteRoom();
    }
    // Room for count more bytes, which the caller fills at once. The test of the room is all that
    // most calls do, and stays small enough to be inlined where bytes are written.
    char *extend(qsizetype count)
    {
        if (m_used + count > m_room)
            makeRoom(count);
        char *out = m_data + m_used;
        m_used += count;
        return out;
    }
    void append(char byte) { *extend(1) = byte; }
    void append(const char *bytes, qsizetype count)
    {
        if (count > 0)
            std::memcpy(extend(count), bytes, size_t(count));
    }
    // All the bytes; nothing when they went to a sink, which then has them all.
    QByteArray take()
    {
        if (m_sink)
            pass();
        m_bytes.truncate(m_used);
        m_used = 0;
        m_data = nullptr;
        m_room = 0;
        return std::move(m_bytes);
    }

private:
    static constexpr qsizetype kStreamedPieceBytes = 256 * 1024;

    // A streamed list passes its piece on once it would pass the piece's size; a buffer too small
    // grows. A single extend larger than a piece is passed on by the next one.
    Q_DECL_COLD_FUNCTION void makeRoom(qsizetype count)
    {
        if (m_sink && m_used + count > kStreamedPieceBytes)
            pass();
        if (m_used + count > m_bytes.size())
            m_bytes.resize(std::max<qsizetype>(m_bytes.size() + m_bytes.size() / 2, m_used + count + 1024));
        noteRoom();
    }

    // The room extend may fill without a look at the buffer or the sink.
    void noteRoom()
    {
        m_data = m_bytes.data();
        m_room = m_sink ? std::min(m_bytes.size(), kStreamedPieceBytes) : m_bytes.size();
    }

    void pass()
    {
        if (m_used > 0 && !m_hasSinkFailed)
            m_hasSinkFailed = !m_sink(m_bytes.constData(), m_used);
        m_passed += m_used;
        m_used = 0;
    }

    QByteArray m_bytes;
    // The buffer's bytes, and how many of them extend may fill before it looks again.
    char *m_data = nullptr;
    qsizetype m_room = 0;
    qsizetype m_used = 0;
    qint64 m_passed = 0;
    Encoder::Sink m_sink;
    bool m_hasSinkFailed = false;
};

// The offset of each object written, kept as the gap from the offset before it in 7-bit groups
// (the low group first, a set high bit where another follows). Objects are written one after
// another, so offsets only grow and the gap is the size of the object before: nearly always under
// 128 bytes, one byte an object, where holding the offsets themselves took four. A graph's archive
// of ten thousand entries numbers over half a million objects, whose table is kept until the end.
class ObjectOffsets final
{
public:
    // Room for this many objects of under 128 bytes.
    void reserve(size_t count) { m_gaps.reserve(count); }
    size_t size() const { return m_count; }
    // The offset must not be below the one pushed before it.
    void push(quint64 offset)
    {
        Q_ASSERT(offset >= m_last);
        quint64 gap = offset - m_last;
        m_last = offset;
        ++m_count;
        while (gap >= 0x80) {
            m_gaps.push_back(char(quint8(gap) | 0x80));
            gap >>= 7;
        }
        m_gaps.push_back(char(gap));
    }
    template <typename Visit>
    void forEach(const Visit &visit) const
    {
        quint64 offset = 0;
        quint64 gap = 0;
        int shift = 0;
        for (const char byte : m_gaps) {
            gap |= quint64(quint8(byte) & 0x7F) << shift;
            shift += 7;
            if ((quint8(byte) & 0x80) != 0)
                continue;
            offset += gap;
            visit(offset);
            gap = 0;
            shift = 0;
        }
    }

private:
    std::vector<char> m_gaps;
    size_t m_count = 0;
    quint64 m_last = 0;
};

void putBigEndian(char *out, quint64 value, int width)
{
    for (int index = width - 1; index >= 0; --index) {
        out[index] = char(value & 0xFF);
        value >>= 8;
    }
}

} // namespace

// Writes objects children first, so every reference is known when its container is written.
class Encoder::Writer final
{
public:
    explicit Writer(quint64 objectBound)
        : m_referenceWidth(packedWidthFor(objectBound))
    {
        m_offsets.reserve(size_t(std::min<quint64>(objectBound, kMaxExpandedObjects)));
        m_output.append("bplist00", kHeaderBytes);
    }

    OutputBuffer &output() { return m_output; }

    QByteArray finish(quint64 top)
    {
        m_texts = {};
        const quint64 offsetTable = quint64(m_output.size());
        const int offsetWidth = packedWidthFor(offsetTable);
        // The offset table and the trailer: 6 unused bytes, 2 widths and three 8-byte numbers.
        m_output.reserveRest(qsizetype(m_offsets.size()) * offsetWidth + 32);
        writeOffsetTable(offsetWidth);
        std::memset(m_output.extend(6), 0, 6);
        m_output.append(char(offsetWidth));
        m_output.append(char(m_referenceWidth));
        appendBigEndian(m_offsets.size(), 8);
        appendBigEndian(top, 8);
        appendBigEndian(offsetTable, 8);
        m_offsets = {};
        return m_output.take();
    }

    // The offset table a piece at a time, so that a streamed list passes it on as it fills rather
    // than holding the whole table at once.
    void writeOffsetTable(int offsetWidth)
    {
        constexpr size_t kOffsetsPerPiece = 16 * 1024;
        size_t left = m_offsets.size();
        size_t leftInPiece = 0;
        char *out = nullptr;
        m_offsets.forEach([&](quint64 offset) {
            if (leftInPiece == 0) {
                leftInPiece = std::min(left, kOffsetsPerPiece);
                left -= leftInPiece;
                out = m_output.extend(qsizetype(leftInPiece) * offsetWidth);
            }
            putBigEndian(out, offset, offsetWidth);
            out += offsetWidth;
            --leftInPiece;
        });
    }

    // At least as many objects as will be written (equal texts are written once), which fixes the
    // width of references before the first container is written.
    static quint64 countObjects(const QVariant &value, int depth)
    {
        if (depth > kMaxNestingDepth)
            return 1;
        switch (value.typeId()) {
        case QMetaType::QVariantList: {
            quint64 count = 1;
            for (const QVariant &item : held<QVariantList>(value))
                count += countObjects(item, depth + 1);
            return count;
        }
        case QMetaType::QStringList:
            return 1 + quint64(held<QStringList>(value).size());
        case QMetaType::QVariantMap: {
            quint64 count = 1;
            const QVariantMap &map = held<QVariantMap>(value);
            for (auto entry = map.cbegin(); entry != map.cend(); ++entry)
                count += 1 + countObjects(entry.value(), depth + 1);
            return count;
        }
        case QMetaType::QVariantHash:
            return countObjects(value.toMap(), depth);
        default:
            return 1;
        }
    }

    void appendBigEndian(quint64 value, int width) { putBigEndian(m_output.extend(width), value, width); }

    quint64 beginObject()
    {
        m_offsets.push(quint64(m_output.size()));
        return m_offsets.size() - 1;
    }

    // A marker with its element count, spilling into a following integer from 15 on.
    void appendMarker(int kind, quint64 count)
    {
        if (count < 0x0F) {
            m_output.append(char((kind << 4) | int(count)));
            return;
        }
        m_output.append(char((kind << 4) | 0x0F));
        const int width = widthFor(count);
        m_output.append(char((KindInteger << 4) | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
        appendBigEndian(count, width);
    }

    quint64 writeInteger(qint64 value)
    {
        const quint64 index = beginObject();
        // Negative values take all eight bytes, which readers take as signed.
        const int width = value < 0 ? 8 : widthFor(quint64(value));
        m_output.append(char((KindInteger << 4) | (width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3)));
        appendBigEndian(quint64(value), width);
        return index;
    }

    quint64 writeReal(int kind, double value)
    {
        const quint64 index = beginObject();
        quint64 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        m_output.append(char((kind << 4) | 0x3));
        appendBigEndian(bits, 8);
        return index;
    }

    quint64 writeBytes(int kind, const char *bytes, qsizetype count)
    {
        const quint64 index = beginObject();
        appendMarker(kind, quint64(count));
        m_output.append(bytes, count);
        return index;
    }

    // A distinct text is known to equal no other text written, so it is neither looked up nor kept.
    Result<quint64> writeText(const QString &text, bool isDistinct = false)
    {
        if (text.contains(QChar(u'\0')))
            return malformed(QStringLiteral("text \"%1\" holds a NUL character").arg(text.left(40)));
        const TextNumbering::Number number =
            isDistinct ? TextNumbering::Number{quint64(m_offsets.size()), true} : m_texts.numberOf(text, quint64(m_offsets.size()));
        if (!number.isNew)
            return number.value;
        if (isAscii(text)) {
            char *out = beginAscii(text.size());
            for (const QChar character : text)
                *out++ = char(character.unicode());
        } else {
            beginObject();
            appendMarker(KindUtf16, quint64(text.size()));
            qToBigEndian<quint16>(text.constData(), text.size(), m_output.extend(2 * text.size()));
        }
        return number.value;
    }

    // An ASCII text's object, with room for its characters, which the caller fills.
    char *beginAscii(qsizetype length)
    {
        beginObject();
        appendMarker(KindAscii, quint64(length));
        return m_output.extend(length);
    }

    Result<quint64> writeDistinctUtf8(QByteArrayView utf8)
    {
        if (utf8.contains('\0'))
            return malformed(QStringLiteral("text \"%1\" holds a NUL character").arg(QString::fromUtf8(utf8.first(std::min<qsizetype>(40, utf8.size())))));
        if (!std::all_of(utf8.begin(), utf8.end(), [](char byte) { return uchar(byte) < 0x80; }))
            return writeText(QString::fromUtf8(utf8), true);
        const quint64 index = quint64(m_offsets.size());
        char *out = beginAscii(utf8.size());
        if (!utf8.isEmpty())
            std::memcpy(out, utf8.data(), size_t(utf8.size()));
        return index;
    }

    Result<quint64> writeDate(const QDateTime &date)
    {
        if (!date.isValid())
            return malformed(QStringLiteral("invalid date"));
        const qint64 milliseconds = date.toMSecsSinceEpoch() - kReferenceDateMs;
        if (milliseconds < qint64(std::numeric_limits<int32_t>::min()) * 1000 ||
            milliseconds >= (qint64(std::numeric_limits<int32_t>::max()) + 1) * 1000)
            return malformed(QStringLiteral("date %1 lies outside 1933 to 2069").arg(date.toString(Qt::ISODate)));
        return writeReal(KindDate, double(milliseconds) / 1000.0);
    }

    quint64 writeUid(quint64 value)
    {
        const quint64 index = beginObject();
        const int width = widthFor(value);
        char *out = m_output.extend(1 + width);
        *out = char((KindUid << 4) | (width - 1));
        putBigEndian(out + 1, value, width);
        return index;
    }

    // A UID object for each value, then the array of them, whose references are the UIDs' objects
    // in order.
    quint64 writeUidArray(std::span<const quint64> values)
    {
        const quint64 first = quint64(m_offsets.size());
        for (const quint64 value : values)
            writeUid(value);
        return writeReferencesBy(KindArray, values.size(), values.size(), [first](size_t slot) { return first + slot; });
    }

    template <typename Reference>
    quint64 writeReferences(int kind, quint64 count, std::span<const Reference> references)
    {
        return writeReferencesBy(kind, count, references.size(), [references](size_t slot) { return quint64(references[slot]); });
    }

    // A container of count items whose references referenceAt(slot) gives.
    template <typename ReferenceAt>
    quint64 writeReferencesBy(int kind, quint64 count, size_t referenceCount, const ReferenceAt &referenceAt)
    {
        const quint64 index = beginObject();
        appendMarker(kind, count);
        char *out = m_output.extend(qsizetype(referenceCount) * m_referenceWidth);
        for (size_t slot = 0; slot < referenceCount; ++slot) {
            putBigEndian(out, referenceAt(slot), m_referenceWidth);
            out += m_referenceWidth;
        }
        return index;
    }

    Result<quint64> writeList(const QVariantList &list, int depth)
    {
        std::vector<quint64> references;
        references.reserve(size_t(list.size()));
        for (const QVariant &item : list) {
            const Result<quint64> child = writeValue(item, depth + 1);
            if (!child)
                return child;
            references.push_back(*child);
        }
        return writeReferences(KindArray, references.size(), std::span<const quint64>(references));
    }

    Result<quint64> writeDictionary(const QVariantMap &map, int depth)
    {
        std::vector<quint64> references(size_t(map.size()) * 2);
        size_t slot = 0;
        for (auto entry = map.cbegin(); entry != map.cend(); ++entry, ++slot) {
            if (entry.key().contains(QChar(u'\0')))
                return malformed(QStringLiteral("dictionary key \"%1\" holds a NUL character").arg(entry.key().left(40)));
            const Result<quint64> key = writeText(entry.key());
            const Result<quint64> child = key ? writeValue(entry.value(), depth + 1) : key;
            if (!child)
                return Error(child.error().withContext(QStringLiteral("key \"%1\"").arg(entry.key())));
            references[slot] = *key;
            references[slot + size_t(map.size())] = *child;
        }
        return writeReferences(KindDictionary, quint64(map.size()), std::span<const quint64>(references));
    }

    Result<quint64> writeIntegerValue(const QVariant &value)
    {
        if ((value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong) &&
            value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            return malformed(QStringLiteral("integer %1 does not fit a property list").arg(value.toULongLong()));
        return writeInteger(value.toLongLong());
    }

    Result<quint64> writeContainer(const QVariant &value, int depth)
    {
        switch (value.typeId()) {
        case QMetaType::QVariantList:
            return writeList(held<QVariantList>(value), depth);
        case QMetaType::QStringList:
            return writeList(value.toList(), depth);
        case QMetaType::QVariantMap:
            return writeDictionary(held<QVariantMap>(value), depth);
        default:
            return writeDictionary(value.toMap(), depth);
        }
    }

    Result<quint64> writeValue(const QVariant &value, int depth)
    {
        if (depth > kMaxNestingDepth)
            return malformed(QStringLiteral("value nests deeper than %1 levels").arg(kMaxNestingDepth));
        if (isIntegerType(value.typeId()))
            return writeIntegerValue(value);
        switch (value.typeId()) {
        case QMetaType::Bool: {
            const quint64 index = beginObject();
            m_output.append(value.toBool() ? char(0x09) : char(0x08));
            return index;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return writeReal(KindReal, value.toDouble());
        case QMetaType::QString:
            return writeText(held<QString>(value));
        case QMetaType::QByteArray: {
            const QByteArray &bytes = held<QByteArray>(value);
            return writeBytes(KindData, bytes.constData(), bytes.size());
        }
        case QMetaType::QDateTime:
            return writeDate(held<QDateTime>(value));
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return writeContainer(value, depth);
        default:
            break;
        }
        if (value.typeId() == qMetaTypeId<PropertyListUid>())
            return writeUid(value.value<PropertyListUid>().value);
        if (!value.isValid())
            return malformed(QStringLiteral("a property list cannot hold an empty value"));
        return malformed(QStringLiteral("a property list cannot hold a value of type %1").arg(QString::fromLatin1(value.typeName())));
    }

private:
    OutputBuffer m_output;
    ObjectOffsets m_offsets;
    TextNumbering m_texts;
    int m_referenceWidth = 1;
};

Encoder::Encoder(quint64 objectBound)
    : m_writer(std::make_unique<Writer>(objectBound))
{
}

Encoder::~Encoder() = default;

quint64 Encoder::objectsIn(const QVariant &value)
{
    return Writer::countObjects(value, 0);
}

int Encoder::referenceWidthFor(quint64 objectBound)
{
    return packedWidthFor(objectBound);
}

Result<quint64> Encoder::writeValue(const QVariant &value)
{
    return m_writer->writeValue(value, 0);
}

Result<quint64> Encoder::writeText(const QString &text)
{
    return m_writer->writeText(text);
}

Result<quint64> Encoder::writeDistinctText(const QString &text)
{
    return m_writer->writeText(text, true);
}

Result<quint64> Encoder::writeDistinctUtf8(QByteArrayView utf8)
{
    return m_writer->writeDistinctUtf8(utf8);
}

quint64 Encoder::writeUid(quint64 value)
{
    return m_writer->writeUid(value);
}

quint64 Encoder::writeUidArray(std::span<const quint64> values)
{
    return m_writer->writeUidArray(values);
}

quint64 Encoder::writeArray(const std::vector<quint64> &references)
{
    return m_writer->writeReferences(KindArray, references.size(), std::span<const quint64>(references));
}

quint64 Encoder::writeArray32(std::span<const quint32> references)
{
    return m_writer->writeReferences(KindArray, references.size(), references);
}

quint64 Encoder::writeDictionary(const std::vector<quint64> &keysThenValues)
{
    return m_writer->writeReferences(KindDictionary, keysThenValues.size() / 2, std::span<const quint64>(keysThenValues));
}

QByteArray Encoder::finish(quint64 topObject)
{
    return m_writer->finish(topObject);
}

void Encoder::streamTo(Sink sink)
{
    m_writer->output().streamTo(std::move(sink));
}

bool Encoder::hasSinkFailed() const
{
    return m_writer->output().hasSinkFailed();
}

bool isIntegerType(int typeId)
{
    return integerKindOfType(typeId) != IntegerKind::None;
}

Result<QVariant> parse(const QByteArray &bytes)
{
    const Result<Document> document = Document::open(bytes);
    if (!document)
        return document.error();
    return document->valueAt(document->topObject());
}

Result<QByteArray> serialize(const QVariant &root)
{
    Encoder encoder(Encoder::objectsIn(root));
    const Result<quint64> top = encoder.writeValue(root);
    if (!top)
        return top.error();
    return encoder.finish(*top);
}

} // namespace platform::binaryplist
