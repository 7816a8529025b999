// Which of the graph's dictionaries the persons of a listing took: the deletions are those left.
#include "datasources/contacts/HMContactData.h"

#include "foundation/Lumberjack/DDLog.h"
#include "sync/HMChangeDates.h"
#include "sync/HMIdentifierDictionaryKeys.h"

#include <algorithm>

using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;

namespace {

size_t hashOf(QByteArrayView bytes)
{
    return qHash(bytes, 0);
}

// The part of a hash a slot keeps: its high half chooses the slot.
quint32 tagOf(size_t hash)
{
    return quint32(hash) & 0x3FFFFFFF;
}

// A slot for each entry and half as many free ones: probing stays short, and the table costs
// 12 bytes an entry.
size_t slotCountFor(qsizetype entries)
{
    return std::max<size_t>(16, size_t(entries) + size_t(entries) / 2);
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
    m_slots.assign(slotCountFor(m_entries.size()), Slot{});
    m_isTaken.assign(size_t(m_entries.size()), false);
    for (qsizetype position = 0; position < m_entries.size(); ++position) {
        const HMIdentifierGraphEntry &entry = m_entries.at(position);
        // An id UTF-8 cannot carry, or no text at all, is never the id of a listed person.
        const std::optional<QByteArrayView> nativeId = entry.utf8TextOf(WellKnownKey::NativeId);
        if (!nativeId || nativeId->isEmpty())
            continue;
        const size_t hash = hashOf(*nativeId);
        Slot &slot = m_slots[slotOf(*nativeId, hash)];
        // A second entry with the id: the full look picks one of them, and warns.
        if (slot.position >= 0) {
            slot.isOnly = false;
            continue;
        }
        const std::optional<QByteArrayView> hmUid = entry.utf8TextOf(WellKnownKey::HmUid);
        slot = Slot{tagOf(hash), 1, hmUid && !hmUid->isEmpty() ? 1U : 0U, qint32(position)};
    }
}

QByteArrayView HMContactData::TakenDictionaries::nativeIdAt(qsizetype position) const
{
    return m_entries.at(position).utf8TextOf(WellKnownKey::NativeId).value_or(QByteArrayView());
}

// An id is compared only with the entries whose hash agrees with its own: every other comparison
// would read an entry's id, which lies wherever the graph keeps it.
size_t HMContactData::TakenDictionaries::slotOf(QByteArrayView nativeId, size_t hash) const
{
    const size_t count = m_slots.size();
    const quint32 tag = tagOf(hash);
    size_t slot = size_t((quint64(quint32(quint64(hash) >> 32)) * count) >> 32);
    while (m_slots[slot].position >= 0 &&
           (m_slots[slot].tag != tag || nativeIdAt(m_slots[slot].position) != nativeId))
        slot = slot + 1 == count ? 0 : slot + 1;
    return slot;
}

const HMContactData::TakenDictionaries::Slot *HMContactData::TakenDictionaries::slotFor(QByteArrayView nativeId) const
{
    if (m_slots.empty() || nativeId.isEmpty())
        return nullptr;
    const Slot &slot = m_slots[slotOf(nativeId, hashOf(nativeId))];
    return slot.position >= 0 ? &slot : nullptr;
}

// Answers what the full look would: a confirmed person dated no later than the last sync goes
// nowhere and takes the dictionary of its id. Once the graph's list changed, every person gets the
// full look: the list the positions belong to is no longer the graph's. A person dated after the
// last sync is as the sync itself last wrote it when its dictionary holds that very date: the full
// look passes it over too (the persons a sync wrote after its own date are many after one that
// brought many).
bool HMContactData::TakenDictionaries::takeIfUnchanged(const platform::ABAddressBook::ListedPerson &person)
{
    const qint64 modified = person.modificationMs();
    if (m_slots.empty() || modified < 0)
        return false;
    const Slot *slot = slotFor(person.uniqueIdUtf8());
    if (!slot || !slot->isOnly || !slot->hasHmUid || m_isTaken[size_t(slot->position)])
        return false;
    if (!isGraphAsListed() || (modified > m_afterMs && !isWrittenAt(slot->position, modified)))
        return false;
    m_isTaken[size_t(slot->position)] = true;
    ++m_takenCount;
    return true;
}

bool HMContactData::TakenDictionaries::isWrittenAt(qsizetype position, qint64 modifiedMs) const
{
    const QDateTime written = m_entries.at(position).value(hmidentifier::kWrittenModificationDateKey).toDateTime();
    return written.isValid() && written.toMSecsSinceEpoch() == modifiedMs;
}

// An id found once names its entry; an id found under two entries needs the lookup that warns of it,
// and an id not found has no entry (none is kept under bytes a listed id could have but UTF-8 ones).
bool HMContactData::TakenDictionaries::findEntry(const platform::ABAddressBook::ListedPerson &person,
                                                 std::optional<HMIdentifierGraphEntry> &entry) const
{
    const QByteArrayView nativeId = person.uniqueIdUtf8();
    if (m_slots.empty() || nativeId.isEmpty() || !isGraphAsListed())
        return false;
    const Slot *slot = slotFor(nativeId);
    if (slot && !slot->isOnly)
        return false;
    entry = slot ? std::optional(m_entries.at(slot->position)) : std::nullopt;
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
        const Slot *slot = QStringView(nativeId).isValidUtf16() ? slotFor(nativeId.toUtf8()) : nullptr;
        return slot && m_isTaken[size_t(slot->position)];
    });
}

QHash<QString, QString> HMContactData::TakenDictionaries::table() const
{
    QHash<QString, QString> table = m_byNativeId;
    table.reserve(m_byNativeId.size() + m_takenCount);
    for (size_t position = 0; position < m_isTaken.size(); ++position) {
        if (!m_isTaken[position])
            continue;
        const QByteArrayView nativeId = nativeIdAt(qsizetype(position));
        QString text = QString::fromUtf8(nativeId);
        if (!table.contains(text))
            table.insert(std::move(text),
                         QString::fromUtf8(*m_entries.at(qsizetype(position)).utf8TextOf(WellKnownKey::HmUid)));
    }
    return table;
}
