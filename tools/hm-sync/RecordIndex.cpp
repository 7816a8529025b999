#include "RecordIndex.h"

#include <QHashFunctions>

#include <algorithm>
#include <cstring>
#include <limits>

namespace hmsync {

namespace {

constexpr qint64 kNoDate = std::numeric_limits<qint64>::min();

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

void SlotTable::clear()
{
    m_slots.clear();
    m_isBuilt = false;
}

void SlotTable::start()
{
    m_slots.clear();
    m_isBuilt = true;
}

qint32 SlotTable::find(QByteArrayView key, const KeyOf &keyOf) const
{
    for (const quint64 slot : m_slots.entriesFor(hashOfId(key))) {
        if (keyOf(qint32(slot)) == key)
            return qint32(slot);
    }
    return -1;
}

void SlotTable::insert(qint32 slot, const KeyOf &keyOf)
{
    const QByteArrayView key = keyOf(slot);
    const size_t hash = hashOfId(key);
    if (const qint32 held = find(key, keyOf); held >= 0)
        m_slots.remove(hash, quint64(held));
    m_slots.insert(hash, quint64(slot));
    m_isBuilt = true;
}

void SlotTable::remove(QByteArrayView key, qint32 slot, const KeyOf &keyOf)
{
    if (find(key, keyOf) == slot)
        m_slots.remove(hashOfId(key), quint64(slot));
}

void RecordIndex::clear()
{
    m_slots = {};
    m_byId.clear();
    m_byPhoneId.clear();
    m_texts = {};
    m_liveCount = 0;
}

qint32 RecordIndex::find(QByteArrayView id) const
{
    return m_byId.find(id, idOf());
}

qint32 RecordIndex::findByPhoneId(QByteArrayView phoneId) const
{
    if (!m_byPhoneId.isBuilt()) {
        // Made once: most syncs find every record through their graph and never ask.
        m_byPhoneId.start();
        for (const qint32 slot : ordered()) {
            if (!phoneIdAt(slot).isEmpty())
                m_byPhoneId.insert(slot, phoneIdOf());
        }
    }
    return phoneId.isEmpty() ? -1 : m_byPhoneId.find(phoneId, phoneIdOf());
}

qint64 RecordIndex::appendText(QByteArrayView text)
{
    const qint64 at = m_texts.size();
    m_texts.append(text);
    return at;
}

qint32 RecordIndex::put(QByteArrayView id, QByteArrayView phoneId, const QDateTime &changed, const Place &place)
{
    qint32 slot = find(id);
    if (slot < 0) {
        slot = qint32(m_slots.size());
        Slot fresh;
        fresh.idAt = appendText(id);
        fresh.idBytes = qint32(id.size());
        fresh.isLive = true;
        m_slots.push_back(fresh);
        m_byId.insert(slot, idOf());
        ++m_liveCount;
    }
    setPhoneIdAt(slot, phoneId);
    m_slots[size_t(slot)].changed = changed.isValid() ? changed.toMSecsSinceEpoch() : kNoDate;
    moveTo(slot, place);
    return slot;
}

// The record given a phone id is the one found by it from then on, as when it was given it first.
void RecordIndex::setPhoneIdAt(qint32 slot, QByteArrayView phoneId)
{
    if (m_byPhoneId.isBuilt() && !phoneIdAt(slot).isEmpty())
        m_byPhoneId.remove(phoneIdAt(slot), slot, phoneIdOf());
    if (phoneIdAt(slot) != phoneId) {
        Slot &kept = m_slots[size_t(slot)];
        kept.phoneIdAt = appendText(phoneId);
        kept.phoneIdBytes = qint32(phoneId.size());
    }
    if (m_byPhoneId.isBuilt() && !phoneId.isEmpty())
        m_byPhoneId.insert(slot, phoneIdOf());
}

bool RecordIndex::erase(QByteArrayView id)
{
    const qint32 slot = find(id);
    if (slot < 0)
        return false;
    if (m_byPhoneId.isBuilt() && !phoneIdAt(slot).isEmpty())
        m_byPhoneId.remove(phoneIdAt(slot), slot, phoneIdOf());
    m_byId.remove(id, slot, idOf());
    m_slots[size_t(slot)].isLive = false;
    --m_liveCount;
    return true;
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

std::vector<qint32> RecordIndex::ordered(const std::function<bool(qint32 slot)> &wanted) const
{
    std::vector<qint32> order;
    order.reserve(wanted ? 0 : size_t(m_liveCount));
    for (qint32 slot = 0; slot < qint32(m_slots.size()); ++slot) {
        if (m_slots[size_t(slot)].isLive && (!wanted || wanted(slot)))
            order.push_back(slot);
    }
    const auto byId = [this](qint32 left, qint32 right) { return idAt(left) < idAt(right); };
    // A store as loaded from its file is in order already.
    if (!std::is_sorted(order.begin(), order.end(), byId))
        std::sort(order.begin(), order.end(), byId);
    return order;
}

} // namespace hmsync
