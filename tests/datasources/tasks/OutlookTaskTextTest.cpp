// The task data source against the simulated Outlook run as a process: task texts turned into records,
// the properties records of tasks for Outlook 2016, 2011 and with no keys, the one-task iCalendar file
// of a new weekly task byte for byte (and as Python's vobject reads it), and tasks written through the
// scripts and the import: added, updated, merged with a duplicate, recurring ones imported, a re-import
// that answers a new id leaving one task, a task too old to add skipped.
#include "OutlookStoreChoice.h"
#include "OutlookTextFixture.h"

#include "datasources/tasks/HMTaskData.h"
#include "foundation/GlobalVariables.h"
#include "outlook/HMOutlookDatFileHelper.h"
#include "sync/HMProfile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cstdio>
#include <tuple>

namespace {

QDateTime local(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), QTimeZone::systemTimeZone());
}

class OutlookTaskText : public OutlookTextFixture
{
protected:
    void SetUp() override
    {
        OutlookPeerProcess::Options options;
        options.arguments = {QStringLiteral("--date-pattern"), GlobalVariables::getSystemDateFormat()};
        ASSERT_NO_FATAL_FAILURE(startOutlook(folder(9, "task folder", "Errands"), options));
    }
    // A task data source of a Wi-Fi profile of the Outlook version ("15" or "14").
    std::unique_ptr<HMTaskData> tasks(const QString &version = QStringLiteral("15"))
    {
        auto profile = std::make_shared<HMProfile>();
        profile->setSyncMethod(HMSyncMethod::WiFi);
        hmsync::useOutlookContacts(profile, version);
        auto data = std::make_unique<HMTaskData>();
        data->setOutlookProfile(profile);
        m_profile = profile;
        return data;
    }
    QJsonArray outlookTasks() const { return m_outlook->dump().value("tasks").toArray(); }

    std::shared_ptr<HMProfile> m_profile;
};

// A task's text as the listing assembles it: Outlook's iCalendar text (CR LF ends, a bare "DUE:" line
// before the real one (a bare line is passed over; "DUE:" and a CR would be a value that stops the search), a counted daily rule, a reminder), the category line, the plain text and the id.
const QString kTaskText = QStringLiteral(
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VTODO\r\nSUMMARY:Call Bob\\, Ann\\; then \\\\ home\r\nPRIORITY:7\r\n"
    "DUE:\nDUE:20200301T000000\r\nDTSTART:20200228T090000\r\nCOMPLETED:20200302T101500Z\r\n"
    "RRULE:FREQ=DAILY;COUNT=3;INTERVAL=1\r\nBEGIN:VALARM\r\nTRIGGER;RELATED=DATE-TIME:20200228T083000\r\nEND:VALARM\r\n"
    "END:VTODO\r\nEND:VCALENDAR\r\n"
    "\nCATEGORIES:Work\tFamily\n"
    "PLAINTEXTNOTE:first line\nsecond \n line\nOUTLOOKID:42");

} // namespace

TEST_F(OutlookTaskText, TaskTextsGiveTheirRecords)
{
    ASSERT_EQ(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc()), 0) << "run with TZ=UTC";
    const QVariantMap record = tasks()->pppDictionaryForOutlookTask(kTaskText);
    const QVariantMap expected{{"SUBJECT", QStringLiteral("Call Bob, Ann; then \\ home")},
                               {"NOTE", QStringLiteral("first line\nsecond  line\n")},
                               {"PRIORITYSTRING", "Low"},
                               {"PRIORITY", qint64(3)},
                               {"DUEDATE", local(2020, 3, 1)},
                               {"HASDUEDATE", true},
                               {"DUETIME", "00:00:00"},
                               {"NSDATESTARTDATE", local(2020, 2, 28, 9)},
                               {"STARTTIME", "00:00:00"},
                               {"NSDATEALARMDATE", QDateTime(QDate(2020, 2, 28), QTime(8, 30), QTimeZone::utc())},
                               {"COMPLETED", true},
                               {"PERCENTCOMPLETE", qint64(100)},
                               {"NSARRAYCATEGORIES", QStringList{"Work", "Family"}},
                               {"NSARRAYCATEGORYCOLORS", QStringList{"FF0000", "0080FF"}},
                               {"NSARRAYCATEGORYCOLORINDEXES", QStringList{"-1", "-1"}},
                               {"RRULE", "FREQ=DAILY;UNTIL=20200303T235959;INTERVAL=1"}};
    EXPECT_EQ(record.keys(), expected.keys());
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        EXPECT_EQ(record.value(it.key()), it.value()) << it.key().toStdString() << ": " << record.value(it.key()).toString().toStdString();

    // No summary text, high priority, a rule but no dates, no plain text: no rule, no dates, empty texts.
    const QVariantMap bare = tasks()->pppDictionaryForOutlookTask(
        QStringLiteral("BEGIN:VTODO\r\nSUMMARY:\r\nPRIORITY:3\r\nRRULE:FREQ=WEEKLY\r\nEND:VTODO\r\nPLAINTEXTNOTE:(null)\nOUTLOOKID:7"));
    const QVariantMap expectedBare{{"SUBJECT", ""},           {"NOTE", ""},        {"PRIORITYSTRING", "High"},
                                   {"PRIORITY", qint64(1)},   {"COMPLETED", false}, {"PERCENTCOMPLETE", qint64(0)},
                                   {"NSARRAYCATEGORIES", QStringList()}};
    EXPECT_EQ(bare, expectedBare);

    // A count that ends the rule stays; a count beyond what the rule reaches ends at the start.
    std::unique_ptr<HMTaskData> data = tasks();
    EXPECT_EQ(data->getRecurringEndDateForWithStartDate(local(2020, 3, 1), QStringLiteral("FREQ=DAILY;COUNT=3")),
              QStringLiteral("FREQ=DAILY;COUNT=3"));
    EXPECT_EQ(data->getRecurringEndDateForWithStartDate(local(2020, 3, 2), QStringLiteral("FREQ=WEEKLY;COUNT=2;BYDAY=MO")),
              QStringLiteral("FREQ=WEEKLY;UNTIL=20200309T235959;BYDAY=MO"));
    EXPECT_EQ(data->getRecurringEndDateForWithStartDate(QDateTime(), QStringLiteral("FREQ=DAILY;COUNT=3;INTERVAL=1")), QString());
}

TEST_F(OutlookTaskText, PropertiesTextsByteForByte)
{
    ASSERT_EQ(GlobalVariables::getSystemDateFormat(), QStringLiteral("MM/dd/yyyy hh:mm a"));
    ASSERT_EQ(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc()), 0) << "run with TZ=UTC";
    const QVariantMap record{{"UID", "t1"},
                             {"SUBJECT", QStringLiteral("Pay \"rent\" \\")},
                             {"NSDATESTARTDATE", local(2026, 3, 1, 9)},
                             {"DUEDATE", local(2026, 3, 2)},
                             {"NSDATEALARMDATE", local(2026, 3, 1, 8, 30)},
                             {"PERCENTCOMPLETE", qint64(100)},
                             {"PRIORITY", qint64(3)},
                             {"NOTE", QStringLiteral("line one\nline two")},
                             {"NSARRAYCATEGORIES", QStringList{"Work"}},
                             {"NSARRAYCATEGORYCOLORINDEXES", QStringList{"-1"}}};
    const QString common = QStringLiteral(
        "{name:\"Pay \\\"rent\\\" \\\\\", start date:(date \"03/01/2026 09:00 AM\"), due date:(date \"03/02/2026 12:00 AM\"), "
        "reminder date time:(date \"03/01/2026 08:30 AM\"), todo flag:completed, priority:priority low, "
        "plain text content:\"line one\nline two\"");
    EXPECT_EQ(tasks(QStringLiteral("15"))->propertiesStringFromTaskDictionary(record),
              common + QStringLiteral(", category:{category id 5 of application \"Microsoft Outlook\"}}"));
    EXPECT_EQ(tasks(QStringLiteral("15"))->propertiesStringFromTaskDictionary({{"UID", "t2"}, {"PERCENTCOMPLETE", qint64(0)}, {"PRIORITY", qint64(0)}}),
              QStringLiteral("{todo flag:not completed, category:{}}"));
    // Outlook 2011: no category clause; a record with none of the keys is "{}".
    EXPECT_EQ(tasks(QStringLiteral("14"))->propertiesStringFromTaskDictionary(record), common + u'}');
    EXPECT_EQ(tasks(QStringLiteral("14"))->propertiesStringFromTaskDictionary({{"UID", "t3"}}), QStringLiteral("{}"));
}

TEST_F(OutlookTaskText, TheFileOfANewWeeklyTaskByteForByte)
{
    ASSERT_EQ(QTimeZone::systemTimeZone().offsetFromUtc(QDateTime::currentDateTimeUtc()), 0) << "run with TZ=UTC";
    const QVariantMap record{{"UID", "t9"},
                             {"SUBJECT", QStringLiteral("Water, plants; \\ now")},
                             {"NOTE", QStringLiteral("Line 1\nLine 2\nEND:VTODO")},
                             {"DUEDATE", local(2026, 3, 2)},
                             {"NSDATESTARTDATE", local(2026, 3, 1, 9)},
                             {"PRIORITY", qint64(1)},
                             {"RRULE", "RRULE:FREQ=WEEKLY;BYDAY=MO"}};
    const QString text = tasks()->icsTextFromTaskDictionary(record, QString());
    EXPECT_EQ(text, QStringLiteral("BEGIN:VCALENDAR\nVERSION:2.0\nMETHOD:PUBLISH\nBEGIN:VTODO\n"
                                   "DESCRIPTION:Line 1\\nLine 2\\nEND:VTODO\nDUE:20260302T000000\nDTSTART:20260301T090000\n"
                                   "PRIORITY:4\nSUMMARY:Water\\, plants\\; \\\\ now\nRRULE:FREQ=WEEKLY;BYDAY=MO\n"
                                   "BEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:REMINDER\nTRIGGER;RELATED=DATE-TIME:20260301T090000\n"
                                   "END:VALARM\nEND:VTODO\nEND:VCALENDAR"));
    // Without a note, start or priority: "\n", no start and alarm, priority 5; PRIORITY 3 is 7.
    EXPECT_EQ(tasks()->icsTextFromTaskDictionary({{"SUBJECT", "x"}, {"RRULE", "FREQ=DAILY"}}, QStringLiteral("G-1")),
              QStringLiteral("BEGIN:VCALENDAR\nVERSION:2.0\nMETHOD:PUBLISH\nBEGIN:VTODO\nDESCRIPTION:\\n\nPRIORITY:5\nSUMMARY:x\n"
                             "RRULE:FREQ=DAILY\nUID:G-1\nEND:VTODO\nEND:VCALENDAR"));
    EXPECT_TRUE(tasks()->icsTextFromTaskDictionary({{"PRIORITY", qint64(3)}}, QString()).contains(QLatin1String("\nPRIORITY:7\n")));

    // Another reader takes it as one task with the note, summary, rule and alarm intact.
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("task.ics")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    file.close();
    const char *script = "import sys, vobject\n"
                         "cal = vobject.readOne(open(sys.argv[1], encoding='utf-8').read())\n"
                         "todo = cal.vtodo\n"
                         "print('%d|%s|%s|%s|%s|%s|%s' % (len(cal.contents['vtodo']), todo.summary.value, todo.description.value.replace('\\n', '<LF>'),"
                         " todo.rrule.value, todo.due.value.isoformat(), todo.priority.value, todo.valarm.trigger.value.isoformat()))\n";
    QProcess python;
    python.start(QFileInfo::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3"),
                 {QStringLiteral("-c"), QLatin1String(script), file.fileName()});
    ASSERT_TRUE(python.waitForFinished(30000));
    EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput()).trimmed(),
              QStringLiteral("1|Water, plants; \\ now|Line 1<LF>Line 2<LF>END:VTODO|FREQ=WEEKLY;BYDAY=MO|2026-03-02T00:00:00|4|2026-03-01T09:00:00"))
        << python.readAllStandardError().toStdString();
}

TEST_F(OutlookTaskText, TasksWrittenToOutlookArriveOnce)
{
    std::unique_ptr<HMTaskData> data = tasks();
    const QString marker = m_outlook->home() + QStringLiteral("/F");
    const QString subject = QStringLiteral("Quote \" & (do shell script \"touch %1\") & \" \\").arg(marker);
    const QDateTime due = local(2030, 5, 1);
    EXPECT_EQ(data->outlookCommandAction(0, 1, 0, {{"UID", "u1"}, {"SUBJECT", subject}, {"NOTE", "first\nsecond"}, {"DUEDATE", due},
                                                   {"PRIORITY", qint64(1)}, {"PERCENTCOMPLETE", qint64(0)}}, 0), 2);
    EXPECT_EQ(data->outlookCommandAction(0, 1, 0, {{"SUBJECT", "no uid"}}, 0), 1);
    // Due before the days-back range: not added, yet answered as written.
    EXPECT_EQ(data->outlookCommandAction(0, 1, 0, {{"UID", "old"}, {"SUBJECT", "old"}, {"DUEDATE", local(2001, 1, 1)}}, 0), 2);
    ASSERT_TRUE(data->syncAppliedChangesToDisk().ok());
    ASSERT_EQ(outlookTasks().size(), 1);
    QJsonObject made = outlookTasks().first().toObject();
    EXPECT_EQ(made.value("name").toString(), subject);
    EXPECT_EQ(made.value("content").toString(), QStringLiteral("first\nsecond"));
    EXPECT_EQ(made.value("priority").toString(), QStringLiteral("high"));
    EXPECT_EQ(QDateTime::fromString(made.value("dueDate").toString(), Qt::ISODateWithMs), due);
    EXPECT_FALSE(QFile::exists(marker));
    const qint64 id = made.value("id").toInteger();
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(QStringLiteral("u1")), QString::number(id));

    // Completed through its pair. An unpaired record equal in name, first note line and dates to a task
    // nobody pairs merges with it; one alike to a paired task is a task of its own.
    EXPECT_EQ(data->outlookCommandAction(0, 1, 0, {{"UID", "u1"}, {"SUBJECT", subject}, {"PERCENTCOMPLETE", qint64(100)}}, 0), 2);
    const qint64 loose = m_outlook->control({{"op", "add"}, {"kind", "task"},
                                             {"record", QJsonObject{{"folder", 3}, {"name", "Loose"}, {"content", "first\nline"},
                                                                    {"dueDate", due.toUTC().toString(Qt::ISODate)}}}})
                             .value("id")
                             .toInteger();
    std::unique_ptr<HMTaskData> next = tasks();
    EXPECT_EQ(next->outlookCommandAction(0, 1, 0, {{"UID", "u2"}, {"SUBJECT", "LOOSE"}, {"NOTE", "FIRST\nother"}, {"DUEDATE", due}}, 0), 2);
    EXPECT_EQ(next->outlookCommandAction(0, 1, 0, {{"UID", "u3"}, {"SUBJECT", subject.toUpper()}, {"NOTE", "FIRST\nother"}, {"DUEDATE", due}}, 0), 2);
    ASSERT_TRUE(next->syncAppliedChangesToDisk().ok());
    ASSERT_EQ(outlookTasks().size(), 3) << QJsonDocument(outlookTasks()).toJson().toStdString();
    QHash<qint64, QJsonObject> byId;
    for (const QJsonValue &value : outlookTasks())
        byId.insert(value.toObject().value("id").toInteger(), value.toObject());
    EXPECT_TRUE(byId.value(id).value("completed").toBool());
    EXPECT_EQ(byId.value(loose).value("content").toString(), QStringLiteral("FIRST\nother"));
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(QStringLiteral("u2")), QString::number(loose));
    const QString alike = HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(QStringLiteral("u3"));
    EXPECT_FALSE(alike.isEmpty() || alike == QString::number(id) || alike == QString::number(loose)) << alike.toStdString();

    // A recurring task goes in by import, then gets its other properties; its update by import that
    // answers a new id leaves one task.
    EXPECT_EQ(next->outlookCommandAction(0, 1, 0, {{"UID", "r1"}, {"SUBJECT", "Weekly, review"}, {"NOTE", "agenda"}, {"DUEDATE", due},
                                                   {"RRULE", "FREQ=WEEKLY;BYDAY=WE"}, {"PRIORITY", qint64(3)}}, 0), 2);
    ASSERT_TRUE(next->syncAppliedChangesToDisk().ok());
    ASSERT_EQ(outlookTasks().size(), 4);
    const QString recurringId = HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(QStringLiteral("r1"));
    ASSERT_FALSE(recurringId.isEmpty());
    QJsonObject recurring;
    for (const QJsonValue &value : outlookTasks()) {
        if (QString::number(value.toObject().value("id").toInteger()) == recurringId)
            recurring = value.toObject();
    }
    EXPECT_EQ(recurring.value("name").toString(), QStringLiteral("Weekly, review"));
    EXPECT_EQ(recurring.value("rrule").toString(), QStringLiteral("FREQ=WEEKLY;BYDAY=WE"));
    EXPECT_EQ(recurring.value("priority").toString(), QStringLiteral("low"));
    EXPECT_EQ(recurring.value("content").toString(), QStringLiteral("agenda"));
    m_outlook->control({{"op", "switches"}, {"importGivesNewId", true}});
    std::unique_ptr<HMTaskData> third = tasks();
    EXPECT_EQ(third->outlookCommandAction(0, 1, 0, {{"UID", "r1"}, {"SUBJECT", "Weekly review"}, {"DUEDATE", due},
                                                    {"RRULE", "FREQ=WEEKLY;BYDAY=TH"}}, 0), 2);
    ASSERT_TRUE(third->syncAppliedChangesToDisk().ok());
    ASSERT_EQ(outlookTasks().size(), 4) << QJsonDocument(outlookTasks()).toJson().toStdString();
    const QString newId = HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(QStringLiteral("r1"));
    EXPECT_NE(newId, recurringId);
    for (const QJsonValue &value : outlookTasks())
        EXPECT_NE(QString::number(value.toObject().value("id").toInteger()), recurringId);
}

TEST_F(OutlookTaskText, ListingFollowsTheCompletedSettingAndAFailedIdsReadDeletesNothing)
{
    const auto add = [this](const QString &name, bool completed) {
        return m_outlook->control({{"op", "add"}, {"kind", "task"},
                                   {"record", QJsonObject{{"folder", 3}, {"name", name}, {"completed", completed},
                                                          {"dueDate", "2030-01-02T00:00:00Z"}}}})
            .value("id")
            .toInteger();
    };
    add(QStringLiteral("Open"), false);
    const qint64 done = add(QStringLiteral("Done"), true);
    const auto subjects = [](const QList<HMSyncRecord> &records) {
        QStringList names;
        for (const HMSyncRecord &record : records)
            names.append(record.isDelete() ? QStringLiteral("deleted ") + record.hmxUid() : record.dictionary().value("SUBJECT").toString());
        names.sort();
        return names;
    };
    std::unique_ptr<HMTaskData> data = tasks();
    m_profile->setShouldSyncCompletedTasks(QStringLiteral("no"));
    std::optional<QList<HMSyncRecord>> records = data->syncOutlookRecordObjectsModifiedAfter(QDateTime(), true, {});
    ASSERT_TRUE(records);
    EXPECT_EQ(subjects(*records), QStringList{"Open"});

    data = tasks();
    m_profile->setShouldSyncCompletedTasks(QStringLiteral("yes"));
    records = data->syncOutlookRecordObjectsModifiedAfter(QDateTime(), true, {});
    ASSERT_TRUE(records);
    EXPECT_EQ(subjects(*records), (QStringList{"Done", "Open"}));
    for (const HMSyncRecord &record : *records)
        EXPECT_TRUE(record.isNew());
    data->commitUniqueIds(true);
    ASSERT_TRUE(data->saveFailure().isEmpty()) << data->saveFailure().toStdString();
    QString doneDevice;
    for (const HMSyncRecord &record : *records) {
        if (record.dictionary().value("SUBJECT").toString() == u"Done")
            doneDevice = record.hmxUid();
    }
    EXPECT_EQ(HMOutlookDatFileHelper().getOutlookTaskIdForDeviceTaskId(doneDevice), QString::number(done));

    // A deleted task while Outlook refuses the id listing: no deletion; answered again, exactly it.
    m_outlook->control({{"op", "delete"}, {"kind", "task"}, {"id", done}});
    m_outlook->control({{"op", "switches"}, {"refuseKind", "ids"}});
    data = tasks();
    records = data->syncOutlookRecordObjectsModifiedAfter(QDateTime::currentDateTimeUtc().addDays(1), true, {});
    if (records) {
        EXPECT_EQ(subjects(*records), QStringList());
    }
    m_outlook->control({{"op", "switches"}, {"refuseKind", ""}});
    data = tasks();
    records = data->syncOutlookRecordObjectsModifiedAfter(QDateTime::currentDateTimeUtc().addDays(1), true, {});
    ASSERT_TRUE(records);
    EXPECT_EQ(subjects(*records), QStringList{QStringLiteral("deleted ") + doneDevice});
}

// A first sync against a folder of many tasks nobody pairs, many of them alike: each record equal to one
// of them (name and note's first line in another case, the same start and due days) takes a task of its
// own, and a record that differs in one of those values takes none. The duplicate test is a look-up,
// so its time grows with the records, not with records times tasks. HM_DUPLICATE_TEST_TASKS sets the
// number of Outlook's tasks (200 by default); the figure is printed.
TEST_F(OutlookTaskText, AFirstSyncOfManyAlikeTasksPairsTheTrueDuplicatesAndKeepsTheOthersApart)
{
    const int count = qEnvironmentVariableIntValue("HM_DUPLICATE_TEST_TASKS") > 0 ? qEnvironmentVariableIntValue("HM_DUPLICATE_TEST_TASKS") : 200;
    const QStringList titles{"Buy milk", "Call mum", "Pay rent", "Water plants"};
    // Task i's values: a title, a note line, a due day and for every other one a start day; the same
    // values come back every 60 tasks.
    const auto values = [&titles](int i) {
        return std::tuple(titles.at(i % 4), QStringLiteral("note %1").arg(i % 5), local(2030, 6, 1 + i % 3),
                          i % 2 == 0 ? local(2030, 5, 20) : QDateTime());
    };
    // Outlook's folders as the fixture made them, and its tasks, given in one seed.
    QJsonObject state = m_outlook->dump();
    QJsonArray seeded;
    for (int i = 0; i < count; ++i) {
        const auto [title, note, due, start] = values(i);
        QJsonObject task{{"id", 5000 + i}, {"folder", 3}, {"name", title}, {"content", note + QStringLiteral("\nmore %1").arg(i)},
                         {"dueDate", due.toUTC().toString(Qt::ISODate)}};
        if (start.isValid())
            task.insert("startDate", start.toUTC().toString(Qt::ISODate));
        seeded.append(task);
    }
    state.insert("tasks", seeded);
    m_outlook->seed(state);
    ASSERT_EQ(outlookTasks().size(), count);
    const auto record = [](const QString &uid, const QString &title, const QString &note, const QDateTime &due, const QDateTime &start) {
        QVariantMap fields{{"UID", uid}, {"SUBJECT", title}, {"NOTE", note + QStringLiteral("\nthe phone's rest")}, {"DUEDATE", due}};
        if (start.isValid())
            fields.insert("NSDATESTARTDATE", start);
        return fields;
    };
    std::unique_ptr<HMTaskData> data = tasks();
    // The first look-up lists Outlook's tasks; a record alike to none.
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(data->isOutlookDuplicate(record("first", "Nothing alike", "", local(2030, 1, 1), {})).isEmpty());
    const qint64 listing = clock.restart();
    QSet<QString> taken;
    int differing = 0;
    for (int i = 0; i < count; ++i) {
        const auto [title, note, due, start] = values(i);
        // One value off: the note line, the due day, the start day, the name.
        const QVariantMap other = i % 4 == 0   ? record("o" + QString::number(i), title, note + u'!', due, start)
                                  : i % 4 == 1 ? record("o" + QString::number(i), title, note, due.addDays(7), start)
                                  : i % 4 == 2 ? record("o" + QString::number(i), title, note, due, local(2030, 5, 21))
                                               : record("o" + QString::number(i), title + u's', note, due, start);
        differing += data->isOutlookDuplicate(other).isEmpty() ? 1 : 0;
        const QString id = data->isOutlookDuplicate(record("d" + QString::number(i), title.toUpper(), note.toUpper(), due, start));
        ASSERT_FALSE(id.isEmpty()) << i;
        EXPECT_FALSE(taken.contains(id)) << id.toStdString();
        taken.insert(id);
        // The task taken has the record's values.
        EXPECT_TRUE(values(id.toInt() - 5000) == values(i)) << i << " took " << id.toStdString();
    }
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(differing, count);
    EXPECT_EQ(taken.size(), count);
    // Every task taken: the next record alike to them finds none.
    const auto [title, note, due, start] = values(0);
    EXPECT_TRUE(data->isOutlookDuplicate(record("late", title, note, due, start)).isEmpty());
    std::printf("%d unpaired tasks listed and filed in %lld ms, then %d duplicate tests in %lld ms\n", count,
                static_cast<long long>(listing), 2 * count, static_cast<long long>(elapsed));
}
