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
// dictionary is built per entry and no text per key.

using FlatPair = HMIdentifierGraphEntry::FlatPair;
using FlatText = HMIdentifierGraphFlatText;

namespace {

// Reads the entries' pairs and the items of their lists and dictionaries, with the keys' UTF-8.
// Refuses (answers false for) what a dictionary built from an entry does not hold exactly so.
class EntryItems final
{
public:
    // Calls add(key, pair) for each pair of the entry.
    template <typename Add>
    bool visitPairs(const HMIdentifierGraphEntry &entry, const Add &add)
    {
        bool hasKeys = true;
        const bool isWhole = entry.visitFlatPairs([&](const FlatPair &pair) {
            const std::optional<QByteArrayView> key = m_keys.utf8Of(pair);
            hasKeys = hasKeys && key;
            if (hasKeys)
                add(*key, pair);
        });
        return isWhole && hasKeys;
    }

    // The same for the items of a list or dictionary; the texts of a text list, made for the call,
    // are kept while this lives when keepsTexts says so.
    template <typename Add>
    bool visitItems(const FlatPair &container, bool keepsTexts, const Add &add)
    {
        const bool areItemsMade = keepsTexts && container.kind == FlatPair::Kind::TextList;
        return HMIdentifierGraphEntry::visitFlatItems(container, [&](const FlatPair &item) {
            if (!areItemsMade || item.kind != FlatPair::Kind::Text)
                return add(item.inlineKey, item);
            FlatPair kept = item;
            kept.bytes = m_made.emplace_back(item.bytes.toByteArray());
            add(item.inlineKey, kept);
        });
    }

private:
    FlatText::KeyTexts m_keys;
    std::deque<QByteArray> m_made;
};

bool isContainer(const FlatPair &value)
{
    return value.kind == FlatPair::Kind::List || value.kind == FlatPair::Kind::TextList ||
           value.kind == FlatPair::Kind::Dictionary;
}

// The first pass: counts the entries' objects as the generic writer counts them (one per value and
// one per dictionary key), and checks that each can be written exactly as the generic writer
// writes the dictionary built from it: no nothing, no null texts, texts of plain UTF-8 without a
// NUL, dictionaries' keys in order.
class PayloadCount final
{
public:
    explicit PayloadCount(EntryItems &items) : m_items(items) {}

    quint64 objects() const { return m_objects; }
    // The texts among them, keys included.
    quint64 texts() const { return m_texts; }

    // A list of entries, when there are any: entryOf gives each item's entry.
    template <typename Range, typename EntryOf>
    bool addEntries(const Range &range, const EntryOf &entryOf)
    {
        if (std::empty(range))
            return true;
        ++m_objects;
        for (const auto &item : range) {
            const HMIdentifierGraphEntry &entry = entryOf(item);
            if (!addContainer(true, [&](const auto &add) { return m_items.visitPairs(entry, add); }))
                return false;
        }
        return true;
    }

private:
    bool addValue(const FlatPair &value)
    {
        if (isContainer(value)) {
            return addContainer(value.kind == FlatPair::Kind::Dictionary,
                                [&](const auto &add) { return m_items.visitItems(value, false, add); });
        }
        ++m_objects;
        m_texts += value.kind == FlatPair::Kind::Text ? 1 : 0;
        return value.kind != FlatPair::Kind::Nil &&
               (value.kind != FlatPair::Kind::Text || FlatText::isStorableText(value.bytes));
    }

    // visitItems calls the add it is given with each item's key and value, and says whether it
    // read them all.
    template <typename VisitItems>
    bool addContainer(bool isDictionary, const VisitItems &visitItems)
    {
        ++m_objects;
        std::optional<QByteArrayView> lastKey;
        bool isExact = true;
        const bool isWhole = visitItems([&](QByteArrayView key, const FlatPair &item) {
            if (!isExact)
                return;
            if (isDictionary) {
                isExact = FlatText::isStorableText(key) && (!lastKey || FlatText::isKeyBefore(*lastKey, key));
                lastKey = key;
                ++m_objects;
                ++m_texts;
            }
            isExact = isExact && addValue(item);
        });
        return isWhole && isExact;
    }

    EntryItems &m_items;
    quint64 m_objects = 0;
    quint64 m_texts = 0;
};

// The second pass: writes the entries, and the payload's own values, as the generic writer writes
// them.
class PayloadWriter final
{
public:
    PayloadWriter(EntryItems &items, quint64 objectCount, quint64 textCount) : m_items(items), m_encoder(objectCount)
    {
        m_texts.reserve(qsizetype(textCount));
    }

    bool hasFailed() const { return m_hasFailed; }
    platform::binaryplist::Encoder &encoder() { return m_encoder; }

    quint64 text(QByteArrayView utf8)
    {
        // The object's number plus one: 0 is a text not written yet.
        quint64 &known = m_texts[utf8];
        if (known == 0)
            known = take(m_encoder.writeDistinctUtf8(utf8)) + 1;
        return known - 1;
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
        for (const auto &item : range) {
            const HMIdentifierGraphEntry &entry = entryOf(item);
            objects.push_back(container(true, [&](const auto &add) { return m_items.visitPairs(entry, add); }));
        }
        return m_encoder.writeArray(objects);
    }

private:
    quint64 value(const FlatPair &value)
    {
        switch (value.kind) {
        case FlatPair::Kind::List:
        case FlatPair::Kind::TextList:
        case FlatPair::Kind::Dictionary:
            return container(value.kind == FlatPair::Kind::Dictionary,
                             [&](const auto &add) { return m_items.visitItems(value, true, add); });
        case FlatPair::Kind::Text:
            return text(value.bytes);
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
        const bool isWhole = visitItems([&](QByteArrayView key, const FlatPair &item) {
            if (isDictionary)
                m_keys[depth].push_back(keyText(key, item.keyNumber));
            const quint64 written = value(item);
            m_values[depth].push_back(written);
        });
        m_hasFailed = m_hasFailed || !isWhole;
        --m_depth;
        std::vector<quint64> &keys = m_keys[depth];
        if (!isDictionary)
            return m_encoder.writeArray(m_values[depth]);
        keys.insert(keys.end(), m_values[depth].begin(), m_values[depth].end());
        return m_encoder.writeDictionary(keys);
    }

    // A numbered key's text is looked up once: every entry names the same few keys.
    quint64 keyText(QByteArrayView utf8, quint32 keyNumber)
    {
        if (keyNumber == 0)
            return text(utf8);
        if (keyNumber >= m_keyObjects.size())
            m_keyObjects.resize(size_t(keyNumber) + 1);
        if (!m_keyObjects[keyNumber])
            m_keyObjects[keyNumber] = text(utf8);
        return *m_keyObjects[keyNumber];
    }

    quint64 take(const platform::Result<quint64> &written)
    {
        if (written)
            return *written;
        m_hasFailed = true;
        return 0;
    }

    EntryItems &m_items;
    platform::binaryplist::Encoder m_encoder;
    // Each distinct text's object, by its UTF-8 (views of the entries' bytes and of kept texts).
    QHash<QByteArrayView, quint64> m_texts;
    // The objects of numbered keys' texts, by key number.
    std::vector<std::optional<quint64>> m_keyObjects;
    // Per depth of nesting, the keys and values of the container being written there.
    std::vector<std::vector<quint64>> m_keys;
    std::vector<std::vector<quint64>> m_values;
    size_t m_depth = 0;
    bool m_hasFailed = false;
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

} // namespace

std::optional<QByteArray> HMIdentifierGraphJournal::streamedPayload(const HMIdentifierGraph::Changes &changes,
                                                                    const std::optional<QDateTime> &lastSyncDate)
{
    EntryItems items;
    PayloadCount count(items);
    if (!count.addEntries(changes.appended, itself) || !count.addEntries(changes.replaced, replacement))
        return std::nullopt;
    const bool hasDate = lastSyncDate && lastSyncDate->isValid();
    // The texts of the entries and the payload's keys.
    PayloadWriter writer(items, payloadObjectCount(changes, hasDate, count.objects()), count.texts() + 5);
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
        add(kAppendedKey, [&] { return writer.entries(changes.appended, itself); });
    if (hasDate)
        add(kLastSyncDateKey, [&] { return writer.value(QVariant(*lastSyncDate)); });
    if (!changes.removed.empty())
        add(kRemovedKey, [&] { return writer.positions(changes.removed); });
    if (!changes.replaced.empty()) {
        add(kReplacedAtKey, [&] { return writer.positions(changes.replaced); });
        add(kReplacementsKey, [&] { return writer.entries(changes.replaced, replacement); });
    }
    fields.insert(fields.end(), values.begin(), values.end());
    const quint64 top = writer.encoder().writeDictionary(fields);
    if (writer.hasFailed())
        return std::nullopt;
    return writer.encoder().finish(top);
}
