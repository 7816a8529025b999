// Send-only task profiles (Outlook to Google): Google's tasks are never read into Outlook, so a task
// insert whose answer never came cannot be paired by the usual reading. These runs cut or kill the
// first sync at its inserts and check that, after the next syncs, every Outlook task is on Google
// exactly once and Google's own tasks stay where they are.
#include "GoogleTaskSync.h"


namespace {

constexpr int kTrialTasks = 8;
const QStringList kGoogleTitles{"Google 0", "Google 1"};

// Outlook's tasks and Google's own in a send-only profile; answers Outlook's titles.
QStringList seedTrial(TaskSync &sync)
{
    QStringList titles;
    for (int index = 0; index < kTrialTasks; ++index) {
        titles << QStringLiteral("Outlook %1").arg(index);
        QJsonObject task{{"name", titles.last()}};
        if (index % 3 == 0)
            task.insert("categories", QJsonArray{5});
        sync.addOutlookTask(task);
    }
    sync.putGoogleTask({{"title", kGoogleTitles[0]}, {"notes", "note"}});
    sync.putGoogleTask({{"title", kGoogleTitles[1]}}, kWorkList);
    sync.makeProfile([](HMProfile &profile) { profile.setTaskSyncDirectionName(QStringLiteral("mac_to_device")); });
    return titles;
}

// Two syncs after the broken one: every task once where it belongs; a sync after that writes nothing.
void expectTwoSyncsMendIt(TaskSync &sync, const QStringList &titles)
{
    for (int round = 0; round < 2; ++round) {
        const DriverRun done = sync.sync();
        ASSERT_EQ(done.exitCode, 0) << done.output.toStdString();
    }
    QHash<QString, int> inOutlook;
    for (const QJsonValue &task : sync.outlookTasks())
        ++inOutlook[task.toObject()["name"].toString()];
    QHash<QString, int> onGoogle;
    for (const QJsonObject &task : sync.googleTasks())
        ++onGoogle[task["title"].toString()];
    for (const QString &title : titles) {
        EXPECT_EQ(inOutlook.value(title), 1) << "Outlook " << title.toStdString();
        EXPECT_EQ(onGoogle.value(title), 1) << "Google " << title.toStdString();
    }
    for (const QString &title : kGoogleTitles) {
        EXPECT_EQ(onGoogle.value(title), 1) << "Google " << title.toStdString();
        EXPECT_EQ(inOutlook.value(title), 0) << "Outlook " << title.toStdString();
    }
    EXPECT_EQ(onGoogle.size(), titles.size() + kGoogleTitles.size());
    EXPECT_EQ(inOutlook.size(), titles.size());
    sync.google().control("/peer/clear-requests");
    const DriverRun quiet = sync.sync();
    ASSERT_EQ(quiet.exitCode, 0) << quiet.output.toStdString();
    EXPECT_TRUE(sync.googleTaskRequests(true).isEmpty()) << sync.googleTaskRequests(true).join(u'\n').toStdString();
}

} // namespace

const QString kInsertPath = kTasksPath + QStringLiteral("MDAwMTIzNDU2Nzg5OjA6MA/tasks");

// The first sync has a task insert cut after Google stored it (its answer never comes), cut before,
// or refused with a 500.
class GoogleSendOnlyTaskCuts : public ::testing::TestWithParam<const char *>
{
};

TEST_P(GoogleSendOnlyTaskCuts, AnInsertWhoseAnswerNeverCameIsPairedNotSentAgain)
{
    TaskSync sync;
    const QStringList titles = seedTrial(sync);
    sync.google().control("/peer/switch", {{"kind", GetParam()}, {"path", kInsertPath}, {"skip", kTrialTasks / 2}, {"times", 1}});
    const DriverRun broken = sync.run({}, {{"HM_SYNC_LOG_LEVEL", "error"}});
    EXPECT_TRUE(broken.output.contains("Not every task change was taken by Google")) << broken.output.toStdString();
    sync.google().control("/peer/clear-switches");
    expectTwoSyncsMendIt(sync, titles);
}

INSTANTIATE_TEST_SUITE_P(Cuts, GoogleSendOnlyTaskCuts, ::testing::Values("cut-after", "cut-before", "500"),
                         faultKindName);

// The first sync killed (SIGKILL) after half its pairs were kept, and at a random moment of a slowed
// upload.
TEST(GoogleSendOnlyTasks, AKilledFirstSyncLeavesEveryTaskOnceOnGoogle)
{
    for (const char *kill : {"outlook-tasks-confirmed:4", "random"}) {
        SCOPED_TRACE(kill);
        TaskSync sync;
        const QStringList titles = seedTrial(sync);
        if (QLatin1String(kill) == QLatin1String("random")) {
            ASSERT_NO_FATAL_FAILURE(
                killDuringSlowWrites(sync.google(), kInsertPath, [&](QProcess &driver) { sync.start(driver); }));
        } else {
            const DriverRun killed = sync.run({}, {{"HM_SYNC_KILL_AT", kill}});
            EXPECT_EQ(killed.exitCode, -9) << killed.output.toStdString();
        }
        expectTwoSyncsMendIt(sync, titles);
    }
}

namespace {

// An Outlook task without title or note, told by its due day, beside a titled one, in a profile of
// the direction given.
void seedUntitledTrial(TaskSync &sync, const char *direction)
{
    sync.addOutlookTask({{"name", ""}, {"dueDate", localDay(2027, 3, 1)}});
    sync.addOutlookTask({{"name", "Titled"}});
    sync.makeProfile([direction](HMProfile &profile) { profile.setTaskSyncDirectionName(QLatin1String(direction)); });
}

// A sync whose every insert Google stores and never answers (the connection cut after it).
void cutEveryInsertAfterItIsStored(TaskSync &sync, qsizetype googleTasks)
{
    sync.google().control("/peer/switch", {{"kind", "cut-after"}, {"path", kInsertPath}, {"method", "POST"}});
    const DriverRun broken = sync.run({}, {{"HM_SYNC_LOG_LEVEL", "error"}});
    EXPECT_TRUE(broken.output.contains("Not every task change was taken by Google")) << broken.output.toStdString();
    ASSERT_EQ(sync.googleTasks().size(), googleTasks);
    sync.google().control("/peer/clear-switches");
}

// Two syncs, then a third that writes nothing to Google.
void syncTwiceThenQuietly(TaskSync &sync)
{
    for (int round = 0; round < 2; ++round) {
        const DriverRun done = sync.sync();
        ASSERT_EQ(done.exitCode, 0) << done.output.toStdString();
    }
    sync.google().control("/peer/clear-requests");
    const DriverRun quiet = sync.sync();
    ASSERT_EQ(quiet.exitCode, 0) << quiet.output.toStdString();
    EXPECT_TRUE(sync.googleTaskRequests(true).isEmpty()) << sync.googleTaskRequests(true).join(u'\n').toStdString();
}

} // namespace

// A task without title or note whose insert Google stored and never answered, beside a titled one: the
// next send-only sync pairs it, so Google holds each once and a sync after that writes nothing.
TEST(GoogleSendOnlyTasks, ATaskWithoutTitleWhoseAnswerWasLostIsNotSentTwice)
{
    TaskSync sync;
    seedUntitledTrial(sync, "mac_to_device");
    ASSERT_NO_FATAL_FAILURE(cutEveryInsertAfterItIsStored(sync, 2));
    ASSERT_NO_FATAL_FAILURE(syncTwiceThenQuietly(sync));
    EXPECT_EQ(sync.googleTasks().size(), 2);
}

// The same in a two-way profile, whose reading of Google never applies a task without a title to
// Outlook (Google keeps blank tasks a user never meant: its own blank one stays on Google only). The
// untitled insert whose answer was lost (cut after Google stored it, or a random kill of slowed
// inserts) is paired by that reading all the same: each task is once on each side, and a sync after
// that writes nothing.
TEST(GoogleSendOnlyTasks, ATwoWaySyncPairsATaskWithoutTitleWhoseAnswerWasLost)
{
    for (const char *fault : {"cut-after", "random"}) {
        SCOPED_TRACE(fault);
        TaskSync sync;
        sync.putGoogleTask({{"title", ""}});
        seedUntitledTrial(sync, "two_way");
        if (QLatin1String(fault) == QLatin1String("random"))
            ASSERT_NO_FATAL_FAILURE(
                killDuringSlowWrites(sync.google(), kInsertPath, [&](QProcess &driver) { sync.start(driver); }));
        else
            ASSERT_NO_FATAL_FAILURE(cutEveryInsertAfterItIsStored(sync, 3));
        ASSERT_NO_FATAL_FAILURE(syncTwiceThenQuietly(sync));
        QStringList onGoogle;
        for (const QJsonObject &task : sync.googleTasks())
            onGoogle << task["title"].toString() + u'|' + task["due"].toString().left(10);
        onGoogle.sort();
        EXPECT_EQ(onGoogle, (QStringList{"Titled|", "|", "|2027-03-01"})) << onGoogle.join(u'\n').toStdString();
        QStringList inOutlook;
        for (const QJsonValue &task : sync.outlookTasks())
            inOutlook << task.toObject()["name"].toString();
        inOutlook.sort();
        EXPECT_EQ(inOutlook, (QStringList{"", "Titled"}));
    }
}
