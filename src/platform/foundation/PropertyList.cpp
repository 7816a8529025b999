#include "platform/foundation/PropertyList.h"

#include "platform/foundation/FileIO.h"

#include <QDateTime>
#include <QStringList>

#include <plist/plist.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace platform {

namespace {

// Deeper nesting than this is refused before the property-list library sees it: the library walks
// trees recursively when it writes and frees them and overflows the stack on deep input.
constexpr int kMaxNestingDepth = 512;
// A binary property list may point at one object from many places; the library copies every
// reference, so a small file can expand into billions of nodes. Past this many nodes it is refused.
constexpr quint64 kMaxExpandedObjects = quint64(1) << 23;
// The library takes 32-bit lengths.
constexpr qsizetype kMaxInputBytes = qsizetype(256) * 1024 * 1024;
// 2001-01-01T00:00:00Z, the origin of property-list dates, in milliseconds since 1970.
constexpr qint64 kReferenceDateMs = 978307200000LL;
constexpr qint64 kBinaryTrailerBytes = 32;
constexpr qint64 kBinaryHeaderBytes = 8;

struct PlistFree final
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistNode = std::unique_ptr<void, PlistFree>;

Error malformed(const QString &message)
{
    return Error(ErrorCode::DataMalformed, message);
}

// ---- Checking raw input before the library parses it ----

bool isNameCharacter(char character)
{
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') || character == '-' || character == '_' || character == ':';
}

// Counts how deep <array> and <dict> elements nest. It over-counts rather than under-counts (tags
// inside comments count too), which only makes odd files fail, never lets a deep one through.
Status checkXmlNesting(const QByteArray &bytes)
{
    const char *text = bytes.constData();
    const qsizetype length = bytes.size();
    int depth = 0;
    for (qsizetype index = 0; index < length; ++index) {
        if (text[index] != '<')
            continue;
        const bool isClosing = index + 1 < length && text[index + 1] == '/';
        const qsizetype nameStart = index + (isClosing ? 2 : 1);
        qsizetype nameEnd = nameStart;
        while (nameEnd < length && isNameCharacter(text[nameEnd]))
            ++nameEnd;
        const QByteArray name = QByteArray::fromRawData(text + nameStart, nameEnd - nameStart);
        if (name != "array" && name != "dict")
            continue;
        if (isClosing) {
            depth = depth > 0 ? depth - 1 : 0;
            continue;
        }
        const qsizetype tagEnd = bytes.indexOf('>', nameEnd);
        if (tagEnd < 0)
            return malformed(QStringLiteral("XML property list ends inside a <%1> tag").arg(QString::fromLatin1(name)));
        if (text[tagEnd - 1] == '/')
            continue;
        if (++depth > kMaxNestingDepth)
            return malformed(QStringLiteral("XML property list nests deeper than %1 levels").arg(kMaxNestingDepth));
    }
    return success();
}

quint64 readBigEndian(const uchar *bytes, int width)
{
    quint64 value = 0;
    for (int index = 0; index < width; ++index)
        value = (value << 8) | bytes[index];
    return value;
}

// Walks the object table of a binary property list without building anything: every offset and
// reference must lie inside the file, the graph must have no cycle, nest no deeper than the limit
// and expand to a bounded number of nodes.
class BinaryPlistChecker final
{
public:
    explicit BinaryPlistChecker(const QByteArray &bytes)
        : m_data(reinterpret_cast<const uchar *>(bytes.constData())), m_length(bytes.size())
    {
    }

    Status check()
    {
        if (m_length < kBinaryHeaderBytes + kBinaryTrailerBytes)
            return Error(ErrorCode::DataTruncated, QStringLiteral("binary property list of %1 bytes is too short").arg(m_length));
        if (std::memcmp(m_data, "bplist00", kBinaryHeaderBytes) != 0)
            return malformed(QStringLiteral("binary property list has an unknown header"));
        if (Status trailer = readTrailer(); !trailer)
            return trailer;
        return walk();
    }

private:
    struct Container final
    {
        quint64 firstReference = 0;
        quint64 referenceCount = 0;
        // A dictionary's first references name its keys.
        quint64 keyCount = 0;
    };

    Status readTrailer()
    {
        const uchar *trailer = m_data + m_length - kBinaryTrailerBytes;
        m_offsetWidth = trailer[6];
        m_referenceWidth = trailer[7];
        m_objectCount = readBigEndian(trailer + 8, 8);
        m_topObject = readBigEndian(trailer + 16, 8);
        m_offsetTable = readBigEndian(trailer + 24, 8);
        // Writers pick the narrowest width that holds the largest offset, so 3, 5, 6 and 7 occur too.
        const auto validWidth = [](int width) { return width >= 1 && width <= 8; };
        if (!validWidth(m_offsetWidth) || !validWidth(m_referenceWidth))
            return malformed(QStringLiteral("binary property list has invalid integer widths"));
        const quint64 tableLimit = quint64(m_length - kBinaryTrailerBytes);
        if (m_objectCount == 0 || m_objectCount > tableLimit || m_topObject >= m_objectCount)
            return malformed(QStringLiteral("binary property list declares %1 objects").arg(m_objectCount));
        if (m_offsetTable < quint64(kBinaryHeaderBytes) || m_offsetTable > tableLimit ||
            m_objectCount > (tableLimit - m_offsetTable) / quint64(m_offsetWidth)) {
            return malformed(QStringLiteral("binary property list offset table lies outside the file"));
        }
        return success();
    }

    struct Length final
    {
        quint64 count = 0;
        quint64 contentStart = 0;
    };

    // The element count in an object's marker, or in the integer that follows it when the marker
    // holds 15.
    Result<Length> lengthAt(quint64 index, quint64 offset) const
    {
        const quint64 count = m_data[offset] & 0x0F;
        const quint64 position = offset + 1;
        if (count != 0x0F)
            return Length{count, position};
        if (position >= m_offsetTable || (m_data[position] >> 4) != 0x1)
            return malformed(QStringLiteral("binary property list object %1 has a bad length").arg(index));
        const int width = 1 << (m_data[position] & 0x0F);
        if (width > 8 || position + 1 + quint64(width) > m_offsetTable)
            return malformed(QStringLiteral("binary property list object %1 has a bad length").arg(index));
        return Length{readBigEndian(m_data + position + 1, width), position + 1 + quint64(width)};
    }

    Result<quint64> objectOffset(quint64 index) const
    {
        const quint64 offset = readBigEndian(m_data + m_offsetTable + index * quint64(m_offsetWidth), m_offsetWidth);
        if (offset < quint64(kBinaryHeaderBytes) || offset >= m_offsetTable)
            return malformed(QStringLiteral("binary property list object %1 lies outside the object area").arg(index));
        return offset;
    }

    // Arrays, sets and dictionaries refer to other objects; everything else is a leaf.
    Result<Container> containerAt(quint64 index) const
    {
        const Result<quint64> offset = objectOffset(index);
        if (!offset)
            return offset.error();
        const uchar marker = m_data[*offset];
        const int kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            return Container{};
        const Result<Length> length = lengthAt(index, *offset);
        if (!length)
            return length.error();
        const quint64 count = length->count;
        const quint64 position = length->contentStart;
        const quint64 references = kind == 0xD ? count * 2 : count;
        if (count > m_offsetTable || references > (m_offsetTable - position) / quint64(m_referenceWidth))
            return malformed(QStringLiteral("binary property list object %1 runs past the object area").arg(index));
        return Container{position, references, kind == 0xD ? count : 0};
    }

    // The library asserts, and so aborts the process, on a dictionary key with a NUL inside, so
    // keys must be texts without one.
    Status checkKey(quint64 index) const
    {
        const Result<quint64> offset = objectOffset(index);
        if (!offset)
            return offset.error();
        const uchar marker = m_data[*offset];
        const int kind = marker >> 4;
        if (kind != 0x5 && kind != 0x6)
            return malformed(QStringLiteral("binary property list has a dictionary key that is not a text"));
        const Result<Length> length = lengthAt(index, *offset);
        if (!length)
            return length.error();
        const quint64 count = length->count;
        const quint64 position = length->contentStart;
        const quint64 unitWidth = kind == 0x6 ? 2 : 1;
        if (count > (m_offsetTable - position) / unitWidth)
            return malformed(QStringLiteral("binary property list object %1 runs past the object area").arg(index));
        for (quint64 unit = 0; unit < count; ++unit) {
            const uchar *bytes = m_data + position + unit * unitWidth;
            if (bytes[0] == 0 && (unitWidth == 1 || bytes[1] == 0))
                return malformed(QStringLiteral("binary property list has a dictionary key with a NUL inside"));
        }
        return success();
    }

    quint64 referenceAt(const Container &container, quint64 slot) const
    {
        return readBigEndian(m_data + container.firstReference + slot * quint64(m_referenceWidth), m_referenceWidth);
    }

    // Depth-first over the reference graph with an explicit stack, remembering each finished
    // object's height and expanded size so that shared subtrees are measured once.
    Status walk()
    {
        enum : quint8 { Unseen, Open, Done };
        std::vector<quint8> state(m_objectCount, Unseen);
        std::vector<int> height(m_objectCount, 0);
        std::vector<quint64> expanded(m_objectCount, 0);
        struct Frame final
        {
            quint64 index;
            Container container;
            quint64 nextSlot;
        };
        std::vector<Frame> stack;
        const auto open = [&](quint64 index) -> Status {
            const Result<Container> container = containerAt(index);
            if (!container)
                return container.error();
            state[index] = Open;
            stack.push_back(Frame{index, *container, 0});
            return success();
        };
        if (Status opened = open(m_topObject); !opened)
            return opened;
        while (!stack.empty()) {
            Frame &frame = stack.back();
            if (frame.nextSlot < frame.container.referenceCount) {
                const quint64 slot = frame.nextSlot++;
                const quint64 child = referenceAt(frame.container, slot);
                if (child >= m_objectCount)
                    return malformed(QStringLiteral("binary property list refers to object %1 of %2").arg(child).arg(m_objectCount));
                if (slot < frame.container.keyCount) {
                    if (Status key = checkKey(child); !key)
                        return key;
                }
                if (state[child] == Open)
                    return malformed(QStringLiteral("binary property list object %1 contains itself").arg(child));
                if (state[child] == Done)
                    continue;
                if (stack.size() >= size_t(kMaxNestingDepth))
                    return malformed(QStringLiteral("binary property list nests deeper than %1 levels").arg(kMaxNestingDepth));
                if (Status opened = open(child); !opened)
                    return opened;
                continue;
            }
            int childHeight = 0;
            quint64 total = 1;
            for (quint64 slot = 0; slot < frame.container.referenceCount; ++slot) {
                const quint64 child = referenceAt(frame.container, slot);
                childHeight = std::max(childHeight, height[child]);
                total += expanded[child];
                if (total > kMaxExpandedObjects)
                    return malformed(QStringLiteral("binary property list expands past %1 objects").arg(kMaxExpandedObjects));
            }
            if (childHeight + 1 > kMaxNestingDepth)
                return malformed(QStringLiteral("binary property list nests deeper than %1 levels").arg(kMaxNestingDepth));
            height[frame.index] = childHeight + 1;
            expanded[frame.index] = total;
            state[frame.index] = Done;
            stack.pop_back();
        }
        return success();
    }

    const uchar *m_data;
    qint64 m_length;
    int m_offsetWidth = 0;
    int m_referenceWidth = 0;
    quint64 m_objectCount = 0;
    quint64 m_topObject = 0;
    quint64 m_offsetTable = 0;
};

// ---- Library nodes to Qt values ----

QDateTime dateFromReference(qint64 milliseconds)
{
    return QDateTime::fromMSecsSinceEpoch(kReferenceDateMs + milliseconds, Qt::UTC);
}

Result<QVariant> toVariant(plist_t node, int depth);

Result<QVariant> dictionaryToVariant(plist_t node, int depth)
{
    QVariantMap map;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    const std::unique_ptr<void, decltype(&std::free)> iteratorOwner(iterator, &std::free);
    const uint32_t size = plist_dict_get_size(node);
    for (uint32_t entry = 0; entry < size; ++entry) {
        char *rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &rawKey, &value);
        const std::unique_ptr<char, decltype(&std::free)> key(rawKey, &std::free);
        if (!rawKey || !value)
            break;
        Result<QVariant> converted = toVariant(value, depth + 1);
        if (!converted)
            return converted;
        map.insert(QString::fromUtf8(rawKey), std::move(converted).value());
    }
    // An XML keyed archive writes its references as {"CF$UID": n}.
    const auto uid = map.constFind(QStringLiteral("CF$UID"));
    if (map.size() == 1 && uid != map.constEnd() && uid->typeId() == QMetaType::LongLong && uid->toLongLong() >= 0)
        return QVariant::fromValue(PropertyListUid{quint64(uid->toLongLong())});
    return QVariant(map);
}

Result<QVariant> toVariant(plist_t node, int depth)
{
    if (depth > kMaxNestingDepth)
        return malformed(QStringLiteral("property list nests deeper than %1 levels").arg(kMaxNestingDepth));
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return QVariant(qint64(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *text = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(text, text ? qsizetype(length) : 0));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *bytes = plist_get_data_ptr(node, &length);
        return QVariant(QByteArray(bytes, bytes ? qsizetype(length) : 0));
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        // The library keeps a date as floating seconds: round to the millisecond, since truncating
        // turns .252 into .251 and a date read back would no longer equal the one written.
        return QVariant(dateFromReference(qint64(seconds) * 1000 + std::llround(microseconds / 1000.0)));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant::fromValue(PropertyListUid{value});
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t size = plist_array_get_size(node);
        list.reserve(size);
        for (uint32_t index = 0; index < size; ++index) {
            Result<QVariant> item = toVariant(plist_array_get_item(node, index), depth + 1);
            if (!item)
                return item;
            list.append(std::move(item).value());
        }
        return QVariant(list);
    }
    case PLIST_DICT:
        return dictionaryToVariant(node, depth);
    default:
        return malformed(QStringLiteral("property list holds an element of unknown type"));
    }
}

// ---- Qt values to library nodes ----

Result<PlistNode> toNode(const QVariant &value, int depth);

Result<PlistNode> integerNode(const QVariant &value)
{
    if (value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong) {
        const quint64 unsignedValue = value.toULongLong();
        if (unsignedValue > quint64(std::numeric_limits<qint64>::max()))
            return malformed(QStringLiteral("integer %1 does not fit a property list").arg(unsignedValue));
    }
    return PlistNode(plist_new_uint(quint64(value.toLongLong())));
}

Result<PlistNode> stringNode(const QString &text)
{
    if (text.contains(QChar(u'\0')))
        return malformed(QStringLiteral("text \"%1\" holds a NUL character").arg(text.left(40)));
    return PlistNode(plist_new_string(text.toUtf8().constData()));
}

Result<PlistNode> dateNode(const QDateTime &date)
{
    if (!date.isValid())
        return malformed(QStringLiteral("invalid date"));
    const qint64 milliseconds = date.toMSecsSinceEpoch() - kReferenceDateMs;
    const qint64 seconds = milliseconds >= 0 ? milliseconds / 1000 : -((-milliseconds + 999) / 1000);
    if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max())
        return malformed(QStringLiteral("date %1 lies outside 1933 to 2069").arg(date.toString(Qt::ISODate)));
    const qint64 microseconds = (milliseconds - seconds * 1000) * 1000;
    return PlistNode(plist_new_date(int32_t(seconds), int32_t(microseconds)));
}

Result<PlistNode> arrayNode(const QVariantList &list, int depth)
{
    PlistNode array(plist_new_array());
    for (const QVariant &item : list) {
        Result<PlistNode> child = toNode(item, depth + 1);
        if (!child)
            return child;
        plist_array_append_item(array.get(), child->release());
    }
    return array;
}

Result<PlistNode> dictionaryNode(const QVariantMap &map, int depth)
{
    PlistNode dictionary(plist_new_dict());
    for (auto entry = map.constBegin(); entry != map.constEnd(); ++entry) {
        if (entry.key().contains(QChar(u'\0')))
            return malformed(QStringLiteral("dictionary key \"%1\" holds a NUL character").arg(entry.key().left(40)));
        Result<PlistNode> child = toNode(entry.value(), depth + 1);
        if (!child)
            return Error(child.error().withContext(QStringLiteral("key \"%1\"").arg(entry.key())));
        plist_dict_set_item(dictionary.get(), entry.key().toUtf8().constData(), child->release());
    }
    return dictionary;
}

Result<PlistNode> toNode(const QVariant &value, int depth)
{
    if (depth > kMaxNestingDepth)
        return malformed(QStringLiteral("value nests deeper than %1 levels").arg(kMaxNestingDepth));
    switch (value.typeId()) {
    case QMetaType::Bool:
        return PlistNode(plist_new_bool(value.toBool() ? 1 : 0));
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Char:
        return integerNode(value);
    case QMetaType::Double:
    case QMetaType::Float:
        return PlistNode(plist_new_real(value.toDouble()));
    case QMetaType::QString:
        return stringNode(value.toString());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return PlistNode(plist_new_data(bytes.constData(), quint64(bytes.size())));
    }
    case QMetaType::QDateTime:
        return dateNode(value.toDateTime());
    // QVariant converts a text list to a list of texts and a hash to a sorted map itself.
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return arrayNode(value.toList(), depth);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return dictionaryNode(value.toMap(), depth);
    default:
        break;
    }
    if (value.typeId() == qMetaTypeId<PropertyListUid>())
        return PlistNode(plist_new_uid(value.value<PropertyListUid>().value));
    if (!value.isValid())
        return malformed(QStringLiteral("a property list cannot hold an empty value"));
    return malformed(QStringLiteral("a property list cannot hold a value of type %1").arg(QString::fromLatin1(value.typeName())));
}

} // namespace

Result<QVariant> parsePropertyList(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return Error(ErrorCode::DataTruncated, QStringLiteral("property list is empty"));
    if (bytes.size() > kMaxInputBytes)
        return malformed(QStringLiteral("property list of %1 bytes is too large").arg(bytes.size()));
    const bool isBinary = bytes.startsWith("bplist");
    if (!isBinary && bytes.contains('\0'))
        return malformed(QStringLiteral("XML property list holds a NUL byte"));
    const Status checked = isBinary ? BinaryPlistChecker(bytes).check() : checkXmlNesting(bytes);
    if (!checked)
        return checked.error();
    plist_t root = nullptr;
    if (isBinary)
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    else
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root)
        return malformed(isBinary ? QStringLiteral("binary property list cannot be read")
                                  : QStringLiteral("not a readable XML property list"));
    const PlistNode owner(root);
    return toVariant(root, 0);
}

Result<QByteArray> serializePropertyList(const QVariant &root, PropertyListFormat format)
{
    Result<PlistNode> node = toNode(root, 0);
    if (!node)
        return node.error();
    char *bytes = nullptr;
    uint32_t length = 0;
    if (format == PropertyListFormat::Binary) {
        plist_to_bin(node->get(), &bytes, &length);
        QByteArray result(bytes, qsizetype(length));
        plist_to_bin_free(bytes);
        return result;
    }
    plist_to_xml(node->get(), &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    plist_to_xml_free(bytes);
    return result;
}

Result<QVariant> readPropertyList(const QString &path, qint64 maxBytes)
{
    const Result<QByteArray> bytes = readWholeFile(path, maxBytes);
    if (!bytes)
        return bytes.error();
    Result<QVariant> value = parsePropertyList(*bytes);
    if (!value)
        return value.error().withContext(path);
    return value;
}

Result<QVariantMap> readPropertyListDictionary(const QString &path, qint64 maxBytes)
{
    const Result<QVariant> value = readPropertyList(path, maxBytes);
    if (!value)
        return value.error();
    if (value->typeId() != QMetaType::QVariantMap)
        return malformed(QStringLiteral("%1: the property list does not hold a dictionary").arg(path));
    return value->toMap();
}

Status writePropertyList(const QString &path, const QVariant &root, PropertyListFormat format,
                         FilePermissions permissions)
{
    const Result<QByteArray> bytes = serializePropertyList(root, format);
    if (!bytes)
        return bytes.error().withContext(path);
    return writeFileAtomically(path, *bytes, permissions);
}

} // namespace platform
