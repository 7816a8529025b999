#pragma once

#include <QList>
#include <QStringView>

#include <vector>

namespace platform {

struct ICalendarFile;

// The files of a folder by a small key of each of their UIDs, or titles: the texts stay in the
// files' descriptions only, so an entry costs a key and a pointer, and a file found under a key is
// to be checked by the caller to hold the text asked for (two texts may share a key). The folder owns
// the files and keeps the index in step with them: an entry is a plain pointer, which the folder
// turns into its own shared one. Most entries
// lie sorted by key; those added since lie unsorted beside them until there are enough of them to
// merge, and those removed are blanked and dropped at the next merge: keeping the index in step with
// a burst of writes costs little per write. Files under one key come in the order they were added.
class ICalendarItemIndex final
{
public:
    // The key of a UID or title: the same in every run and process.
    static quint32 keyOf(QStringView text);

    // Makes room for this many entries more.
    void reserve(qsizetype count);
    void add(quint32 key, ICalendarFile *file);
    // Many entries at once: each added unsorted, then all sorted once by merge().
    void addBeforeMerge(quint32 key, ICalendarFile *file);
    void merge();
    // Drops the file's entry under the key (one, when it was added twice).
    void remove(quint32 key, const ICalendarFile *file);
    QList<ICalendarFile *> filesWithKey(quint32 key) const;
    qsizetype size() const { return qsizetype(m_sorted.size() + m_added.size()) - m_blanked; }

private:
    struct Entry
    {
        quint32 key = 0;
        quint32 order = 0;            // of addition, among the entries kept
        ICalendarFile *file = nullptr; // null once removed
    };

    std::vector<Entry> m_sorted; // by key, in the order added within one key
    std::vector<Entry> m_added;  // in the order added
    qsizetype m_blanked = 0;     // removed entries still in m_sorted
    quint32 m_nextOrder = 0;
};

} // namespace platform
