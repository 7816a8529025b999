#include "RecordIndex.h"

#include <QHashFunctions>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace hmsync {

namespace {

constexpr qint32 kEmpty = -1;
constexpr qint32 kRemoved = -2;
constexpr qint64 kNoDate = std::numeric_limits<qint64>::min();
constexpr qsizetype kFirstBucketCount = 64;

} // namespace

size_t hashOfId(QByteArrayView id)
{
    quint64 hash = quint64(QHashSeed::globalSeed()) ^ (quint64(id.size()) * 0x9e3779b97f4a7c15ULL);
    qsizetype at = 0;
    for (; at + 8 <= id.size(); at += 8) {
        quint64 word = 0;
        std::memcpy(&word, id.data() + at, 8);
        hash = (hash ^ word) * 0xff51afd7ed558ccdULL;
        hash ^= hash >> 32;
    }
    quint64 tail = 0;
    if (at < id.size())
        std::memcpy(&tail, id.data() + at, size_t(id.size() - at));
    hash = (hash ^ tail) * 0xc4ceb9fe1a85ec53ULL;
    return size_t(hash ^ (hash >> 29));
}

void RecordIndex::clear()
{
    m_slots = {};
    m_table = {};
    m_texts = {};
    m_liveCount = 0;
    m_usedBuckets = 0;
}

// The bucket holding the id's slot, or else the free bucket where it would go (the first removal mark
// met, so that marks are reused). The table always has a free bucket: it is at most half used.
qsizetype RecordIndex::bucketOf(QByteArrayView id) const
{
    const qsizetype mask = qsizetype(m_table.size()) - 1;
    qsizetype reusable = -1;
    for (qsizetype bucket = qsizetype(hashOfId(id)) & mask;; bucket = (bucket + 1) & mask) {
        const qint32 slot = m_table[size_t(bucket)];
        if (slot == kEmpty)
            return reusable >= 0 ? reusable : bucket;
        if (slot == kRemoved) {
            if (reusable < 0)
                reusable = bucket;
        } else if (idAt(slot) == id) {
            return bucket;
        }
    }
}

qint32 RecordIndex::find(QByteArrayView id) const
{
    if (m_table.empty())
        return -1;
    const qint32 slot = m_table[size_t(bucketOf(id))];
    return slot >= 0 ? slot : -1;
}

qint64 RecordIndex::appendText(QByteArrayView text)
{
    const qint64 at = m_texts.size();
    m_texts.append(text);
    return at;
}

qint32 RecordIndex::put(QByteArrayView id, QByteArrayView phoneId, const QDateTime &changed, const Place &place)
{
    if (2 * (m_usedBuckets + 1) > qsizetype(m_table.size()))
        rebuildTable(std::max(kFirstBucketCount, qsizetype(std::bit_ceil(size_t(4 * (m_liveCount + 1))))));
    const qsizetype bucket = bucketOf(id);
    qint32 slot = m_table[size_t(bucket)];
    if (slot < 0) {
        if (slot == kEmpty)
            ++m_usedBuckets;
        slot = qint32(m_slots.size());
        Slot fresh;
        fresh.idAt = appendText(id);
        fresh.idBytes = qint32(id.size());
        fresh.isLive = true;
        m_slots.push_back(fresh);
        m_table[size_t(bucket)] = slot;
        ++m_liveCount;
    }
    Slot &kept = m_slots[size_t(slot)];
    if (phoneIdAt(slot) != phoneId) {
        kept.phoneIdAt = appendText(phoneId);
        kept.phoneIdBytes = qint32(phoneId.size());
    }
    kept.changed = changed.isValid() ? changed.toMSecsSinceEpoch() : kNoDate;
    moveTo(slot, place);
    return slot;
}

bool RecordIndex::erase(QByteArrayView id)
{
    if (m_table.empty())
        return false;
    const qsizetype bucket = bucketOf(id);
    const qint32 slot = m_table[size_t(bucket)];
    if (slot < 0)
        return false;
    m_slots[size_t(slot)].isLive = false;
    m_table[size_t(bucket)] = kRemoved;
    --m_liveCount;
    return true;
}

void RecordIndex::rebuildTable(qsizetype bucketCount)
{
    m_table.assign(size_t(bucketCount), kEmpty);
    m_usedBuckets = 0;
    for (qint32 slot = 0; slot < qint32(m_slots.size()); ++slot) {
        if (m_slots[size_t(slot)].isLive) {
            m_table[size_t(bucketOf(idAt(slot)))] = slot;
            ++m_usedBuckets;
        }
    }
}

QByteArrayView RecordIndex::idAt(qint32 slot) const
{
    const Slot &kept = m_slots[size_t(slot)];
    return QByteArrayView(m_texts).sliced(kept.idAt, kept.idBytes);
}

QByteArrayView RecordIndex::phoneIdAt(qint32 slot) const
{
    const Slot &kept = m_slots[size_t(slot)];
    return QByteArrayView(m_texts).sliced(kept.phoneIdAt, kept.phoneIdBytes);
}

QDateTime RecordIndex::changedAt(qint32 slot) const
{
    const qint64 changed = m_slots[size_t(slot)].changed;
    return changed == kNoDate ? QDateTime() : QDateTime::fromMSecsSinceEpoch(changed, Qt::UTC);
}

RecordIndex::Place RecordIndex::placeAt(qint32 slot) const
{
    const Slot &kept = m_slots[size_t(slot)];
    return Place{kept.offset, kept.length, kept.isInLog};
}

RecordHead RecordIndex::headAt(qint32 slot) const
{
    const Place place = placeAt(slot);
    return RecordHead{changedAt(slot), QString::fromUtf8(phoneIdAt(slot)), place.offset, place.length, place.isInLog};
}

void RecordIndex::moveTo(qint32 slot, const Place &place)
{
    Slot &kept = m_slots[size_t(slot)];
    kept.offset = place.offset;
    kept.length = qint32(place.length);
    kept.isInLog = place.isInLog;
}

std::vector<qint32> RecordIndex::ordered() const
{
    std::vector<qint32> order;
    order.reserve(size_t(m_liveCount));
    for (qint32 slot = 0; slot < qint32(m_slots.size()); ++slot) {
        if (m_slots[size_t(slot)].isLive)
            order.push_back(slot);
    }
    const auto byId = [this](qint32 left, qint32 right) { return idAt(left) < idAt(right); };
    // A store as loaded from its file is in order already.
    if (!std::is_sorted(order.begin(), order.end(), byId))
        std::sort(order.begin(), order.end(), byId);
    return order;
}

} // namespace hmsync
