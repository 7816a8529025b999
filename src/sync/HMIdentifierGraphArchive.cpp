#include "sync/HMIdentifierGraphArchive.h"

#include "platform/foundation/FileIO.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMIdentifierGraphFlatText.h"

#include <QHash>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <deque>
#include <span>
#include <vector>

using FlatPair = HMIdentifierGraphEntry::FlatPair;
using FlatText = HMIdentifierGraphFlatText;
using namespace platform::keyedarchive;

namespace {

// The class name HMIdentifierGraph::archiveClassName gives, and its two keys.
constexpr QLatin1StringView kGraphClass("HMIdentifierGraph");
// Dates this far from 1970 are written by the archiver: the streamed path need not know where the
// dates a QDateTime holds end.
constexpr qint64 kLargestPlainDateMs = qint64(100'000'000) * 86'400'000;

QByteArrayView viewOf(QLatin1StringView name)
{
    return QByteArrayView(name.data(), name.size());
}

// Whether the encoder may write the text outside the object table too: the archive's own keys and
// names, the class names and the root key. Such a text goes through the encoder's table of texts,
// so that both places name one object, as they do in the archiver's bytes; any other text of the
// table equals no other and is written without being kept.
bool isSharedName(QByteArrayView utf8, QByteArrayView rootKey)
{
    static const std::array<QLatin1StringView, 21> kNames{
        kNull, kClassKey, kClassNameKey, kClassesKey, kRootObjectClass, kObjectsEntryKey, kKeysEntryKey, kTimeKey,
        kIntValueKey, kArchiverKey, kArchiverName, kObjectsKey, kTopKey, kVersionKey, kArrayClass, kDictionaryClass,
        kDateClass, kInt32Class, kGraphClass, QLatin1StringView("identifierDictionaries"),
        QLatin1StringView("lastSyncDate")};
    if (utf8 == rootKey)
        return true;
    return std::any_of(kNames.begin(), kNames.end(), [utf8](QLatin1StringView name) { return utf8 == viewOf(name); });
}

bool isStorable(const FlatPair &pair)
{
    if (pair.kind == FlatPair::Kind::Text)
        return FlatText::isStorableText(pair.bytes);
    if (pair.kind == FlatPair::Kind::UtcDate)
        return pair.number >= -kLargestPlainDateMs && pair.number <= kLargestPlainDateMs;
    return true;
}

// The texts an archive names, by their UTF-8, each with the place of its object. The table views
// bytes that stay put while the archive is written: the entries' own, and those kept here.
struct ArchiveTexts
{
    QHash<QByteArrayView, quint64> places;
    FlatText::KeyTexts keys;
    // Texts of lists kept in stream form, made while reading them.
    std::deque<QByteArray> made;
};

// An archive object first named while numbering an entry (or the graph's own objects after them),
// with its place in the archive's list of objects.
struct NewObject
{
    enum class What { Text, Value, Date, Int32, Class, List, Dictionary };
    What what = What::Text;
    quint64 index = 0;
    // A text's UTF-8, or a class's name.
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
class ArchiveNumbering final
{
public:
    explicit ArchiveNumbering(ArchiveTexts &texts) : m_texts(texts) {}

    quint64 objectCount() const { return m_next; }

    // False for an entry the archiver must write.
    bool numberEntry(const HMIdentifierGraphEntry &entry, EntryObjects &objects)
    {
        objects.created.clear();
        objects.references.clear();
        m_isWritable = true;
        numberContainer(NewObject::What::Dictionary, objects, [&](const auto &visit) {
            return entry.visitFlatPairs([&](const FlatPair &pair) {
                const std::optional<QByteArrayView> key = m_texts.keys.utf8Of(pair);
                if (key)
                    visit(*key, pair);
                else
                    m_isWritable = false;
            });
        });
        return m_isWritable;
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

    // A dictionary or list: its place first, then what it holds, then its class. visitItems calls
    // the visit it is given with each item's key and value, and says whether it read them all.
    template <typename VisitItems>
    quint64 numberContainer(NewObject::What what, EntryObjects &objects, const VisitItems &visitItems)
    {
        const size_t slot = objects.created.size();
        const quint64 index = add(NewObject{what, 0, {}, {}, 0}, objects.created);
        const bool isDictionary = what == NewObject::What::Dictionary;
        // On the stack for the few items an entry holds: containers are numbered twice per entry.
        QVarLengthArray<quint64, 16> keys;
        QVarLengthArray<quint64, 16> values;
        const bool isWhole = visitItems([&](QByteArrayView key, const FlatPair &item) {
            if (!FlatText::isStorableText(key) || !isStorable(item)) {
                m_isWritable = false;
                return;
            }
            if (isDictionary)
                keys.push_back(keyIndex(item.keyNumber, key, objects.created));
            values.push_back(valueIndex(item, objects));
        });
        m_isWritable = m_isWritable && isWhole;
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

    // Index 0 is "$null", which the archiver keeps apart from the texts it makes unique: 0 in the
    // table is a text not met yet.
    quint64 textIndex(QByteArrayView utf8, std::vector<NewObject> &created)
    {
        quint64 &index = m_texts.places[utf8];
        if (index == 0)
            index = m_next;
        if (index != m_next)
            return index;
        return add(NewObject{NewObject::What::Text, 0, utf8, {}, 0}, created);
    }

    // A numbered key's place is looked up in the table of texts once: every entry names the same
    // few keys.
    quint64 keyIndex(quint32 keyNumber, QByteArrayView utf8, std::vector<NewObject> &created)
    {
        if (keyNumber == 0)
            return textIndex(utf8, created);
        if (keyNumber >= m_keyPlaces.size())
            m_keyPlaces.resize(keyNumber + 1, 0);
        if (m_keyPlaces[keyNumber] == 0)
            m_keyPlaces[keyNumber] = textIndex(utf8, created);
        return m_keyPlaces[keyNumber];
    }

    quint64 valueIndex(const FlatPair &pair, EntryObjects &objects)
    {
        switch (pair.kind) {
        case FlatPair::Kind::Nil:
            return 0;
        case FlatPair::Kind::Text:
            return textIndex(pair.bytes, objects.created);
        case FlatPair::Kind::UtcDate: {
            const quint64 dateClass = classIndex(m_dateClass, kDateClass, objects.created);
            return add(NewObject{NewObject::What::Date, 0, {}, pair, dateClass}, objects.created);
        }
        case FlatPair::Kind::Int32: {
            const quint64 int32Class = classIndex(m_int32Class, kInt32Class, objects.created);
            return add(NewObject{NewObject::What::Int32, 0, {}, pair, int32Class}, objects.created);
        }
        case FlatPair::Kind::List:
        case FlatPair::Kind::TextList:
        case FlatPair::Kind::Dictionary:
            return numberItems(pair, objects);
        default:
            return add(NewObject{NewObject::What::Value, 0, {}, pair, 0}, objects.created);
        }
    }

    quint64 numberItems(const FlatPair &container, EntryObjects &objects)
    {
        const NewObject::What what =
            container.kind == FlatPair::Kind::Dictionary ? NewObject::What::Dictionary : NewObject::What::List;
        const bool areItemsMadeForTheCall = container.kind == FlatPair::Kind::TextList;
        return numberContainer(what, objects, [&](const auto &visit) {
            return HMIdentifierGraphEntry::visitFlatItems(container, [&](const FlatPair &item) {
                if (!areItemsMadeForTheCall || item.kind != FlatPair::Kind::Text)
                    return visit(item.inlineKey, item);
                FlatPair kept = item;
                kept.bytes = m_texts.made.emplace_back(item.bytes.toByteArray());
                visit(item.inlineKey, kept);
            });
        });
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
    bool m_isWritable = true;
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

std::optional<Layout> layoutOf(const HMIdentifierGraph &graph, ArchiveTexts &texts)
{
    ArchiveNumbering numbering(texts);
    Layout layout;
    layout.dictionaries.reserve(size_t(graph.count()));
    // The archive's own keys and values, "$top" with its one key, "$null", the graph, the list.
    layout.objectBound = 8 + 3 + 1 + 7 + 5 + quint64(graph.count()) + 1;
    EntryObjects objects;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        if (!numbering.numberEntry(entry, objects))
            return std::nullopt;
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

    quint64 text(QByteArrayView utf8)
    {
        if (isSharedName(utf8, m_rootKey))
            return take(m_encoder.writeText(QString::fromUtf8(utf8)));
        return take(m_encoder.writeDistinctUtf8(utf8));
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

    QByteArray finish(const std::vector<quint64> &table)
    {
        const quint64 archiver = name(kArchiverKey);
        const quint64 archiverName = name(kArchiverName);
        const quint64 objectsKey = name(kObjectsKey);
        const quint64 objects = m_encoder.writeArray(table);
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

    quint64 uids(std::span<const quint64> indexes)
    {
        m_scratch.clear();
        for (const quint64 index : indexes)
            m_scratch.push_back(m_encoder.writeUid(index));
        return m_encoder.writeArray(m_scratch);
    }

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
    std::vector<quint64> m_scratch;
    std::vector<quint64> m_fields;
    bool m_hasFailed = false;
};

} // namespace

namespace {

// The archive written from the packed entries, whole or, given a sink, to the sink as it is made
// (then answering no bytes); nullopt for a graph only the archiver writes.
std::optional<QByteArray> streamArchive(const HMIdentifierGraph &graph, const QString &rootKey,
                                        platform::binaryplist::Encoder::Sink sink, bool &hasSinkFailed)
{
    // The archiver escapes a root key that starts with "$"; the graph's never does.
    const QByteArray rootKeyUtf8 = rootKey.toUtf8();
    if (rootKey.startsWith(QLatin1Char('$')) || !FlatText::isStorableText(rootKeyUtf8))
        return std::nullopt;
    ArchiveTexts texts;
    const std::optional<Layout> layout = layoutOf(graph, texts);
    if (!layout)
        return std::nullopt;

    ArchiveWriter writer(layout->objectBound, rootKeyUtf8);
    if (sink)
        writer.streamTo(std::move(sink));
    writer.begin();
    std::vector<quint64> table(size_t(layout->objectCount));
    table[0] = writer.name(kNull);
    table[1] = writer.graphObject(layout->tail);
    table[2] = writer.references(layout->tail.arrayClass, std::nullopt, layout->dictionaries);
    // Numbered again with the texts the first pass placed: the same places, and each entry's new
    // objects as it comes to them.
    ArchiveNumbering numbering(texts);
    EntryObjects objects;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        if (!numbering.numberEntry(entry, objects))
            return std::nullopt;
        for (const NewObject &object : objects.created)
            table[size_t(object.index)] = writer.created(object, objects.references);
    }
    for (const NewObject &object : numbering.numberTail(graph.lastSyncDate()).created)
        table[size_t(object.index)] = writer.created(object, {});
    QByteArray bytes = writer.finish(table);
    hasSinkFailed = writer.hasSinkFailed();
    if (writer.hasFailed())
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<QByteArray> HMIdentifierGraphArchive::streamedData(const HMIdentifierGraph &graph, const QString &rootKey)
{
    bool hasSinkFailed = false;
    return streamArchive(graph, rootKey, nullptr, hasSinkFailed);
}

std::optional<platform::Status> HMIdentifierGraphArchive::writeStreamedFile(const HMIdentifierGraph &graph,
                                                                            const QString &rootKey,
                                                                            const QString &path,
                                                                            const std::function<void(QByteArrayView)> &passed)
{
    bool isRefused = false;
    const platform::FileContentWriter content = [&](int descriptor) {
        const auto sink = [descriptor, &passed](const char *bytes, qsizetype count) {
            passed(QByteArrayView(bytes, count));
            return platform::writeToDescriptor(descriptor, QByteArray::fromRawData(bytes, count)) == count;
        };
        bool hasSinkFailed = false;
        isRefused = !streamArchive(graph, rootKey, sink, hasSinkFailed);
        return !isRefused && !hasSinkFailed;
    };
    const platform::Status written =
        platform::writeFileAtomicallyFrom(path, content, platform::FilePermissions::OwnerOnly);
    if (isRefused)
        return std::nullopt;
    return written;
}

platform::Result<QByteArray> HMIdentifierGraphArchive::archivedData(const HMIdentifierGraph &graph, const QString &rootKey)
{
    if (std::optional<QByteArray> streamed = streamedData(graph, rootKey))
        return std::move(*streamed);
    platform::KeyedArchiver coder;
    coder.encodeObject(graph, rootKey);
    return coder.finishEncoding();
}
