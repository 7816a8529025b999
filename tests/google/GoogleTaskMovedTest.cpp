// Tasks that left the list the last sync saw them in, on Google: moved to another list, or dropped
// for good. Their Outlook edits and deletions are answered 404 by the old list; the sync looks for
// them in the other lists and writes there, or sends an edited task Google no longer holds as new
// once. Both peers as programs; the driver killed or its connection cut between the steps. After the
// next syncs every task is once on each side and a last sync writes nothing.
#include "GoogleTaskSync.h"

#include <QElapsedTimer>

namespace {

const QString kDefaultList = QStringLiteral("MDAwMTIzNDU2Nzg5OjA6MA");
const QString kWorkTaskPaths = kTasksPath + kWorkList + QStringLiteral("/tasks/*");

// Outlook ids by title, of a first sync's tasks.
struct Seeded
{
    QHash<QString, qint64> outlookIds;
};

// Four Outlook tasks synced once to Google's default list.
Seeded seedAndSyncOnce(TaskSync &sync, const QString &direction)
{
    Seeded seeded;
    for (const char *title : {"Moved", "Purged", "Moved and deleted", "Stays"})
        seeded.outlookIds.insert(QLatin1String(title), sync.addOutlookTask({{"name", QLatin1String(title)}}));
    sync.makeProfile([&direction](HMProfile &profile) { profile.setTaskSyncDirectionName(direction); });
    const DriverRun first = sync.sync();
    EXPECT_EQ(first.exitCode, 0) << first.output.toStdString();
    return seeded;
}

void moveOnGoogle(TaskSync &sync, const QString &title, const QString &to)
{
    const std::optional<QJsonObject> task = sync.googleTask(title);
    ASSERT_TRUE(task) << title.toStdString();
    const QByteArray answer = sync.google().control(
        "/peer/task-move", {{"email", kEmail}, {"id", (*task)["id"]}, {"from", kDefaultList}, {"to", to}});
    ASSERT_EQ(answer, "{}") << title.toStdString();
}

void editInOutlook(TaskSync &sync, const Seeded &seeded, const QString &title)
{
    sync.outlook().control({{"op", "edit"}, {"kind", "task"}, {"id", seeded.outlookIds.value(title)},
                            {"fields", QJsonObject{{"content", "edited in Outlook"}}}});
}

// On Google "Moved" and "Moved and deleted" go to "Work" and "Purged" is dropped; in Outlook "Moved"
// and "Purged" are edited and "Moved and deleted" deleted.
void moveEditAndDelete(TaskSync &sync, const Seeded &seeded)
{
    ASSERT_NO_FATAL_FAILURE(moveOnGoogle(sync, "Moved", kWorkList));
    ASSERT_NO_FATAL_FAILURE(moveOnGoogle(sync, "Moved and deleted", kWorkList));
    ASSERT_NO_FATAL_FAILURE(moveOnGoogle(sync, "Purged", QString()));
    editInOutlook(sync, seeded, "Moved");
    editInOutlook(sync, seeded, "Purged");
    sync.outlook().control({{"op", "delete"}, {"kind", "task"}, {"id", seeded.outlookIds.value("Moved and deleted")}});
}

// Syncs until one ends clean (at most three); every title once on each side, with the Outlook edits
// on Google, and a sync after that writes nothing.
void expectSyncsSettle(TaskSync &sync, const QStringList &titles, const QStringList &edited)
{
    DriverRun done;
    for (int round = 0; round < 3 && done.exitCode != 0; ++round)
        done = sync.sync();
    ASSERT_EQ(done.exitCode, 0) << done.output.toStdString();
    sync.expectEveryTitleOnceOnEachSide(titles);
    for (const QString &title : edited) {
        const std::optional<QJsonObject> task = sync.googleTask(title);
        ASSERT_TRUE(task);
        EXPECT_TRUE((*task)["notes"].toString().startsWith("edited in Outlook")) << title.toStdString();
    }
    sync.google().control("/peer/clear-requests");
    const DriverRun quiet = sync.sync();
    ASSERT_EQ(quiet.exitCode, 0) << quiet.output.toStdString();
    EXPECT_EQ(sync.googleTaskRequests(true), QStringList()) << quiet.output.toStdString();
}

// Waits until Google received a request of `method` on a path beginning with `prefix`.
bool waitForGoogleRequest(TaskSync &sync, const QString &method, const QString &prefix)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000) {
        for (const QJsonValue &value : sync.google().requests()) {
            const QJsonObject request = value.toObject();
            if (request["method"] == method && request["path"].toString().startsWith(prefix))
                return true;
        }
        QThread::msleep(50);
    }
    return false;
}

} // namespace

// A send-only profile reads nothing of Google's: the edited task moved to "Work" is found there and
// written there, the task deleted in Outlook is deleted in "Work", the edited task Google dropped is
// sent as new once. The run that finds the dropped one ends as not finished, saying so; the next one
// is clean.
TEST(GoogleTaskMoved, ASendOnlySyncFindsMovedTasksAndSendsADroppedOneAsNewOnce)
{
    TaskSync sync;
    const Seeded seeded = seedAndSyncOnce(sync, QStringLiteral("mac_to_device"));
    ASSERT_NO_FATAL_FAILURE(moveEditAndDelete(sync, seeded));

    sync.google().control("/peer/clear-requests");
    const DriverRun finding = sync.sync();
    EXPECT_EQ(finding.exitCode, 1) << finding.output.toStdString();
    EXPECT_TRUE(finding.output.contains("Google did not take 1 task change; the rest was synced, and these are sent "
                                        "again at the next sync."))
        << finding.output.toStdString();
    const std::optional<QJsonObject> moved = sync.googleTask("Moved");
    ASSERT_TRUE(moved);
    EXPECT_EQ((*moved)["list"].toString(), "Work");
    EXPECT_TRUE((*moved)["notes"].toString().startsWith("edited in Outlook"));
    EXPECT_FALSE(sync.googleTask("Moved and deleted"));
    // The writes: each refused by the old list, then the look-ups, then the writes to "Work".
    const QStringList writes = sync.googleTaskRequests(true);
    EXPECT_EQ(writes.filter(QRegularExpression("^PUT .*/lists/" + kWorkList + "/tasks/")).size(), 1) << writes.join(u'\n').toStdString();
    EXPECT_EQ(writes.filter(QRegularExpression("^DELETE .*/lists/" + kWorkList + "/tasks/")).size(), 1);
    EXPECT_EQ(writes.filter(QRegularExpression("^POST ")).size(), 0);

    expectSyncsSettle(sync, {"Moved", "Purged", "Stays"}, {"Moved", "Purged"});
    EXPECT_EQ((*sync.googleTask("Purged"))["list"].toString(), "My Tasks");
}

// A two-way profile reads the moved task from its new list and writes nothing for it; the edited task
// Google dropped (no deletion to read) is refused, looked for, and sent as new once.
TEST(GoogleTaskMoved, ATwoWaySyncSendsATaskGoogleDroppedAsNewOnce)
{
    TaskSync sync;
    const Seeded seeded = seedAndSyncOnce(sync, QStringLiteral("two_way"));
    ASSERT_NO_FATAL_FAILURE(moveOnGoogle(sync, "Moved", kWorkList));
    ASSERT_NO_FATAL_FAILURE(moveOnGoogle(sync, "Purged", QString()));
    editInOutlook(sync, seeded, "Purged");
    const DriverRun finding = sync.sync();
    EXPECT_EQ(finding.exitCode, 1) << finding.output.toStdString();
    expectSyncsSettle(sync, {"Moved", "Purged", "Stays", "Moved and deleted"}, {"Purged"});
    EXPECT_EQ((*sync.googleTask("Moved"))["list"].toString(), "Work");
}

namespace {

class GoogleTaskMovedFaults : public ::testing::TestWithParam<const char *>
{
};

} // namespace

// The send-only case again, its first run broken between the steps: the driver SIGKILLed while a
// look-up or the write to the found list is under way, a look-up cut or refused, the write to the
// found list cut after Google stored it. The next syncs settle it; nothing is lost or doubled.
TEST_P(GoogleTaskMovedFaults, TheNextSyncsSettleEveryTaskOnce)
{
    const QString fault = QString::fromLatin1(GetParam());
    TaskSync sync;
    const Seeded seeded = seedAndSyncOnce(sync, QStringLiteral("mac_to_device"));
    ASSERT_NO_FATAL_FAILURE(moveEditAndDelete(sync, seeded));
    sync.google().control("/peer/clear-requests");
    QThread::msleep(1100);
    if (fault.startsWith("kill-")) {
        // Slow answers on "Work" hold the run at the look-up (GET) or at the write it found (a write).
        const bool atLookup = fault == QLatin1String("kill-at-lookup");
        const int slowMs = 3000;
        sync.google().control("/peer/switch", {{"kind", "slow"}, {"path", kWorkTaskPaths}, {"slowMs", slowMs},
                                               {"method", atLookup ? "GET" : "write"}});
        QProcess driver;
        sync.start(driver);
        ASSERT_TRUE(waitForGoogleRequest(sync, atLookup ? "GET" : "PUT", kTasksPath + kWorkList + "/tasks/"));
        driver.kill();
        ASSERT_TRUE(driver.waitForFinished(60000));
        // A write held by the switch is stored when its wait ends, the driver gone or not.
        QThread::msleep(slowMs + 500);
    } else {
        const bool onLookup = fault.endsWith(QLatin1String("-lookup"));
        sync.google().control("/peer/switch", {{"kind", fault.section(u'-', 0, fault.count(u'-') - 1)},
                                               {"path", kWorkTaskPaths}, {"times", 1},
                                               {"method", onLookup ? "GET" : "PUT"}});
        const DriverRun broken = sync.run();
        EXPECT_EQ(broken.exitCode, 1) << broken.output.toStdString();
    }
    sync.google().control("/peer/clear-switches");
    expectSyncsSettle(sync, {"Moved", "Purged", "Stays"}, {"Moved", "Purged"});
}

INSTANTIATE_TEST_SUITE_P(Steps, GoogleTaskMovedFaults,
                         ::testing::Values("kill-at-lookup", "kill-at-write", "cut-before-lookup", "500-lookup",
                                           "cut-after-write", "cut-before-write"),
                         faultKindName);
