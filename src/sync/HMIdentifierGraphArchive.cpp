#include "sync/HMIdentifierGraphArchive.h"

#include "platform/foundation/FileIO.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphFlatText.h"

#include <QHash>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <deque>
#include <limits>
#include <functional>
#include <span>
#include <type_traits>
#include <vector>

using FlatPair = HMIdentifierGraphEntry::FlatPair;
using FlatText = HMIdentifierGraphFlatText;
using namespace platform::keyedarchive;

namespace {

// The class name HMIdentifierGraph::archiveClassName gives, and its two keys.
constexpr QLatin1StringView kGraphClass("HMIdentifierGraph");
// Dates this far from 1970 are numbered through the QDateTime the archiver is given: the streamed
// path need not know where the dates a QDateTime holds end.
constexpr qint64 kLargestPlainDateMs = qint64(100'000'000) * 86'400'000;
// The depth the archiver numbers an entry's dictionary at: "$top", the graph, its list of entries.
constexpr int kEntryDepth = 3;

QByteArrayView viewOf(QLatin1StringView name)
{
    return QByteArrayView(name.data(), name.size());
}

// Whether the encoder may write the text outside the object table too: the archive's own keys and
// names, the class names and the root key. Such a text goes through the encoder's table of texts,
// so that both places name one object, as they do in the archiver's bytes; any other text of the
// table equals no other and is written without being kept.
bool isSharedName(QByteArrayView key, QByteArrayView rootKey)
{
    static const std::array<QLatin1StringView, 21> kNames{
        kNull, kClassKey, kClassNameKey, kClassesKey, kRootObjectClass, kObjectsEntryKey, kKeysEntryKey, kTimeKey,
        kIntValueKey, kArchiverKey, kArchiverName, kObjectsKey, kTopKey, kVersionKey, kArrayClass, kDictionaryClass,
        kDateClass, kInt32Class, kGraphClass, QLatin1StringView("identifierDictionaries"),
        QLatin1StringView("lastSyncDate")};
    if (key == rootKey)
        return true;
    // The size and first byte first: nearly every text is a record's value, which no name matches.
    return !key.isEmpty() && std::any_of(kNames.begin(), kNames.end(), [key](QLatin1StringView name) {
        return key.size() == name.size() && key.front() == name.front() && key == viewOf(name);
    });
}

// The texts an archive names, by their keys (HMIdentifierGraphFlatText), each with the place of its
// object. The table views bytes that stay put while the archive is written: the entries' own, and
// those kept here.
struct ArchiveTexts
{
    QHash<QByteArrayView, quint64> places;
    FlatText::KeyTexts keys;
    // Texts' keys and data made while numbering values that are not flat.
    std::deque<QByteArray> made;
};

// An archive object first named while numbering an entry (or the graph's own objects after them),
// with its place in the archive's list of objects.
struct NewObject
{
    enum class What { Text, Value, Date, Int32, Class, List, Dictionary };
    What what = What::Text;
    quint64 index = 0;
    // A text's key, or a class's name.
    QByteArrayView text;
    // A value, a date or a 32-bit integer.
    FlatPair pair;
    // The class entry of a date, a 32-bit integer, a list or a dictionary.
    quint64 classIndex = 0;
    // A list's or dictionary's places of what it holds, in the entry's references: a dictionary's
    // keys, then its values.
    size_t firstReference = 0;
    size_t keyCount = 0;
    size_t valueCount = 0;
};

// What numbering one entry gives: the objects it adds, its dictionary first, in archive order, and
// the references of its dictionaries and lists.
struct EntryObjects
{
    std::vector<NewObject> created;
    std::vector<quint64> references;
};

// The objects that follow the entries: the list's class, the last sync date and the graph's class.
struct TailObjects
{
    quint64 arrayClass = 0;
    quint64 lastSyncDate = 0;
    quint64 graphClass = 0;
    std::vector<NewObject> created;
};

// The places KeyedArchiver gives the objects of a graph's archive: "$null", the graph, the list of
// entries, then each entry's dictionary followed by the texts and values it names first (a list or
// dictionary inside it before what it holds), a class entry after the contents of the first object
// of the class. Texts keep the place where they first stand. Numbering the same graph again with
// the texts a first numbering found gives the same places, and tells which objects each entry adds.
// Flat pairs are numbered as they stand; a value no flat pair holds is numbered from the QVariant
// the archiver is given, as KeyedArchiver::encodeValue numbers it, and fails where it fails.
class ArchiveNumbering final
{
public:
    explicit ArchiveNumbering(ArchiveTexts &texts) : m_texts(texts) {}

    quint64 objectCount() const { return m_next; }
    // Why the graph cannot be archived, once numbering met a value the archive cannot hold.
    const std::optional<platform::Error> &failure() const { return m_failure; }

    // False once numbering has failed.
    bool numberEntry(const HMIdentifierGraphEntry &entry, EntryObjects &objects)
    {
        objects.created.clear();
        objects.references.clear();
        numberContainer(NewObject::What::Dictionary, kEntryDepth, objects, [&](const auto &add) {
            const auto numberPair = [&](const FlatPair &pair) {
                const std::optional<QByteArrayView> key = m_texts.keys.keyOf(pair);
                if (!key) {
                    fail(QStringLiteral("an entry names a key the table of keys does not hold"));
                    return;
                }
                const quint64 keyPlace = keyIndex(pair.keyNumber, *key, objects.created);
                add(keyPlace, valueIndex(pair, kEntryDepth + 1, objects));
            };
            return entry.visitFlatPairs(numberPair);
        });
        return !m_failure;
    }

    TailObjects numberTail(const QDateTime &lastSyncDate)
    {
        TailObjects tail;
        tail.arrayClass = classIndex(m_arrayClass, kArrayClass, tail.created);
        if (lastSyncDate.isValid()) {
            FlatPair date;
            date.kind = FlatPair::Kind::UtcDate;
            date.number = lastSyncDate.toMSecsSinceEpoch();
            const quint64 dateClass = classIndex(m_dateClass, kDateClass, tail.created);
            tail.lastSyncDate = add(NewObject{NewObject::What::Date, 0, {}, date, dateClass}, tail.created);
        }
        quint64 graphClass = 0;
        tail.graphClass = classIndex(graphClass, kGraphClass, tail.created);
        return tail;
    }

private:
    quint64 fail(const QString &message)
    {
        if (!m_failure)
            m_failure = platform::Error(platform::ErrorCode::DataMalformed, message);
        return 0;
    }

    quint64 add(NewObject object, std::vector<NewObject> &created)
    {
        object.index = m_next++;
        created.push_back(object);
        return object.index;
    }

    quint64 classIndex(quint64 &known, QLatin1StringView name, std::vector<NewObject> &created)
    {
        if (known == 0)
            known = add(NewObject{NewObject::What::Class, 0, viewOf(name), {}, 0}, created);
        return known;
    }

    // A dictionary or list at a depth of nesting: its place first, then what it holds, then its
    // class. numberItems numbers each item, a dictionary's key before its value, and calls the add
    // it is given with their places; it says whether it read them all.
    template <typename NumberItems>
    quint64 numberContainer(NewObject::What what, int depth, EntryObjects &objects, const NumberItems &numberItems)
    {
        const size_t slot = objects.created.size();
        const quint64 index = add(NewObject{what, 0, {}, {}, 0}, objects.created);
        const bool isDictionary = what == NewObject::What::Dictionary;
        // On the stack for the few items an entry holds: containers are numbered twice per entry.
        QVarLengthArray<quint64, 16> keys;
        QVarLengthArray<quint64, 16> values;
        const bool isWhole = numberItems([&](quint64 key, quint64 value) {
            if (isDictionary)
                keys.push_back(key);
            values.push_back(value);
        });
        if (!isWhole)
            fail(QStringLiteral("an identifier graph entry is damaged"));
        if (isDictionary && !keys.isEmpty() && depth + 1 > kMaxDepth)
            fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        // Named after the contents, which may name it first.
        const quint64 containerClass = isDictionary ? classIndex(m_dictionaryClass, kDictionaryClass, objects.created)
                                                    : classIndex(m_arrayClass, kArrayClass, objects.created);
        objects.created[slot].classIndex = containerClass;
        objects.created[slot].firstReference = objects.references.size();
        objects.created[slot].keyCount = keys.size();
        objects.created[slot].valueCount = values.size();
        objects.references.insert(objects.references.end(), keys.begin(), keys.end());
        objects.references.insert(objects.references.end(), values.begin(), values.end());
        return index;
    }

    // A text by its key. Index 0 is "$null", which the archiver keeps apart from the texts it
    // makes unique. A text is checked where it is first met: the second numbering finds it placed.
    quint64 textIndex(QByteArrayView key, std::vector<NewObject> &created)
    {
        const auto place = m_texts.places.constFind(key);
        if (place == m_texts.places.constEnd())
            return newTextIndex(key, created);
        return placedText(place, created);
    }

    // A text the table does not hold yet, placed where it stands.
    quint64 newTextIndex(QByteArrayView key, std::vector<NewObject> &created)
    {
        if (FlatText::holdsNul(key))
            return fail(QStringLiteral("text \"%1\" holds a NUL character").arg(FlatText::textOf(key).left(40)));
        return placedText(m_texts.places.insert(key, m_next), created);
    }

    // A text as an entry holds it: found by its bytes, which are nearly always its key (a key that
    // starts with 0xFF is never the UTF-8 of a text).
    quint64 rawTextIndex(QByteArrayView utf8, std::vector<NewObject> &created)
    {
        if (!FlatText::isWide(utf8)) {
            if (const auto place = m_texts.places.constFind(utf8); place != m_texts.places.constEnd())
                return placedText(place, created);
        }
        if (std::optional<QByteArray> key = FlatText::keyOfUtf8(utf8))
            return madeTextIndex(std::move(*key), created);
        // Bytes that are their own key and that the table does not hold.
        return newTextIndex(utf8, created);
    }

    quint64 placedText(QHash<QByteArrayView, quint64>::const_iterator place, std::vector<NewObject> &created)
    {
        if (*place != m_next)
            return *place;
        // The table's own view of the key, which stays put while the archive is written.
        return add(NewObject{NewObject::What::Text, 0, place.key(), {}, 0}, created);
    }

    // The same for a key made for the call, kept only when the text is new.
    quint64 madeTextIndex(QByteArray key, std::vector<NewObject> &created)
    {
        if (!m_texts.places.contains(key))
            return textIndex(m_texts.made.emplace_back(std::move(key)), created);
        return textIndex(key, created);
    }

    // A numbered key's place is looked up in the table of texts once: every entry names the same
    // few keys.
    quint64 keyIndex(quint32 keyNumber, QByteArrayView key, std::vector<NewObject> &created)
    {
        if (keyNumber == 0)
            return rawTextIndex(key, created);
        if (keyNumber >= m_keyPlaces.size())
            m_keyPlaces.resize(keyNumber + 1, 0);
        if (m_keyPlaces[keyNumber] == 0)
            m_keyPlaces[keyNumber] = textIndex(key, created);
        return m_keyPlaces[keyNumber];
    }

    quint64 dateIndex(const FlatPair &date, EntryObjects &objects)
    {
        const quint64 dateClass = classIndex(m_dateClass, kDateClass, objects.created);
        return add(NewObject{NewObject::What::Date, 0, {}, date, dateClass}, objects.created);
    }

    quint64 valueIndex(const FlatPair &pair, int depth, EntryObjects &objects)
    {
        switch (pair.kind) {
        case FlatPair::Kind::Nil:
            return 0;
        case FlatPair::Kind::Text:
            return rawTextIndex(pair.bytes, objects.created);
        case FlatPair::Kind::UtcDate:
            if (pair.number < -kLargestPlainDateMs || pair.number > kLargestPlainDateMs)
                return variantIndex(QDateTime::fromMSecsSinceEpoch(pair.number, Qt::UTC), depth, objects);
            return dateIndex(pair, objects);
        case FlatPair::Kind::Int32: {
            const quint64 int32Class = classIndex(m_int32Class, kInt32Class, objects.created);
            return add(NewObject{NewObject::What::Int32, 0, {}, pair, int32Class}, objects.created);
        }
        case FlatPair::Kind::List:
            return numberItems(pair, depth, objects);
        case FlatPair::Kind::Dictionary:
            if (FlatText::areKeysInOrder(pair))
                return numberItems(pair, depth, objects);
            [[fallthrough]];
        case FlatPair::Kind::TextList:
        case FlatPair::Kind::Other: {
            const std::optional<QVariant> value = HMIdentifierGraphEntry::valueOf(pair);
            return value ? variantIndex(*value, depth, objects)
                         : fail(QStringLiteral("an identifier graph entry is damaged"));
        }
        default:
            return add(NewObject{NewObject::What::Value, 0, {}, pair, 0}, objects.created);
        }
    }

    quint64 numberItems(const FlatPair &container, int depth, EntryObjects &objects)
    {
        const bool isDictionary = container.kind == FlatPair::Kind::Dictionary;
        const NewObject::What what = isDictionary ? NewObject::What::Dictionary : NewObject::What::List;
        return numberContainer(what, depth, objects, [&](const auto &add) {
            const auto numberItem = [&](const FlatPair &item) {
                const quint64 key = isDictionary ? rawTextIndex(item.inlineKey, objects.created) : 0;
                add(key, valueIndex(item, depth + 1, objects));
            };
            return HMIdentifierGraphEntry::visitFlatItems(container, numberItem);
        });
    }

    // A value as KeyedArchiver::encodeValue numbers it at the same depth.
    quint64 variantIndex(const QVariant &value, int depth, EntryObjects &objects)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("values nest deeper than %1 levels").arg(kMaxDepth));
        switch (value.typeId()) {
        case QMetaType::UnknownType:
            return 0;
        case QMetaType::QString: {
            const QString &text = *static_cast<const QString *>(value.constData());
            return text.isNull() ? 0 : madeTextIndex(FlatText::keyOf(text), objects.created);
        }
        case QMetaType::QDateTime: {
            const QDateTime &date = *static_cast<const QDateTime *>(value.constData());
            FlatPair moment;
            moment.kind = FlatPair::Kind::UtcDate;
            moment.number = date.isValid() ? date.toMSecsSinceEpoch() : 0;
            return date.isValid() ? dateIndex(moment, objects) : 0;
        }
        case QMetaType::QVariantList:
        case QMetaType::QStringList:
            return variantItemsIndex(value.toList(), depth, objects);
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return variantItemsIndex(value.toMap(), depth, objects);
        default:
            return leafIndex(value, objects);
        }
    }

    template <typename Items>
    quint64 variantItemsIndex(const Items &items, int depth, EntryObjects &objects)
    {
        constexpr bool isDictionary = std::is_same_v<Items, QVariantMap>;
        const NewObject::What what = isDictionary ? NewObject::What::Dictionary : NewObject::What::List;
        return numberContainer(what, depth, objects, [&](const auto &add) {
            for (auto item = items.cbegin(); item != items.cend(); ++item) {
                if constexpr (isDictionary) {
                    const quint64 key = variantIndex(item.key(), depth + 1, objects);
                    add(key, variantIndex(item.value(), depth + 1, objects));
                } else {
                    add(0, variantIndex(*item, depth + 1, objects));
                }
            }
            return true;
        });
    }

    // A value written as a property-list leaf of its own, or the archiver's 32-bit integer.
    quint64 leafIndex(const QVariant &value, EntryObjects &objects)
    {
        FlatPair leaf;
        leaf.kind = FlatPair::Kind::Integer;
        switch (value.typeId()) {
        case QMetaType::Bool:
            leaf.kind = FlatPair::Kind::Bool;
            leaf.number = value.toBool() ? 1 : 0;
            break;
        case QMetaType::Int: {
            leaf.number = value.toInt();
            const quint64 int32Class = classIndex(m_int32Class, kInt32Class, objects.created);
            return add(NewObject{NewObject::What::Int32, 0, {}, leaf, int32Class}, objects.created);
        }
        case QMetaType::Double:
        case QMetaType::Float:
            leaf.kind = FlatPair::Kind::Real;
            leaf.real = value.toDouble();
            break;
        case QMetaType::QByteArray:
            leaf.kind = FlatPair::Kind::Data;
            leaf.bytes = m_texts.made.emplace_back(value.toByteArray());
            break;
        case QMetaType::ULongLong:
            if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
                return fail(QStringLiteral("integer %1 does not fit 64 signed bits").arg(value.toULongLong()));
            leaf.number = value.toLongLong();
            break;
        default:
            if (!platform::binaryplist::isIntegerType(value.typeId())) {
                return fail(QStringLiteral("a keyed archive cannot hold a value of type %1")
                                .arg(QString::fromLatin1(value.typeName())));
            }
            leaf.number = value.toLongLong();
            break;
        }
        return add(NewObject{NewObject::What::Value, 0, {}, leaf, 0}, objects.created);
    }

    ArchiveTexts &m_texts;
    // The places of numbered keys' texts, by key number; 0 for a key not met yet.
    std::vector<quint64> m_keyPlaces;
    // "$null", the graph and the list of entries come first.
    quint64 m_next = 3;
    quint64 m_dictionaryClass = 0;
    quint64 m_arrayClass = 0;
    quint64 m_dateClass = 0;
    quint64 m_int32Class = 0;
    std::optional<platform::Error> m_failure;
};

// The objects of the binary property list a numbered object is written as, counted as
// KeyedArchiver counts them to fix the width of references.
quint64 boundOf(const std::vector<NewObject> &created)
{
    quint64 bound = 0;
    for (const NewObject &object : created) {
        switch (object.what) {
        case NewObject::What::Text:
        case NewObject::What::Value:
            bound += 1;
            break;
        case NewObject::What::Date:
        case NewObject::What::Int32:
            bound += 5;
            break;
        case NewObject::What::Class:
            bound += 7;
            break;
        case NewObject::What::List:
            bound += 5 + object.valueCount;
            break;
        case NewObject::What::Dictionary:
            bound += 7 + object.keyCount + object.valueCount;
            break;
        }
    }
    return bound;
}

// What the first pass learns: the places of the entries' dictionaries, the objects after them,
// and how many property-list objects the archive takes at most.
struct Layout
{
    std::vector<quint64> dictionaries;
    TailObjects tail;
    quint64 objectCount = 0;
    quint64 objectBound = 0;
};

platform::Result<Layout> layoutOf(const HMIdentifierGraph &graph, ArchiveTexts &texts)
{
    ArchiveNumbering numbering(texts);
    Layout layout;
    layout.dictionaries.reserve(size_t(graph.count()));
    // Each entry names a text of its own at least (its identifier): the table of texts grows to
    // the entries' count anyway, and is not rebuilt on the way there.
    texts.places.reserve(graph.count());
    // The archive's own keys and values, "$top" with its one key, "$null", the graph, the list.
    layout.objectBound = 8 + 3 + 1 + 7 + 5 + quint64(graph.count()) + 1;
    EntryObjects objects;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        if (!numbering.numberEntry(entry, objects))
            return *numbering.failure();
        layout.dictionaries.push_back(objects.created.front().index);
        layout.objectBound += boundOf(objects.created);
    }
    layout.tail = numbering.numberTail(graph.lastSyncDate());
    layout.objectBound += boundOf(layout.tail.created);
    layout.objectCount = numbering.objectCount();
    return layout;
}

} // namespace

namespace {

// Writes numbered objects into a binary property list as KeyedArchiver's writer does: each
// object's parts in the order that writer writes them, the object itself last. Texts known to
// hold no NUL cannot fail to be written; a failure all the same is kept and reported at the end.
class ArchiveWriter final
{
public:
    ArchiveWriter(quint64 objectBound, QByteArrayView rootKey) : m_encoder(objectBound), m_rootKey(rootKey) {}

    bool hasFailed() const { return m_hasFailed; }
    void streamTo(platform::binaryplist::Encoder::Sink sink) { m_encoder.streamTo(std::move(sink)); }
    bool hasSinkFailed() const { return m_encoder.hasSinkFailed(); }

    // One of the archive's own texts, looked up once.
    quint64 name(QByteArrayView name)
    {
        for (const auto &[known, object] : m_names) {
            if (known == name.data())
                return object;
        }
        const quint64 object = take(m_encoder.writeText(QString::fromUtf8(name)));
        m_names.emplace_back(name.data(), object);
        return object;
    }
    quint64 name(QLatin1StringView text) { return name(viewOf(text)); }

    // A text by its key.
    quint64 text(QByteArrayView key)
    {
        if (isSharedName(key, m_rootKey))
            return take(m_encoder.writeText(FlatText::textOf(key)));
        if (FlatText::isWide(key))
            return take(m_encoder.writeDistinctText(FlatText::textOf(key)));
        return take(m_encoder.writeDistinctUtf8(key));
    }

    quint64 created(const NewObject &object, const std::vector<quint64> &references)
    {
        const std::span<const quint64> held =
            std::span(references).subspan(object.firstReference, object.keyCount + object.valueCount);
        switch (object.what) {
        case NewObject::What::List:
            return this->references(object.classIndex, std::nullopt, held);
        case NewObject::What::Dictionary:
            return this->references(object.classIndex, held.first(object.keyCount), held.subspan(object.keyCount));
        case NewObject::What::Text:
            return text(object.text);
        case NewObject::What::Value:
            return value(object.pair);
        case NewObject::What::Date:
            return date(object.classIndex, object.pair.number);
        case NewObject::What::Int32:
            return classAndValue(object.classIndex, kIntValueKey, QVariant(object.pair.number));
        case NewObject::What::Class:
            return classEntry(object.text);
        }
        return 0;
    }

    // A list (no keys) or a dictionary of the archive, by the places of what it holds.
    quint64 references(quint64 classIndex, std::optional<std::span<const quint64>> keys, std::span<const quint64> values)
    {
        const quint64 classUid = m_encoder.writeUid(classIndex);
        const quint64 classKey = name(kClassKey);
        std::optional<std::pair<quint64, quint64>> keyList;
        if (keys) {
            const quint64 keysKey = name(kKeysEntryKey);
            keyList = std::pair{keysKey, uids(*keys)};
        }
        const quint64 objectsKey = name(kObjectsEntryKey);
        const quint64 objects = uids(values);
        m_fields.clear();
        if (keyList)
            m_fields.insert(m_fields.end(), {classKey, keyList->first, objectsKey, classUid, keyList->second, objects});
        else
            m_fields.insert(m_fields.end(), {classKey, objectsKey, classUid, objects});
        return m_encoder.writeDictionary(m_fields);
    }

    // The graph's own object: its class, its list of entries and its last sync date.
    quint64 graphObject(const TailObjects &tail)
    {
        std::vector<quint64> fields;
        for (const auto &[key, index] : {std::pair{&kClassKeyText, tail.graphClass},
                                         std::pair{&HMIdentifierGraph::kIdentifierDictionariesKey, quint64(2)},
                                         std::pair{&HMIdentifierGraph::kLastSyncDateKey, tail.lastSyncDate}}) {
            fields.push_back(take(m_encoder.writeText(*key)));
            fields.push_back(m_encoder.writeUid(index));
        }
        return m_encoder.writeDictionary({fields[0], fields[2], fields[4], fields[1], fields[3], fields[5]});
    }

    // The archive's first keys and values, which come before its table of objects.
    void begin()
    {
        name(kArchiverKey);
        name(kArchiverName);
        name(kObjectsKey);
    }

    QByteArray finish(const std::vector<quint32> &table)
    {
        const quint64 archiver = name(kArchiverKey);
        const quint64 archiverName = name(kArchiverName);
        const quint64 objectsKey = name(kObjectsKey);
        const quint64 objects = m_encoder.writeArray32(table);
        const quint64 topKey = name(kTopKey);
        const quint64 rootKey = text(m_rootKey);
        const quint64 top = m_encoder.writeDictionary({rootKey, m_encoder.writeUid(1)});
        const quint64 versionKey = name(kVersionKey);
        const quint64 version = take(m_encoder.writeValue(QVariant(kVersion)));
        return m_encoder.finish(
            m_encoder.writeDictionary({archiver, objectsKey, topKey, versionKey, archiverName, objects, top, version}));
    }

private:
    quint64 take(const platform::Result<quint64> &written)
    {
        if (written)
            return *written;
        m_hasFailed = true;
        return 0;
    }

    quint64 uids(std::span<const quint64> indexes) { return m_encoder.writeUidArray(indexes); }

    quint64 value(const FlatPair &pair)
    {
        switch (pair.kind) {
        case FlatPair::Kind::Bool:
            return take(m_encoder.writeValue(QVariant(pair.number != 0)));
        case FlatPair::Kind::Real:
            return take(m_encoder.writeValue(QVariant(pair.real)));
        case FlatPair::Kind::Data:
            return take(m_encoder.writeValue(QVariant(QByteArray::fromRawData(pair.bytes.data(), pair.bytes.size()))));
        default:
            return take(m_encoder.writeValue(QVariant(pair.number)));
        }
    }

    quint64 date(quint64 classIndex, qint64 msecsSinceEpoch)
    {
        const double time = double(msecsSinceEpoch - kReferenceDateMs) / 1000.0;
        return classAndValue(classIndex, kTimeKey, QVariant(time));
    }

    // A dictionary of its class and one value, written key by key.
    quint64 classAndValue(quint64 classIndex, QLatin1StringView key, const QVariant &value)
    {
        const quint64 classKey = name(kClassKey);
        const quint64 classUid = m_encoder.writeUid(classIndex);
        const quint64 valueKey = name(key);
        return m_encoder.writeDictionary({classKey, valueKey, classUid, take(m_encoder.writeValue(value))});
    }

    quint64 classEntry(QByteArrayView className)
    {
        const quint64 classesKey = name(kClassesKey);
        const quint64 classes = m_encoder.writeArray({name(className), name(kRootObjectClass)});
        const quint64 classNameKey = name(kClassNameKey);
        return m_encoder.writeDictionary({classesKey, classNameKey, classes, name(className)});
    }

    platform::binaryplist::Encoder m_encoder;
    QByteArrayView m_rootKey;
    std::vector<std::pair<const char *, quint64>> m_names;
    std::vector<quint64> m_fields;
    bool m_hasFailed = false;
};

} // namespace

namespace {

// Notes an archive object's object in the list, kept in 32 bits: a graph that numbers past four
// billion objects would not fit in memory first.
void placeObject(std::vector<quint32> &table, quint64 index, quint64 object)
{
    Q_ASSERT(object <= std::numeric_limits<quint32>::max());
    table[size_t(index)] = quint32(object);
}

// The archive written from the packed entries, whole or, given a sink, to the sink as it is made
// (then answering no bytes); why not, for a graph the archive cannot hold.
platform::Result<QByteArray> streamArchive(const HMIdentifierGraph &graph, const QString &rootKey,
                                           platform::binaryplist::Encoder::Sink sink, bool &hasSinkFailed)
{
    // The archiver escapes a root key that starts with "$", as it does every key of its own.
    const QByteArray rootKeyText =
        FlatText::keyOf(rootKey.startsWith(QLatin1Char('$')) ? QLatin1Char('$') + rootKey : rootKey);
    if (FlatText::holdsNul(rootKeyText))
        return platform::Error(platform::ErrorCode::DataMalformed,
                               QStringLiteral("dictionary key \"%1\" holds a NUL character").arg(rootKey.left(40)));
    ArchiveTexts texts;
    const platform::Result<Layout> layout = layoutOf(graph, texts);
    if (!layout)
        return layout.error().withContext(QStringLiteral("key \"%1\"").arg(HMIdentifierGraph::kIdentifierDictionariesKey));

    ArchiveWriter writer(layout->objectBound, rootKeyText);
    if (sink)
        writer.streamTo(std::move(sink));
    writer.begin();
    std::vector<quint32> table(size_t(layout->objectCount));
    const auto place = [&table](quint64 index, quint64 object) { placeObject(table, index, object); };
    place(0, writer.name(kNull));
    place(1, writer.graphObject(layout->tail));
    place(2, writer.references(layout->tail.arrayClass, std::nullopt, layout->dictionaries));
    // Numbered again with the texts the first pass placed: the same places, and each entry's new
    // objects as it comes to them.
    ArchiveNumbering numbering(texts);
    EntryObjects objects;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        numbering.numberEntry(entry, objects);
        for (const NewObject &object : objects.created)
            place(object.index, writer.created(object, objects.references));
    }
    for (const NewObject &object : numbering.numberTail(graph.lastSyncDate()).created)
        place(object.index, writer.created(object, {}));
    QByteArray bytes = writer.finish(table);
    hasSinkFailed = writer.hasSinkFailed();
    if (writer.hasFailed())
        return platform::Error(platform::ErrorCode::DataMalformed, QStringLiteral("the identifier graph could not be archived"));
    return bytes;
}

} // namespace

platform::Result<QByteArray> HMIdentifierGraphArchive::archivedData(const HMIdentifierGraph &graph, const QString &rootKey)
{
    bool hasSinkFailed = false;
    return streamArchive(graph, rootKey, nullptr, hasSinkFailed);
}

platform::Status HMIdentifierGraphArchive::writeStreamedFile(const HMIdentifierGraph &graph, const QString &rootKey,
                                                             const QString &path,
                                                             const std::function<void(QByteArrayView)> &passed)
{
    std::optional<platform::Error> refusal;
    const platform::FileContentWriter content = [&](int descriptor) {
        const auto sink = [descriptor, &passed](const char *bytes, qsizetype count) {
            passed(QByteArrayView(bytes, count));
            return platform::writeToDescriptor(descriptor, QByteArray::fromRawData(bytes, count)) == count;
        };
        bool hasSinkFailed = false;
        const platform::Result<QByteArray> written = streamArchive(graph, rootKey, sink, hasSinkFailed);
        if (!written)
            refusal = written.error();
        return written.ok() && !hasSinkFailed;
    };
    const platform::Status written =
        platform::writeFileAtomicallyFrom(path, content, platform::FilePermissions::OwnerOnly);
    if (refusal)
        return *refusal;
    return written;
}
