// Google-direct task syncs end to end: the sync driver as a program between the simulated Outlook and
// the Google peer, both programs of their own. Tasks with due dates, notes and completion travel both
// ways in two lists; a list longer than a page arrives whole; a second sync sends nothing; deletions
// follow the rule; kills and cut connections double and lose nothing; an endless or oversize page
// ends the run with a clear error.
#include "GoogleTaskSyncFixture.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

// Local midnight of the day, as Outlook keeps a due day.
QString localDay(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(0, 0), QTimeZone::systemTimeZone()).toString(Qt::ISODate);
}

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

// A first sync of N tasks each way, the driver killed at its task steps or as it enters a task stage, or
// its connection cut; after two normal syncs each task is exactly once on each side.
TEST(GoogleTaskSync, KilledOrCutFirstSyncsLeaveEveryTaskOnceOnEachSide)
{
    const int count = qEnvironmentVariableIsSet("HM_KILL_TRIAL_TASKS") ? qEnvironmentVariableIntValue("HM_KILL_TRIAL_TASKS") : 8;
    struct Trial
    {
        QString killAt;
        QString cut; // a switch on the write paths, or a kill at a random moment
    };
    const QString half = QString::number(count / 2);
    const QList<Trial> trials{{"outlook-tasks-paired:" + half, {}},   {"outlook-tasks-read:1", {}},
                              {"outlook-tasks-confirmed:" + half, {}}, {"outlook-tasks-committed:1", {}},
                              {"outlook-tasks-written:" + half, {}},  {{}, "cut-before"},
                              {{}, "cut-after"},                      {{}, "500"},
                              {{}, "random"},                         {{}, "peer-killed"},
                              {"stage:readOutlookTasks", {}},         {"stage:endSync", {}},
                              {{}, "cut-after-fresh"}};
    for (const Trial &trial : trials) {
        SCOPED_TRACE((trial.killAt + trial.cut).toStdString());
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
            const int delay = 300 + int(QRandomGenerator::global()->bounded(2500));
            std::printf("%s after %d ms\n", qPrintable(trial.cut), delay);
            QThread::msleep(delay);
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
}

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

namespace {

// An entry as a person's client would send it to Google.
QByteArray googleContactEntry(const QString &given, const QString &family)
{
    return QStringLiteral("<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' "
                          "xmlns:gContact='http://schemas.google.com/contact/2008'><gd:name><gd:givenName>%1</gd:givenName>"
                          "<gd:familyName>%2</gd:familyName><gd:fullName>%1 %2</gd:fullName></gd:name>"
                          "<gContact:groupMembershipInfo deleted='false' "
                          "href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/></entry>")
        .arg(given, family)
        .toUtf8();
}

// Names of the records each side holds, by kind: Outlook's contacts (last names), events (subjects) and
// tasks; Google's contacts (family names), events (summaries) and tasks, deleted ones left out.
QHash<QString, int> outlookNames(TaskSync &sync)
{
    QHash<QString, int> names;
    const QJsonObject state = sync.outlook().dump();
    for (const QJsonValue &contact : state["contacts"].toArray())
        ++names["contact " + contact.toObject()["lastName"].toString()];
    for (const QJsonValue &event : state["events"].toArray())
        ++names["event " + event.toObject()["subject"].toString()];
    for (const QJsonValue &task : state["tasks"].toArray())
        ++names["task " + task.toObject()["name"].toString()];
    return names;
}

QHash<QString, int> googleNames(TaskSync &sync)
{
    QHash<QString, int> names;
    const QJsonObject account =
        QJsonDocument::fromJson(sync.google().control("/peer/dump")).object()["accounts"].toObject()[kEmail].toObject();
    const QJsonObject contacts = account["contacts"].toObject();
    for (auto it = contacts.begin(); it != contacts.end(); ++it) {
        if (it.value().toObject()["deleted"].toBool())
            continue;
        const QString body = it.value().toObject()["body"].toString();
        const qsizetype start = body.indexOf("<gd:familyName>") + 15;
        ++names["contact " + body.mid(start, body.indexOf("</gd:familyName>") - start)];
    }
    const QJsonObject events = account["events"].toObject()["primary"].toObject();
    for (auto it = events.begin(); it != events.end(); ++it) {
        if (it.value().toObject()["status"].toString() != QLatin1String("cancelled"))
            ++names["event " + it.value().toObject()["summary"].toString()];
    }
    for (const QJsonObject &task : sync.googleTasks())
        ++names["task " + task["title"].toString()];
    return names;
}

} // namespace

// The whole road, all three conduits: the run SIGKILLed as it enters each stage of its first sync; after
// two normal syncs every contact, event and task is exactly once on each side.
TEST(GoogleWholeRoad, KilledAtEveryStageBoundaryLeavesEveryRecordOnceOnEachSide)
{
    const QStringList stages{"retrieveTokens",  "purge",           "readGoogleContacts", "readGoogleContactPhotos",
                             "readOutlookContacts", "readGoogleCalendar", "readOutlookCalendar", "readGoogleTasks",
                             "readOutlookTasks", "endSync"};
    for (const QString &stage : stages) {
        SCOPED_TRACE(stage.toStdString());
        TaskSync sync;
        QStringList expected;
        for (int index = 0; index < 3; ++index) {
            const QString tag = QString::number(index);
            const QString day = "2027-06-0" + QString::number(index + 1);
            sync.outlook().control({{"op", "add"}, {"kind", "contact"},
                                    {"record", QJsonObject{{"folder", 1}, {"firstName", "Ann"}, {"lastName", "Outlook" + tag}}}});
            httplib::SSLClient client("127.0.0.1", sync.google().port);
            client.set_ca_cert_path(sync.google().caFile.toLocal8Bit().constData());
            const auto added = client.Post("/peer/contact?email=me%40example.com&action=add&id=",
                                           googleContactEntry("Bob", "Google" + tag).toStdString(), "application/atom+xml");
            EXPECT_TRUE(added && added->status == 200);
            sync.outlook().control({{"op", "add"}, {"kind", "event"},
                                    {"record", QJsonObject{{"folder", 2}, {"subject", "Outlook event " + tag},
                                                           {"start", localDay(2027, 5, 3 + index)},
                                                           {"end", QDateTime::fromString(localDay(2027, 5, 3 + index), Qt::ISODate)
                                                                       .addSecs(3600).toString(Qt::ISODate)},
                                                           {"zone", QString::fromUtf8(QTimeZone::systemTimeZoneId())}}}});
            sync.google().control("/peer/event", {{"email", kEmail}, {"calendarId", "primary"},
                                                  {"event", QJsonObject{{"id", "road000" + tag}, {"summary", "Google event " + tag},
                                                                        {"start", QJsonObject{{"dateTime", day + "T09:00:00Z"}}},
                                                                        {"end", QJsonObject{{"dateTime", day + "T10:00:00Z"}}}}}});
            sync.addOutlookTask({{"name", "Outlook task " + tag}});
            sync.putGoogleTask({{"title", "Google task " + tag}}, index % 2 ? kWorkList : QStringLiteral("@default"));
            expected << "contact Outlook" + tag << "contact Google" + tag << "event Outlook event " + tag
                     << "event Google event " + tag << "task Outlook task " + tag << "task Google task " + tag;
        }
        sync.makeProfile([](HMProfile &profile) {
            profile.setContactSyncEnabled(true);
            profile.setCalendarSyncEnabled(true);
        });
        QThread::msleep(1100);
        const DriverRun killed = sync.run({}, {{"HM_GOOGLE_KILL_AT_STAGE", stage}});
        EXPECT_EQ(killed.exitCode, -9) << killed.output.toStdString();
        const DriverRun second = sync.sync();
        ASSERT_EQ(second.exitCode, 0) << second.output.toStdString();
        const DriverRun third = sync.sync();
        ASSERT_EQ(third.exitCode, 0) << third.output.toStdString();
        const QHash<QString, int> outlook = outlookNames(sync);
        const QHash<QString, int> google = googleNames(sync);
        for (const QString &name : expected) {
            EXPECT_EQ(outlook.value(name), 1) << "Outlook " << name.toStdString();
            EXPECT_EQ(google.value(name), 1) << "Google " << name.toStdString();
        }
        EXPECT_EQ(outlook.size(), expected.size());
        EXPECT_EQ(google.size(), expected.size());
    }
}
