#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "sync/HMIdentifierGraphEntry.h"
#include "sync/HMIdentifierGraphHashIndex.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVarLengthArray>
#include <QVariantMap>

#include <map>
#include <optional>
#include <utility>
#include <vector>

// For one profile and one conduit, joins the identifier a record carries towards the other side
// ("hmUid") to the identifier of the same record in the Mac store ("nativeId"), and remembers the
// conduit's last sync date. Each entry is an identifier dictionary; the data sources keep further
// keys of their own in it ("crcValue", "isNewRecord", ...), which the graph stores unchanged.
// Entries are kept packed (HMIdentifierGraphEntry) and materialised as dictionaries one at a time,
// when asked for.
// Stored by HMProfileManager as a plain keyed archive under the root key "HMIdentifierGraph", with
// the changes of a run's pages in a journal beside it until the journal has grown enough to be folded
// into the file (HMIdentifierGraphJournal).
// Lookups go through hash indexes (of the exact "hmUid", the exact "nativeId", the folded "hmUid")
// that hold list positions; each candidate is checked against its entry, so two identifiers with one
// hash never mix. The list changes only through the graph's own calls, which keep the indexes in step.
// No lock: a graph is used on the sync queue of the run that loaded it; lookups build the indexes on
// first use, so reads too stay on that queue.
class HMIdentifierGraph final : public platform::KeyedArchivable
{
public:
    using Entry = HMIdentifierGraphEntry;
    // A copy of a list of entries is shallow: it shares every entry until the entry is replaced.
    using Entries = QList<HMIdentifierGraphEntry>;

    // How a list of entries differs from an earlier shallow copy of itself. Applied to the earlier
    // list in this order it gives the later one: each replacement at its position of the earlier
    // list, then the removals, then the appended entries at the end.
    struct Changes
    {
        // Positions in the earlier list, ascending.
        std::vector<qsizetype> removed;
        // Positions in the earlier list, ascending, each with the entry that now stands there.
        std::vector<std::pair<qsizetype, Entry>> replaced;
        Entries appended;

        bool isEmpty() const { return removed.empty() && replaced.empty() && appended.isEmpty(); }
        // Whether every position lies inside an earlier list of so many entries, and the removals
        // are ascending, each once: what applyTo asks of the list.
        bool fitsListOf(qsizetype count) const;
        // Applies the changes to the earlier list; false, leaving it as it was, when they do not fit
        // it (changes read from a file that does not belong to that list).
        bool applyTo(Entries &entries) const;
    };
    // What changed from earlier to now. An entry that still shares its bytes with the earlier copy
    // is unchanged; linear in the length of the lists, and nothing is materialised.
    static Changes changesBetween(const Entries &earlier, const Entries &now);

    // What the graph's files hold, kept by HMProfileManager, which alone writes them: the date as
    // last made durable (the list is the graph's change log, below), the graph file they belong to
    // with the digest and length of its bytes (0 when there is no file), and the journal beside it:
    // its length and change lines (0 when there is none to append to), and whether it changes
    // entries or only the date.
    struct DurableState
    {
        QString path;
        QDateTime lastSyncDate;
        QByteArray baseDigest;
        qint64 graphFileBytes = 0;
        qint64 journalBytes = 0;
        qsizetype journalLines = 0;
        bool doesJournalHoldEntries = false;
    };

    // The keys the graph's archive holds its list of entries and its last sync date under.
    static const QString kIdentifierDictionariesKey;
    static const QString kLastSyncDateKey;

    // A graph with an empty list and no date.
    HMIdentifierGraph() = default;

    // The entries in insertion order, packed: read their identifiers without materialising them.
    const Entries &entries() const
    {
        compact();
        return m_entries;
    }
    qsizetype count() const { return m_entries.size() - qsizetype(m_removedPositions.size()); }
    // The dictionary at a position of the list, materialised.
    QVariantMap dictionaryAt(qsizetype position) const { return entries().at(position).toMap(); }
    // Every dictionary, materialised: a copy of the whole graph, for tests.
    // Const, so that code still changing the returned copy, which changes nothing, fails to build.
    const QList<QVariantMap> identifierDictionaries() const { return dictionariesOf(entries()); }
    // The entries' dictionaries, materialised.
    static QList<QVariantMap> dictionariesOf(const Entries &entries);
    void setIdentifierDictionaries(const QList<QVariantMap> &dictionaries);
    // What the caller knows of the entries it hands over: None when no entry holds
    // "isUnconfirmedAdd", which spares hasUnconfirmedEntries a look at every entry.
    enum class UnconfirmedAdds { Unknown, None };
    void setEntries(const Entries &entries, UnconfirmedAdds unconfirmed = UnconfirmedAdds::Unknown);
    void clear();
    // Removes the first dictionary equal to the given one, as QVariantMap compares them; false when
    // there is none.
    bool removeDictionary(const QVariantMap &dictionary);
    // Invalid when the conduit was never synchronised.
    QDateTime lastSyncDate() const { return m_lastSyncDate; }
    void setLastSyncDate(const QDateTime &date) { m_lastSyncDate = date; }

    // Exact (case-sensitive) lookups. With several matches the first in list order wins, after the
    // warning "Multiple identifier dictionaries found, picking one to stop duplications.".
    std::optional<QVariantMap> dictionaryForHarrowmereUid(const QString &hmUid) const;
    std::optional<QVariantMap> dictionaryForNativeId(const QString &nativeId) const;
    // The same lookups, giving the entry found still packed: a caller that reads a key or two of it
    // (Entry::value, Entry::valueOf) builds no dictionary.
    std::optional<Entry> entryForHarrowmereUid(const QString &hmUid) const;
    std::optional<Entry> entryForNativeId(const QString &nativeId) const;
    // The same by the identifier's UTF-8, which must be valid UTF-8: the listing of many events looks
    // each up by the bytes it holds, with no text made.
    std::optional<Entry> entryForNativeIdUtf8(QByteArrayView nativeId) const;
    // The other identifier of the dictionary found; a null text when there is none.
    QString harrowmereUidForNativeId(const QString &nativeId) const;
    QString nativeIdForHarrowmereUid(const QString &hmUid) const;

    // Removes every dictionary whose "hmUid" equals hmUid ignoring case and diacritics, then appends
    // the given dictionary (whatever its own "hmUid" holds) unless it is nullopt.
    void setDictionary(const std::optional<QVariantMap> &dictionary, const QString &hmUid);
    // Appends a dictionary and indexes it at once.
    void appendDictionary(const QVariantMap &dictionary);
    // Removes every dictionary whose "hmUid" equals hmUid ignoring case and diacritics.
    void removeDictionaryForHarrowmereUid(const QString &hmUid);

    // Replaces the first dictionary whose "hmUid" equals hmUid exactly by the replacement, at its
    // place in the list, or removes it when the replacement is nullopt; false when there is none.
    bool replaceDictionaryForHarrowmereUid(const QString &hmUid, const std::optional<QVariantMap> &replacement);
    // The same with an entry already packed.
    bool replaceEntryForHarrowmereUid(const QString &hmUid, Entry replacement);
    // Whether some entry holds true under "isUnconfirmedAdd" (sent as new, never answered); kept
    // with the indexes, so asking costs nothing.
    bool hasUnconfirmedEntries() const;
    // The "hmUid" texts of the entries not marked "isUnconfirmedAdd" that equal none of the given
    // identifiers exactly, each once, in list order. Looks each entry up among the identifiers, in
    // their order first, so a list of the other side's ids costs no copy of the graph's and, when it
    // follows the graph's order, no table of its own.
    QStringList confirmedHmUidsMissingFrom(const QStringList &identifiers) const;
    // Whether the entry holds true under "isUnconfirmedAdd".
    static bool isUnconfirmedAdd(const QVariantMap &dictionary);
    // Removes every dictionary whose "nativeId" equals nativeId exactly.
    void removeDictionariesForNativeId(const QString &nativeId);

    // Lets go of the lookup indexes, which the next lookup builds again: for a run that looks
    // nothing up any more, before the graph is written.
    void releaseLookups() { dropIndexes(); }

    // Invalid until the graph was loaded from or written to its files.
    const std::optional<DurableState> &durableState() const { return m_durableState; }
    // Notes what the graph's files now hold: the graph's own list as it stands, or the given list
    // when the files hold an earlier one (a journal cut short, whose lines the graph has).
    void setDurableState(DurableState state, std::optional<Entries> durableEntries = std::nullopt) const;
    // What changed in the list since its files last held it. The mutators note each position they
    // replace, and entries appended stand past the files' count, so a run's page or batch costs its
    // own records; once an entry is removed or the list is set whole, the files' list is kept aside
    // and compared with (changesBetween), which gives the same changes.
    Changes changesSinceDurable() const;
    // The list the graph's files hold: the graph's own with the changes since undone.
    Entries durableEntries() const;

    // Writes the graph to the log at info level; every key and value too at verbose level.
    void logGraph() const;

    QString archiveClassName() const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder) override;

private:
    enum class Key { HmUid, NativeId, FoldedHmUid };
    // List positions, ascending.
    using Bucket = HMIdentifierGraphHashIndex::Entries;

    HMIdentifierGraphHashIndex &indexOf(Key key) const;
    bool &isBuilt(Key key) const;
    static std::optional<size_t> hashUnder(Key key, const Entry &entry);
    template <typename WantedText>
    Bucket candidatesMatching(Key key, QByteArrayView wantedUtf8, bool isUtf8Exact, const WantedText &wantedText) const;
    Bucket matchingEntries(Key key, const QString &identifier) const;
    qsizetype firstMatchOf(const Bucket &matching) const;
    qsizetype indexOfFirstMatch(Key key, const QString &identifier) const;
    qsizetype removeLooseMatches(const QString &hmUid);
    qsizetype removeEntries(const Bucket &entries);
    std::vector<bool> positionsMatching(const QStringList &identifiers) const;
    template <typename Visit>
    void forEachKeptPosition(const Visit &visit) const;
    void ensureIndex(Key key) const;
    template <typename Apply>
    void forEachIndexOf(const Entry &entry, const Apply &apply) const;
    void indexEntry(const Entry &entry, qsizetype position) const;
    void unindexEntry(const Entry &entry, qsizetype position) const;
    void appendEntry(Entry entry);
    void replaceEntryAt(qsizetype position, Entry replacement);
    void dropIndexes() const;
    void compact() const;
    void takeOutRemoved() const;
    void noteReplaced(qsizetype position);
    void keepDurableEntries() const;

    // Removed entries stay in the list, marked, until the list is next read by position: see compact.
    mutable Entries m_entries;
    QDateTime m_lastSyncDate;
    // Bookkeeping of the files, not part of the graph's value: a graph written whole through a const
    // reference still learns what its files now hold.
    mutable std::optional<DurableState> m_durableState;
    // What the list's mutators changed since the files last held it; kept only once there are files.
    struct ChangeLog
    {
        // How many entries the files' list holds: the entries from here on were appended since.
        qsizetype durableCount = 0;
        // The positions below durableCount replaced since, each with the entry the files hold there.
        std::map<qsizetype, Entry> replaced;
        // The files' list itself, kept once the changes are no longer only replacements, appends and
        // removals not yet taken out of the list (which keeps the files' positions until then).
        std::optional<Entries> durableEntries;
    };
    mutable ChangeLog m_changeLog;

    // Each index is built, the whole list at once, on the first lookup that needs it: a run that
    // looks entries up by one identifier never builds the others. An index holds each entry under
    // its position in the list. The folded "hmUid" index serves the exact "hmUid" too.
    mutable HMIdentifierGraphHashIndex m_byNativeId;
    mutable HMIdentifierGraphHashIndex m_byFoldedHmUid;
    mutable bool m_hasNativeIdIndex = false;
    mutable bool m_hasFoldedIndex = false;
    // The positions of the entries removed since the list was last compacted. A removal takes its
    // entry out of the indexes and notes its position here; the entry stays in place, so no other
    // entry moves. The first read of the list by position, or the next write of the files, takes
    // them all out in one walk: a sync that removes thousands of entries walks the list once, not
    // once per removal, and keeps no copy of it for the change log.
    mutable std::vector<qsizetype> m_removedPositions;
    // The entries marked "isUnconfirmedAdd", counted on first asked (-1 until then), and kept up to
    // date by every change after, whether or not the indexes are built.
    mutable qsizetype m_unconfirmedCount = -1;
};
