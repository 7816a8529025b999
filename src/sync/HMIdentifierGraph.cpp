#include "sync/HMIdentifierGraph.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QSet>
#include <QVariantList>

#include <algorithm>

using platform::Error;
using platform::ErrorCode;

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");
const QString kIdentifierDictionariesKey = QStringLiteral("identifierDictionaries");
const QString kLastSyncDateKey = QStringLiteral("lastSyncDate");
const QString kUnconfirmedAddKey = QStringLiteral("isUnconfirmedAdd");

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

// The text under key, when it is a text.
std::optional<QString> identifierOf(const QVariantMap &dictionary, const QString &key)
{
    const auto found = dictionary.constFind(key);
    if (found == dictionary.constEnd() || found->typeId() != QMetaType::QString)
        return std::nullopt;
    return found->toString();
}

template <typename Buckets>
void dropEntry(Buckets &buckets, const QString &key, quint64 entry)
{
    const auto bucket = buckets.find(key);
    if (bucket == buckets.end())
        return;
    bucket->removeOne(entry);
    if (bucket->isEmpty())
        buckets.erase(bucket);
}

// Keeps a bucket in list order: appended entries go last, and an entry replaced in place keeps its
// earlier number, which goes where it belongs.
template <typename Bucket>
void addEntry(Bucket &bucket, quint64 entry)
{
    if (bucket.isEmpty() || bucket.last() < entry)
        bucket.append(entry);
    else
        bucket.insert(std::lower_bound(bucket.begin(), bucket.end(), entry) - bucket.begin(), entry);
}

QString textOf(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

bool HMIdentifierGraph::isUnconfirmedAdd(const QVariantMap &dictionary)
{
    const auto mark = dictionary.constFind(kUnconfirmedAddKey);
    return mark != dictionary.constEnd() && mark->toBool();
}

void HMIdentifierGraph::indexEntry(const QVariantMap &dictionary, quint64 entry) const
{
    if (const std::optional<QString> hmUid = identifierOf(dictionary, kHmUidKey)) {
        addEntry(m_byHmUid[*hmUid], entry);
        if (m_hasFoldedIndex)
            addEntry(m_byFoldedHmUid[looseKey(*hmUid)], entry);
    }
    if (const std::optional<QString> nativeId = identifierOf(dictionary, kNativeIdKey))
        addEntry(m_byNativeId[*nativeId], entry);
    if (isUnconfirmedAdd(dictionary))
        ++m_unconfirmedCount;
}

void HMIdentifierGraph::unindexEntry(const QVariantMap &dictionary, quint64 entry) const
{
    if (const std::optional<QString> hmUid = identifierOf(dictionary, kHmUidKey)) {
        dropEntry(m_byHmUid, *hmUid, entry);
        if (m_hasFoldedIndex)
            dropEntry(m_byFoldedHmUid, looseKey(*hmUid), entry);
    }
    if (const std::optional<QString> nativeId = identifierOf(dictionary, kNativeIdKey))
        dropEntry(m_byNativeId, *nativeId, entry);
    if (isUnconfirmedAdd(dictionary))
        --m_unconfirmedCount;
}

void HMIdentifierGraph::appendEntryNumber(const QVariantMap &dictionary) const
{
    const quint64 entry = m_nextEntryNumber++;
    m_entryNumbers.push_back(entry);
    indexEntry(dictionary, entry);
}

namespace {

// How far ahead a run of entries changed in place is looked for: a page or a batch changes a few
// hundred entries next to each other, and the bound keeps a list changed beyond recognition linear.
constexpr qsizetype kLongestReplacedRun = 4096;

// The length of the run of entries changed in place from the given positions on: the entries after
// it are unchanged, or one of the lists ends with it. 0 when no such run is found within the bound.
qsizetype replacedRun(const QList<QVariantMap> &earlier, qsizetype before, const QList<QVariantMap> &now,
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

HMIdentifierGraph::Changes HMIdentifierGraph::changesBetween(const QList<QVariantMap> &earlier,
                                                             const QList<QVariantMap> &now)
{
    // One walk keeps every unchanged entry in order. An earlier entry whose successor comes next is
    // removed; a run of entries changed in place (the entries after it unchanged) is replaced where
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
        if (before + 1 < earlier.size() && now.at(after).isSharedWith(earlier.at(before + 1))) {
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

bool HMIdentifierGraph::Changes::applyTo(QList<QVariantMap> &entries) const
{
    const auto outside = [&entries](qsizetype position) { return position < 0 || position >= entries.size(); };
    if (std::any_of(removed.begin(), removed.end(), outside)
        || std::any_of(replaced.begin(), replaced.end(), [&outside](const auto &entry) { return outside(entry.first); })
        || !std::is_sorted(removed.begin(), removed.end())
        || std::adjacent_find(removed.begin(), removed.end()) != removed.end())
        return false;
    for (const auto &[position, entry] : replaced)
        entries[position] = entry;
    for (auto position = removed.crbegin(); position != removed.crend(); ++position)
        entries.removeAt(*position);
    entries.append(appended);
    return true;
}

// Brings the indexes in step with the list: removed entries leave the indexes, a replaced entry
// keeps its entry number under its new identifiers, and appended entries are numbered afresh, so list
// order and entry-number order always agree.
void HMIdentifierGraph::syncIndexes() const
{
    if (m_identifierDictionaries.isSharedWith(m_indexedDictionaries))
        return;
    const QList<QVariantMap> &seen = m_indexedDictionaries;
    const Changes changes = changesBetween(seen, m_identifierDictionaries);
    std::vector<quint64> kept;
    kept.reserve(size_t(m_identifierDictionaries.size()));
    auto removed = changes.removed.cbegin();
    auto replaced = changes.replaced.cbegin();
    for (qsizetype old = 0; old < seen.size(); ++old) {
        const quint64 entry = m_entryNumbers[size_t(old)];
        if (removed != changes.removed.cend() && *removed == old) {
            unindexEntry(seen.at(old), entry);
            ++removed;
            continue;
        }
        if (replaced != changes.replaced.cend() && replaced->first == old) {
            unindexEntry(seen.at(old), entry);
            indexEntry(replaced->second, entry);
            ++replaced;
        }
        kept.push_back(entry);
    }
    m_entryNumbers = std::move(kept);
    // A graph just loaded is indexed whole at once: growing the tables step by step would rehash
    // them over and over.
    const qsizetype expected = qsizetype(m_entryNumbers.size()) + changes.appended.size();
    for (Buckets *buckets : {&m_byHmUid, &m_byNativeId}) {
        if (buckets->capacity() < expected)
            buckets->reserve(expected);
    }
    for (const QVariantMap &dictionary : changes.appended)
        appendEntryNumber(dictionary);
    m_indexedDictionaries = m_identifierDictionaries;
}

qsizetype HMIdentifierGraph::positionOfEntry(quint64 entry) const
{
    // Until entries are removed, each entry stands at the position of its number.
    if (entry < m_entryNumbers.size() && m_entryNumbers[size_t(entry)] == entry)
        return qsizetype(entry);
    const auto found = std::lower_bound(m_entryNumbers.begin(), m_entryNumbers.end(), entry);
    return qsizetype(found - m_entryNumbers.begin());
}

qsizetype HMIdentifierGraph::indexOfFirstMatch(Key key, const QString &identifier) const
{
    syncIndexes();
    const Buckets &buckets = key == Key::HmUid ? m_byHmUid : m_byNativeId;
    const auto bucket = buckets.constFind(identifier);
    if (bucket == buckets.constEnd())
        return -1;
    if (bucket->size() > 1)
        DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications."));
    return positionOfEntry(bucket->first());
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForHarrowmereUid(const QString &hmUid) const
{
    const qsizetype index = indexOfFirstMatch(Key::HmUid, hmUid);
    if (index < 0)
        return std::nullopt;
    return m_identifierDictionaries.at(index);
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForNativeId(const QString &nativeId) const
{
    const qsizetype index = indexOfFirstMatch(Key::NativeId, nativeId);
    if (index < 0)
        return std::nullopt;
    return m_identifierDictionaries.at(index);
}

QString HMIdentifierGraph::harrowmereUidForNativeId(const QString &nativeId) const
{
    const qsizetype index = indexOfFirstMatch(Key::NativeId, nativeId);
    return index < 0 ? QString() : textOf(m_identifierDictionaries.at(index), kHmUidKey);
}

QString HMIdentifierGraph::nativeIdForHarrowmereUid(const QString &hmUid) const
{
    const qsizetype index = indexOfFirstMatch(Key::HmUid, hmUid);
    return index < 0 ? QString() : textOf(m_identifierDictionaries.at(index), kNativeIdKey);
}

void HMIdentifierGraph::buildFoldedIndex() const
{
    m_byFoldedHmUid.reserve(m_identifierDictionaries.size());
    for (qsizetype position = 0; position < m_identifierDictionaries.size(); ++position) {
        if (const std::optional<QString> hmUid = identifierOf(m_identifierDictionaries.at(position), kHmUidKey))
            addEntry(m_byFoldedHmUid[looseKey(*hmUid)], m_entryNumbers[size_t(position)]);
    }
    m_hasFoldedIndex = true;
}

qsizetype HMIdentifierGraph::removeLooseMatches(const QString &hmUid)
{
    syncIndexes();
    if (!m_hasFoldedIndex)
        buildFoldedIndex();
    const auto bucket = m_byFoldedHmUid.constFind(looseKey(hmUid));
    return bucket == m_byFoldedHmUid.constEnd() ? 0 : removeEntries(*bucket);
}

// Removes the entries (numbers ascending) from the list and the indexes; the indexes are in step.
qsizetype HMIdentifierGraph::removeEntries(const Bucket &entries)
{
    const Bucket doomed = entries;
    // Let go of the shared copy so that removing does not copy the whole list.
    m_indexedDictionaries = QList<QVariantMap>();
    for (auto entry = doomed.crbegin(); entry != doomed.crend(); ++entry) {
        const qsizetype position = positionOfEntry(*entry);
        unindexEntry(m_identifierDictionaries.at(position), *entry);
        m_identifierDictionaries.removeAt(position);
        m_entryNumbers.erase(m_entryNumbers.begin() + position);
    }
    m_indexedDictionaries = m_identifierDictionaries;
    return doomed.size();
}

bool HMIdentifierGraph::replaceDictionaryForHarrowmereUid(const QString &hmUid,
                                                          const std::optional<QVariantMap> &replacement)
{
    const qsizetype position = indexOfFirstMatch(Key::HmUid, hmUid);
    if (position < 0)
        return false;
    const quint64 entry = m_entryNumbers[size_t(position)];
    if (!replacement) {
        removeEntries({entry});
        return true;
    }
    m_indexedDictionaries = QList<QVariantMap>();
    unindexEntry(m_identifierDictionaries.at(position), entry);
    m_identifierDictionaries[position] = *replacement;
    indexEntry(m_identifierDictionaries.at(position), entry);
    m_indexedDictionaries = m_identifierDictionaries;
    return true;
}

bool HMIdentifierGraph::hasUnconfirmedEntries() const
{
    syncIndexes();
    return m_unconfirmedCount > 0;
}

// Marks the list positions of the entries whose "hmUid" equals one of the identifiers exactly.
std::vector<bool> HMIdentifierGraph::positionsMatching(const QStringList &identifiers) const
{
    syncIndexes();
    std::vector<bool> matching(size_t(m_identifierDictionaries.size()), false);
    for (const QString &identifier : identifiers) {
        const auto bucket = m_byHmUid.constFind(identifier);
        if (bucket == m_byHmUid.constEnd())
            continue;
        for (const quint64 entry : *bucket)
            matching[size_t(positionOfEntry(entry))] = true;
    }
    return matching;
}

QStringList HMIdentifierGraph::confirmedHmUidsMissingFrom(const QStringList &identifiers) const
{
    const std::vector<bool> matching = positionsMatching(identifiers);
    // Only an "hmUid" stored as something other than a text (a damaged file) needs the identifiers
    // as a set; it is made on the first such entry.
    std::optional<QSet<QString>> identifierSet;
    QSet<QString> listed;
    QStringList missing;
    for (qsizetype position = 0; position < m_identifierDictionaries.size(); ++position) {
        const QVariantMap &dictionary = m_identifierDictionaries.at(position);
        const QVariant hmUid = dictionary.value(kHmUidKey);
        if (matching[size_t(position)] || !hmUid.isValid() || hmUid.isNull() || isUnconfirmedAdd(dictionary))
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
    syncIndexes();
    const auto bucket = m_byNativeId.constFind(nativeId);
    if (bucket != m_byNativeId.constEnd())
        removeEntries(*bucket);
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
    syncIndexes();
    // Let go of the shared copy so that appending does not copy the whole list.
    m_indexedDictionaries = QList<QVariantMap>();
    m_identifierDictionaries.append(dictionary);
    appendEntryNumber(m_identifierDictionaries.constLast());
    m_indexedDictionaries = m_identifierDictionaries;
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
    for (const QVariantMap &dictionary : m_identifierDictionaries) {
        DDLogInfo(QStringLiteral("Native ID: %1 \t UID: %2")
                      .arg(dictionary.value(kNativeIdKey).toString(), dictionary.value(kHmUidKey).toString()));
        if (!isVerbose)
            continue;
        for (auto entry = dictionary.constBegin(); entry != dictionary.constEnd(); ++entry)
            DDLogInfo(QStringLiteral("'%1' => '%2'").arg(entry.key(), entry.value().toString()));
    }
    DDLogInfo(QStringLiteral("--------   End Identifier Graph   --------"));
}

QString HMIdentifierGraph::archiveClassName() const
{
    return QStringLiteral("HMIdentifierGraph");
}

void HMIdentifierGraph::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    QVariantList dictionaries;
    dictionaries.reserve(m_identifierDictionaries.size());
    for (const QVariantMap &dictionary : m_identifierDictionaries)
        dictionaries.append(dictionary);
    coder.encodeObject(QVariant(dictionaries), kIdentifierDictionariesKey);
    coder.encodeObject(QVariant(m_lastSyncDate), kLastSyncDateKey);
}

void HMIdentifierGraph::initWithCoder(platform::KeyedUnarchiver &coder)
{
    m_identifierDictionaries.clear();
    m_lastSyncDate = QDateTime();

    const QVariant dictionaries = coder.decodeObject(kIdentifierDictionariesKey);
    if (dictionaries.isValid() && dictionaries.typeId() != QMetaType::QVariantList) {
        coder.failWithError(
            Error(ErrorCode::DataMalformed, QStringLiteral("\"identifierDictionaries\" is not a list")));
        return;
    }
    const QVariantList entries = dictionaries.toList();
    m_identifierDictionaries.reserve(entries.size());
    for (qsizetype index = 0; index < entries.size(); ++index) {
        if (entries.at(index).typeId() != QMetaType::QVariantMap) {
            coder.failWithError(Error(ErrorCode::DataMalformed,
                                      QStringLiteral("identifier dictionary %1 is not a dictionary").arg(index)));
            return;
        }
        m_identifierDictionaries.append(entries.at(index).toMap());
    }

    const QVariant date = coder.decodeObject(kLastSyncDateKey);
    if (date.isValid() && date.typeId() != QMetaType::QDateTime) {
        coder.failWithError(Error(ErrorCode::DataMalformed, QStringLiteral("\"lastSyncDate\" is not a date")));
        return;
    }
    m_lastSyncDate = date.toDateTime();
}
