#include "sync/HMIdentifierGraphJournal.h"

#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraphFlatText.h"

#include <QHash>

#include <deque>
#include <iterator>
#include <type_traits>
#include <vector>

// A change line's binary property list written straight from the packed entries, object by object
// in the order the generic writer writes the dictionary payloadOf builds: a dictionary's pairs in
// key order, each key's text before its value, what a list or dictionary holds before it, and each
// distinct text once, where it first stands. The generic writer fixes the width of references by a
// count of the objects it may write; the same count is taken here, so the bytes are the same. No
// dictionary is built per entry and no text per key. A value no flat pair holds (a value kept in
// Qt's stream form, a null text, a text UTF-8 cannot carry) is written from its QVariant as the
// generic writer writes it, its texts through the same table as the others.

using FlatPair = HMIdentifierGraphEntry::FlatPair;
using FlatText = HMIdentifierGraphFlatText;

namespace {

// The payload's own keys, and a few numbered keys of entries, beside the entries' texts.
constexpr qsizetype kPayloadKeys = 16;
// A guess at the objects an entry's packed bytes make, for the width of references a line is first
// written with: a pair takes a key's number, a value's tag and the value's bytes for its two objects.
constexpr quint64 kBytesPerObject = 8;
// Lines hold about one distinct text for every three objects; the table of texts is made for that
// many at once, up to a bound.
constexpr quint64 kObjectsPerText = 3;
constexpr quint64 kLargestTextReserve = quint64(1) << 20;

// Reads the entries' pairs and the items of their lists and dictionaries, with the keys' texts.
// Answers false for damaged bytes.
class EntryItems final
{
public:
    // Calls add(key, pair) for each pair of the entry.
    template <typename Add>
    bool visitPairs(const HMIdentifierGraphEntry &entry, const Add &add)
    {
        bool hasKeys = true;
        const bool isWhole = entry.visitFlatPairs([&](const FlatPair &pair) {
            const std::optional<QByteArrayView> key = m_keys.keyOf(pair);
            hasKeys = hasKeys && key;
            if (hasKeys)
                add(*key, pair);
        });
        return isWhole && hasKeys;
    }

    // The same for the items of a list or dictionary.
    template <typename Add>
    static bool visitItems(const FlatPair &container, const Add &add)
    {
        return HMIdentifierGraphEntry::visitFlatItems(container,
                                                      [&](const FlatPair &item) { add(item.inlineKey, item); });
    }

private:
    FlatText::KeyTexts m_keys;
};

// Lists and dictionaries written item by item from their packed bytes.
bool isContainer(const FlatPair &value)
{
    return value.kind == FlatPair::Kind::List ||
           (value.kind == FlatPair::Kind::Dictionary && FlatText::areKeysInOrder(value));
}

// Values written from the QVariant they read as.
bool isVariant(const FlatPair &value)
{
    return value.kind == FlatPair::Kind::TextList || value.kind == FlatPair::Kind::Other ||
           (value.kind == FlatPair::Kind::Dictionary && !isContainer(value));
}

// Writes the entries, and the payload's own values, as the generic writer writes them, and fails
// where it fails. Counts on the way the objects the generic writer counts for the entries (one per
// value and one per dictionary key, a value no flat pair holds as its QVariant counts), which fix
// the width of its references.
class PayloadWriter final
{
public:
    // The table of texts is made large enough at once for the texts expected of so many objects: a
    // page's line holds thousands, and a table grown to that size is rebuilt a dozen times on the way.
    PayloadWriter(EntryItems &items, quint64 objectBound) : m_items(items), m_encoder(objectBound)
    {
        m_texts.reserve(qsizetype(std::min<quint64>(objectBound / kObjectsPerText, kLargestTextReserve)) + kPayloadKeys);
    }

    // The first failure met, if any.
    const std::optional<platform::Error> &failure() const { return m_failure; }
    // The entries' objects as the generic writer counts them, of the entries written so far.
    quint64 entryObjects() const { return m_objects; }
    platform::binaryplist::Encoder &encoder() { return m_encoder; }

    // A text by its key (HMIdentifierGraphFlatText), which stays put while the writer lives.
    quint64 text(QByteArrayView key)
    {
        if (const auto known = m_texts.constFind(key); known != m_texts.constEnd())
            return *known;
        return newText(key);
    }

    // A text as an entry holds it: its bytes are nearly always its key (a key that starts with
    // 0xFF is never the UTF-8 of a text).
    quint64 rawText(QByteArrayView utf8)
    {
        if (!FlatText::isWide(utf8)) {
            if (const auto known = m_texts.constFind(utf8); known != m_texts.constEnd())
                return *known;
        }
        if (std::optional<QByteArray> key = FlatText::keyOfUtf8(utf8))
            return madeText(std::move(*key));
        // Bytes that are their own key and that the table does not hold.
        return newText(utf8);
    }

    quint64 value(const QVariant &value) { return take(m_encoder.writeValue(value)); }

    // A list of positions, given as such or as the first of pairs.
    template <typename Position>
    quint64 positions(const std::vector<Position> &positions)
    {
        std::vector<quint64> objects;
        objects.reserve(positions.size());
        for (const Position &position : positions) {
            if constexpr (std::is_same_v<Position, qsizetype>)
                objects.push_back(value(QVariant(qint64(position))));
            else
                objects.push_back(value(QVariant(qint64(position.first))));
        }
        return m_encoder.writeArray(objects);
    }

    // A list of entries: entryOf gives each item's entry.
    template <typename Range, typename EntryOf>
    quint64 entries(const Range &range, const EntryOf &entryOf)
    {
        std::vector<quint64> objects;
        objects.reserve(size_t(range.size()));
        ++m_objects;
        for (const auto &item : range) {
            const HMIdentifierGraphEntry &entry = entryOf(item);
            objects.push_back(container(true, [&](const auto &add) { return m_items.visitPairs(entry, add); }));
        }
        return m_encoder.writeArray(objects);
    }

private:
    // The depth of nesting the generic writer gives a value of a container being written: the
    // payload, the list of entries, then the entry.
    int itemDepth() const { return int(m_depth) + 2; }

    quint64 value(const FlatPair &value)
    {
        if (isContainer(value)) {
            return container(value.kind == FlatPair::Kind::Dictionary,
                             [&](const auto &add) { return EntryItems::visitItems(value, add); });
        }
        if (isVariant(value)) {
            const std::optional<QVariant> read = HMIdentifierGraphEntry::valueOf(value);
            if (!read)
                return fail(QStringLiteral("an identifier graph entry is damaged"));
            m_objects += platform::binaryplist::Encoder::objectsIn(*read);
            return variant(*read, itemDepth());
        }
        ++m_objects;
        switch (value.kind) {
        case FlatPair::Kind::Nil:
            return this->value(QVariant());
        case FlatPair::Kind::Text:
            return rawText(value.bytes);
        case FlatPair::Kind::Bool:
            return this->value(QVariant(value.number != 0));
        case FlatPair::Kind::Real:
            return this->value(QVariant(value.real));
        case FlatPair::Kind::Data:
            return this->value(QVariant(QByteArray::fromRawData(value.bytes.data(), value.bytes.size())));
        case FlatPair::Kind::UtcDate:
            return this->value(QVariant(QDateTime::fromMSecsSinceEpoch(value.number, Qt::UTC)));
        default:
            return this->value(QVariant(value.number));
        }
    }

    // A value no flat pair holds, as the generic writer writes it at that depth: its texts, and
    // the keys of its dictionaries, go through the table of texts the flat texts go through.
    quint64 variant(const QVariant &value, int depth)
    {
        if (depth > platform::binaryplist::kMaxNestingDepth)
            return fail(QStringLiteral("value nests deeper than %1 levels").arg(platform::binaryplist::kMaxNestingDepth));
        switch (value.typeId()) {
        case QMetaType::QString:
            return madeText(FlatText::keyOf(*static_cast<const QString *>(value.constData())));
        case QMetaType::QVariantList:
        case QMetaType::QStringList: {
            std::vector<quint64> items;
            for (const QVariant &item : value.toList())
                items.push_back(variant(item, depth + 1));
            return m_encoder.writeArray(items);
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash:
            return variantMap(value.toMap(), depth);
        default:
            return this->value(value);
        }
    }

    quint64 variantMap(const QVariantMap &map, int depth)
    {
        std::vector<quint64> keys;
        std::vector<quint64> values;
        for (auto item = map.cbegin(); item != map.cend(); ++item) {
            if (item.key().contains(QChar(u'\0')))
                return fail(QStringLiteral("dictionary key \"%1\" holds a NUL character").arg(item.key().left(40)));
            keys.push_back(madeText(FlatText::keyOf(item.key())));
            values.push_back(variant(item.value(), depth + 1));
        }
        keys.insert(keys.end(), values.begin(), values.end());
        return m_encoder.writeDictionary(keys);
    }

    // A text the table does not hold yet, by its key, which stays put while the writer lives.
    quint64 newText(QByteArrayView key)
    {
        const quint64 object = FlatText::isWide(key) ? take(m_encoder.writeDistinctText(FlatText::textOf(key)))
                                                     : take(m_encoder.writeDistinctUtf8(key));
        m_texts.insert(key, object);
        return object;
    }

    // A text whose key was made for the call: kept while the writer lives when it is new.
    quint64 madeText(QByteArray key)
    {
        if (const auto known = m_texts.constFind(key); known != m_texts.constEnd())
            return *known;
        return text(m_made.emplace_back(std::move(key)));
    }

    // A list or dictionary: visitItems calls the add it is given with each item's key and value,
    // and says whether it read them all. What it holds is gathered in lists of references kept per
    // depth of nesting, looked up by depth after each item: a deeper container may add lists and
    // move them.
    template <typename VisitItems>
    quint64 container(bool isDictionary, const VisitItems &visitItems)
    {
        const size_t depth = m_depth++;
        if (depth == m_keys.size()) {
            m_keys.emplace_back();
            m_values.emplace_back();
        }
        m_keys[depth].clear();
        m_values[depth].clear();
        ++m_objects;
        const bool isWhole = visitItems([&](QByteArrayView key, const FlatPair &item) {
            if (isDictionary) {
                ++m_objects;
                m_keys[depth].push_back(keyText(key, item.keyNumber));
            }
            const quint64 written = value(item);
            m_values[depth].push_back(written);
        });
        if (!isWhole)
            fail(QStringLiteral("an identifier graph entry is damaged"));
        --m_depth;
        std::vector<quint64> &keys = m_keys[depth];
        if (!isDictionary)
            return m_encoder.writeArray(m_values[depth]);
        keys.insert(keys.end(), m_values[depth].begin(), m_values[depth].end());
        return m_encoder.writeDictionary(keys);
    }

    // A numbered key's text is looked up once: every entry names the same few keys.
    quint64 keyText(QByteArrayView key, quint32 keyNumber)
    {
        if (keyNumber == 0)
            return rawText(key);
        if (keyNumber >= m_keyObjects.size())
            m_keyObjects.resize(size_t(keyNumber) + 1);
        if (!m_keyObjects[keyNumber])
            m_keyObjects[keyNumber] = text(key);
        return *m_keyObjects[keyNumber];
    }

    quint64 fail(const QString &message)
    {
        if (!m_failure)
            m_failure = platform::Error(platform::ErrorCode::DataMalformed, message);
        return 0;
    }

    quint64 take(const platform::Result<quint64> &written)
    {
        if (written)
            return *written;
        if (!m_failure)
            m_failure = written.error();
        return 0;
    }

    EntryItems &m_items;
    platform::binaryplist::Encoder m_encoder;
    // Each distinct text's object, by its key (views of the entries' bytes and of made keys).
    QHash<QByteArrayView, quint64> m_texts;
    std::deque<QByteArray> m_made;
    // The objects of numbered keys' texts, by key number.
    std::vector<std::optional<quint64>> m_keyObjects;
    // Per depth of nesting, the keys and values of the container being written there.
    std::vector<std::vector<quint64>> m_keys;
    std::vector<std::vector<quint64>> m_values;
    size_t m_depth = 0;
    quint64 m_objects = 0;
    std::optional<platform::Error> m_failure;
};

const HMIdentifierGraphEntry &itself(const HMIdentifierGraphEntry &entry)
{
    return entry;
}

const HMIdentifierGraphEntry &replacement(const std::pair<qsizetype, HMIdentifierGraphEntry> &replaced)
{
    return replaced.second;
}

// The generic writer's count of the payload's objects: itself, a text per key, the date, the lists
// of positions with what they hold, and the entries' objects.
quint64 payloadObjectCount(const HMIdentifierGraph::Changes &changes, bool hasDate, quint64 entryObjects)
{
    const quint64 keys = quint64(!changes.appended.isEmpty()) + quint64(hasDate) + quint64(!changes.removed.empty()) +
                         2 * quint64(!changes.replaced.empty());
    const quint64 positionLists = quint64(!changes.removed.empty()) + quint64(!changes.replaced.empty());
    const quint64 positions = changes.removed.size() + changes.replaced.size();
    return 1 + keys + quint64(hasDate) + positionLists + positions + entryObjects;
}

// The payload written with references of the width a bound of its objects gives them. counted is
// set to the generic writer's count of its objects, which fixes the width the bytes must have.
platform::Result<QByteArray> writePayload(const HMIdentifierGraph::Changes &changes,
                                          const std::optional<QDateTime> &lastSyncDate, quint64 objectBound,
                                          quint64 &counted)
{
    using Journal = HMIdentifierGraphJournal;
    EntryItems items;
    PayloadWriter writer(items, objectBound);
    const bool hasDate = lastSyncDate && lastSyncDate->isValid();
    // The payload's keys in key order, each key's text written before its value.
    std::vector<quint64> fields;
    std::vector<quint64> values;
    // The keys' UTF-8 lives as long as the writer, which keeps its texts by view.
    std::deque<QByteArray> keyTexts;
    const auto add = [&](const QString &key, const auto &write) {
        fields.push_back(writer.text(keyTexts.emplace_back(key.toUtf8())));
        values.push_back(write());
    };
    if (!changes.appended.isEmpty())
        add(Journal::kAppendedKey, [&] { return writer.entries(changes.appended, itself); });
    if (hasDate)
        add(Journal::kLastSyncDateKey, [&] { return writer.value(QVariant(*lastSyncDate)); });
    if (!changes.removed.empty())
        add(Journal::kRemovedKey, [&] { return writer.positions(changes.removed); });
    if (!changes.replaced.empty()) {
        add(Journal::kReplacedAtKey, [&] { return writer.positions(changes.replaced); });
        add(Journal::kReplacementsKey, [&] { return writer.entries(changes.replaced, replacement); });
    }
    fields.insert(fields.end(), values.begin(), values.end());
    const quint64 top = writer.encoder().writeDictionary(fields);
    counted = payloadObjectCount(changes, hasDate, writer.entryObjects());
    if (writer.failure())
        return *writer.failure();
    return writer.encoder().finish(top);
}

// A first guess at the generic writer's count of the payload's objects, from the size of the
// entries' packed bytes: most entries take several bytes per object.
quint64 guessedObjectCount(const HMIdentifierGraph::Changes &changes, bool hasDate)
{
    quint64 entryBytes = 0;
    for (const HMIdentifierGraphEntry &entry : changes.appended)
        entryBytes += quint64(entry.packed().size());
    for (const auto &[position, entry] : changes.replaced)
        entryBytes += quint64(entry.packed().size());
    return payloadObjectCount(changes, hasDate, entryBytes / kBytesPerObject + quint64(changes.appended.size()) +
                                                    quint64(changes.replaced.size()));
}

} // namespace

// Written once, counting its objects on the way, with references of the width a guess at that
// count gives: the count is known only once every entry is written, and a pass over the entries
// only to count them costs nearly what writing them does. Where the guess gave another width than
// the count, the payload is written again with the count's.
platform::Result<QByteArray> HMIdentifierGraphJournal::streamedPayload(const HMIdentifierGraph::Changes &changes,
                                                                       const std::optional<QDateTime> &lastSyncDate)
{
    using platform::binaryplist::Encoder;
    const quint64 guess = guessedObjectCount(changes, lastSyncDate && lastSyncDate->isValid());
    quint64 counted = 0;
    platform::Result<QByteArray> payload = writePayload(changes, lastSyncDate, guess, counted);
    if (!payload || Encoder::referenceWidthFor(counted) == Encoder::referenceWidthFor(guess))
        return payload;
    return writePayload(changes, lastSyncDate, counted, counted);
}
