#include "sync/HMSyncController.h"

#include "SyncRunHarness.h"

#include "foundation/GlobalVariables.h"
#include "foundation/HMRRuleHelper.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/HMIdentifierGraph.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"
#include "sync/HMSyncConduitData.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <barrier>
#include <thread>

namespace {

const QDateTime kPreviousSync = QDateTime(QDate(2026, 2, 20), QTime(8, 30, 0), Qt::UTC);

// Gives the contacts conduit a stored identifier graph of three records synchronised before.
void seedContactsGraph(SyncRunHarness &harness)
{
    HMIdentifierGraph graph;
    for (int index = 1; index <= 3; ++index)
        graph.appendDictionary(QVariantMap{{QStringLiteral("hmUid"), QStringLiteral("device-%1").arg(index)},
                                                          {QStringLiteral("nativeId"), QStringLiteral("mac-%1").arg(index)}});
    graph.setLastSyncDate(kPreviousSync);
    ASSERT_TRUE(harness.profile().saveIdentifierGraph(graph, QStringLiteral("A")));
    harness.script().idLists.insert(1, {QVariantMap{{QStringLiteral("UID"), QStringLiteral("device-1")}},
                                        QVariantMap{{QStringLiteral("UID"), QStringLiteral("device-2")}},
                                        QVariantMap{{QStringLiteral("UID"), QStringLiteral("device-3")}}});
}

QString finalText(RecordingSyncDelegate &delegate)
{
    const std::lock_guard lock(delegate.mutex);
    return delegate.finalErrorText;
}

HMSyncError finalError(RecordingSyncDelegate &delegate)
{
    const std::lock_guard lock(delegate.mutex);
    return delegate.finalError;
}

// The run ended exactly once: one end notice of each kind and one word to the owner.
void expectEndedOnce(const SyncRunHarness &harness, const RecordingSyncDelegate &delegate)
{
    EXPECT_EQ(delegate.finishCount.load(), 1);
    EXPECT_EQ(harness.didFinishNotices().size(), 1);
    EXPECT_EQ(harness.synchronizationDidFinishNotices(), 1);
    EXPECT_FALSE(HMSyncController::getIsSynchronizing());
    EXPECT_FALSE(GlobalVariables::getIsSynchronizing());
}

} // namespace

TEST(HMSyncControllerRun, PassesEveryStageInOrderAndSavesDatesAndCountsInTheProfileFile)
{
    SyncRunHarness harness;
    seedContactsGraph(harness);
    harness.saveProfile();
    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);

    ASSERT_TRUE(harness.runToEnd(controller, delegate));

    EXPECT_EQ(harness.stagesSeen(),
              QStringList({"HMSyncStagePrepareConduits", "HMSyncStagePrepareController", "HMSyncStageLogon",
                           "HMSyncStagePurge", "HMSyncStageIdList", "HMSyncStageList", "HMSyncStageUpdate",
                           "HMSyncStageLogoff", "HMSyncStageCleanupController", "HMSyncStageCleanupConduits",
                           "HMSyncStageFinished"}));
    EXPECT_EQ(harness.transport()->calls(),
              QStringList({"setup", "logon", "idlist A", "idlist D", "list A", "list D", "reset", "update A", "reset",
                           "update D", "logoff", "cleanup"}));
    // The contacts list asks for the changes since the last sync; the calendar, never synchronised,
    // for everything.
    EXPECT_EQ(harness.transport()->listModifiedSince(1), kPreviousSync);
    EXPECT_FALSE(harness.transport()->listModifiedSince(2).isValid());

    EXPECT_EQ(harness.didStartNotices(), 1);
    EXPECT_EQ(delegate->startCount.load(), 1);
    expectEndedOnce(harness, *delegate);
    EXPECT_TRUE(delegate->finishedOnMainThread.load());
    EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Finished);
    EXPECT_EQ(finalError(*delegate), HMSyncError::None);
    EXPECT_EQ(harness.didFinishNotices().first(), QVariantMap());
    EXPECT_EQ(harness.sheet().completions(), QStringList({QString()}));
    EXPECT_TRUE(harness.sheet().userMessages().contains(QStringLiteral("Working...")));
    EXPECT_EQ(harness.cleanUpNotices(), 2);

    const std::shared_ptr<HMProfile> saved = harness.reloadProfile();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->contactLastSyncDate(), SyncRunHarness::runTime());
    EXPECT_EQ(saved->calendarLastSyncDate(), SyncRunHarness::runTime());
    EXPECT_FALSE(saved->taskLastSyncDate().isValid());
    EXPECT_EQ(saved->contactCount(), 3);
    EXPECT_EQ(saved->eventCount(), 0);
    const std::shared_ptr<HMIdentifierGraph> graph =
        HMProfileManager::identifierGraphForProfile(*saved, QStringLiteral("A"));
    ASSERT_TRUE(graph);
    EXPECT_EQ(graph->lastSyncDate(), SyncRunHarness::runTime());
    EXPECT_EQ(graph->identifierDictionaries().size(), 3);
}

TEST(HMSyncControllerRun, RecordsVanishedFromTheDeviceAreDeletedOnTheMac)
{
    SyncRunHarness harness;
    seedContactsGraph(harness);
    harness.script().idLists[1].removeLast();
    harness.saveProfile();
    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);

    ASSERT_TRUE(harness.runToEnd(controller, delegate));

    EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Finished);
    EXPECT_TRUE(harness.dataSource(QStringLiteral("HMContactData"))->calls().contains(QStringLiteral("delete device-3")));
    EXPECT_EQ(controller->conduitSyncDataObjects()[1]->appleDeletes(), 1);
    EXPECT_EQ(harness.reloadProfile()->contactCount(), 2);
}

TEST(HMSyncControllerRun, LastSyncDatesFollowWhatTheConduitExchanged)
{
    // A Mac-to-device conduit never lists, yet it sent everything up to the run's start.
    {
        SyncRunHarness harness;
        seedContactsGraph(harness);
        harness.profile().setContactSyncDirectionName(QStringLiteral("mac_to_device"));
        harness.saveProfile();
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        EXPECT_EQ(harness.transport()->calls(),
                  QStringList({"setup", "logon", "idlist D", "list D", "reset", "update A", "reset", "update D",
                               "logoff", "cleanup"}));
        EXPECT_EQ(harness.reloadProfile()->contactLastSyncDate(), SyncRunHarness::runTime());
    }
    // A refused logon still logs off and finishes, but exchanged nothing: the dates stay, and the run
    // does not pass for a success.
    {
        SyncRunHarness harness;
        seedContactsGraph(harness);
        harness.profile().setContactLastSyncDate(kPreviousSync);
        harness.script().answers.insert(FakeCall::Logon, FakeAnswer::ReplyNo);
        harness.saveProfile();
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        EXPECT_EQ(harness.transport()->calls(), QStringList({"setup", "logon", "logoff", "cleanup"}));
        expectEndedOnce(harness, *delegate);
        EXPECT_EQ(finalError(*delegate), HMSyncError::Other);
        EXPECT_EQ(finalText(*delegate), QStringLiteral("Unknown Error"));
        EXPECT_EQ(harness.sheet().completions(), QStringList({QStringLiteral("Unknown Error")}));
        const std::shared_ptr<HMProfile> saved = harness.reloadProfile();
        EXPECT_EQ(saved->contactLastSyncDate(), kPreviousSync);
        EXPECT_FALSE(saved->calendarLastSyncDate().isValid());
        const std::shared_ptr<HMIdentifierGraph> graph =
            HMProfileManager::identifierGraphForProfile(*saved, QStringLiteral("A"));
        EXPECT_EQ(graph->lastSyncDate(), kPreviousSync);
    }
}

TEST(HMSyncControllerRun, DeletionSettingFollowsTheStoredNameWhateverTheLogLevel)
{
    for (const int32_t level : {LOG_LEVEL_OFF, LOG_LEVEL_VERBOSE}) {
        SCOPED_TRACE(level);
        const int32_t previousLevel = ddLogLevel.exchange(level);
        SyncRunHarness harness;
        harness.profile().setContactSyncDeletionsName(QStringLiteral("mac_to_device"));
        harness.saveProfile();
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        ddLogLevel.store(previousLevel);
        EXPECT_EQ(controller->conduitSyncDataObjects()[1]->syncDeletions(), 1u);
        // Deletions that travel only to the device need no id list of the device's records.
        EXPECT_FALSE(harness.transport()->calls().contains(QStringLiteral("idlist A")));
    }
}

TEST(HMSyncControllerRun, ProfilesWithoutConduitsOrTransportEndCleanly)
{
    {
        SyncRunHarness harness;
        harness.profile().setContactSyncEnabled(false);
        harness.profile().setCalendarSyncEnabled(false);
        harness.saveProfile();
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        EXPECT_EQ(harness.transport()->calls(), QStringList({"setup", "logon", "logoff", "cleanup"}));
        EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Finished);
        expectEndedOnce(harness, *delegate);
    }
    {
        SyncRunHarness harness;
        harness.profile().setSyncMethodName(QStringLiteral("hmsh_sync_method"));
        harness.saveProfile();
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);
        ASSERT_TRUE(harness.runToEnd(controller, delegate));
        EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Errored);
        EXPECT_EQ(finalError(*delegate), HMSyncError::InvalidProfile);
        EXPECT_EQ(finalText(*delegate), QStringLiteral("Unknown Error"));
        expectEndedOnce(harness, *delegate);
        EXPECT_EQ(harness.didFinishNotices().first().value(QStringLiteral("HMSyncDidFinishErrorCode")).toLongLong(), 5);
    }
}

namespace {

enum class CancelKind { Safe, Force };

// Where a cancel or a failure strikes, and what the run should end with.
struct StageRow
{
    const char *name;
    HMSyncStage stage;
    std::optional<FakeCall> call; // the transport request the stage is waiting for, if any
};

const StageRow kStageRows[] = {
    {"prepare conduits", HMSyncStage::PrepareConduits, std::nullopt},
    {"prepare transport", HMSyncStage::PrepareController, FakeCall::Setup},
    {"logon", HMSyncStage::Logon, FakeCall::Logon},
    {"purge", HMSyncStage::Purge, FakeCall::Purge},
    {"id list", HMSyncStage::IdList, FakeCall::IdList},
    {"list", HMSyncStage::List, FakeCall::List},
    {"update", HMSyncStage::Update, FakeCall::Update},
    {"logoff", HMSyncStage::Logoff, FakeCall::Logoff},
    {"clean up transport", HMSyncStage::CleanupController, FakeCall::Cleanup},
    {"clean up conduits", HMSyncStage::CleanupConduits, std::nullopt},
};

bool isRequest(const StageRow &row)
{
    return row.call && *row.call != FakeCall::Setup && *row.call != FakeCall::Cleanup;
}

} // namespace

TEST(HMSyncControllerCancel, SafeAndForceCancelAtEveryStageEndTheRunOnce)
{
    for (const CancelKind kind : {CancelKind::Safe, CancelKind::Force}) {
        for (const StageRow &row : kStageRows) {
            SCOPED_TRACE(std::string(kind == CancelKind::Safe ? "safe cancel at " : "force cancel at ") + row.name);
            SyncRunHarness harness;
            harness.profile().setPurgeContactsOnNextSync(true);
            harness.saveProfile();
            auto delegate = std::make_shared<RecordingSyncDelegate>();
            std::weak_ptr<HMSyncController> weakController;
            // Counts the hook's calls; only the first cancels (both conduits' data sources hear the
            // clean-up notice).
            std::atomic<int> cancels = 0;
            const auto cancel = [&] {
                if (cancels++ > 0)
                    return;
                const std::shared_ptr<HMSyncController> controller = weakController.lock();
                if (kind == CancelKind::Safe)
                    controller->safelyCancelSync();
                else
                    controller->forceCancelSync();
            };
            if (row.call) {
                const FakeCall target = *row.call;
                harness.script().onCall = [&, target](FakeCall call, quint64) {
                    if (call == target)
                        cancel();
                };
            } else if (row.stage == HMSyncStage::PrepareConduits) {
                harness.setDataSourceSetup([&](FakeSyncDataSource &) { cancel(); });
            } else {
                harness.setDataSourceSetup([&](FakeSyncDataSource &source) { source.setCleanUpHook(cancel); });
            }
            auto controller = harness.makeController(delegate);
            weakController = controller;

            ASSERT_TRUE(harness.runToEnd(controller, delegate));

            EXPECT_GE(cancels.load(), 1);
            expectEndedOnce(harness, *delegate);
            EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Errored);
            if (kind == CancelKind::Safe) {
                EXPECT_EQ(finalError(*delegate), HMSyncError::Cancelled);
                EXPECT_EQ(finalText(*delegate), QStringLiteral("Synchronization Cancelled"));
                EXPECT_EQ(harness.transport()->forceCancelCount(), 0);
            } else {
                EXPECT_EQ(finalError(*delegate), HMSyncError::ForceCancelled);
                // A request in flight is abandoned and the transport says so; otherwise the run
                // gives its own text.
                EXPECT_EQ(harness.transport()->forceCancelCount(), isRequest(row) ? 1 : 0);
                EXPECT_EQ(finalText(*delegate), isRequest(row) ? harness.script().cancelText
                                                               : QStringLiteral("Synchronization Force Cancelled... "
                                                                                "Duplication Might Occur"));
            }
            const QVariantMap notice = harness.didFinishNotices().value(0);
            EXPECT_EQ(notice.value(QStringLiteral("HMSyncDidFinishErrorDescription")).toString(), finalText(*delegate));
            // Nothing is asked of the other side once the cancelled stage is over.
            const QStringList calls = harness.transport()->calls();
            if (row.stage < HMSyncStage::Logoff && row.stage > HMSyncStage::PrepareController) {
                EXPECT_FALSE(calls.contains(QStringLiteral("logoff"))) << calls.join(QLatin1Char(' ')).toStdString();
            }
            // An errored end leaves the profile's dates as they were.
            EXPECT_FALSE(harness.reloadProfile()->contactLastSyncDate().isValid());
        }
    }
}

TEST(HMSyncControllerErrors, ATransportErrorAtEveryStageEndsTheRunOnceWithItsText)
{
    for (const StageRow &row : kStageRows) {
        if (!row.call || *row.call == FakeCall::Cleanup)
            continue;
        SCOPED_TRACE(row.name);
        SyncRunHarness harness;
        harness.profile().setPurgeContactsOnNextSync(true);
        harness.saveProfile();
        harness.script().errorCode = 4;
        harness.script().errorText = QStringLiteral("The phone did not answer.");
        harness.script().answers.insert(*row.call, FakeAnswer::ReportError);
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);

        ASSERT_TRUE(harness.runToEnd(controller, delegate));

        expectEndedOnce(harness, *delegate);
        EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Errored);
        EXPECT_EQ(finalText(*delegate), QStringLiteral("The phone did not answer."));
        // Set-up reports its failure as its own error; requests carry the transport's code.
        EXPECT_EQ(finalError(*delegate), *row.call == FakeCall::Setup ? HMSyncError::Other : HMSyncError::NoNetworkConnection);
        EXPECT_EQ(harness.didFinishNotices().value(0).value(QStringLiteral("HMSyncDidFinishErrorDescription")).toString(),
                  QStringLiteral("The phone did not answer."));
        EXPECT_FALSE(harness.reloadProfile()->contactLastSyncDate().isValid());
    }
}

TEST(HMSyncControllerErrors, RefusalsWithoutAReasonEndAsUnknownErrors)
{
    const struct Row
    {
        const char *name;
        FakeCall call;
        FakeAnswer answer;
    } rows[] = {{"logon not started", FakeCall::Logon, FakeAnswer::RefuseCall},
                {"logoff not started", FakeCall::Logoff, FakeAnswer::RefuseCall},
                {"logoff answered no", FakeCall::Logoff, FakeAnswer::ReplyNo},
                {"list answered no", FakeCall::List, FakeAnswer::ReplyNo},
                {"update answered no", FakeCall::Update, FakeAnswer::ReplyNo},
                {"purge answered no", FakeCall::Purge, FakeAnswer::ReplyNo}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SyncRunHarness harness;
        harness.profile().setPurgeContactsOnNextSync(true);
        harness.saveProfile();
        harness.script().answers.insert(row.call, row.answer);
        auto delegate = std::make_shared<RecordingSyncDelegate>();
        auto controller = harness.makeController(delegate);

        ASSERT_TRUE(harness.runToEnd(controller, delegate));

        expectEndedOnce(harness, *delegate);
        EXPECT_EQ(delegate->finalStage.load(), HMSyncStage::Errored);
        EXPECT_EQ(finalError(*delegate), HMSyncError::Other);
        EXPECT_EQ(finalText(*delegate), QStringLiteral("Unknown Error"));
        EXPECT_EQ(harness.didFinishNotices().value(0).value(QStringLiteral("HMSyncDidFinishErrorCode")).toLongLong(), 6);
    }
}

TEST(HMSyncControllerErrors, RepliesAfterTheEndAreIgnored)
{
    SyncRunHarness harness;
    harness.script().answers.insert(FakeCall::List, FakeAnswer::ReportError);
    harness.saveProfile();
    auto delegate = std::make_shared<RecordingSyncDelegate>();
    auto controller = harness.makeController(delegate);
    ASSERT_TRUE(harness.runToEnd(controller, delegate));
    ASSERT_EQ(delegate->finalStage.load(), HMSyncStage::Errored);

    // A confused transport keeps answering from its own thread.
    std::thread late([&] {
        controller->logonCommandReturned(true, {});
        controller->listCommandFinishedSuccessful(true);
        controller->updateCommandReturnedSuccessful(true);
        controller->logoffCommandReturned(true);
        controller->commandErroredStopProcessing();
        controller->commandWasForceCancelled();
    });
    late.join();
    controller->syncQueue()->sync([] {});
    platform::DispatchQueue::runMainQueueUntilEmpty();

    expectEndedOnce(harness, *delegate);
    EXPECT_EQ(controller->syncStage(), HMSyncStage::Errored);
}

TEST(HMSyncControllerStart, OfTwoRunsStartedTogetherTheSecondIsRefused)
{
    SyncRunHarness harness;
    harness.saveProfile();
    auto firstDelegate = std::make_shared<RecordingSyncDelegate>();
    auto secondDelegate = std::make_shared<RecordingSyncDelegate>();
    auto first = harness.makeController(firstDelegate);
    auto second = harness.makeController(secondDelegate);

    std::barrier together(2);
    std::thread one([&] {
        together.arrive_and_wait();
        first->startProcessing();
    });
    std::thread two([&] {
        together.arrive_and_wait();
        second->startProcessing();
    });
    one.join();
    two.join();

    const bool firstWon = firstDelegate->startCount.load() == 1;
    const auto &winner = firstWon ? first : second;
    const auto &winnerDelegate = firstWon ? firstDelegate : secondDelegate;
    const auto &loserDelegate = firstWon ? secondDelegate : firstDelegate;
    ASSERT_TRUE(harness.waitForEnd(winner, winnerDelegate));

    EXPECT_EQ(loserDelegate->startCount.load(), 0);
    EXPECT_EQ(loserDelegate->finishCount.load(), 0);
    EXPECT_EQ(harness.didStartNotices(), 1);
    expectEndedOnce(harness, *winnerDelegate);
    EXPECT_EQ(winnerDelegate->finalStage.load(), HMSyncStage::Finished);
    EXPECT_EQ(harness.reloadProfile()->contactLastSyncDate(), SyncRunHarness::runTime());
}

TEST(HMSyncControllerNames, EventStoreSystemsAreTenEightAndLater)
{
    const struct Row
    {
        int major;
        int minor;
        bool eventKit;
    } rows[] = {{10, 7, false}, {10, 8, true}, {10, 15, true}, {11, 0, true}, {11, 7, true}, {12, 1, true}, {6, 1, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(QStringLiteral("%1.%2").arg(row.major).arg(row.minor).toStdString());
        EXPECT_EQ(HMSyncController::isEventKitSystem(platform::OperatingSystemVersion{row.major, row.minor, 0}), row.eventKit);
    }
}

// One value, the platform version the layers stand in for, decides the calendar store everywhere: the
// controller and the recurrence helper agree, on the kernel's version never.
TEST(HMSyncControllerNames, OneSystemVersionDecidesTheCalendarStoreEverywhere)
{
    const QByteArray saved = qgetenv("HM_PLATFORM_VERSION");
    const struct Row
    {
        const char *named; // nullptr: not set
        bool eventKit;
    } rows[] = {{nullptr, true}, {"10.7", false}, {"10.8", true}, {"10.15.2", true}, {"not a version", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.named == nullptr ? "unset" : row.named);
        if (row.named == nullptr)
            qunsetenv("HM_PLATFORM_VERSION");
        else
            qputenv("HM_PLATFORM_VERSION", row.named);
        EXPECT_EQ(HMSyncController::isEventKitSystem(platform::ProcessInfo::operatingSystemVersion()), row.eventKit);
        EXPECT_EQ(HMRRuleHelper::whichSDK(), row.eventKit ? HMCalendarSDK::EventKit : HMCalendarSDK::CalendarStore);
    }
    if (saved.isNull())
        qunsetenv("HM_PLATFORM_VERSION");
    else
        qputenv("HM_PLATFORM_VERSION", saved);
}
