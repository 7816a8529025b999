#pragma once

#include <QVarLengthArray>
#include <QtGlobal>

#include <vector>

// Entry numbers by the hash of an identifier, for the identifier graph's indexes: an open-addressing
// table of 8-byte slots, at most three quarters full, so an index costs some 11 to 21 bytes per
// entry where a hash table of buckets costs five times that. Several entries may share a hash (the same identifier
// in two entries, or two identifiers that hash alike): whoever looks up checks each candidate
// against its entry. Only the low 32 bits of a hash are kept.
class HMIdentifierGraphHashIndex final
{
public:
    using Entries = QVarLengthArray<quint64, 4>;
    // The largest entry number the index holds.
    static constexpr quint64 kLargestEntry = 0xfffffffeU;

    void clear();
    // Room for this many entries without growing.
    void reserve(qsizetype count);
    // The entry must not exceed kLargestEntry.
    void insert(size_t hash, quint64 entry);
    // Removes the entry under the hash; nothing when it is not there.
    void remove(size_t hash, quint64 entry);
    // The entries under the hash, ascending.
    Entries entriesFor(size_t hash) const;
    qsizetype count() const { return m_count; }
    // Gives each entry the number renumbered(entry) answers, at most kLargestEntry; each stays under
    // its hash.
    template <typename Renumber>
    void renumber(const Renumber &renumbered)
    {
        for (Slot &slot : m_slots) {
            if (slot.entry != kFree)
                slot.entry = quint32(renumbered(quint64(slot.entry)));
        }
    }

private:
    struct Slot
    {
        quint32 hash = 0;
        quint32 entry = kFree;
    };
    static constexpr quint32 kFree = 0xffffffffU;

    size_t homeOf(quint32 hash) const { return hash & (m_slots.size() - 1); }
    size_t nextOf(size_t slot) const { return (slot + 1) & (m_slots.size() - 1); }
    void rehash(size_t slotCount);
    void eraseAt(size_t slot);

    std::vector<Slot> m_slots;
    qsizetype m_count = 0;
};
