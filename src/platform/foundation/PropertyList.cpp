#include "platform/foundation/PropertyList.h"

#include "platform/foundation/FileIO.h"
#include "platform/foundation/PropertyListBinary.h"

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
using binaryplist::kMaxNestingDepth;
// The library takes 32-bit lengths.
constexpr qsizetype kMaxInputBytes = qsizetype(256) * 1024 * 1024;
constexpr qint64 kReferenceDateMs = kPropertyListReferenceDateMs;

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

} // namespace

std::optional<qint64> msecsOfReferenceSeconds(double seconds)
{
    constexpr double kMaxDateSeconds = 1.0e11;
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDateSeconds)
        return std::nullopt;
    return kReferenceDateMs + std::llround(seconds * 1000.0);
}

namespace {

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

Result<QVariant> arrayToVariant(plist_t node, int depth)
{
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
    case PLIST_ARRAY:
        return arrayToVariant(node, depth);
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
    if (binaryplist::isIntegerType(value.typeId()))
        return integerNode(value);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return PlistNode(plist_new_bool(value.toBool() ? 1 : 0));
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
    if (isBinary)
        return binaryplist::parse(bytes);
    if (const Status checked = checkXmlNesting(bytes); !checked)
        return checked.error();
    plist_t root = nullptr;
    plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root)
        return malformed(QStringLiteral("not a readable XML property list"));
    const PlistNode owner(root);
    return toVariant(root, 0);
}

Result<QByteArray> serializePropertyList(const QVariant &root, PropertyListFormat format)
{
    if (format == PropertyListFormat::Binary)
        return binaryplist::serialize(root);
    Result<PlistNode> node = toNode(root, 0);
    if (!node)
        return node.error();
    char *bytes = nullptr;
    uint32_t length = 0;
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
