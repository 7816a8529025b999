// Whole sync runs through the controller's record stages: the scripted fake transport plays the
// device, in-memory Mac stores play the Mac, and the real configuration source, profile files and
// identifier graphs sit between them.

#include "sync/HMSyncController.h"

#include "SyncRunHarness.h"

#include "foundation/GlobalVariables.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncConduitData.h"

#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace {

const QString kContacts = QStringLiteral("HMContactData");
const QDateTime kPreviousSync(QDate(2026, 2, 20), QTime(8, 30, 0), Qt::UTC);
const QDateTime kBeforePreviousSync(QDate(2026, 2, 1), QTime(12, 0, 0), Qt::UTC);

QDateTime day(int dayOfFebruary)
{
    return QDateTime(QDate(2026, 2, dayOfFebruary), QTime(12, 0, 0), Qt::UTC);
}

QVariantMap fields(std::initializer_list<std::pair<const char *, QVariant>> entries)
{
    QVariantMap record;
    for (const auto &[key, value] : entries)
        record.insert(QString::fromUtf8(key), value);
    return record;
}

// Only the contacts conduit takes part; the profile file and the conduit's identifier graph are saved.
void useContactsOnly(SyncRunHarness &harness, const QString &direction, const QString &deletions)
{
    HMProfile &profile = harness.profile();
    profile.setContactSyncEnabled(true);
    profile.setCalendarSyncEnabled(false);
    profile.setContactSyncDirectionName(direction);
    profile.setContactSyncDeletionsName(deletions);
}

void saveGraph(SyncRunHarness &harness, const QList<std::pair<QString, QString>> &deviceToNative,
               const QDateTime &lastSync)
{
    HMIdentifierGraph graph;
    for (const auto &[deviceId, nativeId] : deviceToNative)
        graph.appendDictionary(
            QVariantMap{{QStringLiteral("hmUid"), deviceId}, {QStringLiteral("nativeId"), nativeId}});
    graph.setLastSyncDate(lastSync);
    ASSERT_TRUE(harness.profile().saveIdentifierGraph(graph, QStringLiteral("A")));
}

QList<QVariantMap> idListOf(const QStringList &deviceIds)
{
    QList<QVariantMap> ids;
    for (const QString &deviceId : deviceIds)
        ids.append(QVariantMap{{QStringLiteral("UID"), deviceId}});
    return ids;
}

// What the device received: "new <Mac id>", "update <device id>" or "delete <device id>", sorted.
QStringList sentSummary(const FakeSyncClient &transport, quint64 conduit)
{
    QStringList summary;
    for (const HMSyncRecord &record : transport.sentRecords(conduit)) {
        if (record.isNew())
            summary.append(QStringLiteral("new ") + record.nativeId());
        else if (record.isDelete())
            summary.append(QStringLiteral("delete ") + record.hmxUid());
        else
            summary.append(QStringLiteral("update ") + record.hmxUid());
    }
    summary.sort();
    return summary;
}

QStringList sorted(QSet<QString> values)
{
    QStringList list(values.cbegin(), values.cend());
    list.sort();
    return list;
}

QString fullNameOf(const FakeMacStore &store, const QString &deviceId)
{
    const std::optional<FakeMacStore::MacRecord> record = store.recordForDeviceId(deviceId);
    return record ? record->fields.value(QStringLiteral("FULLNAME")).toString() : QStringLiteral("(none)");
}

// A run that ended once, in the stage given.
void expectEndedOnce(const SyncRunHarness &harness, const RecordingSyncDelegate &delegate, HMSyncStage stage)
{
    EXPECT_EQ(delegate.finishCount.load(), 1);
    EXPECT_EQ(harness.didFinishNotices().size(), 1);
    EXPECT_EQ(harness.synchronizationDidFinishNotices(), 1);
    EXPECT_EQ(delegate.finalStage.load(), stage);
    EXPECT_FALSE(HMSyncController::getIsSynchronizing());
}

} // namespace

// One page of device records against a Mac that changed too, under every conflict setting and
// direction: adds, updates, a conflict, two kinds of deletion, an unknown action and a row without
// "UID"; then the Mac's own changes go back, less what the device just wrote.
TEST(RecordStages, ApplyAPageUnderEveryConflictSettingAndDirection)
{
    struct Row
    {
        const char *name;
        const char *direction;
        quint64 conflict;
        QStringList echo;      // ids the device wrote, kept from going back
        QStringList sent;      // what the update stage sent
        const char *d2Name;    // the conflicting record's name on the Mac afterwards
        bool appliesPage;
    };
    const QStringList macWins = {"delete d10", "new mac-7", "update d2"};
    const QStringList deviceWins = {"delete d10", "new mac-7"};
    const Row rows[] = {
        {"two-way, newer change wins", "two_way", 0, {"d1", "d3"}, macWins, "Mac Two", true},
        {"two-way, Mac wins", "two_way", 1, {"d1", "d3"}, macWins, "Mac Two", true},
        {"two-way, device wins", "two_way", 2, {"d1", "d2", "d3"}, deviceWins, "Device Two", true},
        {"two-way, duplicate", "two_way", 3, {"d1", "d2", "d3"}, {"delete d10", "new mac-2", "new mac-7"},
         "Device Two", true},
        {"two-way, unknown setting", "two_way", 7, {"d1", "d2", "d3"}, deviceWins, "Device Two", true},
        {"device to Mac, newer change wins", "device_to_mac", 0, {"d1", "d3"}, {}, "Mac Two", true},
        {"device to Mac, Mac wins", "device_to_mac", 1, {"d1", "d3"}, {}, "Mac Two", true},
        {"device to Mac, device wins", "device_to_mac", 2, {"d1", "d2", "d3"}, {}, "Device Two", true},
        {"device to Mac, duplicate", "device_to_mac", 3, {"d1", "d2", "d3"}, {}, "Device Two", true},
        {"device to Mac, unknown setting", "device_to_mac", 7, {"d1", "d2", "d3"}, {}, "Device Two", true},
        {"Mac to device, newer change wins", "mac_to_device", 0, {}, macWins, "Mac Two", false},
        {"Mac to device, Mac wins", "mac_to_device", 1, {}, macWins, "Mac Two", false},
        {"Mac to device, device wins", "mac_to_device", 2, {}, macWins, "Mac Two", false},
        {"Mac to device, duplicate", "mac_to_device", 3, {}, macWins, "Mac Two", false},
        {"Mac to device, unknown setting", "mac_to_device", 7, {}, macWins, "Mac Two", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SyncRunHarness harness;
        useContactsOnly(harness, QLatin1String(row.direction), QStringLiteral("two_way"));
        harness.profile().setContactConflictSetting(HMConflictSetting(row.conflict));
        saveGraph(harness,
                  {{"d2", "mac-2"}, {"d3", "mac-3"}, {"d4", "mac-4"}, {"d5", "mac-5"}, {"d8", "mac-8"},
                   {"d9", "mac-9"}, {"d10", "mac-10"}},
                  kPreviousSync);
        harness.saveProfile();
        harness.useMacStores([](FakeMacStore &store) { store.setWriteTime(SyncRunHarness::runTime()); });
        FakeMacStore &store = *harness.macStore(kContacts);
        store.putMacRecord(QStringLiteral("mac-2"), fields({{"FULLNAME", "Mac Two"}}), day(25));
        for (const char *unchanged : {"mac-3", "mac-4", "mac-5", "mac-8", "mac-9", "mac-10"})
            store.putMacRecord(QLatin1String(unchanged), fields({{"FULLNAME", unchanged}}), kBeforePreviousSync);
        store.putMacRecord(QStringLiteral("mac-7"), fields({{"FULLNAME", "Only On The Mac"}}), day(26));
        store.deleteMacRecord(QStringLiteral("mac-10"), day(27));

        // d8 vanished from the device; d10 is still there.
        harness.script().idLists.insert(1, idListOf({"d2", "d3", "d4", "d5", "d9", "d10"}));
        harness.script().listPages.insert(
            1, {{fields({{"UID", "d1"}, {"ACTION", 1}, {"FULLNAME", "Ann Lee"}}),
                 fields({{"UID", "d2"}, {"ACTION", 2}, {"FULLNAME", "Device Two"}, {"LASTMODIFIED", "2026-02-24T00:00:00Z"}}),
                 fields({{"UID", "d3"}, {"ACTION", 2}, {"FULLNAME", "Device Three"}}),
                 fields({{"UID", "d4"}, {"ACTION", 3}}),
                 fields({{"UID", "d5"}, {"DELETED", "1"}}),
                 fields({{"UID", "d6"}, {"ACTION", 4}, {"FULLNAME", "Odd One"}}),
                 fields({{"ACTION", 1}, {"FULLNAME", "No Id"}})}});

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        expectEndedOnce(harness, *delegate, HMSyncStage::Finished);

        const HMSyncConduitData &contacts = *controller->conduitSyncDataObjects()[1];
        EXPECT_EQ(sorted(contacts.hmUidsModifiedByDevice()), row.echo);
        EXPECT_EQ(sentSummary(*harness.transport(), 1), row.sent);
        EXPECT_EQ(fullNameOf(store, QStringLiteral("d2")), QLatin1String(row.d2Name));
        EXPECT_EQ(store.openCount(), 0);
        // The phone's whole id list is let go once read: only Outlook profiles use it later.
        EXPECT_TRUE(controller->allContactsOnTheDevice().isEmpty());
        const QStringList storeCalls = store.calls();
        if (row.appliesPage) {
            // What the store took counts: one add (the one without "UID" is refused), the updates it
            // wrote (d2 only where the device's change wins), and the vanished d8 with the explicit d4
            // as deletions; "DELETED" and the unknown action count nothing.
            EXPECT_EQ(contacts.appleAdds(), 1);
            EXPECT_EQ(contacts.appleUpdates(), row.echo.contains(QStringLiteral("d2")) ? 2 : 1);
            EXPECT_EQ(contacts.appleDeletes(), 2);
            EXPECT_TRUE(storeCalls.contains(QStringLiteral("delete d8")));
            EXPECT_TRUE(storeCalls.contains(QStringLiteral("delete d4,d5")));
            EXPECT_TRUE(storeCalls.contains(QStringLiteral("ignore 4 d6")));
            EXPECT_TRUE(storeCalls.contains(QStringLiteral("refuse 1 without UID")));
            EXPECT_EQ(fullNameOf(store, QStringLiteral("d3")), QStringLiteral("Device Three"));
            // The added contact was normalised before it was written.
            const std::optional<FakeMacStore::MacRecord> added = store.recordForDeviceId(QStringLiteral("d1"));
            ASSERT_TRUE(added);
            EXPECT_EQ(added->fields.value(QStringLiteral("FILEAS")).toString(), QStringLiteral("Lee, Ann"));
            for (const char *gone : {"d4", "d5", "d8"})
                EXPECT_FALSE(store.recordForDeviceId(QLatin1String(gone))) << gone;
        } else {
            EXPECT_EQ(contacts.appleAdds() + contacts.appleUpdates() + contacts.appleDeletes(), 0);
            EXPECT_FALSE(harness.transport()->calls().contains(QStringLiteral("list A")));
            EXPECT_FALSE(harness.transport()->calls().contains(QStringLiteral("idlist A")));
            for (const char *kept : {"d4", "d5", "d8"})
                EXPECT_TRUE(store.recordForDeviceId(QLatin1String(kept))) << kept;
        }
        // Every record sent as new now carries the id the device gave it, in the saved graph too.
        const std::shared_ptr<HMIdentifierGraph> saved =
            HMProfileManager::identifierGraphForProfile(*harness.reloadProfile(), QStringLiteral("A"));
        ASSERT_TRUE(saved);
        const QVariantMap assigned = harness.transport()->assignedIds();
        for (auto it = assigned.cbegin(); it != assigned.cend(); ++it) {
            EXPECT_FALSE(saved->dictionaryForHarrowmereUid(it.key())) << it.key().toStdString();
            EXPECT_TRUE(saved->dictionaryForHarrowmereUid(it.value().toString())) << it.value().toString().toStdString();
        }
        EXPECT_EQ(assigned.size(), row.sent.filter(QStringLiteral("new ")).size());
    }
}

// Many new and changed Mac records go in batches of 100; the ids the device assigns replace every
// temporary id, whatever mix of new and changed records a batch holds, and a second run has nothing
// left to send.
TEST(RecordStages, BatchesReplaceEveryTemporaryIdAndTheDevicesOwnChangesStayThere)
{
    SyncRunHarness harness;
    useContactsOnly(harness, QStringLiteral("two_way"), QStringLiteral("two_way"));
    harness.profile().setContactConflictSettingName(QStringLiteral("device_wins"));
    QList<std::pair<QString, QString>> known;
    for (int index = 0; index < 100; ++index)
        known.append({QStringLiteral("known-%1").arg(index, 3, 10, QLatin1Char('0')),
                      QStringLiteral("mac-known-%1").arg(index, 3, 10, QLatin1Char('0'))});
    saveGraph(harness, known, kPreviousSync);
    harness.saveProfile();
    harness.useMacStores([](FakeMacStore &store) { store.setWriteTime(SyncRunHarness::runTime()); });
    FakeMacStore &store = *harness.macStore(kContacts);
    // The store lists the changed records first, so the first batch mixes them with new ones.
    for (int index = 0; index < 250; ++index)
        store.putMacRecord(QStringLiteral("mac-new-%1").arg(index, 3, 10, QLatin1Char('0')),
                           fields({{"FULLNAME", QStringLiteral("New %1").arg(index)}}), day(21));
    for (const auto &[deviceId, nativeId] : known)
        store.putMacRecord(nativeId, fields({{"FULLNAME", deviceId}}), day(22));
    // The device changed five of the known records itself.
    QList<QVariantMap> page;
    for (int index = 0; index < 5; ++index)
        page.append(fields({{"UID", known.at(index).first}, {"ACTION", 2}, {"FULLNAME", "Device Side"}}));
    QStringList deviceIds;
    for (const auto &entry : known)
        deviceIds.append(entry.first);
    harness.script().idLists.insert(1, idListOf(deviceIds));
    harness.script().listPages.insert(1, {page});

    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    ASSERT_TRUE(harness.runToEnd(controller, delegate));
    expectEndedOnce(harness, *delegate, HMSyncStage::Finished);

    const FakeSyncClient &transport = *harness.transport();
    EXPECT_EQ(transport.updateBatchSizes(1), QList<qsizetype>({100, 100, 100, 45}));
    const QStringList sent = sentSummary(transport, 1);
    EXPECT_EQ(sent.size(), 345);
    for (int index = 0; index < 5; ++index)
        EXPECT_FALSE(sent.contains(QStringLiteral("update ") + known.at(index).first)) << index;
    EXPECT_TRUE(sent.contains(QStringLiteral("update known-099")));
    EXPECT_EQ(transport.assignedIds().size(), 250);
    EXPECT_TRUE(store.calls().contains(QStringLiteral("commit 1")));

    // The graph holds the 100 known ids and the 250 assigned ones, and no temporary id.
    QStringList expectedIds = deviceIds;
    for (const QVariant &assigned : transport.assignedIds())
        expectedIds.append(assigned.toString());
    expectedIds.sort();
    EXPECT_EQ(store.deviceIds(), expectedIds);

    // Nothing changed since: the next run sends nothing again.
    QStringList allIds = store.deviceIds();
    harness.script().idLists.insert(1, idListOf(allIds));
    harness.script().listPages.clear();
    auto secondDelegate = std::make_shared<RecordingSyncDelegate>();
    auto second = harness.makeController(secondDelegate);
    ASSERT_TRUE(harness.runToEnd(second, secondDelegate));
    EXPECT_EQ(secondDelegate->finalStage.load(), HMSyncStage::Finished);
    EXPECT_EQ(sentSummary(*harness.transport(), 1), QStringList());
}

// A transport that goes on after a failed batch (and would end with a success) is stopped: no batch
// follows the failure, and the run ends in error once, never in success.
TEST(RecordStages, AFailedUpdateBatchStopsTheConduitAndIsReportedOnce)
{
    for (const bool transportGoesOn : {true, false}) {
        SCOPED_TRACE(transportGoesOn ? "transport goes on" : "transport stops");
        SyncRunHarness harness;
        useContactsOnly(harness, QStringLiteral("mac_to_device"), QStringLiteral("two_way"));
        saveGraph(harness, {}, kPreviousSync);
        harness.saveProfile();
        harness.useMacStores();
        FakeMacStore &store = *harness.macStore(kContacts);
        for (int index = 0; index < 350; ++index)
            store.putMacRecord(QStringLiteral("mac-%1").arg(index, 3, 10, QLatin1Char('0')), fields({}), day(21));
        harness.script().failingUpdateBatch = 2;
        harness.script().continuesAfterFailedBatch = transportGoesOn;

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));

        expectEndedOnce(harness, *delegate, HMSyncStage::Errored);
        EXPECT_EQ(harness.transport()->updateBatchSizes(1), QList<qsizetype>({100, 100}));
        const QStringList storeCalls = store.calls();
        EXPECT_EQ(storeCalls.count(QStringLiteral("commit 0")), 1);
        EXPECT_EQ(storeCalls.count(QStringLiteral("commit 1")), 0);
        EXPECT_FALSE(harness.transport()->calls().contains(QStringLiteral("logoff")));
        // The profile keeps its previous sync date, so the next run sends these records again.
        EXPECT_EQ(harness.reloadProfile()->contactLastSyncDate(), QDateTime());
        // The batch that was answered keeps its device ids.
        EXPECT_EQ(harness.transport()->assignedIds().size(), 100);
    }
}

// A purge empties the conduit on the device and its identifier table on the Mac, so everything goes
// to the device again, as new.
TEST(RecordStages, APurgeClearsTheIdentifierTableAndSendsEverything)
{
    SyncRunHarness harness;
    useContactsOnly(harness, QStringLiteral("two_way"), QStringLiteral("two_way"));
    harness.profile().setPurgeContactsOnNextSync(true);
    saveGraph(harness, {{"d1", "mac-1"}, {"d2", "mac-2"}, {"d3", "mac-3"}}, kPreviousSync);
    harness.saveProfile();
    harness.useMacStores();
    FakeMacStore &store = *harness.macStore(kContacts);
    for (const char *nativeId : {"mac-1", "mac-2", "mac-3"})
        store.putMacRecord(QLatin1String(nativeId), fields({{"FULLNAME", nativeId}}), kBeforePreviousSync);
    harness.script().idLists.insert(1, {});

    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    ASSERT_TRUE(harness.runToEnd(controller, delegate));
    expectEndedOnce(harness, *delegate, HMSyncStage::Finished);

    const QStringList calls = harness.transport()->calls();
    EXPECT_EQ(calls.mid(0, 3), QStringList({"setup", "logon", "purge A"}));
    EXPECT_TRUE(controller->didPurge());
    EXPECT_EQ(controller->didPurgeTheseConduits(), QStringLiteral("A"));
    // The list and the update both read everything.
    EXPECT_FALSE(harness.transport()->listModifiedSince(1).isValid());
    const QStringList storeCalls = store.calls();
    EXPECT_TRUE(storeCalls.contains(QStringLiteral("clearIdTable")));
    EXPECT_TRUE(storeCalls.contains(QStringLiteral("changes since ever")));
    // Nothing was deleted on the Mac for the emptied device.
    EXPECT_EQ(store.records().size(), 3);
    EXPECT_EQ(sentSummary(*harness.transport(), 1), QStringList({"new mac-1", "new mac-2", "new mac-3"}));
    QStringList assigned;
    for (const QVariant &id : harness.transport()->assignedIds())
        assigned.append(id.toString());
    assigned.sort();
    EXPECT_EQ(store.deviceIds(), assigned);
    EXPECT_FALSE(harness.reloadProfile()->purgeContactsOnNextSync());
}

// The cloud's contact pictures hold the run queue until they arrive; the wait also ends on a force
// cancel and after its time limit, and then the applied records are still saved.
TEST(RecordStages, TheContactPictureWaitAlwaysEnds)
{
    enum class Ending { PicturesArrive, ForceCancel, TimeLimit };
    struct Row
    {
        const char *name;
        Ending ending;
        HMSyncStage stage;
        HMSyncError error;
    };
    const Row rows[] = {
        {"the pictures arrive", Ending::PicturesArrive, HMSyncStage::Finished, HMSyncError::None},
        {"a force cancel", Ending::ForceCancel, HMSyncStage::Errored, HMSyncError::ForceCancelled},
        {"the time limit", Ending::TimeLimit, HMSyncStage::Errored, HMSyncError::Timeout},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // Once the clock runs, every reading is ten minutes after the one before, so the wait's time
        // limit passes after a few readings whenever the wait began. Declared before the harness, whose
        // end puts the system clock back, so that they outlive every reading.
        std::atomic<bool> clockRuns = false;
        std::atomic<qint64> clockOffsetSeconds = 0;
        SyncRunHarness harness;
        platform::Clock::setSource([&clockRuns, &clockOffsetSeconds] {
            const qint64 offset = clockRuns ? clockOffsetSeconds.fetch_add(600) : clockOffsetSeconds.load();
            return SyncRunHarness::runTime().addSecs(offset);
        });
        useContactsOnly(harness, QStringLiteral("device_to_mac"), QStringLiteral("two_way"));
        harness.profile().setSyncMethodName(QStringLiteral("quill_nest_sync_method"));
        harness.profile().setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
        harness.profile().setContactManager(HMContactManager::Outlook15);
        harness.saveProfile();
        harness.useMacStores();
        harness.script().hasIdList = false;
        harness.script().listPages.insert(1, {{fields({{"UID", "c1"}, {"ACTION", 1}, {"FULLNAME", "Cloud One"}})}});
        FakeSyncClient *cloud = nullptr;
        HMSyncController::registerTransport(4, [&harness, &cloud](const auto &) {
            auto transport = std::make_unique<FakeSyncClient>(harness.script());
            cloud = transport.get();
            return transport;
        });

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        controller->startProcessing();
        FakeMacStore &store = *harness.macStore(kContacts);
        // The page's end reaches the store on the transport's thread while the run queue waits.
        ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil(
            [&] { return store.calls().contains(QStringLiteral("listReturned")); }, std::chrono::seconds(20)));
        switch (row.ending) {
        case Ending::PicturesArrive:
            controller->picturesDictionaryUpdated();
            break;
        case Ending::ForceCancel:
            controller->forceCancelSync();
            break;
        case Ending::TimeLimit:
            clockRuns = true;
            break;
        }
        ASSERT_TRUE(harness.waitForEnd(controller, delegate));
        HMSyncController::registerTransport(4, nullptr);

        expectEndedOnce(harness, *delegate, row.stage);
        {
            const std::lock_guard lock(delegate->mutex);
            EXPECT_EQ(delegate->finalError, row.error);
        }
        ASSERT_TRUE(cloud);
        EXPECT_TRUE(cloud->calls().contains(QStringLiteral("list A")));
        const QStringList storeCalls = store.calls();
        EXPECT_EQ(storeCalls.contains(QStringLiteral("pictures ")), row.ending == Ending::PicturesArrive);
        EXPECT_TRUE(store.recordForDeviceId(QStringLiteral("c1")));
        EXPECT_TRUE(storeCalls.contains(QStringLiteral("save")));
        EXPECT_EQ(store.openCount(), 0);
    }
}

// Twenty thousand records through the fake transport: ten thousand device records come in, in pages
// of two thousand, and ten thousand changed Mac records go out in batches of 100. Every page saves the
// identifier graph whole, so the run's cost grows with pages times graph size; bench/ measures the
// phone's own page size.
TEST(RecordStages, TwentyThousandRecordsThroughTheTransportFinish)
{
    const int kRecords = 10000;
    constexpr int kPageSize = 2000;
    SyncRunHarness harness;
    harness.setRunTimeLimit(std::chrono::seconds(180));
    useContactsOnly(harness, QStringLiteral("two_way"), QStringLiteral("two_way"));
    QList<std::pair<QString, QString>> known;
    QStringList deviceIds;
    for (int index = 0; index < kRecords; ++index) {
        known.append({QStringLiteral("mac-side-%1").arg(index), QStringLiteral("mac-%1").arg(index)});
        deviceIds.append(known.last().first);
    }
    saveGraph(harness, known, kPreviousSync);
    harness.saveProfile();
    harness.useMacStores([](FakeMacStore &store) { store.setWriteTime(SyncRunHarness::runTime()); });
    FakeMacStore &store = *harness.macStore(kContacts);
    for (const auto &[deviceId, nativeId] : known)
        store.putMacRecord(nativeId, fields({{"FULLNAME", deviceId}}), day(21));
    QList<QList<QVariantMap>> pages;
    for (int index = 0; index < kRecords; ++index) {
        if (index % kPageSize == 0)
            pages.append(QList<QVariantMap>());
        const QString deviceId = QStringLiteral("device-side-%1").arg(index);
        pages.last().append(fields({{"UID", deviceId}, {"ACTION", 1}, {"FULLNAME", QStringLiteral("Person %1 Smith").arg(index)}}));
        deviceIds.append(deviceId);
    }
    harness.script().listPages.insert(1, pages);
    harness.script().idLists.insert(1, idListOf(deviceIds));

    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    ASSERT_TRUE(harness.runToEnd(controller, delegate));
    expectEndedOnce(harness, *delegate, HMSyncStage::Finished);

    const HMSyncConduitData &contacts = *controller->conduitSyncDataObjects()[1];
    EXPECT_EQ(contacts.appleAdds(), kRecords);
    EXPECT_EQ(contacts.hmUidsModifiedByDevice().size(), kRecords);
    EXPECT_EQ(harness.transport()->calls().count(QStringLiteral("list A")), (kRecords + kPageSize - 1) / kPageSize);
    EXPECT_EQ(harness.transport()->updateBatchSizes(1).size(), kRecords / 100);
    EXPECT_EQ(harness.transport()->sentRecords(1).size(), kRecords);
    EXPECT_EQ(store.records().size(), 2 * kRecords);
    EXPECT_EQ(store.deviceIds().size(), 2 * kRecords);
}

// Outlook profiles learn the device's deletions from the ids it still lists, keep a purged conduit's
// Mac records, send their changes with Outlook ids and commit the ids the device assigned.
TEST(RecordStages, OutlookProfilesDeleteByPresenceAndCommitAssignedIds)
{
    enum class Case { Listed, Purged, NoIdList };
    const struct Row
    {
        const char *name;
        Case kind;
    } rows[] = {{"the device lists its ids", Case::Listed},
                {"the conduit was purged", Case::Purged},
                {"the transport lists no ids", Case::NoIdList}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SyncRunHarness harness;
        useContactsOnly(harness, QStringLiteral("two_way"), QStringLiteral("two_way"));
        harness.profile().setContactManagerName(QStringLiteral("ContactManagerOutlook15"));
        harness.profile().setContactManager(HMContactManager::Outlook15);
        harness.profile().setPurgeContactsOnNextSync(row.kind == Case::Purged);
        harness.saveProfile();
        // Outlook syncs keep their ids in Outlook's own maps, not in identifier graphs.
        GlobalVariables::setIsOutlookSync(true);
        harness.useMacStores([](FakeMacStore &store) { store.setOutlookLastModifiedDate(kPreviousSync); });
        FakeMacStore &store = *harness.macStore(kContacts);
        for (const char *id : {"1", "2", "3"})
            store.putMacRecord(QStringLiteral("o") + QLatin1String(id), fields({{"FULLNAME", id}}), kBeforePreviousSync,
                               QStringLiteral("d") + QLatin1String(id));
        store.putMacRecord(QStringLiteral("o4"), fields({{"FULLNAME", "New In Outlook"}}), day(26));
        harness.script().reportsTemporaryIds = true;
        harness.script().hasIdList = row.kind != Case::NoIdList;
        // d3 is gone from the device; d5 is new there.
        harness.script().idLists.insert(1, idListOf({"d1", "d2", "d5"}));
        harness.script().listPages.insert(1, {{fields({{"UID", "d5"}, {"ACTION", 1}, {"FULLNAME", "From The Phone"}})}});

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        const bool ended = harness.runToEnd(controller, delegate);
        GlobalVariables::setIsOutlookSync(false);
        ASSERT_TRUE(ended);
        expectEndedOnce(harness, *delegate, HMSyncStage::Finished);

        const QStringList calls = store.calls();
        EXPECT_TRUE(store.recordForDeviceId(QStringLiteral("d5")));
        EXPECT_TRUE(calls.contains(QStringLiteral("listReturned")));
        EXPECT_TRUE(calls.contains(QStringLiteral("saveOutlookChanges")));
        const QStringList sent = sentSummary(*harness.transport(), 1);
        switch (row.kind) {
        case Case::Listed:
            EXPECT_EQ(controller->allContactsOnTheDevice(), QStringList({"d1", "d2", "d5"}));
            EXPECT_TRUE(calls.contains(QStringLiteral("findDeletes d3")));
            EXPECT_FALSE(store.recordForDeviceId(QStringLiteral("d3")));
            EXPECT_EQ(sent, QStringList({"new o4"}));
            break;
        case Case::Purged:
            EXPECT_TRUE(calls.contains(QStringLiteral("clearOutlookDatFile Contacts")));
            EXPECT_TRUE(calls.contains(QStringLiteral("changes since ever with deletions")));
            EXPECT_FALSE(calls.contains(QStringLiteral("outlook")));
            // The emptied device gets every record again, as new.
            EXPECT_EQ(sent.filter(QStringLiteral("new o")), QStringList({"new o1", "new o2", "new o3", "new o4"}));
            break;
        case Case::NoIdList:
            // Without the device's list nothing tells a deleted record from a kept one.
            EXPECT_FALSE(calls.join(QLatin1Char('\n')).contains(QLatin1String("findDeletes")));
            for (const char *kept : {"d1", "d2", "d3"})
                EXPECT_TRUE(store.recordForDeviceId(QLatin1String(kept))) << kept;
            EXPECT_EQ(sent, QStringList({"new o4"}));
            break;
        }
        // The Outlook ids of what was sent, and the device's ids for the new records, committed after
        // the update succeeded.
        QSet<QString> sentOutlookIds;
        QStringList committed;
        for (const HMSyncRecord &record : harness.transport()->sentRecords(1)) {
            sentOutlookIds.insert(record.outlookUid());
            if (record.isNew())
                committed.append(harness.transport()->assignedIds().value(record.hmxUid()).toString() + QLatin1Char('=')
                                 + record.nativeId());
        }
        committed.sort();
        EXPECT_EQ(controller->olmIdsForContactsSentToDevice(), sentOutlookIds);
        EXPECT_TRUE(calls.contains(QStringLiteral("committed ") + committed.join(QLatin1Char(','))))
            << calls.join(QLatin1Char('\n')).toStdString();
    }
}

// The photo step holds the run queue until the transport has sent the contact photos; a force cancel
// ends that wait and the run.
TEST(RecordStages, AForceCancelEndsThePhotoStepWait)
{
    SyncRunHarness harness;
    useContactsOnly(harness, QStringLiteral("mac_to_device"), QStringLiteral("two_way"));
    saveGraph(harness, {}, kPreviousSync);
    harness.saveProfile();
    harness.useMacStores();
    harness.macStore(kContacts)->putMacRecord(QStringLiteral("m1"), fields({{"FULLNAME", "Ann Lee"}}), day(21));
    harness.script().asksForContactPhotos = true;

    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    controller->startProcessing();
    ASSERT_TRUE(platform::DispatchQueue::runMainQueueUntil(
        [&] { return harness.sheet().userMessages().contains(QStringLiteral("Sending contact photos...")); },
        std::chrono::seconds(20)));
    EXPECT_TRUE(controller->didSendContactPhotos());
    controller->forceCancelSync();
    ASSERT_TRUE(harness.waitForEnd(controller, delegate));

    expectEndedOnce(harness, *delegate, HMSyncStage::Errored);
    const std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->finalError, HMSyncError::ForceCancelled);
}

// The list asks for the device's changes since the last sync, and not at all when the device says it
// changed nothing since, unless the conduit is being recovered or the device is read afresh.
TEST(RecordStages, TheListAsksFromTheLastSyncOrNotAtAll)
{
    const QDateTime earlier = kPreviousSync.addSecs(-3600);
    const QDateTime later = kPreviousSync.addSecs(3600);
    const struct Row
    {
        const char *name;
        bool synchronisedBefore;
        QDateTime deviceChanged; // invalid: the logon reply says nothing
        const char *recovery;
        bool rereadDevice;
        bool lists;
        QDateTime since;
    } rows[] = {
        {"first sync", false, later, "", false, true, QDateTime()},
        {"device changed since", true, later, "", false, true, kPreviousSync},
        {"device silent about changes", true, QDateTime(), "", false, true, kPreviousSync},
        {"device unchanged since", true, earlier, "", false, false, QDateTime()},
        {"device changed at the last sync", true, kPreviousSync, "", false, false, QDateTime()},
        {"unchanged but recovering contacts", true, earlier, "DA", false, true, kPreviousSync},
        {"unchanged but recovering another conduit", true, earlier, "D", false, false, QDateTime()},
        {"unchanged but read afresh", true, earlier, "", true, true, QDateTime()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SyncRunHarness harness;
        useContactsOnly(harness, QStringLiteral("two_way"), QStringLiteral("mac_to_device"));
        harness.profile().setRereadDeviceOnNextSync(row.rereadDevice);
        saveGraph(harness, {}, row.synchronisedBefore ? kPreviousSync : QDateTime());
        harness.saveProfile();
        harness.useMacStores();
        GlobalVariables::setErrorRecoverySyncConduits(QLatin1String(row.recovery));
        if (row.deviceChanged.isValid())
            harness.script().logonReply.insert(QStringLiteral("ContactsLastModified"), row.deviceChanged);

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        const bool ended = harness.runToEnd(controller, delegate);
        GlobalVariables::setErrorRecoverySyncConduits(QString());
        ASSERT_TRUE(ended);
        expectEndedOnce(harness, *delegate, HMSyncStage::Finished);
        EXPECT_EQ(harness.transport()->calls().contains(QStringLiteral("list A")), row.lists);
        EXPECT_EQ(harness.transport()->listModifiedSince(1), row.since);
    }
}

// An address book the sync may not open ends the run with the text that tells the user what to do,
// from the list stage and from the update stage alike.
TEST(RecordStages, AnInaccessibleAddressBookEndsTheRun)
{
    for (const char *direction : {"device_to_mac", "mac_to_device"}) {
        SCOPED_TRACE(direction);
        SyncRunHarness harness;
        useContactsOnly(harness, QLatin1String(direction), QStringLiteral("two_way"));
        harness.saveProfile();
        harness.useMacStores([](FakeMacStore &store) { store.setAddressBookInaccessible(true); });
        harness.script().hasIdList = false;
        harness.script().listPages.insert(1, {{fields({{"UID", "d1"}, {"ACTION", 1}})}});

        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        expectEndedOnce(harness, *delegate, HMSyncStage::Errored);
        {
            const std::lock_guard lock(delegate->mutex);
            EXPECT_EQ(delegate->finalError, HMSyncError::Other);
            EXPECT_TRUE(delegate->finalErrorText.startsWith(QLatin1String("Address book access is denied.")));
        }
        const FakeMacStore &store = *harness.macStore(kContacts);
        EXPECT_TRUE(store.records().isEmpty());
        EXPECT_EQ(store.openCount(), 0);
        EXPECT_TRUE(harness.transport()->sentRecords(1).isEmpty());
    }
}
