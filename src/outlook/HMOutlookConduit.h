#pragma once

#include "outlook/HMOutlookAppliedPairs.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "platform/foundation/Result.h"
#include "sync/HMSyncRecord.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class HMData;

namespace platform {
class NSAppleEventDescriptor;
}
class HMOutlookIdBookkeeping;
class HMOutlookSQLiteHelper;
class HMProfile;

// What every Outlook conduit keeps around its id map for one sync run: the Outlook reader, the map and
// its bookkeeping, the read's stamp and the dates that wait for the commit, the pairs the apply made,
// and the failure that ends the run. The data sources hand their map operations to it.
//
// The map's "LastModified" moves only with the commit after the other side answered, to one second
// before the read began: a run killed earlier reads the same records again. Pairs the other side
// confirmed, and pairs of records written to Outlook, are on disk (the confirmed-pairs file) before the
// next step, and join the map with one write.
class HMOutlookConduit final
{
public:
    using Conduit = HMOutlookDatFileHelper::Conduit;
    // The moments the crash tests stop a run at: the read is done (the records are about to go out), a
    // confirmed pair was kept, the map holds the sync's commit, Outlook answered a write (its pair not
    // kept yet), an applied pair was kept; and pairs kept aside joined the map outside the commit (at
    // the start of a run, after an apply page, for copies the device already held).
    enum class Step { ReadDone, PairConfirmed, MapCommitted, RecordWritten, AppliedPairKept, PairsMerged };
    // Whether the map is read once and kept for the run (HMOutlookDatFileHelper::keepForRun). A Google
    // run also writes the map through helpers of its own: there every read reads the file whatever
    // this says.
    enum class MapReads { EveryTime, OncePerRun };
    // What a listed record's text is: its iCalendar text with "CATEGORIES:" and "PLAINTEXTNOTE:", and
    // "OUTLOOKID:" for its record (events, tasks, notes); or its vCard with "MIDDLENAME:" and
    // "CATEGORIES:" (contacts).
    enum class TextForm { ICalendar, VCard };
    // The listing's progress texts: "%1" is the running count, "%2" (where a text has it) the total.
    struct ListingTexts
    {
        QString excluding; // for each record the other side changed in this sync, from the `excludingFrom`-th
        qsizetype excludingFrom = 1;
        QString scanning;    // for each changed id
        QStringList scanned; // after the scan
        QString reading;     // for each record read
        QString sending;     // for each record built
        QString searching;   // before Outlook's ids are compared with the map; none when empty
        QString found;       // for each deletion found; none when empty
    };

    // The messages name the records by `noun` ("contact", "event", "task", "note") and the map by
    // `mapName` ("contact", "calendar", "task", "memo").
    HMOutlookConduit(Conduit conduit, QString noun, QString mapName, std::function<void(Step)> reachStep,
                     MapReads mapReads = MapReads::EveryTime);
    ~HMOutlookConduit();
    // The listing's text form and progress texts; by default iCalendar texts, the texts naming `noun`.
    void setListing(TextForm form, ListingTexts texts);

    // The profile, else the one selected in the main window; the helpers made at the first need, the
    // confirmed pairs of a killed run merged into the map first.
    void setProfile(std::shared_ptr<HMProfile> profile);
    const std::shared_ptr<HMProfile> &profile() const;
    HMOutlookSQLiteHelper &outlook();
    HMOutlookDatFileHelper &map();
    HMOutlookIdBookkeeping &ids();

    // The read: begun in a later second than this run's last write; failed (nothing sent, no dates);
    // done (the dates wait for the commit).
    void beginRead();
    void failRead(const QString &reason);
    void readDone();
    // A script that wrote to Outlook was answered (error or not); the next read begins in a later
    // second. `recordWritten` when it wrote one of the sync's records.
    void noteWrite(bool recordWritten);
    void fail(const QString &reason);
    QString failure() const { return m_failure; }

    // The map operations of the sync engine.
    QDateTime lastModifiedDate();
    void clearMap();
    void listCommandReturned() { m_listCommandReturned = QDateTime::currentDateTimeUtc(); }
    void saveChanges();
    QStringList findDeletes(const QStringList &deviceIds);
    void replaceTempId(HMData &data, const QString &temporaryId, const QString &permanentId);
    QString sentAddsPath();
    QHash<QString, QString> pairs();
    // The Outlook ids paired with a record of the other side (the map's and this run's kept pairs). Such
    // an item stands for its record: the apply's duplicate tests never offer it for another record.
    QSet<QString> pairedOutlookIds();
    // Hands each item of a properties listing that has an id and is not paired to `take` with that
    // id: the items the duplicate tests may offer, in listing order.
    using ListedItemTaker = std::function<void(const QString &id, const platform::NSAppleEventDescriptor &item)>;
    void forEachUnpairedItem(const platform::NSAppleEventDescriptor &listing, const ListedItemTaker &take);
    bool keepPairs(const QVariantMap &pairs);
    bool forgetPairs(const QStringList &deviceIds);
    void commitUniqueIds(HMData &data, bool wasSuccessful);
    // Outlook's deletions as device ids; none (logged) when Outlook's ids cannot be read.
    QStringList deviceIdsGoneFromOutlook();
    // Deletes the Outlook records of the device ids in order, each found as the apply finds it. Each one
    // deleted leaves the apply map, `dupeCheck` (when given) and the map (one write after the last), shows
    // `progressFormat` with the count so far, and is handed to `deleted` with its Outlook id (empty when
    // its pair had none: nothing was left to delete in Outlook).
    void deleteOutlookRecords(const QStringList &deviceIds, QVariantMap *dupeCheck, const QString &progressFormat,
                              const std::function<void(const QString &outlookId)> &deleted = {});

    // The listing (HMOutlookConduit+Listing.cpp): the changed ids less the records the other side
    // changed in this sync; each one's text (in the listing's text form) read by a properties script
    // that sets `variable`, nullopt when Outlook went away; the records built from the texts, each
    // dictionary made from its text, Outlook id and device id, new ones noted for the commit; Outlook's
    // deletions, looked for only when `mayHaveDeletions` (when given) says some may be there.
    using Dictionary =
        std::function<QVariantMap(const QString &text, const QString &outlookId, const QString &deviceId)>;
    QStringList candidates(const QStringList &changed, const QSet<QString> &excludedHmUids);
    std::optional<QHash<QString, QString>> readTexts(HMData &data, QStringList &candidates, const QString &variable);
    QList<HMSyncRecord> records(HMData &data, const QStringList &candidates, const QHash<QString, QString> &texts,
                                bool withOutlookUid, const Dictionary &dictionary);
    QList<HMSyncRecord> deletionRecords(HMData &data, const std::function<bool()> &mayHaveDeletions = {});
    // All of the listing after the changed ids: the records, Outlook's deletions with includeDeletes,
    // and the read done; nullopt when Outlook went away.
    std::optional<QList<HMSyncRecord>> changedRecords(HMData &data, const QStringList &changed,
                                                      const QSet<QString> &excludedHmUids, const QString &variable,
                                                      bool withOutlookUid, const Dictionary &dictionary,
                                                      bool includeDeletes,
                                                      const std::function<bool()> &mayHaveDeletions = {});

    // The apply: the map read once per run, each pair kept before the next record, one write per page.
    QString outlookIdForDeviceId(const QString &deviceId);
    // The Outlook id of a Google event in any calendar (the first pair of a device id "<id>@..."), and
    // the device id of an Outlook id, as the map answers them with the run's own pairs.
    QString outlookIdForGoogleEventId(const QString &googleEventId);
    // The first paired device id beginning with "<googleEventId>@" (a Google event's key in the map).
    QString deviceIdForGoogleEventId(const QString &googleEventId);
    QString deviceIdForOutlookId(const QString &outlookId);
    void keepAppliedPair(const QString &outlookId, const QString &deviceId);
    // The Outlook item a record of the other side is applied to: its paired one, else the duplicate
    // `findDuplicate` answers (the pair then kept at once, logged as a merged duplicate `recordWord`);
    // empty when the record is to be added.
    QString outlookIdToApply(const QString &deviceId, QLatin1StringView recordWord,
                             const std::function<QString()> &findDuplicate);
    // A record applied by its device id: `update` writes it over the item `outlookIdToApply` finds, or
    // `addNew` makes a new item. False, logged, when the record has no device id.
    bool applyByDeviceId(const QString &deviceId, QLatin1StringView recordWord,
                         const std::function<QString()> &findDuplicate, const std::function<void()> &addNew,
                         const std::function<void(const QString &outlookId)> &update);
    // A record Outlook refused to take: the conduit's write error is noted for the sync's summary and the
    // record's id goes into the error log under the conduit's letter.
    void reportWriteError(const QVariantMap &record) const;
    // A record deleted in Outlook by this run is no longer found by the apply.
    void dropAppliedPair(const QString &deviceId);
    platform::Status commitAppliedPairs();
    // The apply's pairs into a map kept for the run now (a later step of the same page reads it); a map
    // read afresh takes them only once they outgrow it, its readers answering them meanwhile. False
    // when they could not be, without failing the run: they stay in the confirmed-pairs file.
    bool flushAppliedPairs();

private:
    void reach(Step step) const;
    // The map's pairs read at the first need, then kept current with the run's own pairs.
    HMOutlookAppliedPairs &applyMap();
    // The confirmed-pairs file and the given pairs into the map with one write, outside the commit.
    bool mergePairs(const QVariantMap &pairs);
    std::optional<QString> recordText(HMData &data, const platform::NSAppleEventDescriptor &result);
    QString categoriesLine(HMData &data, const platform::NSAppleEventDescriptor &result) const;

    Conduit m_conduit;
    QString m_noun;
    QString m_mapName;
    std::function<void(Step)> m_reachStep;
    MapReads m_mapReads;
    TextForm m_textForm = TextForm::ICalendar;
    ListingTexts m_listingTexts;
    mutable std::shared_ptr<HMProfile> m_profile;
    std::shared_ptr<HMOutlookSQLiteHelper> m_outlook;
    std::shared_ptr<HMOutlookDatFileHelper> m_map;
    std::shared_ptr<HMOutlookIdBookkeeping> m_ids;
    std::optional<HMOutlookAppliedPairs> m_applyMap;
    QString m_failure;
    QDateTime m_listCommandReturned;
    QDateTime m_readStarted;
    QDateTime m_readStamp;
    QDateTime m_lastWrite;
    bool m_readFailed = false;
    bool m_hasDatesToCommit = false;
    bool m_hasAppliedPairs = false;
};

// The test hook called at each moment of one kind of data source's Outlook path (the crash tests stop
// a run there): one for each kind, for the life of the process, set before a run.
template <typename Source> std::function<void(HMOutlookConduit::Step)> &outlookStepHook()
{
    static std::function<void(HMOutlookConduit::Step)> hook;
    return hook;
}

// Calls the kind's hook at the step, where one is set.
template <typename Source> void callOutlookStepHook(HMOutlookConduit::Step step)
{
    if (const std::function<void(HMOutlookConduit::Step)> &hook = outlookStepHook<Source>())
        hook(step);
}
