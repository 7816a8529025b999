#include "platform/foundation/KeyedArchiver.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyListBinary.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace platform {

using namespace keyedarchive;

namespace {

QVariant uid(quint64 index)
{
    return QVariant::fromValue(PropertyListUid{index});
}

// Keys of the archive's own start with "$"; a caller's key that does too gets one more in front.
QString escapedKey(const QString &key)
{
    return key.startsWith(QLatin1Char('$')) ? QLatin1Char('$') + key : key;
}

} // namespace

KeyedArchiver::KeyedArchiver()
{
    m_objects.append(QString(kNull));
    m_scopes.emplace_back();
}

void KeyedArchiver::encodeObject(const QVariant &value, const QString &key)
{
    if (!canEncode())
        return;
    storeEncoded(key, encodeValue(value, int(m_scopes.size())));
}

void KeyedArchiver::encodeObject(const KeyedArchivable &object, const QString &key)
{
    if (!canEncode())
        return;
    if (std::find(m_objectsInProgress.begin(), m_objectsInProgress.end(), &object) != m_objectsInProgress.end())
        return fail(QStringLiteral("object of class %1 under key \"%2\" contains itself").arg(object.archiveClassName(), key));
    if (m_scopes.size() > size_t(kMaxDepth))
        return fail(QStringLiteral("objects nest deeper than %1 levels at key \"%2\"").arg(kMaxDepth).arg(key));
    // The object's entry comes before those of its contents, as readers of such archives expect.
    const quint64 index = appendObject(QVariant());
    m_scopes.emplace_back();
    m_objectsInProgress.push_back(&object);
    object.encodeWithCoder(*this);
    m_objectsInProgress.pop_back();
    QVariantMap entry = std::move(m_scopes.back());
    m_scopes.pop_back();
    entry.insert(kClassKeyText, uid(classUid(object.archiveClassName())));
    m_objects[index] = entry;
    store(key, uid(index));
}

void KeyedArchiver::encodeObject(const KeyedArchivable *object, const QString &key)
{
    if (object)
        encodeObject(*object, key);
}

void KeyedArchiver::encodeBool(bool value, const QString &key)
{
    store(key, value);
}

void KeyedArchiver::encodeInt32(qint32 value, const QString &key)
{
    store(key, qint64(value));
}

void KeyedArchiver::encodeInt64(qint64 value, const QString &key)
{
    store(key, value);
}

void KeyedArchiver::encodeDouble(double value, const QString &key)
{
    store(key, value);
}

Result<QByteArray> KeyedArchiver::finishEncoding()
{
    if (m_error)
        return *m_error;
    if (m_finished)
        return Error(ErrorCode::DataOther, QStringLiteral("the keyed archive was already finished"));
    m_finished = true;
    if (m_format == PropertyListFormat::Binary)
        return writeBinary();
    return serializePropertyList(archiveTree(), m_format);
}

Result<QByteArray> KeyedArchiver::archivedDataWithRootObject(const QVariant &root, PropertyListFormat format)
{
    KeyedArchiver archiver;
    archiver.setOutputFormat(format);
    archiver.encodeObject(root, QString(kDefaultRootKey));
    return archiver.finishEncoding();
}

void KeyedArchiver::fail(const QString &message)
{
    if (!m_error)
        m_error = Error(ErrorCode::DataMalformed, message);
}

void KeyedArchiver::store(const QString &key, const QVariant &entry)
{
    if (canEncode())
        m_scopes.back().insert(escapedKey(key), entry);
}

void KeyedArchiver::storeEncoded(const QString &key, std::optional<quint64> index)
{
    if (index)
        store(key, uid(*index));
    else if (m_error)
        m_error = m_error->withContext(QStringLiteral("key \"%1\"").arg(key));
}

quint64 KeyedArchiver::appendObject(const QVariant &entry)
{
    m_objects.append(entry);
    return quint64(m_objects.size() - 1);
}

// Equal texts are stored once: dictionary keys repeat in every record of a list.
quint64 KeyedArchiver::stringUid(const QString &text)
{
    const TextNumbering::Number number = m_stringUids.numberOf(text, quint64(m_objects.size()));
    if (number.isNew)
        appendObject(text);
    return number.value;
}

std::optional<quint64> KeyedArchiver::encodeText(const QString &text)
{
    if (text.isNull())
        return 0;
    if (text.contains(QChar(u'\0'))) {
        fail(QStringLiteral("text \"%1\" holds a NUL character").arg(text.left(40)));
        return std::nullopt;
    }
    return stringUid(text);
}

// An archive names a handful of classes, once per entry of every record: a short list searched
// in order costs less than hashing the name each time.
quint64 KeyedArchiver::classUid(const QString &className)
{
    for (const auto &[name, index] : m_classUids) {
        if (name == className)
            return index;
    }
    QVariantMap entry;
    entry.insert(QString(kClassNameKey), className);
    entry.insert(QString(kClassesKey), QStringList{className, QString(kRootObjectClass)});
    const quint64 index = appendObject(entry);
    m_classUids.emplace_back(className, index);
    return index;
}

std::optional<quint64> KeyedArchiver::encodeValue(const QVariant &value, int depth)
{
    if (depth > kMaxDepth) {
        fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        return std::nullopt;
    }
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        return 0;
    case QMetaType::QString:
        return encodeText(*static_cast<const QString *>(value.constData()));
    case QMetaType::Bool:
        return appendObject(value.toBool());
    case QMetaType::Int: {
        QVariantMap entry;
        entry.insert(kClassKeyText, uid(classUid(kInt32ClassText)));
        entry.insert(QString(kIntValueKey), qint64(value.toInt()));
        return appendObject(entry);
    }
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max())) {
            fail(QStringLiteral("integer %1 does not fit 64 signed bits").arg(value.toULongLong()));
            return std::nullopt;
        }
        return appendObject(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return appendObject(value.toDouble());
    case QMetaType::QByteArray:
        return appendObject(value.toByteArray());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            return 0;
        const quint64 dateClass = classUid(kDateClassText);
        const quint64 index = appendObject(QVariant());
        m_compactEntries.push_back(CompactEntry{index, dateClass, CompactEntry::Kind::Date, {},
                                                double(date.toMSecsSinceEpoch() - kReferenceDateMs) / 1000.0});
        return index;
    }
    // QVariant converts a text list to a list of texts and a hash to a sorted map itself.
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return encodeList(value.toList(), depth);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return encodeMap(value.toMap(), depth);
    default:
        // The other integer types; a 32-bit int and an unsigned 64-bit one were taken above.
        if (binaryplist::isIntegerType(value.typeId()))
            return appendObject(value.toLongLong());
        fail(QStringLiteral("a keyed archive cannot hold a value of type %1").arg(QString::fromLatin1(value.typeName())));
        return std::nullopt;
    }
}

std::optional<quint64> KeyedArchiver::encodeList(const QVariantList &list, int depth)
{
    return encodeItems(list.size(), [&](qsizetype position) { return encodeValue(list.at(position), depth + 1); });
}

void KeyedArchiver::encodeDictionaryList(qsizetype count, const std::function<QVariantMap(qsizetype)> &dictionaryAt,
                                         const QString &key)
{
    if (!canEncode())
        return;
    // Where encodeObject would put a QVariantList of the dictionaries, and each of them below it.
    const int depth = int(m_scopes.size());
    storeEncoded(key,
                 encodeItems(count, [&](qsizetype position) { return encodeMap(dictionaryAt(position), depth + 1); }));
}

std::optional<quint64> KeyedArchiver::encodeItems(qsizetype count,
                                                  const std::function<std::optional<quint64>(qsizetype)> &encodeItem)
{
    const quint64 index = appendObject(QVariant());
    const size_t slot = m_compactEntries.size();
    m_compactEntries.push_back(CompactEntry{index, 0, CompactEntry::Kind::List, {}, 0});
    std::vector<quint64> references;
    references.reserve(size_t(count));
    for (qsizetype position = 0; position < count; ++position) {
        const std::optional<quint64> child = encodeItem(position);
        if (!child)
            return std::nullopt;
        references.push_back(*child);
    }
    // The class entry comes after the contents' entries, where a first list puts it.
    m_compactEntries[slot].classUid = classUid(kArrayClassText);
    m_compactEntries[slot].references = std::move(references);
    return index;
}

std::optional<quint64> KeyedArchiver::encodeMap(const QVariantMap &map, int depth)
{
    // Its keys stand one level below it, as values do.
    if (!map.isEmpty() && depth + 1 > kMaxDepth) {
        fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        return std::nullopt;
    }
    const quint64 index = appendObject(QVariant());
    const size_t slot = m_compactEntries.size();
    m_compactEntries.push_back(CompactEntry{index, 0, CompactEntry::Kind::Dictionary, {}, 0});
    std::vector<quint64> references(size_t(map.size()) * 2);
    size_t position = 0;
    for (auto item = map.constBegin(); item != map.constEnd(); ++item, ++position) {
        const std::optional<quint64> key = encodeText(item.key());
        if (!key)
            return std::nullopt;
        const std::optional<quint64> child = encodeValue(item.value(), depth + 1);
        if (!child) {
            if (m_error)
                m_error = m_error->withContext(QStringLiteral("dictionary key \"%1\"").arg(item.key()));
            return std::nullopt;
        }
        references[position] = *key;
        references[position + size_t(map.size())] = *child;
    }
    m_compactEntries[slot].classUid = classUid(kDictionaryClassText);
    m_compactEntries[slot].references = std::move(references);
    return index;
}

namespace {

QVariantList uids(std::vector<quint64>::const_iterator begin, std::vector<quint64>::const_iterator end)
{
    QVariantList list;
    list.reserve(end - begin);
    for (auto reference = begin; reference != end; ++reference)
        list.append(uid(*reference));
    return list;
}

} // namespace

// The dictionary a compact entry is written as.
QVariant KeyedArchiver::dictionaryOf(const CompactEntry &compact) const
{
    QVariantMap entry;
    entry.insert(kClassKeyText, uid(compact.classUid));
    if (compact.kind == CompactEntry::Kind::Date) {
        entry.insert(kTimeKeyText, compact.time);
        return entry;
    }
    const bool isDictionary = compact.kind == CompactEntry::Kind::Dictionary;
    const auto middle = compact.references.cbegin() + qsizetype(isDictionary ? compact.references.size() / 2 : 0);
    if (isDictionary)
        entry.insert(kKeysEntryKeyText, uids(compact.references.cbegin(), middle));
    entry.insert(kObjectsEntryKeyText, uids(middle, compact.references.cend()));
    return entry;
}

QVariantMap KeyedArchiver::archiveTree() const
{
    QVariantList objects = m_objects;
    for (const CompactEntry &compact : m_compactEntries)
        objects[qsizetype(compact.entry)] = dictionaryOf(compact);
    return QVariantMap{{QString(kArchiverKey), QString(kArchiverName)},
                       {QString(kVersionKey), kVersion},
                       {QString(kTopKey), m_scopes.front()},
                       {QString(kObjectsKey), objects}};
}

// At least as many objects as the archive is written as; counted as Encoder::objectsIn counts the
// archive's tree: a compact entry is a dictionary of its class and its time, or its class and its
// lists of references.
quint64 KeyedArchiver::objectBound() const
{
    quint64 bound = 1 + 2 + 2 + 2 + 1 + binaryplist::Encoder::objectsIn(m_scopes.front());
    auto compact = m_compactEntries.cbegin();
    for (qsizetype index = 0; index < m_objects.size(); ++index) {
        if (compact == m_compactEntries.cend() || compact->entry != quint64(index)) {
            bound += binaryplist::Encoder::objectsIn(m_objects.at(index));
            continue;
        }
        switch (compact->kind) {
        case CompactEntry::Kind::Date:
            bound += 5;
            break;
        case CompactEntry::Kind::List:
            bound += 5 + compact->references.size();
            break;
        case CompactEntry::Kind::Dictionary:
            bound += 7 + compact->references.size();
            break;
        }
        ++compact;
    }
    return bound + 1;
}

// What writing the compact entries reuses from one to the next: the objects of their own keys,
// which the first entry writes and every later one names, and room for the lists of references.
struct KeyedArchiver::CompactScratch
{
    std::optional<quint64> classKey;
    std::optional<quint64> timeKey;
    std::optional<quint64> keysKey;
    std::optional<quint64> objectsKey;
    std::vector<quint64> items;
    std::vector<quint64> fields;
};

namespace {

// The object of one of a compact entry's own keys, written where it is first needed. The keys hold
// no NUL, so writing them cannot fail.
quint64 keyObject(binaryplist::Encoder &encoder, std::optional<quint64> &known, const QString &key)
{
    if (!known) {
        const Result<quint64> text = encoder.writeText(key);
        known = text.ok() ? *text : 0;
    }
    return *known;
}

} // namespace

// Writes a compact entry as serializePropertyList writes its dictionary: keys in order, each key's
// text and then its value, the dictionary last.
Result<quint64> KeyedArchiver::writeCompactEntry(binaryplist::Encoder &encoder, const CompactEntry &compact,
                                                 CompactScratch &scratch) const
{
    const auto list = [&encoder, &scratch](auto begin, auto end) {
        scratch.items.clear();
        for (auto reference = begin; reference != end; ++reference)
            scratch.items.push_back(encoder.writeUid(*reference));
        return encoder.writeArray(scratch.items);
    };
    // Keys first, then the values in the same order.
    quint64 pairs[6] = {};
    int count = 0;
    const auto pair = [&pairs, &count](quint64 key, quint64 value) {
        pairs[count] = key;
        pairs[3 + count++] = value;
    };
    pair(keyObject(encoder, scratch.classKey, kClassKeyText), encoder.writeUid(compact.classUid));
    if (compact.kind == CompactEntry::Kind::Date) {
        const quint64 key = keyObject(encoder, scratch.timeKey, kTimeKeyText);
        pair(key, encoder.writeValue(compact.time).value());
    } else {
        const bool isDictionary = compact.kind == CompactEntry::Kind::Dictionary;
        const auto middle = compact.references.cbegin() + qsizetype(isDictionary ? compact.references.size() / 2 : 0);
        if (isDictionary) {
            const quint64 key = keyObject(encoder, scratch.keysKey, kKeysEntryKeyText);
            pair(key, list(compact.references.cbegin(), middle));
        }
        const quint64 key = keyObject(encoder, scratch.objectsKey, kObjectsEntryKeyText);
        pair(key, list(middle, compact.references.cend()));
    }
    scratch.fields.assign(pairs, pairs + count);
    scratch.fields.insert(scratch.fields.end(), pairs + 3, pairs + 3 + count);
    return encoder.writeDictionary(scratch.fields);
}

// The text entries whose text the archive may also write outside the object table: "$null", the
// archive's own keys and names, the objects' keys and the class names. Only these need looking up
// when written; every other text entry is distinct, as the archiver keeps equal texts as one entry.
std::vector<quint64> KeyedArchiver::sharedTextEntries() const
{
    QStringList texts;
    for (const QLatin1StringView name : {kNull, kClassKey, kClassNameKey, kClassesKey, kRootObjectClass, kObjectsEntryKey,
                                         kKeysEntryKey, kTimeKey, kIntValueKey, kArchiverKey, kArchiverName, kObjectsKey,
                                         kTopKey, kVersionKey})
        texts.append(QString(name));
    texts += m_scopes.front().keys();
    for (const auto &className : m_classUids)
        texts.append(className.first);
    for (const QVariant &entry : m_objects) {
        if (entry.typeId() == QMetaType::QVariantMap)
            texts += static_cast<const QVariantMap *>(entry.constData())->keys();
    }
    std::vector<quint64> entries{0};
    for (const QString &text : texts) {
        if (const std::optional<quint64> entry = m_stringUids.find(text))
            entries.push_back(*entry);
    }
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}

Result<quint64> KeyedArchiver::writeObjectTable(binaryplist::Encoder &encoder, const std::vector<quint64> &sharedTexts)
{
    const auto writePlain = [&encoder, &sharedTexts](qsizetype index, const QVariant &entry) {
        const bool isDistinct = entry.typeId() == QMetaType::QString
                                && !std::binary_search(sharedTexts.begin(), sharedTexts.end(), quint64(index));
        return isDistinct ? encoder.writeDistinctText(*static_cast<const QString *>(entry.constData())) : encoder.writeValue(entry);
    };
    std::vector<quint64> entries;
    entries.reserve(size_t(m_objects.size()));
    CompactScratch scratch;
    auto compact = m_compactEntries.begin();
    for (qsizetype index = 0; index < m_objects.size(); ++index) {
        const bool isCompact = compact != m_compactEntries.end() && compact->entry == quint64(index);
        const Result<quint64> written =
            isCompact ? writeCompactEntry(encoder, *compact, scratch) : writePlain(index, std::as_const(m_objects).at(index));
        if (!written)
            return written;
        entries.push_back(*written);
        // Written: nothing reads the entry again.
        if (isCompact)
            std::vector<quint64>().swap((compact++)->references);
        else
            m_objects[index] = QVariant();
    }
    return encoder.writeArray(entries);
}

// The archive written as serializePropertyList writes archiveTree(), byte for byte, without
// building the tree: keys in order, each key's text and then its value, the dictionary last.
Result<QByteArray> KeyedArchiver::writeBinary()
{
    binaryplist::Encoder encoder(objectBound());
    const std::vector<quint64> sharedTexts = sharedTextEntries();
    // Only the texts written outside the object table are looked up from here on.
    m_stringUids = TextNumbering();
    std::vector<quint64> keys;
    std::vector<quint64> values;
    const auto write = [&](QLatin1StringView key, const auto &writeValue) -> Status {
        const Result<quint64> text = encoder.writeText(QString(key));
        const Result<quint64> value = text ? writeValue() : text;
        if (!value)
            return value.error();
        keys.push_back(*text);
        values.push_back(*value);
        return success();
    };
    Status written = write(kArchiverKey, [&] { return encoder.writeValue(QString(kArchiverName)); });
    if (written)
        written = write(kObjectsKey, [&] { return writeObjectTable(encoder, sharedTexts); });
    if (written)
        written = write(kTopKey, [&] { return encoder.writeValue(m_scopes.front()); });
    if (written)
        written = write(kVersionKey, [&] { return encoder.writeValue(kVersion); });
    if (!written)
        return written.error();
    keys.insert(keys.end(), values.begin(), values.end());
    return encoder.finish(encoder.writeDictionary(keys));
}

} // namespace platform
