#include "sync/HMIdentifierGraph.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QVariantList>

#include <algorithm>

using platform::Error;
using platform::ErrorCode;

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");
const QString kIdentifierDictionariesKey = QStringLiteral("identifierDictionaries");
const QString kLastSyncDateKey = QStringLiteral("lastSyncDate");

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

void dropEntry(QHash<QString, QList<quint64>> &buckets, const QString &key, quint64 entry)
{
    const auto bucket = buckets.find(key);
    if (bucket == buckets.end())
        return;
    bucket->removeOne(entry);
    if (bucket->isEmpty())
        buckets.erase(bucket);
}

QString textOf(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

void HMIdentifierGraph::indexEntry(const QVariantMap &dictionary, quint64 entry) const
{
    if (const std::optional<QString> hmUid = identifierOf(dictionary, kHmUidKey)) {
        m_byHmUid[*hmUid].append(entry);
        m_byFoldedHmUid[looseKey(*hmUid)].append(entry);
    }
    if (const std::optional<QString> nativeId = identifierOf(dictionary, kNativeIdKey))
        m_byNativeId[*nativeId].append(entry);
}

void HMIdentifierGraph::unindexEntry(const QVariantMap &dictionary, quint64 entry) const
{
    if (const std::optional<QString> hmUid = identifierOf(dictionary, kHmUidKey)) {
        dropEntry(m_byHmUid, *hmUid, entry);
        dropEntry(m_byFoldedHmUid, looseKey(*hmUid), entry);
    }
    if (const std::optional<QString> nativeId = identifierOf(dictionary, kNativeIdKey))
        dropEntry(m_byNativeId, *nativeId, entry);
}

void HMIdentifierGraph::appendEntryNumber(const QVariantMap &dictionary) const
{
    const quint64 entry = m_nextEntryNumber++;
    m_entryNumbers.push_back(entry);
    indexEntry(dictionary, entry);
}

// Brings the indexes in step with the list. Entries are implicitly shared, so an entry that still
// shares its data with the copy taken last time is unchanged, and one changed in place no longer
// shares it. The walk keeps every unchanged entry in order, drops the others from the indexes and
// numbers anything after the last kept entry afresh; this covers removals anywhere and appends in
// one pass, and any other change (inserts, edits, reordering) as removal and re-append of the
// entries concerned, so list order and entry-number order always agree.
void HMIdentifierGraph::syncIndexes() const
{
    if (m_identifierDictionaries.isSharedWith(m_indexedDictionaries))
        return;
    const QList<QVariantMap> &current = m_identifierDictionaries;
    const QList<QVariantMap> &seen = m_indexedDictionaries;
    std::vector<quint64> kept;
    kept.reserve(size_t(current.size()));
    qsizetype old = 0;
    qsizetype now = 0;
    while (now < current.size() && old < seen.size()) {
        if (current.at(now).isSharedWith(seen.at(old))) {
            kept.push_back(m_entryNumbers[size_t(old)]);
            ++now;
            ++old;
        } else {
            unindexEntry(seen.at(old), m_entryNumbers[size_t(old)]);
            ++old;
        }
    }
    for (; old < seen.size(); ++old)
        unindexEntry(seen.at(old), m_entryNumbers[size_t(old)]);
    m_entryNumbers = std::move(kept);
    for (; now < current.size(); ++now)
        appendEntryNumber(current.at(now));
    m_indexedDictionaries = m_identifierDictionaries;
}

qsizetype HMIdentifierGraph::positionOfEntry(quint64 entry) const
{
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

qsizetype HMIdentifierGraph::removeLooseMatches(const QString &hmUid)
{
    syncIndexes();
    const auto bucket = m_byFoldedHmUid.constFind(looseKey(hmUid));
    if (bucket == m_byFoldedHmUid.constEnd())
        return 0;
    const QList<quint64> entries = *bucket;
    // Let go of the shared copy so that removing does not copy the whole list.
    m_indexedDictionaries = QList<QVariantMap>();
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        const qsizetype position = positionOfEntry(*entry);
        unindexEntry(m_identifierDictionaries.at(position), *entry);
        m_identifierDictionaries.removeAt(position);
        m_entryNumbers.erase(m_entryNumbers.begin() + position);
    }
    m_indexedDictionaries = m_identifierDictionaries;
    return entries.size();
}

void HMIdentifierGraph::setDictionary(const std::optional<QVariantMap> &dictionary, const QString &hmUid)
{
    const qsizetype removed = removeLooseMatches(hmUid);
    if (removed >= 2)
        DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one."));
    else if (removed == 0)
        DDLogWarn(QStringLiteral("No identifier found for Uid '%1'").arg(hmUid));
    if (dictionary) {
        m_indexedDictionaries = QList<QVariantMap>();
        m_identifierDictionaries.append(*dictionary);
        appendEntryNumber(m_identifierDictionaries.constLast());
        m_indexedDictionaries = m_identifierDictionaries;
    }
}

void HMIdentifierGraph::removeDictionaryForHarrowmereUid(const QString &hmUid)
{
    platform::consoleLog(QStringLiteral("removeDictionaryForHarrowmereUid"));
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
