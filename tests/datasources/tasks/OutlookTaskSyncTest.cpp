// Whole syncs of the task conduit between the simulated Outlook's tasks and the phone peer, both run as
// processes of their own, through the sync driver program (Outlook 2016 and 2011): tasks both ways with
// due dates, priorities and completion, Outlook's reminders on the phone, a second sync that sends nothing, edits and
// deletions both ways, an all-ids read Outlook refuses (nothing deleted), and SIGKILLs at the task
// steps after which every task exists once on each side.
#include "OutlookDriverRun.h"
#include "OutlookPeerProcess.h"
#include "PhonePeerProcess.h"
#include "WiFiSyncTestSupport.h"

#include "foundation/GlobalVariables.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>
#include <QProcess>
#include <QTemporaryDir>

using phonepeer::Conduit;

namespace {

QStringList driverArguments(const PhonePeerProcess &phone, const QString &version)
{
    return {QStringLiteral("--create-profile"), QStringLiteral("--phone-id"), phone.deviceId(), QStringLiteral("--port"),
            QString::number(phone.port()), QStringLiteral("--contacts-store"), QStringLiteral("outlook"),
            QStringLiteral("--calendar-store"), QStringLiteral("outlook"), QStringLiteral("--outlook-version"), version,
            QStringLiteral("--logon-pause-ms"), QStringLiteral("0"), QStringLiteral("--timeout"), QStringLiteral("60")};
}

QJsonObject task(int id, const QString &name, const QJsonObject &more = {})
{
    QJsonObject record{{"id", id}, {"folder", 3}, {"created", "2026-01-01T00:00:00Z"}, {"modified", "2026-01-02T00:00:00Z"},
                       {"name", name}};
    for (auto it = more.begin(); it != more.end(); ++it)
        record.insert(it.key(), it.value());
    return record;
}

QJsonObject seedWithTasks(const QJsonArray &tasks)
{
    return {{"folders", outlookDefaultFolders()},
            {"categories", QJsonArray{QJsonObject{{"id", 5}, {"name", "Work"}, {"color", QJsonArray{65535, 0, 0}}}}},
            {"tasks", tasks}};
}

struct TaskRun
{
    explicit TaskRun(const QJsonObject &seed, QString outlookVersion = QStringLiteral("15")) : version(std::move(outlookVersion))
    {
        preparePhoneLinkTests();
        restartOutlook();
        outlook->seed(seed);
        phone = std::make_unique<PhonePeerProcess>();
        EXPECT_TRUE(phone->isReady());
        environment = {{QStringLiteral("XDG_RUNTIME_DIR"), outlook->runtimeDir()}, {QStringLiteral("TZ"), QStringLiteral("UTC")},
                       {QStringLiteral("HM_OUTLOOK_NO_PAUSE"), QStringLiteral("1")}};
    }
    // Outlook (again) on the same folder: its store survives.
    void restartOutlook()
    {
        OutlookPeerProcess::Options options;
        options.folder = root.path();
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat(),
                             QStringLiteral("--outlook-version"), version};
        outlook = std::make_unique<OutlookPeerProcess>(options);
        EXPECT_TRUE(outlook->isReady());
    }
    QString home() const { return outlook->home(); }
    QStringList arguments() const { return driverArguments(*phone, version); }
    bool sync() const { return syncOutlookToTheEnd(home(), arguments(), environment); }
    bool killedAt(const QString &point) const { return killOutlookDriverAt(home(), arguments(), environment, point); }
    QJsonArray tasks() const { return outlook->dump().value("tasks").toArray(); }
    std::optional<QJsonObject> outlookTask(const QString &name) const
    {
        for (const QJsonValue &value : tasks()) {
            if (value.toObject().value("name").toString() == name)
                return value.toObject();
        }
        return std::nullopt;
    }
    QList<phonepeer::PhoneRecord> phoneTasks() const { return phone->records(Conduit::Tasks); }
    std::optional<phonepeer::PhoneRecord> phoneTask(const QString &subject) const
    {
        for (const phonepeer::PhoneRecord &record : phoneTasks()) {
            if (record.fields.value("SUBJECT") == subject)
                return record;
        }
        return std::nullopt;
    }
    qsizetype phoneWrites() const { return phoneWriteCount(*phone); }
    QString mapPath() const
    {
        return outlookDataFile(home(), version == u"14" ? QStringLiteral("tasks-outlook14.plist") : QStringLiteral("tasks-outlook.plist"));
    }

    QString version;
    QTemporaryDir root;
    std::unique_ptr<OutlookPeerProcess> outlook;
    std::unique_ptr<PhonePeerProcess> phone;
    QMap<QString, QString> environment;
};

void travelBothWays(const QString &version)
{
    TaskRun run(seedWithTasks({task(10, "Quarterly report", {{"content", "draft\nreview"}, {"dueDate", "2030-03-01T00:00:00Z"},
                                                            {"priority", "high"}, {"reminder", "2030-02-28T09:30:00Z"}}),
                               task(11, "Done already", {{"completed", true}, {"priority", "low"}})}),
                version);
    const QString marker = run.home() + QStringLiteral("/F");
    const QString hostile = QStringLiteral("Quote \" & (do shell script \"touch %1\") & \" \\").arg(marker);
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("add"), {},
                          {{"SUBJECT", "Buy milk"}, {"NOTE", "two litres\nskimmed"}, {"DUEDATE", "20300405"}, {"PRIORITY", "3"}});
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("add"), {}, {{"SUBJECT", hostile}, {"PRIORITY", "1"}, {"PERCENTCOMPLETE", "100"}});
    ASSERT_TRUE(run.sync());

    // Outlook's tasks on the phone: due date, priority, completion.
    ASSERT_EQ(run.phoneTasks().size(), 4);
    ASSERT_TRUE(run.phoneTask("Quarterly report"));
    const QMap<QString, QString> report = run.phoneTask("Quarterly report")->fields;
    EXPECT_EQ(report.value("DUEDATE"), QStringLiteral("20300301"));
    EXPECT_EQ(report.value("PRIORITY"), QStringLiteral("1"));
    EXPECT_EQ(report.value("ALARMTIME"), QStringLiteral("2030-02-28 09:30:00"));
    EXPECT_TRUE(report.value("NOTE").startsWith(QStringLiteral("draft\r\nreview")) || report.value("NOTE").startsWith(QStringLiteral("draft\nreview")))
        << report.value("NOTE").toStdString();
    ASSERT_TRUE(run.phoneTask("Done already"));
    EXPECT_EQ(run.phoneTask("Done already")->fields.value("PERCENTCOMPLETE"), QStringLiteral("100"));
    // The phone's tasks in Outlook, verbatim; the script in one never ran.
    ASSERT_TRUE(run.outlookTask("Buy milk"));
    EXPECT_EQ(run.outlookTask("Buy milk")->value("content").toString(), QStringLiteral("two litres\nskimmed"));
    EXPECT_EQ(run.outlookTask("Buy milk")->value("priority").toString(), QStringLiteral("low"));
    EXPECT_EQ(run.outlookTask("Buy milk")->value("dueDate").toString().left(10), QStringLiteral("2030-04-05"));
    ASSERT_TRUE(run.outlookTask(hostile));
    EXPECT_TRUE(run.outlookTask(hostile)->value("completed").toBool());
    EXPECT_EQ(run.outlookTask(hostile)->value("priority").toString(), QStringLiteral("high"));
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(run.tasks().size(), 4);

    // Nothing changed: nothing goes either way.
    const qsizetype writes = run.phoneWrites();
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.phoneWrites(), writes);
    EXPECT_EQ(run.tasks().size(), 4);
    EXPECT_EQ(run.phoneTasks().size(), 4);

    // An edit and a deletion in Outlook, an edit and a deletion on the phone.
    run.outlook->control({{"op", "edit"}, {"kind", "task"}, {"id", 10}, {"fields", QJsonObject{{"priority", "low"}}}});
    run.outlook->control({{"op", "delete"}, {"kind", "task"}, {"id", 11}});
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("update"), run.phoneTask("Buy milk")->uid,
                          {{"SUBJECT", "Buy milk"}, {"NOTE", "two litres\nskimmed"}, {"DUEDATE", "20300405"}, {"PRIORITY", "3"},
                           {"PERCENTCOMPLETE", "100"}});
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("delete"), run.phoneTask(hostile)->uid);
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.phoneTask("Quarterly report")->fields.value("PRIORITY"), QStringLiteral("3"));
    EXPECT_FALSE(run.phoneTask("Done already"));
    EXPECT_TRUE(run.outlookTask("Buy milk")->value("completed").toBool());
    EXPECT_FALSE(run.outlookTask(hostile));
    EXPECT_EQ(run.tasks().size(), 2);
    EXPECT_EQ(run.phoneTasks().size(), 2);
    run.phone->stop();
}

} // namespace

TEST(OutlookTaskSync, TasksTravelBothWaysInOutlook2016)
{
    travelBothWays(QStringLiteral("15"));
}

TEST(OutlookTaskSync, TasksTravelBothWaysInOutlook2011)
{
    travelBothWays(QStringLiteral("14"));
}

// A task Outlook sent to the phone comes back with the start day and reminder the phone gives, in the
// forms it was sent them: unchanged when only its name changed there, and as moved there.
TEST(OutlookTaskSync, ATaskEditedOnThePhoneBringsBackItsStartAndReminder)
{
    TaskRun run(seedWithTasks({task(10, "Plan trip", {{"startDate", "2030-02-25T00:00:00Z"}, {"dueDate", "2030-03-01T00:00:00Z"},
                                                      {"reminder", "2030-02-28T09:30:00Z"}, {"priority", "normal"}})}));
    ASSERT_TRUE(run.sync());
    const std::optional<phonepeer::PhoneRecord> sent = run.phoneTask("Plan trip");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->fields.value("STARTDATE"), QStringLiteral("20300225"));
    EXPECT_EQ(sent->fields.value("DUEDATE"), QStringLiteral("20300301"));
    EXPECT_EQ(sent->fields.value("ALARMTIME"), QStringLiteral("2030-02-28 09:30:00"));

    const auto outlookDate = [&run](const char *key) {
        const std::optional<QJsonObject> task = run.outlookTask(QStringLiteral("Plan the trip"));
        return task ? QDateTime::fromString(task->value(QLatin1String(key)).toString(), Qt::ISODateWithMs) : QDateTime();
    };
    const auto utc = [](int month, int day, int hour = 0, int minute = 0) {
        return QDateTime(QDate(2030, month, day), QTime(hour, minute), QTimeZone::utc());
    };
    // Renamed on the phone, every other field as the phone holds it.
    QMap<QString, QString> fields = sent->fields;
    fields.insert("SUBJECT", "Plan the trip");
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("update"), sent->uid, fields);
    ASSERT_TRUE(run.sync());
    ASSERT_EQ(run.tasks().size(), 1);
    ASSERT_TRUE(run.outlookTask("Plan the trip")) << QJsonDocument(run.tasks()).toJson().toStdString();
    EXPECT_EQ(outlookDate("reminder"), utc(2, 28, 9, 30));
    EXPECT_EQ(outlookDate("startDate"), utc(2, 25));
    EXPECT_EQ(outlookDate("dueDate"), utc(3, 1));

    // The reminder and the start moved on the phone: Outlook takes both.
    fields = run.phoneTask("Plan the trip")->fields;
    fields.insert("ALARMTIME", "2030-02-27 08:15:00");
    fields.insert("STARTDATE", "20300226");
    run.phone->editRecord(Conduit::Tasks, QStringLiteral("update"), sent->uid, fields);
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(outlookDate("reminder"), utc(2, 27, 8, 15));
    EXPECT_EQ(outlookDate("startDate"), utc(2, 26));
    EXPECT_EQ(outlookDate("dueDate"), utc(3, 1));

    // The round trip leaves the phone's texts as it gave them, byte for byte.
    ASSERT_TRUE(run.sync());
    const std::optional<phonepeer::PhoneRecord> again = run.phoneTask("Plan the trip");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->fields.value("STARTDATE"), QStringLiteral("20300226"));
    EXPECT_EQ(again->fields.value("DUEDATE"), QStringLiteral("20300301"));
    EXPECT_EQ(again->fields.value("ALARMTIME"), QStringLiteral("2030-02-27 08:15:00"));
    EXPECT_EQ(run.phoneTasks().size(), 1);
    EXPECT_EQ(run.tasks().size(), 1);
    run.phone->stop();
}

TEST(OutlookTaskSync, ARefusedAllIdsReadDeletesNothing)
{
    TaskRun run(seedWithTasks({task(10, "One"), task(11, "Two"), task(12, "Three")}));
    ASSERT_TRUE(run.sync());
    ASSERT_EQ(run.phoneTasks().size(), 3);
    // Outlook answers no id listing: the tasks stay on the phone and their pairs in the map.
    run.outlook->control({{"op", "delete"}, {"kind", "task"}, {"id", 12}});
    run.outlook->control({{"op", "switches"}, {"refuseKind", "ids"}});
    EXPECT_TRUE(runOnceAndMapKeeps(run.home(), run.arguments(), run.environment, run.mapPath(), 12));
    EXPECT_EQ(run.phoneTasks().size(), 3);
    // Answered again, the one deletion goes through, and only it.
    run.outlook->control({{"op", "switches"}, {"refuseKind", ""}});
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.phoneTasks().size(), 2);
    EXPECT_FALSE(run.phoneTask("Three"));
    run.phone->stop();
}

// ---- Kill trials ---------------------------------------------------------------------------------

namespace {

constexpr int kPerSide = 12;

void expectEveryTaskOnceOnEachSide(const TaskRun &run, int perSide = kPerSide)
{
    QHash<QString, int> inOutlook;
    for (const QJsonValue &value : run.tasks())
        ++inOutlook[value.toObject().value("name").toString()];
    QHash<QString, int> onPhone;
    for (const phonepeer::PhoneRecord &record : run.phoneTasks())
        ++onPhone[record.fields.value("SUBJECT")];
    expectEachNameOnce(inOutlook, 2 * perSide, "Outlook");
    expectEachNameOnce(onPhone, 2 * perSide, "phone");
    expectMapNamesEachOnce(run.phoneTasks(), run.mapPath());
    EXPECT_FALSE(QFile::exists(run.mapPath() + QStringLiteral(".confirmed")));
}

} // namespace

TEST(OutlookTaskKill, AKilledTwoWaySyncLeavesEveryTaskOnceOnEachSide)
{
    const QString half = QString::number(kPerSide / 2);
    for (const QString &point : {QStringLiteral("outlook-tasks-written:1"), QStringLiteral("outlook-tasks-written:") + half,
                                QStringLiteral("outlook-tasks-paired:") + half, QStringLiteral("outlook-tasks-read:1"),
                                QStringLiteral("outlook-tasks-confirmed:1"), QStringLiteral("outlook-tasks-confirmed:") + half,
                                QStringLiteral("outlook-tasks-committed:1")}) {
        SCOPED_TRACE(point.toStdString());
        QJsonArray tasks;
        for (int index = 0; index < kPerSide; ++index)
            tasks.append(task(100 + index, QStringLiteral("Outlook %1").arg(index),
                              {{"content", QStringLiteral("text %1").arg(index)}, {"dueDate", "2030-06-01T00:00:00Z"}}));
        TaskRun run(seedWithTasks(tasks));
        for (int index = 0; index < kPerSide; ++index)
            run.phone->editRecord(Conduit::Tasks, QStringLiteral("add"), {},
                                  {{"SUBJECT", QStringLiteral("Phone %1").arg(index)}, {"NOTE", "line one\nline two"},
                                   {"DUEDATE", "20300701"}, {"PRIORITY", "2"}});
        ASSERT_TRUE(run.killedAt(point));
        ASSERT_TRUE(run.sync());
        ASSERT_TRUE(run.sync());
        expectEveryTaskOnceOnEachSide(run);
        run.phone->stop();
    }
}

TEST(OutlookTaskKill, OutlookGoneMidSyncLosesAndDoublesNothing)
{
    constexpr int perSide = 150;
    QJsonArray seeded;
    for (int index = 0; index < perSide; ++index)
        seeded.append(task(100 + index, QStringLiteral("Outlook %1").arg(index), {{"dueDate", "2030-06-01T00:00:00Z"}}));
    TaskRun run(seedWithTasks(seeded));
    for (int index = 0; index < perSide; ++index)
        run.phone->editRecord(Conduit::Tasks, QStringLiteral("add"), {}, {{"SUBJECT", QStringLiteral("Phone %1").arg(index)}, {"PRIORITY", "2"}});
    // Outlook dies in the middle of the task writes: the run ends with an error and deletes nothing.
    QProcess driver;
    startOutlookDriver(driver, run.home(), run.arguments(), run.environment);
    ASSERT_TRUE(testsupport::waitUntil([&run] { return run.tasks().size() > perSide + 5; }, std::chrono::seconds(120)));
    run.outlook->process().kill();
    run.outlook->process().waitForFinished(5000);
    ASSERT_TRUE(driver.waitForFinished(180000));
    EXPECT_NE(driver.exitCode(), 0) << driver.readAll().toStdString();
    EXPECT_EQ(run.phoneTasks().size(), perSide);
    run.restartOutlook();
    ASSERT_TRUE(run.sync());
    ASSERT_TRUE(run.sync());
    expectEveryTaskOnceOnEachSide(run, perSide);
    run.phone->stop();
}

// Two phone tasks alike in name, note and days are two tasks: the task a killed run made for the first
// is paired with it and no duplicate of the second.
TEST(OutlookTaskKill, TasksAlikeAreNeverMergedIntoOne)
{
    TaskRun run(seedWithTasks({}));
    for (int copy = 0; copy < 2; ++copy)
        run.phone->editRecord(Conduit::Tasks, QStringLiteral("add"), {}, {{"SUBJECT", "Buy milk"}, {"DUEDATE", "20300405"}});
    ASSERT_TRUE(run.killedAt(QStringLiteral("outlook-tasks-written:1")));
    ASSERT_TRUE(run.sync());
    ASSERT_TRUE(run.sync());
    EXPECT_EQ(run.tasks().size(), 2);
    EXPECT_EQ(run.phoneTasks().size(), 2);
    run.phone->stop();
}
