#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include "sync/HMIdentifierGraphHashIndex.h"

#include <functional>
#include <vector>

namespace hmsync {

// What the store keeps in memory of a record: what a sync needs to decide whether to look at it,
// and where its line lies in the file or the log.
struct RecordHead
{
    QDateTime changedOnDesktop;
    QString phoneId;
    qint64 offset = 0;
    qint64 length = 0;
    bool isInLog = false;
};

// A hash of a record's id or phone id (UTF-8) for the store's tables: a few multiplications a word,
// where the general hash of byte arrays cost a tenth of a sync that changes nothing. Seeded per process.
size_t hashOfId(QByteArrayView id);

// Slot numbers found by a text of their slot (told by keyOf), one slot per text, over the identifier
// graph's hash index. Built once started or first inserted into.
class SlotTable final
{
public:
    using KeyOf = std::function<QByteArrayView(qint32 slot)>;

    bool isBuilt() const { return m_isBuilt; }
    // An empty table that counts as built.
    void start();
    void clear();
    // The slot under the key; -1 when none is.
    qint32 find(QByteArrayView key, const KeyOf &keyOf) const;
    // Puts the slot under its key, in place of any other slot held under it.
    void insert(qint32 slot, const KeyOf &keyOf);
    // Takes the slot from under the key when it is the one held there.
    void remove(QByteArrayView key, qint32 slot, const KeyOf &keyOf);

private:
    HMIdentifierGraphHashIndex m_slots;
    bool m_isBuilt = false;
};

// The memory store's index of one conduit's records: per record its id, its phone id, its change date
// and where its line lies. Each record takes one fixed-size slot, its two texts (UTF-8) lie in one
// shared buffer, and ids are found through a table of slot numbers: under a hundred bytes a record and
// no allocation of its own, where a map of texts took two and a half times that and three allocations.
// Records are found by phone id through a second table, made when first asked for. A slot keeps its
// number while the index lives; a removed record leaves its slot dead. Not thread-safe.
class RecordIndex final
{
public:
    // Where a record's line lies.
    struct Place
    {
        qint64 offset = 0;
        qint64 length = 0;
        bool isInLog = false;
    };

    qsizetype size() const { return m_liveCount; }
    bool isEmpty() const { return m_liveCount == 0; }
    void clear();

    // The record's slot; -1 when there is none.
    qint32 find(QByteArrayView id) const;
    // The slot of the record last given the phone id (of those that still hold it, in the order they
    // were given it, or of their ids for those loaded); -1 when none was.
    qint32 findByPhoneId(QByteArrayView phoneId) const;
    // Keeps the record under its id, replacing what was kept of it; answers its slot.
    qint32 put(QByteArrayView id, QByteArrayView phoneId, const QDateTime &changed, const Place &place);
    // Forgets the record; false when there was none.
    bool erase(QByteArrayView id);

    QByteArrayView idAt(qint32 slot) const;
    QByteArrayView phoneIdAt(qint32 slot) const;
    QDateTime changedAt(qint32 slot) const;
    Place placeAt(qint32 slot) const;
    RecordHead headAt(qint32 slot) const;
    void moveTo(qint32 slot, const Place &place);

    // The live records' slots (those wanted, when told) in the order of their ids (by UTF-8 bytes,
    // which is code point order). Only the wanted are ordered.
    std::vector<qint32> ordered(const std::function<bool(qint32 slot)> &wanted = {}) const;

private:
    struct Slot
    {
        qint64 offset = 0;
        // Milliseconds since the epoch; kNoDate for none.
        qint64 changed = 0;
        qint64 idAt = 0;
        qint64 phoneIdAt = 0;
        // Lines longer than a store allows never reach the index.
        qint32 length = 0;
        qint32 idBytes = 0;
        qint32 phoneIdBytes = 0;
        bool isInLog = false;
        bool isLive = false;
    };

    SlotTable::KeyOf idOf() const
    {
        return [this](qint32 slot) { return idAt(slot); };
    }
    SlotTable::KeyOf phoneIdOf() const
    {
        return [this](qint32 slot) { return phoneIdAt(slot); };
    }
    qint64 appendText(QByteArrayView text);
    void setPhoneIdAt(qint32 slot, QByteArrayView phoneId);

    std::vector<Slot> m_slots;
    SlotTable m_byId;
    mutable SlotTable m_byPhoneId;
    QByteArray m_texts;
    qsizetype m_liveCount = 0;
};

} // namespace hmsync
