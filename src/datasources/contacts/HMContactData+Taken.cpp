// Which of the graph's dictionaries the persons of a listing took: the deletions are those left.
#include "datasources/contacts/HMContactData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMChangeDates.h"

#include <algorithm>

using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;

namespace {

size_t hashOf(QByteArrayView bytes)
{
    return qHash(bytes, 0);
}

// The part of a hash a slot keeps besides its position: its low bits choose the slot.
quint32 tagOf(size_t hash)
{
    return quint32(quint64(hash) >> 32) ^ quint32(hash);
}

} // namespace

// Only when the graph holds no unconfirmed dictionary (whose person goes as new again) and nothing
// is logged at info level (the full look logs each person) are persons taken by their ids alone.
HMContactData::TakenDictionaries::TakenDictionaries(std::shared_ptr<HMIdentifierGraph> graph, const QDateTime &after)
    : m_graph(std::move(graph)), m_entries(m_graph->entries())
{
    const bool isLoggingPersons = (ddLogLevel.load(std::memory_order_relaxed) & LOG_FLAG_INFO) != 0;
    if (!after.isValid() || isLoggingPersons || m_graph->hasUnconfirmedEntries() || m_entries.isEmpty())
        return;
    m_afterMs = hmchangedates::lastUnchangedMs(after);
    indexEntries();
}

void HMContactData::TakenDictionaries::indexEntries()
{
    size_t capacity = 16;
    while (capacity < 2 * size_t(m_entries.size()))
        capacity *= 2;
    m_slots.assign(capacity, Slot{});
    m_known.resize(size_t(m_entries.size()));
    m_isTaken.assign(size_t(m_entries.size()), false);
    for (qsizetype position = 0; position < m_entries.size(); ++position) {
        const HMIdentifierGraphEntry &entry = m_entries.at(position);
        // An id UTF-8 cannot carry, or no text at all, is never the id of a listed person.
        const std::optional<QByteArrayView> nativeId = entry.utf8TextOf(WellKnownKey::NativeId);
        if (!nativeId || nativeId->isEmpty())
            continue;
        const std::optional<QByteArrayView> hmUid = entry.utf8TextOf(WellKnownKey::HmUid);
        Known &known = m_known[size_t(position)];
        known = Known{nativeId->data(), quint32(nativeId->size()), true, hmUid && !hmUid->isEmpty()};
        const size_t hash = hashOf(*nativeId);
        Slot &slot = m_slots[slotOf(*nativeId, hash)];
        // A second entry with the id: the full look picks one of them, and warns.
        if (slot.position >= 0)
            m_known[size_t(slot.position)].isOnly = known.isOnly = false;
        else
            slot = Slot{tagOf(hash), qint32(position)};
    }
}

// An id is compared only with the entries whose hash agrees with its own: every other comparison
// would wait on an entry's id, which lies wherever the graph keeps it.
size_t HMContactData::TakenDictionaries::slotOf(QByteArrayView nativeId, size_t hash) const
{
    const size_t mask = m_slots.size() - 1;
    const quint32 tag = tagOf(hash);
    size_t slot = hash & mask;
    while (m_slots[slot].position >= 0 &&
           (m_slots[slot].tag != tag || m_known[size_t(m_slots[slot].position)].view() != nativeId))
        slot = (slot + 1) & mask;
    return slot;
}

qsizetype HMContactData::TakenDictionaries::positionOf(QByteArrayView nativeId) const
{
    return m_slots.empty() || nativeId.isEmpty() ? -1 : m_slots[slotOf(nativeId, hashOf(nativeId))].position;
}

// Answers what the full look would: a confirmed person dated no later than the last sync goes
// nowhere and takes the dictionary of its id. Once the graph's list changed, every person gets the
// full look: the list the positions belong to is no longer the graph's.
bool HMContactData::TakenDictionaries::takeIfUnchanged(const platform::ABAddressBook::ListedPerson &person)
{
    const qint64 modified = person.modificationMs();
    if (m_slots.empty() || modified < 0 || modified > m_afterMs)
        return false;
    const qsizetype position = positionOf(person.uniqueIdUtf8());
    const Known *known = position >= 0 ? &m_known[size_t(position)] : nullptr;
    if (!known || !known->isOnly || !known->hasHmUid || m_isTaken[size_t(position)])
        return false;
    if (!isGraphAsListed())
        return false;
    m_isTaken[size_t(position)] = true;
    ++m_takenCount;
    return true;
}

// An id found once names its entry; an id found under two entries needs the lookup that warns of it,
// and an id not found has no entry (none is kept under bytes a listed id could have but UTF-8 ones).
bool HMContactData::TakenDictionaries::findEntry(const platform::ABAddressBook::ListedPerson &person,
                                                 std::optional<HMIdentifierGraphEntry> &entry) const
{
    const QByteArrayView nativeId = person.uniqueIdUtf8();
    if (m_slots.empty() || nativeId.isEmpty() || !isGraphAsListed())
        return false;
    const qsizetype position = positionOf(nativeId);
    if (position >= 0 && !m_known[size_t(position)].isOnly)
        return false;
    entry = position >= 0 ? std::optional(m_entries.at(position)) : std::nullopt;
    return true;
}

// Each dictionary taken stands for one dictionary of the graph, and no two for the same one unless a
// native id was noted both ways: when the graph holds no more dictionaries than were taken, every one was.
bool HMContactData::TakenDictionaries::isEveryOneOf(qsizetype dictionaries) const
{
    if (dictionaries != m_byNativeId.size() + m_takenCount)
        return false;
    return std::none_of(m_byNativeId.keyBegin(), m_byNativeId.keyEnd(), [this](const QString &nativeId) {
        // A text UTF-8 cannot carry is the id of no entry found by its bytes.
        const qsizetype position = QStringView(nativeId).isValidUtf16() ? positionOf(nativeId.toUtf8()) : -1;
        return position >= 0 && m_isTaken[size_t(position)];
    });
}

QHash<QString, QString> HMContactData::TakenDictionaries::table() const
{
    QHash<QString, QString> table = m_byNativeId;
    table.reserve(m_byNativeId.size() + m_takenCount);
    for (size_t position = 0; position < m_isTaken.size(); ++position) {
        if (!m_isTaken[position])
            continue;
        const QByteArrayView nativeId = m_known[position].view();
        QString text = QString::fromUtf8(nativeId);
        if (!table.contains(text))
            table.insert(std::move(text),
                         QString::fromUtf8(*m_entries.at(qsizetype(position)).utf8TextOf(WellKnownKey::HmUid)));
    }
    return table;
}
