#include "sync/HMIdentifierGraphJournal.h"

#include "platform/foundation/PropertyListBinary.h"
#include "sync/HMIdentifierGraphFlatText.h"

#include <QHash>

#include <deque>
#include <type_traits>
#include <vector>

// A change line's binary property list written straight from the packed entries, object by object
// in the order the generic writer writes the dictionary payloadOf builds: a dictionary's pairs in
// key order, each key's text before its value, what a list or dictionary holds before it, and each
// distinct text once, where it first stands. The generic writer fixes the width of references by a
// count of the objects it may write; the same count is taken here, so the bytes are the same. No
// dictionary is built per entry and no text per key.

using FlatPair = HMIdentifierGraphEntry::FlatPair;

namespace {

const QByteArrayView kRemovedKey = "removed";
const QByteArrayView kReplacedAtKey = "replacedAt";
const QByteArrayView kReplacementsKey = "replacements";
const QByteArrayView kAppendedKey = "appended";
const QByteArrayView kLastSyncDateKey = "lastSyncDate";

// One value of the payload: a list or dictionary stands before the values it holds (count of
// them), each of a dictionary's with its key.
struct Node
{
    FlatPair value;
    QByteArrayView key;
    quint64 count = 0;
};

// The entries' values gathered in writing order, with the generic writer's count of objects.
// Refuses (answers false for) what a dictionary built from an entry does not hold exactly so:
// nothing, null texts, texts that are not plain UTF-8 or hold a NUL, keys out of order.
class PayloadNodes final
{
public:
    std::vector<Node> nodes;
    // The generic writer's count: one per value and one per dictionary key.
    quint64 objectCount = 0;

    // A list of entries: entryAt(index) gives each.
    template <typename EntryAt>
    bool addEntries(qsizetype count, const EntryAt &entryAt)
    {
        FlatPair list;
        list.kind = FlatPair::Kind::List;
        nodes.push_back(Node{list, {}, quint64(count)});
        ++objectCount;
        FlatPair dictionary;
        dictionary.kind = FlatPair::Kind::Dictionary;
        for (qsizetype index = 0; index < count; ++index) {
            const HMIdentifierGraphEntry &entry = entryAt(index);
            if (!addContainer({}, dictionary, [&](const auto &add) { return visitPairs(entry, add); }))
                return false;
        }
        return true;
    }

private:
    // An entry's own pairs, with their keys' UTF-8.
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

    // The items of a list or dictionary in an entry's bytes; a text list's texts are kept.
    template <typename Add>
    bool visitItems(const FlatPair &container, const Add &add)
    {
        const bool areItemsMade = container.kind == FlatPair::Kind::TextList;
        return HMIdentifierGraphEntry::visitFlatItems(container, [&](const FlatPair &item) {
            if (!areItemsMade || item.kind != FlatPair::Kind::Text)
                return add(item.inlineKey, item);
            FlatPair kept = item;
            kept.bytes = m_made.emplace_back(item.bytes.toByteArray());
            add(item.inlineKey, kept);
        });
    }

    bool addValue(QByteArrayView key, const FlatPair &value)
    {
        switch (value.kind) {
        case FlatPair::Kind::Nil:
            return false;
        case FlatPair::Kind::Text:
            if (!hmflattext::isStorableText(value.bytes))
                return false;
            break;
        case FlatPair::Kind::List:
        case FlatPair::Kind::TextList:
        case FlatPair::Kind::Dictionary:
            return addContainer(key, value, [&](const auto &add) { return visitItems(value, add); });
        default:
            break;
        }
        nodes.push_back(Node{value, key, 0});
        ++objectCount;
        return true;
    }

    // A list or dictionary, then what it holds: visitItems calls the add it is given with each
    // item's key and value, and says whether it read them all.
    template <typename VisitItems>
    bool addContainer(QByteArrayView key, const FlatPair &container, const VisitItems &visitItems)
    {
        const size_t slot = nodes.size();
        nodes.push_back(Node{container, key, 0});
        ++objectCount;
        const bool isDictionary = container.kind == FlatPair::Kind::Dictionary;
        std::optional<QByteArrayView> lastKey;
        bool isExact = true;
        quint64 count = 0;
        const bool isWhole = visitItems([&](QByteArrayView itemKey, const FlatPair &item) {
            if (!isExact)
                return;
            if (isDictionary) {
                isExact = hmflattext::isStorableText(itemKey) && (!lastKey || hmflattext::isKeyBefore(*lastKey, itemKey));
                lastKey = itemKey;
                ++objectCount;
            }
            isExact = isExact && addValue(itemKey, item);
            ++count;
        });
        nodes[slot].count = count;
        return isWhole && isExact;
    }

    hmflattext::KeyTexts m_keys;
    // Texts of text lists, made while reading them.
    std::deque<QByteArray> m_made;
};

// Writes gathered values, and the payload's own, as the generic writer writes them.
class PayloadWriter final
{
public:
    PayloadWriter(quint64 objectCount, qsizetype textCount) : m_encoder(objectCount) { m_texts.reserve(textCount); }

    bool hasFailed() const { return m_hasFailed; }
    platform::binaryplist::Encoder &encoder() { return m_encoder; }

    quint64 text(QByteArrayView utf8)
    {
        const auto known = m_texts.constFind(utf8);
        if (known != m_texts.constEnd())
            return *known;
        const quint64 object = take(m_encoder.writeDistinctUtf8(utf8));
        m_texts.insert(utf8, object);
        return object;
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

    // The node at the index, with what it holds; the index moves past them.
    quint64 node(const std::vector<Node> &nodes, size_t &index)
    {
        const Node &node = nodes[index++];
        switch (node.value.kind) {
        case FlatPair::Kind::List:
        case FlatPair::Kind::TextList:
        case FlatPair::Kind::Dictionary:
            return container(nodes, index, node);
        case FlatPair::Kind::Text:
            return text(node.value.bytes);
        case FlatPair::Kind::Bool:
            return value(QVariant(node.value.number != 0));
        case FlatPair::Kind::Real:
            return value(QVariant(node.value.real));
        case FlatPair::Kind::Data:
            return value(QVariant(QByteArray::fromRawData(node.value.bytes.data(), node.value.bytes.size())));
        case FlatPair::Kind::UtcDate:
            return value(QVariant(QDateTime::fromMSecsSinceEpoch(node.value.number, Qt::UTC)));
        default:
            return value(QVariant(node.value.number));
        }
    }

private:
    // What a list or dictionary holds goes into a list of references kept per depth of nesting.
    quint64 container(const std::vector<Node> &nodes, size_t &index, const Node &node)
    {
        const bool isDictionary = node.value.kind == FlatPair::Kind::Dictionary;
        const size_t keys = isDictionary ? size_t(node.count) : 0;
        // Looked up by its depth after each item: a deeper container may add a list and move them.
        const size_t depth = m_depth++;
        if (depth == m_references.size())
            m_references.emplace_back();
        m_references[depth].resize(keys + size_t(node.count));
        for (size_t item = 0; item < size_t(node.count); ++item) {
            if (isDictionary)
                m_references[depth][item] = key(nodes[index]);
            const quint64 value = this->node(nodes, index);
            m_references[depth][keys + item] = value;
        }
        --m_depth;
        const std::vector<quint64> &objects = m_references[depth];
        return isDictionary ? m_encoder.writeDictionary(objects) : m_encoder.writeArray(objects);
    }

    // A numbered key's text is looked up once: every entry names the same few keys.
    quint64 key(const Node &item)
    {
        const quint32 number = item.value.keyNumber;
        if (number == 0)
            return text(item.key);
        if (number >= m_keyObjects.size())
            m_keyObjects.resize(size_t(number) + 1);
        if (!m_keyObjects[number])
            m_keyObjects[number] = text(item.key);
        return *m_keyObjects[number];
    }

    quint64 take(const platform::Result<quint64> &written)
    {
        if (written)
            return *written;
        m_hasFailed = true;
        return 0;
    }

    platform::binaryplist::Encoder m_encoder;
    // Each distinct text's object, by its UTF-8 (views of the entries' bytes and of kept texts).
    QHash<QByteArrayView, quint64> m_texts;
    // The objects of numbered keys' texts, by key number.
    std::vector<std::optional<quint64>> m_keyObjects;
    std::vector<std::vector<quint64>> m_references;
    size_t m_depth = 0;
    bool m_hasFailed = false;
};

// The entries of the changes, appended first, as the payload lists them.
std::optional<PayloadNodes> gatheredEntries(const HMIdentifierGraph::Changes &changes)
{
    PayloadNodes gathered;
    if (!changes.appended.isEmpty() &&
        !gathered.addEntries(changes.appended.size(), [&](qsizetype index) -> const auto & { return changes.appended.at(index); }))
        return std::nullopt;
    if (!changes.replaced.empty() &&
        !gathered.addEntries(qsizetype(changes.replaced.size()),
                             [&](qsizetype index) -> const auto & { return changes.replaced[size_t(index)].second; }))
        return std::nullopt;
    return gathered;
}

// The generic writer's count of the payload's objects: itself, a text per key, the date, the lists
// of positions with what they hold, and the entries' objects.
quint64 payloadObjectCount(const HMIdentifierGraph::Changes &changes, bool hasDate, quint64 entryObjects)
{
    const quint64 keys = quint64(!changes.appended.isEmpty()) + quint64(hasDate) + quint64(!changes.removed.empty()) +
                         2 * quint64(!changes.replaced.empty());
    const quint64 positionLists = quint64(!changes.removed.empty()) + quint64(!changes.replaced.empty());
    return 1 + keys + quint64(hasDate) + positionLists + changes.removed.size() + changes.replaced.size() + entryObjects;
}

} // namespace


std::optional<QByteArray> HMIdentifierGraphJournal::streamedPayload(const HMIdentifierGraph::Changes &changes,
                                                                    const std::optional<QDateTime> &lastSyncDate)
{
    const std::optional<PayloadNodes> gathered = gatheredEntries(changes);
    if (!gathered)
        return std::nullopt;
    const bool hasDate = lastSyncDate && lastSyncDate->isValid();
    PayloadWriter writer(payloadObjectCount(changes, hasDate, gathered->objectCount), qsizetype(gathered->nodes.size()));
    // The payload's keys in key order, each key's text written before its value.
    std::vector<quint64> keys;
    std::vector<quint64> values;
    size_t next = 0;
    const auto add = [&](QByteArrayView key, const auto &write) {
        keys.push_back(writer.text(key));
        values.push_back(write());
    };
    if (!changes.appended.isEmpty())
        add(kAppendedKey, [&] { return writer.node(gathered->nodes, next); });
    if (hasDate)
        add(kLastSyncDateKey, [&] { return writer.value(QVariant(*lastSyncDate)); });
    if (!changes.removed.empty())
        add(kRemovedKey, [&] { return writer.positions(changes.removed); });
    if (!changes.replaced.empty()) {
        add(kReplacedAtKey, [&] { return writer.positions(changes.replaced); });
        add(kReplacementsKey, [&] { return writer.node(gathered->nodes, next); });
    }
    keys.insert(keys.end(), values.begin(), values.end());
    const quint64 top = writer.encoder().writeDictionary(keys);
    if (writer.hasFailed())
        return std::nullopt;
    return writer.encoder().finish(top);
}
