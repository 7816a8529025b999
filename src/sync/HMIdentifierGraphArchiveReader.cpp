#include "sync/HMIdentifierGraphArchive.h"

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraph.h"

#include <array>
#include <cstring>
#include <limits>
#include <vector>

using namespace platform::keyedarchive;
using Document = platform::binaryplist::Document;
using Shape = Document::Shape;
using platform::KeyedUnarchiver;
using PackedValue = HMIdentifierGraphEntry::PackedValue;

namespace {

const QString kGraphClassText = QStringLiteral("HMIdentifierGraph");
// The keys' texts kept, each made once; an archive names the same few keys over and over. Any
// others are made each time they are met.
constexpr size_t kMaxKeptKeys = 64;
static_assert(kMaxKeptKeys < 255, "a kept key's place is one byte");
// Entries read between two calls of a reader's releasePages: some hundred kilobytes of a file.
constexpr quint64 kEntriesPerRelease = 1024;

// The classes the reader tells apart; any other is read by KeyedUnarchiver. Unreadable: the
// dictionary names no readable class entry. Unknown: the class entry was not read yet.
enum class ClassKind : quint8 { Unknown, Other, Graph, List, Dictionary, Date, Int32, Unreadable };

// Where a reference is wanted, what is no reference to an entry of the table. References and
// classes are answered as plain numbers: they are read several times for every entry, and a
// wrapped answer is stored and read back whole, which stalls when it was stored piece by piece.
constexpr quint64 kNoReference = std::numeric_limits<quint64>::max();

using OwnKey = platform::ArchiveOwnKeys::Key;
using OwnFields = platform::ArchiveOwnKeys::Fields;

std::optional<quint64> fieldOf(const OwnFields &fields, OwnKey key)
{
    return fields[size_t(key)];
}

// Reads a graph's archive as KeyedUnarchiver and HMIdentifierGraph::initWithCoder read it, packing
// each entry's pairs as they are met, in the order the archive holds them, through the arena the
// unarchiver's visitor packs with: the entries are the same bytes. It accepts only what it is sure
// the unarchiver accepts: every check the unarchiver makes on the way is made here too, and at
// anything else (a failing check, a value it does not know, a shape it is not sure of) it gives up,
// and the caller reads the archive with the unarchiver, which accepts or refuses it.
// Each text of the table is read where it stands; a key's text is made once.
class GraphFileReader final
{
public:
    GraphFileReader(KeyedUnarchiver::Frame frame, const std::function<void()> &releasePages)
        : m_document(std::move(frame.document)), m_top(frame.top), m_entries(m_document.elementsOf(frame.objects)),
          m_remainingSteps(KeyedUnarchiver::stepBudgetFor(m_entries.size())), m_names(size_t(m_entries.size())),
          m_states(size_t(m_entries.size()), Unseen), m_releasePages(releasePages)
    {
    }

    std::optional<std::unique_ptr<HMIdentifierGraph>> read(const QString &rootKey)
    {
        const quint64 graphIndex = rootKey.startsWith(QLatin1Char('$')) ? kNoReference : referenceUnder(m_top, rootKey);
        if (graphIndex == kNoReference || graphIndex == 0 || !consumeStep())
            return std::nullopt;
        const quint64 graphObject = m_entries.at(graphIndex);
        const std::optional<OwnFields> fields = ownFieldsOf(graphObject);
        if (!fields || classOf(*fields) != ClassKind::Graph)
            return std::nullopt;
        auto graph = std::make_unique<HMIdentifierGraph>();
        HMIdentifierGraph::Entries entries;
        if (!readEntries(graphObject, graphIndex, entries))
            return std::nullopt;
        const std::optional<QDateTime> date = lastSyncDate(graphObject, graphIndex);
        if (!date)
            return std::nullopt;
        graph->setEntries(entries, m_arena.mayHoldUnconfirmedAdd() ? HMIdentifierGraph::UnconfirmedAdds::Unknown
                                                                   : HMIdentifierGraph::UnconfirmedAdds::None);
        graph->setLastSyncDate(*date);
        return graph;
    }

private:
    // The entry a reference object names; kNoReference when it is no reference to an entry of the
    // table.
    quint64 referenceAt(quint64 object) const
    {
        const std::optional<quint64> uid = m_document.uidAt(object);
        return uid && *uid < m_entries.size() ? *uid : kNoReference;
    }

    // The entry under a key of a dictionary of the table; nil (0) when the key is missing.
    quint64 referenceUnder(quint64 dictionary, const QString &key) const
    {
        const std::optional<quint64> field = m_document.valueForKey(dictionary, key);
        return field ? referenceAt(*field) : 0;
    }

    bool consumeStep()
    {
        if (m_remainingSteps == 0)
            return false;
        --m_remainingSteps;
        return true;
    }

    std::optional<OwnFields> ownFieldsOf(quint64 dictionary) { return m_ownKeys.fieldsOf(m_document, dictionary); }
    // The same into the caller's fields, for the reads made for every entry.
    bool ownFieldsOf(quint64 dictionary, OwnFields &fields) { return m_ownKeys.fieldsOf(m_document, dictionary, fields); }

    // The class a dictionary's "$class" names, each class entry read once.
    ClassKind classOf(const OwnFields &fields)
    {
        const std::optional<quint64> classField = fieldOf(fields, OwnKey::Class);
        const quint64 index = classField ? referenceAt(*classField) : kNoReference;
        if (index == kNoReference)
            return ClassKind::Unreadable;
        Name &name = m_names[index];
        if (name.kind == ClassKind::Unknown)
            name.kind = classAt(index);
        return name.kind;
    }

    ClassKind classAt(quint64 index) const
    {
        const quint64 classEntry = m_entries.at(index);
        if (m_document.shapeOf(classEntry) != Shape::Dictionary)
            return ClassKind::Unreadable;
        const std::optional<quint64> field = m_document.valueForKey(classEntry, kClassNameKeyText);
        const platform::Result<QVariant> name =
            field && m_document.shapeOf(*field) == Shape::Leaf ? m_document.leafAt(*field) : platform::Result<QVariant>(QVariant());
        if (!name || name->typeId() != QMetaType::QString)
            return ClassKind::Unreadable;
        const QString &text = *static_cast<const QString *>(name->constData());
        if (text == kGraphClassText)
            return ClassKind::Graph;
        if (text == kArrayClass || text == kMutableArrayClass)
            return ClassKind::List;
        if (text == kDictionaryClass || text == kMutableDictionaryClass)
            return ClassKind::Dictionary;
        if (text == kInt32Class)
            return ClassKind::Int32;
        return text == kDateClass ? ClassKind::Date : ClassKind::Other;
    }

    bool readEntries(quint64 graphObject, quint64 graphIndex, HMIdentifierGraph::Entries &entries);
    bool readEntry(quint64 element);
    bool pairsOf(const OwnFields &fields, Document::Slots &pairs) const;
    bool readPair(quint64 keyElement, quint64 valueElement);
    bool packPairValue(const QString &key, quint64 index, quint64 &nodes);
    bool packValue(quint64 index, int depth, quint64 &nodes);
    bool packObjectAt(quint64 index, const OwnFields &fields, ClassKind kind, int depth, quint64 &nodes);
    bool packLeaf(quint64 object, int depth);
    bool packObject(const OwnFields &fields, ClassKind kind, int depth, quint64 &nodes);
    bool packList(const OwnFields &fields, int depth, quint64 &nodes);
    bool packDictionary(const OwnFields &fields, int depth, quint64 &nodes);
    bool packInt32(const OwnFields &fields);
    const QString *keyAt(quint64 index);
    std::optional<qint64> dateMsecsIn(const OwnFields &fields);
    std::optional<QDateTime> lastSyncDate(quint64 graphObject, quint64 graphIndex);

    Document m_document;
    quint64 m_top = 0;
    Document::Elements m_entries;
    quint64 m_remainingSteps = 0;
    quint64 m_expandedValues = 1;
    platform::ArchiveOwnKeys m_ownKeys;
    // By entry, what reading it as a class or as a key found: looked up at once for the many
    // dictionaries naming the same few classes and keys.
    struct Name
    {
        ClassKind kind = ClassKind::Unknown;
        // One past the key's place in m_keys; 0 when it is not kept.
        quint8 key = 0;
    };
    std::vector<Name> m_names;
    std::vector<QString> m_keys;
    QString m_unkeptKey;
    // By entry: whether it is being read (a list or dictionary that names it again contains
    // itself), or was read as a nested value (one named twice is left to the unarchiver, which
    // shares it).
    enum State : quint8 { Unseen, InProgress, ReadAsValue };
    std::vector<State> m_states;
    HMIdentifierGraphEntry::Arena m_arena;
    // Called every kEntriesPerRelease entries; may be empty.
    const std::function<void()> &m_releasePages;
    // The value being packed.
    QByteArray m_packing;
};

// The list under "identifierDictionaries", each of its dictionaries packed as an entry. A missing
// or nil list is an empty one.
bool GraphFileReader::readEntries(quint64 graphObject, quint64 graphIndex, HMIdentifierGraph::Entries &entries)
{
    const std::optional<quint64> field = m_document.valueForKey(graphObject, HMIdentifierGraph::kIdentifierDictionariesKey);
    const quint64 listIndex = field ? referenceAt(*field) : 0;
    if (listIndex == kNoReference)
        return false;
    if (listIndex == 0)
        return true;
    const quint64 list = m_entries.at(listIndex);
    const std::optional<OwnFields> fields = ownFieldsOf(list);
    const std::optional<quint64> objects = fields ? fieldOf(*fields, OwnKey::Objects) : std::nullopt;
    const std::optional<Document::Elements> items = objects ? m_document.arrayElementsOf(*objects) : std::nullopt;
    if (!items || classOf(*fields) != ClassKind::List || listIndex == graphIndex || !consumeStep())
        return false;
    m_states[graphIndex] = InProgress;
    m_states[listIndex] = InProgress;
    entries.reserve(qsizetype(items->size()));
    for (quint64 position = 0; position < items->size(); ++position) {
        if (!readEntry(items->at(position)))
            return false;
        entries.append(m_arena.end());
        if (m_releasePages && (position + 1) % kEntriesPerRelease == 0)
            m_releasePages();
    }
    return true;
}

// Packs the dictionary a list's element names into the arena, between its begin and end.
bool GraphFileReader::readEntry(quint64 element)
{
    const quint64 index = referenceAt(element);
    OwnFields fields;
    if (index == kNoReference || index == 0 || !ownFieldsOf(m_entries.at(index), fields) ||
        classOf(fields) != ClassKind::Dictionary) {
        return false;
    }
    Document::Slots pairs;
    if (!pairsOf(fields, pairs) || m_states[index] == InProgress || !consumeStep())
        return false;
    const State before = m_states[index];
    m_states[index] = InProgress;
    m_arena.begin();
    for (quint64 position = 0; position < pairs.keys.size(); ++position) {
        if (!readPair(pairs.keys.at(position), pairs.values.at(position)))
            return false;
    }
    m_states[index] = before;
    return true;
}

// A dictionary's lists of keys and values; false when it lacks either or they differ in length.
bool GraphFileReader::pairsOf(const OwnFields &fields, Document::Slots &pairs) const
{
    const std::optional<quint64> keysField = fieldOf(fields, OwnKey::Keys);
    const std::optional<quint64> valuesField = fieldOf(fields, OwnKey::Objects);
    const auto keys = keysField ? m_document.arrayElementsOf(*keysField) : std::nullopt;
    const auto values = valuesField ? m_document.arrayElementsOf(*valuesField) : std::nullopt;
    if (!keys || !values || keys->size() != values->size())
        return false;
    pairs = Document::Slots{*keys, *values};
    return true;
}

// One pair, its value packed as the unarchiver's visitor packs it.
bool GraphFileReader::readPair(quint64 keyElement, quint64 valueElement)
{
    const quint64 keyIndex = referenceAt(keyElement);
    const quint64 valueIndex = keyIndex != kNoReference ? referenceAt(valueElement) : kNoReference;
    const QString *key = valueIndex != kNoReference ? keyAt(keyIndex) : nullptr;
    if (!key)
        return false;
    quint64 nodes = 0;
    if (!packPairValue(*key, valueIndex, nodes))
        return false;
    m_expandedValues += nodes;
    return m_expandedValues <= KeyedUnarchiver::kMaxExpandedValues;
}

// Adds a pair to the entry: a text as it stands in the file, a date as its moment, any other value
// packed as a value inside a list. nodes counts what the value expands to.
bool GraphFileReader::packPairValue(const QString &key, quint64 index, quint64 &nodes)
{
    const quint64 object = m_entries.at(index);
    if (const std::optional<QByteArrayView> ascii = index == 0 ? std::nullopt : m_document.asciiTextAt(object)) {
        m_arena.addText(key, *ascii);
        nodes += 1;
        return true;
    }
    OwnFields fields;
    const bool isObject = index != 0 && ownFieldsOf(object, fields);
    // The class is read once: packObjectAt is given it.
    const ClassKind kind = isObject ? classOf(fields) : ClassKind::Unreadable;
    if (kind == ClassKind::Date) {
        const std::optional<qint64> msecs = dateMsecsIn(fields);
        if (msecs)
            m_arena.addUtcDate(key, *msecs);
        nodes += 1;
        return msecs.has_value();
    }
    // The fields just read are not read again.
    m_packing.resize(0);
    if (!isObject)
        return packValue(index, 0, nodes) && m_arena.addPacked(key, m_packing);
    nodes += 1;
    return packObjectAt(index, fields, kind, 0, nodes) && m_arena.addPacked(key, m_packing);
}

// A value named by its entry, as the unarchiver decodes it and an entry packs what it decoded.
bool GraphFileReader::packValue(quint64 index, int depth, quint64 &nodes)
{
    nodes += 1;
    if (index == 0) {
        PackedValue::appendValue(m_packing, QVariant(), depth);
        return true;
    }
    const quint64 object = m_entries.at(index);
    const Shape shape = m_document.shapeOf(object);
    if (shape == Shape::Leaf)
        return packLeaf(object, depth);
    OwnFields fields;
    return shape == Shape::Dictionary && ownFieldsOf(object, fields) &&
           packObjectAt(index, fields, classOf(fields), depth, nodes);
}

// A dictionary of the table whose own fields and class were read, as packValue packs it.
bool GraphFileReader::packObjectAt(quint64 index, const OwnFields &fields, ClassKind kind, int depth, quint64 &nodes)
{
    if (m_states[index] != Unseen || !consumeStep())
        return false;
    m_states[index] = InProgress;
    const bool isPacked = packObject(fields, kind, depth, nodes);
    m_states[index] = ReadAsValue;
    return isPacked;
}

bool GraphFileReader::packLeaf(quint64 object, int depth)
{
    return HMIdentifierGraphArchive::packLeaf(m_document, object, depth, m_packing);
}

// A value the archive keeps as a small object of its own.
bool GraphFileReader::packObject(const OwnFields &fields, ClassKind kind, int depth, quint64 &nodes)
{
    switch (kind) {
    case ClassKind::Date: {
        const std::optional<qint64> msecs = dateMsecsIn(fields);
        if (msecs)
            PackedValue::appendUtcDate(m_packing, *msecs);
        return msecs.has_value();
    }
    case ClassKind::Int32:
        return packInt32(fields);
    case ClassKind::List:
        return depth < PackedValue::kMaxNesting && packList(fields, depth, nodes);
    case ClassKind::Dictionary:
        return depth < PackedValue::kMaxNesting && packDictionary(fields, depth, nodes);
    default:
        return false;
    }
}

bool GraphFileReader::packList(const OwnFields &fields, int depth, quint64 &nodes)
{
    const std::optional<quint64> objects = fieldOf(fields, OwnKey::Objects);
    const std::optional<Document::Elements> items = objects ? m_document.arrayElementsOf(*objects) : std::nullopt;
    if (!items)
        return false;
    const qsizetype mark = PackedValue::appendListStart(m_packing, items->size());
    for (quint64 position = 0; position < items->size(); ++position) {
        const quint64 item = referenceAt(items->at(position));
        if (item == kNoReference || !packValue(item, depth + 1, nodes))
            return false;
    }
    PackedValue::appendContainerEnd(m_packing, mark);
    return true;
}

// A dictionary whose keys are ASCII texts in key order, each once, as the archiver writes them;
// any other is left to the unarchiver.
bool GraphFileReader::packDictionary(const OwnFields &fields, int depth, quint64 &nodes)
{
    Document::Slots pairs;
    if (!pairsOf(fields, pairs))
        return false;
    const qsizetype mark = PackedValue::appendDictionaryStart(m_packing, pairs.keys.size());
    QByteArrayView lastKey;
    for (quint64 position = 0; position < pairs.keys.size(); ++position) {
        const quint64 keyIndex = referenceAt(pairs.keys.at(position));
        const quint64 valueIndex = keyIndex != kNoReference ? referenceAt(pairs.values.at(position)) : kNoReference;
        const std::optional<QByteArrayView> key = valueIndex != kNoReference && keyIndex != 0
                                                      ? m_document.asciiTextAt(m_entries.at(keyIndex))
                                                      : std::nullopt;
        if (!key || (position > 0 && !(lastKey < *key)))
            return false;
        lastKey = *key;
        PackedValue::appendItemKey(m_packing, *key);
        if (!packValue(valueIndex, depth + 1, nodes))
            return false;
    }
    PackedValue::appendContainerEnd(m_packing, mark);
    return true;
}

bool GraphFileReader::packInt32(const OwnFields &fields)
{
    const std::optional<quint64> field = fieldOf(fields, OwnKey::IntValue);
    const platform::Result<QVariant> number =
        field && m_document.shapeOf(*field) == Shape::Leaf ? m_document.leafAt(*field) : platform::Result<QVariant>(QVariant());
    const qint64 value = number ? number->toLongLong() : 0;
    if (!number || number->typeId() != QMetaType::LongLong || value < std::numeric_limits<qint32>::min() ||
        value > std::numeric_limits<qint32>::max()) {
        return false;
    }
    PackedValue::appendValue(m_packing, QVariant(qint32(value)), 0);
    return true;
}

// The text of a dictionary's key, made once per entry of the table; nullptr when it is no text.
const QString *GraphFileReader::keyAt(quint64 index)
{
    const quint8 kept = m_names[index].key;
    if (kept != 0)
        return &m_keys[kept - 1];
    const quint64 object = m_entries.at(index);
    if (index == 0 || m_document.shapeOf(object) != Shape::Leaf)
        return nullptr;
    const platform::Result<QVariant> text = m_document.leafAt(object);
    if (!text || text->typeId() != QMetaType::QString)
        return nullptr;
    if (m_keys.size() >= kMaxKeptKeys) {
        m_unkeptKey = text->toString();
        return &m_unkeptKey;
    }
    m_names[index].key = quint8(m_keys.size() + 1);
    return &m_keys.emplace_back(text->toString());
}

// The moment of a date object, as the unarchiver reads it, by its fields; nullopt when it holds none.
std::optional<qint64> GraphFileReader::dateMsecsIn(const OwnFields &fields)
{
    const std::optional<quint64> time = fieldOf(fields, OwnKey::Time);
    if (!time || m_document.shapeOf(*time) != Shape::Leaf)
        return std::nullopt;
    // Times are reals, which are read without a value made.
    if (double real = 0; m_document.readReal(*time, real))
        return KeyedUnarchiver::msecsOfArchivedSeconds(real);
    const platform::Result<QVariant> seconds = m_document.leafAt(*time);
    return seconds ? KeyedUnarchiver::msecsOfArchivedTime(*seconds) : std::nullopt;
}

// The graph's "lastSyncDate": a date object, a date in place, or none; nullopt for anything else.
std::optional<QDateTime> GraphFileReader::lastSyncDate(quint64 graphObject, quint64 graphIndex)
{
    const std::optional<quint64> field = m_document.valueForKey(graphObject, HMIdentifierGraph::kLastSyncDateKey);
    if (!field)
        return QDateTime();
    std::optional<quint64> leaf = field;
    if (m_document.shapeOf(*field) == Shape::Uid) {
        const quint64 index = referenceAt(*field);
        if (index == kNoReference || index == graphIndex)
            return std::nullopt;
        if (index == 0)
            return QDateTime();
        leaf = m_entries.at(index);
        if (m_document.shapeOf(*leaf) == Shape::Dictionary) {
            const std::optional<OwnFields> fields = ownFieldsOf(*leaf);
            const bool isDate = fields && m_states[index] == Unseen && classOf(*fields) == ClassKind::Date;
            const std::optional<qint64> msecs = isDate && consumeStep() ? dateMsecsIn(*fields) : std::nullopt;
            return msecs ? std::optional(QDateTime::fromMSecsSinceEpoch(*msecs, Qt::UTC)) : std::nullopt;
        }
    }
    const platform::Result<QVariant> date =
        m_document.shapeOf(*leaf) == Shape::Leaf ? m_document.leafAt(*leaf) : platform::Result<QVariant>(QVariant());
    if (!date || date->typeId() != QMetaType::QDateTime)
        return std::nullopt;
    return date->toDateTime();
}

} // namespace

std::optional<std::unique_ptr<HMIdentifierGraph>>
HMIdentifierGraphArchive::streamedGraph(const QByteArray &bytes, const QString &rootKey,
                                        const std::function<void()> &releasePages)
{
    platform::Result<KeyedUnarchiver::Frame> frame = KeyedUnarchiver::openFrame(bytes);
    if (!frame)
        return std::nullopt;
    return GraphFileReader(std::move(frame).value(), releasePages).read(rootKey);
}

platform::Result<std::unique_ptr<HMIdentifierGraph>>
HMIdentifierGraphArchive::unarchivedGraph(QByteArray bytes, const QString &rootKey,
                                          const std::function<void()> &releasePages)
{
    std::optional<std::unique_ptr<HMIdentifierGraph>> streamed = streamedGraph(bytes, rootKey, releasePages);
    if (streamed)
        return std::move(*streamed);
    return KeyedUnarchiver::unarchiveObject<HMIdentifierGraph>(bytes, rootKey);
}

bool HMIdentifierGraphArchive::packLeaf(const Document &document, quint64 object, int depth, QByteArray &packing)
{
    if (const std::optional<QByteArrayView> ascii = document.asciiTextAt(object)) {
        PackedValue::appendText(packing, *ascii);
        return true;
    }
    const platform::Result<QVariant> value = document.leafAt(object);
    if (value)
        PackedValue::appendValue(packing, *value, depth);
    return value.ok();
}
