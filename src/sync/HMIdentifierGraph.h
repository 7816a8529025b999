#pragma once

#include "platform/foundation/KeyedArchiver.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <vector>

// For one profile and one conduit, joins the identifier a record carries towards the other side
// ("hmUid") to the identifier of the same record in the Mac store ("nativeId"), and remembers the
// conduit's last sync date. Each entry is an identifier dictionary; the data sources keep further
// keys of their own in it ("crcValue", "isNewRecord", ...), which the graph stores unchanged.
// Stored by HMProfileManager as a plain keyed archive under the root key "HMIdentifierGraph".
// Lookups go through hash indexes (exact "hmUid", exact "nativeId", folded "hmUid") that follow the
// list: changes made through identifierDictionaries() are picked up on the next lookup by comparing
// the list against a shallow copy taken when the indexes were last brought up to date.
// No lock: a graph is used on the sync queue of the run that loaded it; lookups bring the indexes
// up to date, so reads too stay on that queue.
class HMIdentifierGraph final : public platform::KeyedArchivable
{
public:
    // A graph with an empty list and no date.
    HMIdentifierGraph() = default;

    // The identifier dictionaries in insertion order. Callers add to the list and remove from it
    // directly.
    QList<QVariantMap> &identifierDictionaries() { return m_identifierDictionaries; }
    const QList<QVariantMap> &identifierDictionaries() const { return m_identifierDictionaries; }
    void setIdentifierDictionaries(const QList<QVariantMap> &dictionaries) { m_identifierDictionaries = dictionaries; }
    // Invalid when the conduit was never synchronised.
    QDateTime lastSyncDate() const { return m_lastSyncDate; }
    void setLastSyncDate(const QDateTime &date) { m_lastSyncDate = date; }

    // Exact (case-sensitive) lookups. With several matches the first in list order wins, after the
    // warning "Multiple identifier dictionaries found, picking one to stop duplications.".
    std::optional<QVariantMap> dictionaryForHarrowmereUid(const QString &hmUid) const;
    std::optional<QVariantMap> dictionaryForNativeId(const QString &nativeId) const;
    // The other identifier of the dictionary found; a null text when there is none.
    QString harrowmereUidForNativeId(const QString &nativeId) const;
    QString nativeIdForHarrowmereUid(const QString &hmUid) const;

    // Removes every dictionary whose "hmUid" equals hmUid ignoring case and diacritics, then appends
    // the given dictionary (whatever its own "hmUid" holds) unless it is nullopt.
    void setDictionary(const std::optional<QVariantMap> &dictionary, const QString &hmUid);
    // Removes every dictionary whose "hmUid" equals hmUid ignoring case and diacritics.
    void removeDictionaryForHarrowmereUid(const QString &hmUid);

    // Writes the graph to the log at info level; every key and value too at verbose level.
    void logGraph() const;

    QString archiveClassName() const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder) override;

private:
    enum class Key { HmUid, NativeId };
    // Entry numbers, ascending in list order, for each key value.
    using Buckets = QHash<QString, QList<quint64>>;

    qsizetype indexOfFirstMatch(Key key, const QString &identifier) const;
    qsizetype removeLooseMatches(const QString &hmUid);
    qsizetype positionOfEntry(quint64 entry) const;
    void syncIndexes() const;
    void indexEntry(const QVariantMap &dictionary, quint64 entry) const;
    void unindexEntry(const QVariantMap &dictionary, quint64 entry) const;
    void appendEntryNumber(const QVariantMap &dictionary) const;

    QList<QVariantMap> m_identifierDictionaries;
    QDateTime m_lastSyncDate;

    // The list as the indexes last saw it (shares every entry with the live list while unchanged),
    // the entry number of each list position, and the indexes themselves.
    mutable QList<QVariantMap> m_indexedDictionaries;
    mutable std::vector<quint64> m_entryNumbers;
    mutable quint64 m_nextEntryNumber = 0;
    mutable Buckets m_byHmUid;
    mutable Buckets m_byNativeId;
    mutable Buckets m_byFoldedHmUid;
};
