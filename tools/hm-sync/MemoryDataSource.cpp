#include "MemoryDataSource.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Clock.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMSyncTypes.h"

namespace hmsync {

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");

// Keys that describe a record's passage, not the record.
const QStringList kBookkeepingKeys = {QStringLiteral("UID"), QStringLiteral("ACTION"), QStringLiteral("DELETED"),
                                      QStringLiteral("LASTMODIFIED"), QStringLiteral("kIgnoreThisRecord")};

QVariantMap withoutBookkeeping(QVariantMap fields)
{
    for (const QString &key : kBookkeepingKeys)
        fields.remove(key);
    return fields;
}

// The fields that tell one record from another in a conduit, as one text; empty when they are all
// empty (such records are never taken for each other).
QString identityOf(quint64 conduit, const QVariantMap &fields)
{
    static const QList<QStringList> kIdentityKeys = {
        {},
        {QStringLiteral("FIRSTNAME"), QStringLiteral("LASTNAME"), QStringLiteral("COMPANY"), QStringLiteral("EMAIL")},
        {QStringLiteral("SUBJECT"), QStringLiteral("NSDATESTARTDATE")},
        {QStringLiteral("SUBJECT")},
        {QStringLiteral("SUBJECT"), QStringLiteral("NOTE")}};
    QStringList parts;
    bool hasValue = false;
    for (const QString &key : kIdentityKeys.value(qsizetype(conduit))) {
        const QVariant value = fields.value(key);
        const QString text = value.typeId() == QMetaType::QDateTime ? QString::number(value.toDateTime().toSecsSinceEpoch())
                                                                     : value.toString().trimmed();
        hasValue = hasValue || !text.isEmpty();
        parts.append(text);
    }
    return hasValue ? parts.join(QChar(0x1f)) : QString();
}

// A native id (UTF-8) as a key of the tables below, hashed as the store hashes its ids.
struct NativeIdKey
{
    QByteArrayView id;
    friend bool operator==(const NativeIdKey &left, const NativeIdKey &right) { return left.id == right.id; }
};

size_t qHash(const NativeIdKey &key, size_t seed)
{
    return hashOfId(key.id) ^ seed;
}

// The native ids the identifier graph joins to a confirmed id of the other side, read from the graph's
// packed entries without making a dictionary of each: a record whose date says it is unchanged since
// is not looked at again. An id held by more than one entry, or by one not kept as UTF-8 text, is
// left out, so the graph itself is asked which of its entries counts.
class ConfirmedNativeIds final
{
public:
    explicit ConfirmedNativeIds(const HMIdentifierGraph::Entries &entries) : m_entries(entries)
    {
        using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;
        for (const HMIdentifierGraphEntry &entry : std::as_const(m_entries)) {
            const std::optional<QByteArrayView> utf8 = entry.utf8TextOf(WellKnownKey::NativeId);
            const bool isText = utf8 && utf8->isValidUtf8();
            if (!isText)
                m_otherTexts.append(entry.valueOf(WellKnownKey::NativeId).toString().toUtf8());
            const QByteArrayView nativeId = isText ? *utf8 : QByteArrayView(m_otherTexts.constLast());
            const auto found = m_isConfirmed.find(NativeIdKey{nativeId});
            if (found == m_isConfirmed.end())
                m_isConfirmed.insert(NativeIdKey{nativeId}, isText && !entry.isUnconfirmedAdd());
            else
                found.value() = false;
        }
    }

    bool contains(QByteArrayView nativeId) const { return m_isConfirmed.value(NativeIdKey{nativeId}, false); }

private:
    // Keeps the bytes the ids lie in.
    const HMIdentifierGraph::Entries m_entries;
    QList<QByteArray> m_otherTexts;
    QHash<NativeIdKey, bool> m_isConfirmed;
};

// An all-day event is stored as the phone link gives it, ending at noon of the day after its last;
// the desktop's calendars list it ending at noon of its last day, and so does this store.
void listAllDayEndAsLastDay(quint64 conduit, QVariantMap &fields)
{
    const QString end = QStringLiteral("NSDATEENDDATE");
    const QDateTime start = fields.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
    const QDateTime last = fields.value(end).toDateTime().addDays(-1);
    if (conduit == 2 && fields.value(QStringLiteral("TYPENUMBER")).toBool() && start.isValid() && last >= start)
        fields.insert(end, last);
}

bool changedSinceLastSync(const StoredRecord &existing, const HMIdentifierGraph &graph)
{
    const QDateTime &changed = existing.changedOnDesktop;
    return changed.isValid() && (!graph.lastSyncDate().isValid() || changed > graph.lastSyncDate());
}

} // namespace

MemoryDataSource::MemoryDataSource(std::shared_ptr<MemoryStore> store, quint64 conduit, QString className)
    : m_store(std::move(store)), m_conduit(conduit), m_className(std::move(className)),
      m_runStart(platform::Clock::now())
{
}

std::shared_ptr<HMIdentifierGraph> MemoryDataSource::idMap()
{
    std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? graph : m_store->ownIdMap(m_conduit);
}

void MemoryDataSource::registerForAllConduits(const std::shared_ptr<MemoryStore> &store)
{
    const QStringList classNames = {QStringLiteral("HMContactData"), QStringLiteral("HMCalendarData"),
                                    QStringLiteral("HMTaskData"), QStringLiteral("HMMemoData")};
    for (qsizetype index = 0; index < classNames.size(); ++index) {
        const quint64 conduit = quint64(index + 1);
        const QString className = classNames.at(index);
        HMDataConfigurationSource::registerDataSourceClass(className, [store, conduit, className] {
            return std::make_shared<MemoryDataSource>(store, conduit, className);
        });
    }
}

std::optional<QList<HMSyncRecord>> MemoryDataSource::syncRecordObjectsModifiedAfter(const QDateTime &date,
                                                                                    bool includeDeletes,
                                                                                    const QSet<QString> &excludedHmUids)
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return std::nullopt;
    QList<HMSyncRecord> added;
    QList<HMSyncRecord> others;
    QStringList temporaryIds;
    // Records confirmed on the other side and unchanged since the date are skipped without a look.
    const ConfirmedNativeIds confirmed(graph->entries());
    const auto mayGo = [&confirmed, &date](QByteArrayView nativeId, const QDateTime &changed) {
        const bool isUnchanged = !changed.isValid() || (date.isValid() && changed <= date);
        return !isUnchanged || !confirmed.contains(nativeId);
    };
    for (const auto &[nativeId, head] : m_store->heads(m_conduit, mayGo)) {
        std::optional<HMSyncRecord> record = recordToSend(nativeId, head, date, excludedHmUids, *graph);
        if (!record)
            continue;
        if (record->isNew()) {
            temporaryIds.append(record->hmxUid());
            added.append(*record);
        } else {
            others.append(*record);
        }
    }
    if (includeDeletes) {
        for (const DesktopDeletion &deletion : m_store->deletions(m_conduit)) {
            const QString hmUid = graph->harrowmereUidForNativeId(deletion.nativeId);
            if (hmUid.isEmpty() || (date.isValid() && deletion.deletedAt <= date))
                continue;
            HMSyncRecord record;
            record.setNativeId(deletion.nativeId);
            record.setHmxUid(hmUid);
            record.setIsDelete(true);
            others.append(record);
        }
    }
    // New records go first, so each batch's new records are the next ones of recordsAddedToDevice.
    setRecordsAddedToDevice(temporaryIds);
    return added + others;
}

std::optional<HMSyncRecord> MemoryDataSource::recordToSend(const QString &nativeId, const RecordHead &head,
                                                           const QDateTime &date, const QSet<QString> &excludedHmUids,
                                                           HMIdentifierGraph &graph)
{
    std::optional<QVariantMap> entry = graph.dictionaryForNativeId(nativeId);
    if (!entry && !head.phoneId.isEmpty()) {
        // The store knows the record's id on the other side although the graph lost it.
        link(graph, head.phoneId, nativeId);
        entry = graph.dictionaryForNativeId(nativeId);
    }
    if (entry && !isUnconfirmed(*entry)) {
        const QString hmUid = entry->value(kHmUidKey).toString();
        const QDateTime &changed = head.changedOnDesktop;
        if (!changed.isValid() || (date.isValid() && changed <= date) || excludedHmUids.contains(hmUid))
            return std::nullopt;
        return filledRecord(nativeId, hmUid);
    }
    // A record the other side has never confirmed goes as new whenever it was changed, under a
    // temporary id that the update reply replaces by the other side's own.
    const QString temporaryId = entry ? entry->value(kHmUidKey).toString() : QStringLiteral("tmp-") + newUid();
    std::optional<HMSyncRecord> record = filledRecord(nativeId, temporaryId);
    if (!record)
        return std::nullopt;
    QVariantMap newEntry{{kHmUidKey, temporaryId}, {kNativeIdKey, nativeId}};
    markUnconfirmed(newEntry);
    graph.setDictionary(newEntry, temporaryId);
    record->setIsNew(true);
    return record;
}

// The record to send under the id, with its fields; nothing when they cannot be read back (the store
// logs it), so a damaged line never reaches the other side as an empty record.
std::optional<HMSyncRecord> MemoryDataSource::filledRecord(const QString &nativeId, const QString &hmUid)
{
    const std::optional<StoredRecord> stored = m_store->record(m_conduit, nativeId);
    if (!stored)
        return std::nullopt;
    HMSyncRecord record;
    record.setNativeId(nativeId);
    record.setHmxUid(hmUid);
    record.setLastModifiedDate(stored->changedOnDesktop);
    QVariantMap fields = stored->fields;
    listAllDayEndAsLastDay(m_conduit, fields);
    if (stored->changedOnDesktop.isValid())
        fields.insert(QStringLiteral("LASTMODIFIED"), dateUtilities().localDateTimeStringFromDate(stored->changedOnDesktop));
    record.setDictionary(fields);
    return record;
}

void MemoryDataSource::link(HMIdentifierGraph &graph, const QString &hmUid, const QString &nativeId)
{
    graph.removeDictionariesForNativeId(nativeId);
    graph.setDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, nativeId}}, hmUid);
    m_store->setPhoneId(m_conduit, nativeId, hmUid);
}

qint64 MemoryDataSource::commandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                       const QVariantMap &record, qint64 timeDifference)
{
    Q_UNUSED(syncMethod);
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const QString hmUid = record.value(QStringLiteral("UID")).toString();
    if (!graph || hmUid.isEmpty())
        return 0;
    if (action == 3) {
        deleteUidRecords({hmUid});
        return 2;
    }
    const QVariantMap fields = withoutBookkeeping(record);
    const QString nativeId = findNativeRecord(hmUid, fields, *graph);
    const std::optional<StoredRecord> existing =
        nativeId.isEmpty() ? std::nullopt : m_store->record(m_conduit, nativeId);
    if (!existing && !nativeId.isEmpty() && m_store->contains(m_conduit, nativeId)) {
        // A desktop record whose line cannot be read back takes the other side's version.
        m_store->putFromSync(m_conduit, nativeId, fields, hmUid);
        return 2;
    }
    if (existing) {
        if (keepsDesktopVersion(*existing, record, conflictSetting, timeDifference, *graph))
            return 1;
        if (conflictSetting != quint64(HMConflictSetting::Duplicate) || !changedSinceLastSync(*existing, *graph)) {
            m_store->putFromSync(m_conduit, nativeId, fields, hmUid);
            return 2;
        }
    }
    // A record new to the desktop, or a conflict kept as a duplicate of the desktop's version.
    const QString newNativeId = newUid();
    m_store->putFromSync(m_conduit, newNativeId, fields, hmUid);
    graph->setDictionary(QVariantMap{{kHmUidKey, hmUid}, {kNativeIdKey, newNativeId}}, hmUid);
    return 3;
}

QString MemoryDataSource::findNativeRecord(const QString &hmUid, const QVariantMap &fields, HMIdentifierGraph &graph)
{
    const QString mapped = graph.nativeIdForHarrowmereUid(hmUid);
    if (!mapped.isEmpty())
        return mapped;
    // Applying a record twice (the run ended before its graph was saved) finds it where it went.
    QString nativeId = m_store->nativeIdForPhoneId(m_conduit, hmUid);
    if (nativeId.isEmpty())
        nativeId = findUnconfirmedDuplicate(fields, graph);
    if (!nativeId.isEmpty())
        link(graph, hmUid, nativeId);
    return nativeId;
}

// The desktop's record with the same identity (names, company and e-mail; title and start; title;
// title and note) that the other side has not confirmed: its add may have reached the other side
// without its answer, or both sides may hold it from before a first sync.
QString MemoryDataSource::findUnconfirmedDuplicate(const QVariantMap &fields, const HMIdentifierGraph &graph)
{
    const QString wanted = identityOf(m_conduit, fields);
    if (wanted.isEmpty())
        return {};
    if (!m_unconfirmedByIdentity) {
        // Once per run: a first sync matches every listed record, and looking through the whole store
        // for each would take time that grows with the square of the records.
        m_unconfirmedByIdentity.emplace();
        // Only records the other side has not confirmed are read.
        for (const auto &[nativeId, head] : m_store->heads(m_conduit)) {
            const std::optional<QVariantMap> entry = graph.dictionaryForNativeId(nativeId);
            if (entry && !isUnconfirmed(*entry))
                continue;
            const std::optional<StoredRecord> stored = m_store->record(m_conduit, nativeId);
            const QString identity = stored ? identityOf(m_conduit, stored->fields) : QString();
            if (!identity.isEmpty())
                m_unconfirmedByIdentity->insert(identity, nativeId);
        }
    }
    // A record linked once is confirmed from then on and never matched again.
    const auto found = m_unconfirmedByIdentity->constFind(wanted);
    if (found == m_unconfirmedByIdentity->constEnd())
        return {};
    const QString nativeId = found.value();
    m_unconfirmedByIdentity->remove(wanted, nativeId);
    return nativeId;
}

// The conflict rule of the desktop stores: a record changed on the desktop since the last sync is a
// conflict. "Last modified wins" keeps the desktop's version when it is newer than the other side's
// (a missing date on the other side lets the other side win); "Mac wins" always keeps it.
bool MemoryDataSource::keepsDesktopVersion(const StoredRecord &existing, const QVariantMap &record,
                                           quint64 conflictSetting, qint64 timeDifference,
                                           const HMIdentifierGraph &graph)
{
    if (!changedSinceLastSync(existing, graph))
        return false;
    if (conflictSetting == quint64(HMConflictSetting::AppleWins))
        return true;
    if (conflictSetting != quint64(HMConflictSetting::LastModifiedWins))
        return false;
    const QDateTime deviceDate =
        dateUtilities().dateFromLocalDateTimeString(record.value(QStringLiteral("LASTMODIFIED")).toString());
    return deviceDate.isValid() && existing.changedOnDesktop > deviceDate.addSecs(-timeDifference);
}

qint64 MemoryDataSource::outlookCommandAction(qint32 action, quint64 syncMethod, quint64 conflictSetting,
                                              const QVariantMap &record, qint64 timeDifference)
{
    return commandAction(action, syncMethod, conflictSetting, record, timeDifference);
}

void MemoryDataSource::deleteUidRecords(const QStringList &hmUids)
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return;
    for (const QString &hmUid : hmUids) {
        const QString nativeId = graph->nativeIdForHarrowmereUid(hmUid);
        if (!nativeId.isEmpty())
            m_store->removeFromSync(m_conduit, nativeId);
        graph->removeDictionaryForHarrowmereUid(hmUid);
    }
}

// The other side's ids go into the store with the records, so either file alone knows them. Only
// the entries changed since the last save are looked at.
void MemoryDataSource::takePhoneIdsFromGraph()
{
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    if (!graph)
        return;
    using WellKnownKey = HMIdentifierGraphEntry::WellKnownKey;
    const HMIdentifierGraph::Entries &entries = graph->entries();
    // The list as last seen, shared whole: nothing changed.
    if (entries.isSharedWith(m_phoneIdsTakenFrom))
        return;
    const HMIdentifierGraph::Changes changes = HMIdentifierGraph::changesBetween(m_phoneIdsTakenFrom, entries);
    const auto take = [this](const HMIdentifierGraphEntry &entry) {
        if (entry.isUnconfirmedAdd())
            return;
        // Ids kept as UTF-8 are handed on as they lie in the entry: most records hold their phone id already.
        const std::optional<QByteArrayView> nativeId = entry.utf8TextOf(WellKnownKey::NativeId);
        const std::optional<QByteArrayView> hmUid = entry.utf8TextOf(WellKnownKey::HmUid);
        if (nativeId && hmUid && nativeId->isValidUtf8() && hmUid->isValidUtf8())
            m_store->setPhoneIdUtf8(m_conduit, *nativeId, *hmUid);
        else
            m_store->setPhoneId(m_conduit, entry.valueOf(WellKnownKey::NativeId).toString(),
                                entry.valueOf(WellKnownKey::HmUid).toString());
    };
    for (const auto &replaced : changes.replaced)
        take(replaced.second);
    for (const HMIdentifierGraphEntry &entry : changes.appended)
        take(entry);
    m_phoneIdsTakenFrom = entries;
}

bool MemoryDataSource::hasUnsavedChanges()
{
    takePhoneIdsFromGraph();
    return m_store->hasUnsavedChanges();
}

void MemoryDataSource::saveChanges()
{
    takePhoneIdsFromGraph();
    QString problem;
    m_saveFailure.clear();
    if (!m_store->save(problem)) {
        DDLogError(QStringLiteral("The desktop records were not saved: %1").arg(problem));
        m_saveFailure = problem;
    }
}

bool MemoryDataSource::hasUnconfirmedRecords()
{
    return hasUnconfirmedEntries(*idMap());
}

void MemoryDataSource::saveOutlookChanges()
{
    // Outlook profiles keep their id maps in the store: the temporary ids of the records about to be
    // sent are kept before the first batch goes, as the graph is for other profiles.
    saveChanges();
}

void MemoryDataSource::cleanUpAfterSync()
{
    // The run got through: its start is where the next run's Outlook changes begin (other profiles
    // keep that date in their identifier graphs).
    if (!identifierGraph())
        m_store->setLastSyncStart(m_conduit, m_runStart);
    saveChanges();
}

QDateTime MemoryDataSource::getOutlookLastModifiedDate()
{
    return m_store->lastSyncStart(m_conduit);
}

std::optional<QList<HMSyncRecord>> MemoryDataSource::syncOutlookRecordObjectsModifiedAfter(
    const QDateTime &date, bool includeDeletes, const QSet<QString> &excludedHmUids)
{
    std::optional<QList<HMSyncRecord>> records = syncRecordObjectsModifiedAfter(date, includeDeletes, excludedHmUids);
    if (records) {
        for (HMSyncRecord &record : *records)
            record.setOutlookUid(record.nativeId());
    }
    return records;
}

QStringList MemoryDataSource::findDeletes(const QStringList &deviceIds)
{
    const QSet<QString> onDevice(deviceIds.begin(), deviceIds.end());
    QStringList missing;
    for (const HMIdentifierGraphEntry &entry : idMap()->entries()) {
        const QString hmUid = entry.valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid).toString();
        // Records still under a temporary id were never confirmed by the phone; they are not its
        // deletions.
        if (!hmUid.isEmpty() && !entry.isUnconfirmedAdd() && !onDevice.contains(hmUid))
            missing.append(hmUid);
    }
    return missing;
}

void MemoryDataSource::deleteOutlookUidRecords(const QStringList &hmUids)
{
    deleteUidRecords(hmUids);
}

void MemoryDataSource::replaceTempId(const QString &temporaryId, const QString &permanentId)
{
    HMData::replaceTempId(temporaryId, permanentId);
    // A refused add keeps its temporary id, so it is sent again.
    if (permanentId.isEmpty() || permanentId == QLatin1String("FAIL"))
        return;
    const std::shared_ptr<HMIdentifierGraph> graph = idMap();
    const std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(temporaryId);
    if (!entry || !isUnconfirmed(*entry))
        return;
    const QString nativeId = entry->value(kNativeIdKey).toString();
    graph->removeDictionaryForHarrowmereUid(temporaryId);
    link(*graph, permanentId, nativeId);
}

void MemoryDataSource::commitUniqueIds(bool wasSuccessful)
{
    if (wasSuccessful)
        saveChanges();
}

} // namespace hmsync
