// Google-direct task syncs end to end: the sync driver as a program between the simulated Outlook and
// the Google peer, both programs of their own. Tasks with due dates, notes and completion travel both
// ways in two lists; a list longer than a page arrives whole; a second sync sends nothing; deletions
// follow the rule; kills and cut connections double and lose nothing; an endless or oversize page
// ends the run with a clear error.
#include "GoogleTaskSync.h"


#include <gtest/gtest.h>

#include <cctype>

namespace {

QDate outlookDueDay(const QJsonObject &task)
{
    return QDateTime::fromString(task["dueDate"].toString(), Qt::ISODate).toLocalTime().date();
}

class GoogleTaskZones : public ::testing::TestWithParam<const char *>
{
};

std::string zoneName(const ::testing::TestParamInfo<const char *> &info)
{
    return QString::fromLatin1(info.param).replace(u'/', u'_').toStdString();
}

} // namespace

// Due dates, notes and completion both ways, in the default list and in "Work" (Outlook's category of
// that name), in three zones; a second sync sends nothing and changes nothing; then completion, edits
// and deletions travel both ways, a task of "Work" written in its list whatever its categories say.
TEST_P(GoogleTaskZones, TasksTravelBothWaysInTwoListsAndASecondSyncSendsNothing)
{
    TaskSync sync(QString::fromLatin1(GetParam()));
    sync.makeProfile();
    const qint64 archive = sync.addOutlookTask({{"name", "Archive files"}, {"categories", QJsonArray{5}}});
    sync.addOutlookTask({{"name", "Quarterly report"}, {"content", "draft\nreview"}, {"dueDate", localDay(2027, 3, 1)}});
    sync.addOutlookTask({{"name", "Done already"}, {"completed", true}});
    const qint64 plan = sync.addOutlookTask({{"name", "Plan sprint"}, {"categories", QJsonArray{5}}, {"dueDate", localDay(2027, 4, 5)}});
    const QString milk = sync.putGoogleTask({{"title", "Buy milk"}, {"notes", "two litres"}, {"due", "2027-05-06T00:00:00.000Z"}});
    sync.putGoogleTask({{"title", "Paid bill"}, {"status", "completed"}});
    const QString review = sync.putGoogleTask({{"title", "Review code"}, {"notes", "branch x"}}, kWorkList);

    const DriverRun first = sync.sync();
    ASSERT_EQ(first.exitCode, 0) << first.output.toStdString();
    const QStringList titles{"Quarterly report", "Done already", "Plan sprint", "Buy milk", "Paid bill", "Review code",
                             "Archive files"};
    sync.expectEveryTitleOnceOnEachSide(titles);

    // Outlook's tasks on Google: the due day, the note, completion, the list by category.
    const std::optional<QJsonObject> report = sync.googleTask("Quarterly report");
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["due"].toString(), "2027-03-01T00:00:00.000Z");
    EXPECT_TRUE((*report)["notes"].toString().startsWith("draft")) << (*report)["notes"].toString().toStdString();
    EXPECT_EQ((*report)["status"].toString(), "needsAction");
    EXPECT_EQ((*report)["list"].toString(), "My Tasks");
    EXPECT_EQ((*sync.googleTask("Done already"))["status"].toString(), "completed");
    EXPECT_EQ((*sync.googleTask("Plan sprint"))["list"].toString(), "Work");
    // Google's tasks in Outlook.
    const std::optional<QJsonObject> milkInOutlook = sync.outlookTask("Buy milk");
    ASSERT_TRUE(milkInOutlook);
    EXPECT_EQ(outlookDueDay(*milkInOutlook), QDate(2027, 5, 6));
    EXPECT_TRUE((*milkInOutlook)["content"].toString().startsWith("two litres"));
    EXPECT_FALSE((*milkInOutlook)["completed"].toBool());
    EXPECT_TRUE((*sync.outlookTask("Paid bill"))["completed"].toBool());
    EXPECT_EQ((*sync.outlookTask("Review code"))["categories"].toArray(), QJsonArray{5});

    sync.google().control("/peer/clear-requests");
    const QJsonArray outlookBefore = sync.outlookTasks();
    const DriverRun second = sync.sync();
    ASSERT_EQ(second.exitCode, 0) << second.output.toStdString();
    EXPECT_EQ(sync.googleTaskRequests(true), QStringList()) << second.output.toStdString();
    EXPECT_EQ(sync.outlookTasks(), outlookBefore);

    // Completion and edits both ways; a deletion each way.
    sync.outlook().control({{"op", "edit"}, {"kind", "task"}, {"id", plan},
                            {"fields", QJsonObject{{"completed", true}, {"categories", QJsonArray{}}}}});
    sync.outlook().control({{"op", "delete"}, {"kind", "task"}, {"id", archive}});
    sync.putGoogleTask({{"id", milk}, {"status", "completed"}, {"notes", "three litres"}});
    sync.putGoogleTask({{"id", review}, {"deleted", true}}, kWorkList);
    const std::optional<QJsonObject> done = sync.outlookTask("Done already");
    ASSERT_TRUE(done);
    sync.outlook().control({{"op", "delete"}, {"kind", "task"}, {"id", (*done)["id"]}});
    ASSERT_EQ(sync.sync().exitCode, 0);
    ASSERT_EQ(sync.sync().exitCode, 0);
    sync.expectEveryTitleOnceOnEachSide({"Quarterly report", "Plan sprint", "Buy milk", "Paid bill"});
    EXPECT_EQ((*sync.googleTask("Plan sprint"))["status"].toString(), "completed");
    EXPECT_EQ((*sync.googleTask("Plan sprint"))["list"].toString(), "Work");
    EXPECT_TRUE((*sync.outlookTask("Buy milk"))["completed"].toBool());
    EXPECT_TRUE((*sync.outlookTask("Buy milk"))["content"].toString().startsWith("three litres"));
}

INSTANTIATE_TEST_SUITE_P(Zones, GoogleTaskZones, ::testing::Values("America/Los_Angeles", "Europe/Berlin", "Asia/Kolkata"),
                         zoneName);

// 250 tasks in one list arrive whole (Google answers 100 a page); the pages follow "nextPageToken".
// 250 Outlook tasks go up in one batch; the next sync sends nothing.
TEST(GoogleTaskSync, TwoHundredFiftyTasksInOneListArriveWholeBothWays)
{
    TaskSync sync;
    sync.makeProfile();
    QStringList titles;
    for (int index = 0; index < 250; ++index) {
        titles << QStringLiteral("Google %1").arg(index);
        sync.putGoogleTask({{"title", titles.last()}});
    }
    for (int index = 0; index < 250; ++index) {
        titles << QStringLiteral("Outlook %1").arg(index);
        sync.addOutlookTask({{"name", titles.last()}});
    }
    sync.google().control("/peer/clear-requests");
    const DriverRun first = sync.sync();
    ASSERT_EQ(first.exitCode, 0) << first.output.right(3000).toStdString();
    const QStringList pages = sync.googleTaskRequests(false).filter(QRegularExpression("^GET .*MDAwMTIzNDU2Nzg5OjA6MA/tasks\\?"));
    ASSERT_EQ(pages.size(), 3) << pages.join(u'\n').toStdString();
    EXPECT_TRUE(pages[0].endsWith("/tasks?maxResults=100000")) << pages[0].toStdString();
    EXPECT_TRUE(pages[1].contains("/tasks?maxResults=100000&pageToken=")) << pages[1].toStdString();
    // The peer's tokens end in "=": they go as "%3D".
    EXPECT_TRUE(pages[2].endsWith("%3D")) << pages[2].toStdString();
    sync.expectEveryTitleOnceOnEachSide(titles);
    sync.google().control("/peer/clear-requests");
    ASSERT_EQ(sync.sync().exitCode, 0);
    EXPECT_EQ(sync.googleTaskRequests(true), QStringList());
    sync.expectEveryTitleOnceOnEachSide(titles);
}

// Deletions by the rule: with Outlook's deletions kept from Google, a task deleted in Outlook stays on
// Google; with Google's kept from Outlook, a task deleted on Google stays in Outlook.
TEST(GoogleTaskSync, DeletionsFollowTheDeletionRule)
{
    TaskSync sync;
    sync.makeProfile([](HMProfile &profile) { profile.setSyncDeletionsName(QStringLiteral("Deletions from Outlook will be deleted")); });
    const qint64 outlookOnly = sync.addOutlookTask({{"name", "From Outlook"}});
    const QString googleOnly = sync.putGoogleTask({{"title", "From Google"}});
    ASSERT_EQ(sync.sync().exitCode, 0);
    sync.expectEveryTitleOnceOnEachSide({"From Outlook", "From Google"});
    // Google's deletions are refused: the Outlook task stays.
    sync.putGoogleTask({{"id", googleOnly}, {"deleted", true}});
    ASSERT_EQ(sync.sync().exitCode, 0);
    EXPECT_TRUE(sync.outlookTask("From Google"));
    // Outlook's deletions go.
    sync.outlook().control({{"op", "delete"}, {"kind", "task"}, {"id", outlookOnly}});
    ASSERT_EQ(sync.sync().exitCode, 0);
    EXPECT_FALSE(sync.googleTask("From Outlook"));
}

// An endless list (every page names the same next page) and an oversize page end the run with a clear
// error; nothing reaches Outlook and no date moves, so the next sync brings every task once.
TEST(GoogleTaskSync, AnEndlessOrOversizePageEndsTheRunWithAClearError)
{
    TaskSync sync;
    sync.makeProfile();
    QStringList titles;
    for (int index = 0; index < 5; ++index) {
        titles << QStringLiteral("Task %1").arg(index);
        sync.putGoogleTask({{"title", titles.last()}});
    }
    const QString path = QStringLiteral("/tasks/v1/lists/MDAwMTIzNDU2Nzg5OjA6MA/tasks");
    sync.google().control("/peer/switch", {{"kind", "repeated-page-token"}, {"path", path}, {"times", 0}});
    const DriverRun endless = sync.sync();
    EXPECT_NE(endless.exitCode, 0);
    EXPECT_TRUE(endless.output.contains("Google's list of tasks does not end")) << endless.output.toStdString();
    EXPECT_TRUE(sync.outlookTasks().isEmpty());
    sync.google().control("/peer/clear-switches");
    sync.google().control("/peer/switch", {{"kind", "oversize"}, {"path", path}, {"times", 1}, {"oversizeBytes", 64.0 * 1024 * 1024}});
    const DriverRun oversize = sync.sync();
    EXPECT_NE(oversize.exitCode, 0);
    EXPECT_TRUE(oversize.output.contains("sheet completed: ERROR: ")) << oversize.output.right(2000).toStdString();
    EXPECT_TRUE(sync.outlookTasks().isEmpty());
    sync.google().control("/peer/clear-switches");
    ASSERT_EQ(sync.sync().exitCode, 0);
    sync.expectEveryTitleOnceOnEachSide(titles);
}

namespace {

// A task kill trial: a kill point of the driver ("{half}" is half the tasks of each side) or a cut (a
// switch on the write paths, or a kill at a random moment).
struct TaskTrial
{
    const char *killAt;
    const char *cut;
};

void PrintTo(const TaskTrial &trial, std::ostream *out)
{
    *out << trial.killAt << trial.cut;
}

class GoogleTaskKillTrial : public ::testing::TestWithParam<TaskTrial>
{
};

std::string taskTrialName(const ::testing::TestParamInfo<TaskTrial> &info)
{
    std::string name = std::string(info.param.killAt) + info.param.cut;
    for (char &c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

} // namespace

// A first sync of N tasks each way (HM_KILL_TRIAL_TASKS), the driver killed at its task steps or as it
// enters a task stage, or its connection cut, one test each; after two normal syncs each task is
// exactly once on each side.
TEST_P(GoogleTaskKillTrial, LeavesEveryTaskOnceOnEachSide)
{
    const int count = qEnvironmentVariableIsSet("HM_KILL_TRIAL_TASKS") ? qEnvironmentVariableIntValue("HM_KILL_TRIAL_TASKS") : 8;
    const struct
    {
        QString killAt;
        QString cut;
    } trial{QString::fromLatin1(GetParam().killAt).replace(QLatin1String("{half}"), QString::number(count / 2)),
            QString::fromLatin1(GetParam().cut)};
    TaskSync sync;
    QStringList titles;
    for (int index = 0; index < count; ++index) {
        titles << QStringLiteral("Outlook %1").arg(index);
        QJsonObject task{{"name", titles.last()}, {"dueDate", localDay(2027, 2, 1 + index % 28)}};
        if (index % 3 == 0)
            task.insert("categories", QJsonArray{5});
        sync.addOutlookTask(task);
    }
    for (int index = 0; index < count; ++index) {
        titles << QStringLiteral("Google %1").arg(index);
        sync.putGoogleTask({{"title", titles.last()}, {"notes", "note"}}, index % 2 == 0 ? QStringLiteral("@default") : kWorkList);
    }
    sync.makeProfile();
    const QString insertPath = kTasksPath + QStringLiteral("MDAwMTIzNDU2Nzg5OjA6MA/tasks");
    if (trial.cut == "random" || trial.cut == "peer-killed") {
        // Slow answers stretch the upload over the moments a kill may fall on: of the driver, or of
        // Google (which keeps its state and comes back on the same port).
        sync.google().control("/peer/switch", {{"kind", "slow"}, {"path", insertPath}, {"slowMs", 150}});
        QProcess driver;
        sync.start(driver);
        sleepUntilARandomMoment(qPrintable(trial.cut));
        if (trial.cut == "random") {
            driver.kill();
        } else {
            sync.google().kill();
            sync.google().start();
        }
        ASSERT_TRUE(driver.waitForFinished(120000));
        sync.google().control("/peer/clear-switches");
    } else {
        QThread::msleep(1100);
        if (trial.cut == "cut-after-fresh") {
            // A Google change just before the sync: the lost insert's "updated" lies within a second
            // or two of the latest one the reading saw, and must still be read next time.
            titles << QStringLiteral("Fresh on Google");
            sync.putGoogleTask({{"title", titles.last()}});
        }
        if (!trial.cut.isEmpty())
            sync.google().control("/peer/switch", {{"kind", trial.cut.section(u'-', 0, 1)}, {"path", insertPath},
                                                   {"skip", 1}, {"times", 1}});
        QMap<QString, QString> environment{{"HM_SYNC_LOG_LEVEL", "error"}};
        if (trial.killAt.startsWith("stage:"))
            environment = {{"HM_GOOGLE_KILL_AT_STAGE", trial.killAt.mid(6)}};
        else if (!trial.killAt.isEmpty())
            environment = {{"HM_SYNC_KILL_AT", trial.killAt}};
        const DriverRun first = sync.run({}, environment);
        if (!trial.killAt.isEmpty())
            EXPECT_EQ(first.exitCode, -9) << first.output.toStdString();
        else
            EXPECT_TRUE(first.output.contains("Not every task change was taken by Google")) << first.output.toStdString();
        sync.google().control("/peer/clear-switches");
    }
    const DriverRun second = sync.sync();
    ASSERT_EQ(second.exitCode, 0) << second.output.toStdString();
    const DriverRun third = sync.sync();
    ASSERT_EQ(third.exitCode, 0) << third.output.toStdString();
    sync.expectEveryTitleOnceOnEachSide(titles);
}

INSTANTIATE_TEST_SUITE_P(FirstSyncs, GoogleTaskKillTrial,
                         ::testing::Values(TaskTrial{"outlook-tasks-paired:{half}", ""}, TaskTrial{"outlook-tasks-read:1", ""},
                                           TaskTrial{"outlook-tasks-confirmed:{half}", ""},
                                           TaskTrial{"outlook-tasks-committed:1", ""},
                                           TaskTrial{"outlook-tasks-written:{half}", ""}, TaskTrial{"", "cut-before"},
                                           TaskTrial{"", "cut-after"}, TaskTrial{"", "500"}, TaskTrial{"", "random"},
                                           TaskTrial{"", "peer-killed"}, TaskTrial{"stage:readOutlookTasks", ""},
                                           TaskTrial{"stage:endSync", ""}, TaskTrial{"", "cut-after-fresh"}),
                         taskTrialName);

// A reread of Google (the profile's reread flag) asks for every list whole, without "updatedMin", and
// applies every task again: nothing is doubled on either side and nothing goes back to Google.
TEST(GoogleTaskSync, ARereadOfGoogleReadsEveryListWholeAndDoublesNothing)
{
    TaskSync sync;
    sync.makeProfile();
    sync.addOutlookTask({{"name", "From Outlook"}, {"dueDate", localDay(2027, 6, 1)}});
    sync.putGoogleTask({{"title", "From Google"}, {"notes", "n"}});
    sync.putGoogleTask({{"title", "At work"}}, kWorkList);
    ASSERT_EQ(sync.sync().exitCode, 0);
    ASSERT_EQ(sync.sync().exitCode, 0);
    sync.editProfile([](HMProfile &profile) { profile.setRereadDeviceOnNextSync(true); });
    sync.google().control("/peer/clear-requests");
    const DriverRun reread = sync.sync();
    ASSERT_EQ(reread.exitCode, 0) << reread.output.toStdString();
    const QStringList reads = sync.googleTaskRequests(false).filter(QRegularExpression("^GET .*/tasks\\?"));
    EXPECT_EQ(reads.size(), 2) << reads.join(u'\n').toStdString();
    for (const QString &read : reads)
        EXPECT_TRUE(read.endsWith("/tasks?maxResults=100000")) << read.toStdString();
    EXPECT_EQ(sync.googleTaskRequests(true), QStringList());
    ASSERT_EQ(sync.sync().exitCode, 0);
    sync.expectEveryTitleOnceOnEachSide({"From Outlook", "From Google", "At work"});
}
