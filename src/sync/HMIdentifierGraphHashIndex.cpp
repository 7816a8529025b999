#include "sync/HMIdentifierGraphHashIndex.h"

#include <algorithm>

namespace {

constexpr size_t kFewestSlots = 16;

// Whether count entries leave a quarter of the slots free: runs of taken slots then stay short
// with the spread hashes identifiers give, and a table sized for a graph costs half what a half
// full one would.
bool fits(qsizetype count, size_t slotCount)
{
    return size_t(count) * 4 <= slotCount * 3;
}

// The number of slots that keeps count entries at most three quarters full: a power of two.
size_t slotsFor(qsizetype count)
{
    size_t slotCount = kFewestSlots;
    while (!fits(count, slotCount))
        slotCount *= 2;
    return slotCount;
}

} // namespace

void HMIdentifierGraphHashIndex::clear()
{
    // A fresh vector, so that the table's memory goes too: assigning {} would keep its capacity.
    m_slots = std::vector<Slot>();
    m_count = 0;
}

void HMIdentifierGraphHashIndex::reserve(qsizetype count)
{
    if (slotsFor(count) > m_slots.size())
        rehash(slotsFor(count));
}

void HMIdentifierGraphHashIndex::rehash(size_t slotCount)
{
    std::vector<Slot> old = std::exchange(m_slots, std::vector<Slot>(slotCount));
    for (const Slot &slot : old) {
        if (slot.entry == kFree)
            continue;
        size_t position = homeOf(slot.hash);
        while (m_slots[position].entry != kFree)
            position = nextOf(position);
        m_slots[position] = slot;
    }
}

void HMIdentifierGraphHashIndex::insert(size_t hash, quint64 entry)
{
    Q_ASSERT(entry <= kLargestEntry);
    if (!fits(m_count + 1, m_slots.size()))
        rehash(slotsFor(m_count + 1));
    const quint32 shortHash = quint32(hash);
    size_t position = homeOf(shortHash);
    while (m_slots[position].entry != kFree)
        position = nextOf(position);
    m_slots[position] = Slot{shortHash, quint32(entry)};
    ++m_count;
}

void HMIdentifierGraphHashIndex::remove(size_t hash, quint64 entry)
{
    if (m_slots.empty())
        return;
    const quint32 shortHash = quint32(hash);
    // A run of taken slots always ends: a quarter of the table is always free.
    for (size_t position = homeOf(shortHash); m_slots[position].entry != kFree; position = nextOf(position)) {
        if (m_slots[position].hash == shortHash && m_slots[position].entry == entry) {
            eraseAt(position);
            return;
        }
    }
}

// Frees a slot and moves later slots of the run back into the hole where their lookups still find
// them, so that no lookup ever stops short at a freed slot.
void HMIdentifierGraphHashIndex::eraseAt(size_t slot)
{
    --m_count;
    size_t hole = slot;
    for (;;) {
        m_slots[hole] = Slot();
        size_t later = hole;
        for (;;) {
            later = nextOf(later);
            if (m_slots[later].entry == kFree)
                return;
            const size_t home = homeOf(m_slots[later].hash);
            // The slot stays when its home lies cyclically after the hole, up to the slot itself.
            const bool staysPut = hole <= later ? (hole < home && home <= later) : (hole < home || home <= later);
            if (!staysPut)
                break;
        }
        m_slots[hole] = m_slots[later];
        hole = later;
    }
}

HMIdentifierGraphHashIndex::Entries HMIdentifierGraphHashIndex::entriesFor(size_t hash) const
{
    Entries entries;
    if (m_slots.empty())
        return entries;
    const quint32 shortHash = quint32(hash);
    for (size_t position = homeOf(shortHash); m_slots[position].entry != kFree; position = nextOf(position)) {
        if (m_slots[position].hash == shortHash)
            entries.append(m_slots[position].entry);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}
