#include "sync/HMIdentifierGraph.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QSet>
#include <QVariantList>

#include <algorithm>

using platform::Error;
using platform::ErrorCode;
using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;

const QString HMIdentifierGraph::kIdentifierDictionariesKey = QStringLiteral("identifierDictionaries");
const QString HMIdentifierGraph::kLastSyncDateKey = QStringLiteral("lastSyncDate");

namespace {

const QString kUnconfirmedAddKey = QStringLiteral("isUnconfirmedAdd");
const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");

bool isAscii(const QString &text)
{
    for (const QChar character : text) {
        if (character.unicode() >= 0x80)
            return false;
    }
    return true;
}

// The text with its diacritics taken off and its case folded: "Émile" and "emile" fold alike.
QString folded(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString bare;
    bare.reserve(decomposed.size());
    for (const QChar character : decomposed) {
        if (character.category() != QChar::Mark_NonSpacing)
            bare.append(character);
    }
    return bare.toCaseFolded();
}

// The key of the folded index: two texts have the same key when they are equal ignoring case and
// diacritics. Identifiers are nearly always ASCII, where folding the case is all there is to do.
QString looseKey(const QString &text)
{
    return isAscii(text) ? text.toCaseFolded() : folded(text);
}

size_t hashOfUtf8(QByteArrayView utf8)
{
    return qHash(utf8, 0);
}

// The UTF-8 bytes of a text, without allocating for the short ASCII texts identifiers nearly always
// are: looking up every identifier of the other side's list would otherwise allocate for each.
using Utf8Text = QVarLengthArray<char, 96>;

Utf8Text utf8Of(const QString &text)
{
    Utf8Text bytes;
    if (isAscii(text)) {
        bytes.resize(text.size());
        for (qsizetype index = 0; index < text.size(); ++index)
            bytes[index] = char(text.at(index).unicode());
        return bytes;
    }
    const QByteArray converted = text.toUtf8();
    bytes.append(converted.constData(), converted.size());
    return bytes;
}

QByteArrayView viewOf(const Utf8Text &bytes)
{
    return QByteArrayView(bytes.data(), bytes.size());
}

// What an entry's identifier is compared and hashed as under one index: the exact text, or the
// folded "hmUid".
std::optional<QString> identifierText(const HMIdentifierGraphEntry &entry, WellKnownKey key, bool isFolded)
{
    std::optional<QString> text = entry.textOf(key);
    if (text && isFolded)
        text = looseKey(*text);
    return text;
}

// The hash of an ASCII identifier's folded text, from its bytes: folding ASCII only lowers its
// capitals. nullopt for bytes that are not all ASCII, which need the whole folding.
std::optional<size_t> hashOfFoldedAscii(QByteArrayView utf8)
{
    Utf8Text lowered;
    lowered.resize(utf8.size());
    for (qsizetype index = 0; index < utf8.size(); ++index) {
        const char character = utf8[index];
        if (uchar(character) >= 0x80)
            return std::nullopt;
        lowered[index] = character >= 'A' && character <= 'Z' ? char(character - 'A' + 'a') : character;
    }
    return hashOfUtf8(viewOf(lowered));
}

// The hash of a text's folded form, given the text and its UTF-8 (which may have lost a lone
// surrogate): from the bytes when they are ASCII.
size_t foldedHashOf(QByteArrayView utf8, const QString &text)
{
    if (const std::optional<size_t> hash = hashOfFoldedAscii(utf8))
        return *hash;
    return hashOfUtf8(viewOf(utf8Of(looseKey(text))));
}

// The hash an entry is indexed under; nullopt when it holds no text there. Exact identifiers, and
// folded ASCII ones, are hashed from their packed bytes, without building a text.
std::optional<size_t> hashOfEntry(const HMIdentifierGraphEntry &entry, WellKnownKey key, bool isFolded)
{
    if (const std::optional<QByteArrayView> utf8 = entry.utf8TextOf(key)) {
        if (!isFolded)
            return hashOfUtf8(*utf8);
        if (const std::optional<size_t> hash = hashOfFoldedAscii(*utf8))
            return hash;
    }
    const std::optional<QString> text = identifierText(entry, key, isFolded);
    if (!text)
        return std::nullopt;
    return hashOfUtf8(viewOf(utf8Of(*text)));
}

// Whether the bytes are all ASCII and spell the text.
bool isAsciiSpelling(QByteArrayView utf8, QStringView text)
{
    if (utf8.size() != text.size())
        return false;
    for (qsizetype index = 0; index < utf8.size(); ++index) {
        if (uchar(utf8[index]) >= 0x80 || char16_t(uchar(utf8[index])) != text[index].unicode())
            return false;
    }
    return true;
}

// Whether the entry's "hmUid" (its UTF-8 as the entry holds it, and its text once read) equals the
// identifier, checked as candidatesMatching checks a candidate: by the UTF-8 bytes, or as texts
// where UTF-8 cannot tell (a text with a lone surrogate loses it in UTF-8).
bool isHmUidEqual(const HMIdentifierGraphEntry &entry, const std::optional<QByteArrayView> &utf8,
                  std::optional<QString> &text, const QString &identifier)
{
    if (utf8 && QStringView(identifier).isValidUtf16())
        return *utf8 == viewOf(utf8Of(identifier));
    if (!text)
        text = entry.textOf(WellKnownKey::HmUid);
    return text == identifier;
}

// How many identifiers past the expected one an entry is looked for before any hashing: an entry
// the list holds and the graph lacks (or moved to the graph's end) leaves a gap of one or two.
constexpr qsizetype kIdentifierWindow = 8;

// The other side's list of identifiers, for looking up the "hmUid" of each entry of a graph in list
// order. The graph's entries mostly follow the list they were made from: each entry is compared with
// the identifier after the one the entry before it matched, then with the few after that; the
// identifiers so passed over are hashed, for entries that come later (a changed record moves to the
// graph's end). Only an entry found in none of these hashes the whole list. Each table holds each
// distinct text once: a list that repeats one identifier many times must not make one long run of
// candidates.
class ListedIdentifiers final
{
public:
    explicit ListedIdentifiers(const QStringList &identifiers) : m_identifiers(identifiers) {}

    // Whether the entry's "hmUid" is a text equal to one of the identifiers.
    bool holdsHmUidOf(const HMIdentifierGraphEntry &entry)
    {
        const std::optional<QByteArrayView> utf8 = entry.utf8TextOf(WellKnownKey::HmUid);
        if (utf8 && m_next < m_identifiers.size() && isAsciiSpelling(*utf8, m_identifiers.at(m_next))) {
            ++m_next;
            return true;
        }
        if (utf8 && skipsAheadTo(*utf8))
            return true;
        std::optional<QString> text;
        if (!utf8) {
            text = entry.textOf(WellKnownKey::HmUid);
            if (!text)
                return false;
        }
        const size_t hash = utf8 ? hashOfUtf8(*utf8) : hashOfUtf8(viewOf(utf8Of(*text)));
        if (firstMatchIn(m_passedOver, hash, entry, utf8, text) >= 0)
            return true;
        ensureWholeIndex();
        const qsizetype found = firstMatchIn(m_whole, hash, entry, utf8, text);
        // The expected identifier never moves back: each one is passed over once at most.
        if (found >= m_next)
            m_next = found + 1;
        return found >= 0;
    }

private:
    // Whether one of the few identifiers after the expected one is spelled by the bytes; if so, the
    // identifiers before it are hashed as passed over and the one after it is expected next.
    bool skipsAheadTo(QByteArrayView utf8)
    {
        const qsizetype end = std::min(m_identifiers.size(), m_next + 1 + kIdentifierWindow);
        for (qsizetype number = m_next + 1; number < end; ++number) {
            if (!isAsciiSpelling(utf8, m_identifiers.at(number)))
                continue;
            for (qsizetype passed = m_next; passed < number; ++passed)
                insertDistinct(m_passedOver, passed);
            m_next = number + 1;
            return true;
        }
        return false;
    }

    // The number of the first identifier of the table equal to the entry's "hmUid", or -1.
    qsizetype firstMatchIn(const HMIdentifierGraphHashIndex &table, size_t hash, const HMIdentifierGraphEntry &entry,
                           const std::optional<QByteArrayView> &utf8, std::optional<QString> &text) const
    {
        for (const quint64 number : table.entriesFor(hash)) {
            if (isHmUidEqual(entry, utf8, text, m_identifiers.at(qsizetype(number))))
                return qsizetype(number);
        }
        return -1;
    }

    void insertDistinct(HMIdentifierGraphHashIndex &table, qsizetype number) const
    {
        const QString &identifier = m_identifiers.at(number);
        const size_t hash = hashOfUtf8(viewOf(utf8Of(identifier)));
        const HMIdentifierGraphHashIndex::Entries candidates = table.entriesFor(hash);
        const bool isKnown = std::any_of(candidates.cbegin(), candidates.cend(), [&](quint64 known) {
            return m_identifiers.at(qsizetype(known)) == identifier;
        });
        if (!isKnown)
            table.insert(hash, quint64(number));
    }

    void ensureWholeIndex()
    {
        if (m_isWholeIndexed)
            return;
        m_isWholeIndexed = true;
        m_whole.reserve(m_identifiers.size());
        for (qsizetype number = 0; number < m_identifiers.size(); ++number)
            insertDistinct(m_whole, number);
    }

    const QStringList &m_identifiers;
    // The identifier the next entry is compared with first.
    qsizetype m_next = 0;
    HMIdentifierGraphHashIndex m_passedOver;
    HMIdentifierGraphHashIndex m_whole;
    bool m_isWholeIndexed = false;
};

// How far ahead a run of entries changed in place is looked for: a page or a batch changes a few
// hundred entries next to each other, and the bound keeps a list changed beyond recognition linear.
constexpr qsizetype kLongestReplacedRun = 4096;
// How far ahead an entry that comes next is looked for among the earlier ones: a run changes
// records next to each other, and each changed record leaves its place for the end of the list.
constexpr qsizetype kLongestRemovedRun = 64;

// How many earlier entries from the given position on were removed before the entry that now comes
// next: 0 when it is not found within the bound.
qsizetype removedRun(const HMIdentifierGraph::Entries &earlier, qsizetype before, const HMIdentifierGraphEntry &next)
{
    const qsizetype end = std::min(earlier.size(), before + 1 + kLongestRemovedRun);
    for (qsizetype position = before + 1; position < end; ++position) {
        if (next.isSharedWith(earlier.at(position)))
            return position - before;
    }
    return 0;
}

// The length of the run of entries changed in place from the given positions on: the entries after
// it are unchanged, or one of the lists ends with it. 0 when no such run is found within the bound.
qsizetype replacedRun(const HMIdentifierGraph::Entries &earlier, qsizetype before, const HMIdentifierGraph::Entries &now,
                      qsizetype after)
{
    for (qsizetype run = 1; run <= kLongestReplacedRun; ++run) {
        if (before + run >= earlier.size() || after + run >= now.size())
            return std::min(earlier.size() - before, now.size() - after);
        if (now.at(after + run).isSharedWith(earlier.at(before + run)))
            return run;
    }
    return 0;
}

} // namespace

bool HMIdentifierGraph::isUnconfirmedAdd(const QVariantMap &dictionary)
{
    const auto mark = dictionary.constFind(kUnconfirmedAddKey);
    return mark != dictionary.constEnd() && mark->toBool();
}

namespace {

// Removes the items at the positions (ascending, each once, inside the list) in one walk: the
// items after each removed one move down once, not once per removal before them.
template <typename List>
void removePositions(List &list, const std::vector<qsizetype> &removed)
{
    if (removed.empty())
        return;
    // Detaches a list shared with another first.
    auto *const data = list.data();
    const qsizetype count = qsizetype(list.size());
    qsizetype kept = removed.front();
    auto next = removed.cbegin();
    for (qsizetype position = removed.front(); position < count; ++position) {
        if (next != removed.cend() && *next == position)
            ++next;
        else
            data[kept++] = std::move(data[position]);
    }
    list.resize(typename List::size_type(kept));
}

} // namespace

HMIdentifierGraph::Changes HMIdentifierGraph::changesBetween(const Entries &earlier, const Entries &now)
{
    // One walk keeps every unchanged entry in order. Earlier entries followed closely by the one
    // that comes next are removed; a run of entries changed in place (the entries after it unchanged) is replaced where
    // it stands; whatever follows the last entry kept is appended. Inserts and reorderings thus come
    // out as replacements, removals and appends, so order is always kept.
    Changes changes;
    qsizetype before = 0;
    qsizetype after = 0;
    while (after < now.size() && before < earlier.size()) {
        if (now.at(after).isSharedWith(earlier.at(before))) {
            ++after;
            ++before;
            continue;
        }
        if (const qsizetype removed = removedRun(earlier, before, now.at(after)); removed > 0) {
            for (qsizetype step = 0; step < removed; ++step)
                changes.removed.push_back(before++);
            continue;
        }
        const qsizetype run = replacedRun(earlier, before, now, after);
        if (run == 0)
            changes.removed.push_back(before++);
        for (qsizetype step = 0; step < run; ++step)
            changes.replaced.emplace_back(before++, now.at(after++));
    }
    for (; before < earlier.size(); ++before)
        changes.removed.push_back(before);
    changes.appended = now.mid(after);
    return changes;
}

bool HMIdentifierGraph::Changes::fitsListOf(qsizetype count) const
{
    const auto outside = [count](qsizetype position) { return position < 0 || position >= count; };
    return std::none_of(removed.begin(), removed.end(), outside) &&
           std::none_of(replaced.begin(), replaced.end(),
                        [&outside](const auto &entry) { return outside(entry.first); }) &&
           std::is_sorted(removed.begin(), removed.end()) &&
           std::adjacent_find(removed.begin(), removed.end()) == removed.end();
}

bool HMIdentifierGraph::Changes::applyTo(Entries &entries) const
{
    if (!fitsListOf(entries.size()))
        return false;
    for (const auto &[position, entry] : replaced)
        entries[position] = entry;
    removePositions(entries, removed);
    entries.append(appended);
    return true;
}

namespace {

// Whether some run of positions next to each other (ascending) is longer than changesBetween looks
// ahead for: such a run it tells as removals and appends, not as replacements.
bool hasLongerRunThanDiffsTell(const std::vector<std::pair<qsizetype, HMIdentifierGraphEntry>> &replaced)
{
    qsizetype run = 0;
    for (size_t index = 0; index < replaced.size(); ++index) {
        run = index > 0 && replaced[index].first == replaced[index - 1].first + 1 ? run + 1 : 1;
        if (run > kLongestReplacedRun)
            return true;
    }
    return false;
}

} // namespace

void HMIdentifierGraph::setDurableState(DurableState state, std::optional<Entries> durableEntries) const
{
    // The log starts afresh: the files' list needs no keeping for the entries taken out.
    takeOutRemoved();
    m_durableState = std::move(state);
    m_changeLog = ChangeLog{m_entries.size(), {}, std::move(durableEntries)};
}

HMIdentifierGraph::Changes HMIdentifierGraph::changesSinceDurable() const
{
    compact();
    if (m_changeLog.durableEntries)
        return changesBetween(*m_changeLog.durableEntries, m_entries);
    Changes changes;
    changes.replaced.reserve(m_changeLog.replaced.size());
    for (const auto &[position, earlier] : m_changeLog.replaced) {
        // An entry still sharing its bytes with the files' is unchanged, as changesBetween tells it.
        if (!m_entries.at(position).isSharedWith(earlier))
            changes.replaced.emplace_back(position, m_entries.at(position));
    }
    if (hasLongerRunThanDiffsTell(changes.replaced))
        return changesBetween(durableEntries(), m_entries);
    changes.appended = m_entries.mid(m_changeLog.durableCount);
    return changes;
}

HMIdentifierGraph::Entries HMIdentifierGraph::durableEntries() const
{
    if (m_changeLog.durableEntries)
        return *m_changeLog.durableEntries;
    // The entries removed since still stand at their places: the list's positions are the files'.
    Entries entries = m_entries;
    if (entries.size() > m_changeLog.durableCount)
        entries.resize(m_changeLog.durableCount);
    for (const auto &[position, earlier] : m_changeLog.replaced)
        entries[position] = earlier;
    return entries;
}

// Before an entry is replaced: the first replacement of a position the files hold keeps their entry.
void HMIdentifierGraph::noteReplaced(qsizetype position)
{
    if (m_durableState && !m_changeLog.durableEntries && position < m_changeLog.durableCount)
        m_changeLog.replaced.try_emplace(position, m_entries.at(position));
}

// Before entries removed are taken out of the list or the list is set whole: positions no longer
// tell the changes, so the files' list is kept aside to be compared with. Once per write of the files.
void HMIdentifierGraph::keepDurableEntries() const
{
    if (!m_durableState || m_changeLog.durableEntries)
        return;
    m_changeLog.durableEntries = durableEntries();
    m_changeLog.replaced.clear();
}

QList<QVariantMap> HMIdentifierGraph::dictionariesOf(const Entries &entries)
{
    QList<QVariantMap> dictionaries;
    dictionaries.reserve(entries.size());
    for (const Entry &entry : entries)
        dictionaries.append(entry.toMap());
    return dictionaries;
}

void HMIdentifierGraph::setIdentifierDictionaries(const QList<QVariantMap> &dictionaries)
{
    Entries entries;
    entries.reserve(dictionaries.size());
    for (const QVariantMap &dictionary : dictionaries)
        entries.append(Entry(dictionary));
    setEntries(entries);
}

void HMIdentifierGraph::setEntries(const Entries &entries, UnconfirmedAdds unconfirmed)
{
    keepDurableEntries();
    // The entries marked removed go with the list they stand in.
    m_removedPositions = std::vector<qsizetype>();
    m_entries = entries;
    m_unconfirmedCount = unconfirmed == UnconfirmedAdds::None ? 0 : -1;
    dropIndexes();
}

void HMIdentifierGraph::clear()
{
    setEntries({});
}

// Takes the entries marked removed out of the list; when some of them are in the files' list, that
// list is kept aside first, as the change log then needs it.
void HMIdentifierGraph::compact() const
{
    if (m_removedPositions.empty())
        return;
    if (*std::min_element(m_removedPositions.cbegin(), m_removedPositions.cend()) < m_changeLog.durableCount)
        keepDurableEntries();
    takeOutRemoved();
}

// Takes the entries marked removed out of the list in one walk, and renumbers the indexes: each
// entry after a removed one moves down by the number of entries removed before it.
void HMIdentifierGraph::takeOutRemoved() const
{
    if (m_removedPositions.empty())
        return;
    std::vector<qsizetype> &removed = m_removedPositions;
    std::sort(removed.begin(), removed.end());
    removePositions(m_entries, removed);
    const auto movedDown = [&removed](quint64 position) {
        return position - quint64(std::lower_bound(removed.cbegin(), removed.cend(), qsizetype(position)) - removed.cbegin());
    };
    for (const Key key : {Key::NativeId, Key::FoldedHmUid}) {
        if (isBuilt(key))
            indexOf(key).renumber(movedDown);
    }
    m_removedPositions = std::vector<qsizetype>();
}

void HMIdentifierGraph::dropIndexes() const
{
    for (const Key key : {Key::NativeId, Key::FoldedHmUid}) {
        indexOf(key).clear();
        isBuilt(key) = false;
    }
}

// The hash an entry stands under in an index; nullopt when it holds no text there.
std::optional<size_t> HMIdentifierGraph::hashUnder(Key key, const Entry &entry)
{
    const WellKnownKey field = key == Key::NativeId ? WellKnownKey::NativeId : WellKnownKey::HmUid;
    return hashOfEntry(entry, field, key == Key::FoldedHmUid);
}

// Calls apply with each built index and the hash the entry stands under there.
template <typename Apply>
void HMIdentifierGraph::forEachIndexOf(const Entry &entry, const Apply &apply) const
{
    for (const Key key : {Key::NativeId, Key::FoldedHmUid}) {
        if (!isBuilt(key))
            continue;
        if (const std::optional<size_t> hash = hashUnder(key, entry))
            apply(indexOf(key), *hash);
    }
}

void HMIdentifierGraph::indexEntry(const Entry &entry, qsizetype position) const
{
    forEachIndexOf(entry, [position](HMIdentifierGraphHashIndex &index, size_t hash) { index.insert(hash, quint64(position)); });
    if (m_unconfirmedCount >= 0 && entry.isUnconfirmedAdd())
        ++m_unconfirmedCount;
}

void HMIdentifierGraph::unindexEntry(const Entry &entry, qsizetype position) const
{
    forEachIndexOf(entry, [position](HMIdentifierGraphHashIndex &index, size_t hash) { index.remove(hash, quint64(position)); });
    if (m_unconfirmedCount >= 0 && entry.isUnconfirmedAdd())
        --m_unconfirmedCount;
}

// Calls visit with each position of the list whose entry is not marked removed, in order.
template <typename Visit>
void HMIdentifierGraph::forEachKeptPosition(const Visit &visit) const
{
    std::sort(m_removedPositions.begin(), m_removedPositions.end());
    auto removed = m_removedPositions.cbegin();
    for (qsizetype position = 0; position < m_entries.size(); ++position) {
        if (removed != m_removedPositions.cend() && *removed == position)
            ++removed;
        else
            visit(position);
    }
}

// Builds an index over the whole list at once, sized for it: growing the table step by step would
// rehash it over and over.
void HMIdentifierGraph::ensureIndex(Key key) const
{
    if (isBuilt(key))
        return;
    HMIdentifierGraphHashIndex &index = indexOf(key);
    index.reserve(count());
    forEachKeptPosition([this, key, &index](qsizetype position) {
        if (const std::optional<size_t> hash = hashUnder(key, m_entries.at(position)))
            index.insert(*hash, quint64(position));
    });
    isBuilt(key) = true;
}

void HMIdentifierGraph::appendEntry(Entry entry)
{
    m_entries.append(std::move(entry));
    indexEntry(m_entries.constLast(), m_entries.size() - 1);
}

HMIdentifierGraphHashIndex &HMIdentifierGraph::indexOf(Key key) const
{
    // The folded index serves the exact "hmUid" too (candidatesMatching).
    return key == Key::NativeId ? m_byNativeId : m_byFoldedHmUid;
}

bool &HMIdentifierGraph::isBuilt(Key key) const
{
    return key == Key::NativeId ? m_hasNativeIdIndex : m_hasFoldedIndex;
}

// The entries (positions ascending) whose identifier under the key equals the wanted one, given as its
// UTF-8 (folded under the folded key): the hash finds the candidates, and each is checked against its
// entry, by its bytes when both are UTF-8 as they stand (isUtf8Exact), else as texts (wantedText()).
// The folded index serves the exact "hmUid" too: an entry equal to the wanted text folds alike, so it
// stands among the candidates of the wanted text's folded hash. Applying a record looks it up by its
// "hmUid" and then drops the loose matches of it, so one index serves both, built once.
template <typename WantedText>
HMIdentifierGraph::Bucket HMIdentifierGraph::candidatesMatching(Key key, QByteArrayView wantedUtf8, bool isUtf8Exact,
                                                                const WantedText &wantedText) const
{
    const bool isExactViaFolded = key == Key::HmUid;
    const Key indexKey = isExactViaFolded ? Key::FoldedHmUid : key;
    ensureIndex(indexKey);
    const bool isFolded = key == Key::FoldedHmUid;
    const WellKnownKey field = key == Key::NativeId ? WellKnownKey::NativeId : WellKnownKey::HmUid;
    const size_t hash = isExactViaFolded ? foldedHashOf(wantedUtf8, wantedText()) : hashOfUtf8(wantedUtf8);
    Bucket matching;
    for (const quint64 number : indexOf(indexKey).entriesFor(hash)) {
        const Entry &entry = m_entries.at(qsizetype(number));
        const std::optional<QByteArrayView> utf8 = isUtf8Exact ? entry.utf8TextOf(field) : std::nullopt;
        if (utf8 ? *utf8 == wantedUtf8 : identifierText(entry, field, isFolded) == wantedText())
            matching.append(number);
    }
    return matching;
}

HMIdentifierGraph::Bucket HMIdentifierGraph::matchingEntries(Key key, const QString &identifier) const
{
    const bool isFolded = key == Key::FoldedHmUid;
    const QString wanted = isFolded ? looseKey(identifier) : identifier;
    const Utf8Text wantedUtf8 = utf8Of(wanted);
    // A text with a lone surrogate loses it in UTF-8: it is compared as a text.
    const bool isUtf8Exact = !isFolded && QStringView(wanted).isValidUtf16();
    return candidatesMatching(key, viewOf(wantedUtf8), isUtf8Exact, [&wanted]() -> const QString & { return wanted; });
}

qsizetype HMIdentifierGraph::firstMatchOf(const Bucket &matching) const
{
    if (matching.isEmpty())
        return -1;
    if (matching.size() > 1)
        DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications."));
    return qsizetype(matching.first());
}

qsizetype HMIdentifierGraph::indexOfFirstMatch(Key key, const QString &identifier) const
{
    return firstMatchOf(matchingEntries(key, identifier));
}

std::optional<HMIdentifierGraph::Entry> HMIdentifierGraph::entryForHarrowmereUid(const QString &hmUid) const
{
    const qsizetype index = indexOfFirstMatch(Key::HmUid, hmUid);
    return index < 0 ? std::nullopt : std::optional<Entry>(m_entries.at(index));
}

std::optional<HMIdentifierGraph::Entry> HMIdentifierGraph::entryForNativeId(const QString &nativeId) const
{
    const qsizetype index = indexOfFirstMatch(Key::NativeId, nativeId);
    return index < 0 ? std::nullopt : std::optional<Entry>(m_entries.at(index));
}

// The bytes are compared with entries that keep their identifier as UTF-8; the text is made only for
// one that keeps it otherwise.
std::optional<HMIdentifierGraph::Entry> HMIdentifierGraph::entryForNativeIdUtf8(QByteArrayView nativeId) const
{
    std::optional<QString> text;
    const auto wantedText = [&text, nativeId]() -> const QString & {
        if (!text)
            text = QString::fromUtf8(nativeId);
        return *text;
    };
    const qsizetype index = firstMatchOf(candidatesMatching(Key::NativeId, nativeId, true, wantedText));
    return index < 0 ? std::nullopt : std::optional<Entry>(m_entries.at(index));
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForHarrowmereUid(const QString &hmUid) const
{
    const std::optional<Entry> entry = entryForHarrowmereUid(hmUid);
    return entry ? std::optional(entry->toMap()) : std::nullopt;
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForNativeId(const QString &nativeId) const
{
    const std::optional<Entry> entry = entryForNativeId(nativeId);
    return entry ? std::optional(entry->toMap()) : std::nullopt;
}

QString HMIdentifierGraph::harrowmereUidForNativeId(const QString &nativeId) const
{
    const std::optional<Entry> entry = entryForNativeId(nativeId);
    return entry ? entry->textOf(WellKnownKey::HmUid).value_or(QString()) : QString();
}

QString HMIdentifierGraph::nativeIdForHarrowmereUid(const QString &hmUid) const
{
    const std::optional<Entry> entry = entryForHarrowmereUid(hmUid);
    return entry ? entry->textOf(WellKnownKey::NativeId).value_or(QString()) : QString();
}

qsizetype HMIdentifierGraph::removeLooseMatches(const QString &hmUid)
{
    return removeEntries(matchingEntries(Key::FoldedHmUid, hmUid));
}

// Removes the entries (positions found through the indexes) from the indexes at once and marks them
// removed in the list, which compact takes them out of.
qsizetype HMIdentifierGraph::removeEntries(const Bucket &entries)
{
    for (const quint64 entry : entries) {
        const qsizetype position = qsizetype(entry);
        unindexEntry(m_entries.at(position), position);
        m_removedPositions.push_back(position);
    }
    return entries.size();
}

bool HMIdentifierGraph::removeDictionary(const QVariantMap &dictionary)
{
    // An equal dictionary holds the same text under "hmUid" (or "nativeId"): its index narrows the
    // search down; only a dictionary with neither is looked for through the whole list.
    const QVariant hmUid = dictionary.value(kHmUidKey);
    const QVariant nativeId = dictionary.value(kNativeIdKey);
    Bucket candidates;
    if (hmUid.typeId() == QMetaType::QString)
        candidates = matchingEntries(Key::HmUid, hmUid.toString());
    else if (nativeId.typeId() == QMetaType::QString)
        candidates = matchingEntries(Key::NativeId, nativeId.toString());
    else
        forEachKeptPosition([&candidates](qsizetype position) { candidates.append(quint64(position)); });
    const Entry packed(dictionary);
    for (const quint64 number : candidates) {
        const Entry &entry = m_entries.at(qsizetype(number));
        if (entry.packed() == packed.packed() || entry.toMap() == dictionary) {
            removeEntries({number});
            return true;
        }
    }
    return false;
}

bool HMIdentifierGraph::replaceDictionaryForHarrowmereUid(const QString &hmUid,
                                                          const std::optional<QVariantMap> &replacement)
{
    const qsizetype position = indexOfFirstMatch(Key::HmUid, hmUid);
    if (position < 0)
        return false;
    if (!replacement) {
        removeEntries({quint64(position)});
        return true;
    }
    replaceEntryAt(position, Entry(*replacement));
    return true;
}

bool HMIdentifierGraph::replaceEntryForHarrowmereUid(const QString &hmUid, Entry replacement)
{
    const qsizetype position = indexOfFirstMatch(Key::HmUid, hmUid);
    if (position < 0)
        return false;
    replaceEntryAt(position, std::move(replacement));
    return true;
}

void HMIdentifierGraph::replaceEntryAt(qsizetype position, Entry replacement)
{
    noteReplaced(position);
    unindexEntry(m_entries.at(position), position);
    m_entries[position] = std::move(replacement);
    indexEntry(m_entries.at(position), position);
}

bool HMIdentifierGraph::hasUnconfirmedEntries() const
{
    if (m_unconfirmedCount < 0) {
        qsizetype unconfirmed = 0;
        forEachKeptPosition([this, &unconfirmed](qsizetype position) {
            unconfirmed += m_entries.at(position).isUnconfirmedAdd() ? 1 : 0;
        });
        m_unconfirmedCount = unconfirmed;
    }
    return m_unconfirmedCount > 0;
}

// Marks the list positions of the entries whose "hmUid" equals one of the identifiers exactly. Each
// entry is looked up among the identifiers with one read of its "hmUid", where looking each identifier
// up in the graph's index would read every matching entry twice, once to build the index and once to
// check the candidate.
std::vector<bool> HMIdentifierGraph::positionsMatching(const QStringList &identifiers) const
{
    ListedIdentifiers listed(identifiers);
    std::vector<bool> matching(size_t(m_entries.size()), false);
    for (qsizetype position = 0; position < m_entries.size(); ++position)
        matching[size_t(position)] = listed.holdsHmUidOf(m_entries.at(position));
    return matching;
}

QStringList HMIdentifierGraph::confirmedHmUidsMissingFrom(const QStringList &identifiers) const
{
    compact();
    const std::vector<bool> matching = positionsMatching(identifiers);
    // Only an "hmUid" stored as something other than a text (a damaged file) needs the identifiers
    // as a set; it is made on the first such entry.
    std::optional<QSet<QString>> identifierSet;
    QSet<QString> listed;
    QStringList missing;
    for (qsizetype position = 0; position < m_entries.size(); ++position) {
        const Entry &entry = m_entries.at(position);
        if (matching[size_t(position)])
            continue;
        const QVariant hmUid = entry.valueOf(WellKnownKey::HmUid);
        if (!hmUid.isValid() || hmUid.isNull() || entry.isUnconfirmedAdd())
            continue;
        const QString text = hmUid.toString();
        if (hmUid.typeId() != QMetaType::QString) {
            if (!identifierSet)
                identifierSet.emplace(identifiers.cbegin(), identifiers.cend());
            if (identifierSet->contains(text))
                continue;
        }
        if (!listed.contains(text)) {
            listed.insert(text);
            missing.append(text);
        }
    }
    return missing;
}

void HMIdentifierGraph::removeDictionariesForNativeId(const QString &nativeId)
{
    removeEntries(matchingEntries(Key::NativeId, nativeId));
}

void HMIdentifierGraph::setDictionary(const std::optional<QVariantMap> &dictionary, const QString &hmUid)
{
    const qsizetype removed = removeLooseMatches(hmUid);
    if (removed >= 2)
        DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one."));
    else if (removed == 0)
        DDLogWarn(QStringLiteral("No identifier found for Uid '%1'").arg(hmUid));
    if (dictionary)
        appendDictionary(*dictionary);
}

void HMIdentifierGraph::appendDictionary(const QVariantMap &dictionary)
{
    appendEntry(Entry(dictionary));
}

void HMIdentifierGraph::removeDictionaryForHarrowmereUid(const QString &hmUid)
{
    if (removeLooseMatches(hmUid) == 0)
        DDLogWarn(QStringLiteral("No identifier found for Uid '%1'").arg(hmUid));
}

void HMIdentifierGraph::logGraph() const
{
    DDLogInfo(QStringLiteral("-------- Logging Identifier Graph --------"));
    const bool isVerbose = (ddLogLevel.load(std::memory_order_relaxed) & LOG_FLAG_VERBOSE) != 0;
    for (const Entry &entry : entries()) {
        DDLogInfo(QStringLiteral("Native ID: %1 \t UID: %2")
                      .arg(entry.valueOf(WellKnownKey::NativeId).toString(), entry.valueOf(WellKnownKey::HmUid).toString()));
        if (!isVerbose)
            continue;
        const QVariantMap dictionary = entry.toMap();
        for (auto pair = dictionary.constBegin(); pair != dictionary.constEnd(); ++pair)
            DDLogInfo(QStringLiteral("'%1' => '%2'").arg(pair.key(), pair.value().toString()));
    }
    DDLogInfo(QStringLiteral("--------   End Identifier Graph   --------"));
}

QString HMIdentifierGraph::archiveClassName() const
{
    return QStringLiteral("HMIdentifierGraph");
}

void HMIdentifierGraph::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    // One entry materialised at a time; the file's bytes are those of a list of the dictionaries.
    compact();
    coder.encodeDictionaryList(
        m_entries.size(), [this](qsizetype position) { return m_entries.at(position).toMap(); },
        kIdentifierDictionariesKey);
    coder.encodeObject(QVariant(m_lastSyncDate), kLastSyncDateKey);
}

namespace {

// Packs each dictionary of the archive's list as it is read: no dictionary is ever built as a map.
class EntryPacker final : public platform::KeyedUnarchiver::DictionaryListVisitor
{
public:
    explicit EntryPacker(HMIdentifierGraph::Entries &entries) : m_entries(entries) {}

    void beginList(qsizetype count) override
    {
        m_entries.reserve(count);
        m_arena.begin();
    }
    void addPair(const QString &key, const QVariant &value) override { m_arena.addValue(key, value); }
    // ASCII is UTF-8 too: the text's bytes are packed as the text would be, without building it.
    void addAsciiTextPair(const QString &key, QByteArrayView ascii) override { m_arena.addText(key, ascii); }
    void addUtcDatePair(const QString &key, qint64 msecsSinceEpoch) override
    {
        m_arena.addUtcDate(key, msecsSinceEpoch);
    }
    void endDictionary() override
    {
        m_entries.append(m_arena.end());
        m_arena.begin();
    }

private:
    HMIdentifierGraph::Entries &m_entries;
    HMIdentifierGraphEntry::Arena m_arena;
};

} // namespace

void HMIdentifierGraph::initWithCoder(platform::KeyedUnarchiver &coder)
{
    clear();
    m_lastSyncDate = QDateTime();

    EntryPacker packer(m_entries);
    if (!coder.decodeDictionaryList(kIdentifierDictionariesKey, packer)) {
        m_entries.clear();
        return;
    }

    const QVariant date = coder.decodeObject(kLastSyncDateKey);
    if (date.isValid() && date.typeId() != QMetaType::QDateTime) {
        coder.failWithError(Error(ErrorCode::DataMalformed, QStringLiteral("\"lastSyncDate\" is not a date")));
        return;
    }
    m_lastSyncDate = date.toDateTime();
}
