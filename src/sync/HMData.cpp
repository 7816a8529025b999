#include "sync/HMData.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/Identifiers.h"
#include "platform/foundation/LockedField.h"
#include "platform/foundation/TextClasses.h"
#include "sync/HMIdentifierDictionaryKeys.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMSyncRecord.h"
#include "sync/HMSyncTypes.h"

#include <QSet>

#include <algorithm>

using hmidentifier::kHmUidKey;

namespace {

constexpr qsizetype kIdBatchSize = 100;
const QString kDeviceIdFailed = QStringLiteral("FAIL");
// The core's own mark of an add sent but not yet answered (the graph counts the entries holding it).
// Data sources keep keys of their own in the same dictionaries (the reminders' "isNewRecord" among
// them), so this one must differ from all.
const QString kUnconfirmedAddKey = QStringLiteral("isUnconfirmedAdd");
// The identity of the record an unconfirmed entry was sent with, kept until the device confirms it.
const QString kSentIdentityKey = QStringLiteral("sentIdentity");
// The mark of an entry whose record this Mac deleted and sent as deleted, until the device answers.
const QString kDeletionSentKey = QStringLiteral("deletionSent");

QString notImplementedLine(const char *operation, const QString &className)
{
    return QStringLiteral("%1 not implemented by %2").arg(QLatin1String(operation), className);
}

// The index of the delimiter in the text regardless of case, searching from the given index.
qsizetype indexOfDelimiter(const QString &text, const QString &delimiter, qsizetype from)
{
    return text.indexOf(delimiter, from, Qt::CaseInsensitive);
}

} // namespace

HMData::HMData()
{
    m_recordsAddedToDevice.reserve(10);
    m_cleanUpObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("kHMCleanUpAfterSync"), nullptr,
        m_callbacks.wrap([this](const platform::Notification &) { cleanUpAfterSync(); }));
}

HMData::~HMData()
{
    // Stop hearing the notification, and let a delivery under way end, before the members it could
    // touch go away.
    m_cleanUpObserver.reset();
    m_callbacks.close();
}

QString HMData::className() const
{
    return QStringLiteral("HMData");
}

void HMData::prepareForUseOnThread()
{
    DDLogVerbose(notImplementedLine("prepareForUseOnThread", className()));
}

void HMData::stopUsingOnThread()
{
    DDLogVerbose(notImplementedLine("stopUsingOnThread", className()));
}

void HMData::clearIdTable()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (graph)
        graph->clear();
}

QSet<QString> HMData::setOfHmUids()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? hmUidsOf(*graph) : QSet<QString>();
}

QStringList HMData::deviceConfirmedHmUidsMissingFrom(const QStringList &deviceIds)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? graph->confirmedHmUidsMissingFrom(deviceIds) : QStringList();
}

qsizetype HMData::syncedRecordCount() const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph ? graph->entries().size() : 0;
}

QSet<QString> HMData::hmUidsOf(const HMIdentifierGraph &graph)
{
    QSet<QString> hmUids;
    for (const HMIdentifierGraphEntry &entry : graph.entries()) {
        const QVariant hmUid = entry.valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid);
        if (hmUid.isValid() && !hmUid.isNull())
            hmUids.insert(hmUid.toString());
    }
    return hmUids;
}

bool HMData::hasUnconfirmedEntries(const HMIdentifierGraph &graph)
{
    return graph.hasUnconfirmedEntries();
}

bool HMData::hasUnconfirmedRecords()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    return graph && hasUnconfirmedEntries(*graph);
}

bool HMData::hasUnsavedChanges()
{
    return true;
}

QString HMData::saveFailure() const
{
    return {};
}

void HMData::markUnconfirmed(QVariantMap &identifierDictionary)
{
    identifierDictionary.insert(kUnconfirmedAddKey, true);
}

void HMData::markConfirmed(QVariantMap &identifierDictionary)
{
    identifierDictionary.remove(kUnconfirmedAddKey);
    identifierDictionary.remove(kSentIdentityKey);
}

namespace {

bool isPhoneKey(const QString &key)
{
    static const QSet<QString> phones{
        QStringLiteral("WORKPHONE"), QStringLiteral("HOMEPHONE"), QStringLiteral("OTHERPHONE"), QStringLiteral("CELLPHONE"),
        QStringLiteral("PAGER"),     QStringLiteral("MAINPHONE"), QStringLiteral("WORKFAX"),    QStringLiteral("HOMEFAX")};
    if (phones.contains(key))
        return true;
    // The numbered fields ("PHONE1", "PHONE12"), not their labels.
    bool numbered = false;
    return key.startsWith(QLatin1String("PHONE")) && (key.mid(5).toInt(&numbered), numbered);
}

// The postal addresses and birthday of a contact that carries nothing else: each address's street
// lines, city, region and postcode as one text of words without case (a store may break the street
// into lines another way), and the birthday's day. The country is left out: Google may give it back
// as a code. The "other" address is left out too, as the entry sent to Google carries none.
QStringList contactPlacesAndBirthday(const QVariantMap &record)
{
    static const char *const addresses[][6] = {{"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP"},
                                               {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY", "HOMESTATE", "HOMEZIP"}};
    QStringList values;
    for (const auto &keys : addresses) {
        QStringList parts;
        for (const char *key : keys)
            parts << record.value(QLatin1String(key)).toString();
        if (const QString address = parts.join(u' ').simplified().toLower(); !address.isEmpty())
            values << QStringLiteral("a:") + address;
    }
    const QVariant birthday = record.value(QStringLiteral("NSDATEBIRTHDAY"));
    const QDate day = birthday.typeId() == QMetaType::QDate ? birthday.toDate() : birthday.toDateTime().date();
    if (day.isValid())
        values << QStringLiteral("b:") + day.toString(Qt::ISODate);
    return values;
}

// A contact without names or company is told by its e-mail addresses (without case), phone numbers
// (their digits and "+") and note (its words), each once and sorted: the labels and fields a store
// files them under may differ (a number is often in a typed and a numbered field at once). Without
// any of those, by its addresses and birthday (added only then, so that the identities of contacts
// told by the former stay as they were stored).
QStringList contactValuesBeyondNames(const QVariantMap &record)
{
    QStringList values;
    for (const char *key : {"EMAIL", "EMAIL2", "EMAIL3"}) {
        if (const QString mail = record.value(QLatin1String(key)).toString().trimmed().toLower(); !mail.isEmpty())
            values << QStringLiteral("e:") + mail;
    }
    for (auto it = record.constBegin(); it != record.constEnd(); ++it) {
        if (!isPhoneKey(it.key()))
            continue;
        QString digits;
        for (const QChar c : it.value().toString()) {
            if (c.isDigit() || c == u'+')
                digits += c;
        }
        if (!digits.isEmpty())
            values << QStringLiteral("p:") + digits;
    }
    if (const QString note = record.value(QStringLiteral("NOTE")).toString().simplified(); !note.isEmpty())
        values << QStringLiteral("n:") + note;
    if (values.isEmpty())
        values = contactPlacesAndBirthday(record);
    values.sort();
    values.removeDuplicates();
    return values;
}

// A task without title or note is told by its due day and whether it is done.
QStringList taskValuesBeyondTitle(const QVariantMap &record)
{
    const QDateTime due = record.value(QStringLiteral("DUEDATE")).toDateTime();
    if (!due.isValid())
        return {};
    return {due.toLocalTime().date().toString(Qt::ISODate),
            record.value(QStringLiteral("COMPLETED")).toBool() ? QStringLiteral("done") : QStringLiteral("open")};
}

} // namespace

QString HMData::sentIdentityOfRecord(const QVariantMap &record, quint64 conduit)
{
    QStringList parts;
    bool hasValue = false;
    const auto add = [&](const QString &text) {
        hasValue = hasValue || !text.isEmpty();
        parts.append(text);
    };
    if (conduit == quint64(HMSyncConduit::Contacts)) {
        for (const char *key : {"NEWFNAME", "NEWLNAME", "COMPANY"})
            add(record.value(QLatin1String(key)).toString().trimmed());
    } else if (conduit == quint64(HMSyncConduit::Memos)) {
        // The phone gives a memo as one text, its name on the first line: the name and the body are
        // told apart, so that a memo with either one edited still resembles the memo it was.
        add(record.value(QStringLiteral("SUBJECT")).toString().trimmed());
        const QString note = record.value(QStringLiteral("NOTE")).toString().trimmed();
        const qsizetype lineEnd = note.indexOf(u'\n');
        add(lineEnd < 0 ? note : note.left(lineEnd).trimmed());
        add(lineEnd < 0 ? QString() : note.mid(lineEnd + 1).trimmed());
    } else {
        add(record.value(QStringLiteral("SUBJECT")).toString().trimmed());
        add(record.value(QStringLiteral("NOTE")).toString().trimmed());
    }
    // An event is told by its day too: the same title on two days is two events.
    if (conduit == quint64(HMSyncConduit::Calendar)) {
        const QDateTime start = record.value(QStringLiteral("NSDATESTARTDATE")).toDateTime();
        parts.append(start.isValid() ? start.toUTC().toString(QStringLiteral("yyyyMMddHHmm")) : QString());
    }
    // Without those fields, a contact or task is told by the rest of what it carries, one more part:
    // an identity of another length than any above, so never taken for one of them.
    if (!hasValue && (conduit == quint64(HMSyncConduit::Contacts) || conduit == quint64(HMSyncConduit::Tasks))) {
        const QStringList rest = conduit == quint64(HMSyncConduit::Contacts) ? contactValuesBeyondNames(record)
                                                                              : taskValuesBeyondTitle(record);
        hasValue = !rest.isEmpty();
        parts.append(rest.join(QChar(0x1e)));
    }
    return hasValue ? parts.join(QChar(0x1f)) : QString();
}

void HMData::markAddsUnconfirmed(const QList<HMSyncRecord> &records, quint64 conduit)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return;
    m_unconfirmedBySentIdentity.reset();
    for (const HMSyncRecord &record : records) {
        if (!record.isNew() || record.hmxUid().isEmpty())
            continue;
        std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(record.hmxUid());
        if (!entry)
            continue;
        const QString identity = sentIdentityOfRecord(record.dictionary(), conduit);
        if (isUnconfirmed(*entry) && entry->value(kSentIdentityKey).toString() == identity)
            continue;
        markUnconfirmed(*entry);
        entry->insert(kSentIdentityKey, identity);
        graph->replaceDictionaryForHarrowmereUid(record.hmxUid(), entry);
    }
}

void HMData::indexUnconfirmedEntries(const HMIdentifierGraph &graph)
{
    m_unconfirmedBySentIdentity.emplace();
    m_unconfirmedByLooseIdentity.clear();
    for (const HMIdentifierGraphEntry &packed : graph.entries()) {
        if (!packed.isUnconfirmedAdd())
            continue;
        const QVariantMap entry = packed.toMap();
        const QString sent = entry.value(kSentIdentityKey).toString();
        if (sent.isEmpty())
            continue;
        const QString temporaryId = entry.value(kHmUidKey).toString();
        m_unconfirmedBySentIdentity->insert(sent, temporaryId);
        for (const QString &loose : looseIdentities(sent))
            m_unconfirmedByLooseIdentity.insert(loose, temporaryId);
    }
}

QStringList HMData::looseIdentities(const QString &identity)
{
    const QStringList parts = identity.split(QChar(0x1f));
    QStringList forms;
    for (qsizetype left = 0; left < parts.size() && parts.size() > 1; ++left) {
        bool holdsSomething = false;
        for (qsizetype index = 0; index < parts.size(); ++index)
            holdsSomething = holdsSomething || (index != left && !parts.at(index).isEmpty());
        if (!holdsSomething)
            continue;
        QStringList kept = parts;
        // The field left out is named by its place, so that leaving out two different fields never
        // gives the same form.
        kept[left] = QString(QChar(0x1d)) + QString::number(left);
        forms.append(kept.join(QChar(0x1f)));
    }
    return forms;
}

QString HMData::takeUnconfirmedIdOfIdentity(const HMIdentifierGraph &graph, const QString &identity)
{
    // Once per run: looking through every entry for each device record would grow with the square.
    if (!m_unconfirmedBySentIdentity)
        indexUnconfirmedEntries(graph);
    const auto found = m_unconfirmedBySentIdentity->constFind(identity);
    if (identity.isEmpty() || found == m_unconfirmedBySentIdentity->constEnd())
        return {};
    const QString temporaryId = found.value();
    m_unconfirmedBySentIdentity->remove(identity, temporaryId);
    return temporaryId;
}

bool HMData::defersLooseMatch(const QVariantMap &deviceRecord, qint32 action, quint64 conduit)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const QString deviceId = deviceRecord.value(QStringLiteral("UID")).toString();
    if (!graph || !m_isDeviceReread || deviceId.isEmpty() || !graph->hasUnconfirmedEntries() ||
        graph->entryForHarrowmereUid(deviceId))
        return false;
    if (!m_unconfirmedBySentIdentity)
        indexUnconfirmedEntries(*graph);
    return defersOnLooseIdentity(deviceRecord, action, conduit, m_unconfirmedByLooseIdentity,
                                 QStringLiteral("an unconfirmed add"));
}

bool HMData::defersOnLooseIdentity(const QVariantMap &deviceRecord, qint32 action, quint64 conduit,
                                   const QMultiHash<QString, QString> &byLooseIdentity, const QString &candidate)
{
    const QStringList forms = looseIdentities(sentIdentityOfRecord(deviceRecord, conduit));
    if (std::none_of(forms.cbegin(), forms.cend(),
                     [&byLooseIdentity](const QString &form) { return byLooseIdentity.contains(form); }))
        return false;
    DDLogInfo(QStringLiteral("The device's '%1' may be %2 it edited: settled after the listing")
                  .arg(deviceRecord.value(QStringLiteral("UID")).toString(), candidate));
    m_deferredDeviceRecords.append({deviceRecord, action});
    return true;
}

void HMData::settleOneToOneLooseMatches(QList<DeferredDeviceRecord> &deferred, quint64 conduit, qint32 changeAction,
                                        const std::function<QSet<QString>(const QString &form)> &keysOfForm,
                                        const std::function<void(const QString &key, const QString &deviceId)> &take)
{
    // Each record's candidates, and how many records claim each candidate.
    QList<QSet<QString>> candidates;
    QHash<QString, int> claims;
    for (const DeferredDeviceRecord &kept : std::as_const(deferred)) {
        QSet<QString> keys;
        for (const QString &form : looseIdentities(sentIdentityOfRecord(kept.record, conduit)))
            keys.unite(keysOfForm(form));
        for (const QString &key : std::as_const(keys))
            ++claims[key];
        candidates.append(keys);
    }
    for (qsizetype index = 0; index < deferred.size(); ++index) {
        const QSet<QString> &keys = candidates.at(index);
        if (keys.size() != 1 || claims.value(*keys.cbegin()) != 1)
            continue;
        take(*keys.cbegin(), deferred.at(index).record.value(QStringLiteral("UID")).toString());
        deferred[index].action = changeAction;
    }
}

QList<HMData::DeferredDeviceRecord> HMData::settleDeferredDeviceRecords(quint64 conduit, qint32 changeAction)
{
    QList<DeferredDeviceRecord> deferred = std::exchange(m_deferredDeviceRecords, {});
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph || deferred.isEmpty())
        return deferred;
    const auto unconfirmedOfForm = [this, &graph](const QString &form) {
        QSet<QString> entries;
        for (auto it = m_unconfirmedByLooseIdentity.constFind(form);
             it != m_unconfirmedByLooseIdentity.constEnd() && it.key() == form; ++it) {
            const std::optional<HMIdentifierGraphEntry> entry = graph->entryForHarrowmereUid(it.value());
            if (entry && entry->isUnconfirmedAdd())
                entries.insert(it.value());
        }
        return entries;
    };
    settleOneToOneLooseMatches(deferred, conduit, changeAction, unconfirmedOfForm,
                               [&graph](const QString &temporaryId, const QString &deviceId) {
                                   std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(temporaryId);
                                   DDLogInfo(QStringLiteral("Matched the device's edited '%1' with the unconfirmed '%2'")
                                                 .arg(deviceId, temporaryId));
                                   entry->insert(kHmUidKey, deviceId);
                                   markConfirmed(*entry);
                                   graph->replaceDictionaryForHarrowmereUid(temporaryId, entry);
                               });
    return deferred;
}

bool HMData::adoptUnconfirmedAdd(const QVariantMap &deviceRecord, quint64 conduit)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const QString deviceId = deviceRecord.value(QStringLiteral("UID")).toString();
    if (!graph || deviceId.isEmpty() || !graph->hasUnconfirmedEntries())
        return false;
    if (std::optional<QVariantMap> own = graph->dictionaryForHarrowmereUid(deviceId)) {
        // The other side keeps the ids it is sent (the cloud): it lists the add under its temporary id,
        // so it holds that very record, which is confirmed where it stands and not applied as new.
        if (!isUnconfirmed(*own))
            return false;
        DDLogInfo(QStringLiteral("The other side holds the unconfirmed '%1' under its own id").arg(deviceId));
        markConfirmed(*own);
        graph->replaceDictionaryForHarrowmereUid(deviceId, own);
        return true;
    }
    const QString temporaryId = takeUnconfirmedIdOfIdentity(*graph, sentIdentityOfRecord(deviceRecord, conduit));
    std::optional<QVariantMap> entry =
        temporaryId.isEmpty() ? std::nullopt : graph->dictionaryForHarrowmereUid(temporaryId);
    if (!entry || !isUnconfirmed(*entry))
        return false;
    DDLogInfo(QStringLiteral("Matched the device's '%1' with the unconfirmed '%2'").arg(deviceId, temporaryId));
    entry->insert(kHmUidKey, deviceId);
    markConfirmed(*entry);
    graph->replaceDictionaryForHarrowmereUid(temporaryId, entry);
    return true;
}

QString HMData::unstorableIdReason(const QString &id)
{
    if (id.contains(QChar(0)))
        return QStringLiteral("its id holds a NUL character");
    if (id.size() > kMaxStoredIdLength)
        return QStringLiteral("its id is %1 characters long, more than %2").arg(id.size()).arg(kMaxStoredIdLength);
    return {};
}

void HMData::dropRecordsWithUnstorableIds(QList<HMSyncRecord> &records)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    records.removeIf([&graph](const HMSyncRecord &record) {
        // Not every data source names the store's id in the record: its graph entry does.
        const std::optional<HMIdentifierGraphEntry> entry =
            graph && record.nativeId().isEmpty() ? graph->entryForHarrowmereUid(record.hmxUid()) : std::nullopt;
        const QString nativeId =
            entry ? entry->valueOf(HMIdentifierGraphEntry::WellKnownKey::NativeId).toString() : record.nativeId();
        QString reason = unstorableIdReason(nativeId);
        if (reason.isEmpty())
            reason = unstorableIdReason(record.hmxUid());
        if (reason.isEmpty())
            return false;
        DDLogError(QStringLiteral("Skipping a desktop record: %1").arg(reason));
        if (graph && !record.hmxUid().isEmpty())
            graph->removeDictionaryForHarrowmereUid(record.hmxUid());
        return true;
    });
}

void HMData::holdBackSentChanges(const QList<HMSyncRecord> &records, const QList<HMIdentifierGraphEntry> &before)
{
    m_heldBackChanges.clear();
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    const bool holdsChanges = std::any_of(records.cbegin(), records.cend(), [](const HMSyncRecord &record) {
        return !record.isNew() && !record.hmxUid().isEmpty();
    });
    if (!graph || !holdsChanges)
        return;
    // Looked up only when something changed: a sync with nothing to send walks no entries.
    QHash<QString, qsizetype> earlier;
    for (qsizetype index = 0; index < before.size(); ++index)
        earlier.insert(before.at(index).valueOf(HMIdentifierGraphEntry::WellKnownKey::HmUid).toString(), index);
    for (const HMSyncRecord &record : records) {
        const auto found = record.isNew() ? earlier.constEnd() : earlier.constFind(record.hmxUid());
        if (found == earlier.constEnd())
            continue;
        const std::optional<HMIdentifierGraphEntry> listed = graph->entryForHarrowmereUid(record.hmxUid());
        m_heldBackChanges.append({record.hmxUid(), listed ? std::optional(listed->toMap()) : std::nullopt});
        QVariantMap previous = before.at(*found).toMap();
        // A deletion on its way: the device's copy of the record is not applied back meanwhile.
        if (record.isDelete())
            previous.insert(kDeletionSentKey, true);
        if (!listed || !graph->replaceDictionaryForHarrowmereUid(record.hmxUid(), previous))
            graph->appendDictionary(previous);
    }
}

bool HMData::isDeletionSent(const QString &hmUid) const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    // One look-up a listed record, as the data source's own: the cost grows with the records listed.
    const std::optional<QVariantMap> entry = graph ? graph->dictionaryForHarrowmereUid(hmUid) : std::nullopt;
    return entry && entry->value(kDeletionSentKey).toBool();
}

bool HMData::isMappedItemGone(const QString &)
{
    return false;
}

void HMData::commitSentChanges()
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    for (auto &[hmUid, listed] : m_heldBackChanges) {
        if (!graph)
            break;
        const std::optional<HMIdentifierGraphEntry> held = graph->entryForHarrowmereUid(hmUid);
        const QVariant sent = held ? held->value(kSentContentKey) : QVariant();
        if (listed && sent.isValid())
            listed->insert(kSentContentKey, sent);
        graph->replaceDictionaryForHarrowmereUid(hmUid, listed);
    }
    m_heldBackChanges.clear();
}

bool HMData::noteContentsAboutToBeSent(const QMap<QString, QString> &contentById)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    bool changedKnownEntry = false;
    for (auto it = contentById.constBegin(); graph && it != contentById.constEnd(); ++it) {
        std::optional<QVariantMap> dictionary = graph->dictionaryForHarrowmereUid(it.key());
        if (!dictionary || dictionary->value(kSentContentKey).toString() == it.value())
            continue;
        dictionary->insert(kSentContentKey, it.value());
        changedKnownEntry = changedKnownEntry || !isUnconfirmed(*dictionary);
        graph->replaceDictionaryForHarrowmereUid(it.key(), dictionary);
    }
    return changedKnownEntry;
}

bool HMData::isOwnWriteListedBack(const QString &hmUid, const QString &listedContent) const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (listedContent.isEmpty() || hmUid.isEmpty() || !graph)
        return false;
    const std::optional<HMIdentifierGraphEntry> entry = graph->entryForHarrowmereUid(hmUid);
    return entry && entry->value(kSentContentKey).toString() == listedContent;
}

bool HMData::isUnconfirmed(const QVariantMap &identifierDictionary)
{
    return HMIdentifierGraph::isUnconfirmedAdd(identifierDictionary);
}

platform::Status HMData::syncAppliedChangesToDisk()
{
    return platform::success();
}

void HMData::saveChanges()
{
    DDLogVerbose(notImplementedLine("saveChanges", className()));
}

std::optional<QList<HMSyncRecord>> HMData::syncRecordObjectsModifiedAfter(const QDateTime &, bool, const QSet<QString> &)
{
    DDLogError(notImplementedLine("syncRecordObjectsModifiedAfter:includeDeletes:andExcludeHmUids:", className()));
    return std::nullopt;
}

qint64 HMData::commandAction(qint32, quint64, quint64, const QVariantMap &, qint64)
{
    DDLogError(notImplementedLine("commandAction:forSyncMethod:withDictionary", className()));
    return 0;
}

qint64 HMData::outlookCommandAction(qint32, quint64, quint64, const QVariantMap &, qint64)
{
    DDLogError(notImplementedLine("commandAction:forSyncMethod:withDictionary", className()));
    return 0;
}

void HMData::deleteUidRecords(const QStringList &)
{
    DDLogError(notImplementedLine("deleteUidRecords:", className()));
}

void HMData::cleanUpAfterSync() {}

void HMData::conduitStageDidEnd() {}

void HMData::reportIdProgress(qint64 position, qint64 total)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    if (!sheet)
        return;
    sheet->setOverallMessageDirectly(QString(), total > 0 ? double(position) / double(total) : 0.0);
    sheet->setUserMessageDirectly(QStringLiteral("%1 of %2 id records updated.").arg(position).arg(total));
}

void HMData::updateOneTemporaryId(const QString &temporaryId, const QVariantMap &temporaryToDeviceIds)
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return;
    const auto found = temporaryToDeviceIds.constFind(temporaryId);
    if (found == temporaryToDeviceIds.constEnd()) {
        DDLogInfo(QStringLiteral("Couldn't find a device id for temp id '%1' removing from id table").arg(temporaryId));
        graph->replaceDictionaryForHarrowmereUid(temporaryId, std::nullopt);
        return;
    }
    const QString deviceId = found->toString();
    if (deviceId == kDeviceIdFailed) {
        DDLogInfo(QStringLiteral("Removing '%1' from dictionary because it failed to insert.").arg(temporaryId));
        graph->replaceDictionaryForHarrowmereUid(temporaryId, std::nullopt);
        return;
    }
    DDLogInfo(QStringLiteral("Updating temp id '%1' to device id '%2'").arg(temporaryId, deviceId));
    std::optional<QVariantMap> updated = graph->dictionaryForHarrowmereUid(temporaryId);
    if (!updated)
        return;
    updated->insert(kHmUidKey, deviceId);
    markConfirmed(*updated);
    // Replaced where it stands: removing it by value and appending would walk the whole list.
    graph->replaceDictionaryForHarrowmereUid(temporaryId, updated);
}

void HMData::updateUidToDeviceIds(const QVariantMap &temporaryToDeviceIds)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    const QStringList temporaryIds = recordsAddedToDevice();
    const qint64 total = temporaryIds.size();
    for (qsizetype index = 0; index < temporaryIds.size(); ++index) {
        reportIdProgress(index + 1, total);
        updateOneTemporaryId(temporaryIds.at(index), temporaryToDeviceIds);
    }
}

void HMData::updateUidToDeviceIdsUsingNewMethod(const QVariantMap &temporaryToDeviceIds)
{
    if (GlobalVariables::getIsOutlookSync())
        return;
    qint64 total = 0;
    {
        const std::lock_guard lock(m_propertyMutex);
        total = m_recordsAddedToDevice.size();
    }
    // Each answer is matched to its record by the temporary id: an answer that leaves a record out
    // must not shift the ids of the records after it onto the wrong ones. Only the batch's answers
    // are walked and nothing of the whole list is copied, so a run's batches together take time
    // linear in its records.
    qint64 done = 0;
    for (auto answer = temporaryToDeviceIds.constBegin(); answer != temporaryToDeviceIds.constEnd(); ++answer) {
        if (!wasAddedToDevice(answer.key()) && !isKeptUnderTemporaryId(answer.key(), answer.value().toString()))
            continue;
        reportIdProgress(++done, total);
        updateOneTemporaryId(answer.key(), temporaryToDeviceIds);
    }
}

bool HMData::isKeptUnderTemporaryId(const QString &temporaryId, const QString &deviceId) const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph || temporaryId.isEmpty() || temporaryId != deviceId)
        return false;
    const std::optional<QVariantMap> entry = graph->dictionaryForHarrowmereUid(temporaryId);
    return entry && isUnconfirmed(*entry);
}

void HMData::processDetailedUpdateCommandDictionaries(const QList<QVariantMap> &results)
{
    QStringList idsToDelete;
    for (const QVariantMap &result : results) {
        if (result.value(QStringLiteral("ResultKey")).toInt() == 0
            && result.value(QStringLiteral("ActionKey")).toInt() == 2)
            idsToDelete.append(result.value(QStringLiteral("IdKey")).toString());
    }
    deleteUidRecords(idsToDelete);
}

QVariantList HMData::nativeCategoryDictionariesForCategorySetting()
{
    DDLogError(QStringLiteral("nativeCategoryDictionariesForCategorySetting not implemented by %1").arg(className()));
    return {};
}

QVariantList HMData::nativeCategoryDictionariesForNewRecordSetting()
{
    DDLogError(QStringLiteral("nativeCategoryDictionariesForNewRecordSetting not implemented by %1").arg(className()));
    return {};
}

bool HMData::checkNativeCategorySetting(const QString &)
{
    DDLogError(QStringLiteral("checkNativeCategorySetting: not implemented by %1").arg(className()));
    return false;
}

bool HMData::checkNativeCategoryNewRecordSetting(const QString &)
{
    DDLogError(QStringLiteral("checkNativeCategoryNewRecordSetting: not implemented by %1").arg(className()));
    return false;
}

std::shared_ptr<HMIdentifierGraph> HMData::identifierGraph() const
{
    return platform::lockedCopy(m_propertyMutex, m_identifierGraph);
}

std::optional<QList<HMIdentifierGraphEntry>> HMData::identifierGraphEntries() const
{
    const std::shared_ptr<HMIdentifierGraph> graph = identifierGraph();
    if (!graph)
        return std::nullopt;
    return graph->entries();
}

void HMData::setIdentifierGraph(std::shared_ptr<HMIdentifierGraph> graph)
{
    platform::lockedAssign(m_propertyMutex, m_identifierGraph, std::move(graph));
}

QStringList HMData::recordsAddedToDevice() const
{
    return platform::lockedCopy(m_propertyMutex, m_recordsAddedToDevice);
}

void HMData::setRecordsAddedToDevice(const QStringList &temporaryIds)
{
    QSet<QString> sent(temporaryIds.cbegin(), temporaryIds.cend());
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice = temporaryIds;
    m_recordsAddedToDeviceSet = std::move(sent);
}

void HMData::addRecordAddedToDevice(const QString &temporaryId)
{
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice.append(temporaryId);
    m_recordsAddedToDeviceSet.insert(temporaryId);
}

void HMData::addRecordsAddedToDevice(const QStringList &temporaryIds)
{
    const std::lock_guard lock(m_propertyMutex);
    m_recordsAddedToDevice.append(temporaryIds);
    for (const QString &temporaryId : temporaryIds)
        m_recordsAddedToDeviceSet.insert(temporaryId);
}

bool HMData::wasAddedToDevice(const QString &temporaryId) const
{
    const std::lock_guard lock(m_propertyMutex);
    return m_recordsAddedToDeviceSet.contains(temporaryId);
}

QString HMData::formattedStringForSync(const QString &text)
{
    static const platform::CharacterSet kept = platform::CharacterSet::alphanumerics()
                                                   .united(platform::CharacterSet::punctuation())
                                                   .united(platform::CharacterSet::symbols())
                                                   .united(platform::CharacterSet::whitespaces());
    QString result;
    result.reserve(text.size());
    qsizetype index = 0;
    while (index < text.size()) {
        qsizetype length = 1;
        const char32_t codePoint = platform::codePointAt(text, index, &length);
        if (kept.contains(codePoint))
            result.append(QStringView(text).mid(index, length));
        index += length;
    }
    return result;
}

QString HMData::newUid()
{
    return platform::newUuidText().toLower();
}

void HMData::setValue(const QVariant &value, const QString &key, QVariantMap &dictionary)
{
    if (!value.isValid() || value.isNull()) {
        dictionary.insert(key, QString(QLatin1String("")));
        return;
    }
    switch (value.metaType().id()) {
    case QMetaType::QString:
        dictionary.insert(key, value.toString().trimmed());
        return;
    case QMetaType::Bool:
        dictionary.insert(key, QString::number(value.toBool() ? 1 : 0));
        return;
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        dictionary.insert(key, value.toString());
        return;
    default:
        dictionary.insert(key, value);
    }
}

QString HMData::stringForKey(const QString &key, const QVariantMap &dictionary)
{
    const QVariant value = dictionary.value(key);
    if (!value.isValid() || value.isNull())
        return QString(QLatin1String(""));
    if (value.metaType().id() == QMetaType::QString)
        return value.toString();
    DDLogWarn(QStringLiteral("WARNING: value for dictionary key '%1' retrieval is not a string, returning ''").arg(key));
    return QString(QLatin1String(""));
}

QString HMData::firstItemFromMultiItemString(const QString &text, const QString &delimiter)
{
    DDLogVerbose(QStringLiteral("Finding first item in '%1' using '%2' as delimter.").arg(text, delimiter));
    const QStringList items = listFromMultiItemString(text, delimiter);
    return items.isEmpty() ? QString(QLatin1String("")) : items.first();
}

QStringList HMData::listFromMultiItemString(const QString &text, const QString &delimiter)
{
    DDLogVerbose(QStringLiteral("Creating a list for '%1' using '%2' as delimter.").arg(text, delimiter));
    if (text.size() < 2)
        return {};
    if (delimiter.isEmpty())
        return {text};
    QStringList items;
    qsizetype start = 0;
    if (text.startsWith(delimiter, Qt::CaseInsensitive))
        start = delimiter.size();
    while (start <= text.size()) {
        const qsizetype found = indexOfDelimiter(text, delimiter, start);
        if (found < 0) {
            items.append(text.mid(start));
            break;
        }
        items.append(text.mid(start, found - start));
        start = found + delimiter.size();
    }
    return items;
}
