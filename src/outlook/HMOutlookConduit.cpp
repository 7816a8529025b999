#include "outlook/HMOutlookConduit.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/HMSyncProgressReporting.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookIdBookkeeping.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "outlook/HMOutlookTempFile.h"
#include "platform/applescript/NSAppleEventDescriptor.h"
#include "outlook/HMOutlookUnansweredIds.h"
#include "sync/HMData.h"
#include "sync/HMProfile.h"

#include <QFile>

HMOutlookConduit::HMOutlookConduit(Conduit conduit, QString noun, QString mapName, std::function<void(Step)> reachStep,
                                   MapReads mapReads)
    : m_conduit(conduit), m_noun(std::move(noun)), m_mapName(std::move(mapName)), m_reachStep(std::move(reachStep)),
      m_mapReads(mapReads)
{
    m_listingTexts.excluding = QStringLiteral("Looking for changed records");
    m_listingTexts.scanning = QStringLiteral("Scanning Outlook %1s for changes %2").arg(m_noun, QStringLiteral("%1"));
    m_listingTexts.scanned = {QStringLiteral("Scanning Outlook %1s for changes ...").arg(m_noun)};
    m_listingTexts.reading = QStringLiteral("Reading modified record %1");
    m_listingTexts.sending = QStringLiteral("Sending %1 changes %2").arg(m_noun, QStringLiteral("%1"));
}

HMOutlookConduit::~HMOutlookConduit() = default;

void HMOutlookConduit::setListing(TextForm form, ListingTexts texts)
{
    m_textForm = form;
    m_listingTexts = std::move(texts);
}

void HMOutlookConduit::reach(Step step) const
{
    if (m_reachStep)
        m_reachStep(step);
}

void HMOutlookConduit::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_profile = std::move(profile);
    if (m_outlook)
        m_outlook->setProfile(m_profile);
}

const std::shared_ptr<HMProfile> &HMOutlookConduit::profile() const
{
    if (!m_profile) {
        if (const auto controller = GlobalVariables::getCurrentProfileController())
            m_profile = controller->selectedProfile();
    }
    return m_profile;
}

HMOutlookSQLiteHelper &HMOutlookConduit::outlook()
{
    if (!m_outlook) {
        m_outlook = std::make_shared<HMOutlookSQLiteHelper>();
        m_outlook->setProfile(profile());
        m_outlook->setSqliteFile();
    }
    return *m_outlook;
}

HMOutlookDatFileHelper &HMOutlookConduit::map()
{
    if (!m_map) {
        m_map = std::make_shared<HMOutlookDatFileHelper>();
        if (m_mapReads == MapReads::OncePerRun && !GlobalVariables::getIsGoogleDirect())
            m_map->keepForRun(m_conduit);
    }
    return *m_map;
}

HMOutlookIdBookkeeping &HMOutlookConduit::ids()
{
    if (!m_ids) {
        outlook();
        map();
        m_ids = std::make_shared<HMOutlookIdBookkeeping>(m_conduit, m_map, m_outlook);
        // Pairs the other side confirmed before a killed run could commit them join the map first.
        if (QFile::exists(m_ids->confirmedPairsPath()) && !mergePairs({}))
            DDLogError(QStringLiteral("The confirmed %1 pairs could not be merged into the %2 map").arg(m_noun, m_mapName));
    }
    return *m_ids;
}

void HMOutlookConduit::beginRead()
{
    m_failure.clear();
    m_readFailed = false;
    ids();
    // What an earlier Google run sent and Google did not take goes again whatever its date.
    outlook().setIdsListedAlways(GlobalVariables::getIsGoogleDirect() ? outlookunanswered::read(m_conduit) : QSet<QString>());
    // Outlook's dates are whole seconds: the read begins in a later second than this run's last write.
    hmoutlook::waitPastSecondOf(m_lastWrite);
    m_readStarted = QDateTime::currentDateTimeUtc();
}

void HMOutlookConduit::failRead(const QString &reason)
{
    m_readFailed = true;
    fail(reason);
}

void HMOutlookConduit::readDone()
{
    // Whole seconds, less one: an edit made in the second the read began still counts as later. Some
    // maps store their dates later than given: the stamp is taken back by as much.
    const qint64 stored = m_readStarted.toSecsSinceEpoch() - 1;
    m_readStamp = QDateTime::fromSecsSinceEpoch(stored - HMOutlookDatFileHelper::storedDateOffset(m_conduit), Qt::UTC);
    m_hasDatesToCommit = true;
    reach(Step::ReadDone);
}

void HMOutlookConduit::noteWrite(bool recordWritten)
{
    m_lastWrite = QDateTime::currentDateTimeUtc();
    if (recordWritten)
        reach(Step::RecordWritten);
}

void HMOutlookConduit::fail(const QString &reason)
{
    DDLogError(reason);
    m_failure = reason;
}

QDateTime HMOutlookConduit::lastModifiedDate()
{
    ids();
    return map().getLastModifiedDate(m_conduit);
}

void HMOutlookConduit::clearMap()
{
    QFile::remove(ids().confirmedPairsPath());
    if (!map().clearDatFile(m_ids->conduitName()))
        failRead(QStringLiteral("The %1 map could not be cleared.").arg(m_mapName));
}

// Called right after the read: the dates wait for the commit after a read, are written at once
// without one, and never after a failed read.
void HMOutlookConduit::saveChanges()
{
    ids();
    if (m_hasDatesToCommit || m_readFailed)
        return;
    if (!m_ids->commitDatesWithoutRead(m_listCommandReturned))
        m_failure = QStringLiteral("The %1 map's dates could not be written.").arg(m_mapName);
}

QStringList HMOutlookConduit::findDeletes(const QStringList &deviceIds)
{
    return ids().findDeletes(deviceIds);
}

void HMOutlookConduit::replaceTempId(HMData &data, const QString &temporaryId, const QString &permanentId)
{
    const QString outlookId = data.uniqueIdsDictionary().value(temporaryId).toString();
    data.HMData::replaceTempId(temporaryId, permanentId);
    if (!GlobalVariables::getIsOutlookSync() || outlookId.isEmpty() || permanentId.isEmpty())
        return;
    if (!ids().appendConfirmedPair(permanentId, outlookId))
        DDLogError(QStringLiteral("The confirmed pair of %1 %2 could not be kept before the commit").arg(m_noun, outlookId));
    else
        reach(Step::PairConfirmed);
}

QString HMOutlookConduit::sentAddsPath()
{
    ids();
    return map().filePath(m_conduit) + QStringLiteral(".sent");
}

QHash<QString, QString> HMOutlookConduit::pairs()
{
    return ids().deviceIdsByOutlookId();
}

QSet<QString> HMOutlookConduit::pairedOutlookIds()
{
    const QHash<QString, QString> mapped = ids().deviceIdsByOutlookId();
    QSet<QString> paired(mapped.keyBegin(), mapped.keyEnd());
    if (m_applyMap) {
        for (const QString &outlookId : m_applyMap->pairs())
            paired.insert(outlookId);
    }
    return paired;
}

QString HMOutlookConduit::outlookIdToApply(const QString &deviceId, QLatin1StringView recordWord,
                                           const std::function<QString()> &findDuplicate)
{
    if (QString outlookId = outlookIdForDeviceId(deviceId); !outlookId.isEmpty())
        return outlookId;
    const QString duplicate = findDuplicate();
    if (!duplicate.isEmpty()) {
        DDLogInfo(QStringLiteral("Merging duplicate %1 %2").arg(recordWord, deviceId));
        keepAppliedPair(duplicate, deviceId);
    }
    return duplicate;
}

bool HMOutlookConduit::applyByDeviceId(const QString &deviceId, QLatin1StringView recordWord,
                                       const std::function<QString()> &findDuplicate,
                                       const std::function<void()> &addNew,
                                       const std::function<void(const QString &outlookId)> &update)
{
    if (deviceId.isEmpty()) {
        DDLogError(QStringLiteral("ERROR: Unique ID field not found. Aborting AddUpdateContact"));
        return false;
    }
    const QString outlookId = outlookIdToApply(deviceId, recordWord, findDuplicate);
    if (outlookId.isEmpty())
        addNew();
    else
        update(outlookId);
    return true;
}

void HMOutlookConduit::forEachUnpairedItem(const platform::NSAppleEventDescriptor &listing, const ListedItemTaker &take)
{
    const QSet<QString> paired = pairedOutlookIds();
    for (qint64 i = 1; i <= listing.numberOfItems(); ++i) {
        const platform::NSAppleEventDescriptor item = listing.descriptorAtIndex(i);
        const QString id = item.descriptorForKeyword(platform::Keyword::ID).stringValue();
        if (!id.isEmpty() && !paired.contains(id))
            take(id, item);
    }
}

bool HMOutlookConduit::mergePairs(const QVariantMap &pairs)
{
    if (!ids().commit(pairs, {}, {}, {}))
        return false;
    reach(Step::PairsMerged);
    return true;
}

bool HMOutlookConduit::keepPairs(const QVariantMap &pairs)
{
    if (!mergePairs(pairs))
        return false;
    // Records applied later in this run find these pairs.
    for (auto it = pairs.constBegin(); m_applyMap && it != pairs.constEnd(); ++it)
        m_applyMap->insert(it.key(), it.value().toString());
    return true;
}

bool HMOutlookConduit::forgetPairs(const QStringList &deviceIds)
{
    if (!ids().commit({}, deviceIds, {}, {}))
        return false;
    for (const QString &deviceId : deviceIds) {
        if (m_applyMap)
            m_applyMap->remove(deviceId);
    }
    return true;
}

// YES: the new pairs, the removals of the sent deletions and the read's dates go into the map. NO:
// only the pairs the other side confirmed; the rest waits for the next read. Both lists start afresh.
// A Google run keeps Google's own list date in the map: only the Outlook date is the read's.
void HMOutlookConduit::commitUniqueIds(HMData &data, bool wasSuccessful)
{
    if (!GlobalVariables::getIsOutlookSync())
        return;
    const QDateTime readStamp = m_hasDatesToCommit ? m_readStamp : QDateTime();
    QStringList removals;
    for (const QVariant &removal : data.idsToDeleteArray())
        removals.append(removal.toString());
    const bool merged = wasSuccessful && GlobalVariables::getIsGoogleDirect()
                            ? ids().commit(data.uniqueIdsDictionary(), removals, readStamp, QDateTime())
                            : ids().commitSync(wasSuccessful, data.uniqueIdsDictionary(), data.idsToDeleteArray(),
                                               readStamp, m_listCommandReturned);
    if (!merged)
        m_failure = QStringLiteral("The %1 map could not be written.").arg(m_mapName);
    else
        reach(Step::MapCommitted);
    if (wasSuccessful && merged)
        m_hasDatesToCommit = false;
    data.setUniqueIdsDictionary({});
    data.setIdsToDeleteArray({});
}

QStringList HMOutlookConduit::deviceIdsGoneFromOutlook()
{
    const std::optional<QStringList> gone = ids().deviceIdsGoneFromOutlook();
    if (!gone) {
        DDLogError(QStringLiteral("Outlook's %1 ids could not be read; deletions are not looked for in this sync").arg(m_noun));
        return {};
    }
    return *gone;
}

void HMOutlookConduit::deleteOutlookRecords(const QStringList &deviceIds, QVariantMap *dupeCheck,
                                            const QString &progressFormat,
                                            const std::function<void(const QString &outlookId)> &deleted)
{
    const std::shared_ptr<HMSyncProgressReporting> sheet = GlobalVariables::getCurrentSyncProgressController();
    QStringList removals;
    for (const QString &deviceId : deviceIds) {
        const QString outlookId = outlookIdForDeviceId(deviceId);
        DDLogInfo(QStringLiteral("Deleting Outlook %1 %2").arg(m_noun, outlookId));
        // A pair without its Outlook id has nothing left to delete in Outlook.
        if (!outlookId.isEmpty() && !outlook().removeRecordFromConduit(ids().conduitName(), outlookId))
            continue;
        removals.append(deviceId);
        if (sheet)
            sheet->setUserMessageDirectly(progressFormat.arg(removals.size()));
        dropAppliedPair(deviceId);
        if (dupeCheck && !outlookId.isEmpty())
            dupeCheck->remove(outlookId);
        if (deleted)
            deleted(outlookId);
    }
    if (!removals.isEmpty() && !ids().commit({}, removals, {}, {}))
        DDLogError(QStringLiteral("The deleted %1s could not be removed from the %2 map").arg(m_noun, m_mapName));
}

HMOutlookAppliedPairs &HMOutlookConduit::applyMap()
{
    if (!m_applyMap) {
        ids();
        m_applyMap.emplace();
        const QVariantMap pairs = map().dictionaryForDatFile(m_conduit).value_or(QVariantMap());
        for (auto it = pairs.constBegin(); it != pairs.constEnd(); ++it) {
            if (it.value().typeId() == QMetaType::QString)
                m_applyMap->insert(it.key(), it.value().toString());
        }
    }
    return *m_applyMap;
}

QString HMOutlookConduit::outlookIdForDeviceId(const QString &deviceId)
{
    return applyMap().value(deviceId);
}

QString HMOutlookConduit::outlookIdForGoogleEventId(const QString &googleEventId)
{
    const QString deviceId = deviceIdForGoogleEventId(googleEventId);
    return deviceId.isEmpty() ? QString() : applyMap().value(deviceId);
}

QString HMOutlookConduit::deviceIdForGoogleEventId(const QString &googleEventId)
{
    return applyMap().firstDeviceIdStartingWith(googleEventId + u'@');
}

QString HMOutlookConduit::deviceIdForOutlookId(const QString &outlookId)
{
    return outlookId.isEmpty() ? QString() : applyMap().deviceIdForOutlookId(outlookId);
}

void HMOutlookConduit::keepAppliedPair(const QString &outlookId, const QString &deviceId)
{
    if (outlookId.isEmpty() || deviceId.isEmpty())
        return;
    // Read before the pair is kept aside: the map file does not hold it yet.
    applyMap().insert(deviceId, outlookId);
    m_hasAppliedPairs = true;
    if (!ids().appendConfirmedPair(deviceId, outlookId) && !map().writeOutlookId(m_conduit, outlookId, deviceId)) {
        fail(QStringLiteral("The pair of %1 %2 could not be kept in the %3 map.").arg(m_noun, outlookId, m_mapName));
        return;
    }
    reach(Step::AppliedPairKept);
}

void HMOutlookConduit::reportWriteError(const QVariantMap &record) const
{
    static void (*const noteError[])(bool) = {&GlobalVariables::setHasOutlookContactsWriteError,
                                              &GlobalVariables::setHasOutlookCalendarWriteError,
                                              &GlobalVariables::setHasOutlookTasksWriteError,
                                              &GlobalVariables::setHasOutlookMemosWriteError};
    static const char *const letters[] = {"A", "D", "T", "M"};
    noteError[int(m_conduit)](true);
    if (const QString uid = record.value(QStringLiteral("UID")).toString(); !uid.isEmpty())
        HMOutlookDatFileHelper::writeErrorLogWithConduitName(QLatin1String(letters[int(m_conduit)]), uid);
}

void HMOutlookConduit::dropAppliedPair(const QString &deviceId)
{
    if (m_applyMap)
        m_applyMap->remove(deviceId);
}

bool HMOutlookConduit::flushAppliedPairs()
{
    if (!m_hasAppliedPairs)
        return true;
    // Every reader of a map read afresh answers the pairs kept beside it: they join the map with the
    // commit, or once they outgrow it, so that a page's pairs cost what the page changed rather than a
    // rewrite of the whole map.
    if (!map().isKeptForRun(m_conduit) && !map().pendingPairsOutgrowMap(m_conduit))
        return true;
    if (!mergePairs({}))
        return false;
    m_hasAppliedPairs = false;
    return true;
}

platform::Status HMOutlookConduit::commitAppliedPairs()
{
    if (!flushAppliedPairs())
        fail(QStringLiteral("The %1 map could not be written.").arg(m_mapName));
    if (m_failure.isEmpty())
        return platform::success();
    return platform::Error(platform::ErrorCode::IoWriteFailed, m_failure);
}
