#include "platform/eventkit/ICalendarItemIndex.h"

#include <QHash>

#include <algorithm>
#include <iterator>

namespace platform {

namespace {

// Entries added since the last merge are looked through one by one: they are merged once they
// pass a small share of the sorted ones, so that a lookup stays short and a merge rare.
qsizetype addedBeforeMerge(qsizetype sortedCount)
{
    return 32 + sortedCount / 16;
}

} // namespace

quint32 ICalendarItemIndex::keyOf(QStringView text)
{
    const size_t hash = qHash(text, size_t(0));
    return quint32(quint64(hash) ^ (quint64(hash) >> 32));
}

void ICalendarItemIndex::reserve(qsizetype count)
{
    m_added.reserve(m_added.size() + size_t(std::max<qsizetype>(count, 0)));
}

void ICalendarItemIndex::add(quint32 key, ICalendarFile *file)
{
    addBeforeMerge(key, file);
    if (qsizetype(m_added.size()) > addedBeforeMerge(qsizetype(m_sorted.size())))
        merge();
}

void ICalendarItemIndex::addBeforeMerge(quint32 key, ICalendarFile *file)
{
    m_added.push_back({key, m_nextOrder++, file});
}

// The first entry of the file under the key goes, as the files under a key come in the order added.
void ICalendarItemIndex::remove(quint32 key, const ICalendarFile *file)
{
    const auto byKey = [](const Entry &entry, quint32 wanted) { return entry.key < wanted; };
    for (auto at = std::lower_bound(m_sorted.begin(), m_sorted.end(), key, byKey);
         at != m_sorted.end() && at->key == key; ++at) {
        if (at->file == file) {
            at->file = nullptr;
            ++m_blanked;
            return;
        }
    }
    const auto added = std::find_if(m_added.begin(), m_added.end(), [key, file](const Entry &entry) {
        return entry.key == key && entry.file == file;
    });
    if (added != m_added.end())
        m_added.erase(added);
}

// Those merged before come first, then those added since, each in the order added.
QList<ICalendarFile *> ICalendarItemIndex::filesWithKey(quint32 key) const
{
    QList<ICalendarFile *> files;
    const auto byKey = [](const Entry &entry, quint32 wanted) { return entry.key < wanted; };
    for (auto at = std::lower_bound(m_sorted.cbegin(), m_sorted.cend(), key, byKey);
         at != m_sorted.cend() && at->key == key; ++at) {
        if (at->file)
            files.append(at->file);
    }
    for (const Entry &entry : m_added) {
        if (entry.key == key)
            files.append(entry.file);
    }
    return files;
}

// Sorted by key and the order of addition, numbered afresh; blanked entries go. Those added since the
// last merge were added after every sorted one: sorted among themselves, they are merged with the
// sorted ones in one pass, so that a merge costs what was added, not a sort of the whole index. The
// merged entries are given room for exactly what they hold: an index of every file of a folder grows by
// merges, and a doubled room would stay empty by up to half.
void ICalendarItemIndex::merge()
{
    if (m_blanked > 0)
        std::erase_if(m_sorted, [](const Entry &entry) { return !entry.file; });
    m_blanked = 0;
    const auto isBefore = [](const Entry &left, const Entry &right) {
        return left.key != right.key ? left.key < right.key : left.order < right.order;
    };
    std::sort(m_added.begin(), m_added.end(), isBefore);
    std::vector<Entry> merged;
    merged.reserve(m_sorted.size() + m_added.size());
    std::merge(m_sorted.cbegin(), m_sorted.cend(), m_added.cbegin(), m_added.cend(), std::back_inserter(merged),
               isBefore);
    m_sorted = std::move(merged);
    m_added = {};
    m_nextOrder = 0;
    for (Entry &entry : m_sorted)
        entry.order = m_nextOrder++;
}

} // namespace platform
